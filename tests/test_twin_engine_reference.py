"""The reference twin VKL_REF_TWIN as built with the package: found by model
name next to the package, and its telemetry physically sound in every
closed-loop mode."""

import math

import pytest

import vkl_api._twin_catalog as tc
import vkl_api._twin_engine as te

MODEL = "VKL_REF_TWIN"
DT = 5e-05

# Fields the simulated actuator reads from a twin (telemetry log, feedback
# items, parameters and state dumps).
READ_FIELDS = {
    "info": "enable temp_winding T_fb T_ref id_fb id_ref iq_fb iq_ref pos_fb pos_ref spd_fb spd_ref vd_ref vq_ref",
    "motor": "m_Te m_Tl m_acc m_eff_elec m_eff_mec m_i_dc m_ia m_ib m_ic m_id m_iq m_pos1 m_pos2 m_pwr_dc "
             "m_pwr_elec m_pwr_mec m_spd1 m_spd2 m_va m_vb m_vc m_vd m_vq",
    "meas": "turn turn2 T e_pos pos pos2 spd spd2",
    "inp": "Reference Load T_ADC ref_ff_torque ref_impedance_spd ref_impedance_acel ControlType Enable ResetPos",
    "debug": "T_fb_max T_ref_max i_max pos_fb_max pos_fb_min pos_ref_max pos_ref_min spd_fb_max spd_ref_max "
             "spd_ref_min",
    "imp": "K_damp K_stiff T_FF J_imp",
    "lim": "lim_T lim_pos_max lim_pos_min lim_spd_max lim_spd_min prof_pos_max prof_pos_min prof_spd_max "
           "prof_spd_min",
    "pid": "pos_Kp pos_Ki pos_Kd spd_Kp spd_Ki id_Kp id_Ki FF_gain",
}


@pytest.fixture(scope="module")
def paths():
    with pytest.MonkeyPatch.context() as mp:
        mp.delenv("VKL_API_VIRTUAL_ASSETS_ROOT", raising=False)
        return tc.resolve_dtwin_artifacts(MODEL)


@pytest.fixture
def twin(paths, wrappers):
    w = wrappers(paths.library, paths.py_bindings)
    w.initialize()
    w.set_enable(True)
    return w


def run(w, mode, ref, seconds, load=0.0):
    w.set_control_type(mode)
    for _ in range(int(round(seconds / DT))):
        w.step(ref, load)


def flags(w):
    return {name for name, _ in type(w.debug)._fields_ if getattr(w.debug, name)}


def test_found_by_model_name_next_to_the_package(paths, monkeypatch):
    monkeypatch.delenv("VKL_API_VIRTUAL_ASSETS_ROOT", raising=False)
    root = paths.library.parent
    assert root.name == "digital_twin_libs_bindings"
    assert (root.parent / "vkl_api").is_dir()
    assert paths.library.name == f"lib{MODEL}_{tc.platform_artifact_targets()[0]}.so"
    assert MODEL in tc.list_available_dtwin_artifacts()


def test_offers_every_field_the_simulated_actuator_reads(twin):
    for group, names in READ_FIELDS.items():
        for name in names.split():
            value = getattr(getattr(twin, group), name)
            assert isinstance(value, (int, float, bool)), (group, name)
    assert twin.get_motor_model() != "unknown" and twin.get_dtwin_version() != "unknown"
    assert twin.get_sim_time_step_s() == DT


def test_after_initialisation_the_motor_is_at_rest_at_zero(paths):
    w = te.ActuatorWrapper(str(paths.library), str(paths.py_bindings))
    try:
        w.initialize()
        assert w.meas.pos == 0.0 and w.meas.turn == 0 and w.info.T_fb == pytest.approx(0.0, abs=1e-6)
        assert w.info.temp_winding == pytest.approx(25.0, abs=0.1) and not flags(w)
        run(w, 7, 1.0, 0.2)  # motor still off: nothing moves
        assert w.meas.pos == 0.0 and w.motor.m_Te == 0.0
    finally:
        w.terminate()


@pytest.mark.parametrize("target, load", [(1.0, 0.0), (-2.5, 0.0), (1.0, 0.5), (3.0, -0.8)])
def test_position_mode_settles_on_the_setpoint(twin, target, load):
    run(twin, 7, target, 2.0, load)
    assert twin.meas.pos == pytest.approx(target, abs=1e-3)
    assert twin.info.pos_ref == target and abs(twin.info.spd_fb) < 1e-2
    # Holding against the load takes the load's torque.
    assert twin.info.T_fb == pytest.approx(load, abs=0.02)
    assert twin.meas.turn == math.floor(target / (2 * math.pi))
    assert not flags(twin)


@pytest.mark.parametrize("speed, load", [(20.0, 0.0), (-35.0, 0.0), (20.0, 0.8)])
def test_speed_mode_settles_on_the_speed(twin, speed, load):
    run(twin, 6, speed, 1.0, load)
    assert twin.info.spd_fb == pytest.approx(speed, rel=1e-3)
    assert twin.meas.spd == pytest.approx(speed, rel=1e-3) and twin.info.spd_ref == speed
    # Steady state: the motor torque balances load and friction.
    assert twin.motor.m_Te == pytest.approx(twin.motor.m_Tl, abs=1e-3)
    assert abs(twin.motor.m_acc) < 1.0
    assert twin.motor.m_pwr_dc > twin.motor.m_pwr_elec > 0 and twin.motor.m_pwr_elec > twin.motor.m_pwr_mec > 0
    assert 0 < twin.motor.m_eff_elec <= 1 and 0 < twin.motor.m_eff_mec <= 1


@pytest.mark.parametrize("torque", [0.5, -0.3, 1.2])
def test_torque_follows_the_reference(twin, torque):
    # Against an equal load the rotor stays nearly still, so no voltage limit.
    run(twin, 5, torque, 0.002, load=torque)
    assert twin.info.T_ref == torque
    assert twin.info.T_fb == pytest.approx(torque, rel=0.02)
    assert twin.motor.m_Te == pytest.approx(torque, rel=0.02)
    assert twin.info.iq_ref == pytest.approx(torque / (1.5 * 7 * 0.012), rel=1e-9)
    assert abs(twin.info.id_fb) < 0.05


def test_impedance_mode_is_a_spring_around_the_setpoint(twin):
    twin.set_impedance_gains(2.0, 0.05)
    run(twin, 8, 0.5, 2.0)
    assert twin.meas.pos == pytest.approx(0.5, abs=0.01)
    run(twin, 8, 0.5, 2.0, load=0.4)
    # Deflection = load / stiffness.
    assert twin.meas.pos == pytest.approx(0.5 - 0.4 / 2.0, abs=0.01)


def test_motor_off_coasts_without_torque(twin):
    run(twin, 6, 30.0, 0.5)
    twin.set_enable(False)
    run(twin, 6, 30.0, 0.05)
    assert twin.motor.m_Te == 0.0 and twin.info.iq_fb == pytest.approx(0.0, abs=1e-6)
    assert 0 < twin.meas.spd < 30.0 and twin.info.enable == 0.0


def test_limits_raise_their_flags(twin):
    run(twin, 6, 500.0, 0.5)
    assert twin.info.spd_ref == twin.lim.prof_spd_max and "spd_ref_max" in flags(twin)
    run(twin, 6, -500.0, 0.005)
    assert "spd_ref_min" in flags(twin) and "T_ref_max" in flags(twin)
    run(twin, 6, 0.0, 2.0)
    assert not flags(twin)
    run(twin, 7, 1000.0, 0.01)
    assert twin.info.pos_ref == twin.lim.prof_pos_max and "pos_ref_max" in flags(twin)
    twin.lim.lim_pos_max = 0.5
    run(twin, 7, 1.0, 2.0)
    assert "pos_fb_max" in flags(twin)
    twin.lim.lim_T = 0.1
    run(twin, 5, 0.5, 0.01, load=0.5)
    assert twin.info.T_ref == 0.1 and "T_ref_max" in flags(twin)


def test_winding_heats_under_load_and_bus_readings_agree(twin):
    t0 = twin.info.temp_winding
    run(twin, 7, 0.0, 1.0, load=1.5)
    assert twin.info.temp_winding > t0 + 0.3
    assert twin.motor.m_pwr_dc / twin.motor.m_i_dc == pytest.approx(24.0)
    ia, ib, ic = twin.motor.m_ia, twin.motor.m_ib, twin.motor.m_ic
    assert ia + ib + ic == pytest.approx(0.0, abs=1e-9)
    assert math.hypot(twin.motor.m_id, twin.motor.m_iq) == pytest.approx(
        math.sqrt(2 / 3 * (ia * ia + ib * ib + ic * ic)), rel=1e-9)


def test_home_makes_the_present_position_zero(twin):
    run(twin, 7, 2.0, 1.0)
    twin.set_home_position()
    run(twin, 7, 0.0, 0.5)
    assert twin.meas.pos == pytest.approx(0.0, abs=1e-3) and twin.motor.m_pos1 == pytest.approx(0.0, abs=1e-3)
    twin.set_home_position()
    assert twin.meas.pos == pytest.approx(0.0, abs=1e-3)
