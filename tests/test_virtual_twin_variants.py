"""Native and generic stepping give the same results, on every kind of compiled twin.

A plain ``ActuatorWrapper`` of a compiled twin steps on the native road; the same script
run on a twin that the native road must not take (a duck-typed proxy, a replaced
``DT_step``, an overridden ``step``, replaced structures or log series, a subclassed
actuator) must produce identical telemetry, snapshots, callbacks and counters.  Every
twin here is a separate loaded copy, so equal scripts give equal states.  The table of
compiled variants covers the C types a generated twin may give its fields; the module's
native-tick count shows which road a run took.
"""

import math

import pytest

from vkl_api import _twin_engine
from vkl_api import kavrel_actuator_virtual as virtual_module
from vkl_api._twin_engine import ActuatorWrapper
from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual, VirtualActuatorLog
from twins_build import SCALAR_VARIANTS, build_twin
from virtual_support import LOG_SERIES, Proxy, Struct, logs_identical, ref_paths, running, same_values

MODEL = "VKL_REF_TWIN"
LOG_PATHS = {n: p.split(".") for n, p in LOG_SERIES if p}

I = KavrelActuatorVirtual.VKL_Items
ITEMS = I
P = KavrelActuatorVirtual.VKL_Parameters


class CountingWrapper(ActuatorWrapper):
    def step(self, ref_value, load=0.0):
        self.__dict__["n"] = self.__dict__.get("n", 0) + 1
        super().step(ref_value, load)


def new_wrapper(paths, cls=ActuatorWrapper):
    lib, bind = paths
    return cls(str(lib), str(bind))


def script(a, *, reconnect=True):
    """Drive an actuator through modes, loads, home, parameters and a reconnect.  Returns
    what it observed: step results, callback arguments and final counters."""
    results, calls = [], []
    a.connect()
    a.set_feedback_items(list(I))
    a.set_feedback_rate(a.Rates.RATE_2KHZ)
    a.set_feedback_callback(lambda addr, fb: calls.append((addr, fb)))
    a.start()
    a.change_position_setpoint(0.5)
    results.append(a.step(load=0.1, steps=150))
    a.change_speed_setpoint(10.0, spd_Kp=0.2)
    results.append(a.step(steps=77))
    a.change_torque_setpoint(0.3)
    results.append(a.step(load=0.25, steps=33))
    a.set_home_position()
    results.append(a.step(steps=5))
    a.change_impedance_setpoint(0.2, K_stiff=2.0, ref_ff_torque=0.05, ref_impedance_spd=0.5, ref_impedance_acel=1.0)
    results.append(a.step(steps=40))
    a.set_parameters({P.LIM_TORQUE: 1.0})
    a.set_feedback_items([I.POSITION_FB, I.SPEED_FB, I.POSITION_FB])
    results.append(a.step(steps=21))
    a.stop()
    results.append(a.step(steps=10))
    if reconnect:
        a.disconnect()
        a.connect()
        a.change_mode(a.Mode.SPEED)
        results.append(a.step(steps=12))
    return {"results": results, "calls": calls, "count": a._simulation_step_count,
            "feedback": a.feedback, "latest": a._latest_feedback, "time": a.get_sim_time(6)}


def assert_same_run(x, y, log_x, log_y):
    assert logs_identical(log_x, log_y) is None, f"series {logs_identical(log_x, log_y)} differs"
    assert len(x["results"]) == len(y["results"])
    for rx, ry in zip(x["results"], y["results"]):
        assert same_values(rx, ry)
    assert [c[0] for c in x["calls"]] == [c[0] for c in y["calls"]]
    assert len(x["calls"]) == len(y["calls"])
    for (_, fx), (_, fy) in zip(x["calls"], y["calls"]):
        assert same_values(fx, fy)
    assert x["count"] == y["count"] and x["time"] == y["time"]
    assert same_values(x["feedback"], y["feedback"]) and same_values(x["latest"], y["latest"])


@pytest.fixture
def paths(ref_paths):
    return ref_paths.library, ref_paths.py_bindings


def native_run(paths, **kw):
    a = KavrelActuatorVirtual(new_wrapper(paths), 0x12)
    return script(a, **kw), a


def replace_dt_step(w):
    original = w._lib.DT_step
    w._lib.DT_step = lambda model: original(model)


def override_step_instance(w):
    original = w.step
    w.step = lambda ref, load=0.0: original(ref, load)


def replace_debug_struct(w):
    # a Python object standing in for one structure: read by name like the real one
    class Debug:
        def __getattr__(self, name):
            return getattr(w.__dict__["_real_debug"], name)

    w.__dict__["_real_debug"] = w.debug
    w.debug = Debug()


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda paths: Proxy(new_wrapper(paths)), id="proxy"),
        pytest.param(lambda paths: (lambda w: (replace_dt_step(w), w)[1])(new_wrapper(paths)), id="python-DT_step"),
        pytest.param(lambda paths: new_wrapper(paths, CountingWrapper), id="subclass-step"),
        pytest.param(lambda paths: (lambda w: (override_step_instance(w), w)[1])(new_wrapper(paths)),
                     id="instance-step"),
        pytest.param(lambda paths: (lambda w: (replace_debug_struct(w), w)[1])(new_wrapper(paths)),
                     id="python-debug-struct"),
    ],
)
def test_generic_twins_match_the_native_run(paths, make):
    native, a = native_run(paths)
    twin = make(paths)
    b = KavrelActuatorVirtual(twin, 0x12)
    generic = script(b)
    assert_same_run(native, generic, a.telemetry_log, b.telemetry_log)
    assert native["count"] == 348 and len(a.telemetry_log.time) == 348
    if isinstance(twin, CountingWrapper):
        assert twin.n == 348


def test_subclassed_actuator_matches_and_its_overrides_run(paths):
    native, a = native_run(paths)
    built = []

    class Spy(KavrelActuatorVirtual):
        def _build_feedback_snapshot(self):
            snap = super()._build_feedback_snapshot()
            built.append(len(snap))
            return snap

    b = Spy(new_wrapper(paths), 0x12)
    generic = script(b)
    assert_same_run(native, generic, a.telemetry_log, b.telemetry_log)
    assert len(built) == 348


def test_instance_override_of_a_stepping_method_is_used(paths):
    native, a = native_run(paths)
    b = KavrelActuatorVirtual(new_wrapper(paths), 0x12)
    emitted = []
    original = b._should_emit_feedback

    def should():
        r = original()
        emitted.append(r)
        return r

    b._should_emit_feedback = should
    generic = script(b)
    assert_same_run(native, generic, a.telemetry_log, b.telemetry_log)
    assert len(emitted) == 348 and sum(emitted) == len(native["calls"])


def _fresh_dict_with(a, name, fn):
    a.__dict__ = {**vars(a), name: fn}


SHADOWINGS = {
    "setattr": lambda a, name, fn: setattr(a, name, fn),
    "name-built-at-run-time": lambda a, name, fn: setattr(a, "".join(list(name)), fn),
    "dict-item": lambda a, name, fn: vars(a).__setitem__(name, fn),
    "dict-update": lambda a, name, fn: vars(a).update({name: fn}),
    "dict-setdefault": lambda a, name, fn: vars(a).setdefault(name, fn),
    "dict-replaced": _fresh_dict_with,
}


@pytest.mark.parametrize("method", ["_get_item_value", "_ensure_initialized"])
@pytest.mark.parametrize("how", list(SHADOWINGS))
def test_method_shadowed_between_one_tick_calls_is_used(paths, how, method):
    """A stepping method put on the instance after native one-tick calls takes over on the
    very next call, however it got into the instance's dictionary."""
    a = KavrelActuatorVirtual(new_wrapper(paths), 0x12)
    a.connect()
    a.start()
    a.set_feedback_items([I.POSITION_FB, I.TORQUE_FB])
    before = native_ticks()
    for _ in range(3):
        assert 42.0 not in a.step(load=0.1, steps=1).values()
    assert native_ticks() - before == 3
    calls = []
    if method == "_get_item_value":
        SHADOWINGS[how](a, method, lambda item: 42.0)
    else:
        SHADOWINGS[how](a, method, lambda: calls.append(1))
    snapshot = a.step(load=0.2, steps=1)
    assert a._load_value == 0.2
    if method == "_get_item_value":
        assert snapshot == {I.POSITION_FB: 42.0, I.TORQUE_FB: 42.0}
    else:
        assert calls == [1]


def test_plain_list_series_is_appended_to(paths):
    native, a = native_run(paths, reconnect=False)
    b = KavrelActuatorVirtual(new_wrapper(paths), 0x12)
    mine = []
    b.telemetry_log.T_fb = mine
    generic = script(b, reconnect=False)
    assert b.telemetry_log.T_fb is mine
    assert_same_run(native, generic, a.telemetry_log, b.telemetry_log)


def test_replaced_log_object_is_used(paths):
    native, a = native_run(paths)

    class MyLog(VirtualActuatorLog):
        __slots__ = ()
        rows = 0

        def _append(self, act):
            MyLog.rows += 1
            super()._append(act)

    b = KavrelActuatorVirtual(new_wrapper(paths), 0x12)
    b.telemetry_log = MyLog()
    generic = script(b)
    assert_same_run(native, generic, a.telemetry_log, b.telemetry_log)
    assert MyLog.rows == 348


def test_non_float_setpoint_and_load_attributes(paths):
    b = KavrelActuatorVirtual(new_wrapper(paths), 0x12)
    b.connect()
    b.start()
    # the same script, but the stored setpoint and load are ints of equal value
    a2 = KavrelActuatorVirtual(new_wrapper(paths), 0x12)
    a2.connect()
    a2.start()
    a2.change_speed_setpoint(3.0)
    a2.step(load=1.0, steps=50)
    b.change_speed_setpoint(3.0)
    b._setpoint, b._load_value = 3, 1
    b.step(steps=50)
    assert logs_identical(a2.telemetry_log, b.telemetry_log) is None


def test_callback_that_replaces_the_twin_mid_call(paths):
    """A callback may rebind the twin: the remaining ticks of the same call use the new one."""
    seen = []

    def run(make_second):
        a = KavrelActuatorVirtual(new_wrapper(paths))
        a.connect()
        a.set_feedback_items([I.POSITION_FB])
        a.set_feedback_rate(a.Rates.RATE_2KHZ)
        second = make_second()

        def cb(addr, fb):
            if a.actuator is not second:
                a.actuator = second
                a.start()

        a.set_feedback_callback(cb)
        a.step(steps=30)
        seen.append(a._simulation_step_count)
        return a

    x = run(lambda: new_wrapper(paths))
    y = run(lambda: Proxy(new_wrapper(paths)))
    assert seen == [30, 30]
    assert logs_identical(x.telemetry_log, y.telemetry_log) is None
    assert list(x.telemetry_log.inp_enable)[:10] == [False] * 10 and list(x.telemetry_log.inp_enable)[10:] == [True] * 20


# ---- compiled variants -------------------------------------------------------------------------

def native_ticks():
    return virtual_module._native_tick_count()


def bound(paths, generic=False):
    a = KavrelActuatorVirtual()
    a.set_actuator_from_paths(*paths)
    if generic:
        a.actuator = Proxy(a.actuator)
    return a


def lockstep(a, calls=60):
    """One to three ticks per call, a new load on each, as a controller stepping in lockstep
    with its plant; the script's callback stays set."""
    return [a.step(load=0.01 * k, steps=1 + k % 3) for k in range(calls)]


def counted_script(a):
    before = native_ticks()
    out = script(a)
    out["lockstep"] = lockstep(a)
    out["count"] = a._simulation_step_count
    out["latest"] = a._latest_feedback
    return out, native_ticks() - before


@pytest.fixture(params=list(SCALAR_VARIANTS))
def variant(request, tmp_path):
    return request.param, build_twin(tmp_path / request.param, model="V", **SCALAR_VARIANTS[request.param])


def test_variants_run_natively_and_match_the_generic_road(variant):
    name, paths = variant
    a, b = bound(paths), bound(paths, generic=True)
    assert _twin_engine.TwinView.step_ready(a.actuator)
    x, native = counted_script(a)
    y, generic = counted_script(b)
    assert_same_run(x, y, a.telemetry_log, b.telemetry_log)
    assert all(same_values(p, q) for p, q in zip(x["lockstep"], y["lockstep"]))
    # every tick of the plain wrapper ran natively, none of the proxy's
    assert native == x["count"] == 348 + 120 and generic == 0
    # each series holds its field's values with the type ctypes gives them
    w = a.actuator
    for series, path in LOG_SERIES:
        values = getattr(a.telemetry_log, series)
        if path is None:
            assert {type(v) for v in values} == {float}
            continue
        group, field = path.split(".")
        want = getattr(getattr(w, group), field, math.nan)
        assert {type(v) for v in values} == {type(want)}, series
        assert same_values([values[-1]], [want]), series


def test_views_keep_their_rows_while_a_long_run_takes_the_room_for_its_own(paths):
    """A long run takes its columns' storage for all of its rows at once (past the heap
    sizes, into mappings here); buffer views taken before it keep the rows they saw, and
    the log ends as the generic road's does."""
    a, b = bound(paths), bound(paths, generic=True)
    for x in (a, b):
        x.connect()
        x.start()
        x.step(steps=10)
    names = ("T_fb", "meas_turn", "inp_enable")  # a float, an integer and a boolean column
    views = {n: memoryview(getattr(a.telemetry_log, n)) for n in names}
    seen = {n: v.tolist() for n, v in views.items()}
    before = native_ticks()
    for x in (a, b):
        x.step(steps=33_000)
    assert native_ticks() - before == 33_000
    # Fresh columns are made meanwhile (storage freed under a view would be reused).
    c = bound(paths)
    c.connect()
    for k in range(20):
        c.telemetry_log = VirtualActuatorLog()
        c.step(steps=50)
    for n, v in views.items():
        assert v.tolist() == seen[n] and getattr(a.telemetry_log, n)[:10] == seen[n]
        v.release()
    assert len(a.telemetry_log.T_fb) == 33_010
    assert logs_identical(a.telemetry_log, b.telemetry_log) is None


def test_variant_with_fields_outside_the_view_takes_the_generic_road(tmp_path):
    """Fields the native road cannot read (byte-swapped, a real declared as an integer of
    the same size) keep the run on the generic road, with the same results."""
    paths = build_twin(tmp_path, model="O", field_types={
        "Info_type.T_fb": "ctypes.c_int64", "Info_type.enable": "ctypes.c_double.__ctype_be__",
        "Meas_type.turn": "ctypes.c_float", "Debug_type.i_max": "ctypes.c_uint8",
        "Motor_type.m_ia": "ctypes.c_uint64",
    })
    a, b = bound(paths), bound(paths, generic=True)
    before = native_ticks()
    for x in (a, b):
        x.connect()
        x.set_feedback_items([I.POSITION_FB, I.TORQUE_FB, I.ERRORS_OVERRUN, I.ENCODER_INT_RAW, I.IA])
        x.start()
        x.change_speed_setpoint(5.0)
    ra = [a.step(load=0.1, steps=n) for n in (1, 37, 100)]
    rb = [b.step(load=0.1, steps=n) for n in (1, 37, 100)]
    assert native_ticks() == before
    assert all(same_values(x, y) for x, y in zip(ra, rb))
    assert logs_identical(a.telemetry_log, b.telemetry_log) is None
    w = a.actuator
    for series, path in LOG_SERIES:
        if path is None:
            continue
        group, field = path.split(".")
        want = getattr(getattr(w, group), field, math.nan)
        got = getattr(a.telemetry_log, series)[-1]
        assert type(got) is type(want), series
        assert same_values([got], [want]), series


def test_unsigned_64_bit_values_beyond_int64_are_kept_exactly(tmp_path):
    """A uint64 turn counter below zero wraps to values above 2**63: the series then holds
    Python ints as a list would, on both roads."""
    paths = build_twin(tmp_path, model="U", c_types={"turn": "c_uint64"})
    a, b = bound(paths), bound(paths, generic=True)
    for x in (a, b):
        x.connect()
        x.start()
        x.change_position_setpoint(2.0)
        x.step(steps=300)
        x.change_position_setpoint(-3.0)
        x.step(steps=2000)
    turns = a.telemetry_log.meas_turn
    assert turns[0] == 0 and max(turns) >= 2**63 and all(type(v) is int for v in turns)
    assert logs_identical(a.telemetry_log, b.telemetry_log) is None
    assert turns[-1] == a.actuator.meas.turn


@pytest.mark.parametrize("role, ctype, series", [
    ("flag", "c_double", "debug_i_max"),
    ("enable", "c_uint8", "inp_enable"),
    ("turn", "c_double", "meas_turn"),
    ("control", "c_float", "inp_control_type"),
])
def test_series_keep_the_kind_the_twin_gives_across_logs(tmp_path, role, ctype, series):
    """A fresh log, an emptied series and one appended to by hand all take the kind of
    their first value; only a series given two kinds becomes a list of objects."""
    a = bound(build_twin(tmp_path, model="K", c_types={role: ctype}))
    a.connect()
    a.start()
    kind = type(getattr(getattr(a.actuator, LOG_PATHS[series][0]), LOG_PATHS[series][1]))
    before = native_ticks()
    a.step(steps=5)
    log = a.telemetry_log
    assert [type(v) for v in getattr(log, series)] == [kind] * 5
    assert memoryview(getattr(log, series)).format == {float: "d", int: "q", bool: "?"}[kind]
    getattr(log, series).clear()
    a.telemetry_log = VirtualActuatorLog()
    a.step(steps=3)
    assert native_ticks() - before == 8
    assert [type(v) for v in getattr(a.telemetry_log, series)] == [kind] * 3
    other = True if kind is not bool else 1
    getattr(a.telemetry_log, series).append(other)
    a.step(steps=2)
    values = list(getattr(a.telemetry_log, series))
    assert [type(v) for v in values] == [kind] * 3 + [type(other)] + [kind] * 2
    with pytest.raises(BufferError):
        memoryview(getattr(a.telemetry_log, series))


def test_variant_without_optional_fields_logs_nan(tmp_path):
    a = KavrelActuatorVirtual()
    a.set_actuator_from_paths(*build_twin(tmp_path, model="N", optional_fields=False))
    a.connect()
    a.step(steps=3)
    for name in ("inp_t_adc", "inp_ref_ff_torque", "inp_ref_impedance_spd", "inp_ref_impedance_acel"):
        assert len(getattr(a.telemetry_log, name)) == 3 and all(math.isnan(v) for v in getattr(a.telemetry_log, name))
    d = a.get_all_parameters()
    assert math.isnan(d["pid"]["pos_ki"]) and math.isnan(d["impedance"]["j_imp"])


def test_variant_with_a_stated_time_step(tmp_path):
    a = KavrelActuatorVirtual()
    w = a.set_actuator_from_paths(*build_twin(tmp_path, model="S", time_step_s=1e-3, export_time_step=True))
    assert a.get_sim_time_step_s() == 1e-3 == a.telemetry_log.TIME_STEP and a.get_sim_rate_hz() == 1000.0
    a.set_feedback_rate(a.Rates.RATE_100HZ)
    assert a._feedback_rate_divider == 10
    with pytest.raises(ValueError, match=r"^Rate cannot exceed DTwin simulation rate of 1000 Hz$"):
        a.set_feedback_rate(a.Rates.RATE_2KHZ)
    a.connect()
    a.step(steps=11)
    assert a.get_sim_time(4) == 0.01 and a.telemetry_log.time[-1] == 10 * 1e-3
    # rebinding to a 20 kHz twin changes the log's step for later rows only
    a.set_actuator_from_paths(*build_twin(tmp_path / "d", model="D"))
    a.connect()
    a.step(steps=2)
    assert list(a.telemetry_log.time)[-2:] == [11 * 5e-05, 12 * 5e-05]
    assert a._feedback_rate_divider == 10


def test_native_field_types_reach_the_items(tmp_path):
    a = KavrelActuatorVirtual()
    w = a.set_actuator_from_paths(*build_twin(tmp_path, model="F", field_types={"Debug_type.i_max": "ctypes.c_uint8"}))
    w.debug.i_max = 3
    got = a.get_items_blocking([I.ERRORS_OVERRUN, I.DEBUG_SIGNAL_BOOL])
    assert got == {I.ERRORS_OVERRUN: 1.0, I.DEBUG_SIGNAL_BOOL: 1.0}
    assert a.get_debug_flags()["i_max"] is True


# ---- hostile changes between ticks: exceptions, never a crash -----------------------------------


def _set(obj_of, name, value):
    def change(a):
        setattr(obj_of(a), name, value)
    return change


def _delete_actuator(a):
    del a.actuator


HOSTILE = [
    ("del actuator", _delete_actuator, AttributeError),
    ("actuator object()", _set(lambda a: a, "actuator", object()), AttributeError),
    ("log None", _set(lambda a: a, "telemetry_log", None), AttributeError),
    ("count text", _set(lambda a: a, "_simulation_step_count", "x"), TypeError),
    ("setpoint text", _set(lambda a: a, "_setpoint", "x"), TypeError),
    ("time series None", _set(lambda a: a.telemetry_log, "time", None), AttributeError),
    ("T_fb series None", _set(lambda a: a.telemetry_log, "T_fb", None), TypeError),
    ("TIME_STEP text", _set(lambda a: a.telemetry_log, "TIME_STEP", "x"), TypeError),
    ("inp None", _set(lambda a: a.actuator, "inp", None), AttributeError),
    ("model None", _set(lambda a: a.actuator, "model", None), TypeError),
    ("DT_step None", _set(lambda a: a.actuator._lib, "DT_step", None), TypeError),
    ("info of another class", _set(lambda a: a.actuator, "info", Struct()), AttributeError),
]


@pytest.mark.parametrize("per_call", [30, 1, 3], ids=["one-call", "one-tick-calls", "three-tick-calls"])
@pytest.mark.parametrize("change, exc", [h[1:] for h in HOSTILE], ids=[h[0] for h in HOSTILE])
def test_changes_from_the_callback_raise_cleanly(paths, change, exc, per_call):
    a = KavrelActuatorVirtual(new_wrapper(paths))
    a.connect()
    a.set_feedback_items([I.POSITION_FB])
    a.set_feedback_rate(a.Rates.RATE_2KHZ)
    a.set_feedback_callback(lambda addr, fb: change(a))
    with pytest.raises(exc):
        for _ in range(30 // per_call + 1):
            a.step(steps=per_call)
    assert a.__dict__.get("_simulation_step_count") in (10, 11, "x")


def test_fresh_structure_of_the_same_class_is_read_from_then_on(paths):
    a = KavrelActuatorVirtual(new_wrapper(paths))
    a.connect()
    a.change_speed_setpoint(5.0)
    a.start()
    a.step(steps=200)
    w = a.actuator
    old = w.info
    w.info = type(old)()
    w.info.T_fb = 123.0
    a.step(steps=3)
    assert list(a.telemetry_log.T_fb)[-3:] == [123.0] * 3 and list(a.telemetry_log.spd_fb)[-3:] == [0.0] * 3
    assert old.spd_fb != 0.0


def test_dropping_the_native_view_changes_nothing(paths):
    native, a = native_run(paths)
    w = new_wrapper(paths)
    w.__dict__.pop("_native_view")
    b = KavrelActuatorVirtual(w, 0x12)
    assert_same_run(native, script(b), a.telemetry_log, b.telemetry_log)


@pytest.mark.parametrize("proxy", [False, True], ids=["native", "generic"])
def test_callback_exception_leaves_state_of_the_last_tick(paths, proxy):
    w = new_wrapper(paths)
    a = KavrelActuatorVirtual(Proxy(w) if proxy else w)
    a.connect()
    a.change_speed_setpoint(3.0)
    a.start()
    a.set_feedback_items([I.SPEED_FB, I.POSITION_FB])
    a.set_feedback_rate(a.Rates.RATE_2KHZ)
    seen = []

    def cb(addr, fb):
        seen.append(dict(fb))
        if len(seen) == 3:
            raise ZeroDivisionError("stop here")

    a.set_feedback_callback(cb)
    with pytest.raises(ZeroDivisionError):
        a.step(steps=100)
    now = {I.SPEED_FB: float(w.info.spd_fb), I.POSITION_FB: float(w.info.pos_fb)}
    assert a._simulation_step_count == 30 and len(a.telemetry_log.time) == 30
    assert a._latest_feedback == a.feedback == seen[-1] == now
    assert a.telemetry_log.spd_fb[-1] == now[I.SPEED_FB]
    a.set_feedback_callback(None)
    assert a.step(steps=5) == {I.SPEED_FB: float(w.info.spd_fb), I.POSITION_FB: float(w.info.pos_fb)}
    assert a._simulation_step_count == 35


def _hold(a):
    return a._latest_feedback, a.feedback


def _add_key(a):
    a.feedback["extra"] = 1.0


def _reorder(a):
    value = a.feedback.pop(I.SPEED_FB)
    a.feedback[I.SPEED_FB] = value


def _store_int(a):
    a._latest_feedback[I.POSITION_FB] = 7


def _drop_snapshot(a):
    del a._latest_feedback


def _snapshot_not_a_map(a):
    a._latest_feedback = 5


def _spinning_with_two_items(paths):
    """A started actuator on a fresh twin under a speed setpoint, with two feedback items."""
    w = new_wrapper(paths)
    a = KavrelActuatorVirtual(w)
    a.connect()
    a.change_speed_setpoint(3.0)
    a.start()
    a.set_feedback_items([I.SPEED_FB, I.POSITION_FB])
    return w, a


def _assert_hold_the_tick(now, *maps):
    # (no name is left bound to a map: the actuator's own are then referenced only as usual)
    for m in maps:
        assert m == now and list(m) == [I.SPEED_FB, I.POSITION_FB]
        assert all(type(v) is float for v in m.values())


@pytest.mark.parametrize("meddle", [_hold, _add_key, _reorder, _store_int, _drop_snapshot, _snapshot_not_a_map])
def test_one_tick_steps_give_fresh_maps_whatever_the_caller_did_to_the_last(paths, meddle):
    """Lockstep one-tick calls on the native road: after each tick the snapshot and `feedback`
    hold exactly the items in their order with the tick's values, and the maps of earlier ticks
    that the caller still holds stay as they were."""
    w, a = _spinning_with_two_items(paths)
    before = native_ticks()
    for _ in range(3):
        a.step(steps=1)
    held = meddle(a)
    frozen = [dict(d) for d in held] if held else None
    for k in range(12):
        a.step(load=0.01 * k, steps=1)
        now = {I.SPEED_FB: float(w.info.spd_fb), I.POSITION_FB: float(w.info.pos_fb)}
        _assert_hold_the_tick(now, a._latest_feedback, a.feedback)
        if k % 4 == 0:
            meddle(a)
    if held:
        assert [dict(d) for d in held] == frozen and held[0] is not a._latest_feedback
    assert native_ticks() - before == 15


def _count(a, r):
    return [a._simulation_step_count]


def _snapshot_value(a, r):
    return [a._latest_feedback[I.SPEED_FB]]


def _feedback_values(a, r):
    return list(a.feedback.values())


def _returned_map(a, r):
    return [r]


def _returned_value(a, r):
    return [r[I.POSITION_FB]]


def _replaced_value(m):
    old = m[I.SPEED_FB]
    m[I.SPEED_FB] = float(repr(old))
    return [old]


def _replaced_snapshot_value(a, r):
    return _replaced_value(a._latest_feedback)


def _replaced_feedback_value(a, r):
    return _replaced_value(a.feedback)


def _replaced_returned_value(a, r):
    return _replaced_value(r)


@pytest.mark.parametrize("take", [_count, _snapshot_value, _feedback_values, _returned_map, _returned_value,
                                  _replaced_snapshot_value, _replaced_feedback_value, _replaced_returned_value])
def test_one_tick_steps_leave_the_values_the_caller_holds_as_they_were(paths, take):
    """The count, snapshot values and returned maps a caller keeps from earlier one-tick calls
    keep their values however many calls follow, while the actuator's own stay current; so do
    values the caller took out of a map, putting an equal float in their place."""
    w, a = _spinning_with_two_items(paths)
    a.step(steps=300)  # counts past the interpreter's shared small ints
    before = native_ticks()
    kept = []
    for k in range(16):
        r = a.step(load=0.01 * k, steps=1)
        if k % 5 == 2:
            kept += [(o, repr(o)) for o in take(a, r)]
        now = {I.SPEED_FB: float(w.info.spd_fb), I.POSITION_FB: float(w.info.pos_fb)}
        assert r == a._latest_feedback == a.feedback == now
        assert a._simulation_step_count == 301 + k
        del r
    assert len(kept) >= 3
    assert [repr(o) for o, _ in kept] == [text for _, text in kept]
    assert native_ticks() - before == 16


def _store_value(r):
    r[I.SPEED_FB] = -1.0


def _store_same_float(r):
    r[I.SPEED_FB] = float(r[I.SPEED_FB])


def _drop_key(r):
    del r[I.POSITION_FB]


def _swap_order(r):
    r[I.SPEED_FB] = r.pop(I.SPEED_FB)


def _clear(r):
    r.clear()


def _add_member(r):
    r[I.TORQUE_FB] = 0.0


@pytest.mark.parametrize("change", [_store_value, _store_same_float, _drop_key, _swap_order, _clear, _add_member])
def test_one_tick_steps_return_the_current_snapshot_after_the_caller_changed_the_last_one(paths, change):
    """A caller changes the map a one-tick call returned and drops it: the next call still
    returns exactly the snapshot, items in order, and the actuator's own maps are untouched."""
    w, a = _spinning_with_two_items(paths)
    a.step(steps=300)
    before = native_ticks()
    for k in range(12):
        r = a.step(load=0.01 * k, steps=1)
        now = {I.SPEED_FB: float(w.info.spd_fb), I.POSITION_FB: float(w.info.pos_fb)}
        _assert_hold_the_tick(now, r, a._latest_feedback, a.feedback)
        assert r is not a._latest_feedback and r is not a.feedback
        if k % 3 == 1:
            change(r)
        del r
    assert native_ticks() - before == 12


def _step_on_the_instance(w):
    calls = []
    own = type(w).step

    def step(*args, **kwargs):
        calls.append(args)
        return own(w, *args, **kwargs)

    w.step = step
    return lambda native: calls and len(calls) == 4 and native == 0


def _uninitialised(w):
    w._initialized = False
    return lambda native: w._initialized is True and native == 4


def _view_dropped(w):
    del w._native_view
    return lambda native: native == 0


@pytest.mark.parametrize("change", [_step_on_the_instance, _uninitialised, _view_dropped])
def test_one_tick_steps_follow_what_was_done_to_the_wrapper_between_them(paths, change):
    """Between two one-tick calls the wrapper gets a `step` of its own, is marked uninitialised,
    or loses its native view: the next calls see it, on the road it calls for, with the snapshot
    of each tick."""
    w, a = _spinning_with_two_items(paths)
    for _ in range(5):
        a.step(steps=1)
    holds = change(w)
    before = native_ticks()
    for _ in range(4):
        r = a.step(steps=1)
        assert r == {I.SPEED_FB: float(w.info.spd_fb), I.POSITION_FB: float(w.info.pos_fb)}
    assert holds(native_ticks() - before)


def test_one_tick_steps_count_past_an_int_digit(paths):
    """The tick count stays exact where its int needs a second internal digit."""
    w = new_wrapper(paths)
    a = KavrelActuatorVirtual(w)
    a.connect()
    a.start()
    a.set_feedback_items([I.SPEED_FB])
    a.step(steps=1)
    start = (1 << 30) - 3
    a._simulation_step_count = start
    for k in range(1, 6):
        a.step(steps=1)
        assert a._simulation_step_count == start + k
        assert type(a._simulation_step_count) is int and str(a._simulation_step_count) == str(start + k)


# ---- one-tick calls: what the caller does with the log between them ------------------------------

def _reads(a, log):
    return len(log.time), log.time[-1], log.pos_fb[-1], list(log.spd_fb)[-3:], len(log.inp_enable)


def _buffer(a, log):
    view = memoryview(log.pos_fb)
    return view.tolist()


def _appends_to_a_series(a, log):
    log.pos_fb.append(1.25)
    log.inp_enable.append(True)
    return len(log.pos_fb), len(log.time)


def _replaces_a_series(a, log):
    log.spd_fb = VirtualActuatorLog().spd_fb
    return ()


def _replaces_the_log(a, log):
    a.telemetry_log = VirtualActuatorLog()
    return ()


def _compares_and_clears(a, log):
    same = log == log
    del log.T_fb[:2]
    return same, len(log.T_fb)


def _long_run(a, log):
    a.step(steps=70)
    return (len(log.time),)


def _drops_the_log(a, log):
    a.telemetry_log = VirtualActuatorLog()
    return "dropped"


@pytest.mark.parametrize("between", [_reads, _buffer, _appends_to_a_series, _replaces_a_series,
                                     _replaces_the_log, _compares_and_clears, _long_run, _drops_the_log])
def test_one_tick_calls_leave_complete_logs_whatever_runs_between_them(paths, between):
    """A controller stepping in lockstep: its one-tick calls on the native road and on the
    generic one give the same logs, and every log the caller reads, changes, replaces or drops
    between calls holds each row up to that call, in order."""
    def run(generic):
        a = bound(paths, generic)
        a.connect()
        a.start()
        a.change_speed_setpoint(2.0)
        seen, logs = [], []
        for k in range(90):
            a.step(load=0.01 * k, steps=1)
            if k in (4, 40, 77):  # rows of the calls just made may be held back here
                log = a.telemetry_log
                seen.append(between(a, log))
                if seen[-1] != "dropped":
                    logs.append(log)
                del log
        return a, seen, logs

    before = native_ticks()
    a, seen_native, logs_native = run(False)
    native = native_ticks() - before
    b, seen_generic, logs_generic = run(True)
    assert all(same_values(p, q) for p, q in zip(seen_native, seen_generic)) and len(seen_native) == 3
    for x, y in zip(logs_native + [a.telemetry_log], logs_generic + [b.telemetry_log]):
        assert logs_identical(x, y) is None
    assert native == 90 + (3 * 70 if between is _long_run else 0)
    if between is _replaces_the_log:
        assert [len(log.time) for log in logs_native] == [5, 36, 37]


def test_one_tick_calls_grow_the_columns_as_they_fill(paths):
    """Thousands of one-tick calls carry every column past the sizes its storage takes on the way
    (the rows held back meanwhile included); the log matches the generic road's."""
    def run(generic):
        a = bound(paths, generic)
        a.connect()
        a.start()
        a.change_speed_setpoint(1.5)
        for k in range(5000):
            a.step(load=0.001 * (k % 7), steps=1)
        return a.telemetry_log

    before = native_ticks()
    native = run(False)
    assert native_ticks() - before == 5000
    generic = run(True)
    assert logs_identical(native, generic) is None and len(native.time) == 5000


def test_actuators_sharing_a_log_take_turns_at_its_rows(paths):
    """Two actuators appending to one log in turn, one tick per call: the rows interleave as
    the calls do, on the native road as on the generic one."""
    def run(generic):
        a, b = bound(paths, generic), bound(paths, generic)
        for act, ref in ((a, 1.0), (b, -2.0)):
            act.connect()
            act.start()
            act.change_speed_setpoint(ref)
        b.telemetry_log = a.telemetry_log
        for k in range(75):
            a.step(load=0.01 * k, steps=1)
            b.step(steps=1 + k % 2)
        return a.telemetry_log

    before = native_ticks()
    native = run(False)
    assert native_ticks() - before == 75 * 2 + 37
    generic = run(True)
    assert logs_identical(native, generic) is None and len(native.time) == 75 * 2 + 37


def test_step_called_from_the_callback(paths):
    """A callback may step the actuator itself; the outer call then goes on with its own count."""
    def run(twin):
        a = KavrelActuatorVirtual(twin)
        a.connect()
        a.set_feedback_items([I.POSITION_FB])
        a.set_feedback_rate(a.Rates.RATE_2KHZ)
        inner = []

        def cb(addr, fb):
            if len(inner) < 2:
                inner.append(a.step(load=0.05, steps=7))
            a.change_speed_setpoint(fb[I.POSITION_FB] + 1.0)

        a.set_feedback_callback(cb)
        a.start()
        out = a.step(steps=40)
        return a, inner, out

    a, inner_a, out_a = run(new_wrapper(paths))
    b, inner_b, out_b = run(Proxy(new_wrapper(paths)))
    assert a._simulation_step_count == b._simulation_step_count == 54
    assert logs_identical(a.telemetry_log, b.telemetry_log) is None
    assert same_values(out_a, out_b) and all(same_values(x, y) for x, y in zip(inner_a, inner_b))


# ---- a subclass that keeps the stepping on the generic road --------------------------------------


class GenericStepping(KavrelActuatorVirtual):
    """Same behaviour; the override keeps `step` on the generic road."""

    def _should_emit_feedback(self):
        return super()._should_emit_feedback()


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


@pytest.mark.parametrize(
    "items, rate",
    [
        ([], None),
        ([ITEMS.POSITION_FB, ITEMS.VBUS, ITEMS.DEBUG_SIGNAL_BOOL, ITEMS.TEMP_PCB, ITEMS.POSITION_FB], None),
        ([ITEMS.ERRORS_OVERRUN, ITEMS.ENCODER_INT_RAW, ITEMS.DEBUG_SIGNAL03], 2000),
        # callbacks 40 ticks apart: runs that hold their rows back end at each one
        ([ITEMS.SPEED_FB, ITEMS.IQ_FB], 500),
    ],
)
def test_native_and_generic_ticks_agree(items, rate):
    native, generic = running(), running(GenericStepping)
    assert _twin_engine.TwinView.step_ready(native.actuator)
    before = native_ticks()
    seen_n, res_n = drive(native, items, rate)
    assert native_ticks() - before == 228
    seen_g, res_g = drive(generic, items, rate)
    assert native_ticks() - before == 228
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




# ---- series typed by their first value -----------------------------------------------------------


@pytest.mark.parametrize("values, fmt", [
    ([1.5, -0.0, math.nan, math.inf], "d"),
    ([3, -2**63, 2**63 - 1], "q"),
    ([True, False, True], "?"),
    ([2**63], None),
    ([1, 2.0], None),
    ([True, 1], None),
    ([1.0, False], None),
])
def test_an_empty_series_takes_the_kind_of_its_first_value(values, fmt):
    for name in ("enable", "meas_turn", "inp_enable"):
        series = getattr(VirtualActuatorLog(), name)
        for v in values:
            series.append(v)
        assert [(type(v), repr(v)) for v in series] == [(type(v), repr(v)) for v in values]
        if fmt is None:
            with pytest.raises(BufferError):
                memoryview(series)
        else:
            assert memoryview(series).format == fmt and memoryview(series).tolist()[:1] == values[:1]


@pytest.mark.parametrize("per_call", [100, 1], ids=["one-call", "one-tick-calls"])
def test_an_absent_optional_field_given_to_the_structure_is_read_from_then_on(tmp_path, per_call):
    """On a twin without the optional inputs, a port set as a plain attribute of its `inp`
    structure is what both roads log (and the engine writes) from the next tick on."""
    paths = build_twin(tmp_path, model="A", optional_fields=False)
    a, b = bound(paths), bound(paths, generic=True)
    for x in (a, b):
        x.connect()
        x.start()
        x.change_impedance_setpoint(0.2, K_stiff=2.0, ref_ff_torque=0.05, ref_impedance_spd=0.5)
        for _ in range(100 // per_call):
            x.step(steps=per_call)
        x.actuator.inp.T_ADC = 0.25
        x.actuator.inp.ref_ff_torque = -1.0
        for _ in range(100 // per_call):
            x.step(steps=per_call)
    log = a.telemetry_log
    assert all(math.isnan(v) for v in log.inp_t_adc[:100]) and set(log.inp_t_adc[100:]) == {0.25}
    assert logs_identical(a.telemetry_log, b.telemetry_log) is None


# ---- changes between one-tick calls ------------------------------------------------------------

def _steps_twice(w, mp):
    original = w._lib.DT_step
    w._lib.DT_step = lambda model: (original(model), original(model))[1]


def _fresh_info(w, mp):
    w.info = type(w.info)()
    w.info.T_fb = 123.0


def _info_on_the_class(w, mp):
    fixed = type(w.info)()
    fixed.T_fb = 7.0
    mp.setattr(type(w), "info", property(lambda self: fixed), raising=False)


def _field_on_the_structure_class(w, mp):
    mp.setattr(type(w.info), "T_fb", property(lambda self: 5.0))


def _errcheck_counts(w, mp):
    seen = w.__dict__.setdefault("_errchecks", [])
    w._lib.DT_step.errcheck = lambda result, func, args: (seen.append(1), result)[1]


def _argtypes_refused(w, mp):
    import ctypes

    w._lib.DT_step.argtypes = [ctypes.c_int]


def _port_cache(w, mp):
    w._reference_feedforward_torque = 0.25


def _optional_inports_shadowed(w, mp):
    w._apply_optional_inports = lambda: setattr(w.inp, "ref_ff_torque", 0.5)


# Each row changes one thing the checks of a one-tick call depend on, between two runs of
# one-tick calls: (twin-side change on the wrapper, actuator-side change).
BETWEEN_CALLS = {
    "dt-step-replaced": (_steps_twice, None),
    "structure-replaced": (_fresh_info, None),
    "structure-on-the-wrapper-class": (_info_on_the_class, None),
    "field-on-the-structure-class": (_field_on_the_structure_class, None),
    "dt-step-errcheck-set": (_errcheck_counts, None),
    "dt-step-argtypes-changed": (_argtypes_refused, None),
    "port-cache-changed": (_port_cache, None),
    "optional-inports-shadowed": (_optional_inports_shadowed, None),
    "method-shadowed-on-the-instance": (None, lambda a, fresh: setattr(a, "_get_item_value", lambda item: 42.0)),
    "series-replaced": (None, lambda a, fresh: setattr(a.telemetry_log, "T_fb", list(a.telemetry_log.T_fb))),
    "log-replaced": (None, lambda a, fresh: setattr(a, "telemetry_log", VirtualActuatorLog())),
    "twin-rebound": (None, lambda a, fresh: setattr(a, "actuator", fresh())),
    "items-changed": (None, lambda a, fresh: a.set_feedback_items([I.SPEED_FB, list(I)[-1]])),
    "items-changed-in-place": (None, lambda a, fresh: a._feedback_items.append(I.POSITION_FB)),
}


def one_tick_calls_around(a, twin, change, fresh, mp):
    a.connect()
    a.start()
    a.change_impedance_setpoint(0.2, K_stiff=2.0, ref_ff_torque=0.05)
    a.set_feedback_items([I.POSITION_FB, I.SPEED_FB, I.TORQUE_FB])
    out = [a.step(load=0.1, steps=1) for _ in range(3)]
    twin_change, act_change = change
    if twin_change:
        twin_change(twin, mp)
    if act_change:
        act_change(a, fresh)
    for k in range(3):
        try:
            out.append(a.step(load=0.1 + 0.01 * k, steps=1))
        except Exception as e:  # the same failure is wanted on both roads
            out.append(type(e).__name__)
    out.append(twin.__dict__.get("_errchecks"))
    mp.undo()  # class changes end with the run
    return out


@pytest.mark.parametrize("change", list(BETWEEN_CALLS))
def test_a_change_between_one_tick_calls_is_seen_alike(paths, change, monkeypatch):
    """What the previous one-tick call checked is not trusted once it changed: every row's
    change shows in the next call exactly as on the generic road."""
    w, u = new_wrapper(paths), new_wrapper(paths)
    a, b = KavrelActuatorVirtual(w, 0x12), KavrelActuatorVirtual(Proxy(u), 0x12)
    before = native_ticks()
    x = one_tick_calls_around(a, w, BETWEEN_CALLS[change], lambda: new_wrapper(paths), monkeypatch)
    native = native_ticks() - before
    y = one_tick_calls_around(b, u, BETWEEN_CALLS[change], lambda: Proxy(new_wrapper(paths)), monkeypatch)
    assert native >= 3 and native_ticks() - before == native
    assert len(x) == len(y) == 7
    for p, q in zip(x, y):
        assert p == q if not isinstance(p, dict) else same_values(p, q), change
    assert logs_identical(a.telemetry_log, b.telemetry_log) is None
