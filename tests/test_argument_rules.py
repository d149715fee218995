"""The integer and dictionary argument rules, with their exact TypeError texts, on every entry point
of the base modules that takes such an argument."""

import logging
import math
from decimal import Decimal
from fractions import Fraction

import pytest

import vkl_api._protocol as proto
from vkl_api._kavrel_actuator_base import KavrelActuatorBase as Base


class IntSub(int):
    pass


class OwnInt(int):
    def __int__(self):
        return 99


class Index:
    def __index__(self):
        return 21


class Floaty:
    """Offers only __float__: not an integer-convertible number."""

    def __float__(self):
        return 3.0


LongName = type("N" * 300, (), {})

# (value, expected int) for values that the rule converts.
CONVERTED = [
    (16, 16), (-3, -3), (2**70, 2**70),
    (16.9, 16), (-16.9, -16), (0.5, 0), (True, 1), (False, 0),
    (Decimal("17.99"), 17), (Fraction(33, 2), 16), (IntSub(18), 18), (OwnInt(5), 99), (Index(), 21),
]

# (value, type name in the message) for values that the rule refuses.
REFUSED = [
    ("16", "str"), (None, "NoneType"), ([16], "list"), ((16,), "tuple"), ({16: 1}, "dict"), (b"\x10", "bytes"),
    (bytearray(b"1"), "bytearray"), (object(), "object"), (Floaty(), "Floaty"), (LongName(), "N" * 200),
]

# Values that int() itself refuses: its own error comes out.
INT_ERRORS = [float("nan"), float("inf"), float("-inf"), complex(1, 2), 1j, Decimal("NaN"), Decimal("Infinity")]


def message(name, got):
    return f"Argument '{name}' has incorrect type (expected int, got {got})"


def int_error(value):
    with pytest.raises(Exception) as e:
        int(value)
    return type(e.value), str(e.value)


def record_address(monkeypatch):
    """Replace the protocol check behind the static address check and record what it is given."""
    import vkl_api._kavrel_actuator_base as base_mod

    seen = []
    monkeypatch.setattr(base_mod, "is_valid_actuator_address", lambda a: seen.append(a) or True)
    return seen


def through_constructor(value, monkeypatch):
    return Base(value).address


def through_constructor_keyword(value, monkeypatch):
    return Base(address=value).address


def through_address_check(value, monkeypatch):
    seen = record_address(monkeypatch)
    Base.is_valid_actuator_address(value)
    return seen[0]


def through_error_callback(value, monkeypatch):
    lines = []

    class Collect:
        def error(self, text):
            lines.append(text)

    a = Base(0, Collect())
    a._default_error_callback(value, {1: "x"})
    # The logged address is the converted one, in hexadecimal.
    return int(lines[0].split()[1][2:], 16)


ENTRIES = {
    "constructor": ("address", through_constructor),
    "constructor keyword": ("address", through_constructor_keyword),
    "is_valid_actuator_address": ("address", through_address_check),
    "_default_error_callback": ("address", through_error_callback),
}


@pytest.fixture(params=list(ENTRIES))
def entry(request):
    return ENTRIES[request.param]


@pytest.mark.parametrize("value,expected", CONVERTED, ids=repr)
def test_numbers_converted_with_int(entry, monkeypatch, value, expected):
    name, call = entry
    got = call(value, monkeypatch)
    assert got == expected and type(got) is int


@pytest.mark.parametrize("value,got", REFUSED, ids=repr)
def test_non_numbers_refused_with_fixed_text(entry, monkeypatch, value, got):
    name, call = entry
    with pytest.raises(TypeError) as e:
        call(value, monkeypatch)
    assert str(e.value) == message(name, got)


@pytest.mark.parametrize("value", INT_ERRORS, ids=repr)
def test_int_conversion_errors_pass_through(entry, monkeypatch, value):
    name, call = entry
    kind, text = int_error(value)
    with pytest.raises(Exception) as e:
        call(value, monkeypatch)
    assert type(e.value) is kind and str(e.value) == text


def test_exact_int_passed_unchanged(monkeypatch):
    seen = record_address(monkeypatch)
    big = 2**100 + 7
    Base.is_valid_actuator_address(big)
    assert seen[0] is big
    assert Base(big).address is big


def test_address_checked_before_errors_and_logger():
    class Exploding:
        def __bool__(self):
            raise AssertionError("logger looked at first")

    with pytest.raises(TypeError, match="'address'"):
        Base("1", Exploding())
    with pytest.raises(AssertionError):
        Base(1, Exploding())
    with pytest.raises(TypeError, match="'address'"):
        Base()._default_error_callback(None, None)


PROTOCOL_INT_ARGS = [
    ("is_valid_vkl_address", "can_id", lambda v: proto.is_valid_vkl_address(v)),
    ("is_valid_actuator_address", "address", lambda v: proto.is_valid_actuator_address(v)),
    ("build_vlk_identifier source", "source", lambda v: proto.build_vlk_identifier(v, 1)),
    ("build_vlk_identifier destination", "destination", lambda v: proto.build_vlk_identifier(1, v)),
    ("build_usb_address_flags", "address", lambda v: proto.build_usb_address_flags(v)),
    ("parse_usb_address_flags", "address_and_flags", lambda v: proto.parse_usb_address_flags(v)),
]


@pytest.mark.parametrize("label,name,call", PROTOCOL_INT_ARGS, ids=[p[0] for p in PROTOCOL_INT_ARGS])
def test_protocol_functions_follow_the_same_rule(label, name, call):
    assert call(16.9) == call(16)
    assert call(True) == call(1)
    assert call(Decimal("16.2")) == call(16)
    for value, got in REFUSED[:4]:
        with pytest.raises(TypeError) as e:
            call(value)
        assert str(e.value) == message(name, got)
    with pytest.raises(ValueError):
        call(math.nan)


def test_long_type_name_cut_at_200_characters():
    with pytest.raises(TypeError) as e:
        Base(LongName())
    assert str(e.value) == message("address", "N" * 200)
    assert len(str(e.value)) < 300
