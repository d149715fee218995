"""Simulated actuator: feedback items, the rate divider, snapshots, on-demand reads and the
callback setters."""

import math

import pytest

from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual
from virtual_support import NOT_CONFIGURED, fake_twin, RecordingTwin, ref_paths, ref_twin

I = KavrelActuatorVirtual.VKL_Items
R = KavrelActuatorVirtual.Rates
NAN = math.nan

# item -> twin path read as a float
PATH_ITEMS = {
    I.ENCODER_INT: "meas.pos", I.ENCODER_INT_RAW: "meas.turn", I.ENCODER_EXT: "meas.pos2",
    I.ENCODER_EXT_RAW: "meas.turn2", I.SPEED_FB: "info.spd_fb", I.IA: "motor.m_ia", I.IB: "motor.m_ib",
    I.IC: "motor.m_ic", I.TORQUE_SENS: "meas.T", I.TORQUE_SENS_RAW: "meas.T", I.POSITION_REF: "info.pos_ref",
    I.POSITION_FB: "info.pos_fb", I.POSITION_FB_INTERNAL: "meas.pos", I.SPEED_REF: "info.spd_ref",
    I.ID_REF: "info.id_ref", I.ID_FB: "info.id_fb", I.IQ_REF: "info.iq_ref", I.IQ_FB: "info.iq_fb",
    I.VD_REF: "info.vd_ref", I.VQ_REF: "info.vq_ref", I.TORQUE_REF: "info.T_ref", I.TORQUE_FB: "info.T_fb",
    I.REFERENCE_A_VOLTAGE: "motor.m_va", I.REFERENCE_B_VOLTAGE: "motor.m_vb",
    I.REFERENCE_C_VOLTAGE: "motor.m_vc", I.BUS_POWER: "motor.m_pwr_dc", I.BUS_CURRENT: "motor.m_i_dc",
    I.THREE_PHASE_POWER: "motor.m_pwr_elec", I.MECHANICAL_POWER: "motor.m_pwr_mec",
    I.INVERTER_EFFICIENCY: "motor.m_eff_elec", I.MOTOR_EFFICIENCY: "motor.m_eff_mec",
    I.TEMP_MOTOR: "info.temp_winding",
}
FLAG_ITEMS = {I.ERRORS_ENCODER_INT: "debug.pos_fb_max", I.ERRORS_ENCODER_EXT: "debug.pos_fb_min",
              I.ERRORS_OVERRUN: "debug.i_max"}
DEBUG_ITEMS = [getattr(I, f"DEBUG_SIGNAL{k:02d}") for k in range(1, 11)]


def numbered_twin():
    """A fake twin whose every float field holds a value of its own, integers for the turns."""
    from virtual_support import field_names

    values = {}
    k = 1
    for group in ("info", "motor", "meas"):
        for name in field_names[group]:
            values[f"{group}.{name}"] = (k + 7) if name in ("turn", "turn2") else k + 0.5
            k += 1
    return fake_twin(values=values), values


def test_every_item_has_a_value():
    twin, values = numbered_twin()
    a = KavrelActuatorVirtual(twin)
    handled = set(PATH_ITEMS) | set(FLAG_ITEMS) | set(DEBUG_ITEMS) | {I.VBUS, I.TEMP_PCB, I.DEBUG_SIGNAL_BOOL}
    assert handled == set(I) and len(list(I)) == 48
    for item in I:
        v = a._get_item_value(item)
        assert type(v) is float, item
    for item, path in PATH_ITEMS.items():
        assert a._get_item_value(item) == float(values[path]), item
    assert a._get_item_value(I.TEMP_PCB) == 25.0
    assert a._get_item_value(I.VBUS) == values["motor.m_pwr_dc"] / values["motor.m_i_dc"]
    for item in DEBUG_ITEMS:
        assert math.isnan(a._get_item_value(item))


@pytest.mark.parametrize("item, path", list(FLAG_ITEMS.items()))
def test_error_items_follow_their_flags(item, path):
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(twin)
    assert a._get_item_value(item) == 0.0 and a._get_item_value(I.DEBUG_SIGNAL_BOOL) == 0.0
    group, name = path.split(".")
    setattr(getattr(twin, group), name, True)
    assert a._get_item_value(item) == 1.0 and a._get_item_value(I.DEBUG_SIGNAL_BOOL) == 1.0
    setattr(getattr(twin, group), name, 3)
    assert a._get_item_value(item) == 1.0


@pytest.mark.parametrize("flag", ["T_fb_max", "spd_ref_min", "pos_ref_max"])
def test_debug_signal_bool_follows_any_limit_flag(flag):
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(twin)
    setattr(twin.debug, flag, True)
    assert a._get_item_value(I.DEBUG_SIGNAL_BOOL) == 1.0
    assert a._get_item_value(I.ERRORS_OVERRUN) == (1.0 if flag == "i_max" else 0.0)


@pytest.mark.parametrize("current, power, want", [(0.0, 12.0, 12.0), (-0.0, 3.0, 3.0), (2.0, 12.0, 6.0),
                                                  (NAN, 1.0, NAN), (0.5, -1.0, -2.0)])
def test_bus_voltage(current, power, want):
    twin = fake_twin(values={"motor.m_i_dc": current, "motor.m_pwr_dc": power})
    v = KavrelActuatorVirtual(twin)._get_item_value(I.VBUS)
    assert (math.isnan(v) and math.isnan(want)) or v == want


def test_bus_voltage_reads_power_before_current():
    order = []

    class Motor:
        @property
        def m_pwr_dc(self):
            order.append("power")
            return 4.0

        @property
        def m_i_dc(self):
            order.append("current")
            return 2.0

    twin = RecordingTwin()
    twin.motor = Motor()
    assert KavrelActuatorVirtual(twin)._get_item_value(I.VBUS) == 2.0
    assert order == ["power", "current"]


def test_constant_items_still_need_a_twin():
    a = KavrelActuatorVirtual()
    for item in (I.TEMP_PCB, I.DEBUG_SIGNAL03, I.POSITION_FB):
        with pytest.raises(ValueError, match=NOT_CONFIGURED):
            a._get_item_value(item)


def test_unsupported_items():
    a = KavrelActuatorVirtual(RecordingTwin())
    with pytest.raises(KeyError, match="Unsupported feedback item: TorquePerformance.SOFT"):
        a._get_item_value(a.TorquePerformance.SOFT)
    with pytest.raises(AttributeError):
        a._get_item_value(65)

    class Foreign:
        name = "DEBUG_SIGNAL_X"

    assert math.isnan(a._get_item_value(Foreign()))


def test_missing_twin_field_fails_the_item():
    a = KavrelActuatorVirtual(fake_twin(omit=("info.spd_fb",)))
    with pytest.raises(AttributeError):
        a._get_item_value(I.SPEED_FB)


# ---- items, snapshots and on-demand reads ------------------------------------------------------


def test_set_feedback_items_copies_and_clears_the_snapshot():
    a = KavrelActuatorVirtual(RecordingTwin())
    a.connect()
    items = [I.POSITION_FB]
    a.set_feedback_items(items)
    items.append(I.IA)
    assert a._feedback_items == [I.POSITION_FB] and a._feedback_items is not items
    a.step()
    assert a.get_feedback() == {I.POSITION_FB: 1.0}
    a.set_feedback_items([I.IA])
    assert a.get_feedback() == {} and a._latest_feedback == {} and a.feedback == {I.POSITION_FB: 1.0}


@pytest.mark.parametrize("bad, tname", [((I.IA,), "tuple"), (None, "NoneType"), ({I.IA}, "set")])
def test_set_feedback_items_needs_a_list(bad, tname):
    a = KavrelActuatorVirtual()
    with pytest.raises(TypeError, match=rf"^Argument 'items' has incorrect type \(expected list, got {tname}\)$"):
        a.set_feedback_items(bad)
    assert a._feedback_items == []


def test_list_subclass_refused():
    class L(list):
        pass

    with pytest.raises(TypeError, match=r"expected list, got L\)$"):
        KavrelActuatorVirtual().set_feedback_items(L([I.IA]))


def test_items_are_not_validated_until_a_snapshot():
    a = KavrelActuatorVirtual()
    a.set_feedback_items([123, "x"])
    assert a._feedback_items == [123, "x"]


def test_snapshot_keys_in_first_order_with_duplicates_merged():
    twin, values = numbered_twin()
    a = KavrelActuatorVirtual(twin)
    a.set_feedback_items([I.IB, I.IA, I.IB, I.TEMP_PCB])
    snap = a._build_feedback_snapshot()
    assert list(snap) == [I.IB, I.IA, I.TEMP_PCB]
    assert snap == {I.IB: values["motor.m_ib"], I.IA: values["motor.m_ia"], I.TEMP_PCB: 25.0}
    assert a._build_feedback_snapshot() is not a._build_feedback_snapshot()


def test_empty_snapshot_needs_no_twin():
    a = KavrelActuatorVirtual()
    assert a._build_feedback_snapshot() == {}


def test_snapshot_fails_whole_on_one_bad_item():
    a = KavrelActuatorVirtual(RecordingTwin())
    a.set_feedback_items([I.IA, a.Mode.SPEED])
    with pytest.raises(KeyError):
        a._build_feedback_snapshot()


def test_get_items_blocking_reads_at_once():
    twin, values = numbered_twin()
    a = KavrelActuatorVirtual(twin)
    items = [I.IA, I.IB, I.IC, I.ID_FB, I.IQ_FB, I.VD_REF, I.VQ_REF, I.SPEED_FB, I.TEMP_PCB, I.VBUS, I.TEMP_MOTOR,
             I.POSITION_FB]
    got = a.get_items_blocking(items)
    assert list(got) == items[:9]
    assert got[I.IA] == values["motor.m_ia"] and got[I.TEMP_PCB] == 25.0
    assert twin.calls == [] and a._feedback_items == [] and a._latest_feedback == {}
    assert a.get_items_blocking([I.TEMP_PCB], timeout=0) == {I.TEMP_PCB: 25.0}
    assert a.get_items_blocking([]) == {}


def test_get_items_blocking_checks_timeout_before_items():
    a = KavrelActuatorVirtual(RecordingTwin())
    with pytest.raises(TypeError) as e:
        a.get_items_blocking(None, timeout="x")
    assert "items" not in str(e.value)
    with pytest.raises(TypeError, match=r"^Argument 'items' has incorrect type \(expected list, got tuple\)$"):
        a.get_items_blocking((I.IA,))
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        KavrelActuatorVirtual().get_items_blocking([I.TEMP_PCB])
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        KavrelActuatorVirtual().get_items_blocking([])


def test_get_feedback_returns_a_copy():
    a = KavrelActuatorVirtual(RecordingTwin())
    a.connect()
    a.set_feedback_items([I.POSITION_FB])
    a.step()
    fb = a.get_feedback()
    fb.clear()
    assert a.get_feedback() == {I.POSITION_FB: 1.0} and a.get_feedback() is not a._latest_feedback


def test_reference_twin_items(ref_twin):
    a = KavrelActuatorVirtual(ref_twin)
    a.connect()
    a.set_feedback_items(list(I))
    a.change_speed_setpoint(2.0)
    a.start()
    snap = a.step(steps=400)
    assert list(snap) == list(I) and all(type(v) is float for v in snap.values())
    assert snap[I.SPEED_FB] == float(ref_twin.info.spd_fb) and snap[I.ENCODER_INT_RAW] == float(ref_twin.meas.turn)
    assert snap[I.TEMP_PCB] == 25.0 and math.isnan(snap[I.DEBUG_SIGNAL10])


# ---- rate divider ----------------------------------------------------------------------------


@pytest.mark.parametrize("member", [m for m in R if m is not R.DISABLED])
def test_rates_members_give_their_own_divider_at_20khz(member):
    a = KavrelActuatorVirtual()
    a.set_feedback_rate(member)
    assert a._feedback_rate_divider == member.value and type(a._feedback_rate_divider) is int


@pytest.mark.parametrize(
    "rate, divider",
    [(3, 6667), (8000, 2), (12000, 2), (20000, 1), (1, 20000), (True, 20000), (1000, 20), (7, 2857),
     (6, 3333), (13333, 2), (13334, 1), (40, 500)],
)
def test_integer_rates(rate, divider):
    a = KavrelActuatorVirtual()
    a.set_feedback_rate(rate)
    assert a._feedback_rate_divider == divider


@pytest.mark.parametrize(
    "step, rate, divider",
    [(1e-3, R.RATE_1KHZ, 1), (1e-3, 400, 2), (1e-3, R.RATE_200HZ, 5), (1e-4, R.RATE_2KHZ, 5), (1e-4, 3000, 3)],
)
def test_divider_follows_the_twin_rate(step, rate, divider):
    a = KavrelActuatorVirtual(fake_twin(get_sim_time_step_s=lambda self: step))
    a.set_feedback_rate(rate)
    assert a._feedback_rate_divider == divider


def test_divider_is_not_recomputed_on_rebinding():
    a = KavrelActuatorVirtual()
    a.set_feedback_rate(R.RATE_100HZ)
    a.actuator = fake_twin(get_sim_time_step_s=lambda self: 1e-3)
    assert a._feedback_rate_divider == 200


@pytest.mark.parametrize("off", [0, False, R.DISABLED])
def test_off_without_asking_the_rate(off):
    def boom(self):
        raise AssertionError("rate asked")

    a = KavrelActuatorVirtual(fake_twin(get_sim_time_step_s=boom))
    a.set_feedback_rate(off)
    assert a._feedback_rate_divider == 0


@pytest.mark.parametrize(
    "rate, exc, message",
    [(1000.0, TypeError, r"^rate must be a Rates enum or int, got float$"),
     ("10", TypeError, r"^rate must be a Rates enum or int, got str$"),
     (None, TypeError, r"^rate must be a Rates enum or int, got NoneType$"),
     (KavrelActuatorVirtual.Mode.SPEED, TypeError, r"^rate must be a Rates enum or int, got Mode$"),
     (-5, ValueError, r"^Rate must be non-negative, got -5$"),
     (20001, ValueError, r"^Rate cannot exceed DTwin simulation rate of 20000 Hz$")],
)
def test_rate_refusals_keep_the_divider(rate, exc, message):
    a = KavrelActuatorVirtual()
    a.set_feedback_rate(R.RATE_2KHZ)
    with pytest.raises(exc, match=message):
        a.set_feedback_rate(rate)
    assert a._feedback_rate_divider == 10


@pytest.mark.parametrize("step, text", [(1e-3, "1000"), (3e-05, "33333.3"), (1 / 12345.5, "12345.5")])
def test_rate_limit_message_in_general_format(step, text):
    a = KavrelActuatorVirtual(fake_twin(get_sim_time_step_s=lambda self: step))
    with pytest.raises(ValueError, match=rf"^Rate cannot exceed DTwin simulation rate of {text} Hz$"):
        a.set_feedback_rate(10 ** 6)


def test_rate_of_a_non_positive_step_raises_the_rate_error():
    a = KavrelActuatorVirtual(fake_twin(get_sim_time_step_s=lambda self: 0.0))
    with pytest.raises(RuntimeError, match=r"^Invalid DTwin simulation timestep: 0\.0$"):
        a.set_feedback_rate(R.RATE_1KHZ)
    assert a._feedback_rate_divider == 20


def test_rate_equal_to_the_simulation_rate_allowed():
    a = KavrelActuatorVirtual(fake_twin(get_sim_time_step_s=lambda self: 1e-3))
    a.set_feedback_rate(1000)
    assert a._feedback_rate_divider == 1
    with pytest.raises(ValueError):
        a.set_feedback_rate(R.RATE_2KHZ)


def test_should_emit_feedback_conditions():
    a = KavrelActuatorVirtual(RecordingTwin())
    a._simulation_step_count = 40
    assert a._should_emit_feedback() is False  # no callback, no items
    a.set_feedback_callback(lambda *x: None)
    assert a._should_emit_feedback() is False  # no items
    a.set_feedback_items([I.IA])
    assert a._should_emit_feedback() is True
    a._simulation_step_count = 41
    assert a._should_emit_feedback() is False
    a._feedback_rate_divider = 0
    a._simulation_step_count = 0
    assert a._should_emit_feedback() is False


def test_emit_callback_arguments():
    a = KavrelActuatorVirtual()
    got = []
    a._emit_callback(lambda addr, payload: got.append((addr, payload)) or "ignored", 16.7, {"k": 1})
    assert got == [(16, {"k": 1})] and type(got[0][0]) is int
    a._emit_callback(None, 16, {})
    a._emit_callback(lambda addr, payload: got.append(addr), None, {})
    assert got[-1] is None
    with pytest.raises(TypeError, match=r"^Argument 'address' has incorrect type \(expected int, got str\)$"):
        a._emit_callback(print, "16", {})
    with pytest.raises(TypeError, match=r"^Argument 'payload' has incorrect type \(expected dict, got list\)$"):
        a._emit_callback(print, 16, [])


def test_callback_setters_store_without_checks():
    a = KavrelActuatorVirtual()
    a.set_feedback_callback("not callable")
    assert a._feedback_callback == "not callable"
    a.set_feedback_callback(None)
    assert a._feedback_callback is None
    marker = object()
    a.set_error_callback(marker)
    assert a.error_callback is marker


def test_rate_2khz_doubles_the_callbacks(ref_twin):
    counts = []
    for rate in (None, R.RATE_2KHZ):
        a = KavrelActuatorVirtual(ref_twin)
        a.connect()
        n = []
        a.set_feedback_items([I.SPEED_FB])
        a.set_feedback_callback(lambda addr, fb: n.append(1))
        if rate is not None:
            a.set_feedback_rate(rate)
        a.step(steps=100)
        counts.append(len(n))
    assert counts == [5, 10]
