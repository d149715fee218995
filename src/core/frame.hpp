// Serial frame codec: start byte, 16-bit little-endian address-and-flags word,
// payload length, payload, trailer byte.  Plain C++, no Python.
#pragma once

#include "core/protocol.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vkl::frame {

constexpr size_t OVERHEAD = proto::HEADER_LENGTH + 1; // header + trailer

struct FlagWord {
    uint32_t address;
    int priority;
    int high_speed;
};

inline uint16_t read_le16(const uint8_t *p) { return (uint16_t) (p[0] | (p[1] << 8)); }

inline FlagWord parse_flags(uint32_t word) {
    return FlagWord{word & proto::ADDRESS_MASK, (int) ((word >> proto::ADDRESS_BITS) & 1),
                    (int) ((word >> (proto::ADDRESS_BITS + 1)) & 1)};
}

inline uint32_t build_flags(uint32_t address, bool priority, bool high_speed) {
    return address | (priority ? proto::PRIORITY_BIT : 0) | (high_speed ? proto::HIGH_SPEED_BIT : 0);
}

// Write one frame into `out`, which holds at least OVERHEAD + n bytes.
// Returns the number of bytes written.
inline size_t encode(uint8_t *out, uint8_t start, uint16_t word, const uint8_t *payload, size_t n,
                     uint8_t trailer) {
    out[0] = start;
    out[1] = (uint8_t) (word & 0xFF);
    out[2] = (uint8_t) (word >> 8);
    out[3] = (uint8_t) n;
    if (n)
        std::memcpy(out + 4, payload, n);
    out[4 + n] = trailer;
    return OVERHEAD + n;
}

} // namespace vkl::frame
