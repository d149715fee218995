// The ticks of `step`: the rule that picks a road for each tick (run_ticks),
// the native runs (a short one for a caller stepping in lockstep, a long one
// writing through the columns' cursors with its after-step test and its row
// stage).
#include "virtual/tick.hpp"

#include "core/row_stage.hpp"
#include "virtual/native_run.hpp"
#include "virtual/stepping.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace vkl::virt {

namespace {

// ---- The short run ----------------------------------------------------------

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
    DictVersion *ae = libd ? version_slot(ad) : nullptr, *le = libd ? version_slot(libd) : nullptr;
    DictVersion *ie = libd && idd ? version_slot(idd) : nullptr;
    // (Read before the checks: an event on the way leaves a version that no
    // longer holds.)
    uint64_t av = ae ? ae->ver : 0, lv = le ? le->ver : 0, iv = ie ? ie->ver : 0;
    if (!v->step_valid(act, ad, caches))
        return false;
    if (ae && le && (ie || !idd) && v->fields_valid(act, ad) && v->owner_type->tp_version_tag != 0) {
        c.ad = ad;
        c.libd = libd;
        c.idd = idd;
        c.ad_ver = av;
        c.lib_ver = lv;
        c.idd_ver = iv;
        c.ad_slot = ae;
        c.lib_slot = le;
        c.idd_slot = ie;
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

// A short run (a caller stepping in lockstep, one tick per call) appends its
// rows through its plan's ShortWriter, attached from one call to the next, and
// makes the full checks around each twin step: setting up the change watch
// would cost more than the ticks.  The step and field checks are taken from
// the record of the last full ones while the dictionaries they read are
// watched.
constexpr long long kShortRun = 4;

// One tick's row as the plan reads it from the fields, handed value by value
// to `put8(column, 8 bytes)` and `put1(column, bool)`.
template <class Put8, class Put1>
inline void write_row(const Plan *plan, double tm, Put8 &&put8, Put1 &&put1) {
    // The plan's arrays and counts are read into locals first: the row's
    // stores go through byte copies, which as far as the compiler knows may
    // change the plan, and it would reload each of them for every value.
    const FieldRef *row = plan->row;
    const int n_dbl = plan->n_dbl, n_f32 = plan->n_f32, n_other = plan->n_other;
    const char *const *dbl_src = plan->dbl_src, *const *f32_src = plan->f32_src;
    const int *dbl_col = plan->dbl_col, *f32_col = plan->f32_col, *other_col = plan->other_col;
    const bool *row_nan = plan->row_nan;
    const tel::Kind *kind = plan->kind;
    put8(kTimeIndex, &tm);
    for (int j = 0; j < n_dbl; ++j)
        put8(dbl_col[j], dbl_src[j]);
    for (int j = 0; j < n_f32; ++j) {
        float x;
        std::memcpy(&x, f32_src[j], 4);
        double y = x;
        put8(f32_col[j], &y);
    }
    for (int j = 0; j < n_other; ++j) {
        int i = other_col[j];
        if (row_nan[i]) {
            put8(i, &kNaN);
            continue;
        }
        const FieldRef &f = row[i];
        switch (kind[i]) {
        case tel::Kind::Float: {
            double x = twin::load(f);
            put8(i, &x);
            break;
        }
        case tel::Kind::Int: {
            int64_t x = tick::load_int(f);
            put8(i, &x);
            break;
        }
        case tel::Kind::Bool: put1(i, tick::load_bool(f)); break;
        }
    }
}

// The two runs are kept as the compiler first laid them out, the long one
// inlined into native_run and the short one apart: left to its heuristics,
// an unrelated change could swap them, and long runs then read 10-15 ns per
// tick slower.
[[gnu::noinline]] long long short_run(State &S, Run &s, long long remaining) {
    Plan *plan = s.plan;
    TwinView *v = s.v;
    PyObject *sd = s.sd, *act = s.act, *ad = s.ad;
    PyObject *watched_libd = s.watched ? s.libd : nullptr;
    PyObject *watched_idd = s.watched ? s.idd.ptr() : nullptr;
    // The row of one tick as the plan reads it from the fields, through the
    // plan's short runs' writer (attached to the log's columns from one call
    // to the next, so taking them is rare).
    ShortWriter &writer = plan->short_writer;
    auto append_row = [&]() {
        if (!s.short_writer_holds || !writer.make_room()) {
            if (!writer.holds(s.cols))
                writer.take(s.cols, plan->narrow);
            s.short_writer_holds = true;
            writer.make_room(); // all attached now
        }
        double tm = tick::row_time(s.time_step, writer.rows(), s.time_start);
        uint64_t *w = writer.row();
        write_row(plan, tm, [w](int i, const void *src) { std::memcpy(&w[i], src, 8); },
                  [w](int i, bool b) { w[i] = b ? 1 : 0; });
        writer.commit();
    };
    long long done = 0;
    bool due = false, finish_generic = false;
    pyact::FrameCount counting(materialize_before_python, &s); // closed before anything of ours may run Python
    try {
        while (done < remaining) {
            // The first tick's actuator, view, setpoint and load were read by
            // the full checks, with nothing run since.
            if (done > 0 && (s.sd_entry(S, A_ACTUATOR) != act || dict_get(ad, S.n_native_view.ptr()) != s.view_obj))
                break;
            if (!step_checks(plan, v, act, ad, watched_libd, watched_idd, s.cache))
                break;
            if (done > 0 && !s.read_inputs())
                break;
            // A series changes its column or kind only along with the
            // storage generation: with that unchanged, its slots suffice.
            uint64_t storage = tel::storage_generation;
            uint64_t frames_before = pyact::frames, dicts_before = g_watch.dict_changes;
            s.step_twin();
            // Python code run by the step (or, uncounted, possibly run), or a
            // change from C to what the tick reads, may have changed
            // anything: the generic road takes over.
            if (!counting.active() || pyact::frames != frames_before ||
                (s.watched && g_watch.dict_changes != dicts_before) || !s.items_unchanged()) {
                finish_generic = true;
                break;
            }
            bool log_ok = s.sd_entry(S, A_LOG) == s.log &&
                          (tel::storage_generation == storage ? s.slots_unchanged()
                                                              : s.have_keep && s.series_unchanged());
            if (!fields_checked(plan, v, act, ad, watched_libd, watched_idd) ||
                s.sd_entry(S, A_ACTUATOR) != act || !log_ok || !s.own_classes_unchanged() || !s.u64_fit()) {
                finish_generic = true;
                break;
            }
            append_row();
            ++done;
            if (tick_done(s)) {
                due = true;
                break;
            }
        }
        // The series as checked after the last tick, its row appended: the
        // record stands as it is when the run found the log as recorded and no
        // column's storage changed since (the run's checks held the slots and
        // columns to it; a nested run, which could rewrite it, counts as a
        // Python frame and ends this run the generic way).
        Plan::LogSeen &seen_log = plan->log_seen;
        if (done > 0 && !finish_generic && s.slot_run &&
            !(s.log_as_seen && seen_log.generation == tel::storage_generation)) {
            seen_log.log = s.log;
            seen_log.generation = tel::storage_generation;
            std::memcpy(seen_log.slots, s.slot_run, sizeof seen_log.slots);
            if (s.cols != seen_log.cols)
                std::copy(s.cols, s.cols + kNumSeries, seen_log.cols);
        }
    } catch (std::bad_alloc &) {
        out_of_memory(S, s, counting, done);
    }
    counting.close();
    S.native_ticks += (uint64_t) done;
    return end_run(S, s, done, due, finish_generic);
}

// ---- The long run -----------------------------------------------------------

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

// The cheap test after each twin step of a long run (see native_run.hpp),
// armed with the state the full checks found (or that only our own code has
// changed since).
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

    // The test can be used when every object it relies on allows it;
    // otherwise every tick is checked in full.
    // The log's slots are compared with those the full checks found (the
    // run's `slots0`), which needs them to be one run of words.
    void set_up(Run &s) {
        if (!s.watched || !s.slot_run)
            return;
        self_slot = dict_slot(s.self);
        act_slot = dict_slot(s.act);
        on = self_slot && act_slot && *self_slot == s.sd && *act_slot == s.ad;
        if (on && s.inp_obj) {
            idd = s.idd.ptr();
            inp_slot = dict_slot(s.inp_obj);
            on = inp_slot && *inp_slot == idd;
        }
        sd = s.sd;
        ad = s.ad;
        add(Py_TYPE(s.self), s.self);
        add(Py_TYPE(s.act), s.act);
        add(Py_TYPE(s.log), s.log);
        add(s.v->owner_type, nullptr);
        add(Py_TYPE(s.v->step_obj.ptr()), s.v->step_obj.ptr());
        for (const TwinView::GroupClass &g : s.v->group_classes())
            add(g.type, g.obj);
    }
    void add(PyTypeObject *t, PyObject *owner) {
        if (n_types < (int) std::size(types) && has_version_tag(t)) {
            owners[n_types] = owner;
            types[n_types++] = t;
        } else {
            on = false;
        }
    }
    // Take the state as it is now; off for the rest of the run if a class
    // has no tag.
    bool arm() {
        dict_changes = g_watch.dict_changes;
        storage = tel::storage_generation;
        mutations = tel::mutations;
        for (int i = 0; i < n_types; ++i) {
            tags[i] = types[i]->tp_version_tag;
            if (tags[i] == 0)
                on = false;
        }
        return on;
    }
    // Nothing the ticks read has changed since arm().  A column given up by
    // its series bumps the storage generation, so the series' identities are
    // enough here.
    inline bool still_armed(const Run &s) const {
        if (g_watch.dict_changes != dict_changes || tel::storage_generation != storage ||
            tel::mutations != mutations || *self_slot != sd || *act_slot != ad || (inp_slot && *inp_slot != idd))
            return false;
        for (int i = 0; i < n_types; ++i)
            if (types[i]->tp_version_tag != tags[i] || (owners[i] && Py_TYPE(owners[i]) != types[i]))
                return false;
        return std::memcmp(s.slot_run, s.slots0, kLogFields * sizeof(PyObject *)) == 0 && s.v->call_unchanged() &&
               s.items_unchanged();
    }
};

// One tick's row: held back in `stage` (when not null), else stored through
// the columns' write cursors.
inline void put_row(Run &s, CallWriter &wr, const Plan *plan, Stage *stage) {
    double tm = tick::row_time(s.time_step, wr.rows++, s.time_start);
    if (stage) {
        uint64_t *w = stage->row();
        write_row(plan, tm, [w](int i, const void *src) { std::memcpy(&w[i], src, 8); },
                  [w](int i, bool b) { w[i] = b ? 1 : 0; });
        stage->commit();
    } else {
        unsigned char **cur = wr.cur;
        write_row(plan, tm, [cur](int i, const void *src) { tick::put8(cur[i], src); },
                  [cur](int i, bool b) { *cur[i]++ = b ? 1 : 0; });
    }
}

// A long run: each tick's row goes into the columns through the call's
// writer, one write cursor per column, held back a few rows at a time while
// the run will go on for a while (see RowStage: any operation of a column
// stores them first, so the log reads as complete after every tick); room
// for a batch of rows is made before its ticks run.  After each twin step
// the cheap test (Watch) stands in for the full checks while it is armed.
[[gnu::always_inline]] inline long long long_run(State &S, Run &s, long long remaining) {
    constexpr long long kBatch = 64;
    Plan *plan = s.plan;
    TwinView *v = s.v;
    PyObject *sd = s.sd, *act = s.act, *ad = s.ad;
    s.keep_all();
    if (!*s.writer)
        *s.writer = std::make_unique<CallWriter>(S);
    CallWriter &wr = **s.writer;
    if (!wr.holds_all(s.cols, plan->narrow))
        wr.take(s.series_hold->data(), s.cols, plan->narrow);
    if (S.parked == &wr)
        S.parked = nullptr; // running: not to be taken over
    Stage &stage = wr.stage;
    Watch w;
    w.set_up(s);
    long long done = 0;
    bool due = false, stop = false, finish_generic = false;
    bool checked = false; // the full checks hold for the coming step
    pyact::FrameCount counting(materialize_before_python, &s); // closed before anything of ours may run Python
    // Rows are held back for the whole run when it will last a few lines of
    // rows or more, else stored as they come (a callback due within a few
    // dozen ticks: a run that short gains nothing from holding back).  The
    // choice is made once per run: a run that changed to storing rows as they
    // come part-way, right after its lines went past the cache, would wait for
    // every column's next lines.
    constexpr long long kStagedRun = 24;
    long long ahead = remaining;
    if (s.may_emit)
        ahead = std::min(ahead, s.div - s.count % s.div);
    Stage *staged = ahead >= kStagedRun ? &stage : nullptr;
    try {
        while (done < remaining && !stop) {
            long long batch = std::min(kBatch, remaining - done);
            wr.make_room(batch, remaining - done);
            if (w.on && checked)
                checked = w.arm(); // making room is ours: nothing else ran
            for (long long t = 0; t < batch; ++t) {
                if (!checked) {
                    // Before the step: the twin may be stepped natively, with
                    // the actuator's current reference and load.
                    if (dict_get(sd, S.attr(A_ACTUATOR)) != act || dict_get(ad, S.n_native_view.ptr()) != s.view_obj ||
                        !v->step_valid(act, ad, s.cache) || !s.read_inputs()) {
                        stop = true;
                        break;
                    }
                    // What the row will be read through holds now too; from
                    // here on only a change can break it.
                    checked = w.on && v->fields_valid(act, ad) && s.log_unchanged() && w.arm();
                }
                uint64_t frames_before = pyact::frames, dicts_before = g_watch.dict_changes;
                s.step_twin();
                // After the step: the row and the snapshot are read through
                // the field view, into the same log as before.  Python code
                // run by the step (or, uncounted, possibly run) may have
                // changed anything: the generic road takes over.
                if (!counting.active() || pyact::frames != frames_before) {
                    finish_generic = stop = true;
                    break;
                }
                if (checked) {
                    if (!w.still_armed(s)) {
                        // Something changed while the twin stepped: this
                        // tick's row, count and snapshot go the generic way.
                        finish_generic = stop = true;
                        break;
                    }
                } else {
                    uint64_t storage = tel::storage_generation, mutations = tel::mutations;
                    if ((s.watched && g_watch.dict_changes != dicts_before) || !s.items_unchanged() ||
                        !v->fields_valid(act, ad) || dict_get(sd, S.attr(A_ACTUATOR)) != act || !s.log_unchanged()) {
                        finish_generic = stop = true;
                        break;
                    }
                    if (tel::storage_generation != storage || tel::mutations != mutations)
                        wr.make_room(batch - t, remaining - done);
                }
                if (!s.u64_fit()) {
                    finish_generic = stop = true;
                    break;
                }
                put_row(s, wr, plan, staged);
                ++done;
                if (tick_done(s)) {
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
        S.native_ticks += (uint64_t) done;
    } catch (std::bad_alloc &) {
        out_of_memory(S, s, counting, done);
    }
    // Between runs (the callback due, the tick finished the generic way)
    // the writer may be taken over; it holds no rows back.  (A run ended by
    // an error has them stored as the writer lets its columns go.)
    if (stage.pending)
        stage.store_pending();
    if (wr.active)
        S.parked = &wr;
    return end_run(S, s, done, due, finish_generic);
}

// ---- The rule that picks ------------------------------------------------------

// Run up to `remaining` ticks natively.  Returns the number of ticks run; 0
// when the native road does not apply now (the caller then runs a generic
long long native_run(State &S, nb::handle self, long long remaining, std::unique_ptr<CallWriter> &writer) {
    Found f;
    if (!find_objects(S, f, self.ptr()))
        return 0;
    Run s(S, std::move(f));
    s.writer = &writer;
    if (!full_checks(S, s))
        return 0;
    watch_dicts(S, s);
    return remaining <= kShortRun ? short_run(S, s, remaining) : long_run(S, s, remaining);
}

} // namespace

void run_ticks(State &S, nb::handle self, long long n) {
    // Made by the first long run; at the end of the call (or on an error)
    // it lets the columns go.
    std::unique_ptr<CallWriter> writer;
    long long done = 0;
    while (done < n) {
        long long k = native_run(S, self, n - done, writer);
        if (k > 0) {
            done += k;
            continue;
        }
        generic_tick(S, self);
        ++done;
    }
}

} // namespace vkl::virt
