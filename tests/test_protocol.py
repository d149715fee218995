"""Protocol definitions: frame constants, address and payload checks, flag word and CAN identifier."""

import itertools

import pytest

import vkl_api._protocol as proto

BYTE_CONSTANTS = ["VKL_USB_MSG_START_BYTE", "VKL_USB_CRC_MAGIC_NUMBER"]
INT_CONSTANTS = BYTE_CONSTANTS + [
    "VKL_USB_MSG_HEADER_LENGTH", "VKL_USB_MAX_PAYLOAD_SIZE", "VKL_ACTUATOR_ADDRESS_MAX",
    "VKL_MAX_FEEDBACK_ITEMS_PER_REQUEST", "VKL_MAX_PARAMETERS_PER_REQUEST",
]
FUNCTIONS = [
    "is_valid_vkl_address", "is_valid_vkl_payload", "build_vlk_identifier", "build_usb_address_flags",
    "parse_usb_address_flags", "is_valid_actuator_address",
]


class TestConstants:
    @pytest.mark.parametrize("name", INT_CONSTANTS)
    def test_plain_ints(self, name):
        assert type(getattr(proto, name)) is int

    @pytest.mark.parametrize("name", BYTE_CONSTANTS)
    def test_frame_bytes_fit_one_byte(self, name):
        assert 0 <= getattr(proto, name) <= 255

    def test_values(self):
        assert proto.VKL_USB_MSG_HEADER_LENGTH == 4
        assert proto.VKL_ACTUATOR_ADDRESS_MAX == 0x3FFE
        assert proto.VKL_USB_MSG_START_BYTE != proto.VKL_USB_CRC_MAGIC_NUMBER
        # One CAN FD frame carries at most 64 data bytes; the length byte at most 255.
        assert 37 <= proto.VKL_USB_MAX_PAYLOAD_SIZE <= 64
        assert proto.VKL_MAX_FEEDBACK_ITEMS_PER_REQUEST > 0 and proto.VKL_MAX_PARAMETERS_PER_REQUEST > 0

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_functions_present(self, name):
        assert callable(getattr(proto, name))


class TestAddressChecks:
    @pytest.mark.parametrize("address,valid", [
        (0, True), (1, True), (0x10, True), (0x3FFE, True), (0x3FFF, True),
        (-1, False), (0x4000, False), (2**64, False), (-(2**64), False),
    ])
    def test_vkl_address_fits_14_bits(self, address, valid):
        assert bool(proto.is_valid_vkl_address(address)) is valid

    @pytest.mark.parametrize("address,valid", [
        (0, False), (1, False), (0xF, False), (0x10, True), (0x1234, True), (0x3FFE, True), (0x3FFF, False),
        (0x4000, False), (-16, False), (2**64 + 16, False),
    ])
    def test_actuator_address_range(self, address, valid):
        assert bool(proto.is_valid_actuator_address(address)) is valid

    def test_every_actuator_address_is_a_vkl_address(self):
        for a in (0x10, 0x11, 0x2000, proto.VKL_ACTUATOR_ADDRESS_MAX):
            assert proto.is_valid_actuator_address(a) and proto.is_valid_vkl_address(a)
        assert not proto.is_valid_actuator_address(proto.VKL_ACTUATOR_ADDRESS_MAX + 1)

    def test_keyword_names(self):
        assert proto.is_valid_vkl_address(can_id=5)
        assert proto.is_valid_actuator_address(address=0x10)


class TestPayloadCheck:
    @pytest.mark.parametrize("length", [
        1, 37, 1 + proto.VKL_MAX_FEEDBACK_ITEMS_PER_REQUEST, 1 + proto.VKL_MAX_PARAMETERS_PER_REQUEST,
        1 + 5 * proto.VKL_MAX_PARAMETERS_PER_REQUEST, proto.VKL_USB_MAX_PAYLOAD_SIZE,
    ])
    def test_lengths_the_library_sends_are_accepted(self, length):
        assert proto.is_valid_vkl_payload([0] * length)

    @pytest.mark.parametrize("length", [proto.VKL_USB_MAX_PAYLOAD_SIZE + 1, 255, 256, 300, 10_000])
    def test_too_long_refused(self, length):
        assert not proto.is_valid_vkl_payload([1] * length)

    def test_judges_length_only(self):
        assert proto.is_valid_vkl_payload([255, 0, 128])
        assert proto.is_valid_vkl_payload(bytes(10))
        assert not proto.is_valid_vkl_payload(bytes(256))

    def test_unsized_payload_raises(self):
        with pytest.raises(TypeError):
            proto.is_valid_vkl_payload(None)
        with pytest.raises(TypeError):
            proto.is_valid_vkl_payload(iter([1, 2]))


ADDRESSES = [0, 1, 0x10, 0x155, 0x2AAA, 0x3FFE, 0x3FFF]


class TestAddressFlags:
    @pytest.mark.parametrize("address,priority,high_speed",
                             list(itertools.product(ADDRESSES, [False, True], [False, True])))
    def test_round_trip(self, address, priority, high_speed):
        word = proto.build_usb_address_flags(address, priority=priority, can_high_speed=high_speed)
        assert type(word) is int and 0 <= word <= 0xFFFF
        parsed = proto.parse_usb_address_flags(word)
        assert len(parsed) == 3
        got_address, got_priority, got_high_speed = parsed
        assert type(got_address) is int and got_address == address
        assert got_priority == priority and bool(got_priority) is priority
        assert got_high_speed == high_speed and bool(got_high_speed) is high_speed

    def test_flags_are_independent_bits(self):
        plain = proto.build_usb_address_flags(0x123)
        prio = proto.build_usb_address_flags(0x123, priority=True)
        fast = proto.build_usb_address_flags(0x123, can_high_speed=True)
        both = proto.build_usb_address_flags(0x123, priority=True, can_high_speed=True)
        assert plain == 0x123
        assert prio & ~plain and fast & ~plain and (prio ^ plain) != (fast ^ plain)
        assert both == prio | fast
        # Both flags lie above the 14 address bits.
        assert (prio | fast) & 0x3FFF == 0x123

    def test_flag_arguments_by_truth_value_and_keyword_only(self):
        assert proto.build_usb_address_flags(5, priority=1, can_high_speed=[0]) == \
            proto.build_usb_address_flags(5, priority=True, can_high_speed=True)
        assert proto.build_usb_address_flags(5, priority=0, can_high_speed="") == 5
        with pytest.raises(TypeError):
            proto.build_usb_address_flags(5, True)

    @pytest.mark.parametrize("address", [-1, 0x4000, 0x7FFF, 2**40])
    def test_address_outside_field_refused(self, address):
        # It would otherwise spill into the flag bits (0x4000 reads back as address 0 with a flag).
        with pytest.raises(ValueError):
            proto.build_usb_address_flags(address)

    @pytest.mark.parametrize("word,expected", [
        (0, (0, 0, 0)), (0xFFFF, (0x3FFF, 1, 1)), (0x3FFF, (0x3FFF, 0, 0)), (0x8010, (0x10, 0, 1)),
    ])
    def test_parse_known_words(self, word, expected):
        assert tuple(proto.parse_usb_address_flags(word)) == expected

    def test_parse_keeps_the_priority_bit_apart_from_the_address(self):
        word = proto.build_usb_address_flags(0, priority=True)
        assert tuple(proto.parse_usb_address_flags(word))[:2] == (0, 1)


class TestCanIdentifier:
    def test_identifies_source_and_destination(self):
        seen = {}
        for src, dst in itertools.product(ADDRESSES, repeat=2):
            ident = proto.build_vlk_identifier(src, dst)
            assert type(ident) is int
            # Fits a 29-bit extended CAN identifier.
            assert 0 <= ident < 2**29
            assert seen.setdefault(ident, (src, dst)) == (src, dst)
        assert len(seen) == len(ADDRESSES) ** 2

    def test_layout(self):
        ident = proto.build_vlk_identifier(0x1234, 0x0567)
        assert (ident >> 14) & 0x3FFF == 0x1234
        assert ident & 0x3FFF == 0x0567

    @pytest.mark.parametrize("src,dst", [(-1, 0x10), (0x10, 0x4000), (0x4000, 0), (2**70, 1)])
    def test_address_outside_field_gives_none(self, src, dst):
        assert proto.build_vlk_identifier(src, dst) is None

    def test_keywords_and_conversion(self):
        assert proto.build_vlk_identifier(source=1.9, destination=True) == proto.build_vlk_identifier(1, 1)
