"""Smoke tests of the simulated actuator on the reference twin.

The central check: the native tick loop (plain instance, engine wrapper) and the
generic one (a subclass that overrides a stepping operation without changing
it) give the same log, snapshots, callback arguments and counts.
"""


import pytest

from vkl_api import _twin_engine
from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual, VirtualActuatorLog

MODEL = "VKL_REF_TWIN"


class GenericStepping(KavrelActuatorVirtual):
    """Same behaviour; the override keeps `step` on the generic road."""

    def _should_emit_feedback(self):
        return super()._should_emit_feedback()


def running(cls=KavrelActuatorVirtual):
    act = cls(address=0x20)
    act.set_actuator(MODEL)
    act.connect()
    act.start()
    return act


def drive(act, items, rate=None, mutate=None):
    seen = []

    def callback(address, fb):
        # What the callback sees of the actuator must be current.
        seen.append((address, dict(fb), act._simulation_step_count, len(act.telemetry_log.time),
                     dict(act.feedback), act.get_feedback()))
        if len(seen) == 2:
            act.change_setpoint(-0.25)
            act.change_load(0.3)
        if len(seen) == 4 and mutate:
            mutate(act)

    act.set_feedback_items(items)
    act.set_feedback_callback(callback)
    if rate is not None:
        act.set_feedback_rate(rate)
    act.change_position_setpoint(0.5)
    results = [act.step(load=0.1, steps=97), act.step(steps=1), act.step(steps=130)]
    return seen, results


ITEMS = KavrelActuatorVirtual.VKL_Items


@pytest.mark.parametrize(
    "items, rate",
    [
        ([], None),
        ([ITEMS.POSITION_FB, ITEMS.VBUS, ITEMS.DEBUG_SIGNAL_BOOL, ITEMS.TEMP_PCB, ITEMS.POSITION_FB], None),
        ([ITEMS.ERRORS_OVERRUN, ITEMS.ENCODER_INT_RAW, ITEMS.DEBUG_SIGNAL03], 2000),
    ],
)
def test_native_and_generic_ticks_agree(items, rate):
    native, generic = running(), running(GenericStepping)
    assert _twin_engine.TwinView.step_ready(native.actuator)
    seen_n, res_n = drive(native, items, rate)
    seen_g, res_g = drive(generic, items, rate)
    assert res_n == res_g
    assert seen_n == seen_g
    assert native.telemetry_log == generic.telemetry_log
    assert native.feedback == generic.feedback and native._latest_feedback == generic._latest_feedback
    assert native._simulation_step_count == generic._simulation_step_count == 228
    for address, fb, count, rows, feedback, latest in seen_n:
        assert address == 0x20 and count == rows and fb == feedback == latest
        assert count % native._feedback_rate_divider == 0
    if items:
        assert len(seen_n) == 228 // native._feedback_rate_divider
        assert list(res_n[-1]) == list(dict.fromkeys(items))
    else:
        assert seen_n == [] and res_n == [{}, {}, {}]


def as_list(act):
    act.telemetry_log.meas_pos = list(act.telemetry_log.meas_pos)


def rebind(act):
    act.set_actuator(MODEL)


def new_log(act):
    act.telemetry_log = VirtualActuatorLog(time_start=1.0)


@pytest.mark.parametrize("mutate", [as_list, rebind, new_log])
def test_changes_made_by_the_callback_apply_from_the_next_tick(mutate):
    items = [ITEMS.POSITION_FB, ITEMS.IQ_FB]
    native, generic = running(), running(GenericStepping)
    seen_n, res_n = drive(native, items, 1000, mutate)
    seen_g, res_g = drive(generic, items, 1000, mutate)
    assert len(seen_n) == 11 and seen_n == seen_g and res_n == res_g
    assert native.telemetry_log == generic.telemetry_log and native._simulation_step_count == 228


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
