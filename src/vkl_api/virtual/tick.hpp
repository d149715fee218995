// The ticks of the simulated actuator's `step`: the run of its ticks, each on
// the native road where it applies (tick.cpp), and the checks a one-tick call
// makes around it (one_tick.cpp).
#pragma once

#include "virtual/state.hpp"

namespace vkl::virt {

// `self._ensure_initialized()` would do nothing now (see one_tick.cpp); then the
// load (when not null) is stored as `step` stores it.
bool initialized_now(State &S, PyObject *self, PyObject *load);
// dict(self._latest_feedback), as `step` returns it.
nb::object latest_feedback(State &S, nb::handle self);
// `n` ticks, each on the native road where it applies, else on the generic one.
void run_ticks(State &S, nb::handle self, long long n);

} // namespace vkl::virt
