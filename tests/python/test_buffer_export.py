"""Both series classes export their values through the buffer protocol.

numpy and memoryview read the stored doubles in place: no copy, read-only,
one-dimensional, kept alive by the views. Everything else about a series stays
as it was: `data` is a new list on every read, and a series is still no
sequence of floats.
"""

import ctypes
import gc
import subprocess
import sys
import textwrap
from datetime import timedelta

import pytest

import tarnwick

import conftest

np = pytest.importorskip("numpy")

HOUR = timedelta(hours=1)
utils = tarnwick.utils


class Subseries(utils.ContinuousTimeSeries):
    pass


# Every way a series comes to be: both constructors, a subclass, and the
# results of methods and functions.
MAKERS = {
    "continuous": lambda: utils.ContinuousTimeSeries([1.5, -2.0, 3.25], HOUR, "discharge"),
    "incremental": lambda: utils.IncrementalTimeSeries([0.5, 0.25], HOUR, "rainfall"),
    "subclass": lambda: Subseries([7.0, 8.0], HOUR, "elevation"),
    "empty": lambda: utils.ContinuousTimeSeries([], HOUR, "volume"),
    "disaggregated": lambda: utils.IncrementalTimeSeries([1.0, 2.0], HOUR, "rainfall").disaggregate(
        1800
    ),
    "loss result": lambda: (
        tarnwick.rainfall_loss.run_deficit_and_constant(
            utils.IncrementalTimeSeries([0.5, 1.0], HOUR, "rainfall"), 0.1, 1.0, 0.1, 10 * HOUR
        ).excess
    ),
}


@pytest.mark.parametrize("make", MAKERS.values(), ids=MAKERS.keys())
def test_views_read_the_stored_values_in_place(make):
    series = make()
    values = series.data
    array, again, view = np.asarray(series), np.frombuffer(series), memoryview(series)
    assert array.dtype == np.float64 and array.shape == (len(values),)
    assert array.tolist() == values and again.tolist() == values and view.tolist() == values
    assert (view.format, view.itemsize, view.ndim, view.shape) == ("d", 8, 1, (len(values),))
    assert view.readonly and view.c_contiguous and view.obj is series
    if values:
        assert np.shares_memory(array, again)
    # data itself is unchanged: a new list on every read
    assert type(series.data) is list and series.data is not series.data


# The buffer request flags of the C API, and its Py_buffer.
PyBUF_WRITABLE, PyBUF_ND, PyBUF_STRIDES, PyBUF_FORMAT = 0x1, 0x8, 0x18, 0x4
P, N = ctypes.c_void_p, ctypes.c_ssize_t
FIELDS = "buf obj len itemsize readonly ndim format shape strides suboffsets internal".split()
TYPES = [P, ctypes.py_object, N, N, ctypes.c_int, ctypes.c_int, ctypes.c_char_p, P, P, P, P]


class Py_buffer(ctypes.Structure):
    _fields_ = list(zip(FIELDS, TYPES, strict=True))


def get_buffer(obj, flags):
    """A view by the C API, with any flags (Python itself asks only for read-only ones)."""
    view = Py_buffer()
    ctypes.pythonapi.PyObject_GetBuffer(ctypes.py_object(obj), ctypes.byref(view), flags)
    return view


@pytest.mark.parametrize(
    "flags",
    [PyBUF_WRITABLE, PyBUF_WRITABLE | PyBUF_ND, PyBUF_WRITABLE | PyBUF_STRIDES | PyBUF_FORMAT],
)
@pytest.mark.parametrize("make", [MAKERS["continuous"], MAKERS["incremental"]])
def test_writable_views_are_refused(make, flags):
    series = make()
    with pytest.raises(BufferError, match="read-only"):
        get_buffer(series, flags)
    array = np.asarray(series)
    with pytest.raises(ValueError):
        array[0] = 0.0
    with pytest.raises(ValueError):
        array.setflags(write=True)
    assert conftest.leaks(lambda: pytest.raises(BufferError, get_buffer, series, flags)) < 100


def test_a_plain_request_gets_bytes_without_shape_or_format():
    view = get_buffer(MAKERS["continuous"](), 0)
    try:
        assert (view.len, view.readonly, view.format, bool(view.shape)) == (24, 1, None, False)
    finally:
        ctypes.pythonapi.PyBuffer_Release(ctypes.byref(view))


def test_views_hold_the_series_and_leak_nothing():
    series = utils.ContinuousTimeSeries([1.0, 2.0, 3.0], HOUR, "discharge")
    before = sys.getrefcount(series)
    views = [memoryview(series) for _ in range(10)]
    assert sys.getrefcount(series) == before + 10
    for view in views:
        view.release()
    assert sys.getrefcount(series) == before
    array = np.asarray(series)
    del series
    gc.collect()
    assert array.tolist() == [1.0, 2.0, 3.0]
    make = MAKERS["incremental"]
    assert conftest.leaks(lambda: np.asarray(make()).sum()) < 100


@pytest.mark.parametrize(
    "call, parameter",
    [
        (lambda s: tarnwick.metrics.calculate_kge(s, [1.0, 2.0, 3.0]), "sim"),
        (lambda s: utils.ContinuousTimeSeries(s, HOUR, "discharge"), "data"),
        (lambda s: tarnwick.reservoir.reservoir_utils.ElevationStorage([0, 1, 2], s), "storage"),
    ],
)
def test_a_series_is_still_no_sequence_of_floats(call, parameter):
    series = MAKERS["continuous"]()
    with pytest.raises(TypeError) as caught:
        call(series)
    assert str(caught.value) == (
        f"argument '{parameter}': 'ContinuousTimeSeries' object is not an instance of 'Sequence'"
    )


@pytest.mark.skipif(
    not conftest.installed(tarnwick), reason="the stubs ship with an installed module"
)
@pytest.mark.parametrize("version", ["3.10", "3.12"])
def test_stubs_let_numpy_take_a_series(tmp_path, version):
    pytest.importorskip("mypy", reason="the type check needs mypy (the test extra)")
    (tmp_path / "use.py").write_text(
        textwrap.dedent("""
            from datetime import timedelta
            import numpy as np
            import numpy.typing as npt
            import tarnwick

            flow = tarnwick.utils.ContinuousTimeSeries([1.0], timedelta(hours=1), "discharge")
            rain = tarnwick.utils.IncrementalTimeSeries([1.0], timedelta(hours=1), "rainfall")
            a: npt.NDArray[np.float64] = np.asarray(flow, dtype=np.float64)
            b = np.asarray(rain)
            view: memoryview = memoryview(flow)
        """)
    )
    command = [sys.executable, "-m", "mypy", "--strict", "--python-version", version, "use.py"]
    done = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
