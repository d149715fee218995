"""A twin whose step calls back into Python.

Foreign code may run Python from inside the twin's DT_step; there, any state the native tick
loop holds could change.  The twins here are compiled with a step hook that the test installs:
the same script runs once on the native road (the engine's own wrapper) and once on the
generic road (a duck-typed proxy of an identical twin), and every observable result must be
the same - telemetry, snapshots, callbacks, counters, errors.  One table row per kind of
change the hook makes; the hook is either a Python function (firing once) or a builtin that
the twin calls on every step with no Python frame at all (changes made from C).
"""

import ctypes
import functools
import itertools
import math
import operator
import sys

import pytest

from vkl_api import kavrel_actuator_virtual as virtual_module
from vkl_api._twin_engine import ActuatorWrapper
from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual, VirtualActuatorLog
from twins_build import build_twin
from virtual_support import SERIES_NAMES, Proxy, ref_paths  # noqa: F401 (fixture)

I = KavrelActuatorVirtual.VKL_Items
HOOK = ctypes.CFUNCTYPE(None)
FIRE_AT = 7  # the Python hook makes its change on this call of the run


@pytest.fixture(scope="module", params=["reference-types", "no-optional-fields"])
def hook_twin(request, tmp_path_factory):
    options = {"optional_fields": False} if request.param == "no-optional-fields" else {}
    return build_twin(tmp_path_factory.mktemp(request.param), model="H", step_hook=True, **options)


def set_hook(wrapper, fn):
    """Make the wrapper's DT_step call fn (None: no hook); returns what must stay alive."""
    setter = wrapper._lib._dll.DT_set_step_hook
    setter.argtypes = [ctypes.c_void_p]
    thunk = HOOK(fn) if fn is not None else None
    setter(ctypes.cast(thunk, ctypes.c_void_p) if thunk is not None else None)
    return thunk


class Run:
    """One actuator on a fresh hook twin, for one road."""

    def __init__(self, paths, road):
        self.paths, self.road = paths, road
        self.wrapper = ActuatorWrapper(str(paths[0]), str(paths[1]))
        # a class of its own, so that a row changing the class changes nothing else
        cls = type("Actuator", (KavrelActuatorVirtual,), {})
        self.a = cls(self.twin_of(self.wrapper), 0x21)
        self.calls = []
        self.hook_calls = 0
        self.other_log = None

    def twin_of(self, wrapper):
        return wrapper if self.road == "native" else Proxy(wrapper)

    def fresh_twin(self):
        self.second = ActuatorWrapper(str(self.paths[0]), str(self.paths[1]))
        return self.twin_of(self.second)

    def record(self, tag):
        return lambda addr, fb: self.calls.append((tag, addr, fb))


# ---- Python hooks: the change made on call FIRE_AT -------------------------------------------

def _keep_log(r):
    r.other_log = r.a.telemetry_log
    r.a.telemetry_log = VirtualActuatorLog()


def _twin_step_wrapped(r):
    original = r.wrapper.step
    r.wrapper.step = lambda ref, load=0.0: original(ref * 0.5, load)


def _class_emits_always(r):
    type(r.a)._should_emit_feedback = lambda self: True


def _raise(r):
    raise RuntimeError("hook failed")


PY_CHANGES = {
    "setpoint-by-attribute": lambda r: setattr(r.a, "_setpoint", 0.75),
    "load-by-attribute": lambda r: setattr(r.a, "_load_value", 0.4),
    "setpoint-by-method": lambda r: r.a.change_position_setpoint(0.6),
    "load-by-method": lambda r: r.a.change_load(0.5),
    "items-replaced": lambda r: r.a.set_feedback_items([I.IA, I.VBUS, I.DEBUG_SIGNAL02]),
    "items-changed-in-place": lambda r: r.a._feedback_items.append(I.IB),
    "rate-changed": lambda r: r.a.set_feedback_rate(r.a.Rates.RATE_1KHZ),
    "callback-replaced": lambda r: r.a.set_feedback_callback(r.record("second")),
    "callback-removed": lambda r: r.a.set_feedback_callback(None),
    "count-changed": lambda r: setattr(r.a, "_simulation_step_count", 1003),
    "series-appended": lambda r: r.a.telemetry_log.enable.append(9.0),
    "series-grown": lambda r: [r.a.telemetry_log.m_vq.append(0.5) for _ in range(5000)],
    "series-cleared": lambda r: r.a.telemetry_log.T_fb.clear(),
    "series-replaced": lambda r: setattr(r.a.telemetry_log, "m_ia", [1.5]),
    "time-step-changed": lambda r: setattr(r.a.telemetry_log, "TIME_STEP", 1e-4),
    "log-replaced": _keep_log,
    "method-on-instance": lambda r: setattr(r.a, "_get_item_value", lambda item: 42.0),
    "method-on-class": _class_emits_always,
    "twin-step-on-instance": _twin_step_wrapped,
    "twin-rebound": lambda r: setattr(r.a, "actuator", r.fresh_twin()),
    "twin-disconnected": lambda r: r.a.disconnect(),
    "step-from-the-hook": lambda r: r.a.step(steps=2),
    "exception": _raise,
}


def python_hook(r, change):
    def hook():
        r.hook_calls += 1
        if r.hook_calls == FIRE_AT:
            change(r)
    return hook


# ---- builtin hooks: no Python frame, called on every step ------------------------------------

def _every_fifth_step(fn):
    """Foreign code that calls into Python only now and then, while a native run goes on:
    what that Python code sees and changes must be as on the generic road."""
    def make(r):
        def python():
            r.calls.append(("seen", r.a._simulation_step_count, _norm(r.a.feedback), len(r.a.telemetry_log.time)))
            fn(r)
        return functools.partial(next, map(operator.call, itertools.cycle([int, int, int, int, python])))
    return make


def _nudge(r):
    r.a._setpoint += 0.01
    r.a.telemetry_log.TIME_STEP *= 2.0


def _count_and_nested_step(r):
    r.a._simulation_step_count += 1000
    if len(r.calls) < 40:
        r.a.step(steps=2)


def _builtin_every_fifth_step(make_builtin):
    def make(r):
        return functools.partial(next, map(operator.call, itertools.cycle([int, int, int, int, make_builtin(r)])))
    return make


def _long_items_member_swapped(r):
    """A list of many items whose member is swapped in place from C, its length kept."""
    r.a.set_feedback_items([I.POSITION_FB, I.SPEED_FB, I.TORQUE_FB] * 6 + [I.IA, I.VBUS])
    items = r.a._feedback_items
    swaps = [functools.partial(items.__setitem__, 17, I.IB), functools.partial(items.__setitem__, 17, I.IA)]
    return functools.partial(next, map(operator.call, itertools.cycle(swaps)))


class _HalvedStepWrapper(ActuatorWrapper):
    def step(self, ref, load=0.0):
        return ActuatorWrapper.step(self, ref * 0.5, load)


def _actuator_class_swapped(r):
    sub = type("Sub", (type(r.a),), {"_get_item_value": lambda self, item: 42.0})
    return functools.partial(setattr, r.a, "__class__", sub)


def _log_class_swapped(r):
    def twice(log, twin):
        VirtualActuatorLog._append(log, twin)
        VirtualActuatorLog._append(log, twin)
    sub = type("Log", (VirtualActuatorLog,), {"__slots__": (), "_append": twice})
    return functools.partial(setattr, r.a.telemetry_log, "__class__", sub)


def _builtin_in_a_short_run(make_builtin):
    """The change made once, from C, on the second tick of the first short run (call 42:
    the long runs of 25 and 15 ticks come first)."""
    def make(r):
        calls = itertools.chain([int] * 41, [make_builtin(r)], itertools.repeat(int))
        return functools.partial(next, map(operator.call, calls))
    return make


def _builtin_once_at(call, make_builtin):
    """The change made once, from C, on the given call of the hook (call 10: inside the
    first hooked long run)."""
    def make(r):
        calls = itertools.chain([int] * (call - 1), [make_builtin(r)], itertools.repeat(int))
        return functools.partial(next, map(operator.call, calls))
    return make


C_HOOKS = {
    "c-count-changed-every-fifth-step": _builtin_every_fifth_step(
        lambda r: functools.partial(setattr, r.a, "_simulation_step_count", 1003)),
    "python-every-fifth-step": _every_fifth_step(_nudge),
    "python-every-fifth-step-nested": _every_fifth_step(_count_and_nested_step),
    "c-setpoint-by-attribute": lambda r: functools.partial(setattr, r.a, "_setpoint", 0.75),
    "c-load-in-dict": lambda r: functools.partial(r.a.__dict__.__setitem__, "_load_value", 0.4),
    "c-count-changed": lambda r: functools.partial(setattr, r.a, "_simulation_step_count", 1003),
    "c-items-changed-in-place": lambda r: functools.partial(r.a._feedback_items.append, I.IB),
    "c-long-items-member-replaced": _long_items_member_swapped,
    "c-callback-removed": lambda r: functools.partial(setattr, r.a, "_feedback_callback", None),
    "c-series-appended": lambda r: functools.partial(r.a.telemetry_log.enable.append, 9.0),
    "c-series-replaced": lambda r: functools.partial(setattr, r.a.telemetry_log, "m_ia", []),
    "c-time-step-changed": lambda r: functools.partial(setattr, r.a.telemetry_log, "TIME_STEP", 1e-4),
    "c-twin-class-swapped": lambda r: functools.partial(setattr, r.wrapper, "__class__", _HalvedStepWrapper),
    "c-actuator-class-swapped": _actuator_class_swapped,
    "c-log-class-swapped": _log_class_swapped,
    "c-twin-class-swapped-in-a-short-run": _builtin_in_a_short_run(
        lambda r: functools.partial(setattr, r.wrapper, "__class__", _HalvedStepWrapper)),
    "c-actuator-class-swapped-in-a-short-run": _builtin_in_a_short_run(_actuator_class_swapped),
    "c-log-class-swapped-in-a-short-run": _builtin_in_a_short_run(_log_class_swapped),
    # The actuator stepped again from inside its twin's step, with no Python frame between.
    "c-nested-step-in-a-long-run": _builtin_once_at(10, lambda r: functools.partial(r.a.step, steps=6)),
    "c-nested-step-in-a-short-run": _builtin_in_a_short_run(lambda r: functools.partial(r.a.step, steps=6)),
    "c-twin-step-on-instance": lambda r: functools.partial(setattr, r.wrapper, "step",
                                                           functools.partial(ActuatorWrapper.step, r.wrapper)),
}


def _norm(v):
    if isinstance(v, float) and math.isnan(v):
        return (type(v).__name__, "nan")
    if isinstance(v, dict):
        return [(str(k), _norm(x)) for k, x in v.items()]
    if isinstance(v, (list, tuple)):
        return [_norm(x) for x in v]
    return (type(v).__name__, repr(v))


def log_of(log):
    return None if log is None else {n: _norm(list(getattr(log, n))) for n in SERIES_NAMES}


# The scripts: a warm native stretch, then calls with the hook installed, then without.  The
# lockstep script has a feedback callback due every few ticks (long runs and lockstep-like short
# ones); the long one has none, so the native road holds rows back and stores them a batch at a
# time.
SCRIPTS = {
    "lockstep": {"items": [I.POSITION_FB, I.SPEED_FB, I.TORQUE_FB, I.POSITION_FB], "callback": True,
                 "warm": 20, "hooked": (25, 15, 3, 1, 2, 4, 1, 3), "after": 5},
    "long": {"items": [I.POSITION_FB, I.SPEED_FB], "callback": False,
             "warm": 150, "hooked": (300, 200), "after": 130},
}


def drive(paths, road, make_hook, monkeypatch, script="lockstep"):
    sc = SCRIPTS[script]
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook",
                        lambda u: unraisable.append((type(u.exc_value).__name__, str(u.exc_value))))
    r = Run(paths, road)
    a = r.a
    a.connect()
    a.set_feedback_items(sc["items"])
    if sc["callback"]:
        a.set_feedback_rate(a.Rates.RATE_2KHZ)
        a.set_feedback_callback(r.record("first"))
    a.start()
    a.change_position_setpoint(0.3)
    log = a.telemetry_log
    results = [a.step(load=0.1, steps=sc["warm"])]

    def step(steps):
        try:
            results.append(a.step(steps=steps))
        except Exception as exc:  # both roads must fail alike
            results.append((type(exc).__name__, str(exc)))

    keep = set_hook(r.wrapper, make_hook(r))
    for steps in sc["hooked"]:
        step(steps)
    set_hook(r.wrapper, None)
    del keep
    step(sc["after"])
    return {
        "results": _norm(results), "calls": _norm(r.calls), "count": a._simulation_step_count,
        "feedback": _norm(a.feedback), "latest": _norm(a._latest_feedback), "items": _norm(a._feedback_items),
        "log": log_of(log), "log_now": log_of(a.telemetry_log), "other_log": log_of(r.other_log),
        "unraisable": unraisable, "hook_calls": r.hook_calls,
    }


def assert_same(native, generic):
    for key in native:
        assert native[key] == generic[key], f"{key} differs between the roads"


@pytest.mark.parametrize("change", list(PY_CHANGES))
def test_python_hook_changes_are_seen_alike(hook_twin, change, monkeypatch):
    make = lambda r: python_hook(r, PY_CHANGES[change])
    native = drive(hook_twin, "native", make, monkeypatch)
    generic = drive(hook_twin, "generic", make, monkeypatch)
    assert_same(native, generic)
    assert native["hook_calls"] >= FIRE_AT  # the change did happen
    if change == "exception":
        assert native["unraisable"] == [("RuntimeError", "hook failed")]


@pytest.mark.parametrize("hook", list(C_HOOKS))
def test_changes_made_from_c_are_seen_alike(hook_twin, hook, monkeypatch):
    native = drive(hook_twin, "native", C_HOOKS[hook], monkeypatch)
    generic = drive(hook_twin, "generic", C_HOOKS[hook], monkeypatch)
    assert_same(native, generic)


LONG_RUN_HOOKS = {**{f"python-{k}": (lambda change: lambda r: python_hook(r, change))(v)
                     for k, v in PY_CHANGES.items()}, **C_HOOKS}


@pytest.mark.parametrize("hook", list(LONG_RUN_HOOKS))
def test_changes_during_long_runs_are_seen_alike(hook_twin, hook, monkeypatch):
    """Rows held back by a long native run are in the log, in their place, before anything
    else reads or changes it: from Python code the twin runs, or from C."""
    before = virtual_module._native_tick_count()
    native = drive(hook_twin, "native", LONG_RUN_HOOKS[hook], monkeypatch, "long")
    assert virtual_module._native_tick_count() - before >= 150
    generic = drive(hook_twin, "generic", LONG_RUN_HOOKS[hook], monkeypatch, "long")
    assert_same(native, generic)


def test_a_setpoint_set_inside_the_step_applies_from_the_next_tick(hook_twin, monkeypatch):
    """The row where the change shows: ticks after the hook's call use the new setpoint."""
    out = drive(hook_twin, "native", lambda r: python_hook(r, PY_CHANGES["setpoint-by-attribute"]), monkeypatch)
    refs = [v for _, v in out["log"]["inp_ref"]]
    first_after = 20 + FIRE_AT  # the hook's call FIRE_AT is tick 20 + FIRE_AT (counting from 1)
    assert set(refs[20:first_after]) == {"0.3"}
    assert set(refs[first_after:]) == {"0.75"}


# ---- the generic road's own row read ---------------------------------------------------------
# A subclass overriding a stepping method, or a series replaced by a list, keeps the engine's
# wrapper: its rows are read through the twin's field view.  They must be what attribute reads
# of the same twin give (a proxy twin), value and Python type, whatever the fields' C types.

ROW_VARIANTS = {
    "reference-types": {},
    "no-optional-fields": {"optional_fields": False},
    "same-size-other-types": {"field_types": {
        "Inports_type.Enable": "ctypes.c_uint8", "Debug_type.i_max": "ctypes.c_int8",
        "Meas_type.turn": "ctypes.c_float", "Meas_type.turn2": "ctypes.c_uint32",
        "Inports_type.ControlType": "ctypes.c_uint32", "Info_type.T_fb": "ctypes.c_int64",
        "Motor_type.m_ia": "ctypes.c_uint64",
    }},
}


class Overriding(KavrelActuatorVirtual):
    def _should_emit_feedback(self):
        return super()._should_emit_feedback()


def _list_series(a):
    a.telemetry_log.enable = []
    a.telemetry_log.meas_turn = [7]
    a.telemetry_log.debug_i_max = []


@pytest.mark.parametrize("variant", list(ROW_VARIANTS))
@pytest.mark.parametrize("road", ["method-overridden", "series-replaced-by-lists"])
def test_generic_rows_read_as_attributes_do(tmp_path, variant, road):
    paths = build_twin(tmp_path, model="R", **ROW_VARIANTS[variant])

    def run(proxy):
        w = ActuatorWrapper(str(paths[0]), str(paths[1]))
        a = (Overriding if road == "method-overridden" else KavrelActuatorVirtual)(Proxy(w) if proxy else w)
        if road == "series-replaced-by-lists":
            _list_series(a)
        calls = []
        a.connect()
        a.set_feedback_items([I.POSITION_FB, I.TORQUE_FB, I.ERRORS_OVERRUN, I.IA])
        a.set_feedback_callback(lambda addr, fb: calls.append(fb))
        a.start()
        a.change_speed_setpoint(5.0)
        results = [a.step(load=0.1, steps=n) for n in (1, 37, 100)]
        a.telemetry_log.TIME_STEP = 1e-4
        results.append(a.step(steps=3))
        return {"results": _norm(results), "calls": _norm(calls), "log": log_of(a.telemetry_log)}

    native, generic = run(False), run(True)
    assert_same(native, generic)
    assert len(native["log"]["time"]) == 141


class PlainStructTwin:
    """A duck-typed twin over an engine wrapper's ctypes structures (a plain class:
    attributes read the ordinary way)."""

    def __init__(self, w):
        self._w = w
        for name in ("info", "motor", "meas", "inp", "debug", "pid", "imp", "lim"):
            setattr(self, name, getattr(w, name))
        self._initialized = False

    def initialize(self, mode=7):
        self._w.initialize(mode)
        self._initialized = True

    def set_enable(self, enable):
        self._w.set_enable(enable)

    def set_address(self, address):
        self._w.set_address(address)

    def step(self, ref, load=0.0):
        self._w.step(ref, load)


class StructTwin(PlainStructTwin):
    def __getattr__(self, name):  # the engine's other operations
        return getattr(object.__getattribute__(self, "_w"), name)


@pytest.mark.parametrize("duck", [PlainStructTwin, StructTwin], ids=["plain-class", "forwarding-class"])
def test_duck_twin_structures_read_as_the_engine_wrapper_reads_them(ref_paths, duck):
    paths = (ref_paths.library, ref_paths.py_bindings)

    def run(make):
        w = ActuatorWrapper(str(paths[0]), str(paths[1]))
        a = KavrelActuatorVirtual(make(w))
        a.connect()
        a.set_feedback_items([I.POSITION_FB, I.IA])
        a.start()
        a._setpoint = 0.8
        return [_norm(a.step(load=0.2, steps=n)) for n in (1, 30, 30)], log_of(a.telemetry_log)

    assert run(lambda w: w) == run(duck)


def test_owned_structure_moved_by_resize_is_read_where_it_now_is(ref_paths):
    """A structure that owns its memory may be moved (ctypes.resize): never read at a
    remembered address."""
    w = ActuatorWrapper(str(ref_paths.library), str(ref_paths.py_bindings))
    twin = StructTwin(w)
    own = type(w.info)()  # owns its buffer
    twin.info = own
    ticks = []

    def step(ref, load=0.0):
        w.step(ref, load)
        own.T_fb = float(len(ticks))
        ticks.append(own.T_fb)

    twin.step = step
    a = KavrelActuatorVirtual(twin)
    a.connect()
    a.start()
    a.step(steps=5)
    ctypes.resize(own, ctypes.sizeof(own) + 1 << 16)  # moves the buffer
    a.step(steps=5)
    assert list(a.telemetry_log.T_fb) == ticks == [float(i) for i in range(10)]


def test_structure_swapped_by_an_append_is_read_afresh(ref_paths):
    """Each series reads its structure from the twin anew: code run by one series' append
    that replaces the structure shows in the series after it."""
    w = ActuatorWrapper(str(ref_paths.library), str(ref_paths.py_bindings))
    twin = PlainStructTwin(w)
    other = type(w.info)()
    names = [n for n, _ in type(w.info)._fields_]
    for k, n in enumerate(names):
        setattr(other, n, 1000.0 + k)

    class Swapping(list):
        def append(self, value):
            super().append(value)
            twin.info = other

    a = KavrelActuatorVirtual(twin)
    a.connect()
    a.start()
    a.step(steps=2)
    a.telemetry_log.enable = Swapping()
    a.step()
    log = a.telemetry_log
    assert log.enable[-1] != 1000.0  # read before the swap
    assert [getattr(log, n)[-1] for n in names[1:]] == [1000.0 + k for k in range(1, len(names))]


def test_each_series_reads_its_structure_once(ref_paths):
    """Structures behind a property are read once per series, no more (nothing is read
    ahead to decide how to read)."""
    w = ActuatorWrapper(str(ref_paths.library), str(ref_paths.py_bindings))
    reads = []

    class Counting(PlainStructTwin):
        @property
        def info(self):
            reads.append("info")
            return w.info

        @info.setter
        def info(self, value):
            pass

    a = KavrelActuatorVirtual(Counting(w))
    a.connect()
    a.start()
    reads.clear()
    a.step(steps=3)
    assert len(reads) == 3 * 14
    assert list(a.telemetry_log.T_fb)[-1] == w.info.T_fb


@pytest.mark.parametrize("twin_of", [lambda w: w, PlainStructTwin], ids=["engine-wrapper", "duck-typed"])
@pytest.mark.parametrize("field", ["TIME_STEP", "time_start", "T_fb", "m_ia"])
def test_emptied_log_field_raises_on_the_generic_road(ref_paths, twin_of, field):
    """A log field deleted by the caller makes the row's read of it raise AttributeError."""
    w = ActuatorWrapper(str(ref_paths.library), str(ref_paths.py_bindings))
    a = Overriding(twin_of(w))
    a.connect()
    a.start()
    a.step()
    delattr(a.telemetry_log, field)
    with pytest.raises(AttributeError, match=field):
        a.step()
