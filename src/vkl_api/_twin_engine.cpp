// Digital-twin engine: one isolated instance of a digital-twin shared library
// (private copy, bindings imported afresh, lifecycle, structures, accessors).
//
// Loading and binding go through the interpreter's importlib and ctypes, so
// the twin's structures are the ctypes structures themselves.  The hot
// operations (step, the warm-up loop, the home tick) run natively through a
// per-wrapper field view (core/twin_view.hpp) whenever the wrapper's current
// state allows it, and through ctypes otherwise, with the same effect.
#include "core/pyutil.hpp"
#include "core/twin_view.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <iterator>
#include <type_traits>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

namespace nb = nanobind;
using namespace vkl;
using vkl::twin::CType;
using vkl::twin::FieldRef;
using vkl::twin::GroupView;
using vkl::twin::TwinView;

namespace {

// ---- small Python helpers ---------------------------------------------------

bool isinstance_of(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0)
        raise_pending();
    return r == 1;
}

bool issubclass_of(nb::handle cls, nb::handle base) {
    if (!PyType_Check(cls.ptr()))
        return false;
    int r = PyObject_IsSubclass(cls.ptr(), base.ptr());
    if (r < 0)
        raise_pending();
    return r == 1;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---- module state -------------------------------------------------------------

// Built once per import of the module and held by every binding that needs it
// (the classes built here live until exit, and so does the state).
struct State {
    nb::dict g;              // the module's namespace (names read at call time)
    nb::object ctypes;       // the ctypes module (for the view builder)
    nb::object cfuncptr;     // ctypes._CFuncPtr
    nb::object structure;    // ctypes.Structure
    nb::object cfield_type;  // the class of ctypes field descriptors
    nb::object apply_fn;     // ActuatorWrapper._apply_optional_inports as defined here
    std::vector<std::pair<PyObject *, CType>> ctype_table; // exact ctypes classes -> C type
    std::vector<PyObject *> safe_restypes;                  // restypes whose conversion is harmless
};

using StateP = std::shared_ptr<State>;

nb::object ctypes_mod(State &S) { return module_global(S.g, "ctypes"); }

// The native address a ctypes foreign function calls (0 for a null prototype).
uintptr_t cfunc_address(State &S, nb::handle fn) {
    nb::object c = ctypes_mod(S);
    nb::object v = c.attr("cast")(fn, c.attr("c_void_p")).attr("value");
    if (v.is_none())
        return 0;
    return (uintptr_t) PyLong_AsUnsignedLongLong(v.ptr());
}

// Call a function of the bindings module.  A ctypes foreign function that
// points nowhere (declared by the bindings, not exported by the library)
// would crash the process when called; it raises AttributeError instead.
nb::object call_twin(State &S, nb::handle fn, const char *name, nb::handle arg = nb::handle()) {
    if (isinstance_of(fn, S.cfuncptr) && cfunc_address(S, fn) == 0)
        raise(PyExc_AttributeError,
              std::string("digital-twin function ") + name + " is a null function pointer (the library does not export it)");
    return arg ? nb::borrow(fn)(arg) : nb::borrow(fn)();
}

// self._lib.<name>(ctypes.pointer(self.model))
void call_with_model(State &S, nb::handle self, const char *name) {
    nb::object fn = nb::getattr(nb::getattr(self, "_lib"), name);
    nb::object ptr = ctypes_mod(S).attr("pointer")(nb::getattr(self, "model"));
    call_twin(S, fn, name, ptr);
}

void generic_tick(State &S, nb::handle self) { call_with_model(S, self, "DT_step"); }

void tick(State &S, nb::handle self) {
    if (!twin::native_ticks(self, 1))
        generic_tick(S, self);
}

void ticks(State &S, nb::handle self, long long n) {
    const long long chunk = 200000;
    long long done = 0;
    while (done < n) {
        long long k = std::min(chunk, n - done);
        if (twin::native_ticks(self, k)) {
            done += k;
        } else {
            for (long long i = 0; i < k; ++i)
                generic_tick(S, self);
            done += k;
        }
        if (done < n && PyErr_CheckSignals() < 0)
            raise_pending();
    }
}

void set_inp(nb::handle self, const char *field, nb::handle value) {
    nb::setattr(nb::getattr(self, "inp"), field, value);
}

// ---- building the field view ----------------------------------------------------

bool lookup_ctype(State &S, PyObject *cls, CType &out) {
    for (auto &e : S.ctype_table)
        if (e.first == cls) {
            out = e.second;
            return true;
        }
    return false;
}

long long as_ll(nb::handle v) {
    long long r = PyLong_AsLongLong(v.ptr());
    if (r == -1 && PyErr_Occurred())
        raise_pending();
    return r;
}

// Fill one group from the ctypes descriptors of a structure object.
bool build_group(State &S, GroupView &gv, nb::handle obj, const char *name) {
    nb::object c = ctypes_mod(S);
    if (!isinstance_of(obj, S.structure))
        return false;
    PyTypeObject *tp = Py_TYPE(obj.ptr());
    if (!PyUnstable_Type_AssignVersionTag(tp) || tp->tp_version_tag == 0)
        return false;
    gv.name = intern_name(name);
    gv.obj = nb::borrow(obj);
    gv.type = tp;
    gv.type_tag = tp->tp_version_tag;
    uintptr_t base = (uintptr_t) PyLong_AsUnsignedLongLong(c.attr("addressof")(obj).ptr());
    if (PyErr_Occurred())
        raise_pending();
    long long size = as_ll(c.attr("sizeof")(obj));
    if (base == 0 || size <= 0)
        return false;
    gv.base = (char *) base;
    gv.size = (size_t) size;

    nb::handle cls((PyObject *) tp);
    nb::object mro = nb::getattr(cls, "__mro__");
    std::unordered_map<std::string, bool> seen;
    for (nb::handle k : mro) {
        if (!issubclass_of(k, S.structure))
            continue;
        nb::dict own = nb::borrow<nb::dict>(nb::getattr(k, "__dict__").attr("copy")());
        if (!own.contains("_fields_"))
            continue;
        nb::object fields = own["_fields_"];
        for (nb::handle entry : fields) {
            if (!PyTuple_Check(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) < 2)
                continue;
            nb::handle fname = PyTuple_GET_ITEM(entry.ptr(), 0);
            if (!PyUnicode_Check(fname.ptr()))
                continue;
            std::string key = nb::borrow<nb::str>(fname).c_str();
            if (seen.count(key))
                continue;
            seen[key] = true;
            if (PyTuple_GET_SIZE(entry.ptr()) != 2)
                continue; // bit field
            CType ct;
            if (!lookup_ctype(S, PyTuple_GET_ITEM(entry.ptr(), 1), ct))
                continue;
            PyObject *descr = _PyType_Lookup(tp, fname.ptr());
            if (!descr || (PyObject *) Py_TYPE(descr) != S.cfield_type.ptr())
                continue;
            nb::handle d(descr);
            long long off = as_ll(nb::getattr(d, "offset"));
            long long fsize = as_ll(nb::getattr(d, "size"));
            long long tsize = as_ll(c.attr("sizeof")(nb::handle(PyTuple_GET_ITEM(entry.ptr(), 1))));
            if (off < 0 || fsize != tsize || off + fsize > size)
                continue;
            gv.fields[key] = FieldRef{gv.base + off, ct};
        }
    }
    return true;
}

bool class_defines(PyTypeObject *tp, const char *name) {
    nb::str n(name);
    return _PyType_Lookup(tp, n.ptr()) != nullptr;
}

void build_step_part(State &S, TwinView &v, nb::handle self, nb::dict wd) {
    nb::object c = ctypes_mod(S);
    PyTypeObject *owner = v.owner_type;
    if (class_defines(owner, "_lib") || class_defines(owner, "model") || !wd.contains("_lib") ||
        !wd.contains("model"))
        return;
    nb::object lib = wd["_lib"];
    if (!PyModule_CheckExact(lib.ptr()))
        return;
    nb::dict ld = nb::borrow<nb::dict>(PyModule_GetDict(lib.ptr()));
    if (!ld.contains("DT_step"))
        return;
    nb::object fn = ld["DT_step"];
    if (!isinstance_of(fn, S.cfuncptr))
        return;
    // A plain C call: no Python API, no errno or last-error swapping (which
    // the native call would not reproduce).
    long long flags = as_ll(nb::getattr(fn, "_flags_"));
    long long cdecl = as_ll(c.attr("_FUNCFLAG_CDECL"));
    long long special = as_ll(c.attr("_FUNCFLAG_PYTHONAPI")) | as_ll(c.attr("_FUNCFLAG_USE_ERRNO"));
    nb::object lasterror = attr_or_none(c, "_FUNCFLAG_USE_LASTERROR");
    if (!lasterror.is_none())
        special |= as_ll(lasterror);
    if ((flags & special) || !(flags & cdecl))
        return;
    nb::object model = wd["model"];
    if (!isinstance_of(model, S.structure))
        return;
    nb::object restype = nb::getattr(fn, "restype");
    nb::object argtypes = nb::getattr(fn, "argtypes");
    nb::object errcheck = nb::getattr(fn, "errcheck");
    if (!errcheck.is_none())
        return;
    bool rt_ok = restype.is_none();
    for (PyObject *t : S.safe_restypes)
        rt_ok = rt_ok || restype.ptr() == t;
    if (!rt_ok)
        return;
    if (!argtypes.is_none()) {
        // The converters ctypes uses were fixed when argtypes was set; the
        // object itself (tuple or list) is checked for identity before each use.
        nb::object seq = nb::borrow(argtypes);
        if (PyList_CheckExact(seq.ptr()))
            seq = nb::steal(PyList_AsTuple(seq.ptr()));
        if (!PyTuple_CheckExact(seq.ptr()) || PyTuple_GET_SIZE(seq.ptr()) != 1)
            return;
        nb::handle a0 = PyTuple_GET_ITEM(seq.ptr(), 0);
        nb::object ptr_t = c.attr("POINTER")(nb::handle((PyObject *) Py_TYPE(model.ptr())));
        if (!a0.is(ptr_t) && !a0.is(c.attr("c_void_p")))
            return;
        v.step_arg0 = nb::borrow(a0);
    }
    uintptr_t addr = cfunc_address(S, fn);
    uintptr_t maddr = (uintptr_t) PyLong_AsUnsignedLongLong(c.attr("addressof")(model).ptr());
    if (PyErr_Occurred())
        raise_pending();
    if (!addr || !maddr)
        return;
    // Direct getters of restype / argtypes / errcheck (descriptors of the
    // function's class), used while that class keeps its version tag.
    PyTypeObject *ft = Py_TYPE(fn.ptr());
    if (PyUnstable_Type_AssignVersionTag(ft) && ft->tp_version_tag != 0) {
        const char *attrs[] = {"restype", "argtypes", "errcheck"};
        static_assert(std::size(attrs) == std::extent_v<decltype(TwinView::fn_get)>);
        bool ok = true;
        for (size_t i = 0; i < std::size(attrs) && ok; ++i) {
            nb::str an(attrs[i]);
            PyObject *d = _PyType_Lookup(ft, an.ptr());
            if (!d || !Py_IS_TYPE(d, &PyGetSetDescr_Type) || !((PyGetSetDescrObject *) d)->d_getset->get) {
                ok = false;
                break;
            }
            v.fn_get[i] = ((PyGetSetDescrObject *) d)->d_getset->get;
            v.fn_closure[i] = ((PyGetSetDescrObject *) d)->d_getset->closure;
        }
        if (ok) {
            v.fn_type = ft;
            v.fn_type_tag = ft->tp_version_tag;
        }
    }
    v.lib = lib;
    v.step_obj = fn;
    v.step_restype = restype;
    v.step_argtypes = argtypes;
    v.step_errcheck = errcheck;
    v.model_obj = model;
    v.model = (void *) maddr;
    v.step_fn = (TwinView::StepFn) addr;

    // The inputs that `step` and the home tick write.
    auto g = v.groups.find("inp");
    if (g == v.groups.end())
        return;
    const GroupView &inp = g->second;
    auto field = [&](const char *n) {
        auto f = inp.fields.find(n);
        return f == inp.fields.end() ? FieldRef{} : f->second;
    };
    v.in_reset_pos = field("ResetPos");
    v.in_reference = field("Reference");
    v.in_load = field("Load");
    bool ok = v.in_reference && v.in_load && twin::takes_float(v.in_reference.type) &&
              twin::takes_float(v.in_load.type);
    nb::handle inp_cls((PyObject *) inp.type);
    for (size_t i = 0; i < std::size(twin::kOptionalInports); ++i) {
        v.in_opt[i] = field(twin::kOptionalInports[i]);
        if (v.in_opt[i]) {
            ok = ok && twin::takes_float(v.in_opt[i].type);
        } else if (has_attr(inp_cls, twin::kOptionalInports[i])) {
            ok = false; // present, but not a plain number field
        } else {
            v.in_opt_missing_any = true;
        }
    }
    nb::str apply_name("_apply_optional_inports");
    PyObject *apply = _PyType_Lookup(owner, apply_name.ptr());
    v.apply_fn = nb::borrow(apply ? apply : Py_None);
    v.inputs_native = ok && apply && apply == S.apply_fn.ptr();
}

// The wrapper's view, or None when it cannot be viewed.  Never raises: a
// twin that does not fit simply takes the generic path.
nb::object build_view(State &S, nb::handle self) {
    try {
        TwinView v;
        v.owner_type = Py_TYPE(self.ptr());
        nb::dict wd = nb::borrow<nb::dict>(nb::getattr(self, "__dict__"));
        for (const char *name : twin::kGroupNames) {
            if (class_defines(v.owner_type, name) || !wd.contains(name))
                continue;
            GroupView gv;
            if (build_group(S, gv, wd[name], name))
                v.groups.emplace(name, std::move(gv));
        }
        if (v.groups.empty())
            return nb::none();
        build_step_part(S, v, self, wd);
        return nb::cast(std::move(v), nb::rv_policy::move);
    } catch (nb::python_error &) {
        return nb::none();
    } catch (std::exception &) {
        PyErr_Clear();
        return nb::none();
    }
}

// ---- text globals -------------------------------------------------------------------

nb::object unknown() { return nb::str("unknown"); }

nb::object decode_c_string_bytes(nb::handle raw_value) {
    PyObject *b = PyObject_CallOneArg((PyObject *) &PyBytes_Type, raw_value.ptr());
    if (!b) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return unknown();
        }
        raise_pending();
    }
    nb::object bytes = nb::steal(b);
    const char *data = PyBytes_AS_STRING(b);
    Py_ssize_t n = PyBytes_GET_SIZE(b);
    const void *nul = std::memchr(data, 0, (size_t) n);
    if (nul)
        n = (const char *) nul - data;
    if (n == 0)
        return unknown();
    PyObject *s = PyUnicode_DecodeUTF8(data, n, "strict");
    if (!s) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            PyErr_Clear();
            return unknown();
        }
        raise_pending();
    }
    nb::object text = nb::steal(s);
    Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    for (Py_ssize_t i = 0; i < len; ++i) {
        Py_UCS4 ch = PyUnicode_READ_CHAR(s, i);
        if (!Py_UNICODE_ISPRINTABLE(ch) && ch != '\t' && ch != '\r' && ch != '\n')
            return unknown();
    }
    return text;
}

const char *kTimeStepDoc =
    "Return the DTwin simulation step time in seconds.\n\n"
    "        Current generated artifacts do not expose time-step metadata. Future\n"
    "        artifacts can provide a ``get_sim_time_step_s()`` symbol, which this\n"
    "        wrapper then uses automatically; otherwise it falls back to the time\n"
    "        step of the current generated model.\n"
    "        ";


// ---- module functions ---------------------------------------------------------------
nb::object get_default_dtwin_time_step_s(State &S) { return module_global(S.g, "_DTWIN_DEFAULT_TIME_STEP_S"); }

nb::object steps_for_duration(nb::handle duration_s, nb::handle time_step_s) {
    double d = arg_float(duration_s);
    double ts = arg_float(time_step_s);
    if (ts <= 0) {
        raise(PyExc_RuntimeError, "Invalid DTwin simulation timestep: " + py_str(nb::repr(nb::float_(ts))));
    }
    nb::object n = builtins().attr("round")(nb::float_(d / ts));
    nb::object one = nb::int_(1);
    int lt = PyObject_RichCompareBool(n.ptr(), one.ptr(), Py_LT);
    if (lt < 0)
        raise_pending();
    return lt ? one : n;
}

// ---- ActuatorWrapper: construction and lifecycle ------------------------------------------
void init(State &S, nb::handle self, nb::handle shared_lib_path, nb::handle ctypes_path) {
    nb::str lib = arg_str(shared_lib_path, "shared_lib_path");
    nb::str bind = arg_str(ctypes_path, "ctypes_path");
    nb::object Path = module_global(S.g, "Path");
    nb::getattr(self, "_load_isolated")(Path(lib), Path(bind));
    nb::getattr(self, "_bind_ctypes")();
    nb::setattr(self, "_initialized", nb::bool_(false));
    nb::setattr(self, "_feedforward_gain", nb::float_(0.0));
    nb::setattr(self, "_reference_feedforward_torque", nb::float_(0.0));
    nb::setattr(self, "_impedance_speed_reference", nb::float_(0.0));
    nb::setattr(self, "_impedance_acceleration_reference", nb::float_(0.0));
    nb::setattr(self, "id_tag", nb::none());
    nb::setattr(self, "_native_view", build_view(S, self));
    nb::object C = module_global(S.g, "ActuatorWrapper");
    nb::setattr(C, "instance_count", nb::getattr(C, "instance_count") + nb::int_(1));
}

void initialize(State &S, nb::handle self, nb::handle mode) {
    nb::object code = arg_int(mode, "mode");
    if (truth(nb::getattr(self, "_initialized")))
        raise(PyExc_RuntimeError, "Simulator already initialized. Call terminate() first.");
    call_with_model(S, self, "DT_initialize");
    set_inp(self, "Enable", nb::getattr(self, "MOTOR_ON"));
    set_inp(self, "ResetPos", nb::bool_(false));
    set_inp(self, "ControlType", module_global(S.g, "_DTWIN_CONTROL_CALIBRATION"));
    set_inp(self, "Load", nb::float_(0.0));
    set_inp(self, "Reference", nb::float_(0.0));
    nb::getattr(self, "_apply_optional_inports")();
    nb::object n = module_global(S.g, "_steps_for_duration")(module_global(S.g, "_DTWIN_INITIALIZATION_WARMUP_S"),
                                                             nb::getattr(self, "get_sim_time_step_s")());
    ticks(S, self, as_ll(n));
    set_inp(self, "Enable", nb::getattr(self, "MOTOR_OFF"));
    tick(S, self);
    set_inp(self, "ResetPos", nb::bool_(true));
    tick(S, self);
    set_inp(self, "ControlType", code);
    nb::setattr(self, "_initialized", nb::bool_(true));
}

void step(State &S, nb::handle self, nb::handle ref_value, nb::handle load) {
    double ref = arg_float(ref_value);
    double ld = arg_float(load);
    if (twin::native_step(self, ref, ld))
        return;
    set_inp(self, "Reference", nb::float_(ref));
    set_inp(self, "Load", nb::float_(ld));
    nb::getattr(self, "_apply_optional_inports")();
    generic_tick(S, self);
}

void terminate(State &S, nb::handle self) {
    if (!truth(nb::getattr(self, "_initialized")))
        raise(PyExc_RuntimeError, "Simulator not initialized. Call initialize() first.");
    call_with_model(S, self, "DT_terminate");
    nb::setattr(self, "_initialized", nb::bool_(false));
    nb::object C = module_global(S.g, "ActuatorWrapper");
    nb::setattr(C, "instance_count", nb::getattr(C, "instance_count") - nb::int_(1));
    // A twin initialised again after `terminate` runs on the loaded copy
    // whose directory is already gone: nothing is left to remove then.
    nb::object tmp = nb::getattr(self, "tmp_dir");
    if (truth(module_global(S.g, "Path")(tmp).attr("exists")()))
        module_global(S.g, "shutil").attr("rmtree")(tmp);
}

// ---- loading and binding ---------------------------------------------------------------
void load_isolated(State &S, nb::handle self, nb::handle lib_path, nb::handle binding_path) {
    nb::object util = module_global(S.g, "importlib").attr("util");
    nb::object resolved_binding = nb::getattr(binding_path, "resolve")();
    nb::object spec = util.attr("spec_from_file_location")("dtwin", resolved_binding);
    if (spec.is_none() || nb::getattr(spec, "loader").is_none())
        raise_text(PyExc_ImportError, concat_text({nb::str("Could not load digital-twin bindings from "),
                                                   steal_or_raise(PyObject_Str(binding_path.ptr()))}));
    nb::object module = util.attr("module_from_spec")(spec);
    nb::getattr(spec, "loader").attr("exec_module")(module);
    nb::object resolved_lib = nb::getattr(lib_path, "resolve")();
    nb::object tmp = module_global(S.g, "Path")(module_global(S.g, "tempfile").attr("mkdtemp")());
    nb::setattr(self, "tmp_dir", tmp);
    nb::object copy = tmp / nb::getattr(resolved_lib, "name");
    module_global(S.g, "shutil").attr("copy2")(resolved_lib, copy);
    nb::object c = module_global(S.g, "ctypes");
    nb::object handle = c.attr("CDLL")(nb::str(copy), nb::arg("mode") = c.attr("RTLD_LOCAL"));
    nb::setattr(module, "_dll", handle);
    nb::getattr(self, "_rebind_ctypes_functions")(module, handle);
    nb::setattr(self, "_lib", module);
}

void rebind_ctypes_functions(State &S, nb::handle, nb::handle module, nb::handle new_handle) {
    nb::object cfuncptr = module_global(S.g, "ctypes").attr("_CFuncPtr");
    nb::object items = builtins().attr("vars")(module).attr("items")();
    for (nb::handle item : items) {
        nb::object name = item[0], value = item[1];
        if (!isinstance_of(value, cfuncptr))
            continue;
        PyObject *fresh = PyObject_GetAttr(new_handle.ptr(), name.ptr());
        if (!fresh) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                continue;
            }
            raise_pending();
        }
        nb::object fn = nb::steal(fresh);
        nb::setattr(fn, "restype", nb::getattr(value, "restype"));
        nb::setattr(fn, "argtypes", nb::getattr(value, "argtypes"));
        nb::setattr(module, name, fn);
    }
}

void bind_ctypes(State &S, nb::handle self) {
    nb::object lib = nb::getattr(self, "_lib");
    static const std::pair<const char *, const char *> getters[] = {
        {"imp", "get_impedance_ptr"}, {"pid", "get_pid_ptr"},     {"debug", "get_debug_ptr"},
        {"info", "get_info_ptr"},     {"inp", "get_inports_ptr"}, {"lim", "get_lim_ptr"},
        {"meas", "get_meas_ptr"},     {"motor", "get_motor_ptr"}};
    for (auto &gp : getters) {
        nb::object ptr = call_twin(S, nb::getattr(lib, gp.second), gp.second);
        nb::setattr(self, gp.first, nb::getattr(ptr, "contents"));
    }
    nb::setattr(self, "filter", nb::getattr(self, "_bind_optional_global")("Filter_type", "Filter"));
    nb::object c = module_global(S.g, "ctypes");
    nb::object block_io = nb::getattr(lib, "B_DT_T")();
    nb::object dwork = nb::getattr(lib, "DW_DT_T")();
    nb::object prevzcs = nb::getattr(lib, "PrevZCX_DT_T")();
    nb::object error_buf = c.attr("create_string_buffer")(256);
    nb::object model = nb::getattr(lib, "RT_MODEL_DT_T")();
    nb::setattr(model, "blockIO", c.attr("pointer")(block_io));
    nb::setattr(model, "dwork", c.attr("pointer")(dwork));
    nb::setattr(model, "prevZCSigState", c.attr("pointer")(prevzcs));
    nb::setattr(model, "errorStatus", c.attr("cast")(error_buf, c.attr("POINTER")(c.attr("c_char"))));
    nb::setattr(self, "model", model);
}

nb::object bind_optional_global(nb::handle self, nb::handle type_name, nb::handle symbol_name) {
    nb::str tn = arg_str(type_name, "type_name");
    nb::str sn = arg_str(symbol_name, "symbol_name");
    nb::object lib = nb::getattr(self, "_lib");
    nb::object struct_type = attr_or_none(lib, tn.c_str());
    nb::object raw = attr_or_none(lib, "_dll");
    if (!struct_type.is_none() && !raw.is_none()) {
        PyObject *r = PyObject_CallMethod(struct_type.ptr(), "in_dll", "OO", raw.ptr(), sn.ptr());
        if (r)
            return nb::steal(r);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_ValueError))
            raise_pending();
        PyErr_Clear();
    }
    return attr_or_none(lib, sn.c_str());
}

void apply_optional_inports(nb::handle self) {
    for (size_t i = 0; i < std::size(twin::kOptionalInports); ++i) {
        if (has_attr(nb::getattr(self, "inp"), twin::kOptionalInports[i]))
            nb::setattr(nb::getattr(self, "inp"), twin::kOptionalInports[i],
                        nb::getattr(self, twin::kOptionalInportCaches[i]));
    }
}

// ---- gains and address ------------------------------------------------------------------
nb::object float_of(nb::handle obj, const char *field) { return to_float(nb::getattr(obj, field)); }

void set_position_kp(nb::handle self, nb::handle kp) {
    double v = arg_float(kp);
    nb::setattr(nb::getattr(self, "pid"), "pos_Kp", nb::float_(v));
}

nb::object get_position_kp(nb::handle self) { return float_of(nb::getattr(self, "pid"), "pos_Kp"); }

void set_feedforward_gain(nb::handle self, nb::handle gain) {
    double v = arg_float(gain);
    nb::setattr(self, "_feedforward_gain", nb::float_(v));
    if (has_attr(nb::getattr(self, "pid"), "FF_gain"))
        nb::setattr(nb::getattr(self, "pid"), "FF_gain", nb::float_(v));
}

nb::object get_feedforward_gain(nb::handle self) {
    if (has_attr(nb::getattr(self, "pid"), "FF_gain"))
        return float_of(nb::getattr(self, "pid"), "FF_gain");
    return float_of(self, "_feedforward_gain");
}

// A proportional and integral gain pair of the `pid` structure.
void set_gain_pair(nb::handle self, const char *p_field, const char *i_field, nb::handle kp, nb::handle ki) {
    double p = arg_float(kp), i = arg_float(ki);
    nb::setattr(nb::getattr(self, "pid"), p_field, nb::float_(p));
    nb::setattr(nb::getattr(self, "pid"), i_field, nb::float_(i));
}

nb::tuple get_gain_pair(nb::handle self, const char *p_field, const char *i_field) {
    nb::object p = float_of(nb::getattr(self, "pid"), p_field);
    nb::object i = float_of(nb::getattr(self, "pid"), i_field);
    return nb::make_tuple(p, i);
}

void set_speed_gains(nb::handle self, nb::handle kp, nb::handle ki) { set_gain_pair(self, "spd_Kp", "spd_Ki", kp, ki); }
nb::tuple get_speed_gains(nb::handle self) { return get_gain_pair(self, "spd_Kp", "spd_Ki"); }
void set_current_gains(nb::handle self, nb::handle kp, nb::handle ki) { set_gain_pair(self, "id_Kp", "id_Ki", kp, ki); }
nb::tuple get_current_gains(nb::handle self) { return get_gain_pair(self, "id_Kp", "id_Ki"); }

void set_address(nb::handle self, nb::handle address) { nb::setattr(self, "_address", arg_int(address, "address")); }

nb::object get_address(nb::handle self) { return attr_or_none(self, "_address"); }

nb::object address(nb::handle self) { return nb::getattr(self, "get_address")(); }

// ---- identity strings and time step ---------------------------------------------------------
nb::object decode_optional_c_string(State &S, nb::handle self, nb::handle symbol_name) {
    nb::str name = arg_str(symbol_name, "symbol_name");
    nb::object c = module_global(S.g, "ctypes");
    nb::object lib = nb::getattr(self, "_lib");
    nb::object value = attr_or_none(lib, name.c_str());
    nb::object decode = nb::getattr(self, "_decode_c_string_bytes");
    if (PyUnicode_Check(value.ptr()))
        return value;
    if (PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr()))
        return decode(value);
    if (isinstance_of(value, c.attr("Array")))
        return decode(value);
    if (isinstance_of(value, c.attr("c_char_p"))) {
        nb::object raw = nb::getattr(value, "value");
        return decode(raw.is_none() ? nb::bytes("", 0) : raw);
    }
    nb::object dll = attr_or_none(lib, "_dll");
    if (dll.is_none())
        return unknown();
    nb::object arr_t = c.attr("c_char") * nb::int_(1024);
    PyObject *arr = PyObject_CallMethod(arr_t.ptr(), "in_dll", "OO", dll.ptr(), name.ptr());
    if (!arr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return unknown();
        }
        raise_pending();
    }
    // Only the text up to its NUL byte is read from the library
    // (never beyond the symbol's text, at most 1024 bytes).
    return decode(nb::getattr(nb::steal(arr), "value"));
}

nb::object get_motor_model(nb::handle self) { return nb::getattr(self, "_decode_optional_c_string")("MOTOR_MODEL"); }

nb::object get_submodule_commits(nb::handle self) {
    return nb::getattr(self, "_decode_optional_c_string")("SUBMODULE_COMMITS");
}

nb::object get_dtwin_version(nb::handle self) { return nb::getattr(self, "get_submodule_commits")(); }

nb::object get_sim_time_step_s(State &S, nb::handle self) {
    nb::object c = module_global(S.g, "ctypes");
    nb::object cfuncptr = c.attr("_CFuncPtr");
    nb::object lib = nb::getattr(self, "_lib");
    nb::object getter = attr_or_none(lib, "get_sim_time_step_s");
    // A foreign function that points nowhere (declared, not exported)
    // counts as absent: calling it would crash the process.
    if (!getter.is_none() && isinstance_of(getter, cfuncptr) && cfunc_address(S, getter) == 0)
        getter = nb::none();
    if (getter.is_none()) {
        nb::object raw = attr_or_none(lib, "_dll");
        if (!raw.is_none())
            getter = attr_or_none(raw, "get_sim_time_step_s");
        if (getter.is_none())
            return module_global(S.g, "get_default_dtwin_time_step_s")();
    }
    if (isinstance_of(getter, cfuncptr)) {
        nb::setattr(getter, "restype", c.attr("c_double"));
        nb::setattr(getter, "argtypes", nb::list());
    }
    return to_float(getter());
}

// ---- control inputs, impedance, filter, home --------------------------------------------------
void set_control_type(nb::handle self, nb::handle control_type) {
    nb::object v = arg_int(control_type, "control_type");
    set_inp(self, "ControlType", v);
}

void set_enable(nb::handle self, nb::handle enable) {
    bool on = truth(enable);
    set_inp(self, "Enable", nb::getattr(self, on ? "MOTOR_ON" : "MOTOR_OFF"));
}

void set_impedance_gains(nb::handle self, nb::handle k_stiff, nb::handle k_damp, nb::handle t_ff) {
    double ks = arg_float(k_stiff), kd = arg_float(k_damp), tf = arg_float(t_ff);
    nb::setattr(nb::getattr(self, "imp"), "K_stiff", nb::float_(ks));
    nb::setattr(nb::getattr(self, "imp"), "K_damp", nb::float_(kd));
    nb::setattr(nb::getattr(self, "imp"), "T_FF", nb::float_(tf));
}

nb::dict get_impedance_gains(nb::handle self) {
    nb::dict out;
    out["k_stiff"] = float_of(nb::getattr(self, "imp"), "K_stiff");
    out["k_damp"] = float_of(nb::getattr(self, "imp"), "K_damp");
    out["t_ff"] = float_of(nb::getattr(self, "imp"), "T_FF");
    if (has_attr(nb::getattr(self, "imp"), "J_imp"))
        out["j_imp"] = float_of(nb::getattr(self, "imp"), "J_imp");
    else
        out["j_imp"] = nb::float_(kNaN);
    return out;
}

void set_impedance_inertia(nb::handle self, nb::handle j_imp) {
    double v = arg_float(j_imp);
    if (has_attr(nb::getattr(self, "imp"), "J_imp"))
        nb::setattr(nb::getattr(self, "imp"), "J_imp", nb::float_(v));
}

void set_damping(nb::handle self, nb::handle k_damp) {
    double v = arg_float(k_damp);
    nb::setattr(nb::getattr(self, "imp"), "K_damp", nb::float_(v));
}

void set_stiffness(nb::handle self, nb::handle k_stiff) {
    double v = arg_float(k_stiff);
    nb::setattr(nb::getattr(self, "imp"), "K_stiff", nb::float_(v));
}

void set_torque_feedforward(nb::handle self, nb::handle t_ff) {
    nb::object v = nb::float_(arg_float(t_ff));
    nb::setattr(self, "_reference_feedforward_torque", v);
    nb::setattr(nb::getattr(self, "imp"), "T_FF", v);
    if (has_attr(nb::getattr(self, "inp"), "ref_ff_torque"))
        set_inp(self, "ref_ff_torque", v);
}

void set_impedance_references(nb::handle self, nb::handle speed_reference, nb::handle acceleration_reference) {
    nb::object spd = arg_float_or_none(speed_reference, "speed_reference");
    nb::object acc = arg_float_or_none(acceleration_reference, "acceleration_reference");
    if (!spd.is_none()) {
        nb::setattr(self, "_impedance_speed_reference", spd);
        if (has_attr(nb::getattr(self, "inp"), "ref_impedance_spd"))
            set_inp(self, "ref_impedance_spd", spd);
    }
    if (!acc.is_none()) {
        nb::setattr(self, "_impedance_acceleration_reference", acc);
        if (has_attr(nb::getattr(self, "inp"), "ref_impedance_acel"))
            set_inp(self, "ref_impedance_acel", acc);
    }
}

void set_filter_cutoffs(nb::handle self, nb::handle speed_cutoff, nb::handle current_cutoff) {
    nb::object spd = arg_float_or_none(speed_cutoff, "speed_cutoff");
    nb::object cur = arg_float_or_none(current_cutoff, "current_cutoff");
    nb::object filt = nb::getattr(self, "filter");
    if (filt.is_none())
        return;
    if (!spd.is_none() && has_attr(filt, "spd_cutoff"))
        nb::setattr(filt, "spd_cutoff", spd);
    if (!cur.is_none() && has_attr(filt, "current_cutoff"))
        nb::setattr(filt, "current_cutoff", cur);
}

nb::dict get_filter_cutoffs(nb::handle self) {
    nb::dict out;
    nb::object filt = nb::getattr(self, "filter");
    if (filt.is_none()) {
        out["speed_cutoff"] = nb::float_(kNaN);
        out["current_cutoff"] = nb::float_(kNaN);
        return out;
    }
    out["speed_cutoff"] = has_attr(filt, "spd_cutoff") ? float_of(filt, "spd_cutoff") : nb::object(nb::float_(kNaN));
    out["current_cutoff"] =
        has_attr(filt, "current_cutoff") ? float_of(filt, "current_cutoff") : nb::object(nb::float_(kNaN));
    return out;
}

void set_home_position(State &S, nb::handle self) {
    if (twin::native_home(self))
        return;
    set_inp(self, "ResetPos", nb::bool_(true));
    generic_tick(S, self);
    set_inp(self, "ResetPos", nb::bool_(false));
}

// ---- TwinView ---------------------------------------------------------------------------------
nb::dict view_groups(const TwinView &v) {
    nb::dict out;
    for (const char *name : twin::kGroupNames) {
        auto it = v.groups.find(name);
        if (it == v.groups.end())
            continue;
        nb::list names;
        for (auto &f : it->second.fields)
            names.append(nb::str(f.first.c_str()));
        names.sort();
        out[name] = names;
    }
    return out;
}

// ---- bindings -------------------------------------------------------------------------
void bind_namespace(nb::module_ &m) {
    // The interpreter modules the engine works through.
    nb::module_::import_("importlib.util");
    m.attr("ctypes") = nb::module_::import_("ctypes");
    m.attr("importlib") = nb::module_::import_("importlib");
    m.attr("shutil") = nb::module_::import_("shutil");
    m.attr("tempfile") = nb::module_::import_("tempfile");
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");

    m.attr("_DTWIN_CONTROL_CALIBRATION") = 1;
    m.attr("_DTWIN_CONTROL_POSITION") = 7;
    m.attr("_DTWIN_DEFAULT_SIM_RATE_HZ") = 20000;
    m.attr("_DTWIN_DEFAULT_TIME_STEP_S") = 1.0 / 20000;
    m.attr("_DTWIN_INITIALIZATION_WARMUP_S") = 1.0;
}

// The ctypes classes and types the field view recognises.
StateP make_state(nb::module_ &m) {
    auto s = std::make_shared<State>();
    State &S = *s;
    nb::object ctypes = m.attr("ctypes");
    S.g = nb::borrow<nb::dict>(m.attr("__dict__"));
    S.ctypes = ctypes;
    S.cfuncptr = ctypes.attr("_CFuncPtr");
    S.structure = ctypes.attr("Structure");
    {
        nb::dict ns;
        nb::list fields;
        fields.append(nb::make_tuple("x", ctypes.attr("c_int")));
        ns["_fields_"] = fields;
        nb::object probe = builtins().attr("type")("_FieldProbe", nb::make_tuple(S.structure), ns);
        S.cfield_type = nb::borrow((PyObject *) Py_TYPE(nb::getattr(probe, "x").ptr()));
    }
    // Plain number types a field may have on the native path, by their ctypes
    // class (aliases such as c_int / c_int32 are one class), with the C type
    // taken from the class's type code and size.
    for (const char *n : {"c_double", "c_float", "c_bool", "c_byte", "c_ubyte", "c_short", "c_ushort", "c_int",
                          "c_uint", "c_long", "c_ulong", "c_longlong", "c_ulonglong", "c_int8", "c_uint8",
                          "c_int16", "c_uint16", "c_int32", "c_uint32", "c_int64", "c_uint64", "c_size_t",
                          "c_ssize_t"}) {
        nb::object cls = attr_or_none(ctypes, n);
        if (cls.is_none())
            continue;
        std::string code = nb::cast<std::string>(nb::getattr(cls, "_type_"));
        long long size = nb::cast<long long>(ctypes.attr("sizeof")(cls));
        CType ct;
        bool ok = true;
        if (code == "d" && size == 8) ct = CType::Double;
        else if (code == "f" && size == 4) ct = CType::Float;
        else if (code == "?" && size == 1) ct = CType::Bool;
        else if (code.size() == 1 && std::string("bhilq").find(code) != std::string::npos)
            ct = size == 1 ? CType::Int8 : size == 2 ? CType::Int16 : size == 4 ? CType::Int32 : CType::Int64;
        else if (code.size() == 1 && std::string("BHILQ").find(code) != std::string::npos)
            ct = size == 1 ? CType::UInt8 : size == 2 ? CType::UInt16 : size == 4 ? CType::UInt32 : CType::UInt64;
        else
            ok = false;
        if (ok && (size == 1 || size == 2 || size == 4 || size == 8)) {
            S.ctype_table.emplace_back(cls.ptr(), ct);
            S.safe_restypes.push_back(cls.ptr());
        }
    }
    S.safe_restypes.push_back(ctypes.attr("c_void_p").ptr());
    return s;
}

// The field view, shared with the simulated actuator.
void bind_twin_view(nb::module_ &m) {
    nb::class_<TwinView>(m, "TwinView", "Native view of one wrapper's twin: field locations and the step entry.")
        .def_prop_ro("groups", &view_groups, "Group name -> sorted names of the fields held natively.")
        .def_prop_ro("can_step", [](const TwinView &v) { return v.step_fn != nullptr; },
                     "True when the twin's DT_step can be called natively.")
        .def_static("fields_ready", [](nb::handle w) { return twin::native_view(w) != nullptr; }, nb::arg("wrapper"),
                    "True when the wrapper's fields may be read natively in its current state.")
        .def_static("step_ready", [](nb::handle w) { return twin::native_step_view(w) != nullptr; },
                    nb::arg("wrapper"), "True when the wrapper's step would run natively in its current state.");
}

void bind_functions(nb::module_ &m, const StateP &s) {
    make_function(m, "get_default_dtwin_time_step_s", [s]() { return get_default_dtwin_time_step_s(*s); },
                  "Return the fallback timestep for generated DTwin artifacts.");
    make_function(m, "_steps_for_duration", &steps_for_duration, "Return at least one simulation step for a duration.",
                  arg("duration_s"), arg("time_step_s"));
}

void bind_lifecycle(ClassBuilder &cls, const StateP &s) {
    cls.def("__init__",
            [s](nb::handle self, nb::handle shared_lib_path, nb::handle ctypes_path) {
                init(*s, self, shared_lib_path, ctypes_path);
            },
            arg("shared_lib_path"), arg("ctypes_path"))
        .signature("(self, shared_lib_path: str, ctypes_path: str) -> None");
    cls.def("initialize", [s](nb::handle self, nb::handle mode) { initialize(*s, self, mode); }, arg("mode") = 7)
        .signature("(self, mode: int = 7) -> None");
    cls.def("step", [s](nb::handle self, nb::handle ref_value, nb::handle load) { step(*s, self, ref_value, load); },
            arg("ref_value"), arg("load") = 0.0)
        .signature("(self, ref_value: float, load: float = 0.0) -> None");
    cls.def("terminate", [s](nb::handle self) { terminate(*s, self); }).signature("(self) -> None");
}

void bind_loading(ClassBuilder &cls, const StateP &s) {
    cls.def("_load_isolated",
            [s](nb::handle self, nb::handle lib_path, nb::handle binding_path) {
                load_isolated(*s, self, lib_path, binding_path);
            },
            arg("lib_path"), arg("binding_path"))
        .signature("(self, lib_path: Path, binding_path: Path) -> None");
    cls.def("_rebind_ctypes_functions",
            [s](nb::handle self, nb::handle module, nb::handle new_handle) {
                rebind_ctypes_functions(*s, self, module, new_handle);
            },
            arg("module"), arg("new_handle"))
        .signature("(self, module, new_handle) -> None");
    cls.def("_bind_ctypes", [s](nb::handle self) { bind_ctypes(*s, self); }).signature("(self) -> None");
    cls.def("_bind_optional_global", &bind_optional_global, arg("type_name"), arg("symbol_name"))
        .signature("(self, type_name: str, symbol_name: str)");
    cls.def("_apply_optional_inports", &apply_optional_inports).signature("(self) -> None");
}

void bind_gains(ClassBuilder &cls) {
    cls.def("set_position_kp", &set_position_kp, arg("kp")).signature("(self, kp: float) -> None");
    cls.def("get_position_kp", &get_position_kp).signature("(self) -> float");
    cls.def("set_feedforward_gain", &set_feedforward_gain, arg("gain")).signature("(self, gain: float) -> None");
    cls.def("get_feedforward_gain", &get_feedforward_gain).signature("(self) -> float");
    cls.def("set_speed_gains", &set_speed_gains, arg("kp"), arg("ki"))
        .signature("(self, kp: float, ki: float) -> None");
    cls.def("get_speed_gains", &get_speed_gains).signature("(self) -> tuple[float, float]");
    cls.def("set_current_gains", &set_current_gains, arg("kp"), arg("ki"))
        .signature("(self, kp: float, ki: float) -> None");
    cls.def("get_current_gains", &get_current_gains).signature("(self) -> tuple[float, float]");
    cls.def("set_address", &set_address, arg("address")).signature("(self, address: int) -> None");
    cls.def("get_address", &get_address).signature("(self) -> int | None");
    cls.def_property_readonly("address", &address);
}

void bind_identity(ClassBuilder &cls, const StateP &s) {
    cls.def_static("_decode_c_string_bytes", &decode_c_string_bytes, arg("raw_value")).signature("(raw_value) -> str");
    cls.def("_decode_optional_c_string",
            [s](nb::handle self, nb::handle symbol_name) { return decode_optional_c_string(*s, self, symbol_name); },
            arg("symbol_name"))
        .signature("(self, symbol_name: str) -> str");
    cls.def("get_motor_model", &get_motor_model).signature("(self) -> str");
    cls.def("get_submodule_commits", &get_submodule_commits).signature("(self) -> str");
    cls.def("get_dtwin_version", &get_dtwin_version)
        .doc("Return DTwin build metadata exported by the generated library.")
        .signature("(self) -> str");
    cls.def("get_sim_time_step_s", [s](nb::handle self) { return get_sim_time_step_s(*s, self); })
        .doc(kTimeStepDoc)
        .signature("(self) -> float");
}

void bind_controls(ClassBuilder &cls, const StateP &s) {
    cls.def("set_control_type", &set_control_type, arg("control_type"))
        .signature("(self, control_type: int) -> None");
    cls.def("set_enable", &set_enable, arg("enable")).signature("(self, enable: bool) -> None");
    cls.def("set_impedance_gains", &set_impedance_gains, arg("k_stiff"), arg("k_damp"), arg("t_ff") = 0.0)
        .signature("(self, k_stiff: float, k_damp: float, t_ff: float = 0.0) -> None");
    cls.def("get_impedance_gains", &get_impedance_gains).signature("(self) -> dict[str, float]");
    cls.def("set_impedance_inertia", &set_impedance_inertia, arg("j_imp")).signature("(self, j_imp: float) -> None");
    cls.def("set_damping", &set_damping, arg("k_damp")).signature("(self, k_damp: float) -> None");
    cls.def("set_stiffness", &set_stiffness, arg("k_stiff")).signature("(self, k_stiff: float) -> None");
    cls.def("set_torque_feedforward", &set_torque_feedforward, arg("t_ff")).signature("(self, t_ff: float) -> None");
    cls.def("set_impedance_references", &set_impedance_references, arg("speed_reference") = nb::none(),
            arg("acceleration_reference") = nb::none())
        .signature("(self, speed_reference: float | None = None, acceleration_reference: float | None = None) -> None");
    cls.def("set_filter_cutoffs", &set_filter_cutoffs, arg("speed_cutoff") = nb::none(),
            arg("current_cutoff") = nb::none())
        .signature("(self, speed_cutoff: float | None = None, current_cutoff: float | None = None) -> None");
    cls.def("get_filter_cutoffs", &get_filter_cutoffs).signature("(self) -> dict[str, float]");
    cls.def("set_home_position", [s](nb::handle self) { set_home_position(*s, self); }).signature("(self) -> None");
}

void bind_actuator_wrapper(nb::module_ &m, const StateP &s) {
    ClassBuilder cls("ActuatorWrapper", m.attr("__name__"), nullptr,
                     "Raw transport wrapper for one digital-twin shared library instance.\n\n"
                     "    Owns library isolation, the twin's lifecycle (initialize, step, terminate)\n"
                     "    and thin scalar accessors for single model parameters.  Logging, composite\n"
                     "    operations and feedback snapshots belong to ``KavrelActuatorVirtual``.\n"
                     "    Each wrapper loads its own temporary copy of the shared library so that the\n"
                     "    generated code's static state does not leak across simulators.\n"
                     "    ");
    cls.attr("MOTOR_OFF", nb::bool_(false));
    cls.attr("MOTOR_ON", nb::bool_(true));
    cls.attr("instance_count", nb::int_(0));
    bind_lifecycle(cls, s);
    bind_loading(cls, s);
    bind_gains(cls);
    bind_identity(cls, s);
    bind_controls(cls, s);

    nb::object C = cls.finish();
    m.attr("ActuatorWrapper") = C;
    // The class's own `_apply_optional_inports` (what the native step
    // reproduces), as the class holds it.
    s->apply_fn = nb::borrow(_PyType_Lookup((PyTypeObject *) C.ptr(), nb::str("_apply_optional_inports").ptr()));
    nb::list all;
    all.append(nb::str("ActuatorWrapper"));
    all.append(nb::str("get_default_dtwin_time_step_s"));
    m.attr("__all__") = all;
}

} // namespace

VKL_MODULE(_twin_engine, m) {
    module_init_common();
    m.doc() = "Digital-twin engine: one isolated instance of a digital-twin shared library.";
    bind_namespace(m);
    StateP s = make_state(m);
    bind_twin_view(m);
    bind_functions(m, s);
    bind_actuator_wrapper(m, s);
}
