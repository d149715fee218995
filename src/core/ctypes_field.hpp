// Direct reads of one field of a ctypes structure object, for a reader that
// meets the same structure object again and again (a duck-typed twin's
// structures, read once per tick).
//
// `obj.name` on a ctypes structure goes through the class's field descriptor,
// which reads the C value at the structure's address plus the field's offset
// and makes a Python number of it.  A CtypesField learns, for one structure
// object and one field name, where that value lives and its C type, and
// hands it out as a FieldRef while the same object is met with its class
// unchanged.  It accepts only what makes the direct read the same as the
// descriptor's: the class reads attributes the ordinary way; the name is a
// field of the class itself declared as exactly c_double, c_float, c_bool or
// one of the fixed-width integers (no subclass, no byte-swapped type, no bit
// field); the structure does not own its memory (it lies on foreign memory,
// such as a library's static data, so it is never moved; ctypes.resize
// refuses it).  The object is kept alive while it is remembered.
#pragma once

#include "core/twin_view.hpp"

#include <Python.h>

namespace vkl {

class CtypesField {
public:
    CtypesField() = default;
    CtypesField(const CtypesField &) = delete;
    CtypesField &operator=(const CtypesField &) = delete;
    ~CtypesField() { Py_XDECREF(obj_); }

    // The field of `obj` named `name` as a direct reference, or an empty
    // FieldRef when it cannot be read directly (the caller then reads the
    // attribute).  Never raises.
    twin::FieldRef get(PyObject *obj, PyObject *name) {
        if (obj != obj_ || Py_TYPE(obj) != type_ || type_->tp_version_tag != tag_ || tag_ == 0)
            learn(obj, name);
        return ref_;
    }

private:
    void learn(PyObject *obj, PyObject *name);

    PyObject *obj_ = nullptr; // strong
    PyTypeObject *type_ = nullptr;
    unsigned int tag_ = 0;
    twin::FieldRef ref_;
};

} // namespace vkl
