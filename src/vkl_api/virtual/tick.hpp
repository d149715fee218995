// The ticks of the simulated actuator's `step` (see tick.cpp): the run of
// its ticks, each on the native road where it applies, and the checks a
// one-tick call makes around it.
#pragma once

#include "virtual/state.hpp"

namespace vkl::virt {

// `self._ensure_initialized()` would do nothing now (see tick.cpp); then the
// load (when not null) is stored as `step` stores it.
bool initialized_now(State &S, PyObject *self, PyObject *load);
// dict(self._latest_feedback), as `step` returns it.
nb::object latest_feedback(State &S, nb::handle self);
// `n` ticks, each on the native road where it applies, else on the generic one.
void run_ticks(State &S, nb::handle self, long long n);

} // namespace vkl::virt
