// tarnwick.reservoir.reservoir_utils: rating curves and outlets.
#include "reservoir_utils.hpp"

#include <string>

#include "records.hpp"
#include "utils.hpp"

namespace tarnwick::python {

TARNWICK_DECLARE_CLASS(reservoir::ElevationDischarge)
TARNWICK_DECLARE_CLASS(reservoir::ConstantDischargeInfo)
TARNWICK_DECLARE_CLASS(reservoir::SpecifiedDischargeInfo)
TARNWICK_DECLARE_CLASS(reservoir::ControlledDischargeInfo)
TARNWICK_DECLARE_CLASS(reservoir::UnControlledDischargeInfo)

namespace {

using reservoir::ConstantDischargeInfo;
using reservoir::ControlledDischargeInfo;
using reservoir::ElevationDischarge;
using reservoir::ElevationStorage;
using reservoir::SpecifiedDischargeInfo;
using reservoir::UnControlledDischargeInfo;

// --- ElevationStorage -----------------------------------------------------

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

constexpr Callable get_storage{"get_storage", "elevation", get_storage_body,
                               "Interpolates the storage corresponding to a given elevation.\n\n"
                               "# Arguments\n\n"
                               "* `elevation` - Elevation value to look up.\n\n"
                               "# Returns\n\n"
                               "The interpolated storage, or a `PyValueError` if `elevation` is outside\n"
                               "the range of the stored curve."};

constexpr Callable get_elevation{"get_elevation", "storage", get_elevation_body,
                                 "Interpolates the elevation corresponding to a given storage value.\n\n"
                                 "# Arguments\n\n"
                                 "* `storage` - Storage value to look up.\n\n"
                                 "# Returns\n\n"
                                 "The interpolated elevation.\n\n"
                                 "# Panics\n\n"
                                 "Panics if `storage` is outside the range of the stored curve."};

constexpr Class<ElevationStorage> elevation_storage{
    .name = "ElevationStorage",
    .subclassable = true,
    .constructor = {"elevation, storage", make_storage},
    .doc =
        "Elevation-storage rating curve for a reservoir.\n\n"
        "Stores paired elevation and storage vectors and provides linear interpolation\n"
        "in both directions. Storage units must be consistent with the inflow units\n"
        "used in level pool routing (e.g., ft\xC2\xB3 when inflow is in cfs).\n\n"
        "# Fields\n\n"
        "* `elevation` - Sorted unique elevation values in ascending order.\n"
        "* `storage` - Sorted unique storage values in ascending order, each\n"
        "  corresponding to the paired elevation.",
    .fields = {{
        {"elevation", read<&ElevationStorage::elevation>},
        {"storage", read<&ElevationStorage::storage>},
    }},
    .methods = {&get_storage, &get_elevation},
};

// --- ElevationDischarge ---------------------------------------------------

ElevationDischarge make_discharge_curve(const Args& args) {
    auto elevation = args.get(0, to_vector);
    auto discharge = args.get(1, to_vector);
    return unwrap(reservoir::make_elevation_discharge(std::move(elevation), std::move(discharge)));
}

constexpr Class<ElevationDischarge> elevation_discharge{
    .name = "ElevationDischarge",
    .subclassable = true,
    .constructor = {"elevation, discharge", make_discharge_curve},
    .doc =
        "Elevation-discharge rating curve for a reservoir outlet.\n\n"
        "Stores paired elevation and discharge vectors used by outlet structs to look\n"
        "up the flow rate at a given water surface elevation via linear interpolation.\n\n"
        "# Fields\n\n"
        "* `elevation` - Sorted unique elevation values in ascending order.\n"
        "* `discharge` - Discharge values in ascending order, each corresponding\n"
        "  to the paired elevation (e.g., cfs).",
    .fields = {{
        {"elevation", read<&ElevationDischarge::elevation>},
        {"discharge", read<&ElevationDischarge::discharge>},
    }},
};

// --- The four outlets -----------------------------------------------------

ConstantDischargeInfo make_constant(const Args& args) {
    const double discharge = args.get(0, to_f64);
    auto minimum = args.get(1, to_opt_f64);
    auto maximum = args.get(2, to_opt_f64);
    return {discharge, minimum, maximum};
}

constexpr Class<ConstantDischargeInfo> constant_discharge_info{
    .name = "ConstantDischargeInfo",
    .subclassable = true,
    .constructor = {"discharge, minimum_elevation=None, maximum_elevation=None", make_constant},
    .doc =
        "Constant-rate discharge outlet.\n\n"
        "Releases a fixed flow rate at every time step, optionally gated by\n"
        "elevation bounds. When the reservoir elevation is outside the specified\n"
        "range, the outlet releases zero flow.",
    .fields = {{
        {"discharge", read<&ConstantDischargeInfo::discharge>, "Constant discharge rate (e.g., cfs)."},
        {"minimum_elevation", read<&ConstantDischargeInfo::minimum_elevation>,
         "Elevation below which no discharge occurs."},
        {"maximum_elevation", read<&ConstantDischargeInfo::maximum_elevation>,
         "Elevation above which no discharge occurs."},
    }},
};

SpecifiedDischargeInfo make_specified(const Args& args) {
    auto discharge = args.get(0, to_instance<ContinuousTimeSeries>);
    auto minimum = args.get(1, to_opt_f64);
    auto maximum = args.get(2, to_opt_f64);
    auto release = args.get(3, to_opt_f64);
    return {std::move(discharge), minimum, maximum, release};
}

constexpr Class<SpecifiedDischargeInfo> specified_discharge_info{
    .name = "SpecifiedDischargeInfo",
    .subclassable = true,
    .constructor = {"discharge, minimum_elevation=None, maximum_elevation=None, maximum_release=None", make_specified},
    .doc =
        "Time-varying specified discharge outlet.\n\n"
        "Discharge is read directly from a `ContinuousTimeSeries` at each simulation\n"
        "time step, optionally gated by elevation bounds and a maximum release cap.",
    .fields = {{
        {"discharge", read<&SpecifiedDischargeInfo::discharge>,
         "Time series of prescribed outflow values (kind=discharge)."},
        {"minimum_elevation", read<&SpecifiedDischargeInfo::minimum_elevation>, ""},
        {"maximum_elevation", read<&SpecifiedDischargeInfo::maximum_elevation>, ""},
        {"maximum_release", read<&SpecifiedDischargeInfo::maximum_release>, ""},
    }},
};

ControlledDischargeInfo make_controlled(const Args& args) {
    auto curve = args.get(0, to_instance<ElevationDischarge>);
    auto minimum = args.get(1, to_opt_f64);
    auto maximum = args.get(2, to_opt_f64);
    auto release = args.get(3, to_opt_f64);
    return reservoir::make_controlled_discharge(std::move(curve), minimum, maximum, release);
}

constexpr Class<ControlledDischargeInfo> controlled_discharge_info{
    .name = "ControlledDischargeInfo",
    .subclassable = true,
    .constructor = {"elevation_discharge, minimum_elevation=None, maximum_elevation=None, maximum_release=None",
                    make_controlled},
    .doc =
        "Controlled release outlet (e.g., gate, valve, conduit).\n\n"
        "Discharge is determined by an elevation-discharge rating curve and can be\n"
        "bounded by minimum/maximum elevation gates and a maximum release cap.\n"
        "When the reservoir elevation is below `minimum_elevation` or above\n"
        "`maximum_elevation`, the outlet releases zero flow.\n\n"
        "The `minimum_elevation` defaults to the lowest elevation in the rating curve\n"
        "if not provided, ensuring no negative-elevation lookups occur.",
    .fields = {{
        {"elevation_discharge", read<&ControlledDischargeInfo::elevation_discharge>,
         "Rating curve mapping elevation to discharge."},
        {"minimum_elevation", read<&ControlledDischargeInfo::minimum_elevation>,
         "Elevation below which no discharge occurs."},
        {"maximum_elevation", read<&ControlledDischargeInfo::maximum_elevation>,
         "Elevation above which no discharge occurs."},
        {"maximum_release", read<&ControlledDischargeInfo::maximum_release>, "Cap on the maximum allowable discharge."},
    }},
};

UnControlledDischargeInfo make_uncontrolled(const Args& args) {
    auto curve = args.get(0, to_instance<ElevationDischarge>);
    auto offset = args.get(1, to_opt_f64);
    return {std::move(curve), offset};
}

constexpr Class<UnControlledDischargeInfo> uncontrolled_discharge_info{
    .name = "UnControlledDischargeInfo",
    .subclassable = true,
    .constructor = {"elevation_discharge, elevation_offset=None", make_uncontrolled},
    .doc =
        "Uncontrolled spillway outlet.\n\n"
        "Discharge follows an elevation-discharge rating curve without operator\n"
        "control. An optional `elevation_offset` shifts the effective reservoir\n"
        "elevation before the rating-curve lookup \xE2\x80\x94 useful for modeling a weir crest\n"
        "that sits at a different datum than the storage curve.\n\n"
        "Zero discharge is returned when the (offset-adjusted) elevation is below\n"
        "the first entry in the rating curve.",
    .fields = {{
        {"elevation_discharge", read<&UnControlledDischargeInfo::elevation_discharge>,
         "Rating curve mapping elevation to discharge."},
        {"elevation_offset", read<&UnControlledDischargeInfo::elevation_offset>,
         "Additive offset applied to the reservoir elevation before curve lookup."},
    }},
};

}  // namespace

TARNWICK_DEFINE_CLASS(elevation_storage)
TARNWICK_DEFINE_CLASS(elevation_discharge)
TARNWICK_DEFINE_CLASS(constant_discharge_info)
TARNWICK_DEFINE_CLASS(specified_discharge_info)
TARNWICK_DEFINE_CLASS(controlled_discharge_info)
TARNWICK_DEFINE_CLASS(uncontrolled_discharge_info)

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
    fill<elevation_discharge, elevation_storage, controlled_discharge_info, uncontrolled_discharge_info,
         specified_discharge_info, constant_discharge_info>(module);
}

}  // namespace tarnwick::python
