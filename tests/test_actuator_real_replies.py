"""Reply decoding of the physical actuator: records decoded by the receive callback,
called directly and through the transport's polling thread (emulator frames)."""

import logging
import math
import struct
import threading

import pytest

from device_models import (Items, Mode, NullTransport, Params, beacon, f32, i32, item_record,  # noqa: F401
                           parameter_record, rig, single, u32, wait_until)
from vkl_api.kavrel_actuator_real import KavrelActuatorReal


class Sink:
    """A callback that keeps its calls and the thread it ran on."""

    def __init__(self, raise_exc=None):
        self.calls = []
        self.threads = []
        self.raise_exc = raise_exc

    def __call__(self, address, values):
        self.calls.append((address, values))
        self.threads.append(threading.current_thread())
        if self.raise_exc:
            raise self.raise_exc


@pytest.fixture
def act():
    return KavrelActuatorReal(NullTransport(), 0x10)


def feed(act, data, priority=0):
    return act._can_callback(0x10, data, priority)


# -- feedback records --------------------------------------------------------------------

def _sample(item):
    if item.value in (66, 68, 96, 97, 98, 144):
        return 0xFFFFFFFE, int
    if item.value == 74:
        return -123456, int
    return single(-1234.5678), float


@pytest.mark.parametrize("item", list(Items), ids=[i.name for i in Items])
def test_every_item_decodes_by_its_kind(act, item):
    value, kind = _sample(item)
    feed(act, item_record(item.value, value))
    assert act.feedback == {item: value}
    assert type(act.feedback[item]) is kind


def test_raw_bytes_of_the_integer_items(act):
    feed(act, [66, 0xFF, 0xFF, 0xFF, 0xFF, 74, 0xFF, 0xFF, 0xFF, 0xFF, 144, 1, 0, 0, 0])
    assert act.feedback == {Items.ENCODER_INT_RAW: 4294967295, Items.TORQUE_SENS_RAW: -1,
                            Items.DEBUG_SIGNAL_BOOL: 1}


def test_streamed_message_merges_and_is_passed_on(act):
    sink = Sink()
    act.set_feedback_callback(sink)
    held = act.get_feedback()
    held[Items.VBUS] = 48.0
    feed(act, [69, *f32(1.5), 74, 0xFF, 0xFF, 0xFF, 0xFF, 69, *f32(2.5)])
    assert act.feedback is held
    assert held == {Items.VBUS: 48.0, Items.SPEED_FB: 2.5, Items.TORQUE_SENS_RAW: -1}
    assert sink.calls == [(0x10, {Items.SPEED_FB: 2.5, Items.TORQUE_SENS_RAW: -1})]
    assert sink.calls[0][1] is not held


@pytest.mark.parametrize("data", [[], [0], [0, 65, 1, 2, 3, 4], [0, 200]])
def test_empty_message_or_end_marker(act, data):
    sink = Sink()
    act.set_feedback_callback(sink)
    old_low = act.low_feedback
    feed(act, data, 0)
    assert act.feedback == {} and sink.calls == [(0x10, {})]
    feed(act, data, 1)
    assert act.low_feedback == {} and act.low_feedback is not old_low
    assert len(sink.calls) == 1


def test_end_marker_after_records_delivers_them(act):
    feed(act, [69, *f32(1.0), 0, 70, *f32(2.0)])
    assert act.feedback == {Items.SPEED_FB: 1.0}


def test_requested_feedback_replaces_low_feedback_without_callback(act):
    sink = Sink()
    act.set_feedback_callback(sink)
    first = act.low_feedback
    feed(act, [70, *f32(3.0)], priority=1)
    assert act.low_feedback == {Items.IA: 3.0} and act.low_feedback is not first
    second = act.low_feedback
    feed(act, [71, *f32(4.0)], priority=2)
    assert act.low_feedback == {Items.IB: 4.0} and second == {Items.IA: 3.0}
    assert sink.calls == [] and act.feedback == {}


def test_callback_gets_the_actuators_current_address(act):
    sink = Sink()
    act.set_feedback_callback(sink)
    act.address = 0x33
    act._can_callback(0x10, [69, *f32(1.0)], 0)
    assert sink.calls == [(0x33, {Items.SPEED_FB: 1.0})]


def test_callback_error_passes_out_after_the_merge(act):
    act.set_feedback_callback(Sink(raise_exc=RuntimeError("app")))
    with pytest.raises(RuntimeError, match="app"):
        feed(act, [69, *f32(1.0)])
    assert act.feedback == {Items.SPEED_FB: 1.0}


def test_feedback_held_in_another_mapping_is_updated_through_it(act):
    class Store:
        def __init__(self):
            self.updates = []

        def update(self, other):
            self.updates.append(dict(other))

    act.feedback = Store()
    feed(act, [69, *f32(1.0)])
    assert act.feedback.updates == [{Items.SPEED_FB: 1.0}]


# -- ping answer ------------------------------------------------------------------------------

@pytest.mark.parametrize("code, version, model, text", [
    (5, 0x0841, "CAN_ADAPTER", "1.1.1"),
    (2, 0xFFFF, "VK50", "31.31.63"),
    (10, 0, "VK160", "0.0.0"),
    (11, 0x0841, "", "1.1.1"),
    (65535, 0x0841, "", "1.1.1"),
])
def test_beacon_sets_model_and_firmware_then_pong(act, code, version, model, text):
    assert act.implementation_version == "x.x.x"
    feed(act, beacon(code, version))
    assert (act.model, act.firmware_version, act._got_pong) == (model, text, True)
    assert act.implementation_version == text


def test_beacon_after_feedback_drops_the_feedback(act):
    sink = Sink()
    act.set_feedback_callback(sink)
    feed(act, [69, *f32(1.0), *beacon(1, 0x0841)])
    assert act.model == "VK40" and act._got_pong is True
    assert act.feedback == {} and sink.calls == []


def test_beacon_uses_the_instance_names_and_parser(act):
    class Named(KavrelActuatorReal):
        MODELS_NAMES = ["zero", "one"]

        @staticmethod
        def _parse_firmware_version(v):
            return f"v{v}"

    a = Named(NullTransport(), 0x10)
    feed(a, beacon(1, 7))
    assert (a.model, a.firmware_version) == ("one", "v7")
    feed(a, beacon(2, 7))
    assert a.model == "zero"


@pytest.mark.parametrize("value, text", [
    (0x0841, "1.1.1"), (0xFFFF, "31.31.63"), (0, "0.0.0"), ((3 << 11) | (17 << 6) | 42, "3.17.42"),
    (0x10000 | 0x0841, "1.1.1"), (-1, "31.31.63"), (2 ** 70 + 0x0841, "1.1.1"), (2113.9, "1.1.1"),
    (True, "0.0.1"),
])
def test_firmware_text(value, text):
    assert KavrelActuatorReal._parse_firmware_version(value) == text


def test_firmware_text_refuses_text():
    with pytest.raises(TypeError, match=r"^Argument 'firmware_version_uint16' has incorrect type "
                                        r"\(expected int, got str\)$"):
        KavrelActuatorReal._parse_firmware_version("2113")


@pytest.mark.parametrize("stored, result", [(None, None), ("2.0.0", "2.0.0")])
def test_implementation_version_reads_the_field(act, stored, result):
    act.firmware_version = stored
    assert act.implementation_version == result


def test_implementation_version_refuses_other_types(act):
    act.firmware_version = 5
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        act.implementation_version


# -- parameter replies ----------------------------------------------------------------------------

def test_parameter_reply_updates_in_place_with_spare_byte(act):
    params = act.parameters
    params[Params.KP_SPEED] = 9.0
    feed(act, [131, *parameter_record(13, 0.5), *parameter_record(4, 2.0), 99])
    assert act.parameters is params
    assert params == {Params.KP_SPEED: 0.5, Params.LIM_TORQUE: 2.0}
    assert act.got_parameters is True


@pytest.mark.parametrize("pid, raw, value", [
    (128, [0x41, 0x08, 0, 0], 2113),
    (130, [0xFF, 0xFF, 0xFF, 0xFF], 4294967295),
    (131, [5, 0, 0, 0], 5),
    (132, [1, 2, 3, 4], 0x04030201),
    (129, f32(32.0), 32.0),
    (133, f32(1.0), 1.0),
    (13, f32(0.1), single(0.1)),
])
def test_parameter_value_kinds(act, pid, raw, value):
    feed(act, [131, pid, *raw])
    got = act.parameters[Params(pid)]
    assert got == value and type(got) is type(value)


@pytest.mark.parametrize("data", [[131], [131, 0, *f32(1.0)], [131, 13, 0, 0, 0], [131, 0, 13, *f32(1.0)]])
def test_parameter_reply_without_entries_changes_nothing(act, data):
    feed(act, data)
    assert act.parameters == {} and act.got_parameters is False


def test_parameter_reply_stops_at_a_zero_id(act):
    feed(act, [131, *parameter_record(13, 1.0), 0, *f32(2.0), *parameter_record(14, 3.0)])
    assert act.parameters == {Params.KP_SPEED: 1.0} and act.got_parameters is True


@pytest.mark.parametrize("value, mode", [(7.0, Mode.POSITION), (7.9, Mode.POSITION), (2.0, Mode.FVI),
                                         (8.5, Mode.IMPEDANCE), (-0.0, None)])
def test_mode_entry_names_a_mode(act, caplog, value, mode):
    act._current_mode = Mode.TORQUE
    with caplog.at_level(logging.WARNING):
        feed(act, [131, 48, *f32(value)])
    if mode is None:
        assert act.parameters[Params.MODE] is None and act._current_mode is Mode.TORQUE
    else:
        assert act.parameters[Params.MODE] is mode and act._current_mode is mode
        assert caplog.records == []


@pytest.mark.parametrize("value, text", [(9.0, "9.0"), (1.0, "1.0"), (-3.0, "-3.0"), (float("nan"), "nan"),
                                         (1e30, str(single(1e30))), (0.5, "0.5")])
def test_mode_entry_with_no_mode_warns_and_stores_none(act, caplog, value, text):
    act._current_mode = Mode.SPEED
    with caplog.at_level(logging.WARNING):
        feed(act, [131, 48, *f32(value), *parameter_record(13, 1.0)])
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
        (logging.WARNING, f"Invalid mode value {text} for parameter 48")]
    assert act.parameters == {Params.MODE: None, Params.KP_SPEED: 1.0}
    assert act._current_mode is Mode.SPEED and act.got_parameters is True


def test_infinite_mode_entry_stops_the_reply(act):
    with pytest.raises(OverflowError):
        feed(act, [131, *parameter_record(13, 1.0), 48, *f32(float("inf")), *parameter_record(14, 2.0)])
    assert act.parameters == {Params.KP_SPEED: 1.0} and act.got_parameters is False


def test_unknown_parameter_id_keeps_earlier_entries_and_no_flag(act):
    with pytest.raises(ValueError):
        feed(act, [131, *parameter_record(13, 1.0), 77, *f32(2.0)])
    assert act.parameters == {Params.KP_SPEED: 1.0} and act.got_parameters is False


def test_parse_parameters_directly(act):
    parse = act._KavrelActuatorReal__parse_parameters
    parse([13, *f32(1.0)])
    assert act.parameters == {Params.KP_SPEED: 1.0}
    with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected list, got tuple\)$"):
        parse((13, *f32(1.0)))


# -- error bit-field ------------------------------------------------------------------------------

ALL_ERRORS = {0: "Overtemperature", 2: "Position reference maximum", 3: "Position reference minimum",
              4: "Speed feedback maximum", 5: "VBUS out of range", 6: "Torque reference maximum",
              7: "Torque feedback maximum", 8: "Position feedback maximum", 9: "Position feedback minimum",
              12: "Control overrun", 16: "Current maximum", 17: "Invalid limits", 29: "VBUS critical range",
              30: "Internal encoder error", 31: "External encoder error"}


@pytest.mark.parametrize("word, expected", [
    ((1 << 31) | 1, {0: "Overtemperature", 31: "External encoder error"}),
    (0xFFFFFFFF, ALL_ERRORS),
    (1 << 12, {12: "Control overrun"}),
    ((1 << 17) | (1 << 16) | (1 << 29), {16: "Current maximum", 17: "Invalid limits", 29: "VBUS critical range"}),
])
def test_error_word_in_table_order(act, word, expected):
    sink = Sink()
    act.set_error_callback(sink)
    feed(act, [130, *u32(word), 69, *f32(1.0)])
    assert sink.calls == [(0x10, expected)]
    assert list(sink.calls[0][1]) == sorted(expected)
    assert act.feedback == {}


@pytest.mark.parametrize("word", [0, 1 << 1, (1 << 10) | (1 << 11) | (1 << 13) | (1 << 14) | (1 << 15),
                                  sum(1 << b for b in range(18, 29))])
def test_error_word_without_described_bits_calls_nothing(act, word):
    sink = Sink()
    act.set_error_callback(sink)
    feed(act, [130, *u32(word)])
    assert sink.calls == []


def test_parse_errors_directly(act):
    sink = Sink()
    act.set_error_callback(sink)
    act._KavrelActuatorReal__parse_errors(-1)
    act._KavrelActuatorReal__parse_errors(2 ** 40 + 1.9)
    assert sink.calls == [(0x10, ALL_ERRORS), (0x10, {0: "Overtemperature"})]
    act.set_error_callback(None)
    with pytest.raises(TypeError):
        act._KavrelActuatorReal__parse_errors(1)


# -- malformed messages -------------------------------------------------------------------------------

@pytest.mark.parametrize("first, text", [(0x20, "Unknown command 0x20"), (200, "Unknown command 0xC8"),
                                         (1, "Unknown command 0x01"), (300, "Unknown command 0x12C")])
def test_unknown_record_drops_the_whole_message(act, caplog, first, text):
    sink = Sink()
    act.set_feedback_callback(sink)
    with caplog.at_level(logging.ERROR):
        feed(act, [69, *f32(1.0), first, 1, 2, 3, 4])
        feed(act, [69, *f32(1.0), first], priority=1)
    assert [r.getMessage() for r in caplog.records] == [text, text]
    assert act.feedback == {} and act.low_feedback == {} and sink.calls == []


@pytest.mark.parametrize("data", [[69, 0, 0], [69, *f32(1.0), 70, 1], [128, 5, 0, 1], [130, 1, 2]])
def test_record_cut_short_raises_and_delivers_nothing(act, data):
    sink = Sink()
    act.set_feedback_callback(sink)
    with pytest.raises(struct.error, match="unpack requires a buffer of 4 bytes"):
        feed(act, data)
    assert act.feedback == {} and sink.calls == [] and act._got_pong is False


class Byte(int):
    pass


def test_values_that_are_not_plain_ints_decode_like_bytes(act):
    feed(act, [Byte(69), Byte(0), 0, Byte(0x80), 0x3F, 70, True, False, 0, 0])
    assert act.feedback == {Items.SPEED_FB: 1.0, Items.IA: struct.unpack("<f", bytes([1, 0, 0, 0]))[0]}
    feed(act, [True, 0, 0, 0, 0])   # True is the id 1, not an item
    assert act.feedback == {Items.SPEED_FB: 1.0, Items.IA: struct.unpack("<f", bytes([1, 0, 0, 0]))[0]}
    with pytest.raises(ValueError, match="bytes must be in range"):
        feed(act, [69, 0, 0, 0x180, 0x3F])
    with pytest.raises(TypeError):
        feed(act, [69, 0, 0, 1.5, 0x3F])


def test_receive_callback_argument_rules(act):
    with pytest.raises(TypeError, match=r"^Argument 'address' has incorrect type \(expected int, got str\)$"):
        act._can_callback("16", [], 0)
    with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected list, got tuple\)$"):
        act._can_callback(16, (69, 0, 0, 0, 0), 0)
    with pytest.raises(TypeError, match=r"^Argument 'priority' has incorrect type \(expected int, got NoneType\)$"):
        act._can_callback(16, [], None)
    act._can_callback(16.5, [70, *f32(1.0)], 1.9)
    assert act.low_feedback == {Items.IA: 1.0}
    act._can_callback(16, [70, *f32(2.0)], 0.2)
    assert act.feedback == {Items.IA: 2.0}


# -- through the transport's polling thread ----------------------------------------------------------

def test_streamed_feedback_reaches_the_callback_on_the_polling_thread(rig):
    a, emu = rig.actuator, rig.emu
    sink = Sink()
    a.set_feedback_callback(sink)
    held = a.get_feedback()
    records = []
    for k, item in enumerate([65, 69, 70, 71, 72, 74, 66, 112]):
        records += item_record(item, -7 if item == 74 else k + 1)
    stream = emu.stream(0x10, records, rate_hz=2000, count=40)
    assert stream.wait()
    wait_until(lambda: len(sink.calls) == 40)
    assert all(t is not threading.main_thread() for t in sink.threads)
    assert a.feedback is held
    assert held[Items.TORQUE_SENS_RAW] == -7 and held[Items.ENCODER_INT_RAW] == 7 and held[Items.VBUS] == 8.0
    assert all(values == sink.calls[0][1] for _, values in sink.calls) and len(sink.calls[0][1]) == 8
    assert a.low_feedback == {}


def test_device_error_stops_the_actuator_from_the_polling_thread(rig, caplog):
    a, emu = rig.actuator, rig.emu
    with caplog.at_level(logging.WARNING):
        emu.clear()
        emu.send(0x10, [130, *u32((1 << 3) | (1 << 16) | (1 << 30))])
        stops = [f for f in emu.wait_frames(2) if f.payload == [2]]
    assert len(stops) == 2
    sends = [s for s in rig.transport.sent if s.copy == [2]]
    assert len(sends) == 2 and all(s.thread is not threading.main_thread() for s in sends)
    assert all(s.address == 0x10 for s in sends)
    wait_until(lambda: len(caplog.records) >= 5)
    assert [r.getMessage() for r in caplog.records] == [
        "Actuator 0x010 Error code: 3 - Position reference minimum",
        "Actuator 0x010 Error code: 16 - Current maximum",
        "Actuator 0x010 Stopping actuator (override error_callback to change this behavior)",
        "Actuator 0x010 Error code: 30 - Internal encoder error",
        "Actuator 0x010 Stopping actuator (override error_callback to change this behavior)",
    ]


def test_replies_through_the_line_and_a_bad_message_in_between(rig, caplog):
    a, emu = rig.actuator, rig.emu
    with caplog.at_level(logging.WARNING):
        emu.send(0x10, [69, 0, 0])                         # cut short: decoding error
        emu.send(0x10, [0x20, 1, 2, 3, 4])                  # unknown record
        emu.send(0x10, [131, *parameter_record(48, 6.0)])   # parameter reply
        emu.send(0x10, beacon(3, 0x0841))                   # ping answer
        emu.send(0x11, [69, *f32(5.0)])                     # another address: not ours
        wait_until(lambda: a._got_pong)
    assert a.parameters == {Params.MODE: Mode.SPEED} and a._current_mode is Mode.SPEED
    assert (a.model, a.firmware_version) == ("VK60", "1.1.1")
    assert a.feedback == {}
    messages = [r.getMessage() for r in caplog.records]
    assert "Unknown command 0x20" in messages
    assert any(m.startswith("Error in polling thread: ") and "unpack requires a buffer of 4 bytes" in m
               for m in messages)


def test_application_callback_may_call_back_into_the_actuator(rig):
    a, emu = rig.actuator, rig.emu
    done = threading.Event()

    def on_feedback(address, values):
        a.set_feedback_rate(0)              # sends from the polling thread, under the lock
        a._adapter.remove_callback(0x7F)    # transport call under its own lock
        done.set()

    a.set_feedback_callback(on_feedback)
    emu.clear()
    emu.send(0x10, [69, *f32(1.0)])
    assert done.wait(3.0)
    assert emu.wait_frame(lambda f: f.payload == [6, 0, 0, 0, 0]).address == 0x10
    assert math.isclose(a.feedback[Items.SPEED_FB], 1.0)
