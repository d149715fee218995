// Cheap evidence of Python activity inside a stretch of foreign code.
//
// Native code that holds Python-visible state in local variables across a
// call into foreign code (a digital twin's step function, say) must learn
// whether that call ran Python, which could have changed the state.  Two
// signals together cover it:
//   * FrameCount: while a scope is open, every Python frame that the
//     interpreter evaluates (a function, a generator resumed, a class body,
//     code of any thread) bumps `frames`;
//   * dictionary watchers, for changes made from C without a Python frame;
//     make_stores_notify() makes an object's attribute stores reach its
//     dictionary's watchers on interpreters where they otherwise would not.
// Neither is needed for memory safety: they only decide whether cached state
// may be trusted.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vkl::pyact {

// Python frames entered while a FrameCount scope was open (any thread).
extern uint64_t frames;

// Counts Python frames for its lifetime.  Scopes nest.  `active()` is false
// when counting could not be set up (another frame evaluator displaced ours
// earlier); callers must then assume that any foreign call may run Python.
// Opened and closed with the interpreter lock held.
//
// `before_python(ctx)`, when given, is called as a Python frame is about to
// run inside the scope (before the frame runs, with the interpreter lock
// held, never from inside itself): the place to bring Python-visible state up
// to date that the caller keeps elsewhere meanwhile.  It must leave no
// exception set.
class FrameCount {
public:
    explicit FrameCount(void (*before_python)(void *) = nullptr, void *ctx = nullptr);
    ~FrameCount();
    FrameCount(const FrameCount &) = delete;
    FrameCount &operator=(const FrameCount &) = delete;
    bool active() const { return active_; }
    // End counting before the scope's end (idempotent).
    void close();

private:
    bool active_ = false;
    void (*before_python_)(void *);
    void *ctx_;
    FrameCount *outer_ = nullptr; // the scope open when this one opened

    friend PyObject *count_frame(PyThreadState *, struct _PyInterpreterFrame *, int);
    friend void run_before_python();
};

// Our own code, called from foreign code inside open scopes with no Python
// frame between (a twin calling a builtin method of ours), is about to read
// or change what they keep elsewhere: their before_python callbacks run, and
// it counts as a frame (it may change anything a frame could).  Does nothing
// outside scopes.
void before_own_code();

// Make attribute stores on `obj` notify the watchers of its instance
// dictionary `dict` (which must be the object's own dictionary, already
// made).  Returns false with no exception when that cannot be ensured.
bool make_stores_notify(PyObject *obj, PyObject *dict);

} // namespace vkl::pyact
