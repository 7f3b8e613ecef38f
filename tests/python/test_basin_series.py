"""tarnwick_basin.series: dated records in and out of the module's series."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest

from tarnwick_basin import (
    FilledWarning,
    check_record,
    dated,
    flow_series,
    rainfall_series,
    read_gauge_csv,
    time_step,
)


def hourly(values, start="2024-03-01 01:00"):
    return pd.Series(values, index=pd.date_range(start, periods=len(values), freq="h"))


@pytest.mark.parametrize(
    "index, message",
    [
        (
            pd.DatetimeIndex(["2024-01-01 00:00", "2024-01-01 01:00", "2024-01-01 03:00"]),
            "the record is not uniformly spaced: 2:00:00 from 2024-01-01 01:00:00 to "
            "2024-01-01 03:00:00 where the step is 1:00:00; fill or split it first",
        ),
        (
            pd.DatetimeIndex(["2024-01-01 00:00", "2024-01-01 01:00", "2024-01-01 01:30"]),
            "from 2024-01-01 01:00:00 to 2024-01-01 01:30:00",
        ),
        (
            pd.DatetimeIndex(["2024-01-01 01:00", "2024-01-01 00:00", "2024-01-01 01:00"]),
            "-1 day, 23:00:00 from 2024-01-01 01:00:00 to 2024-01-01 00:00:00",
        ),
        (pd.DatetimeIndex(["2024-01-01 00:00", "2024-01-01 00:00"]), ": 0:00:00 from"),
        (pd.DatetimeIndex(["2024-01-01"]), "at least two dated values"),
        (pd.date_range("2024-01-01", periods=3, freq="500ms"), "not a whole number of seconds"),
    ],
)
def test_a_gap_or_uneven_step_is_refused_naming_the_first_break(index, message):
    with pytest.raises(ValueError) as info:
        time_step(index)
    assert message in str(info.value)


def test_the_step_is_read_from_the_index():
    assert time_step(pd.date_range("2024-01-01", periods=4, freq="15min")).total_seconds() == 900
    with pytest.raises(TypeError, match="needs a DatetimeIndex"):
        time_step(pd.RangeIndex(3))


def test_missing_values_are_refused_naming_how_many_and_the_first_dates():
    record = hourly([1.0, math.nan, 2.0, math.inf, math.nan, math.nan, 3.0])
    with pytest.raises(ValueError) as info:
        check_record(record)
    assert str(info.value) == (
        "the record has 4 missing values (at 2024-03-01 02:00:00, 2024-03-01 04:00:00, "
        "2024-03-01 05:00:00, ...); pass fill='dry' or fill='interpolate' to fill them"
    )


@pytest.mark.parametrize(
    "fill, expected",
    [
        ("dry", [0.0, 1.0, 0.0, 0.0, 4.0, 0.0]),
        ("interpolate", [1.0, 1.0, 2.0, 3.0, 4.0, 4.0]),
    ],
)
def test_missing_values_are_filled_on_request_and_counted(fill, expected):
    record = hourly([None, 1.0, math.nan, math.nan, 4.0, math.nan])
    with pytest.warns(FilledWarning, match=f"filled 4 missing values \\({fill}\\)"):
        checked = check_record(record, fill)
    assert checked.filled == 4
    assert checked.values.tolist() == expected
    assert record.isna().sum() == 4  # the caller's record is left alone


def test_a_data_frame_is_refused_with_a_pointer_to_one_column():
    frame = hourly([1.0, 2.0, 3.0]).to_frame()
    with pytest.raises(TypeError, match="is a DataFrame: pass one column"):
        rainfall_series(frame, "mm")


@pytest.mark.parametrize(
    "make, unit, module_value",
    [
        (rainfall_series, "mm", 1.0),  # 25.4 mm is one inch exactly
        (rainfall_series, "in", 25.4),
        (flow_series, "m3/s", 1.0 / 0.028316846592 * 25.4),
        (flow_series, "cfs", 25.4),
    ],
)
def test_units_convert_exactly_and_round_trip(make, unit, module_value):
    rng = np.random.default_rng(3)
    values = np.concatenate([[25.4], rng.gamma(0.5, 7.0, 500)])
    record = hourly(values)
    converted = make(record, unit)
    assert np.asarray(converted.series)[0] == pytest.approx(module_value, rel=1e-15)
    back = dated(converted.series, converted.start, unit)
    assert back.index.equals(record.index)
    np.testing.assert_array_max_ulp(back.to_numpy(), values, maxulp=1)


def test_results_are_labelled_at_instants_and_interval_ends():
    record = hourly([0.0, 5.0, 10.0, 0.0])
    rain = rainfall_series(record, "mm")
    assert rain.start == pd.Timestamp("2024-03-01 00:00")
    # The same clock read as a flow: value i at start + i * step.
    flow = dated(flow_series(record, "cfs").series, rain.start)
    assert flow.index[0] == pd.Timestamp("2024-03-01 00:00")
    assert dated(rain.series, rain.start).index.equals(record.index)


def test_a_unit_that_does_not_fit_the_series_kind_is_refused():
    rain = rainfall_series(hourly([1.0, 2.0]), "mm")
    with pytest.raises(ValueError, match="a depth unit must be one of 'mm', 'in'; got 'cfs'"):
        dated(rain.series, rain.start, "cfs")


def test_a_headerless_gauge_csv_is_read_in_one_call(tmp_path):
    path = tmp_path / "gauge.csv"
    path.write_text("2024-01-01 00:00,1.5,10\n2024-01-01 01:00,,11\n2024-01-01 02:00,0.5,12\n")
    with pytest.raises(ValueError, match="column 1 has 1 missing value \\(at 2024-01-01 01:00"):
        read_gauge_csv(path, header=False)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        frame = read_gauge_csv(path, header=False, fill="dry")
    assert [str(w.message) for w in caught] == [
        f"{path}: column 1: filled 1 missing value (dry), the first at 2024-01-01 01:00:00"
    ]
    assert list(frame.columns) == [1, 2]
    assert frame[1].tolist() == [1.5, 0.0, 0.5]
    assert frame[2].dtype == np.float64


@pytest.mark.parametrize(
    "text, message",
    [
        ("date,q\n2024-01-01,1\n2024-01-02,x\n", "column 'q' holds 'x' at 2024-01-02"),
        ("date,q\n2024-01-01,1\n2024-01-03,2\n2024-01-04,2\n", "not uniformly spaced"),
        ("date,q\nmonday,1\ntuesday,2\n", "the first column holds no dates"),
    ],
)
@pytest.mark.filterwarnings("ignore:Could not infer format")
def test_a_gauge_csv_is_checked_like_a_record(tmp_path, text, message):
    path = tmp_path / "gauge.csv"
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        read_gauge_csv(path)
