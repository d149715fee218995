// The checks a one-tick call of `step` makes before and after its tick: that
// `_ensure_initialized()` would do nothing, the load's store, and the map
// returned.  (Kept apart from the tick loops: a change here leaves their
// compiled code where it was.)
#include "virtual/native_records.hpp"
#include "virtual/tick.hpp"

namespace vkl::virt {

// ---- A one-tick call's checks around its ticks ---------------------------------

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
    if (ad_entries(S, m, ad.ptr()).initialized != Py_True)
        return false;
    // What `self._load_value = load` does (the class defines no such
    // attribute); storing the object the entry holds already changes nothing.
    if (load && sd_get(S, m, sd.ptr(), A_LOAD) != load)
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
                return S.returned.copy_of(latest);
    }
    return dict_copy(get_attr(self, S.attr(A_LATEST)));
}

} // namespace vkl::virt
