// Actuator payload codec: little-endian value packing for command payloads
// and the value layouts of the records a device sends back.
//
// Packing follows the interpreter's struct rules, so a payload built here is
// byte for byte what struct.pack would give:
//   "<f"  round to the nearest single-precision value; NaN and infinities
//         pass (the quiet NaN becomes 00 00 C0 7F); a finite value whose
//         rounding overflows is refused;
//   "<I"  unsigned 32-bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vkl::payload {

// Record layout of the device's replies: one id byte, then 4 value bytes.
constexpr int RECORD_SIZE = 5;
constexpr int VALUE_SIZE = 4;

// ---- scalar packing --------------------------------------------------------
// False when `v` is finite but too large for single precision.
bool pack_f32(double v, uint8_t *out);
void pack_u32(uint32_t v, uint8_t *out);
double unpack_f32(const uint8_t *p);
uint32_t unpack_u32(const uint8_t *p);
int32_t unpack_i32(const uint8_t *p);
uint16_t unpack_u16(const uint8_t *p);

// A command payload of an action id followed by `n` packed floats
// (1 + 4 * n bytes written to `out`).  Returns -1, or the index of the first
// value that does not fit single precision (nothing useful is in `out` then).
int encode_floats(uint8_t action, const double *values, size_t n, uint8_t *out);

// ---- feedback records ------------------------------------------------------
// How the 4 value bytes of a feedback item are read: raw encoder counts and
// error counters are unsigned, the raw torque sensor reading is signed, every
// other item is a single-precision float.
enum class ValueKind : uint8_t { Float, Unsigned, Signed };
ValueKind feedback_value_kind(long item_id);

// ---- parameter records -----------------------------------------------------
// The identity parameters (firmware version, serial number, device model,
// control version) are unsigned integers, MODE carries a control-mode number
// as a float, everything else is a float.
enum class ParameterKind : uint8_t { Float, Unsigned, Mode };
ParameterKind parameter_kind(long parameter_id);
constexpr long PARAMETER_MODE = 48;

// Truncate a decoded MODE value toward zero.  False for NaN and infinities
// (which have no integer value); `out` is clamped to a range that no control
// mode number leaves, so a huge value simply names no mode.
enum class ModeNumber : uint8_t { Ok, NotANumber, Infinite };
ModeNumber mode_number(double value, long *out);

// ---- error word --------------------------------------------------------------
struct ErrorBit {
    int bit;
    const char *description;
};
constexpr int ERROR_BIT_COUNT = 15;
// In the order the error map lists them (lowest bit first).
extern const ErrorBit ERROR_BITS[ERROR_BIT_COUNT];

// ---- firmware version --------------------------------------------------------
// Packed as major (bits 15-11), minor (bits 10-6), patch (bits 5-0); only the
// low 16 bits are looked at.  "major.minor.patch" in decimal.
std::string firmware_text(uint64_t packed);

} // namespace vkl::payload
