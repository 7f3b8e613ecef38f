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
