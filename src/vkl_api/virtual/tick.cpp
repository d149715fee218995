// One tick of the simulated actuator on both roads, and the rule that picks:
// the log row append (native through the twin's field view, direct for a
// duck-typed twin, generic through attribute reads), the generic tick through
// the instance's own operations, and the native run of ticks with the
// validity machinery it rests on (watched dictionaries and their versions,
// the dictionaries known to shadow no stepping method, the record of the last
// full checks), bringing the Python-visible state up to date before any
// Python code can run.
#include "virtual/tick.hpp"

#include "core/python_activity.hpp"
#include "core/row_stage.hpp"
#include "core/tick_loop.hpp"
#include "core/twin_view.hpp"
#include "virtual/series.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace vkl::virt {

using twin::CType;
using twin::FieldRef;
using twin::TwinView;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

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
};

// ============================================================================
// The log row append: native, duck-typed twin, generic
// ============================================================================

// series.append(value), with the series' own append for our columns.
void append_to(State &S, nb::handle series, nb::handle value) {
    if (is_series(series.ptr())) {
        if (series_append((SeriesObject *) series.ptr(), value.ptr()) < 0)
            raise_pending();
        return;
    }
    steal_or_raise(PyObject_CallMethodOneArg(series.ptr(), S.n_list_append.ptr(), value.ptr()));
}

PyObject *field_object(const FieldRef &f);

// Append a twin field's value to `o` without making the number, when `o` is
// a typed series that takes it as series_append would take the value ctypes
// makes of the field (an empty series takes the value's kind).  Returns
// false, having done nothing, otherwise.
bool push_field(PyObject *o, const FieldRef &f) {
    auto *so = (SeriesObject *) o;
    if (!is_series(o) || !so->col || (f.type == CType::UInt64 && !tick::u64_fits(f)))
        return false;
    tel::Kind kind = tick::kind_for(f.type);
    if (so->kind != kind) {
        if (so->col->size() != 0)
            return false;
        series_set_kind(so, kind);
    }
    try {
        switch (kind) {
        case tel::Kind::Float: so->col->push_double(twin::load(f)); break;
        case tel::Kind::Int: so->col->push_int(tick::load_int(f)); break;
        case tel::Kind::Bool: so->col->push_bool(tick::load_bool(f)); break;
        }
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
        raise_pending();
    }
    return true;
}

nb::object cached_get(CachedAttr &c, nb::handle o, PyObject *name) { return steal_or_raise(c.get(o.ptr(), name)); }
// self.<attribute> and self.<method> of the stepping machinery, each name
// through a read cache of its own (see CachedAttr).
nb::object self_attr(State &S, nb::handle self, StepAttr a) {
    return cached_get(S.ca_step_attr[a], self, S.attr(a));
}
nb::object self_method(State &S, nb::handle self, StepMethod m) {
    return cached_get(S.ca_step_method[m], self, S.method(m));
}

// series.append(value): our columns and exact lists directly, anything else
// through its own `append`.
void append_value(State &S, nb::handle series, nb::handle value) {
    if (PyList_CheckExact(series.ptr())) {
        if (PyList_Append(series.ptr(), value.ptr()) < 0)
            raise_pending();
        return;
    }
    append_to(S, series, value);
}

bool log_type_ok(State &S, PyTypeObject *t);
inline PyObject *log_slot(const State &S, PyObject *log, int i) {
    return *(PyObject **) ((char *) log + S.log_off[i]);
}

// A log of our class whose series are all our series or exact lists and
// whose time step and start are exact floats: a row goes in without running
// any code.
bool log_row_plain(State &S, PyObject *log) {
    if (!log_type_ok(S, Py_TYPE(log)))
        return false;
    for (int i = 0; i < kNumSeries; ++i) {
        PyObject *o = log_slot(S, log, i);
        if (!o || !(is_series(o) || PyList_CheckExact(o)))
            return false;
    }
    PyObject *ts = log_slot(S, log, kTimeStepIndex), *t0 = log_slot(S, log, kTimeStartIndex);
    return ts && t0 && PyFloat_CheckExact(ts) && PyFloat_CheckExact(t0);
}

// One row of a twin that is not the engine's wrapper, when every read on the
// way runs no code and so can be done first: the log of our class holding
// series or exact lists, each structure an entry of the twin's instance
// dictionary, each field one a CtypesField reads directly.  Returns false,
// having appended nothing, otherwise.
bool log_append_duck(State &S, PyObject *log, PyObject *act) {
    if (!log_row_plain(S, log))
        return false;
    PyObject *ts = log_slot(S, log, kTimeStepIndex), *t0 = log_slot(S, log, kTimeStartIndex);
    FieldRef row[kRowSeries];
    nb::object group;
    PyObject *group_name = nullptr;
    for (int i = 0; i < kRowSeries; ++i) {
        if (S.series_group[i].ptr() != group_name) {
            PyObject *g = S.ca_group[i].peek(act, S.series_group[i].ptr());
            if (!g)
                return false;
            group = nb::steal(g);
            group_name = S.series_group[i].ptr();
        }
        row[i] = S.cf_field[i].get(group.ptr(), S.series_field[i].ptr());
        if (!row[i])
            return false;
    }
    Py_ssize_t rows = PyObject_Length(log_slot(S, log, kTfbIndex));
    if (rows < 0)
        raise_pending();
    nb::object tm = nb::steal(PyFloat_FromDouble(
        tick::row_time(PyFloat_AS_DOUBLE(ts), (size_t) rows, PyFloat_AS_DOUBLE(t0))));
    if (!tm.is_valid())
        raise_pending();
    append_value(S, nb::handle(log_slot(S, log, kTimeIndex)), tm);
    for (int i = 0; i < kRowSeries; ++i) {
        PyObject *o = log_slot(S, log, i);
        if (push_field(o, row[i]))
            continue;
        nb::object v = nb::steal(field_object(row[i]));
        if (!v.is_valid())
            raise_pending();
        append_value(S, nb::handle(o), v);
    }
    return true;
}

bool log_append_native(State &S, PyObject *log, PyObject *act);

} // namespace

void log_append_generic(State &S, nb::handle self, nb::handle act) {
    if (log_append_native(S, self.ptr(), act.ptr()) || log_append_duck(S, self.ptr(), act.ptr()))
        return;
    // A log of our class (checked at every read: an append may run Python
    // code) is read through its slots, which is what its descriptors read;
    // an empty slot takes the attribute read for its AttributeError.
    bool slot_read = false; // the last field() read a slot (no code ran)
    auto field = [&](int i, CachedAttr &c, PyObject *name) {
        slot_read = false;
        if (log_type_ok(S, Py_TYPE(self.ptr())))
            if (PyObject *o = log_slot(S, self.ptr(), i)) {
                slot_read = true;
                return nb::borrow(o);
            }
        return cached_get(c, self, name);
    };
    // time first: TIME_STEP * (rows before this one) + time_start
    {
        nb::object series = field(kTimeIndex, S.ca_series[kTimeIndex], S.log_names[kTimeIndex].ptr());
        nb::object method;
        if (!is_series(series.ptr()) && !PyList_CheckExact(series.ptr()))
            method = get_attr(series, S.n_list_append.ptr());
        nb::object ts = field(kTimeStepIndex, S.ca_time_step, S.log_names[kTimeStepIndex].ptr());
        nb::object tfb = field(kTfbIndex, S.ca_series[kTfbIndex], S.log_names[kTfbIndex].ptr());
        Py_ssize_t n = PyObject_Length(tfb.ptr());
        if (n < 0)
            raise_pending();
        nb::object rows = nb::steal(PyLong_FromSsize_t(n));
        nb::object p = steal_or_raise(PyNumber_Multiply(ts.ptr(), rows.ptr()));
        nb::object t0 = field(kTimeStartIndex, S.ca_time_start, S.log_names[kTimeStartIndex].ptr());
        nb::object value = steal_or_raise(PyNumber_Add(p.ptr(), t0.ptr()));
        if (method.is_valid())
            method(value);
        else
            append_value(S, series, value);
    }
    // The structure read for the previous series, while reading it again
    // would give the same object: it came from the twin's instance dictionary
    // and nothing since has run code that could change that (a field read
    // directly, a value put into a series or an exact list).
    PyObject *prev_name = nullptr;
    nb::object prev_group;
    for (int i = 0; i < kRowSeries; ++i) {
        const SeriesDef &d = kSeries[i];
        nb::object series = field(i, S.ca_series[i], S.log_names[i].ptr());
        nb::object method;
        if (!is_series(series.ptr()) && !PyList_CheckExact(series.ptr()))
            method = get_attr(series, S.n_list_append.ptr());
        if (!slot_read || method.is_valid())
            prev_name = nullptr;
        nb::object group;
        if (prev_name == S.series_group[i].ptr()) {
            group = prev_group;
        } else {
            group = cached_get(S.ca_group[i], act, S.series_group[i].ptr());
            prev_name = S.ca_group[i].last_pure() ? S.series_group[i].ptr() : nullptr;
            prev_group = group;
        }
        nb::object value;
        if (FieldRef f = d.optional ? FieldRef{} : S.cf_field[i].get(group.ptr(), S.series_field[i].ptr())) {
            // The field's value as the attribute read would give it; into a
            // column of its kind without making the number.
            if (!method.is_valid() && push_field(series.ptr(), f))
                continue;
            value = nb::steal(field_object(f));
            if (!value.is_valid())
                raise_pending();
        } else if (d.optional) {
            PyObject *res = nullptr;
            int r = PyObject_GetOptionalAttr(group.ptr(), S.series_field[i].ptr(), &res);
            if (r < 0)
                raise_pending();
            value = r == 0 ? S.nan : nb::steal(res);
            prev_name = nullptr;
        } else {
            value = cached_get(S.ca_field[i], group, S.series_field[i].ptr());
            prev_name = nullptr;
        }
        if (method.is_valid()) {
            method(value);
            prev_name = nullptr;
        } else {
            append_value(S, series, value); // a series or an exact list: no code runs
        }
    }
}

// ============================================================================
// The stepping machinery's own operations
// ============================================================================

namespace {

// Whether `self.<method>` is the function defined here (not overridden on the
// class or the instance): its call may then go straight to the C++ code it
// runs, which is what the lookup and the call would do.
bool own_method(State &S, nb::handle self, StepMethod m) {
    PyTypeObject *t = Py_TYPE(self.ptr());
    PyObject *name = S.method(m);
    if (t->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(t, name) != S.orig_methods[m].ptr())
        return false;
    nb::object d = nb::steal(instance_dict(self.ptr()));
    return !d.is_valid() || (PyDict_CheckExact(d.ptr()) && !dict_get(d.ptr(), name));
}

} // namespace

nb::object require_actuator(State &S, nb::handle self) {
    nb::object a = get_attr(self, S.attr(A_ACTUATOR));
    if (a.is_none())
        raise(PyExc_ValueError, "Actuator not configured. Call set_actuator(...) first.");
    return a;
}

namespace {

nb::object call_require_actuator(State &S, nb::handle self) {
    return own_method(S, self, M_REQUIRE) ? require_actuator(S, self) : call_method(self, S.method(M_REQUIRE));
}

} // namespace

bool twin_initialized(State &S, nb::handle twin) {
    PyObject *v = nullptr;
    if (PyObject_GetOptionalAttr(twin.ptr(), S.n_initialized.ptr(), &v) < 0)
        raise_pending();
    return v && truth(nb::steal(v));
}

nb::object read_path(State &S, nb::handle self, nb::handle path) {
    nb::str p = arg_str(path, "path");
    nb::object obj = call_require_actuator(S, self);
    // The item map's own paths come split already (an exact str splits the
    // same way every time).
    auto known = S.path_parts.find(p.ptr());
    if (known != S.path_parts.end()) {
        obj = get_attr(obj, known->second.first.ptr());
        return to_float(get_attr(obj, known->second.second.ptr()));
    }
    nb::object parts = p.attr(nb::handle(S.n_split.ptr()))(".");
    for (nb::handle part : parts)
        obj = get_attr(obj, part.ptr());
    return to_float(obj);
}


namespace {

// self._read_path(path), straight to read_path while it is the class's own.
nb::object rp(State &S, nb::handle self, PyObject *path) {
    if (own_method(S, self, M_READ_PATH))
        return read_path(S, self, nb::handle(path));
    return get_attr(self, S.method(M_READ_PATH))(nb::handle(path));
}

} // namespace

nb::object get_item_value(State &S, nb::handle self, nb::handle item) {
    call_require_actuator(S, self);
    // Members whose class keeps the default comparison are equal only to
    // themselves: the walk in order then finds the identical member or none.
    PyTypeObject *member_type = Py_TYPE(S.items[0].ptr());
    bool by_identity = Py_TYPE(item.ptr()) == member_type &&
                       member_type->tp_richcompare == PyBaseObject_Type.tp_richcompare;
    for (int k = 0; k < kNumItems; ++k) {
        if (by_identity ? item.ptr() != S.items[k].ptr() : !eq(item, S.items[k]))
            continue;
        const ItemDef &d = kItems[k];
        switch (d.kind) {
        case ItemKind::Path: return rp(S, self, S.item_path[k].ptr());
        case ItemKind::Flag: return get_attr(self, S.method(M_BOOL_TO_FLOAT))(rp(S, self, S.item_path[k].ptr()));
        case ItemKind::VBus: {
            nb::object power = rp(S, self, S.item_path[k].ptr());
            nb::object current = rp(S, self, S.item_path2[k].ptr());
            nb::object div = get_attr(self, S.method(M_SAFE_DIVISOR))(current);
            return steal_or_raise(PyNumber_TrueDivide(power.ptr(), div.ptr()));
        }
        case ItemKind::Const: return nb::float_(kTempPcb);
        case ItemKind::HasErrors:
            return get_attr(self, S.method(M_BOOL_TO_FLOAT))(call_method(self, S.method(M_HAS_ERRORS)));
        case ItemKind::NaN: return S.nan;
        }
    }
    nb::object name = get_attr(item, S.n_name.ptr());
    if (truth(steal_or_raise(PyObject_CallMethod(name.ptr(), "startswith", "s", "DEBUG_SIGNAL"))))
        return S.nan;
    PyErr_SetObject(PyExc_KeyError, nb::str(("Unsupported feedback item: " + py_str(item)).c_str()).ptr());
    raise_pending();
}

nb::object build_snapshot(State &S, nb::handle self) {
    nb::object items = self_attr(S, self, A_ITEMS);
    Py_ssize_t n = PyObject_Length(items.ptr());
    if (n < 0)
        raise_pending();
    nb::dict out;
    if (n == 0)
        return out;
    for (nb::handle item : items)
        out[item] = own_method(S, self, M_ITEM_VALUE) ? get_item_value(S, self, item)
                                                      : self_method(S, self, M_ITEM_VALUE)(item);
    return out;
}

bool should_emit(State &S, nb::handle self) {
    if (self_attr(S, self, A_CALLBACK).is_none())
        return false;
    if (!truth(self_attr(S, self, A_ITEMS)))
        return false;
    nb::object div = self_attr(S, self, A_DIVIDER);
    nb::object zero = nb::int_(0);
    if (!truth(steal_or_raise(PyObject_RichCompare(div.ptr(), zero.ptr(), Py_GT))))
        return false;
    nb::object count = self_attr(S, self, A_COUNT);
    return eq(steal_or_raise(PyNumber_Remainder(count.ptr(), div.ptr())), zero);
}

void emit_callback(nb::handle callback, nb::handle address, nb::handle payload) {
    nb::object addr = address.is_none() ? nb::none() : arg_int(address, "address");
    arg_dict(payload, "payload");
    if (callback.is_none())
        return;
    PyObject *args[2] = {addr.ptr(), payload.ptr()};
    steal_or_raise(PyObject_Vectorcall(callback.ptr(), args, 2, nullptr));
}

namespace {

// The rest of a tick after the twin's step, through the instance's own
// operations.
void generic_after_step(State &S, nb::handle self) {
    self_attr(S, self, A_LOG).attr(nb::handle(S.n_append.ptr()))(self_attr(S, self, A_ACTUATOR));
    nb::object count = self_attr(S, self, A_COUNT);
    set_attr(self, S.attr(A_COUNT), steal_or_raise(PyNumber_InPlaceAdd(count.ptr(), nb::int_(1).ptr())));
    set_attr(self, S.attr(A_LATEST),
             own_method(S, self, M_SNAPSHOT) ? build_snapshot(S, self) : call_method(self, S.method(M_SNAPSHOT)));
    set_attr(self, S.attr(A_FEEDBACK), dict_copy(self_attr(S, self, A_LATEST)));
    bool due = own_method(S, self, M_SHOULD_EMIT) ? should_emit(S, self)
                                                  : truth(call_method(self, S.method(M_SHOULD_EMIT)));
    if (!due)
        return;
    if (own_method(S, self, M_EMIT)) {
        nb::object cb = self_attr(S, self, A_CALLBACK);
        nb::object addr = self_attr(S, self, A_ADDRESS);
        emit_callback(cb, addr, dict_copy(self_attr(S, self, A_LATEST)));
        return;
    }
    self_method(S, self, M_EMIT)(self_attr(S, self, A_CALLBACK), self_attr(S, self, A_ADDRESS),
                                 dict_copy(self_attr(S, self, A_LATEST)));
}

// One tick through the instance's own operations.
void generic_tick(State &S, nb::handle self) {
    nb::object act = self_attr(S, self, A_ACTUATOR);
    act.attr(nb::handle(S.n_step.ptr()))(self_attr(S, self, A_SETPOINT), self_attr(S, self, A_LOAD));
    generic_after_step(S, self);
}

// ============================================================================
// Native ticks
// ============================================================================

// The class has a version tag (given one now if it had none); any change to
// the class resets it.
bool has_version_tag(PyTypeObject *t) {
    return PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) || PyUnstable_Type_AssignVersionTag(t);
}

bool self_type_ok(State &S, PyTypeObject *t) {
    if (t == S.ok_self_type && t->tp_version_tag == S.ok_self_tag && t->tp_version_tag != 0)
        return true;
    if (t->tp_getattro != PyObject_GenericGetAttr || t->tp_setattro != PyObject_GenericSetAttr)
        return false;
    for (int i = 0; i < kNumStepMethods; ++i)
        if (_PyType_Lookup(t, S.n_step_method[i].ptr()) != S.orig_methods[i].ptr())
            return false;
    for (int i = 0; i < kNumStepAttrs; ++i)
        if (_PyType_Lookup(t, S.n_step_attr[i].ptr()))
            return false;
    if (!has_version_tag(t))
        return false;
    S.ok_self_type = t;
    S.ok_self_tag = t->tp_version_tag;
    return t->tp_version_tag != 0;
}

bool engine_type_ok(State &S, PyTypeObject *t) {
    if (t != (PyTypeObject *) S.engine_cls.ptr())
        return false;
    if (t->tp_version_tag == S.ok_engine_tag && t->tp_version_tag != 0)
        return true;
    if (t->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(t, S.n_step.ptr()) != S.engine_step.ptr() ||
        _PyType_Lookup(t, S.n_initialized.ptr()))
        return false;
    if (!has_version_tag(t))
        return false;
    S.ok_engine_tag = t->tp_version_tag;
    return t->tp_version_tag != 0;
}

bool log_type_ok(State &S, PyTypeObject *t) {
    if (t != (PyTypeObject *) S.log_cls.ptr())
        return false;
    if (t->tp_version_tag == S.ok_log_tag && t->tp_version_tag != 0)
        return true;
    if (t->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(t, S.n_append.ptr()) != S.log_append.ptr())
        return false;
    for (int i = 0; i < kLogFields; ++i) {
        PyObject *d = _PyType_Lookup(t, S.log_names[i].ptr());
        if (!d || d != S.log_descr[i].ptr())
            return false;
    }
    if (!has_version_tag(t))
        return false;
    S.ok_log_tag = t->tp_version_tag;
    return t->tp_version_tag != 0;
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
PyObject *const kGone = (PyObject *) (uintptr_t) 1;

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
WatcherRecord g_watch;

// ---- Instance dictionaries known to shadow none of the stepping methods ----
//
// Every run would otherwise look up each stepping method in the actuator's
// dictionary (a dozen misses per one-tick call).  A dictionary watched by
// the native road (see on_dict_event) that was found free of them stays free
// until a key is added to it, it is filled from another dictionary, or it is
// freed; each of those events, on any watched dictionary, bumps
// g_watch.key_additions and so forgets every entry of g_watch.shadow_free.

ShadowFree *shadow_entry(PyObject *d) {
    for (auto &e : g_watch.shadow_free)
        if (e.dict == d && e.additions == g_watch.key_additions)
            return &e;
    return nullptr;
}

// No stepping method is shadowed in `sd` (an actuator's instance dictionary).
bool no_method_shadowed(State &S, PyObject *sd) {
    ShadowFree *e = shadow_entry(sd);
    if (e && e->free)
        return true;
    for (int i = 0; i < kNumStepMethods; ++i)
        if (dict_get(sd, S.n_step_method[i].ptr()))
            return false;
    // Watched since before the lookups, with no key added since: free until
    // the next addition.
    if (e)
        e->free = true;
    return true;
}

// `sd` is watched now (its stores notify): from here on an addition is seen.
void note_watched(PyObject *sd) {
    if (shadow_entry(sd))
        return;
    ShadowFree &e = g_watch.shadow_free[g_watch.shadow_next];
    g_watch.shadow_next = (g_watch.shadow_next + 1) % (int) std::size(g_watch.shadow_free);
    e = ShadowFree{sd, g_watch.key_additions, false};
}

} // namespace

namespace {

FieldRef view_field(TwinView *v, const char *path) {
    std::string p(path);
    size_t dot = p.find('.');
    return v->find(p.substr(0, dot), p.substr(dot + 1));
}

// The view's plan, made on first use and kept with the view (so any number of
// actuators stepping in turn each find theirs at once).
std::shared_ptr<Plan> plan_for(PyObject *view_obj, TwinView *v) {
    if (v->consumer_plan) {
        auto pp = std::static_pointer_cast<Plan>(v->consumer_plan);
        if (pp->view_obj == view_obj && pp->v == v)
            return pp;
    }
    auto pp = std::make_shared<Plan>();
    Plan &p = *pp;
    p.view_obj = view_obj;
    p.v = v;
    p.rows_ok = true;
    auto inp = v->groups.find("inp");
    for (int i = 0; i < kRowSeries; ++i) {
        const SeriesDef &d = kSeries[i];
        FieldRef f = v->find(d.group, d.field);
        p.kind[i] = tel::Kind::Float;
        if (f) {
            p.row[i] = f;
            p.kind[i] = tick::kind_for(f.type);
            if (f.type == CType::UInt64)
                p.u64[p.n_u64++] = f;
            continue;
        }
        if (d.optional && !f && inp != v->groups.end()) {
            nb::handle inp_cls((PyObject *) inp->second.type);
            bool present = true;
            try {
                present = has_attr(inp_cls, d.field);
            } catch (nb::python_error &) {
                present = true;
            }
            if (!present) {
                p.row_nan[i] = true;
                p.inp_missing.push_back(intern_name(d.field));
                continue;
            }
        }
        p.rows_ok = false;
    }
    p.kind[kTimeIndex] = tel::Kind::Float;
    for (int i = 0; i < kRowSeries; ++i) {
        if (!p.row_nan[i] && p.row[i] && p.row[i].type == CType::Double) {
            p.dbl_src[p.n_dbl] = p.row[i].addr;
            p.dbl_col[p.n_dbl++] = i;
        } else if (!p.row_nan[i] && p.row[i] && p.row[i].type == CType::Float) {
            p.f32_src[p.n_f32] = p.row[i].addr;
            p.f32_col[p.n_f32++] = i;
        } else {
            p.other_col[p.n_other++] = i;
        }
    }
    for (int c = 0; c < kNumSeries; ++c)
        p.narrow[c] = p.kind[c] == tel::Kind::Bool;
    for (int k = 0; k < kNumItems; ++k) {
        const ItemDef &d = kItems[k];
        Plan::Src &s = p.items[k];
        s.kind = d.kind;
        switch (d.kind) {
        case ItemKind::Path:
        case ItemKind::Flag:
            s.a = view_field(v, d.path);
            s.ok = (bool) s.a;
            break;
        case ItemKind::VBus:
            s.a = view_field(v, d.path);
            s.b = view_field(v, d.path2);
            s.ok = s.a && s.b;
            break;
        case ItemKind::HasErrors:
            s.ok = true;
            for (size_t j = 0; j < kDebugFlags.size(); ++j) {
                p.debug[j] = v->find("debug", kDebugFlags[j]);
                s.ok = s.ok && p.debug[j];
            }
            break;
        case ItemKind::Const:
        case ItemKind::NaN: s.ok = true; break;
        }
    }
    v->consumer_plan = pp;
    return pp;
}

// An optional input port that the plan reads as absent (NaN) has appeared
// as a plain attribute of `inp`.
bool inp_port_added(const Plan &plan, TwinView *v) {
    if (plan.inp_missing.empty())
        return false;
    nb::object idd = nb::steal(instance_dict(v->groups.find("inp")->second.obj.ptr()));
    if (idd.is_valid())
        for (const nb::object &n : plan.inp_missing)
            if (dict_get(idd.ptr(), n.ptr()))
                return true;
    return false;
}

// The value a row field's attribute read gives (ctypes: float for real
// fields, int for integer fields, bool for bool fields).
PyObject *field_object(const FieldRef &f) {
    if (tick::is_real(f.type))
        return PyFloat_FromDouble(twin::load(f));
    if (f.type == CType::Bool)
        return PyBool_FromLong(tick::load_bool(f));
    if (f.type == CType::UInt64) {
        uint64_t v;
        std::memcpy(&v, f.addr, 8);
        return PyLong_FromUnsignedLongLong(v);
    }
    return PyLong_FromLongLong(tick::load_int(f));
}

// One row appended as `_append` does it, read through the twin's field view,
// when every read and append on the way is one that runs no Python code and
// gives what the view gives: the log of our class with its slots holding
// series or exact lists, exact floats for the time, the engine's wrapper with
// valid fields.  Returns false, having done nothing, otherwise.
bool log_append_native(State &S, PyObject *log, PyObject *act) {
    if (!log_type_ok(S, Py_TYPE(log)) || !engine_type_ok(S, Py_TYPE(act)))
        return false;
    nb::object adr = nb::steal(instance_dict(act));
    PyObject *ad = adr.ptr();
    PyObject *view_obj = ad ? dict_get(ad, S.n_native_view.ptr()) : nullptr;
    if (!view_obj || Py_TYPE(view_obj) != S.view_type)
        return false;
    TwinView *v = nb::inst_ptr<TwinView>(view_obj);
    if (!v || !v->fields_valid(act, ad))
        return false;
    std::shared_ptr<Plan> plan_hold = plan_for(view_obj, v);
    const Plan &plan = *plan_hold;
    if (!plan.rows_ok)
        return false;
    if (inp_port_added(plan, v))
        return false;
    if (!log_row_plain(S, log))
        return false;
    PyObject *ts = log_slot(S, log, kTimeStepIndex), *t0 = log_slot(S, log, kTimeStartIndex);
    PyObject *tfb = log_slot(S, log, kTfbIndex);
    Py_ssize_t rows = PyObject_Length(tfb); // a series or a list: no Python code
    if (rows < 0)
        raise_pending();
    // From here on nothing runs Python code until the row is complete (a
    // float or int is made, a series or a list grows), so what was checked
    // holds for every value.
    auto put = [&](int i, PyObject *value) { // steals value
        if (!value)
            raise_pending();
        nb::object kept = nb::steal(value);
        PyObject *o = log_slot(S, log, i);
        int r = is_series(o) ? series_append((SeriesObject *) o, value) : PyList_Append(o, value);
        if (r < 0)
            raise_pending();
    };
    put(kTimeIndex, PyFloat_FromDouble(tick::row_time(PyFloat_AS_DOUBLE(ts), (size_t) rows, PyFloat_AS_DOUBLE(t0))));
    for (int i = 0; i < kRowSeries; ++i) {
        if (plan.row_nan[i]) {
            put(i, Py_NewRef(S.nan.ptr()));
            continue;
        }
        const FieldRef &f = plan.row[i];
        if (!push_field(log_slot(S, log, i), f))
            put(i, field_object(f));
    }
    return true;
}

double item_value(const Plan &p, int k) {
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
unsigned version_home(PyObject *d) {
    return (unsigned) ((((uintptr_t) d >> 4) * 0x9E3779B97F4A7C15ull) >> 56);
}

DictVersion *version_entry(PyObject *d) {
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

// The current version of `d` (which must be watched), tracking it from now
// on; 0 when there is no room to track it.
uint64_t dict_version(PyObject *d) {
    if (DictVersion *e = version_entry(d))
        return e->ver;
    unsigned h = version_home(d);
    for (int i = 0; i < kVersionProbe; ++i) {
        DictVersion &e = g_watch.version[(h + i) % kVersionSlots];
        if (!e.dict || e.dict == kGone) {
            e = DictVersion{d, ++g_watch.version_source};
            return e.ver;
        }
    }
    return 0;
}

int on_dict_event(PyDict_WatchEvent event, PyObject *dict, PyObject *, PyObject *) {
    ++g_watch.dict_changes;
    if (DictVersion *e = version_entry(dict)) {
        if (event == PyDict_EVENT_DEALLOCATED)
            e->dict = kGone;
        else
            e->ver = ++g_watch.version_source;
    }
    if (event == PyDict_EVENT_ADDED || event == PyDict_EVENT_CLONED || event == PyDict_EVENT_DEALLOCATED)
        ++g_watch.key_additions;
    return 0;
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
struct SdMemo {
    PyObject *sd = nullptr; // compared only
    uint64_t ver = 0;       // sd's version when read
    bool methods_free = false; // no stepping method in sd
    PyObject *v[kNumStepAttrs] = {}; // borrowed from sd; nullptr: absent
};
struct MemoTable {
    SdMemo entry[16];
    int next = 0;
};
MemoTable g_memo;

// The memo of `sd` if it is current.
SdMemo *sd_memo(PyObject *sd) {
    DictVersion *e = version_entry(sd);
    if (!e)
        return nullptr;
    for (auto &m : g_memo.entry)
        if (m.sd == sd && m.ver == e->ver)
            return &m;
    return nullptr;
}

// Read `sd` (tracked, with its object's stores reaching it) into a memo now;
// no code runs on the way.
SdMemo *sd_memo_fill(State &S, PyObject *sd) {
    DictVersion *e = version_entry(sd);
    if (!e)
        return nullptr;
    SdMemo *m = nullptr;
    for (auto &x : g_memo.entry)
        if (x.sd == sd)
            m = &x;
    if (!m) {
        m = &g_memo.entry[g_memo.next];
        g_memo.next = (g_memo.next + 1) % (int) std::size(g_memo.entry);
    }
    m->sd = sd;
    m->ver = e->ver;
    for (int k = 0; k < kNumStepAttrs; ++k)
        m->v[k] = dict_get(sd, S.attr((StepAttr) k));
    m->methods_free = true;
    for (int i = 0; i < kNumStepMethods; ++i)
        if (dict_get(sd, S.n_step_method[i].ptr()))
            m->methods_free = false;
    return m;
}

// sd[a] (borrowed, nullptr when absent), through the memo while it is current.
inline PyObject *sd_get(State &S, SdMemo *m, PyObject *sd, StepAttr a) {
    if (m && m->sd == sd) {
        DictVersion *e = version_entry(sd);
        if (e && e->ver == m->ver)
            return m->v[a];
    }
    return dict_get(sd, S.attr(a));
}

// sd[a] = value, keeping a current memo current when this store is the only
// change made to a tracked dictionary meanwhile (replacing the old value may
// free it, and freeing may run code).
void memo_store(State &S, SdMemo *m, PyObject *sd, StepAttr a, PyObject *value) {
    bool current = false;
    if (m && m->sd == sd) {
        DictVersion *e = version_entry(sd);
        current = e && e->ver == m->ver;
    }
    uint64_t src = g_watch.version_source;
    if (PyDict_SetItem(sd, S.attr(a), value) < 0)
        raise_pending();
    if (current) {
        DictVersion *e = version_entry(sd);
        if (e && ((g_watch.version_source == src && e->ver == m->ver) ||
                  (g_watch.version_source == src + 1 && e->ver == src + 1))) {
            m->ver = e->ver;
            m->v[a] = value;
        } else {
            m->sd = nullptr;
        }
    }
}

// The memo of `self`'s dictionary `sd` when it is current and `self`'s
// attribute stores reach the dictionary (see make_stores_notify).
SdMemo *current_memo(PyObject *self, PyObject *sd) {
    SdMemo *m = sd_memo(sd);
    if (m && !pyact::make_stores_notify(self, sd)) {
        PyErr_Clear();
        return nullptr;
    }
    return m;
}

} // namespace

int add_dict_watcher() {
    int id = PyDict_AddWatcher(on_dict_event);
    if (id < 0)
        PyErr_Clear();
    return id;
}

// `_ensure_initialized()` would do nothing now: it is the class's own, the
// bound twin is the engine's, connected and initialised (what a lockstep
// caller of one-tick steps finds on every call but the first).  Then the
// load given to `step` (when not null) is stored as `step` stores it.
bool initialized_now(State &S, PyObject *self, PyObject *load) {
    if (!self_type_ok(S, Py_TYPE(self)))
        return false;
    nb::object sd = nb::steal(instance_dict(self));
    if (!sd.is_valid()) {
        PyErr_Clear();
        return false;
    }
    SdMemo *m = current_memo(self, sd.ptr());
    if (!(m && m->methods_free)) {
        ShadowFree *known = shadow_entry(sd.ptr());
        if (!(known && known->free) && dict_get(sd.ptr(), S.method(M_ENSURE_INIT)))
            return false;
    }
    if (sd_get(S, m, sd.ptr(), A_CONNECTED) != Py_True)
        return false;
    PyObject *act = sd_get(S, m, sd.ptr(), A_ACTUATOR);
    if (!act || !engine_type_ok(S, Py_TYPE(act)))
        return false;
    nb::object ad = nb::steal(instance_dict(act));
    if (!ad.is_valid()) {
        PyErr_Clear();
        return false;
    }
    if (dict_get(ad.ptr(), S.n_initialized.ptr()) != Py_True)
        return false;
    // What `self._load_value = load` does (the class defines no such attribute).
    if (load)
        memo_store(S, m, sd.ptr(), A_LOAD, load);
    return true;
}

nb::object latest_feedback(State &S, nb::handle self) {
    // The class defines none of the stepping attributes (self_type_ok), so
    // the attribute is the dictionary's entry.
    if (self_type_ok(S, Py_TYPE(self.ptr()))) {
        nb::object sd = nb::steal(instance_dict(self.ptr()));
        if (!sd.is_valid())
            PyErr_Clear();
        else if (SdMemo *m = current_memo(self.ptr(), sd.ptr()))
            if (PyObject *latest = m->v[A_LATEST]; latest && PyDict_CheckExact(latest))
                return steal_or_raise(PyDict_Copy(latest));
    }
    return dict_copy(get_attr(self, S.attr(A_LATEST)));
}

namespace {

// Whether the record of the last full step and field checks still holds for
// (act, ad): no dictionary they read (`ad`, the bindings module's `libd`, and
// `idd`, `inp`'s own, when optional ports are absent; all watched) changed,
// nor any class they depend on, nor DT_step's call attributes (which no
// dictionary holds).
bool checked_fresh(const Plan::Checked &c, TwinView *v, PyObject *act, PyObject *ad, PyObject *libd, PyObject *idd) {
    if (!c.ok || c.ad != ad || c.libd != libd || c.idd != idd)
        return false;
    DictVersion *ae = version_entry(ad), *le = version_entry(libd);
    if (!ae || ae->ver != c.ad_ver || !le || le->ver != c.lib_ver)
        return false;
    if (idd) {
        DictVersion *ie = version_entry(idd);
        if (!ie || ie->ver != c.idd_ver)
            return false;
    }
    if (Py_TYPE(act) != c.owner || c.owner != v->owner_type || c.owner->tp_version_tag != c.owner_tag)
        return false;
    for (const auto &kv : v->groups) {
        const twin::GroupView &g = kv.second;
        if (Py_TYPE(g.obj.ptr()) != g.type || g.type->tp_version_tag != g.type_tag)
            return false;
    }
    return PyModule_CheckExact(v->lib.ptr()) && v->call_unchanged();
}

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
    uint64_t av = libd ? dict_version(ad) : 0, lv = libd ? dict_version(libd) : 0;
    uint64_t iv = libd && idd ? dict_version(idd) : 1;
    if (!v->step_valid(act, ad, caches))
        return false;
    if (av && lv && iv && v->fields_valid(act, ad) && v->owner_type->tp_version_tag != 0) {
        c.ad = ad;
        c.libd = libd;
        c.idd = idd;
        c.ad_ver = av;
        c.lib_ver = lv;
        c.idd_ver = idd ? iv : 0;
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

} // namespace
} // namespace vkl::virt

// Exported by the interpreter (declared in its internal headers): a dict
// store with the key's hash given.
extern "C" PyAPI_FUNC(int) _PyDict_SetItem_KnownHash(PyObject *mp, PyObject *key, PyObject *item, Py_hash_t hash);
namespace vkl::virt {
namespace {

// The hashes of the VKL_Items members, which are enumeration members whose
// __hash__ is Python code: computing three of them per tick would cost more
// than the tick.  Kept while the enumeration class is unchanged.
bool item_hashes_current(State &S) {
    PyTypeObject *t = Py_TYPE(S.items[0].ptr());
    if (S.item_hash_tag != 0 && t->tp_version_tag == S.item_hash_tag)
        return true;
    for (int k = 0; k < kNumItems; ++k) {
        if (Py_TYPE(S.items[k].ptr()) != t)
            return false;
        Py_hash_t h = PyObject_Hash(S.items[k].ptr());
        if (h == -1)
            raise_pending();
        S.item_hash[k] = h;
    }
    // Hashing ran Python code, which may have changed the class meanwhile:
    // keep the hashes only under a tag taken now.
    S.item_hash_tag = has_version_tag(t) ? t->tp_version_tag : 0;
    return S.item_hash_tag != 0;
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
    nb::object sd_hold, act_hold, ad_hold, view_hold, log_hold;
    std::shared_ptr<Plan> plan_hold;

    PyObject *sd_entry(State &S, StepAttr a) const { return sd_get(S, memo, sd, a); }
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
    // tell the same.  The time step and start are always kept.
    nb::object keep[kLogFields];
    bool have_keep = false;
    PyObject **slot_run = nullptr; // the log's slots, when they are one run of words
    PyObject *slots0[kLogFields];
    tel::Column *cols[kNumSeries];
    unsigned char *cur[kNumSeries]; // the columns' write cursors (see tel::Column's row writers)
    bool writing = false;           // the cursors are attached
    tel::PendingRows *held = nullptr; // the writer's rows held back, if it holds any (see RowStage)
    size_t rows = 0;                  // the log's rows while writing, those held back included
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
    // Columns still owned by their series are let go; a series that gave its
    // column up meanwhile has freed it.
    void release_columns() {
        if (!writing)
            return; // (writing implies have_keep)
        writing = false;
        for (int c = 0; c < kNumSeries; ++c)
            if (((SeriesObject *) keep[c].ptr())->col == cols[c])
                cols[c]->detach();
    }
    ~Run() { release_columns(); }

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
            return std::memcmp(slot_run, slots0, sizeof slots0) == 0;
        for (int i = 0; i < kLogFields; ++i)
            if (log_slot(*st, log, i) != keep[i].ptr())
                return false;
        return true;
    }
    bool series_unchanged() const {
        if (!slots_unchanged())
            return false;
        for (int i = 0; i < kNumSeries; ++i)
            if (((SeriesObject *) keep[i].ptr())->col != cols[i] || cols[i]->kind() != plan->kind[i])
                return false;
        return true;
    }
    bool log_unchanged() const { return dict_get(sd, st->attr(A_LOG)) == log && series_unchanged(); }
    // Every series slot as checked, kept (a long run reads the series later).
    void keep_all() {
        if (have_keep)
            return;
        for (int i = 0; i < kNumSeries; ++i)
            keep[i] = nb::borrow(log_slot(*st, log, i));
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
    // Room for `n` more rows in every column, written through the cursors.
    void make_room(long long n) {
        for (int c = 0; c < kNumSeries; ++c) {
            cols[c]->attach(&cur[c], held);
            cols[c]->ensure(cols[c]->size() + (size_t) n);
        }
        writing = true;
        rows = cols[kTfbIndex]->size();
    }
    // One twin step natively: what the engine's `step(ref, load)` does.
    void step_twin() {
        twin::store(v->in_reference, setpoint);
        twin::store(v->in_load, load);
        for (int i = 0; i < 3; ++i)
            if (v->in_opt[i])
                twin::store(v->in_opt[i], cache[i]);
        v->step_fn(v->model);
    }
};

// Bring the Python-visible state up to the last finished tick.  A value that
// is no longer the one this run left there was set by code that ran during a
// twin's step, after that tick: it stands, as it would on the generic road.
void materialize(State &S, Run &s) {
    s.dirty = false;
    const StepAttr keys[3] = {A_COUNT, A_LATEST, A_FEEDBACK};
    auto put = [&](int k, nb::object v) {
        if (s.sd_entry(S, keys[k]) != s.seen[k].ptr())
            return;
        memo_store(S, s.memo, s.sd, keys[k], v.ptr());
        s.seen[k] = std::move(v);
    };
    put(0, steal_or_raise(PyLong_FromLongLong(s.count)));
    nb::dict snap;
    bool known = s.n_distinct > 0 && item_hashes_current(S);
    for (int j = 0; j < s.n_distinct; ++j) {
        int k = s.distinct[j];
        nb::object value = kItems[k].kind == ItemKind::NaN ? S.nan : steal_or_raise(PyFloat_FromDouble(s.values[j]));
        int r = known ? _PyDict_SetItem_KnownHash(snap.ptr(), S.items[k].ptr(), value.ptr(), S.item_hash[k])
                      : PyDict_SetItem(snap.ptr(), S.items[k].ptr(), value.ptr());
        if (r < 0)
            raise_pending();
    }
    nb::object fb = dict_copy(snap);
    put(1, snap);
    put(2, fb);
}

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

// The full checks before a run: everything a native tick relies on, found as
// it was written for (see above).  False when the native road does not apply
// now; nothing has been changed then but an empty series given the kind of
// the values about to come.  First the objects stepped:
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
    if (!ad || dict_get(ad, S.n_step.ptr()))
        return false;
    s.ad = ad;
    PyObject *view_obj = dict_get(ad, S.n_native_view.ptr());
    if (!view_obj || Py_TYPE(view_obj) != S.view_type)
        return false;
    TwinView *v = nb::inst_ptr<TwinView>(view_obj);
    if (!v)
        return false; // validity is checked before every tick, the first included
    s.view_obj = view_obj;
    s.v = v;
    s.view_hold = nb::borrow(view_obj); // the view (its structures, its plan) outlives the run
    s.plan_hold = plan_for(view_obj, v);
    Plan *plan = s.plan = s.plan_hold.get();
    if (!plan->rows_ok)
        return false;
    PyObject *log = s.sd_entry(S, A_LOG);
    if (!log || !log_type_ok(S, Py_TYPE(log)))
        return false;
    s.log_hold = nb::borrow(log);
    s.log = log;
    return true;
}

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
        std::copy(seen_log.cols, seen_log.cols + kNumSeries, s.cols);
    } else {
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
            s.keep[i] = nb::borrow(o);
            s.cols[i] = so->col;
        }
        s.have_keep = true;
    }
    if (s.slot_run)
        std::memcpy(s.slots0, s.slot_run, sizeof s.slots0);
    PyObject *ts = log_slot(S, log, kTimeStepIndex), *t0 = log_slot(S, log, kTimeStartIndex);
    if (!ts || !t0 || !PyFloat_CheckExact(ts) || !PyFloat_CheckExact(t0))
        return false;
    s.keep[kTimeStepIndex] = nb::borrow(ts);
    s.keep[kTimeStartIndex] = nb::borrow(t0);
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
    for (int c = 0; c < kNumSeries; ++c)
        if (s.cols[c]->attached())
            return false; // a run of this log is in progress further up (a twin calling back)
    return true;
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
                   PyDict_Watch(S.dict_watcher, s.sd) == 0 && PyDict_Watch(S.dict_watcher, s.ad) == 0 &&
                   PyDict_Watch(S.dict_watcher, s.libd) == 0;
    if (watched && (!s.plan->inp_missing.empty() || v->in_opt_missing_any)) {
        s.inp_obj = v->groups.find("inp")->second.obj.ptr();
        s.idd = nb::steal(instance_dict(s.inp_obj));
        PyObject *idd = s.idd.ptr();
        watched = idd && PyDict_CheckExact(idd) && pyact::make_stores_notify(s.inp_obj, idd) &&
                  PyDict_Watch(S.dict_watcher, idd) == 0;
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
    s.release_columns();
    S.native_ticks += (uint64_t) done;
    if (s.dirty)
        materialize(S, s);
    PyErr_NoMemory();
    raise_pending();
}

// A tick's row is in: count it and take its item values.  True when its
// feedback is due.
inline bool tick_done(Run &s) {
    ++s.count;
    s.dirty = true;
    for (int j = 0; j < s.n_distinct; ++j)
        s.values[j] = item_value(*s.plan, s.distinct[j]);
    return s.may_emit && s.count % s.div == 0;
}

// A short run (a caller stepping in lockstep, one tick per call) appends its
// rows through the columns' own appends and makes the full checks around
// each twin step: setting up write cursors and the change watch would cost
// more than the ticks.  The step and field checks are taken from the record
// of the last full ones while the dictionaries they read are watched.
constexpr long long kShortRun = 4;

long long short_run(State &S, Run &s, long long remaining) {
    Plan *plan = s.plan;
    TwinView *v = s.v;
    PyObject *sd = s.sd, *act = s.act, *ad = s.ad;
    PyObject *watched_libd = s.watched ? s.libd : nullptr;
    PyObject *watched_idd = s.watched ? s.idd.ptr() : nullptr;
    const FieldRef *row = plan->row;
    // The row of one tick as the plan reads it from the fields.
    auto append_row = [&]() {
        s.cols[kTimeIndex]->push_double(tick::row_time(s.time_step, s.cols[kTfbIndex]->size(), s.time_start));
        for (int j = 0; j < plan->n_dbl; ++j) {
            double x;
            std::memcpy(&x, plan->dbl_src[j], 8);
            s.cols[plan->dbl_col[j]]->push_double(x);
        }
        for (int j = 0; j < plan->n_f32; ++j) {
            float x;
            std::memcpy(&x, plan->f32_src[j], 4);
            s.cols[plan->f32_col[j]]->push_double(x);
        }
        for (int j = 0; j < plan->n_other; ++j) {
            int i = plan->other_col[j];
            tel::Column *c = s.cols[i];
            if (plan->row_nan[i])
                c->push_double(kNaN);
            else if (plan->kind[i] == tel::Kind::Float)
                c->push_double(twin::load(row[i]));
            else if (plan->kind[i] == tel::Kind::Int)
                c->push_int(tick::load_int(row[i]));
            else
                c->push_bool(tick::load_bool(row[i]));
        }
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
        if (done > 0 && !finish_generic && s.slot_run) {
            // The series as checked after the last tick, its row appended.
            Plan::LogSeen &seen_log = plan->log_seen;
            seen_log.log = s.log;
            seen_log.generation = tel::storage_generation;
            std::memcpy(seen_log.slots, s.slot_run, sizeof seen_log.slots);
            std::copy(s.cols, s.cols + kNumSeries, seen_log.cols);
        }
    } catch (std::bad_alloc &) {
        out_of_memory(S, s, counting, done);
    }
    counting.close();
    S.native_ticks += (uint64_t) done;
    return end_run(S, s, done, due, finish_generic);
}

// The cheap test after each twin step of a long run (see above), armed with
// the state the full checks found (or that only our own code has changed
// since).
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
    // The log's slots as checked (each one is the series kept).
    PyObject **log_slots = nullptr;
    PyObject *slot_copy[kLogFields];

    // The test can be used when every object it relies on allows it;
    // otherwise every tick is checked in full.
    void set_up(State &S, Run &s) {
        log_slots = (PyObject **) ((char *) s.log + S.log_slots_begin);
        std::memcpy(slot_copy, log_slots, sizeof slot_copy);
        if (!s.watched || !S.log_slots_contiguous)
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
        for (const auto &kv : s.v->groups)
            add(kv.second.type, kv.second.obj.ptr());
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
        return std::memcmp(log_slots, slot_copy, sizeof slot_copy) == 0 && s.v->call_unchanged() &&
               s.items_unchanged();
    }
};

// One tick's row as the plan reads it from the fields, handed value by value
// to `put8(column, 8 bytes)` and `put1(column, bool)`.
template <class Put8, class Put1>
inline void write_row(const Plan *plan, double tm, Put8 &&put8, Put1 &&put1) {
    const FieldRef *row = plan->row;
    put8(kTimeIndex, &tm);
    for (int j = 0; j < plan->n_dbl; ++j)
        put8(plan->dbl_col[j], plan->dbl_src[j]);
    for (int j = 0; j < plan->n_f32; ++j) {
        float x;
        std::memcpy(&x, plan->f32_src[j], 4);
        double y = x;
        put8(plan->f32_col[j], &y);
    }
    for (int j = 0; j < plan->n_other; ++j) {
        int i = plan->other_col[j];
        if (plan->row_nan[i]) {
            put8(i, &kNaN);
            continue;
        }
        const FieldRef &f = row[i];
        switch (plan->kind[i]) {
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

using Stage = tick::RowStage<kNumSeries>;

// One tick's row: held back in `stage` (when not null), else stored through
// the columns' write cursors.
inline void put_row(Run &s, const Plan *plan, Stage *stage) {
    double tm = tick::row_time(s.time_step, s.rows++, s.time_start);
    if (stage) {
        uint64_t *w = stage->row();
        write_row(plan, tm, [w](int i, const void *src) { std::memcpy(&w[i], src, 8); },
                  [w](int i, bool b) { w[i] = b ? 1 : 0; });
        stage->commit();
    } else {
        unsigned char **cur = s.cur;
        write_row(plan, tm, [cur](int i, const void *src) { tick::put8(cur[i], src); },
                  [cur](int i, bool b) { *cur[i]++ = b ? 1 : 0; });
    }
}

// A long run: each tick's row goes into the columns through one write
// cursor per column, held back a few rows at a time while the run will go on
// for a while (see RowStage: any operation of a column stores them first, so
// the log reads as complete after every tick); room for a batch of rows is
// made before its ticks run.  After each twin step the cheap test (Watch)
// stands in for the full checks while it is armed.
long long long_run(State &S, Run &s, long long remaining) {
    constexpr long long kBatch = 64;
    Plan *plan = s.plan;
    TwinView *v = s.v;
    PyObject *sd = s.sd, *act = s.act, *ad = s.ad;
    s.keep_all();
    Stage stage(s.cur, plan->narrow);
    // The columns let go (and the rows held back stored) before the stage
    // goes, however the run ends.
    struct LetGo {
        Run &s;
        ~LetGo() {
            s.release_columns();
            s.held = nullptr;
        }
    } let_go{s};
    s.held = &stage;
    Watch w;
    w.set_up(S, s);
    long long done = 0;
    bool due = false, stop = false, finish_generic = false;
    bool checked = false; // the full checks hold for the coming step
    pyact::FrameCount counting(materialize_before_python, &s); // closed before anything of ours may run Python
    try {
        while (done < remaining && !stop) {
            long long batch = std::min(kBatch, remaining - done);
            s.make_room(batch);
            if (w.on && checked)
                checked = w.arm(); // making room is ours: nothing else ran
            // Rows are held back when the run will go on for a while, else
            // stored as they come (a run that ends soon, a callback due,
            // would write its last lines partly past the cache).
            long long ahead = remaining - done;
            if (s.may_emit)
                ahead = std::min(ahead, s.div - s.count % s.div);
            Stage *staged = ahead >= 4 * Stage::kRows ? &stage : nullptr;
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
                        s.make_room(batch - t);
                }
                if (!s.u64_fit()) {
                    finish_generic = stop = true;
                    break;
                }
                put_row(s, plan, staged);
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
        s.release_columns();
        S.native_ticks += (uint64_t) done;
    } catch (std::bad_alloc &) {
        out_of_memory(S, s, counting, done);
    }
    return end_run(S, s, done, due, finish_generic);
}

// Run up to `remaining` ticks natively.  Returns the number of ticks run; 0
// when the native road does not apply now (the caller then runs a generic
// tick).  The Python-visible state is current when it returns or raises.
long long native_run(State &S, nb::handle self, long long remaining) {
    Found f;
    if (!find_objects(S, f, self.ptr()))
        return 0;
    Run s(S, std::move(f));
    if (!full_checks(S, s))
        return 0;
    watch_dicts(S, s);
    return remaining <= kShortRun ? short_run(S, s, remaining) : long_run(S, s, remaining);
}

} // namespace

void run_ticks(State &S, nb::handle self, long long n) {
    long long done = 0;
    while (done < n) {
        long long k = native_run(S, self, n - done);
        if (k > 0) {
            done += k;
            continue;
        }
        generic_tick(S, self);
        ++done;
    }
}

} // namespace vkl::virt
