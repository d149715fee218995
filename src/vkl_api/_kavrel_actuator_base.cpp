// Actuator vocabulary and the base class shared by the physical and the
// simulated actuator.
#include "core/pyutil.hpp"

#include <memory>

namespace nb = nanobind;
using namespace vkl;

namespace {

// Module state: the namespace the methods read at call time (`logger`,
// `is_valid_actuator_address`).
struct State {
    nb::dict g;
};
using StateP = std::shared_ptr<State>;

// ---- state ----------------------------------------------------------------------------
void init(State &S, nb::handle self, nb::handle address, nb::handle logger) {
    nb::object addr = arg_int(address, "address");
    nb::object lg = truth(logger) ? nb::borrow(logger) : module_global(S.g, "logger");
    nb::setattr(self, "logger", lg);
    nb::setattr(self, "address", addr);
    nb::setattr(self, "_feedback_callback", nb::none());
    nb::setattr(self, "error_callback", nb::getattr(self, "_default_error_callback"));
    nb::setattr(self, "feedback", nb::dict());
    nb::setattr(self, "low_feedback", nb::dict());
    nb::setattr(self, "_connected", nb::bool_(false));
    nb::setattr(self, "_got_pong", nb::bool_(false));
    nb::setattr(self, "got_parameters", nb::bool_(false));
    nb::setattr(self, "model", nb::getattr(self, "MODELS_NAMES")[nb::int_(0)]);
    nb::setattr(self, "parameters", nb::dict());
    nb::setattr(self, "can_high_speed", nb::bool_(false));
    nb::setattr(self, "_current_mode", nb::none());
}

nb::object connected(nb::handle self) { return nb::getattr(self, "_connected"); }

nb::object implementation_version(nb::handle) {
    raise(PyExc_NotImplementedError, "implementation_version must be implemented by actuator subclasses");
}

nb::object get_feedback(nb::handle self) {
    nb::object fb = nb::getattr(self, "feedback");
    if (fb.is_none() || PyDict_CheckExact(fb.ptr()))
        return fb;
    raise(PyExc_TypeError, std::string("Expected dict, got ") + tp_name_of(fb));
}

nb::object is_valid_actuator_address(State &S, nb::handle address) {
    nb::object a = arg_int(address, "address");
    // Looked up at call time, so the protocol check can be replaced.
    return module_global(S.g, "is_valid_actuator_address")(a);
}

// ---- callbacks --------------------------------------------------------------------------
void set_feedback_callback(nb::handle self, nb::handle callback) { nb::setattr(self, "_feedback_callback", callback); }

void set_error_callback(nb::handle self, nb::handle callback) { nb::setattr(self, "error_callback", callback); }

void set_low_freq_feedback_callback(nb::handle, nb::handle) {
    warn_caller(PyExc_DeprecationWarning, "set_low_freq_feedback_callback is deprecated, use get_items_blocking instead");
}

void default_error_callback(nb::handle self, nb::handle address, nb::handle errors) {
    nb::object addr = arg_int(address, "address");
    nb::dict errs = arg_dict(errors, "errors");
    nb::str hex = format_text(addr, "03X");
    nb::object fifteen = nb::int_(15);
    // Iterating the live items view keeps the interpreter's own check
    // against a dictionary that changes size while it is handled.
    for (nb::handle item : nb::iter(errs.attr("items")())) {
        nb::object code = item[0], description = item[1];
        // Built as Python text: str() of code and description, whatever
        // characters they hold.
        nb::object line = steal_or_raise(
            PyUnicode_FromFormat("Actuator 0x%U Error code: %S - %S", hex.ptr(), code.ptr(), description.ptr()));
        nb::getattr(self, "logger").attr("error")(line);
        if (truth(steal_or_raise(PyObject_RichCompare(code.ptr(), fifteen.ptr(), Py_GT)))) {
            nb::getattr(self, "stop")();
            nb::object warn = steal_or_raise(PyUnicode_FromFormat(
                "Actuator 0x%U Stopping actuator (override error_callback to change this behavior)", hex.ptr()));
            nb::getattr(self, "logger").attr("warning")(warn);
        }
    }
}

void stop(nb::handle) { raise(PyExc_NotImplementedError, "stop() must be implemented by actuator subclasses"); }

// ---- bindings -------------------------------------------------------------------------
void bind_namespace(nb::module_ &m) {
    // Module namespace, in the order a reader of the module expects it.
    { nb::list all; all.append(nb::str("KavrelActuatorBase")); m.attr("__all__") = all; }
    nb::module_ enum_mod = nb::module_::import_("enum");
    m.attr("Enum") = enum_mod.attr("Enum");
    nb::module_ logging = nb::module_::import_("logging");
    m.attr("logging") = logging;
    nb::module_ typing = nb::module_::import_("typing");
    for (const char *n : {"Any", "Callable", "Dict", "Optional"})
        m.attr(n) = typing.attr(n);
    m.attr("warnings") = nb::module_::import_("warnings");
    import_siblings(m, {{"_protocol", {"is_valid_actuator_address"}}});
    m.attr("logger") = logging.attr("getLogger")(m.attr("__name__"));
}

// The model names and the enumerations, as class attributes.
void bind_vocabulary(ClassBuilder &cls) {
    nb::handle mn = cls.module_name();
    const std::string q = "KavrelActuatorBase.";

    // Device-model names by the code a device reports; 5 is the CAN adapter.
    nb::list models;
    for (const char *n : {"", "VK40", "VK50", "VK60", "VK70", "CAN_ADAPTER", "VK80", "VK90", "VK110", "VK130", "VK160"})
        models.append(nb::str(n));
    cls.attr("MODELS_NAMES", models);

    cls.attr("Mode", make_enum("Mode", mn, q + "Mode",
                               "Control modes available for Kavrel actuator implementations.",
                               {{"FVI", 2}, {"OPEN_LOOP", 3}, {"DVI", 4}, {"TORQUE", 5}, {"SPEED", 6},
                                {"POSITION", 7}, {"IMPEDANCE", 8}}));
    cls.attr("Rates", make_enum("Rates", mn, q + "Rates",
                                "Feedback update rates for high/low frequency data streams.",
                                {{"DISABLED", 0}, {"RATE_2KHZ", 10}, {"RATE_1KHZ", 20}, {"RATE_500HZ", 40},
                                 {"RATE_200HZ", 100}, {"RATE_100HZ", 200}, {"RATE_50HZ", 400},
                                 {"RATE_20HZ", 1000}, {"RATE_10HZ", 2000}, {"RATE_5HZ", 4000},
                                 {"RATE_2HZ", 10000}, {"RATE_1HZ", 20000}}));
    cls.attr("TorquePerformance", make_enum("TorquePerformance", mn, q + "TorquePerformance",
                                            "Performance presets for torque control mode.",
                                            {{"AGGRESSIVE", 1}, {"BALANCED", 2}, {"SOFT", 3}}));
    cls.attr("SpeedPerformance", make_enum("SpeedPerformance", mn, q + "SpeedPerformance",
                                           "Performance presets for speed control mode.",
                                           {{"AGGRESSIVE", 1}, {"BALANCED", 2}, {"SOFT", 3}, {"CUSTOM", 4}}));
    cls.attr("_VKL_Actions",
             make_enum("_VKL_Actions", mn, q + "_VKL_Actions",
                       "Internal VKL action identifiers used in actuator command payloads.",
                       {{"START", 1}, {"STOP", 2}, {"CHANGE_MODE", 3}, {"CHANGE_SETPOINT", 4},
                        {"CHANGE_SETPOINT_FF", 16}, {"CHANGE_SETPOINT_TORQUE", 17},
                        {"CHANGE_SETPOINT_SPEED", 18}, {"CHANGE_SETPOINT_POSITION", 19},
                        {"CHANGE_SETPOINT_IMPEDANCE", 20}, {"CHANGE_SETPOINT_SPEED_INTERNAL", 21},
                        {"CHANGE_SETPOINT_POSITION_INTERNAL", 22}, {"SET_FEEDBACK_HIGH_RATE", 6},
                        {"SET_FEEDBACK_HIGH_ITEMS", 7}, {"RESET_ENCODER_POSITION", 10},
                        {"SET_PARAMETERS", 11}, {"GET_PARAMETERS", 12}, {"SET_TORQUE_PERFORMANCE", 13},
                        {"SET_SPEED_PERFORMANCE", 14}, {"GET_ITEMS", 15}, {"START_SINE_REF", 56},
                        {"SAVE", 57}, {"PING", 64}, {"BLINK", 65}, {"ENTER_BOOTLOADER", 193},
                        {"DEBUG_CLEAR_CONFIG", 194}, {"DEBUG_RESET_INT_ENC", 195},
                        {"DEBUG_RESET_EXT_ENC", 196}}));
    cls.attr("VKL_Parameters",
             make_enum("VKL_Parameters", mn, q + "VKL_Parameters",
                       "Parameters that can be read or written through the actuator API.",
                       {{"K_DAMPING", 1}, {"K_STIFFNESS", 2}, {"TORQUE_FF", 3}, {"LIM_TORQUE", 4},
                        {"LIM_POSITION_MAX", 5}, {"LIM_POSITION_MIN", 6}, {"LIM_SPEED_MAX", 7},
                        {"LIM_SPEED_MIN", 8}, {"PROFILE_POSITION_MAX", 9}, {"PROFILE_POSITION_MIN", 10},
                        {"PROFILE_SPEED_MAX", 11}, {"PROFILE_SPEED_MIN", 12}, {"KP_SPEED", 13},
                        {"KI_SPEED", 14}, {"KP_POSITION", 15}, {"MODE", 48}, {"SETPOINT", 49},
                        {"TORQUE_PERFORMANCE", 64}, {"SPEED_PERFORMANCE", 65},
                        {"PROFILE_SPEED_MAX_RAD_S", 66}, {"PROFILE_TORQUE_MAX_NM", 67},
                        {"INVERT_FLAG", 68}, {"FF_GAIN", 69}, {"VKL_PARAM_SPEED_CUTOFF", 70},
                        {"VKL_PARAM_CURRENT_CUTOFF", 71}, {"FIRMWARE_VERSION", 128}, {"VKL_ADDRESS", 129},
                        {"SERIAL_NUMBER", 130}, {"DEVICE_MODEL", 131}, {"CONTROL_VERSION", 132},
                        {"CAN_HIGH_SPEED", 133}}));
    cls.attr("VKL_Items",
             make_enum("VKL_Items", mn, q + "VKL_Items",
                       "Feedback items available for monitoring actuator state.",
                       {{"ENCODER_INT", 65}, {"ENCODER_INT_RAW", 66}, {"ENCODER_EXT", 67},
                        {"ENCODER_EXT_RAW", 68}, {"SPEED_FB", 69}, {"IA", 70}, {"IB", 71}, {"IC", 72},
                        {"TORQUE_SENS", 73}, {"TORQUE_SENS_RAW", 74}, {"POSITION_REF", 75},
                        {"POSITION_FB", 76}, {"POSITION_FB_INTERNAL", 115}, {"SPEED_REF", 77},
                        {"ID_REF", 79}, {"ID_FB", 80}, {"IQ_REF", 81}, {"IQ_FB", 82}, {"VD_REF", 83},
                        {"VQ_REF", 84}, {"TORQUE_REF", 85}, {"TORQUE_FB", 86},
                        {"REFERENCE_A_VOLTAGE", 87}, {"REFERENCE_B_VOLTAGE", 88},
                        {"REFERENCE_C_VOLTAGE", 89}, {"BUS_POWER", 90}, {"BUS_CURRENT", 91},
                        {"THREE_PHASE_POWER", 92}, {"MECHANICAL_POWER", 93}, {"INVERTER_EFFICIENCY", 94},
                        {"MOTOR_EFFICIENCY", 95}, {"ERRORS_ENCODER_INT", 96}, {"ERRORS_ENCODER_EXT", 97},
                        {"ERRORS_OVERRUN", 98}, {"VBUS", 112}, {"TEMP_PCB", 113}, {"TEMP_MOTOR", 114},
                        {"DEBUG_SIGNAL_BOOL", 144}, {"DEBUG_SIGNAL01", 145}, {"DEBUG_SIGNAL02", 146},
                        {"DEBUG_SIGNAL03", 147}, {"DEBUG_SIGNAL04", 148}, {"DEBUG_SIGNAL05", 149},
                        {"DEBUG_SIGNAL06", 150}, {"DEBUG_SIGNAL07", 151}, {"DEBUG_SIGNAL08", 152},
                        {"DEBUG_SIGNAL09", 153}, {"DEBUG_SIGNAL10", 154}}));
    cls.attr("_VKL_Other", make_enum("_VKL_Other", mn, q + "_VKL_Other",
                                     "Internal VKL non-action message identifiers.",
                                     {{"BEACON", 128}, {"ERRORS", 130}, {"PARAMETERS", 131}}));
}

void bind_actuator_base(nb::module_ &m, const StateP &s) {
    ClassBuilder cls("KavrelActuatorBase", m.attr("__name__"), nullptr,
                     "Internal shared actuator vocabulary, state, and callbacks.");
    bind_vocabulary(cls);
    cls.def("__init__", [s](nb::handle self, nb::handle address, nb::handle logger) { init(*s, self, address, logger); },
            arg("address") = 0, arg("logger") = nb::none())
        .signature("(self, address: int = 0, logger: Optional[logging.Logger] = None) -> None");
    cls.def_property_readonly("connected", &connected).signature("(self) -> bool");
    cls.def_property_readonly("implementation_version", &implementation_version).signature("(self) -> str");
    cls.def("set_feedback_callback", &set_feedback_callback, arg("callback"))
        .signature("(self, callback: Callable[[int, dict], None]) -> None");
    cls.def("set_error_callback", &set_error_callback, arg("callback"))
        .signature("(self, callback: Callable[[int, dict], None]) -> None");
    cls.def("set_low_freq_feedback_callback", &set_low_freq_feedback_callback, arg("callback"))
        .signature("(self, callback: Callable[[Any], None]) -> None");
    cls.def("get_feedback", &get_feedback).signature("(self) -> Dict[Any, Any]");
    cls.def_static("is_valid_actuator_address",
                   [s](nb::handle address) { return is_valid_actuator_address(*s, address); }, arg("address"))
        .signature("(address: int) -> bool");
    cls.def("_default_error_callback", &default_error_callback, arg("address"), arg("errors"))
        .signature("(self, address: int, errors: dict) -> None");
    cls.def("stop", &stop).signature("(self) -> None");
    m.attr("KavrelActuatorBase") = cls.finish();
}

} // namespace

VKL_MODULE(_kavrel_actuator_base, m) {
    module_init_common();
    auto s = std::make_shared<State>();
    s->g = nb::borrow<nb::dict>(m.attr("__dict__"));
    bind_namespace(m);
    bind_actuator_base(m, s);
}
