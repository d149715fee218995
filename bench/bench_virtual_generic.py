"""The simulated actuator's generic road beside a plain-Python rendition of the same tick.

Run from the worktree root against a development build, for example:

    PYTHONPATH=$PWD/build/dev/stage .venv/bin/python bench/bench_virtual_generic.py

The build takes the generic road whenever the native loop must not run: a subclass that
overrides one of the stepping methods, a duck-typed twin, a log series replaced by a list.
Each case is measured beside ``PlainActuator``, a straightforward Python implementation of
the tick (the attribute reads, appends and snapshot of the telemetry log, stepping and
feedback rules), stepping the same kind of twin with the same change, in one run.  Figures
are the best of several interleaved runs, nanoseconds per tick, with no feedback items and with four
items and a callback at 1 kHz (every 20th tick of the 20 kHz twin).  Target: the generic
road costs at most half of the plain-Python tick.
"""

from __future__ import annotations

import argparse
import math
import time

from _report import figure
from vkl_api._twin_catalog import resolve_dtwin_artifacts
from vkl_api._twin_engine import ActuatorWrapper
from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual, VirtualActuatorLog

MODEL = "VKL_REF_TWIN"
TARGET_RATIO = 0.5
I = KavrelActuatorVirtual.VKL_Items
ITEMS = [I.POSITION_FB, I.SPEED_FB, I.TORQUE_FB, I.IA]

# ---- the plain-Python rendition ---------------------------------------------------------

# (series, structure, field, optional) in the log's order; "time" is appended first.
ROW = (
    [(n, "info", n, False) for n in ("enable", "temp_winding", "T_fb", "T_ref", "id_fb", "id_ref", "iq_fb",
                                     "iq_ref", "pos_fb", "pos_ref", "spd_fb", "spd_ref", "vd_ref", "vq_ref")]
    + [(n, "motor", n, False) for n in (
        "m_Te", "m_Tl", "m_acc", "m_eff_elec", "m_eff_mec", "m_i_dc", "m_ia", "m_ib", "m_ic", "m_id", "m_iq",
        "m_pos1", "m_pos2", "m_pwr_dc", "m_pwr_elec", "m_pwr_mec", "m_spd1", "m_spd2", "m_va", "m_vb", "m_vc",
        "m_vd", "m_vq")]
    + [("meas_" + n, "meas", n, False) for n in ("turn", "turn2", "T", "e_pos", "pos", "pos2", "spd", "spd2")]
    + [("inp_ref", "inp", "Reference", False), ("inp_load", "inp", "Load", False),
       ("inp_t_adc", "inp", "T_ADC", True), ("inp_ref_ff_torque", "inp", "ref_ff_torque", True),
       ("inp_ref_impedance_spd", "inp", "ref_impedance_spd", True),
       ("inp_ref_impedance_acel", "inp", "ref_impedance_acel", True),
       ("inp_control_type", "inp", "ControlType", False), ("inp_enable", "inp", "Enable", False),
       ("inp_reset_pos", "inp", "ResetPos", False)]
    + [("debug_" + n, "debug", n, False) for n in (
        "T_fb_max", "T_ref_max", "i_max", "pos_fb_max", "pos_fb_min", "pos_ref_max", "pos_ref_min",
        "spd_fb_max", "spd_ref_max", "spd_ref_min")]
)
SERIES = tuple(s for s, *_ in ROW) + ("time",)


def _append_source() -> str:
    # One statement per series, exactly as a hand-written _append would read; generated
    # here only to keep 64 near-identical lines out of the file.
    lines = ["def _append(self, act):",
             "    self.time.append(self.TIME_STEP * len(self.T_fb) + self.time_start)"]
    for series, group, field, optional in ROW:
        if optional:
            lines += ["    try:", f"        v = act.{group}.{field}", "    except AttributeError:",
                      "        v = math.nan", f"    self.{series}.append(v)"]
        else:
            lines.append(f"    self.{series}.append(act.{group}.{field})")
    return "\n".join(lines) + "\n"


class PlainLog:
    __slots__ = SERIES + ("TIME_STEP", "time_start")

    def __init__(self):
        for n in SERIES:
            setattr(self, n, [])
        self.TIME_STEP = 5e-05
        self.time_start = 0.0

    _scope: dict = {"math": math}
    exec(_append_source(), _scope)
    _append = _scope["_append"]


ITEM_PATHS = [
    (I.ENCODER_INT, "meas.pos"), (I.ENCODER_INT_RAW, "meas.turn"), (I.ENCODER_EXT, "meas.pos2"),
    (I.ENCODER_EXT_RAW, "meas.turn2"), (I.SPEED_FB, "info.spd_fb"), (I.IA, "motor.m_ia"),
    (I.IB, "motor.m_ib"), (I.IC, "motor.m_ic"), (I.TORQUE_SENS, "meas.T"), (I.TORQUE_SENS_RAW, "meas.T"),
    (I.POSITION_REF, "info.pos_ref"), (I.POSITION_FB, "info.pos_fb"), (I.POSITION_FB_INTERNAL, "meas.pos"),
    (I.SPEED_REF, "info.spd_ref"), (I.ID_REF, "info.id_ref"), (I.ID_FB, "info.id_fb"),
    (I.IQ_REF, "info.iq_ref"), (I.IQ_FB, "info.iq_fb"), (I.VD_REF, "info.vd_ref"), (I.VQ_REF, "info.vq_ref"),
    (I.TORQUE_REF, "info.T_ref"), (I.TORQUE_FB, "info.T_fb"),
]


class PlainActuator:
    """step() and the feedback snapshot, written plainly."""

    def __init__(self, twin, address=0x20):
        self.actuator = twin
        self._address = address
        self._setpoint = 0.0
        self._load_value = 0.0
        self._simulation_step_count = 0
        self._feedback_items = []
        self._feedback_callback = None
        self._feedback_rate_divider = 20
        self._latest_feedback = {}
        self.feedback = {}
        self._connected = True
        self.telemetry_log = PlainLog()

    def _require_actuator(self):
        if self.actuator is None:
            raise ValueError("Actuator not configured. Call set_actuator(...) first.")
        return self.actuator

    def _ensure_initialized(self):
        twin = self._require_actuator()
        if not self._connected:
            raise RuntimeError("Actuator not connected. Call connect() first.")
        if not getattr(twin, "_initialized", False):
            twin.initialize(7)
            twin.set_enable(False)

    def _read_path(self, path):
        obj = self._require_actuator()
        for part in path.split("."):
            obj = getattr(obj, part)
        return float(obj)

    def _get_item_value(self, item):
        self._require_actuator()
        for member, path in ITEM_PATHS:
            if item == member:
                return self._read_path(path)
        raise KeyError(f"Unsupported feedback item: {item}")

    def _build_feedback_snapshot(self):
        if not self._feedback_items:
            return {}
        return {item: self._get_item_value(item) for item in self._feedback_items}

    def _should_emit_feedback(self):
        if self._feedback_callback is None or not self._feedback_items:
            return False
        return self._feedback_rate_divider > 0 and self._simulation_step_count % self._feedback_rate_divider == 0

    def _emit_callback(self, callback, address, payload):
        if callback is not None:
            callback(address, payload)

    def step(self, load=None, steps=1):
        if load is not None and not isinstance(load, float):
            load = float(load)
        steps = int(steps)
        if steps < 1:
            raise ValueError("steps must be >= 1")
        self._ensure_initialized()
        if load is not None:
            self._load_value = load
        for _ in range(steps):
            self.actuator.step(self._setpoint, self._load_value)
            self.telemetry_log._append(self.actuator)
            self._simulation_step_count += 1
            self._latest_feedback = self._build_feedback_snapshot()
            self.feedback = dict(self._latest_feedback)
            if self._should_emit_feedback():
                self._emit_callback(self._feedback_callback, self._address, dict(self._latest_feedback))
        return dict(self._latest_feedback)


# ---- the cases ----------------------------------------------------------------------------

class DuckTwin:
    """Not the engine's class: the wrapper's structures and operations, forwarded."""

    def __init__(self, w):
        self._w = w
        for name in ("info", "motor", "meas", "inp", "debug", "pid", "imp", "lim"):
            setattr(self, name, getattr(w, name))
        self.step = w.step
        self.initialize = w.initialize
        self.set_enable = w.set_enable
        self.set_address = w.set_address

    @property
    def _initialized(self):
        return self._w._initialized


def with_override(base):
    class Overriding(base):
        def _should_emit_feedback(self):
            return super()._should_emit_feedback()
    return Overriding


def replace_series(a):
    a.telemetry_log.enable = []


CASES = {
    # name: (actuator class factory, twin factory, change after construction)
    "method overridden": (with_override, lambda w: w, None),
    "duck-typed twin": (lambda c: c, DuckTwin, None),
    "series replaced by a list": (lambda c: c, lambda w: w, replace_series),
}


def new_wrapper(paths):
    w = ActuatorWrapper(str(paths.library), str(paths.py_bindings))
    w.initialize(7)
    w.set_enable(True)
    return w


def build_actuator(cls, twin):
    a = cls(twin, 0x20)
    a.connect()
    a.start()
    a.change_position_setpoint(0.5)
    return a


def plain_actuator(cls, twin):
    a = cls(twin)
    a._setpoint = 0.5
    return a


def fresh_log(a, plain):
    a.telemetry_log = PlainLog() if plain else VirtualActuatorLog()


def run_once(a, change, plain, steps):
    fresh_log(a, plain)
    if change:
        change(a)
    t0 = time.perf_counter()
    a.step(steps=steps)
    return (time.perf_counter() - t0) / steps * 1e9


def best_pair(built, plain, change, steps, repeats):
    """Best ns per tick of each, their runs interleaved so both meet the same load."""
    b = p = math.inf
    for _ in range(repeats):
        b = min(b, run_once(built, change, False, steps))
        p = min(p, run_once(plain, change, True, steps))
    return b, p


def configure(a, items):
    callback = (lambda addr, fb: None) if items else None
    if isinstance(a, PlainActuator):
        a._feedback_items, a._feedback_callback = list(items), callback
    else:
        a.set_feedback_items(list(items))
        a.set_feedback_callback(callback)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--steps", type=int, default=20000)
    ap.add_argument("--repeats", type=int, default=7)
    args = ap.parse_args()
    paths = resolve_dtwin_artifacts(MODEL)
    print(f"ns per tick, best of {args.repeats} runs of {args.steps} ticks")
    print(f"{'case':34} {'items':>5} {'build':>9} {'plain':>9} {'ratio':>6}")
    for name, (cls_of, twin_of, change) in CASES.items():
        for items in ([], ITEMS):
            built = build_actuator(cls_of(KavrelActuatorVirtual), twin_of(new_wrapper(paths)))
            plain = plain_actuator(cls_of(PlainActuator), twin_of(new_wrapper(paths)))
            configure(built, items)
            configure(plain, items)
            b, p = best_pair(built, plain, change, args.steps, args.repeats)
            ratio = b / p
            label = f"{name}, {'four items and a callback at 1 kHz' if items else 'no items'}"
            print(f"{name:34} {len(items):5d} {b:9.0f} {p:9.0f} {ratio:6.2f}")
            figure("virtual generic road", label, b, "ns/tick", target=f"<= {TARGET_RATIO} x plain Python",
                   met=ratio <= TARGET_RATIO, beside=f"plain Python {p:.0f} ns/tick (ratio {ratio:.2f})")


if __name__ == "__main__":
    main()
