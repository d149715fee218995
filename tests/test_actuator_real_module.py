"""Surface of the physical actuator module: its namespace, class layout, signatures
and defaults fixed at import, construction, and the one path every command takes
(`_send_VKL_common`, looked up on the instance).  Its sibling imports are in
test_module_imports."""

import inspect
import logging
import math
import struct
import time
import typing
import warnings

import pytest

from device_models import RecordingTransport, f32, rig  # noqa: F401
from vkl_api import _kavrel_actuator_base, _protocol
from vkl_api import kavrel_actuator_real as kar
from vkl_api.kavrel_actuator_real import KavrelActuatorReal, KavrelActuatorScannerReal
from device_models import NullTransport

R = KavrelActuatorReal
Items, Params, Mode, Rates = R.VKL_Items, R.VKL_Parameters, R.Mode, R.Rates
NAN = [0x00, 0x00, 0xC0, 0x7F]


# -- namespace --------------------------------------------------------------------------

def test_module_namespace_in_build_order():
    names = [n for n in vars(kar) if not n.startswith("__") or n == "__all__"]
    assert names == ["sleep", "time", "struct", "logging", "nan", "Any", "Dict", "List", "Optional", "Union",
                     "warnings", "KavrelActuatorBase", "VKL_ACTUATOR_ADDRESS_MAX",
                     "VKL_MAX_FEEDBACK_ITEMS_PER_REQUEST", "VKL_MAX_PARAMETERS_PER_REQUEST",
                     "MAX_FEEDBACK_RATE_ALLOWED_HZ", "KavrelActuatorReal", "KavrelActuatorScannerReal", "__all__"]
    assert kar.sleep is time.sleep and kar.time is time.time
    assert kar.struct is struct and kar.logging is logging and kar.warnings is warnings
    assert kar.nan is math.nan
    assert (kar.Any, kar.Dict, kar.List, kar.Optional, kar.Union) == (
        typing.Any, typing.Dict, typing.List, typing.Optional, typing.Union)
    assert kar.KavrelActuatorBase is _kavrel_actuator_base.KavrelActuatorBase
    for name in ("VKL_ACTUATOR_ADDRESS_MAX", "VKL_MAX_FEEDBACK_ITEMS_PER_REQUEST", "VKL_MAX_PARAMETERS_PER_REQUEST"):
        assert getattr(kar, name) == getattr(_protocol, name) and type(getattr(kar, name)) is int
    assert kar.MAX_FEEDBACK_RATE_ALLOWED_HZ == 20000 and type(kar.MAX_FEEDBACK_RATE_ALLOWED_HZ) is int
    assert kar.__all__ == ["KavrelActuatorReal", "KavrelActuatorScannerReal"] and type(kar.__all__) is list


def test_classes_and_their_members_in_source_order():
    assert R.__bases__ == (kar.KavrelActuatorBase,) and KavrelActuatorScannerReal.__bases__ == (R,)
    assert R.__doc__ == "Control a physical Kavrel actuator through a VKL transport."
    assert KavrelActuatorScannerReal.__doc__ == "Discover real actuators through a connected CAN adapter."
    assert R.__module__ == KavrelActuatorScannerReal.__module__ == "vkl_api.kavrel_actuator_real"
    members = [n for n in vars(R) if not n.startswith("__") or n == "__init__"]
    assert members == [
        "__init__", "implementation_version", "connect", "disconnect", "send_ping", "change_address", "start",
        "stop", "change_mode", "get_mode", "change_setpoint", "change_torque_setpoint", "change_speed_setpoint",
        "change_position_setpoint", "change_impedance_setpoint", "internal_change_speed_setpoint",
        "internal_change_position_setpoint", "set_home_position", "set_feedback_items", "set_feedback_rate",
        "get_items_blocking", "set_parameters", "get_parameters", "get_parameters_all", "set_can_high_speed",
        "set_torque_performance", "set_speed_performance", "save_config", "restore_factory_parameters", "blink",
        "enter_bootloader", "changeAddress", "setFeedbackItems", "setFeedbackRate", "set_high_freq_feedback_items",
        "setHighFreqFeedbackItems", "set_high_freq_feedback_rate", "setHighFreqFeedbackRate",
        "set_low_freq_feedback_items", "setLowFreqFeedbackItems", "set_low_freq_feedback_rate",
        "setLowFreqFeedbackRate", "getItemsBlocking", "reset_encoder_position", "_parse_firmware_version",
        "_send_VKL_common", "_can_callback", "_KavrelActuatorReal__parse_parameters",
        "_KavrelActuatorReal__parse_errors"]
    assert [n for n in vars(KavrelActuatorScannerReal) if not n.startswith("__") or n == "__init__"] == [
        "__init__", "scan", "is_connected"]
    assert isinstance(vars(R)["implementation_version"], property)
    assert isinstance(vars(R)["_parse_firmware_version"], staticmethod)
    assert isinstance(vars(KavrelActuatorScannerReal)["is_connected"], property)
    for inherited in ("connected", "set_feedback_callback", "set_error_callback", "set_low_freq_feedback_callback",
                      "get_feedback", "is_valid_actuator_address", "_default_error_callback"):
        assert inherited not in vars(R)


@pytest.mark.parametrize("name, first_line", [
    ("change_mode", "Change the actuator control mode."),
    ("get_mode", "Return the current actuator control mode."),
    ("change_setpoint", "Change the setpoint for the current control mode."),
    ("change_torque_setpoint", "Switch to torque mode and send a torque setpoint."),
    ("change_speed_setpoint", "Switch to speed mode and send a speed setpoint."),
    ("change_position_setpoint", "Switch to position mode and send a position setpoint."),
    ("change_impedance_setpoint", "Switch to impedance mode and send an impedance setpoint."),
    ("internal_change_speed_setpoint", "Send an internal speed-controller setpoint packet."),
    ("internal_change_position_setpoint", "Send an internal position-controller setpoint packet."),
    ("set_home_position", "Set the current actuator position as the zero reference."),
    ("set_feedback_items", "Configure the high-frequency feedback item stream."),
    ("set_feedback_rate", "Configure the high-frequency feedback rate."),
    ("get_items_blocking", "Request specific feedback items and wait for their response."),
    ("get_parameters", "Read actuator parameters."),
    ("get_parameters_all", "Read all known actuator parameters."),
    ("change_address", "Write a new VKL address to the actuator."),
    ("set_parameters", "Write actuator parameters."),
    ("set_can_high_speed", "Enable or disable CAN BRS/high-speed operation for this actuator."),
    ("set_torque_performance", "Set the actuator torque-control performance preset."),
    ("set_speed_performance", "Set the actuator speed-control performance preset."),
    ("save_config", "Persist the current actuator configuration to non-volatile memory."),
    ("restore_factory_parameters", "Restore user-writable actuator parameters to firmware factory defaults."),
    ("blink", "Blink the actuator LED for physical identification."),
    ("enter_bootloader", "Request that the actuator enters bootloader mode."),
])
def test_docstring_first_lines(name, first_line):
    assert getattr(R, name).__doc__.splitlines()[0] == first_line


def test_feedback_items_docstring_describes_its_argument():
    assert "Feedback items to include in telemetry packets." in R.set_feedback_items.__doc__
    text = " ".join(R.restore_factory_parameters.__doc__.split())
    assert "settle_time" in text and "calibration" in text


@pytest.mark.parametrize("name", ["changeAddress", "setFeedbackItems", "setFeedbackRate", "getItemsBlocking",
                                  "reset_encoder_position", "setLowFreqFeedbackRate"])
def test_aliases_have_no_docstring(name):
    assert getattr(R, name).__doc__ is None


# -- signatures and defaults ---------------------------------------------------------------

@pytest.mark.parametrize("fn, text", [
    (R.__init__, "(self, adapter_handler: 'Any', address: 'int', logger: 'Optional[logging.Logger]' = None) "
                 "-> 'None'"),
    (R.connect, "(self, timeout: 'float' = 1.0) -> 'bool'"),
    (R.change_mode, "(self, mode: 'KavrelActuatorReal.Mode') -> 'None'"),
    (R.get_mode, "(self) -> 'KavrelActuatorReal.Mode'"),
    (R.change_speed_setpoint, "(self, setpoint: 'float', FF_gain: 'float' = nan, spd_Ki: 'float' = nan, "
                              "spd_Kp: 'float' = nan, ref_ff_torque: 'float' = nan) -> 'None'"),
    (R.set_feedback_rate, "(self, rate: \"Union['KavrelActuatorReal.Rates', int]\") -> 'None'"),
    (R.get_parameters, "(self, parameters: \"List['KavrelActuatorReal.VKL_Parameters']\", timeout: 'float' = 1.0) "
                       "-> \"Dict['KavrelActuatorReal.VKL_Parameters', float]\""),
    (R.restore_factory_parameters, "(self, settle_time: 'float' = 1.0) -> 'None'"),
    (R._send_VKL_common, "(self, msg: 'list', high_speed_candidate=False) -> 'bool'"),
    (R._can_callback, "(self, address: 'int', data: 'List[Any]', priority: 'int') -> 'None'"),
    (R._parse_firmware_version, "(firmware_version_uint16: 'int') -> 'str'"),
    (R.implementation_version.fget, "(self) -> 'str'"),
    (KavrelActuatorScannerReal.__init__, "(self, adapter_handler: 'Any', logger: 'Optional[logging.Logger]' = None) "
                                         "-> 'None'"),
    (KavrelActuatorScannerReal.scan, f"(self, begin: 'int' = 1, end: 'int' = {_protocol.VKL_ACTUATOR_ADDRESS_MAX})"
                                     " -> 'List[int]'"),
])
def test_signatures(fn, text):
    assert str(inspect.signature(fn)) == text


def test_every_gain_defaults_to_the_module_nan_and_binds_like_the_call():
    for name in ("change_torque_setpoint", "change_speed_setpoint", "change_position_setpoint",
                 "change_impedance_setpoint", "internal_change_speed_setpoint",
                 "internal_change_position_setpoint"):
        params = list(inspect.signature(getattr(R, name)).parameters.values())[2:]
        assert params and all(p.default is math.nan for p in params)
    assert inspect.signature(R.change_torque_setpoint).bind(None, 1.0, 2.0, iq_Ki=3.0)


def test_defaults_were_fixed_when_the_classes_were_built(rig, monkeypatch):
    monkeypatch.setattr(kar, "nan", 0.0)
    monkeypatch.setattr(kar, "VKL_ACTUATOR_ADDRESS_MAX", 3)
    rig.actuator.change_torque_setpoint(1.0)
    assert rig.transport.sent[-1].copy == [17, 0, 0, 0x80, 0x3F] + NAN * 4
    probed = []

    class Quiet(KavrelActuatorScannerReal):
        def __init__(self):
            KavrelActuatorReal.__init__(self, rig.transport, 0)
            self._connected = True

        def send_ping(self, timeout=1.0):
            probed.append(self.address)
            return False

    s = Quiet()
    s.scan(begin=_protocol.VKL_ACTUATOR_ADDRESS_MAX - 2)
    assert probed == [16380, 16381, 16382]


# -- construction and the single send path ---------------------------------------------------

def test_construction_registers_one_callback_and_sends_nothing():
    t = NullTransport()
    log = logging.getLogger("test.actuator")
    a = R(t, 16.9, log)
    assert a.address == 16 and a._adapter is t and a.logger is log
    assert t.callbacks == {16: a._can_callback} and t.sends == []
    assert a.firmware_version == "x.x.x" and a._connected is False and a.model == ""
    assert R(t, address=0x20).logger.name == "vkl_api._kavrel_actuator_base"


def test_construction_refusals():
    t = NullTransport()
    with pytest.raises(TypeError, match=r"^Argument 'address' has incorrect type \(expected int, got str\)$"):
        R(t, "16")
    assert t.callbacks == {}
    with pytest.raises(AttributeError):
        R(object(), 16)
    with pytest.raises(TypeError):
        R(t)


def test_send_path_hands_over_the_list_and_returns_the_result():
    t = NullTransport(result="transport says")
    a = R(t, 0x10)
    msg = [64]
    assert a._send_VKL_common(msg) == "transport says"
    assert t.sends == [(0x10, msg, {"can_high_speed": False})] and t.sends[0][1] is msg
    with pytest.raises(TypeError, match=r"^Argument 'msg' has incorrect type \(expected list, got tuple\)$"):
        a._send_VKL_common((64,))
    assert len(t.sends) == 1


def test_send_path_on_a_closed_port(rig, caplog):
    rig.transport.disconnect()   # the port is closed as the polling thread ends
    with caplog.at_level(logging.WARNING):
        assert rig.actuator._send_VKL_common([1]) is False
    assert [r.getMessage() for r in caplog.records] == ["Serial port not connected"]


class Intercepted(KavrelActuatorReal):
    """Every command lands here instead of the transport."""

    def __init__(self, *args, **kwargs):
        self.log = []
        super().__init__(*args, **kwargs)

    def _send_VKL_common(self, msg, high_speed_candidate=False):
        self.log.append((list(msg), high_speed_candidate))
        return True


ALL_COMMANDS = [
    ("start", lambda a: a.start(), [([1], False)]),
    ("stop", lambda a: a.stop(), [([2], False)]),
    ("send_ping", lambda a: a.send_ping(0), [([64], False)]),
    ("connect", lambda a: a.connect(0), [([64], False)]),
    ("disconnect", lambda a: a.disconnect(), [([2], False)]),
    ("change_mode", lambda a: a.change_mode(Mode.DVI), [([3, 4], False)]),
    ("get_mode", lambda a: a.get_mode(), [([12, 48], False)]),
    ("change_setpoint", lambda a: a.change_setpoint(1.0), [([4, 0, 0, 0x80, 0x3F], True)]),
    ("change_torque_setpoint", lambda a: a.change_torque_setpoint(1.0),
     [([3, 5], False), ([17, 0, 0, 0x80, 0x3F] + NAN * 4, True)]),
    ("change_speed_setpoint", lambda a: a.change_speed_setpoint(1.0),
     [([3, 6], False), ([18, 0, 0, 0x80, 0x3F] + NAN * 4, True)]),
    ("change_position_setpoint", lambda a: a.change_position_setpoint(1.0),
     [([3, 7], False), ([19, 0, 0, 0x80, 0x3F] + NAN * 5, True)]),
    ("change_impedance_setpoint", lambda a: a.change_impedance_setpoint(1.0),
     [([3, 8], False), ([20, 0, 0, 0x80, 0x3F] + NAN * 7, True)]),
    ("internal_change_speed_setpoint", lambda a: a.internal_change_speed_setpoint(1.0),
     [([3, 6], False), ([21, 0, 0, 0x80, 0x3F] + NAN * 3, True)]),
    ("internal_change_position_setpoint", lambda a: a.internal_change_position_setpoint(1.0),
     [([3, 7], False), ([22, 0, 0, 0x80, 0x3F] + NAN * 8, True)]),
    ("set_home_position", lambda a: a.set_home_position(), [([10], False)]),
    ("set_feedback_items", lambda a: a.set_feedback_items([Items.IA]), [([7, 70], False)]),
    ("set_feedback_rate", lambda a: a.set_feedback_rate(Rates.RATE_2HZ), [([6, 0x10, 0x27, 0, 0], False)]),
    ("get_items_blocking", lambda a: a.get_items_blocking([Items.IA, Items.VBUS], timeout=0),
     [([15, 70, 112], True)]),
    ("get_parameters", lambda a: a.get_parameters([Params.LIM_TORQUE], timeout=0), [([12, 4], False)]),
    ("get_parameters_all", None, None),
    ("change_address", lambda a: a.change_address(0x20), [([11, 129, 0, 0, 0, 66], False)]),
    ("set_parameters", lambda a: a.set_parameters({Params.FF_GAIN: 0.5}), [([11, 69] + f32(0.5), False)]),
    ("set_can_high_speed", lambda a: a.set_can_high_speed(True), [([11, 133, 0, 0, 0x80, 0x3F], False)]),
    ("set_torque_performance", lambda a: a.set_torque_performance(R.TorquePerformance.BALANCED),
     [([13, 2], False)]),
    ("set_speed_performance", lambda a: a.set_speed_performance(R.SpeedPerformance.SOFT), [([14, 3], False)]),
    ("save_config", lambda a: a.save_config(), [([57], False)]),
    ("restore_factory_parameters", lambda a: a.restore_factory_parameters(0),
     [([2], False), ([6, 0, 0, 0, 0], False), ([194], False)]),
    ("blink", lambda a: a.blink(), [([65], False)]),
    ("enter_bootloader", lambda a: a.enter_bootloader(), [([193], False)]),
]


@pytest.mark.parametrize("name, call, expected", [c for c in ALL_COMMANDS if c[1]],
                         ids=[c[0] for c in ALL_COMMANDS if c[1]])
def test_every_command_leaves_through_the_instance_send_path(name, call, expected, caplog):
    t = NullTransport()
    a = Intercepted(t, 0x10)
    a.can_high_speed = True
    with caplog.at_level(logging.CRITICAL):
        call(a)
    assert a.log == expected
    assert t.sends == []


def test_get_parameters_all_asks_for_every_parameter_in_definition_order(caplog):
    a = Intercepted(NullTransport(), 0x10)
    with caplog.at_level(logging.CRITICAL):
        a.get_parameters_all()
    assert a.log == [([12] + [p.value for p in list(Params)[:12]], False)]


def test_every_public_command_is_covered():
    covered = {c[0] for c in ALL_COMMANDS}
    commands = {n for n, v in vars(R).items() if callable(v) and not n.startswith("_")
                and n[0].islower() and "_" in n or n in ("start", "stop", "connect", "blink", "disconnect")}
    aliases = {"set_high_freq_feedback_items", "set_high_freq_feedback_rate", "set_low_freq_feedback_items",
               "set_low_freq_feedback_rate", "reset_encoder_position"}
    assert commands - aliases <= covered


def test_a_send_path_given_to_the_class_later_is_used():
    class Late(R):
        pass

    t = NullTransport()
    a = Late(t, 0x10)
    a.change_setpoint(0.0)  # the class's own send path, seen once
    seen = []
    Late._send_VKL_common = lambda self, msg, high_speed_candidate=False: seen.append((msg, high_speed_candidate))
    a.change_setpoint(0.0)
    del Late._send_VKL_common
    a.change_setpoint(0.0)
    assert seen == [([4, 0, 0, 0, 0], True)]
    assert [s[1] for s in t.sends] == [[4, 0, 0, 0, 0]] * 2


def test_a_send_path_replaced_on_the_instance_is_used():
    t = NullTransport()
    a = R(t, 0x10)
    seen = []
    a._send_VKL_common = lambda msg, high_speed_candidate=False: seen.append((msg, high_speed_candidate))
    a.blink()
    a.change_setpoint(0.0)
    assert seen == [([65], False), ([4, 0, 0, 0, 0], True)] and t.sends == []
    del a._send_VKL_common
    other = R(NullTransport(), 0x11)
    a._send_VKL_common = other._send_VKL_common     # bound to another actuator: it sends there
    a.blink()
    assert other._adapter.sends == [(0x11, [65], {"can_high_speed": False})] and t.sends == []
