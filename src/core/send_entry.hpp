// A transport's frame writer as a C-level entry point, so that a sibling
// module can send a command without a round of Python-level dispatch.
//
// The serial transport publishes one SendEntry per import in the
// interpreter's own dictionary (PyInterpreterState_GetDict) under
// kSendEntryKey, as a capsule of that name; the physical actuator takes it
// there once it exists.  The dictionary is the interpreter's private store
// for extension modules, out of reach of Python code, so nothing of the
// modules' Python surface changes.  The entry and what it points to live as
// long as the process.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vkl {

inline constexpr const char *kSendEntryKey = "vkl_api.vkl_over_usb.send_entry";
inline constexpr int kSendEntryVersion = 1;

struct SendEntry {
    int version; // kSendEntryVersion of the publisher
    // transport.send_VKL(address, payload, can_high_speed=can_high_speed)
    // exactly as the transport's own send_VKL runs it, for a transport whose
    // send_VKL is found to be that method (the entry decides): `payload` is
    // the list `list` when it is given, else the `n` bytes at `bytes` (a list
    // of them is made only where Python code is to see one).  Returns 1 when
    // it ran (*result: a new reference to send_VKL's result), -1 when it
    // raised (the exception set), and 0 when the transport is not one it
    // serves: then nothing was done and the caller makes the Python call.
    int (*send)(void *ctx, PyObject *transport, PyObject *address, PyObject *list, const uint8_t *bytes, size_t n,
                PyObject *can_high_speed, PyObject **result);
    void *ctx;
};

} // namespace vkl
