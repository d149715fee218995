// The log row append, `VirtualActuatorLog._append(act)`, on three roads: one
// row read natively through the engine wrapper's field view, directly for a
// duck-typed twin whose structures are plain ctypes ones, or through
// attribute reads and the series' own appends.  The first two are taken only
// when nothing on the way can run Python code.
#include "virtual/row_append.hpp"

#include "core/tick_loop.hpp"
#include "virtual/native_records.hpp"
#include "virtual/series.hpp"

#include <cstring>
#include <new>

namespace vkl::virt {

namespace {

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

// series.append(value), with the series' own append for our columns.
void append_to(State &S, nb::handle series, nb::handle value) {
    if (is_series(series.ptr())) {
        if (series_append((SeriesObject *) series.ptr(), value.ptr()) < 0)
            raise_pending();
        return;
    }
    steal_or_raise(PyObject_CallMethodOneArg(series.ptr(), S.n_list_append.ptr(), value.ptr()));
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
    nb::object view_hold = nb::borrow(view_obj); // (with it, its plan)
    const Plan &plan = *plan_for(view_obj, v);
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

} // namespace vkl::virt
