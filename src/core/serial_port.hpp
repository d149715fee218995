// Native access to an open POSIX serial port (descriptor reads and writes with
// the serial library's own waiting rules).  Plain C++, no Python: the callers
// release the interpreter around the waits and turn the outcomes into the
// library's exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vkl::serial_port {

// Bytes taken from the port before a read asked for them.  Reads are served
// from the front; the kernel's data is appended at the back.
class ReadAhead {
public:
    size_t size() const { return end_ - begin_; }
    const uint8_t *data() const { return buf_.data() + begin_; }
    void consume(size_t n) {
        begin_ += n;
        if (begin_ == end_)
            begin_ = end_ = 0;
    }
    void clear() { begin_ = end_ = 0; }
    // Room for at least `n` more bytes at the back.
    uint8_t *room(size_t n);
    size_t room_size() const { return buf_.size() - end_; }
    void commit(size_t n) { end_ += n; }

private:
    std::vector<uint8_t> buf_;
    size_t begin_ = 0, end_ = 0;
};

// The descriptors a reader waits on: private duplicates of the port's
// descriptor and of the read end of its cancel pipe.  Duplicates stay valid
// whoever closes the originals, so a wait never touches a descriptor number
// that another thread closed and the system handed out again; the port's
// close shows up as a hang-up of the cancel pipe (its write end goes away).
class ReaderFds {
public:
    ReaderFds() = default;
    ReaderFds(const ReaderFds &) = delete;
    ReaderFds &operator=(const ReaderFds &) = delete;
    ~ReaderFds() { release(); }
    // True when the duplicates are of these two descriptors and still live.
    bool holds(int fd, int cancel_fd) const {
        return fd_ >= 0 && !stale_ && src_fd_ == fd && src_cancel_ == cancel_fd;
    }
    // Duplicate both; false (with errno set) when either cannot be.
    bool adopt(int fd, int cancel_fd);
    void release();
    int fd() const { return fd_; }
    int cancel_fd() const { return cancel_; }
    // Whether the cancel pipe can be read without blocking.
    bool cancel_nonblocking() const { return cancel_nonblocking_; }
    void mark_stale() { stale_ = true; }

private:
    int fd_ = -1, cancel_ = -1;
    int src_fd_ = -1, src_cancel_ = -1;
    bool stale_ = false;
    bool cancel_nonblocking_ = false;
};

// A cancel of the read pending on the cancel pipe (drained when there is one).
enum class Pending { None, Cancelled, Closed };
Pending take_cancel(const ReaderFds &fds);

// What one wait-and-read on the port gave.
enum class Fill {
    Data,      // bytes appended to the read-ahead
    Cancelled, // the cancel pipe was written (and is drained)
    Closed,    // the port was closed meanwhile (cancel pipe hung up)
    Timeout,   // nothing within the time left
    Again,     // interrupted or spurious readiness: wait again
    NoData,    // ready to read, yet the read gave nothing (device gone)
    Failed,    // the read failed; errno in `error`
};

struct FillResult {
    Fill kind;
    int error = 0;
};

// Wait up to `timeout_s` (negative: no limit; 0: do not wait) for the port or
// its cancel pipe, then read what the port holds into `buf`.  The cancel pipe
// is looked at first, as the serial library does.  Never touches Python.
FillResult fill(const ReaderFds &fds, ReadAhead &buf, double timeout_s);

// Seconds on the monotonic clock.
double now();

// Whether an errno from a read or write only means "try again".
bool transient(int err);

// Wait up to `timeout_s` (negative: no limit) until `fd` takes more output or
// `cancel_fd` is readable.  Returns 1 writable, 2 cancelled (the pipe drained
// of at most `drain` bytes), 0 timed out, -1 failed (errno set).
int wait_writable(int fd, int cancel_fd, double timeout_s, size_t drain);

} // namespace vkl::serial_port
