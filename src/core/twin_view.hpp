// Native view of one loaded digital twin: where its fields live and how to
// step it without going through Python.  Built once per ActuatorWrapper by the
// engine (from the ctypes field descriptors, after verifying them) and shared
// with the simulated actuator through nanobind's type registry.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>

namespace vkl::twin {

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

// One structure's fields, name -> location, plus the structure's base address.
struct GroupView {
    char *base = nullptr;
    std::unordered_map<std::string, FieldRef> fields;
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
};

} // namespace vkl::twin
