"""The installed type stubs describe the module as it behaves at run time.

stubtest compares names, signatures and defaults, but it imports every stub
file as a module, and the submodules are attributes of `tarnwick`, not modules
Python can import by name; so they are entered in sys.modules under their stub
files' names first. What stubtest leaves out (whether an attribute can be set,
and the types that attributes and calls give back) is checked here on samples.
"""

import ast
import operator
import subprocess
import sys
from datetime import timedelta
from pathlib import Path

import pytest

import tarnwick

import conftest

pytest.importorskip("mypy", reason="the stub checks need mypy (the test extra)")
if not conftest.installed(tarnwick):
    pytest.skip("the stubs ship with an installed module only", allow_module_level=True)

ROOT = Path(__file__).resolve().parents[2]
STUBS = Path(tarnwick.__file__).parent / "tarnwick-stubs"
HOUR = timedelta(hours=1)
# Each private stub file and the submodule it describes, as a path from tarnwick.
SUBMODULES = {
    "_utils": "utils",
    "_reach": "reach",
    "_reservoir": "reservoir",
    "_reservoir_utils": "reservoir.reservoir_utils",
    "_rainfall_transform": "rainfall_transform",
    "_rainfall_loss": "rainfall_loss",
    "_baseflow": "baseflow",
    "_metrics": "metrics",
}
KINDS = {"discharge", "rainfall", "elevation", "volume"}
TYPES = {"float": float, "int": int, "str": str, "bool": bool, "timedelta": timedelta} | {
    name: value
    for path in SUBMODULES.values()
    for name, value in vars(operator.attrgetter(path)(tarnwick)).items()
    if isinstance(value, type)
}


def run(*command, cwd=ROOT):
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stubtest_finds_no_difference(tmp_path):
    script = (
        "import operator, sys, tarnwick\n"
        f"for stub, path in {SUBMODULES!r}.items():\n"
        "    sys.modules['tarnwick.' + stub] = operator.attrgetter(path)(tarnwick)\n"
        "from mypy.stubtest import main\n"
        "sys.argv = ['stubtest', 'tarnwick']\n"
        "sys.exit(main())\n"
    )
    run(sys.executable, "-c", script, cwd=tmp_path)


def test_examples_and_figure_script_pass_mypy_strict():
    run(sys.executable, "-m", "mypy", "--strict", "examples", "docs/make_figures.py")


@pytest.fixture(scope="module")
def samples():
    """One instance of every class, and what every function and method returns."""
    utils, outlets = tarnwick.utils, tarnwick.reservoir.reservoir_utils
    flow = utils.ContinuousTimeSeries([0.0, 10.0, 5.0], HOUR, "discharge")
    rain = utils.IncrementalTimeSeries([0.5, 1.0, 0.0], HOUR, "rainfall")
    curve = outlets.ElevationStorage([100.0, 110.0], [0.0, 1e7])
    rating = outlets.ElevationDischarge([100.0, 110.0], [0.0, 100.0])
    mixed = {
        "gate": outlets.ControlledDischargeInfo(rating, None, 108.0, 50.0),
        "spill": outlets.UnControlledDischargeInfo(rating, -1.0),
        "set": outlets.SpecifiedDischargeInfo(flow, 100.0),
        "base": outlets.ConstantDischargeInfo(1.0),
    }
    layer = tarnwick.baseflow.LinearReservoir(10 * HOUR, 0.5, 1.0)
    pool = tarnwick.reservoir.run_level_pool_routing(flow, 105.0, curve, mixed)
    loss = tarnwick.rainfall_loss.run_deficit_and_constant(rain, 0.1, 1.0, 0.1, 10 * HOUR)
    instances = [flow, rain, curve, rating, *mixed.values(), layer, pool, loss]
    results = {
        "_utils.ContinuousTimeSeries.total_duration": flow.total_duration(),
        "_utils.IncrementalTimeSeries.total_duration": rain.total_duration(),
        "_utils.IncrementalTimeSeries.disaggregate": rain.disaggregate(1800),
        "_reservoir_utils.ElevationStorage.get_storage": curve.get_storage(105),
        "_reservoir_utils.ElevationStorage.get_elevation": curve.get_elevation(1e6),
        "_reach.run_muskingum_routing": tarnwick.reach.run_muskingum_routing(
            flow, HOUR, 0.2, 1, 0.0
        ),
        "_reservoir.run_level_pool_routing": pool,
        "_rainfall_transform.run_clark_uh": tarnwick.rainfall_transform.run_clark_uh(
            rain, 100.0, 2 * HOUR, HOUR
        ),
        "_rainfall_loss.run_deficit_and_constant": loss,
        "_baseflow.run_linear_reservoir": tarnwick.baseflow.run_linear_reservoir(
            100.0, rain, {"a": layer}
        ),
        "_metrics.calculate_kge": tarnwick.metrics.calculate_kge([1.0, 2.0], [1.0, 3.0]),
    }
    return {type(obj).__name__: obj for obj in instances}, results


def conforms(value, annotation, owner=None):
    """Whether a value is of the type a stub annotation names, classes matched exactly."""
    match annotation:
        case ast.Constant(value=None):
            return value is None
        case ast.BinOp(op=ast.BitOr(), left=left, right=right):
            return conforms(value, left, owner) or conforms(value, right, owner)
        case ast.Subscript(value=ast.Name(id="list"), slice=item):
            return type(value) is list and all(conforms(v, item) for v in value)
        case ast.Subscript(value=ast.Name(id="dict"), slice=ast.Tuple(elts=[key, item])):
            return type(value) is dict and all(
                conforms(k, key) and conforms(v, item) for k, v in value.items()
            )
        case ast.Subscript(value=ast.Name(id="tuple"), slice=ast.Tuple(elts=items)):
            return (
                type(value) is tuple
                and len(value) == len(items)
                and all(conforms(v, item) for v, item in zip(value, items, strict=True))
            )
        case ast.Name(id="Self"):
            return type(value) is owner
        case ast.Name(id="_Kind"):
            return value in KINDS
        case ast.Name(id=name):
            return type(value) is TYPES[name]
    raise AssertionError(f"annotation not understood: {ast.unparse(annotation)}")


def decorators(function):
    return {ast.unparse(d) for d in function.decorator_list}


def test_attributes_and_results_have_the_stubs_types(samples):
    instances, results = samples
    wrong, seen = [], set()
    for path in sorted(STUBS.glob("_*.pyi")):
        for node in ast.parse(path.read_text()).body:
            if isinstance(node, ast.FunctionDef):
                seen.add(where := f"{path.stem}.{node.name}")
                if not conforms(results[where], node.returns):
                    wrong.append(f"{where} returned {results[where]!r}")
            if not isinstance(node, ast.ClassDef) or node.name.startswith("_"):
                continue
            instance = instances[node.name]
            functions = [f for f in node.body if isinstance(f, ast.FunctionDef)]
            setters = {f.name for f in functions if f"{f.name}.setter" in decorators(f)}
            for function in functions:
                where = f"{path.stem}.{node.name}.{function.name}"
                if "property" in decorators(function):
                    value = getattr(instance, function.name)
                    if not conforms(value, function.returns, type(instance)):
                        wrong.append(f"{where} read {value!r}")
                    try:
                        setattr(instance, function.name, value)
                        writable = True
                    except AttributeError:
                        writable = False
                    if writable != (function.name in setters):
                        wrong.append(f"{where} is {'' if writable else 'not '}writable")
                elif function.name != "__new__" and function.name not in setters:
                    seen.add(where)
                    if not conforms(results[where], function.returns, type(instance)):
                        wrong.append(f"{where} returned {results[where]!r}")
    assert not wrong
    assert seen == set(results)
