// Serial transport to the USB adapter: frame writer, polling reader and
// dispatch, connection lifecycle and adapter port discovery.
//
// The polling worker is a plain C function (not a nanobind binding) written
// against the C API: it reads through the port object, checks and parses
// frames natively and calls the receive callbacks.  References it holds are
// released only while the thread holds the interpreter (see Ref), so a daemon
// worker that the interpreter stops at exit unwinds without touching objects.
#include "core/frame.hpp"
#include "core/protocol.hpp"
#include "core/pyutil.hpp"
#include "core/serial_port.hpp"

#include <cerrno>
#include <cstring>

#include <string>

namespace nb = nanobind;
using namespace vkl;

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

// Objects that live as long as the interpreter (module dict, our own
// functions, the original protocol functions).
PyObject *g_dict = nullptr;           // module namespace of vkl_over_usb
PyObject *g_process_pkt = nullptr;    // our _process_pkt (function object)
PyObject *g_is_connected = nullptr;   // our is_connected property
PyObject *g_parse_orig = nullptr;     // _protocol.parse_usb_address_flags
PyObject *g_build_orig = nullptr;     // _protocol.build_usb_address_flags
PyObject *g_event_type = nullptr;     // threading.Event
PyTypeObject *g_rlock_type = nullptr; // type of threading.RLock()
PyObject *g_cls = nullptr;            // VklOverUsb
PyObject *g_deprecated_cls = nullptr; // VKL_over_USB
PyObject *g_transport_close = nullptr; // VklTransport.close
PyObject *g_live = nullptr;           // weakref.WeakSet of transports with a started polling thread
PyObject *s_read = nullptr;           // interned "read"

// Owned reference released only while this thread holds the interpreter.
struct Ref {
    PyObject *p = nullptr;
    Ref() = default;
    explicit Ref(PyObject *o) : p(o) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { reset(); }
    void reset(PyObject *o = nullptr) {
        // A thread that holds the interpreter has a thread state attached.
        if (p && PyThreadState_GetUnchecked())
            Py_DECREF(p);
        p = o;
    }
    PyObject *get() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

// An interned attribute name, made once per call site.
#define NAME(text)                                                                                                    \
    ([]() -> PyObject * {                                                                                             \
        static PyObject *interned = PyUnicode_InternFromString(text);                                                 \
        return interned;                                                                                              \
    }())

PyObject *global(PyObject *name) {
    // Borrowed; module attributes are read at call time.
    PyObject *v = PyDict_GetItemWithError(g_dict, name);
    if (!v && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return v;
}

nb::object global_obj(PyObject *name) {
    PyObject *v = global(name);
    if (!v)
        raise_pending();
    return nb::borrow(v);
}

// Truth of getattr(obj, name): 1, 0, or -1 with an exception set.
int attr_truth(PyObject *obj, PyObject *name) {
    Ref v(PyObject_GetAttr(obj, name));
    if (!v)
        return -1;
    return PyObject_IsTrue(v.get());
}

// self.is_connected, natively when the property is ours and the run flag is a
// plain threading.Event.
int is_connected_c(PyObject *self) {
    Ref prop(PyObject_GetAttr((PyObject *) Py_TYPE(self), NAME("is_connected")));
    if (!prop) {
        PyErr_Clear();
    } else if (prop.get() == g_is_connected) {
        Ref ev(PyObject_GetAttr(self, NAME("_polling_thread_event")));
        if (!ev)
            return -1;
        int set;
        if (Py_TYPE(ev.get()) == (PyTypeObject *) g_event_type) {
            set = attr_truth(ev.get(), NAME("_flag"));
        } else {
            Ref r(PyObject_CallMethodNoArgs(ev.get(), NAME("is_set")));
            set = r ? PyObject_IsTrue(r.get()) : -1;
        }
        if (set <= 0)
            return set;
        Ref ser(PyObject_GetAttr(self, NAME("_ser")));
        if (!ser)
            return -1;
        return attr_truth(ser.get(), NAME("is_open"));
    }
    return attr_truth(self, NAME("is_connected"));
}

int attr_long(PyObject *obj, PyObject *name, long *out) {
    Ref v(PyObject_GetAttr(obj, name));
    if (!v)
        return -1;
    long x = PyLong_AsLong(v.get());
    if (x == -1 && PyErr_Occurred())
        return -1;
    *out = x;
    return 0;
}

// bytes from whatever the port's read returned.
PyObject *as_bytes(PyObject *o) {
    if (PyBytes_Check(o))
        return Py_NewRef(o);
    return PyBytes_FromObject(o);
}

// callbacks[address](address, payload, priority_bit): a new reference, or
// null with an exception set.
PyObject *call_registered(PyObject *callbacks, PyObject *address, PyObject *payload, PyObject *priority_bit) {
    Ref cb(PyObject_GetItem(callbacks, address));
    if (!cb)
        return nullptr;
    PyObject *args[3] = {address, payload, priority_bit};
    return PyObject_Vectorcall(cb.get(), args, 3, nullptr);
}

// Call the registered callback under the transport's lock:
//   with self.lock: self.callbacks[address](address, payload, priority_bit)
// `payload` is a new list.  Returns 0, or -1 with an exception set.
int dispatch(PyObject *self, PyObject *address, PyObject *payload, PyObject *priority_bit) {
    Ref callbacks(PyObject_GetAttr(self, NAME("callbacks")));
    if (!callbacks)
        return -1;
    int has = PySequence_Contains(callbacks.get(), address);
    if (has <= 0)
        return has;
    Ref lock(PyObject_GetAttr(self, NAME("lock")));
    if (!lock)
        return -1;
    if (Py_TYPE(lock.get()) == g_rlock_type) {
        // The interpreter's own re-entrant lock: entering and leaving it are
        // its acquire and release, which no one can replace.
        Ref got(PyObject_CallMethodNoArgs(lock.get(), NAME("acquire")));
        if (!got)
            return -1;
        Ref result(call_registered(callbacks.get(), address, payload, priority_bit));
        PyObject *exc = PyErr_GetRaisedException();
        Ref rel(PyObject_CallMethodNoArgs(lock.get(), NAME("release")));
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
    Ref enter(PyObject_GetAttr(lock.get(), NAME("__enter__")));
    if (!enter)
        return -1;
    Ref exit(PyObject_GetAttr(lock.get(), NAME("__exit__")));
    if (!exit)
        return -1;
    Ref entered(PyObject_CallNoArgs(enter.get()));
    if (!entered)
        return -1;
    Ref result(call_registered(callbacks.get(), address, payload, priority_bit));
    if (result) {
        Ref r(PyObject_CallFunctionObjArgs(exit.get(), Py_None, Py_None, Py_None, nullptr));
        return r ? 0 : -1;
    }
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *tb = PyException_GetTraceback(exc);
    Ref r(PyObject_CallFunctionObjArgs(exit.get(), (PyObject *) Py_TYPE(exc), exc, tb ? tb : Py_None, nullptr));
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
// parser is the protocol's own; otherwise through it, unpacked into three.
int parse_flags(uint32_t word, Ref &address, Ref &priority) {
    PyObject *parser = global(NAME("parse_usb_address_flags"));
    if (!parser)
        return -1;
    if (parser == g_parse_orig) {
        frame::FlagWord f = frame::parse_flags(word);
        address.reset(PyLong_FromUnsignedLong(f.address));
        priority.reset(PyLong_FromLong(f.priority));
        return address && priority ? 0 : -1;
    }
    Ref w(PyLong_FromUnsignedLong(word));
    if (!w)
        return -1;
    Ref res(PyObject_CallOneArg(parser, w.get()));
    if (!res)
        return -1;
    Ref it(PyObject_GetIter(res.get()));
    if (!it)
        return -1;
    Ref items[3];
    for (int i = 0; i < 3; ++i) {
        items[i].reset(PyIter_Next(it.get()));
        if (!items[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", i);
            return -1;
        }
    }
    Ref extra(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
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
int close_port(PyObject *self, PyObject *ser) {
    Ref lock(PyObject_GetAttr(self, NAME("_port_lock")));
    if (!lock) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        Ref r(PyObject_CallMethodNoArgs(ser, NAME("close")));
        return r ? 0 : -1;
    }
    Ref got(PyObject_CallMethodNoArgs(lock.get(), NAME("acquire")));
    if (!got)
        return -1;
    Ref r(PyObject_CallMethodNoArgs(ser, NAME("close")));
    PyObject *exc = PyErr_GetRaisedException();
    Ref rel(PyObject_CallMethodNoArgs(lock.get(), NAME("release")));
    if (exc) {
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return -1;
    }
    return rel ? 0 : -1;
}

// serial.serialutil.<name>, looked up at call time through the module's
// `serial`: a new reference, or null with an exception set.
PyObject *serial_class(const char *name) {
    PyObject *serial = global(NAME("serial"));
    if (!serial)
        return nullptr;
    Ref su(PyObject_GetAttr(serial, NAME("serialutil")));
    if (!su)
        return nullptr;
    return PyObject_GetAttrString(su.get(), name);
}

// Exceptions that end the polling loop.
int is_stop_exception(PyObject *exc) {
    if (PyErr_GivenExceptionMatches(exc, PyExc_KeyboardInterrupt))
        return 1;
    for (const char *n : {"PortNotOpenError", "SerialException"}) {
        Ref t(serial_class(n)); // only on the way out of the loop
        if (!t)
            return -1;
        if (PyErr_GivenExceptionMatches(exc, t.get()))
            return 1;
    }
    return 0;
}

// Is self._process_pkt our own method (not replaced by a subclass or the instance)?
int process_pkt_is_ours(PyObject *self) {
    PyTypeObject *t = Py_TYPE(self);
    if (t->tp_getattro == PyObject_GenericGetAttr) {
        // Plain attribute lookup: ours when the instance holds no such name
        // and the class finds our function.
        PyObject *d = instance_dict(self);
        bool shadowed = d && dict_get(d, NAME("_process_pkt"));
        Py_XDECREF(d);
        if (shadowed)
            return 0;
        Ref f(PyObject_GetAttr((PyObject *) t, NAME("_process_pkt")));
        if (!f)
            return -1;
        if (f.get() == g_process_pkt)
            return 1;
    }
    Ref m(PyObject_GetAttr(self, NAME("_process_pkt")));
    if (!m)
        return -1;
    return PyMethod_Check(m.get()) && PyMethod_GET_FUNCTION(m.get()) == g_process_pkt &&
           PyMethod_GET_SELF(m.get()) == self;
}

// ---- native road to pyserial's own POSIX port ---------------------------------
// When the port object is pyserial's platform class, untouched, the worker and
// the writer use its descriptor directly: the same reads and writes with the
// same waiting rules, time-outs, wake-up and exception texts, without a round
// trip through the interpreter per byte count.  Any other port object (a fake,
// a subclass, a patched method) is driven through its own methods.

PyTypeObject *g_posix_serial = nullptr;    // serial.serialposix.Serial
PyObject *g_posix_methods[3] = {};         // its read, write and cancel_read
unsigned int g_posix_serial_tag = 0;       // class version at which they were checked
PyObject *s_write = nullptr, *s_cancel_read = nullptr, *s_is_open = nullptr, *s_fd = nullptr,
         *s_abort_read = nullptr, *s_abort_write = nullptr, *s_timeout = nullptr, *s_write_timeout = nullptr;

// Does the class still hold pyserial's own methods (and no class-level
// is_open)?  Checked again only when the class changes.
bool posix_class_untouched() {
    PyTypeObject *t = g_posix_serial;
    if (t->tp_version_tag != 0 && t->tp_version_tag == g_posix_serial_tag)
        return true;
    PyObject *names[3] = {s_read, s_write, s_cancel_read};
    for (int i = 0; i < 3; ++i) {
        PyObject *m = PyObject_GetAttr((PyObject *) t, names[i]);
        if (!m) {
            PyErr_Clear();
            return false;
        }
        bool same = m == g_posix_methods[i];
        Py_DECREF(m);
        if (!same)
            return false;
    }
    PyObject *io = PyObject_GetAttr((PyObject *) t, s_is_open);
    if (io) {
        Py_DECREF(io);
        return false;
    }
    PyErr_Clear();
    if (!PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) && !PyUnstable_Type_AssignVersionTag(t))
        return false;
    g_posix_serial_tag = t->tp_version_tag;
    return t->tp_version_tag != 0;
}

// The state of a genuine port, read from its instance dict: not genuine (the
// port's own methods must be used), closed, or open.
enum class Genuine { No, Closed, Open };

Genuine genuine_port(PyObject *ser) {
    if (!g_posix_serial || Py_TYPE(ser) != g_posix_serial || !posix_class_untouched())
        return Genuine::No;
    PyObject *d = instance_dict(ser);
    if (!d)
        return Genuine::No;
    Genuine g = Genuine::No;
    if (!dict_get(d, s_read) && !dict_get(d, s_write) && !dict_get(d, s_cancel_read)) {
        PyObject *io = dict_get(d, s_is_open);
        if (io == Py_True)
            g = Genuine::Open;
        else if (io == Py_False)
            g = Genuine::Closed;
    }
    Py_DECREF(d);
    return g;
}

// A descriptor held in the port's instance dict: its number, or -1 when it is
// not a plain non-negative int (a port being closed, say).
int dict_fd(PyObject *d, PyObject *name) {
    PyObject *v = dict_get(d, name);
    long x = -1;
    if (v && PyLong_CheckExact(v)) {
        x = PyLong_AsLong(v);
        if (x == -1 && PyErr_Occurred())
            PyErr_Clear();
    }
    return x >= 0 && x <= INT32_MAX ? (int) x : -1;
}

int port_fd(PyObject *ser, PyObject *name) {
    PyObject *d = instance_dict(ser);
    if (!d)
        return -1;
    int fd = dict_fd(d, name);
    Py_DECREF(d);
    return fd;
}

// A time-out attribute of the port in seconds; negative for None (no limit).
int port_timeout(PyObject *ser, PyObject *name, double *out) {
    Ref v(PyObject_GetAttr(ser, name));
    if (!v)
        return -1;
    if (v.get() == Py_None) {
        *out = -1.0;
        return 0;
    }
    double x = PyFloat_AsDouble(v.get());
    if (x == -1.0 && PyErr_Occurred())
        return -1;
    *out = x < 0 ? 0.0 : x;
    return 0;
}

// Raise serial.serialutil.<name>(text) (text null: no argument).  Returns -1.
int raise_serial(const char *name, const char *text) {
    Ref cls(serial_class(name));
    if (!cls)
        return -1;
    Ref exc(text ? PyObject_CallFunction(cls.get(), "s", text) : PyObject_CallNoArgs(cls.get()));
    if (!exc)
        return -1;
    PyErr_SetObject((PyObject *) Py_TYPE(exc.get()), exc.get());
    return -1;
}

// "<what> failed: [Errno n] text", as the serial library words an OSError.
int raise_failed(const char *what, int err) {
    std::string msg = std::string(what) + " failed: [Errno " + std::to_string(err) + "] " + std::strerror(err);
    return raise_serial("SerialException", msg.c_str());
}

constexpr const char *DEVICE_GONE = "device reports readiness to read but returned no data "
                                    "(device disconnected or multiple access on port?)";

// The worker's reads.  On a genuine port it takes whatever the port holds
// into a read-ahead and serves each read(n) from there, waiting (without the
// interpreter) only when the read-ahead cannot satisfy it; bytes read ahead
// belong to the port object they came from and are served to the reads made
// of that object, whichever road those take.
struct PortReader {
    Ref owner; // the port object the read-ahead holds bytes of
    serial_port::ReadAhead ahead;
    serial_port::ReaderFds fds;

    // Whether, since the cancel pipe was last found empty, this thread kept
    // the interpreter and ran no Python code (see read_native).
    bool quiet_since_cancel_check = false;
    void python_may_have_run() { quiet_since_cancel_check = false; }

    // The port was closed under the reader: its unread input is gone.
    void closed() {
        fds.mark_stale();
        ahead.clear();
        quiet_since_cancel_check = false;
    }

    // Move up to `n` read-ahead bytes of `ser` to `out`; returns the count.
    size_t take(PyObject *ser, size_t n, std::string &out) {
        if (owner.get() != ser || !ahead.size())
            return 0;
        size_t k = n < ahead.size() ? n : ahead.size();
        out.append((const char *) ahead.data(), k);
        ahead.consume(k);
        return k;
    }

    // Append to `out` what ser.read(n) would return.  0, or -1 with an
    // exception set.
    int read(PyObject *ser, size_t n, std::string &out) {
        Genuine g = genuine_port(ser);
        if (g == Genuine::Closed)
            return raise_serial("PortNotOpenError", nullptr);
        size_t got = 0;
        if (g == Genuine::Open) {
            int r = read_native(ser, n, got, out);
            if (r <= 0)
                return r;
        }
        got += take(ser, n - got, out);
        if (got == n)
            return 0;
        return read_through(ser, n - got, out);
    }

    // Returns 0 done, -1 error, 1 when the descriptors are not usable (the
    // port's own read then decides).
    int read_native(PyObject *ser, size_t n, size_t &got, std::string &out) {
        int fd = port_fd(ser, s_fd), cancel = port_fd(ser, s_abort_read);
        if (fd < 0 || cancel < 0)
            return 1;
        if (owner.get() != ser) {
            ahead.clear();
            fds.release();
            owner.reset(Py_NewRef(ser));
        }
        if (!fds.holds(fd, cancel)) {
            // A port opened anew: what was read ahead of its last opening went
            // with that opening, as the kernel's buffer did.
            ahead.clear();
            quiet_since_cancel_check = false;
            if (!fds.adopt(fd, cancel))
                return 1;
        }
        // As with the serial library, a cancel pending when the read begins
        // ends it before it takes anything.  Looked for unless the reader
        // held the interpreter throughout since it last looked and ran no
        // Python code: then no cancel can have been made before this read.
        if (!quiet_since_cancel_check) {
            switch (serial_port::take_cancel(fds)) {
            case serial_port::Pending::Closed:
                closed();
                return 0;
            case serial_port::Pending::Cancelled:
                return 0;
            case serial_port::Pending::None:
                quiet_since_cancel_check = true;
                break;
            }
        }
        got += take(ser, n - got, out);
        if (got == n)
            return 0;
        double timeout;
        if (port_timeout(ser, s_timeout, &timeout) < 0)
            return -1;
        double deadline = timeout < 0 ? 0.0 : serial_port::now() + timeout;
        for (bool first = true;; first = false) {
            serial_port::FillResult res;
            if (first) {
                // What the line holds already is taken without giving up the
                // interpreter: frames that arrived while the last batch was
                // dispatched join it instead of waiting for the next turn.
                res = serial_port::fill(fds, ahead, 0.0);
                if (res.kind == serial_port::Fill::Timeout && timeout != 0)
                    continue;
            } else {
                double left = timeout < 0 ? -1.0 : deadline - serial_port::now();
                if (left < 0 && timeout >= 0)
                    left = 0.0;
                quiet_since_cancel_check = false;
                Py_BEGIN_ALLOW_THREADS
                res = serial_port::fill(fds, ahead, left);
                Py_END_ALLOW_THREADS
            }
            switch (res.kind) {
            case serial_port::Fill::Data:
                got += take(ser, n - got, out);
                break;
            case serial_port::Fill::Closed:
                closed();
                return 0;
            case serial_port::Fill::Cancelled:
                quiet_since_cancel_check = false;
                return 0;
            case serial_port::Fill::Timeout:
                return 0;
            case serial_port::Fill::Again:
                break;
            case serial_port::Fill::NoData:
                return raise_serial("SerialException", DEVICE_GONE);
            case serial_port::Fill::Failed:
                return raise_failed("read", res.error);
            }
            if (got == n || (timeout >= 0 && serial_port::now() >= deadline))
                return 0;
        }
    }

    int read_through(PyObject *ser, size_t n, std::string &out) {
        Ref count(PyLong_FromSize_t(n));
        if (!count)
            return -1;
        Ref r(PyObject_CallMethodOneArg(ser, s_read, count.get()));
        if (!r)
            return -1;
        Ref b(as_bytes(r.get()));
        if (!b)
            return -1;
        out.append(PyBytes_AS_STRING(b.get()), (size_t) PyBytes_GET_SIZE(b.get()));
        return 0;
    }
};

// Write the whole frame as the genuine port's write(frame) would: one write
// to the descriptor, then waits and retries under the port's write time-out.
// Returns 0, -1 with an exception set, or 1 when the descriptor is not usable.
int write_native(PyObject *ser, const uint8_t *data, size_t len) {
    // Both descriptors from one look at the instance dict (once per frame).
    PyObject *d = instance_dict(ser);
    if (!d)
        return 1;
    int fd = dict_fd(d, s_fd), cancel = dict_fd(d, s_abort_write);
    Py_DECREF(d);
    if (fd < 0 || cancel < 0)
        return 1;
    double timeout;
    if (port_timeout(ser, s_write_timeout, &timeout) < 0)
        return -1;
    const bool infinite = timeout < 0, non_blocking = timeout == 0;
    const double deadline = infinite ? 0.0 : serial_port::now() + timeout;
    auto left = [&] {
        double l = deadline - serial_port::now();
        return l < 0 ? 0.0 : l;
    };
    auto expired = [&] { return !infinite && serial_port::now() >= deadline; };
    // Waits try once without blocking first: the port nearly always takes the
    // frame at once, and then the interpreter is never given up.
    auto wait = [&](int cancel_fd, double limit, size_t drain) {
        int r = serial_port::wait_writable(fd, cancel_fd, 0.0, drain);
        if (r == 0 && limit != 0.0) {
            Py_BEGIN_ALLOW_THREADS
            r = serial_port::wait_writable(fd, cancel_fd, limit, drain);
            Py_END_ALLOW_THREADS
        }
        return r;
    };
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            int e = errno;
            if (!serial_port::transient(e))
                return raise_failed("write", e);
            // The port's buffer is full: the serial library tries again until
            // the time-out, ignoring the cancel pipe meanwhile.
            if (wait(-1, infinite || non_blocking ? -1.0 : left(), 0) < 0 && !serial_port::transient(errno))
                return raise_failed("write", errno);
        } else {
            if (non_blocking)
                return 0;
            if (expired())
                return raise_serial("SerialTimeoutException", "Write timeout");
            int r = wait(cancel, infinite ? -1.0 : left(), infinite ? 1 : 1000);
            if (r == 2)
                return 0;
            if (r < 0) {
                if (!serial_port::transient(errno))
                    return raise_failed("write", errno);
            } else if (r == 0) {
                return raise_serial("SerialTimeoutException", "Write timeout");
            } else {
                data += n;
                len -= (size_t) n;
            }
        }
        if (!non_blocking && expired())
            return raise_serial("SerialTimeoutException", "Write timeout");
    }
    return 0;
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

// One pass of the reader.  Returns 0 (pass done), or -1 with an exception set.
int read_pass(PyObject *self, bool &in_sync, PortReader &rd, std::string &header, std::string &body) {
    rd.python_may_have_run(); // the last pass dispatched, logged or looked attributes up
    Ref ser(PyObject_GetAttr(self, NAME("_ser")));
    if (!ser)
        return -1;
    long hl, start, max_payload, crc;
    if (attr_long(self, NAME("_MSG_HEADER_LENGTH"), &hl) < 0)
        return -1;
    if (attr_long(self, NAME("_MSG_START_BYTE"), &start) < 0)
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
    if ((long) header.size() != hl || hl < 4 || h[0] != start) {
        in_sync = false;
        return 0;
    }
    uint32_t word = frame::read_le16(h + 1);
    Ref address, priority;
    PyObject *parser = global(NAME("parse_usb_address_flags"));
    if (!parser)
        return -1;
    if (parser != g_parse_orig || !plain_class_attr(self, NAME("_MAX_PAYLOAD_SIZE")))
        rd.python_may_have_run();
    if (parse_flags(word, address, priority) < 0)
        return -1;
    long frame_len = h[3];
    if (attr_long(self, NAME("_MAX_PAYLOAD_SIZE"), &max_payload) < 0)
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
    if (attr_long(self, NAME("_CRC_MAGIC_NUMBER"), &crc) < 0)
        return -1;
    const uint8_t *p = (const uint8_t *) body.data();
    Py_ssize_t n = (Py_ssize_t) body.size() - 1;
    if (p[n] != crc) {
        in_sync = false;
        return 0;
    }
    int ours = process_pkt_is_ours(self);
    if (ours < 0)
        return -1;
    if (ours) {
        Ref payload(list_from_bytes(p, n));
        if (!payload)
            return -1;
        return dispatch(self, address.get(), payload.get(), priority.get());
    }
    Ref pkt(PyBytes_FromStringAndSize((const char *) p, n));
    if (!pkt)
        return -1;
    Ref r(PyObject_CallMethod(self, "_process_pkt", "OOO", address.get(), pkt.get(), priority.get()));
    return r ? 0 : -1;
}

PyObject *polling_worker(PyObject *, PyObject *self) {
    try {
        // A worker started by connect() owns the connection while it is the
        // transport's current polling thread; once connect() (called from a
        // callback on this very thread) has started a successor, it leaves the
        // port to that one.
        PyObject *threading = global(NAME("threading"));
        if (!threading)
            return nullptr;
        Ref me(PyObject_CallMethodNoArgs(threading, NAME("current_thread")));
        if (!me)
            return nullptr;
        bool owned = false;
        {
            Ref t(PyObject_GetAttr(self, NAME("_polling_thread")));
            if (!t)
                PyErr_Clear();
            owned = t && t.get() == me.get();
        }
        bool superseded = false;
        bool in_sync = true;
        PortReader reader;
        std::string header, body;
        for (;;) {
            int c = is_connected_c(self);
            if (c < 0)
                return nullptr;
            if (!c)
                break;
            if (owned) {
                Ref t(PyObject_GetAttr(self, NAME("_polling_thread")));
                if (!t)
                    PyErr_Clear();
                if (t && t.get() != me.get()) {
                    superseded = true;
                    break;
                }
            }
            if (read_pass(self, in_sync, reader, header, body) == 0)
                continue;
            PyObject *exc = PyErr_GetRaisedException();
            int stop = is_stop_exception(exc);
            if (stop < 0) {
                Py_DECREF(exc);
                return nullptr;
            }
            if (stop) {
                Py_DECREF(exc);
                Ref ev(PyObject_GetAttr(self, NAME("_polling_thread_event")));
                if (!ev)
                    return nullptr;
                Ref r(PyObject_CallMethodNoArgs(ev.get(), NAME("clear")));
                if (!r)
                    return nullptr;
                continue;
            }
            if (!PyErr_GivenExceptionMatches(exc, PyExc_Exception)) {
                PyErr_SetRaisedException(exc);
                return nullptr;
            }
            Ref text(PyObject_Str(exc));
            Py_DECREF(exc);
            if (!text)
                return nullptr;
            Ref msg(PyUnicode_FromFormat("Error in polling thread: %U", text.get()));
            if (!msg)
                return nullptr;
            Ref logger(PyObject_GetAttr(self, NAME("logger")));
            if (!logger)
                return nullptr;
            Ref r(PyObject_CallMethod(logger.get(), "warning", "O", msg.get()));
            if (!r)
                return nullptr;
            in_sync = false;
        }
        if (!superseded) {
            Ref ser(PyObject_GetAttr(self, NAME("_ser")));
            if (!ser)
                return nullptr;
            if (close_port(self, ser.get()) < 0)
                return nullptr;
        }
        Py_RETURN_NONE;
    } catch (const std::exception &e) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

PyMethodDef worker_def = {"_polling_thread_worker", (PyCFunction) polling_worker, METH_O, nullptr};

// ---- connection lock --------------------------------------------------------
// connect, disconnect, close and enter_bootloader of one transport run one at
// a time.  On the transport's own polling thread (a receive callback calling
// back) they run without it: another thread may hold it while waiting for
// this very thread to end.
bool on_polling_thread(nb::handle self) {
    nb::object t = nb::getattr(self, "_polling_thread", nb::none());
    if (t.is_none())
        return false;
    nb::object cur = global_obj(NAME("threading")).attr("current_thread")();
    return cur.is(t);
}

class ConnectionGuard {
public:
    explicit ConnectionGuard(nb::handle self) {
        if (on_polling_thread(self))
            return;
        lock_ = nb::getattr(self, "_connection_lock");
        lock_.attr("acquire")(); // blocks with the interpreter released
    }
    ~ConnectionGuard() {
        if (!lock_.is_valid())
            return;
        PyObject *exc = PyErr_GetRaisedException();
        PyObject *r = PyObject_CallMethodNoArgs(lock_.ptr(), NAME("release"));
        if (!r)
            PyErr_Clear();
        Py_XDECREF(r);
        PyErr_SetRaisedException(exc);
    }
    ConnectionGuard(const ConnectionGuard &) = delete;
    ConnectionGuard &operator=(const ConnectionGuard &) = delete;

private:
    nb::object lock_;
};

bool connected(nb::handle self) { return truth(nb::getattr(self, "is_connected")); }

// Make a read in progress on the polling thread return now instead of at its
// time-out, once the run flag is clear.  Only for ports that offer it, and
// never on a port that the worker is closing or has closed.
void wake_reader(nb::handle self) {
    nb::object ser = nb::getattr(self, "_ser", nb::none());
    if (ser.is_none() || !nb::hasattr(ser, "cancel_read"))
        return;
    nb::object lock = nb::getattr(self, "_port_lock", nb::none());
    if (lock.is_none())
        return;
    lock.attr("acquire")();
    try {
        if (truth(ser.attr("is_open")))
            ser.attr("cancel_read")();
    } catch (...) {
        lock.attr("release")();
        throw;
    }
    lock.attr("release")();
}

// ---- writer -------------------------------------------------------------------
// self.<name>(arg), looked up through the instance, without a bound method
// object per call.
nb::object call_method(nb::handle self, PyObject *name, nb::handle arg) {
    PyObject *args[2] = {self.ptr(), arg.ptr()};
    PyObject *r = PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!r)
        raise_pending();
    return nb::steal(r);
}

uint8_t byte_value(nb::handle v) {
    Py_ssize_t x = PyNumber_AsSsize_t(v.ptr(), nullptr);
    if (x == -1 && PyErr_Occurred())
        raise_pending();
    if (x < 0 || x > 255)
        raise(PyExc_ValueError, "bytes must be in range(0, 256)");
    return (uint8_t) x;
}

// VKL's own checks, as its class holds them, and the protocol functions they
// call (looked up in the VKL module's namespace at call time).  While an
// instance reaches exactly these, a check is the protocol's range test done
// here, without two rounds of argument dispatch per frame.
PyObject *g_vkl_dict = nullptr;
PyObject *g_check_id_sm = nullptr, *g_check_payload_sm = nullptr;
PyObject *g_valid_address_orig = nullptr, *g_valid_payload_orig = nullptr;

// Does self.<check> reach the class's own static method `sm`, nothing on the
// instance shadowing it, and does the VKL module still hold `fn_orig` under
// `fn`?  Anything else (or a failure along the way) takes the call.
bool own_check(PyObject *self, PyObject *check, PyObject *sm, PyObject *fn, PyObject *fn_orig) {
    PyTypeObject *t = Py_TYPE(self);
    if (!sm || !g_vkl_dict || t->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(t, check) != sm)
        return false;
    PyObject *d = instance_dict(self);
    if (!d)
        return false;
    bool shadowed = dict_get(d, check) != nullptr;
    Py_DECREF(d);
    if (shadowed || PyErr_Occurred())
        return false;
    return dict_get(g_vkl_dict, fn) == fn_orig && !PyErr_Occurred();
}

// self.check_vkl_id_range(address) and self.check_vkl_payload_size(data), by
// their truth.
bool id_in_range(nb::handle self, nb::handle address) {
    if (PyLong_CheckExact(address.ptr()) && own_check(self.ptr(), NAME("check_vkl_id_range"), g_check_id_sm,
                                                      NAME("is_valid_vkl_address"), g_valid_address_orig)) {
        int overflow = 0;
        long long a = PyLong_AsLongLongAndOverflow(address.ptr(), &overflow);
        if (!(a == -1 && PyErr_Occurred()))
            return !overflow && proto::valid_vkl_address(a);
        PyErr_Clear();
    }
    return truth(call_method(self, NAME("check_vkl_id_range"), address));
}

bool payload_fits(nb::handle self, nb::handle data) {
    if (PyList_CheckExact(data.ptr()) && own_check(self.ptr(), NAME("check_vkl_payload_size"), g_check_payload_sm,
                                                   NAME("is_valid_vkl_payload"), g_valid_payload_orig))
        return PyList_GET_SIZE(data.ptr()) <= proto::MAX_PAYLOAD_SIZE;
    return truth(call_method(self, NAME("check_vkl_payload_size"), data));
}

nb::object send_vkl(nb::handle self, nb::handle address_in, nb::handle data_in, nb::handle priority_in,
                    nb::handle hs_in) {
    nb::object address = arg_int(address_in, "address");
    bool priority = truth(priority_in);
    bool hs = truth(hs_in);
    nb::list data = arg_list(data_in, "data");

    if (!id_in_range(self, address)) {
        log(nb::getattr(self, nb::handle(NAME("logger"))), "error", "Invalid VKL ID: " + py_str(address));
        return nb::bool_(false);
    }
    if (!payload_fits(self, data)) {
        log(nb::getattr(self, nb::handle(NAME("logger"))), "warning",
            "Invalid payload length for address " + py_str(address) + " - len " + std::to_string(nb::len(data)));
        return nb::bool_(false);
    }

    // Address-and-flags word, packed as "<H".
    uint16_t word = 0;
    nb::object builder = global_obj(NAME("build_usb_address_flags"));
    nb::object w;
    if (builder.ptr() == g_build_orig && PyLong_CheckExact(address.ptr())) {
        int overflow = 0;
        long long a = PyLong_AsLongLongAndOverflow(address.ptr(), &overflow);
        if (a == -1 && PyErr_Occurred())
            raise_pending();
        // Natively only where the protocol's builder accepts the address; any
        // other value goes to the builder itself, which raises its own error.
        if (!overflow && proto::valid_vkl_address(a)) {
            word = (uint16_t) frame::build_flags((uint32_t) a, priority, hs);
        } else {
            w = builder(address, nb::arg("priority") = nb::bool_(priority), nb::arg("can_high_speed") = nb::bool_(hs));
        }
    } else {
        w = builder(address, nb::arg("priority") = nb::bool_(priority), nb::arg("can_high_speed") = nb::bool_(hs));
        if (PyLong_CheckExact(w.ptr())) {
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(w.ptr(), &overflow);
            if (x == -1 && PyErr_Occurred())
                raise_pending();
            if (!overflow && x >= 0 && x <= 0xFFFF) {
                word = (uint16_t) x;
                w = nb::object();
            }
        }
    }
    if (w.is_valid()) {
        // Anything but a plain int in range: struct decides (and raises its own error).
        nb::object packed = global_obj(NAME("struct")).attr("pack")("<H", w);
        nb::bytes pb = nb::borrow<nb::bytes>(packed);
        const uint8_t *pp = (const uint8_t *) pb.c_str();
        word = frame::read_le16(pp);
    }

    uint8_t start = byte_value(nb::getattr(self, nb::handle(NAME("_MSG_START_BYTE"))));
    Py_ssize_t n = PyList_GET_SIZE(data.ptr());
    if (n > 255)
        raise(PyExc_ValueError, "bytes must be in range(0, 256)");
    // The payload's bytes: plain small ints directly, anything else through
    // the interpreter's own conversion (and its errors).
    uint8_t payload[255];
    bool plain = true;
    for (Py_ssize_t i = 0; i < n && plain; ++i) {
        PyObject *v = PyList_GET_ITEM(data.ptr(), i);
        long x = PyLong_CheckExact(v) ? PyLong_AsLong(v) : -1;
        if (x < 0 || x > 255) {
            PyErr_Clear();
            plain = false;
        } else {
            payload[i] = (uint8_t) x;
        }
    }
    if (!plain) {
        nb::object pbytes = nb::steal(PyBytes_FromObject(data.ptr()));
        if (!pbytes.is_valid())
            raise_pending();
        n = PyBytes_GET_SIZE(pbytes.ptr());
        if (n > 255)
            raise(PyExc_ValueError, "bytes must be in range(0, 256)");
        std::memcpy(payload, PyBytes_AS_STRING(pbytes.ptr()), (size_t) n);
    }
    uint8_t trailer = byte_value(nb::getattr(self, nb::handle(NAME("_CRC_MAGIC_NUMBER"))));
    uint8_t fb[255 + frame::OVERHEAD];
    size_t flen = frame::encode(fb, start, word, payload, (size_t) n, trailer);

    nb::object ser = nb::getattr(self, nb::handle(NAME("_ser")));
    Genuine g = genuine_port(ser.ptr());
    if (g == Genuine::Open) {
        int r = write_native(ser.ptr(), fb, flen);
        if (r < 0)
            raise_pending();
        if (r == 0)
            return nb::bool_(true);
    }
    if (g != Genuine::Closed && truth(ser.attr(nb::handle(NAME("is_open"))))) {
        nb::object frame_obj = nb::steal(PyBytes_FromStringAndSize((const char *) fb, (Py_ssize_t) flen));
        if (!frame_obj.is_valid())
            raise_pending();
        ser.attr(nb::handle(NAME("write")))(frame_obj);
        return nb::bool_(true);
    }
    log(nb::getattr(self, nb::handle(NAME("logger"))), "warning", "Serial port not connected");
    return nb::bool_(false);
}

// ---- lifecycle ------------------------------------------------------------------
void init_transport(nb::handle self, nb::handle port, nb::handle connect_on_init, nb::handle logger) {
    bool do_connect = truth(connect_on_init);
    arg_str_or_none(port, "port");
    nb::object sup = builtins().attr("super")(nb::handle(g_cls), self);
    sup.attr("__init__")(nb::arg("logger") = logger);
    nb::setattr(self, "_port", port);
    nb::object serial = global_obj(NAME("serial"));
    nb::setattr(self, "_ser",
                serial.attr("Serial")(nb::none(), 115200, nb::arg("interCharTimeout") = 0.1, nb::arg("timeout") = 0.8));
    nb::object threading = global_obj(NAME("threading"));
    nb::setattr(self, "_polling_thread_event", threading.attr("Event")());
    nb::setattr(self, "_polling_thread", nb::none());
    nb::setattr(self, "_connection_lock", threading.attr("RLock")());
    nb::setattr(self, "_port_lock", threading.attr("Lock")());
    if (do_connect)
        nb::getattr(self, "connect")(nb::arg("port") = port);
}

nb::object connect(nb::handle self, nb::handle port) {
    arg_str_or_none(port, "port");
    ConnectionGuard guard(self);

    // The previous polling thread closes the port as it ends; wait for it so
    // that it cannot close the port under the new connection.  A receive
    // callback on that thread may itself reconnect meanwhile (it runs outside
    // the connection lock); then the thread it started is stopped in turn.
    for (;;) {
        nb::object old = nb::getattr(self, "_polling_thread", nb::none());
        nb::getattr(self, "disconnect")();
        if (old.is_none())
            break;
        nb::object cur = global_obj(NAME("threading")).attr("current_thread")();
        if (cur.is(old)) {
            // Called from a receive callback: this thread is the old worker,
            // which will leave the port to its successor; close it here.
            nb::object ser = nb::getattr(self, "_ser");
            if (truth(ser.attr("is_open")) && close_port(self.ptr(), ser.ptr()) < 0)
                raise_pending();
            break;
        }
        while (truth(old.attr("is_alive")()))
            old.attr("join")(JOIN_TIMEOUT_S);
        if (nb::getattr(self, "_polling_thread", nb::none()).is(old))
            break;
    }

    if (!port.is_none() && nb::len(port) > 0)
        nb::setattr(self, "_port", port);
    if (!truth(nb::getattr(self, "_port")))
        nb::setattr(self, "_port", global_obj(NAME("VklOverUsb")).attr("get_port")());
    nb::object p = nb::getattr(self, "_port");
    if (!truth(p))
        return nb::bool_(false);

    nb::object ser = nb::getattr(self, "_ser");
    try {
        nb::setattr(ser, "port", p);
        ser.attr("open")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        std::string msg = "Couldn't connect to port " + py_format(p, "") + ": " + py_str(e.value());
        log(nb::getattr(self, "logger"), "error", msg);
        return nb::bool_(false);
    }
    ser.attr("flushInput")();
    ser.attr("flushOutput")();
    ser.attr("read")(ser.attr("in_waiting"));
    nb::getattr(self, "_polling_thread_event").attr("set")();
    nb::object thread = global_obj(NAME("threading"))
                            .attr("Thread")(nb::arg("target") = nb::getattr(self, "_polling_thread_worker"),
                                            nb::arg("daemon") = true);
    nb::setattr(self, "_polling_thread", thread);
    thread.attr("start")();
    nb::handle(g_live).attr("add")(self);
    return nb::bool_(true);
}

void disconnect(nb::handle self) {
    ConnectionGuard guard(self);
    if (!connected(self))
        return;
    nb::getattr(self, "_polling_thread_event").attr("clear")();
    nb::object t = nb::getattr(self, "_polling_thread");
    if (!t.is_none() && truth(t.attr("is_alive")())) {
        // A receive callback that disconnects runs on the polling thread
        // itself, which ends on its own once the callback returns.
        nb::object cur = global_obj(NAME("threading")).attr("current_thread")();
        if (!cur.is(t)) {
            wake_reader(self);
            t.attr("join")(nb::arg("timeout") = JOIN_TIMEOUT_S);
        }
    }
}

// Stop every polling thread still running when the interpreter exits, before
// it finalises: a daemon thread that wakes up during finalisation is torn down
// wherever it stands, callbacks included.
void stop_all_at_exit() {
    PyObject *live = g_live;
    if (!live)
        return;
    PyObject *items = PySequence_List(live);
    if (!items) {
        PyErr_Clear();
        return;
    }
    Py_ssize_t n = PyList_GET_SIZE(items);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *t = PyList_GET_ITEM(items, i);
        try {
            nb::handle self(t);
            nb::object thread = nb::getattr(self, "_polling_thread", nb::none());
            if (thread.is_none() || !truth(thread.attr("is_alive")()))
                continue;
            nb::getattr(self, "_polling_thread_event").attr("clear")();
            wake_reader(self);
            thread.attr("join")(JOIN_TIMEOUT_S);
        } catch (nb::python_error &e) {
            (void) e;
        }
        PyErr_Clear();
    }
    Py_DECREF(items);
}

} // namespace

VKL_MODULE(vkl_over_usb, m) {
    module_init_common();
    nb::object module_name = m.attr("__name__");

    m.attr("threading") = nb::module_::import_("threading");
    m.attr("time") = nb::module_::import_("time");
    m.attr("warnings") = nb::module_::import_("warnings");
    m.attr("serial") = nb::module_::import_("serial");
    nb::module_::import_("serial.tools.list_ports");
    m.attr("logging") = nb::module_::import_("logging");
    m.attr("struct") = nb::module_::import_("struct");
    m.attr("Optional") = nb::module_::import_("typing").attr("Optional");

    import_siblings(m, {{"_vkl", {"VKL"}}, {"_protocol", {"build_usb_address_flags", "parse_usb_address_flags"}}});
    m.attr("logger") = nb::module_::import_("logging").attr("getLogger")(module_name);
    m.attr("ADAPTER_USB_VID") = ADAPTER_USB_VID;
    m.attr("ADAPTER_USB_PID_FIRST") = ADAPTER_USB_PID_FIRST;
    m.attr("ADAPTER_USB_PID_LAST") = ADAPTER_USB_PID_LAST;

    g_dict = nb::handle(m.attr("__dict__")).inc_ref().ptr();
    {
        nb::object vkl_cls = m.attr("VKL");
        nb::object vkl_mod = nb::module_::import_(nb::str(vkl_cls.attr("__module__")).c_str());
        nb::dict ns = nb::borrow<nb::dict>(vkl_mod.attr("__dict__"));
        auto own = [&](PyObject *name) { return Py_XNewRef(_PyType_Lookup((PyTypeObject *) vkl_cls.ptr(), name)); };
        auto keep = [](nb::dict d, const char *name) -> PyObject * {
            return d.contains(name) ? nb::handle(d[name]).inc_ref().ptr() : nullptr;
        };
        g_check_id_sm = own(NAME("check_vkl_id_range"));
        g_check_payload_sm = own(NAME("check_vkl_payload_size"));
        g_valid_address_orig = keep(ns, "is_valid_vkl_address");
        g_valid_payload_orig = keep(ns, "is_valid_vkl_payload");
        g_vkl_dict = ns.inc_ref().ptr();
    }
    s_read = PyUnicode_InternFromString("read");
    g_parse_orig = m.attr("parse_usb_address_flags").inc_ref().ptr();
    g_build_orig = m.attr("build_usb_address_flags").inc_ref().ptr();
    g_event_type = m.attr("threading").attr("Event").inc_ref().ptr();
    g_rlock_type = (PyTypeObject *) nb::handle((PyObject *) Py_TYPE(m.attr("threading").attr("RLock")().ptr())).inc_ref().ptr();
    for (auto [slot, text] : {std::pair{&s_write, "write"}, {&s_cancel_read, "cancel_read"}, {&s_is_open, "is_open"},
                              {&s_fd, "fd"}, {&s_abort_read, "pipe_abort_read_r"},
                              {&s_abort_write, "pipe_abort_write_r"}, {&s_timeout, "_timeout"},
                              {&s_write_timeout, "_write_timeout"}})
        *slot = PyUnicode_InternFromString(text);
    // pyserial's POSIX port class and its own methods as imported; without it
    // (another platform) every port takes its own methods.
    try {
        nb::object posix = nb::module_::import_("serial.serialposix");
        nb::object cls_obj = posix.attr("Serial");
        if (PyType_Check(cls_obj.ptr())) {
            const char *names[3] = {"read", "write", "cancel_read"};
            for (int i = 0; i < 3; ++i)
                g_posix_methods[i] = cls_obj.attr(names[i]).inc_ref().ptr();
            g_posix_serial = (PyTypeObject *) cls_obj.inc_ref().ptr();
        }
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
    }
    g_live = nb::module_::import_("weakref").attr("WeakSet")().release().ptr();
    nb::object vkl_cls = m.attr("VKL");
    g_transport_close = vkl_cls.attr("close").inc_ref().ptr();

    ClassBuilder cls("VklOverUsb", module_name);
    cls.def(
        "__init__",
        [](nb::handle self, nb::handle port, nb::handle connect_on_init, nb::handle logger) {
            init_transport(self, port, connect_on_init, logger);
        },
        arg("port") = nb::none(), arg("connect_on_init") = true, arg("logger") = nb::none());
    cls.def("connect", [](nb::handle self, nb::handle port) { return connect(self, port); },
            arg("port") = nb::none());
    cls.def("disconnect", [](nb::handle self) { disconnect(self); });
    {
        nb::object fn = nb::steal(PyCFunction_NewEx(&worker_def, nullptr, module_name.ptr()));
        if (!fn.is_valid())
            raise_pending();
        cls.attr("_polling_thread_worker",
                 wrap_function(fn, "_polling_thread_worker", "VklOverUsb._polling_thread_worker", module_name,
                               nullptr));
    }
    cls.def(
        "_process_pkt",
        [](nb::handle self, nb::handle address, nb::handle pkt, nb::handle priority_bit) {
            PyObject *payload = PySequence_List(pkt.ptr());
            if (!payload)
                raise_pending();
            Ref keep(payload);
            if (dispatch(self.ptr(), address.ptr(), payload, priority_bit.ptr()) < 0)
                raise_pending();
        },
        arg("address"), arg("pkt"), arg("priority_bit"));
    g_process_pkt = nb::handle(cls.ns()["_process_pkt"]).inc_ref().ptr();
    cls.def("send_VKL", &send_vkl, arg("address"), arg("data"), arg("priority") = true,
            arg("can_high_speed") = false);
    cls.def("enter_bootloader", [](nb::handle self) {
        ConnectionGuard guard(self);
        nb::list payload;
        payload.append(ENTER_BOOTLOADER_ACTION);
        nb::getattr(self, "send_VKL")(0, payload);
        global_obj(NAME("time")).attr("sleep")(BOOTLOADER_PAUSE_S);
        nb::getattr(self, "close")();
    }).doc(" To put the CAN adapter itself into bootloader mode ");
    cls.def("close", [](nb::handle self) {
        ConnectionGuard guard(self);
        nb::handle base_close(g_transport_close);
        base_close(self);
    }).doc("Release the link and its serial port; a second call is harmless.");
    cls.def_static("get_ports", []() {
        nb::object comports = global_obj(NAME("serial")).attr("tools").attr("list_ports").attr("comports");
        nb::object vid_ref = global_obj(NAME("ADAPTER_USB_VID"));
        nb::object lo = global_obj(NAME("ADAPTER_USB_PID_FIRST"));
        nb::object hi = global_obj(NAME("ADAPTER_USB_PID_LAST"));
        nb::list out;
        for (nb::handle p : comports()) {
            nb::object vid = p.attr("vid");
            if (!truth(vid) || !vid.equal(vid_ref))
                continue;
            nb::object pid = p.attr("pid");
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
            out.append(p.attr("device"));
        }
        return out;
    });
    cls.def_static("get_port", []() -> nb::object {
        nb::object ports = global_obj(NAME("VklOverUsb")).attr("get_ports")();
        size_t n = nb::len(ports);
        if (n == 1)
            return nb::object(ports[0]);
        nb::object logger = global_obj(NAME("logger"));
        if (n == 0)
            log(logger, "warning", "No serial ports found");
        else
            log(logger, "warning",
                "Found multiple serial ports. Manually select one. Available ports: " + py_str(ports));
        return nb::str("");
    }).doc(" Autodiscover the serial port for VKL over USB ");
    cls.def_property_readonly("is_connected", [](nb::handle self) -> nb::object {
        if (!truth(nb::getattr(self, "_polling_thread_event").attr("is_set")()))
            return nb::bool_(false);
        return nb::getattr(self, "_ser").attr("is_open");
    });
    g_is_connected = nb::handle(cls.ns()["is_connected"]).inc_ref().ptr();

    nb::object C = cls.finish(nb::make_tuple(vkl_cls));
    g_cls = C.inc_ref().ptr();
    m.attr("VklOverUsb") = C;

    ClassBuilder dep("VKL_over_USB", module_name, nullptr, "Deprecated compatibility name for :class:`VklOverUsb`.");
    dep.def(
        "__init__",
        [](nb::handle self, nb::handle port, nb::handle connect_on_init, nb::handle logger) {
            bool do_connect = truth(connect_on_init);
            arg_str_or_none(port, "port");
            warn_caller(PyExc_FutureWarning, "VKL_over_USB is deprecated; use VklOverUsb instead.");
            nb::object sup = builtins().attr("super")(nb::handle(g_deprecated_cls), self);
            sup.attr("__init__")(nb::arg("port") = port, nb::arg("connect_on_init") = nb::bool_(do_connect),
                                 nb::arg("logger") = logger);
        },
        arg("port") = nb::none(), arg("connect_on_init") = true, arg("logger") = nb::none());
    nb::object D = dep.finish(nb::make_tuple(C));
    g_deprecated_cls = D.inc_ref().ptr();
    m.attr("VKL_over_USB") = D;

    nb::module_::import_("atexit").attr("register")(nb::cpp_function([]() { stop_all_at_exit(); }));
}
