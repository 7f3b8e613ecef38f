"""The installed type stubs describe the module as it behaves at run time.

stubtest compares names, signatures and defaults, but it imports every stub
file as a module, and the submodules are attributes of `tarnwick`, not modules
Python can import by name; so they are entered in sys.modules under their stub
files' names first. What stubtest leaves out (whether an attribute can be set,
the types that attributes and calls give back, the docstrings) is checked here
on samples.
"""

import ast
import inspect
import operator
import subprocess
import sys
from datetime import timedelta
from pathlib import Path

import pytest

import tarnwick

import conftest

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
    pytest.importorskip("mypy", reason="stubtest comes with mypy (the test extra)")
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
    pytest.importorskip("mypy", reason="the type check needs mypy (the test extra)")
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


def stub_members():
    """(path in the stubs, stub node, kind, runtime class or None, runtime object)
    for every function, class, property and method the stubs describe."""
    for stub, path in SUBMODULES.items():
        module = operator.attrgetter(path)(tarnwick)
        for node in ast.parse((STUBS / f"{stub}.pyi").read_text()).body:
            where = f"{stub}.{getattr(node, 'name', '')}"
            if isinstance(node, ast.FunctionDef):
                yield where, node, "function", None, getattr(module, node.name)
            if not isinstance(node, ast.ClassDef) or node.name.startswith("_"):
                continue
            cls = getattr(module, node.name)
            yield where, node, "class", cls, cls
            for member in (m for m in node.body if isinstance(m, ast.FunctionDef)):
                decorators = {ast.unparse(d) for d in member.decorator_list}
                if "property" in decorators:
                    kind = "property"
                elif f"{member.name}.setter" in decorators:
                    kind = "setter"
                else:
                    kind = "constructor" if member.name == "__new__" else "method"
                yield (
                    f"{where}.{member.name}",
                    member,
                    kind,
                    cls,
                    inspect.getattr_static(cls, member.name),
                )


def test_attributes_and_results_have_the_stubs_types(samples):
    instances, results = samples
    members = list(stub_members())
    setters = {where for where, _, kind, _, _ in members if kind == "setter"}
    wrong = []
    for where, node, kind, cls, _ in members:
        if kind in ("function", "method") and not conforms(results[where], node.returns, cls):
            wrong.append(f"{where} returned {results[where]!r}")
        if kind == "property":
            instance = instances[cls.__name__]
            value = getattr(instance, node.name)
            if not conforms(value, node.returns, cls):
                wrong.append(f"{where} read {value!r}")
            try:
                setattr(instance, node.name, value)
                writable = True
            except AttributeError:
                writable = False
            if writable != (where in setters):
                wrong.append(f"{where} is {'' if writable else 'not '}writable")
    assert not wrong
    assert {where for where, _, kind, _, _ in members if kind in ("function", "method")} == set(
        results
    )


def test_stub_docstrings_are_the_modules():
    """Editors show the stubs' docstrings, so they must be the module's own."""
    wrong = [
        where
        for where, node, kind, _, runtime in stub_members()
        if kind not in ("constructor", "setter")
        and (ast.get_docstring(node) or "") != inspect.cleandoc(runtime.__doc__ or "")
    ]
    assert not wrong
