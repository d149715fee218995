"""VklOverUsb's two roads to the port, side by side against the pty emulator.

A transport whose ``_ser`` is pyserial's own POSIX port drives its descriptor
directly; any other port object (a subclass, a method replaced on the
instance or the class) is driven through its own methods.  Every case below
runs on each road and must give the same frames, drops, log lines and end."""

import logging
import os
import sys
import threading
import time
import tty

import pytest
import serial

from emulator import MAX_PAYLOAD, START, encode_frame

ADDR = 0x20
OTHER = 0x21
GUARD_S = 10.0  # deadlock guard only


class OwnPort(serial.Serial):
    """pyserial's port under a class of its own."""


def _patch_instance(ser):
    # Bound methods stored on the instance: the same code, reached another way.
    ser.read = ser.read
    ser.write = ser.write


ROADS = {
    "native": None,
    "subclass": "subclass",
    "methods on the instance": _patch_instance,
}


def port_for(road, transport):
    if road == "subclass":
        transport._ser = OwnPort(None, 115200, interCharTimeout=0.1, timeout=0.8)
    elif road is not None:
        road(transport._ser)


@pytest.fixture(params=list(ROADS))
def road(request):
    return request.param


@pytest.fixture
def log(caplog):
    caplog.set_level(logging.DEBUG)
    return caplog


@pytest.fixture
def road_transport(emulator, make_transport, road):
    def make(**kwargs):
        t = make_transport(emulator, connect_on_init=False, **kwargs)
        port_for(ROADS[road], t)
        assert t.connect() is True
        return t
    return make


def wait_until(predicate, timeout=GUARD_S):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


# -- which road is taken ------------------------------------------------------------

def _port_calls_during(transport_factory, action):
    """The Python-level port functions (pyserial's read and write, or the
    replacement read) called on any thread while `action` runs."""
    calls = []
    armed = []

    def profile(frame, event, arg):
        code = frame.f_code
        if armed and event == "call" and (
                (code.co_name in ("read", "write") and "serial" in code.co_filename)
                or code.co_name == "patched_read"):
            calls.append(code.co_name)

    threading.setprofile(profile)
    sys.setprofile(profile)
    try:
        t = transport_factory()  # connect() itself drains the port through read
        armed.append(True)
        action(t)
    finally:
        sys.setprofile(None)
        threading.setprofile(None)
    return calls


@pytest.mark.parametrize("variant, native", [
    ("genuine", True),
    ("subclass", False),
    ("read and write on the instance", False),
    ("cancel_read on the instance", False),
    ("read patched on the class", False),
])
def test_road_taken(emulator, make_transport, receiver, monkeypatch, variant, native):
    rx = receiver()

    def factory():
        t = make_transport(emulator, connect_on_init=False)
        if variant == "subclass":
            port_for("subclass", t)
        elif variant == "read and write on the instance":
            _patch_instance(t._ser)
        elif variant == "cancel_read on the instance":
            t._ser.cancel_read = t._ser.cancel_read
        elif variant == "read patched on the class":
            original = serial.Serial.read

            def patched_read(self, size=1):
                return original(self, size)

            monkeypatch.setattr(serial.Serial, "read", patched_read)
        t.set_callback(ADDR, rx)
        assert t.connect()
        return t

    def action(t):
        emulator.send_frames([(ADDR, [1]), (ADDR, [2])])
        rx.wait(2)
        t.send_VKL(ADDR, [3])
        emulator.wait_frame(lambda f: f.payload == [3])

    calls = _port_calls_during(factory, action)
    if native:
        assert calls == []
    else:
        assert {"read", "patched_read"} & set(calls)
    assert rx.payloads == [[1], [2]]


def test_class_patched_after_start_is_noticed(emulator, transport, receiver, monkeypatch):
    # The native road is chosen pass by pass: a method replaced on the class
    # while the worker runs is used from then on.
    rx = receiver()
    transport.set_callback(ADDR, rx)
    emulator.send(ADDR, [1])
    rx.wait(1)
    seen = []
    original = serial.Serial.read

    def read(self, size=1):
        seen.append(size)
        return original(self, size)

    monkeypatch.setattr(serial.Serial, "read", read)
    emulator.send(ADDR, [2])
    rx.wait(2)
    assert seen and rx.payloads == [[1], [2]]


# -- reading: the same frames, drops and log lines on every road ---------------

def _raising_on_one(address, payload, priority_bit):
    if payload == [1]:
        raise ValueError("x")


# (id, bytes written in one go, payloads expected for ADDR, log lines, callback action)
STREAMS = [
    ("lengths 0 to the limit, other addresses between",
     [encode_frame(ADDR, []), encode_frame(OTHER, [5]), encode_frame(ADDR, [1]),
      encode_frame(OTHER, []), encode_frame(ADDR, list(range(MAX_PAYLOAD)))],
     [[], [1], list(range(MAX_PAYLOAD))], [], None),
    ("garbage between frames",
     [encode_frame(ADDR, [1]), bytes(range(0x10, 0x20)), encode_frame(ADDR, [2]), encode_frame(ADDR, [3])],
     [[1], [2], [3]], [], None),
    ("wrong trailer",
     [encode_frame(ADDR, [1]), encode_frame(ADDR, [7, 7, 7], trailer=0x00), encode_frame(ADDR, [2])],
     [[1], [2]], [], None),
    # The hunt begins right after a header whose length is refused, so a frame
    # carried inside the refused frame's bytes is found.
    ("frame inside a refused length",
     [encode_frame(ADDR, [], length=MAX_PAYLOAD + 1)[:4], encode_frame(ADDR, [9]), encode_frame(ADDR, [2])],
     [[9], [2]], [], None),
    # Bytes read as a dropped frame's body are not searched again.
    ("frame inside a dropped body",
     [encode_frame(ADDR, list(encode_frame(ADDR, [5])), trailer=0x00), encode_frame(ADDR, [2])],
     [[2]], [], None),
    ("start byte alone, then frames",
     [bytes([START]), encode_frame(ADDR, [1]), encode_frame(ADDR, [2]), encode_frame(ADDR, [3])],
     [[2], [3]], [], None),
    ("callback error",
     [encode_frame(ADDR, [1]), encode_frame(ADDR, [2]), encode_frame(ADDR, [3])],
     [[1], [2], [3]], ["Error in polling thread: x"], _raising_on_one),
]


@pytest.mark.parametrize("chunks, expected, lines, action",
                         [pytest.param(*row[1:], id=row[0]) for row in STREAMS])
def test_damaged_streams(road_transport, emulator, receiver, log, chunks, expected, lines, action):
    t = road_transport()
    rx = receiver(action)
    t.set_callback(ADDR, rx)
    emulator.send_raw(b"".join(chunks) + encode_frame(ADDR, [0x7F]))
    rx.wait(len(expected) + 1)
    assert rx.payloads == expected + [[0x7F]]
    assert [(r.levelno, r.getMessage()) for r in log.records] == [(logging.WARNING, m) for m in lines]
    assert t.is_connected


@pytest.mark.parametrize("pause, expected", [
    (0.3, [[1, 2, 3, 4], [5]]),  # the body read waits out the pause
    (1.3, [[5]]),                # it times out: the frame is dropped, the next one hunted down
])
def test_stall_in_a_frame(road_transport, emulator, receiver, pause, expected):
    t = road_transport()
    rx = receiver()
    t.set_callback(ADDR, rx)
    emulator.send_stalled(encode_frame(ADDR, [1, 2, 3, 4]) + encode_frame(ADDR, [5]), split=5, pause=pause)
    rx.wait(len(expected))
    assert rx.payloads == expected


@pytest.mark.parametrize("cancel, expected", [(False, [[9]]), (True, [[1, 2, 3], [9]])])
def test_cancel_read_pending_when_a_read_begins(road_transport, emulator, receiver, cancel, expected):
    # A cancel pending when the next header read begins ends that read before
    # it takes anything: the hunt then starts at the stray byte and finds the
    # frame behind it, which the whole-header read would have swallowed.
    t = road_transport()
    rx = receiver()
    t.set_callback(ADDR, rx)
    t.set_callback(OTHER, lambda *a: t._ser.cancel_read() if cancel else None)
    emulator.send_raw(encode_frame(OTHER, [0]) + b"\x00" + encode_frame(ADDR, [1, 2, 3])
                      + encode_frame(ADDR, [9]))
    rx.wait(len(expected))
    assert rx.payloads == expected


def test_cancel_made_between_the_reads_of_one_frame(road_transport, emulator, receiver):
    # Python code that runs between a frame's header and body reads (here a
    # property of the transport) and cancels the read: the body read ends
    # before it takes anything, and the frame is dropped.
    from vkl_api.vkl_over_usb import VklOverUsb

    class CancellingLimit(VklOverUsb):
        cancel_next = False

        @property
        def _MAX_PAYLOAD_SIZE(self):
            if self.cancel_next:
                self.cancel_next = False
                self._ser.cancel_read()
            return MAX_PAYLOAD

    t = road_transport(cls=CancellingLimit)
    rx = receiver()
    t.set_callback(ADDR, rx)
    t.set_callback(OTHER, lambda *a: setattr(t, "cancel_next", True))
    emulator.send_raw(encode_frame(OTHER, [0]) + encode_frame(ADDR, [1, 2, 3]) + encode_frame(ADDR, [9]))
    rx.wait(1)
    assert rx.payloads == [[9]]


@pytest.mark.parametrize("switch", ["to the port's methods", "back to the native road"])
def test_bytes_read_ahead_survive_a_change_of_road(emulator, make_transport, receiver, switch):
    # The first callback changes how the port is read while the rest of the
    # burst is already taken from the line: every frame still arrives, in order.
    t = make_transport(emulator, connect_on_init=False)
    if switch == "back to the native road":
        _patch_instance(t._ser)
    assert t.connect()

    def action(address, payload, priority_bit):
        if payload == [0]:
            if switch == "to the port's methods":
                _patch_instance(t._ser)
            else:
                del t._ser.read, t._ser.write

    rx = receiver(action)
    t.set_callback(ADDR, rx)
    emulator.send_frames([(ADDR, [i]) for i in range(40)])
    rx.wait(40)
    assert rx.payloads == [[i] for i in range(40)]


def test_port_reopened_by_a_callback_drops_its_unread_input(road_transport, emulator, receiver):
    # Closing and opening the port discards what it had received and not yet
    # read, including what the native road had read ahead.
    t = road_transport()
    reopened = threading.Event()

    def action(address, payload, priority_bit):
        if payload == [0]:
            t._ser.close()
            t._ser.open()
            reopened.set()

    rx = receiver(action)
    t.set_callback(ADDR, rx)
    emulator.send_frames([(ADDR, [i]) for i in range(10)])
    assert reopened.wait(GUARD_S)
    emulator.send(ADDR, [0x7F])
    rx.wait(2)
    assert rx.payloads == [[0], [0x7F]]
    assert t.is_connected


def test_callback_that_reconnects(road_transport, emulator, receiver):
    t = road_transport()
    threads = []

    def action(address, payload, priority_bit):
        if payload == [1]:
            threads.append(t._polling_thread)
            t.connect()

    rx = receiver(action)
    t.set_callback(ADDR, rx)
    emulator.send(ADDR, [1])
    rx.wait(1)
    threads[0].join(GUARD_S)
    assert not threads[0].is_alive()
    assert t.is_connected and t._polling_thread is not threads[0]
    emulator.send(ADDR, [2])
    assert rx.wait(2)[1][1] == [2]


def test_unplugging_ends_the_worker(road_transport, emulator, receiver, log):
    t = road_transport()
    rx = receiver()
    t.set_callback(ADDR, rx)
    emulator.send(ADDR, [1])
    rx.wait(1)
    thread = t._polling_thread
    emulator.close_line()
    thread.join(GUARD_S)
    assert not thread.is_alive()
    assert not t.is_connected and not t._ser.is_open
    assert log.records == []
    assert t.send_VKL(ADDR, [1]) is False
    assert [r.getMessage() for r in log.records] == ["Serial port not connected"]


def test_disconnect_and_connect_again(road_transport, emulator, receiver):
    t = road_transport()
    rx = receiver()
    t.set_callback(ADDR, rx)
    first = t._polling_thread
    t.disconnect()
    assert not first.is_alive() and not t._ser.is_open
    assert t.connect()
    emulator.send(ADDR, [4])
    assert rx.wait(1) == [(ADDR, [4], 0)]


# -- writing ---------------------------------------------------------------------

@pytest.mark.parametrize("address, payload, priority, high_speed", [
    (ADDR, [], True, False),
    (0x3FFF, list(range(MAX_PAYLOAD)), True, True),
    (0, [0xC1], False, False),
    (OTHER, [True, 255, 0], False, True),  # a bool element is converted as the interpreter does
])
def test_frames_written(road_transport, emulator, address, payload, priority, high_speed):
    t = road_transport()
    assert t.send_VKL(address, payload, priority, high_speed) is True
    emulator.wait_frames(1)
    assert emulator.raw_received() == encode_frame(address, [int(b) for b in payload], priority, high_speed)


@pytest.mark.parametrize("payload, exc, text", [
    ([1, 256], ValueError, "bytes must be in range(0, 256)"),
    ([1, -1], ValueError, "bytes must be in range(0, 256)"),
    ([1, 2.0], TypeError, "'float' object cannot be interpreted as an integer"),
])
def test_payload_that_cannot_be_encoded(road_transport, emulator, payload, exc, text):
    t = road_transport()
    with pytest.raises(exc) as info:
        t.send_VKL(ADDR, payload)
    assert str(info.value) == text
    t.send_VKL(ADDR, [3])
    assert emulator.wait_frames(1)[0].payload == [3]
    assert emulator.raw_received() == encode_frame(ADDR, [3], True)


@pytest.fixture
def undrained_line():
    """A pty whose far end nobody reads: the port's output buffer fills up."""
    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    yield os.ttyname(slave)
    os.close(master)
    os.close(slave)


def test_write_timeout_on_a_full_line(make_transport, undrained_line, road):
    t = make_transport(undrained_line, connect_on_init=False)
    port_for(ROADS[road], t)
    assert t.connect()
    t._ser.write_timeout = 0.05
    outcome = []

    def fill():
        try:
            for _ in range(100000):
                t.send_VKL(ADDR, list(range(MAX_PAYLOAD)))
        except Exception as e:  # noqa: BLE001 - handed to the test
            outcome.append(e)

    # On its own thread: a writer that ignored the time-out would block for good.
    writer = threading.Thread(target=fill, daemon=True)
    writer.start()
    writer.join(GUARD_S)
    assert not writer.is_alive(), "the write never timed out"
    assert [(type(e), str(e)) for e in outcome] == [(serial.SerialTimeoutException, "Write timeout")]


def test_write_failure(make_transport, emulator, road):
    # The port's descriptor stops taking output (here: it now names the read
    # end of a pipe); the error is pyserial's, word for word.
    t = make_transport(emulator, connect_on_init=False)
    port_for(ROADS[road], t)
    assert t.connect()
    r, w = os.pipe()
    try:
        os.dup2(r, t._ser.fd)
        with pytest.raises(serial.SerialException) as info:
            t.send_VKL(ADDR, [1])
    finally:
        os.close(r)
        os.close(w)
    assert type(info.value) is serial.SerialException
    assert str(info.value) == "write failed: [Errno 9] Bad file descriptor"
