"""Commands of the physical actuator as they reach the wire: payload bytes, the
high-speed flag, the mode cache, value packing, parameter-write batching and the
maintenance commands.  Frames are read back by the emulator."""

import inspect
import logging
import struct
import sys
from fractions import Fraction

import pytest

from device_models import (Items, Mode, Params, RecordingTransport, clock, f32, rig,  # noqa: F401
                           single)
from vkl_api import kavrel_actuator_real as kar
from vkl_api.kavrel_actuator_real import KavrelActuatorReal

NAN = [0x00, 0x00, 0xC0, 0x7F]
TP = KavrelActuatorReal.TorquePerformance
SP = KavrelActuatorReal.SpeedPerformance
Rates = KavrelActuatorReal.Rates


def floats(*values):
    out = []
    for v in values:
        out += f32(v)
    return out


def wire(emu, n):
    """Payload and high-speed flag of the next n frames on the line (all to one address)."""
    frames = emu.wait_frames(n)
    assert len(frames) == n, frames
    return [(f.address, f.payload, f.high_speed) for f in frames]


# -- mode and setpoint commands ---------------------------------------------------------

SETPOINTS = [
    # method, arguments by keyword (in a shuffled order), mode, action id, values in wire order
    ("change_torque_setpoint", dict(iq_Ki=4.0, setpoint=0.5, id_Ki=2.0, iq_Kp=3.0, id_Kp=1.0),
     Mode.TORQUE, 17, [0.5, 1.0, 2.0, 3.0, 4.0]),
    ("change_speed_setpoint", dict(setpoint=1.5, spd_Kp=3.0, spd_Ki=2.0, FF_gain=1.0, ref_ff_torque=4.0),
     Mode.SPEED, 18, [1.5, 1.0, 2.0, 3.0, 4.0]),
    ("change_position_setpoint", dict(setpoint=-2.0, pos_Kp=4.0, spd_Kp=3.0, spd_Ki=2.0, FF_gain=1.0,
                                      ref_ff_torque=5.0),
     Mode.POSITION, 19, [-2.0, 1.0, 2.0, 3.0, 4.0, 5.0]),
    ("change_impedance_setpoint", dict(setpoint=0.25, ref_impedance_acel=7.0, ref_impedance_spd=6.0,
                                       ref_ff_torque=5.0, J_imp=4.0, K_damp=3.0, K_stiff=2.0, FF_gain=1.0),
     Mode.IMPEDANCE, 20, [0.25, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0]),
    ("internal_change_speed_setpoint", dict(spd_wo=3.0, spd_wc=2.0, spd_b0=1.0, setpoint=9.0),
     Mode.SPEED, 21, [9.0, 1.0, 2.0, 3.0]),
    ("internal_change_position_setpoint", dict(setpoint=0.1, spd_wo=8.0, spd_wc=7.0, spd_b0=6.0, pos_wo=5.0,
                                               pos_wc=4.0, pos_b0=3.0, pos_Kd=2.0, pos_Ki=1.0),
     Mode.POSITION, 22, [0.1, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0]),
]


@pytest.mark.parametrize("method, kwargs, mode, action, values", SETPOINTS, ids=[s[0] for s in SETPOINTS])
def test_mode_setpoint_switches_mode_once_then_sends_values_in_wire_order(rig, method, kwargs, mode, action,
                                                                          values):
    a, emu = rig.actuator, rig.emu
    emu.clear()
    assert getattr(a, method)(**kwargs) is None
    payload = [action] + floats(*values)
    assert len(payload) == 1 + 4 * len(values)
    assert wire(emu, 2) == [(0x10, [3, mode.value], False), (0x10, payload, False)]
    assert a._current_mode is mode
    emu.clear()
    getattr(a, method)(**kwargs)
    assert wire(emu, 1) == [(0x10, payload, False)]


@pytest.mark.parametrize("method, kwargs, mode, action, values", SETPOINTS, ids=[s[0] for s in SETPOINTS])
def test_omitted_gains_travel_as_single_precision_nan(rig, method, kwargs, mode, action, values):
    a = rig.actuator
    getattr(a, method)(1.0)
    assert rig.transport.sent[-1].copy == [action, 0x00, 0x00, 0x80, 0x3F] + NAN * (len(values) - 1)


# Calls of the setpoint commands in every form, beside the same call through the general
# dispatch of the bound function (which every call a command's own entry declines goes to).
_SETPOINT = "".join(["set", "point"])  # a keyword equal to the parameter's name but not the same object
_TORQUE_FORMS = [
    ((0.5,), {}), ((0.5, 1.0, 2.0, 3.0, 4.0), {}), ((0.5, 1.0), {"iq_Ki": 4.0}),
    ((), {"setpoint": 0.5, "iq_Kp": 3.0}), ((), {"iq_Kp": 3.0}), ((), {}), ((0.5, 1.0, 2.0, 3.0, 4.0, 5.0), {}),
    ((0.5,), {"setpoint": 1.0}), ((0.5,), {"foo": 1.0}), ((None,), {}), ((0.5,), {"id_Kp": None}),
    (("x",), {}), ((0.5, "x"), {}), ((2 ** 1100,), {}), ((1,), {"iq_Ki": True}), ((), {_SETPOINT: 0.7}),
    ((0.5,), {"id_Kp": 1.0, "id_ki": 2.0}),
]


def _in_bound_order(name, kwargs):
    """The keyword arguments of a SETPOINTS row as positions, in the order the method takes them."""
    params = list(inspect.signature(getattr(KavrelActuatorReal, name)).parameters)[1:]
    assert sorted(params) == sorted(kwargs)
    return tuple(kwargs[p] for p in params)


_EVERY_COMMAND_FORMS = [(name, (), kwargs) for name, kwargs, *_ in SETPOINTS] + [
    (name, _in_bound_order(name, kwargs), {}) for name, kwargs, *_ in SETPOINTS
] + [(name, (0.25,), {}) for name, *_ in SETPOINTS] + [
    ("change_setpoint", (0.25,), {}), ("change_setpoint", (), {"setpoint": 0.25}), ("change_setpoint", (), {}),
    ("change_setpoint", (None,), {}), ("change_setpoint", (0.25, 1.0), {}),
]


@pytest.mark.parametrize("name, args, kwargs",
                         [("change_torque_setpoint", a, k) for a, k in _TORQUE_FORMS] + _EVERY_COMMAND_FORMS)
def test_setpoint_call_forms_match_the_general_dispatch(rig, name, args, kwargs):
    a = rig.actuator
    general = getattr(KavrelActuatorReal, name).__wrapped_native__
    outcomes = []
    for call in (lambda: getattr(a, name)(*args, **kwargs),
                 lambda: getattr(KavrelActuatorReal, name)(a, *args, **kwargs),
                 lambda: general(a, *args, **kwargs)):
        a._current_mode = None
        rig.transport.sent.clear()
        try:
            got = ("ok", call())
        except Exception as e:  # the error's type and text are part of the outcome
            got = (type(e), str(e))
        outcomes.append((got, rig.transport.payloads(), a._current_mode))
    assert outcomes[0] == outcomes[1] == outcomes[2]


@pytest.mark.parametrize("args, kwargs", [((), {}), ((), {"setpoint": 1.0}), ((None, 1.0), {}),
                                          ((None,), {"setpoint": 1.0})])
def test_setpoint_commands_called_without_self(args, kwargs):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        KavrelActuatorReal.change_torque_setpoint(*args, **kwargs)


def test_speed_setpoint_on_a_fresh_actuator_exact_bytes(rig):
    rig.emu.clear()
    rig.actuator.change_speed_setpoint(1.0)
    assert [p for _, p, _ in wire(rig.emu, 2)] == [[3, 6], [18, 0x00, 0x00, 0x80, 0x3F] + NAN * 4]


def test_torque_gain_by_keyword_lands_in_its_slot(rig):
    rig.actuator.change_torque_setpoint(0.5, iq_Ki=2.0)
    assert rig.transport.sent[-1].copy == [17] + f32(0.5) + NAN * 3 + f32(2.0)


def test_change_setpoint_leaves_the_mode_alone(rig):
    a = rig.actuator
    rig.emu.clear()
    a.change_setpoint(1.0)
    a.change_setpoint(2)
    assert [p for _, p, _ in wire(rig.emu, 2)] == [[4, 0, 0, 128, 63], [4] + f32(2.0)]
    assert a._current_mode is None


@pytest.mark.parametrize("first, second, mode_sent", [
    ("change_position_setpoint", "internal_change_position_setpoint", False),
    ("internal_change_position_setpoint", "change_position_setpoint", False),
    ("change_speed_setpoint", "internal_change_speed_setpoint", False),
    ("internal_change_speed_setpoint", "change_speed_setpoint", False),
    ("change_speed_setpoint", "change_position_setpoint", True),
    ("change_impedance_setpoint", "change_torque_setpoint", True),
])
def test_mode_is_shared_between_setpoints_of_one_mode(rig, first, second, mode_sent):
    a = rig.actuator
    getattr(a, first)(0.0)
    n = len(rig.transport.sent)
    getattr(a, second)(0.0)
    actions = [s.copy[0] for s in rig.transport.sent[n:]]
    assert actions == ([3] if mode_sent else []) + [rig.transport.sent[-1].copy[0]]


class _Moving(KavrelActuatorReal):
    """Moves to another address, with high speed, once its mode is changed."""

    def change_mode(self, mode):
        super().change_mode(mode)
        self.address = 0x11
        self.can_high_speed = True


@pytest.mark.parametrize("method, kwargs, mode, action, values", SETPOINTS, ids=[s[0] for s in SETPOINTS])
def test_setpoint_reads_the_actuator_again_after_a_mode_change_ran_code(rig, method, kwargs, mode, action,
                                                                         values):
    a = _Moving(rig.transport, 0x10)
    rig.emu.clear()
    getattr(a, method)(**kwargs)
    assert wire(rig.emu, 2) == [(0x10, [3, mode.value], False), (0x11, [action] + floats(*values), True)]


class _MovedByItsMode(KavrelActuatorReal):
    """Its mode is a property whose getter moves the actuator to the next address."""

    @property
    def _current_mode(self):
        self.moves = self.__dict__.get("moves", 0) + 1
        self.address = 0x10 + self.moves
        return self.__dict__.get("mode_kept")

    @_current_mode.setter
    def _current_mode(self, mode):
        self.__dict__["mode_kept"] = mode


def test_setpoint_reads_the_actuator_again_after_its_mode_was_read_by_code(rig):
    a = _MovedByItsMode(rig.transport, 0x10)
    a.__dict__.pop("moves", None)
    rig.emu.clear()
    a.change_torque_setpoint(0.5)
    a.change_torque_setpoint(0.5)
    payload = [17] + floats(0.5) + NAN * 4
    assert wire(rig.emu, 3) == [(0x11, [3, Mode.TORQUE.value], False), (0x11, payload, False), (0x12, payload, False)]


def test_change_mode_caches_before_sending_and_setpoint_does_not_repeat_it(rig):
    a = rig.actuator
    a.change_mode(Mode.TORQUE)
    a.change_torque_setpoint(1.0)
    assert [s.copy[0] for s in rig.transport.sent] == [3, 17]
    assert rig.transport.sent[0].copy == [3, 5]


def test_mode_cache_follows_a_refused_change_mode(rig, caplog):
    a = rig.actuator
    rig.transport.disconnect()   # the port is closed as the polling thread ends
    with caplog.at_level(logging.WARNING):
        a.change_speed_setpoint(1.0)
        a.change_speed_setpoint(2.0)
    assert a._current_mode is Mode.SPEED
    assert [s.copy[0] for s in rig.transport.sent] == [3, 18, 18]


def test_change_mode_without_value_sets_the_cache_and_sends_nothing(rig):
    a = rig.actuator
    odd = object()
    with pytest.raises(AttributeError):
        a.change_mode(odd)
    assert a._current_mode is odd
    assert rig.transport.sent == []


@pytest.mark.parametrize("bad, error", [("1.0", TypeError), (None, TypeError), ([1.0], TypeError),
                                        (1 + 2j, TypeError), (2 ** 1100, OverflowError)])
def test_setpoint_that_is_no_real_number_sends_nothing(rig, bad, error):
    a = rig.actuator
    with pytest.raises(error):
        a.change_torque_setpoint(bad)
    with pytest.raises(error):
        a.change_torque_setpoint(1.0, iq_Ki=bad)
    assert rig.transport.sent == []
    assert a._current_mode is None


class _Index:
    def __index__(self):
        return 3


class _Float:
    def __float__(self):
        return 0.1


FLT_MAX = struct.unpack("<f", bytes([0xFF, 0xFF, 0x7F, 0x7F]))[0]
HALF_ULP_ABOVE_MAX = 2.0 ** 128 - 2.0 ** 103


@pytest.mark.parametrize("value", [
    0.1, -0.0, 1e-46, 1.4e-45, 1e-40, FLT_MAX, -FLT_MAX, HALF_ULP_ABOVE_MAX * (1 - 2 ** -52),
    16777217.0, 1.0000000596046448, float("inf"), float("-inf"), float("nan"), -float("nan"),
    True, 7, -(2 ** 70), Fraction(1, 3), _Index(), _Float(),
])
def test_values_pack_like_struct(rig, value):
    rig.actuator.change_setpoint(value)
    assert rig.transport.sent[-1].copy == [4] + list(struct.pack("<f", value))


@pytest.mark.parametrize("value", [HALF_ULP_ABOVE_MAX, -HALF_ULP_ABOVE_MAX, 3.5e38, 1e300, 2 ** 128])
def test_finite_value_beyond_single_precision_overflows_after_the_mode_change(rig, value):
    with pytest.raises(OverflowError):
        struct.pack("<f", float(value))
    a = rig.actuator
    with pytest.raises(OverflowError, match="float too large to pack with f format"):
        a.change_position_setpoint(0.0, pos_Kp=value)
    assert [s.copy for s in rig.transport.sent] == [[3, 7]]
    assert a._current_mode is Mode.POSITION


@pytest.mark.parametrize("can_high_speed, candidate_flag", [(False, False), (True, True), (0, 0), ("yes", True)])
def test_high_speed_is_asked_only_for_candidates(rig, can_high_speed, candidate_flag):
    a = rig.actuator
    a.can_high_speed = can_high_speed
    a.change_speed_setpoint(1.0)
    a.change_setpoint(2.0)
    a.internal_change_position_setpoint(1.0)
    a.start()
    flags = [(s.copy[0], s.kwargs["can_high_speed"]) for s in rig.transport.sent]
    # The value handed over is the `and` of the two: can_high_speed itself when falsy.
    other = False if can_high_speed else can_high_speed
    assert flags == [(3, other), (18, candidate_flag), (4, candidate_flag), (3, other),
                     (22, candidate_flag), (1, other)]
    for f in flags:
        assert type(f[1]) is type(candidate_flag if f[0] in (4, 18, 22) else other)


def test_high_speed_reaches_the_wire_for_setpoints_only(rig):
    a, emu = rig.actuator, rig.emu
    emu.clear()
    a.set_can_high_speed(True)
    emu.wait_frames(1)
    emu.clear()
    a.change_torque_setpoint(1.0)
    a.stop()
    assert [(p[0], hs) for _, p, hs in wire(emu, 3)] == [(3, False), (17, True), (2, False)]


# -- get_mode ------------------------------------------------------------------------------

def test_get_mode_with_a_cached_mode_sends_nothing(rig):
    a = rig.actuator
    a._current_mode = Mode.DVI
    assert a.get_mode() is Mode.DVI
    assert rig.transport.sent == []


def test_get_mode_reads_and_caches_the_device_mode(rig):
    rig.device.parameters[48] = 8.0
    a = rig.actuator
    assert a.get_mode() is Mode.IMPEDANCE
    assert a._current_mode is Mode.IMPEDANCE
    assert rig.transport.payloads() == [[12, 48]]
    assert a.get_mode() is Mode.IMPEDANCE
    assert len(rig.transport.sent) == 1


def test_get_mode_asks_through_the_instance_with_half_a_second(rig):
    calls = []

    class Probe(KavrelActuatorReal):
        def get_parameters(self, parameters, timeout=1.0):
            calls.append((parameters, timeout))
            return {}

    a = Probe(rig.transport, 0x11)
    assert a.get_mode() is Mode.SPEED
    assert calls == [([Params.MODE], 0.5)]


def test_get_mode_without_answer_falls_back_to_speed_uncached(rig, clock, caplog):
    rig.device.silent.add(12)
    a = rig.actuator
    with caplog.at_level(logging.ERROR):
        assert a.get_mode() is Mode.SPEED
    assert a._current_mode is None
    assert sum(clock.sleeps) == pytest.approx(0.5, abs=0.0101)
    assert set(clock.sleeps) == {0.01}
    assert [r.getMessage() for r in caplog.records] == ["Timeout while waiting for response"]
    a.get_mode()
    assert rig.transport.payloads() == [[12, 48], [12, 48]]


def test_get_mode_with_an_invalid_device_mode(rig, caplog):
    rig.device.parameters[48] = 9.0
    a = rig.actuator
    with caplog.at_level(logging.WARNING):
        assert a.get_mode() is Mode.SPEED
    assert a._current_mode is None
    assert a.parameters[Params.MODE] is None
    assert "Invalid mode value 9.0 for parameter 48" in [r.getMessage() for r in caplog.records]


# -- home position and feedback selection -------------------------------------------------------

def test_home_position_and_feedback_items(rig):
    a, emu = rig.actuator, rig.emu
    emu.clear()
    a.set_home_position()
    old = a.feedback
    old[Items.VBUS] = 24.0
    a.set_feedback_items([])
    assert a.feedback == {} and a.feedback is not old and old == {Items.VBUS: 24.0}
    a.set_feedback_items([Items.SPEED_FB, Items.IA, Items.SPEED_FB])
    assert [p for _, p, _ in wire(emu, 3)] == [[10], [7], [7, 69, 70, 69]]


def test_feedback_items_refused_before_anything_is_sent(rig):
    a = rig.actuator

    class Items2(list):
        pass

    with pytest.raises(TypeError, match=r"^Argument 'items' has incorrect type \(expected list, got tuple\)$"):
        a.set_feedback_items((Items.SPEED_FB, Items.IA))
    with pytest.raises(TypeError, match=r"expected list, got NoneType"):
        a.set_feedback_items(None)
    with pytest.raises(TypeError, match=r"expected list, got Items2") as exc:
        a.set_feedback_items(Items2([Items.IA]))
    assert exc.value.__notes__
    kept = a.feedback
    with pytest.raises(AttributeError):
        a.set_feedback_items([Items.IA, 70])
    assert a.feedback is kept
    assert rig.transport.sent == []


@pytest.mark.parametrize("rate, divider", [
    (Rates.RATE_1KHZ, 20), (Rates.DISABLED, 0), (Rates.RATE_1HZ, 20000), (Rates.RATE_2KHZ, 10),
    (0, 0), (1000, 20), (1, 20000), (20000, 1), (3, 6667), (8000, 2), (1600, 12), (16000, 1),
    (True, 20000), (False, 0), (6, 3333), (7, 2857),
])
def test_feedback_rate_divider(rig, rate, divider):
    rig.emu.clear()
    rig.actuator.set_feedback_rate(rate)
    assert wire(rig.emu, 1)[0][1] == [6] + list(struct.pack("<I", divider))


def test_feedback_rate_one_hertz_bytes(rig):
    rig.actuator.set_feedback_rate(1)
    assert rig.transport.sent[-1].copy == [6, 0x20, 0x4E, 0, 0]


@pytest.mark.parametrize("rate, error, text", [
    (20001, ValueError, "Rate cannot exceed maximum feedback rate of 20000 Hz"),
    (-5, ValueError, "Rate must be non-negative, got -5"),
    (100.0, TypeError, "rate must be a Rates enum or int, got float"),
    (None, TypeError, "rate must be a Rates enum or int, got NoneType"),
    ("100", TypeError, "rate must be a Rates enum or int, got str"),
    (Mode.SPEED, TypeError, "rate must be a Rates enum or int, got Mode"),
])
def test_feedback_rate_refused(rig, rate, error, text):
    with pytest.raises(error) as exc:
        rig.actuator.set_feedback_rate(rate)
    assert str(exc.value) == text
    assert rig.transport.sent == []


def test_feedback_rate_limit_is_read_at_call_time(rig, monkeypatch):
    monkeypatch.setattr(kar, "MAX_FEEDBACK_RATE_ALLOWED_HZ", 1000)
    a = rig.actuator
    a.set_feedback_rate(1000)
    a.set_feedback_rate(3)
    assert [s.copy for s in rig.transport.sent] == [[6, 1, 0, 0, 0], [6, 77, 1, 0, 0]]
    with pytest.raises(ValueError, match="^Rate cannot exceed maximum feedback rate of 1000 Hz$"):
        a.set_feedback_rate(1001)


# -- parameter writes and maintenance -------------------------------------------------------------

def test_change_address_writes_to_the_old_address_then_moves(rig):
    a, emu = rig.actuator, rig.emu
    emu.clear()
    a.change_address(0x20)
    assert a.address == 32
    a.blink()
    assert wire(emu, 2) == [(0x10, [11, 129, 0, 0, 0, 66], False), (0x20, [65], False)]
    # the transport entry stays under the address of construction
    assert rig.transport.callbacks[0x10] == a._can_callback and 0x20 not in rig.transport.callbacks


@pytest.mark.parametrize("new, level, text", [
    (0x10, logging.WARNING, "New address is the same as the current address 16"),
    (16.8, logging.WARNING, "New address is the same as the current address 16"),
    (0x0F, logging.ERROR, "Invalid new address 15. Address must be between 0x10 and 0x3FFE (16 to 16382)"),
    (0x3FFF, logging.ERROR, "Invalid new address 16383. Address must be between 0x10 and 0x3FFE (16 to 16382)"),
    (-1, logging.ERROR, "Invalid new address -1. Address must be between 0x10 and 0x3FFE (16 to 16382)"),
])
def test_change_address_refused(rig, caplog, new, level, text):
    with caplog.at_level(logging.WARNING):
        rig.actuator.change_address(new)
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(level, text)]
    assert rig.actuator.address == 0x10
    assert rig.transport.sent == []


def test_change_address_converts_and_checks_through_the_instance(rig):
    seen = []

    class Checked(KavrelActuatorReal):
        def is_valid_actuator_address(self, address):
            seen.append(address)
            return True

    a = Checked(rig.transport, 0x10)
    a.change_address(5.9)
    assert seen == [5] and a.address == 5
    assert rig.transport.sent[-1].copy == [11, 129] + f32(5.0)
    with pytest.raises(TypeError, match=r"^Argument 'new_address' has incorrect type \(expected int, got str\)$"):
        a.change_address("32")


@pytest.fixture
def small_batches(monkeypatch):
    monkeypatch.setattr(kar, "VKL_MAX_PARAMETERS_PER_REQUEST", 2)
    return 2


def test_set_parameters_batches_in_dictionary_order(rig, small_batches):
    a, emu = rig.actuator, rig.emu
    values = {Params.KP_SPEED: 1.5, Params.MODE: 7, Params.CAN_HIGH_SPEED: 1, Params.LIM_TORQUE: 0.1,
              Params.FIRMWARE_VERSION: 3}
    emu.clear()
    a.set_parameters(values)
    assert [p for _, p, _ in wire(emu, 3)] == [
        [11, 13, *f32(1.5), 48, *f32(7.0)],
        [11, 133, 0, 0, 0x80, 0x3F, 4, *f32(0.1)],
        [11, 128, *f32(3.0)],
    ]


@pytest.mark.parametrize("n, batches", [(0, []), (1, [1]), (12, [12]), (13, [12, 1]), (24, [12, 12]),
                                        (25, [12, 12, 1])])
def test_set_parameters_batch_sizes(rig, n, batches):
    keys = list(Params)[:n]
    rig.actuator.set_parameters({k: float(i) for i, k in enumerate(keys)})
    sent = rig.transport.payloads()
    assert [(len(p) - 1) // 5 for p in sent] == batches
    assert all(p[0] == 11 for p in sent)
    assert [p[1 + 5 * j] for p in sent for j in range((len(p) - 1) // 5)] == [k.value for k in keys]


def test_set_parameters_failure_keeps_the_complete_batches(rig, small_batches):
    a = rig.actuator
    with pytest.raises(OverflowError):
        a.set_parameters({Params.KP_SPEED: 1.0, Params.KI_SPEED: 2.0, Params.LIM_TORQUE: 3.0,
                          Params.FF_GAIN: 1e39, Params.MODE: 5.0})
    assert rig.transport.payloads() == [[11, 13, *f32(1.0), 14, *f32(2.0)]]
    for bad, text in [("1.0", "required argument is not a float"), (2 ** 1100, "required argument is not a float"),
                      (2 ** 128, "int too large to convert"), (-(2 ** 200), "int too large to convert")]:
        with pytest.raises(struct.error) as exc:
            struct.pack("<f", bad)
        assert str(exc.value) == text
        with pytest.raises(struct.error, match=f"^{text}$"):
            a.set_parameters({Params.KP_SPEED: bad})
    with pytest.raises(AttributeError):
        a.set_parameters({13: 1.0})
    assert len(rig.transport.sent) == 1


def test_set_parameters_refuses_anything_but_a_dict(rig):
    class D(dict):
        pass

    for bad, name in [([], "list"), (None, "NoneType"), (D({Params.MODE: 1.0}), "D")]:
        with pytest.raises(TypeError, match=rf"^Argument 'parameters' has incorrect type \(expected dict, got {name}\)$"):
            rig.actuator.set_parameters(bad)
    assert rig.transport.sent == []


def test_set_parameters_sees_a_dictionary_change_during_the_walk(rig, small_batches):
    values = {Params.KP_SPEED: 1.0, Params.KI_SPEED: 2.0, Params.LIM_TORQUE: 3.0}

    class Growing(KavrelActuatorReal):
        def _send_VKL_common(self, msg, high_speed_candidate=False):
            values[Params.FF_GAIN] = 0.0
            return True

    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        Growing(rig.transport, 0x10).set_parameters(values)


@pytest.mark.parametrize("flag, attr, value", [(0, False, 0.0), ("", False, 0.0), ("on", True, 1.0),
                                               (True, True, 1.0), ([1], True, 1.0)])
def test_set_can_high_speed(rig, flag, attr, value):
    a = rig.actuator
    a.set_can_high_speed(flag)
    assert a.can_high_speed is attr
    assert rig.transport.payloads() == [[11, 133, *f32(value)]]


def test_set_can_high_speed_writes_through_the_instance(rig):
    written = []

    class W(KavrelActuatorReal):
        def set_parameters(self, parameters):
            written.append((self.can_high_speed, parameters))

    W(rig.transport, 0x10).set_can_high_speed(1)
    assert written == [(True, {Params.CAN_HIGH_SPEED: 1.0})]
    assert type(written[0][1][Params.CAN_HIGH_SPEED]) is float


class _Preset:
    value = 9


@pytest.mark.parametrize("call, payloads", [
    (lambda a: a.set_torque_performance(TP.SOFT), [[13, 3]]),
    (lambda a: a.set_torque_performance(_Preset()), [[13, 9]]),
    (lambda a: a.set_speed_performance(SP.CUSTOM), [[14, 4]]),
    (lambda a: a.set_speed_performance(SP.AGGRESSIVE), [[14, 1]]),
    (lambda a: a.save_config(), [[57]]),
    (lambda a: a.blink(), [[65]]),
    (lambda a: a.start(), [[1]]),
    (lambda a: a.stop(), [[2]]),
])
def test_device_commands(rig, call, payloads):
    rig.emu.clear()
    assert call(rig.actuator) is None
    assert [p for _, p, _ in wire(rig.emu, len(payloads))] == payloads


def test_preset_without_value_sends_nothing(rig):
    with pytest.raises(AttributeError):
        rig.actuator.set_speed_performance(2)
    assert rig.transport.sent == []


def test_enter_bootloader_pauses_and_keeps_the_link(rig, clock):
    a = rig.actuator
    rig.emu.clear()
    assert a.enter_bootloader() is None
    assert wire(rig.emu, 1)[0][1] == [193]
    assert clock.sleeps == [0.1]
    assert rig.transport.is_connected and rig.transport.callbacks[0x10] == a._can_callback


def test_restore_factory_parameters_sends_clears_then_settles(rig, clock):
    a = rig.actuator
    a.can_high_speed = True
    a._current_mode = Mode.TORQUE
    old = (a.feedback, a.low_feedback, a.parameters)
    for d in old:
        d[1] = 2
    a.got_parameters, a.model, a.firmware_version, a._connected = True, "VK50", "1.2.3", True
    seen = []
    clock.on_sleep = lambda s: seen.append((len(rig.transport.sent), a._current_mode, dict(a.parameters)))
    rig.emu.clear()
    assert a.restore_factory_parameters() is None
    assert [p for _, p, _ in wire(rig.emu, 3)] == [[2], [6, 0, 0, 0, 0], [194]]
    assert clock.sleeps == [1.0]
    assert seen == [(3, None, {})]
    assert a.can_high_speed is False and a._current_mode is None
    new = (a.feedback, a.low_feedback, a.parameters)
    assert all(d == {} for d in new) and all(n is not o for n, o in zip(new, old))
    assert all(d == {1: 2} for d in old)
    assert (a.got_parameters, a.model, a.firmware_version, a._connected) == (True, "VK50", "1.2.3", True)
    # the next mode setpoint switches mode again
    a.change_torque_setpoint(0.0)
    assert [s.copy[0] for s in rig.transport.sent[-2:]] == [3, 17]


def test_restore_factory_parameters_uses_the_instance_commands(rig, clock):
    calls = []

    class R(KavrelActuatorReal):
        def stop(self):
            calls.append("stop")

        def set_feedback_rate(self, rate):
            calls.append(rate)

    R(rig.transport, 0x10).restore_factory_parameters(settle_time=Fraction(1, 4))
    assert calls == ["stop", Rates.DISABLED]
    assert rig.transport.payloads() == [[194]]
    assert clock.sleeps == [0.25] and type(clock.sleeps[0]) is float


def test_restore_factory_parameters_argument_and_negative_settle_time(rig):
    a = rig.actuator
    with pytest.raises(TypeError):
        a.restore_factory_parameters("1")
    assert rig.transport.sent == []
    a._current_mode = Mode.SPEED
    with pytest.raises(ValueError):
        a.restore_factory_parameters(-1)
    assert rig.transport.payloads() == [[2], [6, 0, 0, 0, 0], [194]]
    assert a._current_mode is None


def test_mode_comparison_is_the_interpreters_not_equal(rig):
    class Agreeable:
        def __ne__(self, other):
            return False

    a = rig.actuator
    a._current_mode = Agreeable()
    a.change_speed_setpoint(1.0)
    assert [s.copy[0] for s in rig.transport.sent] == [18]

    class Contrary:
        value = 6

        def __ne__(self, other):
            return True

    a._current_mode = c = Contrary()
    a.change_mode(c)
    a.change_speed_setpoint(1.0)
    assert [s.copy[0] for s in rig.transport.sent][1:] == [3, 3, 18]
