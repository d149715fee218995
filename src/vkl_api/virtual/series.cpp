// The telemetry series type: sequence, comparison and buffer protocols over
// a typed column.
#include "virtual/series.hpp"

#include "core/pyutil.hpp"

#include <cmath>
#include <new>
#include <string>

namespace vkl::virt {

PyTypeObject *g_series_type = nullptr;

namespace {

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

} // namespace

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

namespace {

bool value_fits(tel::Kind k, PyObject *v) {
    tel::Kind got;
    return kind_of_value(v, got) && got == k;
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

} // namespace

void make_series_type(nb::module_ &m) {
    static std::string name;
    name = py_str(m.attr("__name__")) + ".TelemetrySeries";
    static PyType_Spec spec = {name.c_str(), sizeof(SeriesObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                   Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_SEQUENCE,
                               series_slots};
    g_series_type = (PyTypeObject *) steal_or_raise(PyType_FromModuleAndSpec(m.ptr(), &spec, nullptr)).release().ptr();
    // kept for the life of the process
}

} // namespace vkl::virt
