#include "core/serial_native.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <unistd.h>

namespace vkl::serial_native {

namespace {

// The port methods that must be pyserial's own for the native road, in the
// order of PosixPort::own_methods.
constexpr nb::object PosixPort::*kOwnMethods[] = {&PosixPort::n_read, &PosixPort::n_write,
                                                  &PosixPort::n_cancel_read};
static_assert(std::size(kOwnMethods) == std::extent_v<decltype(PosixPort::own_methods)>);

const NameRow<PosixPort> kNames[] = {
    {&PosixPort::n_read, "read"},
    {&PosixPort::n_write, "write"},
    {&PosixPort::n_cancel_read, "cancel_read"},
    {&PosixPort::n_is_open, "is_open"},
    {&PosixPort::n_fd, "fd"},
    {&PosixPort::n_abort_read, "pipe_abort_read_r"},
    {&PosixPort::n_abort_write, "pipe_abort_write_r"},
    {&PosixPort::n_timeout, "_timeout"},
    {&PosixPort::n_write_timeout, "_write_timeout"},
    {&PosixPort::n_serial, "serial"},
    {&PosixPort::n_serialutil, "serialutil"},
};

constexpr const char *DEVICE_GONE = "device reports readiness to read but returned no data "
                                    "(device disconnected or multiple access on port?)";

// Does the class still hold pyserial's own methods (and no class-level
// is_open)?  Checked again only when the class changes.
bool posix_class_untouched(PosixPort &p) {
    PyTypeObject *t = (PyTypeObject *) p.cls.ptr();
    if (t->tp_version_tag != 0 && t->tp_version_tag == p.checked_tag)
        return true;
    for (size_t i = 0; i < std::size(kOwnMethods); ++i) {
        WorkerRef m(PyObject_GetAttr((PyObject *) t, (p.*kOwnMethods[i]).ptr()));
        if (!m) {
            PyErr_Clear();
            return false;
        }
        if (m.get() != p.own_methods[i].ptr())
            return false;
    }
    WorkerRef io(PyObject_GetAttr((PyObject *) t, p.n_is_open.ptr()));
    if (io)
        return false;
    PyErr_Clear();
    if (!has_version_tag(t))
        return false;
    p.write_timeout_plain = _PyType_Lookup(t, p.n_write_timeout.ptr()) == nullptr;
    p.checked_tag = t->tp_version_tag;
    p.seen.clear();
    return t->tp_version_tag != 0;
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
    return x >= 0 && x <= INT_MAX ? (int) x : -1;
}

// A time-out attribute of the port in seconds; negative for None (no limit).
int port_timeout(PyObject *ser, PyObject *name, double *out) {
    WorkerRef v(PyObject_GetAttr(ser, name));
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

// "<what> failed: [Errno n] text", as the serial library words an OSError.
int raise_failed(PosixPort &p, const char *what, int err) {
    std::string msg = std::string(what) + " failed: [Errno " + std::to_string(err) + "] " + std::strerror(err);
    return raise_serial(p, "SerialException", msg.c_str());
}

// bytes from whatever the port's read returned.
PyObject *as_bytes(PyObject *o) {
    if (PyBytes_Check(o))
        return Py_NewRef(o);
    return PyBytes_FromObject(o);
}

// A plain time-out value in seconds (negative for None); false for anything
// whose conversion might run code or fail (an attribute read then decides).
bool plain_timeout(PyObject *v, double *out) {
    if (v == Py_None) {
        *out = -1.0;
        return true;
    }
    double x;
    if (PyFloat_CheckExact(v)) {
        x = PyFloat_AS_DOUBLE(v);
    } else if (PyLong_CheckExact(v)) {
        x = PyLong_AsDouble(v);
        if (x == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    } else {
        return false;
    }
    *out = x < 0 ? 0.0 : x;
    return true;
}

} // namespace

void init_posix_port(PosixPort &p, nb::handle module_globals) {
    p.globals = nb::borrow<nb::dict>(module_globals);
    intern_names(p, kNames);
    // pyserial's POSIX port class and its own methods as imported; without it
    // (another platform) every port takes its own methods.
    try {
        nb::object posix = nb::module_::import_("serial.serialposix");
        nb::object cls = posix.attr("Serial");
        if (PyType_Check(cls.ptr())) {
            for (size_t i = 0; i < std::size(kOwnMethods); ++i)
                p.own_methods[i] = cls.attr(p.*kOwnMethods[i]);
            p.cls = cls;
        }
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
    }
}

Genuine genuine_port(PosixPort &p, PyObject *ser, WriteView *view) {
    if (!p.cls.is_valid() || (PyObject *) Py_TYPE(ser) != p.cls.ptr() || !posix_class_untouched(p))
        return Genuine::No;
    PyObject *d = instance_dict(ser);
    if (!d)
        return Genuine::No;
    uint64_t tag = p.seen.tag_of(d);
    if (const PosixPort::Seen *e = p.seen.find(d, tag)) {
        if (view && e->g == Genuine::Open)
            *view = e->view;
        Py_DECREF(d);
        return e->g;
    }
    PosixPort::Seen now;
    if (!dict_get(d, p.n_read.ptr()) && !dict_get(d, p.n_write.ptr()) && !dict_get(d, p.n_cancel_read.ptr())) {
        PyObject *io = dict_get(d, p.n_is_open.ptr());
        if (io == Py_True)
            now.g = Genuine::Open;
        else if (io == Py_False)
            now.g = Genuine::Closed;
    }
    if (now.g == Genuine::Open) {
        now.view.fd = dict_fd(d, p.n_fd.ptr());
        now.view.cancel = dict_fd(d, p.n_abort_write.ptr());
        PyObject *wt = p.write_timeout_plain ? dict_get(d, p.n_write_timeout.ptr()) : nullptr;
        now.view.have_timeout = wt && plain_timeout(wt, &now.view.timeout);
        if (view)
            *view = now.view;
    }
    if (!PyErr_Occurred())
        p.seen.keep(ser, d, tag, now);
    Py_DECREF(d);
    return now.g;
}

PyObject *serial_class(PosixPort &p, const char *name) {
    PyObject *serial = PyDict_GetItemWithError(p.globals.ptr(), p.n_serial.ptr());
    if (!serial) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", p.n_serial.ptr());
        return nullptr;
    }
    WorkerRef su(PyObject_GetAttr(serial, p.n_serialutil.ptr()));
    if (!su)
        return nullptr;
    return PyObject_GetAttrString(su.get(), name);
}

int raise_serial(PosixPort &p, const char *name, const char *text) {
    WorkerRef cls(serial_class(p, name));
    if (!cls)
        return -1;
    WorkerRef exc(text ? PyObject_CallFunction(cls.get(), "s", text) : PyObject_CallNoArgs(cls.get()));
    if (!exc)
        return -1;
    PyErr_SetObject((PyObject *) Py_TYPE(exc.get()), exc.get());
    return -1;
}

// ---- the worker's reads ------------------------------------------------------

// The port was closed under the reader: its unread input is gone.
void PortReader::closed() {
    fds_.mark_stale();
    ahead_.clear();
    quiet_since_cancel_check_ = false;
}

// Move up to `n` read-ahead bytes of `ser` to `out`; returns the count.
size_t PortReader::take(PyObject *ser, size_t n, std::string &out) {
    if (owner_.get() != ser || !ahead_.size())
        return 0;
    size_t k = n < ahead_.size() ? n : ahead_.size();
    out.append((const char *) ahead_.data(), k);
    ahead_.consume(k);
    return k;
}

int PortReader::read(PyObject *ser, size_t n, std::string &out) {
    Genuine g = genuine_port(port_, ser);
    if (g == Genuine::Closed)
        return raise_serial(port_, "PortNotOpenError", nullptr);
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
int PortReader::read_native(PyObject *ser, size_t n, size_t &got, std::string &out) {
    int fd, cancel;
    {
        PyObject *d = instance_dict(ser);
        if (!d)
            return 1;
        fd = dict_fd(d, port_.n_fd.ptr());
        cancel = dict_fd(d, port_.n_abort_read.ptr());
        Py_DECREF(d);
    }
    if (fd < 0 || cancel < 0)
        return 1;
    if (owner_.get() != ser) {
        ahead_.clear();
        fds_.release();
        owner_.reset(Py_NewRef(ser));
    }
    if (!fds_.holds(fd, cancel)) {
        // A port opened anew: what was read ahead of its last opening went
        // with that opening, as the kernel's buffer did.
        ahead_.clear();
        quiet_since_cancel_check_ = false;
        if (!fds_.adopt(fd, cancel))
            return 1;
    }
    // As with the serial library, a cancel pending when the read begins
    // ends it before it takes anything.  Looked for unless the reader
    // held the interpreter throughout since it last looked and ran no
    // Python code: then no cancel can have been made before this read.
    if (!quiet_since_cancel_check_) {
        switch (serial_port::take_cancel(fds_)) {
        case serial_port::Pending::Closed:
            closed();
            return 0;
        case serial_port::Pending::Cancelled:
            return 0;
        case serial_port::Pending::None:
            quiet_since_cancel_check_ = true;
            break;
        }
    }
    got += take(ser, n - got, out);
    if (got == n)
        return 0;
    double timeout;
    if (port_timeout(ser, port_.n_timeout.ptr(), &timeout) < 0)
        return -1;
    double deadline = timeout < 0 ? 0.0 : serial_port::now() + timeout;
    for (bool first = true;; first = false) {
        serial_port::FillResult res;
        if (first) {
            // What the line holds already is taken without giving up the
            // interpreter: frames that arrived while the last batch was
            // dispatched join it instead of waiting for the next turn.
            res = serial_port::fill(fds_, ahead_, 0.0);
            if (res.kind == serial_port::Fill::Timeout && timeout != 0)
                continue;
        } else {
            double left = timeout < 0 ? -1.0 : deadline - serial_port::now();
            if (left < 0 && timeout >= 0)
                left = 0.0;
            quiet_since_cancel_check_ = false;
            Py_BEGIN_ALLOW_THREADS
            res = serial_port::fill(fds_, ahead_, left);
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
            quiet_since_cancel_check_ = false;
            return 0;
        case serial_port::Fill::Timeout:
            return 0;
        case serial_port::Fill::Again:
            break;
        case serial_port::Fill::NoData:
            return raise_serial(port_, "SerialException", DEVICE_GONE);
        case serial_port::Fill::Failed:
            return raise_failed(port_, "read", res.error);
        }
        if (got == n || (timeout >= 0 && serial_port::now() >= deadline))
            return 0;
    }
}

int PortReader::read_through(PyObject *ser, size_t n, std::string &out) {
    WorkerRef count(PyLong_FromSize_t(n));
    if (!count)
        return -1;
    WorkerRef r(PyObject_CallMethodOneArg(ser, port_.n_read.ptr(), count.get()));
    if (!r)
        return -1;
    WorkerRef b(as_bytes(r.get()));
    if (!b)
        return -1;
    out.append(PyBytes_AS_STRING(b.get()), (size_t) PyBytes_GET_SIZE(b.get()));
    return 0;
}

// ---- the frame writer --------------------------------------------------------

int write_native(PosixPort &p, PyObject *ser, const WriteView &view, const uint8_t *data, size_t len) {
    const int fd = view.fd, cancel = view.cancel;
    if (fd < 0 || cancel < 0)
        return 1;
    double timeout = view.timeout;
    if (!view.have_timeout && port_timeout(ser, p.n_write_timeout.ptr(), &timeout) < 0)
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
                return raise_failed(p, "write", e);
            // The port's buffer is full: the serial library tries again until
            // the time-out, ignoring the cancel pipe meanwhile.
            if (wait(-1, infinite || non_blocking ? -1.0 : left(), 0) < 0 && !serial_port::transient(errno))
                return raise_failed(p, "write", errno);
        } else {
            if (non_blocking)
                return 0;
            if (expired())
                return raise_serial(p, "SerialTimeoutException", "Write timeout");
            int r = wait(cancel, infinite ? -1.0 : left(), infinite ? 1 : 1000);
            if (r == 2)
                return 0;
            if (r < 0) {
                if (!serial_port::transient(errno))
                    return raise_failed(p, "write", errno);
            } else if (r == 0) {
                return raise_serial(p, "SerialTimeoutException", "Write timeout");
            } else {
                data += n;
                len -= (size_t) n;
            }
        }
        if (!non_blocking && expired())
            return raise_serial(p, "SerialTimeoutException", "Write timeout");
    }
    return 0;
}

} // namespace vkl::serial_native
