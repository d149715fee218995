#include "virtual/returned_maps.hpp"

#include "core/pyutil.hpp"

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

// Of the two slots `latest` may take: its own, else one whose map nothing
// else holds any more, else its home.
ReturnedMaps::Slot *ReturnedMaps::place_for(PyObject *latest) {
    unsigned h = home(latest);
    Slot *a = &slot_[h], *b = &slot_[(h + 1) % kSlots];
    if (a->latest == latest)
        return a;
    if (b->latest == latest)
        return b;
    auto unused = [](const Slot *s) { return !s->map.is_valid() || Py_REFCNT(s->map.ptr()) == 1; };
    return unused(a) || !unused(b) ? a : b;
}

nb::object ReturnedMaps::copy_of(PyObject *latest) {
    uint64_t latest_tag = dict_entries_tag(latest);
    if (Slot *s = find(latest); s && Py_REFCNT(s->map.ptr()) == 1) {
        PyObject *m = s->map.ptr();
        uint64_t map_tag = dict_entries_tag(m);
        bool unchanged = latest_tag && latest_tag == s->latest_tag && map_tag == s->map_tag;
        if (unchanged || same_entries(m, latest)) {
            s->latest_tag = latest_tag;
            s->map_tag = map_tag;
            return nb::borrow(m);
        }
    }
    nb::object copy = steal_or_raise(PyDict_Copy(latest));
    Slot *s = place_for(latest);
    s->latest = latest;
    s->latest_tag = latest_tag;
    s->map_tag = dict_entries_tag(copy.ptr());
    // The map given up is dropped last: freeing its values may run code.
    nb::object old = std::move(s->map);
    s->map = copy;
    return copy;
}

} // namespace vkl::virt
