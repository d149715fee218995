// Validity checks and native operations of the digital-twin field view.
#include "core/twin_view.hpp"
#include "core/pyutil.hpp"

namespace vkl::twin {

namespace {

PyObject *interned(const char *s) {
    PyObject *o = PyUnicode_InternFromString(s);
    if (!o)
        PyErr_Clear();
    return o; // kept for the life of the process
}

struct Names {
    PyObject *native_view = interned("_native_view");
    PyObject *lib = interned("_lib");
    PyObject *model = interned("model");
    PyObject *inp = interned("inp");
    PyObject *apply = interned("_apply_optional_inports");
    PyObject *dt_step = interned("DT_step");
    PyObject *restype = interned("restype");
    PyObject *argtypes = interned("argtypes");
    PyObject *errcheck = interned("errcheck");
    PyObject *caches[3] = {interned(kOptionalInportCaches[0]), interned(kOptionalInportCaches[1]),
                           interned(kOptionalInportCaches[2])};
    PyObject *ports[3] = {interned(kOptionalInports[0]), interned(kOptionalInports[1]),
                          interned(kOptionalInports[2])};
};

const Names &names() {
    static Names n;
    return n;
}

// The class defines nothing of that name (so the instance dictionary decides).
bool class_free(PyTypeObject *tp, PyObject *name) { return name && _PyType_Lookup(tp, name) == nullptr; }

// The structure in the wrapper's dictionary is still the one viewed, of the
// same, unchanged class (the wrapper class's part is in class_checks).
bool group_valid(const GroupView &g, PyObject *wdict) {
    PyObject *cur = dict_get(wdict, g.name.ptr());
    return cur && cur == g.obj.ptr() && Py_TYPE(cur) == g.type && g.type->tp_version_tag == g.type_tag &&
           g.type_tag != 0;
}

bool same_attr(nb::handle obj, PyObject *name, nb::handle expected) {
    PyObject *v = PyObject_GetAttr(obj.ptr(), name);
    if (!v) {
        PyErr_Clear();
        return false;
    }
    bool same = v == expected.ptr();
    Py_DECREF(v);
    return same;
}

// The view object in the wrapper's dictionary, when it is a TwinView.
TwinView *view_of(PyObject *wdict) {
    PyObject *o = dict_get(wdict, names().native_view);
    if (!o || o == Py_None)
        return nullptr;
    nb::handle h(o);
    static PyTypeObject *view_type = nullptr;
    if (view_type && Py_TYPE(o) == view_type)
        return nb::inst_ptr<TwinView>(h);
    if (!nb::isinstance<TwinView>(h))
        return nullptr;
    if (Py_TYPE(o) == (PyTypeObject *) nb::type<TwinView>().ptr())
        view_type = Py_TYPE(o);
    return nb::inst_ptr<TwinView>(h);
}

struct DictRef {
    PyObject *d;
    explicit DictRef(nb::handle w) : d(instance_dict(w)) {}
    ~DictRef() { Py_XDECREF(d); }
};

} // namespace

const TwinView::ClassChecks &TwinView::class_checks() const {
    unsigned int tag = owner_type->tp_version_tag;
    if (tag != 0 && tag == class_state.tag)
        return class_state;
    const Names &n = names();
    ClassChecks c;
    c.fields = true;
    for (const auto &kv : groups)
        c.fields = c.fields && class_free(owner_type, kv.second.name.ptr());
    c.tick = class_free(owner_type, n.inp) && class_free(owner_type, n.lib) && class_free(owner_type, n.model);
    c.step = c.tick && _PyType_Lookup(owner_type, n.apply) == apply_fn.ptr();
    for (int i = 0; i < 3; ++i)
        c.step = c.step && class_free(owner_type, n.caches[i]);
    // Lookups above may have given the class a tag; keep the result only
    // under a tag that will change with the class.
    c.tag = owner_type->tp_version_tag;
    class_state = c;
    return class_state;
}

void TwinView::list_group_classes() const {
    group_classes_.clear();
    for (const auto &kv : groups)
        group_classes_.push_back({kv.second.obj.ptr(), kv.second.type, kv.second.type_tag});
}

bool TwinView::fields_valid(nb::handle wrapper, PyObject *wdict) const {
    if (!wdict || Py_TYPE(wrapper.ptr()) != owner_type || !class_checks().fields)
        return false;
    for (const auto &kv : groups)
        if (!group_valid(kv.second, wdict))
            return false;
    return true;
}

bool TwinView::tick_valid(nb::handle wrapper, PyObject *wdict) const {
    const Names &n = names();
    if (!step_fn || !model || !wdict || Py_TYPE(wrapper.ptr()) != owner_type || !class_checks().tick)
        return false;
    const GroupView *inp_g = inp();
    if (!inp_g || !group_valid(*inp_g, wdict))
        return false;
    PyObject *lib_now = dict_get(wdict, n.lib);
    if (!lib_now || lib_now != lib.ptr() || !PyModule_CheckExact(lib_now))
        return false;
    if (dict_get(PyModule_GetDict(lib_now), n.dt_step) != step_obj.ptr())
        return false;
    if (dict_get(wdict, n.model) != model_obj.ptr())
        return false;
    return call_unchanged();
}

bool TwinView::call_unchanged() const {
    const Names &n = names();
    PyObject *fn = step_obj.ptr();
    PyObject *expected[3] = {step_restype.ptr(), step_argtypes.ptr(), step_errcheck.ptr()};
    if (Py_TYPE(fn) == fn_type && fn_type_tag != 0 && fn_type->tp_version_tag == fn_type_tag) {
        for (int i = 0; i < 3; ++i) {
            PyObject *v = fn_get[i](fn, fn_closure[i]);
            if (!v) {
                PyErr_Clear();
                return false;
            }
            bool same = v == expected[i];
            Py_DECREF(v);
            if (!same)
                return false;
        }
    } else if (!same_attr(step_obj, n.restype, step_restype) || !same_attr(step_obj, n.argtypes, step_argtypes) ||
               !same_attr(step_obj, n.errcheck, step_errcheck)) {
        return false;
    }
    // A list of argument types may have been changed in place (and set again).
    PyObject *at = step_argtypes.ptr();
    if (PyList_CheckExact(at))
        return PyList_GET_SIZE(at) == 1 && PyList_GET_ITEM(at, 0) == step_arg0.ptr();
    return true;
}

bool TwinView::step_valid(nb::handle wrapper, PyObject *wdict, double *caches) const {
    const Names &n = names();
    if (!inputs_native || !tick_valid(wrapper, wdict) || !class_checks().step)
        return false;
    // `_apply_optional_inports` runs through the instance: it must not be shadowed.
    if (dict_get(wdict, n.apply))
        return false;
    for (int i = 0; i < 3; ++i) {
        PyObject *c = dict_get(wdict, n.caches[i]);
        if (!c || !PyFloat_CheckExact(c))
            return false;
        if (caches)
            caches[i] = PyFloat_AS_DOUBLE(c);
    }
    if (in_opt_missing_any) {
        // A port missing from the structure class may still be found as an
        // attribute of the structure object itself.
        const GroupView &g = *inp();
        PyObject *d = instance_dict(g.obj);
        if (!d)
            return false;
        bool clean = true;
        for (int i = 0; i < 3 && clean; ++i)
            if (!in_opt[i] && dict_get(d, n.ports[i]))
                clean = false;
        Py_DECREF(d);
        if (!clean)
            return false;
    }
    return true;
}

TwinView *native_view(nb::handle wrapper) {
    DictRef d(wrapper);
    TwinView *v = view_of(d.d);
    return v && v->fields_valid(wrapper, d.d) ? v : nullptr;
}

TwinView *native_step_view(nb::handle wrapper) {
    DictRef d(wrapper);
    TwinView *v = view_of(d.d);
    return v && v->step_valid(wrapper, d.d) ? v : nullptr;
}

bool native_step(nb::handle wrapper, double ref, double load) {
    DictRef d(wrapper);
    TwinView *v = view_of(d.d);
    double caches[3];
    if (!v || !v->step_valid(wrapper, d.d, caches))
        return false;
    store(v->in_reference, ref);
    store(v->in_load, load);
    for (int i = 0; i < 3; ++i)
        if (v->in_opt[i])
            store(v->in_opt[i], caches[i]);
    v->step_fn(v->model);
    return true;
}

bool native_ticks(nb::handle wrapper, long long n) {
    DictRef d(wrapper);
    TwinView *v = view_of(d.d);
    if (!v || !v->tick_valid(wrapper, d.d))
        return false;
    if (n <= 0)
        return true;
    // Keep the view (and through it the model record) alive while the GIL
    // is released.
    nb::object keep = nb::borrow(dict_get(d.d, names().native_view));
    TwinView::StepFn fn = v->step_fn;
    void *model = v->model;
    if (n < 64) {
        for (long long i = 0; i < n; ++i)
            fn(model);
    } else {
        nb::gil_scoped_release release;
        for (long long i = 0; i < n; ++i)
            fn(model);
    }
    return true;
}

bool native_home(nb::handle wrapper) {
    DictRef d(wrapper);
    TwinView *v = view_of(d.d);
    if (!v || !v->in_reset_pos || !v->tick_valid(wrapper, d.d))
        return false;
    store(v->in_reset_pos, 1.0);
    v->step_fn(v->model);
    store(v->in_reset_pos, 0.0);
    return true;
}

} // namespace vkl::twin
