// The stepping machinery of the simulated actuator: the operations a tick
// calls through the instance (`_require_actuator`, `_read_path`,
// `_get_item_value`, the snapshot, the emit rule and the callback), and the
// generic tick built from them.  One operation calls another through the
// instance, or straight into its C++ code while the method found there is
// the class's own.
#include "virtual/stepping.hpp"

namespace vkl::virt {

namespace {

// self.<attribute> and self.<method> of the stepping machinery, each name
// through a read cache of its own (see CachedAttr).
nb::object self_attr(State &S, nb::handle self, StepAttr a) {
    return cached_get(S.ca_step_attr[a], self, S.attr(a));
}
nb::object self_method(State &S, nb::handle self, StepMethod m) {
    return cached_get(S.ca_step_method[m], self, S.method(m));
}

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

} // namespace vkl::virt
