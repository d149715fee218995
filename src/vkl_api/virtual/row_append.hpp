// The log row append of the simulated actuator (see row_append.cpp).
#pragma once

#include "virtual/state.hpp"

namespace vkl::virt {

// log._append(act): one row of the twin's fields (and its time) into the log.
void log_append_generic(State &S, nb::handle self, nb::handle act);

} // namespace vkl::virt
