// Physical actuator driven through a VKL transport, and the bus scanner built
// on it.  Commands are packed here and leave through `_send_VKL_common`; the
// replies come back on the transport's polling thread through `_can_callback`,
// which decodes them in place from the payload list.
#include "core/attr_cache.hpp"
#include "core/member_hashes.hpp"
#include "core/payload.hpp"
#include "core/pyutil.hpp"
#include "core/send_entry.hpp"

#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <type_traits>
#include <memory>
#include <utility>
#include <vector>

namespace nb = nanobind;
namespace pl = vkl::payload;
using namespace vkl;

namespace {

nb::object get(nb::handle o, nb::handle name) { return steal_or_raise(PyObject_GetAttr(o.ptr(), name.ptr())); }

void set(nb::handle o, nb::handle name, nb::handle value) {
    if (PyObject_SetAttr(o.ptr(), name.ptr(), value.ptr()) < 0)
        raise_pending();
}

// Exact int small enough to be stored inline (every byte value is).
inline bool compact_int(PyObject *o, long *out) {
    if (!PyLong_CheckExact(o) || !PyUnstable_Long_IsCompact((PyLongObject *) o))
        return false;
    *out = (long) PyUnstable_Long_CompactValue((PyLongObject *) o);
    return true;
}

inline bool byte_value(PyObject *o, uint8_t *out) {
    long v;
    if (!compact_int(o, &v) || v < 0 || v > 255)
        return false;
    *out = (uint8_t) v;
    return true;
}

nb::list byte_list(const uint8_t *p, size_t n) {
    PyObject *l = PyList_New((Py_ssize_t) n);
    if (!l)
        raise_pending();
    for (size_t i = 0; i < n; ++i)
        PyList_SET_ITEM(l, (Py_ssize_t) i, PyLong_FromLong(p[i])); // byte values are cached ints
    return nb::steal<nb::list>(l);
}

void append(nb::list &l, nb::handle v) {
    if (PyList_Append(l.ptr(), v.ptr()) < 0)
        raise_pending();
}

void append_byte(nb::list &l, long v) {
    PyObject *o = PyLong_FromLong(v);
    if (!o)
        raise_pending();
    int r = PyList_Append(l.ptr(), o);
    Py_DECREF(o);
    if (r < 0)
        raise_pending();
}

void append_bytes(nb::list &l, const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        append_byte(l, p[i]);
}

// Everything the classes need, captured once when they are built: the
// vocabulary with its members indexed by wire value, interned attribute names
// and the module namespace (for the names read at call time).
// Tables indexed by a wire byte.
constexpr long kByteValues = 256;

struct State {
    nb::dict g;
    nb::object base_cls, real_cls, send_common_fn;
    nb::object Mode, Rates, VKL_Items, VKL_Parameters;

    nb::object item_member[kByteValues];
    MemberHashes item_hashes; // of item_member, for the feedback maps' keys
    // The attributes every feedback message reads, with the class half of
    // each lookup kept (see CachedAttr).
    CachedAttr c_feedback, c_feedback_callback, c_address;
    pl::ValueKind item_kind[kByteValues] = {};
    nb::object item_values; // list of the member values in definition order
    nb::object param_member[kByteValues];
    nb::object mode_member[kByteValues];
    bool items_beyond_byte = false, params_beyond_byte = false, modes_beyond_byte = false;
    nb::object params_all;

    nb::object mode_torque, mode_speed, mode_position, mode_impedance;
    nb::object rates_disabled, p_mode, p_vkl_address, p_can_high_speed;

    long a_start, a_stop, a_change_mode, a_change_setpoint, a_sp_torque, a_sp_speed, a_sp_position, a_sp_impedance,
        a_sp_speed_internal, a_sp_position_internal, a_feedback_rate, a_feedback_items, a_reset_encoder,
        a_set_parameters, a_get_parameters, a_torque_performance, a_speed_performance, a_get_items, a_save, a_ping,
        a_blink, a_bootloader, a_clear_config;
    long r_beacon, r_errors, r_parameters, p_mode_id;
    nb::object int_zero, int_beacon, int_errors, int_parameters, int_p_mode;
    nb::object unsigned_params[4];

    nb::object struct_error;
    nb::object error_bit[pl::ERROR_BIT_COUNT], error_text[pl::ERROR_BIT_COUNT];
    nb::object poll_items, poll_parameters, pause_bootloader, scan_ping_timeout;

    // attribute names, interned once from kNames
    nb::object n_adapter, n_address, n_can_high_speed, n_current_mode, n_feedback, n_low_feedback, n_parameters,
        n_got_parameters, n_got_pong, n_connected, n_feedback_callback, n_error_callback, n_logger, n_model,
        n_firmware_version, n_models_names, n_send_common, n_send_vkl, n_change_mode, n_change_address,
        n_get_parameters, n_set_parameters, n_send_ping, n_stop, n_set_feedback_rate, n_set_feedback_items,
        n_get_items_blocking, n_set_home_position, n_is_valid_address, n_parse_parameters, n_parse_errors,
        n_parse_firmware, n_can_callback, n_set_callback, n_remove_callback, n_close, n_port, n_connect, n_value,
        n_update, n_error, n_warning;
    // keyword-name tuples of vectorcalls
    nb::object kw_high_speed_candidate, kw_can_high_speed, kw_timeout;
    // the serial transport's C-level send entry, once published (see send_entry)
    nb::object send_entry_key;
    const SendEntry *send_entry = nullptr;
    // The actuator's attributes every command reads (see CommandRead).
    std::unique_ptr<InstanceReads<5>> command_reads;
    // The last class found to hold this class's own `_send_VKL_common`, and
    // its version tag then (see class_sends_own).
    PyTypeObject *own_send_type = nullptr; // compared only
    unsigned int own_send_tag = 0;
};

// The order of State::command_reads' names.
enum CommandRead { R_CURRENT_MODE, R_SEND_COMMON, R_CAN_HIGH_SPEED, R_ADAPTER, R_ADDRESS };
using CommandReads = InstanceReads<5>::Entry;

// self.<name> of a command's reads, through the record `e` of `self`.
nb::object command_read(State &S, const CommandReads *e, nb::handle self, CommandRead r) {
    return steal_or_raise(S.command_reads->get(e, self.ptr(), r));
}
using StateP = std::shared_ptr<State>;

// `time` and `sleep` are read from the module at call time, so that a test or
// a simulation can replace them.
nb::object now(State &S) { return module_global(S.g, "time")(); }
void pause(State &S, nb::handle seconds) { module_global(S.g, "sleep")(seconds); }

// time() - start < timeout, with the interpreter's arithmetic and comparison.
bool before_deadline(State &S, nb::handle start, nb::handle timeout) {
    nb::object t = now(S);
    nb::object elapsed = steal_or_raise(PyNumber_Subtract(t.ptr(), start.ptr()));
    return truth(steal_or_raise(PyObject_RichCompare(elapsed.ptr(), timeout.ptr(), Py_LT)));
}

nb::object call_method(nb::handle self, nb::handle name) {
    PyObject *args[] = {self.ptr()};
    return steal_or_raise(PyObject_VectorcallMethod(name.ptr(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
nb::object call_method(nb::handle self, nb::handle name, nb::handle a0) {
    PyObject *args[] = {self.ptr(), a0.ptr()};
    return steal_or_raise(PyObject_VectorcallMethod(name.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
nb::object call_method(nb::handle self, nb::handle name, nb::handle a0, nb::handle a1) {
    PyObject *args[] = {self.ptr(), a0.ptr(), a1.ptr()};
    return steal_or_raise(PyObject_VectorcallMethod(name.ptr(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// self.name(a0, <kw>=kwval) with a one-name kwnames tuple.
nb::object call_method_kw(nb::handle self, nb::handle name, nb::handle a0, nb::handle kwnames, nb::handle kwval) {
    PyObject *args[] = {self.ptr(), a0.ptr(), kwval.ptr()};
    return steal_or_raise(PyObject_VectorcallMethod(name.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
}

void log_to(State &S, nb::handle self, nb::handle level, const std::string &text) {
    nb::object logger = get(self, S.n_logger);
    nb::str msg(text.data(), text.size());
    call_method(logger, level, msg);
}

// The serial transport's C-level send entry, once its module has published
// one (looked for on each send until then; a transport that is no serial
// transport takes the Python call in any case).
const SendEntry *send_entry(State &S) {
    if (S.send_entry)
        return S.send_entry;
    PyObject *interp = PyInterpreterState_GetDict(PyInterpreterState_Get());
    PyObject *cap = interp ? dict_get(interp, S.send_entry_key.ptr()) : nullptr;
    if (!cap || !PyCapsule_IsValid(cap, kSendEntryKey))
        return nullptr;
    auto *e = (const SendEntry *) PyCapsule_GetPointer(cap, kSendEntryKey);
    if (e && e->version == kSendEntryVersion)
        S.send_entry = e;
    return S.send_entry;
}

// The body of `_send_VKL_common`: adapter.send_VKL(address, payload,
// can_high_speed=flag).  The payload is the list `list`, or else the `n`
// bytes at `bytes`, of which a list is made only for the Python call.  A
// serial transport whose send_VKL is its own takes the call through its C
// entry, which runs that method's body without the dispatch (it declines any
// other transport, and then the call is made).
// `e`: the record of `self` when one was taken and no code has run since.
nb::object send_payload(State &S, nb::handle self, nb::handle list, const uint8_t *bytes, size_t n,
                        nb::handle high_speed_candidate, const CommandReads *e = nullptr) {
    if (!e)
        e = S.command_reads->of(self.ptr());
    nb::object can_high_speed = command_read(S, e, self, R_CAN_HIGH_SPEED);
    // The truth of anything but a bool may run code, which may change `self`.
    if (!PyBool_Check(can_high_speed.ptr()))
        e = nullptr;
    nb::handle flag = truth(can_high_speed) ? high_speed_candidate : nb::handle(can_high_speed);
    if (!e)
        e = S.command_reads->of(self.ptr());
    nb::object adapter = command_read(S, e, self, R_ADAPTER);
    nb::object address = command_read(S, e, self, R_ADDRESS);
    if (const SendEntry *e = send_entry(S)) {
        PyObject *result = nullptr;
        int r = e->send(e->ctx, adapter.ptr(), address.ptr(), list.ptr(), bytes, n, flag.ptr(), &result);
        if (r < 0)
            raise_pending();
        if (r > 0)
            return nb::steal(result);
    }
    nb::object made;
    if (!list.is_valid()) {
        made = byte_list(bytes, n);
        list = made;
    }
    PyObject *args[] = {adapter.ptr(), address.ptr(), list.ptr(), flag.ptr()};
    return steal_or_raise(PyObject_VectorcallMethod(S.n_send_vkl.ptr(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                    S.kw_can_high_speed.ptr()));
}

// Does the class `t` find this class's own `_send_VKL_common`?  Known
// without a lookup for the last class that did while it keeps its version
// tag (any change to it or a base gives it a new one; tags are never reused).
bool class_sends_own(State &S, PyTypeObject *t) {
    if (t == S.own_send_type && S.own_send_tag != 0 && t->tp_version_tag == S.own_send_tag)
        return true;
    if (_PyType_Lookup(t, S.n_send_common.ptr()) != S.send_common_fn.ptr())
        return false;
    if (has_version_tag(t)) {
        S.own_send_type = t;
        S.own_send_tag = t->tp_version_tag;
    }
    return true;
}

// Every command leaves through the instance's `_send_VKL_common`.
nb::object send_common(State &S, nb::handle self, nb::handle msg, nb::handle high_speed_candidate) {
    nb::list payload = arg_list(msg, "msg");
    return send_payload(S, self, payload, nullptr, 0, high_speed_candidate);
}

// self._send_VKL_common(payload[, high_speed_candidate=True]), the payload
// being the list `list` or else the `n` bytes at `bytes`.  When the
// attribute is this class's own method bound to `self`, its body runs here
// directly; any other object found there (an override, a replacement on the
// instance) is called with a list.  `e`: as for send_payload.
void send(State &S, nb::handle self, nb::handle list, const uint8_t *bytes, size_t n, bool high_speed_candidate,
          const CommandReads *e = nullptr) {
    nb::handle candidate = high_speed_candidate ? Py_True : Py_False;
    // The usual case decided without making the bound method: the class's
    // lookup finds this class's own (non-data) method and the instance holds
    // nothing under the name, so `self._send_VKL_common` is that method.
    PyTypeObject *t = Py_TYPE(self.ptr());
    if (t->tp_getattro == PyObject_GenericGetAttr && class_sends_own(S, t)) {
        bool shadowed;
        if (!e)
            e = S.command_reads->of(self.ptr());
        if (e) {
            shadowed = e->v[R_SEND_COMMON] != nullptr;
        } else {
            PyObject *d = instance_dict(self);
            shadowed = !d || dict_get(d, S.n_send_common.ptr()) != nullptr;
            Py_XDECREF(d);
        }
        if (!shadowed) {
            send_payload(S, self, list, bytes, n, candidate, e);
            return;
        }
    }
    nb::object bound = get(self, S.n_send_common);
    if (PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == S.send_common_fn.ptr() &&
        PyMethod_GET_SELF(bound.ptr()) == self.ptr()) {
        send_payload(S, self, list, bytes, n, candidate);
        return;
    }
    nb::object made;
    if (!list.is_valid()) {
        made = byte_list(bytes, n);
        list = made;
    }
    if (high_speed_candidate) {
        PyObject *args[] = {list.ptr(), Py_True};
        steal_or_raise(PyObject_Vectorcall(bound.ptr(), args, 1, S.kw_high_speed_candidate.ptr()));
    } else {
        PyObject *args[] = {list.ptr()};
        steal_or_raise(PyObject_Vectorcall(bound.ptr(), args, 1, nullptr));
    }
}

void send(State &S, nb::handle self, nb::handle payload, bool high_speed_candidate = false) {
    send(S, self, payload, nullptr, 0, high_speed_candidate);
}
void send_bytes(State &S, nb::handle self, const uint8_t *bytes, size_t n, bool high_speed_candidate = false,
                const CommandReads *e = nullptr) {
    send(S, self, nb::handle(), bytes, n, high_speed_candidate, e);
}

void send_action(State &S, nb::handle self, long action) {
    uint8_t b = (uint8_t) action;
    send_bytes(S, self, &b, 1);
}

[[noreturn]] void raise_f32_overflow() { raise(PyExc_OverflowError, "float too large to pack with f format"); }

// "<f" of an arbitrary object, as struct.pack gives it.
void pack_f32_object(State &S, nb::handle v, uint8_t *out) {
    double d;
    if (PyFloat_CheckExact(v.ptr())) {
        d = PyFloat_AS_DOUBLE(v.ptr());
    } else {
        d = PyFloat_AsDouble(v.ptr());
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            raise(S.struct_error.ptr(), "required argument is not a float");
        }
    }
    if (!pl::pack_f32(d, out)) {
        // struct reports an int beyond single precision as its own error.
        if (PyLong_Check(v.ptr()))
            raise(S.struct_error.ptr(), "int too large to convert");
        raise_f32_overflow();
    }
}

// "<I" of an arbitrary object, as struct.pack gives it.
void pack_u32_object(State &S, nb::handle v, uint8_t *out) {
    nb::object i;
    if (PyLong_Check(v.ptr()))
        i = nb::borrow(v);
    else if (PyIndex_Check(v.ptr()))
        i = steal_or_raise(PyNumber_Index(v.ptr()));
    else
        raise(S.struct_error.ptr(), "required argument is not an integer");
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred())
        raise_pending();
    if (overflow || x < 0 || x > 0xFFFFFFFFLL)
        raise(S.struct_error.ptr(), "'I' format requires 0 <= number <= 4294967295");
    pl::pack_u32((uint32_t) x, out);
}

// The 4 value bytes data[start:start+4], read as bytes() would read them.
void fetch4(State &S, PyObject *list, Py_ssize_t start, uint8_t *out) {
    if (start + pl::VALUE_SIZE <= PyList_GET_SIZE(list)) {
        bool ok = true;
        for (int k = 0; k < pl::VALUE_SIZE && ok; ++k)
            ok = byte_value(PyList_GET_ITEM(list, start + k), out + k);
        if (ok)
            return;
    }
    nb::object slice = steal_or_raise(PyList_GetSlice(list, start, start + pl::VALUE_SIZE));
    nb::object b = steal_or_raise(PyBytes_FromObject(slice.ptr()));
    if (PyBytes_GET_SIZE(b.ptr()) != pl::VALUE_SIZE)
        raise(S.struct_error.ptr(), "unpack requires a buffer of 4 bytes");
    std::memcpy(out, PyBytes_AS_STRING(b.ptr()), pl::VALUE_SIZE);
}

// Member of an enumeration by wire value from its prebuilt table; falls back
// to the enumeration itself for anything the table does not settle (so the
// error raised is the enumeration's own).
nb::object member_of(nb::handle enum_cls, const nb::object *table, nb::handle key) {
    long v;
    if (compact_int(key.ptr(), &v) && v >= 0 && v < kByteValues && table[v].is_valid())
        return table[v];
    return enum_cls(key);
}

// Mode member for a truncated MODE value, or an invalid handle.
nb::object mode_for(State &S, long v) {
    if (v >= 0 && v < kByteValues && S.mode_member[v].is_valid())
        return S.mode_member[v];
    if (S.modes_beyond_byte) {
        try {
            return S.Mode(nb::int_(v));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ValueError))
                throw;
        }
    }
    return nb::object();
}

std::string hex_id(nb::handle id) {
    long v;
    if (compact_int(id.ptr(), &v) && v >= 0) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%02lX", v);
        return buf;
    }
    return py_format(id, "02X");
}

enum class Record { End, Beacon, Parameters, Errors, Item, Unknown };

// ---- receive path ------------------------------------------------------------

void parse_parameters(State &S, nb::handle self, nb::handle data_arg) {
    nb::list data = arg_list(data_arg, "data");
    PyObject *l = data.ptr();
    Py_ssize_t n = PyList_GET_SIZE(l) / pl::RECORD_SIZE;
    Py_ssize_t index = 0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (index >= PyList_GET_SIZE(l))
            raise(PyExc_IndexError, "list index out of range");
        nb::object parameter = nb::borrow(PyList_GET_ITEM(l, index));
        long id = -1;
        bool exact = compact_int(parameter.ptr(), &id);
        if (exact ? id == 0 : eq(parameter, S.int_zero))
            break;
        uint8_t raw[4];
        fetch4(S, l, index + 1, raw);
        nb::object value;
        pl::ParameterKind kind;
        if (exact) {
            kind = pl::parameter_kind(id);
        } else if (eq(parameter, S.int_p_mode)) {
            kind = pl::ParameterKind::Mode;
        } else {
            kind = pl::ParameterKind::Float;
            for (auto &u : S.unsigned_params)
                if (eq(parameter, u)) {
                    kind = pl::ParameterKind::Unsigned;
                    break;
                }
        }
        if (kind == pl::ParameterKind::Mode) {
            double f = pl::unpack_f32(raw);
            long number = 0;
            pl::ModeNumber r = pl::mode_number(f, &number);
            if (r == pl::ModeNumber::Infinite)
                raise(PyExc_OverflowError, "cannot convert float infinity to integer");
            nb::object member;
            if (r == pl::ModeNumber::Ok)
                member = mode_for(S, number);
            if (member.is_valid()) {
                value = member;
                set(self, S.n_current_mode, member);
            } else {
                log_to(S, self, S.n_warning,
                       "Invalid mode value " + py_str(nb::float_(f)) + " for parameter " + py_str(parameter));
                value = nb::none();
            }
        } else if (kind == pl::ParameterKind::Unsigned) {
            value = steal_or_raise(PyLong_FromUnsignedLong(pl::unpack_u32(raw)));
        } else {
            value = steal_or_raise(PyFloat_FromDouble(pl::unpack_f32(raw)));
        }
        nb::object key = member_of(S.VKL_Parameters, S.param_member, parameter);
        nb::object params = get(self, S.n_parameters);
        if (PyObject_SetItem(params.ptr(), key.ptr(), value.ptr()) < 0)
            raise_pending();
        index += pl::RECORD_SIZE;
    }
    if (index > 0)
        set(self, S.n_got_parameters, Py_True);
}

void parse_errors(State &S, nb::handle self, nb::handle error_value) {
    nb::object v = arg_int(error_value, "error_value");
    // The low 64 bits in two's complement: what `value & (1 << bit)` looks at.
    unsigned long long word = PyLong_AsUnsignedLongLongMask(v.ptr());
    if (word == (unsigned long long) -1 && PyErr_Occurred())
        raise_pending();
    nb::dict errors;
    for (int i = 0; i < pl::ERROR_BIT_COUNT; ++i)
        if (word & (1ULL << pl::ERROR_BITS[i].bit))
            if (PyDict_SetItem(errors.ptr(), S.error_bit[i].ptr(), S.error_text[i].ptr()) < 0)
                raise_pending();
    if (PyDict_GET_SIZE(errors.ptr()) == 0)
        return;
    nb::object callback = get(self, S.n_error_callback);
    nb::object address = get(self, S.n_address);
    callback(address, errors);
}

Record classify(State &S, nb::handle id_obj, nb::object *member, pl::ValueKind *kind, long *index) {
    long id;
    *index = -1;
    if (compact_int(id_obj.ptr(), &id)) {
        if (id == 0)
            return Record::End;
        if (id == S.r_beacon)
            return Record::Beacon;
        if (id == S.r_parameters)
            return Record::Parameters;
        if (id == S.r_errors)
            return Record::Errors;
        if (id > 0 && id < kByteValues && S.item_member[id].is_valid()) {
            *member = S.item_member[id];
            *kind = S.item_kind[id];
            *index = id;
            return Record::Item;
        }
        if (!S.items_beyond_byte)
            return Record::Unknown;
    } else {
        if (eq(id_obj, S.int_zero))
            return Record::End;
        if (eq(id_obj, S.int_beacon))
            return Record::Beacon;
        if (eq(id_obj, S.int_parameters))
            return Record::Parameters;
        if (eq(id_obj, S.int_errors))
            return Record::Errors;
    }
    // Generic path: an id that is not a plain byte value.
    bool found = false;
    for (nb::handle v : S.item_values)
        if (eq(id_obj, v)) {
            found = true;
            break;
        }
    if (!found)
        return Record::Unknown;
    *member = S.VKL_Items(id_obj);
    nb::object value = get(*member, S.n_value);
    long vid;
    *kind = compact_int(value.ptr(), &vid) ? pl::feedback_value_kind(vid) : pl::ValueKind::Float;
    return Record::Item;
}

void can_callback(State &S, nb::handle self, nb::handle address, nb::handle data_arg, nb::handle priority_arg) {
    arg_int(address, "address");
    nb::list data = arg_list(data_arg, "data");
    nb::object priority = arg_int(priority_arg, "priority");
    PyObject *l = data.ptr();

    nb::dict message;
    Py_ssize_t index = 0;
    while (index < PyList_GET_SIZE(l)) {
        nb::object id_obj = nb::borrow(PyList_GET_ITEM(l, index));
        nb::object member;
        pl::ValueKind kind = pl::ValueKind::Float;
        long member_index;
        uint8_t raw[4];
        switch (classify(S, id_obj, &member, &kind, &member_index)) {
        case Record::End:
            goto delivered;
        case Record::Beacon: {
            fetch4(S, l, index + 1, raw);
            nb::object code = nb::int_(pl::unpack_u16(raw));
            nb::object version = nb::int_(pl::unpack_u16(raw + 2));
            set(self, S.n_firmware_version, call_method(self, S.n_parse_firmware, version));
            nb::object names = get(self, S.n_models_names);
            PyObject *name = PyObject_GetItem(names.ptr(), code.ptr());
            if (!name) {
                if (!PyErr_ExceptionMatches(PyExc_IndexError))
                    raise_pending();
                PyErr_Clear();
                name = PyObject_GetItem(names.ptr(), S.int_zero.ptr());
            }
            set(self, S.n_model, steal_or_raise(name));
            set(self, S.n_got_pong, Py_True);
            return;
        }
        case Record::Parameters: {
            nb::object tail = steal_or_raise(PyList_GetSlice(l, index + 1, PY_SSIZE_T_MAX));
            call_method(self, S.n_parse_parameters, tail);
            return;
        }
        case Record::Errors: {
            fetch4(S, l, index + 1, raw);
            call_method(self, S.n_parse_errors, nb::int_(pl::unpack_u32(raw)));
            return;
        }
        case Record::Item: {
            fetch4(S, l, index + 1, raw);
            PyObject *value;
            switch (kind) {
            case pl::ValueKind::Unsigned: value = PyLong_FromUnsignedLong(pl::unpack_u32(raw)); break;
            case pl::ValueKind::Signed: value = PyLong_FromLong(pl::unpack_i32(raw)); break;
            default: value = PyFloat_FromDouble(pl::unpack_f32(raw)); break;
            }
            nb::object v = steal_or_raise(value);
            int r = member_index >= 0 && S.item_hashes.current(S.item_member, kByteValues)
                        ? dict_set_known_hash(message.ptr(), member.ptr(), v.ptr(), S.item_hashes.hash(member_index))
                        : PyDict_SetItem(message.ptr(), member.ptr(), v.ptr());
            if (r < 0)
                raise_pending();
            index += pl::RECORD_SIZE;
            break;
        }
        case Record::Unknown:
            log_to(S, self, S.n_error, "Unknown command 0x" + hex_id(id_obj));
            return;
        }
    }
delivered:
    int overflow = 0;
    long p = PyLong_AsLongAndOverflow(priority.ptr(), &overflow);
    if (p == -1 && PyErr_Occurred())
        raise_pending();
    if (p == 0 && !overflow) {
        nb::object feedback = steal_or_raise(S.c_feedback.get(self.ptr(), S.n_feedback.ptr()));
        if (PyDict_CheckExact(feedback.ptr())) {
            if (PyDict_Update(feedback.ptr(), message.ptr()) < 0)
                raise_pending();
        } else {
            call_method(feedback, S.n_update, message);
        }
        nb::object callback = steal_or_raise(S.c_feedback_callback.get(self.ptr(), S.n_feedback_callback.ptr()));
        if (!callback.is_none()) {
            nb::object addr = steal_or_raise(S.c_address.get(self.ptr(), S.n_address.ptr()));
            callback(addr, message);
        }
    } else {
        set(self, S.n_low_feedback, message);
    }
}

// ---- commands ----------------------------------------------------------------

// Returns the record of `self` it read the mode from when no code has run
// since (the mode read from it and found the same by identity), else nullptr.
const CommandReads *ensure_mode(State &S, nb::handle self, nb::handle mode) {
    const CommandReads *e = S.command_reads->of(self.ptr());
    nb::object current = command_read(S, e, self, R_CURRENT_MODE);
    // `current != mode` as the interpreter evaluates it (no identity shortcut).
    if (current.is(mode) && PyType_IsSubtype(Py_TYPE(mode.ptr()), (PyTypeObject *) S.Mode.ptr()))
        return e && e->v[R_CURRENT_MODE] ? e : nullptr;
    if (truth(steal_or_raise(PyObject_RichCompare(current.ptr(), mode.ptr(), Py_NE))))
        call_method(self, S.n_change_mode, mode);
    return nullptr;
}

// A setpoint command: every value converted first, the mode ensured, then the
// action id and the values packed as single-precision floats.
template <size_t N>
void setpoint(State &S, nb::handle self, nb::handle mode, long action, const nb::handle (&args)[N]) {
    double values[N];
    for (size_t i = 0; i < N; ++i)
        values[i] = arg_float(args[i]);
    const CommandReads *e = mode.is_valid() ? ensure_mode(S, self, mode) : nullptr;
    uint8_t buf[1 + pl::VALUE_SIZE * N];
    if (pl::encode_floats((uint8_t) action, values, N, buf) >= 0)
        raise_f32_overflow();
    send_bytes(S, self, buf, sizeof buf, true, e);
}

// [action, element.value for each element of `elements`]
nb::list id_payload(State &S, long action, nb::handle elements) {
    nb::list values;
    for (nb::handle e : elements)
        append(values, get(e, S.n_value));
    nb::list payload;
    append_byte(payload, action);
    for (nb::handle v : values)
        append(payload, v);
    return payload;
}

nb::object slice_to(nb::handle seq, nb::handle stop) {
    nb::object s = steal_or_raise(PySlice_New(nullptr, stop.ptr(), nullptr));
    return steal_or_raise(PyObject_GetItem(seq.ptr(), s.ptr()));
}
nb::object slice_from(nb::handle seq, nb::handle start) {
    nb::object s = steal_or_raise(PySlice_New(start.ptr(), nullptr, nullptr));
    return steal_or_raise(PyObject_GetItem(seq.ptr(), s.ptr()));
}

void set_parameters(State &S, nb::handle self, nb::handle parameters_arg) {
    nb::dict parameters = arg_dict(parameters_arg, "parameters");
    nb::object limit_obj = module_global(S.g, "VKL_MAX_PARAMETERS_PER_REQUEST");
    long long limit = PyLong_AsLongLong(limit_obj.ptr());
    if (limit == -1 && PyErr_Occurred())
        raise_pending();
    if (limit == 0)
        raise(PyExc_ZeroDivisionError, "integer modulo by zero");
    nb::list payload;
    append_byte(payload, S.a_set_parameters);
    nb::object items = steal_or_raise(PyObject_CallMethod(parameters.ptr(), "items", nullptr));
    nb::object it = steal_or_raise(PyObject_GetIter(items.ptr()));
    long long i = 0;
    for (;;) {
        PyObject *entry = PyIter_Next(it.ptr());
        if (!entry) {
            if (PyErr_Occurred())
                raise_pending();
            break;
        }
        nb::object pair = nb::steal(entry);
        nb::object key = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0));
        nb::object value = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1));
        append(payload, get(key, S.n_value));
        uint8_t raw[4];
        pack_f32_object(S, value, raw);
        append_bytes(payload, raw, 4);
        long long rem = (i + 1) % limit;
        if (rem != 0 && (rem ^ limit) < 0)
            rem += limit; // the interpreter's modulo takes the sign of the divisor
        if (rem == 0 || i == (long long) PyDict_GET_SIZE(parameters.ptr()) - 1) {
            send(S, self, payload);
            payload = nb::list();
            append_byte(payload, S.a_set_parameters);
        }
        ++i;
    }
}

nb::object get_parameters(State &S, nb::handle self, nb::handle parameters_arg, nb::handle timeout_arg) {
    nb::list parameters = arg_list(parameters_arg, "parameters");
    nb::object timeout = nb::float_(arg_float(timeout_arg));
    nb::object limit = module_global(S.g, "VKL_MAX_PARAMETERS_PER_REQUEST");
    nb::object more = nb::list();
    nb::object batch = parameters;
    nb::object length = nb::int_(PyList_GET_SIZE(parameters.ptr()));
    if (truth(steal_or_raise(PyObject_RichCompare(length.ptr(), limit.ptr(), Py_GT)))) {
        more = slice_from(parameters, limit);
        batch = slice_to(parameters, limit);
    }
    nb::list payload = id_payload(S, S.a_get_parameters, batch);
    set(self, S.n_got_parameters, Py_False);
    send(S, self, payload);
    nb::object start = now(S);
    while (before_deadline(S, start, timeout)) {
        if (truth(get(self, S.n_got_parameters)))
            break;
        pause(S, S.poll_parameters);
    }
    if (!truth(get(self, S.n_got_parameters))) {
        log_to(S, self, S.n_error, "Timeout while waiting for response");
        return nb::dict();
    }
    if (truth(more)) {
        // One nested call per batch, bounded like nested calls of Python code:
        // a RecursionError rather than an exhausted C stack for a huge list.
        static thread_local int depth = 0;
        if (depth >= Py_GetRecursionLimit())
            raise(PyExc_RecursionError, "maximum recursion depth exceeded in get_parameters");
        if (Py_EnterRecursiveCall(" in get_parameters"))
            raise_pending();
        struct Leave {
            ~Leave() {
                --depth;
                Py_LeaveRecursiveCall();
            }
        } leave;
        ++depth;
        call_method_kw(self, S.n_get_parameters, more, S.kw_timeout, timeout);
    }
    return get(self, S.n_parameters);
}

nb::object get_items_blocking(State &S, nb::handle self, nb::handle items_arg, nb::handle timeout_arg) {
    nb::list items = arg_list(items_arg, "items");
    nb::object timeout = nb::float_(arg_float(timeout_arg));
    nb::object kept = slice_to(items, module_global(S.g, "VKL_MAX_FEEDBACK_ITEMS_PER_REQUEST"));
    nb::list payload = id_payload(S, S.a_get_items, kept);
    set(self, S.n_low_feedback, nb::dict());
    send(S, self, payload, true);
    nb::object start = now(S);
    while (before_deadline(S, start, timeout)) {
        nb::object answer = get(self, S.n_low_feedback);
        if (truth(answer))
            return answer;
        pause(S, S.poll_items);
    }
    log_to(S, self, S.n_error, "Timeout while waiting for response");
    return nb::dict();
}

nb::object send_ping(State &S, nb::handle self, nb::handle timeout_arg) {
    nb::object timeout = nb::float_(arg_float(timeout_arg));
    set(self, S.n_got_pong, Py_False);
    send_action(S, self, S.a_ping);
    nb::object start = now(S);
    while (before_deadline(S, start, timeout)) {
        if (truth(get(self, S.n_got_pong)))
            return nb::bool_(true);
        pause(S, S.poll_parameters);
    }
    return nb::bool_(false);
}

void set_feedback_rate(State &S, nb::handle self, nb::handle rate) {
    nb::object divider;
    int is_rate = PyObject_IsInstance(rate.ptr(), S.Rates.ptr());
    if (is_rate < 0)
        raise_pending();
    if (is_rate) {
        divider = get(rate, S.n_value);
    } else if (PyLong_Check(rate.ptr())) {
        nb::object max_hz = module_global(S.g, "MAX_FEEDBACK_RATE_ALLOWED_HZ");
        auto cmp = [&](nb::handle a, nb::handle b, int op) {
            return truth(steal_or_raise(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
        };
        if (cmp(rate, S.int_zero, Py_EQ)) {
            divider = S.int_zero;
        } else if (cmp(rate, S.int_zero, Py_LT)) {
            raise(PyExc_ValueError, "Rate must be non-negative, got " + py_format(rate, ""));
        } else if (cmp(rate, max_hz, Py_GT)) {
            raise(PyExc_ValueError,
                  "Rate cannot exceed maximum feedback rate of " + py_format(max_hz, "") + " Hz");
        } else {
            nb::object q = steal_or_raise(PyNumber_TrueDivide(max_hz.ptr(), rate.ptr()));
            divider = builtins().attr("round")(q);
        }
    } else {
        raise(PyExc_TypeError, std::string("rate must be a Rates enum or int, got ") + tp_name_of(rate));
    }
    uint8_t buf[5];
    buf[0] = (uint8_t) S.a_feedback_rate;
    pack_u32_object(S, divider, buf + 1);
    send_bytes(S, self, buf, 5);
}

void set_feedback_items(State &S, nb::handle self, nb::handle items) {
    if (!PyList_CheckExact(items.ptr())) {
        if (PyList_Check(items.ptr())) {
            try {
                raise_arg_type("items", "list", items);
            } catch (nb::python_error &e) {
                nb::object exc = nb::borrow(e.value());
                exc.attr("add_note")("Subclasses of built-in types are rejected; pass a plain list.");
                throw;
            }
        }
        raise_arg_type("items", "list", items);
    }
    nb::list payload = id_payload(S, S.a_feedback_items, items);
    send(S, self, payload);
    set(self, S.n_feedback, nb::dict());
}

void change_address(State &S, nb::handle self, nb::handle new_address_arg) {
    nb::object new_address = arg_int(new_address_arg, "new_address");
    std::string text = py_str(new_address);
    if (eq(new_address, get(self, S.n_address))) {
        log_to(S, self, S.n_warning, "New address is the same as the current address " + text);
        return;
    }
    nb::object valid = get(self, S.n_is_valid_address)(new_address);
    if (!truth(valid)) {
        log_to(S, self, S.n_error,
               "Invalid new address " + text + ". Address must be between 0x10 and 0x3FFE (16 to 16382)");
        return;
    }
    nb::dict record;
    record[S.p_vkl_address] = steal_or_raise(PyNumber_Float(new_address.ptr()));
    call_method(self, S.n_set_parameters, record);
    set(self, S.n_address, new_address);
}

void restore_factory_parameters(State &S, nb::handle self, nb::handle settle_time_arg) {
    nb::object settle = nb::float_(arg_float(settle_time_arg));
    call_method(self, S.n_stop);
    call_method(self, S.n_set_feedback_rate, S.rates_disabled);
    send_action(S, self, S.a_clear_config);
    set(self, S.n_can_high_speed, Py_False);
    set(self, S.n_current_mode, Py_None);
    set(self, S.n_feedback, nb::dict());
    set(self, S.n_low_feedback, nb::dict());
    set(self, S.n_parameters, nb::dict());
    pause(S, settle);
}

// A scan bound as a C++ integer; bounds beyond its range are clamped, which
// keeps the probing order (nothing is probed when begin lies above end).
long long scan_bound(nb::handle v) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred())
        raise_pending();
    if (overflow > 0)
        return LLONG_MAX - 1;
    if (overflow < 0)
        return LLONG_MIN;
    return x;
}

// print(text); the text stays Python text, so a port name with surrogate
// escapes reaches the stream as it is.
void print_line(nb::handle text) { builtins().attr("print")(text); }

// ---- module state ------------------------------------------------------------

long action_value(nb::handle actions, const char *name) {
    return nb::cast<long>(actions.attr(name).attr("value"));
}

// Member table by wire value; records whether any member lies outside a byte.
void index_members(nb::handle enum_cls, nb::object *table, bool *beyond_byte, nb::list *values = nullptr) {
    for (nb::handle member : enum_cls) {
        nb::object v = member.attr("value");
        long id;
        if (values)
            values->append(v);
        if (compact_int(v.ptr(), &id) && id >= 0 && id < kByteValues) {
            if (!table[id].is_valid())
                table[id] = nb::borrow(member);
        } else {
            *beyond_byte = true;
        }
    }
}

// The interned attribute names of the module: one row per name, each read
// through its field by every operation.
const NameRow<State> kNames[] = {
    {&State::n_adapter, "_adapter"},
    {&State::n_address, "address"},
    {&State::n_can_high_speed, "can_high_speed"},
    {&State::n_current_mode, "_current_mode"},
    {&State::n_feedback, "feedback"},
    {&State::n_low_feedback, "low_feedback"},
    {&State::n_parameters, "parameters"},
    {&State::n_got_parameters, "got_parameters"},
    {&State::n_got_pong, "_got_pong"},
    {&State::n_connected, "_connected"},
    {&State::n_feedback_callback, "_feedback_callback"},
    {&State::n_error_callback, "error_callback"},
    {&State::n_logger, "logger"},
    {&State::n_model, "model"},
    {&State::n_firmware_version, "firmware_version"},
    {&State::n_models_names, "MODELS_NAMES"},
    {&State::n_send_common, "_send_VKL_common"},
    {&State::n_send_vkl, "send_VKL"},
    {&State::n_change_mode, "change_mode"},
    {&State::n_change_address, "change_address"},
    {&State::n_get_parameters, "get_parameters"},
    {&State::n_set_parameters, "set_parameters"},
    {&State::n_send_ping, "send_ping"},
    {&State::n_stop, "stop"},
    {&State::n_set_feedback_rate, "set_feedback_rate"},
    {&State::n_set_feedback_items, "set_feedback_items"},
    {&State::n_get_items_blocking, "get_items_blocking"},
    {&State::n_set_home_position, "set_home_position"},
    {&State::n_is_valid_address, "is_valid_actuator_address"},
    {&State::n_parse_parameters, "_KavrelActuatorReal__parse_parameters"},
    {&State::n_parse_errors, "_KavrelActuatorReal__parse_errors"},
    {&State::n_parse_firmware, "_parse_firmware_version"},
    {&State::n_can_callback, "_can_callback"},
    {&State::n_set_callback, "set_callback"},
    {&State::n_remove_callback, "remove_callback"},
    {&State::n_close, "close"},
    {&State::n_port, "_port"},
    {&State::n_connect, "connect"},
    {&State::n_value, "value"},
    {&State::n_update, "update"},
    {&State::n_error, "error"},
    {&State::n_warning, "warning"},
};

// The vocabulary of the base class indexed by wire value, the action ids,
// the interned names and the constants the operations share.
StateP make_state(nb::module_ &m) {
    auto S = std::make_shared<State>();
    State &s = *S;
    s.g = nb::borrow<nb::dict>(m.attr("__dict__"));
    s.base_cls = m.attr("KavrelActuatorBase");
    s.Mode = s.base_cls.attr("Mode");
    s.Rates = s.base_cls.attr("Rates");
    s.VKL_Items = s.base_cls.attr("VKL_Items");
    s.VKL_Parameters = s.base_cls.attr("VKL_Parameters");
    nb::object actions = s.base_cls.attr("_VKL_Actions");
    nb::object other = s.base_cls.attr("_VKL_Other");

    nb::list item_values;
    index_members(s.VKL_Items, s.item_member, &s.items_beyond_byte, &item_values);
    s.item_values = item_values;
    for (size_t i = 0; i < std::size(s.item_kind); ++i)
        s.item_kind[i] = pl::feedback_value_kind((long) i);
    index_members(s.VKL_Parameters, s.param_member, &s.params_beyond_byte);
    index_members(s.Mode, s.mode_member, &s.modes_beyond_byte);
    s.params_all = nb::list(s.VKL_Parameters);

    s.mode_torque = s.Mode.attr("TORQUE");
    s.mode_speed = s.Mode.attr("SPEED");
    s.mode_position = s.Mode.attr("POSITION");
    s.mode_impedance = s.Mode.attr("IMPEDANCE");
    s.rates_disabled = s.Rates.attr("DISABLED");
    s.p_mode = s.VKL_Parameters.attr("MODE");
    s.p_vkl_address = s.VKL_Parameters.attr("VKL_ADDRESS");
    s.p_can_high_speed = s.VKL_Parameters.attr("CAN_HIGH_SPEED");

    const std::pair<long State::*, const char *> action_rows[] = {
        {&State::a_start, "START"},
        {&State::a_stop, "STOP"},
        {&State::a_change_mode, "CHANGE_MODE"},
        {&State::a_change_setpoint, "CHANGE_SETPOINT"},
        {&State::a_sp_torque, "CHANGE_SETPOINT_TORQUE"},
        {&State::a_sp_speed, "CHANGE_SETPOINT_SPEED"},
        {&State::a_sp_position, "CHANGE_SETPOINT_POSITION"},
        {&State::a_sp_impedance, "CHANGE_SETPOINT_IMPEDANCE"},
        {&State::a_sp_speed_internal, "CHANGE_SETPOINT_SPEED_INTERNAL"},
        {&State::a_sp_position_internal, "CHANGE_SETPOINT_POSITION_INTERNAL"},
        {&State::a_feedback_rate, "SET_FEEDBACK_HIGH_RATE"},
        {&State::a_feedback_items, "SET_FEEDBACK_HIGH_ITEMS"},
        {&State::a_reset_encoder, "RESET_ENCODER_POSITION"},
        {&State::a_set_parameters, "SET_PARAMETERS"},
        {&State::a_get_parameters, "GET_PARAMETERS"},
        {&State::a_torque_performance, "SET_TORQUE_PERFORMANCE"},
        {&State::a_speed_performance, "SET_SPEED_PERFORMANCE"},
        {&State::a_get_items, "GET_ITEMS"},
        {&State::a_save, "SAVE"},
        {&State::a_ping, "PING"},
        {&State::a_blink, "BLINK"},
        {&State::a_bootloader, "ENTER_BOOTLOADER"},
        {&State::a_clear_config, "DEBUG_CLEAR_CONFIG"},
    };
    for (auto &row : action_rows)
        s.*row.first = action_value(actions, row.second);
    s.r_beacon = action_value(other, "BEACON");
    s.r_errors = action_value(other, "ERRORS");
    s.r_parameters = action_value(other, "PARAMETERS");
    s.p_mode_id = nb::cast<long>(s.p_mode.attr("value"));
    s.int_zero = nb::int_(0);
    s.int_beacon = nb::int_(s.r_beacon);
    s.int_errors = nb::int_(s.r_errors);
    s.int_parameters = nb::int_(s.r_parameters);
    s.int_p_mode = nb::int_(s.p_mode_id);
    static constexpr const char *unsigned_names[] = {"FIRMWARE_VERSION", "SERIAL_NUMBER", "DEVICE_MODEL",
                                                     "CONTROL_VERSION"};
    static_assert(std::size(unsigned_names) == std::extent_v<decltype(State::unsigned_params)>);
    for (size_t i = 0; i < std::size(unsigned_names); ++i)
        s.unsigned_params[i] = s.VKL_Parameters.attr(unsigned_names[i]).attr("value");

    s.struct_error = m.attr("struct").attr("error");
    for (int i = 0; i < pl::ERROR_BIT_COUNT; ++i) {
        s.error_bit[i] = nb::int_(pl::ERROR_BITS[i].bit);
        s.error_text[i] = intern_name(pl::ERROR_BITS[i].description);
    }
    s.poll_items = nb::float_(0.005);
    s.poll_parameters = nb::float_(0.01);
    s.pause_bootloader = nb::float_(0.1);
    s.scan_ping_timeout = nb::float_(0.05);

    intern_names(s, kNames);
    s.kw_high_speed_candidate = nb::make_tuple(intern_name("high_speed_candidate"));
    s.kw_can_high_speed = nb::make_tuple(intern_name("can_high_speed"));
    s.kw_timeout = nb::make_tuple(intern_name("timeout"));
    s.send_entry_key = intern_name(kSendEntryKey);
    PyObject *const command_names[] = {s.n_current_mode.ptr(), s.n_send_common.ptr(), s.n_can_high_speed.ptr(),
                                       s.n_adapter.ptr(), s.n_address.ptr()};
    s.command_reads = std::make_unique<InstanceReads<5>>(command_names);
    return S;
}

// ---- KavrelActuatorReal: connection ------------------------------------------

void init(State &s, nb::handle self, nb::handle adapter_handler, nb::handle address, nb::handle logger) {
    nb::object addr = arg_int(address, "address");
    s.base_cls.attr("__init__")(self, nb::arg("address") = addr, nb::arg("logger") = logger);
    set(self, s.n_adapter, adapter_handler);
    set(self, s.n_firmware_version, nb::str("x.x.x"));
    nb::object adapter = get(self, s.n_adapter);
    call_method(adapter, s.n_set_callback, get(self, s.n_address), get(self, s.n_can_callback));
}

nb::object implementation_version(State &s, nb::handle self) {
    nb::object v = get(self, s.n_firmware_version);
    if (!v.is_none() && !PyUnicode_Check(v.ptr()))
        raise(PyExc_TypeError, std::string("Expected str, got ") + tp_name_of(v));
    return v;
}

nb::object connect(State &s, nb::handle self, nb::handle timeout) {
    nb::object t = nb::float_(arg_float(timeout));
    PyObject *args[] = {self.ptr(), t.ptr()};
    nb::object r = steal_or_raise(
        PyObject_VectorcallMethod(s.n_send_ping.ptr(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, s.kw_timeout.ptr()));
    set(self, s.n_connected, r);
    return get(self, s.n_connected);
}

void disconnect(State &s, nb::handle self) {
    call_method(self, s.n_stop);
    nb::object adapter = get(self, s.n_adapter);
    call_method(adapter, s.n_remove_callback, get(self, s.n_address));
    set(self, s.n_connected, Py_False);
}

// ---- mode and setpoints --------------------------------------------------------

void change_mode(State &s, nb::handle self, nb::handle mode) {
    set(self, s.n_current_mode, mode);
    nb::list payload;
    append_byte(payload, s.a_change_mode);
    append(payload, get(mode, s.n_value));
    send(s, self, payload);
}

nb::object get_mode(State &s, nb::handle self) {
    nb::object current = get(self, s.n_current_mode);
    if (truth(current))
        return current;
    nb::list request;
    append(request, s.p_mode);
    call_method_kw(self, s.n_get_parameters, request, s.kw_timeout, nb::float_(0.5));
    current = get(self, s.n_current_mode);
    if (truth(current))
        return current;
    return s.mode_speed;
}

void change_setpoint(State &s, nb::handle self, nb::handle sp) {
    setpoint<1>(s, self, nb::handle(), s.a_change_setpoint, {sp});
}

void change_torque_setpoint(State &s, nb::handle self, nb::handle sp, nb::handle id_Kp, nb::handle id_Ki,
                            nb::handle iq_Kp, nb::handle iq_Ki) {
    setpoint<5>(s, self, s.mode_torque, s.a_sp_torque, {sp, id_Kp, id_Ki, iq_Kp, iq_Ki});
}

void change_speed_setpoint(State &s, nb::handle self, nb::handle sp, nb::handle FF_gain, nb::handle spd_Ki,
                           nb::handle spd_Kp, nb::handle ref_ff_torque) {
    setpoint<5>(s, self, s.mode_speed, s.a_sp_speed, {sp, FF_gain, spd_Ki, spd_Kp, ref_ff_torque});
}

void change_position_setpoint(State &s, nb::handle self, nb::handle sp, nb::handle FF_gain, nb::handle spd_Ki,
                              nb::handle spd_Kp, nb::handle pos_Kp, nb::handle ref_ff_torque) {
    setpoint<6>(s, self, s.mode_position, s.a_sp_position, {sp, FF_gain, spd_Ki, spd_Kp, pos_Kp, ref_ff_torque});
}

void change_impedance_setpoint(State &s, nb::handle self, nb::handle sp, nb::handle FF_gain, nb::handle K_stiff,
                               nb::handle K_damp, nb::handle J_imp, nb::handle ref_ff_torque,
                               nb::handle ref_impedance_spd, nb::handle ref_impedance_acel) {
    setpoint<8>(s, self, s.mode_impedance, s.a_sp_impedance,
                {sp, FF_gain, K_stiff, K_damp, J_imp, ref_ff_torque, ref_impedance_spd, ref_impedance_acel});
}

void internal_change_speed_setpoint(State &s, nb::handle self, nb::handle sp, nb::handle spd_b0, nb::handle spd_wc,
                                    nb::handle spd_wo) {
    setpoint<4>(s, self, s.mode_speed, s.a_sp_speed_internal, {sp, spd_b0, spd_wc, spd_wo});
}

void internal_change_position_setpoint(State &s, nb::handle self, nb::handle sp, nb::handle pos_Ki, nb::handle pos_Kd,
                                       nb::handle pos_b0, nb::handle pos_wc, nb::handle pos_wo, nb::handle spd_b0,
                                       nb::handle spd_wc, nb::handle spd_wo) {
    setpoint<9>(s, self, s.mode_position, s.a_sp_position_internal,
                {sp, pos_Ki, pos_Kd, pos_b0, pos_wc, pos_wo, spd_b0, spd_wc, spd_wo});
}

// ---- parameters and configuration ----------------------------------------------

nb::object get_parameters_all(State &s, nb::handle self) {
    nb::list all = nb::list(s.params_all);
    return call_method(self, s.n_get_parameters, all);
}

void set_can_high_speed(State &s, nb::handle self, nb::handle high_speed) {
    bool on = truth(high_speed);
    set(self, s.n_can_high_speed, on ? Py_True : Py_False);
    nb::dict record;
    record[s.p_can_high_speed] = nb::float_(on ? 1.0 : 0.0);
    call_method(self, s.n_set_parameters, record);
}

// [action, performance.value]
void send_preset(State &s, nb::handle self, long action, nb::handle performance) {
    nb::list payload;
    append_byte(payload, action);
    append(payload, get(performance, s.n_value));
    send(s, self, payload);
}

void enter_bootloader(State &s, nb::handle self) {
    send_action(s, self, s.a_bootloader);
    pause(s, s.pause_bootloader);
}

// ---- superseded names ------------------------------------------------------------
// Each checks its argument, warns at the caller's line, then forwards through
// the instance (or, for the low-rate stream that no longer exists, only warns).

void warn_superseded(const std::string &old_name, const std::string &new_name) {
    warn_caller(PyExc_DeprecationWarning, old_name + " is deprecated, use " + new_name + " instead");
}

void change_address_alias(State &s, nb::handle self, nb::handle new_address) {
    nb::object a = arg_int(new_address, "new_address");
    warn_superseded("changeAddress", "change_address");
    call_method(self, s.n_change_address, a);
}

nb::object get_items_blocking_alias(State &s, nb::handle self, nb::handle items, nb::handle timeout) {
    arg_list(items, "items");
    nb::object t = nb::float_(arg_float(timeout));
    warn_superseded("getItemsBlocking", "get_items_blocking");
    nb::object r = call_method_kw(self, s.n_get_items_blocking, items, s.kw_timeout, t);
    if (!r.is_none() && !PyDict_Check(r.ptr()))
        raise(PyExc_TypeError, std::string("Expected dict, got ") + tp_name_of(r));
    return r;
}

void reset_encoder_position_alias(State &s, nb::handle self) {
    warn_superseded("reset_encoder_position", "set_home_position");
    call_method(self, s.n_set_home_position);
}

// ---- codec ------------------------------------------------------------------------

nb::str parse_firmware_version(nb::handle v) {
    nb::object i = arg_int(v, "firmware_version_uint16");
    unsigned long long packed = PyLong_AsUnsignedLongLongMask(i.ptr());
    if (packed == (unsigned long long) -1 && PyErr_Occurred())
        raise_pending();
    std::string text = pl::firmware_text(packed);
    return nb::str(text.data(), text.size());
}

// ---- KavrelActuatorScannerReal ----------------------------------------------------

void scanner_init(State &s, nb::handle self, nb::handle adapter_handler, nb::handle logger) {
    s.real_cls.attr("__init__")(self, adapter_handler, 0, nb::arg("logger") = logger);
    nb::object answered = call_method(self, s.n_connect);
    nb::object adapter = get(self, s.n_adapter);
    if (!truth(answered)) {
        print_line(concat_text({nb::str("Device at port '"), get(adapter, s.n_port), nb::str("' not responding")}));
        return;
    }
    nb::object model = get(self, s.n_model);
    nb::object upper = model.attr("upper")();
    int is_adapter = PySequence_Contains(upper.ptr(), nb::str("CAN_ADAPTER").ptr());
    if (is_adapter < 0)
        raise_pending();
    if (!is_adapter) {
        print_line(
            concat_text({model, nb::str(" connected via USB at port '"), get(adapter, s.n_port), nb::str("'")}));
        call_method(adapter, s.n_close);
        set(self, s.n_connected, Py_False);
        return;
    }
    print_line(concat_text({get(self, s.n_model), nb::str(" version "), get(self, s.n_firmware_version),
                            nb::str(" connected at port '"), get(adapter, s.n_port), nb::str("'")}));
}

nb::list scan(State &s, nb::handle self, nb::handle begin_arg, nb::handle end_arg) {
    long long begin = scan_bound(arg_int(begin_arg, "begin"));
    long long end = scan_bound(arg_int(end_arg, "end"));
    nb::list addresses;
    if (!truth(get(self, s.n_connected))) {
        log_to(s, self, s.n_error, "CAN adapter is not connected");
        return addresses;
    }
    try {
        for (long long i = begin; i <= end; ++i) {
            nb::object address = steal_or_raise(PyLong_FromLongLong(i));
            set(self, s.n_address, address);
            nb::object adapter = get(self, s.n_adapter);
            call_method(adapter, s.n_set_callback, address, get(self, s.n_can_callback));
            PyObject *args[] = {self.ptr(), s.scan_ping_timeout.ptr()};
            nb::object found = steal_or_raise(PyObject_VectorcallMethod(
                s.n_send_ping.ptr(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, s.kw_timeout.ptr()));
            if (truth(found)) {
                char head[96];
                std::snprintf(head, sizeof head, "Device found: address 0x%llX (%lld)\tmodel ", i, i);
                print_line(concat_text({nb::str(head), get(self, s.n_model), nb::str("\tfirmware version "),
                                        get(self, s.n_firmware_version)}));
                append(addresses, address);
            }
            call_method(get(self, s.n_adapter), s.n_remove_callback, address);
        }
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_KeyboardInterrupt))
            throw;
    }
    return addresses;
}

// ---- bindings -------------------------------------------------------------------------
// Each member is bound with its docstring and the signature of its Python
// definition (annotations kept as text; `nan` defaults are the module's nan).

void bind_namespace(nb::module_ &m) {
    nb::module_ time_mod = nb::module_::import_("time");
    m.attr("sleep") = time_mod.attr("sleep");
    m.attr("time") = time_mod.attr("time");
    m.attr("struct") = nb::module_::import_("struct");
    m.attr("logging") = nb::module_::import_("logging");
    m.attr("nan") = nb::module_::import_("math").attr("nan");
    nb::module_ typing = nb::module_::import_("typing");
    for (const char *n : {"Any", "Dict", "List", "Optional", "Union"})
        m.attr(n) = typing.attr(n);
    m.attr("warnings") = nb::module_::import_("warnings");
    import_siblings(m, {{"_kavrel_actuator_base", {"KavrelActuatorBase"}},
                        {"_protocol",
                         {"VKL_ACTUATOR_ADDRESS_MAX", "VKL_MAX_FEEDBACK_ITEMS_PER_REQUEST",
                          "VKL_MAX_PARAMETERS_PER_REQUEST"}}});
    m.attr("MAX_FEEDBACK_RATE_ALLOWED_HZ") = 20000;
}

void bind_connection(ClassBuilder &cls, const StateP &S, nb::handle one) {
    cls.def("__init__",
            [S](nb::handle self, nb::handle adapter_handler, nb::handle address, nb::handle logger) {
                init(*S, self, adapter_handler, address, logger);
            },
            arg("adapter_handler"), arg("address"), arg("logger") = nb::none())
        .doc("Create an actuator at `address` on the transport `adapter_handler` and register its\n"
             "receive callback with the transport.  Nothing is sent.")
        .signature("(self, adapter_handler: Any, address: int, logger: Optional[logging.Logger] = None) -> None");
    cls.def_property_readonly("implementation_version",
                              [S](nb::handle self) { return implementation_version(*S, self); })
        .doc("Firmware version reported by the actuator (\"x.x.x\" before the first ping answer).")
        .signature("(self) -> str");
    cls.def("connect", [S](nb::handle self, nb::handle timeout) { return connect(*S, self, timeout); },
            arg("timeout") = one)
        .doc("Ping the actuator; True when it answered within `timeout` seconds.")
        .signature("(self, timeout: float = 1.0) -> bool");
    cls.def("disconnect", [S](nb::handle self) { disconnect(*S, self); })
        .doc("Stop the actuator, unregister its receive callback and mark it disconnected.\n"
             "The transport stays open.")
        .signature("(self) -> None");
    cls.def("send_ping", [S](nb::handle self, nb::handle timeout) { return send_ping(*S, self, timeout); },
            arg("timeout") = one)
        .doc("Send one ping; True when the answer arrived within `timeout` seconds, else False.")
        .signature("(self, timeout: float = 1.0) -> bool");
    cls.def("change_address",
            [S](nb::handle self, nb::handle new_address) { change_address(*S, self, new_address); },
            arg("new_address"))
        .doc("Write a new VKL address to the actuator.\n\n"
             "The address must be a valid actuator address (0x10 to 0x3FFE).  Later commands of\n"
             "this object go to the new address; nothing confirms that the device took it.")
        .signature("(self, new_address: int) -> None");
    cls.def("start", [S](nb::handle self) { send_action(*S, self, S->a_start); })
        .doc("Enable the actuator's control.")
        .signature("(self) -> None");
    cls.def("stop", [S](nb::handle self) { send_action(*S, self, S->a_stop); })
        .doc("Disable the actuator's control.")
        .signature("(self) -> None");
}

// The setpoint commands' calls as a control loop makes them, taken ahead of
// the general dispatch (which matched the keywords and built the NaN defaults
// on every call): `self` (not None, which the general dispatch refuses), the
// setpoint and any of the values after it, by position or keyword.  An
// omitted value is the NaN object the general dispatch gives it.  Anything
// else is declined (see set_fast_call), so its errors are the general ones.
constexpr int kMaxCommandParams = 10; // internal_change_position_setpoint

struct CommandEntry {
    StateP S;
    void (*run)(State &, PyObject *const *a); // a: self, then the parameters
    CallNames<kMaxCommandParams> names;
    nb::object nan;
};

template <int N>
PyObject *command_fast(void *data, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *e = static_cast<CommandEntry *>(data);
    PyObject *a[N];
    if (!take_call_args(args, nargsf, kwnames, e->names.names, N, a) || !a[0] || a[0] == Py_None || !a[1])
        return kDeclined;
    for (int i = 2; i < N; ++i)
        if (!a[i])
            a[i] = e->nan.ptr();
    try {
        e->run(*e->S, a);
        Py_RETURN_NONE;
    } catch (...) {
        set_error_from_exception();
        return nullptr;
    }
}

// Give the command just bound on `cls` its own entry.  `names`: its
// parameters after `self`, as bound; `run` calls it with self and them.
template <int M>
void fast_setpoint(ClassBuilder &cls, const StateP &S, nb::handle nan, void (*run)(State &, PyObject *const *),
                   const char *const (&names)[M]) {
    static_assert(M + 1 <= kMaxCommandParams, "more parameters than an entry holds");
    auto e = std::make_unique<CommandEntry>();
    e->S = S;
    e->run = run;
    e->nan = nb::borrow(nan);
    e->names.add("self");
    for (const char *name : names)
        e->names.add(name);
    cls.fast_call(command_fast<M + 1>, owning_capsule(std::move(e)));
}

void bind_setpoints(ClassBuilder &cls, const StateP &S, nb::handle nan) {
    cls.def("change_mode", [S](nb::handle self, nb::handle mode) { change_mode(*S, self, mode); }, arg("mode"))
        .doc("Change the actuator control mode.\n\n"
             "The mode is cached on this object; mode setpoint commands switch modes only when the\n"
             "cached mode differs.")
        .signature("(self, mode: KavrelActuatorReal.Mode) -> None");
    cls.def("get_mode", [S](nb::handle self) { return get_mode(*S, self); })
        .doc("Return the current actuator control mode.\n\n"
             "The cached mode when there is one; otherwise the MODE parameter is read (0.5 s at\n"
             "most), and Mode.SPEED is returned when the device does not tell.")
        .signature("(self) -> KavrelActuatorReal.Mode");
    cls.def("change_setpoint", [S](nb::handle self, nb::handle sp) { change_setpoint(*S, self, sp); },
            arg("setpoint"))
        .doc("Change the setpoint for the current control mode.\n\n"
             "The value is the reference of whichever mode is active; the mode is not changed.")
        .signature("(self, setpoint: float) -> None");
    fast_setpoint(cls, S, nan, [](State &s, PyObject *const *a) { change_setpoint(s, a[0], a[1]); },
                  {"setpoint"});
    cls.def("change_torque_setpoint",
            [S](nb::handle self, nb::handle sp, nb::handle id_Kp, nb::handle id_Ki, nb::handle iq_Kp,
                nb::handle iq_Ki) { change_torque_setpoint(*S, self, sp, id_Kp, id_Ki, iq_Kp, iq_Ki); },
            arg("setpoint"), arg("id_Kp") = nan, arg("id_Ki") = nan, arg("iq_Kp") = nan, arg("iq_Ki") = nan)
        .doc("Switch to torque mode and send a torque setpoint.\n\n"
             "setpoint: torque reference in Nm.  id_Kp, id_Ki: d-axis current proportional and\n"
             "integral gain; iq_Kp, iq_Ki: q-axis current proportional and integral gain.  An\n"
             "omitted gain is sent as NaN.")
        .signature("(self, setpoint: float, id_Kp: float = nan, id_Ki: float = nan, "
                   "iq_Kp: float = nan, iq_Ki: float = nan) -> None");
    fast_setpoint(
        cls, S, nan,
        [](State &s, PyObject *const *a) {
            change_torque_setpoint(s, a[0], a[1], a[2], a[3], a[4], a[5]);
        },
        {"setpoint", "id_Kp", "id_Ki", "iq_Kp", "iq_Ki"});
    cls.def("change_speed_setpoint",
            [S](nb::handle self, nb::handle sp, nb::handle FF_gain, nb::handle spd_Ki, nb::handle spd_Kp,
                nb::handle ref_ff_torque) {
                change_speed_setpoint(*S, self, sp, FF_gain, spd_Ki, spd_Kp, ref_ff_torque);
            },
            arg("setpoint"), arg("FF_gain") = nan, arg("spd_Ki") = nan, arg("spd_Kp") = nan,
            arg("ref_ff_torque") = nan)
        .doc("Switch to speed mode and send a speed setpoint.\n\n"
             "setpoint: speed reference in rad/s.  FF_gain: feed-forward gain; spd_Ki, spd_Kp:\n"
             "speed-loop integral and proportional gain; ref_ff_torque: feed-forward torque in Nm.\n"
             "An omitted gain is sent as NaN.")
        .signature("(self, setpoint: float, FF_gain: float = nan, spd_Ki: float = nan, "
                   "spd_Kp: float = nan, ref_ff_torque: float = nan) -> None");
    fast_setpoint(
        cls, S, nan,
        [](State &s, PyObject *const *a) {
            change_speed_setpoint(s, a[0], a[1], a[2], a[3], a[4], a[5]);
        },
        {"setpoint", "FF_gain", "spd_Ki", "spd_Kp", "ref_ff_torque"});
    cls.def("change_position_setpoint",
            [S](nb::handle self, nb::handle sp, nb::handle FF_gain, nb::handle spd_Ki, nb::handle spd_Kp,
                nb::handle pos_Kp, nb::handle ref_ff_torque) {
                change_position_setpoint(*S, self, sp, FF_gain, spd_Ki, spd_Kp, pos_Kp, ref_ff_torque);
            },
            arg("setpoint"), arg("FF_gain") = nan, arg("spd_Ki") = nan, arg("spd_Kp") = nan, arg("pos_Kp") = nan,
            arg("ref_ff_torque") = nan)
        .doc("Switch to position mode and send a position setpoint.\n\n"
             "setpoint: position reference in radians.  FF_gain: feed-forward gain; spd_Ki,\n"
             "spd_Kp: speed-loop integral and proportional gain; pos_Kp: position-loop\n"
             "proportional gain; ref_ff_torque: feed-forward torque in Nm.  An omitted gain is\n"
             "sent as NaN.")
        .signature("(self, setpoint: float, FF_gain: float = nan, spd_Ki: float = nan, "
                   "spd_Kp: float = nan, pos_Kp: float = nan, ref_ff_torque: float = nan) -> None");
    fast_setpoint(
        cls, S, nan,
        [](State &s, PyObject *const *a) {
            change_position_setpoint(s, a[0], a[1], a[2], a[3], a[4], a[5], a[6]);
        },
        {"setpoint", "FF_gain", "spd_Ki", "spd_Kp", "pos_Kp", "ref_ff_torque"});
    cls.def("change_impedance_setpoint",
            [S](nb::handle self, nb::handle sp, nb::handle FF_gain, nb::handle K_stiff, nb::handle K_damp,
                nb::handle J_imp, nb::handle ref_ff_torque, nb::handle ref_impedance_spd,
                nb::handle ref_impedance_acel) {
                change_impedance_setpoint(*S, self, sp, FF_gain, K_stiff, K_damp, J_imp, ref_ff_torque,
                                          ref_impedance_spd, ref_impedance_acel);
            },
            arg("setpoint"), arg("FF_gain") = nan, arg("K_stiff") = nan, arg("K_damp") = nan, arg("J_imp") = nan,
            arg("ref_ff_torque") = nan, arg("ref_impedance_spd") = nan, arg("ref_impedance_acel") = nan)
        .doc("Switch to impedance mode and send an impedance setpoint.\n\n"
             "setpoint: position reference in radians.  FF_gain: feed-forward gain; K_stiff,\n"
             "K_damp, J_imp: impedance stiffness, damping and inertia; ref_ff_torque: feed-forward\n"
             "torque in Nm; ref_impedance_spd: speed reference in rad/s; ref_impedance_acel:\n"
             "acceleration reference.  An omitted gain is sent as NaN.")
        .signature("(self, setpoint: float, FF_gain: float = nan, K_stiff: float = nan, K_damp: float = nan, "
                   "J_imp: float = nan, ref_ff_torque: float = nan, ref_impedance_spd: float = nan, "
                   "ref_impedance_acel: float = nan) -> None");
    fast_setpoint(
        cls, S, nan,
        [](State &s, PyObject *const *a) {
            change_impedance_setpoint(s, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]);
        },
        {"setpoint", "FF_gain", "K_stiff", "K_damp", "J_imp", "ref_ff_torque", "ref_impedance_spd",
         "ref_impedance_acel"});
    cls.def("internal_change_speed_setpoint",
            [S](nb::handle self, nb::handle sp, nb::handle spd_b0, nb::handle spd_wc, nb::handle spd_wo) {
                internal_change_speed_setpoint(*S, self, sp, spd_b0, spd_wc, spd_wo);
            },
            arg("setpoint"), arg("spd_b0") = nan, arg("spd_wc") = nan, arg("spd_wo") = nan)
        .doc("Send an internal speed-controller setpoint packet.\n\n"
             "setpoint: speed reference in rad/s; spd_b0, spd_wc, spd_wo: parameters of the\n"
             "device's internal speed controller.  An omitted value is sent as NaN.")
        .signature("(self, setpoint: float, spd_b0: float = nan, spd_wc: float = nan, "
                   "spd_wo: float = nan) -> None");
    fast_setpoint(
        cls, S, nan,
        [](State &s, PyObject *const *a) {
            internal_change_speed_setpoint(s, a[0], a[1], a[2], a[3], a[4]);
        },
        {"setpoint", "spd_b0", "spd_wc", "spd_wo"});
    cls.def("internal_change_position_setpoint",
            [S](nb::handle self, nb::handle sp, nb::handle pos_Ki, nb::handle pos_Kd, nb::handle pos_b0,
                nb::handle pos_wc, nb::handle pos_wo, nb::handle spd_b0, nb::handle spd_wc, nb::handle spd_wo) {
                internal_change_position_setpoint(*S, self, sp, pos_Ki, pos_Kd, pos_b0, pos_wc, pos_wo, spd_b0,
                                                  spd_wc, spd_wo);
            },
            arg("setpoint"), arg("pos_Ki") = nan, arg("pos_Kd") = nan, arg("pos_b0") = nan, arg("pos_wc") = nan,
            arg("pos_wo") = nan, arg("spd_b0") = nan, arg("spd_wc") = nan, arg("spd_wo") = nan)
        .doc("Send an internal position-controller setpoint packet.\n\n"
             "setpoint: position reference in radians; the other values are parameters of the\n"
             "device's internal position and speed controllers.  An omitted value is sent as NaN.")
        .signature("(self, setpoint: float, pos_Ki: float = nan, pos_Kd: float = nan, pos_b0: float = nan, "
                   "pos_wc: float = nan, pos_wo: float = nan, spd_b0: float = nan, spd_wc: float = nan, "
                   "spd_wo: float = nan) -> None");
    fast_setpoint(
        cls, S, nan,
        [](State &s, PyObject *const *a) {
            internal_change_position_setpoint(s, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]);
        },
        {"setpoint", "pos_Ki", "pos_Kd", "pos_b0", "pos_wc", "pos_wo", "spd_b0", "spd_wc", "spd_wo"});
}

void bind_feedback(ClassBuilder &cls, const StateP &S, nb::handle one) {
    cls.def("set_home_position", [S](nb::handle self) { send_action(*S, self, S->a_reset_encoder); })
        .doc("Set the current actuator position as the zero reference.")
        .signature("(self) -> None");
    cls.def("set_feedback_items", [S](nb::handle self, nb::handle items) { set_feedback_items(*S, self, items); },
            arg("items"))
        .doc("Configure the high-frequency feedback item stream.\n\n"
             "Args:\n"
             "    items: Feedback items to include in telemetry packets.")
        .signature("(self, items: List['KavrelActuatorReal.VKL_Items']) -> None");
    cls.def("set_feedback_rate", [S](nb::handle self, nb::handle rate) { set_feedback_rate(*S, self, rate); },
            arg("rate"))
        .doc("Configure the high-frequency feedback rate.\n\n"
             "Args:\n"
             "    rate: A Rates divider member, or an integer target rate in Hz whose divider\n"
             "        (20000 / rate) is rounded to the nearest integer.  Rates.DISABLED or 0 turns\n"
             "        the feedback off.")
        .signature("(self, rate: Union['KavrelActuatorReal.Rates', int]) -> None");
    cls.def("get_items_blocking",
            [S](nb::handle self, nb::handle items, nb::handle timeout) {
                return get_items_blocking(*S, self, items, timeout);
            },
            arg("items"), arg("timeout") = one)
        .doc("Request specific feedback items and wait for their response.\n\n"
             "Returns the decoded items of the first answer, or an empty dictionary when none\n"
             "arrived within `timeout` seconds.")
        .signature("(self, items: List['KavrelActuatorReal.VKL_Items'], timeout: float = 1.0) "
                   "-> Dict['KavrelActuatorReal.VKL_Items', float]");
}

void bind_parameters(ClassBuilder &cls, const StateP &S, nb::handle one) {
    cls.def("set_parameters", [S](nb::handle self, nb::handle parameters) { set_parameters(*S, self, parameters); },
            arg("parameters"))
        .doc("Write actuator parameters.\n\n"
             "Every value is written as a single-precision float, in batches of at most\n"
             "VKL_MAX_PARAMETERS_PER_REQUEST records per message.")
        .signature("(self, parameters: Dict['KavrelActuatorReal.VKL_Parameters', float]) -> None");
    cls.def("get_parameters",
            [S](nb::handle self, nb::handle parameters, nb::handle timeout) {
                return get_parameters(*S, self, parameters, timeout);
            },
            arg("parameters"), arg("timeout") = one)
        .doc("Read actuator parameters.\n\n"
             "The parameters are requested in batches, each answered within `timeout` seconds.\n"
             "Returns the actuator's parameter map, or an empty dictionary when the first batch\n"
             "timed out.")
        .signature("(self, parameters: List['KavrelActuatorReal.VKL_Parameters'], timeout: float = 1.0) "
                   "-> Dict['KavrelActuatorReal.VKL_Parameters', float]");
    cls.def("get_parameters_all", [S](nb::handle self) { return get_parameters_all(*S, self); })
        .doc("Read all known actuator parameters.")
        .signature("(self) -> Dict['KavrelActuatorReal.VKL_Parameters', float]");
    cls.def("set_can_high_speed",
            [S](nb::handle self, nb::handle high_speed) { set_can_high_speed(*S, self, high_speed); },
            arg("high_speed"))
        .doc("Enable or disable CAN BRS/high-speed operation for this actuator.")
        .signature("(self, high_speed: bool) -> None");
    cls.def("set_torque_performance",
            [S](nb::handle self, nb::handle performance) {
                send_preset(*S, self, S->a_torque_performance, performance);
            },
            arg("performance"))
        .doc("Set the actuator torque-control performance preset.")
        .signature("(self, performance: KavrelActuatorReal.TorquePerformance) -> None");
    cls.def("set_speed_performance",
            [S](nb::handle self, nb::handle performance) {
                send_preset(*S, self, S->a_speed_performance, performance);
            },
            arg("performance"))
        .doc("Set the actuator speed-control performance preset.")
        .signature("(self, performance: KavrelActuatorReal.SpeedPerformance) -> None");
    cls.def("save_config", [S](nb::handle self) { send_action(*S, self, S->a_save); })
        .doc("Persist the current actuator configuration to non-volatile memory.")
        .signature("(self) -> None");
    cls.def("restore_factory_parameters",
            [S](nb::handle self, nb::handle settle_time) { restore_factory_parameters(*S, self, settle_time); },
            arg("settle_time") = one)
        .doc("Restore user-writable actuator parameters to firmware factory defaults.\n\n"
             "Args:\n"
             "    settle_time: Seconds to wait after the restore command before returning.  The\n"
             "        actuator may briefly stop answering pings while it applies the restored\n"
             "        configuration.\n\n"
             "The command clears the saved configuration values (such as gains, limits, profile\n"
             "settings, CAN speed and direction inversion) but not the factory calibration data of\n"
             "the electrical machine.")
        .signature("(self, settle_time: float = 1.0) -> None");
    cls.def("blink", [S](nb::handle self) { send_action(*S, self, S->a_blink); })
        .doc("Blink the actuator LED for physical identification.")
        .signature("(self) -> None");
    cls.def("enter_bootloader", [S](nb::handle self) { enter_bootloader(*S, self); })
        .doc("Request that the actuator enters bootloader mode.")
        .signature("(self) -> None");
}

void bind_superseded(ClassBuilder &cls, const StateP &S, nb::handle one) {
    cls.def("changeAddress",
            [S](nb::handle self, nb::handle new_address) { change_address_alias(*S, self, new_address); },
            arg("new_address"))
        .signature("(self, new_address: int) -> None");
    // In the order the class has always listed them: the name, the name that
    // replaces it, whether it takes a rate (else an item list), whether the call
    // is forwarded, and its signature.
    struct Alias {
        const char *name, *target;
        bool rate, forwards;
        const char *signature;
    };
    const char *items_sig = "(self, items: List['KavrelActuatorReal.VKL_Items']) -> None";
    const char *rate_sig = "(self, rate: KavrelActuatorReal.Rates) -> None";
    const Alias aliases[] = {
        {"setFeedbackItems", "set_feedback_items", false, true, items_sig},
        {"setFeedbackRate", "set_feedback_rate", true, true,
         "(self, rate: Union['KavrelActuatorReal.Rates', int]) -> None"},
        {"set_high_freq_feedback_items", "set_feedback_items", false, true, items_sig},
        {"setHighFreqFeedbackItems", "set_feedback_items", false, true, items_sig},
        {"set_high_freq_feedback_rate", "set_feedback_rate", true, true, rate_sig},
        {"setHighFreqFeedbackRate", "set_feedback_rate", true, true, rate_sig},
        {"set_low_freq_feedback_items", "get_items_blocking", false, false, items_sig},
        {"setLowFreqFeedbackItems", "get_items_blocking", false, false, items_sig},
        {"set_low_freq_feedback_rate", "get_items_blocking", true, false, rate_sig},
        {"setLowFreqFeedbackRate", "get_items_blocking", true, false, rate_sig},
    };
    for (const Alias &a : aliases) {
        std::string n = a.name, t = a.target;
        bool forwards = a.forwards;
        if (a.rate)
            cls.def(a.name,
                    [S, n, t, forwards](nb::handle self, nb::handle rate) {
                        warn_superseded(n, t);
                        if (forwards)
                            call_method(self, S->n_set_feedback_rate, rate);
                    },
                    arg("rate"));
        else
            cls.def(a.name,
                    [S, n, t, forwards](nb::handle self, nb::handle items) {
                        arg_list(items, "items");
                        warn_superseded(n, t);
                        if (forwards)
                            call_method(self, S->n_set_feedback_items, items);
                    },
                    arg("items"));
        cls.signature(a.signature);
    }
    cls.def("getItemsBlocking",
            [S](nb::handle self, nb::handle items, nb::handle timeout) {
                return get_items_blocking_alias(*S, self, items, timeout);
            },
            arg("items"), arg("timeout") = one)
        .signature("(self, items: List['KavrelActuatorReal.VKL_Items'], timeout: float = 1.0) "
                   "-> Dict['KavrelActuatorReal.VKL_Items', float]");
    cls.def("reset_encoder_position", [S](nb::handle self) { reset_encoder_position_alias(*S, self); })
        .signature("(self) -> None");
}

void bind_receive(ClassBuilder &cls, const StateP &S) {
    cls.def_static("_parse_firmware_version", &parse_firmware_version, arg("firmware_version_uint16"))
        .doc("Text form \"major.minor.patch\" of a packed firmware version.")
        .signature("(firmware_version_uint16: int) -> str");
    cls.def("_send_VKL_common",
            [S](nb::handle self, nb::handle msg, nb::handle high_speed_candidate) {
                return send_common(*S, self, msg, high_speed_candidate);
            },
            arg("msg"), arg("high_speed_candidate") = false)
        .doc("Send one command payload to this actuator's address; returns the transport's result.")
        .signature("(self, msg: list, high_speed_candidate=False) -> bool");
    cls.def("_can_callback",
            [S](nb::handle self, nb::handle address, nb::handle data, nb::handle priority) {
                can_callback(*S, self, address, data, priority);
            },
            arg("address"), arg("data"), arg("priority"))
        .doc("Receive callback: decode one message from the device into this actuator's state.")
        .signature("(self, address: int, data: List[Any], priority: int) -> None");
    cls.def("_KavrelActuatorReal__parse_parameters",
            [S](nb::handle self, nb::handle data) { parse_parameters(*S, self, data); }, arg("data"))
        .signature("(self, data: List[int]) -> None");
    cls.def("_KavrelActuatorReal__parse_errors",
            [S](nb::handle self, nb::handle error_value) { parse_errors(*S, self, error_value); },
            arg("error_value"))
        .signature("(self, error_value: int) -> None");
}

nb::dict signature_names(nb::module_ &m) {
    nb::dict names;
    names["nan"] = m.attr("nan");
    return names;
}

void bind_actuator(nb::module_ &m, const StateP &S) {
    State &s = *S;
    nb::object nan = m.attr("nan");
    nb::object one = nb::float_(1.0);
    ClassBuilder cls("KavrelActuatorReal", m.attr("__name__"), nullptr,
                     "Control a physical Kavrel actuator through a VKL transport.");
    cls.signature_names(signature_names(m));
    bind_connection(cls, S, one);
    bind_setpoints(cls, S, nan);
    bind_feedback(cls, S, one);
    bind_parameters(cls, S, one);
    bind_superseded(cls, S, one);
    bind_receive(cls, S);
    nb::object real = cls.finish(nb::make_tuple(s.base_cls));
    s.real_cls = real;
    // The class's own `_send_VKL_common`, which `send` runs in place.
    s.send_common_fn = real.attr("__dict__")["_send_VKL_common"];
    m.attr("KavrelActuatorReal") = real;
}

void bind_scanner(nb::module_ &m, const StateP &S) {
    long scan_end = nb::cast<long>(builtins().attr("int")(m.attr("VKL_ACTUATOR_ADDRESS_MAX")));
    ClassBuilder scanner("KavrelActuatorScannerReal", m.attr("__name__"), nullptr,
                         "Discover real actuators through a connected CAN adapter.");
    scanner.signature_names(signature_names(m));
    scanner
        .def("__init__",
             [S](nb::handle self, nb::handle adapter_handler, nb::handle logger) {
                 scanner_init(*S, self, adapter_handler, logger);
             },
             arg("adapter_handler"), arg("logger") = nb::none())
        .doc("Ping the device at the USB end of the link (address 0) and accept it when it is a\n"
             "CAN adapter.")
        .signature("(self, adapter_handler: Any, logger: Optional[logging.Logger] = None) -> None");
    std::string scan_sig = "(self, begin: int = 1, end: int = " + std::to_string(scan_end) + ") -> List[int]";
    scanner
        .def("scan", [S](nb::handle self, nb::handle begin, nb::handle end) { return scan(*S, self, begin, end); },
             arg("begin") = 1, arg("end") = scan_end)
        .doc("Ping every address from `begin` to `end` (inclusive) and return those that answered.")
        .signature(scan_sig.c_str());
    scanner.def_property_readonly("is_connected", [S](nb::handle self) { return get(self, S->n_connected); })
        .doc("True while a CAN adapter answered at construction.")
        .signature("(self) -> bool");
    m.attr("KavrelActuatorScannerReal") = scanner.finish(nb::make_tuple(S->real_cls));
}

} // namespace

VKL_MODULE(kavrel_actuator_real, m) {
    module_init_common();
    m.doc() = "Physical Kavrel actuators over a VKL transport, and the CAN bus scanner.";
    bind_namespace(m);
    StateP s = make_state(m);
    bind_actuator(m, s);
    bind_scanner(m, s);
    nb::list all;
    all.append(nb::str("KavrelActuatorReal"));
    all.append(nb::str("KavrelActuatorScannerReal"));
    m.attr("__all__") = all;
}
