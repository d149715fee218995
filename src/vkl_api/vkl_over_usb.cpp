// Serial transport to the USB adapter: frame writer, polling reader and
// dispatch, connection lifecycle and adapter port discovery.
//
// The polling worker is a plain C function (not a nanobind binding) written
// against the C API: it reads through the port object, checks and parses
// frames natively and calls the receive callbacks.  Its references are
// WorkerRef (core/serial_native.hpp), so a daemon worker that the interpreter
// stops at exit unwinds without touching objects.  The native road to
// pyserial's own port (reads, the writer, the genuine-port test) is in
// core/serial_native.*.
#include "core/frame.hpp"
#include "core/attr_cache.hpp"
#include "core/protocol.hpp"
#include "core/pyutil.hpp"
#include "core/send_entry.hpp"
#include "core/serial_native.hpp"

#include <cstring>
#include <memory>
#include <iterator>
#include <string>

namespace nb = nanobind;
using namespace vkl;
using serial_native::Genuine;
using serial_native::WorkerRef;

namespace {

// Adapter identity on USB: the vendor id and the inclusive range of its
// eleven product ids (one per adapter variant).
constexpr long ADAPTER_USB_VID = 0x1209;
constexpr long ADAPTER_USB_PID_FIRST = 0x5A10;
constexpr long ADAPTER_USB_PID_LAST = 0x5A1A;
static_assert(ADAPTER_USB_PID_LAST - ADAPTER_USB_PID_FIRST + 1 == 11, "eleven product ids");

constexpr double JOIN_TIMEOUT_S = 1.0;
constexpr double BOOTLOADER_PAUSE_S = 0.1;
constexpr int ENTER_BOOTLOADER_ACTION = 0xC1;
// The most payload bytes a frame's length byte can announce.
constexpr size_t kMaxLengthBytePayload = 255;

// What the C send entry found out before calling send_frame: the instance
// reaches the class's own checks, and these are the start and trailer bytes
// that attribute reads give (see class_facts); null when it found nothing out.
struct Known {
    uint8_t start, trailer;
};

// What the C send entry verified of the transport class (see class_facts).
struct ClassFacts {
    unsigned int tag = 0; // the class's version tag when verified; 0: not verified
    Known known{};
};

// What the C send entry found in a transport's instance dictionary (see
// own_send_vkl).
struct DictFacts {
    bool own = false;       // no send_VKL of its own
    bool unshadowed = false; // nor the checks, start byte or trailer
};

// ---- module state ---------------------------------------------------------------
// Everything the operations need, taken once when the module is imported.
// The polling worker, the at-exit hook and the actuator's send entry may run
// while the interpreter tears the module down, so the state is never freed:
// it lives, like the interpreter's own objects, to the end of the process.
struct State {
    nb::dict g; // module namespace: the names read at call time
    serial_native::PosixPort port;

    nb::object cls, deprecated_cls;
    nb::object transport_close;   // VklTransport.close, as VKL inherits it
    nb::object live;              // weakref.WeakSet of transports with a started polling thread
    nb::object process_pkt_fn;    // our _process_pkt (function object)
    nb::object is_connected_prop; // our is_connected property
    nb::object send_vkl_fn;       // our send_VKL (function object)
    SendEntry entry{};            // the C-level send entry, published at import
    ClassFacts facts;             // what the entry verified of the class
    DictRecords<DictFacts> dict_facts; // and of the last transports' dictionaries
    // `self._ser` of the frame writer, from a record of the transport's
    // dictionary while it stands (see InstanceReads).
    std::unique_ptr<InstanceReads<1>> ser_reads;
    nb::object parse_orig, build_orig; // the protocol's own flag-word codecs
    nb::object event_type, rlock_type; // threading.Event, type of threading.RLock()

    // VKL's own checks, as its class holds them, the protocol functions they
    // call and the namespace they read them from (at call time).
    nb::dict vkl_dict;
    nb::object check_id_sm, check_payload_sm, valid_address_orig, valid_payload_orig;
    // The entries tags under which the namespaces last held the protocol's
    // own functions (see entry_is).
    uint64_t valid_address_seen = 0, valid_payload_seen = 0, build_seen = 0;

    // attribute and module names, interned once from kNames
    nb::object n_is_connected, n_polling_thread_event, n_flag, n_is_set, n_ser, n_callbacks, n_lock, n_acquire,
        n_release, n_enter, n_exit, n_parse_flags, n_build_flags, n_port_lock, n_close, n_process_pkt,
        n_header_length, n_start_byte, n_max_payload, n_crc_magic, n_threading, n_current_thread, n_polling_thread,
        n_clear, n_logger, n_warning, n_connection_lock, n_check_id, n_check_payload, n_valid_address,
        n_valid_payload, n_struct, n_pack, n_port, n_serial_cls, n_event, n_rlock, n_lock_cls, n_connect,
        n_disconnect, n_is_alive, n_join, n_transport_cls, n_get_port, n_get_ports, n_flush_input, n_flush_output,
        n_in_waiting, n_set, n_thread, n_start, n_add, n_time, n_sleep, n_send_vkl, n_tools, n_list_ports,
        n_comports, n_vid, n_pid, n_device, n_open, n_init, n_super, n_worker, n_port_name;
};

const NameRow<State> kNames[] = {
    {&State::n_is_connected, "is_connected"},
    {&State::n_polling_thread_event, "_polling_thread_event"},
    {&State::n_flag, "_flag"},
    {&State::n_is_set, "is_set"},
    {&State::n_ser, "_ser"},
    {&State::n_callbacks, "callbacks"},
    {&State::n_lock, "lock"},
    {&State::n_acquire, "acquire"},
    {&State::n_release, "release"},
    {&State::n_enter, "__enter__"},
    {&State::n_exit, "__exit__"},
    {&State::n_parse_flags, "parse_usb_address_flags"},
    {&State::n_build_flags, "build_usb_address_flags"},
    {&State::n_port_lock, "_port_lock"},
    {&State::n_close, "close"},
    {&State::n_process_pkt, "_process_pkt"},
    {&State::n_header_length, "_MSG_HEADER_LENGTH"},
    {&State::n_start_byte, "_MSG_START_BYTE"},
    {&State::n_max_payload, "_MAX_PAYLOAD_SIZE"},
    {&State::n_crc_magic, "_CRC_MAGIC_NUMBER"},
    {&State::n_threading, "threading"},
    {&State::n_current_thread, "current_thread"},
    {&State::n_polling_thread, "_polling_thread"},
    {&State::n_clear, "clear"},
    {&State::n_logger, "logger"},
    {&State::n_warning, "warning"},
    {&State::n_connection_lock, "_connection_lock"},
    {&State::n_check_id, "check_vkl_id_range"},
    {&State::n_check_payload, "check_vkl_payload_size"},
    {&State::n_valid_address, "is_valid_vkl_address"},
    {&State::n_valid_payload, "is_valid_vkl_payload"},
    {&State::n_struct, "struct"},
    {&State::n_pack, "pack"},
    {&State::n_port, "_port"},
    {&State::n_serial_cls, "Serial"},
    {&State::n_event, "Event"},
    {&State::n_rlock, "RLock"},
    {&State::n_lock_cls, "Lock"},
    {&State::n_connect, "connect"},
    {&State::n_disconnect, "disconnect"},
    {&State::n_is_alive, "is_alive"},
    {&State::n_join, "join"},
    {&State::n_transport_cls, "VklOverUsb"},
    {&State::n_get_port, "get_port"},
    {&State::n_get_ports, "get_ports"},
    {&State::n_flush_input, "flushInput"},
    {&State::n_flush_output, "flushOutput"},
    {&State::n_in_waiting, "in_waiting"},
    {&State::n_set, "set"},
    {&State::n_thread, "Thread"},
    {&State::n_start, "start"},
    {&State::n_add, "add"},
    {&State::n_time, "time"},
    {&State::n_sleep, "sleep"},
    {&State::n_send_vkl, "send_VKL"},
    {&State::n_tools, "tools"},
    {&State::n_list_ports, "list_ports"},
    {&State::n_comports, "comports"},
    {&State::n_vid, "vid"},
    {&State::n_pid, "pid"},
    {&State::n_device, "device"},
    {&State::n_open, "open"},
    {&State::n_init, "__init__"},
    {&State::n_super, "super"},
    {&State::n_worker, "_polling_thread_worker"},
    {&State::n_port_name, "port"},
};

// ---- polling worker: attribute reads and dispatch ------------------------------
// Written against the C API with its return-code convention (the worker runs
// outside nanobind's call machinery); every reference is a WorkerRef.

// A module name as a function of this module reads it at call time: a new
// reference, or null with NameError (or a lookup error) set.
PyObject *worker_global(State &S, PyObject *name) {
    PyObject *v = nullptr;
    if (PyDict_GetItemRef(S.g.ptr(), name, &v) < 0)
        return nullptr;
    if (!v) {
        if (PyObject *b = PyEval_GetBuiltins()) {
            if (PyDict_GetItemRef(b, name, &v) < 0)
                return nullptr;
        }
    }
    if (!v)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return v;
}

// Truth of getattr(obj, name): 1, 0, or -1 with an exception set.
int attr_truth(PyObject *obj, PyObject *name) {
    WorkerRef v(PyObject_GetAttr(obj, name));
    if (!v)
        return -1;
    return PyObject_IsTrue(v.get());
}

int attr_long(PyObject *obj, PyObject *name, long *out) {
    WorkerRef v(PyObject_GetAttr(obj, name));
    if (!v)
        return -1;
    long x = PyLong_AsLong(v.get());
    if (x == -1 && PyErr_Occurred())
        return -1;
    *out = x;
    return 0;
}

// self.is_connected, natively when the property is ours and the run flag is a
// plain threading.Event.
int is_connected_c(State &S, PyObject *self) {
    WorkerRef prop(PyObject_GetAttr((PyObject *) Py_TYPE(self), S.n_is_connected.ptr()));
    if (!prop) {
        PyErr_Clear();
    } else if (prop.get() == S.is_connected_prop.ptr()) {
        WorkerRef ev(PyObject_GetAttr(self, S.n_polling_thread_event.ptr()));
        if (!ev)
            return -1;
        int set;
        if ((PyObject *) Py_TYPE(ev.get()) == S.event_type.ptr()) {
            set = attr_truth(ev.get(), S.n_flag.ptr());
        } else {
            WorkerRef r(PyObject_CallMethodNoArgs(ev.get(), S.n_is_set.ptr()));
            set = r ? PyObject_IsTrue(r.get()) : -1;
        }
        if (set <= 0)
            return set;
        WorkerRef ser(PyObject_GetAttr(self, S.n_ser.ptr()));
        if (!ser)
            return -1;
        return attr_truth(ser.get(), S.port.n_is_open.ptr());
    }
    return attr_truth(self, S.n_is_connected.ptr());
}

// callbacks[address](address, payload, priority_bit): a new reference, or
// null with an exception set.
PyObject *call_registered(PyObject *callbacks, PyObject *address, PyObject *payload, PyObject *priority_bit) {
    WorkerRef cb(PyObject_GetItem(callbacks, address));
    if (!cb)
        return nullptr;
    PyObject *args[3] = {address, payload, priority_bit};
    return PyObject_Vectorcall(cb.get(), args, 3, nullptr);
}

// Call the registered callback under the transport's lock:
//   with self.lock: self.callbacks[address](address, payload, priority_bit)
// `payload` is a new list.  Returns 0, or -1 with an exception set.
int dispatch(State &S, PyObject *self, PyObject *address, PyObject *payload, PyObject *priority_bit) {
    WorkerRef callbacks(PyObject_GetAttr(self, S.n_callbacks.ptr()));
    if (!callbacks)
        return -1;
    int has = PySequence_Contains(callbacks.get(), address);
    if (has <= 0)
        return has;
    WorkerRef lock(PyObject_GetAttr(self, S.n_lock.ptr()));
    if (!lock)
        return -1;
    if ((PyObject *) Py_TYPE(lock.get()) == S.rlock_type.ptr()) {
        // The interpreter's own re-entrant lock: entering and leaving it are
        // its acquire and release, which no one can replace.
        WorkerRef got(PyObject_CallMethodNoArgs(lock.get(), S.n_acquire.ptr()));
        if (!got)
            return -1;
        WorkerRef result(call_registered(callbacks.get(), address, payload, priority_bit));
        PyObject *exc = PyErr_GetRaisedException();
        WorkerRef rel(PyObject_CallMethodNoArgs(lock.get(), S.n_release.ptr()));
        if (!rel) {
            Py_XDECREF(exc);
            return -1;
        }
        if (exc) {
            PyErr_SetRaisedException(exc);
            return -1;
        }
        return 0;
    }
    WorkerRef enter(PyObject_GetAttr(lock.get(), S.n_enter.ptr()));
    if (!enter)
        return -1;
    WorkerRef exit(PyObject_GetAttr(lock.get(), S.n_exit.ptr()));
    if (!exit)
        return -1;
    WorkerRef entered(PyObject_CallNoArgs(enter.get()));
    if (!entered)
        return -1;
    WorkerRef result(call_registered(callbacks.get(), address, payload, priority_bit));
    if (result) {
        WorkerRef r(PyObject_CallFunctionObjArgs(exit.get(), Py_None, Py_None, Py_None, nullptr));
        return r ? 0 : -1;
    }
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *tb = PyException_GetTraceback(exc);
    WorkerRef r(PyObject_CallFunctionObjArgs(exit.get(), (PyObject *) Py_TYPE(exc), exc, tb ? tb : Py_None, nullptr));
    Py_XDECREF(tb);
    if (!r) {
        Py_DECREF(exc);
        return -1;
    }
    int suppress = PyObject_IsTrue(r.get());
    if (suppress < 0) {
        Py_DECREF(exc);
        return -1;
    }
    if (suppress) {
        Py_DECREF(exc);
        return 0;
    }
    PyErr_SetRaisedException(exc);
    return -1;
}

PyObject *list_from_bytes(const uint8_t *p, Py_ssize_t n) {
    PyObject *l = PyList_New(n);
    if (!l)
        return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(l, i, PyLong_FromLong(p[i])); // small ints: never fails
    return l;
}

// (address, priority_bit) from the flag word, natively when the module's
// parser (read at call time by the caller) is the protocol's own; otherwise
// through it, unpacked into three.
int parse_flags(State &S, PyObject *parser, uint32_t word, WorkerRef &address, WorkerRef &priority) {
    if (parser == S.parse_orig.ptr()) {
        frame::FlagWord f = frame::parse_flags(word);
        address.reset(PyLong_FromUnsignedLong(f.address));
        priority.reset(PyLong_FromLong(f.priority));
        return address && priority ? 0 : -1;
    }
    WorkerRef w(PyLong_FromUnsignedLong(word));
    if (!w)
        return -1;
    WorkerRef res(PyObject_CallOneArg(parser, w.get()));
    if (!res)
        return -1;
    WorkerRef it(PyObject_GetIter(res.get()));
    if (!it)
        return -1;
    WorkerRef items[3];
    for (size_t i = 0; i < std::size(items); ++i) {
        items[i].reset(PyIter_Next(it.get()));
        if (!items[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)",
                             (int) std::size(items), (int) i);
            return -1;
        }
    }
    WorkerRef extra(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", (int) std::size(items));
        return -1;
    }
    if (PyErr_Occurred())
        return -1;
    address.reset(Py_NewRef(items[0].get()));
    priority.reset(Py_NewRef(items[1].get()));
    return 0;
}

// ser.close() while holding the transport's port lock (when it has one), so
// that a wake-up of the reader from another thread never meets a port that is
// being closed.  Returns 0, or -1 with an exception set.
int close_port(State &S, PyObject *self, PyObject *ser) {
    WorkerRef lock(PyObject_GetAttr(self, S.n_port_lock.ptr()));
    if (!lock) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        WorkerRef r(PyObject_CallMethodNoArgs(ser, S.n_close.ptr()));
        return r ? 0 : -1;
    }
    WorkerRef got(PyObject_CallMethodNoArgs(lock.get(), S.n_acquire.ptr()));
    if (!got)
        return -1;
    WorkerRef r(PyObject_CallMethodNoArgs(ser, S.n_close.ptr()));
    PyObject *exc = PyErr_GetRaisedException();
    WorkerRef rel(PyObject_CallMethodNoArgs(lock.get(), S.n_release.ptr()));
    if (exc) {
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return -1;
    }
    return rel ? 0 : -1;
}

// The exceptions that end the polling loop (pyserial's are looked up at call
// time, only on the way out of the loop).
constexpr const char *kStopExceptions[] = {"PortNotOpenError", "SerialException"};

int is_stop_exception(State &S, PyObject *exc) {
    if (PyErr_GivenExceptionMatches(exc, PyExc_KeyboardInterrupt))
        return 1;
    for (const char *n : kStopExceptions) {
        WorkerRef t(serial_native::serial_class(S.port, n));
        if (!t)
            return -1;
        if (PyErr_GivenExceptionMatches(exc, t.get()))
            return 1;
    }
    return 0;
}

// Is self._process_pkt our own method (not replaced by a subclass or the instance)?
int process_pkt_is_ours(State &S, PyObject *self) {
    PyTypeObject *t = Py_TYPE(self);
    PyObject *name = S.n_process_pkt.ptr();
    if (t->tp_getattro == PyObject_GenericGetAttr) {
        // Plain attribute lookup: ours when the instance holds no such name
        // and the class finds our function.
        PyObject *d = instance_dict(self);
        bool shadowed = d && dict_get(d, name);
        Py_XDECREF(d);
        if (shadowed)
            return 0;
        WorkerRef f(PyObject_GetAttr((PyObject *) t, name));
        if (!f)
            return -1;
        if (f.get() == S.process_pkt_fn.ptr())
            return 1;
    }
    WorkerRef m(PyObject_GetAttr(self, name));
    if (!m)
        return -1;
    return PyMethod_Check(m.get()) && PyMethod_GET_FUNCTION(m.get()) == S.process_pkt_fn.ptr() &&
           PyMethod_GET_SELF(m.get()) == self;
}

// Is self.<name> found without running Python code: plain attribute lookup,
// the name not a descriptor on the class?
bool plain_class_attr(PyObject *self, PyObject *name) {
    PyTypeObject *t = Py_TYPE(self);
    if (t->tp_getattro != PyObject_GenericGetAttr)
        return false;
    PyObject *d = _PyType_Lookup(t, name);
    return !d || !Py_TYPE(d)->tp_descr_get;
}

// ---- polling worker: the reader ---------------------------------------------------

// One pass of the reader.  Returns 0 (pass done), or -1 with an exception set.
int read_pass(State &S, PyObject *self, bool &in_sync, serial_native::PortReader &rd, std::string &header,
              std::string &body) {
    rd.python_may_have_run(); // the last pass dispatched, logged or looked attributes up
    WorkerRef ser(PyObject_GetAttr(self, S.n_ser.ptr()));
    if (!ser)
        return -1;
    long hl, start, max_payload, crc;
    if (attr_long(self, S.n_header_length.ptr(), &hl) < 0)
        return -1;
    if (attr_long(self, S.n_start_byte.ptr(), &start) < 0)
        return -1;

    header.clear();
    if (in_sync) {
        if (rd.read(ser.get(), hl < 0 ? 0 : (size_t) hl, header) < 0)
            return -1;
    } else {
        if (rd.read(ser.get(), 1, header) < 0)
            return -1;
        if (header.empty() || (uint8_t) header[0] != start)
            return 0;
        if (rd.read(ser.get(), hl - 1 < 0 ? 0 : (size_t) (hl - 1), header) < 0)
            return -1;
        in_sync = true;
    }
    const uint8_t *h = (const uint8_t *) header.data();
    if ((long) header.size() != hl || hl < (long) proto::HEADER_LENGTH || h[0] != start) {
        in_sync = false;
        return 0;
    }
    uint32_t word = frame::read_le16(h + 1);
    WorkerRef address, priority;
    WorkerRef parser(worker_global(S, S.n_parse_flags.ptr()));
    if (!parser)
        return -1;
    if (parser.get() != S.parse_orig.ptr() || !plain_class_attr(self, S.n_max_payload.ptr()))
        rd.python_may_have_run();
    if (parse_flags(S, parser.get(), word, address, priority) < 0)
        return -1;
    long frame_len = h[3];
    if (attr_long(self, S.n_max_payload.ptr(), &max_payload) < 0)
        return -1;
    if (frame_len > max_payload) {
        in_sync = false;
        return 0;
    }
    body.clear();
    if (rd.read(ser.get(), (size_t) frame_len + 1, body) < 0)
        return -1;
    if ((long) body.size() < frame_len + 1) {
        in_sync = false;
        return 0;
    }
    if (attr_long(self, S.n_crc_magic.ptr(), &crc) < 0)
        return -1;
    const uint8_t *p = (const uint8_t *) body.data();
    Py_ssize_t n = (Py_ssize_t) body.size() - 1;
    if (p[n] != crc) {
        in_sync = false;
        return 0;
    }
    int ours = process_pkt_is_ours(S, self);
    if (ours < 0)
        return -1;
    if (ours) {
        WorkerRef payload(list_from_bytes(p, n));
        if (!payload)
            return -1;
        return dispatch(S, self, address.get(), payload.get(), priority.get());
    }
    WorkerRef pkt(PyBytes_FromStringAndSize((const char *) p, n));
    if (!pkt)
        return -1;
    PyObject *args[4] = {self, address.get(), pkt.get(), priority.get()};
    WorkerRef r(PyObject_VectorcallMethod(S.n_process_pkt.ptr(), args, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return r ? 0 : -1;
}

// The polling thread's loop until the run flag clears; then the port is
// closed, unless a successor thread owns it.  0, or -1 with an exception set.
int poll_until_stopped(State &S, PyObject *self) {
    // A worker started by connect() owns the connection while it is the
    // transport's current polling thread; once connect() (called from a
    // callback on this very thread) has started a successor, it leaves the
    // port to that one.
    WorkerRef threading(worker_global(S, S.n_threading.ptr()));
    if (!threading)
        return -1;
    WorkerRef me(PyObject_CallMethodNoArgs(threading.get(), S.n_current_thread.ptr()));
    if (!me)
        return -1;
    // Whether self._polling_thread is this thread: 1, 0 for another, -1 when
    // it cannot be read (which is neither).
    auto polling_thread_is_me = [&] {
        WorkerRef t(PyObject_GetAttr(self, S.n_polling_thread.ptr()));
        if (!t) {
            PyErr_Clear();
            return -1;
        }
        return t.get() == me.get() ? 1 : 0;
    };
    const bool owned = polling_thread_is_me() == 1;
    bool superseded = false;
    bool in_sync = true;
    serial_native::PortReader reader(S.port);
    std::string header, body;
    for (;;) {
        int c = is_connected_c(S, self);
        if (c < 0)
            return -1;
        if (!c)
            break;
        if (owned && polling_thread_is_me() == 0) {
            superseded = true;
            break;
        }
        if (read_pass(S, self, in_sync, reader, header, body) == 0)
            continue;
        PyObject *exc = PyErr_GetRaisedException();
        int stop = is_stop_exception(S, exc);
        if (stop < 0) {
            Py_DECREF(exc);
            return -1;
        }
        if (stop) {
            Py_DECREF(exc);
            WorkerRef ev(PyObject_GetAttr(self, S.n_polling_thread_event.ptr()));
            if (!ev)
                return -1;
            WorkerRef r(PyObject_CallMethodNoArgs(ev.get(), S.n_clear.ptr()));
            if (!r)
                return -1;
            continue;
        }
        if (!PyErr_GivenExceptionMatches(exc, PyExc_Exception)) {
            PyErr_SetRaisedException(exc);
            return -1;
        }
        WorkerRef text(PyObject_Str(exc));
        Py_DECREF(exc);
        if (!text)
            return -1;
        WorkerRef msg(PyUnicode_FromFormat("Error in polling thread: %U", text.get()));
        if (!msg)
            return -1;
        WorkerRef logger(PyObject_GetAttr(self, S.n_logger.ptr()));
        if (!logger)
            return -1;
        WorkerRef r(PyObject_CallMethodOneArg(logger.get(), S.n_warning.ptr(), msg.get()));
        if (!r)
            return -1;
        in_sync = false;
    }
    if (superseded)
        return 0;
    WorkerRef ser(PyObject_GetAttr(self, S.n_ser.ptr()));
    if (!ser)
        return -1;
    return close_port(S, self, ser.get());
}

// VklOverUsb._polling_thread_worker(self); the capsule bound as the C
// function's self carries the module state.
PyObject *polling_worker(PyObject *capsule, PyObject *self) {
    auto *S = (State *) PyCapsule_GetPointer(capsule, nullptr);
    if (!S)
        return nullptr;
    try {
        if (poll_until_stopped(*S, self) < 0)
            return nullptr;
        Py_RETURN_NONE;
    } catch (const std::exception &e) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

// The worker's C function definition must outlive every function object made
// from it, hence static storage (it holds no state).
PyMethodDef worker_def = {"_polling_thread_worker", (PyCFunction) polling_worker, METH_O, nullptr};

// ---- connection lock --------------------------------------------------------------
// connect, disconnect, close and enter_bootloader of one transport run one at
// a time.  On the transport's own polling thread (a receive callback calling
// back) they run without it: another thread may hold it while waiting for
// this very thread to end.

nb::object current_thread(State &S) { return module_global(S.g, S.n_threading).attr(S.n_current_thread)(); }

bool on_polling_thread(State &S, nb::handle self) {
    nb::object t = nb::getattr(self, S.n_polling_thread, nb::none());
    if (t.is_none())
        return false;
    return current_thread(S).is(t);
}

class ConnectionGuard {
public:
    ConnectionGuard(State &S, nb::handle self) : S_(S) {
        if (on_polling_thread(S, self))
            return;
        lock_ = nb::getattr(self, S.n_connection_lock);
        lock_.attr(S.n_acquire)(); // blocks with the interpreter released
    }
    ~ConnectionGuard() {
        if (!lock_.is_valid())
            return;
        PyObject *exc = PyErr_GetRaisedException();
        PyObject *r = PyObject_CallMethodNoArgs(lock_.ptr(), S_.n_release.ptr());
        if (!r)
            PyErr_Clear();
        Py_XDECREF(r);
        PyErr_SetRaisedException(exc);
    }
    ConnectionGuard(const ConnectionGuard &) = delete;
    ConnectionGuard &operator=(const ConnectionGuard &) = delete;

private:
    State &S_;
    nb::object lock_;
};

bool connected(State &S, nb::handle self) { return truth(nb::getattr(self, S.n_is_connected)); }

// Make a read in progress on the polling thread return now instead of at its
// time-out, once the run flag is clear.  Only for ports that offer it, and
// never on a port that the worker is closing or has closed.
void wake_reader(State &S, nb::handle self) {
    nb::object ser = nb::getattr(self, S.n_ser, nb::none());
    if (ser.is_none() || !nb::hasattr(ser, S.port.n_cancel_read))
        return;
    nb::object lock = nb::getattr(self, S.n_port_lock, nb::none());
    if (lock.is_none())
        return;
    lock.attr(S.n_acquire)();
    try {
        if (truth(ser.attr(S.port.n_is_open)))
            ser.attr(S.port.n_cancel_read)();
    } catch (...) {
        lock.attr(S.n_release)();
        throw;
    }
    lock.attr(S.n_release)();
}

// ---- VklOverUsb: frame writer --------------------------------------------------------

// self.<name>(arg), looked up through the instance, without a bound method
// object per call.
nb::object call_method(nb::handle self, nb::handle name, nb::handle arg) {
    PyObject *args[2] = {self.ptr(), arg.ptr()};
    return steal_or_raise(PyObject_VectorcallMethod(name.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

uint8_t byte_value(nb::handle v) {
    Py_ssize_t x = PyNumber_AsSsize_t(v.ptr(), nullptr);
    if (x == -1 && PyErr_Occurred())
        raise_pending();
    if (x < 0 || x > 255)
        raise(PyExc_ValueError, "bytes must be in range(0, 256)");
    return (uint8_t) x;
}

// Does self.<check> reach the class's own static method `sm`, nothing on the
// instance shadowing it, and does the VKL module still hold `fn_orig` under
// `fn`?  While it does, the check is the protocol's range test done here,
// without two rounds of argument dispatch per frame; anything else (or a
// failure along the way) takes the call.
bool own_protocol_fn(State &S, PyObject *fn, nb::handle fn_orig, uint64_t &seen) {
    return entry_is(S.vkl_dict.ptr(), fn, fn_orig.ptr(), seen);
}

bool own_check(State &S, PyObject *self, PyObject *check, nb::handle sm, PyObject *fn, nb::handle fn_orig,
               uint64_t &seen) {
    PyTypeObject *t = Py_TYPE(self);
    if (!sm.is_valid() || t->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(t, check) != sm.ptr())
        return false;
    PyObject *d = instance_dict(self);
    if (!d)
        return false;
    bool shadowed = dict_get(d, check) != nullptr;
    Py_DECREF(d);
    return !shadowed && own_protocol_fn(S, fn, fn_orig, seen);
}

// self.check_vkl_id_range(address) and self.check_vkl_payload_size(data), by
// their truth.
// A check that is called is Python code: what `known` told may no longer hold
// after it, so it is dropped.
bool id_in_range(State &S, nb::handle self, nb::handle address, const Known *&known) {
    if (PyLong_CheckExact(address.ptr()) &&
        (known ? own_protocol_fn(S, S.n_valid_address.ptr(), S.valid_address_orig, S.valid_address_seen)
               : own_check(S, self.ptr(), S.n_check_id.ptr(), S.check_id_sm, S.n_valid_address.ptr(),
                           S.valid_address_orig, S.valid_address_seen))) {
        int overflow = 0;
        long long a = PyLong_AsLongLongAndOverflow(address.ptr(), &overflow);
        if (!(a == -1 && PyErr_Occurred()))
            return !overflow && proto::valid_vkl_address(a);
        PyErr_Clear();
    }
    known = nullptr;
    return truth(call_method(self, S.n_check_id, address));
}

// The payload of one send: the caller's list, or bytes of which a list is
// made only when Python code is to see one (a replaced check).
struct Payload {
    nb::handle list; // the list given or made
    nb::object made;
    const uint8_t *bytes = nullptr;
    size_t n = 0;

    nb::handle as_list() {
        if (!list.is_valid()) {
            made = steal_or_raise(list_from_bytes(bytes, (Py_ssize_t) n));
            list = made;
        }
        return list;
    }
    size_t size() const { return list.is_valid() ? (size_t) PyList_GET_SIZE(list.ptr()) : n; }
};

bool payload_fits(State &S, nb::handle self, Payload &data, const Known *&known) {
    if ((!data.list.is_valid() || PyList_CheckExact(data.list.ptr())) &&
        (known ? own_protocol_fn(S, S.n_valid_payload.ptr(), S.valid_payload_orig, S.valid_payload_seen)
               : own_check(S, self.ptr(), S.n_check_payload.ptr(), S.check_payload_sm, S.n_valid_payload.ptr(),
                           S.valid_payload_orig, S.valid_payload_seen)))
        return data.size() <= (size_t) proto::MAX_PAYLOAD_SIZE;
    known = nullptr;
    return truth(call_method(self, S.n_check_payload, data.as_list()));
}

// The address-and-flags word, packed as "<H": natively while the module's
// builder is the protocol's own and accepts the address, else through the
// builder (and struct for anything but a plain int in range); `called` tells
// whether the builder was called.
uint16_t flag_word(State &S, nb::handle address, bool priority, bool hs, bool &called) {
    bool own = entry_is(S.g.ptr(), S.n_build_flags.ptr(), S.build_orig.ptr(), S.build_seen);
    nb::object builder = own ? nb::borrow(S.build_orig) : module_global(S.g, S.n_build_flags);
    auto build = [&] {
        called = true;
        return builder(address, nb::arg("priority") = nb::bool_(priority), nb::arg("can_high_speed") = nb::bool_(hs));
    };
    nb::object w;
    if (own && PyLong_CheckExact(address.ptr())) {
        int overflow = 0;
        long long a = PyLong_AsLongLongAndOverflow(address.ptr(), &overflow);
        if (a == -1 && PyErr_Occurred())
            raise_pending();
        // Natively only where the protocol's builder accepts the address; any
        // other value goes to the builder itself, which raises its own error.
        if (!overflow && proto::valid_vkl_address(a))
            return (uint16_t) frame::build_flags((uint32_t) a, priority, hs);
        w = build();
    } else {
        w = build();
        if (PyLong_CheckExact(w.ptr())) {
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(w.ptr(), &overflow);
            if (x == -1 && PyErr_Occurred())
                raise_pending();
            if (!overflow && x >= 0 && x <= 0xFFFF)
                return (uint16_t) x;
        }
    }
    // Anything but a plain int in range: struct decides (and raises its own error).
    nb::object packed = module_global(S.g, S.n_struct).attr(S.n_pack)("<H", w);
    nb::bytes pb = nb::borrow<nb::bytes>(packed);
    return frame::read_le16((const uint8_t *) pb.c_str());
}

// The payload's bytes: plain small ints directly, anything else through the
// interpreter's own conversion (and its errors).  Returns the count.
size_t payload_bytes(nb::handle data, uint8_t (&out)[kMaxLengthBytePayload]) {
    Py_ssize_t n = PyList_GET_SIZE(data.ptr());
    if (n > (Py_ssize_t) std::size(out))
        raise(PyExc_ValueError, "bytes must be in range(0, 256)");
    bool plain = true;
    for (Py_ssize_t i = 0; i < n && plain; ++i) {
        PyObject *v = PyList_GET_ITEM(data.ptr(), i);
        long x = PyLong_CheckExact(v) ? PyLong_AsLong(v) : -1;
        if (x < 0 || x > 255) {
            PyErr_Clear();
            plain = false;
        } else {
            out[i] = (uint8_t) x;
        }
    }
    if (plain)
        return (size_t) n;
    nb::object pbytes = steal_or_raise(PyBytes_FromObject(data.ptr()));
    n = PyBytes_GET_SIZE(pbytes.ptr());
    if (n > (Py_ssize_t) std::size(out))
        raise(PyExc_ValueError, "bytes must be in range(0, 256)");
    std::memcpy(out, PyBytes_AS_STRING(pbytes.ptr()), (size_t) n);
    return (size_t) n;
}

// The frame to the port: natively on a genuine open port, else through the
// port's own write while it is open.  False (logged) when it is not.
bool write_frame(State &S, nb::handle self, const uint8_t *fb, size_t flen) {
    nb::object ser = steal_or_raise(S.ser_reads->get(S.ser_reads->of(self.ptr()), self.ptr(), 0));
    serial_native::WriteView view;
    Genuine g = serial_native::genuine_port(S.port, ser.ptr(), &view);
    if (g == Genuine::Open) {
        int r = serial_native::write_native(S.port, ser.ptr(), view, fb, flen);
        if (r < 0)
            raise_pending();
        if (r == 0)
            return true;
    }
    if (g != Genuine::Closed && truth(ser.attr(S.port.n_is_open))) {
        nb::object frame_obj = steal_or_raise(PyBytes_FromStringAndSize((const char *) fb, (Py_ssize_t) flen));
        ser.attr(S.port.n_write)(frame_obj);
        return true;
    }
    log(nb::getattr(self, S.n_logger), "warning", "Serial port not connected");
    return false;
}

// The body of send_VKL once its arguments are taken: `address` passed the
// int rule, the flags are plain booleans.
bool send_frame(State &S, nb::handle self, nb::handle address, Payload &data, bool priority, bool hs,
                const Known *known = nullptr) {
    if (!id_in_range(S, self, address, known)) {
        log(nb::getattr(self, S.n_logger), "error", "Invalid VKL ID: " + py_str(address));
        return false;
    }
    if (!payload_fits(S, self, data, known)) {
        log(nb::getattr(self, S.n_logger), "warning",
            "Invalid payload length for address " + py_str(address) + " - len " + std::to_string(data.size()));
        return false;
    }
    bool called = false;
    uint16_t word = flag_word(S, address, priority, hs, called);
    // A builder that was called may have changed what the reads below give.
    if (called)
        known = nullptr;
    uint8_t start = known ? known->start : byte_value(nb::getattr(self, S.n_start_byte));
    uint8_t payload[kMaxLengthBytePayload];
    size_t n;
    if (data.list.is_valid()) {
        // A list a check has seen is read after the checks, as they left it.
        n = payload_bytes(data.list, payload);
    } else {
        if (data.n > std::size(payload))
            raise(PyExc_ValueError, "bytes must be in range(0, 256)");
        n = data.n;
        std::memcpy(payload, data.bytes, n);
    }
    uint8_t trailer = known ? known->trailer : byte_value(nb::getattr(self, S.n_crc_magic));
    uint8_t fb[kMaxLengthBytePayload + frame::OVERHEAD];
    size_t flen = frame::encode(fb, start, word, payload, n, trailer);
    return write_frame(S, self, fb, flen);
}

nb::object send_vkl(State &S, nb::handle self, nb::handle address_in, nb::handle data_in, nb::handle priority_in,
                    nb::handle hs_in) {
    nb::object address = arg_int(address_in, "address");
    bool priority = truth(priority_in);
    bool hs = truth(hs_in);
    Payload data;
    nb::list list = arg_list(data_in, "data");
    data.list = list;
    return nb::bool_(send_frame(S, self, address, data, priority, hs));
}

// ---- VklOverUsb: C-level send entry ------------------------------------------------------
// The physical actuator hands its commands to the transport here (see
// core/send_entry.hpp).  Taken only when `transport.send_VKL` is this class's
// own method and its arguments pass the argument rules without running any
// code (an exact int address, a bool flag, an exact list if one is given):
// then what follows is send_VKL's own body, which looks up the checks, the
// module's names and the port through the instance as the call would.

// A byte value held plainly (an exact int in range), as byte_value reads it.
bool plain_byte(PyObject *v, uint8_t *out) {
    if (!v || !PyLong_CheckExact(v))
        return false;
    long x = PyLong_AsLong(v);
    if (x < 0 || x > 255) {
        PyErr_Clear();
        return false;
    }
    *out = (uint8_t) x;
    return true;
}

// Does the class (exactly VklOverUsb) hold its own send_VKL and VKL's own
// checks, and plain start and trailer bytes?  Checked again only when the
// class or one of its bases changes (its version tag moves).
bool class_facts(State &S, PyTypeObject *t) {
    ClassFacts &f = S.facts;
    if (t->tp_version_tag != 0 && t->tp_version_tag == f.tag)
        return true;
    f.tag = 0;
    if (_PyType_Lookup(t, S.n_send_vkl.ptr()) != S.send_vkl_fn.ptr() ||
        _PyType_Lookup(t, S.n_check_id.ptr()) != S.check_id_sm.ptr() || !S.check_id_sm.is_valid() ||
        _PyType_Lookup(t, S.n_check_payload.ptr()) != S.check_payload_sm.ptr() || !S.check_payload_sm.is_valid() ||
        !plain_byte(_PyType_Lookup(t, S.n_start_byte.ptr()), &f.known.start) ||
        !plain_byte(_PyType_Lookup(t, S.n_crc_magic.ptr()), &f.known.trailer))
        return false;
    if (!has_version_tag(t))
        return false;
    f.tag = t->tp_version_tag;
    return f.tag != 0;
}

// What the transport's dictionary `d` holds of the names above: read, or as
// last read while its entries tag stands.
DictFacts dict_facts(State &S, PyObject *transport, PyObject *d) {
    uint64_t tag = S.dict_facts.tag_of(d);
    if (const DictFacts *e = S.dict_facts.find(d, tag))
        return *e;
    DictFacts now;
    now.own = !dict_get(d, S.n_send_vkl.ptr());
    now.unshadowed = now.own && !dict_get(d, S.n_check_id.ptr()) && !dict_get(d, S.n_check_payload.ptr()) &&
                     !dict_get(d, S.n_start_byte.ptr()) && !dict_get(d, S.n_crc_magic.ptr());
    S.dict_facts.keep(transport, d, tag, now);
    return now;
}

// Is transport.send_VKL the class's own method?  `known` is set when, in
// addition, the instance reaches the class's checks and bytes (it holds none
// of their names).
bool own_send_vkl(State &S, PyObject *transport, const Known *&known) {
    PyTypeObject *t = Py_TYPE(transport);
    known = nullptr;
    if ((PyObject *) t != S.cls.ptr() || t->tp_getattro != PyObject_GenericGetAttr)
        return false;
    bool facts = class_facts(S, t);
    if (!facts && _PyType_Lookup(t, S.n_send_vkl.ptr()) != S.send_vkl_fn.ptr())
        return false;
    PyObject *d = instance_dict(transport);
    if (!d)
        return false;
    DictFacts now = dict_facts(S, transport, d);
    Py_DECREF(d);
    if (now.unshadowed && facts)
        known = &S.facts.known;
    return now.own;
}

int send_entry(void *ctx, PyObject *transport, PyObject *address, PyObject *list, const uint8_t *bytes, size_t n,
               PyObject *can_high_speed, PyObject **result) {
    State &S = *(State *) ctx;
    const Known *known = nullptr;
    if (!PyLong_CheckExact(address) || !PyBool_Check(can_high_speed) || (list && !PyList_CheckExact(list)) ||
        !own_send_vkl(S, transport, known))
        return 0;
    // No C++ exception leaves this module: the caller is another extension.
    try {
        Payload data;
        if (list) {
            data.list = list;
        } else {
            data.bytes = bytes;
            data.n = n;
        }
        bool sent = send_frame(S, transport, address, data, true, can_high_speed == Py_True, known);
        *result = Py_NewRef(sent ? Py_True : Py_False);
        return 1;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return -1;
}

// Publish the entry in the interpreter's dictionary (a later import of the
// module under another name takes the key over; an entry serves its own class).
void publish_send_entry(State &S) {
    S.entry = SendEntry{kSendEntryVersion, &send_entry, &S};
    nb::object capsule = steal_or_raise(PyCapsule_New(&S.entry, kSendEntryKey, nullptr));
    PyObject *interp = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!interp)
        raise(PyExc_RuntimeError, "no interpreter dictionary");
    if (PyDict_SetItemString(interp, kSendEntryKey, capsule.ptr()) < 0)
        raise_pending();
}

// ---- VklOverUsb: lifecycle ------------------------------------------------------------

void init_transport(State &S, nb::handle self, nb::handle port, nb::handle connect_on_init, nb::handle logger) {
    bool do_connect = truth(connect_on_init);
    arg_str_or_none(port, "port");
    nb::object sup = builtins().attr(S.n_super)(S.cls, self);
    sup.attr(S.n_init)(nb::arg("logger") = logger);
    nb::setattr(self, S.n_port, port);
    nb::object serial = module_global(S.g, S.port.n_serial);
    nb::setattr(self, S.n_ser,
                serial.attr(S.n_serial_cls)(nb::none(), 115200, nb::arg("interCharTimeout") = 0.1,
                                            nb::arg("timeout") = 0.8));
    nb::object threading = module_global(S.g, S.n_threading);
    nb::setattr(self, S.n_polling_thread_event, threading.attr(S.n_event)());
    nb::setattr(self, S.n_polling_thread, nb::none());
    nb::setattr(self, S.n_connection_lock, threading.attr(S.n_rlock)());
    nb::setattr(self, S.n_port_lock, threading.attr(S.n_lock_cls)());
    if (do_connect)
        nb::getattr(self, S.n_connect)(nb::arg("port") = port);
}

nb::object connect(State &S, nb::handle self, nb::handle port) {
    arg_str_or_none(port, "port");
    ConnectionGuard guard(S, self);

    // The previous polling thread closes the port as it ends; wait for it so
    // that it cannot close the port under the new connection.  A receive
    // callback on that thread may itself reconnect meanwhile (it runs outside
    // the connection lock); then the thread it started is stopped in turn.
    for (;;) {
        nb::object old = nb::getattr(self, S.n_polling_thread, nb::none());
        nb::getattr(self, S.n_disconnect)();
        if (old.is_none())
            break;
        if (current_thread(S).is(old)) {
            // Called from a receive callback: this thread is the old worker,
            // which will leave the port to its successor; close it here.
            nb::object ser = nb::getattr(self, S.n_ser);
            if (truth(ser.attr(S.port.n_is_open)) && close_port(S, self.ptr(), ser.ptr()) < 0)
                raise_pending();
            break;
        }
        while (truth(old.attr(S.n_is_alive)()))
            old.attr(S.n_join)(JOIN_TIMEOUT_S);
        if (nb::getattr(self, S.n_polling_thread, nb::none()).is(old))
            break;
    }

    if (!port.is_none() && nb::len(port) > 0)
        nb::setattr(self, S.n_port, port);
    if (!truth(nb::getattr(self, S.n_port)))
        nb::setattr(self, S.n_port, module_global(S.g, S.n_transport_cls).attr(S.n_get_port)());
    nb::object p = nb::getattr(self, S.n_port);
    if (!truth(p))
        return nb::bool_(false);

    nb::object ser = nb::getattr(self, S.n_ser);
    try {
        nb::setattr(ser, S.n_port_name, p);
        ser.attr(S.n_open)();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        std::string msg = "Couldn't connect to port " + py_format(p, "") + ": " + py_str(e.value());
        log(nb::getattr(self, S.n_logger), "error", msg);
        return nb::bool_(false);
    }
    ser.attr(S.n_flush_input)();
    ser.attr(S.n_flush_output)();
    ser.attr(S.port.n_read)(ser.attr(S.n_in_waiting));
    nb::getattr(self, S.n_polling_thread_event).attr(S.n_set)();
    nb::object thread =
        module_global(S.g, S.n_threading)
            .attr(S.n_thread)(nb::arg("target") = nb::getattr(self, S.n_worker), nb::arg("daemon") = true);
    nb::setattr(self, S.n_polling_thread, thread);
    thread.attr(S.n_start)();
    S.live.attr(S.n_add)(self);
    return nb::bool_(true);
}

void disconnect(State &S, nb::handle self) {
    ConnectionGuard guard(S, self);
    if (!connected(S, self))
        return;
    nb::getattr(self, S.n_polling_thread_event).attr(S.n_clear)();
    nb::object t = nb::getattr(self, S.n_polling_thread);
    if (!t.is_none() && truth(t.attr(S.n_is_alive)())) {
        // A receive callback that disconnects runs on the polling thread
        // itself, which ends on its own once the callback returns.
        if (!current_thread(S).is(t)) {
            wake_reader(S, self);
            t.attr(S.n_join)(nb::arg("timeout") = JOIN_TIMEOUT_S);
        }
    }
}

// _process_pkt(address, pkt, priority_bit): the packet's bytes as a list to
// the registered callback, under the transport's lock.
void process_pkt(State &S, nb::handle self, nb::handle address, nb::handle pkt, nb::handle priority_bit) {
    nb::object payload = steal_or_raise(PySequence_List(pkt.ptr()));
    if (dispatch(S, self.ptr(), address.ptr(), payload.ptr(), priority_bit.ptr()) < 0)
        raise_pending();
}

void enter_bootloader(State &S, nb::handle self) {
    ConnectionGuard guard(S, self);
    nb::list payload;
    payload.append(ENTER_BOOTLOADER_ACTION);
    nb::getattr(self, S.n_send_vkl)(0, payload);
    module_global(S.g, S.n_time).attr(S.n_sleep)(BOOTLOADER_PAUSE_S);
    nb::getattr(self, S.n_close)();
}

void close(State &S, nb::handle self) {
    ConnectionGuard guard(S, self);
    S.transport_close(self);
}

nb::object is_connected(State &S, nb::handle self) {
    if (!truth(nb::getattr(self, S.n_polling_thread_event).attr(S.n_is_set)()))
        return nb::bool_(false);
    return nb::getattr(self, S.n_ser).attr(S.port.n_is_open);
}

// Stop every polling thread still running when the interpreter exits, before
// it finalises: a daemon thread that wakes up during finalisation is torn down
// wherever it stands, callbacks included.
void stop_all_at_exit(State &S) {
    PyObject *items = PySequence_List(S.live.ptr());
    if (!items) {
        PyErr_Clear();
        return;
    }
    Py_ssize_t n = PyList_GET_SIZE(items);
    for (Py_ssize_t i = 0; i < n; ++i) {
        try {
            nb::handle self(PyList_GET_ITEM(items, i));
            nb::object thread = nb::getattr(self, S.n_polling_thread, nb::none());
            if (thread.is_none() || !truth(thread.attr(S.n_is_alive)()))
                continue;
            nb::getattr(self, S.n_polling_thread_event).attr(S.n_clear)();
            wake_reader(S, self);
            thread.attr(S.n_join)(JOIN_TIMEOUT_S);
        } catch (nb::python_error &e) {
            (void) e;
        }
        PyErr_Clear();
    }
    Py_DECREF(items);
}

// ---- adapter port discovery --------------------------------------------------------------

nb::list get_ports(State &S) {
    nb::object comports =
        module_global(S.g, S.port.n_serial).attr(S.n_tools).attr(S.n_list_ports).attr(S.n_comports);
    nb::object vid_ref = module_global(S.g, "ADAPTER_USB_VID");
    nb::object lo = module_global(S.g, "ADAPTER_USB_PID_FIRST");
    nb::object hi = module_global(S.g, "ADAPTER_USB_PID_LAST");
    nb::list out;
    for (nb::handle p : comports()) {
        nb::object vid = p.attr(S.n_vid);
        if (!truth(vid) || !vid.equal(vid_ref))
            continue;
        nb::object pid = p.attr(S.n_pid);
        if (!truth(pid))
            continue;
        int a = PyObject_RichCompareBool(lo.ptr(), pid.ptr(), Py_LE);
        if (a < 0)
            raise_pending();
        if (!a)
            continue;
        int b = PyObject_RichCompareBool(pid.ptr(), hi.ptr(), Py_LE);
        if (b < 0)
            raise_pending();
        if (!b)
            continue;
        out.append(p.attr(S.n_device));
    }
    return out;
}

nb::object get_port(State &S) {
    nb::object ports = module_global(S.g, S.n_transport_cls).attr(S.n_get_ports)();
    size_t n = nb::len(ports);
    if (n == 1)
        return nb::object(ports[0]);
    nb::object logger = module_global(S.g, S.n_logger);
    if (n == 0)
        log(logger, "warning", "No serial ports found");
    else
        log(logger, "warning", "Found multiple serial ports. Manually select one. Available ports: " + py_str(ports));
    return nb::str("");
}

// ---- VKL_over_USB ---------------------------------------------------------------------------

void deprecated_init(State &S, nb::handle self, nb::handle port, nb::handle connect_on_init, nb::handle logger) {
    bool do_connect = truth(connect_on_init);
    arg_str_or_none(port, "port");
    warn_caller(PyExc_FutureWarning, "VKL_over_USB is deprecated; use VklOverUsb instead.");
    nb::object sup = builtins().attr(S.n_super)(S.deprecated_cls, self);
    sup.attr(S.n_init)(nb::arg("port") = port, nb::arg("connect_on_init") = nb::bool_(do_connect),
                       nb::arg("logger") = logger);
}

// ---- module namespace and state ---------------------------------------------------------------

void bind_namespace(nb::module_ &m) {
    m.attr("threading") = nb::module_::import_("threading");
    m.attr("time") = nb::module_::import_("time");
    m.attr("warnings") = nb::module_::import_("warnings");
    m.attr("serial") = nb::module_::import_("serial");
    nb::module_::import_("serial.tools.list_ports");
    m.attr("logging") = nb::module_::import_("logging");
    m.attr("struct") = nb::module_::import_("struct");
    m.attr("Optional") = nb::module_::import_("typing").attr("Optional");
    import_siblings(m, {{"_vkl", {"VKL"}}, {"_protocol", {"build_usb_address_flags", "parse_usb_address_flags"}}});
    m.attr("logger") = nb::module_::import_("logging").attr("getLogger")(m.attr("__name__"));
    m.attr("ADAPTER_USB_VID") = ADAPTER_USB_VID;
    m.attr("ADAPTER_USB_PID_FIRST") = ADAPTER_USB_PID_FIRST;
    m.attr("ADAPTER_USB_PID_LAST") = ADAPTER_USB_PID_LAST;
}

// The state of this import (never freed; see State).
State &make_state(nb::module_ &m) {
    State &s = *new State();
    s.g = nb::borrow<nb::dict>(m.attr("__dict__"));
    intern_names(s, kNames);
    PyObject *const ser_name[] = {s.n_ser.ptr()};
    s.ser_reads = std::make_unique<InstanceReads<1>>(ser_name);
    serial_native::init_posix_port(s.port, s.g);

    nb::object vkl_cls = m.attr("VKL");
    nb::object vkl_mod = nb::module_::import_(nb::str(vkl_cls.attr("__module__")).c_str());
    s.vkl_dict = nb::borrow<nb::dict>(vkl_mod.attr("__dict__"));
    auto own = [&](nb::handle name) { return nb::borrow(_PyType_Lookup((PyTypeObject *) vkl_cls.ptr(), name.ptr())); };
    auto kept = [&](nb::handle name) { return nb::borrow(dict_get(s.vkl_dict.ptr(), name.ptr())); };
    s.check_id_sm = own(s.n_check_id);
    s.check_payload_sm = own(s.n_check_payload);
    s.valid_address_orig = kept(s.n_valid_address);
    s.valid_payload_orig = kept(s.n_valid_payload);
    s.transport_close = vkl_cls.attr(s.n_close);

    s.parse_orig = m.attr(s.n_parse_flags);
    s.build_orig = m.attr(s.n_build_flags);
    nb::object threading = m.attr(s.n_threading);
    s.event_type = threading.attr(s.n_event);
    s.rlock_type = nb::borrow((PyObject *) Py_TYPE(threading.attr(s.n_rlock)().ptr()));
    s.live = nb::module_::import_("weakref").attr("WeakSet")();
    return s;
}

// ---- bindings ---------------------------------------------------------------------------------
// Members carry the docstrings their Python definitions give; their
// signatures are the ones nanobind records from the argument lists.

void bind_connection(ClassBuilder &cls, State *S) {
    cls.def("__init__",
            [S](nb::handle self, nb::handle port, nb::handle connect_on_init, nb::handle logger) {
                init_transport(*S, self, port, connect_on_init, logger);
            },
            arg("port") = nb::none(), arg("connect_on_init") = true, arg("logger") = nb::none());
    cls.def("connect", [S](nb::handle self, nb::handle port) { return connect(*S, self, port); },
            arg("port") = nb::none());
    cls.def("disconnect", [S](nb::handle self) { disconnect(*S, self); });
}

void bind_reader(ClassBuilder &cls, State *S, nb::handle module_name) {
    // The worker is a C function with the module state bound as its self.
    nb::object capsule = steal_or_raise(PyCapsule_New(S, nullptr, nullptr));
    nb::object fn = steal_or_raise(PyCFunction_NewEx(&worker_def, capsule.ptr(), module_name.ptr()));
    cls.attr("_polling_thread_worker",
             wrap_function(fn, "_polling_thread_worker", cls.qualname() + "._polling_thread_worker", module_name,
                           nullptr));
    cls.def("_process_pkt",
            [S](nb::handle self, nb::handle address, nb::handle pkt, nb::handle priority_bit) {
                process_pkt(*S, self, address, pkt, priority_bit);
            },
            arg("address"), arg("pkt"), arg("priority_bit"));
    S->process_pkt_fn = cls.ns()[S->n_process_pkt];
}

void bind_writer(ClassBuilder &cls, State *S) {
    cls.def("send_VKL",
            [S](nb::handle self, nb::handle address, nb::handle data, nb::handle priority, nb::handle hs) {
                return send_vkl(*S, self, address, data, priority, hs);
            },
            arg("address"), arg("data"), arg("priority") = true, arg("can_high_speed") = false);
    S->send_vkl_fn = cls.ns()[S->n_send_vkl];
    cls.def("enter_bootloader", [S](nb::handle self) { enter_bootloader(*S, self); })
        .doc(" To put the CAN adapter itself into bootloader mode ");
    cls.def("close", [S](nb::handle self) { close(*S, self); })
        .doc("Release the link and its serial port; a second call is harmless.");
}

void bind_discovery(ClassBuilder &cls, State *S) {
    cls.def_static("get_ports", [S]() { return get_ports(*S); });
    cls.def_static("get_port", [S]() { return get_port(*S); })
        .doc(" Autodiscover the serial port for VKL over USB ");
    cls.def_property_readonly("is_connected", [S](nb::handle self) { return is_connected(*S, self); });
    S->is_connected_prop = cls.ns()[S->n_is_connected];
}

void bind_transport(nb::module_ &m, State *S) {
    nb::object module_name = m.attr("__name__");
    ClassBuilder cls("VklOverUsb", module_name);
    bind_connection(cls, S);
    bind_reader(cls, S, module_name);
    bind_writer(cls, S);
    bind_discovery(cls, S);
    S->cls = cls.finish(nb::make_tuple(m.attr("VKL")));
    m.attr("VklOverUsb") = S->cls;
}

void bind_deprecated(nb::module_ &m, State *S) {
    ClassBuilder dep("VKL_over_USB", m.attr("__name__"), nullptr,
                     "Deprecated compatibility name for :class:`VklOverUsb`.");
    dep.def("__init__",
            [S](nb::handle self, nb::handle port, nb::handle connect_on_init, nb::handle logger) {
                deprecated_init(*S, self, port, connect_on_init, logger);
            },
            arg("port") = nb::none(), arg("connect_on_init") = true, arg("logger") = nb::none());
    S->deprecated_cls = dep.finish(nb::make_tuple(S->cls));
    m.attr("VKL_over_USB") = S->deprecated_cls;
}

void bind_exit_hook(State *S) {
    nb::module_::import_("atexit").attr("register")(nb::cpp_function([S]() { stop_all_at_exit(*S); }));
}

} // namespace

VKL_MODULE(vkl_over_usb, m) {
    module_init_common();
    bind_namespace(m);
    State *S = &make_state(m);
    bind_transport(m, S);
    bind_deprecated(m, S);
    bind_exit_hook(S);
    publish_send_entry(*S);
}
