"""The actuator vocabulary: the nested enumerations and the device-model name list."""

import copy
import enum
import pickle
import re

import pytest

from vkl_api._kavrel_actuator_base import KavrelActuatorBase as Base

MODULE = "vkl_api._kavrel_actuator_base"

VOCABULARY = {
    "Mode": (
        "Control modes available for Kavrel actuator implementations.",
        [("FVI", 2), ("OPEN_LOOP", 3), ("DVI", 4), ("TORQUE", 5), ("SPEED", 6), ("POSITION", 7),
         ("IMPEDANCE", 8)],
    ),
    "Rates": (
        "Feedback update rates for high/low frequency data streams.",
        [("DISABLED", 0), ("RATE_2KHZ", 10), ("RATE_1KHZ", 20), ("RATE_500HZ", 40), ("RATE_200HZ", 100),
         ("RATE_100HZ", 200), ("RATE_50HZ", 400), ("RATE_20HZ", 1000), ("RATE_10HZ", 2000),
         ("RATE_5HZ", 4000), ("RATE_2HZ", 10000), ("RATE_1HZ", 20000)],
    ),
    "TorquePerformance": (
        "Performance presets for torque control mode.",
        [("AGGRESSIVE", 1), ("BALANCED", 2), ("SOFT", 3)],
    ),
    "SpeedPerformance": (
        "Performance presets for speed control mode.",
        [("AGGRESSIVE", 1), ("BALANCED", 2), ("SOFT", 3), ("CUSTOM", 4)],
    ),
    "_VKL_Actions": (
        "Internal VKL action identifiers used in actuator command payloads.",
        [("START", 1), ("STOP", 2), ("CHANGE_MODE", 3), ("CHANGE_SETPOINT", 4), ("CHANGE_SETPOINT_FF", 16),
         ("CHANGE_SETPOINT_TORQUE", 17), ("CHANGE_SETPOINT_SPEED", 18), ("CHANGE_SETPOINT_POSITION", 19),
         ("CHANGE_SETPOINT_IMPEDANCE", 20), ("CHANGE_SETPOINT_SPEED_INTERNAL", 21),
         ("CHANGE_SETPOINT_POSITION_INTERNAL", 22), ("SET_FEEDBACK_HIGH_RATE", 6),
         ("SET_FEEDBACK_HIGH_ITEMS", 7), ("RESET_ENCODER_POSITION", 10), ("SET_PARAMETERS", 11),
         ("GET_PARAMETERS", 12), ("SET_TORQUE_PERFORMANCE", 13), ("SET_SPEED_PERFORMANCE", 14),
         ("GET_ITEMS", 15), ("START_SINE_REF", 56), ("SAVE", 57), ("PING", 64), ("BLINK", 65),
         ("ENTER_BOOTLOADER", 193), ("DEBUG_CLEAR_CONFIG", 194), ("DEBUG_RESET_INT_ENC", 195),
         ("DEBUG_RESET_EXT_ENC", 196)],
    ),
    "VKL_Parameters": (
        "Parameters that can be read or written through the actuator API.",
        [("K_DAMPING", 1), ("K_STIFFNESS", 2), ("TORQUE_FF", 3), ("LIM_TORQUE", 4), ("LIM_POSITION_MAX", 5),
         ("LIM_POSITION_MIN", 6), ("LIM_SPEED_MAX", 7), ("LIM_SPEED_MIN", 8), ("PROFILE_POSITION_MAX", 9),
         ("PROFILE_POSITION_MIN", 10), ("PROFILE_SPEED_MAX", 11), ("PROFILE_SPEED_MIN", 12),
         ("KP_SPEED", 13), ("KI_SPEED", 14), ("KP_POSITION", 15), ("MODE", 48), ("SETPOINT", 49),
         ("TORQUE_PERFORMANCE", 64), ("SPEED_PERFORMANCE", 65), ("PROFILE_SPEED_MAX_RAD_S", 66),
         ("PROFILE_TORQUE_MAX_NM", 67), ("INVERT_FLAG", 68), ("FF_GAIN", 69), ("VKL_PARAM_SPEED_CUTOFF", 70),
         ("VKL_PARAM_CURRENT_CUTOFF", 71), ("FIRMWARE_VERSION", 128), ("VKL_ADDRESS", 129),
         ("SERIAL_NUMBER", 130), ("DEVICE_MODEL", 131), ("CONTROL_VERSION", 132), ("CAN_HIGH_SPEED", 133)],
    ),
    "VKL_Items": (
        "Feedback items available for monitoring actuator state.",
        [("ENCODER_INT", 65), ("ENCODER_INT_RAW", 66), ("ENCODER_EXT", 67), ("ENCODER_EXT_RAW", 68),
         ("SPEED_FB", 69), ("IA", 70), ("IB", 71), ("IC", 72), ("TORQUE_SENS", 73), ("TORQUE_SENS_RAW", 74),
         ("POSITION_REF", 75), ("POSITION_FB", 76), ("POSITION_FB_INTERNAL", 115), ("SPEED_REF", 77),
         ("ID_REF", 79), ("ID_FB", 80), ("IQ_REF", 81), ("IQ_FB", 82), ("VD_REF", 83), ("VQ_REF", 84),
         ("TORQUE_REF", 85), ("TORQUE_FB", 86), ("REFERENCE_A_VOLTAGE", 87), ("REFERENCE_B_VOLTAGE", 88),
         ("REFERENCE_C_VOLTAGE", 89), ("BUS_POWER", 90), ("BUS_CURRENT", 91), ("THREE_PHASE_POWER", 92),
         ("MECHANICAL_POWER", 93), ("INVERTER_EFFICIENCY", 94), ("MOTOR_EFFICIENCY", 95),
         ("ERRORS_ENCODER_INT", 96), ("ERRORS_ENCODER_EXT", 97), ("ERRORS_OVERRUN", 98), ("VBUS", 112),
         ("TEMP_PCB", 113), ("TEMP_MOTOR", 114), ("DEBUG_SIGNAL_BOOL", 144), ("DEBUG_SIGNAL01", 145),
         ("DEBUG_SIGNAL02", 146), ("DEBUG_SIGNAL03", 147), ("DEBUG_SIGNAL04", 148), ("DEBUG_SIGNAL05", 149),
         ("DEBUG_SIGNAL06", 150), ("DEBUG_SIGNAL07", 151), ("DEBUG_SIGNAL08", 152), ("DEBUG_SIGNAL09", 153),
         ("DEBUG_SIGNAL10", 154)],
    ),
    "_VKL_Other": (
        "Internal VKL non-action message identifiers.",
        [("BEACON", 128), ("ERRORS", 130), ("PARAMETERS", 131)],
    ),
}
ENUM_NAMES = list(VOCABULARY)
BYTE_ENUMS = [n for n in ENUM_NAMES if n != "Rates"]


def all_members():
    return [m for name in ENUM_NAMES for m in getattr(Base, name)]


@pytest.mark.parametrize("name", ENUM_NAMES)
def test_enumeration_is_plain_enum_nested_in_base(name):
    e = getattr(Base, name)
    assert isinstance(e, enum.EnumMeta)
    assert e.__bases__ == (enum.Enum,)
    assert not issubclass(e, int)
    assert e.__name__ == name
    assert e.__qualname__ == "KavrelActuatorBase." + name
    assert e.__module__ == MODULE
    assert e.__doc__ == VOCABULARY[name][0]


@pytest.mark.parametrize("name", ENUM_NAMES)
def test_members_in_definition_order_with_wire_values(name):
    e = getattr(Base, name)
    expected = VOCABULARY[name][1]
    assert [(m.name, m.value) for m in e] == expected
    assert len(e) == len(expected)
    # No aliases: every value names exactly one member.
    assert len(e.__members__) == len(expected)
    for member_name, value in expected:
        member = e(value)
        assert member is e[member_name] is getattr(e, member_name)
        assert type(member.value) is int and member.value == value
        assert member.name == member_name


def test_documented_sizes_and_positions():
    assert [len(getattr(Base, n)) for n in ENUM_NAMES] == [7, 12, 3, 4, 27, 31, 48, 3]
    items = list(Base.VKL_Items)
    assert items[12] is Base.VKL_Items.POSITION_FB_INTERNAL
    assert Base.VKL_Items(115) is Base.VKL_Items.POSITION_FB_INTERNAL
    assert Base.Rates.RATE_1HZ.value == 20000
    assert Base.Mode(2) is Base.Mode.FVI


@pytest.mark.parametrize("name", BYTE_ENUMS)
def test_byte_wide_values(name):
    assert all(1 <= m.value <= 196 for m in getattr(Base, name))


UNASSIGNED = [
    ("Mode", [0, 1, 9, -2]),
    ("Rates", [1, 5, 30, 20001]),
    ("TorquePerformance", [0, 4]),
    ("SpeedPerformance", [0, 5]),
    ("_VKL_Actions", [0, 5, 8, 9, 23, 40, 55, 58, 192, 197]),
    ("VKL_Parameters", [0, 16, 47, 50, 63, 72, 127, 134]),
    ("VKL_Items", [64, 78, 99, 105, 111, 116, 143, 155]),
    ("_VKL_Other", [129, 0, 132]),
]


@pytest.mark.parametrize("name,values", UNASSIGNED)
def test_value_lookup_of_unassigned_number_raises_value_error(name, values):
    e = getattr(Base, name)
    for v in values:
        with pytest.raises(ValueError):
            e(v)
    with pytest.raises(KeyError):
        e["NO_SUCH_MEMBER"]


def test_members_are_truthy_including_disabled_rate():
    assert Base.Rates.DISABLED.value == 0
    assert bool(Base.Rates.DISABLED) is True
    assert all(bool(m) for m in all_members())


def test_members_equal_only_themselves():
    members = all_members()
    assert Base.Mode.TORQUE != 5
    assert not (Base.Mode.TORQUE == 5)
    assert Base.Mode.TORQUE.value == 5
    assert Base.TorquePerformance.SOFT != Base.SpeedPerformance.SOFT
    assert Base._VKL_Other.BEACON != Base.VKL_Parameters.FIRMWARE_VERSION
    assert Base._VKL_Other.ERRORS != Base.VKL_Parameters.SERIAL_NUMBER
    # Hashable and distinct as dictionary keys, even with equal values.
    keyed = {m: i for i, m in enumerate(members)}
    assert len(keyed) == len(members)
    for i, a in enumerate(members):
        assert a == a
        assert sum(1 for b in members if a == b) == 1


def test_members_have_no_ordering_and_no_int_conversion():
    with pytest.raises(TypeError):
        Base.Mode.TORQUE < Base.Mode.SPEED
    with pytest.raises(TypeError):
        Base.Rates.RATE_1KHZ > 10
    with pytest.raises(TypeError):
        int(Base.Mode.TORQUE)
    with pytest.raises(TypeError):
        [0, 1, 2][Base.TorquePerformance.AGGRESSIVE]


def test_isinstance_tells_members_of_one_enumeration():
    assert isinstance(Base.Mode.TORQUE, Base.Mode)
    assert not isinstance(Base.Mode.TORQUE, Base.Rates)
    assert not isinstance(5, Base.Mode)


def test_members_survive_pickle_and_copy():
    # Feedback maps keyed by members travel between processes (queues, pickles).
    for m in all_members():
        assert pickle.loads(pickle.dumps(m)) is m
        assert copy.deepcopy(m) is m
    fb = {Base.VKL_Items.SPEED_FB: 1.5, Base.VKL_Items.POSITION_FB_INTERNAL: 7}
    assert pickle.loads(pickle.dumps(fb)) == fb


def test_vocabulary_defined_first_in_class_body_in_order():
    names = [n for n in Base.__dict__ if not n.startswith("__")]
    assert names[:9] == ["MODELS_NAMES"] + ENUM_NAMES[:4] + ["_VKL_Actions", "VKL_Parameters", "VKL_Items",
                                                             "_VKL_Other"]


def test_subclasses_and_instances_share_the_nested_classes():
    class Sub(Base):
        pass

    inst = Sub()
    for name in ENUM_NAMES + ["MODELS_NAMES"]:
        assert getattr(Sub, name) is getattr(Base, name)
        assert getattr(inst, name) is getattr(Base, name)
    assert Sub.VKL_Items.SPEED_FB is Base.VKL_Items.SPEED_FB
    assert inst.VKL_Parameters.MODE is Base.VKL_Parameters.MODE


class TestModelsNames:
    def test_layout(self):
        names = Base.MODELS_NAMES
        assert type(names) is list
        assert len(names) == 11
        assert names[0] == ""
        assert names[5] == "CAN_ADAPTER"

    def test_actuator_model_names(self):
        others = [n for i, n in enumerate(Base.MODELS_NAMES) if i not in (0, 5)]
        assert len(others) == 9
        assert len(set(others)) == 9
        for n in others:
            assert type(n) is str
            assert re.fullmatch(r"[A-Z0-9]{1,16}", n), n
            assert any(c.isalpha() for c in n), n
            assert "CAN_ADAPTER" not in n

    def test_only_the_adapter_entry_names_the_adapter(self):
        assert [i for i, n in enumerate(Base.MODELS_NAMES) if "CAN_ADAPTER" in n] == [5]

    def test_shared_list_object(self):
        a, b = Base(), Base()
        assert a.MODELS_NAMES is b.MODELS_NAMES is Base.MODELS_NAMES
