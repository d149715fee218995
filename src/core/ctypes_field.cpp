#include "core/ctypes_field.hpp"

#include "core/pyutil.hpp"

#include <cstring>

namespace vkl {

namespace {

struct Ctypes {
    PyObject *addressof = nullptr, *sizeof_ = nullptr;
    PyObject *simple[11] = {};  // ctypes.c_double ... in CType order
    PyObject *n_fields = nullptr, *n_offset = nullptr, *n_size = nullptr, *n_needsfree = nullptr;
    bool ok = false;
};

const Ctypes &ctypes_module() {
    static Ctypes c = [] {
        Ctypes c;
        PyObject *m = PyImport_ImportModule("ctypes");
        if (!m) {
            PyErr_Clear();
            return c;
        }
        // In CType's order: Double, Float, Bool, Int8, UInt8, Int16, UInt16,
        // Int32, UInt32, Int64, UInt64.
        const char *names[11] = {"c_double", "c_float", "c_bool", "c_int8", "c_uint8", "c_int16",
                                 "c_uint16", "c_int32", "c_uint32", "c_int64", "c_uint64"};
        bool ok = true;
        for (int i = 0; i < 11; ++i)
            ok = ok && (c.simple[i] = PyObject_GetAttrString(m, names[i])) != nullptr;
        ok = ok && (c.addressof = PyObject_GetAttrString(m, "addressof")) != nullptr &&
             (c.sizeof_ = PyObject_GetAttrString(m, "sizeof")) != nullptr;
        c.n_fields = PyUnicode_InternFromString("_fields_");
        c.n_offset = PyUnicode_InternFromString("offset");
        c.n_size = PyUnicode_InternFromString("size");
        c.n_needsfree = PyUnicode_InternFromString("_b_needsfree_");
        c.ok = ok && c.n_fields && c.n_offset && c.n_size && c.n_needsfree;
        Py_DECREF(m);
        if (!c.ok)
            PyErr_Clear();
        return c;
    }();
    return c;
}

const size_t kSizes[11] = {8, 4, 1, 1, 1, 2, 2, 4, 4, 8, 8};

// Integer attribute `name` of `o`, or -1.
long long int_attr(PyObject *o, PyObject *name) {
    PyObject *v = PyObject_GetAttr(o, name);
    if (!v)
        return -1;
    long long r = PyLong_Check(v) ? PyLong_AsLongLong(v) : -1;
    Py_DECREF(v);
    return r;
}

} // namespace

void CtypesField::learn(PyObject *obj, PyObject *name) {
    Py_CLEAR(obj_);
    type_ = nullptr;
    tag_ = 0;
    ref_ = {};
    const Ctypes &c = ctypes_module();
    PyTypeObject *t = Py_TYPE(obj);
    PyObject *exc = PyErr_GetRaisedException(); // learning never disturbs a pending error
    auto done = [&] {
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
    };
    if (!c.ok || t->tp_getattro != PyObject_GenericGetAttr ||
        !has_version_tag(t))
        return done();
    unsigned int tag = t->tp_version_tag; // what is learnt holds for this version only
    // The field descriptor, from the class itself (its own dictionary, as the
    // interpreter hands it out: builtin classes keep theirs elsewhere).
    PyObject *tdict = PyType_GetDict(t);
    if (!tdict)
        return done();
    struct DictHold {
        PyObject *d;
        ~DictHold() { Py_DECREF(d); }
    } hold{tdict};
    PyObject *descr = _PyType_Lookup(t, name);
    PyObject *own = PyDict_GetItemWithError(tdict, name);
    if (!descr || descr != own || strcmp(Py_TYPE(descr)->tp_name, "_ctypes.CField") != 0)
        return done();
    Py_INCREF(descr);
    long long offset = int_attr(descr, c.n_offset), size = int_attr(descr, c.n_size);
    Py_DECREF(descr);
    // Its declared type, from the class's own `_fields_`.
    PyObject *fields = PyDict_GetItemWithError(tdict, c.n_fields);
    int ctype = -1;
    if (fields && (PyList_CheckExact(fields) || PyTuple_CheckExact(fields))) {
        Py_INCREF(fields);
        Py_ssize_t n = PySequence_Fast_GET_SIZE(fields);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *entry = PySequence_Fast_GET_ITEM(fields, i);
            if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) < 2)
                continue;
            PyObject *fname = PyTuple_GET_ITEM(entry, 0);
            if (!PyUnicode_Check(fname) || PyUnicode_Compare(fname, name) != 0)
                continue;
            if (PyTuple_GET_SIZE(entry) == 2) // three entries: a bit field
                for (int k = 0; k < 11; ++k)
                    if (PyTuple_GET_ITEM(entry, 1) == c.simple[k])
                        ctype = k;
            break;
        }
        Py_DECREF(fields);
    }
    if (ctype < 0 || offset < 0 || size != (long long) kSizes[ctype] || int_attr(obj, c.n_needsfree) != 0)
        return done();
    long long address = -1, total = -1;
    if (PyObject *a = PyObject_CallOneArg(c.addressof, obj)) {
        address = PyLong_Check(a) ? (long long) PyLong_AsVoidPtr(a) : -1;
        Py_DECREF(a);
    }
    if (PyObject *s = PyObject_CallOneArg(c.sizeof_, obj)) {
        total = PyLong_Check(s) ? PyLong_AsLongLong(s) : -1;
        Py_DECREF(s);
    }
    if (address <= 0 || total < offset + size || tag == 0 || t->tp_version_tag != tag)
        return done();
    obj_ = Py_NewRef(obj);
    type_ = t;
    tag_ = t->tp_version_tag;
    ref_.addr = (char *) (intptr_t) address + offset;
    ref_.type = (twin::CType) ctype;
    done();
}

} // namespace vkl
