// Simulated Kavrel actuator served by a digital twin, and its per-tick
// telemetry log: the module's Python surface.
//
// Every operation follows the generic road (attribute lookups on the actuator,
// the twin and the log, so overrides and replacements take effect).  When the
// bound twin is the engine's own ActuatorWrapper with a valid field view, the
// log and the actuator are of the classes defined here and nothing of the
// stepping machinery has been overridden, `step` runs its ticks natively: the
// twin's step function, the telemetry row into typed columns, the tick count
// and the feedback snapshot, with the Python-visible state (tick count,
// snapshot, `feedback`) brought up to date before any Python code can run
// (the feedback callback, a signal handler, the return of `step`).
//
// The operations are named functions grouped as the class groups them; the
// bind_* functions at the end attach each with its signature.  What a tick
// does lives in virtual/: the ticks of `step` and the rule that picks a road
// in tick.*, the native runs in native_run.*, the native road's records in
// native_records.*, the stepping machinery's operations and the generic tick
// in stepping.*, the log row append in row_append.*, the telemetry series
// type in series.*, and the tables and the module state in state.*.
#include "core/python_activity.hpp"
#include "core/pyutil.hpp"
#include "core/twin_view.hpp"
#include "virtual/native_records.hpp"
#include "virtual/row_append.hpp"
#include "virtual/series.hpp"
#include "virtual/state.hpp"
#include "virtual/stepping.hpp"
#include "virtual/tick.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <string>

namespace nb = nanobind;
using namespace vkl;
using namespace vkl::virt;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// self.<name>() for a name of the class's own surface.
nb::object call_named(nb::handle self, const char *name) { return nb::getattr(self, name)(); }

// getattr(obj, name, dflt) for an interned name, where only AttributeError
// means absent.
nb::object attr_or_default(nb::handle obj, PyObject *name, nb::handle dflt) {
    PyObject *v = nullptr;
    if (PyObject_GetOptionalAttr(obj.ptr(), name, &v) < 0)
        raise_pending();
    return v ? nb::steal(v) : nb::borrow(dflt);
}

// ---- VirtualActuatorLog ----------------------------------------------------------

const char *kLogDoc =
    "Per-step simulator telemetry log owned by ``KavrelActuatorVirtual``.\n\n"
    "    Populated by ``KavrelActuatorVirtual.step()`` after every simulation tick.\n"
    "    The internal DTwin backend has no knowledge of this structure.\n"
    "    ";

void log_init(State &S, nb::handle self, nb::args args, nb::kwargs kwargs) {
    Py_ssize_t npos = (Py_ssize_t) args.size();
    if (npos > kLogFields) {
        PyErr_Format(PyExc_TypeError,
                     "VirtualActuatorLog.__init__() takes from 1 to %d positional arguments but %zd were given",
                     kLogFields + 1, npos + 1);
        raise_pending();
    }
    PyObject *values[kLogFields] = {};
    for (Py_ssize_t i = 0; i < npos; ++i)
        values[i] = args[(size_t) i].ptr();
    for (auto kv : kwargs) {
        nb::handle key = kv.first;
        int found = -1;
        for (int i = 0; i < kLogFields; ++i) {
            if (PyUnicode_Check(key.ptr()) && PyUnicode_Compare(key.ptr(), S.log_names[i].ptr()) == 0) {
                found = i;
                break;
            }
        }
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "VirtualActuatorLog.__init__() got an unexpected keyword argument '%S'",
                         key.ptr());
            raise_pending();
        }
        if (values[found]) {
            PyErr_Format(PyExc_TypeError, "VirtualActuatorLog.__init__() got multiple values for argument '%s'",
                         log_field_name(found));
            raise_pending();
        }
        values[found] = kv.second.ptr();
    }
    for (int i = 0; i < kLogFields; ++i) {
        nb::object v;
        if (values[i])
            v = nb::borrow(values[i]);
        else if (i < kNumSeries)
            v = steal_or_raise(series_new(kSeries[i].kind));
        else if (i == kTimeStepIndex)
            v = module_global(S.g, "get_default_dtwin_time_step_s")();
        else
            v = nb::float_(0.0);
        set_attr(self, S.log_names[i].ptr(), v);
    }
}

nb::object log_eq(State &S, nb::handle self, nb::handle other) {
    if (Py_TYPE(other.ptr()) != Py_TYPE(self.ptr()))
        return nb::borrow(Py_NotImplemented);
    for (int i = 0; i < kLogFields; ++i) {
        nb::object a = get_attr(self, S.log_names[i].ptr());
        nb::object b = get_attr(other, S.log_names[i].ptr());
        if (!eq(a, b))
            return nb::bool_(false);
    }
    return nb::bool_(true);
}

nb::object log_repr(State &S, nb::handle self) {
    int rec = Py_ReprEnter(self.ptr());
    if (rec < 0)
        raise_pending();
    if (rec > 0)
        return nb::str("...");
    struct Leave {
        PyObject *o;
        ~Leave() { Py_ReprLeave(o); }
    } leave{self.ptr()};
    nb::object qual = get_attr(nb::handle((PyObject *) Py_TYPE(self.ptr())), S.n_qualname.ptr());
    std::string out = py_str(qual) + "(";
    for (int i = 0; i < kLogFields; ++i) {
        if (i)
            out += ", ";
        out += log_field_name(i);
        out += "=";
        nb::object v = get_attr(self, S.log_names[i].ptr());
        out += py_str(steal_or_raise(PyObject_Repr(v.ptr())));
    }
    out += ")";
    return nb::str(out.c_str(), out.size());
}

// The constructor's signature, as for a record whose series default to new
// empty lists: "name: List[float] = <factory>".
nb::object log_init_signature() {
    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object Parameter = inspect.attr("Parameter"), Signature = inspect.attr("Signature");
    nb::object kind = Parameter.attr("POSITIONAL_OR_KEYWORD");
    nb::object factory = nb::module_::import_("dataclasses").attr("_HAS_DEFAULT_FACTORY");
    nb::list params;
    params.append(Parameter("self", kind));
    for (int i = 0; i < kLogFields; ++i) {
        const char *ann = i >= kNumSeries                     ? "float"
                          : kSeries[i].kind == tel::Kind::Float ? "List[float]"
                          : kSeries[i].kind == tel::Kind::Int   ? "List[int]"
                                                                 : "List[bool]";
        nb::object dflt = i < kTimeStartIndex ? factory : nb::object(nb::float_(0.0));
        params.append(Parameter(nb::str(log_field_name(i)), kind, nb::arg("default") = dflt,
                                nb::arg("annotation") = nb::str(ann)));
    }
    return Signature(params, nb::arg("return_annotation") = nb::str("None"));
}

// ---- construction and identity -----------------------------------------------------

void init(State &S, nb::handle self, nb::handle adapter_handler, nb::handle address, nb::handle logger) {
    nb::object addr = address.is_none() ? nb::none() : arg_int(address, "address");
    nb::object base = module_global(S.g, "KavrelActuatorBase");
    base.attr("__init__")(self, nb::arg("address") = addr.is_none() ? nb::object(nb::int_(0)) : addr,
                          nb::arg("logger") = logger);
    set_attr(self, S.attr(A_ACTUATOR), adapter_handler);
    nb::setattr(self, "address", addr);
    nb::setattr(self, "model", nb::str("virtual"));
    set_attr(self, S.n_configured_model.ptr(), nb::none());
    set_attr(self, S.n_enabled.ptr(), nb::bool_(false));
    set_attr(self, S.n_mode.ptr(), nb::getattr(self, "Mode").attr("POSITION"));
    set_attr(self, S.attr(A_SETPOINT), nb::float_(0.0));
    set_attr(self, S.attr(A_LOAD), nb::float_(0.0));
    set_attr(self, S.attr(A_ITEMS), nb::list());
    set_attr(self, S.attr(A_DIVIDER), nb::getattr(self, "Rates").attr("RATE_1KHZ").attr("value"));
    set_attr(self, S.attr(A_LATEST), nb::dict());
    set_attr(self, S.attr(A_COUNT), nb::int_(0));
    set_attr(self, S.n_torque_performance.ptr(), nb::getattr(self, "TorquePerformance").attr("BALANCED"));
    set_attr(self, S.n_speed_performance.ptr(), nb::getattr(self, "SpeedPerformance").attr("BALANCED"));
    set_attr(self, S.n_tracked.ptr(), dict_copy(nb::getattr(self, "_TRACKED_NUMERIC_DEFAULTS")));
    set_attr(self, S.attr(A_LOG), module_global(S.g, "VirtualActuatorLog")());
    nb::object act = get_attr(self, S.attr(A_ACTUATOR));
    nb::object a = get_attr(self, S.attr(A_ADDRESS));
    if (!act.is_none() && !a.is_none())
        act.attr(nb::handle(S.n_set_address.ptr()))(a);
}

nb::object get_address(State &S, nb::handle self) { return get_attr(self, S.attr(A_ADDRESS)); }

void set_address(State &S, nb::handle self, nb::handle value) {
    nb::object v = value.is_none() ? nb::none() : arg_int(value, "value");
    set_attr(self, S.attr(A_ADDRESS), v);
}

nb::object get_model(State &S, nb::handle self) {
    nb::object name = attr_or_default(self, S.n_configured_model.ptr(), Py_None);
    if (PyUnicode_Check(name.ptr()) && PyUnicode_GET_LENGTH(name.ptr()) > 0)
        return name;
    nb::object twin = attr_or_default(self, S.attr(A_ACTUATOR), Py_None);
    if (!twin.is_none() && has_attr(twin, "get_motor_model"))
        return nb::str(twin.attr("get_motor_model")());
    return attr_or_default(self, S.n_model.ptr(), nb::str("virtual"));
}

void set_model(State &S, nb::handle self, nb::handle value) {
    set_attr(self, S.n_model.ptr(), arg_str(value, "value"));
}

nb::object get_model_version(State &S, nb::handle self) {
    nb::object twin = get_attr(self, S.attr(A_ACTUATOR));
    if (!twin.is_none() && has_attr(twin, "get_dtwin_version"))
        return nb::str(twin.attr("get_dtwin_version")());
    twin = get_attr(self, S.attr(A_ACTUATOR));
    if (!twin.is_none() && has_attr(twin, "get_submodule_commits"))
        return nb::str(twin.attr("get_submodule_commits")());
    return nb::str("virtual");
}

nb::object set_actuator_from_paths(State &S, nb::handle self, nb::handle library_path, nb::handle bindings_path) {
    nb::object twin = module_global(S.g, "ActuatorWrapper")(nb::str(library_path), nb::str(bindings_path));
    set_attr(self, S.attr(A_ACTUATOR), twin);
    nb::object a = get_attr(self, S.attr(A_ADDRESS));
    if (!a.is_none())
        get_attr(self, S.attr(A_ACTUATOR)).attr(nb::handle(S.n_set_address.ptr()))(a);
    nb::object step = call_named(self, "get_sim_time_step_s");
    set_attr(get_attr(self, S.attr(A_LOG)), S.log_names[kTimeStepIndex].ptr(), step);
    return get_attr(self, S.attr(A_ACTUATOR));
}

nb::object get_sim_time_step_s(State &S, nb::handle self) {
    nb::object twin = get_attr(self, S.attr(A_ACTUATOR));
    if (!twin.is_none() && has_attr(twin, "get_sim_time_step_s"))
        return to_float(twin.attr("get_sim_time_step_s")());
    return to_float(get_attr(get_attr(self, S.attr(A_LOG)), S.log_names[kTimeStepIndex].ptr()));
}

nb::object get_sim_rate_hz(nb::handle self) {
    nb::object step = call_named(self, "get_sim_time_step_s");
    nb::object zero = nb::float_(0.0);
    if (truth(steal_or_raise(PyObject_RichCompare(step.ptr(), zero.ptr(), Py_LE))))
        raise(PyExc_RuntimeError,
              "Invalid DTwin simulation timestep: " + py_str(steal_or_raise(PyObject_Repr(step.ptr()))));
    return steal_or_raise(PyNumber_TrueDivide(nb::float_(1.0).ptr(), step.ptr()));
}

// ---- twin guard and connection lifecycle -------------------------------------------

void ensure_initialized(State &S, nb::handle self) {
    nb::object twin = call_method(self, S.method(M_REQUIRE));
    if (!truth(get_attr(self, S.attr(A_CONNECTED))))
        raise(PyExc_RuntimeError, "Actuator not connected. Call connect() first.");
    if (twin_initialized(S, twin))
        return;
    twin.attr(nb::handle(S.n_initialize.ptr()))(get_attr(self, S.n_mode.ptr()).attr(nb::handle(S.n_value.ptr())));
    twin.attr(nb::handle(S.n_set_enable.ptr()))(get_attr(self, S.n_enabled.ptr()));
}

void write_path(State &S, nb::handle self, nb::handle path, nb::handle value) {
    double v = arg_float(value);
    nb::str p = arg_str(path, "path");
    nb::object obj = call_method(self, S.method(M_REQUIRE));
    nb::list parts = nb::borrow<nb::list>(p.attr(nb::handle(S.n_split.ptr()))("."));
    size_t n = parts.size();
    for (size_t i = 0; i + 1 < n; ++i)
        obj = get_attr(obj, parts[i].ptr());
    set_attr(obj, parts[n - 1].ptr(), nb::float_(v));
}


bool connect(State &S, nb::handle self, nb::handle timeout) {
    arg_float(timeout);
    nb::object twin = call_method(self, S.method(M_REQUIRE));
    nb::object a = get_attr(self, S.attr(A_ADDRESS));
    if (!a.is_none())
        twin.attr(nb::handle(S.n_set_address.ptr()))(a);
    set_attr(self, S.attr(A_CONNECTED), nb::bool_(true));
    return true;
}

void disconnect(State &S, nb::handle self) {
    nb::object twin = get_attr(self, S.attr(A_ACTUATOR));
    if (!twin.is_none() && twin_initialized(S, twin)) {
        call_named(self, "stop");
        twin.attr("terminate")();
    }
    set_attr(self, S.attr(A_CONNECTED), nb::bool_(false));
}

bool send_ping(State &S, nb::handle self, nb::handle timeout) {
    arg_float(timeout);
    return truth(get_attr(self, S.attr(A_CONNECTED))) && !get_attr(self, S.attr(A_ACTUATOR)).is_none();
}

void change_address(State &S, nb::handle self, nb::handle new_address) {
    nb::object na = arg_int(new_address, "new_address");
    if (eq(na, get_attr(self, S.attr(A_ADDRESS)))) {
        get_attr(self, S.n_logger.ptr()).attr("warning")("New address is the same as the current address %s", na);
        return;
    }
    if (!truth(nb::getattr(self, "is_valid_actuator_address")(na)))
        raise(PyExc_ValueError, "Invalid new address " + py_str(na) + ". Address must be between 0x10 and 0x3FFE.");
    set_attr(self, S.attr(A_ADDRESS), na);
    nb::object twin = get_attr(self, S.attr(A_ACTUATOR));
    if (!twin.is_none())
        twin.attr(nb::handle(S.n_set_address.ptr()))(na);
}

void start(State &S, nb::handle self) {
    call_method(self, S.method(M_ENSURE_INIT));
    set_attr(self, S.n_enabled.ptr(), nb::bool_(true));
    get_attr(self, S.attr(A_ACTUATOR)).attr(nb::handle(S.n_set_enable.ptr()))(true);
}

void stop(State &S, nb::handle self) {
    nb::object twin = get_attr(self, S.attr(A_ACTUATOR));
    if (!twin.is_none() && twin_initialized(S, twin))
        twin.attr(nb::handle(S.n_set_enable.ptr()))(false);
    set_attr(self, S.n_enabled.ptr(), nb::bool_(false));
}

void save_config(State &S, nb::handle self) {
    log(get_attr(self, S.n_logger.ptr()), "info", "Virtual actuators do not persist configuration.");
}

void blink(State &S, nb::handle self, nb::handle timeout) {
    arg_float(timeout);
    log(get_attr(self, S.n_logger.ptr()), "info", "Blink is a no-op for the virtual actuator.");
}

// ---- modes, setpoints, home ------------------------------------------------------

bool given(double v) { return !std::isnan(v); }

void change_mode(State &S, nb::handle self, nb::handle mode) {
    set_attr(self, S.n_mode.ptr(), mode);
    set_attr(self, S.n_current_mode.ptr(), mode);
    nb::object twin = get_attr(self, S.attr(A_ACTUATOR));
    if (!twin.is_none() && twin_initialized(S, twin))
        twin.attr("set_control_type")(nb::getattr(mode, "value"));
}

void change_mode_if_needed(State &S, nb::handle self, nb::handle mode) {
    nb::object cur = get_attr(self, S.n_mode.ptr());
    if (truth(steal_or_raise(PyObject_RichCompare(cur.ptr(), mode.ptr(), Py_NE))))
        nb::getattr(self, "change_mode")(mode);
}

void mode_and_setpoint(State &S, nb::handle self, const char *mode, double setpoint) {
    nb::getattr(self, "_change_mode_if_needed")(nb::getattr(self, "Mode").attr(mode));
    set_attr(self, S.attr(A_SETPOINT), nb::float_(setpoint));
}

// `x` as a float when given, else `fallback`.
nb::object given_or(double x, nb::object fallback) { return given(x) ? nb::object(nb::float_(x)) : fallback; }

// twin.<setter>(a, b) with each gain not given kept at what twin.<getter>()
// returns for it (both read first, in that order).
void set_gain_pair(nb::handle twin, const char *getter, const char *setter, double a, double b) {
    nb::object cur = twin.attr(getter)();
    nb::object ca = cur[0], cb = cur[1];
    twin.attr(setter)(given_or(a, ca), given_or(b, cb));
}

void apply_speed_options(State &S, nb::handle self, double ff, double ki, double kp, double tff) {
    if (given(ff))
        nb::getattr(self, "_set_feedforward_gain")(nb::float_(ff));
    if (given(kp) || given(ki))
        set_gain_pair(call_method(self, S.method(M_REQUIRE)), "get_speed_gains", "set_speed_gains", kp, ki);
    if (given(tff))
        call_method(self, S.method(M_REQUIRE)).attr("set_torque_feedforward")(nb::float_(tff));
}

void change_setpoint(State &S, nb::handle self, nb::handle setpoint) {
    set_attr(self, S.attr(A_SETPOINT), nb::float_(arg_float(setpoint)));
}

void change_torque_setpoint(State &S, nb::handle self, nb::handle setpoint, nb::handle id_Kp, nb::handle id_Ki,
                            nb::handle iq_Kp, nb::handle iq_Ki) {
    double sp = arg_float(setpoint), dkp = arg_float(id_Kp), dki = arg_float(id_Ki), qkp = arg_float(iq_Kp),
           qki = arg_float(iq_Ki);
    mode_and_setpoint(S, self, "TORQUE", sp);
    if (given(dkp) || given(dki))
        set_gain_pair(call_method(self, S.method(M_REQUIRE)), "get_current_gains", "set_current_gains", dkp, dki);
    if ((given(qkp) && given(dkp) && qkp != dkp) || (given(qki) && given(dki) && qki != dki))
        log(get_attr(self, S.n_logger.ptr()), "warning",
            "Virtual actuator exposes shared current gains; q-axis gains cannot differ from d-axis gains.");
}

void change_speed_setpoint(State &S, nb::handle self, nb::handle setpoint, nb::handle FF_gain, nb::handle spd_Ki,
                           nb::handle spd_Kp, nb::handle ref_ff_torque) {
    double sp = arg_float(setpoint), ff = arg_float(FF_gain), ki = arg_float(spd_Ki), kp = arg_float(spd_Kp),
           tff = arg_float(ref_ff_torque);
    mode_and_setpoint(S, self, "SPEED", sp);
    nb::getattr(self, "_apply_speed_setpoint_options")(nb::arg("FF_gain") = ff, nb::arg("spd_Ki") = ki,
                                                       nb::arg("spd_Kp") = kp, nb::arg("ref_ff_torque") = tff);
}

void change_position_setpoint(State &S, nb::handle self, nb::handle setpoint, nb::handle FF_gain,
                              nb::handle spd_Ki, nb::handle spd_Kp, nb::handle pos_Kp, nb::handle ref_ff_torque) {
    double sp = arg_float(setpoint), ff = arg_float(FF_gain), ki = arg_float(spd_Ki), kp = arg_float(spd_Kp),
           pkp = arg_float(pos_Kp), tff = arg_float(ref_ff_torque);
    mode_and_setpoint(S, self, "POSITION", sp);
    nb::getattr(self, "_apply_speed_setpoint_options")(nb::arg("FF_gain") = ff, nb::arg("spd_Ki") = ki,
                                                       nb::arg("spd_Kp") = kp, nb::arg("ref_ff_torque") = tff);
    if (given(pkp))
        call_method(self, S.method(M_REQUIRE)).attr("set_position_kp")(nb::float_(pkp));
}

void change_impedance_setpoint(State &S, nb::handle self, nb::handle setpoint, nb::handle FF_gain,
                               nb::handle K_stiff, nb::handle K_damp, nb::handle J_imp, nb::handle ref_ff_torque,
                               nb::handle ref_impedance_spd, nb::handle ref_impedance_acel) {
    double sp = arg_float(setpoint), ff = arg_float(FF_gain), ks = arg_float(K_stiff), kd = arg_float(K_damp),
           j = arg_float(J_imp), tff = arg_float(ref_ff_torque), rs = arg_float(ref_impedance_spd),
           ra = arg_float(ref_impedance_acel);
    mode_and_setpoint(S, self, "IMPEDANCE", sp);
    if (given(ff))
        nb::getattr(self, "_set_feedforward_gain")(nb::float_(ff));
    if (given(ks) || given(kd)) {
        nb::object twin = call_method(self, S.method(M_REQUIRE));
        nb::object cur = twin.attr("get_impedance_gains")();
        // A gain that is given never reads its current value.
        nb::object a = given(ks) ? nb::object(nb::float_(ks)) : nb::object(cur["k_stiff"]);
        nb::object b = given(kd) ? nb::object(nb::float_(kd)) : nb::object(cur["k_damp"]);
        twin.attr("set_impedance_gains")(a, b, cur["t_ff"]);
    }
    if (given(j)) {
        if (has_attr(call_method(self, S.method(M_REQUIRE)), "set_impedance_inertia"))
            call_method(self, S.method(M_REQUIRE)).attr("set_impedance_inertia")(nb::float_(j));
    }
    if (given(tff))
        call_method(self, S.method(M_REQUIRE)).attr("set_torque_feedforward")(nb::float_(tff));
    if (given(rs) || given(ra)) {
        nb::object twin = call_method(self, S.method(M_REQUIRE));
        if (has_attr(twin, "set_impedance_references"))
            twin.attr("set_impedance_references")(given_or(rs, nb::none()), given_or(ra, nb::none()));
    }
}

void set_home_position(State &S, nb::handle self) {
    call_method(self, S.method(M_ENSURE_INIT));
    get_attr(self, S.attr(A_ACTUATOR)).attr("set_home_position")();
}

void apply_speed_setpoint_options(State &S, nb::handle self, nb::handle FF_gain, nb::handle spd_Ki,
                                  nb::handle spd_Kp, nb::handle ref_ff_torque) {
    double ff = arg_float(FF_gain), ki = arg_float(spd_Ki), kp = arg_float(spd_Kp), tff = arg_float(ref_ff_torque);
    apply_speed_options(S, self, ff, ki, kp, tff);
}

// ---- stepping and time ---------------------------------------------------------------

nb::object step(State &S, nb::handle self, nb::handle load, nb::handle steps) {
    // Called from inside a twin's step with no Python frame between (foreign
    // code calling the bound method), it must find what a native run in
    // progress keeps elsewhere brought up to date, as Python code would.
    pyact::before_own_code();
    nb::object ld = PyFloat_CheckExact(load.ptr()) ? nb::borrow(load) : arg_float_or_none(load, "load");
    long long n = 0;
    int overflow = 1;
    if (PyLong_CheckExact(steps.ptr())) {
        if (PyUnstable_Long_IsCompact((PyLongObject *) steps.ptr())) {
            n = PyUnstable_Long_CompactValue((PyLongObject *) steps.ptr());
            overflow = 0;
        } else {
            n = PyLong_AsLongLongAndOverflow(steps.ptr(), &overflow);
        }
    }
    if (overflow || (n == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        nb::object n_obj = arg_int(steps, "steps");
        nb::object one = nb::int_(1);
        if (truth(steal_or_raise(PyObject_RichCompare(n_obj.ptr(), one.ptr(), Py_LT))))
            raise(PyExc_ValueError, "steps must be >= 1");
        n = PyLong_AsLongLong(n_obj.ptr());
        if (n == -1 && PyErr_Occurred())
            raise_pending();
    } else if (n < 1) {
        raise(PyExc_ValueError, "steps must be >= 1");
    }
    PyObject *new_load = ld.is_none() ? nullptr : ld.ptr();
    if (!initialized_now(S, self.ptr(), new_load)) {
        call_method(self, S.method(M_ENSURE_INIT));
        if (new_load)
            set_attr(self, S.attr(A_LOAD), nb::handle(new_load));
    }
    run_ticks(S, self, n);
    return latest_feedback(S, self);
}

// `step`'s calls as a lockstep caller makes them (`step(load=x, steps=1)`,
// positional or by keyword, defaults left out), taken ahead of the general
// dispatch: with the defaults and keywords matched there, the call cost a
// tenth of a one-tick step.  Anything else is declined (see set_fast_call).
struct StepEntry {
    StateP S;
    CallNames<3> names; // self, load, steps
    nb::object one = nb::int_(1); // the default of `steps`, as bound below
};

PyObject *step_fast(void *data, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *e = static_cast<StepEntry *>(data);
    PyObject *a[3];
    if (!take_call_args(args, nargsf, kwnames, e->names.names, 3, a) || !a[0])
        return kDeclined;
    try {
        return step(*e->S, a[0], a[1] ? a[1] : Py_None, a[2] ? a[2] : e->one.ptr()).release().ptr();
    } catch (...) {
        set_error_from_exception();
        return nullptr;
    }
}

nb::object step_entry(const StateP &S) {
    auto e = std::make_unique<StepEntry>();
    e->S = S;
    e->names.add("self").add("load").add("steps");
    return owning_capsule(std::move(e));
}

void start_steps(nb::handle self, nb::handle step_number) {
    nb::object n = arg_int(step_number, "step_number");
    nb::getattr(self, "step")(nb::arg("steps") = n);
}

void change_load(State &S, nb::handle self, nb::handle load) {
    set_attr(self, S.attr(A_LOAD), nb::float_(arg_float(load)));
}

nb::object get_sim_time(State &S, nb::handle self, nb::handle round_dec) {
    nb::object nd = arg_int(round_dec, "round_dec");
    nb::object t = get_attr(get_attr(self, S.attr(A_LOG)), S.log_names[kTimeIndex].ptr());
    Py_ssize_t n = PyObject_Length(t.ptr());
    if (n < 0)
        raise_pending();
    if (n == 0)
        return nb::float_(0.0);
    nb::object last = t[nb::int_(-1)];
    return builtins().attr("round")(to_float(last), nd);
}

// ---- feedback ------------------------------------------------------------------------

// A blocking read answers at most this many items (as a device does).
constexpr Py_ssize_t kMaxBlockingItems = 9;

void set_feedback_callback(State &S, nb::handle self, nb::handle callback) {
    set_attr(self, S.attr(A_CALLBACK), callback);
}

void set_error_callback(nb::handle self, nb::handle callback) { nb::setattr(self, "error_callback", callback); }

void set_feedback_items(State &S, nb::handle self, nb::handle items) {
    nb::list l = arg_list(items, "items");
    set_attr(self, S.attr(A_ITEMS), steal_or_raise(PyList_GetSlice(l.ptr(), 0, PY_SSIZE_T_MAX)));
    set_attr(self, S.attr(A_LATEST), nb::dict());
}

void set_feedback_rate(State &S, nb::handle self, nb::handle rate) {
    nb::object Rates = nb::getattr(self, "Rates");
    nb::object target;
    int inst = PyObject_IsInstance(rate.ptr(), Rates.ptr());
    if (inst < 0)
        raise_pending();
    if (inst) {
        if (eq(rate, Rates.attr("DISABLED"))) {
            set_attr(self, S.attr(A_DIVIDER), nb::int_(0));
            return;
        }
        nb::object hz = to_float(Rates.attr("RATE_1HZ").attr("value"));
        target = steal_or_raise(PyNumber_TrueDivide(hz.ptr(), nb::getattr(rate, "value").ptr()));
    } else if (PyLong_Check(rate.ptr())) {
        nb::object zero = nb::int_(0);
        if (eq(rate, zero)) {
            set_attr(self, S.attr(A_DIVIDER), nb::int_(0));
            return;
        }
        if (truth(steal_or_raise(PyObject_RichCompare(rate.ptr(), zero.ptr(), Py_LT))))
            raise(PyExc_ValueError, "Rate must be non-negative, got " + py_str(to_int(rate)));
        target = to_float(rate);
    } else {
        raise(PyExc_TypeError, std::string("rate must be a Rates enum or int, got ") + tp_name_of(rate));
    }
    nb::object sim = call_named(self, "get_sim_rate_hz");
    if (truth(steal_or_raise(PyObject_RichCompare(target.ptr(), sim.ptr(), Py_GT))))
        raise(PyExc_ValueError, "Rate cannot exceed DTwin simulation rate of " + py_format(sim, "g") + " Hz");
    nb::object r = builtins().attr("round")(steal_or_raise(PyNumber_TrueDivide(sim.ptr(), target.ptr())));
    nb::object one = nb::int_(1);
    bool below_one = truth(steal_or_raise(PyObject_RichCompare(r.ptr(), one.ptr(), Py_LT)));
    set_attr(self, S.attr(A_DIVIDER), below_one ? one : r);
}

nb::object get_items_blocking(State &S, nb::handle self, nb::handle items, nb::handle timeout) {
    arg_float(timeout);
    nb::list l = arg_list(items, "items");
    call_method(self, S.method(M_REQUIRE));
    nb::list kept = nb::borrow<nb::list>(steal_or_raise(PyList_GetSlice(l.ptr(), 0, kMaxBlockingItems)));
    nb::dict out;
    for (nb::handle item : kept)
        out[item] = get_attr(self, S.method(M_ITEM_VALUE))(item);
    return out;
}

nb::object get_feedback(State &S, nb::handle self) { return dict_copy(get_attr(self, S.attr(A_LATEST))); }

// ---- parameters ------------------------------------------------------------------------

nb::object param_member(nb::handle self, const char *name) {
    return nb::getattr(self, "VKL_Parameters").attr(name);
}

void set_filter_cutoff(State &S, nb::handle self, nb::handle speed_cutoff, nb::handle current_cutoff) {
    nb::object sc = arg_float_or_none(speed_cutoff, "speed_cutoff");
    nb::object cc = arg_float_or_none(current_cutoff, "current_cutoff");
    nb::object tracked = get_attr(self, S.n_tracked.ptr());
    if (!sc.is_none())
        tracked[param_member(self, "VKL_PARAM_SPEED_CUTOFF")] = sc;
    if (!cc.is_none())
        tracked[param_member(self, "VKL_PARAM_CURRENT_CUTOFF")] = cc;
    nb::object twin = get_attr(self, S.attr(A_ACTUATOR));
    if (!twin.is_none() && has_attr(twin, "set_filter_cutoffs"))
        twin.attr("set_filter_cutoffs")(nb::arg("speed_cutoff") = sc, nb::arg("current_cutoff") = cc);
}

nb::object get_filter_cutoff(State &S, nb::handle self, nb::handle key) {
    nb::str k = arg_str(key, "key");
    nb::object twin = get_attr(self, S.attr(A_ACTUATOR));
    if (!twin.is_none() && has_attr(twin, "get_filter_cutoffs")) {
        nb::object d = twin.attr("get_filter_cutoffs")();
        nb::object value = d.attr("get")(k, S.nan);
        if (!truth(nb::getattr(self, "_is_nan")(value)))
            return to_float(value);
    }
    const char *which = eq(k, nb::str("speed_cutoff")) ? "VKL_PARAM_SPEED_CUTOFF" : "VKL_PARAM_CURRENT_CUTOFF";
    return to_float(get_attr(self, S.n_tracked.ptr())[param_member(self, which)]);
}

void set_feedforward_gain(State &S, nb::handle self, nb::handle value) {
    nb::object v = nb::float_(arg_float(value));
    get_attr(self, S.n_tracked.ptr())[param_member(self, "FF_GAIN")] = v;
    nb::object twin = get_attr(self, S.attr(A_ACTUATOR));
    if (!twin.is_none() && has_attr(twin, "set_feedforward_gain"))
        twin.attr("set_feedforward_gain")(v);
}

nb::object get_feedforward_gain(State &S, nb::handle self) {
    nb::object twin = get_attr(self, S.attr(A_ACTUATOR));
    if (!twin.is_none() && has_attr(twin, "get_feedforward_gain"))
        return to_float(twin.attr("get_feedforward_gain")());
    return to_float(get_attr(self, S.n_tracked.ptr())[param_member(self, "FF_GAIN")]);
}

void set_parameter_value(State &S, nb::handle self, nb::handle parameter, nb::handle value) {
    double v = arg_float(value);
    nb::object fv = nb::float_(v);
    nb::object paths = get_attr(self, S.n_parameter_paths.ptr());
    if (contains(paths, parameter)) {
        nb::getattr(self, "_write_path")(paths[parameter], fv);
        return;
    }
    auto is = [&](const char *name) { return eq(parameter, param_member(self, name)); };
    if (is("FF_GAIN")) {
        nb::getattr(self, "_set_feedforward_gain")(fv);
    } else if (is("VKL_PARAM_SPEED_CUTOFF")) {
        nb::getattr(self, "_set_filter_cutoff")(nb::arg("speed_cutoff") = fv);
    } else if (is("VKL_PARAM_CURRENT_CUTOFF")) {
        nb::getattr(self, "_set_filter_cutoff")(nb::arg("current_cutoff") = fv);
    } else if (is("SETPOINT")) {
        set_attr(self, S.attr(A_SETPOINT), fv);
    } else if (is("MODE")) {
        nb::getattr(self, "change_mode")(nb::getattr(self, "Mode")(to_int(fv)));
    } else if (is("TORQUE_PERFORMANCE")) {
        set_attr(self, S.n_torque_performance.ptr(), nb::getattr(self, "TorquePerformance")(to_int(fv)));
    } else if (is("SPEED_PERFORMANCE")) {
        set_attr(self, S.n_speed_performance.ptr(), nb::getattr(self, "SpeedPerformance")(to_int(fv)));
    } else if (is("VKL_ADDRESS")) {
        nb::getattr(self, "change_address")(to_int(fv));
    } else if (is("CAN_HIGH_SPEED")) {
        nb::getattr(self, "set_can_high_speed")(nb::bool_(v != 0.0));
    } else {
        get_attr(self, S.n_tracked.ptr())[parameter] = fv;
    }
}

nb::object get_parameter_value(State &S, nb::handle self, nb::handle parameter) {
    nb::object paths = get_attr(self, S.n_parameter_paths.ptr());
    if (contains(paths, parameter))
        return get_attr(self, S.method(M_READ_PATH))(paths[parameter]);
    auto is = [&](const char *name) { return eq(parameter, param_member(self, name)); };
    if (is("FF_GAIN"))
        return call_named(self, "_get_feedforward_gain");
    if (is("VKL_PARAM_SPEED_CUTOFF"))
        return nb::getattr(self, "_get_filter_cutoff")(nb::str("speed_cutoff"));
    if (is("VKL_PARAM_CURRENT_CUTOFF"))
        return nb::getattr(self, "_get_filter_cutoff")(nb::str("current_cutoff"));
    if (is("MODE"))
        return to_float(get_attr(self, S.n_mode.ptr()).attr("value"));
    if (is("SETPOINT"))
        return to_float(get_attr(self, S.attr(A_SETPOINT)));
    if (is("TORQUE_PERFORMANCE"))
        return to_float(get_attr(self, S.n_torque_performance.ptr()).attr("value"));
    if (is("SPEED_PERFORMANCE"))
        return to_float(get_attr(self, S.n_speed_performance.ptr()).attr("value"));
    if (is("VKL_ADDRESS")) {
        nb::object a = get_attr(self, S.attr(A_ADDRESS));
        return a.is_none() ? S.nan : to_float(a);
    }
    nb::object tracked = get_attr(self, S.n_tracked.ptr());
    if (contains(tracked, parameter))
        return to_float(tracked[parameter]);
    return S.nan;
}

nb::object float_field(nb::handle group, const char *name) { return to_float(nb::getattr(group, name)); }

nb::object optional_field(State &S, nb::handle group, const char *name) {
    return has_attr(group, name) ? float_field(group, name) : S.nan;
}

nb::object get_all_parameters(State &S, nb::handle self) {
    nb::object twin = call_method(self, S.method(M_REQUIRE));
    nb::dict out;
    {
        nb::object pid = nb::getattr(twin, "pid");
        nb::dict d;
        d["pos_kp"] = float_field(pid, "pos_Kp");
        d["pos_ki"] = optional_field(S, pid, "pos_Ki");
        d["pos_kd"] = optional_field(S, pid, "pos_Kd");
        d["spd_kp"] = float_field(pid, "spd_Kp");
        d["spd_ki"] = float_field(pid, "spd_Ki");
        d["id_kp"] = float_field(pid, "id_Kp");
        d["id_ki"] = float_field(pid, "id_Ki");
        d["ff_gain"] = has_attr(pid, "FF_gain")
                           ? float_field(pid, "FF_gain")
                           : to_float(get_attr(self, S.n_tracked.ptr())[param_member(self, "FF_GAIN")]);
        out["pid"] = d;
    }
    {
        nb::object imp = nb::getattr(twin, "imp");
        nb::dict d;
        d["k_stiff"] = float_field(imp, "K_stiff");
        d["k_damp"] = float_field(imp, "K_damp");
        d["t_ff"] = float_field(imp, "T_FF");
        d["j_imp"] = optional_field(S, imp, "J_imp");
        out["impedance"] = d;
    }
    {
        nb::object lim = nb::getattr(twin, "lim");
        nb::dict d;
        for (const char *n : {"lim_T", "lim_pos_max", "lim_pos_min", "lim_spd_max", "lim_spd_min"})
            d[n] = float_field(lim, n);
        out["limits"] = d;
        nb::dict p;
        for (const char *n : {"prof_pos_max", "prof_pos_min", "prof_spd_max", "prof_spd_min"})
            p[n] = float_field(lim, n);
        out["profile"] = p;
    }
    if (has_attr(twin, "get_filter_cutoffs")) {
        out["filter"] = twin.attr("get_filter_cutoffs")();
    } else {
        nb::object tracked = get_attr(self, S.n_tracked.ptr());
        nb::dict d;
        d["speed_cutoff"] = tracked[param_member(self, "VKL_PARAM_SPEED_CUTOFF")];
        d["current_cutoff"] = tracked[param_member(self, "VKL_PARAM_CURRENT_CUTOFF")];
        out["filter"] = d;
    }
    return out;
}

void set_parameters(nb::handle self, nb::handle parameters) {
    nb::dict d = arg_dict(parameters, "parameters");
    for (nb::handle item : nb::iter(d.attr("items")()))
        nb::getattr(self, "_set_parameter_value")(item[0], item[1]);
}

nb::object get_parameters(nb::handle self, nb::handle parameters, nb::handle timeout) {
    nb::list l = arg_list(parameters, "parameters");
    arg_float(timeout);
    nb::dict out;
    for (nb::handle item : nb::iter(l))
        out[item] = nb::getattr(self, "_get_parameter_value")(item);
    return out;
}

nb::object get_parameters_all(nb::handle self) {
    nb::list all(nb::getattr(self, "VKL_Parameters"));
    return nb::getattr(self, "get_parameters")(all);
}

void set_can_high_speed(State &S, nb::handle self, nb::handle enabled) {
    bool on = truth(enabled);
    nb::setattr(self, "can_high_speed", nb::bool_(on));
    get_attr(self, S.n_tracked.ptr())[param_member(self, "CAN_HIGH_SPEED")] = nb::float_(on ? 1.0 : 0.0);
}

void set_torque_performance(State &S, nb::handle self, nb::handle p) {
    set_attr(self, S.n_torque_performance.ptr(), p);
}

void set_speed_performance(State &S, nb::handle self, nb::handle p) { set_attr(self, S.n_speed_performance.ptr(), p); }

// ---- twin paths and inspection ------------------------------------------------------------

template <std::size_t N>
nb::object dump_floats(State &S, nb::handle self, const char *group, const std::array<const char *, N> &names) {
    nb::object twin = call_method(self, S.method(M_REQUIRE));
    nb::object g = nb::getattr(twin, group);
    nb::dict d;
    for (const char *name : names)
        d[name] = float_field(g, name);
    return d;
}

nb::object get_measurements(State &S, nb::handle self) {
    nb::object twin = call_method(self, S.method(M_REQUIRE));
    nb::object meas = nb::getattr(twin, "meas");
    nb::dict d;
    for (std::size_t i = 0; i < kMeasFields.size(); ++i) {
        nb::object v = nb::getattr(meas, kMeasFields[i]);
        d[kMeasFields[i]] = i < kMeasIntFields ? to_int(v) : to_float(v);
    }
    return d;
}

nb::object get_debug_flags(State &S, nb::handle self) {
    nb::object twin = call_method(self, S.method(M_REQUIRE));
    nb::object dbg = nb::getattr(twin, "debug");
    nb::dict d;
    for (const char *n : kDebugFlags)
        d[n] = nb::bool_(truth(nb::getattr(dbg, n)));
    return d;
}

bool has_errors(State &S, nb::handle self) {
    nb::object flags = call_method(self, S.method(M_DEBUG_FLAGS));
    for (nb::handle v : nb::iter(flags.attr("values")()))
        if (truth(v))
            return true;
    return false;
}

double bool_to_float(nb::handle value) { return truth(value) ? 1.0 : 0.0; }

double safe_divisor(nb::handle value) {
    double v = arg_float(value);
    return v == 0.0 ? 1.0 : v;
}

bool is_nan(nb::handle value) { return std::isnan(arg_float(value)); }

// ---- twin selection by model name ---------------------------------------------------------

nb::object discover_available_actuators(State &S, nb::handle bindings_path) {
    PyObject *r = PyObject_CallOneArg(module_global(S.g, "list_available_dtwin_artifacts").ptr(), bindings_path.ptr());
    if (!r) {
        if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            PyErr_Clear();
            return nb::list();
        }
        raise_pending();
    }
    return nb::steal(r);
}

nb::object set_actuator(State &S, nb::handle self, nb::handle model_name, nb::handle library_path,
                        nb::handle bindings_root) {
    nb::str name = arg_str(model_name, "model_name");
    std::string n = py_str(name);
    if (library_path.is_none()) {
        nb::object paths = module_global(S.g, "resolve_dtwin_artifacts")(name, bindings_root);
        nb::object lib = nb::getattr(paths, "library"), bind = nb::getattr(paths, "py_bindings");
        if (lib.is_none() || bind.is_none())
            raise(PyExc_ValueError, "Actuator '" + n + "' has incomplete digital-twin paths");
        set_attr(self, S.n_configured_model.ptr(), name);
        return nb::getattr(self, "set_actuator_from_paths")(nb::arg("library_path") = lib,
                                                             nb::arg("bindings_path") = bind);
    }
    nb::object spec = module_global(S.g, "get_actuator_spec")(name, library_path);
    nb::object dp = nb::getattr(spec, "dtwin_paths");
    if (dp.is_none())
        raise(PyExc_ValueError, "Actuator '" + n + "' has no digital-twin paths");
    nb::object lib = nb::getattr(dp, "library"), bind = nb::getattr(dp, "py_bindings");
    if (lib.is_none() || bind.is_none())
        raise(PyExc_ValueError, "Actuator '" + n + "' has incomplete digital-twin paths");
    if (!truth(lib.attr("exists")()))
        raise(PyExc_FileNotFoundError, "Library not found: " + py_str(lib));
    if (!truth(bind.attr("exists")()))
        raise(PyExc_FileNotFoundError, "Bindings not found: " + py_str(bind));
    set_attr(self, S.n_configured_model.ptr(), name);
    return nb::getattr(self, "set_actuator_from_paths")(nb::arg("library_path") = lib,
                                                         nb::arg("bindings_path") = bind);
}

// ============================================================================
// Bindings
// ============================================================================

// The module's imports as a Python module of this package has them, and the
// siblings (top-level modules first, all three from the package otherwise).
void bind_namespace(nb::module_ &m) {
    nb::module_ math = nb::module_::import_("math");
    m.attr("math") = math;
    m.attr("nan") = math.attr("nan");
    m.attr("logging") = nb::module_::import_("logging");
    nb::module_ typing = nb::module_::import_("typing");
    for (const char *n : {"Any", "Callable", "Dict", "List", "Optional", "Union"})
        m.attr(n) = typing.attr(n);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    import_siblings(m, {{"_kavrel_actuator_base", {"KavrelActuatorBase"}},
                        {"_twin_engine", {"ActuatorWrapper", "get_default_dtwin_time_step_s"}},
                        {"_twin_catalog",
                         {"get_actuator_spec", "list_available_dtwin_artifacts", "resolve_dtwin_artifacts"}}});
}

void bind_log(nb::module_ &m, const StateP &S) {
    ClassBuilder log("VirtualActuatorLog", m.attr("__name__"), nullptr, kLogDoc);
    nb::list slots;
    for (const nb::object &name : S->log_names)
        slots.append(name);
    log.attr("__slots__", nb::tuple(slots));
    log.attr("__match_args__", nb::tuple(slots));
    log.attr("__hash__", nb::none());
    log.def("__init__", [S](nb::handle self, nb::args args, nb::kwargs kwargs) { log_init(*S, self, args, kwargs); });
    log.def("__eq__", [S](nb::handle self, nb::handle other) { return log_eq(*S, self, other); }, arg("other"));
    log.def("__repr__", [S](nb::handle self) { return log_repr(*S, self); });
    log.def("_append", [S](nb::handle self, nb::handle act) { log_append_generic(*S, self, act); }, arg("act"))
        .signature("(self, act: ActuatorWrapper) -> None");
    nb::object cls = log.finish();
    nb::setattr(cls.attr("__init__"), "__signature__", log_init_signature());
    m.attr("VirtualActuatorLog") = cls;
    note_log_class(*S, cls);
}

// The class's tables: the parameters held in twin fields, and the defaults
// of the ones the actuator tracks itself.
void bind_parameter_tables(ClassBuilder &cls, State &S) {
    nb::object P = S.base_cls.attr("VKL_Parameters");
    nb::dict paths;
    const std::pair<const char *, const char *> rows[] = {
        {"K_DAMPING", "imp.K_damp"},           {"K_STIFFNESS", "imp.K_stiff"},
        {"TORQUE_FF", "imp.T_FF"},             {"LIM_TORQUE", "lim.lim_T"},
        {"LIM_POSITION_MAX", "lim.lim_pos_max"}, {"LIM_POSITION_MIN", "lim.lim_pos_min"},
        {"LIM_SPEED_MAX", "lim.lim_spd_max"},  {"LIM_SPEED_MIN", "lim.lim_spd_min"},
        {"PROFILE_POSITION_MAX", "lim.prof_pos_max"}, {"PROFILE_POSITION_MIN", "lim.prof_pos_min"},
        {"PROFILE_SPEED_MAX", "lim.prof_spd_max"}, {"PROFILE_SPEED_MIN", "lim.prof_spd_min"},
        {"KP_SPEED", "pid.spd_Kp"},            {"KI_SPEED", "pid.spd_Ki"},
        {"KP_POSITION", "pid.pos_Kp"}};
    for (auto &r : rows)
        paths[P.attr(r.first)] = nb::str(r.second);
    cls.attr("_PARAMETER_PATHS", paths);
    nb::dict tracked;
    const std::pair<const char *, double> trows[] = {
        {"FF_GAIN", kNaN}, {"PROFILE_SPEED_MAX_RAD_S", kNaN}, {"PROFILE_TORQUE_MAX_NM", kNaN},
        {"VKL_PARAM_SPEED_CUTOFF", kNaN}, {"VKL_PARAM_CURRENT_CUTOFF", kNaN}, {"INVERT_FLAG", 0.0},
        {"CAN_HIGH_SPEED", 0.0}, {"SERIAL_NUMBER", kNaN}, {"FIRMWARE_VERSION", kNaN},
        {"DEVICE_MODEL", kNaN}, {"CONTROL_VERSION", kNaN}};
    for (auto &r : trows)
        tracked[P.attr(r.first)] = std::isnan(r.second) ? S.nan : nb::object(nb::float_(r.second));
    cls.attr("_TRACKED_NUMERIC_DEFAULTS", tracked);
}

void bind_identity(ClassBuilder &cls, const StateP &S) {
    cls.def(
           "__init__",
           [S](nb::handle self, nb::handle adapter_handler, nb::handle address, nb::handle logger) {
               init(*S, self, adapter_handler, address, logger);
           },
           arg("adapter_handler") = nb::none(), arg("address") = nb::none(), arg("logger") = nb::none())
        .signature("(self, adapter_handler: Optional[Any] = None, address: Optional[int] = None, "
                   "logger: Optional[logging.Logger] = None) -> None");
    cls.def_property(
           "address", [S](nb::handle self) { return get_address(*S, self); },
           [S](nb::handle self, nb::handle value) { set_address(*S, self, value); })
        .signature("(self) -> Optional[int]");
    cls.def_property(
           "model", [S](nb::handle self) { return get_model(*S, self); },
           [S](nb::handle self, nb::handle value) { set_model(*S, self, value); })
        .signature("(self) -> str");
    cls.def_property_readonly("implementation_version",
                              [](nb::handle self) { return call_named(self, "get_model_version"); })
        .signature("(self) -> str");
    cls.def("get_model_version", [S](nb::handle self) { return get_model_version(*S, self); })
        .signature("(self) -> str");
    cls.def(
           "set_actuator_from_paths",
           [S](nb::handle self, nb::handle library_path, nb::handle bindings_path) {
               return set_actuator_from_paths(*S, self, library_path, bindings_path);
           },
           arg("library_path"), arg("bindings_path"))
        .signature("(self, library_path: Union[str, Path], bindings_path: Union[str, Path]) -> ActuatorWrapper");
    cls.def("get_sim_time_step_s", [S](nb::handle self) { return get_sim_time_step_s(*S, self); })
        .signature("(self) -> float");
    cls.def("get_sim_rate_hz", [](nb::handle self) { return get_sim_rate_hz(self); }).signature("(self) -> float");
}

void bind_connection(ClassBuilder &cls, const StateP &S) {
    cls.def("_require_actuator", [S](nb::handle self) { return require_actuator(*S, self); })
        .signature("(self) -> ActuatorWrapper");
    cls.def("_ensure_initialized", [S](nb::handle self) { ensure_initialized(*S, self); })
        .signature("(self) -> None");
    cls.def(
           "connect", [S](nb::handle self, nb::handle timeout) { return connect(*S, self, timeout); },
           arg("timeout") = 1.0)
        .signature("(self, timeout: float = 1.0) -> bool");
    cls.def("disconnect", [S](nb::handle self) { disconnect(*S, self); }).signature("(self) -> None");
    cls.def(
           "send_ping", [S](nb::handle self, nb::handle timeout) { return send_ping(*S, self, timeout); },
           arg("timeout") = 1.0)
        .signature("(self, timeout: float = 1.0) -> bool");
    cls.def(
           "change_address",
           [S](nb::handle self, nb::handle new_address) { change_address(*S, self, new_address); },
           arg("new_address"))
        .signature("(self, new_address: int) -> None");
    cls.def("start", [S](nb::handle self) { start(*S, self); }).signature("(self) -> None");
    cls.def("stop", [S](nb::handle self) { stop(*S, self); }).signature("(self) -> None");
    cls.def("save_config", [S](nb::handle self) { save_config(*S, self); }).signature("(self) -> None");
    cls.def(
           "blink", [S](nb::handle self, nb::handle timeout) { blink(*S, self, timeout); }, arg("timeout") = 1.0)
        .signature("(self, timeout: float = 1.0) -> None");
}

void bind_modes(ClassBuilder &cls, const StateP &S) {
    cls.def("change_mode", [S](nb::handle self, nb::handle mode) { change_mode(*S, self, mode); }, arg("mode"))
        .signature("(self, mode: KavrelActuatorBase.Mode) -> None");
    cls.def("get_mode", [S](nb::handle self) { return get_attr(self, S->n_mode.ptr()); })
        .signature("(self) -> KavrelActuatorBase.Mode");
    cls.def(
           "change_setpoint", [S](nb::handle self, nb::handle setpoint) { change_setpoint(*S, self, setpoint); },
           arg("setpoint"))
        .signature("(self, setpoint: float) -> None");
    cls.def(
           "change_torque_setpoint",
           [S](nb::handle self, nb::handle setpoint, nb::handle id_Kp, nb::handle id_Ki, nb::handle iq_Kp,
               nb::handle iq_Ki) { change_torque_setpoint(*S, self, setpoint, id_Kp, id_Ki, iq_Kp, iq_Ki); },
           arg("setpoint"), arg("id_Kp") = kNaN, arg("id_Ki") = kNaN, arg("iq_Kp") = kNaN, arg("iq_Ki") = kNaN)
        .signature("(self, setpoint: float, id_Kp: float = float('nan'), id_Ki: float = float('nan'), "
                   "iq_Kp: float = float('nan'), iq_Ki: float = float('nan')) -> None");
    cls.def(
           "change_speed_setpoint",
           [S](nb::handle self, nb::handle setpoint, nb::handle FF_gain, nb::handle spd_Ki, nb::handle spd_Kp,
               nb::handle ref_ff_torque) {
               change_speed_setpoint(*S, self, setpoint, FF_gain, spd_Ki, spd_Kp, ref_ff_torque);
           },
           arg("setpoint"), arg("FF_gain") = kNaN, arg("spd_Ki") = kNaN, arg("spd_Kp") = kNaN,
           arg("ref_ff_torque") = kNaN)
        .signature("(self, setpoint: float, FF_gain: float = float('nan'), spd_Ki: float = float('nan'), "
                   "spd_Kp: float = float('nan'), ref_ff_torque: float = float('nan')) -> None");
    cls.def(
           "change_position_setpoint",
           [S](nb::handle self, nb::handle setpoint, nb::handle FF_gain, nb::handle spd_Ki, nb::handle spd_Kp,
               nb::handle pos_Kp, nb::handle ref_ff_torque) {
               change_position_setpoint(*S, self, setpoint, FF_gain, spd_Ki, spd_Kp, pos_Kp, ref_ff_torque);
           },
           arg("setpoint"), arg("FF_gain") = kNaN, arg("spd_Ki") = kNaN, arg("spd_Kp") = kNaN,
           arg("pos_Kp") = kNaN, arg("ref_ff_torque") = kNaN)
        .signature("(self, setpoint: float, FF_gain: float = float('nan'), spd_Ki: float = float('nan'), "
                   "spd_Kp: float = float('nan'), pos_Kp: float = float('nan'), "
                   "ref_ff_torque: float = float('nan')) -> None");
    cls.def(
           "change_impedance_setpoint",
           [S](nb::handle self, nb::handle setpoint, nb::handle FF_gain, nb::handle K_stiff, nb::handle K_damp,
               nb::handle J_imp, nb::handle ref_ff_torque, nb::handle ref_impedance_spd,
               nb::handle ref_impedance_acel) {
               change_impedance_setpoint(*S, self, setpoint, FF_gain, K_stiff, K_damp, J_imp, ref_ff_torque,
                                         ref_impedance_spd, ref_impedance_acel);
           },
           arg("setpoint"), arg("FF_gain") = kNaN, arg("K_stiff") = kNaN, arg("K_damp") = kNaN,
           arg("J_imp") = kNaN, arg("ref_ff_torque") = kNaN, arg("ref_impedance_spd") = kNaN,
           arg("ref_impedance_acel") = kNaN)
        .signature("(self, setpoint: float, FF_gain: float = float('nan'), K_stiff: float = float('nan'), "
                   "K_damp: float = float('nan'), J_imp: float = float('nan'), "
                   "ref_ff_torque: float = float('nan'), ref_impedance_spd: float = float('nan'), "
                   "ref_impedance_acel: float = float('nan')) -> None");
    cls.def("set_home_position", [S](nb::handle self) { set_home_position(*S, self); }).signature("(self) -> None");
    cls.def(
           "_change_mode_if_needed", [S](nb::handle self, nb::handle mode) { change_mode_if_needed(*S, self, mode); },
           arg("mode"))
        .signature("(self, mode: KavrelActuatorBase.Mode) -> None");
    cls.def(
           "_apply_speed_setpoint_options",
           [S](nb::handle self, nb::handle FF_gain, nb::handle spd_Ki, nb::handle spd_Kp, nb::handle ref_ff_torque) {
               apply_speed_setpoint_options(*S, self, FF_gain, spd_Ki, spd_Kp, ref_ff_torque);
           },
           arg("FF_gain") = kNaN, arg("spd_Ki") = kNaN, arg("spd_Kp") = kNaN, arg("ref_ff_torque") = kNaN)
        .signature("(self, FF_gain: float = float('nan'), spd_Ki: float = float('nan'), "
                   "spd_Kp: float = float('nan'), ref_ff_torque: float = float('nan')) -> None");
    cls.def(
           "_set_feedforward_gain", [S](nb::handle self, nb::handle value) { set_feedforward_gain(*S, self, value); },
           arg("value"))
        .signature("(self, value: float) -> None");
    cls.def("_get_feedforward_gain", [S](nb::handle self) { return get_feedforward_gain(*S, self); })
        .signature("(self) -> float");
}

void bind_stepping(ClassBuilder &cls, const StateP &S) {
    cls.def(
           "step", [S](nb::handle self, nb::handle load, nb::handle steps) { return step(*S, self, load, steps); },
           arg("load") = nb::none(), arg("steps") = 1)
        .fast_call(step_fast, step_entry(S))
        .signature("(self, load: Optional[float] = None, steps: int = 1) -> Dict[Any, Any]");
    cls.def(
           "start_steps", [](nb::handle self, nb::handle step_number) { start_steps(self, step_number); },
           arg("step_number"))
        .signature("(self, step_number: int) -> None");
    cls.def("change_load", [S](nb::handle self, nb::handle load) { change_load(*S, self, load); }, arg("load"))
        .signature("(self, load: float) -> None");
    cls.def(
           "get_sim_time", [S](nb::handle self, nb::handle round_dec) { return get_sim_time(*S, self, round_dec); },
           arg("round_dec") = 3)
        .signature("(self, round_dec: int = 3) -> float");
}

void bind_feedback(ClassBuilder &cls, const StateP &S) {
    cls.def(
           "set_feedback_callback",
           [S](nb::handle self, nb::handle callback) { set_feedback_callback(*S, self, callback); }, arg("callback"))
        .signature("(self, callback: Callable[[Optional[int], Dict[Any, Any]], None]) -> None");
    cls.def(
           "set_error_callback", [](nb::handle self, nb::handle callback) { set_error_callback(self, callback); },
           arg("callback"))
        .signature("(self, callback: Callable[[Optional[int], Dict[Any, Any]], None]) -> None");
    cls.def(
           "set_feedback_items", [S](nb::handle self, nb::handle items) { set_feedback_items(*S, self, items); },
           arg("items"))
        .signature("(self, items: List[Any]) -> None");
    cls.def("set_feedback_rate", [S](nb::handle self, nb::handle rate) { set_feedback_rate(*S, self, rate); },
            arg("rate"))
        .signature("(self, rate: Union[KavrelActuatorBase.Rates, int]) -> None");
    cls.def(
           "get_items_blocking",
           [S](nb::handle self, nb::handle items, nb::handle timeout) {
               return get_items_blocking(*S, self, items, timeout);
           },
           arg("items"), arg("timeout") = 1.0)
        .signature("(self, items: List[Any], timeout: float = 1.0) -> Dict[Any, Any]");
    cls.def("get_feedback", [S](nb::handle self) { return get_feedback(*S, self); })
        .signature("(self) -> Dict[Any, Any]");
    cls.def("_build_feedback_snapshot", [S](nb::handle self) { return build_snapshot(*S, self); })
        .signature("(self) -> Dict[Any, Any]");
    cls.def(
           "_get_item_value", [S](nb::handle self, nb::handle item) { return get_item_value(*S, self, item); },
           arg("item"))
        .signature("(self, item: Any) -> float");
    cls.def("_should_emit_feedback", [S](nb::handle self) { return should_emit(*S, self); })
        .signature("(self) -> bool");
    cls.def(
           "_emit_callback",
           [](nb::handle, nb::handle callback, nb::handle address, nb::handle payload) {
               emit_callback(callback, address, payload);
           },
           arg("callback"), arg("address"), arg("payload"))
        .signature("(self, callback: Optional[Callable[[Optional[int], Dict[Any, Any]], None]], "
                   "address: Optional[int], payload: Dict[Any, Any]) -> None");
}

void bind_parameters(ClassBuilder &cls, const StateP &S) {
    cls.def(
           "set_parameters", [](nb::handle self, nb::handle parameters) { set_parameters(self, parameters); },
           arg("parameters"))
        .signature("(self, parameters: Dict[Any, float]) -> None");
    cls.def(
           "get_parameters",
           [](nb::handle self, nb::handle parameters, nb::handle timeout) {
               return get_parameters(self, parameters, timeout);
           },
           arg("parameters"), arg("timeout") = 1.0)
        .signature("(self, parameters: List[Any], timeout: float = 1.0) -> Dict[Any, float]");
    cls.def("get_parameters_all", [](nb::handle self) { return get_parameters_all(self); })
        .signature("(self) -> Dict[Any, float]");
    cls.def(
           "set_can_high_speed", [S](nb::handle self, nb::handle enabled) { set_can_high_speed(*S, self, enabled); },
           arg("enabled"))
        .signature("(self, enabled: bool) -> None");
    cls.def(
           "set_torque_performance", [S](nb::handle self, nb::handle p) { set_torque_performance(*S, self, p); },
           arg("performance"))
        .signature("(self, performance: KavrelActuatorBase.TorquePerformance) -> None");
    cls.def(
           "set_speed_performance", [S](nb::handle self, nb::handle p) { set_speed_performance(*S, self, p); },
           arg("performance"))
        .signature("(self, performance: KavrelActuatorBase.SpeedPerformance) -> None");
    cls.def("get_all_parameters", [S](nb::handle self) { return get_all_parameters(*S, self); })
        .signature("(self) -> Dict[str, Dict[str, float]]");
    cls.def(
           "_set_parameter_value",
           [S](nb::handle self, nb::handle parameter, nb::handle value) {
               set_parameter_value(*S, self, parameter, value);
           },
           arg("parameter"), arg("value"))
        .signature("(self, parameter: KavrelActuatorBase.VKL_Parameters, value: float) -> None");
    cls.def(
           "_get_parameter_value",
           [S](nb::handle self, nb::handle parameter) { return get_parameter_value(*S, self, parameter); },
           arg("parameter"))
        .signature("(self, parameter: KavrelActuatorBase.VKL_Parameters) -> float");
    cls.def(
           "_set_filter_cutoff",
           [S](nb::handle self, nb::handle speed_cutoff, nb::handle current_cutoff) {
               set_filter_cutoff(*S, self, speed_cutoff, current_cutoff);
           },
           arg("speed_cutoff") = nb::none(), arg("current_cutoff") = nb::none())
        .signature("(self, speed_cutoff: Optional[float] = None, current_cutoff: Optional[float] = None) -> None");
    cls.def(
           "_get_filter_cutoff", [S](nb::handle self, nb::handle key) { return get_filter_cutoff(*S, self, key); },
           arg("key"))
        .signature("(self, key: str) -> float");
}

void bind_inspection(ClassBuilder &cls, const StateP &S) {
    cls.def("_read_path", [S](nb::handle self, nb::handle path) { return read_path(*S, self, path); }, arg("path"))
        .signature("(self, path: str) -> float");
    cls.def(
           "_write_path",
           [S](nb::handle self, nb::handle path, nb::handle value) { write_path(*S, self, path, value); },
           arg("path"), arg("value"))
        .signature("(self, path: str, value: float) -> None");
    cls.def("get_info", [S](nb::handle self) { return dump_floats(*S, self, "info", kInfoFields); })
        .signature("(self) -> Dict[str, float]");
    cls.def("get_motor_state", [S](nb::handle self) { return dump_floats(*S, self, "motor", kMotorFields); })
        .signature("(self) -> Dict[str, float]");
    cls.def("get_measurements", [S](nb::handle self) { return get_measurements(*S, self); })
        .signature("(self) -> Dict[str, Union[int, float]]");
    cls.def("get_debug_flags", [S](nb::handle self) { return get_debug_flags(*S, self); })
        .signature("(self) -> Dict[str, bool]");
    cls.def("has_errors", [S](nb::handle self) { return has_errors(*S, self); }).signature("(self) -> bool");
    cls.def_static("_bool_to_float", [](nb::handle value) { return bool_to_float(value); }, arg("value"))
        .signature("(value: bool) -> float");
    cls.def_static("_safe_divisor", [](nb::handle value) { return safe_divisor(value); }, arg("value"))
        .signature("(value: float) -> float");
    cls.def_static("_is_nan", [](nb::handle value) { return is_nan(value); }, arg("value"))
        .signature("(value: float) -> bool");
}

void bind_selection(ClassBuilder &cls, const StateP &S) {
    cls.def_static(
           "discover_available_actuators",
           [S](nb::handle bindings_path) { return discover_available_actuators(*S, bindings_path); },
           arg("bindings_path"))
        .signature("(bindings_path: Union[str, Path]) -> List[str]");
    cls.def(
           "set_actuator",
           [S](nb::handle self, nb::handle model_name, nb::handle library_path, nb::handle bindings_root) {
               return set_actuator(*S, self, model_name, library_path, bindings_root);
           },
           arg("model_name"), arg("library_path") = nb::none(), arg("bindings_root") = nb::none())
        .signature("(self, model_name: str, library_path: Union[str, Path, None] = None, "
                   "bindings_root: Union[str, Path, None] = None) -> ActuatorWrapper");
}

const char *kActuatorDoc =
    "Control a DTwin-backed virtual Kavrel actuator.\n\n"
    "    The command surface matches the physical actuator, with three differences:\n"
    "    the digital-twin library must be selected before connecting (``set_actuator``\n"
    "    or ``set_actuator_from_paths``), the simulator must be stepped explicitly\n"
    "    (``step``), and the external load must be provided by software.\n"
    "    ";

void bind_actuator(nb::module_ &m, const StateP &S) {
    ClassBuilder cls("KavrelActuatorVirtual", m.attr("__name__"), nullptr, kActuatorDoc);
    bind_parameter_tables(cls, *S);
    bind_identity(cls, S);
    bind_connection(cls, S);
    bind_modes(cls, S);
    bind_stepping(cls, S);
    bind_feedback(cls, S);
    bind_parameters(cls, S);
    bind_inspection(cls, S);
    bind_selection(cls, S);
    nb::object virt = cls.finish(nb::make_tuple(S->base_cls));
    m.attr("KavrelActuatorVirtual") = virt;
    note_actuator_class(*S, virt);
}

} // namespace

VKL_MODULE(kavrel_actuator_virtual, m) {
    module_init_common();
    m.doc() = "Simulated Kavrel actuator served by a digital twin, with its telemetry log.";
    bind_namespace(m);
    StateP s = make_state(m);
    s->dict_watcher = add_dict_watcher();
    m.def("_native_tick_count", [s]() { return s->native_ticks; },
          "Internal: ticks run entirely on the native road since the module was loaded.");
    make_series_type(m);
    bind_log(m, s);
    bind_actuator(m, s);
    nb::list all;
    all.append(nb::str("KavrelActuatorVirtual"));
    all.append(nb::str("VirtualActuatorLog"));
    m.attr("__all__") = all;
}
