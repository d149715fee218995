#include "core/python_activity.hpp"

namespace vkl::pyact {

uint64_t frames = 0;

namespace {

// PEP 523 frame evaluation: _PyInterpreterState_GetEvalFrameFunc,
// _PyInterpreterState_SetEvalFrameFunc (Include/cpython/pystate.h) and
// _PyEval_EvalFrameDefault (Include/cpython/ceval.h) are CPython's unstable,
// underscore-named interface for this; they exist unchanged from 3.9 to 3.13.
// Ours counts and hands the frame on to whatever evaluator was in place when
// counting started (the default one, or a debugger's, a profiler's), so
// nothing else changes while it is installed.  It is installed only while a
// scope is open, so code outside native runs never pays for it.
_PyFrameEvalFunction g_prev = nullptr;
PyInterpreterState *g_interp = nullptr; // where the outermost open scope installed ours
int g_depth = 0;
bool g_displaced = false;          // someone replaced our evaluator while it was in place
FrameCount *g_innermost = nullptr; // the open scopes, innermost first through outer_
bool g_in_before = false;          // a before_python callback is running

} // namespace

// A frame, or our own code, is about to run inside the open scopes.
void run_before_python() {
    ++frames;
    if (!g_in_before) {
        g_in_before = true;
        for (FrameCount *c = g_innermost; c; c = c->outer_)
            if (c->before_python_)
                c->before_python_(c->ctx_);
        g_in_before = false;
    }
}

PyObject *count_frame(PyThreadState *ts, struct _PyInterpreterFrame *f, int throwflag) {
    run_before_python();
    return g_prev(ts, f, throwflag);
}

void before_own_code() {
    if (g_innermost)
        run_before_python();
}

FrameCount::FrameCount(void (*before_python)(void *), void *ctx) : before_python_(before_python), ctx_(ctx) {
    if (g_displaced)
        return;
    PyInterpreterState *interp = PyInterpreterState_Get();
    if (g_depth == 0) {
        _PyFrameEvalFunction cur = _PyInterpreterState_GetEvalFrameFunc(interp);
        if (cur == count_frame) {
            // Left in place by a scope whose removal found another evaluator
            // on top: cannot tell whose chain this is any more.
            g_displaced = true;
            return;
        }
        g_prev = cur;
        g_interp = interp;
        _PyInterpreterState_SetEvalFrameFunc(interp, count_frame);
    } else if (interp != g_interp || _PyInterpreterState_GetEvalFrameFunc(interp) != count_frame) {
        return; // replaced under an open scope (or another interpreter's): frames here would go uncounted
    }
    ++g_depth;
    active_ = true;
    outer_ = g_innermost;
    g_innermost = this;
}

FrameCount::~FrameCount() { close(); }

void FrameCount::close() {
    if (!active_)
        return;
    active_ = false;
    // Scopes close innermost first; unlink this one wherever it is.
    for (FrameCount **p = &g_innermost; *p; p = &(*p)->outer_)
        if (*p == this) {
            *p = outer_;
            break;
        }
    if (--g_depth > 0)
        return;
    PyInterpreterState *interp = g_interp;
    if (_PyInterpreterState_GetEvalFrameFunc(interp) == count_frame)
        _PyInterpreterState_SetEvalFrameFunc(interp, g_prev);
    else
        g_displaced = true; // the newer evaluator may chain to ours: leave both
}

bool make_stores_notify(PyObject *obj, PyObject *dict) {
    // CPython 3.13.0 stores attributes of an object whose dictionary still
    // shares the object's inline values without telling the dictionary's
    // watchers (fixed in 3.13.1, python/cpython#125608).  Giving the object
    // its own dictionary back detaches the inline values (the dictionary
    // keeps its identity and contents), after which every store goes through
    // the dictionary and is seen.
    if (Py_Version >= 0x030D0100 || !PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_INLINE_VALUES))
        return true;
    if (!PyDict_CheckExact(dict))
        return false;
    // Still sharing: a split table whose values are the ones placed right
    // after the object's fixed part (CPython 3.13's layout of inline values).
    // A wrong guess here only costs one more detaching call.
    auto *d = (PyDictObject *) dict;
    if (d->ma_values == nullptr || (char *) d->ma_values != (char *) obj + Py_TYPE(obj)->tp_basicsize)
        return true;
    // Through the class's own `__dict__` descriptor (the interpreter's, not
    // one a class put there): only it detaches; PyObject_GenericSetDict just
    // stores the pointer.
    static PyObject *name = PyUnicode_InternFromString("__dict__");
    if (!name) {
        PyErr_Clear();
        return false;
    }
    PyObject *descr = _PyType_Lookup(Py_TYPE(obj), name);
    if (!descr || Py_TYPE(descr) != &PyGetSetDescr_Type || PyObject_SetAttr(obj, name, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

} // namespace vkl::pyact
