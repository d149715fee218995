"""The physical actuator's commands on a serial transport.

While the transport is exactly VklOverUsb and its send_VKL, the checks that
method calls and the names it reads are the library's own, a command reaches
the port without a Python-level call of send_VKL.  Every override below must
be noticed as the Python call would notice it: the bytes on the line, the
calls and arguments an override sees, the log lines and the errors."""

import importlib
import logging
import struct
import time

import pytest

from emulator import encode_frame
from vkl_api import vkl_over_usb
from vkl_api.kavrel_actuator_real import KavrelActuatorReal
from vkl_api.vkl_over_usb import VklOverUsb

ADDR = 0x20
Mode = KavrelActuatorReal.Mode
TORQUE = KavrelActuatorReal._VKL_Actions.CHANGE_SETPOINT_TORQUE.value
VALUES = (1.5, 1.0, 2.0, 3.0, 4.0)
PAYLOAD = [TORQUE, *struct.pack("<5f", *VALUES)]
# Written to the port directly after the command: everything before it on the
# line is what the command wrote.
MARKER = b"\x01\x02\x03marker"
GUARD_S = 10.0  # deadlock guard only

_orig_send_vkl = VklOverUsb.send_VKL
_orig_builder = vkl_over_usb.build_usb_address_flags
_vkl_module = importlib.import_module(VklOverUsb.__mro__[1].__module__)


class Case:
    """What one override is to give: the transport's class, the frame on the
    line (b"" for none), the calls the overrides saw, and a log line."""

    def __init__(self, arrange, frame=None, seen=(), log=None, cls=VklOverUsb):
        self.arrange = arrange
        self.frame = encode_frame(ADDR, PAYLOAD, priority=True) if frame is None else frame
        self.seen = list(seen)
        self.log = log
        self.cls = cls


class Sub(VklOverUsb):
    def send_VKL(self, address, data, priority=True, can_high_speed=False):
        self.seen.append(("subclass send_VKL", address, list(data), can_high_speed))
        return super().send_VKL(address, data, priority, can_high_speed)


def _recording_send_vkl(seen):
    def send_VKL(self, address, data, priority=True, can_high_speed=False):
        seen.append(("send_VKL", address, list(data), can_high_speed))
        return _orig_send_vkl(self, address, data, priority, can_high_speed)
    return send_VKL


def _send_vkl_on_class(t, act, seen, mp):
    mp.setattr(VklOverUsb, "send_VKL", _recording_send_vkl(seen))


def _send_vkl_on_instance(t, act, seen, mp):
    t.send_VKL = _recording_send_vkl(seen).__get__(t)


def _subclass(t, act, seen, mp):
    t.seen = seen


def _id_check_refusing(t, act, seen, mp):
    t.check_vkl_id_range = lambda address: seen.append(("id check", address))  # None: refused


def _id_check_on_class(t, act, seen, mp):
    mp.setattr(VklOverUsb, "check_vkl_id_range", staticmethod(lambda address: seen.append(("id check", address)) or 1))


def _payload_check_changing_the_list(t, act, seen, mp):
    def check(data):
        seen.append(("payload check", type(data), list(data)))
        data[1] = 0xEE
        return True
    mp.setattr(VklOverUsb, "check_vkl_payload_size", staticmethod(check))


def _payload_check_on_instance_refusing(t, act, seen, mp):
    t.check_vkl_payload_size = lambda data: seen.append(("payload check", list(data))) or 0


def _protocol_address_check(t, act, seen, mp):
    mp.setattr(_vkl_module, "is_valid_vkl_address", lambda a: seen.append(("is_valid_vkl_address", a)) or True)


def _protocol_payload_check(t, act, seen, mp):
    mp.setattr(_vkl_module, "is_valid_vkl_payload", lambda p: seen.append(("is_valid_vkl_payload", list(p))) or True)


def _protocol_check_moving_the_start_byte(t, act, seen, mp):
    def check(address):
        seen.append(("is_valid_vkl_address", address))
        VklOverUsb._MSG_START_BYTE = 0xAB  # undone with the class attribute below
        return True
    mp.setattr(VklOverUsb, "_MSG_START_BYTE", VklOverUsb._MSG_START_BYTE)
    mp.setattr(_vkl_module, "is_valid_vkl_address", check)


def _builder_moving_the_start_byte(t, act, seen, mp):
    def builder(address, priority=True, can_high_speed=False):
        seen.append(("builder", address, priority, can_high_speed))
        t._MSG_START_BYTE = 0xAB
        return _orig_builder(address, priority=priority, can_high_speed=can_high_speed)
    mp.setattr(vkl_over_usb, "build_usb_address_flags", builder)


def _start_byte_on_class(t, act, seen, mp):
    mp.setattr(VklOverUsb, "_MSG_START_BYTE", 0xAB)


def _trailer_on_instance(t, act, seen, mp):
    t._CRC_MAGIC_NUMBER = 0x56


def _port_write_on_instance(t, act, seen, mp):
    write = t._ser.write
    t._ser.write = lambda data: seen.append(("port write", bytes(data))) or write(data)


def _send_common_on_actuator(t, act, seen, mp):
    own = act._send_VKL_common

    def send_common(msg, high_speed_candidate=False):
        seen.append(("_send_VKL_common", list(msg), high_speed_candidate))
        return own(msg, high_speed_candidate)
    act._send_VKL_common = send_common


class Address(int):
    pass


def _address_an_int_subclass(t, act, seen, mp):
    act.address = Address(ADDR)


def _high_speed_flag_an_int(t, act, seen, mp):
    act.can_high_speed = 0  # handed on as it is: 0, not False


def _high_speed_wanted(t, act, seen, mp):
    act.can_high_speed = 1  # the setpoint's own True is handed on


def _high_speed_a_class_property(t, act, seen, mp):
    mp.setattr(type(act), "can_high_speed", property(lambda self: seen.append("property") or True), raising=False)


class FlagMovingTheAddress:
    """A high-speed flag whose truth readdresses the actuator (read after it)."""

    def __init__(self, act):
        self.act = act

    def __bool__(self):
        self.act.address = ADDR + 1
        return False


def _high_speed_flag_moving_the_address(t, act, seen, mp):
    act.can_high_speed = FlagMovingTheAddress(act)


FRAME = encode_frame(ADDR, PAYLOAD, priority=True)
CASES = {
    "nothing replaced": Case(lambda *a: None),
    "send_VKL on the class": Case(_send_vkl_on_class, seen=[("send_VKL", ADDR, PAYLOAD, False)]),
    "send_VKL on the instance": Case(_send_vkl_on_instance, seen=[("send_VKL", ADDR, PAYLOAD, False)]),
    "send_VKL in a subclass": Case(_subclass, seen=[("subclass send_VKL", ADDR, PAYLOAD, False)], cls=Sub),
    "id check on the instance, refusing": Case(_id_check_refusing, frame=b"", seen=[("id check", ADDR)],
                                               log=("ERROR", "Invalid VKL ID: 32")),
    "id check on the class": Case(_id_check_on_class, seen=[("id check", ADDR)]),
    "payload check on the class, changing the list": Case(
        _payload_check_changing_the_list, frame=encode_frame(ADDR, [TORQUE, 0xEE, *PAYLOAD[2:]], priority=True),
        seen=[("payload check", list, PAYLOAD)]),
    "payload check on the instance, refusing": Case(
        _payload_check_on_instance_refusing, frame=b"", seen=[("payload check", PAYLOAD)],
        log=("WARNING", f"Invalid payload length for address 32 - len {len(PAYLOAD)}")),
    "protocol's address check replaced": Case(_protocol_address_check, seen=[("is_valid_vkl_address", ADDR)]),
    "protocol's payload check replaced": Case(_protocol_payload_check, seen=[("is_valid_vkl_payload", PAYLOAD)]),
    "protocol's address check moving the start byte": Case(
        _protocol_check_moving_the_start_byte, frame=encode_frame(ADDR, PAYLOAD, priority=True, start=0xAB),
        seen=[("is_valid_vkl_address", ADDR)]),
    "flag builder replaced, moving the start byte": Case(
        _builder_moving_the_start_byte, frame=encode_frame(ADDR, PAYLOAD, priority=True, start=0xAB),
        seen=[("builder", ADDR, True, False)]),
    "start byte on the class": Case(_start_byte_on_class, frame=encode_frame(ADDR, PAYLOAD, True, start=0xAB)),
    "trailer on the instance": Case(_trailer_on_instance, frame=encode_frame(ADDR, PAYLOAD, True, trailer=0x56)),
    "port's write on the instance": Case(_port_write_on_instance, seen=[("port write", FRAME), ("port write", MARKER)]),
    "_send_VKL_common on the actuator": Case(_send_common_on_actuator, seen=[("_send_VKL_common", PAYLOAD, True)]),
    "actuator address an int subclass": Case(_address_an_int_subclass),
    "actuator high-speed flag an int": Case(_high_speed_flag_an_int),
    "actuator wants high speed": Case(_high_speed_wanted, frame=encode_frame(ADDR, PAYLOAD, True, True)),
    "actuator high-speed flag a property of its class": Case(
        _high_speed_a_class_property, frame=encode_frame(ADDR, PAYLOAD, True, True), seen=["property"]),
    "actuator high-speed flag readdressing it": Case(
        _high_speed_flag_moving_the_address, frame=encode_frame(ADDR + 1, PAYLOAD, True)),
}


def line_after(emulator, t):
    """What the line carried up to the marker written behind the command."""
    t._ser.write(MARKER)
    deadline = time.monotonic() + GUARD_S
    while not emulator.raw_received().endswith(MARKER):
        assert time.monotonic() < deadline, emulator.raw_received()
        time.sleep(0.005)
    return emulator.raw_received()[:-len(MARKER)]


@pytest.fixture
def actuator_on(emulator, make_transport):
    def make(cls=VklOverUsb):
        t = make_transport(emulator, cls=cls)
        assert t.is_connected
        act = KavrelActuatorReal(t, ADDR)
        act._current_mode = Mode.TORQUE  # no mode change ahead of the setpoint
        return t, act
    return make


@pytest.mark.parametrize("earlier", [False, True], ids=["first command", "after a command"])
@pytest.mark.parametrize("case", list(CASES))
def test_override_is_noticed(actuator_on, emulator, monkeypatch, caplog, case, earlier):
    # Made before the first command, or after one (when what that command
    # found of the transport and its port could be taken to hold still).
    c = CASES[case]
    t, act = actuator_on(c.cls)
    before = b""
    if earlier:
        t.seen = []
        act.change_torque_setpoint(*VALUES)
        before = FRAME
    seen = []
    c.arrange(t, act, seen, monkeypatch)
    caplog.set_level(logging.DEBUG)
    act.change_torque_setpoint(*VALUES)
    assert line_after(emulator, t) == before + c.frame
    assert seen == c.seen
    records = [(r.levelname, r.getMessage()) for r in caplog.records if r.name.startswith("vkl_api")]
    assert records == ([c.log] if c.log else [])


def test_class_changed_between_commands(actuator_on, emulator, monkeypatch):
    # What was found of the class for one command must not outlive a change of
    # the class or of one of its bases.
    t, act = actuator_on()
    act.change_torque_setpoint(*VALUES)
    monkeypatch.setattr(VklOverUsb.__mro__[1], "_MSG_START_BYTE", 0xAB)
    act.change_torque_setpoint(*VALUES)
    monkeypatch.setattr(VklOverUsb, "check_vkl_id_range", staticmethod(lambda a: False))
    act.change_torque_setpoint(*VALUES)
    monkeypatch.undo()
    act.change_torque_setpoint(*VALUES)
    assert line_after(emulator, t) == FRAME + encode_frame(ADDR, PAYLOAD, True, start=0xAB) + FRAME


@pytest.mark.parametrize("arrange, exc, text", [
    (lambda t: setattr(t, "check_vkl_payload_size", lambda data: 1 / 0), ZeroDivisionError, "division by zero"),
    (lambda t: setattr(t, "_MSG_START_BYTE", 256), ValueError, "bytes must be in range(0, 256)"),
    (lambda t: setattr(t, "_CRC_MAGIC_NUMBER", "x"), TypeError, "'str' object cannot be interpreted as an integer"),
], ids=["a check raising", "start byte out of range", "trailer not a number"])
def test_errors_reach_the_caller(actuator_on, emulator, arrange, exc, text):
    t, act = actuator_on()
    arrange(t)
    with pytest.raises(exc) as info:
        act.change_torque_setpoint(*VALUES)
    assert type(info.value) is exc and str(info.value) == text
    assert line_after(emulator, t) == b""


def test_result_of_the_transport(actuator_on, emulator, caplog):
    t, act = actuator_on()
    assert act._send_VKL_common([1, 2]) is True
    assert line_after(emulator, t) == encode_frame(ADDR, [1, 2], True)
    t.disconnect()
    caplog.set_level(logging.DEBUG)
    assert act._send_VKL_common([1, 2]) is False
    assert [r.getMessage() for r in caplog.records if r.name.startswith("vkl_api")] == ["Serial port not connected"]



def test_actuators_commanded_in_turn_keep_their_own_reads(emulator, make_transport):
    # A robot's actuators on one bus, commanded one after another: what a
    # command read of its actuator must never answer another's, also once
    # some of them are readdressed or given high speed between commands.
    t = make_transport(emulator)
    acts = [KavrelActuatorReal(t, ADDR + k) for k in range(12)]
    for a in acts:
        a._current_mode = Mode.TORQUE
    expected = b""
    for rnd in range(3):
        for k, a in enumerate(acts):
            if rnd == 1 and k % 3 == 0:
                a.address = ADDR + 0x40 + k
            if rnd == 2 and k % 4 == 1:
                a.can_high_speed = True
            a.change_torque_setpoint(*VALUES)
            expected += encode_frame(a.address, PAYLOAD, True, a.can_high_speed)
    assert line_after(emulator, t) == expected
