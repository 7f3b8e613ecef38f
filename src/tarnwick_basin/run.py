"""Running a basin: every element on one clock, in dependency order.

`prepare` checks and converts the inputs once; `Simulation.outflow` then runs only
the module's calls for a basin of the same structure with any parameter values
(the fast path of calibration); `run_basin` does both and adds the dated flows of
every element and a volume balance per element.

The clock: the input records share one DatetimeIndex t1 .. tN of step dt. A
rainfall amount labelled t is the depth of the interval ending at t; a flow
labelled t is the flow at the instant t. The run starts at t0 = t1 - dt (every
store at its initial state, an observed inflow at its first value) and reports
flows at t1 .. tN and at the padding steps after tN, during which no rain falls
and no observed inflow enters, so that what the last rain set moving reaches the
outlet instead of being cut off.
"""

from __future__ import annotations

import functools
import math
import os
import queue
import sys
import threading
import time
import weakref
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from datetime import timedelta
from typing import Any, Literal

import numpy as np
import pandas as pd

import tarnwick

from .network import (
    BaseflowLayer,
    Basin,
    BasinError,
    Element,
    Inflow,
    Junction,
    Outlet,
    Reach,
    Reservoir,
    Subbasin,
    kind_of,
)
from .series import (
    M3_PER_FT3,
    Fill,
    FloatArray,
    area_to_acres,
    check_record,
    depth_factor,
    flow_factor,
)

utils = tarnwick.utils
_outlets = tarnwick.reservoir.reservoir_utils

# Acre-inches per hour in cfs, as the module rounds it: the volume of a depth
# over an area in the module's own accounting (cfs x seconds).
_ACRE_INCH_HOUR_CFS = 1.00833


def gil_enabled() -> bool:
    """Whether this interpreter runs with the global interpreter lock."""
    probe = getattr(sys, "_is_gil_enabled", None)
    return True if probe is None else bool(probe())


@functools.lru_cache(maxsize=4096)
def _hours(value: float) -> timedelta:
    """A duration of `value` hours (remembered: building one costs more than a look-up)."""
    return timedelta(hours=value)


class Simulation:
    """A basin's inputs checked, aligned, converted and padded, ready to run.

    Made by `prepare`. `outflow(basin)` runs the module's calls for `basin`, which
    must have the structure of the basin it was prepared for (the same units and
    the same kinds, names and links of elements); parameter values, baseflow
    layers and outlets may differ.
    """

    def __init__(
        self,
        basin: Basin,
        rain: Mapping[str, utils.IncrementalTimeSeries],
        inflow: Mapping[str, FloatArray],
        index: pd.DatetimeIndex,
        step: timedelta,
        records: int,
        threads: int,
        filled: Mapping[str, int],
    ) -> None:
        self.index = index  # the instants of the values outflow() returns
        self.step = step
        self.records = records  # how many of them the records cover; the rest is padding
        self.padding = step * (len(index) - records)
        self.filled = dict(filled)
        self._structure = basin.structure()
        self._size = len(index) + 1  # flows are kept at t0 .. tT
        self._depth = depth_factor(basin.units.depth)
        self._cfs = flow_factor(basin.units.flow)
        self._order = basin.order
        self._levels = _levels(basin)
        self._upstream = basin.upstream
        self._units = basin.units
        self._rain = dict(rain)
        self._inflow = dict(inflow)
        self._threads = threads
        self._helpers: _Helpers | None = None
        self._lock = threading.Lock()
        # Each calling thread's working arrays, one per element and use, kept from
        # one run to the next: fresh arrays of this size would be memory that the
        # allocator maps from the system and returns on every run, paying a page
        # fault per 4 kB each time.
        self._local = threading.local()

    @property
    def threads(self) -> int:
        return self._threads

    def outflow(self, basin: Basin, element: str | None = None) -> FloatArray:
        """The flow of `element` (the outlet by default) at `index`, in the basin's unit."""
        name = basin.outlet if element is None else element
        if name not in basin.upstream:
            raise KeyError(f"no element {name!r} in the basin")
        flows = self._run(basin, None, name)
        return self._to_unit(flows, name, _result(self._local.scratch, self._size - 1))

    def outflows(self, basin: Basin) -> dict[str, FloatArray]:
        """The flow of every element at `index`, in the basin's flow unit."""
        flows = self._run(basin, None)
        return {
            e.name: self._to_unit(flows, e.name, np.empty(self._size - 1)) for e in basin.elements
        }

    def close(self) -> None:
        """Stops the worker threads, if any were started."""
        if self._helpers is not None:
            self._helpers.close()
            self._helpers = None

    def __enter__(self) -> Simulation:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _to_unit(
        self, flows: Mapping[str, FloatArray], name: str, result: FloatArray
    ) -> FloatArray:
        """`result` filled with the flow of `name` at t1 .. tT in the basin's flow unit.

        A junction that the run left out (see `_run`) is added up here, straight
        into `result`.
        """
        factor = self._cfs
        flow = flows.get(name)
        if flow is not None:
            if factor != 1.0:
                np.multiply(flow[1:], factor, out=result)
            else:
                np.copyto(result, flow[1:])
            return result
        _add_up([flows[upstream][1:] for upstream in self._upstream[name]], result)
        if factor != 1.0:
            np.multiply(result, factor, out=result)
        return result

    # The run ---------------------------------------------------------------------------------

    def _run(
        self, basin: Basin, detail: dict[str, dict[str, Any]] | None, wanted: str | None = None
    ) -> dict[str, FloatArray]:
        """Flows in cfs at the instants t0 .. tT of every element.

        When `wanted` is given, the run stops there and keeps only what that
        element's flow needs: a junction of several inflows is then left out
        and its inflows kept, for `_to_unit` to add them up in one pass with the
        conversion of units.
        """
        # A basin made by `with_values` from the one prepared shares its links
        # (and units): only another basin needs the full comparison.
        same = basin.upstream is self._upstream and basin.units is self._units
        if not same and (basin.units != self._units or basin.structure() != self._structure):
            raise ValueError(
                "the basin differs in structure from the one the simulation was prepared for"
            )
        elements = {e.name: e for e in basin.elements}
        scratch: dict[str, FloatArray] = {}
        if detail is None:  # results that outlive the run get arrays of their own
            scratch = self._local.__dict__.setdefault("scratch", {})
        left_out = None
        if wanted is not None and isinstance(elements[wanted], Junction):
            left_out = wanted if len(self._upstream[wanted]) > 1 else None
        if self._threads > 1:
            return self._run_threaded(elements, detail, scratch, wanted, left_out)
        flows: dict[str, FloatArray] = {}
        for name in self._order:
            if name == left_out:
                break
            flows[name] = self._element(elements[name], flows, detail, scratch)
            if name == wanted:
                break
            if wanted is not None:
                # An element's flows in are read by it alone: let go, the
                # module's arrays among them are reused while still in the cache.
                for upstream in self._upstream[name]:
                    del flows[upstream]
        return flows

    def _run_threaded(
        self,
        elements: Mapping[str, Element],
        detail: dict[str, dict[str, Any]] | None,
        scratch: dict[str, FloatArray],
        wanted: str | None,
        left_out: str | None,
    ) -> dict[str, FloatArray]:
        """Level by level: the elements of one level depend only on earlier levels.

        The calling thread computes the first element of a level itself and the
        helper threads the others, so a level of one element costs no hand-over
        at all. Whatever fails, no helper is left working when the run ends: it
        would write into the arrays of the next run.
        """
        with self._lock:
            if self._helpers is None:
                self._helpers = _Helpers(self._threads - 1)
                # Threads left running by a simulation nobody closed are
                # stopped when it is collected.
                weakref.finalize(self, self._helpers.close)
            helpers = self._helpers
        helpers.enter()
        try:
            flows: dict[str, FloatArray] = {}
            for level in self._levels:
                names = [name for name in level if name != left_out]
                others: list[tuple[str, _Task]] = [
                    (name, helpers.submit(self._element, elements[name], flows, detail, scratch))
                    for name in names[1:]
                ]
                try:
                    if names:
                        flows[names[0]] = self._element(elements[names[0]], flows, detail, scratch)
                finally:
                    for _, task in others:
                        task.wait(helpers.spin)
                for name, task in others:
                    flows[name] = task.result()
                if wanted in level:
                    break
            return flows
        finally:
            helpers.leave()

    def _inflow_sum(
        self, element: Element, flows: Mapping[str, FloatArray], scratch: dict[str, FloatArray]
    ) -> FloatArray:
        """The sum of the flows into an element, in the order the elements were given."""
        names = self._upstream[element.name]
        if not names:
            return np.zeros(self._size)
        if len(names) == 1:
            return flows[names[0]]
        total = _buffer(scratch, element.name + ".in", self._size)
        return _add_up([flows[name] for name in names], total)

    def _element(
        self,
        element: Element,
        flows: Mapping[str, FloatArray],
        detail: dict[str, dict[str, Any]] | None,
        scratch: dict[str, FloatArray],
    ) -> FloatArray:
        record: dict[str, Any] | None = None
        if detail is not None:
            record = detail[element.name] = {}
        if isinstance(element, Subbasin):
            return self._subbasin(element, record, scratch)
        if isinstance(element, Inflow):
            return self._inflow[element.name]
        inflow = self._inflow_sum(element, flows, scratch)
        if record is not None:
            record["inflow"] = inflow
        if isinstance(element, Junction):
            return inflow
        if isinstance(element, Reach):
            return self._reach(element, inflow)
        if isinstance(element, Reservoir):
            return self._reservoir(element, inflow, record, scratch)
        raise BasinError(f"{element!r} is no basin element")

    def _subbasin(
        self, sub: Subbasin, record: dict[str, Any] | None, scratch: dict[str, FloatArray]
    ) -> FloatArray:
        depth, cfs = self._depth, self._cfs
        area = area_to_acres(sub.area, self._units.area)
        rain = self._rain[sub.name]
        losses = tarnwick.rainfall_loss.run_deficit_and_constant(
            rain,
            sub.initial_deficit / depth,
            sub.max_deficit / depth,
            sub.constant_loss / depth,
            _hours(sub.time_to_dry_hours),
        )
        # The baseflow first: the direct runoff is then still in the cache when
        # the two are added.
        base = None
        if sub.baseflow:
            layers = {name: _layer(layer, cfs) for name, layer in sub.baseflow.items()}
            try:
                base, per_layer = tarnwick.baseflow.run_linear_reservoir(area, losses.loss, layers)
            except ValueError as error:
                raise _unstable(sub, self.step, error) from error
            if record is not None:
                record.update(layers=layers, per_layer=per_layer)
        direct = tarnwick.rainfall_transform.run_clark_uh(
            losses.excess, area, _hours(sub.tc_hours), _hours(sub.storage_hours)
        )
        values = np.asarray(direct)
        if record is not None:
            record.update(losses=losses, direct=values, area=area)
        # The direct runoff's value j is the flow at t_j; the baseflow's value j the
        # flow at the end of step j, t_(j+1), its start the layers' initial flow. A
        # unit hydrograph of one ordinate gives one value fewer than the steps.
        size = self._size
        flow = _buffer(scratch, sub.name, size)
        if len(values) < size:
            flow[: len(values)] = values
            flow[len(values) :] = 0.0
            values = flow
        if base is None:
            if values is not flow:
                flow[:] = values[:size]
            return flow
        flow[0] = values[0] + sum(layer.initial_q for layer in layers.values())
        np.add(values[1:size], np.asarray(base), out=flow[1:])
        return flow

    def _reach(self, reach: Reach, inflow: FloatArray) -> FloatArray:
        first = (
            float(inflow[0]) if reach.initial_outflow is None else reach.initial_outflow / self._cfs
        )
        routed = tarnwick.reach.run_muskingum_routing(
            utils.ContinuousTimeSeries(inflow, self.step, "discharge"),
            _hours(reach.k_hours),
            reach.x,
            reach.sub_reaches,
            first,
        )
        result: FloatArray = np.asarray(routed)
        return result

    def _reservoir(
        self,
        pool: Reservoir,
        inflow: FloatArray,
        record: dict[str, Any] | None,
        scratch: dict[str, FloatArray],
    ) -> FloatArray:
        cfs = self._cfs
        curve = _outlets.ElevationStorage(list(pool.elevation), [s / cfs for s in pool.storage])
        outlets = {name: _outlet(outlet, cfs) for name, outlet in pool.outlets.items()}
        # The first inflow value repeated: the routing then starts at t0 and its
        # results fall on the instants t0 .. tT.
        shifted = _buffer(scratch, pool.name + ".shifted", len(inflow) + 1)
        shifted[0] = inflow[0]
        shifted[1:] = inflow
        result = tarnwick.reservoir.run_level_pool_routing(
            utils.ContinuousTimeSeries(shifted, self.step, "discharge"),
            pool.initial_elevation,
            curve,
            outlets,
        )
        if record is not None:
            record["storage"] = np.asarray(result.reservoir_storage)
        total: FloatArray = np.asarray(result.reservoir_total_outflow)
        return total


class _Task:
    """A call handed to a helper thread; `result()` waits for its value."""

    __slots__ = ("_call", "_args", "_value", "_error", "_done")

    def __init__(self, call: Callable[..., FloatArray], args: tuple[Any, ...]) -> None:
        self._call, self._args = call, args
        self._value: FloatArray | None = None
        self._error: BaseException | None = None
        self._done = threading.Lock()  # held until the call has ended
        self._done.acquire()

    def run(self) -> None:
        try:
            self._value = self._call(*self._args)
        except BaseException as error:  # handed to the caller, as raised
            self._error = error
        finally:
            self._done.release()

    def wait(self, spin: float = 0.0) -> None:
        """Returns once the call has ended, polling for up to `spin` seconds before
        going to sleep."""
        if spin:
            deadline = time.perf_counter() + spin
            while not self._done.acquire(blocking=False):
                if time.perf_counter() > deadline:
                    self._done.acquire()
                    break
            self._done.release()
            return
        with self._done:
            pass

    def result(self) -> FloatArray:
        self.wait()
        if self._error is not None:
            raise self._error
        assert self._value is not None
        return self._value


class _Helpers:
    """Threads that run elements of a level beside the calling thread.

    Lighter than a ThreadPoolExecutor for calls of a millisecond: a task is
    handed over through a queue, its end signalled through a lock. A thread
    that went to sleep takes some 30 us to wake, a good part of what two
    threads save on elements of a millisecond, so where each thread has a
    processor of its own and no interpreter lock to take turns on, a helper
    polls for its next task, and the caller for the helpers' results, for a
    short while (`spin` seconds) before sleeping: in a calibration the next
    run comes well within it. Once several threads are seen running the
    simulation at once (an ensemble on threads, say), nobody polls any more:
    the processors are then taken.
    """

    def __init__(self, count: int) -> None:
        own_processors = count + 1 <= (os.cpu_count() or 1)
        self.spin = _SPIN_SECONDS if own_processors and not gil_enabled() else 0.0
        self._callers = 0
        self._lock = threading.Lock()
        self._tasks: queue.SimpleQueue[_Task | None] = queue.SimpleQueue()
        self._threads = [
            threading.Thread(target=_serve, args=(self,), name=f"basin-{i}", daemon=True)
            for i in range(count)
        ]
        for thread in self._threads:
            thread.start()

    def enter(self) -> None:
        """A run starts."""
        with self._lock:
            self._callers += 1
            if self._callers > 1:
                self.spin = 0.0

    def leave(self) -> None:
        """A run has ended."""
        with self._lock:
            self._callers -= 1

    def next(self) -> _Task | None:
        """The next task (None: stop), polled for during `spin` seconds, then waited for."""
        if self.spin:
            deadline = time.perf_counter() + self.spin
            while time.perf_counter() < deadline:
                try:
                    return self._tasks.get_nowait()
                except queue.Empty:
                    pass
        return self._tasks.get()

    def submit(self, call: Callable[..., FloatArray], *args: Any) -> _Task:
        task = _Task(call, args)
        self._tasks.put(task)
        return task

    def close(self) -> None:
        for _ in self._threads:
            self._tasks.put(None)
        for thread in self._threads:
            if thread is not threading.current_thread():
                thread.join()
        self._threads = []


_SPIN_SECONDS = 0.0005


def _serve(helpers: _Helpers) -> None:
    while True:
        task = helpers.next()
        if task is None:
            return
        task.run()
        del task  # it holds the simulation, which would then outlive its last user


def _add_up(flows: list[FloatArray], out: FloatArray) -> FloatArray:
    """`out` = flows[0] + flows[1] + ..., added left to right (at least two flows)."""
    np.add(flows[0], flows[1], out=out)
    for flow in flows[2:]:
        np.add(out, flow, out=out)
    return out


def _levels(basin: Basin) -> list[list[str]]:
    """The elements in levels: those of a level depend only on those of earlier ones."""
    depth: dict[str, int] = {}
    for name in basin.order:
        depth[name] = max((depth[up] + 1 for up in basin.upstream[name]), default=0)
    levels: list[list[str]] = [[] for _ in range(max(depth.values()) + 1)]
    for name in basin.order:
        levels[depth[name]].append(name)
    return levels


_RESULT = ".result"  # the key of the last array returned, in a thread's scratch arrays


def _result(scratch: dict[str, FloatArray], size: int) -> FloatArray:
    """The array to return to this thread: the one returned last time when nobody
    holds it any more (an array freed and allocated again at this size would be
    mapped afresh from the system on every call), else a new one."""
    if _RESULT in scratch and _references(scratch) == _UNUSED and len(scratch[_RESULT]) == size:
        return scratch[_RESULT]
    result = scratch[_RESULT] = np.empty(size)
    return result


def _references(scratch: dict[str, FloatArray]) -> int:
    """References to the last array returned, counted the same way every time."""
    held = scratch[_RESULT]
    return sys.getrefcount(held)


def _unused() -> int:
    """What `_references` counts for an array that nothing else holds."""
    probe: dict[str, FloatArray] = {_RESULT: np.empty(1)}
    return _references(probe)


_UNUSED = _unused()


def _buffer(scratch: dict[str, FloatArray], key: str, size: int) -> FloatArray:
    """The working array `key` of `size` floats, kept in `scratch` for the next run."""
    held = scratch.get(key)
    if held is None or len(held) != size:
        held = scratch[key] = np.empty(size)
    return held


def _layer(layer: BaseflowLayer, cfs: float) -> tarnwick.baseflow.LinearReservoir:
    return tarnwick.baseflow.LinearReservoir(
        _hours(layer.k_hours), layer.fraction, layer.initial_q / cfs, layer.reservoirs
    )


def _outlet(outlet: Outlet, cfs: float) -> Any:
    def flows(values: tuple[float, ...] | float) -> list[float]:
        assert not isinstance(values, float | int)
        return [v / cfs for v in values]

    if outlet.kind == "constant":
        assert isinstance(outlet.discharge, float | int)
        return _outlets.ConstantDischargeInfo(
            outlet.discharge / cfs, outlet.minimum_elevation, outlet.maximum_elevation
        )
    curve = _outlets.ElevationDischarge(list(outlet.elevation), flows(outlet.discharge))
    if outlet.kind == "controlled":
        cap = None if outlet.maximum_release is None else outlet.maximum_release / cfs
        return _outlets.ControlledDischargeInfo(
            curve, outlet.minimum_elevation, outlet.maximum_elevation, cap
        )
    return _outlets.UnControlledDischargeInfo(curve, outlet.elevation_offset)


def _unstable(sub: Subbasin, step: timedelta, error: ValueError) -> Exception:
    """The module's stability error, said in the basin's terms."""
    if "Stability Error" not in str(error):
        return BasinError(f"subbasin {sub.name!r}: baseflow: {error}")
    half = step.total_seconds() / 7200.0
    for name, layer in sub.baseflow.items():
        per = layer.k_hours / layer.reservoirs
        if per < half:
            return BasinError(
                f"subbasin {sub.name!r}: baseflow layer {name!r}: k_hours {layer.k_hours:g} "
                f"over {layer.reservoirs} reservoir{'s' if layer.reservoirs != 1 else ''} gives "
                f"{per:g} hours per reservoir, less than half the time step ({half:g} hours); "
                "lengthen k_hours or chain fewer reservoirs"
            )
    return BasinError(f"subbasin {sub.name!r}: baseflow: {error}")


# Preparing ---------------------------------------------------------------------------------


def _padding_needed(basin: Basin, step: timedelta) -> int:
    """Steps after the record that every unit hydrograph needs to end within the run."""
    seconds = step.total_seconds()
    needed = 0
    for element in basin.elements:
        if isinstance(element, Subbasin):
            tc = _hours(element.tc_hours).total_seconds()
            needed = max(needed, math.ceil(tc / seconds) - 1)
    return needed


def _thread_count(threads: int | None, basin: Basin) -> int:
    if threads is not None:
        if threads < 1:
            raise ValueError(f"threads must be at least 1, got {threads}")
        return threads
    if gil_enabled():
        return 1  # the module holds the lock during its calls: threads would take turns
    return max(1, min(os.cpu_count() or 1, len(basin.elements)))


def prepare(
    basin: Basin,
    inputs: Mapping[str, pd.Series],
    *,
    pad: Literal["auto"] | int | timedelta = "auto",
    fill: Fill | Mapping[str, Fill] | None = None,
    threads: int | None = None,
) -> Simulation:
    """Checks, aligns, converts and pads the inputs of `basin` once.

    `inputs` maps every subbasin's name to its rainfall record (depth per step in
    the basin's depth unit, labelled with the end of each interval) and every
    inflow's name to its flow record (basin's flow unit, at instants). All records
    share one DatetimeIndex. Missing values are refused unless `fill` ("dry" or
    "interpolate", for all records or per name) says how to fill them.

    `pad`: the run goes on after the record for this many dry steps (or this
    long); "auto" takes the longest unit hydrograph of the basin, so that no
    direct runoff is cut off. `threads`: how many elements may run at once;
    by default one where the interpreter has a global interpreter lock, else up
    to the number of processors.
    """
    names = {e.name: e for e in basin.elements}
    for name in inputs:
        element = names.get(name)
        if not isinstance(element, (Subbasin, Inflow)):
            raise BasinError(f"inputs: {name!r} is no subbasin or inflow of the basin")
    first: tuple[str, str, pd.DatetimeIndex, timedelta] | None = None
    checked: dict[str, FloatArray] = {}
    filled: dict[str, int] = {}
    for element in basin.elements:
        if not isinstance(element, (Subbasin, Inflow)):
            continue
        field = "rainfall" if isinstance(element, Subbasin) else "flow"
        where = f"{kind_of(element)} {element.name!r}: {field}"
        if element.name not in inputs:
            raise BasinError(f"{where} is missing from the inputs")
        how = fill.get(element.name) if isinstance(fill, Mapping) else fill
        record = check_record(inputs[element.name], how, where)
        if isinstance(element, Subbasin) and (record.values < 0.0).any():
            at = np.flatnonzero(record.values < 0.0)
            raise BasinError(
                f"{where} has {len(at)} negative value{'s' if len(at) != 1 else ''} "
                f"(the first {record.values[at[0]]:g} at {record.index[at[0]]})"
            )
        if first is None:
            first = (where, element.name, record.index, record.step)
        elif record.step != first[3]:
            raise BasinError(
                f"{where}: step {record.step} differs from {first[0].split(':')[0]}'s {first[3]}"
            )
        elif not record.index.equals(first[2]):
            raise BasinError(
                f"{where}: dates {record.index[0]} to {record.index[-1]} differ from "
                f"{first[0].split(':')[0]}'s {first[2][0]} to {first[2][-1]}"
            )
        checked[element.name] = record.values
        filled[element.name] = record.filled
    if first is None:
        raise BasinError("the basin has no subbasin or inflow: nothing enters it")
    labels, step = first[2], first[3]
    records = len(labels)
    if isinstance(pad, str):
        if pad != "auto":
            raise ValueError(f"pad must be 'auto', a number of steps or a timedelta, not {pad!r}")
        extra = _padding_needed(basin, step)
    elif isinstance(pad, timedelta):
        extra = math.ceil(pad / step)
    else:
        extra = int(pad)
    if extra < 0:
        raise ValueError(f"pad must not be negative, got {pad!r}")
    total = records + extra
    index = pd.date_range(labels[0], periods=total, freq=pd.Timedelta(step))
    depth = depth_factor(basin.units.depth)
    cfs = flow_factor(basin.units.flow)
    rain: dict[str, utils.IncrementalTimeSeries] = {}
    inflow: dict[str, FloatArray] = {}
    for element in basin.elements:
        values = checked.get(element.name)
        if values is None:
            continue
        if isinstance(element, Subbasin):
            padded = np.zeros(total)
            padded[:records] = values / depth if depth != 1.0 else values
            rain[element.name] = utils.IncrementalTimeSeries(padded, step, "rainfall")
        else:
            flow = np.zeros(total + 1)
            flow[1 : records + 1] = values / cfs if cfs != 1.0 else values
            flow[0] = flow[1]
            inflow[element.name] = flow
    return Simulation(
        basin, rain, inflow, index, step, records, _thread_count(threads, basin), filled
    )


# The run with its balance ---------------------------------------------------------------------


@dataclass(frozen=True)
class BasinRun:
    """The result of `run_basin`.

    `flows`: one column per element, its outflow in the basin's flow unit at the
    record's dates and the padding steps after them. `balance`: one row per
    element, volumes in the basin's volume unit (m3 or ft3) over the whole run:
    `in` (rainfall on a subbasin, the inflows of any other element, an inflow's
    record), `out` (its outflow), `stored` (the change of what it holds: soil
    layers, channel, pool), `lost` (water its method takes out of the basin: the
    infiltration no baseflow layer takes, the recession the unit hydrograph drops
    after its last ordinate), and `truncated` (direct runoff still to come when the
    run stops, zero when the padding covers the unit hydrographs). They close:
    in = out + stored + lost + truncated (a reservoir's to its routing's accuracy).
    """

    flows: pd.DataFrame
    balance: pd.DataFrame
    padding: timedelta  # how long the run goes on after the record
    filled: Mapping[str, int]  # missing values filled, per input


def run_basin(
    basin: Basin,
    inputs: Mapping[str, pd.Series],
    *,
    pad: Literal["auto"] | int | timedelta = "auto",
    fill: Fill | Mapping[str, Fill] | None = None,
    threads: int | None = None,
) -> BasinRun:
    """Runs a basin on dated inputs (see `prepare` for the arguments)."""
    simulation = prepare(basin, inputs, pad=pad, fill=fill, threads=threads)
    try:
        detail: dict[str, dict[str, Any]] = {}
        flows = simulation._run(basin, detail)
    finally:
        simulation.close()
    factor = flow_factor(basin.units.flow)
    frame = pd.DataFrame(
        {e.name: flows[e.name][1:] * factor for e in basin.elements}, index=simulation.index
    )
    rows = {e.name: _balance(e, flows, detail[e.name], simulation) for e in basin.elements}
    volume = M3_PER_FT3 if basin.units.volume == "m3" else 1.0
    balance = pd.DataFrame.from_dict(rows, orient="index") * volume
    balance.index.name = "element"
    return BasinRun(frame, balance, simulation.padding, simulation.filled)


def _balance(
    element: Element,
    flows: Mapping[str, FloatArray],
    record: Mapping[str, Any],
    simulation: Simulation,
) -> dict[str, float]:
    """Volumes in cfs x seconds: in, out, stored, lost, truncated."""
    dt = simulation.step.total_seconds()
    flow = flows[element.name]
    out = float(flow[1:].sum()) * dt
    row = {"in": out, "out": out, "stored": 0.0, "lost": 0.0, "truncated": 0.0}
    if isinstance(element, Subbasin):
        row.update(_subbasin_balance(element, record, simulation, dt, out))
    elif isinstance(element, (Junction, Reach, Reservoir)):
        inflow = record["inflow"]
        row["in"] = float(inflow[1:].sum()) * dt
        # What is in transit between the last two instants, in this accounting
        # of each step's volume by its value at the end of the step.
        transit = 0.5 * dt * ((inflow[-1] - inflow[0]) - (flow[-1] - flow[0]))
        if isinstance(element, Reach):
            row["stored"] = _reach_storage(element, inflow, flow, simulation) + transit
        elif isinstance(element, Reservoir):
            storage = record["storage"]
            row["stored"] = float(storage[-1] - storage[0]) + transit
    return row


def _subbasin_balance(
    sub: Subbasin, record: Mapping[str, Any], simulation: Simulation, dt: float, out: float
) -> dict[str, float]:
    losses = record["losses"]
    area = record["area"]
    to_volume = area * _ACRE_INCH_HOUR_CFS * 3600.0  # one inch over the area
    rain = float(np.asarray(simulation._rain[sub.name]).sum()) * to_volume
    excess = float(np.asarray(losses.excess).sum()) * to_volume
    loss = float(np.asarray(losses.loss).sum()) * to_volume
    direct = record["direct"]
    size = len(simulation.index) + 1
    carried = float(direct.sum()) * dt
    truncated = float(direct[size:].sum()) * dt
    layers: Mapping[str, tarnwick.baseflow.LinearReservoir] = record.get("layers", {})
    taken = sum(layer.gw_fraction for layer in layers.values())
    stored = 0.0
    for name, layer in layers.items():
        stored += _layer_storage(layer, losses.loss, record["per_layer"][name], area, simulation)
    return {
        "in": rain,
        "stored": stored,
        "lost": loss * (1.0 - taken) + (excess - carried),
        "truncated": truncated,
    }


def _layer_storage(
    layer: tarnwick.baseflow.LinearReservoir,
    loss: utils.IncrementalTimeSeries,
    outflow: utils.ContinuousTimeSeries,
    area: float,
    simulation: Simulation,
) -> float:
    """The change of what a chain of linear reservoirs holds over the run.

    Each reservoir of constant K passes a step's inflow on as
    K (Q[t] - Q[t-1]) = dt I[t] - dt (Q[t] + Q[t-1]) / 2, so with each step's
    volume counted by its end value it holds (K - dt / 2) Q. The first j
    reservoirs of a chain are a chain of j reservoirs of j / n of its constant.
    """
    dt = simulation.step.total_seconds()
    n = layer.num_reservoir
    k = layer.k_duration.total_seconds() / n
    q0 = layer.initial_q
    stored = (k - 0.5 * dt) * (float(np.asarray(outflow)[-1]) - q0)
    for j in range(1, n):
        part = tarnwick.baseflow.LinearReservoir(
            timedelta(seconds=round(k * j)), layer.gw_fraction, q0, j
        )
        _, single = tarnwick.baseflow.run_linear_reservoir(area, loss, {"part": part})
        stored += (k - 0.5 * dt) * (float(np.asarray(single["part"])[-1]) - q0)
    return stored


def _reach_storage(
    reach: Reach, inflow: FloatArray, outflow: FloatArray, simulation: Simulation
) -> float:
    """The change of what the reach holds: K (x I + (1 - x) O) for each sub-reach."""
    n = reach.sub_reaches
    k = _hours(reach.k_hours).total_seconds() / n
    x = reach.x
    upper = inflow
    stored = 0.0
    for j in range(n):
        if j == n - 1:
            lower = outflow
        else:
            lower = np.asarray(
                tarnwick.reach.run_muskingum_routing(
                    utils.ContinuousTimeSeries(upper, simulation.step, "discharge"),
                    timedelta(seconds=k),
                    x,
                    1,
                    float(outflow[0]),
                )
            )
        stored += k * (x * (upper[-1] - upper[0]) + (1.0 - x) * (lower[-1] - lower[0]))
        upper = lower
    return float(stored)
