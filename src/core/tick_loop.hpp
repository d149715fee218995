// Pieces of the simulated actuator's native tick: which field types feed
// which telemetry columns, exact integer and boolean loads, and the row time.
// Nothing here touches Python.
#pragma once

#include "core/row_stage.hpp"
#include "core/telemetry.hpp"
#include "core/twin_view.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace vkl::tick {

using twin::CType;
using twin::FieldRef;

inline bool is_real(CType t) { return t == CType::Double || t == CType::Float; }

// Exact integer value of an integer field; a UInt64 value above INT64_MAX
// comes out wrapped, so callers test `u64_fits` first.
inline int64_t load_int(const FieldRef &f) {
    switch (f.type) {
    case CType::Int8: { int8_t v; std::memcpy(&v, f.addr, 1); return v; }
    case CType::UInt8: { uint8_t v; std::memcpy(&v, f.addr, 1); return v; }
    case CType::Int16: { int16_t v; std::memcpy(&v, f.addr, 2); return v; }
    case CType::UInt16: { uint16_t v; std::memcpy(&v, f.addr, 2); return v; }
    case CType::Int32: { int32_t v; std::memcpy(&v, f.addr, 4); return v; }
    case CType::UInt32: { uint32_t v; std::memcpy(&v, f.addr, 4); return v; }
    case CType::Int64: { int64_t v; std::memcpy(&v, f.addr, 8); return v; }
    case CType::UInt64: { uint64_t v; std::memcpy(&v, f.addr, 8); return (int64_t) v; }
    default: return 0;
    }
}

// A UInt64 field's value fits an integer column (int64).
inline bool u64_fits(const FieldRef &f) {
    uint64_t v;
    std::memcpy(&v, f.addr, 8);
    return v <= (uint64_t) INT64_MAX;
}

// A C bool field read as ctypes reads it: any non-zero byte is True.
inline bool load_bool(const FieldRef &f) {
    uint8_t v;
    std::memcpy(&v, f.addr, 1);
    return v != 0;
}

// The kind of series a field's values make (ctypes gives float for real
// fields, int for integer fields, bool for bool fields); a series typed by
// its first value holds them exactly in a column of that kind.
inline telemetry::Kind kind_for(CType t) {
    if (is_real(t))
        return telemetry::Kind::Float;
    return t == CType::Bool ? telemetry::Kind::Bool : telemetry::Kind::Int;
}

// time = TIME_STEP * rows + time_start, with the product rounded before the
// sum exactly as the interpreter evaluates it (no fused multiply-add).
inline double row_time(double step, size_t rows, double start) {
    volatile double prod = step * (double) rows;
    return prod + start;
}

// Store 8 bytes at the cursor and advance it.  Rows arrive one value per
// column at a time across many columns: the cache line a few rows ahead is
// asked for (for writing) so the stores do not wait for it.
inline void put8(unsigned char *&cursor, const void *src) {
    std::memcpy(cursor, src, 8);
    prefetch_for_write(cursor + 512);
    cursor += 8;
}

} // namespace vkl::tick
