// Hashes of an enumeration's members, for native code that keys dictionaries
// by them (feedback maps keyed by VKL_Items members).
//
// An enumeration member's __hash__ is Python code (the hash of its name), so
// every store of a member key would run it: eight per feedback message, three
// per simulated tick.  The hashes are taken once and used while the members'
// class keeps the version tag it had when they were taken (any change to the
// class, of __hash__ included, gives it a new one); the dictionary then holds
// exactly what PyDict_SetItem would have stored.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <vector>

namespace vkl {
namespace nb = nanobind;

class MemberHashes {
public:
    // Whether hash(k) is the hash of members[k] for each k < n (entries that
    // are not valid skipped; the members all of one class): taken now when
    // the class changed since.  False when they cannot be kept (no members,
    // members of different classes, a class without a version tag); the
    // dictionary then hashes the keys itself.  A failing __hash__ raises.
    bool current(const nb::object *members, size_t n) { return held(members, n) || take(members, n); }
    // Whether current() holds without hashing (so without running any code).
    bool held(const nb::object *members, size_t n) const {
        return tag_ != 0 && first_ < n && Py_TYPE(members[first_].ptr()) == type_ && type_->tp_version_tag == tag_;
    }
    Py_hash_t hash(size_t k) const { return hash_[k]; }

private:
    bool take(const nb::object *members, size_t n); // hash them now
    std::vector<Py_hash_t> hash_;
    PyTypeObject *type_ = nullptr; // the members' class, as hashed
    size_t first_ = 0;             // the first valid member
    unsigned int tag_ = 0;
};

// d[key] = value with the key's hash given (the interpreter's own store);
// -1 with the error set on failure.
int dict_set_known_hash(PyObject *d, PyObject *key, PyObject *value, Py_hash_t hash);

} // namespace vkl
