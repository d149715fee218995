"""Simulated actuator: reading and writing the twin by dotted path, the structure dumps, the
error test and the numeric helpers."""

import math

import pytest

from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual
from virtual_support import (
    DEBUG_FIELDS, INFO_FIELDS, MEAS_FIELDS, MOTOR_FIELDS, NOT_CONFIGURED, RecordingTwin, Struct, act, fake_twin,
    ref_paths, ref_twin, twin,
)

NAN = math.nan


@pytest.mark.parametrize(
    "path, value, want",
    [("lim.lim_T", 2.5, 2.5), ("meas.turn", 3, 3.0), ("debug.i_max", True, 1.0), ("debug.i_max", False, 0.0),
     ("info.T_fb", NAN, NAN), ("inp.ControlType", 6, 6.0)],
)
def test_read_path_gives_floats(act, twin, path, value, want):
    group, name = path.split(".")
    setattr(getattr(twin, group), name, value)
    got = act._read_path(path)
    assert type(got) is float and ((math.isnan(got) and math.isnan(want)) or got == want)


def test_paths_walk_any_depth(act, twin):
    twin.extra = Struct(inner=Struct(value=4))
    assert act._read_path("extra.inner.value") == 4.0
    act._write_path("extra.inner.value", 5)
    assert twin.extra.inner.value == 5.0
    twin.scalar = 7
    assert act._read_path("scalar") == 7.0
    act._write_path("new_attr", 1)
    assert twin.new_attr == 1.0


def test_write_path_stores_floats(act, twin):
    act._write_path("lim.lim_T", 2)
    assert twin.lim.lim_T == 2.0 and type(twin.lim.lim_T) is float
    assert act._read_path("lim.lim_T") == 2.0
    act._write_path("lim.brand_new", True)
    assert twin.lim.brand_new == 1.0 and type(twin.lim.brand_new) is float


@pytest.mark.parametrize("path", ["lim.no_such_field", "nothing.lim_T", "lim..lim_T", "", "lim.", ".lim"])
def test_read_missing_path_parts(act, path):
    with pytest.raises(AttributeError):
        act._read_path(path)


@pytest.mark.parametrize("path", ["nothing.lim_T", "lim..lim_T", "a.b.c"])
def test_write_missing_intermediate_part(act, twin, path):
    before = dict(twin.lim.__dict__)
    with pytest.raises(AttributeError):
        act._write_path(path, 1.0)
    assert twin.lim.__dict__ == before


def test_read_of_a_whole_structure(act):
    with pytest.raises(TypeError):
        act._read_path("info")


@pytest.mark.parametrize("bad", [None, 1, b"lim.lim_T"])
def test_path_must_be_text(act, bad):
    with pytest.raises(TypeError, match=r"^Argument 'path' has incorrect type \(expected str, got "):
        act._read_path(bad)
    with pytest.raises(TypeError, match=r"^Argument 'path' has incorrect type \(expected str, got "):
        act._write_path(bad, 1.0)


def test_path_subclass_refused(act):
    class S(str):
        pass

    with pytest.raises(TypeError, match=r"expected str, got S\)$"):
        act._read_path(S("lim.lim_T"))


@pytest.mark.parametrize("bad", ["2.0", "nan", None, [1]])
def test_write_value_must_be_a_number(act, twin, bad):
    with pytest.raises(TypeError):
        act._write_path("lim.lim_T", bad)
    assert twin.lim.lim_T == 0.0


def test_value_checked_before_the_twin():
    a = KavrelActuatorVirtual()
    with pytest.raises(TypeError):
        a._write_path("lim.lim_T", "x")
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        a._write_path("lim.lim_T", 1.0)
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        a._read_path("lim.lim_T")


@pytest.mark.parametrize("op", ["get_info", "get_motor_state", "get_measurements", "get_debug_flags", "has_errors"])
def test_dumps_need_a_twin(op):
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        getattr(KavrelActuatorVirtual(), op)()


@pytest.mark.parametrize("op, group, names", [("get_info", "info", INFO_FIELDS),
                                              ("get_motor_state", "motor", MOTOR_FIELDS)])
def test_float_dumps(op, group, names):
    values = {f"{group}.{n}": k for k, n in enumerate(names)}
    values[f"{group}.{names[1]}"] = NAN
    a = KavrelActuatorVirtual(fake_twin(values=values))
    d = getattr(a, op)()
    assert list(d) == list(names) and len(d) == {"info": 14, "motor": 23}[group]
    assert all(type(v) is float for v in d.values())
    assert d[names[2]] == 2.0 and math.isnan(d[names[1]])
    assert getattr(a, op)() is not d


def test_measurements_dump():
    values = {"meas.turn": 3.9, "meas.turn2": -2.9, "meas.T": 1, "meas.pos": 0.5}
    d = KavrelActuatorVirtual(fake_twin(values=values)).get_measurements()
    assert list(d) == list(MEAS_FIELDS)
    assert d["turn"] == 3 and type(d["turn"]) is int and d["turn2"] == -2 and type(d["turn2"]) is int
    assert d["T"] == 1.0 and type(d["T"]) is float and d["pos"] == 0.5
    assert all(type(d[n]) is float for n in MEAS_FIELDS[2:])


def test_debug_flags_and_has_errors(act, twin):
    d = act.get_debug_flags()
    assert list(d) == list(DEBUG_FIELDS) and all(v is False for v in d.values())
    assert act.has_errors() is False
    for flag in DEBUG_FIELDS:
        setattr(twin.debug, flag, 2)
        assert act.get_debug_flags()[flag] is True and act.has_errors() is True
        setattr(twin.debug, flag, 0)
    assert act.has_errors() is False


def test_has_errors_dispatches_through_the_instance():
    class Custom(KavrelActuatorVirtual):
        def get_debug_flags(self):
            return {"x": 0, "y": 1}

    assert Custom(RecordingTwin()).has_errors() is True


@pytest.mark.parametrize("op, field", [("get_info", "info.vq_ref"), ("get_motor_state", "motor.m_vq"),
                                       ("get_measurements", "meas.spd2"), ("get_debug_flags", "debug.spd_ref_min")])
def test_dump_with_a_missing_field(op, field):
    with pytest.raises(AttributeError):
        getattr(KavrelActuatorVirtual(fake_twin(omit=(field,))), op)()


def test_paths_and_dumps_on_the_reference_twin(ref_twin):
    a = KavrelActuatorVirtual(ref_twin)
    a._write_path("lim.lim_T", 2)
    assert ref_twin.lim.lim_T == 2.0 and a._read_path("lim.lim_T") == 2.0
    assert a._read_path("meas.turn") == float(ref_twin.meas.turn)
    info = a.get_info()
    assert set(info) == set(INFO_FIELDS) and info["T_fb"] == float(ref_twin.info.T_fb)
    m = a.get_measurements()
    assert type(m["turn"]) is int and type(m["pos"]) is float
    assert a.has_errors() is False
    assert a.get_debug_flags() == {n: bool(getattr(ref_twin.debug, n)) for n in DEBUG_FIELDS}
    with pytest.raises(AttributeError):
        a._read_path("lim.no_such")
    with pytest.raises(TypeError):
        a._write_path("lim.lim_T", "3")
    assert ref_twin.lim.lim_T == 2.0


# ---- numeric helpers ----------------------------------------------------------------------------


@pytest.mark.parametrize("value, want", [(0, 1.0), (0.0, 1.0), (-0.0, 1.0), (2, 2.0), (False, 1.0), (True, 1.0),
                                         (-3.5, -3.5), (math.inf, math.inf), (NAN, NAN)])
def test_safe_divisor(value, want):
    got = KavrelActuatorVirtual._safe_divisor(value)
    assert type(got) is float and ((math.isnan(got) and math.isnan(want)) or got == want)
    if want == 1.0:
        assert math.copysign(1.0, got) == 1.0


@pytest.mark.parametrize("value, want", [(NAN, True), (0, False), (math.inf, False), (True, False),
                                         (float("-nan"), True)])
def test_is_nan(value, want):
    assert KavrelActuatorVirtual._is_nan(value) is want


@pytest.mark.parametrize("op", ["_is_nan", "_safe_divisor"])
@pytest.mark.parametrize("bad", [None, "nan", "0"])
def test_numeric_helpers_refuse_non_numbers(op, bad):
    with pytest.raises(TypeError):
        getattr(KavrelActuatorVirtual, op)(bad)


@pytest.mark.parametrize("value, want", [(None, 0.0), (False, 0.0), (0, 0.0), (3, 1.0), ("x", 1.0), ([], 0.0),
                                         (NAN, 1.0)])
def test_bool_to_float(value, want):
    got = KavrelActuatorVirtual._bool_to_float(value)
    assert got == want and type(got) is float


def test_bool_to_float_passes_truth_errors():
    class Bad:
        def __bool__(self):
            raise RuntimeError("no truth")

    with pytest.raises(RuntimeError, match="no truth"):
        KavrelActuatorVirtual._bool_to_float(Bad())


def test_helpers_are_static():
    a = KavrelActuatorVirtual()
    assert a._safe_divisor(0) == 1.0 and a._is_nan(NAN) and a._bool_to_float(1) == 1.0
