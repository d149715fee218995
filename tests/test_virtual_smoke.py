"""Smoke tests of the simulated actuator on the reference twin and on a fake twin.

Native against generic stepping is tested in test_virtual_twin_variants.py.
"""

import math
import types

import pytest

from vkl_api import _twin_engine
from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual, VirtualActuatorLog
from virtual_support import running

ITEMS = KavrelActuatorVirtual.VKL_Items


def test_callback_exception_ends_step_with_that_tick_recorded():
    act = running()
    act.set_feedback_items([ITEMS.SPEED_FB])

    def boom(address, fb):
        raise RuntimeError("stop here")

    act.set_feedback_callback(boom)
    with pytest.raises(RuntimeError, match="stop here"):
        act.step(steps=50)
    assert act._simulation_step_count == 20
    assert len(act.telemetry_log.time) == 20
    assert act.feedback == act._latest_feedback and list(act.feedback) == [ITEMS.SPEED_FB]


def test_series_behave_as_sequences_of_their_types():
    act = running()
    act.step(steps=5)
    log = act.telemetry_log
    assert [type(x) for x in (log.pos_fb[0], log.meas_turn[0], log.inp_enable[0])] == [float, int, bool]
    assert log.time == [i * 5e-05 for i in range(5)] and log.time[-1] == log.time[4]
    assert log.time[1:3] == [5e-05, 0.0001] and list(log.time) == log.time.tolist()
    assert repr(log.time) == repr(log.time.tolist()) == str(log.time)
    assert len(log.T_fb) == 5 and log.inp_t_adc != [] and log.T_fb != (1,)
    with pytest.raises(IndexError):
        log.time[5]
    log.enable.append(1)  # not a float: kept as given
    assert log.enable[-1] == 1 and type(log.enable[-1]) is int and len(log.enable) == 6
    del log.enable[-1]
    log.T_fb.clear()
    assert log.T_fb == [] and act.get_sim_time(4) == 0.0002


def test_series_buffer_is_a_view_that_outlives_growth():
    np = pytest.importorskip("numpy")
    act = running()
    act.step(steps=10)
    t = np.asarray(act.telemetry_log.time)
    flags = np.asarray(act.telemetry_log.inp_enable)
    assert t.dtype == np.float64 and flags.dtype == np.bool_ and not t.flags.writeable
    again = np.frombuffer(act.telemetry_log.time)
    assert not t.flags.owndata and t.__array_interface__["data"][0] == again.__array_interface__["data"][0]
    before = t.copy()
    act.step(steps=5000)  # the column moves; the view keeps its own block
    assert (t == before).all() and len(act.telemetry_log.time) == 5010
    assert memoryview(act.telemetry_log.time).readonly


def test_log_record():
    a, b = VirtualActuatorLog(), VirtualActuatorLog()
    assert a == b and a.time is not b.time and a.TIME_STEP == 5e-05 and a.time_start == 0.0
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(AttributeError):
        a.other = 1
    assert repr(a).startswith("VirtualActuatorLog(enable=[], ") and repr(a).endswith("TIME_STEP=5e-05, time_start=0.0)")
    c = VirtualActuatorLog(*([[]] * 65), 1e-3, 2.0)
    assert c.TIME_STEP == 1e-3 and c.time_start == 2.0 and c != a and c.enable is c.T_fb


def fake_twin(debug_lacks=None):
    info = types.SimpleNamespace(**{n: 1 for n in (
        "enable temp_winding T_fb T_ref id_fb id_ref iq_fb iq_ref pos_fb pos_ref spd_fb spd_ref vd_ref vq_ref".split())})
    motor = types.SimpleNamespace(**{n: 0.5 for n in (
        "m_Te m_Tl m_acc m_eff_elec m_eff_mec m_i_dc m_ia m_ib m_ic m_id m_iq m_pos1 m_pos2 m_pwr_dc m_pwr_elec "
        "m_pwr_mec m_spd1 m_spd2 m_va m_vb m_vc m_vd m_vq".split())})
    meas = types.SimpleNamespace(turn=3, turn2=4, T=0.0, e_pos=0.0, pos=0.0, pos2=0.0, spd=0.0, spd2=0.0)
    inp = types.SimpleNamespace(Reference=0.0, Load=0.0, ControlType=7, Enable=False, ResetPos=False)
    debug = types.SimpleNamespace(**{n: False for n in (
        "T_fb_max T_ref_max i_max pos_fb_max pos_fb_min pos_ref_max pos_ref_min spd_fb_max spd_ref_max "
        "spd_ref_min".split()) if n != debug_lacks})
    calls = []
    twin = types.SimpleNamespace(info=info, motor=motor, meas=meas, inp=inp, debug=debug, _initialized=True, calls=calls)
    twin.step = lambda ref, load: calls.append((ref, load))
    twin.set_address = lambda a: calls.append(("addr", a))
    return twin


def test_fake_twin_runs_the_generic_road_with_values_as_given():
    twin = fake_twin()
    act = KavrelActuatorVirtual(twin)
    act.connect()
    assert act.step(load=2, steps=3) == {}
    log = act.telemetry_log
    assert twin.calls == [(0.0, 2.0)] * 3
    assert log.enable == [1, 1, 1] and type(log.enable[0]) is int
    assert log.inp_t_adc[0] != log.inp_t_adc[0] and math.isnan(log.inp_ref_ff_torque[2])
    assert log.time == [0.0, 5e-05, 0.0001] and log.meas_turn == [3, 3, 3]


def test_missing_debug_field_leaves_the_row_partly_appended():
    act = KavrelActuatorVirtual(fake_twin(debug_lacks="i_max"))
    act.connect()
    with pytest.raises(AttributeError):
        act.step()
    log = act.telemetry_log
    assert len(log.time) == len(log.debug_T_ref_max) == 1 and len(log.debug_i_max) == len(log.debug_spd_ref_min) == 0
    assert act._simulation_step_count == 0


@pytest.mark.parametrize("name, values", [("T_fb", [0.5, -1.25, 3.0]), ("meas_turn", [7, -2, 2**40]),
                                          ("inp_enable", [True, False])])
def test_series_follow_list_semantics_under_random_edits(name, values):
    import random

    rnd = random.Random(1234)
    series, mirror = getattr(VirtualActuatorLog(), name), []
    views = []
    for _ in range(600):
        op = rnd.randrange(10)
        if op <= 3 or not mirror:
            v = rnd.choice(values) if rnd.random() > 0.02 else rnd.choice([1, 2.5, None, "x", 2**70])
            series.append(v)
            mirror.append(v)
        elif op == 4:
            i = rnd.randrange(-len(mirror), len(mirror))
            assert series[i] == mirror[i] and type(series[i]) is type(mirror[i])
        elif op == 5:
            sl = slice(rnd.randrange(-5, 8), rnd.choice([None, rnd.randrange(-5, 8)]), rnd.choice([None, 1, 2, -1, 3]))
            assert series[sl] == mirror[sl]
        elif op == 6:
            i = rnd.randrange(-len(mirror), len(mirror))
            v = rnd.choice(values)
            series[i] = v
            mirror[i] = v
        elif op == 7:
            sl = slice(rnd.randrange(0, 4), rnd.randrange(0, 6), rnd.choice([1, 2]))
            del series[sl]
            del mirror[sl]
        elif op == 8:
            try:
                views.append(memoryview(series))
            except BufferError:
                pass  # a series of mixed values has no typed buffer
            if len(views) > 3:
                views.pop(0).release()
        else:
            series.extend(values)
            mirror.extend(values)
        assert len(series) == len(mirror) and series == mirror and repr(series) == repr(mirror)
    assert list(series) == mirror and (mirror[-1] in series)
    series.clear()
    assert series == [] and len(series) == 0


@pytest.mark.parametrize("where", ["engine class", "twin instance", "log class", "actuator class"])
def test_replaced_operations_are_called_for_every_tick(monkeypatch, where):
    from vkl_api import kavrel_actuator_virtual as mod

    act = running()
    calls = []
    if where == "engine class":
        orig = _twin_engine.ActuatorWrapper.step
        monkeypatch.setattr(_twin_engine.ActuatorWrapper, "step",
                            lambda self, ref, load=0.0: (calls.append(ref), orig(self, ref, load)))
    elif where == "twin instance":
        orig = act.actuator.step
        act.actuator.step = lambda ref, load=0.0: (calls.append(ref), orig(ref, load))
    elif where == "log class":
        orig = mod.VirtualActuatorLog._append
        monkeypatch.setattr(mod.VirtualActuatorLog, "_append", lambda self, a: (calls.append(a), orig(self, a)))
    else:
        orig = KavrelActuatorVirtual._build_feedback_snapshot
        monkeypatch.setattr(KavrelActuatorVirtual, "_build_feedback_snapshot",
                            lambda self: (calls.append(1), orig(self))[1])
    act.step(steps=7)
    assert len(calls) == 7 and len(act.telemetry_log.time) == 7 and act._simulation_step_count == 7
