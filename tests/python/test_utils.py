"""Continuous and Incremental from Python."""

import array
from datetime import timedelta

import numpy as np
import pytest

from conftest import HOUR, Continuous, Incremental, leaks, message_of

SERIES = [Continuous, Incremental]
KIND_MESSAGE = 'kind must be one of ["discharge", "rainfall", "elevation", "volume"]; got '


@pytest.mark.parametrize("cls", SERIES)
def test_attributes_read_back(cls):
    s = cls([1.0, 2.5], timedelta(seconds=90, microseconds=700000), "volume")
    assert s.data == [1.0, 2.5]
    assert s.kind == "volume"
    assert s.time_step == timedelta(seconds=90)
    day = cls([], timedelta(days=1), "rainfall")
    assert day.time_step == timedelta(days=1)
    assert day.data == []


@pytest.mark.parametrize("cls", SERIES)
def test_copy_on_read(cls):
    source = [1.0, 2.0]
    s = cls(source, HOUR, "discharge")
    source.append(3.0)
    first, second = s.data, s.data
    assert first == second == [1.0, 2.0]
    assert first is not second
    first.append(9.0)
    assert s.data == [1.0, 2.0]
    assert s.time_step is not s.time_step


@pytest.mark.parametrize("cls", SERIES)
@pytest.mark.parametrize("attribute", ["data", "kind", "time_step"])
def test_read_only_attributes(cls, attribute):
    s = cls([1.0], HOUR, "discharge")
    with pytest.raises(AttributeError):
        setattr(s, attribute, getattr(s, attribute))
    with pytest.raises(AttributeError):
        delattr(s, attribute)
    with pytest.raises(AttributeError):
        s.other = 1


def test_total_duration():
    assert Continuous([1.0, 2.0], HOUR, "discharge").total_duration() == 3600
    assert Continuous([1.0], HOUR, "discharge").total_duration() == 0
    assert Continuous([], HOUR, "discharge").total_duration() == 0
    assert Incremental([1.0, 2.0], HOUR, "rainfall").total_duration() == 7200
    assert Incremental([], HOUR, "rainfall").total_duration() == 0
    big = Incremental([0.0] * 3, timedelta(days=30000), "rainfall")
    assert big.total_duration() == 3 * 2147483647


@pytest.mark.parametrize("cls", SERIES)
@pytest.mark.parametrize(
    "args, error, message",
    [
        (
            ([1.0], 3600, "discharge"),
            TypeError,
            "argument 'time_step': 'int' object is not an instance of 'timedelta'",
        ),
        (
            ([1.0], 3600.0, "discharge"),
            TypeError,
            "argument 'time_step': 'float' object is not an instance of 'timedelta'",
        ),
        (
            ([1.0], None, "discharge"),
            TypeError,
            "argument 'time_step': 'None' is not an instance of 'timedelta'",
        ),
        (([1.0], timedelta(milliseconds=500), "discharge"), ValueError, "time_step must be > 0"),
        (([1.0], HOUR, "Discharge"), ValueError, KIND_MESSAGE + "'Discharge'"),
        (([1.0], timedelta(0), "flow"), ValueError, KIND_MESSAGE + "'flow'"),
        (([1.0], HOUR, 5), TypeError, "argument 'kind': 'int' object is not an instance of 'str'"),
        (("123", HOUR, "discharge"), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        (
            ({1: 2}, HOUR, "discharge"),
            TypeError,
            "argument 'data': 'dict' object is not an instance of 'Sequence'",
        ),
        (
            (5, HOUR, "discharge"),
            TypeError,
            "argument 'data': 'int' object is not an instance of 'Sequence'",
        ),
        (
            ((x for x in [1.0]), HOUR, "discharge"),
            TypeError,
            "argument 'data': 'generator' object is not an instance of 'Sequence'",
        ),
        ((None, 1, 2), TypeError, "argument 'data': 'None' is not an instance of 'Sequence'"),
        # data is converted first, so its failure wins over the others.
        ((["x"], 1, 2), TypeError, "argument 'data': must be real number, not str"),
    ],
)
def test_constructor_checks_in_order(cls, args, error, message):
    assert message_of(lambda: cls(*args), error) == message


@pytest.mark.parametrize("cls", SERIES)
def test_negative_step_and_bad_text(cls):
    with pytest.raises(ValueError, match="negative timedelta cannot be converted to a duration"):
        cls([1.0], timedelta(seconds=-60), "discharge")
    with pytest.raises(UnicodeEncodeError):
        cls([1.0], HOUR, "disch\udc80arge")


@pytest.mark.parametrize(
    "data",
    [
        [1, 2.5, True],
        (1, 2.5, True),
        range(3),
        np.array([1.0, 2.5, 3.0]),
        np.array([1.0, 2.0, 3.0, 4.0])[::2],
        np.array([1, 2, 3], dtype=np.int32),
        np.array([1.5, 2.5], dtype=np.float32),
        np.array([1.0, 2.0], dtype=">f8"),
        array.array("d", [1.0, 2.0]),
        memoryview(array.array("d", [0.5, -1.0])),
        [np.float64(1.25), np.int64(2)],
    ],
)
def test_sequences_convert_like_iteration(data):
    s = Continuous(data, HOUR, "discharge")
    assert s.data == [float(x) for x in data]


def test_float_conversion_of_items():
    class Floaty:
        def __float__(self):
            return 2.5

    class Indexy:
        def __index__(self):
            return 7

    assert Continuous([Floaty(), Indexy()], HOUR, "discharge").data == [2.5, 7.0]
    with pytest.raises(OverflowError):
        Continuous([10**400], HOUR, "discharge")
    with pytest.raises(TypeError, match="^argument 'data': "):
        Continuous(np.array([[1.0, 2.0]]), HOUR, "discharge")


def test_list_mutated_during_conversion():
    data = [1.0, None, 3.0]

    class Shrinker:
        def __float__(self):
            del data[1:]
            return 2.0

    data[1] = Shrinker()
    # Like iteration, the conversion stops where the list now ends.
    assert Continuous(data, HOUR, "discharge").data == [1.0, 2.0]


def test_iteration_errors_pass_through():
    class Broken:
        def __len__(self):
            raise RuntimeError("no length")  # only a hint: ignored

        def __getitem__(self, index):
            if index == 2:
                raise KeyError("boom")
            return float(index)

    with pytest.raises(KeyError):
        Continuous(Broken(), HOUR, "discharge")


def test_subclasses_are_accepted_and_results_are_plain():
    class Rain(Incremental):
        pass

    r = Rain([1.0, 2.0], HOUR, "rainfall")
    assert isinstance(r, Rain)
    out = r.disaggregate(1800)
    assert type(out) is Incremental


@pytest.mark.parametrize(
    "data, step, target, expected",
    [
        ([1.0, 2.0], 3600, 1800, [0.5, 0.5, 1.0, 1.0]),
        ([1.0, 2.0], 3600, 3600, [1.0, 2.0]),
        ([3.0], 60, 30, [1.5, 1.5]),
        ([0.3], 3600, 900, [900 / 3600 * 0.3] * 4),
        ([], 3600, 600, []),
        ([1.0], 45, 45, [1.0]),
    ],
)
def test_disaggregate(data, step, target, expected):
    s = Incremental(data, timedelta(seconds=step), "rainfall")
    out = s.disaggregate(target)
    assert out.data == expected
    assert out.time_step == timedelta(seconds=target)
    assert out.kind == "rainfall"
    assert out is not s
    assert s.data == data
    if data:
        assert out.total_duration() == s.total_duration()


@pytest.mark.parametrize(
    "step, target, error, message",
    [
        (
            3600,
            7200,
            ValueError,
            "Original time_step (3600) must be a multiple of target_step (7200).",
        ),
        (
            3600,
            1700,
            ValueError,
            "Original time_step (3600) must be a multiple of target_step (1700).",
        ),
        (60, 29, ValueError, "target_step must be >= 30 seconds."),
        (45, 30, ValueError, "Original time_step (45) must be a multiple of target_step (30)."),
        (3600, 2**31, OverflowError, None),
        (3600, 1800.0, TypeError, None),
        (3600, timedelta(minutes=30), TypeError, None),
    ],
)
def test_disaggregate_errors(step, target, error, message):
    s = Incremental([1.0], timedelta(seconds=step), "rainfall")
    with pytest.raises(error) as info:
        s.disaggregate(target)
    if message is not None:
        assert str(info.value) == message
    if error is TypeError:
        assert str(info.value).startswith("argument 'target_step': ")


def test_keywords_in_any_order():
    s = Continuous(kind="elevation", data=[1.0], time_step=HOUR)
    assert s.kind == "elevation"
    r = Incremental([2.0], HOUR, "rainfall").disaggregate(target_step=1800)
    assert r.data == [1.0, 1.0]


def test_repeated_calls_do_not_leak():
    data = np.linspace(0.0, 1.0, 100)
    lst = data.tolist()

    def work():
        s = Incremental(lst, HOUR, "rainfall")
        _ = s.disaggregate(900).data
        _ = Continuous(data, HOUR, "discharge").time_step
        for bad in (("x", HOUR, "rainfall"), (lst, 1, "rainfall"), (lst, HOUR, "bad")):
            try:
                Incremental(*bad)
            except (TypeError, ValueError):
                pass

    assert leaks(work) < 100


def test_type_error_prefix_keeps_cause():
    class Bad:
        def __float__(self):
            raise TypeError("inner") from KeyError("root")

    with pytest.raises(TypeError) as info:
        Continuous([Bad()], HOUR, "discharge")
    assert str(info.value) == "argument 'data': inner"
    assert isinstance(info.value.__cause__, KeyError)


def test_arguments_keep_their_reference_counts():
    import sys

    data = [1.0, 2.0, 3.0]
    kind = "discharge" + str(len(data))[:0]
    step = timedelta(hours=2)
    counts = [sys.getrefcount(x) for x in (data, kind, step)]
    for _ in range(100):
        s = Continuous(data, step, "discharge")
        try:
            Continuous(data, step, kind + "x")
        except ValueError:
            pass
    assert [sys.getrefcount(x) for x in (data, kind, step)] == counts
    assert sys.getrefcount(s) == 2
