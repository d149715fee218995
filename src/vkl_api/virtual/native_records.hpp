// What the simulated actuator's native road knows and how it knows it is
// still true: the classes as last verified, the dictionary watcher's record
// (change counters and per-dictionary versions), the dictionaries known to
// shadow no stepping method, the memo of actuator dictionaries, and the plan
// of a twin view with the records of the last full checks kept with it.
// The helpers the native tick loops call on every tick are inline here.
#pragma once

#include "core/twin_view.hpp"
#include "virtual/short_writer.hpp"
#include "virtual/state.hpp"

#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <vector>

namespace vkl::virt {

using twin::CType;
using twin::FieldRef;
using twin::TwinView;

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---- Verified classes ------------------------------------------------------------

// The full checks of the classes below, each recording the version tag it
// passed under.
bool self_type_check(State &S, PyTypeObject *t);
bool engine_type_check(State &S, PyTypeObject *t);
bool log_type_check(State &S, PyTypeObject *t);

// `t` still has the version tag `tag` it passed the full check under.
inline bool passed_under(PyTypeObject *t, unsigned int tag) { return t->tp_version_tag == tag && tag != 0; }

// The actuator's class defines every stepping method as here and none of
// the stepping attributes.
inline bool self_type_ok(State &S, PyTypeObject *t) {
    return (t == S.ok_self_type && passed_under(t, S.ok_self_tag)) || self_type_check(S, t);
}
// The twin is the engine's wrapper with the engine's own `step`.
inline bool engine_type_ok(State &S, PyTypeObject *t) {
    return t == (PyTypeObject *) S.engine_cls.ptr() && (passed_under(t, S.ok_engine_tag) || engine_type_check(S, t));
}
// The log is of our class with its own `_append` and slot descriptors.
inline bool log_type_ok(State &S, PyTypeObject *t) {
    return t == (PyTypeObject *) S.log_cls.ptr() && (passed_under(t, S.ok_log_tag) || log_type_check(S, t));
}

// ---- The watcher's record ---------------------------------------------------
//
// What the dictionary watcher (on_dict_event) writes.  The watcher callback
// gets no user data, so what it writes is process-wide: this one global
// record, read by every native run.  The table of dictionaries known to
// shadow no stepping method lives beside it, as its entries stand only while
// the watcher's count of added keys is unchanged.
struct DictVersion {
    PyObject *dict; // compared only, never dereferenced; kGone: a freed entry
    uint64_t ver;
};
constexpr int kVersionSlots = 256, kVersionProbe = 8;
static_assert(kVersionSlots == 1 << 8, "version_home() gives 8 bits");

struct ShadowFree {
    PyObject *dict = nullptr; // compared only, never dereferenced
    uint64_t additions = 0;   // key_additions when it was watched / checked
    bool free = false;        // checked free of the stepping methods at that count
};

struct WatcherRecord {
    uint64_t dict_changes = 0;  // events on any watched dictionary
    uint64_t key_additions = 0; // keys added, dictionaries filled or freed
    DictVersion version[kVersionSlots] = {};
    uint64_t version_source = 0; // the last version given
    ShadowFree shadow_free[16];
    int shadow_next = 0;
};
extern WatcherRecord g_watch;

// The dictionary watcher of the native road's after-step test; -1 when the
// interpreter has no watcher left (every native tick is then checked in full).
int add_dict_watcher();

// ---- Instance dictionaries known to shadow none of the stepping methods ----
//
// Every run would otherwise look up each stepping method in the actuator's
// dictionary (a dozen misses per one-tick call).  A dictionary watched by
// the native road (see on_dict_event) that was found free of them stays free
// until a key is added to it, it is filled from another dictionary, or it is
// freed; each of those events, on any watched dictionary, bumps
// g_watch.key_additions and so forgets every entry of g_watch.shadow_free.

// The entry of `d` while it stands, else nullptr.
ShadowFree *shadow_entry(PyObject *d);
// No stepping method is shadowed in `sd` (an actuator's instance dictionary).
bool no_method_shadowed(State &S, PyObject *sd);
// `sd` is watched now (its stores notify): from here on an addition is seen.
void note_watched(PyObject *sd);

// ---- Versions of single watched dictionaries ----
//
// The change counter above is process-wide: with a dozen actuators stepped
// in turn, each one-tick call changes some dictionary, so state checked on one
// actuator's run cannot be trusted on its next run by those counters.  A few
// dictionaries (a twin wrapper's, its bindings module's, an `inp` structure's)
// are tracked here one by one: every event on a tracked dictionary gives it a
// new version, never given before; when it is freed its entry goes, so a new
// dictionary at the same address never inherits a version.  Only
// dictionaries watched (with their objects' stores notifying) are tracked.
inline unsigned version_home(PyObject *d) {
    return address_home(d, 8); // (kVersionSlots places)
}

inline DictVersion *version_entry(PyObject *d) {
    unsigned h = version_home(d);
    for (int i = 0; i < kVersionProbe; ++i) {
        DictVersion &e = g_watch.version[(h + i) % kVersionSlots];
        if (e.dict == d)
            return &e;
        if (!e.dict)
            return nullptr;
    }
    return nullptr;
}

// The entry tracking `d` (which must be watched), tracking it from now on;
// nullptr when there is no room to track it.
DictVersion *version_slot(PyObject *d);
// The current version of `d`, likewise; 0 when it cannot be tracked.
inline uint64_t dict_version(PyObject *d) {
    DictVersion *e = version_slot(d);
    return e ? e->ver : 0;
}

// A version of `d` read from its entry `slot` is still its version: no event
// on `d` since.  An entry stays where it is while its dictionary lives (a
// freed one is marked gone and may be taken again, by a new dictionary at the
// same address too, which gets a version never given before), so a record
// can keep the slot it read and skip the lookup.
inline bool version_holds(const DictVersion *slot, PyObject *d, uint64_t ver) {
    return slot && slot->dict == d && slot->ver == ver;
}

// ---- What an actuator's dictionary held at its last known version ----------
//
// A caller stepping in lockstep makes one-tick calls on the same actuators
// over and over, and each call would look up a dozen entries of the
// actuator's dictionary (its twin, log, setpoint, feedback state, ...).
// While the dictionary is watched and tracked (see dict_version), those
// entries are kept here with the version they were read at: as long as the
// dictionary is at that version, they are what lookups would give.  The
// native road's own stores keep the memo current (see memo_store); any other
// change gives the dictionary a new version, and the next call reads it
// again.  The dictionary is compared by address only, and an entry is used
// only while the version matches (the dictionary then holds it).  Like the
// watcher's record, it is keyed by dictionaries of any actuator, hence one
// process-wide table.

// What the twin wrapper's dictionary held of the names every call reads
// (`step`, which must be absent, the native view, `initialized`) when its
// entries had the tag `tag` (see dict_entries_tag): borrowed from `ad`, and
// what lookups give while `ad`, alive, still has that tag.
struct AdSeen {
    PyObject *ad = nullptr; // compared only
    uint64_t tag = 0;
    PyObject *step = nullptr, *view = nullptr, *initialized = nullptr;
};

struct SdMemo {
    PyObject *sd = nullptr; // compared only
    uint64_t ver = 0;       // sd's version when read
    DictVersion *slot = nullptr; // where it was read (see version_holds)
    bool methods_free = false; // no stepping method in sd
    PyObject *v[kNumStepAttrs] = {}; // borrowed from sd; nullptr: absent
    AdSeen ad_seen; // of the wrapper this actuator last stepped
};
// A dictionary's memo is one of kWindow entries from its home (a call looks
// its memo up three times, and with a dozen actuators stepped in turn a scan
// of the table cost a cache miss per entry).
struct MemoTable {
    static constexpr int kEntries = 64, kWindow = 4;
    static_assert(kEntries == 1 << 6, "home() gives 6 bits");
    SdMemo entry[kEntries];
    unsigned next = 0; // which of a full window's entries a new memo takes
    static unsigned home(PyObject *sd) {
        return address_home(sd, 6); // (kEntries places)
    }
};
extern MemoTable g_memo;

// The memo of `sd` if it is current.
SdMemo *sd_memo(PyObject *sd);
// Read `sd` (tracked, with its object's stores reaching it) into a memo now;
// no code runs on the way.
SdMemo *sd_memo_fill(State &S, PyObject *sd);

// sd[a] (borrowed, nullptr when absent), through the memo while it is current.
inline PyObject *sd_get(State &S, SdMemo *m, PyObject *sd, StepAttr a) {
    if (m && m->sd == sd && version_holds(m->slot, sd, m->ver))
        return m->v[a];
    return dict_get(sd, S.attr(a));
}

// sd[a] = value, keeping a current memo current when this store is the only
// change made to a tracked dictionary meanwhile (replacing the old value may
// free it, and freeing may run code).
void memo_store(State &S, SdMemo *m, PyObject *sd, StepAttr a, PyObject *value);

// The entries of the wrapper's live dictionary `ad` that every call reads,
// kept with the actuator's memo `m` (when there is one).
inline AdSeen ad_entries(State &S, SdMemo *m, PyObject *ad) {
    uint64_t tag = PyDict_Check(ad) ? dict_entries_tag(ad) : 0;
    if (m && tag && m->ad_seen.ad == ad && m->ad_seen.tag == tag)
        return m->ad_seen;
    AdSeen e{ad, tag, dict_get(ad, S.n_step.ptr()), dict_get(ad, S.n_native_view.ptr()),
             dict_get(ad, S.n_initialized.ptr())};
    if (m && tag)
        m->ad_seen = e;
    return e;
}

// The memo of `self`'s dictionary `sd` when it is current and `self`'s
// attribute stores reach the dictionary (see make_stores_notify).
SdMemo *current_memo(PyObject *self, PyObject *sd);

// ---- The plan of a twin view ---------------------------------------------------

// How a twin's field view gives a row and the feedback items: made once per
// view (see plan_for) and kept with it.
struct Plan {
    PyObject *view_obj = nullptr; // the TwinView object it was made for (identity only:
                                  // the view holds its plan, a run holds the view)
    TwinView *v = nullptr;
    bool rows_ok = false;
    FieldRef row[kRowSeries];
    bool row_nan[kRowSeries] = {};
    // The kind of each column (`time` last): what the field's values are in
    // the interpreter, so a series typed by its first value has this kind.
    tel::Kind kind[kNumSeries];
    // UInt64 fields feeding integer columns: a value beyond int64 makes the
    // series a list of objects, which the generic road does.
    int n_u64 = 0;
    FieldRef u64[kRowSeries];
    std::vector<nb::object> inp_missing; // interned names of absent optional inputs
    // The dictionary of `inp` under the entries tag with which it was last
    // found holding none of them: it holds none while the tag stands.
    struct InpSeen {
        PyObject *idd = nullptr; // compared only
        uint64_t tag = 0;
    };
    mutable InpSeen inp_seen;
    // Columns of one byte per value (booleans).
    bool narrow[kNumSeries] = {};
    // The row, split for the tick loop: double fields into float series
    // (copied as they are), float fields (widened), and every other slot.
    int n_dbl = 0, n_f32 = 0, n_other = 0;
    const char *dbl_src[kRowSeries], *f32_src[kRowSeries];
    int dbl_col[kRowSeries], f32_col[kRowSeries], other_col[kRowSeries];
    struct Src {
        bool ok = false;
        ItemKind kind = ItemKind::NaN;
        FieldRef a, b;
    } items[kNumItems];
    FieldRef debug[kDebugFlags.size()];
    // The twin's step and field checks as last passed in full, with the
    // versions (see dict_version) of the dictionaries they read; valid while
    // those versions and the classes involved stay as they were.
    struct Checked {
        bool ok = false;
        PyObject *ad = nullptr, *libd = nullptr, *idd = nullptr; // compared only
        uint64_t ad_ver = 0, lib_ver = 0, idd_ver = 0;
        DictVersion *ad_slot = nullptr, *lib_slot = nullptr, *idd_slot = nullptr; // (see version_holds)
        PyTypeObject *owner = nullptr;
        unsigned int owner_tag = 0;
        double caches[3] = {0, 0, 0};
    } checked;
    // The feedback items as a run last found them: the list's members and
    // the distinct member indices they give (members are compared by
    // address: the enumeration's members live as long as the module).
    struct ItemsSeen {
        Py_ssize_t n = -1;
        PyObject *members[16] = {};
        int n_distinct = 0;
        int distinct[kNumItems] = {};
    } items_seen;
    // The log's series as a short run last left them: the log's slots (the
    // whole run of words, see State::log_slots_begin) and each series'
    // column, valid while no column's storage changed anywhere since (a
    // series freed, or one giving its column up, changes the storage
    // generation).  Compared by address only.
    struct LogSeen {
        PyObject *log = nullptr;
        uint64_t generation = 0;
        PyObject *slots[kLogFields] = {};
        tel::Column *cols[kNumSeries] = {};
    } log_seen;
    // The snapshot, `feedback` and the copy of the snapshot last returned
    // (see ReturnedMaps) as the end of a run last walked them, each with its
    // entries' tag (see dict_entries_tag): while the three tags are the same,
    // the maps hold these keys and values in this order.  Compared by
    // address only.
    struct MapsSeen {
        PyObject *latest = nullptr, *fb = nullptr, *spare = nullptr;
        uint64_t latest_tag = 0, fb_tag = 0, spare_tag = 0;
        int n = -1;
        PyObject *keys[kNumItems], *a[kNumItems], *b[kNumItems], *r[kNumItems];
    } maps_seen;
    // The counters under which the short runs' writer was last found
    // holding exactly the columns of `log_seen`: it does while they are
    // unchanged.  (`log_seen` is rewritten only after a change of storage,
    // or with the columns the writer holds, or after the writer took new
    // ones: every case but the second moves a counter.)  Then the writer
    // itself (see ShortWriter), kept as long as the plan.
    struct WriterSeen {
        bool ok = false;
        uint64_t storage = 0, moves = 0;
        bool now() const { return ok && storage == tel::storage_generation && moves == tel::cursor_moves; }
    } short_writer_seen;
    ShortWriter short_writer;
};

// The view's plan, made on first use and kept with the view (so any number of
// actuators stepping in turn each find theirs at once); it lives as long as
// the view, which its users hold meanwhile.
Plan *plan_for(PyObject *view_obj, TwinView *v);

// An optional input port that the plan reads as absent (NaN) has appeared
// as a plain attribute of `inp`.
bool inp_port_added(const Plan &plan, TwinView *v);

// Whether the record of the last full step and field checks still holds for
// (act, ad): no dictionary they read (`ad`, the bindings module's `libd`, and
// `idd`, `inp`'s own, when optional ports are absent; all watched) changed,
// nor any class they depend on, nor DT_step's call attributes (which no
// dictionary holds).
inline bool checked_fresh(const Plan::Checked &c, TwinView *v, PyObject *act, PyObject *ad, PyObject *libd,
                          PyObject *idd) {
    if (!c.ok || c.ad != ad || c.libd != libd || c.idd != idd)
        return false;
    if (!version_holds(c.ad_slot, ad, c.ad_ver) || !version_holds(c.lib_slot, libd, c.lib_ver) ||
        (idd && !version_holds(c.idd_slot, idd, c.idd_ver)))
        return false;
    if (Py_TYPE(act) != c.owner || c.owner != v->owner_type || c.owner->tp_version_tag != c.owner_tag)
        return false;
    for (const TwinView::GroupClass &g : v->group_classes())
        if (Py_TYPE(g.obj) != g.type || g.type->tp_version_tag != g.tag)
            return false;
    return PyModule_CheckExact(v->lib.ptr()) && v->call_unchanged();
}

} // namespace vkl::virt
