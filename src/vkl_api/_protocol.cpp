// Protocol definitions: frame constants, address and payload checks, the
// address-and-flags word and the CAN identifier.
#include "core/protocol.hpp"
#include "core/pyutil.hpp"

namespace nb = nanobind;
using namespace vkl;

namespace {

// Compare a Python int against a range without overflowing on huge values.
bool in_range(nb::handle v, long long lo, long long hi) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred())
        raise_pending();
    if (overflow)
        return false;
    return x >= lo && x <= hi;
}

// ---- address and payload checks --------------------------------------------------
bool is_valid_vkl_address(nb::handle can_id) {
    nb::object a = arg_int(can_id, "can_id");
    return in_range(a, 0, proto::ADDRESS_MASK);
}

bool is_valid_vkl_payload(nb::handle payload) {
    Py_ssize_t n = PyObject_Size(payload.ptr());
    if (n < 0)
        raise_pending();
    return n <= proto::MAX_PAYLOAD_SIZE;
}

bool is_valid_actuator_address(nb::handle address) {
    nb::object a = arg_int(address, "address");
    return in_range(a, proto::ACTUATOR_ADDRESS_MIN, proto::ACTUATOR_ADDRESS_MAX);
}

// ---- identifier and address-and-flags word ------------------------------------------
nb::object build_vlk_identifier(nb::handle source, nb::handle destination) {
    nb::object s = arg_int(source, "source");
    nb::object d = arg_int(destination, "destination");
    if (!in_range(s, 0, proto::ADDRESS_MASK) || !in_range(d, 0, proto::ADDRESS_MASK))
        return nb::none();
    long long id = (PyLong_AsLongLong(s.ptr()) << proto::CAN_ID_SOURCE_SHIFT) | PyLong_AsLongLong(d.ptr());
    return nb::int_(id);
}

// An address outside the 14-bit field would spill into the flag bits (0x4000
// would read back as address 0 with the priority bit set), so it is refused.
nb::object build_usb_address_flags(nb::handle address, nb::handle priority, nb::handle can_high_speed) {
    nb::object a = arg_int(address, "address");
    if (!in_range(a, 0, proto::ADDRESS_MASK))
        raise(PyExc_ValueError, "address " + py_str(a) + " does not fit the 14-bit address field");
    long long word = PyLong_AsLongLong(a.ptr());
    if (truth(priority))
        word |= proto::PRIORITY_BIT;
    if (truth(can_high_speed))
        word |= proto::HIGH_SPEED_BIT;
    return nb::int_(word);
}

nb::tuple parse_usb_address_flags(nb::handle address_and_flags) {
    long long w = arg_int_ll(address_and_flags, "address_and_flags");
    return nb::make_tuple(nb::int_(w & proto::ADDRESS_MASK), nb::int_((w >> 14) & 1), nb::int_((w >> 15) & 1));
}

// ---- bindings -------------------------------------------------------------------------
void bind_constants(nb::module_ &m) {
    m.attr("VKL_USB_MSG_START_BYTE") = proto::START_BYTE;
    m.attr("VKL_USB_MSG_HEADER_LENGTH") = proto::HEADER_LENGTH;
    m.attr("VKL_USB_MAX_PAYLOAD_SIZE") = proto::MAX_PAYLOAD_SIZE;
    m.attr("VKL_USB_CRC_MAGIC_NUMBER") = proto::CRC_MAGIC_NUMBER;
    m.attr("VKL_ACTUATOR_ADDRESS_MAX") = proto::ACTUATOR_ADDRESS_MAX;
    m.attr("VKL_MAX_FEEDBACK_ITEMS_PER_REQUEST") = proto::MAX_FEEDBACK_ITEMS_PER_REQUEST;
    m.attr("VKL_MAX_PARAMETERS_PER_REQUEST") = proto::MAX_PARAMETERS_PER_REQUEST;
}

void bind_checks(nb::module_ &m) {
    m.def("is_valid_vkl_address", &is_valid_vkl_address, arg("can_id"),
          "True when the address fits the 14-bit address field (0 to 0x3FFF).");
    m.def("is_valid_vkl_payload", &is_valid_vkl_payload, arg("payload"),
          "True when a payload of this length may be sent.");
    m.def("is_valid_actuator_address", &is_valid_actuator_address, arg("address"),
          "True for actuator addresses 0x10 to 0x3FFE.");
}

void bind_codecs(nb::module_ &m) {
    m.def("build_vlk_identifier", &build_vlk_identifier, arg("source"), arg("destination"),
          "CAN identifier for a message from `source` to `destination`, or None when either "
          "address does not fit the 14-bit field.");
    m.def("build_usb_address_flags", &build_usb_address_flags, arg("address"), nb::kw_only(),
          arg("priority") = false, arg("can_high_speed") = false,
          "Address-and-flags word: address in bits 0-13, priority in bit 14, CAN high speed in bit 15.");
    m.def("parse_usb_address_flags", &parse_usb_address_flags, arg("address_and_flags"),
          "Split an address-and-flags word into (address, priority bit, high-speed bit).");
}

} // namespace

VKL_MODULE(_protocol, m) {
    module_init_common();
    m.doc() = "VKL protocol definitions: serial frame constants, address checks and codecs.";
    bind_constants(m);
    bind_checks(m);
    bind_codecs(m);
}
