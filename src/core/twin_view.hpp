// Native view of one loaded digital twin: where its fields live and how to
// step it without going through Python.  Built once per ActuatorWrapper by the
// engine (from the ctypes field descriptors, after verifying them) and shared
// with the simulated actuator through nanobind's type registry.
//
// Where the view lives: the engine binds TwinView as `_twin_engine.TwinView`
// and stores one per wrapper in the wrapper's `__dict__` under `_native_view`
// (None when the twin cannot be viewed at all).
//
// When a consumer may use it: the view describes the wrapper as it was right
// after construction.  Python code may later replace a structure attribute
// (`wrapper.inp = other`), patch a structure class, replace the bindings
// module's `DT_step`, swap the model record, and so on.  So before every use
// (every tick, not once) a consumer asks:
//
//   vkl::twin::TwinView *v = vkl::twin::native_view(wrapper);       // fields
//   vkl::twin::TwinView *s = vkl::twin::native_step_view(wrapper);  // fields of
//                                         // `inp` + stepping through step_fn
//
// Each returns the wrapper's view when it is valid for the wrapper's current
// state, else nullptr; with nullptr the consumer takes the ordinary attribute
// path (nb::getattr on the wrapper and its structures), which behaves the
// same.  `native_ready(wrapper)` is `native_view(wrapper) != nullptr`.
// The checks are identity and dictionary lookups only (no allocation in the
// common case), cheap enough to repeat per tick.  A view that is valid
// guarantees, for every group it holds, that the wrapper's attribute of that
// name is the very structure object the view was taken from, that its class
// has not been changed since, and that every FieldRef points into that
// structure's memory with the C type of its ctypes field.  Fields that are
// not plain numbers (arrays, nested structures, pointers, bit fields,
// byte-swapped types) are not in the view; read them generically.
//
// Call these with the GIL held.  A FieldRef itself may be used without the
// GIL (it is raw memory), as long as no Python code ran in between the check
// and the use.
#pragma once

#include <nanobind/nanobind.h>

#include <cmath>
#include <cfloat>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace vkl::twin {
namespace nb = nanobind;

// C types a twin field may have on the native path.  Anything else (arrays,
// nested structures, pointers) is not in the view and is read generically.
enum class CType : uint8_t { Double, Float, Bool, Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64 };

struct FieldRef {
    char *addr = nullptr;
    CType type = CType::Double;
    explicit operator bool() const { return addr != nullptr; }
};

inline double load(const FieldRef &f) {
    switch (f.type) {
    case CType::Double: { double v; std::memcpy(&v, f.addr, sizeof v); return v; }
    case CType::Float: { float v; std::memcpy(&v, f.addr, sizeof v); return v; }
    case CType::Bool: { bool v; std::memcpy(&v, f.addr, sizeof v); return v ? 1.0 : 0.0; }
    case CType::Int8: { int8_t v; std::memcpy(&v, f.addr, sizeof v); return v; }
    case CType::UInt8: { uint8_t v; std::memcpy(&v, f.addr, sizeof v); return v; }
    case CType::Int16: { int16_t v; std::memcpy(&v, f.addr, sizeof v); return v; }
    case CType::UInt16: { uint16_t v; std::memcpy(&v, f.addr, sizeof v); return v; }
    case CType::Int32: { int32_t v; std::memcpy(&v, f.addr, sizeof v); return v; }
    case CType::UInt32: { uint32_t v; std::memcpy(&v, f.addr, sizeof v); return v; }
    case CType::Int64: { int64_t v; std::memcpy(&v, f.addr, sizeof v); return (double) v; }
    case CType::UInt64: { uint64_t v; std::memcpy(&v, f.addr, sizeof v); return (double) v; }
    }
    return 0.0;
}

inline bool is_integer(CType t) { return t != CType::Double && t != CType::Float && t != CType::Bool; }

// Whether storing a Python float into a field of this type through ctypes
// succeeds (ctypes refuses floats for integer fields with TypeError), so the
// native store below gives exactly what the ctypes field would hold.
inline bool takes_float(CType t) { return !is_integer(t); }

// Store a number into a field, converted to the field's C type:
//   Double        the value
//   Float         rounded to float (out-of-range finite values give +-inf)
//   Bool          value != 0 (NaN counts as true, like Python's truth test)
//   integers      truncated toward zero, then wrapped to the field's width
//                 (as ctypes does for a Python int); NaN and values outside
//                 the 64-bit range store 0.
// For Double, Float and Bool this is bit for bit what assigning the Python
// float to the ctypes field stores; for integer fields it is what assigning
// int(value) stores.
inline void store(const FieldRef &f, double v) {
    auto as_bits = [](double x) -> uint64_t {
        if (!(x == x))
            return 0;
        x = std::trunc(x);
        if (x >= -9223372036854775808.0 && x < 9223372036854775808.0)
            return (uint64_t) (int64_t) x;
        if (x >= 0 && x < 18446744073709551616.0)
            return (uint64_t) x;
        return 0;
    };
    switch (f.type) {
    case CType::Double: std::memcpy(f.addr, &v, sizeof v); return;
    case CType::Float: {
        float x;
        if (std::isfinite(v) && std::fabs(v) > (double) FLT_MAX)
            x = v > 0 ? HUGE_VALF : -HUGE_VALF;
        else
            x = (float) v;
        std::memcpy(f.addr, &x, sizeof x);
        return;
    }
    case CType::Bool: { bool x = v != 0.0; std::memcpy(f.addr, &x, sizeof x); return; }
    case CType::Int8: case CType::UInt8: { uint8_t x = (uint8_t) as_bits(v); std::memcpy(f.addr, &x, 1); return; }
    case CType::Int16: case CType::UInt16: { uint16_t x = (uint16_t) as_bits(v); std::memcpy(f.addr, &x, 2); return; }
    case CType::Int32: case CType::UInt32: { uint32_t x = (uint32_t) as_bits(v); std::memcpy(f.addr, &x, 4); return; }
    case CType::Int64: case CType::UInt64: { uint64_t x = as_bits(v); std::memcpy(f.addr, &x, 8); return; }
    }
}

// One structure's fields, name -> location, plus the structure's base address.
struct GroupView {
    char *base = nullptr;
    std::unordered_map<std::string, FieldRef> fields;

    // What the view was taken from, to tell whether it still applies.
    nb::object name;                  // the attribute name as an interned str
    nb::object obj;                   // the ctypes structure object itself
    PyTypeObject *type = nullptr;     // its class
    unsigned int type_tag = 0;        // the class's version tag at that time
    size_t size = 0;                  // ctypes.sizeof of the structure
};

struct TwinView {
    using StepFn = void (*)(void *);
    StepFn step_fn = nullptr; // the twin's DT_step at its native address
    void *model = nullptr;    // address of the wrapper's RT_MODEL_DT_T record
    // group name ("inp", "pid", "imp", "lim", "info", "meas", "motor", "debug") -> fields
    std::unordered_map<std::string, GroupView> groups;

    // "group.field" -> field, or an empty FieldRef when the view does not hold it.
    FieldRef find(const std::string &group, const std::string &field) const {
        auto g = groups.find(group);
        if (g == groups.end())
            return {};
        auto f = g->second.fields.find(field);
        return f == g->second.fields.end() ? FieldRef{} : f->second;
    }

    // What a consumer derives from the view once (the simulated actuator's
    // tick plan), kept as long as the view.
    mutable std::shared_ptr<void> consumer_plan;

    // The `inp` group (found once: the map does not change after the view is
    // built), nullptr when the view has none.
    const GroupView *inp() const {
        if (!inp_group) {
            auto g = groups.find("inp");
            inp_group = g == groups.end() ? nullptr : &g->second;
        }
        return inp_group;
    }
    mutable const GroupView *inp_group = nullptr;

    // Each group's structure object and its class as viewed, side by side in
    // one array: the tick loops check the classes after every foreign call,
    // and the map's nodes lie all over the heap.  Made on first use (the map
    // does not change after the view is built).
    struct GroupClass {
        PyObject *obj; // the structure (held by its GroupView)
        PyTypeObject *type;
        unsigned int tag;
    };
    const std::vector<GroupClass> &group_classes() const {
        if (group_classes_.size() != groups.size())
            list_group_classes();
        return group_classes_;
    }
    void list_group_classes() const;

    // ---- validity (see the top of this file) --------------------------------
    PyTypeObject *owner_type = nullptr; // the exact wrapper class the view was built for

    // Stepping: set by the engine only when DT_step is a verified foreign
    // function that the native call reproduces exactly (step_fn != nullptr).
    nb::object lib;           // the bindings module (`_lib`)
    nb::object step_obj;      // its DT_step foreign function object
    nb::object step_restype, step_argtypes, step_errcheck;
    nb::object step_arg0;     // the one argument type (None when argtypes is None)
    nb::object model_obj;     // the wrapper's `model` record
    nb::object apply_fn;      // the class's `_apply_optional_inports` at build time
    // Input fields that `step` writes: Reference, Load, then the optional
    // ports ref_ff_torque, ref_impedance_spd, ref_impedance_acel (empty when
    // the structure lacks them), and ResetPos for the home tick.
    FieldRef in_reference, in_load, in_opt[3], in_reset_pos;
    bool inputs_native = false;      // Reference, Load and present ports take floats natively
    bool in_opt_missing_any = false; // some optional port is absent from `inp`

    // What the wrapper class allows, computed by `class_checks` and kept until
    // the class (or a base) changes, which changes its version tag.
    struct ClassChecks {
        unsigned int tag = 0; // owner_type's version tag when computed (0: never / no tag)
        bool fields = false;  // the group attributes are not defined by the class
        bool tick = false;    // nor `_lib` and `model`
        bool step = false;    // the class's `_apply_optional_inports` is the engine's and the
                              // port caches are not class attributes
    };
    mutable ClassChecks class_state;
    const ClassChecks &class_checks() const;

    // Reading restype / argtypes / errcheck of `step_obj` directly through the
    // getters of its class's descriptors, while that class is unchanged.
    PyTypeObject *fn_type = nullptr;
    unsigned int fn_type_tag = 0;
    getter fn_get[3] = {nullptr, nullptr, nullptr};
    void *fn_closure[3] = {nullptr, nullptr, nullptr};

    // Field access as described at the top of this file.
    bool fields_valid(nb::handle wrapper, PyObject *wdict) const;
    // Plain ticks (DT_step through step_fn with the model record, `inp`
    // writable): what the warm-up and the home tick need.
    bool tick_valid(nb::handle wrapper, PyObject *wdict) const;
    // The part of tick_valid that no dictionary shows: `DT_step`'s restype,
    // argtypes (and the list's contents) and errcheck are still the ones
    // verified.  Cheap enough for a check after every foreign call.
    bool call_unchanged() const;
    // A whole `step(ref, load)`: tick_valid plus the input ports and the
    // wrapper's cached port values (exact floats) and `_apply_optional_inports`
    // not overridden.  When `caches` is given, the three cached port values
    // are stored there (in the order of kOptionalInportCaches).
    bool step_valid(nb::handle wrapper, PyObject *wdict, double *caches = nullptr) const;

    mutable std::vector<GroupClass> group_classes_; // see group_classes()
};

// The wrapper's view when its fields may be used now, else nullptr.
TwinView *native_view(nb::handle wrapper);
// The wrapper's view when a whole engine `step` may run natively now, else nullptr.
TwinView *native_step_view(nb::handle wrapper);
inline bool native_ready(nb::handle wrapper) { return native_view(wrapper) != nullptr; }

// The engine's operations done natively, each returning false (having done
// nothing) when the wrapper's current state does not allow it; the caller
// then runs the generic path.  They behave exactly like the engine's methods:
//   native_step   `wrapper.step(ref, load)` (inputs, optional ports, one tick)
//   native_ticks  n ticks of `_lib.DT_step(pointer(model))`, writing nothing
//                 (the GIL is released for long runs)
//   native_home   ResetPos = True, one tick, ResetPos = False
bool native_step(nb::handle wrapper, double ref, double load);
bool native_ticks(nb::handle wrapper, long long n);
bool native_home(nb::handle wrapper);

// Names of the wrapper attributes the view covers, in the engine's order.
inline constexpr const char *kGroupNames[8] = {"imp", "pid", "debug", "info", "inp", "lim", "meas", "motor"};
// The optional input ports that `step` refreshes before every tick.
inline constexpr const char *kOptionalInports[3] = {"ref_ff_torque", "ref_impedance_spd", "ref_impedance_acel"};
// The wrapper attributes holding the cached values of those ports.
inline constexpr const char *kOptionalInportCaches[3] = {
    "_reference_feedforward_torque", "_impedance_speed_reference", "_impedance_acceleration_reference"};

} // namespace vkl::twin
