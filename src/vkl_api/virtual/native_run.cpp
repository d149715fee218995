// The steps of a native run around its ticks: the full checks (the objects
// stepped, then their state), the watch of the dictionaries it reads,
// bringing the Python-visible state up to date, and the end of the run.
#include "virtual/native_run.hpp"

#include "core/member_hashes.hpp"
#include "virtual/stepping.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace vkl::virt {
namespace {

// Values that no code can reach but through the dictionaries this run holds
// are updated in place: an object of an immutable type referenced only from
// there cannot be told from a new one of the new value (the interpreter
// itself grows a string in place on the same grounds).  That spares a
// one-tick call the objects made and freed for its count and its items, and
// the dictionary stores.  The reference counts decide it, so on a build that
// keeps them apart per thread this does not apply (kRefCountsExact).

// The tick count `o`, referenced by the actuator's dictionary and the run
// only, set to `count` in place: both one-digit positive ints.
bool count_in_place(PyObject *o, long long count) {
    if (!kRefCountsExact || !PyLong_CheckExact(o) || Py_REFCNT(o) != 2 || count < 1 || count > (long long) PyLong_MASK)
        return false;
    auto *l = (PyLongObject *) o;
    if (l->long_value.lv_tag != (uintptr_t(1) << _PyLong_NON_SIZE_BITS))
        return false;
    l->long_value.ob_digit[0] = (digit) count;
    return true;
}

// The snapshot `latest` and `feedback` `fb` as this run found them and as
// the actuator's dictionary still holds them, looked at in one walk.  Each is
// refillable when nothing else references it (the actuator's dictionary and
// the run hold one reference each) and it holds exactly the items, in order,
// with floats for values.  Refilled in place, it cannot be told from the new
// dictionary that `step` is to make: no code holds it, and the keys, their
// order and every value come out the same.  This spares a one-tick call two
// dictionaries made and two freed.
struct MapsLook {
    bool latest = false, fb = false; // refillable
    // Both are, and every value is a float that nothing but their entries
    // references (one object may sit at the same key in both, and in the
    // copy last returned when only S.returned holds it), or, for an item
    // that is always NaN, the module's NaN: the values can be updated in
    // place (values_in_place).  A caller keeping the map `step` returned
    // keeps its values, so the next call makes new ones.
    bool values_own = false;
    PyObject *a[kNumItems], *b[kNumItems]; // the values of each
    PyObject *r[kNumItems];                // the spare copy's, at the same places
};

// Every value of the maps has no reference but those `m` knows of.
bool only_known_references(State &S, const Run &s, const MapsLook &m) {
    for (int j = 0; j < s.n_distinct; ++j) {
        PyObject *a = m.a[j], *b = m.b[j], *r = m.r[j];
        if (kItems[s.distinct[j]].kind == ItemKind::NaN) {
            if (a != S.nan.ptr() || b != S.nan.ptr())
                return false;
        } else if (Py_REFCNT(a) != 1 + (a == b) + (r == a) || (a != b && Py_REFCNT(b) != 1 + (r == b))) {
            return false;
        }
    }
    return true;
}

void look_at_maps(State &S, const Run &s, PyObject *latest, PyObject *fb, bool latest_held, bool fb_held,
                  PyObject *const *keys, MapsLook &m) {
    const int n = s.n_distinct;
    auto candidate = [n](PyObject *d) {
        return d && PyDict_CheckExact(d) && Py_REFCNT(d) == 2 && PyDict_GET_SIZE(d) == n;
    };
    m.latest = latest_held && candidate(latest);
    m.fb = fb_held && fb != latest && candidate(fb);
    const bool both = m.latest && m.fb;
    // The copy last returned, walked beside them: a value it holds at the
    // same place has one more known reference (wherever it holds one more,
    // the value counts as held elsewhere).
    PyObject *spare = both ? S.returned.spare(latest) : nullptr;
    if (spare && PyDict_GET_SIZE(spare) != n)
        spare = nullptr;
    Plan::MapsSeen &seen = s.plan->maps_seen;
    const uint64_t latest_tag = both ? dict_entries_tag(latest) : 0; // (both exact dicts)
    if (both && latest_tag && seen.n == n && seen.latest == latest && seen.latest_tag == latest_tag &&
        seen.fb == fb && seen.fb_tag == dict_entries_tag(fb) && seen.spare == spare &&
        (!spare || seen.spare_tag == dict_entries_tag(spare)) && std::equal(keys, keys + n, seen.keys)) {
        std::copy(seen.a, seen.a + n, m.a);
        std::copy(seen.b, seen.b + n, m.b);
        std::copy(seen.r, seen.r + n, m.r);
    } else {
        Py_ssize_t pa = 0, pb = 0, pr = 0;
        PyObject *k;
        // Exact floats only: dropping one runs no code.
        for (int j = 0; j < n && (m.latest || m.fb); ++j) {
            if (m.latest) {
                PyDict_Next(latest, &pa, &k, &m.a[j]);
                m.latest = k == keys[j] && PyFloat_CheckExact(m.a[j]);
            }
            if (m.fb) {
                PyDict_Next(fb, &pb, &k, &m.b[j]);
                m.fb = k == keys[j] && PyFloat_CheckExact(m.b[j]);
            }
            m.r[j] = nullptr;
            if (spare)
                PyDict_Next(spare, &pr, &k, &m.r[j]);
        }
        if (both && m.latest && m.fb && latest_tag) {
            seen = {latest, fb, spare, latest_tag, dict_entries_tag(fb), spare ? dict_entries_tag(spare) : 0, n};
            std::copy(keys, keys + n, seen.keys);
            std::copy(m.a, m.a + n, seen.a);
            std::copy(m.b, m.b + n, seen.b);
            std::copy(m.r, m.r + n, seen.r);
        }
    }
    m.values_own = kRefCountsExact && m.latest && m.fb && only_known_references(S, s, m);
}

// The maps' values, as look_at_maps found them with `values_own`, given the
// new values in place.
void values_in_place(const Run &s, const MapsLook &m) {
    for (int j = 0; j < s.n_distinct; ++j)
        if (kItems[s.distinct[j]].kind != ItemKind::NaN)
            ((PyFloatObject *) m.a[j])->ob_fval = ((PyFloatObject *) m.b[j])->ob_fval = s.values[j];
}

// Bring the Python-visible state up to the last finished tick.  A value that
// is no longer the one this run left there was set by code that ran during a
// twin's step, after that tick: it stands, as it would on the generic road.
void materialize(State &S, Run &s) {
    s.dirty = false;
    const StepAttr keys[3] = {A_COUNT, A_LATEST, A_FEEDBACK};
    auto held = [&](int k) { return s.sd_entry(S, keys[k]) == s.seen[k].ptr(); };
    auto put = [&](int k, nb::object v) {
        if (!held(k))
            return;
        memo_store(S, s.memo, s.sd, keys[k], v.ptr());
        s.seen[k] = std::move(v);
    };
    if (!(held(0) && count_in_place(s.seen[0].ptr(), s.count)))
        put(0, steal_or_raise(PyLong_FromLongLong(s.count)));
    const int n = s.n_distinct;
    PyObject *item_keys[kNumItems];
    for (int j = 0; j < n; ++j)
        item_keys[j] = S.items[s.distinct[j]].ptr();
    // The snapshot, then `feedback` as its copy: each refilled where it can
    // be (its values in place where nothing else reaches them), else made
    // anew and stored.
    PyObject *latest = s.seen[1].ptr(), *fb = s.seen[2].ptr();
    MapsLook look;
    look_at_maps(S, s, latest, fb, held(1), held(2), item_keys, look);
    if (look.values_own) {
        values_in_place(s, look);
        return;
    }
    // The members' hashes; taking them anew runs their __hash__, after which
    // the maps are looked at again (no code may run between that look and
    // their refill).
    bool known = n > 0 && S.item_hashes.held(S.items, kNumItems);
    if (n > 0 && !known) {
        known = S.item_hashes.current(S.items, kNumItems);
        look_at_maps(S, s, latest, fb, held(1), held(2), item_keys, look);
    }
    bool refill_latest = look.latest, refill_fb = look.fb;
    // The new values: the floats of a map `step` returned that the caller
    // has dropped since (see ReturnedMaps), given their new values, else new
    // floats.  (With the hashes known no code runs from here to the stores.)
    nb::object values[kNumItems];
    PyObject *fixed[kNumItems], *reused[kNumItems];
    for (int j = 0; j < n; ++j)
        fixed[j] = kItems[s.distinct[j]].kind == ItemKind::NaN ? S.nan.ptr() : nullptr;
    if (known && n > 0 && S.returned.free_floats(latest, item_keys, fixed, n, reused)) {
        for (int j = 0; j < n; ++j) {
            if (!fixed[j])
                ((PyFloatObject *) reused[j])->ob_fval = s.values[j];
            values[j] = nb::borrow(reused[j]);
        }
    } else {
        for (int j = 0; j < n; ++j)
            values[j] = fixed[j] ? nb::borrow(fixed[j]) : steal_or_raise(PyFloat_FromDouble(s.values[j]));
    }
    auto fill = [&](PyObject *d) {
        for (int j = 0; j < n; ++j) {
            int k = s.distinct[j];
            int r = known ? dict_set_known_hash(d, item_keys[j], values[j].ptr(), S.item_hashes.hash(k))
                          : PyDict_SetItem(d, item_keys[j], values[j].ptr());
            if (r < 0)
                raise_pending();
        }
    };
    // Refilled only with the members' hashes known: storing then runs no
    // code, which could otherwise see a dictionary refilled in part.
    bool can_refill = known || n == 0;
    refill_latest &= can_refill;
    refill_fb &= can_refill;
    nb::object snap;
    if (refill_latest) {
        fill(latest);
        snap = s.seen[1];
    } else {
        snap = nb::steal(PyDict_New());
        if (!snap.is_valid())
            raise_pending();
        fill(snap.ptr());
    }
    nb::object copy = refill_fb ? nb::object() : dict_copy(snap);
    if (!refill_latest)
        put(1, snap);
    if (refill_fb)
        fill(fb);
    else
        put(2, std::move(copy));
}

} // namespace

// Python code is about to run inside a twin's step: it sees the state of the
// last finished tick.  (A failure here leaves the state for the end of the
// run to bring up to date, and raises there.)
void materialize_before_python(void *ctx) {
    auto &s = *(Run *) ctx;
    if (!s.dirty)
        return;
    try {
        materialize(*s.st, s);
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("bringing the simulated actuator's state up to date");
        s.dirty = true;
    } catch (std::exception &) {
        PyErr_Clear();
        s.dirty = true;
    }
}

// The full checks before a run: everything a native tick relies on (see
// native_run.hpp), found as it was written for.  False when the native road
// does not apply now; nothing has been changed then but an empty series
// given the kind of the values about to come.  First the objects stepped:
bool find_objects(State &S, Found &s, PyObject *self) {
    s.self = self;
    if (!self_type_ok(S, Py_TYPE(self)))
        return false;
    s.sd_hold = nb::steal(instance_dict(self));
    PyObject *sd = s.sd_hold.ptr();
    if (!sd || !PyDict_CheckExact(sd))
        return false;
    s.sd = sd;
    s.memo = current_memo(self, sd);
    if (!(s.memo ? s.memo->methods_free : no_method_shadowed(S, sd)))
        return false;
    PyObject *act = s.sd_entry(S, A_ACTUATOR);
    if (!act || !engine_type_ok(S, Py_TYPE(act)))
        return false;
    s.act = act;
    s.act_hold = nb::borrow(act);
    s.ad_hold = nb::steal(instance_dict(act));
    PyObject *ad = s.ad_hold.ptr();
    if (!ad)
        return false;
    AdSeen in_ad = ad_entries(S, s.memo, ad);
    if (in_ad.step)
        return false;
    s.ad = ad;
    PyObject *view_obj = in_ad.view;
    if (!view_obj || Py_TYPE(view_obj) != S.view_type)
        return false;
    TwinView *v = nb::inst_ptr<TwinView>(view_obj);
    if (!v)
        return false; // validity is checked before every tick, the first included
    s.view_obj = view_obj;
    s.v = v;
    s.view_hold = nb::borrow(view_obj); // the view (its structures, its plan) outlives the run
    Plan *plan = s.plan = plan_for(view_obj, v);
    if (!plan->rows_ok)
        return false;
    PyObject *log = s.sd_entry(S, A_LOG);
    if (!log || !log_type_ok(S, Py_TYPE(log)))
        return false;
    s.log_hold = nb::borrow(log);
    s.log = log;
    return true;
}

namespace {

// The log's columns are attached to no writer but the plan's short runs'
// (holding them all), the call's own (likewise) or a parked one or another
// plan's short runs', which are made to let them go.  A column attached
// otherwise is in a run in progress further up (a twin calling back).
bool columns_free(State &S, Run &s) {
    if (tel::attached_columns == 0)
        return true;
    Plan::WriterSeen &seen = s.plan->short_writer_seen;
    if (s.log_as_seen && seen.now()) {
        s.short_writer_holds = true;
        return true;
    }
    if (s.plan->short_writer.holds(s.cols)) {
        s.short_writer_holds = true;
        if (s.log_as_seen)
            seen = {true, tel::storage_generation, tel::cursor_moves};
        return true;
    }
    CallWriter *own = s.writer ? s.writer->get() : nullptr;
    bool attached = false;
    for (int c = 0; c < kNumSeries; ++c)
        attached |= s.cols[c]->attached();
    if (!attached || (own && own->holds_all(s.cols, s.plan->narrow)))
        return true;
    if (own)
        own->release();
    if (S.parked)
        S.parked->release();
    ShortWriter::release_holders(s.cols);
    for (int c = 0; c < kNumSeries; ++c)
        if (s.cols[c]->attached())
            return false;
    return true;
}

} // namespace

// ... then their state.
bool full_checks(State &S, Run &s) {
    PyObject *self = s.self, *sd = s.sd, *log = s.log;
    Plan *plan = s.plan;
    TwinView *v = s.v;
    // The actuator's and the log's classes as checked (a class can be
    // swapped from C, `obj.__class__ = Sub`, with no dictionary changed).
    s.self_t = Py_TYPE(self);
    s.log_t = Py_TYPE(log);
    s.self_tag = s.self_t->tp_version_tag;
    s.log_tag = s.log_t->tp_version_tag;
    s.slot_run = S.log_slots_contiguous ? (PyObject **) ((char *) log + S.log_slots_begin) : nullptr;
    const Plan::LogSeen &seen_log = plan->log_seen;
    if (s.slot_run && seen_log.log == log && seen_log.generation == tel::storage_generation &&
        std::memcmp(seen_log.slots, s.slot_run, sizeof seen_log.slots) == 0) {
        s.cols = seen_log.cols;
        s.slots0 = seen_log.slots;
        s.log_as_seen = true;
    } else {
        s.series_hold.emplace();
        for (int i = 0; i < kNumSeries; ++i) {
            PyObject *o = log_slot(S, log, i);
            if (!o || !is_series(o) || !((SeriesObject *) o)->col)
                return false;
            auto *so = (SeriesObject *) o;
            if (so->kind != plan->kind[i]) {
                // An empty series takes the kind of the values about to come.
                if (so->col->size() != 0 || so->col->attached())
                    return false;
                series_set_kind(so, plan->kind[i]);
            }
            (*s.series_hold)[i] = nb::borrow(o);
            s.cols_own[i] = so->col;
        }
        s.have_keep = true;
    }
    if (s.slot_run && !s.log_as_seen)
        std::memcpy(s.slots_own, s.slot_run, sizeof s.slots_own);
    PyObject *ts = log_slot(S, log, kTimeStepIndex), *t0 = log_slot(S, log, kTimeStartIndex);
    if (!ts || !t0 || !PyFloat_CheckExact(ts) || !PyFloat_CheckExact(t0))
        return false;
    s.time_hold[0] = nb::borrow(ts);
    s.time_hold[1] = nb::borrow(t0);
    s.time_step = PyFloat_AS_DOUBLE(ts);
    s.time_start = PyFloat_AS_DOUBLE(t0);
    if (inp_port_added(*plan, v))
        return false;
    if (!s.read_inputs())
        return false;
    PyObject *cnt = s.sd_entry(S, A_COUNT);
    if (!cnt || !PyLong_CheckExact(cnt))
        return false;
    {
        int overflow = 0;
        s.count = PyLong_AsLongLongAndOverflow(cnt, &overflow);
        if (overflow || (s.count == -1 && PyErr_Occurred()) || s.count > (1LL << 62)) {
            PyErr_Clear();
            return false;
        }
    }
    s.seen[0] = nb::borrow(cnt);
    s.seen[1] = nb::borrow(s.sd_entry(S, A_LATEST));
    s.seen[2] = nb::borrow(s.sd_entry(S, A_FEEDBACK));
    PyObject *items = s.sd_entry(S, A_ITEMS);
    if (!items || !PyList_CheckExact(items))
        return false;
    Plan::ItemsSeen &seen_items = plan->items_seen;
    PyObject **members = ((PyListObject *) items)->ob_item;
    if (seen_items.n == PyList_GET_SIZE(items) && std::equal(seen_items.members, seen_items.members + seen_items.n, members)) {
        s.n_distinct = seen_items.n_distinct;
        std::copy(seen_items.distinct, seen_items.distinct + s.n_distinct, s.distinct);
    } else {
        bool seen[kNumItems] = {};
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
            PyObject *it = PyList_GET_ITEM(items, i);
            int k = -1;
            for (int m = 0; m < kNumItems; ++m)
                if (S.items[m].ptr() == it) {
                    k = m;
                    break;
                }
            if (k < 0 || !plan->items[k].ok)
                return false;
            if (!seen[k]) {
                seen[k] = true;
                s.distinct[s.n_distinct++] = k;
            }
        }
        if (PyList_GET_SIZE(items) <= (Py_ssize_t) std::size(seen_items.members)) {
            seen_items.n = PyList_GET_SIZE(items);
            std::copy(members, members + seen_items.n, seen_items.members);
            seen_items.n_distinct = s.n_distinct;
            std::copy(s.distinct, s.distinct + s.n_distinct, seen_items.distinct);
        }
    }
    s.items = items;
    s.items_hold = nb::borrow(items);
    // A list of a few items (the usual case) is copied without an allocation:
    // a one-tick run would pay for it as much as for its tick.
    s.n_items = PyList_GET_SIZE(items);
    PyObject **now = ((PyListObject *) items)->ob_item;
    if (s.n_items > (Py_ssize_t) std::size(s.item_buf)) {
        s.item_big.assign(now, now + s.n_items);
        s.item_copy = s.item_big.data();
    } else if (s.n_items > 0) {
        std::copy(now, now + s.n_items, s.item_buf);
    }
    PyObject *cb = s.sd_entry(S, A_CALLBACK);
    PyObject *divo = s.sd_entry(S, A_DIVIDER);
    if (!cb || !divo || !PyLong_CheckExact(divo) || !s.sd_entry(S, A_ADDRESS))
        return false;
    {
        int overflow = 0;
        s.div = PyLong_AsLongLongAndOverflow(divo, &overflow);
        if (overflow || (s.div == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
    }
    std::fill(s.values, s.values + s.n_distinct, 0.0);
    s.may_emit = cb != Py_None && s.n_items > 0 && s.div > 0;
    return columns_free(S, s);
}

// Changes made from C (no Python frame) to the dictionaries read are seen on
// every road through the tick where the watcher is available: the
// actuator's, the wrapper's and the bindings module's dictionaries, and with
// optional input ports absent from `inp`, its own dictionary (where such a
// port could appear as a plain attribute).
void watch_dicts(State &S, Run &s) {
    if (S.dict_watcher < 0)
        return;
    TwinView *v = s.v;
    s.libd = PyModule_CheckExact(v->lib.ptr()) ? PyModule_GetDict(v->lib.ptr()) : nullptr;
    bool watched = pyact::make_stores_notify(s.self, s.sd) && pyact::make_stores_notify(s.act, s.ad) && s.libd &&
                   watch_dict(S.dict_watcher, s.sd) == 0 && watch_dict(S.dict_watcher, s.ad) == 0 &&
                   watch_dict(S.dict_watcher, s.libd) == 0;
    if (watched && (!s.plan->inp_missing.empty() || v->in_opt_missing_any)) {
        s.inp_obj = v->inp()->obj.ptr();
        s.idd = nb::steal(instance_dict(s.inp_obj));
        PyObject *idd = s.idd.ptr();
        watched = idd && PyDict_CheckExact(idd) && pyact::make_stores_notify(s.inp_obj, idd) &&
                  watch_dict(S.dict_watcher, idd) == 0;
    }
    if (!watched) {
        PyErr_Clear();
    } else {
        note_watched(s.sd);
        // Tracked from now on: the next call on this actuator finds what its
        // dictionary holds in the memo while nothing else changes it.
        if (!s.memo && dict_version(s.sd))
            s.memo = sd_memo_fill(S, s.sd);
    }
    s.watched = watched;
}

// The end of a run of `done` native ticks: the Python-visible state brought
// up to date, the tick that left the native road finished on the generic
// one, the callback that is due called.  Returns the ticks run.
long long end_run(State &S, Run &s, long long done, bool due, bool finish_generic) {
    if (finish_generic) {
        // The tick's step ran natively; its row, count and snapshot follow
        // the generic road.
        if (s.dirty)
            materialize(S, s);
        generic_after_step(S, nb::handle(s.self));
        return done + 1;
    }
    if (done == 0)
        return 0;
    if (s.dirty)
        materialize(S, s);
    if (due) {
        // Read again: materialising may have run arbitrary code (collection).
        nb::object cb_now = nb::borrow(s.sd_entry(S, A_CALLBACK));
        nb::object addr = nb::borrow(s.sd_entry(S, A_ADDRESS));
        if (cb_now.is_valid() && addr.is_valid()) {
            nb::object payload = dict_copy(nb::borrow(s.sd_entry(S, A_LATEST)));
            emit_callback(cb_now, addr, payload);
        }
    } else if ((done & 0xFFFF) == 0) {
        if (PyErr_CheckSignals() < 0)
            raise_pending();
    }
    return done;
}

// A run that ran out of memory: the state brought up to the last finished
// tick, MemoryError raised.
[[noreturn]] void out_of_memory(State &S, Run &s, pyact::FrameCount &counting, long long done) {
    counting.close();
    if (s.writer && *s.writer)
        (*s.writer)->release();
    S.native_ticks += (uint64_t) done;
    if (s.dirty)
        materialize(S, s);
    PyErr_NoMemory();
    raise_pending();
}

} // namespace vkl::virt
