"""Native and generic stepping give the same results.

A plain ``ActuatorWrapper`` of a compiled twin steps on the native road; the same script
run on a twin that the native road must not take (a duck-typed proxy, a replaced
``DT_step``, an overridden ``step``, replaced structures or log series, a subclassed
actuator) must produce identical telemetry, snapshots, callbacks and counters.  Every
twin here is a separate loaded copy, so equal scripts give equal states.
"""

import math

import pytest

from vkl_api._twin_engine import ActuatorWrapper
from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual, VirtualActuatorLog
from twins_build import build_twin
from virtual_support import LOG_SERIES, SERIES_NAMES, Proxy, Struct, logs_identical, ref_paths, same_values

I = KavrelActuatorVirtual.VKL_Items
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


VARIANTS = {
    "no-optional-fields": {"optional_fields": False},
    "no-filter": {"filter_global": False, "filter_type": False},
    "stated-time-step": {"time_step_s": 1e-4, "export_time_step": True},
    "other-c-types": {"field_types": {
        "Info_type.T_fb": "ctypes.c_int64", "Info_type.enable": "ctypes.c_double.__ctype_be__",
        "Meas_type.turn": "ctypes.c_float", "Debug_type.i_max": "ctypes.c_uint8",
        "Motor_type.m_ia": "ctypes.c_uint64",
    }},
}


@pytest.fixture(params=list(VARIANTS))
def variant(request, tmp_path):
    return request.param, build_twin(tmp_path / request.param, model="V", **VARIANTS[request.param])


def test_variants_native_and_generic_agree(variant):
    name, paths = variant
    a = KavrelActuatorVirtual()
    a.set_actuator_from_paths(*paths)
    b = KavrelActuatorVirtual()
    b.set_actuator_from_paths(*paths)
    b.actuator = Proxy(b.actuator)
    if name == "other-c-types":
        # items whose fields are not numbers cannot be read; keep to plain fields
        for x in (a, b):
            x.connect()
            x.set_feedback_items([I.POSITION_FB, I.TORQUE_FB, I.ERRORS_OVERRUN, I.ENCODER_INT_RAW, I.IA])
            x.start()
            x.change_speed_setpoint(5.0)
        ra = [a.step(load=0.1, steps=n) for n in (1, 37, 100)]
        rb = [b.step(load=0.1, steps=n) for n in (1, 37, 100)]
        assert all(same_values(x, y) for x, y in zip(ra, rb))
        assert logs_identical(a.telemetry_log, b.telemetry_log) is None
        return
    x, y = script(a), script(b)
    assert_same_run(x, y, a.telemetry_log, b.telemetry_log)


def test_variant_rows_hold_the_fields_as_they_read(tmp_path):
    paths = build_twin(tmp_path, model="T", **VARIANTS["other-c-types"])
    a = KavrelActuatorVirtual()
    w = a.set_actuator_from_paths(*paths)
    a.connect()
    a.start()
    a.change_speed_setpoint(5.0)
    for _ in range(5):
        a.step(load=0.1, steps=7)
        for series, path in LOG_SERIES:
            if path is None:
                continue
            group, field = path.split(".")
            want = getattr(getattr(w, group), field, math.nan)
            got = getattr(a.telemetry_log, series)[-1]
            assert type(got) is type(want), series
            assert same_values([got], [want]), series


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


@pytest.mark.parametrize("change, exc", [h[1:] for h in HOSTILE], ids=[h[0] for h in HOSTILE])
def test_changes_from_the_callback_raise_cleanly(paths, change, exc):
    a = KavrelActuatorVirtual(new_wrapper(paths))
    a.connect()
    a.set_feedback_items([I.POSITION_FB])
    a.set_feedback_rate(a.Rates.RATE_2KHZ)
    a.set_feedback_callback(lambda addr, fb: change(a))
    with pytest.raises(exc):
        a.step(steps=30)
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
