// Simulated Kavrel actuator served by a digital twin, and its per-tick
// telemetry log.
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
// A series stores its values as the twin yields them: an empty series takes
// the kind of its first value (float, int within 64 bits, bool) as a typed
// column, whatever C type the twin gave the field, and becomes a list of
// objects only when it receives values of two kinds.
#include "core/attr_cache.hpp"
#include "core/ctypes_field.hpp"
#include "core/python_activity.hpp"
#include "core/pyutil.hpp"
#include "core/telemetry.hpp"
#include "core/tick_loop.hpp"
#include "core/twin_view.hpp"

#include <structmember.h>

#include <cmath>
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

namespace nb = nanobind;
using namespace vkl;
namespace tel = vkl::telemetry;
using vkl::twin::CType;
using vkl::twin::FieldRef;
using vkl::twin::TwinView;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

PyObject *intern(const char *s) {
    PyObject *o = PyUnicode_InternFromString(s);
    if (!o)
        raise_pending();
    return o; // kept for the life of the process
}

// An interned name made once per use site.  The interpreter's type cache takes
// interned names only: a name made afresh for each lookup walks the classes'
// dictionaries every time.
#define NAME(s) ([]() -> PyObject * { static PyObject *const name_ = intern(s); return name_; }())

nb::object getattr_o(nb::handle o, PyObject *name) {
    PyObject *r = PyObject_GetAttr(o.ptr(), name);
    if (!r)
        raise_pending();
    return nb::steal(r);
}

void setattr_o(nb::handle o, PyObject *name, nb::handle v) {
    if (PyObject_SetAttr(o.ptr(), name, v.ptr()) < 0)
        raise_pending();
}

// getattr(obj, name, default) where only AttributeError means absent.
bool is_nan_obj(nb::handle v) { return std::isnan(arg_float(v)); }

// dict(x): a copy of an exact dict, else the interpreter's dict constructor.
nb::object dict_copy(nb::handle v) {
    if (PyDict_CheckExact(v.ptr())) {
        PyObject *r = PyDict_Copy(v.ptr());
        if (!r)
            raise_pending();
        return nb::steal(r);
    }
    PyObject *r = PyObject_CallOneArg((PyObject *) &PyDict_Type, v.ptr());
    if (!r)
        raise_pending();
    return nb::steal(r);
}

// Borrowed item of a dict, nullptr when absent (errors cleared).
// ============================================================================
// Telemetry series: a typed column that behaves as a list of numbers.
// ============================================================================

struct SeriesObject {
    PyObject_HEAD
    tel::Column *col; // typed storage; nullptr once the series holds other objects
    PyObject *objs;   // list of the values when not typed
    tel::Kind kind;
};

PyTypeObject *g_series_type = nullptr;

inline bool is_series(PyObject *o) { return Py_TYPE(o) == g_series_type; }

PyObject *column_item(const tel::Column &c, size_t i) {
    switch (c.kind()) {
    case tel::Kind::Float: return PyFloat_FromDouble(c.get_double(i));
    case tel::Kind::Int: return PyLong_FromLongLong(c.get_int(i));
    case tel::Kind::Bool: return PyBool_FromLong(c.get_bool(i));
    }
    return nullptr;
}

Py_ssize_t series_len(SeriesObject *s) {
    return s->col ? (Py_ssize_t) s->col->size() : PyList_GET_SIZE(s->objs);
}

// Switch a series to a plain list of objects (a value of another type was
// stored).  Returns -1 with an exception set on failure.
int series_to_objects(SeriesObject *s) {
    if (!s->col)
        return 0;
    size_t n = s->col->size();
    PyObject *list = PyList_New((Py_ssize_t) n);
    if (!list)
        return -1;
    for (size_t i = 0; i < n; ++i) {
        PyObject *v = column_item(*s->col, i);
        if (!v) {
            Py_DECREF(list);
            return -1;
        }
        PyList_SET_ITEM(list, (Py_ssize_t) i, v);
    }
    delete s->col; // a block still exported to a buffer lives on until released
    s->col = nullptr;
    s->objs = list;
    return 0;
}

// The kind of column that holds a value exactly: an exact float, an exact int
// within 64 bits, True or False.  False for anything else.
bool kind_of_value(PyObject *v, tel::Kind &k) {
    if (PyFloat_CheckExact(v))
        k = tel::Kind::Float;
    else if (v == Py_True || v == Py_False)
        k = tel::Kind::Bool;
    else if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        (void) x;
        PyErr_Clear();
        if (overflow)
            return false;
        k = tel::Kind::Int;
    } else
        return false;
    return true;
}

// An empty typed series takes the kind `k` (a twin may declare any field
// with any C type: the first value decides what the series holds).
void series_set_kind(SeriesObject *s, tel::Kind k) {
    s->col->retype(k);
    s->kind = k;
}

// Append without conversion: a value of the column's own type goes into the
// column; the first value of an empty series gives the column its kind; any
// other value turns the series into a list of objects.
int series_append(SeriesObject *s, PyObject *v) {
    if (s->col) {
        tel::Kind first;
        if (s->col->size() == 0 && kind_of_value(v, first) && first != s->kind)
            series_set_kind(s, first);
        try {
            switch (s->kind) {
            case tel::Kind::Float:
                if (PyFloat_CheckExact(v)) {
                    s->col->push_double(PyFloat_AS_DOUBLE(v));
                    return 0;
                }
                break;
            case tel::Kind::Int:
                if (PyLong_CheckExact(v)) {
                    int overflow = 0;
                    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
                    if (x == -1 && PyErr_Occurred())
                        return -1;
                    if (!overflow) {
                        s->col->push_int(x);
                        return 0;
                    }
                }
                break;
            case tel::Kind::Bool:
                if (v == Py_True || v == Py_False) {
                    s->col->push_bool(v == Py_True);
                    return 0;
                }
                break;
            }
        } catch (std::bad_alloc &) {
            PyErr_NoMemory();
            return -1;
        }
        if (series_to_objects(s) < 0)
            return -1;
    }
    return PyList_Append(s->objs, v);
}

bool value_fits(tel::Kind k, PyObject *v) {
    tel::Kind got;
    return kind_of_value(v, got) && got == k;
}

PyObject *series_new(tel::Kind k) {
    SeriesObject *s = PyObject_GC_New(SeriesObject, g_series_type);
    if (!s)
        return nullptr;
    s->col = new (std::nothrow) tel::Column(k);
    s->objs = nullptr;
    s->kind = k;
    if (!s->col) {
        s->objs = PyList_New(0);
        if (!s->objs) {
            Py_DECREF(s);
            return nullptr;
        }
    }
    PyObject_GC_Track((PyObject *) s);
    return (PyObject *) s;
}

int series_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(((SeriesObject *) self)->objs);
    return 0;
}

int series_clear_refs(PyObject *self) {
    // The values go, the series stays usable (an empty list of objects).
    auto *s = (SeriesObject *) self;
    if (s->objs) {
        PyObject *fresh = PyList_New(0);
        if (!fresh) {
            PyErr_Clear();
            return 0;
        }
        PyObject *old = s->objs;
        s->objs = fresh;
        Py_DECREF(old);
    }
    return 0;
}

void series_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto *s = (SeriesObject *) self;
    delete s->col;
    s->col = nullptr;
    Py_CLEAR(s->objs);
    tp->tp_free(self);
    Py_DECREF(tp);
}

Py_ssize_t series_sq_length(PyObject *self) { return series_len((SeriesObject *) self); }

PyObject *series_sq_item(PyObject *self, Py_ssize_t i) {
    auto *s = (SeriesObject *) self;
    if (!s->col)
        return PySequence_GetItem(s->objs, i);
    if (i < 0 || (size_t) i >= s->col->size()) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    return column_item(*s->col, (size_t) i);
}

PyObject *series_tolist_impl(SeriesObject *s) {
    if (!s->col)
        return PyList_GetSlice(s->objs, 0, PY_SSIZE_T_MAX);
    size_t n = s->col->size();
    PyObject *list = PyList_New((Py_ssize_t) n);
    if (!list)
        return nullptr;
    for (size_t i = 0; i < n; ++i) {
        PyObject *v = column_item(*s->col, i);
        if (!v) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, (Py_ssize_t) i, v);
    }
    return list;
}

PyObject *series_subscript(PyObject *self, PyObject *key) {
    auto *s = (SeriesObject *) self;
    if (!s->col)
        return PyObject_GetItem(s->objs, key);
    if (PyIndex_Check(key)) {
        Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred())
            return nullptr;
        if (i < 0)
            i += (Py_ssize_t) s->col->size();
        return series_sq_item(self, i);
    }
    if (PySlice_Check(key)) {
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(key, &start, &stop, &step) < 0)
            return nullptr;
        Py_ssize_t n = PySlice_AdjustIndices((Py_ssize_t) s->col->size(), &start, &stop, step);
        PyObject *list = PyList_New(n);
        if (!list)
            return nullptr;
        for (Py_ssize_t k = 0, i = start; k < n; ++k, i += step) {
            PyObject *v = column_item(*s->col, (size_t) i);
            if (!v) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(list, k, v);
        }
        return list;
    }
    PyErr_Format(PyExc_TypeError, "list indices must be integers or slices, not %.200s", Py_TYPE(key)->tp_name);
    return nullptr;
}

int series_ass_subscript(PyObject *self, PyObject *key, PyObject *value) {
    auto *s = (SeriesObject *) self;
    if (s->col && PyIndex_Check(key)) {
        Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred())
            return -1;
        Py_ssize_t n = (Py_ssize_t) s->col->size();
        if (i < 0)
            i += n;
        if (i < 0 || i >= n) {
            PyErr_SetString(PyExc_IndexError,
                            value ? "list assignment index out of range" : "list assignment index out of range");
            return -1;
        }
        if (!value) {
            s->col->erase((size_t) i, 1);
            return 0;
        }
        if (value_fits(s->kind, value)) {
            switch (s->kind) {
            case tel::Kind::Float: s->col->set_double((size_t) i, PyFloat_AS_DOUBLE(value)); break;
            case tel::Kind::Int: s->col->set_int((size_t) i, PyLong_AsLongLong(value)); break;
            case tel::Kind::Bool: s->col->set_bool((size_t) i, value == Py_True); break;
            }
            return 0;
        }
    } else if (s->col && !value && PySlice_Check(key)) {
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(key, &start, &stop, &step) < 0)
            return -1;
        Py_ssize_t n = PySlice_AdjustIndices((Py_ssize_t) s->col->size(), &start, &stop, step);
        if (step == 1 || n <= 1) {
            if (n > 0)
                s->col->erase((size_t) start, (size_t) n);
            return 0;
        }
    } else if (s->col && !PySlice_Check(key) && !PyIndex_Check(key)) {
        PyErr_Format(PyExc_TypeError, "list indices must be integers or slices, not %.200s", Py_TYPE(key)->tp_name);
        return -1;
    }
    if (series_to_objects(s) < 0)
        return -1;
    return value ? PyObject_SetItem(s->objs, key, value) : PyObject_DelItem(s->objs, key);
}

// Element equality of two series values: the interpreter's ==, with NaN
// equal to NaN (the log's own NaN is one shared object, as in a list).
int values_equal(PyObject *a, PyObject *b) {
    if (PyFloat_Check(a) && PyFloat_Check(b) && std::isnan(PyFloat_AS_DOUBLE(a)) && std::isnan(PyFloat_AS_DOUBLE(b)))
        return 1;
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

PyObject *series_richcompare(PyObject *self, PyObject *other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !(is_series(other) || PyList_Check(other)))
        Py_RETURN_NOTIMPLEMENTED;
    Py_ssize_t n = series_len((SeriesObject *) self);
    Py_ssize_t m = is_series(other) ? series_len((SeriesObject *) other) : PyList_GET_SIZE(other);
    bool equal = n == m;
    auto *a = (SeriesObject *) self;
    auto *b = is_series(other) ? (SeriesObject *) other : nullptr;
    if (equal && a->col && b && b->col && a->kind == b->kind) {
        for (Py_ssize_t i = 0; i < n && equal; ++i) {
            switch (a->kind) {
            case tel::Kind::Float: {
                double x = a->col->get_double((size_t) i), y = b->col->get_double((size_t) i);
                equal = x == y || (std::isnan(x) && std::isnan(y));
                break;
            }
            case tel::Kind::Int: equal = a->col->get_int((size_t) i) == b->col->get_int((size_t) i); break;
            case tel::Kind::Bool: equal = a->col->get_bool((size_t) i) == b->col->get_bool((size_t) i); break;
            }
        }
    } else {
        for (Py_ssize_t i = 0; equal; ++i) {
            // Lengths are read again each round: a comparison may run code.
            Py_ssize_t n1 = series_len(a);
            Py_ssize_t n2 = b ? series_len(b) : PyList_GET_SIZE(other);
            if (i >= n1 || i >= n2) {
                equal = n1 == n2;
                break;
            }
            PyObject *x = series_sq_item(self, i);
            if (!x)
                return nullptr;
            PyObject *y = b ? series_sq_item(other, i) : Py_NewRef(PyList_GET_ITEM(other, i));
            if (!y) {
                Py_DECREF(x);
                return nullptr;
            }
            int r = values_equal(x, y);
            Py_DECREF(x);
            Py_DECREF(y);
            if (r < 0)
                return nullptr;
            equal = r == 1;
        }
    }
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyObject *series_repr(PyObject *self) {
    auto *s = (SeriesObject *) self;
    if (!s->col)
        return PyObject_Repr(s->objs);
    PyObject *list = series_tolist_impl(s);
    if (!list)
        return nullptr;
    PyObject *r = PyObject_Repr(list);
    Py_DECREF(list);
    return r;
}

PyObject *series_iter(PyObject *self) { return PySeqIter_New(self); }

int series_contains(PyObject *self, PyObject *v) {
    Py_ssize_t i = 0;
    for (;; ++i) {
        if (i >= series_len((SeriesObject *) self))
            return 0;
        PyObject *x = series_sq_item(self, i);
        if (!x)
            return -1;
        int r = PyObject_RichCompareBool(x, v, Py_EQ);
        Py_DECREF(x);
        if (r != 0)
            return r;
    }
}

PyObject *series_m_append(PyObject *self, PyObject *v) {
    if (series_append((SeriesObject *) self, v) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *series_m_extend(PyObject *self, PyObject *iterable) {
    PyObject *it = PyObject_GetIter(iterable);
    if (!it)
        return nullptr;
    // Materialise first, so extending a series by itself ends.
    PyObject *items = PySequence_List(it);
    Py_DECREF(it);
    if (!items)
        return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i)
        if (series_append((SeriesObject *) self, PyList_GET_ITEM(items, i)) < 0) {
            Py_DECREF(items);
            return nullptr;
        }
    Py_DECREF(items);
    Py_RETURN_NONE;
}

PyObject *series_m_clear(PyObject *self, PyObject *) {
    auto *s = (SeriesObject *) self;
    if (s->col) {
        s->col->clear();
    } else {
        if (PyList_SetSlice(s->objs, 0, PY_SSIZE_T_MAX, nullptr) < 0)
            return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *series_m_tolist(PyObject *self, PyObject *) { return series_tolist_impl((SeriesObject *) self); }

// list methods that read the values: run on a list of them
PyObject *series_via_list(PyObject *self, const char *method, PyObject *const *args, Py_ssize_t nargs) {
    PyObject *list = series_tolist_impl((SeriesObject *) self);
    if (!list)
        return nullptr;
    PyObject *name = PyUnicode_FromString(method);
    if (!name) {
        Py_DECREF(list);
        return nullptr;
    }
    PyObject *call[4] = {list, nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : nullptr,
                         nargs > 2 ? args[2] : nullptr};
    PyObject *r = PyObject_VectorcallMethod(name, call, (size_t) (1 + nargs), nullptr);
    Py_DECREF(name);
    Py_DECREF(list);
    return r;
}

PyObject *series_m_count(PyObject *self, PyObject *v) { return series_via_list(self, "count", &v, 1); }

PyObject *series_m_index(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "index expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    return series_via_list(self, "index", args, nargs);
}

// Copies and pickles carry the values as a plain list.
PyObject *series_m_reduce(PyObject *self, PyObject *) {
    PyObject *list = series_tolist_impl((SeriesObject *) self);
    if (!list)
        return nullptr;
    return Py_BuildValue("(O(N))", (PyObject *) &PyList_Type, list);
}

PyObject *series_m_sizeof(PyObject *self, PyObject *) {
    auto *s = (SeriesObject *) self;
    size_t n = sizeof(SeriesObject);
    if (s->col)
        n += sizeof(tel::Column) + s->col->bytes_allocated();
    return PyLong_FromSize_t(n);
}

struct Export {
    tel::Block *blk;
    Py_ssize_t shape;
    Py_ssize_t stride;
};

int series_getbuffer(PyObject *self, Py_buffer *view, int flags) {
    auto *s = (SeriesObject *) self;
    if (!s->col) {
        PyErr_SetString(PyExc_BufferError, "the series holds values of mixed types and has no typed buffer");
        return -1;
    }
    if (flags & PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "telemetry series are read-only buffers");
        return -1;
    }
    Export *e = new (std::nothrow) Export();
    if (!e) {
        PyErr_NoMemory();
        return -1;
    }
    try {
        e->blk = s->col->export_block();
    } catch (std::bad_alloc &) {
        delete e;
        PyErr_NoMemory();
        return -1;
    }
    Py_ssize_t isz = (Py_ssize_t) tel::item_size(s->kind);
    e->shape = (Py_ssize_t) s->col->size();
    e->stride = isz;
    view->buf = e->blk->data;
    view->obj = Py_NewRef(self);
    view->len = e->shape * isz;
    view->readonly = 1;
    view->itemsize = isz;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char *>(tel::buffer_format(s->kind)) : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) ? &e->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &e->stride : nullptr;
    view->suboffsets = nullptr;
    view->internal = e;
    return 0;
}

void series_releasebuffer(PyObject *, Py_buffer *view) {
    auto *e = (Export *) view->internal;
    if (e) {
        tel::release_export(e->blk);
        delete e;
    }
}

PyMethodDef series_methods[] = {
    {"append", (PyCFunction) series_m_append, METH_O, "Append one value at the end."},
    {"extend", (PyCFunction) series_m_extend, METH_O, "Append the values of an iterable."},
    {"clear", (PyCFunction) series_m_clear, METH_NOARGS, "Remove every value."},
    {"tolist", (PyCFunction) series_m_tolist, METH_NOARGS, "The values as a new list."},
    {"__sizeof__", (PyCFunction) series_m_sizeof, METH_NOARGS, "Size in memory, storage included, in bytes."},
    {"count", (PyCFunction) series_m_count, METH_O, "Number of values equal to the argument."},
    {"index", (PyCFunction) (void (*)(void)) series_m_index, METH_FASTCALL, "Position of the first value equal to the argument."},
    {"__reduce__", (PyCFunction) series_m_reduce, METH_NOARGS, "Copies and pickles hold the values as a list."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot series_slots[] = {
    {Py_tp_dealloc, (void *) series_dealloc},
    {Py_tp_traverse, (void *) series_traverse},
    {Py_tp_clear, (void *) series_clear_refs},
    {Py_tp_repr, (void *) series_repr},
    {Py_tp_richcompare, (void *) series_richcompare},
    {Py_tp_iter, (void *) series_iter},
    {Py_tp_methods, (void *) series_methods},
    {Py_tp_hash, (void *) PyObject_HashNotImplemented},
    {Py_sq_length, (void *) series_sq_length},
    {Py_sq_item, (void *) series_sq_item},
    {Py_sq_contains, (void *) series_contains},
    {Py_mp_length, (void *) series_sq_length},
    {Py_mp_subscript, (void *) series_subscript},
    {Py_mp_ass_subscript, (void *) series_ass_subscript},
    {Py_bf_getbuffer, (void *) series_getbuffer},
    {Py_bf_releasebuffer, (void *) series_releasebuffer},
    {Py_tp_doc, (void *) "One telemetry series: a growable sequence of numbers stored as a typed array."},
    {0, nullptr}};

// ============================================================================
// Tables: the 65 telemetry series and the feedback item map.
// ============================================================================

struct SeriesDef {
    const char *name;
    tel::Kind kind; // the declared element type: the kind of a new, empty series
    const char *group; // nullptr for `time`
    const char *field;
    bool optional;
};

constexpr tel::Kind F = tel::Kind::Float, I = tel::Kind::Int, B = tel::Kind::Bool;

const SeriesDef kSeries[65] = {
    {"enable", F, "info", "enable", false},
    {"temp_winding", F, "info", "temp_winding", false},
    {"T_fb", F, "info", "T_fb", false},
    {"T_ref", F, "info", "T_ref", false},
    {"id_fb", F, "info", "id_fb", false},
    {"id_ref", F, "info", "id_ref", false},
    {"iq_fb", F, "info", "iq_fb", false},
    {"iq_ref", F, "info", "iq_ref", false},
    {"pos_fb", F, "info", "pos_fb", false},
    {"pos_ref", F, "info", "pos_ref", false},
    {"spd_fb", F, "info", "spd_fb", false},
    {"spd_ref", F, "info", "spd_ref", false},
    {"vd_ref", F, "info", "vd_ref", false},
    {"vq_ref", F, "info", "vq_ref", false},
    {"m_Te", F, "motor", "m_Te", false},
    {"m_Tl", F, "motor", "m_Tl", false},
    {"m_acc", F, "motor", "m_acc", false},
    {"m_eff_elec", F, "motor", "m_eff_elec", false},
    {"m_eff_mec", F, "motor", "m_eff_mec", false},
    {"m_i_dc", F, "motor", "m_i_dc", false},
    {"m_ia", F, "motor", "m_ia", false},
    {"m_ib", F, "motor", "m_ib", false},
    {"m_ic", F, "motor", "m_ic", false},
    {"m_id", F, "motor", "m_id", false},
    {"m_iq", F, "motor", "m_iq", false},
    {"m_pos1", F, "motor", "m_pos1", false},
    {"m_pos2", F, "motor", "m_pos2", false},
    {"m_pwr_dc", F, "motor", "m_pwr_dc", false},
    {"m_pwr_elec", F, "motor", "m_pwr_elec", false},
    {"m_pwr_mec", F, "motor", "m_pwr_mec", false},
    {"m_spd1", F, "motor", "m_spd1", false},
    {"m_spd2", F, "motor", "m_spd2", false},
    {"m_va", F, "motor", "m_va", false},
    {"m_vb", F, "motor", "m_vb", false},
    {"m_vc", F, "motor", "m_vc", false},
    {"m_vd", F, "motor", "m_vd", false},
    {"m_vq", F, "motor", "m_vq", false},
    {"meas_turn", I, "meas", "turn", false},
    {"meas_turn2", I, "meas", "turn2", false},
    {"meas_T", F, "meas", "T", false},
    {"meas_e_pos", F, "meas", "e_pos", false},
    {"meas_pos", F, "meas", "pos", false},
    {"meas_pos2", F, "meas", "pos2", false},
    {"meas_spd", F, "meas", "spd", false},
    {"meas_spd2", F, "meas", "spd2", false},
    {"inp_ref", F, "inp", "Reference", false},
    {"inp_load", F, "inp", "Load", false},
    {"inp_t_adc", F, "inp", "T_ADC", true},
    {"inp_ref_ff_torque", F, "inp", "ref_ff_torque", true},
    {"inp_ref_impedance_spd", F, "inp", "ref_impedance_spd", true},
    {"inp_ref_impedance_acel", F, "inp", "ref_impedance_acel", true},
    {"inp_control_type", I, "inp", "ControlType", false},
    {"inp_enable", B, "inp", "Enable", false},
    {"inp_reset_pos", B, "inp", "ResetPos", false},
    {"debug_T_fb_max", B, "debug", "T_fb_max", false},
    {"debug_T_ref_max", B, "debug", "T_ref_max", false},
    {"debug_i_max", B, "debug", "i_max", false},
    {"debug_pos_fb_max", B, "debug", "pos_fb_max", false},
    {"debug_pos_fb_min", B, "debug", "pos_fb_min", false},
    {"debug_pos_ref_max", B, "debug", "pos_ref_max", false},
    {"debug_pos_ref_min", B, "debug", "pos_ref_min", false},
    {"debug_spd_fb_max", B, "debug", "spd_fb_max", false},
    {"debug_spd_ref_max", B, "debug", "spd_ref_max", false},
    {"debug_spd_ref_min", B, "debug", "spd_ref_min", false},
    {"time", F, nullptr, nullptr, false},
};
constexpr int kTimeIndex = 64;
constexpr int kTfbIndex = 2;
constexpr int kLogFields = 67; // the series, TIME_STEP, time_start

enum class ItemKind : uint8_t { Path, Flag, VBus, Const, HasErrors, NaN };

struct ItemDef {
    const char *member;
    ItemKind kind;
    const char *path;
    const char *path2;
};

// In the order of the VKL_Items members.
const ItemDef kItems[48] = {
    {"ENCODER_INT", ItemKind::Path, "meas.pos", nullptr},
    {"ENCODER_INT_RAW", ItemKind::Path, "meas.turn", nullptr},
    {"ENCODER_EXT", ItemKind::Path, "meas.pos2", nullptr},
    {"ENCODER_EXT_RAW", ItemKind::Path, "meas.turn2", nullptr},
    {"SPEED_FB", ItemKind::Path, "info.spd_fb", nullptr},
    {"IA", ItemKind::Path, "motor.m_ia", nullptr},
    {"IB", ItemKind::Path, "motor.m_ib", nullptr},
    {"IC", ItemKind::Path, "motor.m_ic", nullptr},
    {"TORQUE_SENS", ItemKind::Path, "meas.T", nullptr},
    {"TORQUE_SENS_RAW", ItemKind::Path, "meas.T", nullptr},
    {"POSITION_REF", ItemKind::Path, "info.pos_ref", nullptr},
    {"POSITION_FB", ItemKind::Path, "info.pos_fb", nullptr},
    {"POSITION_FB_INTERNAL", ItemKind::Path, "meas.pos", nullptr},
    {"SPEED_REF", ItemKind::Path, "info.spd_ref", nullptr},
    {"ID_REF", ItemKind::Path, "info.id_ref", nullptr},
    {"ID_FB", ItemKind::Path, "info.id_fb", nullptr},
    {"IQ_REF", ItemKind::Path, "info.iq_ref", nullptr},
    {"IQ_FB", ItemKind::Path, "info.iq_fb", nullptr},
    {"VD_REF", ItemKind::Path, "info.vd_ref", nullptr},
    {"VQ_REF", ItemKind::Path, "info.vq_ref", nullptr},
    {"TORQUE_REF", ItemKind::Path, "info.T_ref", nullptr},
    {"TORQUE_FB", ItemKind::Path, "info.T_fb", nullptr},
    {"REFERENCE_A_VOLTAGE", ItemKind::Path, "motor.m_va", nullptr},
    {"REFERENCE_B_VOLTAGE", ItemKind::Path, "motor.m_vb", nullptr},
    {"REFERENCE_C_VOLTAGE", ItemKind::Path, "motor.m_vc", nullptr},
    {"BUS_POWER", ItemKind::Path, "motor.m_pwr_dc", nullptr},
    {"BUS_CURRENT", ItemKind::Path, "motor.m_i_dc", nullptr},
    {"THREE_PHASE_POWER", ItemKind::Path, "motor.m_pwr_elec", nullptr},
    {"MECHANICAL_POWER", ItemKind::Path, "motor.m_pwr_mec", nullptr},
    {"INVERTER_EFFICIENCY", ItemKind::Path, "motor.m_eff_elec", nullptr},
    {"MOTOR_EFFICIENCY", ItemKind::Path, "motor.m_eff_mec", nullptr},
    {"ERRORS_ENCODER_INT", ItemKind::Flag, "debug.pos_fb_max", nullptr},
    {"ERRORS_ENCODER_EXT", ItemKind::Flag, "debug.pos_fb_min", nullptr},
    {"ERRORS_OVERRUN", ItemKind::Flag, "debug.i_max", nullptr},
    {"VBUS", ItemKind::VBus, "motor.m_pwr_dc", "motor.m_i_dc"},
    {"TEMP_PCB", ItemKind::Const, nullptr, nullptr},
    {"TEMP_MOTOR", ItemKind::Path, "info.temp_winding", nullptr},
    {"DEBUG_SIGNAL_BOOL", ItemKind::HasErrors, nullptr, nullptr},
    {"DEBUG_SIGNAL01", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL02", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL03", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL04", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL05", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL06", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL07", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL08", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL09", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL10", ItemKind::NaN, nullptr, nullptr},
};

const char *kDebugFlags[10] = {"T_fb_max", "T_ref_max", "i_max", "pos_fb_max", "pos_fb_min",
                               "pos_ref_max", "pos_ref_min", "spd_fb_max", "spd_ref_max", "spd_ref_min"};
const char *kInfoFields[14] = {"enable", "temp_winding", "T_fb", "T_ref", "id_fb", "id_ref", "iq_fb",
                               "iq_ref", "pos_fb", "pos_ref", "spd_fb", "spd_ref", "vd_ref", "vq_ref"};
const char *kMotorFields[23] = {"m_Te", "m_Tl", "m_acc", "m_eff_elec", "m_eff_mec", "m_i_dc", "m_ia", "m_ib",
                                "m_ic", "m_id", "m_iq", "m_pos1", "m_pos2", "m_pwr_dc", "m_pwr_elec", "m_pwr_mec",
                                "m_spd1", "m_spd2", "m_va", "m_vb", "m_vc", "m_vd", "m_vq"};
const char *kMeasFields[8] = {"turn", "turn2", "T", "e_pos", "pos", "pos2", "spd", "spd2"};

// ============================================================================
// Module state
// ============================================================================

// Names the actuator's stepping machinery calls through the instance; the
// native road requires each to be the one defined here.
constexpr const char *kStepMethods[] = {"_ensure_initialized", "_build_feedback_snapshot", "_should_emit_feedback",
                                        "_emit_callback", "_get_item_value", "_read_path", "_require_actuator",
                                        "has_errors", "get_debug_flags", "_bool_to_float", "_safe_divisor"};
constexpr int kNumStepMethods = sizeof(kStepMethods) / sizeof(kStepMethods[0]);
// Plain instance attributes the stepping reads and writes.
const char *kStepAttrs[] = {"actuator", "_setpoint", "_load_value", "telemetry_log", "_simulation_step_count",
                            "_feedback_items", "_feedback_callback", "_feedback_rate_divider", "_address",
                            "_latest_feedback", "feedback", "_connected"};
constexpr int kNumStepAttrs = sizeof(kStepAttrs) / sizeof(kStepAttrs[0]);

struct Plan {
    PyObject *view_obj = nullptr; // the TwinView object it was made for (identity only:
                                  // the view holds its plan, a run holds the view)
    TwinView *v = nullptr;
    bool rows_ok = false;
    FieldRef row[64];
    bool row_nan[64] = {};
    // The kind of each column (`time` last): what the field's values are in
    // the interpreter, so a series typed by its first value has this kind.
    tel::Kind kind[65];
    // UInt64 fields feeding integer columns: a value beyond int64 makes the
    // series a list of objects, which the generic road does.
    int n_u64 = 0;
    FieldRef u64[64];
    std::vector<PyObject *> inp_missing; // interned names of absent optional inputs
    // The row, split for the tick loop: double fields into float series
    // (copied as they are) and every other slot.
    int n_dbl = 0, n_other = 0;
    const char *dbl_src[64];
    int dbl_col[64], other_col[64];
    struct Src {
        bool ok = false;
        ItemKind kind = ItemKind::NaN;
        FieldRef a, b;
    } items[48];
    FieldRef debug[10];
    // The twin's step and field checks as last passed in full, with the
    // versions (see dict_version) of the dictionaries they read; valid while
    // those versions and the classes involved stay as they were.
    struct Checked {
        bool ok = false;
        PyObject *ad = nullptr, *libd = nullptr, *idd = nullptr; // compared only
        uint64_t ad_ver = 0, lib_ver = 0, idd_ver = 0;
        PyTypeObject *owner = nullptr;
        unsigned int owner_tag = 0;
        double caches[3] = {0, 0, 0};
    } checked;
};

struct State {
    nb::dict g;
    nb::object base_cls, log_cls, virt_cls;
    nb::object engine_cls;   // the engine's ActuatorWrapper as imported
    nb::object engine_step;  // ActuatorWrapper.step as defined by the engine
    nb::object nan;          // math.nan
    PyTypeObject *view_type = nullptr;
    nb::object items[48];    // VKL_Items members in order
    // Their hashes, as computed under the enumeration class's version tag
    // `item_hash_tag` (a change to the class, e.g. of __hash__, changes it).
    Py_hash_t item_hash[48] = {};
    unsigned int item_hash_tag = 0;
    nb::object p_ff_gain, p_speed_cutoff, p_current_cutoff, p_setpoint, p_mode, p_torque_perf, p_speed_perf,
        p_address, p_can_high_speed;
    Py_ssize_t log_off[kLogFields] = {};
    nb::object log_descr[kLogFields]; // the log class's own slot descriptors
    PyObject *log_names[kLogFields] = {};
    nb::object log_append;   // VirtualActuatorLog._append as defined here
    PyObject *series_names[65] = {};
    // Interned names of the generic road: the structure and field of each row
    // series, the twin path of each item and the two parts of each path.
    PyObject *series_group[64] = {}, *series_field[64] = {};
    PyObject *item_path[48] = {}, *item_path2[48] = {};
    std::unordered_map<PyObject *, std::pair<PyObject *, PyObject *>> path_parts;
    // The generic row's reads: each series of the log, each row's structure
    // from the twin and its field from the structure, and the time's inputs.
    CachedAttr ca_series[65], ca_group[64], ca_field[64], ca_time_step, ca_time_start;
    CtypesField cf_field[64]; // the field itself when the structure is a plain ctypes one

    PyObject *n_step_methods[kNumStepMethods] = {};
    nb::object orig_methods[kNumStepMethods];
    PyObject *n_step_attrs[kNumStepAttrs] = {};
    PyObject *n_step, *n_append, *n_native_view, *n_time_step, *n_time_start, *n_connected, *n_initialized;
    PyObject *n_actuator, *n_setpoint, *n_load_value, *n_telemetry_log, *n_count, *n_items, *n_callback, *n_divider,
        *n_address, *n_latest, *n_feedback;

    // Verified class states (type and its version tag).
    PyTypeObject *ok_self_type = nullptr;
    unsigned int ok_self_tag = 0;
    unsigned int ok_engine_tag = 0;
    unsigned int ok_log_tag = 0;


    int dict_watcher = -1; // -1: no watcher, every tick is checked in full
    bool log_slots_contiguous = false; // the log's slots are one run of words from log_slots_begin
    Py_ssize_t log_slots_begin = 0;
};

State *S = nullptr;

// ============================================================================
// VirtualActuatorLog
// ============================================================================

const char *kLogDoc =
    "Per-step simulator telemetry log owned by ``KavrelActuatorVirtual``.\n\n"
    "    Populated by ``KavrelActuatorVirtual.step()`` after every simulation tick.\n"
    "    The internal DTwin backend has no knowledge of this structure.\n"
    "    ";

const char *log_field_name(int i) {
    if (i < 65)
        return kSeries[i].name;
    return i == 65 ? "TIME_STEP" : "time_start";
}

void log_init(nb::handle self, nb::args args, nb::kwargs kwargs) {
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
            if (PyUnicode_Check(key.ptr()) && PyUnicode_Compare(key.ptr(), S->log_names[i]) == 0) {
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
        if (values[i]) {
            v = nb::borrow(values[i]);
        } else if (i < 65) {
            PyObject *s = series_new(kSeries[i].kind);
            if (!s)
                raise_pending();
            v = nb::steal(s);
        } else if (i == 65) {
            v = nb::object(S->g["get_default_dtwin_time_step_s"])();
        } else {
            v = nb::float_(0.0);
        }
        setattr_o(self, S->log_names[i], v);
    }
}

nb::object log_eq(nb::handle self, nb::handle other) {
    if (Py_TYPE(other.ptr()) != Py_TYPE(self.ptr()))
        return nb::borrow(Py_NotImplemented);
    for (int i = 0; i < kLogFields; ++i) {
        nb::object a = getattr_o(self, S->log_names[i]);
        nb::object b = getattr_o(other, S->log_names[i]);
        if (!eq(a, b))
            return nb::bool_(false);
    }
    return nb::bool_(true);
}

nb::object log_repr(nb::handle self) {
    int rec = Py_ReprEnter(self.ptr());
    if (rec < 0)
        raise_pending();
    if (rec > 0)
        return nb::str("...");
    struct Leave {
        PyObject *o;
        ~Leave() { Py_ReprLeave(o); }
    } leave{self.ptr()};
    nb::object qual = getattr_o(nb::handle((PyObject *) Py_TYPE(self.ptr())), intern("__qualname__"));
    std::string out = py_str(qual) + "(";
    for (int i = 0; i < kLogFields; ++i) {
        if (i)
            out += ", ";
        out += log_field_name(i);
        out += "=";
        nb::object v = getattr_o(self, S->log_names[i]);
        PyObject *r = PyObject_Repr(v.ptr());
        if (!r)
            raise_pending();
        out += py_str(nb::steal(r));
    }
    out += ")";
    return nb::str(out.c_str(), out.size());
}

// series.append(value), with the series' own append for our columns.
void append_to(nb::handle series, nb::handle value) {
    if (is_series(series.ptr())) {
        if (series_append((SeriesObject *) series.ptr(), value.ptr()) < 0)
            raise_pending();
        return;
    }
    PyObject *r = PyObject_CallMethodOneArg(series.ptr(), intern("append"), value.ptr());
    if (!r)
        raise_pending();
    Py_DECREF(r);
}

bool log_append_native(PyObject *log, PyObject *act);
PyObject *field_object(const FieldRef &f);

// Append a twin field's value to `o` without making the number, when `o` is
// a typed series that takes it as series_append would take the value ctypes
// makes of the field (an empty series takes the value's kind).  Returns
// false, having done nothing, otherwise.
bool push_field(PyObject *o, const FieldRef &f) {
    auto *so = (SeriesObject *) o;
    if (!is_series(o) || !so->col || (f.type == CType::UInt64 && !tick::u64_fits(f)))
        return false;
    tel::Kind kind = tick::kind_for(f.type);
    if (so->kind != kind) {
        if (so->col->size() != 0)
            return false;
        series_set_kind(so, kind);
    }
    try {
        switch (kind) {
        case tel::Kind::Float: so->col->push_double(twin::load(f)); break;
        case tel::Kind::Int: so->col->push_int(tick::load_int(f)); break;
        case tel::Kind::Bool: so->col->push_bool(tick::load_bool(f)); break;
        }
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
        raise_pending();
    }
    return true;
}

nb::object cached_get(CachedAttr &c, nb::handle o, PyObject *name) {
    PyObject *r = c.get(o.ptr(), name);
    if (!r)
        raise_pending();
    return nb::steal(r);
}

// series.append(value): our columns and exact lists directly, anything else
// through its own `append`.
void append_value(nb::handle series, nb::handle value) {
    if (PyList_CheckExact(series.ptr())) {
        if (PyList_Append(series.ptr(), value.ptr()) < 0)
            raise_pending();
        return;
    }
    append_to(series, value);
}

bool log_type_ok(PyTypeObject *t);
inline PyObject *log_slot(PyObject *log, int i);

// A log of our class whose series are all our series or exact lists and
// whose time step and start are exact floats: a row goes in without running
// any code.
bool log_row_plain(PyObject *log) {
    if (!log_type_ok(Py_TYPE(log)))
        return false;
    for (int i = 0; i < 65; ++i) {
        PyObject *o = log_slot(log, i);
        if (!o || !(is_series(o) || PyList_CheckExact(o)))
            return false;
    }
    PyObject *ts = log_slot(log, 65), *t0 = log_slot(log, 66);
    return ts && t0 && PyFloat_CheckExact(ts) && PyFloat_CheckExact(t0);
}

// One row of a twin that is not the engine's wrapper, when every read on the
// way runs no code and so can be done first: the log of our class holding
// series or exact lists, each structure an entry of the twin's instance
// dictionary, each field one a CtypesField reads directly.  Returns false,
// having appended nothing, otherwise.
bool log_append_duck(PyObject *log, PyObject *act) {
    if (!log_row_plain(log))
        return false;
    PyObject *ts = log_slot(log, 65), *t0 = log_slot(log, 66);
    FieldRef row[64];
    nb::object group;
    PyObject *group_name = nullptr;
    for (int i = 0; i < 64; ++i) {
        if (S->series_group[i] != group_name) {
            PyObject *g = S->ca_group[i].peek(act, S->series_group[i]);
            if (!g)
                return false;
            group = nb::steal(g);
            group_name = S->series_group[i];
        }
        row[i] = S->cf_field[i].get(group.ptr(), S->series_field[i]);
        if (!row[i])
            return false;
    }
    Py_ssize_t rows = PyObject_Length(log_slot(log, kTfbIndex));
    if (rows < 0)
        raise_pending();
    nb::object tm = nb::steal(PyFloat_FromDouble(
        tick::row_time(PyFloat_AS_DOUBLE(ts), (size_t) rows, PyFloat_AS_DOUBLE(t0))));
    if (!tm.is_valid())
        raise_pending();
    append_value(nb::handle(log_slot(log, kTimeIndex)), tm);
    for (int i = 0; i < 64; ++i) {
        PyObject *o = log_slot(log, i);
        if (push_field(o, row[i]))
            continue;
        nb::object v = nb::steal(field_object(row[i]));
        if (!v.is_valid())
            raise_pending();
        append_value(nb::handle(o), v);
    }
    return true;
}

void log_append_generic(nb::handle self, nb::handle act) {
    if (log_append_native(self.ptr(), act.ptr()) || log_append_duck(self.ptr(), act.ptr()))
        return;
    // A log of our class (checked at every read: an append may run Python
    // code) is read through its slots, which is what its descriptors read;
    // an empty slot takes the attribute read for its AttributeError.
    bool slot_read = false; // the last field() read a slot (no code ran)
    auto field = [&](int i, CachedAttr &c, PyObject *name) {
        slot_read = false;
        if (log_type_ok(Py_TYPE(self.ptr())))
            if (PyObject *o = log_slot(self.ptr(), i)) {
                slot_read = true;
                return nb::borrow(o);
            }
        return cached_get(c, self, name);
    };
    // time first: TIME_STEP * (rows before this one) + time_start
    {
        nb::object series = field(kTimeIndex, S->ca_series[kTimeIndex], S->series_names[kTimeIndex]);
        nb::object method;
        if (!is_series(series.ptr()) && !PyList_CheckExact(series.ptr()))
            method = getattr_o(series, NAME("append"));
        nb::object ts = field(65, S->ca_time_step, S->n_time_step);
        nb::object tfb = field(kTfbIndex, S->ca_series[kTfbIndex], S->series_names[kTfbIndex]);
        Py_ssize_t n = PyObject_Length(tfb.ptr());
        if (n < 0)
            raise_pending();
        nb::object rows = nb::steal(PyLong_FromSsize_t(n));
        PyObject *prod = PyNumber_Multiply(ts.ptr(), rows.ptr());
        if (!prod)
            raise_pending();
        nb::object p = nb::steal(prod);
        nb::object t0 = field(66, S->ca_time_start, S->n_time_start);
        PyObject *sum = PyNumber_Add(p.ptr(), t0.ptr());
        if (!sum)
            raise_pending();
        nb::object value = nb::steal(sum);
        if (method.is_valid())
            method(value);
        else
            append_value(series, value);
    }
    // The structure read for the previous series, while reading it again
    // would give the same object: it came from the twin's instance dictionary
    // and nothing since has run code that could change that (a field read
    // directly, a value put into a series or an exact list).
    PyObject *prev_name = nullptr;
    nb::object prev_group;
    for (int i = 0; i < 64; ++i) {
        const SeriesDef &d = kSeries[i];
        nb::object series = field(i, S->ca_series[i], S->series_names[i]);
        nb::object method;
        if (!is_series(series.ptr()) && !PyList_CheckExact(series.ptr()))
            method = getattr_o(series, NAME("append"));
        if (!slot_read || method.is_valid())
            prev_name = nullptr;
        nb::object group;
        if (prev_name == S->series_group[i]) {
            group = prev_group;
        } else {
            group = cached_get(S->ca_group[i], act, S->series_group[i]);
            prev_name = S->ca_group[i].last_pure() ? S->series_group[i] : nullptr;
            prev_group = group;
        }
        nb::object value;
        if (FieldRef f = d.optional ? FieldRef{} : S->cf_field[i].get(group.ptr(), S->series_field[i])) {
            // The field's value as the attribute read would give it; into a
            // column of its kind without making the number.
            if (!method.is_valid() && push_field(series.ptr(), f))
                continue;
            value = nb::steal(field_object(f));
            if (!value.is_valid())
                raise_pending();
        } else if (d.optional) {
            PyObject *res = nullptr;
            int r = PyObject_GetOptionalAttr(group.ptr(), S->series_field[i], &res);
            if (r < 0)
                raise_pending();
            value = r == 0 ? S->nan : nb::steal(res);
            prev_name = nullptr;
        } else {
            value = cached_get(S->ca_field[i], group, S->series_field[i]);
            prev_name = nullptr;
        }
        if (method.is_valid()) {
            method(value);
            prev_name = nullptr;
        } else {
            append_value(series, value); // a series or an exact list: no code runs
        }
    }
}

// ============================================================================
// KavrelActuatorVirtual: generic operations
// ============================================================================

nb::object self_call(nb::handle self, const char *name) { return nb::getattr(self, name)(); }
nb::object self_call(nb::handle self, PyObject *name) {
    PyObject *r = PyObject_CallMethodNoArgs(self.ptr(), name);
    if (!r)
        raise_pending();
    return nb::steal(r);
}

// Indices into kStepMethods (in its order).
enum StepMethod { M_ENSURE_INIT, M_SNAPSHOT, M_SHOULD_EMIT, M_EMIT, M_ITEM_VALUE, M_READ_PATH, M_REQUIRE };
constexpr bool same_name(const char *a, const char *b) { return *a == *b && (*a == 0 || same_name(a + 1, b + 1)); }
static_assert(same_name(kStepMethods[M_ENSURE_INIT], "_ensure_initialized") &&
                  same_name(kStepMethods[M_SNAPSHOT], "_build_feedback_snapshot") &&
                  same_name(kStepMethods[M_SHOULD_EMIT], "_should_emit_feedback") &&
                  same_name(kStepMethods[M_EMIT], "_emit_callback") &&
                  same_name(kStepMethods[M_ITEM_VALUE], "_get_item_value") &&
                  same_name(kStepMethods[M_READ_PATH], "_read_path") &&
                  same_name(kStepMethods[M_REQUIRE], "_require_actuator"),
              "StepMethod follows kStepMethods");

// Whether `self.<method>` is the function defined here (not overridden on the
// class or the instance): its call may then go straight to the C++ code it
// runs, which is what the lookup and the call would do.
bool own_method(nb::handle self, int m) {
    PyTypeObject *t = Py_TYPE(self.ptr());
    PyObject *name = S->n_step_methods[m];
    if (t->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(t, name) != S->orig_methods[m].ptr())
        return false;
    PyObject *d = instance_dict(self.ptr());
    bool free = !d || (PyDict_CheckExact(d) && !dict_get(d, name));
    Py_XDECREF(d);
    return free;
}

nb::object require_actuator(nb::handle self);

nb::object call_require_actuator(nb::handle self) {
    return own_method(self, M_REQUIRE) ? require_actuator(self) : self_call(self, NAME("_require_actuator"));
}

nb::object require_actuator(nb::handle self) {
    nb::object a = getattr_o(self, NAME("actuator"));
    if (a.is_none())
        raise(PyExc_ValueError, "Actuator not configured. Call set_actuator(...) first.");
    return a;
}

bool twin_initialized(nb::handle twin) { return truth(attr_or(twin, "_initialized", Py_False)); }

void ensure_initialized(nb::handle self) {
    nb::object twin = self_call(self, NAME("_require_actuator"));
    if (!truth(getattr_o(self, NAME("_connected"))))
        raise(PyExc_RuntimeError, "Actuator not connected. Call connect() first.");
    if (twin_initialized(twin))
        return;
    twin.attr(nb::handle(NAME("initialize")))(getattr_o(self, NAME("_mode")).attr(nb::handle(NAME("value"))));
    twin.attr(nb::handle(NAME("set_enable")))(getattr_o(self, NAME("_enabled")));
}

nb::object read_path(nb::handle self, nb::handle path) {
    nb::str p = arg_str(path, "path");
    nb::object obj = call_require_actuator(self);
    // The item map's own paths come split already (an exact str splits the
    // same way every time).
    auto known = S->path_parts.find(p.ptr());
    if (known != S->path_parts.end()) {
        obj = getattr_o(obj, known->second.first);
        return to_float(getattr_o(obj, known->second.second));
    }
    nb::object parts = p.attr(nb::handle(NAME("split")))(".");
    for (nb::handle part : parts)
        obj = getattr_o(obj, part.ptr());
    return to_float(obj);
}

void write_path(nb::handle self, nb::handle path, nb::handle value) {
    double v = arg_float(value);
    nb::str p = arg_str(path, "path");
    nb::object obj = self_call(self, NAME("_require_actuator"));
    nb::list parts = nb::borrow<nb::list>(p.attr(nb::handle(NAME("split")))("."));
    size_t n = parts.size();
    for (size_t i = 0; i + 1 < n; ++i)
        obj = getattr_o(obj, parts[i].ptr());
    setattr_o(obj, parts[n - 1].ptr(), nb::float_(v));
}

nb::object rp(nb::handle self, PyObject *path) {
    if (own_method(self, M_READ_PATH))
        return read_path(self, nb::handle(path));
    return getattr_o(self, NAME("_read_path"))(nb::handle(path));
}

nb::object get_item_value(nb::handle self, nb::handle item) {
    call_require_actuator(self);
    // Members whose class keeps the default comparison are equal only to
    // themselves: the walk in order then finds the identical member or none.
    PyTypeObject *member_type = Py_TYPE(S->items[0].ptr());
    bool by_identity = Py_TYPE(item.ptr()) == member_type &&
                       member_type->tp_richcompare == PyBaseObject_Type.tp_richcompare;
    for (int k = 0; k < 48; ++k) {
        if (by_identity ? item.ptr() != S->items[k].ptr() : !eq(item, S->items[k]))
            continue;
        const ItemDef &d = kItems[k];
        switch (d.kind) {
        case ItemKind::Path: return rp(self, S->item_path[k]);
        case ItemKind::Flag: return getattr_o(self, NAME("_bool_to_float"))(rp(self, S->item_path[k]));
        case ItemKind::VBus: {
            nb::object power = rp(self, S->item_path[k]);
            nb::object current = rp(self, S->item_path2[k]);
            nb::object div = getattr_o(self, NAME("_safe_divisor"))(current);
            PyObject *r = PyNumber_TrueDivide(power.ptr(), div.ptr());
            if (!r)
                raise_pending();
            return nb::steal(r);
        }
        case ItemKind::Const: return nb::float_(25.0);
        case ItemKind::HasErrors: return getattr_o(self, NAME("_bool_to_float"))(self_call(self, NAME("has_errors")));
        case ItemKind::NaN: return S->nan;
        }
    }
    nb::object name = getattr_o(item, NAME("name"));
    PyObject *starts = PyObject_CallMethod(name.ptr(), "startswith", "s", "DEBUG_SIGNAL");
    if (!starts)
        raise_pending();
    if (truth(nb::steal(starts)))
        return S->nan;
    PyErr_SetObject(PyExc_KeyError, nb::str(("Unsupported feedback item: " + py_str(item)).c_str()).ptr());
    raise_pending();
}

// self.<name> through a read cache of its own (see CachedAttr); never freed,
// as the interpreter may be gone when statics are destroyed.
#define SELF_ATTR(self, s)                                                                                    \
    cached_get(([]() -> CachedAttr & { static CachedAttr &c_ = *new CachedAttr(); return c_; }()), self, NAME(s))

nb::object build_snapshot(nb::handle self) {
    nb::object items = SELF_ATTR(self, "_feedback_items");
    Py_ssize_t n = PyObject_Length(items.ptr());
    if (n < 0)
        raise_pending();
    nb::dict out;
    if (n == 0)
        return out;
    for (nb::handle item : items)
        out[item] = own_method(self, M_ITEM_VALUE) ? get_item_value(self, item)
                                                   : SELF_ATTR(self, "_get_item_value")(item);
    return out;
}

bool should_emit(nb::handle self) {
    if (SELF_ATTR(self, "_feedback_callback").is_none())
        return false;
    if (!truth(SELF_ATTR(self, "_feedback_items")))
        return false;
    nb::object div = SELF_ATTR(self, "_feedback_rate_divider");
    nb::object zero = nb::int_(0);
    PyObject *gt = PyObject_RichCompare(div.ptr(), zero.ptr(), Py_GT);
    if (!gt)
        raise_pending();
    if (!truth(nb::steal(gt)))
        return false;
    nb::object count = SELF_ATTR(self, "_simulation_step_count");
    PyObject *rem = PyNumber_Remainder(count.ptr(), div.ptr());
    if (!rem)
        raise_pending();
    return eq(nb::steal(rem), zero);
}

void emit_callback(nb::handle callback, nb::handle address, nb::handle payload) {
    nb::object addr = address.is_none() ? nb::none() : arg_int(address, "address");
    arg_dict(payload, "payload");
    if (callback.is_none())
        return;
    PyObject *args[2] = {addr.ptr(), payload.ptr()};
    PyObject *r = PyObject_Vectorcall(callback.ptr(), args, 2, nullptr);
    if (!r)
        raise_pending();
    Py_DECREF(r);
}

// The rest of a tick after the twin's step, through the instance's own
// operations.
void generic_after_step(nb::handle self) {
    SELF_ATTR(self, "telemetry_log").attr(nb::handle(NAME("_append")))(SELF_ATTR(self, "actuator"));
    nb::object count = SELF_ATTR(self, "_simulation_step_count");
    PyObject *c1 = PyNumber_InPlaceAdd(count.ptr(), nb::int_(1).ptr());
    if (!c1)
        raise_pending();
    setattr_o(self, NAME("_simulation_step_count"), nb::steal(c1));
    setattr_o(self, NAME("_latest_feedback"), own_method(self, M_SNAPSHOT)
                                                  ? build_snapshot(self)
                                                  : self_call(self, NAME("_build_feedback_snapshot")));
    setattr_o(self, NAME("feedback"), dict_copy(SELF_ATTR(self, "_latest_feedback")));
    bool due = own_method(self, M_SHOULD_EMIT) ? should_emit(self)
                                               : truth(self_call(self, NAME("_should_emit_feedback")));
    if (!due)
        return;
    if (own_method(self, M_EMIT)) {
        nb::object cb = SELF_ATTR(self, "_feedback_callback");
        nb::object addr = SELF_ATTR(self, "_address");
        emit_callback(cb, addr, dict_copy(SELF_ATTR(self, "_latest_feedback")));
        return;
    }
    SELF_ATTR(self, "_emit_callback")(SELF_ATTR(self, "_feedback_callback"), SELF_ATTR(self, "_address"),
                                            dict_copy(SELF_ATTR(self, "_latest_feedback")));
}

// One tick through the instance's own operations.
void generic_tick(nb::handle self) {
    nb::object act = SELF_ATTR(self, "actuator");
    act.attr(nb::handle(NAME("step")))(SELF_ATTR(self, "_setpoint"), SELF_ATTR(self, "_load_value"));
    generic_after_step(self);
}

// ============================================================================
// Native ticks
// ============================================================================

PyTypeObject *type_of(nb::handle h) { return (PyTypeObject *) h.ptr(); }

struct Ref {
    PyObject *p;
    explicit Ref(PyObject *o) : p(o) {}
    ~Ref() { Py_XDECREF(p); }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
};

// The class has a version tag (given one now if it had none); any change to
// the class resets it.
bool has_version_tag(PyTypeObject *t) {
    return PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) || PyUnstable_Type_AssignVersionTag(t);
}

bool self_type_ok(PyTypeObject *t) {
    if (t == S->ok_self_type && t->tp_version_tag == S->ok_self_tag && t->tp_version_tag != 0)
        return true;
    if (t->tp_getattro != PyObject_GenericGetAttr || t->tp_setattro != PyObject_GenericSetAttr)
        return false;
    for (int i = 0; i < kNumStepMethods; ++i)
        if (_PyType_Lookup(t, S->n_step_methods[i]) != S->orig_methods[i].ptr())
            return false;
    for (int i = 0; i < kNumStepAttrs; ++i)
        if (_PyType_Lookup(t, S->n_step_attrs[i]))
            return false;
    if (!has_version_tag(t))
        return false;
    S->ok_self_type = t;
    S->ok_self_tag = t->tp_version_tag;
    return t->tp_version_tag != 0;
}

bool engine_type_ok(PyTypeObject *t) {
    if (t != type_of(S->engine_cls))
        return false;
    if (t->tp_version_tag == S->ok_engine_tag && t->tp_version_tag != 0)
        return true;
    if (t->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(t, S->n_step) != S->engine_step.ptr() ||
        _PyType_Lookup(t, S->n_initialized))
        return false;
    if (!has_version_tag(t))
        return false;
    S->ok_engine_tag = t->tp_version_tag;
    return t->tp_version_tag != 0;
}

bool log_type_ok(PyTypeObject *t) {
    if (t != type_of(S->log_cls))
        return false;
    if (t->tp_version_tag == S->ok_log_tag && t->tp_version_tag != 0)
        return true;
    if (t->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(t, S->n_append) != S->log_append.ptr())
        return false;
    for (int i = 0; i < kLogFields; ++i) {
        PyObject *d = _PyType_Lookup(t, S->log_names[i]);
        if (!d || d != S->log_descr[i].ptr())
            return false;
    }
    if (!has_version_tag(t))
        return false;
    S->ok_log_tag = t->tp_version_tag;
    return t->tp_version_tag != 0;
}

// ---- Instance dictionaries known to shadow none of the stepping methods ----
//
// Every run would otherwise look up each stepping method in the actuator's
// dictionary (a dozen misses per one-tick call).  A dictionary watched by
// the native road (see on_dict_event) that was found free of them stays free
// until a key is added to it, it is filled from another dictionary, or it is
// freed; each of those events, on any watched dictionary, bumps
// g_key_additions and so forgets every entry below.
uint64_t g_key_additions = 0;

struct ShadowFree {
    PyObject *dict = nullptr; // compared only, never dereferenced
    uint64_t additions = 0;   // g_key_additions when it was watched / checked
    bool free = false;        // checked free of the stepping methods at that count
};
ShadowFree g_shadow_free[16];
int g_shadow_next = 0;

ShadowFree *shadow_entry(PyObject *d) {
    for (auto &e : g_shadow_free)
        if (e.dict == d && e.additions == g_key_additions)
            return &e;
    return nullptr;
}

// No stepping method is shadowed in `sd` (an actuator's instance dictionary).
bool no_method_shadowed(PyObject *sd) {
    ShadowFree *e = shadow_entry(sd);
    if (e && e->free)
        return true;
    for (int i = 0; i < kNumStepMethods; ++i)
        if (dict_get(sd, S->n_step_methods[i]))
            return false;
    // Watched since before the lookups, with no key added since: free until
    // the next addition.
    if (e)
        e->free = true;
    return true;
}

// `sd` is watched now (its stores notify): from here on an addition is seen.
void note_watched(PyObject *sd) {
    if (shadow_entry(sd))
        return;
    ShadowFree &e = g_shadow_free[g_shadow_next];
    g_shadow_next = (g_shadow_next + 1) % 16;
    e = ShadowFree{sd, g_key_additions, false};
}

// `_ensure_initialized()` would do nothing now: it is the class's own, the
// bound twin is the engine's, connected and initialised (what a lockstep
// caller of one-tick steps finds on every call but the first).  Then the
// load given to `step` (when not null) is stored as `step` stores it.
bool initialized_now(PyObject *self, PyObject *load) {
    if (!self_type_ok(Py_TYPE(self)))
        return false;
    Ref sd(instance_dict(self));
    if (!sd.p) {
        PyErr_Clear();
        return false;
    }
    ShadowFree *known = shadow_entry(sd.p);
    if (!(known && known->free) && dict_get(sd.p, S->n_step_methods[M_ENSURE_INIT]))
        return false;
    if (dict_get(sd.p, S->n_connected) != Py_True)
        return false;
    PyObject *act = dict_get(sd.p, S->n_actuator);
    if (!act || !engine_type_ok(Py_TYPE(act)))
        return false;
    Ref ad(instance_dict(act));
    if (!ad.p) {
        PyErr_Clear();
        return false;
    }
    if (dict_get(ad.p, S->n_initialized) != Py_True)
        return false;
    // What `self._load_value = load` does (the class defines no such attribute).
    if (load && PyDict_SetItem(sd.p, S->n_load_value, load) < 0)
        raise_pending();
    return true;
}

inline PyObject *log_slot(PyObject *log, int i) { return *(PyObject **) ((char *) log + S->log_off[i]); }

FieldRef view_field(TwinView *v, const char *path) {
    std::string p(path);
    size_t dot = p.find('.');
    return v->find(p.substr(0, dot), p.substr(dot + 1));
}

// The view's plan, made on first use and kept with the view (so any number of
// actuators stepping in turn each find theirs at once).
std::shared_ptr<Plan> plan_for(PyObject *view_obj, TwinView *v) {
    if (v->consumer_plan) {
        auto pp = std::static_pointer_cast<Plan>(v->consumer_plan);
        if (pp->view_obj == view_obj && pp->v == v)
            return pp;
    }
    auto pp = std::make_shared<Plan>();
    Plan &p = *pp;
    p.view_obj = view_obj;
    p.v = v;
    p.rows_ok = true;
    auto inp = v->groups.find("inp");
    for (int i = 0; i < 64; ++i) {
        const SeriesDef &d = kSeries[i];
        FieldRef f = v->find(d.group, d.field);
        p.kind[i] = tel::Kind::Float;
        if (f) {
            p.row[i] = f;
            p.kind[i] = tick::kind_for(f.type);
            if (f.type == CType::UInt64)
                p.u64[p.n_u64++] = f;
            continue;
        }
        if (d.optional && !f && inp != v->groups.end()) {
            nb::handle inp_cls((PyObject *) inp->second.type);
            bool present = true;
            try {
                present = has_attr(inp_cls, d.field);
            } catch (nb::python_error &) {
                present = true;
            }
            if (!present) {
                p.row_nan[i] = true;
                p.inp_missing.push_back(intern(d.field));
                continue;
            }
        }
        p.rows_ok = false;
    }
    p.kind[kTimeIndex] = tel::Kind::Float;
    for (int i = 0; i < 64; ++i) {
        if (!p.row_nan[i] && p.row[i] && p.row[i].type == CType::Double) {
            p.dbl_src[p.n_dbl] = p.row[i].addr;
            p.dbl_col[p.n_dbl++] = i;
        } else {
            p.other_col[p.n_other++] = i;
        }
    }
    for (int k = 0; k < 48; ++k) {
        const ItemDef &d = kItems[k];
        Plan::Src &s = p.items[k];
        s.kind = d.kind;
        switch (d.kind) {
        case ItemKind::Path:
        case ItemKind::Flag:
            s.a = view_field(v, d.path);
            s.ok = (bool) s.a;
            break;
        case ItemKind::VBus:
            s.a = view_field(v, d.path);
            s.b = view_field(v, d.path2);
            s.ok = s.a && s.b;
            break;
        case ItemKind::HasErrors:
            s.ok = true;
            for (int j = 0; j < 10; ++j) {
                p.debug[j] = v->find("debug", kDebugFlags[j]);
                s.ok = s.ok && p.debug[j];
            }
            break;
        case ItemKind::Const:
        case ItemKind::NaN: s.ok = true; break;
        }
    }
    v->consumer_plan = pp;
    return pp;
}

// The value a row field's attribute read gives (ctypes: float for real
// fields, int for integer fields, bool for bool fields).
PyObject *field_object(const FieldRef &f) {
    if (tick::is_real(f.type))
        return PyFloat_FromDouble(twin::load(f));
    if (f.type == CType::Bool)
        return PyBool_FromLong(tick::load_bool(f));
    if (f.type == CType::UInt64) {
        uint64_t v;
        std::memcpy(&v, f.addr, 8);
        return PyLong_FromUnsignedLongLong(v);
    }
    return PyLong_FromLongLong(tick::load_int(f));
}

// One row appended as `_append` does it, read through the twin's field view,
// when every read and append on the way is one that runs no Python code and
// gives what the view gives: the log of our class with its slots holding
// series or exact lists, exact floats for the time, the engine's wrapper with
// valid fields.  Returns false, having done nothing, otherwise.
bool log_append_native(PyObject *log, PyObject *act) {
    if (!log_type_ok(Py_TYPE(log)) || !engine_type_ok(Py_TYPE(act)))
        return false;
    Ref adr(instance_dict(act));
    PyObject *ad = adr.p;
    PyObject *view_obj = ad ? dict_get(ad, S->n_native_view) : nullptr;
    if (!view_obj || Py_TYPE(view_obj) != S->view_type)
        return false;
    TwinView *v = nb::inst_ptr<TwinView>(view_obj);
    if (!v || !v->fields_valid(act, ad))
        return false;
    std::shared_ptr<Plan> plan_hold = plan_for(view_obj, v);
    const Plan &plan = *plan_hold;
    if (!plan.rows_ok)
        return false;
    if (!plan.inp_missing.empty()) {
        Ref idr(instance_dict(v->groups.find("inp")->second.obj.ptr()));
        if (idr.p)
            for (PyObject *n : plan.inp_missing)
                if (dict_get(idr.p, n))
                    return false;
    }
    if (!log_row_plain(log))
        return false;
    PyObject *ts = log_slot(log, 65), *t0 = log_slot(log, 66);
    PyObject *tfb = log_slot(log, kTfbIndex);
    Py_ssize_t rows = PyObject_Length(tfb); // a series or a list: no Python code
    if (rows < 0)
        raise_pending();
    // From here on nothing runs Python code until the row is complete (a
    // float or int is made, a series or a list grows), so what was checked
    // holds for every value.
    auto put = [&](int i, PyObject *value) { // steals value
        if (!value)
            raise_pending();
        Ref vr(value);
        PyObject *o = log_slot(log, i);
        int r = is_series(o) ? series_append((SeriesObject *) o, value) : PyList_Append(o, value);
        if (r < 0)
            raise_pending();
    };
    put(kTimeIndex, PyFloat_FromDouble(tick::row_time(PyFloat_AS_DOUBLE(ts), (size_t) rows, PyFloat_AS_DOUBLE(t0))));
    for (int i = 0; i < 64; ++i) {
        if (plan.row_nan[i]) {
            put(i, Py_NewRef(S->nan.ptr()));
            continue;
        }
        const FieldRef &f = plan.row[i];
        if (!push_field(log_slot(log, i), f))
            put(i, field_object(f));
    }
    return true;
}

double item_value(const Plan &p, int k) {
    const Plan::Src &s = p.items[k];
    switch (s.kind) {
    case ItemKind::Path: return twin::load(s.a);
    case ItemKind::Flag: return twin::load(s.a) != 0.0 ? 1.0 : 0.0;
    case ItemKind::VBus: {
        double power = twin::load(s.a);
        double current = twin::load(s.b);
        return power / (current == 0.0 ? 1.0 : current);
    }
    case ItemKind::Const: return 25.0;
    case ItemKind::HasErrors:
        for (int j = 0; j < 10; ++j)
            if (twin::load(p.debug[j]) != 0.0)
                return 1.0;
        return 0.0;
    case ItemKind::NaN: return kNaN;
    }
    return kNaN;
}

// ---- What a native tick relies on, and how it notices a change ----------
//
// Inside a run of native ticks the only place where Python code can run is
// the twin's own DT_step (foreign code may call back into the interpreter).
// Everything the ticks rely on is checked in full before the first tick; after
// every DT_step a cheap test tells whether anything Python-visible that the
// ticks read could have changed:
//   * no Python frame ran during the step (pyact::FrameCount, open for the
//     whole run of ticks): Python code could change anything, so any frame
//     at all ends the native run; what follows covers changes made from C
//     (a builtin called by the twin, for one);
//   * the dictionaries read (the actuator's and the wrapper's instance
//     dictionaries, the bindings module's) are watched: any change bumps
//     g_dict_changes;
//   * those objects still use the same dictionaries;
//   * the classes involved keep their version tags (any change to a class
//     resets its tag);
//   * DT_step's call attributes (not held in any dictionary) are the same;
//   * the log holds the same series, and no column's storage changed;
//   * the list of feedback items holds the same members.
// When the test fails, the tick is finished on the generic road and the run
// ends; the next run starts with the full checks again.
uint64_t g_dict_changes = 0;
// Ticks run entirely on the native road since the module was loaded (read by
// tests, through `_native_tick_count()`, to tell that the road was taken).
uint64_t g_native_ticks = 0;

// ---- Versions of single watched dictionaries ----
//
// The change counters above are process-wide: with a dozen actuators stepped
// in turn, each one-tick call changes some dictionary, so state checked on one
// actuator's run cannot be trusted on its next run by those counters.  A few
// dictionaries (a twin wrapper's, its bindings module's, an `inp` structure's)
// are tracked here one by one: every event on a tracked dictionary gives it a
// new version, never given before; when it is freed its entry goes, so a new
// dictionary at the same address never inherits a version.  Only
// dictionaries watched (with their objects' stores notifying) are tracked.
struct DictVersion {
    PyObject *dict; // compared only, never dereferenced; kGone: a freed entry
    uint64_t ver;
};
constexpr int kVersionSlots = 256, kVersionProbe = 8;
PyObject *const kGone = (PyObject *) (uintptr_t) 1;
DictVersion g_dict_version[kVersionSlots];
uint64_t g_version_source = 0;

unsigned version_home(PyObject *d) {
    return (unsigned) ((((uintptr_t) d >> 4) * 0x9E3779B97F4A7C15ull) >> 56);
}

DictVersion *version_entry(PyObject *d) {
    unsigned h = version_home(d);
    for (int i = 0; i < kVersionProbe; ++i) {
        DictVersion &e = g_dict_version[(h + i) % kVersionSlots];
        if (e.dict == d)
            return &e;
        if (!e.dict)
            return nullptr;
    }
    return nullptr;
}

// The current version of `d` (which must be watched), tracking it from now
// on; 0 when there is no room to track it.
uint64_t dict_version(PyObject *d) {
    if (DictVersion *e = version_entry(d))
        return e->ver;
    unsigned h = version_home(d);
    for (int i = 0; i < kVersionProbe; ++i) {
        DictVersion &e = g_dict_version[(h + i) % kVersionSlots];
        if (!e.dict || e.dict == kGone) {
            e = DictVersion{d, ++g_version_source};
            return e.ver;
        }
    }
    return 0;
}

int on_dict_event(PyDict_WatchEvent event, PyObject *dict, PyObject *, PyObject *) {
    ++g_dict_changes;
    if (DictVersion *e = version_entry(dict)) {
        if (event == PyDict_EVENT_DEALLOCATED)
            e->dict = kGone;
        else
            e->ver = ++g_version_source;
    }
    if (event == PyDict_EVENT_ADDED || event == PyDict_EVENT_CLONED || event == PyDict_EVENT_DEALLOCATED)
        ++g_key_additions;
    return 0;
}

int add_dict_watcher() {
    int id = PyDict_AddWatcher(on_dict_event);
    if (id < 0)
        PyErr_Clear();
    return id;
}

// Whether the record of the last full step and field checks still holds for
// (act, ad): no dictionary they read (`ad`, the bindings module's `libd`, and
// `idd`, `inp`'s own, when optional ports are absent; all watched) changed,
// nor any class they depend on, nor DT_step's call attributes (which no
// dictionary holds).
bool checked_fresh(const Plan::Checked &c, TwinView *v, PyObject *act, PyObject *ad, PyObject *libd, PyObject *idd) {
    if (!c.ok || c.ad != ad || c.libd != libd || c.idd != idd)
        return false;
    DictVersion *ae = version_entry(ad), *le = version_entry(libd);
    if (!ae || ae->ver != c.ad_ver || !le || le->ver != c.lib_ver)
        return false;
    if (idd) {
        DictVersion *ie = version_entry(idd);
        if (!ie || ie->ver != c.idd_ver)
            return false;
    }
    if (Py_TYPE(act) != c.owner || c.owner != v->owner_type || c.owner->tp_version_tag != c.owner_tag)
        return false;
    for (const auto &kv : v->groups) {
        const twin::GroupView &g = kv.second;
        if (Py_TYPE(g.obj.ptr()) != g.type || g.type->tp_version_tag != g.type_tag)
            return false;
    }
    return PyModule_CheckExact(v->lib.ptr()) && v->call_unchanged();
}

// `v->step_valid(act, ad, caches)` before a tick, taken from the record when
// it holds; a full check that passes (the field checks too) is recorded.
// `libd` is nullptr when the dictionaries are not watched: no record then.
bool step_checks(Plan *plan, TwinView *v, PyObject *act, PyObject *ad, PyObject *libd, PyObject *idd,
                 double *caches) {
    Plan::Checked &c = plan->checked;
    if (libd && checked_fresh(c, v, act, ad, libd, idd)) {
        std::copy(c.caches, c.caches + 3, caches);
        return true;
    }
    c.ok = false;
    uint64_t av = libd ? dict_version(ad) : 0, lv = libd ? dict_version(libd) : 0;
    uint64_t iv = libd && idd ? dict_version(idd) : 1;
    if (!v->step_valid(act, ad, caches))
        return false;
    if (av && lv && iv && v->fields_valid(act, ad) && v->owner_type->tp_version_tag != 0) {
        c.ad = ad;
        c.libd = libd;
        c.idd = idd;
        c.ad_ver = av;
        c.lib_ver = lv;
        c.idd_ver = idd ? iv : 0;
        c.owner = v->owner_type;
        c.owner_tag = v->owner_type->tp_version_tag;
        std::copy(caches, caches + 3, c.caches);
        c.ok = true;
    }
    return true;
}

// `v->fields_valid(act, ad)` after a tick's twin step, likewise.
bool fields_checked(Plan *plan, TwinView *v, PyObject *act, PyObject *ad, PyObject *libd, PyObject *idd) {
    return (libd && checked_fresh(plan->checked, v, act, ad, libd, idd)) || v->fields_valid(act, ad);
}

// Where an object keeps its instance dictionary (a managed or a fixed slot);
// nullptr when it has none.  The dictionary has been made already.
PyObject **dict_slot(PyObject *o) {
    PyTypeObject *t = Py_TYPE(o);
    if (!PyType_HasFeature(t, Py_TPFLAGS_MANAGED_DICT) && t->tp_dictoffset == 0)
        return nullptr;
    PyObject **p = _PyObject_GetDictPtr(o);
    if (!p)
        PyErr_Clear();
    return p;
}

struct Watch {
    bool on = false;
    uint64_t dict_changes = 0, storage = 0, mutations = 0;
    PyObject **self_slot = nullptr, **act_slot = nullptr;
    PyObject *sd = nullptr, *ad = nullptr;
    // With optional input ports absent from `inp`, its own dictionary (where
    // such a port could appear as a plain attribute) is watched too.
    PyObject **inp_slot = nullptr;
    PyObject *idd = nullptr;
    int n_types = 0;
    PyTypeObject *types[16];
    unsigned int tags[16];
    PyObject *owners[16]; // the object of that class (nullptr: none in particular)
};

struct Segment {
    PyObject *self, *sd;          // the actuator and its dict (borrowed / owned by caller)
    PyObject *act, *ad;           // the twin and its dict
    TwinView *v;
    Plan *plan;
    PyObject *log;
    tel::Column *cols[65];
    double time_step, time_start;
    double setpoint, load;
    long long count;
    // configured items: member index per entry, and the distinct ones in order
    int distinct[48];
    double values[48];            // per distinct item, after the last tick
    int n_distinct = 0;
    // The tick count, snapshot and `feedback` as this run last left them in
    // the actuator's dictionary, and whether ticks have run since.
    nb::object seen[3];
    bool dirty = false;
};

} // namespace
// Exported by the interpreter (declared in its internal headers): a dict
// store with the key's hash given.
extern "C" PyAPI_FUNC(int) _PyDict_SetItem_KnownHash(PyObject *mp, PyObject *key, PyObject *item, Py_hash_t hash);
namespace {

// The hashes of the VKL_Items members, which are enumeration members whose
// __hash__ is Python code: computing three of them per tick would cost more
// than the tick.  Kept while the enumeration class is unchanged.
bool item_hashes_current() {
    PyTypeObject *t = Py_TYPE(S->items[0].ptr());
    if (S->item_hash_tag != 0 && t->tp_version_tag == S->item_hash_tag)
        return true;
    for (int k = 0; k < 48; ++k) {
        if (Py_TYPE(S->items[k].ptr()) != t)
            return false;
        Py_hash_t h = PyObject_Hash(S->items[k].ptr());
        if (h == -1)
            raise_pending();
        S->item_hash[k] = h;
    }
    // Hashing ran Python code, which may have changed the class meanwhile:
    // keep the hashes only under a tag taken now.
    S->item_hash_tag = has_version_tag(t) ? t->tp_version_tag : 0;
    return S->item_hash_tag != 0;
}

// Bring the Python-visible state up to the last finished tick.  A value that
// is no longer the one this run left there was set by code that ran during a
// twin's step, after that tick: it stands, as it would on the generic road.
void materialize(Segment &s) {
    s.dirty = false;
    PyObject *keys[3] = {S->n_count, S->n_latest, S->n_feedback};
    auto put = [&](int k, nb::object v) {
        if (dict_get(s.sd, keys[k]) != s.seen[k].ptr())
            return;
        if (PyDict_SetItem(s.sd, keys[k], v.ptr()) < 0)
            raise_pending();
        s.seen[k] = std::move(v);
    };
    nb::object count = nb::steal(PyLong_FromLongLong(s.count));
    if (!count.is_valid())
        raise_pending();
    put(0, count);
    nb::dict snap;
    bool known = s.n_distinct > 0 && item_hashes_current();
    for (int j = 0; j < s.n_distinct; ++j) {
        int k = s.distinct[j];
        nb::object value = kItems[k].kind == ItemKind::NaN ? S->nan : nb::steal(PyFloat_FromDouble(s.values[j]));
        if (!value.is_valid())
            raise_pending();
        int r = known ? _PyDict_SetItem_KnownHash(snap.ptr(), S->items[k].ptr(), value.ptr(), S->item_hash[k])
                      : PyDict_SetItem(snap.ptr(), S->items[k].ptr(), value.ptr());
        if (r < 0)
            raise_pending();
    }
    nb::object fb = dict_copy(snap);
    put(1, snap);
    put(2, fb);
}

// Python code is about to run inside a twin's step: it sees the state of the
// last finished tick.  (A failure here leaves the state for the end of the
// run to bring up to date, and raises there.)
void materialize_before_python(void *ctx) {
    auto &s = *(Segment *) ctx;
    if (!s.dirty)
        return;
    try {
        materialize(s);
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("bringing the simulated actuator's state up to date");
        s.dirty = true;
    } catch (std::exception &) {
        PyErr_Clear();
        s.dirty = true;
    }
}

// The end of a run of `done` native ticks: the Python-visible state brought
// up to date, the tick that left the native road finished on the generic
// one, the callback that is due called.  Returns the ticks run.
long long end_segment(Segment &s, nb::handle self_h, long long done, bool due, bool finish_generic) {
    if (finish_generic) {
        // The tick's step ran natively; its row, count and snapshot follow
        // the generic road.
        if (s.dirty)
            materialize(s);
        generic_after_step(self_h);
        return done + 1;
    }
    if (done == 0)
        return 0;
    if (s.dirty)
        materialize(s);
    if (due) {
        // Read again: materialising may have run arbitrary code (collection).
        nb::object cb_now = nb::borrow(dict_get(s.sd, S->n_callback));
        nb::object addr = nb::borrow(dict_get(s.sd, S->n_address));
        if (cb_now.is_valid() && addr.is_valid()) {
            nb::object payload = dict_copy(nb::borrow(dict_get(s.sd, S->n_latest)));
            emit_callback(cb_now, addr, payload);
        }
    } else if ((done & 0xFFFF) == 0) {
        if (PyErr_CheckSignals() < 0)
            raise_pending();
    }
    return done;
}

// Run up to `remaining` ticks natively.  Returns the number of ticks run; 0
// when the native road does not apply now (the caller then runs a generic
// tick).  The Python-visible state is current when it returns or raises.
long long native_segment(nb::handle self_h, long long remaining) {
    PyObject *self = self_h.ptr();
    if (!self_type_ok(Py_TYPE(self)))
        return 0;
    Ref sdr(instance_dict(self));
    PyObject *sd = sdr.p;
    if (!sd || !PyDict_CheckExact(sd))
        return 0;
    if (!no_method_shadowed(sd))
        return 0;
    PyObject *act = dict_get(sd, S->n_actuator);
    if (!act || !engine_type_ok(Py_TYPE(act)))
        return 0;
    Ref actr(Py_NewRef(act));
    Ref adr(instance_dict(act));
    PyObject *ad = adr.p;
    if (!ad || dict_get(ad, S->n_step))
        return 0;
    PyObject *view_obj = dict_get(ad, S->n_native_view);
    if (!view_obj || Py_TYPE(view_obj) != S->view_type)
        return 0;
    TwinView *v = nb::inst_ptr<TwinView>(view_obj);
    if (!v)
        return 0; // validity is checked before every tick, the first included
    nb::object view_hold = nb::borrow(view_obj); // the view (its structures, its plan) outlives the run
    std::shared_ptr<Plan> plan_hold = plan_for(view_obj, v);
    Plan *plan = plan_hold.get();
    if (!plan->rows_ok)
        return 0;
    PyObject *log = dict_get(sd, S->n_telemetry_log);
    if (!log || !log_type_ok(Py_TYPE(log)))
        return 0;
    Ref logr(Py_NewRef(log));
    // The actuator's and the log's classes as checked (a class can be
    // swapped from C, `obj.__class__ = Sub`, with no dictionary changed).
    PyTypeObject *self_t = Py_TYPE(self), *log_t = Py_TYPE(log);
    const unsigned int self_tag = self_t->tp_version_tag, log_tag = log_t->tp_version_tag;
    auto own_classes_unchanged = [&]() {
        return Py_TYPE(self) == self_t && self_t->tp_version_tag == self_tag && Py_TYPE(log) == log_t &&
               log_t->tp_version_tag == log_tag;
    };
    Segment s{};
    s.self = self;
    s.sd = sd;
    s.act = act;
    s.ad = ad;
    s.v = v;
    s.plan = plan;
    nb::object keep[kLogFields]; // the series stay alive whatever runs during a tick
    for (int i = 0; i < 65; ++i) {
        PyObject *o = log_slot(log, i);
        if (!o || !is_series(o) || !((SeriesObject *) o)->col)
            return 0;
        auto *so = (SeriesObject *) o;
        if (so->kind != plan->kind[i]) {
            // An empty series takes the kind of the values about to come.
            if (so->col->size() != 0 || so->col->attached())
                return 0;
            series_set_kind(so, plan->kind[i]);
        }
        keep[i] = nb::borrow(o);
        s.cols[i] = so->col;
    }
    PyObject *ts = log_slot(log, 65), *t0 = log_slot(log, 66);
    if (!ts || !t0 || !PyFloat_CheckExact(ts) || !PyFloat_CheckExact(t0))
        return 0;
    keep[65] = nb::borrow(ts);
    keep[66] = nb::borrow(t0);
    s.log = log;
    s.time_step = PyFloat_AS_DOUBLE(ts);
    s.time_start = PyFloat_AS_DOUBLE(t0);
    if (!plan->inp_missing.empty()) {
        const auto &inp = v->groups.find("inp")->second;
        Ref idr(instance_dict(inp.obj.ptr()));
        if (idr.p)
            for (PyObject *n : plan->inp_missing)
                if (dict_get(idr.p, n))
                    return 0;
    }
    PyObject *sp = dict_get(sd, S->n_setpoint), *ld = dict_get(sd, S->n_load_value);
    if (!sp || !ld || !PyFloat_CheckExact(sp) || !PyFloat_CheckExact(ld))
        return 0;
    s.setpoint = PyFloat_AS_DOUBLE(sp);
    s.load = PyFloat_AS_DOUBLE(ld);
    PyObject *cnt = dict_get(sd, S->n_count);
    if (!cnt || !PyLong_CheckExact(cnt))
        return 0;
    {
        int overflow = 0;
        s.count = PyLong_AsLongLongAndOverflow(cnt, &overflow);
        if (overflow || (s.count == -1 && PyErr_Occurred()) || s.count > (1LL << 62)) {
            PyErr_Clear();
            return 0;
        }
    }
    s.seen[0] = nb::borrow(cnt);
    s.seen[1] = nb::borrow(dict_get(sd, S->n_latest));
    s.seen[2] = nb::borrow(dict_get(sd, S->n_feedback));
    PyObject *items = dict_get(sd, S->n_items);
    if (!items || !PyList_CheckExact(items))
        return 0;
    {
        bool seen[48] = {};
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
            PyObject *it = PyList_GET_ITEM(items, i);
            int k = -1;
            for (int m = 0; m < 48; ++m)
                if (S->items[m].ptr() == it) {
                    k = m;
                    break;
                }
            if (k < 0 || !plan->items[k].ok)
                return 0;
            if (!seen[k]) {
                seen[k] = true;
                s.distinct[s.n_distinct++] = k;
            }
        }
    }
    bool have_items = PyList_GET_SIZE(items) > 0;
    // The list itself may be changed in place from C without a frame: its
    // members as configured now are compared after every step.
    Ref itemsr(Py_NewRef(items));
    auto item_slots = [items]() { return ((PyListObject *) items)->ob_item; };
    // A list of a few items (the usual case) is copied without an allocation:
    // a one-tick run would pay for it as much as for its tick.
    const Py_ssize_t n_items = PyList_GET_SIZE(items);
    PyObject *item_buf[16];
    std::vector<PyObject *> item_big;
    PyObject **item_copy = item_buf;
    if (n_items > 16) {
        item_big.assign(item_slots(), item_slots() + n_items);
        item_copy = item_big.data();
    } else if (n_items > 0) {
        std::copy(item_slots(), item_slots() + n_items, item_buf);
    }
    auto items_unchanged = [&]() {
        return PyList_GET_SIZE(items) == n_items && std::equal(item_copy, item_copy + n_items, item_slots());
    };
    std::fill(s.values, s.values + 48, 0.0);
    PyObject *cb = dict_get(sd, S->n_callback);
    PyObject *divo = dict_get(sd, S->n_divider);
    if (!cb || !divo || !PyLong_CheckExact(divo) || !dict_get(sd, S->n_address))
        return 0;
    long long div;
    {
        int overflow = 0;
        div = PyLong_AsLongLongAndOverflow(divo, &overflow);
        if (overflow || (div == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return 0;
        }
    }
    bool may_emit = cb != Py_None && have_items && div > 0;
    double cache[3] = {0, 0, 0};

    const FieldRef *row = plan->row;
    // Each tick's row goes straight into the columns through one write
    // cursor per column (see tel::Column's row writers), so the log is
    // complete after every tick; room for a batch of rows is made before its
    // ticks run.
    constexpr long long kBatch = 64;
    unsigned char *cur[65];
    for (int c = 0; c < 65; ++c)
        if (s.cols[c]->attached())
            return 0; // a run of this log is in progress further up (a twin calling back)
    struct Writers {
        tel::Column **cols;
        nb::object *keep;
        bool on = false;
        // Columns still owned by their series are let go; a series that
        // gave its column up meanwhile has freed it.
        void release() {
            if (!on)
                return;
            on = false;
            for (int c = 0; c < 65; ++c)
                if (((SeriesObject *) keep[c].ptr())->col == cols[c])
                    cols[c]->detach();
        }
        ~Writers() { release(); }
    } writers{s.cols, keep};
    long long done = 0;
    bool due = false, stop = false, finish_generic = false;
    auto slots_unchanged = [&]() {
        for (int i = 0; i < kLogFields; ++i)
            if (log_slot(log, i) != keep[i].ptr())
                return false;
        return true;
    };
    auto series_unchanged = [&]() {
        if (!slots_unchanged())
            return false;
        for (int i = 0; i < 65; ++i)
            if (((SeriesObject *) keep[i].ptr())->col != s.cols[i] || s.cols[i]->kind() != plan->kind[i])
                return false;
        return true;
    };
    auto log_unchanged = [&]() { return dict_get(sd, S->n_telemetry_log) == log && series_unchanged(); };
    auto make_room = [&](long long n) {
        for (int c = 0; c < 65; ++c) {
            s.cols[c]->attach(&cur[c]);
            s.cols[c]->ensure(s.cols[c]->size() + (size_t) n);
        }
        writers.on = true;
    };

    // The row of one tick as the plan reads it from the fields, for columns
    // written through their own appends.
    auto append_row = [&]() {
        s.cols[kTimeIndex]->push_double(tick::row_time(s.time_step, s.cols[kTfbIndex]->size(), s.time_start));
        for (int j = 0; j < plan->n_dbl; ++j) {
            double x;
            std::memcpy(&x, plan->dbl_src[j], 8);
            s.cols[plan->dbl_col[j]]->push_double(x);
        }
        for (int j = 0; j < plan->n_other; ++j) {
            int i = plan->other_col[j];
            tel::Column *c = s.cols[i];
            if (plan->row_nan[i])
                c->push_double(kNaN);
            else if (plan->kind[i] == tel::Kind::Float)
                c->push_double(twin::load(row[i]));
            else if (plan->kind[i] == tel::Kind::Int)
                c->push_int(tick::load_int(row[i]));
            else
                c->push_bool(tick::load_bool(row[i]));
        }
    };
    // One twin step natively: what the engine's `step(ref, load)` does.
    auto step_twin = [&]() {
        twin::store(v->in_reference, s.setpoint);
        twin::store(v->in_load, s.load);
        for (int i = 0; i < 3; ++i)
            if (v->in_opt[i])
                twin::store(v->in_opt[i], cache[i]);
        v->step_fn(v->model);
    };
    auto u64_fit = [&]() {
        for (int j = 0; j < plan->n_u64; ++j)
            if (!tick::u64_fits(plan->u64[j]))
                return false;
        return true;
    };
    // A tick's row is in: count it and take its item values. True when its
    // feedback is due.
    auto tick_done = [&]() {
        ++s.count;
        ++done;
        s.dirty = true;
        for (int j = 0; j < s.n_distinct; ++j)
            s.values[j] = item_value(*plan, s.distinct[j]);
        return may_emit && s.count % div == 0;
    };

    // Changes made from C (no Python frame) to the dictionaries read are
    // seen on every road through the tick where the watcher is available.
    bool watched = false;
    Ref inp_dict(nullptr);
    PyObject *inp_obj = nullptr;
    PyObject *libd = nullptr;
    if (S->dict_watcher >= 0) {
        libd = PyModule_CheckExact(v->lib.ptr()) ? PyModule_GetDict(v->lib.ptr()) : nullptr;
        watched = pyact::make_stores_notify(self, sd) && pyact::make_stores_notify(act, ad) && libd &&
                  PyDict_Watch(S->dict_watcher, sd) == 0 && PyDict_Watch(S->dict_watcher, ad) == 0 &&
                  PyDict_Watch(S->dict_watcher, libd) == 0;
        // With optional input ports absent from `inp`, its own dictionary
        // (where such a port could appear as a plain attribute) too.
        if (watched && (!plan->inp_missing.empty() || v->in_opt_missing_any)) {
            inp_obj = v->groups.find("inp")->second.obj.ptr();
            inp_dict.p = instance_dict(inp_obj);
            watched = inp_dict.p && PyDict_CheckExact(inp_dict.p) && pyact::make_stores_notify(inp_obj, inp_dict.p) &&
                      PyDict_Watch(S->dict_watcher, inp_dict.p) == 0;
        }
        if (!watched)
            PyErr_Clear();
        else
            note_watched(sd);
    }
    // A short run (a caller stepping in lockstep, one tick per call) appends
    // its rows through the columns' own appends and makes the full checks
    // around each twin step: setting up write cursors and the change watch
    // would cost more than the ticks.
    constexpr long long kShortRun = 4;
    if (remaining <= kShortRun) {
        // The step and field checks are taken from the record of the last
        // full ones while the dictionaries they read are watched.
        PyObject *watched_libd = watched ? libd : nullptr;
        PyObject *watched_idd = watched ? inp_dict.p : nullptr;
        pyact::FrameCount counting(materialize_before_python, &s); // closed before anything of ours may run Python
        try {
            while (done < remaining) {
                // The first tick's actuator, view, setpoint and load were
                // read just above, with nothing run since.
                if (done > 0 &&
                    (dict_get(sd, S->n_actuator) != act || dict_get(ad, S->n_native_view) != view_obj))
                    break;
                if (!step_checks(plan, v, act, ad, watched_libd, watched_idd, cache))
                    break;
                if (done > 0) {
                    PyObject *spo = dict_get(sd, S->n_setpoint), *ldo = dict_get(sd, S->n_load_value);
                    if (!spo || !ldo || !PyFloat_CheckExact(spo) || !PyFloat_CheckExact(ldo))
                        break;
                    s.setpoint = PyFloat_AS_DOUBLE(spo);
                    s.load = PyFloat_AS_DOUBLE(ldo);
                }
                // A series changes its column or kind only along with the
                // storage generation: with that unchanged, its slots suffice.
                uint64_t storage = tel::storage_generation;
                uint64_t frames_before = pyact::frames, dicts_before = g_dict_changes;
                step_twin();
                // Python code run by the step (or, uncounted, possibly run),
                // or a change from C to what the tick reads, may have
                // changed anything: the generic road takes over.
                if (!counting.active() || pyact::frames != frames_before ||
                    (watched && g_dict_changes != dicts_before) || !items_unchanged()) {
                    finish_generic = true;
                    break;
                }
                bool log_ok = dict_get(sd, S->n_telemetry_log) == log &&
                              (tel::storage_generation == storage ? slots_unchanged() : series_unchanged());
                if (!fields_checked(plan, v, act, ad, watched_libd, watched_idd) ||
                    dict_get(sd, S->n_actuator) != act || !log_ok ||
                    !own_classes_unchanged() || !u64_fit()) {
                    finish_generic = true;
                    break;
                }
                append_row();
                if (tick_done()) {
                    due = true;
                    break;
                }
            }
        } catch (std::bad_alloc &) {
            counting.close();
            g_native_ticks += (uint64_t) done;
            if (s.dirty)
                materialize(s);
            PyErr_NoMemory();
            raise_pending();
        }
        counting.close();
        g_native_ticks += (uint64_t) done;
        return end_segment(s, self_h, done, due, finish_generic);
    }

    // The cheap test (see Watch) is used when every object it relies on
    // allows it; otherwise every tick is checked in full.
    Watch w;
    PyObject *slot_copy[kLogFields];
    if (watched && S->log_slots_contiguous) {
        w.self_slot = dict_slot(self);
        w.act_slot = dict_slot(act);
        w.on = w.self_slot && w.act_slot && *w.self_slot == sd && *w.act_slot == ad;
        if (w.on && inp_obj) {
            w.idd = inp_dict.p;
            w.inp_slot = dict_slot(inp_obj);
            w.on = w.inp_slot && *w.inp_slot == w.idd;
        }
        w.sd = sd;
        w.ad = ad;
        auto add = [&](PyTypeObject *t, PyObject *owner) {
            if (w.n_types < 16 && has_version_tag(t)) {
                w.owners[w.n_types] = owner;
                w.types[w.n_types++] = t;
            } else {
                w.on = false;
            }
        };
        add(Py_TYPE(self), self);
        add(Py_TYPE(act), act);
        add(Py_TYPE(log), log);
        add(v->owner_type, nullptr);
        add(Py_TYPE(v->step_obj.ptr()), v->step_obj.ptr());
        for (const auto &kv : v->groups)
            add(kv.second.type, kv.second.obj.ptr());
    }
    // The log's slots as checked above (each one is the series kept).
    PyObject **log_slots = (PyObject **) ((char *) log + S->log_slots_begin);
    std::memcpy(slot_copy, log_slots, sizeof slot_copy);
    // Take the state the full checks found (or that only our own code has
    // changed since); off for the rest of the run if a class has no tag.
    auto arm = [&]() {
        w.dict_changes = g_dict_changes;
        w.storage = tel::storage_generation;
        w.mutations = tel::mutations;
        for (int i = 0; i < w.n_types; ++i) {
            w.tags[i] = w.types[i]->tp_version_tag;
            if (w.tags[i] == 0)
                w.on = false;
        }
        return w.on;
    };
    // A column given up by its series bumps the storage generation, so the
    // series' identities are enough here.
    auto still_armed = [&]() {
        if (g_dict_changes != w.dict_changes || tel::storage_generation != w.storage ||
            tel::mutations != w.mutations || *w.self_slot != w.sd || *w.act_slot != w.ad ||
            (w.inp_slot && *w.inp_slot != w.idd))
            return false;
        for (int i = 0; i < w.n_types; ++i)
            if (w.types[i]->tp_version_tag != w.tags[i] || (w.owners[i] && Py_TYPE(w.owners[i]) != w.types[i]))
                return false;
        return std::memcmp(log_slots, slot_copy, sizeof slot_copy) == 0 && v->call_unchanged() && items_unchanged();
    };

    bool checked = false; // the full checks hold for the coming step
    pyact::FrameCount counting(materialize_before_python, &s); // closed before anything of ours may run Python
    try {
        while (done < remaining && !stop) {
            long long batch = std::min(kBatch, remaining - done);
            make_room(batch);
            if (w.on && checked)
                checked = arm(); // making room is ours: nothing else ran
            for (long long t = 0; t < batch; ++t) {
                if (!checked) {
                    // Before the step: the twin may be stepped natively, with
                    // the actuator's current reference and load.
                    if (dict_get(sd, S->n_actuator) != act || dict_get(ad, S->n_native_view) != view_obj ||
                        !v->step_valid(act, ad, cache)) {
                        stop = true;
                        break;
                    }
                    PyObject *spo = dict_get(sd, S->n_setpoint), *ldo = dict_get(sd, S->n_load_value);
                    if (!spo || !ldo || !PyFloat_CheckExact(spo) || !PyFloat_CheckExact(ldo)) {
                        stop = true;
                        break;
                    }
                    s.setpoint = PyFloat_AS_DOUBLE(spo);
                    s.load = PyFloat_AS_DOUBLE(ldo);
                    // What the row will be read through holds now too;
                    // from here on only a change can break it.
                    checked = w.on && v->fields_valid(act, ad) && log_unchanged() && arm();
                }
                uint64_t frames_before = pyact::frames, dicts_before = g_dict_changes;
                step_twin();
                // After the step: the row and the snapshot are read through
                // the field view, into the same log as before.  Python code
                // run by the step (or, uncounted, possibly run) may have
                // changed anything: the generic road takes over.
                if (!counting.active() || pyact::frames != frames_before) {
                    finish_generic = stop = true;
                    break;
                }
                if (checked) {
                    if (!still_armed()) {
                        // Something changed while the twin stepped: this
                        // tick's row, count and snapshot go the generic way.
                        finish_generic = stop = true;
                        break;
                    }
                } else {
                    uint64_t storage = tel::storage_generation, mutations = tel::mutations;
                    if ((watched && g_dict_changes != dicts_before) || !items_unchanged() || !v->fields_valid(act, ad) ||
                        dict_get(sd, S->n_actuator) != act || !log_unchanged()) {
                        finish_generic = stop = true;
                        break;
                    }
                    if (tel::storage_generation != storage || tel::mutations != mutations)
                        make_room(batch - t);
                }
                if (!u64_fit()) {
                    finish_generic = stop = true;
                    break;
                }
                double tm = tick::row_time(s.time_step, s.cols[kTfbIndex]->size(), s.time_start);
                tick::put8(cur[kTimeIndex], &tm);
                for (int j = 0; j < plan->n_dbl; ++j)
                    tick::put8(cur[plan->dbl_col[j]], plan->dbl_src[j]);
                for (int j = 0; j < plan->n_other; ++j) {
                    int i = plan->other_col[j];
                    if (plan->row_nan[i]) {
                        tick::put8(cur[i], &kNaN);
                        continue;
                    }
                    const FieldRef &f = row[i];
                    switch (plan->kind[i]) {
                    case tel::Kind::Float: {
                        double x = twin::load(f);
                        tick::put8(cur[i], &x);
                        break;
                    }
                    case tel::Kind::Int: {
                        int64_t x = tick::load_int(f);
                        tick::put8(cur[i], &x);
                        break;
                    }
                    case tel::Kind::Bool: *cur[i]++ = tick::load_bool(f) ? 1 : 0; break;
                    }
                }
                if (tick_done()) {
                    due = stop = true;
                    break;
                }
                if ((done & 0xFFFF) == 0) {
                    stop = true; // let signal handlers run
                    break;
                }
            }
        }
        counting.close();
        writers.release();
        g_native_ticks += (uint64_t) done;
    } catch (std::bad_alloc &) {
        counting.close();
        writers.release();
        g_native_ticks += (uint64_t) done;
        if (s.dirty)
            materialize(s);
        PyErr_NoMemory();
        raise_pending();
    }
    return end_segment(s, self_h, done, due, finish_generic);
}

// ============================================================================
// Parameters
// ============================================================================

nb::object param_member(nb::handle self, const char *name) {
    return nb::getattr(self, "VKL_Parameters").attr(name);
}

void set_filter_cutoff(nb::handle self, nb::handle speed_cutoff, nb::handle current_cutoff) {
    nb::object sc = arg_float_or_none(speed_cutoff, "speed_cutoff");
    nb::object cc = arg_float_or_none(current_cutoff, "current_cutoff");
    nb::object tracked = nb::getattr(self, "_tracked_numeric_values");
    if (!sc.is_none())
        tracked[param_member(self, "VKL_PARAM_SPEED_CUTOFF")] = sc;
    if (!cc.is_none())
        tracked[param_member(self, "VKL_PARAM_CURRENT_CUTOFF")] = cc;
    nb::object twin = nb::getattr(self, "actuator");
    if (!twin.is_none() && has_attr(twin, "set_filter_cutoffs"))
        twin.attr("set_filter_cutoffs")(nb::arg("speed_cutoff") = sc, nb::arg("current_cutoff") = cc);
}

nb::object get_filter_cutoff(nb::handle self, nb::handle key) {
    nb::str k = arg_str(key, "key");
    nb::object twin = nb::getattr(self, "actuator");
    if (!twin.is_none() && has_attr(twin, "get_filter_cutoffs")) {
        nb::object d = twin.attr("get_filter_cutoffs")();
        nb::object value = d.attr("get")(k, S->nan);
        if (!truth(nb::getattr(self, "_is_nan")(value)))
            return to_float(value);
    }
    const char *which = eq(k, nb::str("speed_cutoff")) ? "VKL_PARAM_SPEED_CUTOFF" : "VKL_PARAM_CURRENT_CUTOFF";
    return to_float(nb::getattr(self, "_tracked_numeric_values")[param_member(self, which)]);
}

void set_feedforward_gain(nb::handle self, nb::handle value) {
    nb::object v = nb::float_(arg_float(value));
    nb::getattr(self, "_tracked_numeric_values")[param_member(self, "FF_GAIN")] = v;
    nb::object twin = nb::getattr(self, "actuator");
    if (!twin.is_none() && has_attr(twin, "set_feedforward_gain"))
        twin.attr("set_feedforward_gain")(v);
}

nb::object get_feedforward_gain(nb::handle self) {
    nb::object twin = nb::getattr(self, "actuator");
    if (!twin.is_none() && has_attr(twin, "get_feedforward_gain"))
        return to_float(twin.attr("get_feedforward_gain")());
    return to_float(nb::getattr(self, "_tracked_numeric_values")[param_member(self, "FF_GAIN")]);
}

void set_parameter_value(nb::handle self, nb::handle parameter, nb::handle value) {
    double v = arg_float(value);
    nb::object fv = nb::float_(v);
    nb::object paths = nb::getattr(self, "_PARAMETER_PATHS");
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
        nb::setattr(self, "_setpoint", fv);
    } else if (is("MODE")) {
        nb::getattr(self, "change_mode")(nb::getattr(self, "Mode")(to_int(fv)));
    } else if (is("TORQUE_PERFORMANCE")) {
        nb::setattr(self, "_torque_performance", nb::getattr(self, "TorquePerformance")(to_int(fv)));
    } else if (is("SPEED_PERFORMANCE")) {
        nb::setattr(self, "_speed_performance", nb::getattr(self, "SpeedPerformance")(to_int(fv)));
    } else if (is("VKL_ADDRESS")) {
        nb::getattr(self, "change_address")(to_int(fv));
    } else if (is("CAN_HIGH_SPEED")) {
        nb::getattr(self, "set_can_high_speed")(nb::bool_(v != 0.0));
    } else {
        nb::getattr(self, "_tracked_numeric_values")[parameter] = fv;
    }
}

nb::object get_parameter_value(nb::handle self, nb::handle parameter) {
    nb::object paths = nb::getattr(self, "_PARAMETER_PATHS");
    if (contains(paths, parameter))
        return nb::getattr(self, "_read_path")(paths[parameter]);
    auto is = [&](const char *name) { return eq(parameter, param_member(self, name)); };
    if (is("FF_GAIN"))
        return self_call(self, "_get_feedforward_gain");
    if (is("VKL_PARAM_SPEED_CUTOFF"))
        return nb::getattr(self, "_get_filter_cutoff")(nb::str("speed_cutoff"));
    if (is("VKL_PARAM_CURRENT_CUTOFF"))
        return nb::getattr(self, "_get_filter_cutoff")(nb::str("current_cutoff"));
    if (is("MODE"))
        return to_float(nb::getattr(self, "_mode").attr("value"));
    if (is("SETPOINT"))
        return to_float(nb::getattr(self, "_setpoint"));
    if (is("TORQUE_PERFORMANCE"))
        return to_float(nb::getattr(self, "_torque_performance").attr("value"));
    if (is("SPEED_PERFORMANCE"))
        return to_float(nb::getattr(self, "_speed_performance").attr("value"));
    if (is("VKL_ADDRESS")) {
        nb::object a = nb::getattr(self, "_address");
        return a.is_none() ? S->nan : to_float(a);
    }
    nb::object tracked = nb::getattr(self, "_tracked_numeric_values");
    if (contains(tracked, parameter))
        return to_float(tracked[parameter]);
    return S->nan;
}

nb::object float_field(nb::handle group, const char *name) { return to_float(nb::getattr(group, name)); }

nb::object optional_field(nb::handle group, const char *name) {
    return has_attr(group, name) ? float_field(group, name) : S->nan;
}

nb::object get_all_parameters(nb::handle self) {
    nb::object twin = self_call(self, "_require_actuator");
    nb::dict out;
    {
        nb::object pid = nb::getattr(twin, "pid");
        nb::dict d;
        d["pos_kp"] = float_field(pid, "pos_Kp");
        d["pos_ki"] = optional_field(pid, "pos_Ki");
        d["pos_kd"] = optional_field(pid, "pos_Kd");
        d["spd_kp"] = float_field(pid, "spd_Kp");
        d["spd_ki"] = float_field(pid, "spd_Ki");
        d["id_kp"] = float_field(pid, "id_Kp");
        d["id_ki"] = float_field(pid, "id_Ki");
        d["ff_gain"] = has_attr(pid, "FF_gain")
                           ? float_field(pid, "FF_gain")
                           : to_float(nb::getattr(self, "_tracked_numeric_values")[param_member(self, "FF_GAIN")]);
        out["pid"] = d;
    }
    {
        nb::object imp = nb::getattr(twin, "imp");
        nb::dict d;
        d["k_stiff"] = float_field(imp, "K_stiff");
        d["k_damp"] = float_field(imp, "K_damp");
        d["t_ff"] = float_field(imp, "T_FF");
        d["j_imp"] = optional_field(imp, "J_imp");
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
        nb::object tracked = nb::getattr(self, "_tracked_numeric_values");
        nb::dict d;
        d["speed_cutoff"] = tracked[param_member(self, "VKL_PARAM_SPEED_CUTOFF")];
        d["current_cutoff"] = tracked[param_member(self, "VKL_PARAM_CURRENT_CUTOFF")];
        out["filter"] = d;
    }
    return out;
}

// ============================================================================
// Modes and setpoints
// ============================================================================

bool given(double v) { return !std::isnan(v); }

void change_mode(nb::handle self, nb::handle mode) {
    nb::setattr(self, "_mode", mode);
    nb::setattr(self, "_current_mode", mode);
    nb::object twin = nb::getattr(self, "actuator");
    if (!twin.is_none() && twin_initialized(twin))
        twin.attr("set_control_type")(nb::getattr(mode, "value"));
}

void change_mode_if_needed(nb::handle self, nb::handle mode) {
    nb::object cur = nb::getattr(self, "_mode");
    PyObject *ne = PyObject_RichCompare(cur.ptr(), mode.ptr(), Py_NE);
    if (!ne)
        raise_pending();
    if (truth(nb::steal(ne)))
        nb::getattr(self, "change_mode")(mode);
}

void mode_and_setpoint(nb::handle self, const char *mode, double setpoint) {
    nb::getattr(self, "_change_mode_if_needed")(nb::getattr(self, "Mode").attr(mode));
    nb::setattr(self, "_setpoint", nb::float_(setpoint));
}

void apply_speed_options(nb::handle self, double ff, double ki, double kp, double tff) {
    if (given(ff))
        nb::getattr(self, "_set_feedforward_gain")(nb::float_(ff));
    if (given(kp) || given(ki)) {
        nb::object twin = self_call(self, "_require_actuator");
        nb::object cur = twin.attr("get_speed_gains")();
        nb::object ckp = cur[0], cki = cur[1];
        twin.attr("set_speed_gains")(given(kp) ? nb::object(nb::float_(kp)) : ckp,
                                     given(ki) ? nb::object(nb::float_(ki)) : cki);
    }
    if (given(tff))
        self_call(self, "_require_actuator").attr("set_torque_feedforward")(nb::float_(tff));
}

// ============================================================================
// Feedback rate
// ============================================================================

void set_feedback_rate(nb::handle self, nb::handle rate) {
    nb::object Rates = nb::getattr(self, "Rates");
    nb::object target;
    int inst = PyObject_IsInstance(rate.ptr(), Rates.ptr());
    if (inst < 0)
        raise_pending();
    if (inst) {
        if (eq(rate, Rates.attr("DISABLED"))) {
            nb::setattr(self, "_feedback_rate_divider", nb::int_(0));
            return;
        }
        nb::object hz = to_float(Rates.attr("RATE_1HZ").attr("value"));
        PyObject *t = PyNumber_TrueDivide(hz.ptr(), nb::getattr(rate, "value").ptr());
        if (!t)
            raise_pending();
        target = nb::steal(t);
    } else if (PyLong_Check(rate.ptr())) {
        nb::object zero = nb::int_(0);
        if (eq(rate, zero)) {
            nb::setattr(self, "_feedback_rate_divider", nb::int_(0));
            return;
        }
        PyObject *lt = PyObject_RichCompare(rate.ptr(), zero.ptr(), Py_LT);
        if (!lt)
            raise_pending();
        if (truth(nb::steal(lt)))
            raise(PyExc_ValueError, "Rate must be non-negative, got " + py_str(to_int(rate)));
        target = to_float(rate);
    } else {
        raise(PyExc_TypeError, std::string("rate must be a Rates enum or int, got ") + tp_name_of(rate));
    }
    nb::object sim = self_call(self, "get_sim_rate_hz");
    PyObject *gt = PyObject_RichCompare(target.ptr(), sim.ptr(), Py_GT);
    if (!gt)
        raise_pending();
    if (truth(nb::steal(gt)))
        raise(PyExc_ValueError, "Rate cannot exceed DTwin simulation rate of " + py_format(sim, "g") + " Hz");
    PyObject *q = PyNumber_TrueDivide(sim.ptr(), target.ptr());
    if (!q)
        raise_pending();
    nb::object r = builtins().attr("round")(nb::steal(q));
    nb::object one = nb::int_(1);
    PyObject *lt = PyObject_RichCompare(r.ptr(), one.ptr(), Py_LT);
    if (!lt)
        raise_pending();
    nb::setattr(self, "_feedback_rate_divider", truth(nb::steal(lt)) ? one : r);
}

// ============================================================================
// Dumps
// ============================================================================

nb::object dump_floats(nb::handle self, const char *group, const char *const *names, int n) {
    nb::object twin = self_call(self, "_require_actuator");
    nb::object g = nb::getattr(twin, group);
    nb::dict d;
    for (int i = 0; i < n; ++i)
        d[names[i]] = float_field(g, names[i]);
    return d;
}

// A read-write property whose setter accepts any value (None included).
template <typename G, typename St>
void add_property(ClassBuilder &cls, const char *name, G &&getter, St &&setter, const char *sig) {
    std::string q = cls.qualname() + "." + name;
    nb::object fget = wrap_function(nb::cpp_function(std::forward<G>(getter), nb::name(name), nb::arg("self")), name,
                                    q, cls.module_name(), nullptr);
    nb::object fset = wrap_function(
        nb::cpp_function(std::forward<St>(setter), nb::name(name), nb::arg("self"), arg("value")), name, q,
        cls.module_name(), nullptr);
    set_signature(fget, sig);
    cls.attr(name, builtins().attr("property")(fget, fset));
}

} // namespace

// ============================================================================
// Module
// ============================================================================

VKL_MODULE(kavrel_actuator_virtual, m) {
    module_init_common();
    nb::object module_name = m.attr("__name__");
    m.doc() = "Simulated Kavrel actuator served by a digital twin, with its telemetry log.";

    S = new State();
    State &s = *S;
    s.g = nb::borrow<nb::dict>(m.attr("__dict__"));

    nb::module_ math = nb::module_::import_("math");
    m.attr("math") = math;
    s.nan = math.attr("nan");
    m.attr("nan") = s.nan;
    m.attr("logging") = nb::module_::import_("logging");
    nb::module_ typing = nb::module_::import_("typing");
    for (const char *n : {"Any", "Callable", "Dict", "List", "Optional", "Union"})
        m.attr(n) = typing.attr(n);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");

    // Siblings: top-level modules first, all three from the package otherwise.
    import_siblings(m, {{"_kavrel_actuator_base", {"KavrelActuatorBase"}},
                        {"_twin_engine", {"ActuatorWrapper", "get_default_dtwin_time_step_s"}},
                        {"_twin_catalog", {"get_actuator_spec", "list_available_dtwin_artifacts", "resolve_dtwin_artifacts"}}});

    s.base_cls = m.attr("KavrelActuatorBase");
    s.engine_cls = m.attr("ActuatorWrapper");
    {
        PyObject *st = _PyType_Lookup(type_of(s.engine_cls), nb::str("step").ptr());
        s.engine_step = nb::borrow(st ? st : Py_None);
    }
    {
        nb::handle vt = nb::type<TwinView>();
        s.view_type = vt.is_valid() ? (PyTypeObject *) vt.ptr() : nullptr;
    }
    nb::object VKL_Items = s.base_cls.attr("VKL_Items");
    for (int k = 0; k < 48; ++k)
        s.items[k] = VKL_Items.attr(kItems[k].member);

    for (int i = 0; i < kLogFields; ++i)
        s.log_names[i] = intern(log_field_name(i));
    for (int i = 0; i < 65; ++i)
        s.series_names[i] = s.log_names[i];
    for (int i = 0; i < 64; ++i) {
        s.series_group[i] = intern(kSeries[i].group);
        s.series_field[i] = intern(kSeries[i].field);
    }
    auto path_obj = [&](const char *path) -> PyObject * {
        if (!path)
            return nullptr;
        std::string p(path);
        size_t dot = p.find('.');
        PyObject *o = intern(path);
        s.path_parts[o] = {intern(p.substr(0, dot).c_str()), intern(p.substr(dot + 1).c_str())};
        return o;
    };
    for (int k = 0; k < 48; ++k) {
        s.item_path[k] = path_obj(kItems[k].path);
        s.item_path2[k] = path_obj(kItems[k].path2);
    }
    for (int i = 0; i < kNumStepMethods; ++i)
        s.n_step_methods[i] = intern(kStepMethods[i]);
    for (int i = 0; i < kNumStepAttrs; ++i)
        s.n_step_attrs[i] = intern(kStepAttrs[i]);
    s.n_step = intern("step");
    s.n_append = intern("_append");
    s.n_native_view = intern("_native_view");
    s.n_connected = intern("_connected");
    s.n_initialized = intern("_initialized");
    s.dict_watcher = add_dict_watcher();
    s.n_time_step = intern("TIME_STEP");
    s.n_time_start = intern("time_start");
    s.n_actuator = intern("actuator");
    s.n_setpoint = intern("_setpoint");
    s.n_load_value = intern("_load_value");
    s.n_telemetry_log = intern("telemetry_log");
    s.n_count = intern("_simulation_step_count");
    s.n_items = intern("_feedback_items");
    s.n_callback = intern("_feedback_callback");
    s.n_divider = intern("_feedback_rate_divider");
    s.n_address = intern("_address");
    s.n_latest = intern("_latest_feedback");
    s.n_feedback = intern("feedback");
    m.def("_native_tick_count", []() { return g_native_ticks; },
          "Internal: ticks run entirely on the native road since the module was loaded.");

    // ---- the series type ----
    {
        std::string tpname = py_str(module_name) + ".TelemetrySeries";
        static std::string keep_name;
        keep_name = tpname;
        static PyType_Spec spec = {keep_name.c_str(), sizeof(SeriesObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                       Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_SEQUENCE,
                                   series_slots};
        PyObject *tp = PyType_FromModuleAndSpec(m.ptr(), &spec, nullptr);
        if (!tp)
            raise_pending();
        g_series_type = (PyTypeObject *) tp; // kept for the life of the process
    }

    // ---- VirtualActuatorLog ----
    {
        ClassBuilder log("VirtualActuatorLog", module_name, nullptr, kLogDoc);
        nb::list slots;
        for (int i = 0; i < kLogFields; ++i)
            slots.append(nb::handle(s.log_names[i]));
        log.attr("__slots__", nb::tuple(slots));
        log.attr("__match_args__", nb::tuple(slots));
        log.attr("__hash__", nb::none());
        log.def("__init__", [](nb::handle self, nb::args args, nb::kwargs kwargs) { log_init(self, args, kwargs); });
        log.def("__eq__", [](nb::handle self, nb::handle other) { return log_eq(self, other); }, arg("other"));
        log.def("__repr__", [](nb::handle self) { return log_repr(self); });
        log.def("_append", [](nb::handle self, nb::handle act) { log_append_generic(self, act); }, arg("act"))
            .signature("(self, act: ActuatorWrapper) -> None");
        s.log_cls = log.finish();
        {
            // The constructor's signature, as for a record whose series
            // default to new empty lists: "name: List[float] = <factory>".
            nb::module_ inspect = nb::module_::import_("inspect");
            nb::object Parameter = inspect.attr("Parameter"), Signature = inspect.attr("Signature");
            nb::object kind = Parameter.attr("POSITIONAL_OR_KEYWORD");
            nb::object factory = nb::module_::import_("dataclasses").attr("_HAS_DEFAULT_FACTORY");
            nb::list params;
            params.append(Parameter("self", kind));
            for (int i = 0; i < kLogFields; ++i) {
                const char *ann = i >= 65 ? "float"
                                  : kSeries[i].kind == tel::Kind::Float ? "List[float]"
                                  : kSeries[i].kind == tel::Kind::Int   ? "List[int]"
                                                                         : "List[bool]";
                nb::object dflt = i < 66 ? factory : nb::object(nb::float_(0.0));
                params.append(Parameter(nb::str(log_field_name(i)), kind, nb::arg("default") = dflt,
                                        nb::arg("annotation") = nb::str(ann)));
            }
            nb::object init = s.log_cls.attr("__init__");
            nb::setattr(init, "__signature__", Signature(params, nb::arg("return_annotation") = nb::str("None")));
        }
        m.attr("VirtualActuatorLog") = s.log_cls;
        PyTypeObject *t = type_of(s.log_cls);
        for (int i = 0; i < kLogFields; ++i) {
            PyObject *d = _PyType_Lookup(t, s.log_names[i]);
            if (!d || Py_TYPE(d) != &PyMemberDescr_Type)
                raise(PyExc_RuntimeError, "telemetry log slots are not member descriptors");
            s.log_off[i] = ((PyMemberDescrObject *) d)->d_member->offset;
            s.log_descr[i] = nb::borrow(d);
        }
        // The slots fill one run of words (in the class's own order).
        Py_ssize_t lo = s.log_off[0], hi = s.log_off[0];
        for (int i = 0; i < kLogFields; ++i) {
            lo = std::min(lo, s.log_off[i]);
            hi = std::max(hi, s.log_off[i]);
        }
        s.log_slots_begin = lo;
        s.log_slots_contiguous = hi - lo == (kLogFields - 1) * (Py_ssize_t) sizeof(PyObject *);
        PyObject *ap = _PyType_Lookup(t, s.n_append);
        s.log_append = nb::borrow(ap);
    }

    // ---- KavrelActuatorVirtual ----
    nb::dict g = s.g;
    ClassBuilder cls(
        "KavrelActuatorVirtual", module_name, nullptr,
        "Control a DTwin-backed virtual Kavrel actuator.\n\n"
        "    The command surface matches the physical actuator, with three differences:\n"
        "    the digital-twin library must be selected before connecting (``set_actuator``\n"
        "    or ``set_actuator_from_paths``), the simulator must be stepped explicitly\n"
        "    (``step``), and the external load must be provided by software.\n"
        "    ");

    {
        nb::dict paths;
        nb::object P = s.base_cls.attr("VKL_Parameters");
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
            tracked[P.attr(r.first)] = std::isnan(r.second) ? s.nan : nb::object(nb::float_(r.second));
        cls.attr("_TRACKED_NUMERIC_DEFAULTS", tracked);
        s.p_ff_gain = P.attr("FF_GAIN");
    }

    // ---- construction and identity ----
    cls.def(
        "__init__",
        [g](nb::handle self, nb::handle adapter_handler, nb::handle address, nb::handle logger) {
            nb::object addr = address.is_none() ? nb::none() : arg_int(address, "address");
            nb::object base = g["KavrelActuatorBase"];
            base.attr("__init__")(self, nb::arg("address") = addr.is_none() ? nb::object(nb::int_(0)) : addr,
                                  nb::arg("logger") = logger);
            nb::setattr(self, "actuator", adapter_handler);
            nb::setattr(self, "address", addr);
            nb::setattr(self, "model", nb::str("virtual"));
            nb::setattr(self, "_configured_model_name", nb::none());
            nb::setattr(self, "_enabled", nb::bool_(false));
            nb::setattr(self, "_mode", nb::getattr(self, "Mode").attr("POSITION"));
            nb::setattr(self, "_setpoint", nb::float_(0.0));
            nb::setattr(self, "_load_value", nb::float_(0.0));
            nb::setattr(self, "_feedback_items", nb::list());
            nb::setattr(self, "_feedback_rate_divider", nb::getattr(self, "Rates").attr("RATE_1KHZ").attr("value"));
            nb::setattr(self, "_latest_feedback", nb::dict());
            nb::setattr(self, "_simulation_step_count", nb::int_(0));
            nb::setattr(self, "_torque_performance", nb::getattr(self, "TorquePerformance").attr("BALANCED"));
            nb::setattr(self, "_speed_performance", nb::getattr(self, "SpeedPerformance").attr("BALANCED"));
            nb::setattr(self, "_tracked_numeric_values", dict_copy(nb::getattr(self, "_TRACKED_NUMERIC_DEFAULTS")));
            nb::setattr(self, "telemetry_log", nb::object(g["VirtualActuatorLog"])());
            nb::object act = nb::getattr(self, "actuator");
            nb::object a = nb::getattr(self, "_address");
            if (!act.is_none() && !a.is_none())
                act.attr("set_address")(a);
        },
        arg("adapter_handler") = nb::none(), arg("address") = nb::none(), arg("logger") = nb::none())
        .signature("(self, adapter_handler: Optional[Any] = None, address: Optional[int] = None, "
                   "logger: Optional[logging.Logger] = None) -> None");

    add_property(
        cls, "address", [](nb::handle self) { return nb::getattr(self, "_address"); },
        [](nb::handle self, nb::handle value) {
            nb::object v = value.is_none() ? nb::none() : arg_int(value, "value");
            nb::setattr(self, "_address", v);
        },
        "(self) -> Optional[int]");
    add_property(
        cls, "model",
        [](nb::handle self) -> nb::object {
            nb::object name = attr_or(self, "_configured_model_name", Py_None);
            if (PyUnicode_Check(name.ptr()) && PyUnicode_GET_LENGTH(name.ptr()) > 0)
                return name;
            nb::object twin = attr_or(self, "actuator", Py_None);
            if (!twin.is_none() && has_attr(twin, "get_motor_model"))
                return nb::str(twin.attr("get_motor_model")());
            return attr_or(self, "_model", nb::str("virtual"));
        },
        [](nb::handle self, nb::handle value) { nb::setattr(self, "_model", arg_str(value, "value")); },
        "(self) -> str");
    cls.def_property_readonly("implementation_version",
                              [](nb::handle self) { return self_call(self, "get_model_version"); })
        .signature("(self) -> str");
    cls.def("get_model_version", [](nb::handle self) -> nb::object {
        nb::object twin = nb::getattr(self, "actuator");
        if (!twin.is_none() && has_attr(twin, "get_dtwin_version"))
            return nb::str(twin.attr("get_dtwin_version")());
        twin = nb::getattr(self, "actuator");
        if (!twin.is_none() && has_attr(twin, "get_submodule_commits"))
            return nb::str(twin.attr("get_submodule_commits")());
        return nb::str("virtual");
    }).signature("(self) -> str");
    cls.def(
        "set_actuator_from_paths",
        [g](nb::handle self, nb::handle library_path, nb::handle bindings_path) {
            nb::object twin = nb::object(g["ActuatorWrapper"])(nb::str(library_path), nb::str(bindings_path));
            nb::setattr(self, "actuator", twin);
            nb::object a = nb::getattr(self, "_address");
            if (!a.is_none())
                nb::getattr(self, "actuator").attr("set_address")(a);
            nb::object step = self_call(self, "get_sim_time_step_s");
            nb::setattr(nb::getattr(self, "telemetry_log"), "TIME_STEP", step);
            return nb::getattr(self, "actuator");
        },
        arg("library_path"), arg("bindings_path"))
        .signature("(self, library_path: Union[str, Path], bindings_path: Union[str, Path]) -> ActuatorWrapper");
    cls.def("get_sim_time_step_s", [](nb::handle self) -> nb::object {
        nb::object twin = nb::getattr(self, "actuator");
        if (!twin.is_none() && has_attr(twin, "get_sim_time_step_s"))
            return to_float(twin.attr("get_sim_time_step_s")());
        return to_float(nb::getattr(nb::getattr(self, "telemetry_log"), "TIME_STEP"));
    }).signature("(self) -> float");
    cls.def("get_sim_rate_hz", [](nb::handle self) -> nb::object {
        nb::object step = self_call(self, "get_sim_time_step_s");
        nb::object zero = nb::float_(0.0);
        PyObject *le = PyObject_RichCompare(step.ptr(), zero.ptr(), Py_LE);
        if (!le)
            raise_pending();
        if (truth(nb::steal(le))) {
            PyObject *r = PyObject_Repr(step.ptr());
            if (!r)
                raise_pending();
            raise(PyExc_RuntimeError, "Invalid DTwin simulation timestep: " + py_str(nb::steal(r)));
        }
        PyObject *q = PyNumber_TrueDivide(nb::float_(1.0).ptr(), step.ptr());
        if (!q)
            raise_pending();
        return nb::steal(q);
    }).signature("(self) -> float");

    // ---- twin guard ----
    cls.def("_require_actuator", [](nb::handle self) { return require_actuator(self); })
        .signature("(self) -> ActuatorWrapper");
    cls.def("_ensure_initialized", [](nb::handle self) { ensure_initialized(self); }).signature("(self) -> None");

    // ---- connection lifecycle ----
    cls.def(
        "connect",
        [](nb::handle self, nb::handle timeout) {
            arg_float(timeout);
            nb::object twin = self_call(self, "_require_actuator");
            nb::object a = nb::getattr(self, "_address");
            if (!a.is_none())
                twin.attr("set_address")(a);
            nb::setattr(self, "_connected", nb::bool_(true));
            return true;
        },
        arg("timeout") = 1.0)
        .signature("(self, timeout: float = 1.0) -> bool");
    cls.def("disconnect", [](nb::handle self) {
        nb::object twin = nb::getattr(self, "actuator");
        if (!twin.is_none() && twin_initialized(twin)) {
            self_call(self, "stop");
            twin.attr("terminate")();
        }
        nb::setattr(self, "_connected", nb::bool_(false));
    }).signature("(self) -> None");
    cls.def(
        "send_ping",
        [](nb::handle self, nb::handle timeout) {
            arg_float(timeout);
            return truth(nb::getattr(self, "_connected")) && !nb::getattr(self, "actuator").is_none();
        },
        arg("timeout") = 1.0)
        .signature("(self, timeout: float = 1.0) -> bool");
    cls.def(
        "change_address",
        [](nb::handle self, nb::handle new_address) {
            nb::object na = arg_int(new_address, "new_address");
            if (eq(na, nb::getattr(self, "_address"))) {
                nb::getattr(self, "logger").attr("warning")("New address is the same as the current address %s", na);
                return;
            }
            if (!truth(nb::getattr(self, "is_valid_actuator_address")(na)))
                raise(PyExc_ValueError,
                      "Invalid new address " + py_str(na) + ". Address must be between 0x10 and 0x3FFE.");
            nb::setattr(self, "_address", na);
            nb::object twin = nb::getattr(self, "actuator");
            if (!twin.is_none())
                twin.attr("set_address")(na);
        },
        arg("new_address"))
        .signature("(self, new_address: int) -> None");
    cls.def("start", [](nb::handle self) {
        self_call(self, "_ensure_initialized");
        nb::setattr(self, "_enabled", nb::bool_(true));
        nb::getattr(self, "actuator").attr("set_enable")(true);
    }).signature("(self) -> None");
    cls.def("stop", [](nb::handle self) {
        nb::object twin = nb::getattr(self, "actuator");
        if (!twin.is_none() && twin_initialized(twin))
            twin.attr("set_enable")(false);
        nb::setattr(self, "_enabled", nb::bool_(false));
    }).signature("(self) -> None");
    cls.def("save_config", [](nb::handle self) {
        log(nb::getattr(self, "logger"), "info", "Virtual actuators do not persist configuration.");
    }).signature("(self) -> None");
    cls.def(
        "blink",
        [](nb::handle self, nb::handle timeout) {
            arg_float(timeout);
            log(nb::getattr(self, "logger"), "info", "Blink is a no-op for the virtual actuator.");
        },
        arg("timeout") = 1.0)
        .signature("(self, timeout: float = 1.0) -> None");

    // ---- modes, setpoints, home ----
    cls.def("change_mode", [](nb::handle self, nb::handle mode) { change_mode(self, mode); }, arg("mode"))
        .signature("(self, mode: KavrelActuatorBase.Mode) -> None");
    cls.def("get_mode", [](nb::handle self) { return nb::getattr(self, "_mode"); })
        .signature("(self) -> KavrelActuatorBase.Mode");
    cls.def(
        "change_setpoint",
        [](nb::handle self, nb::handle setpoint) { nb::setattr(self, "_setpoint", nb::float_(arg_float(setpoint))); },
        arg("setpoint"))
        .signature("(self, setpoint: float) -> None");
    cls.def(
        "change_torque_setpoint",
        [](nb::handle self, nb::handle setpoint, nb::handle id_Kp, nb::handle id_Ki, nb::handle iq_Kp,
           nb::handle iq_Ki) {
            double sp = arg_float(setpoint), dkp = arg_float(id_Kp), dki = arg_float(id_Ki), qkp = arg_float(iq_Kp),
                   qki = arg_float(iq_Ki);
            mode_and_setpoint(self, "TORQUE", sp);
            if (given(dkp) || given(dki)) {
                nb::object twin = self_call(self, "_require_actuator");
                nb::object cur = twin.attr("get_current_gains")();
                nb::object ckp = cur[0], cki = cur[1];
                twin.attr("set_current_gains")(given(dkp) ? nb::object(nb::float_(dkp)) : ckp,
                                               given(dki) ? nb::object(nb::float_(dki)) : cki);
            }
            if ((given(qkp) && given(dkp) && qkp != dkp) || (given(qki) && given(dki) && qki != dki))
                log(nb::getattr(self, "logger"), "warning",
                    "Virtual actuator exposes shared current gains; q-axis gains cannot differ from d-axis gains.");
        },
        arg("setpoint"), arg("id_Kp") = kNaN, arg("id_Ki") = kNaN, arg("iq_Kp") = kNaN, arg("iq_Ki") = kNaN)
        .signature("(self, setpoint: float, id_Kp: float = float('nan'), id_Ki: float = float('nan'), "
                   "iq_Kp: float = float('nan'), iq_Ki: float = float('nan')) -> None");
    cls.def(
        "change_speed_setpoint",
        [](nb::handle self, nb::handle setpoint, nb::handle FF_gain, nb::handle spd_Ki, nb::handle spd_Kp,
           nb::handle ref_ff_torque) {
            double sp = arg_float(setpoint), ff = arg_float(FF_gain), ki = arg_float(spd_Ki), kp = arg_float(spd_Kp),
                   tff = arg_float(ref_ff_torque);
            mode_and_setpoint(self, "SPEED", sp);
            nb::getattr(self, "_apply_speed_setpoint_options")(nb::arg("FF_gain") = ff, nb::arg("spd_Ki") = ki,
                                                               nb::arg("spd_Kp") = kp,
                                                               nb::arg("ref_ff_torque") = tff);
        },
        arg("setpoint"), arg("FF_gain") = kNaN, arg("spd_Ki") = kNaN, arg("spd_Kp") = kNaN,
        arg("ref_ff_torque") = kNaN)
        .signature("(self, setpoint: float, FF_gain: float = float('nan'), spd_Ki: float = float('nan'), "
                   "spd_Kp: float = float('nan'), ref_ff_torque: float = float('nan')) -> None");
    cls.def(
        "change_position_setpoint",
        [](nb::handle self, nb::handle setpoint, nb::handle FF_gain, nb::handle spd_Ki, nb::handle spd_Kp,
           nb::handle pos_Kp, nb::handle ref_ff_torque) {
            double sp = arg_float(setpoint), ff = arg_float(FF_gain), ki = arg_float(spd_Ki), kp = arg_float(spd_Kp),
                   pkp = arg_float(pos_Kp), tff = arg_float(ref_ff_torque);
            mode_and_setpoint(self, "POSITION", sp);
            nb::getattr(self, "_apply_speed_setpoint_options")(nb::arg("FF_gain") = ff, nb::arg("spd_Ki") = ki,
                                                               nb::arg("spd_Kp") = kp,
                                                               nb::arg("ref_ff_torque") = tff);
            if (given(pkp))
                self_call(self, "_require_actuator").attr("set_position_kp")(nb::float_(pkp));
        },
        arg("setpoint"), arg("FF_gain") = kNaN, arg("spd_Ki") = kNaN, arg("spd_Kp") = kNaN, arg("pos_Kp") = kNaN,
        arg("ref_ff_torque") = kNaN)
        .signature("(self, setpoint: float, FF_gain: float = float('nan'), spd_Ki: float = float('nan'), "
                   "spd_Kp: float = float('nan'), pos_Kp: float = float('nan'), "
                   "ref_ff_torque: float = float('nan')) -> None");
    cls.def(
        "change_impedance_setpoint",
        [](nb::handle self, nb::handle setpoint, nb::handle FF_gain, nb::handle K_stiff, nb::handle K_damp,
           nb::handle J_imp, nb::handle ref_ff_torque, nb::handle ref_impedance_spd, nb::handle ref_impedance_acel) {
            double sp = arg_float(setpoint), ff = arg_float(FF_gain), ks = arg_float(K_stiff), kd = arg_float(K_damp),
                   j = arg_float(J_imp), tff = arg_float(ref_ff_torque), rs = arg_float(ref_impedance_spd),
                   ra = arg_float(ref_impedance_acel);
            mode_and_setpoint(self, "IMPEDANCE", sp);
            if (given(ff))
                nb::getattr(self, "_set_feedforward_gain")(nb::float_(ff));
            if (given(ks) || given(kd)) {
                nb::object twin = self_call(self, "_require_actuator");
                nb::object cur = twin.attr("get_impedance_gains")();
                nb::object a = given(ks) ? nb::object(nb::float_(ks)) : nb::object(cur["k_stiff"]);
                nb::object b = given(kd) ? nb::object(nb::float_(kd)) : nb::object(cur["k_damp"]);
                twin.attr("set_impedance_gains")(a, b, cur["t_ff"]);
            }
            if (given(j)) {
                if (has_attr(self_call(self, "_require_actuator"), "set_impedance_inertia"))
                    self_call(self, "_require_actuator").attr("set_impedance_inertia")(nb::float_(j));
            }
            if (given(tff))
                self_call(self, "_require_actuator").attr("set_torque_feedforward")(nb::float_(tff));
            if (given(rs) || given(ra)) {
                nb::object twin = self_call(self, "_require_actuator");
                if (has_attr(twin, "set_impedance_references"))
                    twin.attr("set_impedance_references")(given(rs) ? nb::object(nb::float_(rs)) : nb::none(),
                                                          given(ra) ? nb::object(nb::float_(ra)) : nb::none());
            }
        },
        arg("setpoint"), arg("FF_gain") = kNaN, arg("K_stiff") = kNaN, arg("K_damp") = kNaN, arg("J_imp") = kNaN,
        arg("ref_ff_torque") = kNaN, arg("ref_impedance_spd") = kNaN, arg("ref_impedance_acel") = kNaN)
        .signature("(self, setpoint: float, FF_gain: float = float('nan'), K_stiff: float = float('nan'), "
                   "K_damp: float = float('nan'), J_imp: float = float('nan'), "
                   "ref_ff_torque: float = float('nan'), ref_impedance_spd: float = float('nan'), "
                   "ref_impedance_acel: float = float('nan')) -> None");
    cls.def("set_home_position", [](nb::handle self) {
        self_call(self, "_ensure_initialized");
        nb::getattr(self, "actuator").attr("set_home_position")();
    }).signature("(self) -> None");
    cls.def("_change_mode_if_needed", [](nb::handle self, nb::handle mode) { change_mode_if_needed(self, mode); },
            arg("mode"))
        .signature("(self, mode: KavrelActuatorBase.Mode) -> None");
    cls.def(
        "_apply_speed_setpoint_options",
        [](nb::handle self, nb::handle FF_gain, nb::handle spd_Ki, nb::handle spd_Kp, nb::handle ref_ff_torque) {
            double ff = arg_float(FF_gain), ki = arg_float(spd_Ki), kp = arg_float(spd_Kp),
                   tff = arg_float(ref_ff_torque);
            apply_speed_options(self, ff, ki, kp, tff);
        },
        arg("FF_gain") = kNaN, arg("spd_Ki") = kNaN, arg("spd_Kp") = kNaN, arg("ref_ff_torque") = kNaN)
        .signature("(self, FF_gain: float = float('nan'), spd_Ki: float = float('nan'), "
                   "spd_Kp: float = float('nan'), ref_ff_torque: float = float('nan')) -> None");
    cls.def("_set_feedforward_gain", [](nb::handle self, nb::handle value) { set_feedforward_gain(self, value); },
            arg("value"))
        .signature("(self, value: float) -> None");
    cls.def("_get_feedforward_gain", [](nb::handle self) { return get_feedforward_gain(self); })
        .signature("(self) -> float");

    // ---- stepping and time ----
    cls.def(
        "step",
        [](nb::handle self, nb::handle load, nb::handle steps) {
            nb::object ld = PyFloat_CheckExact(load.ptr()) ? nb::borrow(load) : arg_float_or_none(load, "load");
            long long n = 0;
            int overflow = 1;
            if (PyLong_CheckExact(steps.ptr()))
                n = PyLong_AsLongLongAndOverflow(steps.ptr(), &overflow);
            if (overflow || (n == -1 && PyErr_Occurred())) {
                PyErr_Clear();
                nb::object n_obj = arg_int(steps, "steps");
                nb::object one = nb::int_(1);
                PyObject *lt = PyObject_RichCompare(n_obj.ptr(), one.ptr(), Py_LT);
                if (!lt)
                    raise_pending();
                if (truth(nb::steal(lt)))
                    raise(PyExc_ValueError, "steps must be >= 1");
                n = PyLong_AsLongLong(n_obj.ptr());
                if (n == -1 && PyErr_Occurred())
                    raise_pending();
            } else if (n < 1) {
                raise(PyExc_ValueError, "steps must be >= 1");
            }
            PyObject *new_load = ld.is_none() ? nullptr : ld.ptr();
            if (!initialized_now(self.ptr(), new_load)) {
                self_call(self, "_ensure_initialized");
                if (new_load && PyObject_SetAttr(self.ptr(), S->n_load_value, new_load) < 0)
                    raise_pending();
            }
            long long done = 0;
            while (done < n) {
                long long k = native_segment(self, n - done);
                if (k > 0) {
                    done += k;
                    continue;
                }
                generic_tick(self);
                ++done;
            }
            return dict_copy(getattr_o(self, S->n_latest));
        },
        arg("load") = nb::none(), arg("steps") = 1)
        .signature("(self, load: Optional[float] = None, steps: int = 1) -> Dict[Any, Any]");
    cls.def(
        "start_steps",
        [](nb::handle self, nb::handle step_number) {
            nb::object n = arg_int(step_number, "step_number");
            nb::getattr(self, "step")(nb::arg("steps") = n);
        },
        arg("step_number"))
        .signature("(self, step_number: int) -> None");
    cls.def(
        "change_load",
        [](nb::handle self, nb::handle load) { nb::setattr(self, "_load_value", nb::float_(arg_float(load))); },
        arg("load"))
        .signature("(self, load: float) -> None");
    cls.def(
        "get_sim_time",
        [](nb::handle self, nb::handle round_dec) -> nb::object {
            nb::object nd = arg_int(round_dec, "round_dec");
            nb::object t = nb::getattr(nb::getattr(self, "telemetry_log"), "time");
            Py_ssize_t n = PyObject_Length(t.ptr());
            if (n < 0)
                raise_pending();
            if (n == 0)
                return nb::float_(0.0);
            nb::object last = t[nb::int_(-1)];
            return builtins().attr("round")(to_float(last), nd);
        },
        arg("round_dec") = 3)
        .signature("(self, round_dec: int = 3) -> float");

    // ---- feedback ----
    cls.def(
        "set_feedback_callback",
        [](nb::handle self, nb::handle callback) { nb::setattr(self, "_feedback_callback", callback); },
        arg("callback"))
        .signature("(self, callback: Callable[[Optional[int], Dict[Any, Any]], None]) -> None");
    cls.def(
        "set_error_callback", [](nb::handle self, nb::handle callback) { nb::setattr(self, "error_callback", callback); },
        arg("callback"))
        .signature("(self, callback: Callable[[Optional[int], Dict[Any, Any]], None]) -> None");
    cls.def(
        "set_feedback_items",
        [](nb::handle self, nb::handle items) {
            nb::list l = arg_list(items, "items");
            PyObject *copy = PyList_GetSlice(l.ptr(), 0, PY_SSIZE_T_MAX);
            if (!copy)
                raise_pending();
            nb::setattr(self, "_feedback_items", nb::steal(copy));
            nb::setattr(self, "_latest_feedback", nb::dict());
        },
        arg("items"))
        .signature("(self, items: List[Any]) -> None");
    cls.def("set_feedback_rate", [](nb::handle self, nb::handle rate) { set_feedback_rate(self, rate); }, arg("rate"))
        .signature("(self, rate: Union[KavrelActuatorBase.Rates, int]) -> None");
    cls.def(
        "get_items_blocking",
        [](nb::handle self, nb::handle items, nb::handle timeout) {
            arg_float(timeout);
            nb::list l = arg_list(items, "items");
            self_call(self, "_require_actuator");
            PyObject *kept = PyList_GetSlice(l.ptr(), 0, 9);
            if (!kept)
                raise_pending();
            nb::list k = nb::steal<nb::list>(kept);
            nb::dict out;
            for (nb::handle item : k)
                out[item] = nb::getattr(self, "_get_item_value")(item);
            return out;
        },
        arg("items"), arg("timeout") = 1.0)
        .signature("(self, items: List[Any], timeout: float = 1.0) -> Dict[Any, Any]");
    cls.def("get_feedback", [](nb::handle self) { return dict_copy(nb::getattr(self, "_latest_feedback")); })
        .signature("(self) -> Dict[Any, Any]");
    cls.def("_build_feedback_snapshot", [](nb::handle self) { return build_snapshot(self); })
        .signature("(self) -> Dict[Any, Any]");
    cls.def("_get_item_value", [](nb::handle self, nb::handle item) { return get_item_value(self, item); },
            arg("item"))
        .signature("(self, item: Any) -> float");
    cls.def("_should_emit_feedback", [](nb::handle self) { return should_emit(self); }).signature("(self) -> bool");
    cls.def(
        "_emit_callback",
        [](nb::handle, nb::handle callback, nb::handle address, nb::handle payload) {
            emit_callback(callback, address, payload);
        },
        arg("callback"), arg("address"), arg("payload"))
        .signature("(self, callback: Optional[Callable[[Optional[int], Dict[Any, Any]], None]], "
                   "address: Optional[int], payload: Dict[Any, Any]) -> None");

    // ---- parameters ----
    cls.def(
        "set_parameters",
        [](nb::handle self, nb::handle parameters) {
            nb::dict d = arg_dict(parameters, "parameters");
            for (nb::handle item : nb::iter(d.attr("items")()))
                nb::getattr(self, "_set_parameter_value")(item[0], item[1]);
        },
        arg("parameters"))
        .signature("(self, parameters: Dict[Any, float]) -> None");
    cls.def(
        "get_parameters",
        [](nb::handle self, nb::handle parameters, nb::handle timeout) {
            nb::list l = arg_list(parameters, "parameters");
            arg_float(timeout);
            nb::dict out;
            for (nb::handle item : nb::iter(l))
                out[item] = nb::getattr(self, "_get_parameter_value")(item);
            return out;
        },
        arg("parameters"), arg("timeout") = 1.0)
        .signature("(self, parameters: List[Any], timeout: float = 1.0) -> Dict[Any, float]");
    cls.def("get_parameters_all", [](nb::handle self) {
        nb::list all(nb::getattr(self, "VKL_Parameters"));
        return nb::getattr(self, "get_parameters")(all);
    }).signature("(self) -> Dict[Any, float]");
    cls.def(
        "set_can_high_speed",
        [](nb::handle self, nb::handle enabled) {
            bool on = truth(enabled);
            nb::setattr(self, "can_high_speed", nb::bool_(on));
            nb::getattr(self, "_tracked_numeric_values")[param_member(self, "CAN_HIGH_SPEED")] =
                nb::float_(on ? 1.0 : 0.0);
        },
        arg("enabled"))
        .signature("(self, enabled: bool) -> None");
    cls.def(
        "set_torque_performance",
        [](nb::handle self, nb::handle p) { nb::setattr(self, "_torque_performance", p); }, arg("performance"))
        .signature("(self, performance: KavrelActuatorBase.TorquePerformance) -> None");
    cls.def(
        "set_speed_performance", [](nb::handle self, nb::handle p) { nb::setattr(self, "_speed_performance", p); },
        arg("performance"))
        .signature("(self, performance: KavrelActuatorBase.SpeedPerformance) -> None");
    cls.def("get_all_parameters", [](nb::handle self) { return get_all_parameters(self); })
        .signature("(self) -> Dict[str, Dict[str, float]]");
    cls.def(
        "_set_parameter_value",
        [](nb::handle self, nb::handle parameter, nb::handle value) { set_parameter_value(self, parameter, value); },
        arg("parameter"), arg("value"))
        .signature("(self, parameter: KavrelActuatorBase.VKL_Parameters, value: float) -> None");
    cls.def(
        "_get_parameter_value",
        [](nb::handle self, nb::handle parameter) { return get_parameter_value(self, parameter); },
        arg("parameter"))
        .signature("(self, parameter: KavrelActuatorBase.VKL_Parameters) -> float");
    cls.def(
        "_set_filter_cutoff",
        [](nb::handle self, nb::handle speed_cutoff, nb::handle current_cutoff) {
            set_filter_cutoff(self, speed_cutoff, current_cutoff);
        },
        arg("speed_cutoff") = nb::none(), arg("current_cutoff") = nb::none())
        .signature("(self, speed_cutoff: Optional[float] = None, current_cutoff: Optional[float] = None) -> None");
    cls.def("_get_filter_cutoff", [](nb::handle self, nb::handle key) { return get_filter_cutoff(self, key); },
            arg("key"))
        .signature("(self, key: str) -> float");

    // ---- twin paths and inspection ----
    cls.def("_read_path", [](nb::handle self, nb::handle path) { return read_path(self, path); }, arg("path"))
        .signature("(self, path: str) -> float");
    cls.def(
        "_write_path", [](nb::handle self, nb::handle path, nb::handle value) { write_path(self, path, value); },
        arg("path"), arg("value"))
        .signature("(self, path: str, value: float) -> None");
    cls.def("get_info", [](nb::handle self) { return dump_floats(self, "info", kInfoFields, 14); })
        .signature("(self) -> Dict[str, float]");
    cls.def("get_motor_state", [](nb::handle self) { return dump_floats(self, "motor", kMotorFields, 23); })
        .signature("(self) -> Dict[str, float]");
    cls.def("get_measurements", [](nb::handle self) {
        nb::object twin = self_call(self, "_require_actuator");
        nb::object meas = nb::getattr(twin, "meas");
        nb::dict d;
        for (int i = 0; i < 8; ++i) {
            nb::object v = nb::getattr(meas, kMeasFields[i]);
            d[kMeasFields[i]] = i < 2 ? to_int(v) : to_float(v);
        }
        return d;
    }).signature("(self) -> Dict[str, Union[int, float]]");
    cls.def("get_debug_flags", [](nb::handle self) {
        nb::object twin = self_call(self, "_require_actuator");
        nb::object dbg = nb::getattr(twin, "debug");
        nb::dict d;
        for (const char *n : kDebugFlags)
            d[n] = nb::bool_(truth(nb::getattr(dbg, n)));
        return d;
    }).signature("(self) -> Dict[str, bool]");
    cls.def("has_errors", [](nb::handle self) {
        nb::object flags = self_call(self, "get_debug_flags");
        for (nb::handle v : nb::iter(flags.attr("values")()))
            if (truth(v))
                return true;
        return false;
    }).signature("(self) -> bool");
    cls.def_static("_bool_to_float", [](nb::handle value) { return truth(value) ? 1.0 : 0.0; }, arg("value"))
        .signature("(value: bool) -> float");
    cls.def_static(
           "_safe_divisor",
           [](nb::handle value) {
               double v = arg_float(value);
               return v == 0.0 ? 1.0 : v;
           },
           arg("value"))
        .signature("(value: float) -> float");
    cls.def_static("_is_nan", [](nb::handle value) { return std::isnan(arg_float(value)); }, arg("value"))
        .signature("(value: float) -> bool");

    // ---- twin selection by model name ----
    cls.def_static(
           "discover_available_actuators",
           [g](nb::handle bindings_path) -> nb::object {
               PyObject *r = PyObject_CallOneArg(nb::object(g["list_available_dtwin_artifacts"]).ptr(),
                                                 bindings_path.ptr());
               if (!r) {
                   if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
                       PyErr_Clear();
                       return nb::list();
                   }
                   raise_pending();
               }
               return nb::steal(r);
           },
           arg("bindings_path"))
        .signature("(bindings_path: Union[str, Path]) -> List[str]");
    cls.def(
        "set_actuator",
        [g](nb::handle self, nb::handle model_name, nb::handle library_path, nb::handle bindings_root) -> nb::object {
            nb::str name = arg_str(model_name, "model_name");
            std::string n = py_str(name);
            if (library_path.is_none()) {
                nb::object paths = nb::object(g["resolve_dtwin_artifacts"])(name, bindings_root);
                nb::object lib = nb::getattr(paths, "library"), bind = nb::getattr(paths, "py_bindings");
                if (lib.is_none() || bind.is_none())
                    raise(PyExc_ValueError, "Actuator '" + n + "' has incomplete digital-twin paths");
                nb::setattr(self, "_configured_model_name", name);
                return nb::getattr(self, "set_actuator_from_paths")(nb::arg("library_path") = lib,
                                                                     nb::arg("bindings_path") = bind);
            }
            nb::object spec = nb::object(g["get_actuator_spec"])(name, library_path);
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
            nb::setattr(self, "_configured_model_name", name);
            return nb::getattr(self, "set_actuator_from_paths")(nb::arg("library_path") = lib,
                                                                 nb::arg("bindings_path") = bind);
        },
        arg("model_name"), arg("library_path") = nb::none(), arg("bindings_root") = nb::none())
        .signature("(self, model_name: str, library_path: Union[str, Path, None] = None, "
                   "bindings_root: Union[str, Path, None] = None) -> ActuatorWrapper");

    s.virt_cls = cls.finish(nb::make_tuple(s.base_cls));
    m.attr("KavrelActuatorVirtual") = s.virt_cls;
    {
        PyTypeObject *t = type_of(s.virt_cls);
        for (int i = 0; i < kNumStepMethods; ++i) {
            PyObject *o = _PyType_Lookup(t, s.n_step_methods[i]);
            s.orig_methods[i] = nb::borrow(o ? o : Py_None);
        }
    }
    nb::list all;
    all.append(nb::str("KavrelActuatorVirtual"));
    all.append(nb::str("VirtualActuatorLog"));
    m.attr("__all__") = all;
}
