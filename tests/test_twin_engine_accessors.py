"""Digital-twin engine: control accessors, identity strings and the time step,
on twins with and without the optional fields and globals."""

import ctypes
import math

import pytest

import vkl_api._twin_engine as te
from twins_build import build_twin

AW = te.ActuatorWrapper


@pytest.fixture(scope="module")
def twins(tmp_path_factory):
    root = tmp_path_factory.mktemp("acc")
    return {
        "full": build_twin(root / "full", "FULL"),
        "reduced": build_twin(root / "reduced", "RED", optional_fields=False, filter_global=False,
                              motor_model=None, submodule_commits=None),
    }


@pytest.fixture
def make(twins, wrappers):
    def make(kind="full", **options):
        if options:
            paths = build_twin(options.pop("tmp"), "VAR", **options)
        else:
            paths = twins[kind]
        return wrappers(*paths)

    return make


def type_error(name, expected, got):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


# ---- gains -----------------------------------------------------------------------------------------------


@pytest.mark.parametrize("setter, getter, fields", [
    ("set_speed_gains", "get_speed_gains", ("spd_Kp", "spd_Ki")),
    ("set_current_gains", "get_current_gains", ("id_Kp", "id_Ki")),
])
def test_gain_pairs_round_trip_and_convert_before_writing(make, setter, getter, fields):
    w = make()
    getattr(w, setter)(2, ki=True)
    assert getattr(w, getter)() == (2.0, 1.0) and type(getattr(w, getter)()) is tuple
    assert (getattr(w.pid, fields[0]), getattr(w.pid, fields[1])) == (2.0, 1.0)
    with pytest.raises(TypeError):
        getattr(w, setter)(5.0, "0.1")
    assert getattr(w, getter)() == (2.0, 1.0)


def test_position_gain(make):
    w = make()
    w.set_position_kp(kp=12)
    assert w.get_position_kp() == 12.0 == w.pid.pos_Kp
    with pytest.raises(TypeError):
        w.set_position_kp(None)


@pytest.mark.parametrize("kind", ["full", "reduced"])
def test_feedforward_gain_with_and_without_the_twin_field(make, kind):
    w = make(kind)
    assert w.get_feedforward_gain() == 0.0
    w.set_feedforward_gain(0.7)
    assert w._feedforward_gain == 0.7 and w.get_feedforward_gain() == 0.7
    if kind == "full":
        w.pid.FF_gain = 0.25  # the twin's own value wins
        assert w.get_feedforward_gain() == 0.25
    else:
        assert not hasattr(w.pid, "FF_gain")


# ---- address, control type, enable -------------------------------------------------------------------------


def test_address_is_kept_by_the_wrapper(make):
    w = make()
    assert w.get_address() is None and w.address is None
    for value, stored in ((16, 16), (16.9, 16), (True, 1)):
        w.set_address(value)
        assert w.get_address() == stored == w.address and type(w.address) is int
    with pytest.raises(TypeError) as e:
        w.set_address("16")
    assert str(e.value) == type_error("address", "int", "str")
    with pytest.raises(AttributeError):
        w.address = 3


def test_control_type_and_enable(make):
    w = make()
    w.set_control_type(8.0)
    assert w.inp.ControlType == 8
    with pytest.raises(TypeError) as e:
        w.set_control_type(None)
    assert str(e.value) == type_error("control_type", "int", "NoneType")
    w.set_enable(1)
    assert w.inp.Enable is True
    w.set_enable(0)
    assert w.inp.Enable is False
    w.MOTOR_ON = 0  # read through the instance
    w.set_enable("yes")
    assert w.inp.Enable is False


# ---- impedance ---------------------------------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["full", "reduced"])
def test_impedance_terms(make, kind):
    w = make(kind)
    w.imp.T_FF = 3.0
    w.set_impedance_gains(1.5, 0.2)
    assert (w.imp.K_stiff, w.imp.K_damp, w.imp.T_FF) == (1.5, 0.2, 0.0)
    w.set_stiffness(4)
    w.set_damping(k_damp=0.3)
    w.set_impedance_inertia(0.01)
    gains = w.get_impedance_gains()
    assert list(gains) == ["k_stiff", "k_damp", "t_ff", "j_imp"]
    assert gains["k_stiff"] == 4.0 and gains["k_damp"] == 0.3
    if kind == "full":
        assert gains["j_imp"] == 0.01 == w.imp.J_imp
    else:
        assert math.isnan(gains["j_imp"])
    with pytest.raises(TypeError):
        w.set_impedance_gains(1.0, 2.0, "3")
    assert w.imp.K_stiff == 4.0


@pytest.mark.parametrize("kind", ["full", "reduced"])
def test_torque_feedforward(make, kind):
    w = make(kind)
    w.set_torque_feedforward(0.3)
    assert w._reference_feedforward_torque == 0.3 and w.imp.T_FF == 0.3
    if kind == "full":
        assert w.inp.ref_ff_torque == 0.3
    # set_impedance_gains leaves the cached reference alone.
    w.set_impedance_gains(1.0, 1.0, 0.9)
    assert w._reference_feedforward_torque == 0.3


def test_impedance_references(make):
    w = make()
    w.set_impedance_references(acceleration_reference=2)
    assert (w._impedance_speed_reference, w._impedance_acceleration_reference) == (0.0, 2.0)
    assert (w.inp.ref_impedance_spd, w.inp.ref_impedance_acel) == (0.0, 2.0)
    w.set_impedance_references()
    assert (w.inp.ref_impedance_spd, w.inp.ref_impedance_acel) == (0.0, 2.0)
    with pytest.raises(TypeError) as e:
        w.set_impedance_references("1.0", 5.0)
    assert str(e.value) == type_error("speed_reference", "float", "str")
    with pytest.raises(TypeError) as e:
        w.set_impedance_references(5.0, [1])
    assert str(e.value) == type_error("acceleration_reference", "float", "list")
    assert (w._impedance_speed_reference, w._impedance_acceleration_reference) == (0.0, 2.0)
    w.set_impedance_references(1.5, None)
    assert (w.inp.ref_impedance_spd, w.inp.ref_impedance_acel) == (1.5, 2.0)


def test_impedance_references_without_ports_are_only_cached(make):
    w = make("reduced")
    w.set_impedance_references(1.0, 2.0)
    assert (w._impedance_speed_reference, w._impedance_acceleration_reference) == (1.0, 2.0)
    assert not hasattr(w.inp, "ref_impedance_spd")


# ---- filter cut-offs -----------------------------------------------------------------------------------------


def test_filter_cutoffs_on_the_twin_global(make):
    w = make()
    assert w.get_filter_cutoffs() == {"speed_cutoff": 1000.0, "current_cutoff": 5000.0}
    w.set_filter_cutoffs(current_cutoff=2500)
    assert w.get_filter_cutoffs() == {"speed_cutoff": 1000.0, "current_cutoff": 2500.0}
    w.set_filter_cutoffs(speed_cutoff=300.0)
    assert (w.filter.spd_cutoff, w.filter.current_cutoff) == (300.0, 2500.0)
    with pytest.raises(TypeError) as e:
        w.set_filter_cutoffs(10.0, "x")
    assert str(e.value) == type_error("current_cutoff", "float", "str")
    assert w.filter.spd_cutoff == 300.0


def test_filter_cutoffs_without_the_global_or_a_field(make, tmp_path):
    w = make("reduced")
    assert w.filter is None
    w.set_filter_cutoffs(1.0, 2.0)
    cut = w.get_filter_cutoffs()
    assert list(cut) == ["speed_cutoff", "current_cutoff"] and all(math.isnan(v) for v in cut.values())

    class Partial:
        spd_cutoff = 7

    w.filter = Partial()
    w.set_filter_cutoffs(speed_cutoff=3.0, current_cutoff=4.0)
    cut = w.get_filter_cutoffs()
    assert cut["speed_cutoff"] == 3.0 and math.isnan(cut["current_cutoff"]) and not hasattr(w.filter, "current_cutoff")


def test_missing_required_field_raises_attribute_error(make):
    w = make()

    class NoGains:
        pass

    w.pid = NoGains()
    with pytest.raises(AttributeError):
        w.get_position_kp()
    with pytest.raises(AttributeError):
        w.get_speed_gains()


# ---- identity strings ---------------------------------------------------------------------------------------


LONG = "A" * 1030
TEXTS = {
    # library symbol text (bytes or str) -> decoded result
    "plain": ("Motor 1", "Motor 1"),
    "text then NUL then junk": (b"M2\x00\xff\xfejunk", "M2"),
    "first byte NUL": (b"\x00hidden", "unknown"),
    "no NUL within 1024 bytes": (LONG, "A" * 1024),
    "tab, line feed, carriage return": ("a\tb\nc\rd", "a\tb\nc\rd"),
    "escape character": ("a\x1bb", "unknown"),
    "no-break space": ("a\u00a0b", "unknown"),
    "not UTF-8": (b"\xff", "unknown"),
    "non-ASCII printable": ("Motör Ω", "Motör Ω"),
}


@pytest.mark.parametrize("case", TEXTS)
def test_text_globals_read_from_the_library(make, tmp_path, case):
    raw, expected = TEXTS[case]
    w = make(tmp=tmp_path, motor_model=raw, submodule_commits=raw)
    assert w.get_motor_model() == expected
    assert w.get_submodule_commits() == expected == w.get_dtwin_version()


@pytest.mark.parametrize("attribute, expected", [
    ("'Text \\x01 kept'", "Text \x01 kept"),
    ("''", ""),
    ("b'bytes\\x00rest'", "bytes"),
    ("bytearray(b'array')", "array"),
    ("(ctypes.c_char * 8)(*b'carray')", "carray"),
    ("(ctypes.c_ubyte * 3)(65, 66, 67)", "ABC"),
    ("ctypes.c_char_p(b'pointer')", "pointer"),
    ("ctypes.c_char_p()", "unknown"),
    ("b'\\x1b'", "unknown"),
    ("42", "from library"),
    ("None", "from library"),
])
def test_text_globals_in_the_bindings_module(make, tmp_path, attribute, expected):
    w = make(tmp=tmp_path, motor_model="from library", bindings_append=f"MOTOR_MODEL = {attribute}\n")
    assert w.get_motor_model() == expected


def test_text_globals_absent_everywhere(make):
    w = make("reduced")
    assert w.get_motor_model() == "unknown" == w.get_submodule_commits() == w.get_dtwin_version()
    del w._lib._dll
    assert w.get_motor_model() == "unknown"


def test_text_global_lookups_are_not_cached_and_check_their_argument(make):
    w = make()
    assert w.get_motor_model().startswith("VKL-REF-PMSM")
    w._lib.MOTOR_MODEL = "replaced"
    assert w.get_motor_model() == "replaced"
    with pytest.raises(TypeError) as e:
        w._decode_optional_c_string(b"MOTOR_MODEL")
    assert str(e.value) == type_error("symbol_name", "str", "bytes")
    with pytest.raises(TypeError):
        w.get_motor_model("extra")
    assert AW._decode_c_string_bytes(3.5) == "unknown" and w._decode_c_string_bytes(b"ok") == "ok"
    assert AW._decode_c_string_bytes(object()) == "unknown"


# ---- time step -------------------------------------------------------------------------------------------------


TIME_STEPS = {
    # build options -> expected step
    "nothing stated": (dict(), 5e-05),
    "library function": (dict(export_time_step=True, time_step_s=0.001), 0.001),
    "bindings callable": (dict(bindings_append="get_sim_time_step_s = lambda: 1\n"), 1.0),
    "bindings None, library function": (
        dict(export_time_step=True, time_step_s=0.002, bindings_append="get_sim_time_step_s = None\n"), 0.002),
    "declared with another result type": (
        dict(export_time_step=True, time_step_s=0.004,
             bindings_append="get_sim_time_step_s = ctypes.CFUNCTYPE(ctypes.c_int)()\n"), 0.004),
    "declared, not exported": (
        dict(bindings_append="get_sim_time_step_s = ctypes.CFUNCTYPE(ctypes.c_double)()\n"), 5e-05),
}


@pytest.mark.parametrize("case", TIME_STEPS)
def test_time_step_lookup(make, tmp_path, case):
    options, expected = TIME_STEPS[case]
    w = make(tmp=tmp_path, **options)
    value = w.get_sim_time_step_s()
    assert value == expected and type(value) is float
    getter = getattr(w._lib, "get_sim_time_step_s", None) or getattr(w._lib._dll, "get_sim_time_step_s", None)
    if isinstance(getter, ctypes._CFuncPtr) and ctypes.cast(getter, ctypes.c_void_p).value:
        assert getter.restype is ctypes.c_double and getter.argtypes == []


def test_time_step_getter_that_is_not_callable_or_fails(make, tmp_path):
    w = make(tmp=tmp_path, bindings_append="get_sim_time_step_s = 0.5\n")
    with pytest.raises(TypeError):
        w.get_sim_time_step_s()
    with pytest.raises(TypeError):
        w.initialize()
    assert w._initialized is False

    def boom():
        raise KeyError("no step")

    w._lib.get_sim_time_step_s = boom
    with pytest.raises(KeyError):
        w.get_sim_time_step_s()
    w._lib.get_sim_time_step_s = lambda: "0.25"
    assert w.get_sim_time_step_s() == 0.25
