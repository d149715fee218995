// Wire constants of the serial frame and the address-and-flags word.  This is
// the single place where they are chosen; the _protocol module exports them and
// the transport's native reader uses them directly.
#pragma once

#include <cstdint>

namespace vkl::proto {

// Serial frame: start, 16-bit little-endian address-and-flags, length, payload, trailer.
// 0xAA / 0x55 are alternating bit patterns, easy to spot on a logic analyser and
// unlikely as the first byte of an idle or garbled line.
constexpr uint8_t START_BYTE = 0xAA;
constexpr uint8_t CRC_MAGIC_NUMBER = 0x55;
constexpr int HEADER_LENGTH = 4;

// Largest payload: one CAN FD frame carries 64 data bytes.  Every payload the
// library sends fits: the largest setpoint command is 37 bytes, a batched
// parameter write 1 + 5 * 12 = 61, a batched read 1 + 12.
constexpr int MAX_PAYLOAD_SIZE = 64;

// Address-and-flags word: bits 0..13 the 14-bit bus address, bit 14 the
// priority flag, bit 15 the CAN high-speed (data-phase bit-rate switch) flag.
constexpr uint32_t ADDRESS_MASK = 0x3FFF;
constexpr int ADDRESS_BITS = 14;
constexpr uint32_t PRIORITY_BIT = 1u << 14;
constexpr uint32_t HIGH_SPEED_BIT = 1u << 15;

// CAN identifier (29-bit extended frame): source address in bits 14..27,
// destination address in bits 0..13.
constexpr int CAN_ID_SOURCE_SHIFT = 14;

// Actuators use 0x10..0x3FFE: 0 is the device at the USB end of the link, 1 the
// adapter itself, 2..15 are kept for infrastructure, 0x3FFF is the broadcast value.
constexpr long ACTUATOR_ADDRESS_MIN = 0x10;
constexpr long ACTUATOR_ADDRESS_MAX = 0x3FFE;

// Per-request limits, sized so that requests and their replies (5 bytes per
// record) fit one payload: 12 records are 60 bytes.
constexpr int MAX_FEEDBACK_ITEMS_PER_REQUEST = 12;
constexpr int MAX_PARAMETERS_PER_REQUEST = 12;

static_assert(1 + 5 * MAX_PARAMETERS_PER_REQUEST <= MAX_PAYLOAD_SIZE, "parameter batch must fit a payload");
static_assert(5 * MAX_FEEDBACK_ITEMS_PER_REQUEST <= MAX_PAYLOAD_SIZE, "item reply must fit a payload");
static_assert(37 <= MAX_PAYLOAD_SIZE, "largest setpoint command must fit a payload");

inline bool valid_vkl_address(long long a) { return a >= 0 && a <= (long long) ADDRESS_MASK; }
inline bool valid_actuator_address(long long a) { return a >= ACTUATOR_ADDRESS_MIN && a <= ACTUATOR_ADDRESS_MAX; }

} // namespace vkl::proto
