// The maps `step` returned, kept for reuse.
//
// `step` returns a copy of the snapshot.  A caller stepping in lockstep
// mostly drops that copy before the next call; it then lies in this table
// alone, and when it still holds the snapshot's keys and values (the same
// objects, in order) it is the copy the next call would make: that call
// returns it again instead of making a new one (nothing else references it,
// so nothing can tell it from a new one).  The table is keyed by the
// snapshot's address and is process-wide, like the other records of the
// native road: any number of actuators stepped in turn each find theirs.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

namespace vkl::virt {
namespace nb = nanobind;

class ReturnedMaps {
public:
    // The copy returned of `latest` (an exact dict), when the table is all
    // that references it: its values count as referenced by this table when
    // the native road decides whether it may change them in place.
    // Borrowed; nullptr when there is none.
    PyObject *spare(PyObject *latest) const {
        const Slot *s = find(latest);
        return s && Py_REFCNT(s->map.ptr()) == 1 ? s->map.ptr() : nullptr;
    }

    // dict(latest), as `step` returns it: the spare copy when it is still
    // one, else a new copy, kept here.
    nb::object copy_of(PyObject *latest);

private:
    static constexpr int kSlots = 64;
    struct Slot {
        PyObject *latest = nullptr; // compared only, never dereferenced
        nb::object map;
        // The entries' tags (see dict_entries_tag) of `latest` and `map`
        // when `map` was last known to be its copy.
        uint64_t latest_tag = 0, map_tag = 0;
    };
    Slot slot_[kSlots];

    static unsigned home(PyObject *latest) {
        return (unsigned) ((((uintptr_t) latest >> 4) * 0x9E3779B97F4A7C15ull) >> 58);
    }
    // The slot of `latest` among the two it may take.
    Slot *find(PyObject *latest) {
        unsigned h = home(latest);
        Slot *a = &slot_[h], *b = &slot_[(h + 1) % kSlots];
        return a->latest == latest ? a : b->latest == latest ? b : nullptr;
    }
    const Slot *find(PyObject *latest) const { return const_cast<ReturnedMaps *>(this)->find(latest); }
    Slot *place_for(PyObject *latest);
};

} // namespace vkl::virt
