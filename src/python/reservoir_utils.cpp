// tarnwick.reservoir.reservoir_utils: rating curves and outlets.
#include "reservoir_utils.hpp"

#include <string>

#include "binding.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "utils.hpp"

namespace tarnwick::python {

namespace {

using reservoir::ConstantDischargeInfo;
using reservoir::ControlledDischargeInfo;
using reservoir::ElevationDischarge;
using reservoir::ElevationStorage;
using reservoir::SpecifiedDischargeInfo;
using reservoir::UnControlledDischargeInfo;

// --- ElevationStorage -----------------------------------------------------

constexpr Signature storage_new{"ElevationStorage", "__new__", {"elevation", "storage"}, 2};
constexpr Signature get_storage_sig{"ElevationStorage", "get_storage", {"elevation"}, 1};
constexpr Signature get_elevation_sig{"ElevationStorage", "get_elevation", {"storage"}, 1};

ElevationStorage make_storage(const Args& args) {
    auto elevation = args.get(0, to_vector);
    auto storage = args.get(1, to_vector);
    return unwrap(reservoir::make_elevation_storage(std::move(elevation), std::move(storage)));
}

Ref get_storage_body(PyObject* self, const Args& args) {
    const double elevation = args.get(0, to_f64);
    return to_python(unwrap(reservoir::get_storage(value_of<ElevationStorage>(self), elevation)));
}

Ref get_elevation_body(PyObject* self, const Args& args) {
    const double storage = args.get(0, to_f64);
    return to_python(unwrap(reservoir::get_elevation(value_of<ElevationStorage>(self), storage)));
}

PyMethodDef storage_methods[] = {
    function_def<get_storage_sig, get_storage_body>(
        "get_storage($self, elevation)\n--\n\n"
        "Interpolates the storage corresponding to a given elevation.\n\n"
        "# Arguments\n\n"
        "* `elevation` - Elevation value to look up.\n\n"
        "# Returns\n\n"
        "The interpolated storage, or a `PyValueError` if `elevation` is outside\n"
        "the range of the stored curve."),
    function_def<get_elevation_sig, get_elevation_body>(
        "get_elevation($self, storage)\n--\n\n"
        "Interpolates the elevation corresponding to a given storage value.\n\n"
        "# Arguments\n\n"
        "* `storage` - Storage value to look up.\n\n"
        "# Returns\n\n"
        "The interpolated elevation.\n\n"
        "# Panics\n\n"
        "Panics if `storage` is outside the range of the stored curve."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef storage_getset[] = {
    {"elevation", get_field<ElevationStorage, &ElevationStorage::elevation>, nullptr, nullptr, nullptr},
    {"storage", get_field<ElevationStorage, &ElevationStorage::storage>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot storage_slots[] = {
    {Py_tp_new, slot(constructor_entry<ElevationStorage, storage_new, make_storage>)},
    {Py_tp_dealloc, slot(dealloc<ElevationStorage>)},
    {Py_tp_doc, const_cast<char*>("ElevationStorage(elevation, storage)\n--\n\n"
                                  "Elevation-storage rating curve for a reservoir.\n\n"
                                  "Stores paired elevation and storage vectors and provides linear interpolation\n"
                                  "in both directions. Storage units must be consistent with the inflow units\n"
                                  "used in level pool routing (e.g., ft\xC2\xB3 when inflow is in cfs).\n\n"
                                  "# Fields\n\n"
                                  "* `elevation` - Sorted unique elevation values in ascending order.\n"
                                  "* `storage` - Sorted unique storage values in ascending order, each\n"
                                  "  corresponding to the paired elevation.")},
    {Py_tp_getset, storage_getset},
    {Py_tp_methods, storage_methods},
    {0, nullptr},
};

PyType_Spec storage_spec{"builtins.ElevationStorage", sizeof(Instance<ElevationStorage>), 0, subclassable_flags,
                         storage_slots};

// --- ElevationDischarge ---------------------------------------------------

constexpr Signature discharge_curve_new{"ElevationDischarge", "__new__", {"elevation", "discharge"}, 2};

ElevationDischarge make_discharge_curve(const Args& args) {
    auto elevation = args.get(0, to_vector);
    auto discharge = args.get(1, to_vector);
    return unwrap(reservoir::make_elevation_discharge(std::move(elevation), std::move(discharge)));
}

PyGetSetDef discharge_curve_getset[] = {
    {"elevation", get_field<ElevationDischarge, &ElevationDischarge::elevation>, nullptr, nullptr, nullptr},
    {"discharge", get_field<ElevationDischarge, &ElevationDischarge::discharge>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot discharge_curve_slots[] = {
    {Py_tp_new, slot(constructor_entry<ElevationDischarge, discharge_curve_new, make_discharge_curve>)},
    {Py_tp_dealloc, slot(dealloc<ElevationDischarge>)},
    {Py_tp_doc, const_cast<char*>("ElevationDischarge(elevation, discharge)\n--\n\n"
                                  "Elevation-discharge rating curve for a reservoir outlet.\n\n"
                                  "Stores paired elevation and discharge vectors used by outlet structs to look\n"
                                  "up the flow rate at a given water surface elevation via linear interpolation.\n\n"
                                  "# Fields\n\n"
                                  "* `elevation` - Sorted unique elevation values in ascending order.\n"
                                  "* `discharge` - Discharge values in ascending order, each corresponding\n"
                                  "  to the paired elevation (e.g., cfs).")},
    {Py_tp_getset, discharge_curve_getset},
    {0, nullptr},
};

PyType_Spec discharge_curve_spec{"builtins.ElevationDischarge", sizeof(Instance<ElevationDischarge>), 0,
                                 subclassable_flags, discharge_curve_slots};

// --- ConstantDischargeInfo --------------------------------------------------

constexpr Signature constant_new{
    "ConstantDischargeInfo", "__new__", {"discharge", "minimum_elevation", "maximum_elevation"}, 1};

ConstantDischargeInfo make_constant(const Args& args) {
    const double discharge = args.get(0, to_f64);
    auto minimum = args.get(1, to_opt_f64);
    auto maximum = args.get(2, to_opt_f64);
    return {discharge, minimum, maximum};
}

PyGetSetDef constant_getset[] = {
    {"discharge", get_field<ConstantDischargeInfo, &ConstantDischargeInfo::discharge>, nullptr,
     "Constant discharge rate (e.g., cfs).", nullptr},
    {"minimum_elevation", get_field<ConstantDischargeInfo, &ConstantDischargeInfo::minimum_elevation>, nullptr,
     "Elevation below which no discharge occurs.", nullptr},
    {"maximum_elevation", get_field<ConstantDischargeInfo, &ConstantDischargeInfo::maximum_elevation>, nullptr,
     "Elevation above which no discharge occurs.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot constant_slots[] = {
    {Py_tp_new, slot(constructor_entry<ConstantDischargeInfo, constant_new, make_constant>)},
    {Py_tp_dealloc, slot(dealloc<ConstantDischargeInfo>)},
    {Py_tp_doc,
     const_cast<char*>("ConstantDischargeInfo(discharge, minimum_elevation=None, maximum_elevation=None)\n--\n\n"
                       "Constant-rate discharge outlet.\n\n"
                       "Releases a fixed flow rate at every time step, optionally gated by\n"
                       "elevation bounds. When the reservoir elevation is outside the specified\n"
                       "range, the outlet releases zero flow.")},
    {Py_tp_getset, constant_getset},
    {0, nullptr},
};

PyType_Spec constant_spec{"builtins.ConstantDischargeInfo", sizeof(Instance<ConstantDischargeInfo>), 0,
                          subclassable_flags, constant_slots};

// --- SpecifiedDischargeInfo -------------------------------------------------

constexpr Signature specified_new{
    "SpecifiedDischargeInfo", "__new__", {"discharge", "minimum_elevation", "maximum_elevation", "maximum_release"}, 1};

SpecifiedDischargeInfo make_specified(const Args& args) {
    auto discharge = args.get(0, to_instance<ContinuousTimeSeries>);
    auto minimum = args.get(1, to_opt_f64);
    auto maximum = args.get(2, to_opt_f64);
    auto release = args.get(3, to_opt_f64);
    return {std::move(discharge), minimum, maximum, release};
}

PyGetSetDef specified_getset[] = {
    {"discharge", get_field<SpecifiedDischargeInfo, &SpecifiedDischargeInfo::discharge>, nullptr,
     "Time series of prescribed outflow values (kind=discharge).", nullptr},
    {"minimum_elevation", get_field<SpecifiedDischargeInfo, &SpecifiedDischargeInfo::minimum_elevation>, nullptr, "",
     nullptr},
    {"maximum_elevation", get_field<SpecifiedDischargeInfo, &SpecifiedDischargeInfo::maximum_elevation>, nullptr, "",
     nullptr},
    {"maximum_release", get_field<SpecifiedDischargeInfo, &SpecifiedDischargeInfo::maximum_release>, nullptr, "",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot specified_slots[] = {
    {Py_tp_new, slot(constructor_entry<SpecifiedDischargeInfo, specified_new, make_specified>)},
    {Py_tp_dealloc, slot(dealloc<SpecifiedDischargeInfo>)},
    {Py_tp_doc, const_cast<char*>("SpecifiedDischargeInfo(discharge, minimum_elevation=None, maximum_elevation=None, "
                                  "maximum_release=None)\n--\n\n"
                                  "Time-varying specified discharge outlet.\n\n"
                                  "Discharge is read directly from a `ContinuousTimeSeries` at each simulation\n"
                                  "time step, optionally gated by elevation bounds and a maximum release cap.")},
    {Py_tp_getset, specified_getset},
    {0, nullptr},
};

PyType_Spec specified_spec{"builtins.SpecifiedDischargeInfo", sizeof(Instance<SpecifiedDischargeInfo>), 0,
                           subclassable_flags, specified_slots};

// --- ControlledDischargeInfo ------------------------------------------------

constexpr Signature controlled_new{"ControlledDischargeInfo",
                                   "__new__",
                                   {"elevation_discharge", "minimum_elevation", "maximum_elevation", "maximum_release"},
                                   1};

ControlledDischargeInfo make_controlled(const Args& args) {
    auto curve = args.get(0, to_instance<ElevationDischarge>);
    auto minimum = args.get(1, to_opt_f64);
    auto maximum = args.get(2, to_opt_f64);
    auto release = args.get(3, to_opt_f64);
    return reservoir::make_controlled_discharge(std::move(curve), minimum, maximum, release);
}

PyGetSetDef controlled_getset[] = {
    {"elevation_discharge", get_field<ControlledDischargeInfo, &ControlledDischargeInfo::elevation_discharge>, nullptr,
     "Rating curve mapping elevation to discharge.", nullptr},
    {"minimum_elevation", get_field<ControlledDischargeInfo, &ControlledDischargeInfo::minimum_elevation>, nullptr,
     "Elevation below which no discharge occurs.", nullptr},
    {"maximum_elevation", get_field<ControlledDischargeInfo, &ControlledDischargeInfo::maximum_elevation>, nullptr,
     "Elevation above which no discharge occurs.", nullptr},
    {"maximum_release", get_field<ControlledDischargeInfo, &ControlledDischargeInfo::maximum_release>, nullptr,
     "Cap on the maximum allowable discharge.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot controlled_slots[] = {
    {Py_tp_new, slot(constructor_entry<ControlledDischargeInfo, controlled_new, make_controlled>)},
    {Py_tp_dealloc, slot(dealloc<ControlledDischargeInfo>)},
    {Py_tp_doc, const_cast<char*>("ControlledDischargeInfo(elevation_discharge, minimum_elevation=None, "
                                  "maximum_elevation=None, maximum_release=None)\n--\n\n"
                                  "Controlled release outlet (e.g., gate, valve, conduit).\n\n"
                                  "Discharge is determined by an elevation-discharge rating curve and can be\n"
                                  "bounded by minimum/maximum elevation gates and a maximum release cap.\n"
                                  "When the reservoir elevation is below `minimum_elevation` or above\n"
                                  "`maximum_elevation`, the outlet releases zero flow.\n\n"
                                  "The `minimum_elevation` defaults to the lowest elevation in the rating curve\n"
                                  "if not provided, ensuring no negative-elevation lookups occur.")},
    {Py_tp_getset, controlled_getset},
    {0, nullptr},
};

PyType_Spec controlled_spec{"builtins.ControlledDischargeInfo", sizeof(Instance<ControlledDischargeInfo>), 0,
                            subclassable_flags, controlled_slots};

// --- UnControlledDischargeInfo ----------------------------------------------

constexpr Signature uncontrolled_new{
    "UnControlledDischargeInfo", "__new__", {"elevation_discharge", "elevation_offset"}, 1};

UnControlledDischargeInfo make_uncontrolled(const Args& args) {
    auto curve = args.get(0, to_instance<ElevationDischarge>);
    auto offset = args.get(1, to_opt_f64);
    return {std::move(curve), offset};
}

PyGetSetDef uncontrolled_getset[] = {
    {"elevation_discharge", get_field<UnControlledDischargeInfo, &UnControlledDischargeInfo::elevation_discharge>,
     nullptr, "Rating curve mapping elevation to discharge.", nullptr},
    {"elevation_offset", get_field<UnControlledDischargeInfo, &UnControlledDischargeInfo::elevation_offset>, nullptr,
     "Additive offset applied to the reservoir elevation before curve lookup.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot uncontrolled_slots[] = {
    {Py_tp_new, slot(constructor_entry<UnControlledDischargeInfo, uncontrolled_new, make_uncontrolled>)},
    {Py_tp_dealloc, slot(dealloc<UnControlledDischargeInfo>)},
    {Py_tp_doc,
     const_cast<char*>("UnControlledDischargeInfo(elevation_discharge, elevation_offset=None)\n--\n\n"
                       "Uncontrolled spillway outlet.\n\n"
                       "Discharge follows an elevation-discharge rating curve without operator\n"
                       "control. An optional `elevation_offset` shifts the effective reservoir\n"
                       "elevation before the rating-curve lookup \xE2\x80\x94 useful for modeling a weir crest\n"
                       "that sits at a different datum than the storage curve.\n\n"
                       "Zero discharge is returned when the (offset-adjusted) elevation is below\n"
                       "the first entry in the rating curve.")},
    {Py_tp_getset, uncontrolled_getset},
    {0, nullptr},
};

PyType_Spec uncontrolled_spec{"builtins.UnControlledDischargeInfo", sizeof(Instance<UnControlledDischargeInfo>), 0,
                              subclassable_flags, uncontrolled_slots};

}  // namespace

TARNWICK_DEFINE_CLASS(ElevationStorage, storage_spec)

TARNWICK_DEFINE_CLASS(ElevationDischarge, discharge_curve_spec)

TARNWICK_DEFINE_CLASS(ConstantDischargeInfo, constant_spec)

TARNWICK_DEFINE_CLASS(SpecifiedDischargeInfo, specified_spec)

TARNWICK_DEFINE_CLASS(ControlledDischargeInfo, controlled_spec)

TARNWICK_DEFINE_CLASS(UnControlledDischargeInfo, uncontrolled_spec)

reservoir::DischargeInfo to_discharge_info(PyObject* object) {
    if (is_instance<UnControlledDischargeInfo>(object)) return value_of<UnControlledDischargeInfo>(object);
    if (is_instance<ControlledDischargeInfo>(object)) return value_of<ControlledDischargeInfo>(object);
    if (is_instance<SpecifiedDischargeInfo>(object)) return value_of<SpecifiedDischargeInfo>(object);
    if (is_instance<ConstantDischargeInfo>(object)) return value_of<ConstantDischargeInfo>(object);

    struct Variant {
        const char* name;
        const char* target;
    };
    constexpr Variant variants[] = {{"Uncontrolled", "UnControlledDischargeInfo"},
                                    {"Controlled", "ControlledDischargeInfo"},
                                    {"Specified", "SpecifiedDischargeInfo"},
                                    {"Constant", "ConstantDischargeInfo"}};
    std::string message = "failed to extract enum DischargeInfo ('Uncontrolled | Controlled | Specified | Constant')";
    for (const Variant& variant : variants) {
        const std::string name = variant.name;
        message += "\n- variant " + name + " (" + name +
                   "): TypeError: failed to extract field DischargeInfo::" + name +
                   ".0, caused by TypeError: " + not_instance_message(object, variant.target);
    }
    raise(PyExc_TypeError, message);
}

void fill_reservoir_utils(PyObject* module) {
    add_class<ElevationDischarge>(module);
    add_class<ElevationStorage>(module);
    add_class<ControlledDischargeInfo>(module);
    add_class<UnControlledDischargeInfo>(module);
    add_class<SpecifiedDischargeInfo>(module);
    add_class<ConstantDischargeInfo>(module);
}

}  // namespace tarnwick::python
