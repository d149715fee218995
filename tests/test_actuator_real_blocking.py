"""Blocking exchanges of the physical actuator with an emulated device: the ping
handshake, one-shot item reads and batched parameter reads, with their time-outs,
late replies and the instance overrides they go through.  Waits that must run out
use a clock that moves only when the module sleeps."""

import logging
import math
import sys

import pytest

from device_models import (Actuator, Items, Mode, Params, beacon, clock, f32, item_record,  # noqa: F401
                           pack_firmware, parameter_record, rig, wait_until)
from cli_responders import default_parameters
from vkl_api import kavrel_actuator_real as kar
from vkl_api.kavrel_actuator_real import KavrelActuatorReal

TIMEOUT_LINE = "Timeout while waiting for response"


def error_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno >= logging.ERROR]


# -- ping and connect ----------------------------------------------------------------------

def test_connect_answered(rig):
    a = rig.actuator
    rig.device.model_code = 3
    rig.device.firmware = pack_firmware(2, 5, 9)
    result = a.connect(timeout=2.0)
    assert result is True and a._connected is result and a.connected is True
    assert (a.model, a.firmware_version, a.implementation_version) == ("VK60", "2.5.9", "2.5.9")
    assert rig.device.payloads() == [[64]]


def test_ping_answer_is_there_when_send_ping_returns(rig):
    seen = []

    class Watch(KavrelActuatorReal):
        def send_ping(self, timeout=1.0):
            r = super().send_ping(timeout)
            seen.append((r, self.model, self.firmware_version))
            return r

    a = Watch(rig.transport, 0x10)
    assert a.connect(2.0) is True
    assert seen == [(True, "VK50", "1.2.3")]


def test_connect_without_answer(rig, clock, caplog):
    rig.device.silent.add(64)
    a = rig.actuator
    a._connected = True
    with caplog.at_level(logging.DEBUG, logger="vkl_api"):
        assert a.connect() is False
    assert a._connected is False
    assert sum(clock.sleeps) == pytest.approx(1.0, abs=0.0101) and set(clock.sleeps) == {0.01}
    assert caplog.records == []
    assert rig.transport.payloads() == [[64]]


@pytest.mark.parametrize("timeout", [0, -1, float("nan"), 0.0])
def test_ping_without_time_returns_false_at_once(rig, clock, timeout):
    a = rig.actuator
    a._got_pong = True
    assert a.send_ping(timeout) is False
    assert clock.sleeps == [] and rig.transport.payloads() == [[64]]


def test_connect_goes_through_the_instance_ping(rig):
    class P(KavrelActuatorReal):
        def send_ping(self, timeout=1.0):
            return ("answer", timeout)

    a = P(rig.transport, 0x10)
    assert a.connect(3) == ("answer", 3.0) and a._connected == ("answer", 3.0)
    assert rig.transport.sent == []


def test_ping_is_sent_once_and_never_retried(rig, clock):
    rig.device.silent.add(64)
    rig.actuator.send_ping(0.2)
    rig.emu.wait_frames(1)
    assert rig.transport.payloads() == [[64]]


def test_late_beacon_after_the_flag_is_cleared_counts(rig, clock):
    rig.device.silent.add(64)
    a = rig.actuator
    clock.hold = lambda: not a._got_pong
    sent = []
    clock.on_sleep = lambda s: sent or (sent.append(1), rig.emu.send(0x10, beacon(4, 0x0841)))
    assert a.send_ping(0.05) is True
    assert a.model == "VK70"


def test_disconnect_stops_unregisters_and_keeps_the_transport(rig, clock):
    a = rig.actuator
    clock.hold = lambda: not a._got_pong
    assert a.connect(2.0) is True
    clock.hold = None
    rig.emu.clear()
    assert a.disconnect() is None
    assert rig.emu.wait_frames(1)[0].payload == [2]
    assert 0x10 not in rig.transport.callbacks and a._connected is False
    assert rig.transport.is_connected
    assert a.connect(0.05) is False       # replies no longer reach this object


def test_disconnect_on_a_closed_transport(rig, caplog):
    a = rig.actuator
    a._connected = True
    rig.transport.disconnect()   # the port is closed as the polling thread ends
    with caplog.at_level(logging.WARNING):
        a.disconnect()
    assert 0x10 not in rig.transport.callbacks and a._connected is False
    assert rig.transport.payloads() == [[2]]


# -- one-shot item reads ---------------------------------------------------------------------

def test_get_items_blocking_returns_the_answer(rig):
    rig.device.items = {69: 1.5, 74: -2, 66: 7}
    a = rig.actuator
    a.set_can_high_speed(True)
    rig.emu.wait_frames(1)
    rig.emu.clear()
    got = a.get_items_blocking([Items.SPEED_FB, Items.TORQUE_SENS_RAW, Items.ENCODER_INT_RAW], timeout=2.0)
    assert got == {Items.SPEED_FB: 1.5, Items.TORQUE_SENS_RAW: -2, Items.ENCODER_INT_RAW: 7}
    assert got is a.low_feedback
    frame = rig.emu.wait_frames(1)[0]
    assert frame.payload == [15, 69, 74, 66] and frame.high_speed is True
    assert a.feedback == {}


def test_get_items_blocking_sends_only_the_first_items(rig, clock):
    rig.device.silent.add(15)
    items = list(Items)[:12] + ["not an item", object()]
    rig.actuator.get_items_blocking(items, timeout=0)
    assert rig.transport.payloads() == [[15] + [i.value for i in list(Items)[:12]]]


def test_get_items_blocking_limit_is_read_at_call_time(rig, clock, monkeypatch):
    monkeypatch.setattr(kar, "VKL_MAX_FEEDBACK_ITEMS_PER_REQUEST", 2)
    rig.actuator.get_items_blocking([Items.IA, Items.IB, Items.IC], timeout=0)
    assert rig.transport.payloads() == [[15, 70, 71]]


def test_get_items_blocking_timeout(rig, clock, caplog):
    rig.device.silent.add(15)
    a = rig.actuator
    with caplog.at_level(logging.ERROR):
        got = a.get_items_blocking([Items.IA], timeout=0.1)
    assert got == {} and got is not a.low_feedback
    assert error_lines(caplog) == [TIMEOUT_LINE]
    assert set(clock.sleeps) == {0.005} and sum(clock.sleeps) == pytest.approx(0.1, abs=0.0051)


@pytest.mark.parametrize("timeout", [0, -1, float("nan")])
def test_get_items_blocking_without_time(rig, clock, caplog, timeout):
    a = rig.actuator
    a.low_feedback = {Items.IA: 1.0}
    with caplog.at_level(logging.ERROR):
        assert a.get_items_blocking([], timeout=timeout) == {}
    assert clock.sleeps == [] and error_lines(caplog) == [TIMEOUT_LINE]
    assert rig.transport.payloads() == [[15]] and a.low_feedback == {}


def test_get_items_blocking_ignores_streamed_feedback_and_a_last_moment_answer(rig, clock, caplog):
    rig.device.silent.add(15)
    a = rig.actuator
    start = clock.now

    def during(seconds):
        if len(clock.sleeps) == 1:
            a._can_callback(0x10, [70, *f32(1.0)], 0)       # streamed: never ends the wait
        if clock.now + seconds - start >= 0.02:
            a.low_feedback = {Items.IA: 2.0}                # lands during the last sleep

    clock.on_sleep = during
    with caplog.at_level(logging.ERROR):
        assert a.get_items_blocking([Items.IA], timeout=0.02) == {}
    assert a.feedback == {Items.IA: 1.0} and error_lines(caplog) == [TIMEOUT_LINE]


def test_get_items_blocking_ends_at_any_requested_feedback(rig, clock):
    rig.device.silent.add(15)
    a = rig.actuator
    clock.on_sleep = lambda s: a._can_callback(0x10, [112, *f32(24.0)], 1)
    assert a.get_items_blocking([Items.IA], timeout=1.0) == {Items.VBUS: 24.0}


def test_get_items_blocking_refusals_send_nothing(rig):
    a = rig.actuator
    kept = a.low_feedback
    with pytest.raises(TypeError, match=r"^Argument 'items' has incorrect type \(expected list, got tuple\)$"):
        a.get_items_blocking((Items.IA,))
    with pytest.raises(TypeError):
        a.get_items_blocking([Items.IA], timeout="1")
    with pytest.raises(AttributeError):
        a.get_items_blocking([Items.IA, 3])
    assert a.low_feedback is kept and rig.transport.sent == []


# -- parameter reads ----------------------------------------------------------------------------

def test_get_parameters_all_reads_every_parameter_in_batches(rig):
    values = default_parameters(Params)
    rig.device.parameters = dict(values)
    a = rig.actuator
    rig.emu.clear()
    got = a.get_parameters_all()
    assert got is a.parameters
    ids = [p.value for p in Params]
    assert [f.payload for f in rig.emu.wait_frames(3)] == [[12] + ids[:12], [12] + ids[12:24], [12] + ids[24:]]
    assert all(not f.high_speed for f in rig.emu.received())
    assert list(got) == list(Params)
    for p in Params:
        if p is Params.MODE:
            assert got[p] is Mode.POSITION
        elif p.value in (128, 130, 131, 132):
            assert got[p] == values[p.value] and type(got[p]) is int
        else:
            assert got[p] == values[p.value]
    assert a._current_mode is Mode.POSITION
    # a later read returns the whole map, not the one entry
    assert a.get_parameters([Params.MODE], timeout=2.0) is got and len(got) == len(Params)


def test_batches_go_through_the_instance(rig):
    rig.device.parameters = default_parameters(Params)
    calls = []

    class Count(KavrelActuatorReal):
        def get_parameters(self, parameters, timeout=1.0):
            calls.append((len(parameters), timeout))
            return super().get_parameters(parameters, timeout=timeout)

    a = Count(rig.transport, 0x10)
    a.get_parameters_all()
    assert calls == [(31, 1.0), (19, 1.0), (7, 1.0)]


@pytest.mark.parametrize("limit, n, batches", [(12, 12, [12]), (12, 13, [12, 1]), (1, 3, [1, 1, 1]),
                                               (5, 11, [5, 5, 1]), (40, 12, [12])])
def test_batch_sizes(rig, monkeypatch, limit, n, batches):
    monkeypatch.setattr(kar, "VKL_MAX_PARAMETERS_PER_REQUEST", limit)
    rig.device.parameters = default_parameters(Params)
    wanted = list(Params)[:n]
    got = rig.actuator.get_parameters(wanted, timeout=2.0)
    assert [len(p) - 1 for p in rig.transport.payloads()] == batches
    assert list(got) == wanted


def test_first_batch_timeout_gives_an_empty_map(rig, clock, caplog):
    rig.device.silent.add(12)
    a = rig.actuator
    a.parameters[Params.KP_SPEED] = 1.0
    with caplog.at_level(logging.ERROR):
        got = a.get_parameters(list(Params), timeout=0.05)
    assert got == {} and got is not a.parameters
    assert error_lines(caplog) == [TIMEOUT_LINE]
    assert len(rig.transport.sent) == 1
    assert set(clock.sleeps) == {0.01}


def test_later_batch_timeout_gives_what_was_gathered(rig, clock, caplog):
    values = default_parameters(Params)
    rig.device.parameters = values
    a = rig.actuator
    answered = []

    def answer_first_only(frame):
        answered.append(frame.payload)
        if len(answered) == 1:
            return rig.device(frame)
        return None

    rig.emu.add_device(0x10, answer_first_only)
    clock.hold = lambda: len(answered) < 2 and not a.got_parameters
    with caplog.at_level(logging.ERROR):
        got = a.get_parameters(list(Params), timeout=0.05)
    assert got is a.parameters and list(got) == list(Params)[:12]
    assert error_lines(caplog) == [TIMEOUT_LINE]
    assert len(rig.transport.sent) == 2        # the third batch is not requested


def test_partial_answer_ends_the_wait(rig):
    rig.device.parameters = {13: 0.5}
    got = rig.actuator.get_parameters([Params.KP_SPEED, Params.KI_SPEED], timeout=2.0)
    assert got == {Params.KP_SPEED: 0.5}


def test_flag_is_read_again_after_the_last_sleep(rig, clock):
    rig.device.silent.add(12)
    a = rig.actuator
    start = clock.now

    def during(seconds):
        if clock.now + seconds - start >= 0.03:
            a._can_callback(0x10, [131, *parameter_record(13, 4.0)], 1)

    clock.on_sleep = during
    assert a.get_parameters([Params.KP_SPEED], timeout=0.03) == {Params.KP_SPEED: 4.0}


def test_late_reply_ends_the_next_request(rig, clock, caplog):
    rig.device.silent.add(12)
    a = rig.actuator
    with caplog.at_level(logging.ERROR):
        assert a.get_parameters([Params.KP_SPEED], timeout=0.02) == {}
    # the answer to the first request arrives while the second one waits
    clock.sleeps = []
    clock.hold = lambda: not a.got_parameters
    clock.on_sleep = lambda s: len(clock.sleeps) == 3 and rig.emu.send(0x10, [131, *parameter_record(13, 8.0)])
    got = a.get_parameters([Params.KI_SPEED], timeout=0.05)
    assert got == {Params.KP_SPEED: 8.0}


@pytest.mark.parametrize("timeout", [0, -1, float("nan")])
def test_get_parameters_without_time(rig, clock, caplog, timeout):
    a = rig.actuator
    a.got_parameters = True
    with caplog.at_level(logging.ERROR):
        assert a.get_parameters([], timeout=timeout) == {}
    assert clock.sleeps == [] and error_lines(caplog) == [TIMEOUT_LINE]
    assert rig.transport.payloads() == [[12]] and a.got_parameters is False


def test_get_parameters_refusals_send_nothing(rig):
    a = rig.actuator
    a.got_parameters = True
    with pytest.raises(TypeError, match=r"^Argument 'parameters' has incorrect type \(expected list, got tuple\)$"):
        a.get_parameters((Params.MODE,))
    with pytest.raises(TypeError):
        a.get_parameters([Params.MODE], timeout=None)
    with pytest.raises(AttributeError):
        a.get_parameters([Params.MODE, 48])
    assert a.got_parameters is True and rig.transport.sent == []


def test_very_many_batches_end_in_a_recursion_error(rig, monkeypatch):
    monkeypatch.setattr(kar, "VKL_MAX_PARAMETERS_PER_REQUEST", 1)

    class Instant(KavrelActuatorReal):
        def _send_VKL_common(self, msg, high_speed_candidate=False):
            self._can_callback(self.address, [131, msg[1], *f32(1.0)], 1)
            return True

    a = Instant(rig.transport, 0x10)
    with pytest.raises(RecursionError):
        a.get_parameters([Params.KP_SPEED] * (sys.getrecursionlimit() + 10), timeout=1.0)
    assert math.isclose(a.parameters[Params.KP_SPEED], 1.0)
