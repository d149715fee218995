#include "virtual/returned_maps.hpp"

#include <utility>

namespace vkl::virt {
namespace {

// `map` holds the keys and values of `latest`, the same objects in the same
// order.
bool same_entries(PyObject *map, PyObject *latest) {
    if (PyDict_GET_SIZE(map) != PyDict_GET_SIZE(latest))
        return false;
    Py_ssize_t pm = 0, pl = 0;
    PyObject *km, *vm, *kl, *vl;
    while (PyDict_Next(latest, &pl, &kl, &vl)) {
        if (!PyDict_Next(map, &pm, &km, &vm) || km != kl || vm != vl)
            return false;
    }
    return true;
}

} // namespace

PyObject *ReturnedMaps::free_floats(PyObject *latest, PyObject *const *keys, PyObject *const *fixed, int n,
                                    PyObject **floats) const {
    const Slot *s = find(latest);
    if (!s)
        return nullptr;
    for (const nb::object &map : s->map) {
        if (!only_here(map) || PyDict_GET_SIZE(map.ptr()) != n)
            continue;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        int j = 0;
        for (; j < n && PyDict_Next(map.ptr(), &pos, &k, &v); ++j) {
            if (k != keys[j] || (fixed[j] ? v != fixed[j] : !PyFloat_CheckExact(v) || Py_REFCNT(v) != 1))
                break;
            floats[j] = v;
        }
        if (j == n)
            return map.ptr();
    }
    return nullptr;
}

// Of the slots `latest` may take: its own, else the first that is empty,
// else the first whose maps nothing else holds any more, else its home.
ReturnedMaps::Slot *ReturnedMaps::place_for(PyObject *latest) {
    if (Slot *s = find(latest))
        return s;
    unsigned h = home(latest);
    auto unused = [](const Slot *s) {
        for (const nb::object &map : s->map)
            if (map.is_valid() && !only_here(map))
                return false;
        return true;
    };
    for (int i = 0; i < kWindow; ++i)
        if (Slot *s = &slot_[(h + i) % kSlots]; !s->latest)
            return s;
    for (int i = 0; i < kWindow; ++i)
        if (Slot *s = &slot_[(h + i) % kSlots]; unused(s))
            return s;
    return &slot_[h];
}

nb::object ReturnedMaps::copy_searched(PyObject *latest) {
    uint64_t latest_tag = dict_entries_tag(latest);
    if (Slot *s = find(latest)) {
        for (int i = 0; i < 2; ++i) {
            if (!only_here(s->map[i]))
                continue;
            PyObject *m = s->map[i].ptr();
            uint64_t map_tag = dict_entries_tag(m);
            bool unchanged = latest_tag && latest_tag == s->latest_tag[i] && map_tag == s->map_tag[i];
            if (!unchanged && !same_entries(m, latest))
                continue;
            s->latest_tag[i] = latest_tag;
            s->map_tag[i] = map_tag;
            if (i == 1) { // the one returned last comes first
                std::swap(s->map[0], s->map[1]);
                std::swap(s->latest_tag[0], s->latest_tag[1]);
                std::swap(s->map_tag[0], s->map_tag[1]);
            }
            return nb::borrow(m);
        }
    }
    nb::object copy = steal_or_raise(PyDict_Copy(latest));
    Slot *s = place_for(latest);
    if (s->latest != latest) {
        s->latest_tag[0] = s->map_tag[0] = 0; // kept for another snapshot: never its copy
        s->latest = latest;
    }
    // The map given up is dropped last: freeing its values may run code.
    nb::object old = std::move(s->map[1]);
    s->map[1] = std::move(s->map[0]);
    s->latest_tag[1] = s->latest_tag[0];
    s->map_tag[1] = s->map_tag[0];
    s->map[0] = copy;
    s->latest_tag[0] = latest_tag;
    s->map_tag[0] = dict_entries_tag(copy.ptr());
    return copy;
}

} // namespace vkl::virt
