"""pandas Series and xarray DataArrays as sequences of floats: read through
their values when those are plain 64-bit numbers, item by item otherwise,
with the same results and messages either way."""

import numpy as np
import pytest

import tarnwick

from conftest import HOUR

pd = pytest.importorskip("pandas")

try:
    import xarray as xr
except ImportError:
    xr = None

Series = tarnwick.utils.ContinuousTimeSeries
kge = tarnwick.metrics.calculate_kge

# Integers a double cannot hold exactly round to nearest, ties to even.
INTS = np.array(
    [0, -1, 2**53 + 1, 2**53 + 3, 2**63 - 1, -(2**63), 12345678901234567], dtype=np.int64
)
FLOATS = np.array([1.5, -0.0, np.nan, np.inf, 5e-324, 1e308, 0.1, 2.0])


def frames():
    yield "float64", pd.Series(FLOATS, index=np.arange(8) * 10)
    yield "int64", pd.Series(INTS)
    yield "strided", pd.Series(np.arange(16.0)[::2], copy=False)  # values skip every other double
    if xr is not None:
        yield "xarray float64", xr.DataArray(FLOATS, dims="t")
        yield "xarray int64", xr.DataArray(INTS[::-1], dims="t")


def bits(values):
    return [float(v).hex() for v in values]


@pytest.mark.parametrize("frame", [f for _, f in frames()], ids=[n for n, _ in frames()])
def test_frames_read_like_their_items(frame):
    items = list(frame)  # what item-by-item conversion sees
    assert bits(Series(frame, HOUR, "discharge").data) == bits(
        Series(items, HOUR, "discharge").data
    )
    finite = frame[np.isfinite(np.asarray(frame, dtype=float))]
    shifted = [float(v) + 1.0 for v in finite]
    assert bits([kge(finite, shifted), kge(shifted, finite, True)]) == bits(
        [kge(list(finite), shifted), kge(shifted, list(finite), True)]
    )


class Reversed(pd.Series):
    def __iter__(self):
        return reversed(list(super().__iter__()))


def other_frames():
    yield "subclass", Reversed([1.0, 2.0, 3.0])
    yield "object with None", pd.Series([1.0, None, "x"], dtype=object)
    if xr is not None:
        yield "xarray 2-D", xr.DataArray(np.ones((2, 2)))


def outcome(data):
    try:
        return bits(Series(data, HOUR, "discharge").data)
    except Exception as error:  # noqa: BLE001 - the exception itself is compared
        return type(error), str(error)


@pytest.mark.parametrize(
    "frame", [f for _, f in other_frames()], ids=[n for n, _ in other_frames()]
)
def test_other_frames_are_iterated(frame):
    class Items:  # any sequence that is iterated, with the frame's items
        def __len__(self):
            return len(frame)

        def __getitem__(self, index):
            return list(frame)[index]

    assert outcome(frame) == outcome(Items())


class Table(pd.DataFrame):  # a subclass is not refused: it is iterated like any sequence
    pass


@pytest.mark.parametrize(
    "call",
    [
        lambda d: tarnwick.utils.IncrementalTimeSeries(d, HOUR, "rainfall"),
        lambda d: kge(d, [1.0, 2.0]),
        lambda d: kge([1.0, 2.0], d),
    ],
    ids=["series", "kge sim", "kge obs"],
)
def test_a_data_frame_is_refused_not_read_as_its_column_labels(call):
    # A headerless gauge CSV read with index_col=0 is a one-column frame
    # whose iteration yields the label 1, which once became a storm of 1.0.
    frame = pd.DataFrame({1: [0.5, 0.25]})
    with pytest.raises(
        TypeError, match=r"^argument '\w+': a pandas DataFrame has columns.*one column"
    ):
        call(frame)
    assert outcome(Table({1: [0.5, 0.25]})) == outcome([1])
