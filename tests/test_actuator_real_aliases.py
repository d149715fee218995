"""Superseded command names of the physical actuator: argument checks first, then a
DeprecationWarning attributed to the caller's line, then the current method looked
up on the instance (or nothing, for the low-frequency feedback names)."""

import warnings

import pytest

from device_models import Items, NullTransport, clock, rig  # noqa: F401
from vkl_api.kavrel_actuator_real import KavrelActuatorReal

Rates = KavrelActuatorReal.Rates


class Targets(KavrelActuatorReal):
    """Records what the aliases forward to."""

    def __init__(self, *args, **kwargs):
        self.calls = []
        super().__init__(*args, **kwargs)

    def change_address(self, *args, **kwargs):
        self.calls.append(("change_address", args, kwargs))

    def set_feedback_items(self, *args, **kwargs):
        self.calls.append(("set_feedback_items", args, kwargs))

    def set_feedback_rate(self, *args, **kwargs):
        self.calls.append(("set_feedback_rate", args, kwargs))

    def set_home_position(self, *args, **kwargs):
        self.calls.append(("set_home_position", args, kwargs))

    def get_items_blocking(self, *args, **kwargs):
        self.calls.append(("get_items_blocking", args, kwargs))
        return {"answer": 1}


def Null():
    return NullTransport(result=AssertionError("nothing may be sent"))


ITEMS = [Items.IA]
ALIASES = [
    ("changeAddress", (17.9,), "change_address", ((17,), {}), "change_address", None),
    ("setFeedbackItems", (ITEMS,), "set_feedback_items", ((ITEMS,), {}), "set_feedback_items", None),
    ("setFeedbackRate", (Rates.RATE_1KHZ,), "set_feedback_rate", ((Rates.RATE_1KHZ,), {}), "set_feedback_rate",
     None),
    ("set_high_freq_feedback_items", (ITEMS,), "set_feedback_items", ((ITEMS,), {}), "set_feedback_items", None),
    ("setHighFreqFeedbackItems", (ITEMS,), "set_feedback_items", ((ITEMS,), {}), "set_feedback_items", None),
    ("set_high_freq_feedback_rate", (100,), "set_feedback_rate", ((100,), {}), "set_feedback_rate", None),
    ("setHighFreqFeedbackRate", ("any object",), "set_feedback_rate", (("any object",), {}), "set_feedback_rate",
     None),
    ("set_low_freq_feedback_items", (ITEMS,), None, None, "get_items_blocking", None),
    ("setLowFreqFeedbackItems", ([],), None, None, "get_items_blocking", None),
    ("set_low_freq_feedback_rate", (Rates.RATE_1KHZ,), None, None, "get_items_blocking", None),
    ("setLowFreqFeedbackRate", (object(),), None, None, "get_items_blocking", None),
    ("getItemsBlocking", (ITEMS, 2), "get_items_blocking", ((ITEMS,), {"timeout": 2.0}), "get_items_blocking",
     {"answer": 1}),
    ("reset_encoder_position", (), "set_home_position", ((), {}), "set_home_position", None),
]


@pytest.mark.parametrize("alias, args, target, forwarded, new_name, result", ALIASES, ids=[a[0] for a in ALIASES])
def test_alias_warns_then_forwards_through_the_instance(alias, args, target, forwarded, new_name, result):
    a = Targets(Null(), 0x10)
    with pytest.warns(DeprecationWarning) as record:
        assert getattr(a, alias)(*args) == result
    assert [str(w.message) for w in record] == [f"{alias} is deprecated, use {new_name} instead"]
    assert record[0].filename == __file__
    assert a.calls == ([] if target is None else [(target, *forwarded)])
    if target == "get_items_blocking":
        assert type(a.calls[0][2]["timeout"]) is float
    if alias == "changeAddress":
        assert type(a.calls[0][1][0]) is int


@pytest.mark.parametrize("alias, args, target, forwarded, new_name, result", ALIASES, ids=[a[0] for a in ALIASES])
def test_alias_under_an_error_filter_forwards_nothing(alias, args, target, forwarded, new_name, result):
    a = Targets(Null(), 0x10)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match=f"^{alias} is deprecated, use {new_name} instead$"):
            getattr(a, alias)(*args)
    assert a.calls == []


@pytest.mark.parametrize("alias", ["setFeedbackItems", "set_high_freq_feedback_items", "setHighFreqFeedbackItems",
                                   "set_low_freq_feedback_items", "setLowFreqFeedbackItems", "getItemsBlocking"])
@pytest.mark.parametrize("bad, name", [((Items.SPEED_FB,), "tuple"), (None, "NoneType")])
def test_items_argument_is_checked_before_the_warning(alias, bad, name):
    a = Targets(Null(), 0x10)
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        with pytest.raises(TypeError, match=rf"^Argument 'items' has incorrect type \(expected list, got {name}\)$"):
            getattr(a, alias)(bad)
    assert record == [] and a.calls == []


@pytest.mark.parametrize("call, error", [
    (lambda a: a.changeAddress("17"), "Argument 'new_address' has incorrect type (expected int, got str)"),
    (lambda a: a.getItemsBlocking([], timeout="soon"), None),
])
def test_other_arguments_are_checked_before_the_warning(call, error):
    a = Targets(Null(), 0x10)
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        with pytest.raises(TypeError) as exc:
            call(a)
    if error:
        assert str(exc.value) == error
    assert record == [] and a.calls == []


def test_change_address_alias_refuses_what_int_refuses():
    a = Targets(Null(), 0x10)
    with pytest.raises(ValueError):
        a.changeAddress(float("nan"))
    assert a.calls == []


def test_target_errors_pass_through_after_the_warning(rig):
    with pytest.warns(DeprecationWarning):
        with pytest.raises(ValueError, match="^Rate must be non-negative, got -1$"):
            rig.actuator.setFeedbackRate(-1)
    assert rig.transport.sent == []


def test_getitemsblocking_result_must_be_a_dict():
    class Odd(KavrelActuatorReal):
        def get_items_blocking(self, items, timeout=1.0):
            return [("not", "a dict")]

    with pytest.warns(DeprecationWarning):
        with pytest.raises(TypeError):
            Odd(Null(), 0x10).getItemsBlocking([])


def test_aliases_on_the_wire(rig, clock):
    a, emu = rig.actuator, rig.emu
    rig.device.silent.add(15)
    emu.clear()
    with pytest.warns(DeprecationWarning):
        a.setFeedbackRate(Rates.RATE_1KHZ)
        a.setHighFreqFeedbackItems([Items.IA, Items.IB])
        a.setLowFreqFeedbackRate(Rates.RATE_1KHZ)
        a.set_low_freq_feedback_items([Items.IA])
        a.reset_encoder_position()
        a.changeAddress(0x20)
        assert a.getItemsBlocking([Items.VBUS], timeout=0) == {}
    assert [(f.address, f.payload) for f in emu.wait_frames(5)] == [
        (0x10, [6, 20, 0, 0, 0]), (0x10, [7, 70, 71]), (0x10, [10]), (0x10, [11, 129, 0, 0, 0, 66]),
        (0x20, [15, 112])]
    assert a.address == 0x20
