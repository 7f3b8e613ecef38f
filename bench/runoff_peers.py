"""Straightforward peer implementations of the runoff chain, for benchmarking.

Each algorithm is written the way a hydrologist would write it: a plain
Python loop over lists, and the same loop compiled with numba over numpy
arrays. The operations follow the same order as tarnwick's, so the results
agree bit for bit and the timings compare like with like. numba is optional:
without it only the pure-Python peers exist (NUMBA is None).
"""

import math

import numpy as np

try:
    import numba
except ImportError:  # numba is an optional benchmark dependency
    numba = None


# --- Muskingum routing (McCarthy 1938) ------------------------------------


def muskingum_py(inflow, dt, k, x, initial_outflow):
    two_k = k + k
    a = two_k * (1.0 - x)
    b = two_k * x
    d = dt + a
    c0 = (dt - b) / d
    c1 = (dt + b) / d
    c2 = (a - dt) / d
    out = [0.0] * len(inflow)
    out[0] = initial_outflow
    for i in range(1, len(inflow)):
        out[i] = (c0 * inflow[i] + c1 * inflow[i - 1]) + c2 * out[i - 1]
    return out


# --- Deficit-and-constant loss --------------------------------------------


def deficit_constant_py(rain, dt, initial_deficit, max_deficit, loss_rate, time_to_dry):
    w = 1.0 - math.exp((dt / 3600.0) / (time_to_dry / -3600.0)) if time_to_dry > 0 else 0.0
    cap = loss_rate * (dt / 3600.0)
    n = len(rain)
    excess = [0.0] * n
    loss = [0.0] * n
    deficit = [0.0] * n
    d = initial_deficit
    for i in range(n):
        gap = max_deficit - d
        if gap != gap:
            gap = 0.0
        d = d + w * max(gap, 0.0)
        g = min(d, max_deficit)
        p = rain[i]
        if p > 0.0:
            taken = min(p, cap)
            rest = p - taken
            fill = min(rest, g)
            loss[i] = taken + fill
            excess[i] = rest - fill
            d = g - fill
        else:
            d = g
        deficit[i] = d
    return excess, loss, deficit


# --- Clark unit hydrograph (Clark 1945) -----------------------------------


def clark_unit_hydrograph_py(dt, area, tc, r):
    m = math.ceil(tc / dt)
    th = []
    previous = 0.0
    for i in range(1, m + 1):
        t = min((dt * i) / tc, 1.0)
        a = 1.414 * t**1.5 if t < 0.5 else 1.0 - 1.414 * (1.0 - t) ** 1.5
        th.append(((a - previous) * area * 1.00833) / (dt / 3600.0))
        previous = a
    return muskingum_py(th, dt, r, 0.0, 0.0)


def clark_py(rain, dt, area, tc, r):
    u = clark_unit_hydrograph_py(dt, area, tc, r)
    m = len(u)
    q = [0.0] * (len(rain) + m - 1)
    for k, p in enumerate(rain):
        if p == 0.0:
            continue
        for j in range(m):
            q[k + j] = q[k + j] + p * u[j]
    return q


# --- numba versions ---------------------------------------------------------

NUMBA = None

if numba is not None:

    @numba.njit(cache=False)
    def muskingum_nb(inflow, dt, k, x, initial_outflow):
        two_k = k + k
        a = two_k * (1.0 - x)
        b = two_k * x
        d = dt + a
        c0 = (dt - b) / d
        c1 = (dt + b) / d
        c2 = (a - dt) / d
        out = np.empty_like(inflow)
        out[0] = initial_outflow
        for i in range(1, inflow.shape[0]):
            out[i] = (c0 * inflow[i] + c1 * inflow[i - 1]) + c2 * out[i - 1]
        return out

    @numba.njit(cache=False)
    def deficit_constant_nb(rain, dt, initial_deficit, max_deficit, loss_rate, time_to_dry):
        w = 1.0 - math.exp((dt / 3600.0) / (time_to_dry / -3600.0)) if time_to_dry > 0 else 0.0
        cap = loss_rate * (dt / 3600.0)
        n = rain.shape[0]
        excess = np.zeros(n)
        loss = np.zeros(n)
        deficit = np.empty(n)
        d = initial_deficit
        for i in range(n):
            gap = max_deficit - d
            if gap != gap:
                gap = 0.0
            d = d + w * max(gap, 0.0)
            g = min(d, max_deficit)
            p = rain[i]
            if p > 0.0:
                taken = min(p, cap)
                rest = p - taken
                fill = min(rest, g)
                loss[i] = taken + fill
                excess[i] = rest - fill
                d = g - fill
            else:
                d = g
            deficit[i] = d
        return excess, loss, deficit

    @numba.njit(cache=False)
    def convolve_skip_zero_nb(rain, u):
        m = u.shape[0]
        q = np.zeros(rain.shape[0] + m - 1)
        for k in range(rain.shape[0]):
            p = rain[k]
            if p == 0.0:
                continue
            for j in range(m):
                q[k + j] = q[k + j] + p * u[j]
        return q

    NUMBA = {
        "muskingum": muskingum_nb,
        "deficit_constant": deficit_constant_nb,
        "convolve": convolve_skip_zero_nb,
    }
