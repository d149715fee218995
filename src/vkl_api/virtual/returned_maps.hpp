// The maps `step` returned, kept for reuse.
//
// `step` returns a copy of the snapshot.  A caller stepping in lockstep
// either drops that copy before the next call, or keeps it until the call
// after (`fb = act.step(...)` holds the last map while the next call runs).
// Either way a map returned by one of the last two calls then lies in this
// table alone: nothing else references it, so nothing can tell it from a new
// one.
//   * When it still holds the snapshot's keys and values (the same objects,
//     in order), it is the copy the next call would make, and is returned
//     again.
//   * When its values are floats that only it references, the native road
//     gives them the new tick's values and stores them into the snapshot
//     (see the end of a run), which makes it the copy once more, without a
//     new float or a new map.
// The table is keyed by the snapshot's address and is process-wide, like the
// other records of the native road: any number of actuators stepped in turn
// each find theirs.  The reference counts decide what is reused, so on a
// build that keeps them apart per thread (kRefCountsExact) nothing is.
#pragma once

#include "core/pyutil.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>

namespace vkl::virt {
namespace nb = nanobind;

class ReturnedMaps {
public:
    // The copy last returned of `latest` (an exact dict), when the table is
    // all that references it: its values count as referenced by this table
    // when the native road decides whether it may change them in place.
    // Borrowed; nullptr when there is none.
    PyObject *spare(PyObject *latest) const {
        const Slot *s = find(latest);
        return s && only_here(s->map[0]) ? s->map[0].ptr() : nullptr;
    }

    // A map of `latest`'s that only this table references, holding exactly
    // the keys `keys[0..n)` in order, each with the value `fixed[j]` where
    // that is set, else with a float that only the map references: those
    // floats (borrowed, into `floats`) may be given new values and stored as
    // the snapshot's.  nullptr when there is none.
    PyObject *free_floats(PyObject *latest, PyObject *const *keys, PyObject *const *fixed, int n,
                          PyObject **floats) const;

    // dict(latest), as `step` returns it: a map kept here when it is still
    // a copy, else a new copy, kept.
    nb::object copy_of(PyObject *latest) {
        // The usual case first: the map returned last, unchanged, as the
        // snapshot is.
        if (Slot *s = find(latest); s && only_here(s->map[0])) {
            uint64_t tag = dict_entries_tag(latest);
            if (tag && tag == s->latest_tag[0] && dict_entries_tag(s->map[0].ptr()) == s->map_tag[0])
                return s->map[0];
        }
        return copy_searched(latest);
    }

private:
    // Nothing but this table references `map` (an empty place does not).
    static bool only_here(const nb::object &map) {
        return kRefCountsExact && map.is_valid() && Py_REFCNT(map.ptr()) == 1;
    }

    // A snapshot's slot is one of kWindow from its home: with a dozen
    // actuators stepped in turn, a window of two let three snapshots whose
    // homes fell together take each other's places on every call.
    static constexpr int kSlots = 128, kWindow = 4;
    static_assert(kSlots == 1 << 7, "home() gives 7 bits");
    struct Slot {
        PyObject *latest = nullptr; // compared only, never dereferenced
        // The map returned last, and the one before.
        nb::object map[2];
        // The entries' tags (see dict_entries_tag) of `latest` and of each
        // map when it was last known to be the copy of `latest`.
        uint64_t latest_tag[2] = {}, map_tag[2] = {};
    };
    Slot slot_[kSlots];

    static unsigned home(PyObject *latest) {
        return address_home(latest, 7); // (kSlots places)
    }
    // The slot of `latest` among those it may take.
    Slot *find(PyObject *latest) {
        unsigned h = home(latest);
        for (int i = 0; i < kWindow; ++i)
            if (Slot *s = &slot_[(h + i) % kSlots]; s->latest == latest)
                return s;
        return nullptr;
    }
    const Slot *find(PyObject *latest) const { return const_cast<ReturnedMaps *>(this)->find(latest); }
    Slot *place_for(PyObject *latest);
    nb::object copy_searched(PyObject *latest);
};

} // namespace vkl::virt
