"""Straightforward peer implementations of tarnwick's routines, for benchmarking.

Each algorithm is written once, the way a hydrologist would write it: a plain
loop over numpy float64 arrays. As plain Python it checks tarnwick's results
bit for bit on short inputs; compiled by numba (``NUMBA[name]``) it is the
contestant. The operations follow the same order as tarnwick's, so the
results agree bit for bit and the timings compare like with like. numba is
optional: without it NUMBA is empty.
"""

import math

import numpy as np
from harness import optional

# --- A series' values ------------------------------------------------------


def copy(values):
    return values.copy()


# --- Muskingum routing (McCarthy 1938) ------------------------------------


def muskingum(inflow, dt, k, x, initial_outflow):
    two_k = k + k
    a = two_k * (1.0 - x)
    b = two_k * x
    d = dt + a
    c0 = (dt - b) / d
    c1 = (dt + b) / d
    c2 = (a - dt) / d
    out = np.empty(inflow.shape[0])
    out[0] = initial_outflow
    for i in range(1, inflow.shape[0]):
        out[i] = (c0 * inflow[i] + c1 * inflow[i - 1]) + c2 * out[i - 1]
    return out


# --- Deficit-and-constant loss --------------------------------------------


def deficit_constant(rain, dt, initial_deficit, max_deficit, loss_rate, time_to_dry):
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


# --- Clark unit hydrograph (Clark 1945) -----------------------------------


def clark_unit_hydrograph(dt, area, tc, r):
    m = math.ceil(tc / dt)
    th = np.empty(m)
    previous = 0.0
    for i in range(1, m + 1):
        t = min((dt * i) / tc, 1.0)
        a = 1.414 * t**1.5 if t < 0.5 else 1.0 - 1.414 * (1.0 - t) ** 1.5
        th[i - 1] = ((a - previous) * area * 1.00833) / (dt / 3600.0)
        previous = a
    return muskingum(th, dt, r, 0.0, 0.0)


def convolve_skip_zero(rain, u):
    m = u.shape[0]
    q = np.zeros(rain.shape[0] + m - 1)
    for k in range(rain.shape[0]):
        p = rain[k]
        if p == 0.0:
            continue
        for j in range(m):
            q[k + j] = q[k + j] + p * u[j]
    return q


def clark(rain, dt, area, tc, r):
    return convolve_skip_zero(rain, clark_unit_hydrograph(dt, area, tc, r))


# --- Linear-reservoir baseflow --------------------------------------------


def linear_reservoir(basin_area, rain, dt_secs, k_secs, fractions, initial_qs, chains):
    """Layers given as arrays: storage constant (s), fraction, initial flow, chain length."""
    dt_hr = dt_secs / 3600.0
    area_factor = basin_area * 1.00833
    half = dt_hr * 0.5
    n = rain.shape[0]
    total = np.zeros(n)
    outs = np.empty((fractions.shape[0], n))
    for layer in range(fractions.shape[0]):
        k_per_res = (k_secs[layer] / 3600.0) / chains[layer]
        if k_per_res < half:
            raise ValueError("unstable")
        c = dt_hr / (half + k_per_res)
        d = 1.0 - c
        fraction = fractions[layer]
        state = np.full(chains[layer], initial_qs[layer])
        for i in range(n):
            x = area_factor * ((fraction * rain[i]) / dt_hr)
            for j in range(chains[layer]):
                state[j] = d * state[j] + c * x
                x = state[j]
            outs[layer, i] = x
            total[i] = x + total[i]
    return total, outs


# --- Kling-Gupta efficiency (Gupta et al. 2009) ---------------------------


def kge(sim, obs):
    n = obs.shape[0]
    sum_sim = 0.0
    sum_obs = 0.0
    for i in range(n):
        sum_sim += sim[i]
        sum_obs += obs[i]
    mean_sim = sum_sim / n
    mean_obs = sum_obs / n
    co = 0.0
    ss_obs = 0.0
    ss_sim = 0.0
    for i in range(n):
        ds = sim[i] - mean_sim
        do = obs[i] - mean_obs
        co += ds * do
        ss_obs += do * do
        ss_sim += ds * ds
    denominator = math.sqrt(ss_obs * ss_sim)
    r = co / denominator if denominator > 0.0 else math.nan
    std_obs = math.sqrt(ss_obs / n)
    std_sim = math.sqrt(ss_sim / n)
    beta = mean_sim / (1e-6 if abs(mean_obs) < 1e-6 else mean_obs)
    gamma = std_sim / (1e-6 if std_obs < 1e-6 else std_obs)
    correlation = 1.0 if denominator < 1e-6 else (r - 1.0) * (r - 1.0)
    distance = correlation + (beta - 1.0) * (beta - 1.0)
    distance = distance + (gamma - 1.0) * (gamma - 1.0)
    return 1.0 - math.sqrt(distance)


# --- Disaggregation --------------------------------------------------------


def disaggregate(values, step, target_step):
    count = step // target_step
    factor = target_step / step
    out = np.empty(values.shape[0] * count)
    for i in range(values.shape[0]):
        share = factor * values[i]
        for j in range(count):
            out[i * count + j] = share
    return out


# --- numba versions ---------------------------------------------------------

ROUTINES = {
    "copy": copy,
    "muskingum": muskingum,
    "deficit_constant": deficit_constant,
    "convolve": convolve_skip_zero,
    "clark": clark,
    "linear_reservoir": linear_reservoir,
    "kge": kge,
    "disaggregate": disaggregate,
}

NUMBA = {}
numba = optional("numba")
if numba is not None:
    # Helpers the compiled routines call are compiled first, under their names.
    muskingum = numba.njit(muskingum)
    clark_unit_hydrograph = numba.njit(clark_unit_hydrograph)
    convolve_skip_zero = numba.njit(convolve_skip_zero)
    NUMBA = {name: numba.njit(routine) for name, routine in ROUTINES.items()}


def fastest(name):
    """The compiled routine where numba is installed, else the plain one."""
    return NUMBA.get(name, ROUTINES[name])
