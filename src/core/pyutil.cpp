#include "core/pyutil.hpp"

#include <structmember.h>

#include <new>
#include <stdexcept>

namespace vkl {

void raise_pending() { throw nb::python_error(); }

void raise(PyObject *type, const std::string &msg) {
    PyErr_SetString(type, msg.c_str());
    throw nb::python_error();
}

void raise_text(PyObject *type, nb::handle msg) {
    PyErr_SetObject(type, msg.ptr());
    throw nb::python_error();
}

const char *tp_name_of(nb::handle v) {
    // The name stays valid as long as the type object lives, which it does
    // for as long as the value it came from is referenced by the caller.
    return _PyType_Name(Py_TYPE(v.ptr()));
}

void raise_arg_type(const char *name, const char *expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected, tp_name_of(got));
    throw nb::python_error();
}

bool is_number(nb::handle v) {
    PyObject *o = v.ptr();
    if (PyLong_Check(o) || PyFloat_Check(o))
        return true;
    PyNumberMethods *nm = Py_TYPE(o)->tp_as_number;
    return nm && (nm->nb_int || nm->nb_index);
}

nb::object arg_int(nb::handle v, const char *name) {
    PyObject *o = v.ptr();
    if (PyLong_CheckExact(o))
        return nb::borrow(v);
    if (is_number(v) || PyComplex_Check(o)) {
        // int() itself decides (a NaN, an infinity or a complex number raise
        // the error that int() raises).
        PyObject *r = PyNumber_Long(o);
        if (!r)
            raise_pending();
        return nb::steal(r);
    }
    raise_arg_type(name, "int", v);
}

long long arg_int_ll(nb::handle v, const char *name) {
    nb::object i = arg_int(v, name);
    long long r = PyLong_AsLongLong(i.ptr());
    if (r == -1 && PyErr_Occurred())
        raise_pending();
    return r;
}

double arg_float(nb::handle v) {
    PyObject *o = v.ptr();
    if (PyFloat_CheckExact(o))
        return PyFloat_AS_DOUBLE(o);
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred())
        raise_pending();
    return d;
}

nb::object arg_float_or_none(nb::handle v, const char *name) {
    PyObject *o = v.ptr();
    if (o == Py_None)
        return nb::none();
    if (PyFloat_CheckExact(o))
        return nb::borrow(v);
    PyNumberMethods *nm = Py_TYPE(o)->tp_as_number;
    if (PyFloat_Check(o) || PyLong_Check(o) || (nm && (nm->nb_float || nm->nb_index))) {
        double d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred())
            raise_pending();
        return nb::float_(d);
    }
    raise_arg_type(name, "float", v);
}

nb::list arg_list(nb::handle v, const char *name) {
    if (!PyList_CheckExact(v.ptr()))
        raise_arg_type(name, "list", v);
    return nb::borrow<nb::list>(v);
}

nb::dict arg_dict(nb::handle v, const char *name) {
    if (!PyDict_CheckExact(v.ptr()))
        raise_arg_type(name, "dict", v);
    return nb::borrow<nb::dict>(v);
}

nb::str arg_str(nb::handle v, const char *name) {
    if (!PyUnicode_CheckExact(v.ptr()))
        raise_arg_type(name, "str", v);
    return nb::borrow<nb::str>(v);
}

nb::object arg_str_or_none(nb::handle v, const char *name) {
    if (v.is_none())
        return nb::none();
    return arg_str(v, name);
}

bool truth(nb::handle v) {
    int r = PyObject_IsTrue(v.ptr());
    if (r < 0)
        raise_pending();
    return r != 0;
}

nb::object coerce_int_result(nb::handle v) {
    PyObject *o = v.ptr();
    if (o == Py_None || PyLong_CheckExact(o))
        return nb::borrow(v);
    if (is_number(v)) {
        PyObject *r = PyNumber_Long(o);
        if (!r)
            raise_pending();
        return nb::steal(r);
    }
    PyErr_Format(PyExc_TypeError, "Expected int, got %.200s", tp_name_of(v));
    throw nb::python_error();
}

namespace {

// The location that "cannot import name" shows: `__spec__.origin` when the
// module's `__spec__` has a location, else the module's file; an invalid
// object when there is none.
nb::object import_location(nb::handle module, nb::handle spec) {
    if (spec.is_valid() && !spec.is_none() && truth(attr_or(spec, "has_location", nb::bool_(false)))) {
        nb::object origin = attr_or_none(spec, "origin");
        if (PyUnicode_Check(origin.ptr()))
            return origin;
    }
    if (PyModule_Check(module.ptr())) {
        PyObject *file = PyModule_GetFilenameObject(module.ptr());
        if (file)
            return nb::steal(file);
        if (!PyErr_ExceptionMatches(PyExc_SystemError))
            raise_pending();
        PyErr_Clear(); // "module filename missing"
    }
    return nb::object();
}

// One name of a `from` import, taken as the interpreter takes it.
nb::object import_name(nb::handle module, nb::handle name) {
    PyObject *x = nullptr;
    int r = PyObject_GetOptionalAttr(module.ptr(), name.ptr(), &x);
    if (r < 0)
        raise_pending();
    if (r > 0)
        return nb::steal(x);
    // A submodule that a circular import has put in sys.modules but not yet
    // bound in its package.
    nb::object mod_name = attr_or_none(module, "__name__");
    if (PyUnicode_Check(mod_name.ptr())) {
        nb::object full = nb::steal(PyUnicode_FromFormat("%U.%U", mod_name.ptr(), name.ptr()));
        if (!full.is_valid())
            raise_pending();
        x = PyImport_GetModule(full.ptr());
        if (x)
            return nb::steal(x);
        if (PyErr_Occurred())
            raise_pending();
    } else {
        mod_name = nb::object();
    }
    nb::object shown = mod_name.is_valid() ? mod_name : nb::object(nb::str("<unknown module name>"));
    nb::object spec = attr_or_none(module, "__spec__");
    nb::object where = import_location(module, spec);
    nb::object msg;
    if (!where.is_valid())
        msg = nb::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name.ptr(),
                                             shown.ptr()));
    else if (!spec.is_none() && truth(attr_or(spec, "_initializing", nb::bool_(false))))
        msg = nb::steal(PyUnicode_FromFormat("cannot import name %R from partially initialized module %R "
                                             "(most likely due to a circular import) (%S)",
                                             name.ptr(), shown.ptr(), where.ptr()));
    else
        msg = nb::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name.ptr(), shown.ptr(),
                                             where.ptr()));
    if (!msg.is_valid())
        raise_pending();
    PyErr_SetImportError(msg.ptr(), mod_name.is_valid() ? mod_name.ptr() : nullptr,
                         where.is_valid() ? where.ptr() : nullptr);
    // Which name was missing, as the interpreter records it.
    PyObject *exc = PyErr_GetRaisedException();
    if (exc && PyObject_SetAttrString(exc, "name_from", name.ptr()) < 0) {
        Py_DECREF(exc);
        raise_pending();
    }
    PyErr_SetRaisedException(exc);
    raise_pending();
}

// The handled exception of the calling code, set for the life of the object
// (the exception of an `except` block while it runs).
class HandledException {
public:
    explicit HandledException(nb::handle exc) : saved_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exc.ptr());
    }
    ~HandledException() {
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
    }
    HandledException(const HandledException &) = delete;
    HandledException &operator=(const HandledException &) = delete;

private:
    PyObject *saved_;
};

} // namespace

std::vector<nb::object> import_from(nb::handle globals, const char *module, const std::vector<const char *> &names) {
    nb::list fromlist;
    for (const char *n : names)
        fromlist.append(nb::str(n));
    // builtins.__import__ as the calling code sees it, so that a replacement
    // of it takes effect as it does for an import statement.
    PyObject *b = PyEval_GetBuiltins();
    PyObject *imp = nullptr;
    if (!b || PyDict_GetItemStringRef(b, "__import__", &imp) < 0)
        raise_pending();
    if (!imp)
        raise(PyExc_ImportError, "__import__ not found");
    nb::object import_fn = nb::steal(imp);
    nb::handle g = globals.is_valid() ? globals : nb::handle(Py_None);
    nb::object names_tuple = nb::steal(PyList_AsTuple(fromlist.ptr()));
    if (!names_tuple.is_valid())
        raise_pending();
    nb::object mod = import_fn(nb::str(module), g, g, names_tuple, 0);
    std::vector<nb::object> out;
    out.reserve(names.size());
    for (nb::handle n : fromlist)
        out.push_back(import_name(mod, n));
    return out;
}

void import_siblings(nb::module_ &m, std::initializer_list<FromImport> imports) {
    nb::object globals = m.attr("__dict__");
    auto attempt = [&](const char *prefix) {
        for (const FromImport &imp : imports) {
            std::vector<nb::object> values = import_from(globals, (std::string(prefix) + imp.module).c_str(), imp.names);
            for (size_t i = 0; i < values.size(); ++i)
                m.attr(imp.names[i]) = values[i];
        }
    };
    nb::object first;
    try {
        attempt("");
        return;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        first = nb::borrow(e.value());
    }
    HandledException handled(first);
    attempt("vkl_api.");
}

void warn_caller(PyObject *category, const std::string &msg) {
    // A C function has no frame of its own: level 1 is the Python line that
    // called it, which is what a Python method reaches with stacklevel=2.
    if (PyErr_WarnEx(category, msg.c_str(), 1) < 0)
        raise_pending();
}

void log(nb::handle logger, const char *level, const std::string &msg) {
    nb::str text(msg.data(), msg.size());
    PyObject *r = PyObject_CallMethodOneArg(logger.ptr(), nb::str(level).ptr(), text.ptr());
    if (!r)
        raise_pending();
    Py_DECREF(r);
}

nb::object steal_or_raise(PyObject *o) {
    if (!o)
        raise_pending();
    return nb::steal(o);
}

nb::str intern_name(const char *s) { return nb::steal<nb::str>(steal_or_raise(PyUnicode_InternFromString(s)).release()); }

nb::object module_global(nb::handle globals, nb::handle name) {
    PyObject *v = nullptr;
    if (PyDict_Check(globals.ptr())) {
        if (PyDict_GetItemRef(globals.ptr(), name.ptr(), &v) < 0)
            raise_pending();
    } else if (PyMapping_GetOptionalItem(globals.ptr(), name.ptr(), &v) < 0) {
        raise_pending();
    }
    if (v)
        return nb::steal(v);
    if (PyObject *b = PyEval_GetBuiltins()) {
        if (PyMapping_GetOptionalItem(b, name.ptr(), &v) < 0)
            raise_pending();
        if (v)
            return nb::steal(v);
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    raise_pending();
}

nb::object module_global(nb::handle globals, const char *name) { return module_global(globals, nb::str(name)); }

nb::str format_text(nb::handle value, const char *spec) {
    nb::str s(spec);
    return nb::steal<nb::str>(steal_or_raise(PyObject_Format(value.ptr(), s.ptr())).release());
}

nb::str concat_text(std::initializer_list<nb::handle> parts) {
    nb::list items;
    for (nb::handle p : parts)
        items.append(PyUnicode_CheckExact(p.ptr()) ? nb::borrow<nb::str>(p) : format_text(p));
    nb::str empty("");
    return nb::steal<nb::str>(steal_or_raise(PyUnicode_Join(empty.ptr(), items.ptr())).release());
}

namespace {
std::string utf8_of(nb::handle text) {
    Py_ssize_t n = 0;
    const char *c = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
    if (!c)
        raise_pending();
    return std::string(c, (size_t) n);
}
} // namespace

std::string py_format(nb::handle value, const char *spec) { return utf8_of(format_text(value, spec)); }

std::string py_str(nb::handle value) { return utf8_of(steal_or_raise(PyObject_Str(value.ptr()))); }

nb::object builtins() {
    return nb::module_::import_("builtins");
}

// ---- function wrapper ------------------------------------------------------
namespace {

struct VklFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *func;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *dict;
    PyObject *weakrefs;
    FastCall fast;        // nullptr: every call goes to func
    PyObject *fast_owner; // the capsule holding what `fast` needs
    void *fast_data;      // its pointer
};

PyObject *vf_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    return PyObject_Vectorcall(((VklFunction *) self)->func, args, nargsf, kwnames);
}

PyObject *vf_fast_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *f = (VklFunction *) self;
    PyObject *r = f->fast(f->fast_data, args, nargsf, kwnames);
    return r != kDeclined ? r : PyObject_Vectorcall(f->func, args, nargsf, kwnames);
}

PyObject *vf_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int vf_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = (VklFunction *) self;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->func);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->fast_owner);
    return 0;
}

int vf_clear(PyObject *self) {
    auto *f = (VklFunction *) self;
    Py_CLEAR(f->func);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    // (The fast entry goes with what it needs.)
    f->fast = nullptr;
    f->fast_data = nullptr;
    f->vectorcall = vf_vectorcall;
    Py_CLEAR(f->fast_owner);
    return 0;
}

void vf_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (((VklFunction *) self)->weakrefs)
        PyObject_ClearWeakRefs(self);
    vf_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *vf_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U>", ((VklFunction *) self)->qualname);
}

// Each function's own __module__ is served here rather than by a member
// descriptor: a heap type reports whatever its dict holds under __module__ as
// its own module, and tools that read type(f).__module__ (stub generators,
// pickling, help()) need a text there, "vkl_api", as the interpreter's function
// type has.
bool is_module_name(PyObject *name) {
    static PyObject *key = PyUnicode_InternFromString("__module__");
    return name == key || (PyUnicode_Check(name) && PyUnicode_Compare(name, key) == 0);
}

PyObject *vf_getattro(PyObject *self, PyObject *name) {
    if (is_module_name(name)) {
        PyObject *m = ((VklFunction *) self)->module;
        if (!m) {
            PyErr_SetString(PyExc_AttributeError, "__module__");
            return nullptr;
        }
        return Py_NewRef(m);
    }
    return PyObject_GenericGetAttr(self, name);
}

int vf_setattro(PyObject *self, PyObject *name, PyObject *value) {
    if (is_module_name(name)) {
        auto *f = (VklFunction *) self;
        if (!value && !f->module) {
            PyErr_SetString(PyExc_AttributeError, "__module__");
            return -1;
        }
        Py_XSETREF(f->module, Py_XNewRef(value));
        return 0;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

PyMemberDef vf_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(VklFunction, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(VklFunction, dict), Py_READONLY, nullptr},
    // Weak references, as for Python functions (weakref.WeakMethod of a bound method).
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(VklFunction, weakrefs), Py_READONLY, nullptr},
    {"__name__", Py_T_OBJECT_EX, offsetof(VklFunction, name), 0, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(VklFunction, qualname), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(VklFunction, doc), 0, nullptr},
    {"__wrapped_native__", Py_T_OBJECT_EX, offsetof(VklFunction, func), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot vf_slots[] = {
    {Py_tp_call, (void *) PyVectorcall_Call},
    {Py_tp_descr_get, (void *) vf_descr_get},
    {Py_tp_traverse, (void *) vf_traverse},
    {Py_tp_clear, (void *) vf_clear},
    {Py_tp_dealloc, (void *) vf_dealloc},
    {Py_tp_repr, (void *) vf_repr},
    {Py_tp_members, (void *) vf_members},
    {Py_tp_getattro, (void *) vf_getattro},
    {Py_tp_setattro, (void *) vf_setattro},
    {0, nullptr}};

PyType_Spec vf_spec = {"vkl_api.function", sizeof(VklFunction), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                           Py_TPFLAGS_METHOD_DESCRIPTOR,
                       vf_slots};

PyTypeObject *vf_type() {
    static PyTypeObject *tp = nullptr;
    if (!tp) {
        tp = (PyTypeObject *) PyType_FromSpec(&vf_spec);
        if (!tp)
            raise_pending();
    }
    return tp;
}

} // namespace

nb::object wrap_function(nb::handle func, const char *name, const std::string &qualname, nb::handle module_name,
                         const char *doc) {
    PyTypeObject *tp = vf_type();
    auto *f = PyObject_GC_New(VklFunction, tp);
    if (!f)
        raise_pending();
    f->vectorcall = vf_vectorcall;
    f->func = Py_NewRef(func.ptr());
    f->name = PyUnicode_FromString(name);
    f->qualname = PyUnicode_FromString(qualname.c_str());
    f->module = Py_NewRef(module_name.ptr());
    f->doc = doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->fast = nullptr;
    f->fast_owner = nullptr;
    f->fast_data = nullptr;
    PyObject_GC_Track((PyObject *) f);
    return nb::steal((PyObject *) f);
}

namespace {
// A distinct address no result can have.
char declined_mark;
} // namespace
PyObject *const kDeclined = (PyObject *) &declined_mark;

void set_fast_call(nb::handle wrapped, FastCall call, nb::object owner) {
    if (Py_TYPE(wrapped.ptr()) != vf_type())
        raise(PyExc_RuntimeError, "set_fast_call: not a wrapped function");
    void *data = PyCapsule_GetPointer(owner.ptr(), PyCapsule_GetName(owner.ptr()));
    if (!data)
        raise_pending();
    auto *f = (VklFunction *) wrapped.ptr();
    Py_XSETREF(f->fast_owner, owner.release().ptr());
    f->fast_data = data;
    f->fast = call;
    f->vectorcall = vf_fast_vectorcall;
}

void set_error_from_exception() noexcept {
    // nanobind's order: its own exceptions, a Python error, then the default
    // translator of standard exceptions.
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
        case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
        case nb::exception_type::index_error: type = PyExc_IndexError; break;
        case nb::exception_type::key_error: type = PyExc_KeyError; break;
        case nb::exception_type::value_error: type = PyExc_ValueError; break;
        case nb::exception_type::type_error: type = PyExc_TypeError; break;
        case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
        case nb::exception_type::import_error: type = PyExc_ImportError; break;
        case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
        default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const std::bad_alloc &e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::domain_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::length_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range &e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::range_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::overflow_error &e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError,
                        "nanobind::detail::nb_func_error_except(): exception could not be translated!");
    }
}

void set_signature(nb::handle fn, const char *text) { set_signature(fn, text, nb::handle()); }

void set_signature(nb::handle fn, const char *text, nb::handle names) {
    nb::object b = builtins();
    std::string src = std::string("def _signature") + text + ":\n    pass\n";
    nb::object flag = nb::module_::import_("__future__").attr("annotations").attr("compiler_flag");
    nb::object code = b.attr("compile")(nb::str(src.c_str()), "<signature>", "exec", flag, true);
    nb::dict ns;
    if (names.is_valid())
        ns.update(names);
    ns["__builtins__"] = b;
    b.attr("exec")(code, ns);
    nb::object stub = ns["_signature"];
    nb::setattr(fn, "__signature__", nb::module_::import_("inspect").attr("signature")(stub));
    nb::setattr(fn, "__annotations__", stub.attr("__annotations__"));
}

ClassBuilder &ClassBuilder::signature(const char *text) {
    if (!last_)
        raise(PyExc_RuntimeError, "ClassBuilder::signature without a member");
    set_signature(last_fn_, text, signature_names_);
    return *this;
}

ClassBuilder::ClassBuilder(const char *name, nb::handle module_name, const char *qualname, const char *doc)
    : name_(name), qualname_(qualname ? qualname : name), module_name_(nb::borrow(module_name)) {
    ns_["__module__"] = module_name;
    ns_["__qualname__"] = nb::str(qualname_.c_str());
    if (doc)
        ns_["__doc__"] = nb::str(doc);
}

nb::object ClassBuilder::wrap(nb::handle fn, const char *name) {
    return wrap_function(fn, name, qualname_ + "." + name, module_name_, nullptr);
}

ClassBuilder &ClassBuilder::add(const char *name, nb::object fn, Kind kind, nb::object fset) {
    nb::object member;
    switch (kind) {
    case Kind::Method: member = fn; break;
    case Kind::Static: member = builtins().attr("staticmethod")(fn); break;
    case Kind::Class: member = builtins().attr("classmethod")(fn); break;
    case Kind::Property:
        member = builtins().attr("property")(fn, fset.is_valid() ? fset : nb::object(nb::none()));
        break;
    }
    ns_[name] = member;
    last_ = name;
    last_fn_ = fn;
    last_kind_ = kind;
    last_fset_ = fset;
    return *this;
}

ClassBuilder &ClassBuilder::fast_call(FastCall call, nb::object owner) {
    if (!last_ || last_kind_ != Kind::Method)
        raise(PyExc_RuntimeError, "ClassBuilder::fast_call without a method");
    set_fast_call(last_fn_, call, std::move(owner));
    return *this;
}

ClassBuilder &ClassBuilder::doc(const char *text) {
    if (!last_)
        raise(PyExc_RuntimeError, "ClassBuilder::doc without a member");
    nb::setattr(last_fn_, "__doc__", nb::str(text));
    if (last_kind_ == Kind::Property)
        ns_[last_] = builtins().attr("property")(last_fn_, last_fset_.is_valid() ? last_fset_ : nb::object(nb::none()),
                                                 nb::none(), nb::str(text));
    else
        add(last_, last_fn_, last_kind_, last_fset_);
    return *this;
}

nb::object ClassBuilder::finish(nb::handle bases) {
    nb::object b = bases ? nb::borrow(bases) : nb::object(nb::make_tuple(builtins().attr("object")));
    return builtins().attr("type")(nb::str(name_.c_str()), b, ns_);
}

nb::object make_enum(const char *name, nb::handle module_name, const std::string &qualname, const char *doc,
                     std::initializer_list<std::pair<const char *, long long>> members) {
    nb::object enum_cls = nb::module_::import_("enum").attr("Enum");
    nb::list items;
    for (auto &m : members)
        items.append(nb::make_tuple(nb::str(m.first), nb::int_(m.second)));
    nb::object e = enum_cls(nb::str(name), items, nb::arg("module") = module_name,
                            nb::arg("qualname") = nb::str(qualname.c_str()));
    if (doc)
        nb::setattr(e, "__doc__", nb::str(doc));
    return e;
}

void module_init_common() { nb::set_leak_warnings(false); }

int run_module_body(PyObject *m, void (*body)(nb::module_)) {
    try {
        body(nb::borrow<nb::module_>(m));
        return 0;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        // A C++ failure that carries no Python error, reported as nanobind does.
        PyErr_SetString(PyExc_ImportError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_ImportError, "unknown C++ exception while initialising the module");
    }
    return -1;
}

nb::object attr_or(nb::handle obj, const char *name, nb::handle dflt) {
    PyObject *res = nullptr;
    int r = PyObject_GetOptionalAttrString(obj.ptr(), name, &res);
    if (r < 0)
        raise_pending();
    if (r == 0)
        return nb::borrow(dflt);
    return nb::steal(res);
}

bool has_attr(nb::handle obj, const char *name) {
    PyObject *res = nullptr;
    int r = PyObject_GetOptionalAttrString(obj.ptr(), name, &res);
    if (r < 0)
        raise_pending();
    Py_XDECREF(res);
    return r == 1;
}

PyObject *dict_get(PyObject *d, PyObject *key) {
    if (!d || !key)
        return nullptr;
    // PyDict_GetItemRef tells a missing key from a failure by its result:
    // a miss costs no look at the thread's error state (stepping code asks
    // for a dozen absent names per call).  The reference is given back at
    // once; the dictionary still holds the value, so it stays borrowed.
    PyObject *v = nullptr;
    int r = PyDict_GetItemRef(d, key, &v);
    if (r < 0) {
        PyErr_Clear();
        return nullptr;
    }
    Py_XDECREF(v);
    return v;
}

PyObject *instance_dict(PyObject *o) {
    PyObject *d = PyObject_GenericGetDict(o, nullptr);
    if (!d)
        PyErr_Clear();
    return d;
}

bool eq(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0)
        raise_pending();
    return r == 1;
}

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0)
        raise_pending();
    return r == 1;
}

nb::object to_float(nb::handle v) {
    PyObject *r = PyNumber_Float(v.ptr());
    if (!r)
        raise_pending();
    return nb::steal(r);
}

nb::object to_int(nb::handle v) {
    PyObject *r = PyNumber_Long(v.ptr());
    if (!r)
        raise_pending();
    return nb::steal(r);
}

} // namespace vkl
