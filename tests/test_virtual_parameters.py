"""Simulated actuator: the parameter table, the stored parameters, presets, CAN speed, filter
cut-offs and the grouped dump."""

import math

import pytest

from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual
from virtual_support import NOT_CONFIGURED, fake_twin, RecordingTwin, ref_paths, ref_twin

P = KavrelActuatorVirtual.VKL_Parameters
M = KavrelActuatorVirtual.Mode
TP = KavrelActuatorVirtual.TorquePerformance
SP = KavrelActuatorVirtual.SpeedPerformance
NAN = math.nan

PATHS = {
    P.K_DAMPING: "imp.K_damp", P.K_STIFFNESS: "imp.K_stiff", P.TORQUE_FF: "imp.T_FF", P.LIM_TORQUE: "lim.lim_T",
    P.LIM_POSITION_MAX: "lim.lim_pos_max", P.LIM_POSITION_MIN: "lim.lim_pos_min",
    P.LIM_SPEED_MAX: "lim.lim_spd_max", P.LIM_SPEED_MIN: "lim.lim_spd_min",
    P.PROFILE_POSITION_MAX: "lim.prof_pos_max", P.PROFILE_POSITION_MIN: "lim.prof_pos_min",
    P.PROFILE_SPEED_MAX: "lim.prof_spd_max", P.PROFILE_SPEED_MIN: "lim.prof_spd_min",
    P.KP_SPEED: "pid.spd_Kp", P.KI_SPEED: "pid.spd_Ki", P.KP_POSITION: "pid.pos_Kp",
}
STORED = [P.PROFILE_SPEED_MAX_RAD_S, P.PROFILE_TORQUE_MAX_NM, P.INVERT_FLAG, P.FIRMWARE_VERSION, P.SERIAL_NUMBER,
          P.DEVICE_MODEL, P.CONTROL_VERSION]


def same(a, b):
    return (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b)) or a == b


def test_path_table():
    assert KavrelActuatorVirtual._PARAMETER_PATHS == PATHS
    assert list(KavrelActuatorVirtual._PARAMETER_PATHS) == list(PATHS)


@pytest.mark.parametrize("param, path", list(PATHS.items()))
def test_path_parameters_write_and_read_the_twin(param, path):
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(twin)
    a.set_parameters({param: 3})
    group, name = path.split(".")
    assert getattr(getattr(twin, group), name) == 3.0 and type(getattr(getattr(twin, group), name)) is float
    assert a.get_parameters([param]) == {param: 3.0}
    setattr(getattr(twin, group), name, 7)
    got = a._get_parameter_value(param)
    assert got == 7.0 and type(got) is float
    assert twin.calls == []


def test_path_parameters_need_a_twin():
    a = KavrelActuatorVirtual()
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        a.set_parameters({P.LIM_TORQUE: 1.0})
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        a.get_parameters([P.KP_SPEED])
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        a.get_parameters_all()


def test_new_actuator_values_of_the_twinless_parameters():
    a = KavrelActuatorVirtual()
    got = a.get_parameters([p for p in P if p not in PATHS])
    want = {
        P.MODE: 7.0, P.SETPOINT: 0.0, P.TORQUE_PERFORMANCE: 2.0, P.SPEED_PERFORMANCE: 2.0,
        P.PROFILE_SPEED_MAX_RAD_S: NAN, P.PROFILE_TORQUE_MAX_NM: NAN, P.INVERT_FLAG: 0.0, P.FF_GAIN: NAN,
        P.VKL_PARAM_SPEED_CUTOFF: NAN, P.VKL_PARAM_CURRENT_CUTOFF: NAN, P.FIRMWARE_VERSION: NAN,
        P.VKL_ADDRESS: NAN, P.SERIAL_NUMBER: NAN, P.DEVICE_MODEL: NAN, P.CONTROL_VERSION: NAN,
        P.CAN_HIGH_SPEED: 0.0,
    }
    assert list(got) == list(want)
    for k in want:
        assert same(got[k], want[k]) and type(got[k]) is float, k


def test_get_parameters_all_in_enumeration_order(ref_twin):
    a = KavrelActuatorVirtual(ref_twin, 0x10)
    got = a.get_parameters_all()
    assert list(got) == list(P) and len(got) == 31
    assert got[P.VKL_ADDRESS] == 16.0 and got[P.MODE] == 7.0
    assert all(type(v) is float for v in got.values())


def test_get_parameters_all_dispatches_through_the_instance():
    seen = []

    class Spy(KavrelActuatorVirtual):
        def get_parameters(self, parameters, timeout=1.0):
            seen.append((list(parameters), timeout))
            return {"spy": True}

    assert Spy().get_parameters_all() == {"spy": True}
    assert seen == [(list(P), 1.0)]


@pytest.mark.parametrize("param", STORED)
def test_stored_parameters_change_nothing_else(param):
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(twin)
    a.set_parameters({param: 4})
    assert a.get_parameters([param]) == {param: 4.0}
    assert a._tracked_numeric_values[param] == 4.0 and type(a._tracked_numeric_values[param]) is float
    assert twin.calls == [] and a._mode is M.POSITION and a._setpoint == 0.0


@pytest.mark.parametrize(
    "value, mode, read",
    [(6.9, M.SPEED, 6.0), (5, M.TORQUE, 5.0), (8.0, M.IMPEDANCE, 8.0), (2, M.FVI, 2.0)],
)
def test_mode_parameter(value, mode, read):
    a = KavrelActuatorVirtual()
    a.set_parameters({P.MODE: value})
    assert a._mode is mode and a._current_mode is mode and a.get_parameters([P.MODE]) == {P.MODE: read}


@pytest.mark.parametrize("value, exc", [(1.0, ValueError), (0, ValueError), (-7.9, ValueError), (NAN, ValueError),
                                       (math.inf, OverflowError)])
def test_mode_parameter_refusals(value, exc):
    a = KavrelActuatorVirtual()
    with pytest.raises(exc):
        a.set_parameters({P.MODE: value})
    assert a._mode is M.POSITION


def test_mode_parameter_on_a_running_twin():
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(twin)
    a.connect()
    a.step()
    twin.calls.clear()
    a.set_parameters({P.MODE: 6})
    assert twin.calls == [("set_control_type", 6)]


def test_setpoint_parameter_only_stores():
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(twin)
    a.set_parameters({P.SETPOINT: 2})
    assert a._setpoint == 2.0 and type(a._setpoint) is float and a._mode is M.POSITION
    assert a.get_parameters([P.SETPOINT]) == {P.SETPOINT: 2.0} and twin.calls == []


@pytest.mark.parametrize(
    "param, attr, value, member",
    [(P.TORQUE_PERFORMANCE, "_torque_performance", 3.7, TP.SOFT),
     (P.SPEED_PERFORMANCE, "_speed_performance", 4, SP.CUSTOM),
     (P.SPEED_PERFORMANCE, "_speed_performance", 1.0, SP.AGGRESSIVE)],
)
def test_preset_parameters(param, attr, value, member):
    a = KavrelActuatorVirtual()
    a.set_parameters({param: value})
    assert getattr(a, attr) is member
    assert a.get_parameters([param]) == {param: float(member.value)}


@pytest.mark.parametrize("param, value", [(P.TORQUE_PERFORMANCE, 4), (P.SPEED_PERFORMANCE, 0)])
def test_preset_parameter_out_of_range(param, value):
    with pytest.raises(ValueError):
        KavrelActuatorVirtual().set_parameters({param: value})


def test_preset_setters_store_unchanged():
    a = KavrelActuatorVirtual(RecordingTwin())
    a.set_torque_performance(TP.SOFT)
    a.set_speed_performance(SP.CUSTOM)
    assert a.get_parameters([P.TORQUE_PERFORMANCE, P.SPEED_PERFORMANCE]) == {
        P.TORQUE_PERFORMANCE: 3.0, P.SPEED_PERFORMANCE: 4.0}
    a.set_torque_performance("fast")
    assert a._torque_performance == "fast"
    with pytest.raises(AttributeError):
        a.get_parameters([P.TORQUE_PERFORMANCE])
    assert a.actuator.calls == []


@pytest.mark.parametrize("value, flag, read", [(0.5, True, 1.0), (0, False, 0.0), (NAN, True, 1.0), (-2, True, 1.0)])
def test_can_high_speed_parameter(value, flag, read):
    a = KavrelActuatorVirtual()
    a.set_parameters({P.CAN_HIGH_SPEED: value})
    assert a.can_high_speed is flag and a.get_parameters([P.CAN_HIGH_SPEED]) == {P.CAN_HIGH_SPEED: read}


def test_set_can_high_speed_uses_truth():
    a = KavrelActuatorVirtual()
    a.set_can_high_speed("yes")
    assert a.can_high_speed is True and a._tracked_numeric_values[P.CAN_HIGH_SPEED] == 1.0
    a.set_can_high_speed([])
    assert a.can_high_speed is False and a._tracked_numeric_values[P.CAN_HIGH_SPEED] == 0.0


def test_address_parameter():
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(twin)
    assert math.isnan(a.get_parameters([P.VKL_ADDRESS])[P.VKL_ADDRESS])
    a.set_parameters({P.VKL_ADDRESS: 32.9})
    assert a.address == 32 and twin.calls == [("set_address", 32)]
    assert a.get_parameters([P.VKL_ADDRESS]) == {P.VKL_ADDRESS: 32.0}
    with pytest.raises(ValueError, match=r"^Invalid new address 5\. Address must be between 0x10 and 0x3FFE\.$"):
        a.set_parameters({P.VKL_ADDRESS: 5})
    with pytest.raises(ValueError):
        a.set_parameters({P.VKL_ADDRESS: NAN})
    assert a.address == 32


def test_feedforward_gain_parameter():
    a = KavrelActuatorVirtual()
    a.set_parameters({P.FF_GAIN: 2})
    assert a.get_parameters([P.FF_GAIN]) == {P.FF_GAIN: 2.0}
    twin = RecordingTwin()
    a.actuator = twin
    a.set_parameters({P.FF_GAIN: 0.5})
    assert twin.calls == [("set_feedforward_gain", 0.5)]
    assert a.get_parameters([P.FF_GAIN]) == {P.FF_GAIN: 0.5} and twin.calls[-1] == ("get_feedforward_gain",)


def test_integer_keys_are_stored_not_matched():
    a = KavrelActuatorVirtual()
    a.set_parameters({70: 5})
    assert a._tracked_numeric_values[70] == 5.0
    assert math.isnan(a._get_filter_cutoff("speed_cutoff"))
    assert 70 not in KavrelActuatorVirtual._TRACKED_NUMERIC_DEFAULTS
    got = a.get_parameters([70, 999, "x"])
    assert got[70] == 5.0 and math.isnan(got[999]) and math.isnan(got["x"])
    with pytest.raises(TypeError):
        a.get_parameters([[1]])


def test_repeated_items_give_one_key():
    a = KavrelActuatorVirtual()
    assert list(a.get_parameters([P.MODE, P.SETPOINT, P.MODE])) == [P.MODE, P.SETPOINT]


def test_set_parameters_stops_at_the_first_error():
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(twin)
    with pytest.raises(TypeError):
        a.set_parameters({P.SETPOINT: 1.0, P.LIM_TORQUE: "2", P.INVERT_FLAG: 1.0})
    assert a._setpoint == 1.0 and twin.lim.lim_T == 0.0 and a._tracked_numeric_values[P.INVERT_FLAG] == 0.0


@pytest.mark.parametrize(
    "call, name",
    [(lambda a: a.set_parameters([(P.SETPOINT, 1.0)]), "parameters"),
     (lambda a: a.get_parameters((P.SETPOINT,)), "parameters"),
     (lambda a: a._get_filter_cutoff(1), "key")],
)
def test_argument_types_named(call, name):
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type"):
        call(KavrelActuatorVirtual())


def test_get_parameters_timeout_must_be_a_number():
    with pytest.raises(TypeError):
        KavrelActuatorVirtual().get_parameters([P.MODE], timeout="x")
    assert KavrelActuatorVirtual().get_parameters([P.MODE], timeout=0) == {P.MODE: 7.0}


# ---- filter cut-offs --------------------------------------------------------------------------


def test_cutoffs_without_filter_operations_read_back_the_store():
    twin = fake_twin(omit=("set_filter_cutoffs", "get_filter_cutoffs"))
    a = KavrelActuatorVirtual(twin)
    a.set_parameters({P.VKL_PARAM_SPEED_CUTOFF: 100})
    assert a.get_parameters([P.VKL_PARAM_SPEED_CUTOFF]) == {P.VKL_PARAM_SPEED_CUTOFF: 100.0}
    assert math.isnan(a.get_parameters([P.VKL_PARAM_CURRENT_CUTOFF])[P.VKL_PARAM_CURRENT_CUTOFF])
    f = a.get_all_parameters()["filter"]
    assert list(f) == ["speed_cutoff", "current_cutoff"]
    assert f["speed_cutoff"] == 100.0 and math.isnan(f["current_cutoff"])


def test_cutoffs_with_twin_operations():
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(twin)
    a.set_parameters({P.VKL_PARAM_CURRENT_CUTOFF: 500})
    assert twin.calls == [("set_filter_cutoffs", {"speed_cutoff": None, "current_cutoff": 500.0})]
    assert a._tracked_numeric_values[P.VKL_PARAM_CURRENT_CUTOFF] == 500.0
    a._set_filter_cutoff(speed_cutoff=50, current_cutoff=None)
    assert twin.calls[-1] == ("set_filter_cutoffs", {"speed_cutoff": 50.0, "current_cutoff": None})
    twin._cutoffs["speed_cutoff"] = 77.0
    assert a.get_parameters([P.VKL_PARAM_SPEED_CUTOFF]) == {P.VKL_PARAM_SPEED_CUTOFF: 77.0}
    twin._cutoffs["current_cutoff"] = NAN
    assert a._get_filter_cutoff("current_cutoff") == 500.0  # NaN from the twin: the stored value
    assert math.isnan(a.get_all_parameters()["filter"]["current_cutoff"])  # the dump shows the twin's NaN
    assert a._get_filter_cutoff("anything") == 500.0
    with pytest.raises(TypeError):
        a._set_filter_cutoff(speed_cutoff="1")


def test_cutoff_key_missing_from_the_twin_answer():
    twin = fake_twin(get_filter_cutoffs=lambda self: {})
    a = KavrelActuatorVirtual(twin)
    a._tracked_numeric_values[P.VKL_PARAM_SPEED_CUTOFF] = 9.0
    assert a._get_filter_cutoff("speed_cutoff") == 9.0


def test_cutoffs_without_a_twin():
    a = KavrelActuatorVirtual()
    a._set_filter_cutoff(speed_cutoff=10.0)
    assert a._get_filter_cutoff("speed_cutoff") == 10.0
    a._set_filter_cutoff()
    assert a._get_filter_cutoff("speed_cutoff") == 10.0


# ---- grouped dump ------------------------------------------------------------------------------


def test_get_all_parameters_groups_and_keys():
    twin = RecordingTwin()
    twin.pid.pos_Kp, twin.pid.pos_Ki, twin.pid.pos_Kd, twin.pid.FF_gain = 3, 0.1, 0.01, 0.7
    twin.imp.J_imp = 0.002
    twin.lim.lim_T, twin.lim.prof_spd_min = 4.0, -3
    d = KavrelActuatorVirtual(twin).get_all_parameters()
    assert list(d) == ["pid", "impedance", "limits", "profile", "filter"]
    assert list(d["pid"]) == ["pos_kp", "pos_ki", "pos_kd", "spd_kp", "spd_ki", "id_kp", "id_ki", "ff_gain"]
    assert d["pid"] == {"pos_kp": 3.0, "pos_ki": 0.1, "pos_kd": 0.01, "spd_kp": 1.0, "spd_ki": 0.2, "id_kp": 0.5,
                        "id_ki": 50.0, "ff_gain": 0.7}
    assert d["impedance"] == {"k_stiff": 10.0, "k_damp": 0.1, "t_ff": 0.25, "j_imp": 0.002}
    assert list(d["limits"]) == ["lim_T", "lim_pos_max", "lim_pos_min", "lim_spd_max", "lim_spd_min"]
    assert list(d["profile"]) == ["prof_pos_max", "prof_pos_min", "prof_spd_max", "prof_spd_min"]
    assert d["limits"]["lim_T"] == 4.0 and d["profile"]["prof_spd_min"] == -3.0
    assert all(type(v) is float for g in ("pid", "impedance", "limits", "profile") for v in d[g].values())
    assert list(d["filter"]) == ["speed_cutoff", "current_cutoff"]
    assert all(math.isnan(v) for v in d["filter"].values())
    assert twin.names() == ["get_filter_cutoffs"]


def test_get_all_parameters_optional_fields_absent():
    twin = fake_twin(omit=("pid.pos_Ki", "pid.pos_Kd", "imp.J_imp", "pid.FF_gain"))
    a = KavrelActuatorVirtual(twin)
    a._tracked_numeric_values[P.FF_GAIN] = 0.4
    d = a.get_all_parameters()
    assert math.isnan(d["pid"]["pos_ki"]) and math.isnan(d["pid"]["pos_kd"]) and math.isnan(d["impedance"]["j_imp"])
    assert d["pid"]["ff_gain"] == 0.4 and len(d) == 5


def test_get_all_parameters_filter_group_is_the_twin_dict():
    answer = {"speed_cutoff": 1.0, "current_cutoff": 2.0, "extra": "x"}
    a = KavrelActuatorVirtual(fake_twin(get_filter_cutoffs=lambda self: answer))
    assert a.get_all_parameters()["filter"] is answer


@pytest.mark.parametrize("field", ["pid.pos_Kp", "imp.T_FF", "lim.prof_pos_min"])
def test_get_all_parameters_required_field_missing(field):
    with pytest.raises(AttributeError):
        KavrelActuatorVirtual(fake_twin(omit=(field,))).get_all_parameters()


def test_get_all_parameters_needs_a_twin():
    with pytest.raises(ValueError, match=NOT_CONFIGURED):
        KavrelActuatorVirtual().get_all_parameters()


def test_feedforward_on_the_reference_twin(ref_twin):
    a = KavrelActuatorVirtual(ref_twin)
    has_field = hasattr(ref_twin.pid, "FF_gain")
    before = a.get_parameters([P.FF_GAIN])[P.FF_GAIN]
    assert before == ref_twin.get_feedforward_gain()
    if not has_field:
        assert math.isnan(a.get_all_parameters()["pid"]["ff_gain"])
    a.set_parameters({P.FF_GAIN: 0.625})
    assert a.get_parameters([P.FF_GAIN])[P.FF_GAIN] == 0.625 == a.get_all_parameters()["pid"]["ff_gain"]


def test_parameters_on_the_reference_twin(ref_twin):
    a = KavrelActuatorVirtual(ref_twin)
    a.set_parameters({P.LIM_TORQUE: 3, P.KP_POSITION: 20.0})
    assert a.get_parameters([P.LIM_TORQUE, P.KP_POSITION]) == {P.LIM_TORQUE: 3.0, P.KP_POSITION: 20.0}
    assert ref_twin.get_position_kp() == 20.0
    d = a.get_all_parameters()
    assert d["limits"]["lim_T"] == 3.0 and d["pid"]["pos_kp"] == 20.0


def test_set_parameters_refuses_a_dict_subclass():
    from collections import OrderedDict

    with pytest.raises(TypeError, match=r"^Argument 'parameters' has incorrect type \(expected dict, got OrderedDict\)$"):
        KavrelActuatorVirtual().set_parameters(OrderedDict({P.SETPOINT: 1.0}))
