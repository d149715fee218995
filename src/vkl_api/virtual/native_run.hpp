// A run of the simulated actuator's native ticks: what a native tick relies
// on, the objects and state a run works on (Found, Run), the helpers its tick
// loops call on every tick (inline here), and the steps around the ticks,
// from the full checks before the first to the end of the run.
#pragma once

#include "core/python_activity.hpp"
#include "core/row_stage.hpp"
#include "core/tick_loop.hpp"
#include "virtual/native_records.hpp"
#include "virtual/series.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace vkl::virt {

// ---- What a native tick relies on, and how it notices a change ----------
//
// Inside a run of native ticks the only place where Python code can run is
// the twin's own DT_step (foreign code may call back into the interpreter).
// Everything the ticks rely on is checked in full before the first tick; after
// every DT_step a cheap test tells whether anything Python-visible that the
// ticks read could have changed:
//   * no Python frame ran during the step (pyact::FrameCount, open for the
//     whole run of ticks): Python code could change anything, so any frame
//     at all ends the native run; what follows covers changes made from C
//     (a builtin called by the twin, for one);
//   * the dictionaries read (the actuator's and the wrapper's instance
//     dictionaries, the bindings module's) are watched: any change bumps
//     g_watch.dict_changes;
//   * those objects still use the same dictionaries;
//   * the classes involved keep their version tags (any change to a class
//     resets its tag);
//   * DT_step's call attributes (not held in any dictionary) are the same;
//   * the log holds the same series, and no column's storage changed;
//   * the list of feedback items holds the same members.
// When the test fails, the tick is finished on the generic road and the run
// ends; the next run starts with the full checks again.

// One item's value from the fields, as `_get_item_value` gives it.
inline double item_value(const Plan &p, int k) {
    const Plan::Src &s = p.items[k];
    switch (s.kind) {
    case ItemKind::Path: return twin::load(s.a);
    case ItemKind::Flag: return twin::load(s.a) != 0.0 ? 1.0 : 0.0;
    case ItemKind::VBus: {
        double power = twin::load(s.a);
        double current = twin::load(s.b);
        return power / (current == 0.0 ? 1.0 : current);
    }
    case ItemKind::Const: return kTempPcb;
    case ItemKind::HasErrors:
        for (size_t j = 0; j < kDebugFlags.size(); ++j)
            if (twin::load(p.debug[j]) != 0.0)
                return 1.0;
        return 0.0;
    case ItemKind::NaN: return kNaN;
    }
    return kNaN;
}

// ---- The run of native ticks ------------------------------------------------

// The objects a run of native ticks steps, found by the first of the full
// checks (held for the whole run).  Most calls on the generic road stop
// there: the rest of a run's state is made only when these hold.
struct Found {
    PyObject *self = nullptr, *sd = nullptr; // the actuator and its dict
    PyObject *act = nullptr, *ad = nullptr;  // the twin and its dict
    PyObject *view_obj = nullptr;
    TwinView *v = nullptr;
    Plan *plan = nullptr;
    PyObject *log = nullptr;
    SdMemo *memo = nullptr; // sd's memo, while it is current
    nb::object sd_hold, act_hold, ad_hold, view_hold, log_hold; // (the view holds the plan)

    PyObject *sd_entry(State &S, StepAttr a) const { return sd_get(S, memo, sd, a); }
};

using Stage = tick::RowStage<kNumSeries>;

// ---- The columns' writer of one `step` call ---------------------------------
//
// A long run writes its rows through one write cursor per column (see
// tel::Column's row writers).  The cursors belong to the `step` call, not to
// one run: when a run ends because a feedback callback is due, or a tick goes
// the generic way, the columns stay attached, and the next run of the call
// finds them ready, with the room it made for rows still known.  Code running
// in between sees complete columns (every operation of a column goes by the
// cursor) and may change or replace any of them; the next run attaches again
// what is no longer attached to it.  Rows held back (the stage) do not
// outlive a run.
//
// Between runs the writer is parked (State::parked): a run of another call
// (a callback stepping the same log) takes its columns over, once the parked
// writer has let them go.  A column attached to a writer that is neither the
// run's own nor parked belongs to a run in progress further up (a twin
// calling back), and the native road is refused.
struct CallWriter {
    State &S;
    bool active = false;
    tel::Column *cols[kNumSeries];
    unsigned char *cur[kNumSeries]; // the columns' write cursors
    nb::object keep[kNumSeries];    // the series, whose columns stay alive while attached
    bool narrow[kNumSeries];        // the columns of one byte per value (booleans)
    Stage stage{cur, narrow};       // rows held back during a run
    size_t rows = 0;                // the log's rows, those held back included
    tel::RoomRecord room; // as make_room last found it

    explicit CallWriter(State &S) : S(S) {}
    CallWriter(const CallWriter &) = delete;
    CallWriter &operator=(const CallWriter &) = delete;
    ~CallWriter() { release(); }

    // Column c is still its series' and attached to this writer.
    bool holds(int c) const {
        return active && ((SeriesObject *) keep[c].ptr())->col == cols[c] && cols[c]->attached_to(&cur[c]);
    }
    bool holds_all(tel::Column *const *want, const bool *want_narrow) const {
        if (!active)
            return false;
        for (int c = 0; c < kNumSeries; ++c)
            if (cols[c] != want[c] || narrow[c] != want_narrow[c] || !holds(c))
                return false;
        return true;
    }
    // To write `want`, the columns of `series`, after letting go of any others.
    void take(const nb::object *series, tel::Column *const *want, const bool *want_narrow) {
        release();
        for (int c = 0; c < kNumSeries; ++c) {
            keep[c] = series[c];
            cols[c] = want[c];
            narrow[c] = want_narrow[c];
        }
        active = true;
    }
    // Room for `n` more rows in every column, written through the cursors,
    // with `ahead` rows (n or more) still to come in the call: the columns'
    // capacity is taken for those at once (up to kReserveRows), so a fresh
    // log's columns do not pass through every smaller size, each a copy.
    // The columns are visited only when the room found last time is used up
    // or their storage may have changed: reading dozens of columns' records
    // costs more than the rows of a batch when they have left the cache.
    static constexpr long long kReserveRows = 1 << 18;
    void make_room(long long n, long long ahead) {
        if (room.fits((size_t) n, rows))
            return;
        size_t least = SIZE_MAX;
        size_t reserve = (size_t) std::min(std::max(ahead, n), kReserveRows);
        for (int c = 0; c < kNumSeries; ++c) {
            cols[c]->attach(&cur[c], &stage);
            size_t len = cols[c]->size();
            cols[c]->reserve(len + reserve);
            cols[c]->ensure(len + (size_t) n);
            least = std::min(least, cols[c]->spare());
        }
        rows = cols[kTfbIndex]->size();
        room.found(rows, least);
    }
    // The columns still attached let go (the first stores any rows held back).
    void release() {
        if (S.parked == this)
            S.parked = nullptr;
        if (!active)
            return;
        for (int c = 0; c < kNumSeries; ++c)
            if (holds(c))
                cols[c]->detach();
        active = false;
        room.known = false;
        for (auto &k : keep)
            k.reset();
    }
};

// What a run of native ticks works on, found by the full checks: the
// objects it reads, the state it brings up to date, and the columns it
// writes through.
struct Run : Found {
    State *st = nullptr;
    PyTypeObject *self_t = nullptr, *log_t = nullptr; // the classes as checked
    unsigned int self_tag = 0, log_tag = 0;
    nb::object items_hold;
    // The series stay alive whatever runs during a tick (`keep`), where a run
    // has to read them after foreign code ran; a short run that finds them as
    // the last one left them (Plan::LogSeen) only compares the log's slots
    // (`slots0`, the whole run of them) and the storage generation, which
    // tell the same.  The time step and start are always kept.  The series'
    // holds are made only where needed, so that such a run neither makes nor
    // drops any.
    std::optional<std::array<nb::object, kNumSeries>> series_hold;
    nb::object time_hold[2];
    bool have_keep = false; // every series held
    PyObject *kept(int i) const {
        return i < kNumSeries ? (*series_hold)[i].ptr() : time_hold[i - kNumSeries].ptr();
    }
    PyObject **slot_run = nullptr; // the log's slots, when they are one run of words
    // The slots and columns as the full checks found them: the plan's record
    // itself when they found the log as recorded (Plan::LogSeen), else this
    // run's own copy.  The record is rewritten only at the end of a short
    // run; a nested run on the same plan counts as a Python frame, after
    // which this run reads neither again.
    PyObject *const *slots0 = slots_own;
    tel::Column *const *cols = cols_own;
    bool log_as_seen = false; // slots0 and cols are the plan's record
    // The plan's short runs' writer holds the columns (found by the full
    // checks; only a column's reset or destruction, which ends the run's
    // native ticks, or another run, which counts as a frame, undoes it).
    bool short_writer_holds = false;
    PyObject *slots_own[kLogFields];
    tel::Column *cols_own[kNumSeries];
    // The call's writer (made by the first long run that needs it).
    std::unique_ptr<CallWriter> *writer = nullptr;
    double time_step = 0, time_start = 0;
    double setpoint = 0, load = 0;
    long long count = 0;
    long long div = 0;     // the feedback rate divider
    bool may_emit = false; // a callback, items and a positive divider
    double cache[3] = {0, 0, 0};
    // The configured items: the list, a copy of its members as configured
    // now (compared after every step: it may be changed in place from C
    // without a frame), and the distinct members in order.
    PyObject *items = nullptr;
    Py_ssize_t n_items = 0;
    PyObject *item_buf[16];
    std::vector<PyObject *> item_big;
    PyObject **item_copy = item_buf;
    int distinct[kNumItems];
    double values[kNumItems]; // per distinct item, after the last tick
    int n_distinct = 0;
    // The tick count, snapshot and `feedback` as this run last left them in
    // the actuator's dictionary, and whether ticks have run since.
    nb::object seen[3];
    bool dirty = false;
    // The dictionaries watched for this run (see watch_dicts).
    bool watched = false;
    PyObject *libd = nullptr; // the bindings module's
    nb::object idd;           // inp's own, when optional ports are absent
    PyObject *inp_obj = nullptr;

    Run(State &S, Found &&f) : Found(std::move(f)), st(&S) {}
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;
    bool items_unchanged() const {
        PyObject **now = ((PyListObject *) items)->ob_item;
        return PyList_GET_SIZE(items) == n_items && std::equal(item_copy, item_copy + n_items, now);
    }
    bool own_classes_unchanged() const {
        return Py_TYPE(self) == self_t && self_t->tp_version_tag == self_tag && Py_TYPE(log) == log_t &&
               log_t->tp_version_tag == log_tag;
    }
    bool slots_unchanged() const {
        if (!have_keep)
            return std::memcmp(slot_run, slots0, kLogFields * sizeof(PyObject *)) == 0;
        for (int i = 0; i < kLogFields; ++i)
            if (log_slot(*st, log, i) != kept(i))
                return false;
        return true;
    }
    bool series_unchanged() const {
        if (!slots_unchanged())
            return false;
        for (int i = 0; i < kNumSeries; ++i)
            if (((SeriesObject *) kept(i))->col != cols[i] || cols[i]->kind() != plan->kind[i])
                return false;
        return true;
    }
    bool log_unchanged() const { return dict_get(sd, st->attr(A_LOG)) == log && series_unchanged(); }
    // Every series slot as checked, kept (a long run reads the series later).
    void keep_all() {
        if (have_keep)
            return;
        if (!series_hold)
            series_hold.emplace();
        for (int i = 0; i < kNumSeries; ++i)
            (*series_hold)[i] = nb::borrow(log_slot(*st, log, i));
        have_keep = true;
    }
    bool u64_fit() const {
        for (int j = 0; j < plan->n_u64; ++j)
            if (!tick::u64_fits(plan->u64[j]))
                return false;
        return true;
    }
    // The actuator's current reference and load, when they are exact floats.
    bool read_inputs() {
        PyObject *spo = sd_entry(*st, A_SETPOINT), *ldo = sd_entry(*st, A_LOAD);
        if (!spo || !ldo || !PyFloat_CheckExact(spo) || !PyFloat_CheckExact(ldo))
            return false;
        setpoint = PyFloat_AS_DOUBLE(spo);
        load = PyFloat_AS_DOUBLE(ldo);
        return true;
    }
    // One twin step natively: what the engine's `step(ref, load)` does.
    void step_twin() {
        // Inputs are nearly always doubles: stored here without the call.
        auto put = [](const FieldRef &f, double x) {
            if (f.type == CType::Double)
                std::memcpy(f.addr, &x, sizeof x);
            else
                twin::store(f, x);
        };
        put(v->in_reference, setpoint);
        put(v->in_load, load);
        for (int i = 0; i < 3; ++i)
            if (v->in_opt[i])
                put(v->in_opt[i], cache[i]);
        v->step_fn(v->model);
    }
};

// A tick's row is in: count it and take its item values.  True when its
// feedback is due.
inline bool tick_done(Run &s) {
    ++s.count;
    s.dirty = true;
    for (int j = 0; j < s.n_distinct; ++j)
        s.values[j] = item_value(*s.plan, s.distinct[j]);
    return s.may_emit && s.count % s.div == 0;
}

// ---- The steps around the ticks (native_run.cpp) ----------------------------

// The full checks before a run: everything a native tick relies on, found as
// it was written for (see above).  False when the native road does not apply
// now; nothing has been changed then but an empty series given the kind of
// the values about to come.  First the objects stepped ...
bool find_objects(State &S, Found &s, PyObject *self);
// ... then their state.
bool full_checks(State &S, Run &s);
// The dictionaries the run reads watched, where the watcher is available.
void watch_dicts(State &S, Run &s);
// The frame counter's hook (see pyact::FrameCount): Python code is about to
// run inside a twin's step, and sees the state of the last finished tick.
void materialize_before_python(void *ctx);
// The end of a run of `done` native ticks.  Returns the ticks run.
long long end_run(State &S, Run &s, long long done, bool due, bool finish_generic);
// A run that ran out of memory: the state brought up to the last finished
// tick, MemoryError raised.
[[noreturn]] void out_of_memory(State &S, Run &s, pyact::FrameCount &counting, long long done);

} // namespace vkl::virt
