#include "core/payload.hpp"

#include <cmath>
#include <cstring>

namespace vkl::payload {

namespace {

// Values at or beyond FLT_MAX + half an ulp (2^128 - 2^103) round to infinity
// in round-to-nearest-even, which struct refuses for a finite input.
constexpr double F32_OVERFLOW = 340282356779733661637539395458142568448.0;

} // namespace

bool pack_f32(double v, uint8_t *out) {
    float f;
    if (std::isfinite(v)) {
        if (std::fabs(v) >= F32_OVERFLOW)
            return false;
        f = static_cast<float>(v);
    } else {
        // NaN keeps its sign (quiet NaN -> 0x7FC00000), infinities stay infinite.
        f = static_cast<float>(v);
    }
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    pack_u32(bits, out);
    return true;
}

void pack_u32(uint32_t v, uint8_t *out) {
    out[0] = static_cast<uint8_t>(v);
    out[1] = static_cast<uint8_t>(v >> 8);
    out[2] = static_cast<uint8_t>(v >> 16);
    out[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t unpack_u32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

int32_t unpack_i32(const uint8_t *p) {
    uint32_t u = unpack_u32(p);
    int32_t s;
    std::memcpy(&s, &u, sizeof s);
    return s;
}

uint16_t unpack_u16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

double unpack_f32(const uint8_t *p) {
    uint32_t bits = unpack_u32(p);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return static_cast<double>(f);
}

int encode_floats(uint8_t action, const double *values, size_t n, uint8_t *out) {
    out[0] = action;
    for (size_t i = 0; i < n; ++i)
        if (!pack_f32(values[i], out + 1 + VALUE_SIZE * i))
            return static_cast<int>(i);
    return -1;
}

ValueKind feedback_value_kind(long item_id) {
    switch (item_id) {
    case 66:  // ENCODER_INT_RAW
    case 68:  // ENCODER_EXT_RAW
    case 96:  // ERRORS_ENCODER_INT
    case 97:  // ERRORS_ENCODER_EXT
    case 98:  // ERRORS_OVERRUN
    case 144: // DEBUG_SIGNAL_BOOL
        return ValueKind::Unsigned;
    case 74: // TORQUE_SENS_RAW
        return ValueKind::Signed;
    default:
        return ValueKind::Float;
    }
}

ParameterKind parameter_kind(long parameter_id) {
    switch (parameter_id) {
    case PARAMETER_MODE:
        return ParameterKind::Mode;
    case 128: // FIRMWARE_VERSION
    case 130: // SERIAL_NUMBER
    case 131: // DEVICE_MODEL
    case 132: // CONTROL_VERSION
        return ParameterKind::Unsigned;
    default:
        return ParameterKind::Float;
    }
}

ModeNumber mode_number(double value, long *out) {
    if (std::isnan(value))
        return ModeNumber::NotANumber;
    if (std::isinf(value))
        return ModeNumber::Infinite;
    double t = std::trunc(value);
    if (t > 1e9)
        t = 1e9;
    else if (t < -1e9)
        t = -1e9;
    *out = static_cast<long>(t);
    return ModeNumber::Ok;
}

const ErrorBit ERROR_BITS[ERROR_BIT_COUNT] = {
    {0, "Overtemperature"},
    {2, "Position reference maximum"},
    {3, "Position reference minimum"},
    {4, "Speed feedback maximum"},
    {5, "VBUS out of range"},
    {6, "Torque reference maximum"},
    {7, "Torque feedback maximum"},
    {8, "Position feedback maximum"},
    {9, "Position feedback minimum"},
    {12, "Control overrun"},
    {16, "Current maximum"},
    {17, "Invalid limits"},
    {29, "VBUS critical range"},
    {30, "Internal encoder error"},
    {31, "External encoder error"},
};

std::string firmware_text(uint64_t packed) {
    unsigned major = static_cast<unsigned>((packed >> 11) & 31);
    unsigned minor = static_cast<unsigned>((packed >> 6) & 31);
    unsigned patch = static_cast<unsigned>(packed & 63);
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

} // namespace vkl::payload
