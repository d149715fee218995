"""Simulated actuator: modes, setpoints, gain pairs and optional terms, the q-axis warning,
the feed-forward gain store and the home command."""

import logging
import math

import pytest

from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual
from virtual_support import NOT_CONFIGURED, act, fake_twin, RecordingTwin, ref_paths, ref_twin, twin

NAN = math.nan
Q_WARNING = "Virtual actuator exposes shared current gains; q-axis gains cannot differ from d-axis gains."
M = KavrelActuatorVirtual.Mode
P = KavrelActuatorVirtual.VKL_Parameters


@pytest.fixture
def running(act, twin):
    act.connect()
    act._ensure_initialized()
    twin.calls.clear()
    return act


def test_change_mode_stores_only_before_initialisation(act, twin):
    act.change_mode(M.TORQUE)
    assert act._mode is M.TORQUE and act._current_mode is M.TORQUE and act.get_mode() is M.TORQUE
    assert twin.calls == []
    act.connect()
    act.step()
    assert twin.calls[0] == ("initialize", 5)


def test_change_mode_on_a_running_twin_writes_the_control_type(running, twin):
    running.change_mode(M.SPEED)
    assert twin.calls == [("set_control_type", 6)]
    running.change_mode(M.SPEED)
    assert twin.calls == [("set_control_type", 6)] * 2


def test_change_mode_without_a_twin():
    a = KavrelActuatorVirtual()
    a.change_mode(M.FVI)
    assert a.get_mode() is M.FVI


def test_mode_that_is_no_member_fails_at_the_push(act, twin):
    act.change_mode(6)
    assert act._mode == 6 and act._current_mode == 6
    act.connect()
    with pytest.raises(AttributeError):
        act.step()
    assert twin.calls == []
    act.change_mode(M.SPEED)
    act.step()
    with pytest.raises(AttributeError):
        act.change_mode(7)
    assert act._mode == 7 and act._current_mode == 7


def test_change_setpoint_only_stores(running, twin):
    running.change_setpoint(3)
    assert running._setpoint == 3.0 and type(running._setpoint) is float
    assert running._mode is M.POSITION and twin.calls == []
    with pytest.raises(TypeError):
        running.change_setpoint(None)
    with pytest.raises(TypeError):
        running.change_setpoint("1.0")
    assert running._setpoint == 3.0


@pytest.mark.parametrize(
    "command, mode",
    [("change_torque_setpoint", M.TORQUE), ("change_speed_setpoint", M.SPEED),
     ("change_position_setpoint", M.POSITION), ("change_impedance_setpoint", M.IMPEDANCE)],
)
def test_setpoint_commands_switch_mode_once_and_store(running, twin, command, mode):
    if mode is M.POSITION:
        running.change_mode(M.SPEED)
        twin.calls.clear()
    getattr(running, command)(2)
    assert running._mode is mode and running._setpoint == 2.0 and type(running._setpoint) is float
    assert twin.calls == [("set_control_type", mode.value)]
    getattr(running, command)(3.0)
    assert twin.calls == [("set_control_type", mode.value)]
    assert running._setpoint == 3.0


def test_setpoint_without_a_twin():
    a = KavrelActuatorVirtual()
    a.change_speed_setpoint(2.0)
    assert a._mode is M.SPEED and a._current_mode is M.SPEED and a._setpoint == 2.0
    assert a.get_mode() is M.SPEED
    a.change_speed_setpoint(1.0, FF_gain=0.5)
    assert a._tracked_numeric_values[P.FF_GAIN] == 0.5


@pytest.mark.parametrize(
    "kwargs, gains",
    [({"spd_Kp": 5.0}, (5.0, 0.2)), ({"spd_Ki": 0.7}, (1.0, 0.7)), ({"spd_Kp": 3, "spd_Ki": True}, (3.0, 1.0)),
     ({"spd_Kp": NAN}, None), ({}, None), ({"spd_Kp": math.inf}, (math.inf, 0.2))],
)
def test_speed_gain_pair(act, twin, kwargs, gains):
    act.change_speed_setpoint(1.0, **kwargs)
    if gains is None:
        assert twin.calls == []
    else:
        assert twin.calls == [("get_speed_gains",), ("set_speed_gains", *gains)]


def test_speed_setpoint_positional_order(act, twin):
    act.change_speed_setpoint(1.0, 9.0, 0.7)
    assert twin.calls == [("set_feedforward_gain", 9.0), ("get_speed_gains",), ("set_speed_gains", 1.0, 0.7)]
    assert act._tracked_numeric_values[P.FF_GAIN] == 9.0


def test_speed_setpoint_all_terms_in_order(act, twin):
    act.change_speed_setpoint(1.0, FF_gain=0.1, spd_Ki=0.3, spd_Kp=4.0, ref_ff_torque=0.05)
    assert twin.calls == [("set_feedforward_gain", 0.1), ("get_speed_gains",), ("set_speed_gains", 4.0, 0.3),
                          ("set_torque_feedforward", 0.05)]


def test_position_setpoint_terms_in_order(act, twin):
    act.change_mode(M.SPEED)
    act.change_position_setpoint(0.5, 0.1, 0.3, 4.0, 6.0, 0.05)
    assert twin.calls == [("set_feedforward_gain", 0.1), ("get_speed_gains",), ("set_speed_gains", 4.0, 0.3),
                          ("set_torque_feedforward", 0.05), ("set_position_kp", 6.0)]


@pytest.mark.parametrize("bad", [{"spd_Kp": None}, {"FF_gain": "1"}, {"ref_ff_torque": []}])
def test_bad_term_types_refused_before_any_change(act, twin, bad):
    with pytest.raises(TypeError):
        act.change_speed_setpoint(1.0, **bad)
    assert act._mode is M.POSITION and act._setpoint == 0.0 and twin.calls == []
    assert math.isnan(act._tracked_numeric_values[P.FF_GAIN])


def test_terms_needing_the_twin_raise_without_rollback():
    a = KavrelActuatorVirtual()
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        a.change_speed_setpoint(1.0, FF_gain=0.5, spd_Kp=2.0)
    assert a._mode is M.SPEED and a._setpoint == 1.0 and a._tracked_numeric_values[P.FF_GAIN] == 0.5
    a.change_mode(M.SPEED)
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        a.change_position_setpoint(0.5, pos_Kp=4.0)
    assert a._mode is M.POSITION and a._setpoint == 0.5
    for cmd, kw in (("change_torque_setpoint", {"id_Ki": 1.0}), ("change_impedance_setpoint", {"K_damp": 1.0}),
                    ("change_impedance_setpoint", {"J_imp": 1.0}), ("change_impedance_setpoint", {"ref_ff_torque": 1.0}),
                    ("change_impedance_setpoint", {"ref_impedance_spd": 1.0})):
        with pytest.raises(ValueError, match=NOT_CONFIGURED):
            getattr(a, cmd)(0.25, **kw)
        assert a._setpoint == 0.25


# ---- torque setpoint and the q-axis warning -------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, calls, warned",
    [
        ({"id_Kp": 2.0, "iq_Kp": 3.0}, [("get_current_gains",), ("set_current_gains", 2.0, 50.0)], True),
        ({"id_Kp": 2.0, "iq_Kp": 2.0}, [("get_current_gains",), ("set_current_gains", 2.0, 50.0)], False),
        ({"iq_Kp": 3.0}, [], False),
        ({"iq_Ki": 3.0, "iq_Kp": 1.0}, [], False),
        ({"id_Ki": 40.0}, [("get_current_gains",), ("set_current_gains", 0.5, 40.0)], False),
        ({"id_Ki": 40.0, "iq_Ki": 41.0}, [("get_current_gains",), ("set_current_gains", 0.5, 40.0)], True),
        ({"id_Kp": 1.0, "id_Ki": 2.0, "iq_Kp": 9.0, "iq_Ki": 9.0},
         [("get_current_gains",), ("set_current_gains", 1.0, 2.0)], True),
        ({"id_Kp": NAN, "iq_Kp": 3.0}, [], False),
        ({"id_Kp": 1.0, "iq_Kp": NAN}, [("get_current_gains",), ("set_current_gains", 1.0, 50.0)], False),
    ],
)
def test_torque_gains_and_q_axis_warning(act, twin, caplog, kwargs, calls, warned):
    with caplog.at_level(logging.WARNING, logger="vkl_api._kavrel_actuator_base"):
        act.change_torque_setpoint(1.0, **kwargs)
    assert twin.calls == calls
    assert [r.getMessage() for r in caplog.records] == ([Q_WARNING] if warned else [])
    assert act._mode is M.TORQUE


def test_torque_setpoint_positional_order(act, twin):
    act.change_torque_setpoint(1.0, 2.0, 3.0, 4.0, 5.0)
    assert twin.calls == [("get_current_gains",), ("set_current_gains", 2.0, 3.0)]


def test_q_axis_gains_alone_need_no_twin(caplog):
    a = KavrelActuatorVirtual()
    with caplog.at_level(logging.WARNING):
        a.change_torque_setpoint(1.0, iq_Kp=3.0, iq_Ki=1.0)
    assert caplog.records == [] and a._setpoint == 1.0


# ---- impedance setpoint ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, calls",
    [
        ({"K_damp": 0.3}, [("get_impedance_gains",), ("set_impedance_gains", 10.0, 0.3, 0.25)]),
        ({"K_stiff": 20}, [("get_impedance_gains",), ("set_impedance_gains", 20.0, 0.1, 0.25)]),
        ({"ref_impedance_acel": 1.0}, [("set_impedance_references", None, 1.0)]),
        ({"ref_impedance_spd": 2.0}, [("set_impedance_references", 2.0, None)]),
        ({"ref_impedance_spd": 2.0, "ref_impedance_acel": 1}, [("set_impedance_references", 2.0, 1.0)]),
        ({"J_imp": 0.01}, [("set_impedance_inertia", 0.01)]),
        ({"FF_gain": 0.4}, [("set_feedforward_gain", 0.4)]),
        ({}, []),
        ({"K_stiff": 5.0, "K_damp": 0.5, "ref_ff_torque": 0.7},
         [("get_impedance_gains",), ("set_impedance_gains", 5.0, 0.5, 0.25), ("set_torque_feedforward", 0.7)]),
    ],
)
def test_impedance_terms(act, twin, kwargs, calls):
    act.change_impedance_setpoint(0.0, **kwargs)
    assert twin.calls == calls and act._mode is M.IMPEDANCE


def test_impedance_terms_positional_order(act, twin):
    act.change_impedance_setpoint(0.0, 0.1, 5.0, 0.5, 0.01, 0.7, 2.0, 3.0)
    assert twin.calls == [("set_feedforward_gain", 0.1), ("get_impedance_gains",),
                          ("set_impedance_gains", 5.0, 0.5, 0.25), ("set_impedance_inertia", 0.01),
                          ("set_torque_feedforward", 0.7), ("set_impedance_references", 2.0, 3.0)]


@pytest.mark.parametrize("missing, kwargs", [("set_impedance_inertia", {"J_imp": 1.0}),
                                             ("set_impedance_references", {"ref_impedance_spd": 1.0})])
def test_optional_impedance_operations_skipped_when_absent(missing, kwargs):
    twin = fake_twin(omit=(missing,))
    a = KavrelActuatorVirtual(twin)
    a.change_impedance_setpoint(0.0, **kwargs)
    assert twin.calls == []


# ---- feed-forward gain store ------------------------------------------------------------------


def test_feedforward_gain_store_with_and_without_twin():
    a = KavrelActuatorVirtual()
    assert math.isnan(a._get_feedforward_gain())
    a._set_feedforward_gain(2)
    assert a._get_feedforward_gain() == 2.0 and type(a._tracked_numeric_values[P.FF_GAIN]) is float
    twin = RecordingTwin()
    a.actuator = twin
    assert a._get_feedforward_gain() == 0.0  # the twin's answer wins
    a._set_feedforward_gain(0.3)
    assert twin.calls == [("get_feedforward_gain",), ("set_feedforward_gain", 0.3)]
    assert a._get_feedforward_gain() == 0.3
    a.actuator = fake_twin(omit=("set_feedforward_gain", "get_feedforward_gain"))
    a._set_feedforward_gain(0.9)
    assert a._get_feedforward_gain() == 0.9


def test_feedforward_gain_reader_passes_nan_from_the_twin():
    a = KavrelActuatorVirtual(fake_twin(get_feedforward_gain=lambda self: NAN))
    a._tracked_numeric_values[P.FF_GAIN] = 1.0
    assert math.isnan(a._get_feedforward_gain())


# ---- home -------------------------------------------------------------------------------------


def test_home_before_connect_and_without_twin():
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        KavrelActuatorVirtual().set_home_position()
    twin = RecordingTwin()
    with pytest.raises(RuntimeError, match=r"^Actuator not connected\. Call connect\(\) first\.$"):
        KavrelActuatorVirtual(twin).set_home_position()
    assert twin.calls == []


def test_home_on_the_reference_twin_is_outside_tick_bookkeeping(ref_twin):
    a = KavrelActuatorVirtual(ref_twin)
    a.set_feedback_items([a.VKL_Items.POSITION_FB])
    calls = []
    a.set_feedback_callback(lambda addr, fb: calls.append(fb))
    a.set_feedback_rate(20000)
    a.connect()
    assert a.set_home_position() is None
    assert ref_twin._initialized and bool(ref_twin.inp.ResetPos) is False
    assert a.get_sim_time() == 0.0 and len(a.telemetry_log.time) == 0
    assert a._simulation_step_count == 0 and calls == [] and a.get_feedback() == {}


def test_home_resets_the_reference_position(ref_twin):
    a = KavrelActuatorVirtual(ref_twin)
    a.connect()
    a.change_speed_setpoint(5.0)
    a.start()
    a.step(steps=2000)
    moved = a._read_path("info.pos_fb")
    a.change_speed_setpoint(0.0)
    a.step(steps=4000)
    a.set_home_position()
    a.step()
    assert abs(moved) > 1e-3
    assert abs(a._read_path("info.pos_fb")) < abs(moved) / 10


# ---- with the reference twin's gains ---------------------------------------------------------


def test_gain_writes_reach_the_reference_twin(ref_twin):
    a = KavrelActuatorVirtual(ref_twin)
    kp, ki = ref_twin.get_speed_gains()
    a.change_speed_setpoint(1.0, spd_Kp=kp * 2)
    assert ref_twin.get_speed_gains() == (kp * 2, ki)
    a.change_position_setpoint(0.0, pos_Kp=12.5)
    assert ref_twin.get_position_kp() == 12.5
    ckp, cki = ref_twin.get_current_gains()
    a.change_torque_setpoint(0.0, id_Ki=cki + 1)
    assert ref_twin.get_current_gains() == (ckp, cki + 1)
    g = ref_twin.get_impedance_gains()
    a.change_impedance_setpoint(0.0, K_damp=g["k_damp"] + 0.5)
    g2 = ref_twin.get_impedance_gains()
    assert (g2["k_stiff"], g2["k_damp"], g2["t_ff"]) == (g["k_stiff"], g["k_damp"] + 0.5, g["t_ff"])
