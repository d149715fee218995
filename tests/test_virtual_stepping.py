"""Simulated actuator: stepping, the persistent load, the tick counter, the three copies of
the snapshot, the callback phase across calls, exceptions inside a tick, the simulated clock."""

import math

import pytest

from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual, VirtualActuatorLog
from virtual_support import fake_twin, RecordingTwin, ref_actuator, ref_paths, ref_twin, twin  # noqa: F401

I = KavrelActuatorVirtual.VKL_Items
R = KavrelActuatorVirtual.Rates


@pytest.fixture
def act(twin):
    a = KavrelActuatorVirtual(twin)
    a.connect()
    return a


def ticks(twin):
    return [c[1:] for c in twin.calls if c[0] == "step"]


@pytest.mark.parametrize("steps", [0, -1, 0.9, -5.5])
def test_steps_below_one_refused_first(steps):
    a = KavrelActuatorVirtual()
    with pytest.raises(ValueError, match=r"^steps must be >= 1$"):
        a.step(load=3.0, steps=steps)
    assert a._load_value == 0.0
    with pytest.raises(ValueError, match=r"^steps must be >= 1$"):
        a.start_steps(steps)


@pytest.mark.parametrize("steps, n", [(2.7, 2), (True, 1), (3, 3)])
def test_steps_are_truncated(act, twin, steps, n):
    act.step(steps=steps)
    assert len(ticks(twin)) == n and act._simulation_step_count == n


@pytest.mark.parametrize(
    "kwargs, message",
    [({"load": "1"}, r"^Argument 'load' has incorrect type \(expected float, got str\)$"),
     ({"load": [1.0]}, r"^Argument 'load' has incorrect type \(expected float, got list\)$"),
     ({"steps": "2"}, r"^Argument 'steps' has incorrect type \(expected int, got str\)$"),
     ({"steps": None}, r"^Argument 'steps' has incorrect type \(expected int, got NoneType\)$")],
)
def test_step_argument_types(act, twin, kwargs, message):
    with pytest.raises(TypeError, match=message):
        act.step(**kwargs)
    assert twin.calls == [] and act._load_value == 0.0


# Calls of `step` in every form, beside the same call through the general dispatch of the
# bound function (which every call the method's own entry declines goes to).
_LOAD = "".join(["lo", "ad"])  # a keyword equal to the parameter's name but not the same object


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((0.3,), {}), ((0.3, 2), {}), ((None, 3), {}), ((), {"load": 0.3}), ((), {"steps": 2}),
    ((), {"steps": 2, "load": -0.5}), ((0.3,), {"steps": 2}), ((), {"load": None, "steps": 1}),
    ((), {_LOAD: 0.7}), ((0.3, 2, 1), {}), ((), {"foo": 1}), ((0.3,), {"load": 0.4}),
    ((), {"steps": 0}), ((), {"load": "x"}),
])
def test_step_call_forms_match_the_general_dispatch(args, kwargs):
    general = KavrelActuatorVirtual.step.__wrapped_native__
    outcomes = []
    for call in (lambda a: a.step(*args, **kwargs), lambda a: KavrelActuatorVirtual.step(a, *args, **kwargs),
                 lambda a: general(a, *args, **kwargs)):
        twin = RecordingTwin()
        a = KavrelActuatorVirtual(twin)
        a.connect()
        a.set_feedback_items([I.POSITION_FB])
        try:
            got = ("ok", call(a))
        except Exception as e:  # the error's type and text are part of the outcome
            got = (type(e), str(e))
        outcomes.append((got, ticks(twin), a._load_value, a._simulation_step_count))
    assert outcomes[0] == outcomes[1] == outcomes[2]


def test_step_called_without_self():
    with pytest.raises(TypeError, match="incompatible function arguments"):
        KavrelActuatorVirtual.step()
    with pytest.raises(TypeError, match="incompatible function arguments"):
        KavrelActuatorVirtual.step(load=0.1)


def test_start_steps_argument_type(act):
    with pytest.raises(TypeError, match=r"^Argument 'step_number' has incorrect type \(expected int, got str\)$"):
        act.start_steps("10")


def test_load_not_stored_when_the_guard_refuses(twin):
    a = KavrelActuatorVirtual(twin)
    with pytest.raises(RuntimeError):
        a.step(load=2.0)
    assert a._load_value == 0.0
    a = KavrelActuatorVirtual()
    with pytest.raises(ValueError):
        a.step(load=2.0)
    assert a._load_value == 0.0


def test_load_persists_and_change_load_converts(act, twin):
    act.step(load=0.5)
    act.step()
    act.step(load=1)
    assert act._load_value == 1.0 and type(act._load_value) is float
    act.change_load(2)
    assert act._load_value == 2.0 and type(act._load_value) is float
    act.step()
    assert [t[1] for t in ticks(twin)] == [0.5, 0.5, 1.0, 2.0]
    with pytest.raises(TypeError):
        act.change_load("x")
    assert act._load_value == 2.0


def test_change_load_needs_no_twin():
    a = KavrelActuatorVirtual()
    a.change_load(-1.5)
    assert a._load_value == -1.5


def test_reference_and_load_reach_every_tick(act, twin):
    act.change_speed_setpoint(1.25)
    act.step(load=-0.5, steps=3)
    assert ticks(twin) == [(1.25, -0.5)] * 3
    assert all(type(v) is float for t in ticks(twin) for v in t)


def test_step_appends_rows_counts_and_returns_a_third_copy(act, twin):
    act.set_feedback_items([I.POSITION_FB, I.TORQUE_FB])
    got = []
    act.set_feedback_callback(lambda addr, fb: got.append(fb))
    act.set_feedback_rate(R.RATE_2HZ)  # divider 10000: never within these ticks
    result = act.step(load=0.5, steps=3)
    assert len(act.telemetry_log.time) == 3 and act._simulation_step_count == 3
    assert all(len(getattr(act.telemetry_log, n)) == 3 for n in ("T_fb", "debug_spd_ref_min", "inp_enable"))
    assert result == act._latest_feedback == act.feedback == act.get_feedback()
    assert result == {I.POSITION_FB: 3.0, I.TORQUE_FB: 0.5}
    assert result is not act._latest_feedback and result is not act.feedback
    assert act.feedback is not act._latest_feedback and act.get_feedback() is not act._latest_feedback
    result[I.POSITION_FB] = -1.0
    act.feedback[I.TORQUE_FB] = -1.0
    assert act._latest_feedback == {I.POSITION_FB: 3.0, I.TORQUE_FB: 0.5}
    assert list(act.telemetry_log.pos_fb) == [1.0, 2.0, 3.0]


def test_callback_gets_its_own_copy(act):
    act.set_feedback_items([I.POSITION_FB])
    act.set_feedback_rate(20000)
    seen = []

    def cb(addr, fb):
        seen.append(fb)
        fb[I.POSITION_FB] = 99.0
        fb["extra"] = 1

    act.set_feedback_callback(cb)
    result = act.step(steps=2)
    assert [s[I.POSITION_FB] for s in seen] == [99.0, 99.0] and seen[0] is not seen[1]
    assert result == act.feedback == act._latest_feedback == {I.POSITION_FB: 2.0}


def test_without_items_step_returns_empty_and_never_calls_back(act):
    calls = []
    act.set_feedback_callback(lambda *a: calls.append(a))
    act.set_feedback_rate(20000)
    assert act.step(steps=5) == {} and calls == [] and act.feedback == {}


@pytest.mark.parametrize(
    "chunks, divider, fired_at",
    [
        ([100], 20, [20, 40, 60, 80, 100]),
        ([7, 7, 7, 19], 20, [20, 40]),
        ([1] * 25, 10, [10, 20]),
        ([19, 1, 1], 20, [20]),
        ([5], 1, [1, 2, 3, 4, 5]),
        ([50], 0, []),
    ],
)
def test_callback_phase_follows_the_total_tick_count(act, chunks, divider, fired_at):
    act.set_feedback_items([I.POSITION_FB])
    act._feedback_rate_divider = divider
    fired = []
    act.set_feedback_callback(lambda addr, fb: fired.append(fb[I.POSITION_FB]))
    for n in chunks:
        act.step(steps=n)
    assert fired == [float(t) for t in fired_at]


def test_changing_the_divider_keeps_the_phase(act):
    act.set_feedback_items([I.POSITION_FB])
    fired = []
    act.set_feedback_callback(lambda addr, fb: fired.append(fb[I.POSITION_FB]))
    act.step(steps=15)
    act.set_feedback_rate(R.RATE_2KHZ)
    act.step(steps=16)
    assert fired == [20.0, 30.0]


def test_callback_receives_the_address(twin):
    for address, want in ((None, None), (0x22, 0x22)):
        a = KavrelActuatorVirtual(twin, address)
        a.connect()
        a.set_feedback_items([I.TEMP_PCB])
        a.set_feedback_rate(20000)
        seen = []
        a.set_feedback_callback(lambda addr, fb: seen.append(addr))
        a.step()
        assert seen == [want]


def test_callback_that_changes_setpoint_and_load_affects_the_same_call(act, twin):
    act.set_feedback_items([I.POSITION_FB])
    act.set_feedback_rate(R.RATE_2KHZ)  # every 10 ticks

    def cb(addr, fb):
        act.change_setpoint(fb[I.POSITION_FB])
        act.change_load(1.0)

    act.set_feedback_callback(cb)
    act.step(steps=12)
    assert ticks(twin)[9] == (0.0, 0.0) and ticks(twin)[10] == (10.0, 1.0) and ticks(twin)[11] == (10.0, 1.0)


@pytest.mark.parametrize("twin_kind, rate, fired_at", [
    ("recording twin", R.RATE_2KHZ, 10),   # the generic tick loop
    ("reference twin", None, 20),          # the native tick loop, default rate
])
def test_callback_exception_ends_step_after_storing_that_tick(twin_kind, rate, fired_at, ref_actuator):
    if twin_kind == "recording twin":
        act = KavrelActuatorVirtual(RecordingTwin())
        act.connect()
    else:
        act = ref_actuator()
    act.set_feedback_items([I.POSITION_FB])
    if rate is not None:
        act.set_feedback_rate(rate)

    class Stop(Exception):
        pass

    def cb(addr, fb):
        raise Stop("from callback")

    act.set_feedback_callback(cb)
    with pytest.raises(Stop, match="from callback"):
        act.step(steps=50)
    now = {I.POSITION_FB: float(act.actuator.info.pos_fb)}
    assert act._simulation_step_count == fired_at and len(act.telemetry_log.time) == fired_at
    assert act._latest_feedback == act.feedback == now
    assert act.telemetry_log.pos_fb[-1] == now[I.POSITION_FB]
    act.set_feedback_callback(None)
    assert act.step(steps=5) == {I.POSITION_FB: float(act.actuator.info.pos_fb)}
    assert act._simulation_step_count == fired_at + 5


def test_twin_exception_inside_a_tick_keeps_finished_ticks(act, twin):
    original = twin.step

    def step(ref, load=0.0):
        if twin.meas.turn == 3:
            raise RuntimeError("twin failed")
        original(ref, load)

    twin.step = step
    with pytest.raises(RuntimeError, match="twin failed"):
        act.step(steps=10)
    assert act._simulation_step_count == 3 and len(act.telemetry_log.time) == 3


OPTIONAL_INPUTS = ("inp.T_ADC", "inp.ref_ff_torque", "inp.ref_impedance_spd", "inp.ref_impedance_acel")


def test_duck_twin_runs_the_generic_road_with_values_as_given():
    # Integer feedback values, no optional inputs: logged as they read, NaN for the absent ones.
    twin = fake_twin(omit=OPTIONAL_INPUTS, values={"info.enable": 1, "info.T_fb": 1, "meas.turn2": 4})
    act = KavrelActuatorVirtual(twin)
    act.connect()
    assert act.step(load=2, steps=3) == {}
    log = act.telemetry_log
    assert ticks(twin) == [(0.0, 2.0)] * 3
    assert log.enable == [1, 1, 1] and type(log.enable[0]) is int
    assert log.inp_t_adc[0] != log.inp_t_adc[0] and math.isnan(log.inp_ref_ff_torque[2])
    assert log.time == [0.0, 5e-05, 0.0001] and log.meas_turn == [1, 2, 3] and log.meas_turn2 == [4, 4, 4]


def test_snapshot_failure_keeps_the_row_and_count(act):
    act.set_feedback_items([KavrelActuatorVirtual.TorquePerformance.SOFT])
    with pytest.raises(KeyError):
        act.step(steps=3)
    assert act._simulation_step_count == 1 and len(act.telemetry_log.time) == 1
    assert act._latest_feedback == {}


def test_start_steps(act, twin):
    act.step(load=0.75)
    assert act.start_steps(10) is None
    assert len(ticks(twin)) == 11 and ticks(twin)[-1] == (0.0, 0.75)


# ---- simulated clock --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "n, round_dec, want",
    [(0, 3, 0.0), (1, 3, 0.0), (3, 3, 0.0), (3, 4, 0.0001), (21, 3, 0.001), (31, 3, 0.002), (31, 5, 0.0015),
     (2001, 1, 0.1), (3, 2.9, 0.0), (21, True, 0.0)],
)
def test_sim_time_rounding(act, n, round_dec, want):
    if n:
        act.step(steps=n)
    t = act.get_sim_time(round_dec)
    assert t == want and type(t) is float


def test_sim_time_rounds_half_to_even_and_negative_places():
    a = KavrelActuatorVirtual()
    log = a.telemetry_log
    for v, dec, want in ((0.125, 2, 0.12), (0.375, 2, 0.38), (1234.5, -2, 1200.0), (2.5, 0, 2.0), (1250.0, -2, 1200.0)):
        log.time = [v]
        assert a.get_sim_time(dec) == want == round(v, dec)
        assert type(a.get_sim_time(dec)) is float


def test_sim_time_reads_the_log_as_written():
    a = KavrelActuatorVirtual()
    a.telemetry_log = VirtualActuatorLog(time=[1, 7], time_start=2.0)
    assert a.get_sim_time() == 7.0 and type(a.get_sim_time()) is float
    a.telemetry_log.time = []
    assert a.get_sim_time() == 0.0


def test_sim_time_argument_type():
    with pytest.raises(TypeError, match=r"^Argument 'round_dec' has incorrect type \(expected int, got str\)$"):
        KavrelActuatorVirtual().get_sim_time("3")


def test_sim_time_keeps_counting_across_reconnect_and_rebind(act, twin):
    act.step(steps=21)
    act.disconnect()
    act.actuator = RecordingTwin()
    act.connect()
    act.step(steps=20)
    assert act.get_sim_time(4) == 0.002 and act._simulation_step_count == 41


def test_reference_twin_step_runs_with_its_time_step(ref_twin):
    a = KavrelActuatorVirtual(ref_twin)
    a.connect()
    a.set_feedback_items([I.SPEED_FB])
    r = a.step(steps=200)
    assert len(a.telemetry_log.time) == 200 and list(r) == [I.SPEED_FB] and type(r[I.SPEED_FB]) is float
    assert a.telemetry_log.TIME_STEP == 5e-05  # a twin handed in leaves the log's default
    assert a.telemetry_log.time[-1] == 199 * 5e-05
    assert a.get_sim_time(6) == round(199 * 5e-05, 6)
