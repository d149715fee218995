// Attribute reads that skip the class half of the lookup when it is known.
//
// For an object whose class reads attributes the ordinary way
// (PyObject_GenericGetAttr), what the class contributes to `obj.name` - a data
// descriptor, nothing at all, or something else - depends only on the class
// and its bases, and is fixed while the class keeps its version tag (any
// change to the class or a base gives it a new one; tags are never reused).
// A CachedAttr remembers it for one name and the last class seen, so a read
// is then a descriptor call or an instance-dictionary lookup.  Anything else
// (another class, another kind of class attribute, a missing attribute) goes
// through PyObject_GetAttr, so the result and the errors are always those of
// the ordinary read.
#pragma once

#include "core/pyutil.hpp"

namespace vkl {

class CachedAttr {
public:
    CachedAttr() = default;
    CachedAttr(const CachedAttr &) = delete;
    CachedAttr &operator=(const CachedAttr &) = delete;

    // New reference, or nullptr with an exception set.
    PyObject *get(PyObject *obj, PyObject *name) {
        pure_ = false;
        PyTypeObject *t = Py_TYPE(obj);
        if (t->tp_getattro != PyObject_GenericGetAttr)
            return PyObject_GetAttr(obj, name);
        if (t != type_ || t->tp_version_tag != tag_ || tag_ == 0)
            learn(t, name);
        switch (kind_) {
        case Kind::Data: {
            PyObject *d = Py_NewRef(descr_); // the getter may change the class
            PyObject *r = Py_TYPE(d)->tp_descr_get(d, obj, (PyObject *) t);
            Py_DECREF(d);
            return r;
        }
        case Kind::InstanceOnly: {
            PyObject *dict = PyObject_GenericGetDict(obj, nullptr);
            if (!dict) {
                PyErr_Clear();
                break;
            }
            PyObject *r = nullptr;
            int found = PyDict_CheckExact(dict) ? PyDict_GetItemRef(dict, name, &r) : -2;
            Py_DECREF(dict);
            if (found > 0) {
                pure_ = true;
                return r;
            }
            if (found == -1)
                return nullptr;
            break;
        }
        case Kind::Other: break;
        }
        return PyObject_GetAttr(obj, name);
    }

    ~CachedAttr() { Py_XDECREF(descr_); }

    // The value when it is an entry of the object's instance dictionary that
    // the class does not shadow, read without running any code; otherwise
    // nullptr, having done nothing (no exception set).
    PyObject *peek(PyObject *obj, PyObject *name) {
        PyTypeObject *t = Py_TYPE(obj);
        if (t->tp_getattro != PyObject_GenericGetAttr)
            return nullptr;
        if (t != type_ || t->tp_version_tag != tag_ || tag_ == 0)
            learn(t, name);
        if (kind_ != Kind::InstanceOnly)
            return nullptr;
        PyObject *dict = PyObject_GenericGetDict(obj, nullptr);
        if (!dict) {
            PyErr_Clear();
            return nullptr;
        }
        PyObject *r = nullptr;
        if (!PyDict_CheckExact(dict) || PyDict_GetItemRef(dict, name, &r) <= 0) {
            PyErr_Clear();
            r = nullptr;
        }
        Py_DECREF(dict);
        return r;
    }

    // The last get() was an instance-dictionary read and nothing else: no
    // code of any class ran, so reading again gives the same object for as
    // long as no other code runs.
    bool last_pure() const { return pure_; }

private:
    enum class Kind { Other, Data, InstanceOnly };

    void learn(PyTypeObject *t, PyObject *name) {
        kind_ = Kind::Other;
        Py_CLEAR(descr_);
        type_ = nullptr;
        tag_ = 0;
        if (!has_version_tag(t))
            return;
        PyObject *d = _PyType_Lookup(t, name); // borrowed
        if (!d) {
            kind_ = (PyType_HasFeature(t, Py_TPFLAGS_MANAGED_DICT) || t->tp_dictoffset != 0) ? Kind::InstanceOnly
                                                                                               : Kind::Other;
        } else if (Py_TYPE(d)->tp_descr_get && Py_TYPE(d)->tp_descr_set) {
            kind_ = Kind::Data;
            descr_ = Py_NewRef(d);
        }
        type_ = t;
        tag_ = t->tp_version_tag;
    }

    PyTypeObject *type_ = nullptr;
    unsigned int tag_ = 0;
    Kind kind_ = Kind::Other;
    PyObject *descr_ = nullptr;
    bool pure_ = false;
};

} // namespace vkl
