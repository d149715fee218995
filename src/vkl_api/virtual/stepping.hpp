// The stepping machinery of the simulated actuator (see stepping.cpp): the
// operations the actuator class binds, and the generic tick.
#pragma once

#include "virtual/state.hpp"

namespace vkl::virt {

// ---- the stepping machinery's own operations ---------------------------------
// self._require_actuator(): the bound twin, ValueError when there is none.
nb::object require_actuator(State &S, nb::handle self);
// The twin reports itself initialised (its `_initialized`, False when absent).
bool twin_initialized(State &S, nb::handle twin);
// self._read_path(path): a twin field by its dotted path, as a float.
nb::object read_path(State &S, nb::handle self, nb::handle path);
// self._get_item_value(item): one feedback item's value from the twin.
nb::object get_item_value(State &S, nb::handle self, nb::handle item);
// self._build_feedback_snapshot(): every configured item's value.
nb::object build_snapshot(State &S, nb::handle self);
// self._should_emit_feedback(): the callback is due after this tick.
bool should_emit(State &S, nb::handle self);
// self._emit_callback(callback, address, payload).
void emit_callback(nb::handle callback, nb::handle address, nb::handle payload);

// ---- the generic tick -------------------------------------------------------------
// The rest of a tick after the twin's step: the row, the count, the
// snapshot and the callback, through the instance's own operations.
void generic_after_step(State &S, nb::handle self);
// One tick through the instance's own operations.
void generic_tick(State &S, nb::handle self);

} // namespace vkl::virt
