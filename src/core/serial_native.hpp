// The serial transport's native road to pyserial's own POSIX port: the test
// that a port object is that class untouched, the polling worker's reads
// (served from a read-ahead filled from the descriptor without the
// interpreter lock) and the frame writer's one write to the descriptor, with
// pyserial's waiting rules, time-outs and exception texts.
//
// Uses the interpreter's API (it reads the port's instance dict and raises
// pyserial's exceptions); the descriptor work itself is in serial_port.*.
// The code here runs on the polling worker, so its owned references are
// WorkerRef (see there), written against the C API's return-code convention.
#pragma once

#include "core/attr_cache.hpp"
#include "core/pyutil.hpp"
#include "core/serial_port.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vkl::serial_native {

// The owned reference of the polling worker's code.  The worker is a daemon
// thread: at interpreter exit the interpreter stops it where it stands, and
// in 3.13 a thread that then asks for the interpreter lock is unwound (its
// C++ destructors run) without a thread state.  nb::object would release its
// object there, touching an interpreter that is being finalised; a WorkerRef
// releases only while this thread holds the interpreter, and otherwise lets
// the object go with the interpreter.  Nothing but the worker's code (and
// the functions it shares with the bindings) uses it.
class WorkerRef {
public:
    WorkerRef() = default;
    explicit WorkerRef(PyObject *o) : p_(o) {}
    WorkerRef(const WorkerRef &) = delete;
    WorkerRef &operator=(const WorkerRef &) = delete;
    ~WorkerRef() { reset(); }
    void reset(PyObject *o = nullptr) {
        // A thread that holds the interpreter has a thread state attached.
        if (p_ && PyThreadState_GetUnchecked())
            Py_DECREF(p_);
        p_ = o;
    }
    PyObject *get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject *p_ = nullptr;
};

// The state of a port object, read from its instance dict: not genuine (its
// own methods must be used), or pyserial's own class untouched, closed or open.
enum class Genuine { No, Closed, Open };
// What the writer needs of an open genuine port, read in the same look at its
// instance dict: the descriptors (-1: not a plain number) and the write
// time-out when it is a plain value (seconds, negative for None).
struct WriteView {
    int fd = -1, cancel = -1;
    bool have_timeout = false;
    double timeout = 0.0;
};

// pyserial's POSIX port class as imported, its own methods, and the names the
// native road reads of a port.  Filled once when the transport module is
// imported and kept for the life of the process.
struct PosixPort {
    nb::dict globals;            // the transport module's namespace (`serial` is read there at call time)
    nb::object cls;              // serial.serialposix.Serial; null where there is none
    nb::object own_methods[3];   // its read, write and cancel_read, in the order of kOwnMethods
    unsigned int checked_tag = 0; // class version at which they were last found in place
    // At that version: the class has no `_write_timeout` of its own, so the
    // instance's is what an attribute read gives.
    bool write_timeout_plain = false;

    nb::object n_read, n_write, n_cancel_read, n_is_open, n_fd, n_abort_read, n_abort_write, n_timeout,
        n_write_timeout, n_serial, n_serialutil;

    // What genuine_port last read of a few port objects' dictionaries (a
    // writer sending frame after frame reads its port's entries once),
    // forgotten when the class is checked again.
    struct Seen {
        Genuine g = Genuine::No;
        WriteView view; // when g is Open
    };
    DictRecords<Seen> seen;
};

// Interns the names and takes pyserial's POSIX class, if the platform has one.
void init_posix_port(PosixPort &p, nb::handle module_globals);

// The state of the port object `ser`, and for an open genuine port what the
// writer needs of it in `view` (when given).
Genuine genuine_port(PosixPort &p, PyObject *ser, WriteView *view = nullptr);

// serial.serialutil.<name> through the module's `serial` at call time: a new
// reference, or null with an exception set.
PyObject *serial_class(PosixPort &p, const char *name);
// Raise serial.serialutil.<name>(text) (text null: no argument).  Returns -1.
int raise_serial(PosixPort &p, const char *name, const char *text);

// Write the whole frame as the genuine open port's write(frame) would: one
// write to the descriptor, then waits and retries under its write time-out.
// `view` is what genuine_port found.  Returns 0, -1 with an exception set, or
// 1 when the descriptors are not usable (nothing written; the port's own
// write then decides).
int write_native(PosixPort &p, PyObject *ser, const WriteView &view, const uint8_t *data, size_t len);

// The worker's reads.  On a genuine port it takes whatever the port holds
// into a read-ahead and serves each read(n) from there, waiting (without the
// interpreter) only when the read-ahead cannot satisfy it; bytes read ahead
// belong to the port object they came from and are served to the reads made
// of that object, whichever road those take.
class PortReader {
public:
    explicit PortReader(PosixPort &p) : port_(p) {}

    // The worker ran Python code or gave up the interpreter since the last
    // read (see read_native).
    void python_may_have_run() { quiet_since_cancel_check_ = false; }

    // Append to `out` what ser.read(n) would return.  0, or -1 with an
    // exception set.
    int read(PyObject *ser, size_t n, std::string &out);

private:
    void closed();
    size_t take(PyObject *ser, size_t n, std::string &out);
    int read_native(PyObject *ser, size_t n, size_t &got, std::string &out);
    int read_through(PyObject *ser, size_t n, std::string &out);

    PosixPort &port_;
    WorkerRef owner_; // the port object the read-ahead holds bytes of
    serial_port::ReadAhead ahead_;
    serial_port::ReaderFds fds_;
    // Whether, since the cancel pipe was last found empty, this thread kept
    // the interpreter and ran no Python code (see read_native).
    bool quiet_since_cancel_check_ = false;
};

} // namespace vkl::serial_native
