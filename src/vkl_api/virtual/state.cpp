// The simulated actuator's module state, built once per import.
#include "virtual/state.hpp"

#include "core/pyutil.hpp"
#include "core/twin_view.hpp"

#include <structmember.h>

#include <algorithm>
#include <string>

namespace vkl::virt {

namespace {

// The interned attribute names of the module besides the stepping
// machinery's and the log's: one row per name.
struct NameRow {
    nb::object State::*field;
    const char *text;
};
const NameRow kNames[] = {
    {&State::n_step, "step"},
    {&State::n_append, "_append"},
    {&State::n_native_view, "_native_view"},
    {&State::n_initialized, "_initialized"},
    {&State::n_list_append, "append"},
    {&State::n_split, "split"},
    {&State::n_initialize, "initialize"},
    {&State::n_set_enable, "set_enable"},
    {&State::n_mode, "_mode"},
    {&State::n_current_mode, "_current_mode"},
    {&State::n_enabled, "_enabled"},
    {&State::n_value, "value"},
    {&State::n_name, "name"},
    {&State::n_qualname, "__qualname__"},
    {&State::n_tracked, "_tracked_numeric_values"},
    {&State::n_configured_model, "_configured_model_name"},
    {&State::n_model, "_model"},
    {&State::n_torque_performance, "_torque_performance"},
    {&State::n_speed_performance, "_speed_performance"},
    {&State::n_logger, "logger"},
    {&State::n_set_address, "set_address"},
    {&State::n_parameter_paths, "_PARAMETER_PATHS"},
};

PyTypeObject *type_of(nb::handle h) { return (PyTypeObject *) h.ptr(); }

} // namespace

nb::object dict_copy(nb::handle v) {
    if (PyDict_CheckExact(v.ptr()))
        return steal_or_raise(PyDict_Copy(v.ptr()));
    return steal_or_raise(PyObject_CallOneArg((PyObject *) &PyDict_Type, v.ptr()));
}

StateP make_state(nb::module_ &m) {
    auto S = std::make_shared<State>();
    State &s = *S;
    s.g = nb::borrow<nb::dict>(m.attr("__dict__"));
    s.nan = m.attr("nan");
    s.base_cls = m.attr("KavrelActuatorBase");
    s.engine_cls = m.attr("ActuatorWrapper");
    for (const NameRow &row : kNames)
        s.*row.field = intern_name(row.text);
    {
        PyObject *st = _PyType_Lookup(type_of(s.engine_cls), s.n_step.ptr());
        s.engine_step = nb::borrow(st ? st : Py_None);
    }
    {
        nb::handle vt = nb::type<twin::TwinView>();
        s.view_type = vt.is_valid() ? (PyTypeObject *) vt.ptr() : nullptr;
    }
    nb::object VKL_Items = s.base_cls.attr("VKL_Items");
    for (int k = 0; k < kNumItems; ++k)
        s.items[k] = VKL_Items.attr(kItems[k].member);

    for (int i = 0; i < kLogFields; ++i)
        s.log_names[i] = intern_name(log_field_name(i));
    for (int i = 0; i < kRowSeries; ++i) {
        s.series_group[i] = intern_name(kSeries[i].group);
        s.series_field[i] = intern_name(kSeries[i].field);
    }
    // An item's path, with its two parts (structure, field) looked up by the
    // path's own interned text.
    auto path_obj = [&](const char *path) -> nb::object {
        if (!path)
            return nb::object();
        std::string p(path);
        size_t dot = p.find('.');
        nb::object o = intern_name(path);
        s.path_parts[o.ptr()] = {intern_name(p.substr(0, dot).c_str()), intern_name(p.substr(dot + 1).c_str())};
        return o;
    };
    for (int k = 0; k < kNumItems; ++k) {
        s.item_path[k] = path_obj(kItems[k].path);
        s.item_path2[k] = path_obj(kItems[k].path2);
    }
    for (int i = 0; i < kNumStepMethods; ++i)
        s.n_step_method[i] = intern_name(kStepMethods[i]);
    for (int i = 0; i < kNumStepAttrs; ++i)
        s.n_step_attr[i] = intern_name(kStepAttrs[i]);
    return S;
}

void note_log_class(State &s, nb::object cls) {
    s.log_cls = cls;
    PyTypeObject *t = type_of(cls);
    for (int i = 0; i < kLogFields; ++i) {
        PyObject *d = _PyType_Lookup(t, s.log_names[i].ptr());
        if (!d || Py_TYPE(d) != &PyMemberDescr_Type)
            raise(PyExc_RuntimeError, "telemetry log slots are not member descriptors");
        s.log_off[i] = ((PyMemberDescrObject *) d)->d_member->offset;
        s.log_descr[i] = nb::borrow(d);
    }
    // The slots fill one run of words (in the class's own order).
    Py_ssize_t lo = s.log_off[0], hi = s.log_off[0];
    for (int i = 0; i < kLogFields; ++i) {
        lo = std::min(lo, s.log_off[i]);
        hi = std::max(hi, s.log_off[i]);
    }
    s.log_slots_begin = lo;
    s.log_slots_contiguous = hi - lo == (kLogFields - 1) * (Py_ssize_t) sizeof(PyObject *);
    s.log_append = nb::borrow(_PyType_Lookup(t, s.n_append.ptr()));
}

void note_actuator_class(State &s, nb::object cls) {
    s.virt_cls = cls;
    PyTypeObject *t = type_of(cls);
    for (int i = 0; i < kNumStepMethods; ++i) {
        PyObject *o = _PyType_Lookup(t, s.n_step_method[i].ptr());
        s.orig_methods[i] = nb::borrow(o ? o : Py_None);
    }
}

} // namespace vkl::virt
