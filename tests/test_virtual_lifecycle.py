"""Simulated actuator: connection lifecycle, enable, no-op commands, the twin guard and the
lazy initialisation, with a recording twin and with the reference twin."""

import logging

import pytest

from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual
from virtual_support import NOT_CONFIGURED, NOT_CONNECTED, act, fake_twin, NoFlagTwin, RecordingTwin, ref_paths, ref_twin, twin


def test_guards_without_a_twin():
    a = KavrelActuatorVirtual()
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        a._require_actuator()
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        a._ensure_initialized()
    a._connected = True  # the twin is looked for before the connection
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        a._ensure_initialized()


@pytest.mark.parametrize("op", ["connect", "start", "step", "set_home_position"])
def test_operations_needing_a_twin_refuse_without_one(op):
    a = KavrelActuatorVirtual()
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        getattr(a, op)()
    assert a.connected is False and a._enabled is False and a.send_ping() is False


@pytest.mark.parametrize("op", ["start", "step", "set_home_position", "_ensure_initialized"])
def test_operations_needing_a_connection_refuse_before_connect(act, twin, op):
    with pytest.raises(RuntimeError, match=NOT_CONNECTED):
        getattr(act, op)()
    assert twin.calls == [] and act._enabled is False and act._simulation_step_count == 0


def test_require_actuator_returns_the_bound_object(act, twin):
    assert act._require_actuator() is twin
    act.actuator = None
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        act._require_actuator()


@pytest.mark.parametrize("address, calls", [(None, []), (0x20, [("set_address", 0x20)])])
def test_connect_pushes_the_address_when_set(address, calls):
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(twin)
    a.address = address
    assert a.connect() is True
    assert twin.calls == calls and a.connected is True and a.send_ping() is True
    assert a.connect(timeout=5) is True
    assert twin.calls == calls * 2
    assert not twin._initialized and a._enabled is False


def test_lazy_initialisation_call_order(act, twin):
    act.connect()
    act._ensure_initialized()
    assert twin.calls == [("initialize", 7), ("set_enable", False)]
    act._ensure_initialized()
    assert twin.calls == [("initialize", 7), ("set_enable", False)]


@pytest.mark.parametrize(
    "prepare, calls",
    [
        (lambda a: a.step(), [("initialize", 7), ("set_enable", False), ("step", 0.0, 0.0)]),
        (lambda a: a.start(), [("initialize", 7), ("set_enable", False), ("set_enable", True)]),
        (lambda a: a.set_home_position(), [("initialize", 7), ("set_enable", False), ("set_home_position",)]),
        (lambda a: (a.change_mode(a.Mode.SPEED), a.step()),
         [("initialize", 6), ("set_enable", False), ("step", 0.0, 0.0)]),
        (lambda a: (a.change_torque_setpoint(0.5), a.step(load=1)),
         [("initialize", 5), ("set_enable", False), ("step", 0.5, 1.0)]),
    ],
)
def test_first_simulation_operation_initialises_then_acts(act, twin, prepare, calls):
    act.connect()
    prepare(act)
    assert twin.calls == calls
    assert all(type(x) is float for c in twin.calls if c[0] == "step" for x in c[1:])


def test_twin_without_initialized_flag_is_initialised_every_time():
    twin = NoFlagTwin()
    a = KavrelActuatorVirtual(twin)
    a.connect()
    a._ensure_initialized()
    a._ensure_initialized()
    assert twin.names() == ["initialize", "set_enable", "initialize", "set_enable"]
    a.disconnect()  # never counts as initialised: no stop, no terminate
    assert twin.names() == ["initialize", "set_enable"] * 2


def test_failed_initialisation_is_retried():
    class Flaky(RecordingTwin):
        fails = 1

        def initialize(self, mode=7):
            self._rec("initialize", mode)
            if self.fails:
                self.fails -= 1
                raise RuntimeError("warm-up failed")
            self._initialized = True

    twin = Flaky()
    a = KavrelActuatorVirtual(twin)
    a.connect()
    with pytest.raises(RuntimeError, match="warm-up failed"):
        a.step()
    assert a._simulation_step_count == 0 and len(a.telemetry_log.time) == 0
    a.step()
    assert twin.names() == ["initialize", "initialize", "set_enable", "step"]


def test_failed_enable_push_is_not_repeated():
    class BadEnable(RecordingTwin):
        fails = 1

        def set_enable(self, enable):
            self._rec("set_enable", enable)
            if self.fails:
                self.fails -= 1
                raise RuntimeError("enable failed")

    twin = BadEnable()
    a = KavrelActuatorVirtual(twin)
    a.connect()
    with pytest.raises(RuntimeError, match="enable failed"):
        a._ensure_initialized()
    a._ensure_initialized()
    assert twin.names() == ["initialize", "set_enable"]


def test_start_and_stop(act, twin):
    act.connect()
    act.start()
    assert act._enabled is True and twin.inp.Enable is True
    act.start()
    assert twin.calls[3:] == [("set_enable", True)]
    act.stop()
    assert act._enabled is False and twin.calls[-1] == ("set_enable", False)


def test_enable_state_survives_into_a_later_initialisation(act, twin):
    act.connect()
    act.start()
    act.disconnect()
    assert act._enabled is False
    act._enabled = True
    act.connect()
    twin.calls.clear()
    act.step()
    assert twin.calls[:2] == [("initialize", 7), ("set_enable", True)]


def test_stop_touches_only_an_initialised_twin():
    a = KavrelActuatorVirtual()
    a._enabled = True
    a.stop()
    assert a._enabled is False
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(twin)
    a._enabled = True
    a.stop()
    assert a._enabled is False and twin.calls == []


def test_disconnect_of_a_connected_twin_that_never_ran(act, twin):
    act.connect()
    act._enabled = True
    twin.calls.clear()
    assert act.disconnect() is None
    assert twin.calls == [] and act.connected is False and act.send_ping() is False
    assert act._enabled is True and act.actuator is twin


def test_disconnect_of_a_running_twin_stops_then_terminates(act, twin):
    act.connect()
    act.start()
    twin.calls.clear()
    act.disconnect()
    assert twin.calls == [("set_enable", False), ("terminate",)]
    assert act._enabled is False and act.connected is False and act.actuator is twin


def test_disconnect_without_a_twin_clears_the_flag():
    a = KavrelActuatorVirtual()
    a._connected = True
    a.disconnect()
    assert a.connected is False


def test_disconnect_failure_leaves_connected():
    class BadTerminate(RecordingTwin):
        def terminate(self):
            self._rec("terminate")
            raise RuntimeError("cannot terminate")

    twin = BadTerminate()
    a = KavrelActuatorVirtual(twin)
    a.connect()
    a.step()
    with pytest.raises(RuntimeError, match="cannot terminate"):
        a.disconnect()
    assert a.connected is True


def test_reconnect_initialises_the_same_twin_again_in_the_current_mode(act, twin):
    act.connect()
    act.step()
    act.disconnect()
    act.change_mode(act.Mode.IMPEDANCE)
    assert "set_control_type" not in twin.names()
    act.connect()
    twin.calls.clear()
    act.step()
    assert twin.calls == [("initialize", 8), ("set_enable", False), ("step", 0.0, 0.0)]
    assert act._simulation_step_count == 2 and len(act.telemetry_log.time) == 2


def test_rebinding_while_connected_initialises_the_new_twin():
    first, second = RecordingTwin(), RecordingTwin()
    a = KavrelActuatorVirtual(first)
    a.connect()
    a.step()
    a.actuator = second
    a.step()
    assert second.calls == [("initialize", 7), ("set_enable", False), ("step", 0.0, 0.0)]
    assert first.names() == ["initialize", "set_enable", "step"]


# ---- ping, address, no-op commands -------------------------------------------------------------


def test_send_ping_needs_connection_and_twin(act, twin):
    assert act.send_ping() is False
    act.connect()
    assert act.send_ping(timeout=0) is True
    act.actuator = None
    assert act.send_ping() is False
    assert [c for c in twin.calls if c[0] != "set_address"] == []


def test_change_address_same_value_warns(caplog, twin):
    a = KavrelActuatorVirtual(twin, 16)
    twin.calls.clear()
    with caplog.at_level(logging.WARNING, logger="vkl_api._kavrel_actuator_base"):
        assert a.change_address(16) is None
    assert [r.getMessage() for r in caplog.records] == ["New address is the same as the current address 16"]
    assert caplog.records[0].levelno == logging.WARNING
    assert twin.calls == []


@pytest.mark.parametrize("bad", [5, 0, 0x3FFF, 0x0F, -16])
def test_change_address_refuses_invalid(act, twin, bad):
    with pytest.raises(ValueError, match=rf"^Invalid new address {bad}\. Address must be between 0x10 and 0x3FFE\.$"):
        act.change_address(bad)
    assert act.address is None and twin.calls == []


@pytest.mark.parametrize("given, stored", [(0x20, 32), (17.0, 17), (0x3FFE, 0x3FFE), (0x10, 16)])
def test_change_address_stores_and_pushes(act, twin, given, stored):
    act.change_address(given)
    assert act.address == stored and type(act.address) is int
    assert twin.calls == [("set_address", stored)]


def test_change_address_without_a_twin_only_stores():
    a = KavrelActuatorVirtual()
    a.change_address(0x20)
    assert a.address == 32


@pytest.mark.parametrize("bad, tname", [(None, "NoneType"), ("32", "str")])
def test_change_address_argument_type(act, bad, tname):
    with pytest.raises(TypeError, match=rf"^Argument 'new_address' has incorrect type \(expected int, got {tname}\)$"):
        act.change_address(bad)


def test_change_address_warning_uses_the_given_logger(twin, caplog):
    lg = logging.getLogger("virtual.address")
    a = KavrelActuatorVirtual(twin, 0x30, lg)
    with caplog.at_level(logging.WARNING, logger="virtual.address"):
        a.change_address(0x30)
    assert [r.name for r in caplog.records] == ["virtual.address"]


@pytest.mark.parametrize(
    "op, text",
    [("save_config", "Virtual actuators do not persist configuration."),
     ("blink", "Blink is a no-op for the virtual actuator.")],
)
def test_no_op_commands_log_one_info_line(caplog, op, text):
    a = KavrelActuatorVirtual()
    with caplog.at_level(logging.DEBUG):
        assert getattr(a, op)() is None
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(logging.INFO, text)]


@pytest.mark.parametrize("op", ["connect", "send_ping", "blink"])
def test_timeouts_must_be_numbers(act, op):
    with pytest.raises(TypeError):
        getattr(act, op)("x")
    with pytest.raises(TypeError):
        getattr(act, op)(timeout=None)
    assert act.connected is False


# ---- with the reference twin ------------------------------------------------------------------


def test_reference_twin_lifecycle(ref_twin):
    a = KavrelActuatorVirtual(ref_twin, 0x10)
    assert ref_twin.get_address() == 0x10
    a.connect()
    assert not ref_twin._initialized
    a.start()
    assert ref_twin._initialized and bool(ref_twin.inp.Enable) is True
    assert ref_twin.inp.ControlType == 7
    tmp = ref_twin.tmp_dir
    a.disconnect()
    assert not ref_twin._initialized and bool(ref_twin.inp.Enable) is False and not tmp.exists()
    assert a.connected is False and a.actuator is ref_twin


def test_reference_twin_first_step_initialises_disabled(ref_twin):
    a = KavrelActuatorVirtual(ref_twin)
    a.connect()
    a.change_mode(a.Mode.SPEED)
    a.step()
    assert ref_twin._initialized and ref_twin.inp.ControlType == 6 and bool(ref_twin.inp.Enable) is False
    assert list(a.telemetry_log.inp_enable) == [False] and list(a.telemetry_log.inp_control_type) == [6]


# ---- what the base class gives the simulated actuator ---------------------------------------


def test_default_error_callback_stops_the_simulated_actuator(caplog, twin):
    a = KavrelActuatorVirtual(twin, 0x20)
    a.connect()
    a.start()
    twin.calls.clear()
    with caplog.at_level(logging.WARNING, logger="vkl_api._kavrel_actuator_base"):
        a.error_callback(0x20, {3: "minor", 16: "severe"})
    assert [r.getMessage() for r in caplog.records] == [
        "Actuator 0x020 Error code: 3 - minor", "Actuator 0x020 Error code: 16 - severe",
        "Actuator 0x020 Stopping actuator (override error_callback to change this behavior)"]
    assert twin.calls == [("set_enable", False)] and a._enabled is False


def test_inherited_helpers():
    a = KavrelActuatorVirtual()
    assert a.is_valid_actuator_address(0x10) and not KavrelActuatorVirtual.is_valid_actuator_address(0x3FFF)
    with pytest.warns(DeprecationWarning, match="set_low_freq_feedback_callback is deprecated"):
        a.set_low_freq_feedback_callback(print)
    with pytest.raises(AttributeError):
        a.connected = True


def test_reference_twin_survives_repeated_reconnects(ref_twin):
    a = KavrelActuatorVirtual(ref_twin)
    for cycle in range(3):
        a.connect()
        a.start()
        a.step(steps=5)
        a.disconnect()
        assert a.connected is False and not ref_twin._initialized and a._enabled is False, cycle
    assert a._simulation_step_count == 15
