"""Digital-twin engine: constants, step counts, initialize / step / terminate,
the home tick, and the native step path against the generic (ctypes) one.

The twin counts its own steps in the model record's work area
(`model.dwork.contents.steps`, reset by DT_initialize), which gives exact
step counts whichever path made the calls.
"""

import ctypes
import math

import pytest

import vkl_api._twin_engine as te
from twins_build import STRUCTURES, build_twin

AW = te.ActuatorWrapper
GROUPS = ("inp", "pid", "imp", "lim", "info", "meas", "motor", "debug")


@pytest.fixture(scope="module")
def twins(tmp_path_factory):
    root = tmp_path_factory.mktemp("twins")
    return {
        "ref": build_twin(root / "ref", "REF"),
        "own_step": build_twin(root / "own", "OWN", time_step_s=0.001, export_time_step=True),
        "reduced": build_twin(root / "reduced", "RED", optional_fields=False, filter_global=False),
        "odd_load": build_twin(root / "odd", "ODD", bindings_prelude="class OddDouble(ctypes.c_double):\n    pass",
                               field_types={"Inports_type.Load": "OddDouble"}),
    }


@pytest.fixture
def make(twins, wrappers):
    def make(kind="ref", cls=AW):
        return wrappers(*twins[kind], cls=cls)

    return make


def steps(w):
    return w.model.dwork.contents.steps


# ---- constants and step counts ---------------------------------------------------------------


def test_module_constants_and_default_time_step(monkeypatch):
    assert (te._DTWIN_CONTROL_CALIBRATION, te._DTWIN_CONTROL_POSITION, te._DTWIN_DEFAULT_SIM_RATE_HZ) == (1, 7, 20000)
    assert te._DTWIN_DEFAULT_TIME_STEP_S == 5e-05 == 1 / 20000 and te._DTWIN_INITIALIZATION_WARMUP_S == 1.0
    assert te.get_default_dtwin_time_step_s() == 1 / 20000
    monkeypatch.setattr(te, "_DTWIN_DEFAULT_TIME_STEP_S", 0.25)
    assert te.get_default_dtwin_time_step_s() == 0.25
    assert (AW.MOTOR_OFF, AW.MOTOR_ON) is not None and AW.MOTOR_OFF is False and AW.MOTOR_ON is True
    assert sorted(te.__all__) == ["ActuatorWrapper", "get_default_dtwin_time_step_s"]


@pytest.mark.parametrize("duration, step, expected", [
    (1.0, 5e-05, 20000), (0.000125, 5e-05, 2), (0.000175, 5e-05, 4), (1, 1, 1), (0.0, 5e-05, 1),
    (-3.0, 1e-3, 1), (0.5, 1.0, 1), (0.4, 1.0, 1), (1.0, math.inf, 1), (True, 0.5, 2),
])
def test_steps_for_duration(duration, step, expected):
    n = te._steps_for_duration(duration, step)
    assert n == expected and type(n) is int


@pytest.mark.parametrize("step, shown", [(0, "0.0"), (-1, "-1.0"), (0.0, "0.0"), (-0.0, "-0.0")])
def test_steps_for_duration_refuses_non_positive_steps(step, shown):
    with pytest.raises(RuntimeError) as e:
        te._steps_for_duration(1.0, step)
    assert str(e.value) == "Invalid DTwin simulation timestep: " + shown


@pytest.mark.parametrize("duration, step, exc", [
    (1.0, math.nan, ValueError), (math.nan, 1.0, ValueError), (1.0, 1e-320, OverflowError),
    ("1", 1.0, TypeError), (1.0, None, TypeError),
])
def test_steps_for_duration_passes_conversion_errors(duration, step, exc):
    with pytest.raises(exc):
        te._steps_for_duration(duration, step)


# ---- lifecycle ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("kind, warmup", [("ref", 20000), ("own_step", 1000)])
@pytest.mark.parametrize("path", ["native", "generic"])
def test_initialize_runs_one_second_of_warm_up_plus_two_steps(make, kind, warmup, path):
    w = make(kind)
    seen = []
    if path == "generic":
        original = w._lib.DT_step

        def counting(ptr):
            seen.append((w.inp.Enable, w.inp.ResetPos, w.inp.ControlType))
            original(ptr)

        w._lib.DT_step = counting
    w.initialize(5)
    assert steps(w) == warmup + 2
    assert (w.inp.Enable, w.inp.ResetPos, w.inp.ControlType, w.inp.Reference, w.inp.Load) == (False, True, 5, 0.0, 0.0)
    assert w._initialized is True
    if path == "generic":
        assert len(seen) == warmup + 2
        assert seen[0] == seen[warmup - 1] == (True, False, 1)
        assert seen[warmup:] == [(False, False, 1), (False, True, 1)]
    else:
        assert te.TwinView.step_ready(w)


@pytest.mark.parametrize("mode, code", [(6.9, 6), (True, 1), (8, 8)])
def test_initialize_mode_conversion(make, mode, code):
    w = make()
    w.initialize(mode)
    assert w.inp.ControlType == code


def test_initialize_defaults_to_position_and_refuses_non_numbers(make):
    w = make()
    with pytest.raises(TypeError) as e:
        w.initialize("7")
    assert str(e.value) == "Argument 'mode' has incorrect type (expected int, got str)"
    assert steps(w) == 0 and w._initialized is False
    w.initialize()
    assert w.inp.ControlType == 7


def test_second_initialize_and_early_terminate_are_refused(make):
    w = make()
    with pytest.raises(RuntimeError) as e:
        w.terminate()
    assert str(e.value) == "Simulator not initialized. Call initialize() first." and w.tmp_dir.exists()
    w.initialize()
    n = steps(w)
    with pytest.raises(RuntimeError) as e:
        w.initialize()
    assert str(e.value) == "Simulator already initialized. Call terminate() first."
    assert steps(w) == n and w._initialized is True


def test_terminate_removes_the_copy_and_keeps_the_structures(make):
    w = make()
    w.initialize()
    before = AW.instance_count
    w.terminate()
    assert AW.instance_count == before - 1 and w._initialized is False and not w.tmp_dir.exists()
    w.inp.Reference = 2.5
    assert w.inp.Reference == 2.5 and w.info.temp_winding > 0
    # Initialising again runs on the loaded copy; its directory is already gone.
    w.initialize(6)
    assert steps(w) == 20002 and w.inp.ControlType == 6
    w.terminate()
    assert AW.instance_count == before - 2


def test_failure_inside_the_warm_up_leaves_the_twin_uninitialised(make):
    w = make()
    original = w._lib.DT_step
    calls = []

    def failing(ptr):
        calls.append(1)
        if len(calls) == 100:
            raise RuntimeError("twin fault")
        original(ptr)

    w._lib.DT_step = failing
    with pytest.raises(RuntimeError, match="twin fault"):
        w.initialize()
    assert w._initialized is False and steps(w) == 99
    w._lib.DT_step = original
    w.initialize()
    assert steps(w) == 20002


def test_step_writes_reference_and_load_then_ticks(make):
    w = make()
    w.step(True)  # also before initialize: passed to the twin unchecked
    assert (w.inp.Reference, w.inp.Load, steps(w)) == (1.0, 0.0, 1)
    w.step(2, load=-0.5)
    assert (w.inp.Reference, w.inp.Load, steps(w)) == (2.0, -0.5, 2)
    for args in (("1.0",), (1.0, "0.5"), (None,), (1.0, None)):
        with pytest.raises(TypeError):
            w.step(*args)
    assert (w.inp.Reference, w.inp.Load, steps(w)) == (2.0, -0.5, 2)


def test_cached_references_reach_the_optional_ports_before_every_step(make):
    w = make()
    w.set_torque_feedforward(0.1)
    w.set_impedance_references(0.2, 0.3)
    w.inp.ref_ff_torque = w.inp.ref_impedance_spd = w.inp.ref_impedance_acel = 9.0
    w.initialize()  # once before the warm-up
    assert (w.inp.ref_ff_torque, w.inp.ref_impedance_spd, w.inp.ref_impedance_acel) == (0.1, 0.2, 0.3)
    w.inp.ref_ff_torque = 5.0
    w.step(0.0)
    assert w.inp.ref_ff_torque == 0.1


def test_twin_without_optional_ports_steps_normally(make):
    w = make("reduced")
    assert not hasattr(w.inp, "ref_ff_torque")
    w.set_torque_feedforward(0.4)
    w.initialize()
    w.set_enable(True)
    for _ in range(10):
        w.step(0.5)
    assert steps(w) == 20012 and w._reference_feedforward_torque == 0.4
    assert not hasattr(w.inp, "ref_ff_torque") and te.TwinView.step_ready(w)


def test_home_position_is_one_tick_with_reset_raised(make):
    w = make()
    w.initialize()
    w.set_enable(True)
    for _ in range(4000):
        w.step(2.0)
    assert abs(w.meas.pos - 2.0) < 0.05
    n = steps(w)
    w.set_home_position()
    assert steps(w) == n + 1 and w.inp.ResetPos is False
    w.step(0.0)
    assert abs(w.meas.pos) < 1e-3  # the present position became the zero


def test_home_tick_failure_leaves_reset_raised(make):
    w = make()
    w.inp.ResetPos = False

    def failing(ptr):
        raise RuntimeError("tick failed")

    w._lib.DT_step = failing
    with pytest.raises(RuntimeError, match="tick failed"):
        w.set_home_position()
    assert w.inp.ResetPos is True


# ---- native and generic step paths ------------------------------------------------------------------


def snapshot(w):
    """Every byte of every structure, the filter and the model's work areas."""
    out = {g: bytes(getattr(w, g)) for g in GROUPS}
    if isinstance(w.filter, ctypes.Structure):
        out["filter"] = bytes(w.filter)
    out["dwork"] = bytes(w.model.dwork.contents)
    out["zc"] = bytes(w.model.prevZCSigState.contents)
    return out


def scenario(w):
    w.set_torque_feedforward(0.05)
    w.initialize()
    w.set_enable(True)
    for k in range(300):
        w.step(1.0 + 0.001 * k, 0.1)
    w.set_control_type(6)
    for _ in range(300):
        w.step(15.0, -0.2)
    w.set_home_position()
    w.set_impedance_gains(2.0, 0.05, 0.1)
    w.set_impedance_references(0.5, 1.0)
    w.set_control_type(8)
    for _ in range(300):
        w.step(0.25)


class ApplyOverride(AW):
    def _apply_optional_inports(self):
        super()._apply_optional_inports()


def force_python_step(w):
    original = w._lib.DT_step
    w._lib.DT_step = lambda ptr: original(ptr)


def force_errcheck(w):
    w._lib.DT_step.errcheck = lambda result, func, args: result


def force_int_cache(w):
    w._impedance_speed_reference = 0


FORCE = {
    "python DT_step": ("ref", AW, force_python_step),
    "errcheck on DT_step": ("ref", AW, force_errcheck),
    "subclass input hook": ("ref", ApplyOverride, None),
    "integer cached reference": ("ref", AW, force_int_cache),
    "unhandled field type": ("odd_load", AW, None),
}


@pytest.mark.parametrize("case", FORCE)
def test_generic_path_gives_the_same_state_as_the_native_one(make, case):
    kind, cls, force = FORCE[case]
    native, generic = make(), make(kind, cls)
    if force:
        force(generic)
    assert te.TwinView.step_ready(native) and not te.TwinView.step_ready(generic)
    scenario(native)
    scenario(generic)
    a, b = snapshot(native), snapshot(generic)
    assert a.keys() == b.keys()
    for key in a:
        assert a[key] == b[key], key
    assert native.model.dwork.contents.steps == 20002 + 901


def test_native_path_follows_a_replaced_structure(make):
    w = make()
    twin_inp = w.inp
    w.inp = type(twin_inp)()
    assert not te.TwinView.step_ready(w) and not te.TwinView.fields_ready(w)
    w.step(3.0, 0.5)
    assert (w.inp.Reference, w.inp.Load) == (3.0, 0.5) and twin_inp.Reference == 0.0 and steps(w) == 1
    w.inp = twin_inp
    assert te.TwinView.step_ready(w)
    w.step(4.0)
    assert twin_inp.Reference == 4.0 and steps(w) == 2


def test_native_path_follows_a_changed_structure_class(make):
    w = make()
    cls = type(w.inp)
    original = cls.Reference
    seen = []
    cls.Reference = property(lambda s: 0.0, lambda s, v: seen.append(v))
    try:
        assert not te.TwinView.step_ready(w)
        w.step(7.0)
        assert seen == [7.0]
    finally:
        cls.Reference = original


def test_native_path_follows_a_replaced_model_record(make):
    w = make()
    old = w.model
    lib = w._lib
    new = lib.RT_MODEL_DT_T()
    new.blockIO = ctypes.pointer(lib.B_DT_T())
    new.dwork = ctypes.pointer(lib.DW_DT_T())
    new.prevZCSigState = ctypes.pointer(lib.PrevZCX_DT_T())
    w.model = new
    assert not te.TwinView.step_ready(w)
    w.step(0.0)
    w.set_home_position()
    assert new.dwork.contents.steps == 2 and old.dwork.contents.steps == 0
    # Another twin's record is refused by the declared argument type, as ctypes refuses it.
    w.model = make().model
    with pytest.raises(ctypes.ArgumentError):
        w.step(0.0)


def test_view_lists_the_plain_number_fields_of_every_group(make):
    view = make().__dict__["_native_view"]
    names = {"inp": "Inports_type", "pid": "PID_type", "imp": "Impedance_type", "lim": "Lim_type",
             "info": "Info_type", "meas": "Meas_type", "motor": "Motor_type", "debug": "Debug_type"}
    assert view.groups == {g: sorted(f for f, _, _ in STRUCTURES[s]) for g, s in names.items()}
    odd = make("odd_load").__dict__["_native_view"]
    assert "Load" not in odd.groups["inp"] and "Reference" in odd.groups["inp"]


def test_native_path_follows_later_changes_of_the_wrapper_class(make):
    class Sub(AW):
        pass

    w = make(cls=Sub)
    twin_inp = w.inp
    assert te.TwinView.step_ready(w)
    elsewhere = type(twin_inp)()
    Sub.inp = property(lambda self: elsewhere)
    assert not te.TwinView.step_ready(w) and not te.TwinView.fields_ready(w)
    w.step(3.0)
    assert elsewhere.Reference == 3.0 and twin_inp.Reference == 0.0 and steps(w) == 1
    del Sub.inp
    assert te.TwinView.step_ready(w)
    Sub._apply_optional_inports = lambda self: None
    assert not te.TwinView.step_ready(w) and te.TwinView.fields_ready(w)
    w._reference_feedforward_torque = 0.5
    w.step(4.0)
    assert twin_inp.Reference == 4.0 and twin_inp.ref_ff_torque == 0.0
    del Sub._apply_optional_inports
    w.step(4.0)
    assert twin_inp.ref_ff_torque == 0.5 and te.TwinView.step_ready(w)
