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

#include "core/python_activity.hpp"
#include "core/pyutil.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

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

// Records of what was read from a few instance dictionaries, each standing
// while its dictionary keeps the entries tag it had when read (see
// dict_entries_tag).  A record is kept only for an object whose attribute
// stores reach its dictionary (see make_stores_notify: on 3.13.0 a store
// through inline values moves no tag), so that every store moves the tag.
// Dictionaries are compared by address only; a dictionary's record is one of
// a few places among N (see AddressWindow), so that up to about N objects
// used in turn each keep theirs.
template <class T, int N = 4>
class DictRecords {
public:
    // The tag under which a record of `d` can stand; 0: none can.
    static uint64_t tag_of(PyObject *d) { return PyDict_CheckExact(d) ? dict_entries_tag(d) : 0; }

    // The record of `d`, read under `tag` (tag_of), or nullptr.
    const T *find(PyObject *d, uint64_t tag) const {
        const Entry *e = tag ? Places::find(entries_, d, key_of) : nullptr;
        return e && e->tag == tag ? &e->value : nullptr;
    }
    // Keep `value`, read from `obj`'s dictionary `d` under `tag`, in place of
    // any older record of `d`; nullptr when it cannot be kept.
    const T *keep(PyObject *obj, PyObject *d, uint64_t tag, const T &value) {
        if (!tag || !pyact::make_stores_notify(obj, d))
            return nullptr;
        Entry *place = Places::place(entries_, d, turn_, key_of);
        *place = Entry{d, dict_entries_tag(d), value};
        return &place->value;
    }
    void clear() {
        for (Entry &e : entries_)
            e = Entry{};
    }

private:
    struct Entry {
        PyObject *d = nullptr; // compared only
        uint64_t tag = 0;
        T value{};
    };
    using Places = AddressWindow<N>;
    static const void *key_of(const Entry &e) { return e.d; }
    Entry entries_[N];
    unsigned turn_ = 0;
};

// Reads of a fixed set of names off instances of one class, answered from a
// record of the instance's dictionary (DictRecords) while the class keeps its
// version tag: the record holds what the ordinary read gives, an entry of the
// dictionary under a name the class holds no data descriptor for.  A command
// that reads the same attributes of its actuator each time reads them once
// per change of either.
template <int N>
class InstanceReads {
public:
    struct Entry {
        PyObject *v[N] = {}; // borrowed from the dictionary; nullptr: read the ordinary way
    };

    // The names, interned, held elsewhere for the life of the process.
    explicit InstanceReads(PyObject *const (&names)[N]) { std::copy(names, names + N, names_); }
    InstanceReads(const InstanceReads &) = delete;
    InstanceReads &operator=(const InstanceReads &) = delete;

    // The current record of `obj`, made now if needed; nullptr where the
    // reads cannot be answered so (read the ordinary way).  Runs no code.
    // Good until any code runs or `obj`'s dictionary changes.
    const Entry *of(PyObject *obj) {
        PyTypeObject *t = Py_TYPE(obj);
        if (t->tp_getattro != PyObject_GenericGetAttr)
            return nullptr;
        if (t != type_ || t->tp_version_tag != type_tag_ || type_tag_ == 0)
            if (!learn(t))
                return nullptr;
        PyObject *d = PyObject_GenericGetDict(obj, nullptr);
        if (!d) {
            PyErr_Clear();
            return nullptr;
        }
        Py_DECREF(d); // (the object holds it)
        uint64_t tag = records_.tag_of(d);
        if (const Entry *e = records_.find(d, tag))
            return e;
        Entry now;
        for (int i = 0; i < N; ++i)
            now.v[i] = plain_[i] ? dict_get(d, names_[i]) : nullptr;
        return records_.keep(obj, d, tag, now);
    }

    // `obj.<names[i]>` as a new reference (nullptr with an exception set),
    // from `e` (a record of `obj` just taken) when it holds the value.
    PyObject *get(const Entry *e, PyObject *obj, int i) {
        if (e && e->v[i])
            return Py_NewRef(e->v[i]);
        return PyObject_GetAttr(obj, names_[i]);
    }

private:
    // Which names the class leaves to the instance; records of another
    // class or version are forgotten.
    bool learn(PyTypeObject *t) {
        type_ = nullptr;
        type_tag_ = 0;
        records_.clear();
        if (!has_version_tag(t))
            return false;
        for (int i = 0; i < N; ++i) {
            PyObject *c = _PyType_Lookup(t, names_[i]); // borrowed
            plain_[i] = !c || !(Py_TYPE(c)->tp_descr_get && Py_TYPE(c)->tp_descr_set);
        }
        type_ = t;
        type_tag_ = t->tp_version_tag;
        return type_tag_ != 0;
    }

    PyObject *names_[N];
    bool plain_[N] = {};
    PyTypeObject *type_ = nullptr; // compared only
    unsigned int type_tag_ = 0;
    DictRecords<Entry, 32> records_; // (a robot's actuators commanded in turn)
};

} // namespace vkl
