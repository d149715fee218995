// The simulated actuator's telemetry series: a typed column (core/telemetry)
// that behaves as a list of numbers, with the sequence, comparison and buffer
// protocols.  A series stores its values as the twin yields them: an empty
// series takes the kind of its first value (float, int within 64 bits, bool)
// as a typed column, whatever C type the twin gave the field, and becomes a
// list of objects only when it receives values of two kinds.
#pragma once

#include "core/telemetry.hpp"

#include <nanobind/nanobind.h>

namespace vkl::virt {
namespace nb = nanobind;
namespace tel = vkl::telemetry;

struct SeriesObject {
    PyObject_HEAD
    tel::Column *col; // typed storage; nullptr once the series holds other objects
    PyObject *objs;   // list of the values when not typed
    tel::Kind kind;
};

// The series type, made once by make_series_type.  It stays a process-wide
// pointer: the type's slot functions (comparison with another series) get no
// module state, and the identity test is on the native road's hot path.
extern PyTypeObject *g_series_type;

inline bool is_series(PyObject *o) { return Py_TYPE(o) == g_series_type; }

// An empty typed series takes the kind `k` (a twin may declare any field
// with any C type: the first value decides what the series holds).
inline void series_set_kind(SeriesObject *s, tel::Kind k) {
    s->col->retype(k);
    s->kind = k;
}

// A new empty series of kind `k` (new reference), nullptr with an exception set.
PyObject *series_new(tel::Kind k);

// Append without conversion: a value of the column's own type goes into the
// column; the first value of an empty series gives the column its kind; any
// other value turns the series into a list of objects.  Returns -1 with an
// exception set on failure.
int series_append(SeriesObject *s, PyObject *v);

// Make the type `<module>.TelemetrySeries` for module `m` (each import of the
// module makes its own; the last one made is the one the module uses).
void make_series_type(nb::module_ &m);

} // namespace vkl::virt
