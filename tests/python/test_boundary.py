"""Argument binding and conversion rules shared by every callable."""

import array
import faulthandler
import gc
import os
import signal
import subprocess
import sys
import time
from datetime import timedelta

import numpy as np
import pytest

from conftest import (
    HOUR,
    ConstantDischargeInfo,
    Continuous,
    ControlledDischargeInfo,
    ElevationDischarge,
    ElevationStorage,
    Incremental,
    LinearReservoir,
    UnControlledDischargeInfo,
    clark,
    kge,
    leaks,
    message_of,
    muskingum,
    route,
    run_linear_reservoir,
)

RAIN = Incremental([0.5, 1.0], HOUR, "rainfall")
FLOW = Continuous([1.0, 2.0], HOUR, "discharge")
SPILL = ElevationDischarge([0.0, 1.0], [0.0, 1.0])


# Every binding message, for functions, constructors and methods alike: the
# positional, keyword and constructor call forms bind through one routine.
@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: kge([1.0]), "calculate_kge() missing 1 required positional argument: 'obs'"),
        (lambda: kge(), "calculate_kge() missing 2 required positional arguments: 'sim' and 'obs'"),
        (
            lambda: kge([1.0], [1.0], False, 1),
            "calculate_kge() takes from 2 to 3 positional arguments but 4 were given",
        ),
        (
            lambda: kge(obs=[1.0], sims=[1.0]),
            "calculate_kge() got an unexpected keyword argument 'sims'",
        ),
        (
            lambda: clark(RAIN, 1.0, HOUR, HOUR, foo=1),
            "run_clark_uh() got an unexpected keyword argument 'foo'",
        ),
        (
            lambda: clark(RAIN, 1.0, HOUR, HOUR, tc=HOUR),
            "run_clark_uh() got multiple values for argument 'tc'",
        ),
        (
            lambda: muskingum(FLOW, HOUR, 0.2, 1),
            "run_muskingum_routing() missing 1 required positional argument: 'initial_outflow'",
        ),
        (
            lambda: LinearReservoir(),
            "LinearReservoir.__new__() missing 3 required positional arguments: "
            "'k_duration', 'gw_fraction', and 'initial_q'",
        ),
        (
            lambda: Continuous(),
            "ContinuousTimeSeries.__new__() missing 3 required positional arguments: "
            "'data', 'time_step', and 'kind'",
        ),
        (
            lambda: Incremental([1.0]),
            "IncrementalTimeSeries.__new__() missing 2 required positional arguments: 'time_step' and 'kind'",
        ),
        (
            lambda: Continuous([], HOUR, "volume", 4),
            "ContinuousTimeSeries.__new__() takes 3 positional arguments but 4 were given",
        ),
        (
            lambda: Continuous([], HOUR, "volume", kinds=1),
            "ContinuousTimeSeries.__new__() got an unexpected keyword argument 'kinds'",
        ),
        (
            lambda: Continuous([], HOUR, data=[]),
            "ContinuousTimeSeries.__new__() got multiple values for argument 'data'",
        ),
        (
            lambda: ConstantDischargeInfo(1.0, 2.0, 3.0, 4.0),
            "ConstantDischargeInfo.__new__() takes from 1 to 3 positional arguments but 4 were given",
        ),
        (
            lambda: ConstantDischargeInfo(1.0, discharge=2.0),
            "ConstantDischargeInfo.__new__() got multiple values for argument 'discharge'",
        ),
        (
            lambda: UnControlledDischargeInfo(SPILL, 1, 2),
            "UnControlledDischargeInfo.__new__() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (
            lambda: ControlledDischargeInfo(),
            "ControlledDischargeInfo.__new__() missing 1 required positional argument: 'elevation_discharge'",
        ),
        (
            lambda: ElevationStorage([0, 1], [0, 1]).get_storage(),
            "ElevationStorage.get_storage() missing 1 required positional argument: 'elevation'",
        ),
        (
            lambda: RAIN.disaggregate(),
            "IncrementalTimeSeries.disaggregate() missing 1 required positional argument: 'target_step'",
        ),
        (
            lambda: RAIN.disaggregate(1, 2),
            "IncrementalTimeSeries.disaggregate() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: RAIN.disaggregate(1800, target_step=1),
            "IncrementalTimeSeries.disaggregate() got multiple values for argument 'target_step'",
        ),
    ],
)
def test_binding_messages(call, message):
    assert message_of(call) == message


@pytest.mark.parametrize("series", [FLOW, RAIN])
def test_methods_without_parameters_take_no_arguments(series):
    assert "total_duration() takes no arguments (1 given)" in message_of(
        lambda: series.total_duration(1)
    )


def test_keyword_binding():
    assert kge(obs=[1.0, 2.0, 3.0], sim=[1.0, 2.0, 3.0]) == 1.0
    assert kge([1.0, 2.0, 3.0], obs=[1.0, 2.0, 3.0], use_log=True) == 1.0


@pytest.mark.parametrize(
    "value, expected",
    [(2, 2.0), (True, 1.0), (np.float32(0.25), 0.25), (np.int64(3), 3.0)],
)
def test_float_conversion(value, expected):
    out = muskingum(Continuous([1.0, 1.0], HOUR, "discharge"), HOUR, 0.2, 1, value)
    assert out.data[0] == expected


@pytest.mark.parametrize(
    "value, error",
    [("1.5", TypeError), (None, TypeError), ([1.0], TypeError), (10**400, OverflowError)],
)
def test_float_conversion_failures(value, error):
    with pytest.raises(error) as info:
        muskingum(FLOW, HOUR, 0.2, 1, value)
    if error is TypeError:
        assert str(info.value).startswith("argument 'initial_outflow': ")
    else:
        assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("flag", [True, False, np.bool_(True), np.bool_(False)])
def test_flag_conversion(flag):
    assert kge([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], flag) == 1.0


@pytest.mark.parametrize(
    "flag, message",
    [
        (1, "argument 'use_log': 'int' object is not an instance of 'bool'"),
        (0, "argument 'use_log': 'int' object is not an instance of 'bool'"),
        (None, "argument 'use_log': 'None' is not an instance of 'bool'"),
        ("yes", "argument 'use_log': 'str' object is not an instance of 'bool'"),
        (np.int8(1), "argument 'use_log': 'int8' object is not an instance of 'bool'"),
    ],
)
def test_flag_refusals(flag, message):
    assert message_of(lambda: kge([1.0], [1.0], flag)) == message


@pytest.mark.parametrize(
    "value, error",
    [
        (2**63, OverflowError),
        (-(2**63) - 1, OverflowError),
        (1.0, TypeError),
        ("1", TypeError),
        (None, TypeError),
    ],
)
def test_i64_conversion(value, error):
    with pytest.raises(error) as info:
        muskingum(FLOW, HOUR, 0.2, value, 0.0)
    if error is TypeError:
        assert str(info.value).startswith("argument 'sub_reaches': ")


def test_i64_accepts_index_objects():
    class Two:
        def __index__(self):
            return 2

    a = muskingum(FLOW, HOUR, 0.2, Two(), 0.0)
    b = muskingum(FLOW, HOUR, 0.2, np.int16(2), 0.0)
    assert a.data == b.data == muskingum(FLOW, HOUR, 0.2, 2, 0.0).data


@pytest.mark.parametrize(
    "value, error",
    [(-1, OverflowError), (2**64, OverflowError), (None, TypeError), (1.5, TypeError)],
)
def test_usize_conversion(value, error):
    with pytest.raises(error):
        LinearReservoir(HOUR, 0.5, 0.0, value)
    assert LinearReservoir(HOUR, 0.5, 0.0, 2**64 - 1).num_reservoir == 2**64 - 1


@pytest.mark.parametrize(
    "value, message",
    [
        ({1: 2}, "argument 'sim': 'dict' object is not an instance of 'Sequence'"),
        ({1, 2}, "argument 'sim': 'set' object is not an instance of 'Sequence'"),
        (3.0, "argument 'sim': 'float' object is not an instance of 'Sequence'"),
        ("12", "argument 'sim': Can't extract `str` to `Vec`"),
        (["a"], "argument 'sim': must be real number, not str"),
    ],
)
def test_vector_refusals(value, message):
    assert message_of(lambda: kge(value, [1.0])) == message


def test_negative_duration_is_not_prefixed():
    with pytest.raises(ValueError) as info:
        clark(RAIN, 1.0, -HOUR, HOUR)
    assert "negative timedelta cannot be converted to a duration" in str(info.value)
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "value, message",
    [
        (None, "argument 'inflow': 'None' is not an instance of 'ContinuousTimeSeries'"),
        ([1.0], "argument 'inflow': 'list' object is not an instance of 'ContinuousTimeSeries'"),
        (
            RAIN,
            "argument 'inflow': 'IncrementalTimeSeries' object is not an instance of 'ContinuousTimeSeries'",
        ),
    ],
)
def test_instance_refusals(value, message):
    assert message_of(lambda: muskingum(value, HOUR, 0.2, 1, 0.0)) == message


@pytest.mark.parametrize(
    "reservoirs, message",
    [
        ([], "argument 'reservoirs': 'list' object is not an instance of 'dict'"),
        ({1: None}, "argument 'reservoirs': 'int' object is not an instance of 'str'"),
        (
            {"a": 1.0},
            "argument 'reservoirs': 'float' object is not an instance of 'LinearReservoir'",
        ),
        ({"a": None}, "argument 'reservoirs': 'None' is not an instance of 'LinearReservoir'"),
    ],
)
def test_map_refusals(reservoirs, message):
    assert message_of(lambda: run_linear_reservoir(1.0, RAIN, reservoirs)) == message


def test_dict_subclass_is_a_map():
    class Layers(dict):
        pass

    total, layers = run_linear_reservoir(1.0, RAIN, Layers(a=LinearReservoir(HOUR, 0.5, 0.0)))
    assert list(layers) == ["a"]


def test_repeated_failures_do_not_leak():
    def work():
        for call in (
            lambda: kge([1.0], [1.0], 1),
            lambda: kge({}, [1.0]),
            lambda: muskingum(FLOW, HOUR, 0.2, 1, "x"),
            lambda: clark(RAIN, 1.0, HOUR, HOUR, foo=1),
            lambda: run_linear_reservoir(1.0, RAIN, {1: 2}),
        ):
            try:
                call()
            except TypeError:
                pass

    assert leaks(work) < 100


def test_timedelta_subclass_is_a_duration():
    class Span(timedelta):
        pass

    out = clark(RAIN, 100.0, Span(hours=2), Span(hours=1))
    assert out.data == clark(RAIN, 100.0, timedelta(hours=2), HOUR).data


class Span(timedelta):
    """A duration the collector tracks, so a dict holding one is listed too."""


KEPT = []


class Clearing:
    """Empties every live keyword dict of a series call when converted."""

    def __float__(self):
        for held in gc.get_objects():
            if type(held) is dict and type(held.get("time_step")) is Span and "kind" in held:
                held.clear()
        KEPT.extend(Span(hours=5) for _ in range(50))  # reuse freed memory
        return 1.0


def test_keyword_arguments_outlive_their_dict():
    series = Continuous(
        [Clearing()], **{"time_step": Span(hours=1), "kind": "".join(["disch", "arge"])}
    )
    KEPT.clear()
    assert (series.data, series.time_step, series.kind) == ([1.0], HOUR, "discharge")


def test_messages_keep_text_past_nul():
    with pytest.raises(ValueError) as info:
        Continuous([1.0], HOUR, "discharge\x00x")
    assert str(info.value).endswith("got 'discharge\x00x'")


class Overstated:
    """A sequence whose length is only a (far too large) hint."""

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, index):
        if index < 3:
            return float(index)
        raise IndexError(index)


def named_like(base, name, data):
    cls = type(name, (base,), {"__iter__": lambda self: iter([9.0, 9.0])})
    return np.array(data).view(cls) if base is np.ndarray else cls("d", data)


@pytest.mark.parametrize(
    "value, expected",
    [
        (Overstated(), [0.0, 1.0, 2.0]),
        (named_like(np.ndarray, "numpy.ndarray", [1.0, 2.0]), [9.0, 9.0]),
        (named_like(array.array, "array.array", [1.0, 2.0]), [9.0, 9.0]),
    ],
)
def test_sequences_are_read_by_their_own_protocol(value, expected):
    assert Continuous(value, HOUR, "discharge").data == expected


class Alias(str):
    """A name equal only to itself: one dict can hold it twice."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other


def level_pool(outlets):
    out = route(
        Continuous([10.0] * 4, HOUR, "discharge"), 1.0, ElevationStorage([0, 9], [0, 1e6]), outlets
    )
    flows = out.reservoir_individual_outflows
    return out.reservoir_total_outflow.data, {name: s.data for name, s in flows.items()}


def baseflow(layers):
    total, flows = run_linear_reservoir(10.0, RAIN, layers)
    return total.data, {name: s.data for name, s in flows.items()}


@pytest.mark.parametrize(
    "call, values",
    [
        (level_pool, [ConstantDischargeInfo(q) for q in (1.0, 2.0, 4.0)]),
        (baseflow, [LinearReservoir(HOUR * k, 0.2, 0.0) for k in (1, 2, 3)]),
    ],
)
def test_repeated_names_merge_as_a_dict_would(call, values):
    twice = {Alias("a"): values[0], "b": values[1], Alias("a"): values[2]}
    assert len(twice) == 3
    assert call(twice) == call({"a": values[2], "b": values[1]})
    assert leaks(lambda: call(twice), rounds=500) < 100


def long_calls():
    """Calls that would run for hours to years, built only when run."""
    second = timedelta(seconds=1)
    years_step = Continuous([1.0] * 10, timedelta(seconds=2**31 - 1), "discharge")
    deep = LinearReservoir(timedelta(seconds=2**31 - 1), 0.1, 0.0)
    deep.num_reservoir = 2**24
    wet = Incremental([1.0] * 10**5, second, "rainfall")
    return {
        "muskingum": lambda: muskingum(FLOW, HOUR, 0.2, 10**18, 0.0),
        "level_pool": lambda: route(years_step, 0.0, ElevationStorage([0, 9], [0, 1e12]), {}),
        "clark": lambda: clark(wet, 640.0, timedelta(seconds=10**6), HOUR),
        "baseflow": lambda: run_linear_reservoir(
            1.0, Incremental([1.0] * 1000, second, "rainfall"), {"d": deep}
        ),
        "kge": lambda: kge(range(10**19), [1.0]),
    }


# Sends SIGINT to the process given after 0.2 s and prints when it did. The
# sender is another process, as a terminal's Ctrl-C is: a thread of this one
# could not run while a call holds the interpreter.
CTRL_C = (
    "import os, signal, sys, time\n"
    "time.sleep(0.2)\n"
    "print(time.monotonic(), flush=True)\n"
    "os.kill(int(sys.argv[1]), signal.SIGINT)\n"
)


@pytest.mark.parametrize("name", ["muskingum", "level_pool", "clark", "baseflow", "kge"])
def test_long_calls_stop_on_ctrl_c(name):
    call = long_calls()[name]
    # A run started with SIGINT ignored (a background job) has no handler to raise.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    faulthandler.dump_traceback_later(60, exit=True)  # a hang fails the run instead
    sender = subprocess.Popen(
        [sys.executable, "-c", CTRL_C, str(os.getpid())], stdout=subprocess.PIPE, text=True
    )
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
        stopped = time.monotonic()
    finally:
        faulthandler.cancel_dump_traceback_later()
        sent = float(sender.communicate()[0])
        signal.signal(signal.SIGINT, previous)
    assert stopped - sent < 1.0


class Stop(Exception):
    pass


@pytest.mark.parametrize("name", ["muskingum", "kge"])
def test_interrupted_calls_do_not_leak(name):
    call = long_calls()[name]

    def stop(*_):
        raise Stop

    def interrupted():
        try:  # on a busy machine the timer may fire before the call starts
            signal.setitimer(signal.ITIMER_REAL, 0.001)
            call()
        except Stop:
            return
        raise AssertionError("not interrupted")

    previous = signal.signal(signal.SIGALRM, stop)
    try:
        assert leaks(interrupted, rounds=200) < 100  # one block per call shows as 200
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
