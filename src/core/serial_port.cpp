#include "core/serial_port.hpp"

#include <cerrno>
#include <cmath>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace vkl::serial_port {

namespace {

// Largest chunk taken from the kernel at once: a burst of some hundred frames.
constexpr size_t CHUNK = 16384;

// poll() with a timeout in seconds (negative: none), at the clock's precision
// where the system offers it.
int poll_s(pollfd *fds, nfds_t n, double timeout_s) {
#ifdef __linux__
    if (timeout_s < 0)
        return ppoll(fds, n, nullptr, nullptr);
    timespec ts;
    double whole = std::floor(timeout_s);
    ts.tv_sec = (time_t) whole;
    ts.tv_nsec = (long) ((timeout_s - whole) * 1e9);
    if (ts.tv_nsec >= 1000000000L)
        ts.tv_nsec = 999999999L;
    return ppoll(fds, n, &ts, nullptr);
#else
    int ms = timeout_s < 0 ? -1 : (int) std::ceil(timeout_s * 1000.0);
    return poll(fds, n, ms);
#endif
}

void drain_pipe(int fd, size_t n) {
    uint8_t sink[1000];
    if (n > sizeof sink)
        n = sizeof sink;
    ssize_t r;
    do {
        r = ::read(fd, sink, n);
    } while (r < 0 && errno == EINTR);
}

int dup_cloexec(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, 0); }

} // namespace

uint8_t *ReadAhead::room(size_t n) {
    if (buf_.size() - end_ < n) {
        // Move what is left to the front before growing.
        if (begin_) {
            size_t left = end_ - begin_;
            for (size_t i = 0; i < left; ++i)
                buf_[i] = buf_[begin_ + i];
            begin_ = 0;
            end_ = left;
        }
        if (buf_.size() - end_ < n)
            buf_.resize(end_ + n);
    }
    return buf_.data() + end_;
}

bool ReaderFds::adopt(int fd, int cancel_fd) {
    release();
    int a = dup_cloexec(fd);
    if (a < 0)
        return false;
    int b = dup_cloexec(cancel_fd);
    if (b < 0) {
        int e = errno;
        ::close(a);
        errno = e;
        return false;
    }
    int flags = fcntl(b, F_GETFL);
    cancel_nonblocking_ = flags >= 0 && (flags & O_NONBLOCK);
    fd_ = a;
    cancel_ = b;
    src_fd_ = fd;
    src_cancel_ = cancel_fd;
    stale_ = false;
    return true;
}

void ReaderFds::release() {
    if (fd_ >= 0)
        ::close(fd_);
    if (cancel_ >= 0)
        ::close(cancel_);
    fd_ = cancel_ = src_fd_ = src_cancel_ = -1;
    stale_ = false;
}

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double) ts.tv_sec + (double) ts.tv_nsec * 1e-9;
}

bool transient(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EALREADY || err == EINPROGRESS || err == EINTR;
}

Pending take_cancel(const ReaderFds &fds) {
    if (!fds.cancel_nonblocking()) {
        pollfd p = {fds.cancel_fd(), POLLIN, 0};
        if (poll_s(&p, 1, 0.0) <= 0 || !p.revents)
            return Pending::None;
    }
    uint8_t sink[1000];
    for (;;) {
        ssize_t r = ::read(fds.cancel_fd(), sink, sizeof sink);
        if (r > 0)
            return Pending::Cancelled;
        if (r == 0)
            return Pending::Closed;
        if (errno != EINTR)
            return Pending::None;
    }
}

FillResult fill(const ReaderFds &fds, ReadAhead &buf, double timeout_s) {
    pollfd p[2] = {{fds.fd(), POLLIN, 0}, {fds.cancel_fd(), POLLIN, 0}};
    int r = poll_s(p, 2, timeout_s);
    if (r < 0) {
        if (transient(errno))
            return {Fill::Again};
        return {Fill::Failed, errno};
    }
    if (r == 0)
        return {Fill::Timeout};
    if (p[1].revents & POLLIN) {
        drain_pipe(fds.cancel_fd(), 1000);
        return {Fill::Cancelled};
    }
    if (p[1].revents)
        return {Fill::Closed};
    if (!p[0].revents)
        return {Fill::Again};
    // Readiness of any kind (data, hang-up, error) is answered by a read, whose
    // result tells which it was.
    uint8_t *dst = buf.room(CHUNK);
    ssize_t n = ::read(fds.fd(), dst, buf.room_size());
    if (n < 0) {
        if (transient(errno))
            return {Fill::Again};
        return {Fill::Failed, errno};
    }
    if (n == 0)
        return {Fill::NoData};
    buf.commit((size_t) n);
    return {Fill::Data};
}

int wait_writable(int fd, int cancel_fd, double timeout_s, size_t drain) {
    for (;;) {
        pollfd p[2] = {{cancel_fd, POLLIN, 0}, {fd, POLLOUT, 0}};
        int r = poll_s(p, 2, timeout_s);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            return 0;
        if (p[0].revents & POLLIN) {
            drain_pipe(cancel_fd, drain);
            return 2;
        }
        return 1;
    }
}

} // namespace vkl::serial_port
