"""The module tree, its entry points, and the class and exception properties."""

import sys
import threading

import pytest

import tarnwick

from conftest import load_entry

TREE = {
    "tarnwick": [
        "utils",
        "reach",
        "reservoir",
        "rainfall_transform",
        "rainfall_loss",
        "baseflow",
        "metrics",
    ],
    "utils": ["ContinuousTimeSeries", "IncrementalTimeSeries"],
    "reach": ["run_muskingum_routing"],
    "reservoir": ["reservoir_utils", "run_level_pool_routing", "LevelPoolResult"],
    "reservoir_utils": [
        "ElevationDischarge",
        "ElevationStorage",
        "ControlledDischargeInfo",
        "UnControlledDischargeInfo",
        "SpecifiedDischargeInfo",
        "ConstantDischargeInfo",
    ],
    "rainfall_transform": ["run_clark_uh"],
    "rainfall_loss": ["DeficitConstantResult", "run_deficit_and_constant"],
    "baseflow": ["run_linear_reservoir", "LinearReservoir"],
    "metrics": ["calculate_kge"],
}

MODULES = {
    "tarnwick": tarnwick,
    "utils": tarnwick.utils,
    "reach": tarnwick.reach,
    "reservoir": tarnwick.reservoir,
    "reservoir_utils": tarnwick.reservoir.reservoir_utils,
    "rainfall_transform": tarnwick.rainfall_transform,
    "rainfall_loss": tarnwick.rainfall_loss,
    "baseflow": tarnwick.baseflow,
    "metrics": tarnwick.metrics,
}

ENTRIES = {
    "init_reach": "reach",
    "init_reservoir": "reservoir",
    "init_transform": "rainfall_transform",
    "init_loss": "rainfall_loss",
    "init_baseflow": "baseflow",
    "init_metrics": "metrics",
}


@pytest.mark.parametrize("name", TREE)
def test_all_lists_registration_order(name):
    module = MODULES[name]
    assert module.__all__ == TREE[name]
    for attribute in TREE[name]:
        assert getattr(module, attribute) is not None


def test_module_names_and_docs():
    assert tarnwick.__doc__ == ""
    assert tarnwick.utils.__doc__ is None
    assert tarnwick.utils.__name__ == "utils"
    assert tarnwick.reservoir.reservoir_utils.__name__ == "reservoir_utils"
    assert tarnwick.reach.run_muskingum_routing.__module__ == "reach"
    assert tarnwick.reach.run_muskingum_routing.__self__ is tarnwick.reach
    assert tarnwick.utils.ContinuousTimeSeries.__module__ == "builtins"
    assert tarnwick.utils.ContinuousTimeSeries.__qualname__ == "ContinuousTimeSeries"


def test_not_a_package():
    from tarnwick import utils  # noqa: F401

    with pytest.raises(ModuleNotFoundError):
        __import__("tarnwick.utils")
    assert "utils" not in sys.modules
    for module in (tarnwick, tarnwick.utils):
        assert not hasattr(module, "interp1d")
        assert not hasattr(module, "get_value")
    assert not hasattr(tarnwick.utils.ContinuousTimeSeries, "get_value")


@pytest.mark.parametrize("entry, submodule", ENTRIES.items())
def test_further_entries_share_classes_not_functions(entry, submodule):
    module = load_entry(entry)
    assert module.__name__ == entry
    assert module.__doc__ == ""
    expected = MODULES[submodule]
    assert module.__all__ == expected.__all__
    for name in module.__all__:
        mine, theirs = getattr(module, name), getattr(expected, name)
        if isinstance(theirs, type):
            assert mine is theirs
        elif callable(theirs):
            assert mine is not theirs
            assert mine.__module__ == entry
            assert mine.__self__ is module
        else:  # the reservoir entry builds its own reservoir_utils
            assert mine is not theirs
            assert mine.__all__ == theirs.__all__


def test_no_utils_entry():
    with pytest.raises(ImportError):
        load_entry("init_utils")


def test_types_created_once_across_threads():
    # Every import in any thread hands out the same class objects.
    seen = []

    def work():
        seen.append(load_entry("init_baseflow").LinearReservoir)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(cls is tarnwick.baseflow.LinearReservoir for cls in seen)


CLASSES = [
    (tarnwick.utils, "ContinuousTimeSeries", True, True),
    (tarnwick.utils, "IncrementalTimeSeries", True, True),
    (tarnwick.reservoir.reservoir_utils, "ElevationStorage", True, True),
    (tarnwick.reservoir.reservoir_utils, "ElevationDischarge", True, True),
    (tarnwick.reservoir.reservoir_utils, "ConstantDischargeInfo", True, True),
    (tarnwick.reservoir.reservoir_utils, "SpecifiedDischargeInfo", True, True),
    (tarnwick.reservoir.reservoir_utils, "ControlledDischargeInfo", True, True),
    (tarnwick.reservoir.reservoir_utils, "UnControlledDischargeInfo", True, True),
    (tarnwick.baseflow, "LinearReservoir", True, False),
    (tarnwick.rainfall_loss, "DeficitConstantResult", False, True),
    (tarnwick.reservoir, "LevelPoolResult", False, True),
]


@pytest.mark.parametrize("module, name, constructible, subclassable", CLASSES)
def test_class_properties(module, name, constructible, subclassable):
    cls = getattr(module, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert "__dict__" not in dir(cls)
    assert cls.__weakrefoffset__ == 0
    if not constructible:
        with pytest.raises(TypeError):
            cls()
    if subclassable:

        class Sub(cls):
            pass

        assert issubclass(Sub, cls)
    else:
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    # Class objects are not frozen.
    cls.extra_attribute = 1
    del cls.extra_attribute


def test_panic_exception_is_base_exception(hourly):
    from datetime import timedelta

    series = hourly([])
    with pytest.raises(BaseException) as info:
        try:
            tarnwick.reach.run_muskingum_routing(series, timedelta(hours=1), 0.2, 1, 0.0)
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    panic = info.type
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert "BaseException" in panic.__doc__
    assert str(info.value) == "index out of bounds: the len is 0 but the index is 0"
    assert not any(getattr(m, "PanicException", None) for m in MODULES.values())


# Every callable's documentation as the interpreter shows it, written out
# whole: the signature line ("name(params)"), a line "--", an empty line and
# the description. A class without a constructor has the description only.
DOCS = [
    (
        "utils.ContinuousTimeSeries",
        "ContinuousTimeSeries(data, time_step, kind)\n--\n\nA uniformly-spaced time series where each value represents a quantity at a\ndiscrete point in time (e.g. discharge, elevation, storage).\n\nTotal duration spans first to last point: `time_step * (len(data) - 1)`.\nSupports linear interpolation between points.",
    ),
    (
        "utils.IncrementalTimeSeries",
        "IncrementalTimeSeries(data, time_step, kind)\n--\n\nA uniformly-spaced time series where each value represents a quantity\naccumulated over one time step interval (e.g. rainfall depth, volume added).\n\nTotal duration spans all intervals: `time_step * len(data)`.\nSupports disaggregation to a finer time step.",
    ),
    (
        "utils.ContinuousTimeSeries.total_duration",
        "total_duration($self)\n--\n\nTotal duration from first to last data point (seconds).",
    ),
    (
        "utils.IncrementalTimeSeries.total_duration",
        "total_duration($self)\n--\n\nTotal duration spanning all time step intervals (seconds).",
    ),
    (
        "utils.IncrementalTimeSeries.disaggregate",
        "disaggregate($self, target_step)\n--\n\nDisaggregates to a finer `target_step` (seconds) by uniformly\ndistributing each bucket's value. Total depth is preserved.",
    ),
    (
        "reservoir.reservoir_utils.ElevationStorage",
        "ElevationStorage(elevation, storage)\n--\n\nElevation-storage rating curve for a reservoir.\n\nStores paired elevation and storage vectors and provides linear interpolation\nin both directions. Storage units must be consistent with the inflow units\nused in level pool routing (e.g., ft³ when inflow is in cfs).\n\n# Fields\n\n* `elevation` - Sorted unique elevation values in ascending order.\n* `storage` - Sorted unique storage values in ascending order, each\n  corresponding to the paired elevation.",
    ),
    (
        "reservoir.reservoir_utils.ElevationDischarge",
        "ElevationDischarge(elevation, discharge)\n--\n\nElevation-discharge rating curve for a reservoir outlet.\n\nStores paired elevation and discharge vectors used by outlet structs to look\nup the flow rate at a given water surface elevation via linear interpolation.\n\n# Fields\n\n* `elevation` - Sorted unique elevation values in ascending order.\n* `discharge` - Discharge values in ascending order, each corresponding\n  to the paired elevation (e.g., cfs).",
    ),
    (
        "reservoir.reservoir_utils.ElevationStorage.get_storage",
        "get_storage($self, elevation)\n--\n\nInterpolates the storage corresponding to a given elevation.\n\n# Arguments\n\n* `elevation` - Elevation value to look up.\n\n# Returns\n\nThe interpolated storage, or a `PyValueError` if `elevation` is outside\nthe range of the stored curve.",
    ),
    (
        "reservoir.reservoir_utils.ElevationStorage.get_elevation",
        "get_elevation($self, storage)\n--\n\nInterpolates the elevation corresponding to a given storage value.\n\n# Arguments\n\n* `storage` - Storage value to look up.\n\n# Returns\n\nThe interpolated elevation.\n\n# Panics\n\nPanics if `storage` is outside the range of the stored curve.",
    ),
    (
        "reservoir.reservoir_utils.ConstantDischargeInfo",
        "ConstantDischargeInfo(discharge, minimum_elevation=None, maximum_elevation=None)\n--\n\nConstant-rate discharge outlet.\n\nReleases a fixed flow rate at every time step, optionally gated by\nelevation bounds. When the reservoir elevation is outside the specified\nrange, the outlet releases zero flow.",
    ),
    (
        "reservoir.reservoir_utils.SpecifiedDischargeInfo",
        "SpecifiedDischargeInfo(discharge, minimum_elevation=None, maximum_elevation=None, maximum_release=None)\n--\n\nTime-varying specified discharge outlet.\n\nDischarge is read directly from a `ContinuousTimeSeries` at each simulation\ntime step, optionally gated by elevation bounds and a maximum release cap.",
    ),
    (
        "reservoir.reservoir_utils.ControlledDischargeInfo",
        "ControlledDischargeInfo(elevation_discharge, minimum_elevation=None, maximum_elevation=None, maximum_release=None)\n--\n\nControlled release outlet (e.g., gate, valve, conduit).\n\nDischarge is determined by an elevation-discharge rating curve and can be\nbounded by minimum/maximum elevation gates and a maximum release cap.\nWhen the reservoir elevation is below `minimum_elevation` or above\n`maximum_elevation`, the outlet releases zero flow.\n\nThe `minimum_elevation` defaults to the lowest elevation in the rating curve\nif not provided, ensuring no negative-elevation lookups occur.",
    ),
    (
        "reservoir.reservoir_utils.UnControlledDischargeInfo",
        "UnControlledDischargeInfo(elevation_discharge, elevation_offset=None)\n--\n\nUncontrolled spillway outlet.\n\nDischarge follows an elevation-discharge rating curve without operator\ncontrol. An optional `elevation_offset` shifts the effective reservoir\nelevation before the rating-curve lookup — useful for modeling a weir crest\nthat sits at a different datum than the storage curve.\n\nZero discharge is returned when the (offset-adjusted) elevation is below\nthe first entry in the rating curve.",
    ),
    (
        "reservoir.run_level_pool_routing",
        "run_level_pool_routing(inflow, initial_elevation, elevation_storage, discharge_info)\n--\n\nPerforms level pool (modified Puls) routing for a reservoir.\n\nIntegrates the mass balance equation `dS/dt = I - O` over the inflow\nhydrograph duration. Output vectors are recorded at the original inflow time\nstep.\n\n# Errors\n\nReturns a `PyValueError` if any outlet's discharge calculation fails or if\nthe initial elevation is outside the elevation-storage curve range.",
    ),
    (
        "reservoir.LevelPoolResult",
        "Results from a level pool routing simulation.",
    ),
    (
        "reach.run_muskingum_routing",
        "run_muskingum_routing(inflow, k, x, sub_reaches, initial_outflow)\n--\n\nRoutes an inflow hydrograph through a channel reach using the Muskingum method.\n\nThe reach can be divided into `sub_reaches` equal segments to improve\nnumerical accuracy. Each segment is routed sequentially using the same\nMuskingum coefficients derived from the per-segment `k` and the weighting\nfactor `x`.\n\nIssues a Python `warnings.warn` if `x` is outside the physically meaningful\nrange `[0.0, 0.5]`.\n\n# Arguments\n\n* `inflow` - Inflow hydrograph at the upstream end of the reach.\n* `k` - Storage time constant for the full reach (seconds). The per-segment\n  value is `k / sub_reaches`.\n* `x` - Weighting factor in `[0.0, 0.5]`. `x=0` gives pure reservoir routing\n  (maximum attenuation); `x=0.5` approximates kinematic routing (no attenuation).\n* `sub_reaches` - Number of equal sub-reaches. Must be >= 1.\n* `initial_outflow` - Initial outflow value. Defaults to the first inflow\n  value if not provided.\n\n# Returns\n\nA `ContinuousTimeSeries` (kind=discharge) of routed outflow values at the\nsame time step as `inflow`.",
    ),
    (
        "rainfall_loss.run_deficit_and_constant",
        "run_deficit_and_constant(rainfall, initial_deficit, max_deficit, constant_loss_per_hr, time_to_dry)\n--\n\nSeparates gross rainfall into excess runoff and infiltration losses using the\ndeficit-and-constant model.\n\n# Arguments\n\n* `rainfall` - Gross rainfall time series (inches per time step).\n* `initial_deficit` - Starting soil moisture deficit (inches).\n* `max_deficit` - Maximum soil moisture storage capacity (inches).\n* `constant_loss_per_hr` - Constant infiltration rate (inches/hour).\n* `time_to_dry` - Characteristic drying time for deficit recovery.\n\n# Returns\n\nA `DeficitConstantResult` with `excess`, `loss`, and `deficit` series.",
    ),
    (
        "rainfall_transform.run_clark_uh",
        "run_clark_uh(rainfall, basin_area, tc, storage_r)\n--\n\nTransforms excess rainfall into a runoff hydrograph using the Clark unit hydrograph.\n\n# Arguments\n\n* `rainfall` - Excess rainfall series (inches per time step).\n* `basin_area` - Drainage area in acres.\n* `tc` - Time of concentration. Controls the duration and shape of the\n  translation hydrograph.\n* `storage_r` - Linear reservoir storage coefficient. Controls attenuation.\n\n# Returns\n\nA `ContinuousTimeSeries` (kind=discharge, cfs) at the same time step as `rainfall`.",
    ),
    (
        "baseflow.run_linear_reservoir",
        "run_linear_reservoir(basin_area, rainfall, reservoirs)\n--\n\nRoutes infiltrated rainfall through multiple named linear reservoirs to produce baseflow.\n\n# Arguments\n\n* `basin_area` - Drainage area in acres.\n* `rainfall` - Infiltrated rainfall series (inches per time step).\n* `reservoirs` - Named linear reservoir configurations.\n\n# Errors\n\nReturns a `PyValueError` if sum of all fractions exceeds 1.0,\nor any reservoir fails its stability check.",
    ),
    (
        "metrics.calculate_kge",
        "calculate_kge(sim, obs, use_log=False)\n--\n\nCalculates the Kling-Gupta Efficiency (KGE) between simulated and observed series.\n\nKGE decomposes model performance into three components measured against\na perfect score of 1:\n\n- **r** (Pearson correlation) — timing and shape agreement.\n- **β = mean_sim / mean_obs** — bias ratio.\n- **γ = std_sim / std_obs** — variability ratio.\n\nThe efficiency is computed as:\n```text\nKGE = 1 - sqrt((r-1)² + (β-1)² + (γ-1)²)\n```\n\nA KGE of 1 indicates a perfect match. Values above 0 are generally\nconsidered acceptable. Setting `use_log = true` applies a log transform\nbefore computing statistics, which emphasises low-flow performance.\n\n# Arguments\n\n* `sim` - Simulated time series.\n* `obs` - Observed time series. Must have the same length as `sim`.\n* `use_log` - If `true`, transforms both series with `ln(x + ε)` before\n  computing statistics.\n\n# Errors\n\nReturns a `PyValueError` if `obs` is empty or if `sim` and `obs` have\ndifferent lengths.",
    ),
    (
        "rainfall_loss.DeficitConstantResult",
        "Results from the deficit-and-constant rainfall loss model.",
    ),
    (
        "baseflow.LinearReservoir",
        "LinearReservoir(k_duration, gw_fraction, initial_q, num_reservoir=1)\n--\n\nConfiguration for a single linear reservoir groundwater layer.\n\nA linear reservoir models groundwater storage with the recurrence relation:\n`Q[t] = C * I[t] + (1 - C) * Q[t-1]`, where `C = dt / (K + 0.5*dt)`.\nChaining `num_reservoir` reservoirs in series produces a more peaked,\ndelayed response.",
    ),
]


def resolve(path):
    obj = tarnwick
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.mark.parametrize("path, text", DOCS)
def test_docstrings_and_text_signatures(path, text):
    obj = resolve(path)
    head, separator, body = text.partition("\n--\n\n")
    if separator:
        assert obj.__text_signature__ == head[head.index("(") :]
        assert obj.__doc__ == body
    else:
        assert obj.__text_signature__ is None
        assert obj.__doc__ == text


# Each class's attributes with their documentation (None: no docstring).
FIELD_DOCS = {
    "utils.ContinuousTimeSeries": {
        "data": "",
        "kind": "",
        "time_step": "",
    },
    "utils.IncrementalTimeSeries": {
        "data": "",
        "kind": "",
        "time_step": "",
    },
    "reservoir.reservoir_utils.ElevationStorage": {
        "elevation": None,
        "storage": None,
    },
    "reservoir.reservoir_utils.ElevationDischarge": {
        "elevation": None,
        "discharge": None,
    },
    "reservoir.reservoir_utils.ConstantDischargeInfo": {
        "discharge": "Constant discharge rate (e.g., cfs).",
        "minimum_elevation": "Elevation below which no discharge occurs.",
        "maximum_elevation": "Elevation above which no discharge occurs.",
    },
    "reservoir.reservoir_utils.SpecifiedDischargeInfo": {
        "discharge": "Time series of prescribed outflow values (kind=discharge).",
        "minimum_elevation": "",
        "maximum_elevation": "",
        "maximum_release": "",
    },
    "reservoir.reservoir_utils.ControlledDischargeInfo": {
        "elevation_discharge": "Rating curve mapping elevation to discharge.",
        "minimum_elevation": "Elevation below which no discharge occurs.",
        "maximum_elevation": "Elevation above which no discharge occurs.",
        "maximum_release": "Cap on the maximum allowable discharge.",
    },
    "reservoir.reservoir_utils.UnControlledDischargeInfo": {
        "elevation_discharge": "Rating curve mapping elevation to discharge.",
        "elevation_offset": "Additive offset applied to the reservoir elevation before curve lookup.",
    },
    "reservoir.LevelPoolResult": {
        "reservoir_storage": "Reservoir storage volume at each output time step.",
        "reservoir_elevation": "Water surface elevation at each output time step.",
        "reservoir_total_outflow": "Combined outflow from all outlets at each output time step.",
        "reservoir_individual_outflows": "Per-outlet outflow time series keyed by outlet name.",
    },
    "rainfall_loss.DeficitConstantResult": {
        "excess": "Excess rainfall that becomes surface runoff (inches per time step).",
        "loss": "Total infiltrated depth per time step (constant loss + deficit fill, inches).",
        "deficit": "Running soil moisture deficit at the end of each time step (inches).",
    },
    "baseflow.LinearReservoir": {
        "gw_fraction": "Fraction of rainfall loss that contributes to this reservoir's baseflow.\nMust be in [0.0, 1.0].",
        "initial_q": "Initial discharge at the start of the simulation (e.g., cfs).",
        "num_reservoir": "Number of linear reservoirs chained in series.",
        "k_duration": "Returns the storage time constant as a Python `timedelta`.",
    },
}


@pytest.mark.parametrize("path, docs", FIELD_DOCS.items())
def test_attribute_docs(path, docs):
    cls = resolve(path)
    attributes = {
        name: value.__doc__
        for name, value in vars(cls).items()
        if type(value).__name__ == "getset_descriptor" and not name.startswith("__")
    }
    assert attributes == docs
