// One tick of the simulated actuator on both roads (see tick.cpp): the
// operations of the stepping machinery that the actuator class binds, and
// the run of `step`'s ticks.
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
// log._append(act): one row of the twin's fields (and its time) into the log.
void log_append_generic(State &S, nb::handle self, nb::handle act);

// ---- stepping -------------------------------------------------------------------
// `self._ensure_initialized()` would do nothing now (see tick.cpp); then the
// load (when not null) is stored as `step` stores it.
bool initialized_now(State &S, PyObject *self, PyObject *load);
// dict(self._latest_feedback), as `step` returns it.
nb::object latest_feedback(State &S, nb::handle self);
// `n` ticks, each on the native road where it applies, else on the generic one.
void run_ticks(State &S, nb::handle self, long long n);

// The dictionary watcher of the native road's after-step test; -1 when the
// interpreter has no watcher left (every native tick is then checked in full).
int add_dict_watcher();

} // namespace vkl::virt
