"""A basin as data: elements with parameters, each naming its downstream element.

Elements are frozen dataclasses. Durations are plain numbers of hours; depths,
flows and areas are in the basin's units (`Units`). A basin is built in Python or
loaded from a TOML file, and checked when it is made: every fault is refused with
one message that names the element and the field.
"""

from __future__ import annotations

import dataclasses
import math
import sys
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from os import PathLike
from pathlib import Path
from typing import Any, Literal

from .series import AREA_UNITS, DEPTH_UNITS, FLOW_UNITS

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - 3.10
    import tomli as tomllib


class BasinError(ValueError):
    """A basin description that cannot be run; the message names element and field."""


@dataclass(frozen=True)
class Units:
    """The units of a basin's parameters, inputs and results."""

    depth: str = "mm"  # "mm" or "in": rainfall, deficits, loss rates (per hour)
    flow: str = "m3/s"  # "m3/s" or "cfs": flows; storages are flow times seconds
    area: str = "km2"  # "km2" or "acre"

    @property
    def volume(self) -> str:
        """The unit of storages and of the volume balance."""
        return "m3" if self.flow == "m3/s" else "ft3"


@dataclass(frozen=True)
class BaseflowLayer:
    """One groundwater layer: a chain of `reservoirs` equal linear reservoirs."""

    k_hours: float  # storage constant of the whole chain
    fraction: float  # share of the infiltrated depth the layer takes, 0 to 1
    initial_q: float = 0.0  # starting outflow of every reservoir (flow unit)
    reservoirs: int = 1


@dataclass(frozen=True)
class Subbasin:
    """Rainfall to outflow: deficit-and-constant loss, Clark unit hydrograph, baseflow."""

    name: str
    downstream: str | None
    area: float
    initial_deficit: float  # depth
    max_deficit: float  # depth
    constant_loss: float  # depth per hour
    time_to_dry_hours: float  # 0: the soil never recovers
    tc_hours: float
    storage_hours: float
    baseflow: Mapping[str, BaseflowLayer] = field(default_factory=dict)


@dataclass(frozen=True)
class Reach:
    """Muskingum routing of the sum of the inflows."""

    name: str
    downstream: str | None
    k_hours: float
    x: float
    sub_reaches: int = 1
    initial_outflow: float | None = None  # None: the inflow at the start


@dataclass(frozen=True)
class Outlet:
    """One outlet of a reservoir.

    `kind` is "controlled" (a gate or conduit on a rating curve, within an elevation
    band, capped by `maximum_release`), "spillway" (uncontrolled, on a rating curve,
    shifted by `elevation_offset`) or "constant" (a fixed `discharge` within the band).
    """

    kind: Literal["controlled", "spillway", "constant"]
    elevation: tuple[float, ...] = ()
    discharge: tuple[float, ...] | float = ()
    minimum_elevation: float | None = None
    maximum_elevation: float | None = None
    maximum_release: float | None = None
    elevation_offset: float | None = None


@dataclass(frozen=True)
class Reservoir:
    """Level pool routing of the sum of the inflows through named outlets."""

    name: str
    downstream: str | None
    elevation: tuple[float, ...]  # of the storage curve
    storage: tuple[float, ...]  # volume unit (m3 or ft3)
    initial_elevation: float
    outlets: Mapping[str, Outlet] = field(default_factory=dict)


@dataclass(frozen=True)
class Junction:
    """The sum of its inflows."""

    name: str
    downstream: str | None


@dataclass(frozen=True)
class Inflow:
    """An observed flow entering the basin: the record given for it at run time."""

    name: str
    downstream: str | None


Element = Subbasin | Reach | Reservoir | Junction | Inflow
KINDS: dict[type, str] = {
    Subbasin: "subbasin",
    Reach: "reach",
    Reservoir: "reservoir",
    Junction: "junction",
    Inflow: "inflow",
}
SOURCES = (Subbasin, Inflow)


def kind_of(element: Element) -> str:
    return KINDS[type(element)]


def _label(element: Element) -> str:
    return f"{kind_of(element)} {element.name!r}"


def _number(where: str, name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise BasinError(f"{where}: {name} must be a number, not {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise BasinError(f"{where}: {name} must be a finite number, got {number}")
    return number


def _at_least(where: str, name: str, value: object, low: float, strict: bool = False) -> float:
    number = _number(where, name, value)
    if number < low or (strict and number == low):
        sign = ">" if strict else ">="
        raise BasinError(f"{where}: {name} must be {sign} {low:g}, got {number:g}")
    return number


def _between(where: str, name: str, value: object, low: float, high: float) -> float:
    number = _number(where, name, value)
    if not low <= number <= high:
        raise BasinError(f"{where}: {name} must be between {low:g} and {high:g}, got {number:g}")
    return number


def _count(where: str, name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise BasinError(f"{where}: {name} must be a whole number >= 1, got {value!r}")
    return value


def _curve(where: str, name: str, values: object, *, strict: bool) -> tuple[float, ...]:
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise BasinError(f"{where}: {name} must be a list of numbers")
    numbers = tuple(_number(where, name, v) for v in values)
    if len(numbers) < 2:
        raise BasinError(f"{where}: {name} needs at least two values, got {len(numbers)}")
    for a, b in zip(numbers[:-1], numbers[1:], strict=True):
        if b < a or (strict and b == a):
            order = "strictly increasing" if strict else "never decreasing"
            raise BasinError(f"{where}: {name} must be {order}: {b:g} follows {a:g}")
    return numbers


def check_element(element: Element) -> None:
    """Refuses a missing or out-of-range parameter of one element."""
    where = _label(element)
    if isinstance(element, Subbasin):
        _at_least(where, "area", element.area, 0.0, strict=True)
        max_deficit = _at_least(where, "max_deficit", element.max_deficit, 0.0)
        _between(where, "initial_deficit", element.initial_deficit, 0.0, max_deficit)
        _at_least(where, "constant_loss", element.constant_loss, 0.0)
        _at_least(where, "time_to_dry_hours", element.time_to_dry_hours, 0.0)
        _at_least(where, "tc_hours", element.tc_hours, 0.0, strict=True)
        _at_least(where, "storage_hours", element.storage_hours, 0.0, strict=True)
        total = 0.0
        for name, layer in element.baseflow.items():
            at = f"{where}: baseflow layer {name!r}"
            if not isinstance(layer, BaseflowLayer):
                raise BasinError(f"{at} must be a BaseflowLayer")
            _at_least(at, "k_hours", layer.k_hours, 1.0 / 3600.0)
            total += _between(at, "fraction", layer.fraction, 0.0, 1.0)
            _at_least(at, "initial_q", layer.initial_q, 0.0)
            _count(at, "reservoirs", layer.reservoirs)
        if total > 1.000001:
            raise BasinError(f"{where}: baseflow fractions add up to {total:g}, more than 1")
    elif isinstance(element, Reach):
        _at_least(where, "k_hours", element.k_hours, 0.0, strict=True)
        _between(where, "x", element.x, 0.0, 0.5)
        _count(where, "sub_reaches", element.sub_reaches)
        if element.initial_outflow is not None:
            _at_least(where, "initial_outflow", element.initial_outflow, 0.0)
    elif isinstance(element, Reservoir):
        elevation = _curve(where, "elevation", element.elevation, strict=True)
        storage = _curve(where, "storage", element.storage, strict=True)
        if len(elevation) != len(storage):
            raise BasinError(
                f"{where}: storage has {len(storage)} values for {len(elevation)} elevations"
            )
        if storage[0] < 0.0:
            raise BasinError(f"{where}: storage must be >= 0, got {storage[0]:g}")
        _between(where, "initial_elevation", element.initial_elevation, elevation[0], elevation[-1])
        for name, outlet in element.outlets.items():
            _check_outlet(f"{where}: outlet {name!r}", outlet)
    elif not isinstance(element, (Junction, Inflow)):
        raise BasinError(f"{element!r} is no basin element")


def _check_outlet(where: str, outlet: Outlet) -> None:
    if not isinstance(outlet, Outlet):
        raise BasinError(f"{where} must be an Outlet")
    if outlet.kind not in ("controlled", "spillway", "constant"):
        raise BasinError(
            f"{where}: kind must be 'controlled', 'spillway' or 'constant', got {outlet.kind!r}"
        )
    if outlet.kind == "constant":
        _at_least(where, "discharge", outlet.discharge, 0.0)
    else:
        elevation = _curve(where, "elevation", outlet.elevation, strict=True)
        discharge = _curve(where, "discharge", outlet.discharge, strict=False)
        if len(elevation) != len(discharge):
            raise BasinError(
                f"{where}: discharge has {len(discharge)} values for {len(elevation)} elevations"
            )
        if discharge[0] < 0.0:
            raise BasinError(f"{where}: discharge must be >= 0, got {discharge[0]:g}")
    for name in ("minimum_elevation", "maximum_elevation", "maximum_release", "elevation_offset"):
        value = getattr(outlet, name)
        if value is not None:
            _number(where, name, value)


@dataclass(frozen=True)
class Basin:
    """Elements in a network that drains to one outlet, and the units of its numbers.

    Made, the basin is checked; `order` lists the element names so that every
    element comes after all the elements that flow into it, and `upstream` maps a
    name to the names flowing into it, in the order the elements were given.
    """

    elements: tuple[Element, ...]
    units: Units = Units()
    outlet: str = field(init=False)
    order: tuple[str, ...] = field(init=False, repr=False, compare=False)
    upstream: Mapping[str, tuple[str, ...]] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "elements", tuple(self.elements))
        _check_units(self.units)
        by_name: dict[str, Element] = {}
        for element in self.elements:
            if type(element) not in KINDS:
                raise BasinError(f"{element!r} is no basin element")
            name = element.name
            if not isinstance(name, str) or not name or "." in name:
                raise BasinError(
                    f"{kind_of(element)} {name!r}: name must be a non-empty text without dots"
                )
            if name in by_name:
                raise BasinError(f"{_label(element)}: name is given to two elements")
            by_name[name] = element
        if not by_name:
            raise BasinError("a basin needs at least one element")
        upstream: dict[str, list[str]] = {name: [] for name in by_name}
        outlets = []
        for element in self.elements:
            down = element.downstream
            if down is None:
                outlets.append(element)
                continue
            target = by_name.get(down)
            if target is None:
                raise BasinError(
                    f"{_label(element)}: downstream {down!r} is no element of the basin"
                )
            if isinstance(target, SOURCES):
                raise BasinError(
                    f"{_label(element)}: downstream {down!r} is a {kind_of(target)}, "
                    "which takes no inflow: no path to the outlet"
                )
            upstream[down].append(element.name)
        if len(outlets) > 1:
            raise BasinError(
                f"{_label(outlets[1])}: downstream is missing, but {outlets[0].name!r} is "
                "already the outlet (a basin has one outlet)"
            )
        _check_cycles(self.elements, by_name)
        for element in self.elements:
            check_element(element)
        object.__setattr__(self, "outlet", outlets[0].name)
        object.__setattr__(self, "upstream", {k: tuple(v) for k, v in upstream.items()})
        object.__setattr__(self, "order", _dependency_order(self.outlet, self.upstream))

    def __getitem__(self, name: str) -> Element:
        for element in self.elements:
            if element.name == name:
                return element
        raise KeyError(f"no element {name!r} in the basin")

    @property
    def names(self) -> tuple[str, ...]:
        return tuple(element.name for element in self.elements)

    def structure(self) -> tuple[tuple[type, str, str | None], ...]:
        """What a prepared run depends on besides parameter values: kinds, names, links."""
        return tuple((type(e), e.name, e.downstream) for e in self.elements)

    @classmethod
    def from_toml(cls, text: str) -> Basin:
        """A basin from the text of a TOML description (see `load_basin`)."""
        try:
            data = tomllib.loads(text)
        except tomllib.TOMLDecodeError as error:
            raise BasinError(f"not a valid TOML file: {error}") from None
        return from_mapping(data)

    def with_values(self, values: Mapping[str, float]) -> Basin:
        """A new basin with parameter values replaced.

        Keys are dotted paths: "element.field", or "element.baseflow.layer.field"
        for a baseflow layer ("north.tc_hours", "north.baseflow.groundwater.k_hours").
        An unknown path raises KeyError naming it; an out-of-range value is refused
        with the message loading would give.
        """
        changes: dict[str, dict[str, Any]] = {}
        layer_changes: dict[str, dict[str, dict[str, Any]]] = {}
        index = {element.name: element for element in self.elements}
        for path, value in values.items():
            parts = path.split(".")
            element = index.get(parts[0])
            if element is None:
                raise KeyError(f"{path!r}: no element {parts[0]!r} in the basin")
            if len(parts) == 2 and parts[1] in _VALUE_FIELDS[type(element)]:
                changes.setdefault(parts[0], {})[parts[1]] = value
            elif (
                len(parts) == 4
                and isinstance(element, Subbasin)
                and parts[1] == "baseflow"
                and parts[2] in element.baseflow
                and parts[3] in _LAYER_FIELDS
            ):
                layer_changes.setdefault(parts[0], {}).setdefault(parts[2], {})[parts[3]] = value
            else:
                raise KeyError(f"{path!r}: no parameter of that name in {_label(element)}")
        elements = []
        for element in self.elements:
            fields = changes.get(element.name)
            layers = layer_changes.get(element.name)
            if fields is None and layers is None:
                elements.append(element)
                continue
            replaced = dict(fields or {})
            if layers is not None:
                assert isinstance(element, Subbasin)
                replaced["baseflow"] = {
                    name: dataclasses.replace(layer, **layers[name]) if name in layers else layer
                    for name, layer in element.baseflow.items()
                }
            new = dataclasses.replace(element, **replaced)
            check_element(new)
            elements.append(new)
        basin = object.__new__(Basin)
        for name in ("units", "outlet", "order", "upstream"):
            object.__setattr__(basin, name, getattr(self, name))
        object.__setattr__(basin, "elements", tuple(elements))
        return basin


_VALUE_FIELDS: dict[type, frozenset[str]] = {
    Subbasin: frozenset(
        (
            "area",
            "initial_deficit",
            "max_deficit",
            "constant_loss",
            "time_to_dry_hours",
            "tc_hours",
            "storage_hours",
        )
    ),
    Reach: frozenset(("k_hours", "x", "initial_outflow")),
    Reservoir: frozenset(("initial_elevation",)),
    Junction: frozenset(),
    Inflow: frozenset(),
}
_LAYER_FIELDS = frozenset(("k_hours", "fraction", "initial_q"))


def _check_units(units: Units) -> None:
    for name, allowed in (("depth", DEPTH_UNITS), ("flow", FLOW_UNITS), ("area", AREA_UNITS)):
        value = getattr(units, name)
        if value not in allowed:
            raise BasinError(
                f"units: {name} must be one of {', '.join(map(repr, allowed))}, got {value!r}"
            )


def _check_cycles(elements: tuple[Element, ...], by_name: Mapping[str, Element]) -> None:
    """Refuses a cycle, through the first element (in the order given) that is on one.

    With every downstream name known and one outlet, a way that never reaches
    the outlet ends in a cycle. Each element is walked downstream at most once.
    """
    walked: set[str] = set()
    on_cycles: set[str] = set()
    for element in elements:
        path: list[str] = []
        position: dict[str, int] = {}
        name: str | None = element.name
        while name is not None and name not in walked:
            if name in position:
                on_cycles.update(path[position[name] :])
                break
            position[name] = len(path)
            path.append(name)
            name = by_name[name].downstream
        walked.update(path)
    if on_cycles:
        first = next(e for e in elements if e.name in on_cycles)
        cycle = [first.name]
        while (following := by_name[cycle[-1]].downstream) != first.name:
            assert following is not None
            cycle.append(following)
        raise BasinError(
            f"{_label(first)}: downstream {first.downstream!r} makes a cycle: "
            + " -> ".join([*cycle, first.name])
        )


def _dependency_order(outlet: str, upstream: Mapping[str, tuple[str, ...]]) -> tuple[str, ...]:
    """Every element after the elements flowing into it, each as soon as those are done.

    Upstream from the outlet, depth first, the largest branch first: an element
    comes right after the last of its inflows, while their results are still in
    the processor's cache. (Iterative: a long chain of reaches needs no deep stack.)
    """
    below: list[str] = []  # every element after the one it drains into
    stack = [outlet]
    while stack:
        name = stack.pop()
        below.append(name)
        stack.extend(upstream[name])
    size: dict[str, int] = {}
    for name in reversed(below):
        size[name] = 1 + sum(size[above] for above in upstream[name])
    order: list[str] = []
    pending: list[tuple[str, bool]] = [(outlet, False)]
    while pending:
        name, ready = pending.pop()
        if ready:
            order.append(name)
            continue
        pending.append((name, True))
        # Pushed smallest first, so the largest branch is taken first.
        branches = sorted(upstream[name], key=lambda above: size[above])
        pending.extend((above, False) for above in branches)
    return tuple(order)


# Loading ------------------------------------------------------------------------------------

_TABLES: dict[str, type] = {
    "subbasin": Subbasin,
    "reach": Reach,
    "reservoir": Reservoir,
    "junction": Junction,
    "inflow": Inflow,
}


def _fields(cls: type) -> tuple[set[str], set[str]]:
    """(every field, the required ones) of an element class, besides the name."""
    every, required = set(), set()
    for f in dataclasses.fields(cls):
        if f.name == "name":
            continue
        every.add(f.name)
        if f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING:
            required.add(f.name)
    return every, required


def _build(cls: type, where: str, table: object, extra: Mapping[str, Any] | None = None) -> Any:
    if not isinstance(table, dict):
        raise BasinError(f"{where} must be a table")
    every, required = _fields(cls)
    given = dict(table)
    if "downstream" in every:
        required.discard("downstream")
        given.setdefault("downstream", None)
    for key in given:
        if key not in every:
            raise BasinError(f"{where}: unknown field {key!r}")
    for key in sorted(required):
        if key not in given:
            raise BasinError(f"{where}: {key} is missing")
    given.update(extra or {})
    return given


def from_mapping(data: Mapping[str, Any]) -> Basin:
    """A basin from parsed TOML: tables [units], [subbasin.NAME], [reach.NAME], ..."""
    for key in data:
        if key != "units" and key not in _TABLES:
            raise BasinError(f"unknown table [{key}]: expected units, " + ", ".join(_TABLES))
    units_table = data.get("units", {})
    if not isinstance(units_table, dict):
        raise BasinError("units must be a table")
    for key in units_table:
        if key not in ("depth", "flow", "area"):
            raise BasinError(f"units: unknown field {key!r}")
    units = Units(**units_table)
    elements: list[Element] = []
    for kind, cls in _TABLES.items():
        tables = data.get(kind, {})
        if not isinstance(tables, dict):
            raise BasinError(f"{kind} must be a table of named elements")
        for name, table in tables.items():
            where = f"{kind} {name!r}"
            given = _build(cls, where, table)
            if cls is Subbasin:
                layers = given.get("baseflow", {})
                if not isinstance(layers, dict):
                    raise BasinError(f"{where}: baseflow must be a table of named layers")
                given["baseflow"] = {
                    layer: BaseflowLayer(
                        **_build(BaseflowLayer, f"{where}: baseflow layer {layer!r}", layer_table)
                    )
                    for layer, layer_table in layers.items()
                }
            elif cls is Reservoir:
                outlets = given.get("outlets", {})
                if not isinstance(outlets, dict):
                    raise BasinError(f"{where}: outlets must be a table of named outlets")
                built = {}
                for outlet, outlet_table in outlets.items():
                    at = f"{where}: outlet {outlet!r}"
                    fields = _build(Outlet, at, outlet_table)
                    for curve in ("elevation", "discharge"):
                        if isinstance(fields.get(curve), list):
                            fields[curve] = tuple(fields[curve])
                    built[outlet] = Outlet(**fields)
                given["outlets"] = built
                for curve in ("elevation", "storage"):
                    if isinstance(given.get(curve), list):
                        given[curve] = tuple(given[curve])
            elements.append(cls(name=name, **given))
    if not elements:
        raise BasinError("the file describes no element")
    order = _file_order(data)
    elements.sort(key=lambda e: order.get(e.name, 0))
    return Basin(tuple(elements), units)


def _file_order(data: Mapping[str, Any]) -> dict[str, int]:
    """Elements in the order their kinds' tables were written (a table per kind)."""
    position = 0
    order: dict[str, int] = {}
    for kind, tables in data.items():
        if kind in _TABLES and isinstance(tables, dict):
            for name in tables:
                order.setdefault(name, position)
                position += 1
    return order


def load_basin(path: str | PathLike[str]) -> Basin:
    """Reads and checks a basin described in a TOML file.

    The file holds an optional [units] table (depth, flow, area) and one table per
    element, [subbasin.NAME], [reach.NAME], [reservoir.NAME], [junction.NAME] and
    [inflow.NAME], each with a `downstream` name (omitted for the outlet) and the
    fields of its dataclass; a subbasin's layers are [subbasin.NAME.baseflow.LAYER]
    tables, a reservoir's outlets [reservoir.NAME.outlets.OUTLET] tables.
    """
    text = Path(path).read_text(encoding="utf-8")
    try:
        return Basin.from_toml(text)
    except BasinError as error:
        raise BasinError(f"{path}: {error}") from None
