"""Simulated actuator: construction, address and model, identity, binding a twin from paths,
time step and simulation rate."""

import logging
import math
from pathlib import Path

import pytest

from vkl_api._kavrel_actuator_base import KavrelActuatorBase
from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual, VirtualActuatorLog
from virtual_support import RecordingTwin, fake_twin, ref_paths, ref_twin

NAN = math.nan
P = KavrelActuatorBase.VKL_Parameters


def test_fresh_instance_state():
    a = KavrelActuatorVirtual()
    assert isinstance(a, KavrelActuatorBase)
    assert a.address is None and a._address is None and a.actuator is None
    assert a.model == "virtual" and a._model == "virtual" and a.implementation_version == "virtual"
    assert a.get_model_version() == "virtual"
    assert a.get_sim_time_step_s() == 5e-05 and a.get_sim_rate_hz() == 20000.0
    assert a._configured_model_name is None
    assert a._enabled is False and a.connected is False
    assert a._mode is a.Mode.POSITION and a._current_mode is None
    assert (a._setpoint, a._load_value) == (0.0, 0.0)
    assert a._feedback_items == [] and a._feedback_rate_divider == 20
    assert a._latest_feedback == {} and a.feedback == {} and a._simulation_step_count == 0
    assert a._torque_performance is a.TorquePerformance.BALANCED
    assert a._speed_performance is a.SpeedPerformance.BALANCED
    assert isinstance(a.telemetry_log, VirtualActuatorLog) and a.telemetry_log == VirtualActuatorLog()
    assert a.logger is logging.getLogger("vkl_api._kavrel_actuator_base")
    assert a.error_callback == a._default_error_callback and a._feedback_callback is None


def test_tracked_defaults_are_copied_per_instance():
    table = KavrelActuatorVirtual._TRACKED_NUMERIC_DEFAULTS
    assert list(table) == [P.FF_GAIN, P.PROFILE_SPEED_MAX_RAD_S, P.PROFILE_TORQUE_MAX_NM,
                           P.VKL_PARAM_SPEED_CUTOFF, P.VKL_PARAM_CURRENT_CUTOFF, P.INVERT_FLAG,
                           P.CAN_HIGH_SPEED, P.SERIAL_NUMBER, P.FIRMWARE_VERSION, P.DEVICE_MODEL,
                           P.CONTROL_VERSION]
    zero = {P.INVERT_FLAG, P.CAN_HIGH_SPEED}
    for k, v in table.items():
        assert (v == 0.0) if k in zero else math.isnan(v), k
    a, b = KavrelActuatorVirtual(), KavrelActuatorVirtual()
    assert a._tracked_numeric_values is not table
    a._tracked_numeric_values[P.SERIAL_NUMBER] = 5.0
    assert math.isnan(b._tracked_numeric_values[P.SERIAL_NUMBER]) and math.isnan(table[P.SERIAL_NUMBER])
    assert a._feedback_items is not b._feedback_items and a.telemetry_log is not b.telemetry_log


def test_given_logger_is_used():
    lg = logging.getLogger("virtual.test")
    assert KavrelActuatorVirtual(logger=lg).logger is lg


@pytest.mark.parametrize("given, stored", [(0x10, 16), (16.9, 16), (True, 1), (None, None), (0, 0)])
def test_address_argument_conversion(given, stored):
    a = KavrelActuatorVirtual(address=given)
    assert a.address == stored and type(a.address) is type(stored)


@pytest.mark.parametrize("bad, tname", [("16", "str"), ([16], "list")])
def test_address_argument_refused(bad, tname):
    with pytest.raises(TypeError, match=rf"^Argument 'address' has incorrect type \(expected int, got {tname}\)$"):
        KavrelActuatorVirtual(address=bad)
    a = KavrelActuatorVirtual(address=20)
    with pytest.raises(TypeError, match=rf"^Argument 'value' has incorrect type \(expected int, got {tname}\)$"):
        a.address = bad
    assert a.address == 20


def test_address_setter_only_stores():
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(twin)
    a.address = 33.7
    assert a.address == 33 and a._address == 33
    a.address = None
    assert a.address is None
    assert twin.calls == []


def test_twin_given_to_constructor_gets_the_address_only():
    twin = RecordingTwin()
    KavrelActuatorVirtual(twin)
    assert twin.calls == []
    a = KavrelActuatorVirtual(twin, 32)
    assert twin.calls == [("set_address", 32)]
    assert a.actuator is twin and not twin._initialized
    b = KavrelActuatorVirtual(adapter_handler=twin, address=40, logger=None)
    assert b.actuator is twin and twin.calls[-1] == ("set_address", 40)
    with pytest.raises(TypeError):
        KavrelActuatorVirtual(twin, 32, None, 1)


def test_model_property_order():
    a = KavrelActuatorVirtual()
    a.model = "m1"
    assert a.model == "m1" and a._model == "m1"
    with pytest.raises(TypeError, match=r"^Argument 'value' has incorrect type \(expected str, got NoneType\)$"):
        a.model = None
    a.actuator = RecordingTwin()
    assert a.model == "FAKE_MOTOR"
    a.model = "m2"
    assert a.model == "FAKE_MOTOR"
    a._configured_model_name = "CONFIGURED"
    assert a.model == "CONFIGURED"
    a._configured_model_name = ""
    assert a.model == "FAKE_MOTOR"
    a.actuator = fake_twin(omit=("get_motor_model",))
    assert a.model == "m2"
    del a.__dict__["_model"]
    assert a.model == "virtual"


def test_model_is_text_form_of_the_twin_answer():
    a = KavrelActuatorVirtual(fake_twin(get_motor_model=lambda self: 42))
    assert a.model == "42"


@pytest.mark.parametrize(
    "omit, version",
    [((), "fake-version"), (("get_dtwin_version",), "fake-commits"),
     (("get_dtwin_version", "get_submodule_commits"), "virtual")],
)
def test_model_version_order(omit, version):
    a = KavrelActuatorVirtual(fake_twin(omit=omit))
    assert a.get_model_version() == version
    assert a.implementation_version == version


def test_identity_errors_of_the_twin_propagate():
    def boom(self):
        raise RuntimeError("identity failed")

    a = KavrelActuatorVirtual(fake_twin(get_motor_model=boom, get_dtwin_version=boom))
    with pytest.raises(RuntimeError, match="identity failed"):
        a.model
    with pytest.raises(RuntimeError, match="identity failed"):
        a.get_model_version()


def test_reference_twin_identity(ref_twin):
    a = KavrelActuatorVirtual(ref_twin)
    assert a.model == ref_twin.get_motor_model()
    assert a.get_model_version() == ref_twin.get_dtwin_version() == a.implementation_version


# ---- binding from paths -------------------------------------------------------------------------


def test_set_actuator_from_paths_binds_a_new_wrapper(ref_paths):
    from vkl_api._twin_engine import ActuatorWrapper

    a = KavrelActuatorVirtual(address=0x21)
    w = a.set_actuator_from_paths(ref_paths.library, ref_paths.py_bindings)
    assert isinstance(w, ActuatorWrapper) and a.actuator is w
    assert w.get_address() == 0x21
    assert a.telemetry_log.TIME_STEP == w.get_sim_time_step_s()
    w2 = a.set_actuator_from_paths(library_path=str(ref_paths.library), bindings_path=str(ref_paths.py_bindings))
    assert a.actuator is w2 and w2 is not w
    assert w.tmp_dir.exists() and not w._initialized  # dropped, not terminated
    assert a.connected is False and a._simulation_step_count == 0 and a._configured_model_name is None


def test_set_actuator_from_paths_passes_text_paths(monkeypatch, ref_paths):
    import vkl_api.kavrel_actuator_virtual as vmod

    seen = []

    class Recorder(RecordingTwin):
        def __init__(self, lib, bind):
            seen.append((lib, bind))
            super().__init__()

    monkeypatch.setattr(vmod, "ActuatorWrapper", Recorder)
    a = KavrelActuatorVirtual()
    twin = a.set_actuator_from_paths(Path("/x/lib.so"), Path("/x/bind.py"))
    assert seen == [("/x/lib.so", "/x/bind.py")] and a.actuator is twin
    assert twin.calls == [("get_sim_time_step_s",)]


def test_binding_keeps_state_and_log_rows(ref_paths):
    a = KavrelActuatorVirtual(RecordingTwin())
    a.connect()
    a.change_speed_setpoint(1.5)
    a.step(load=0.25, steps=3)
    rows = len(a.telemetry_log.time)
    a.set_actuator_from_paths(ref_paths.library, ref_paths.py_bindings)
    assert a.connected and a._mode is a.Mode.SPEED and a._setpoint == 1.5 and a._load_value == 0.25
    assert len(a.telemetry_log.time) == rows == 3 and a._simulation_step_count == 3
    assert not a.actuator._initialized


def test_failed_binding_keeps_the_previous_twin(tmp_path, ref_paths):
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(twin)
    with pytest.raises(Exception):
        a.set_actuator_from_paths(tmp_path / "missing.so", ref_paths.py_bindings)
    assert a.actuator is twin
    with pytest.raises(Exception):
        a.set_actuator_from_paths(ref_paths.library, tmp_path / "missing.py")
    assert a.actuator is twin


def test_failed_time_step_query_keeps_log_time_step(monkeypatch):
    import vkl_api.kavrel_actuator_virtual as vmod

    class BadStep(RecordingTwin):
        def __init__(self, lib, bind):
            super().__init__()

        def get_sim_time_step_s(self):
            raise RuntimeError("no step")

    monkeypatch.setattr(vmod, "ActuatorWrapper", BadStep)
    a = KavrelActuatorVirtual(address=0x10)
    with pytest.raises(RuntimeError, match="no step"):
        a.set_actuator_from_paths("l", "b")
    assert isinstance(a.actuator, BadStep) and a.actuator.calls == [("set_address", 16)]
    assert a.telemetry_log.TIME_STEP == 5e-05


# ---- time step and rate ---------------------------------------------------------------------


def test_time_step_from_the_twin_or_the_log():
    a = KavrelActuatorVirtual(fake_twin(get_sim_time_step_s=lambda self: 1))
    assert a.get_sim_time_step_s() == 1.0 and type(a.get_sim_time_step_s()) is float
    assert a.telemetry_log.TIME_STEP == 5e-05  # a twin handed in does not set the log's step
    a = KavrelActuatorVirtual(fake_twin(omit=("get_sim_time_step_s",)))
    a.telemetry_log.TIME_STEP = 2e-4
    assert a.get_sim_time_step_s() == 2e-4 and a.get_sim_rate_hz() == 5000.0
    a = KavrelActuatorVirtual()
    a.telemetry_log.TIME_STEP = 1
    assert type(a.get_sim_time_step_s()) is float and a.get_sim_rate_hz() == 1.0


@pytest.mark.parametrize("step, text", [(0.0, "0.0"), (-0.0, "-0.0"), (-5e-05, "-5e-05")])
def test_non_positive_time_step_refused_by_rate(step, text):
    a = KavrelActuatorVirtual(fake_twin(get_sim_time_step_s=lambda self: step))
    with pytest.raises(RuntimeError, match=rf"^Invalid DTwin simulation timestep: {text}$"):
        a.get_sim_rate_hz()


def test_nan_time_step_gives_nan_rate():
    a = KavrelActuatorVirtual(fake_twin(get_sim_time_step_s=lambda self: NAN))
    assert math.isnan(a.get_sim_rate_hz())


def test_class_documentation():
    assert KavrelActuatorVirtual.__doc__.startswith("Control a DTwin-backed virtual Kavrel actuator.")


def test_operations_take_their_arguments_by_name():
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(adapter_handler=twin, address=0x10, logger=None)
    I = a.VKL_Items
    assert a.connect(timeout=0.5) is True and a.send_ping(timeout=0.5) is True
    a.change_address(new_address=0x11)
    a.change_mode(mode=a.Mode.SPEED)
    a.change_setpoint(setpoint=1.0)
    a.change_torque_setpoint(setpoint=0.1, id_Kp=1.0, id_Ki=2.0, iq_Kp=1.0, iq_Ki=2.0)
    a.change_speed_setpoint(setpoint=1.0, FF_gain=0.1, spd_Ki=0.2, spd_Kp=0.3, ref_ff_torque=0.0)
    a.change_position_setpoint(setpoint=0.5, FF_gain=0.1, spd_Ki=0.2, spd_Kp=0.3, pos_Kp=4.0, ref_ff_torque=0.0)
    a.change_impedance_setpoint(setpoint=0.0, FF_gain=0.1, K_stiff=1.0, K_damp=0.1, J_imp=0.01, ref_ff_torque=0.0,
                                ref_impedance_spd=0.0, ref_impedance_acel=0.0)
    a.set_feedback_items(items=[I.IA])
    a.set_feedback_rate(rate=100)
    a.set_feedback_callback(callback=None)
    a.set_error_callback(callback=print)
    a.change_load(load=0.5)
    assert a.step(load=0.5, steps=2) == a.get_items_blocking(items=[I.IA], timeout=0.1)
    a.start_steps(step_number=1)
    assert a.get_sim_time(round_dec=6) == 0.0001
    a.set_parameters(parameters={P.SETPOINT: 2.0})
    assert a.get_parameters(parameters=[P.SETPOINT], timeout=0.1) == {P.SETPOINT: 2.0}
    a.set_can_high_speed(enabled=True)
    a.set_torque_performance(performance=a.TorquePerformance.SOFT)
    a.set_speed_performance(performance=a.SpeedPerformance.SOFT)
    a._set_filter_cutoff(speed_cutoff=1.0, current_cutoff=2.0)
    assert a._get_filter_cutoff(key="speed_cutoff") == 1.0
    a._write_path(path="lim.lim_T", value=1.0)
    assert a._read_path(path="lim.lim_T") == 1.0
    assert a._safe_divisor(value=0) == 1.0 and a._is_nan(value=0) is False and a._bool_to_float(value=1) == 1.0
    a._emit_callback(callback=None, address=None, payload={})
    a._set_feedforward_gain(value=1.0)
    a._change_mode_if_needed(mode=a.Mode.SPEED)
    a._apply_speed_setpoint_options(FF_gain=0.2, spd_Ki=math.nan, spd_Kp=math.nan, ref_ff_torque=math.nan)
    a._set_parameter_value(parameter=P.SETPOINT, value=3.0)
    assert a._get_parameter_value(parameter=P.SETPOINT) == 3.0
    a.blink(timeout=0.1)
    assert KavrelActuatorVirtual.discover_available_actuators(bindings_path="/no/such/dir") is not None
    a.disconnect()
