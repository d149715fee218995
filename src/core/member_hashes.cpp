#include "core/member_hashes.hpp"

#include "core/pyutil.hpp"

// Exported by the interpreter (declared in its internal headers): a dict
// store with the key's hash given.
extern "C" PyAPI_FUNC(int) _PyDict_SetItem_KnownHash(PyObject *mp, PyObject *key, PyObject *item, Py_hash_t hash);

namespace vkl {

bool MemberHashes::take(const nb::object *members, size_t n) {
    tag_ = 0;
    size_t first = 0;
    while (first < n && !members[first].is_valid())
        ++first;
    // A class that can have no tag could change unseen: nothing is kept
    // (and nothing hashed in vain).
    if (first == n || !has_version_tag(Py_TYPE(members[first].ptr())))
        return false;
    PyTypeObject *t = Py_TYPE(members[first].ptr());
    // Hashed into a vector of their own: __hash__ is Python code, during
    // which another thread may use (or take) the hashes kept here.
    std::vector<Py_hash_t> hashes(n, -1);
    for (size_t k = first; k < n; ++k) {
        if (!members[k].is_valid())
            continue;
        if (Py_TYPE(members[k].ptr()) != t)
            return false;
        Py_hash_t h = PyObject_Hash(members[k].ptr());
        if (h == -1)
            raise_pending();
        hashes[k] = h;
    }
    // Hashing ran Python code, which may have changed the class meanwhile:
    // the hashes are kept only under a tag taken now.
    if (!has_version_tag(t))
        return false;
    hash_ = std::move(hashes);
    type_ = t;
    first_ = first;
    tag_ = t->tp_version_tag;
    return true;
}

int dict_set_known_hash(PyObject *d, PyObject *key, PyObject *value, Py_hash_t hash) {
    return _PyDict_SetItem_KnownHash(d, key, value, hash);
}

} // namespace vkl
