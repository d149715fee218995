"""Device emulator for the serial line: the far end of a real pseudo-terminal.

The emulator opens a pty pair (raw mode) and plays the device side on the
master; the library under test opens ``emu.port`` (the slave's path) through
pyserial like any serial adapter.  A reader thread decodes every frame the
library writes; frames, raw bytes and faults can be written back at any time.

Frame on the line: start byte, 16-bit little-endian address-and-flags word
(address in bits 0-13, priority bit 14, CAN high-speed bit 15), length byte,
payload, trailer byte.  Constants come from ``vkl_api._protocol``.

API (stable; extend, don't change):

``Frame(address, payload, priority=False, high_speed=False)``
    A decoded frame (dataclass).  ``payload`` is a list of ints.
    ``frame.encode()`` gives its bytes.

``encode_frame(address, payload, priority=False, high_speed=False, *, start=None, trailer=None, length=None) -> bytes``
    Bytes of one frame; ``start``/``trailer``/``length`` override the
    respective byte to build malformed frames.

``Emulator(responder=None)``  (use as a context manager, or ``start()`` / ``stop()``)
    ``port``                       slave path to hand to the transport.
    ``frames``                     list of every ``Frame`` received so far (in order).
    ``wait_frames(n=1, timeout=2.0)``  wait until at least ``n`` frames have been
                                   received since the last ``clear()``; returns them
                                   (AssertionError on time-out).
    ``wait_frame(pred=None, timeout=2.0)``  first received frame (since ``clear()``)
                                   matching ``pred`` (AssertionError on time-out).
    ``clear()``                    forget received frames.
    ``raw_received()``             every byte received so far (bytes).

    Writing to the library (all writes are serialised, one frame stays whole):
    ``send(address, payload, priority=False, high_speed=False)``  one good frame.
    ``send_frames(frames)``        several ``Frame``/tuples in one write.
    ``send_raw(data)``             arbitrary bytes.
    ``send_garbage(n=16, seed=0)`` ``n`` random bytes that contain no start byte.
    ``send_short(address, payload, missing=1)``  a frame cut ``missing`` bytes short
                                   (the line then idles: the reader times out).
    ``send_wrong_trailer(address, payload, trailer=None)``  a frame with a bad trailer.
    ``send_stalled(data, split, pause)``  write ``data[:split]``, idle ``pause``
                                   seconds, then write the rest.
    ``stream(address, payload, rate_hz, count=None, priority=False) -> Stream``
                                   write the frame repeatedly from a thread;
                                   ``Stream.stop()``, ``Stream.sent``.

    Playing devices (called on the emulator's reader thread):
    ``responder``                  callable(Frame) -> iterable of replies or None,
                                   used for addresses without their own device.
    ``add_device(address, responder)`` / ``remove_device(address)``
                                   a responder for one address (0 is the device at
                                   the USB end of the line).
    A reply is a ``Frame``, a tuple ``(address, payload[, priority[, high_speed]])``
    or raw ``bytes``.  An exception raised by a responder is kept in
    ``responder_errors`` (and does not stop the emulator).

    ``close_line()``               close the device side: the library's next read
                                   fails with a serial error.
    ``stop()``                     end the threads and close both ends.
"""

from __future__ import annotations

import dataclasses
import os
import random
import select
import threading
import time
import tty
from typing import Callable, Iterable, List, Optional

from vkl_api import _protocol

START = _protocol.VKL_USB_MSG_START_BYTE
TRAILER = _protocol.VKL_USB_CRC_MAGIC_NUMBER
HEADER_LENGTH = _protocol.VKL_USB_MSG_HEADER_LENGTH
MAX_PAYLOAD = _protocol.VKL_USB_MAX_PAYLOAD_SIZE

ADDRESS_MASK = 0x3FFF
PRIORITY_BIT = 1 << 14
HIGH_SPEED_BIT = 1 << 15


@dataclasses.dataclass
class Frame:
    address: int
    payload: List[int]
    priority: bool = False
    high_speed: bool = False

    def encode(self) -> bytes:
        return encode_frame(self.address, self.payload, self.priority, self.high_speed)


def encode_frame(address, payload, priority=False, high_speed=False, *, start=None, trailer=None, length=None) -> bytes:
    word = (address & ADDRESS_MASK) | (PRIORITY_BIT if priority else 0) | (HIGH_SPEED_BIT if high_speed else 0)
    payload = bytes(payload)
    return (
        bytes([START if start is None else start, word & 0xFF, word >> 8,
               len(payload) if length is None else length])
        + payload
        + bytes([TRAILER if trailer is None else trailer])
    )


def _as_bytes(reply) -> bytes:
    if isinstance(reply, (bytes, bytearray)):
        return bytes(reply)
    if isinstance(reply, Frame):
        return reply.encode()
    return Frame(*reply).encode()


class Stream:
    """A frame written repeatedly at a rate by a background thread."""

    def __init__(self, emu: "Emulator", data: bytes, rate_hz: float, count: Optional[int]):
        self._emu = emu
        self._data = data
        self._period = 1.0 / rate_hz if rate_hz > 0 else 0.0
        self._count = count
        self._stop = threading.Event()
        self.sent = 0
        self._thread = threading.Thread(target=self._run, daemon=True, name="emulator-stream")
        self._thread.start()

    def _run(self):
        next_t = time.monotonic()
        while not self._stop.is_set() and (self._count is None or self.sent < self._count):
            if not self._emu._write(self._data, self._stop):
                break
            self.sent += 1
            if self._period:
                next_t += self._period
                delay = next_t - time.monotonic()
                if delay > 0:
                    self._stop.wait(delay)

    def wait(self, timeout=5.0):
        self._thread.join(timeout)
        return not self._thread.is_alive()

    def stop(self):
        self._stop.set()
        self._thread.join(2.0)


class Emulator:
    def __init__(self, responder: Optional[Callable] = None):
        self.responder = responder
        self.devices = {}
        self.frames: List[Frame] = []
        self.responder_errors: List[BaseException] = []
        self._raw = bytearray()
        self._cond = threading.Condition()
        self._mark = 0
        self._wlock = threading.Lock()
        self._stop = threading.Event()
        self._closed = False
        self._master, self._slave = os.openpty()
        tty.setraw(self._slave)
        tty.setraw(self._master)
        os.set_blocking(self._master, False)
        self.port = os.ttyname(self._slave)
        self._streams: List[Stream] = []
        self._thread = threading.Thread(target=self._reader, daemon=True, name="emulator-reader")

    # -- lifecycle ------------------------------------------------------------
    def start(self) -> "Emulator":
        self._thread.start()
        return self

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self._stop.set()
        for s in self._streams:
            s.stop()
        if self._thread.is_alive():
            self._thread.join(2.0)
        self.close_line()
        if self._slave is not None:
            os.close(self._slave)
            self._slave = None

    def close_line(self):
        """Close the device side of the line (like unplugging the adapter)."""
        with self._wlock:
            if not self._closed:
                self._closed = True
                os.close(self._master)

    # -- reading what the library writes ------------------------------------
    def _reader(self):
        buf = bytearray()
        while not self._stop.is_set():
            if self._closed:
                return
            try:
                r, _, _ = select.select([self._master], [], [], 0.05)
                if not r:
                    continue
                data = os.read(self._master, 65536)
            except (OSError, ValueError):
                # EIO while no one holds the slave open, or the line was closed.
                if self._closed:
                    return
                time.sleep(0.01)
                continue
            if not data:
                continue
            buf += data
            with self._cond:
                self._raw += data
            self._parse(buf)

    def _parse(self, buf: bytearray):
        while buf:
            if buf[0] != START:
                del buf[0]
                continue
            if len(buf) < HEADER_LENGTH:
                return
            n = buf[3]
            if len(buf) < HEADER_LENGTH + n + 1:
                return
            if buf[HEADER_LENGTH + n] != TRAILER:
                del buf[0]
                continue
            word = buf[1] | (buf[2] << 8)
            frame = Frame(word & ADDRESS_MASK, list(buf[HEADER_LENGTH:HEADER_LENGTH + n]),
                          bool(word & PRIORITY_BIT), bool(word & HIGH_SPEED_BIT))
            del buf[:HEADER_LENGTH + n + 1]
            with self._cond:
                self.frames.append(frame)
                self._cond.notify_all()
            self._respond(frame)

    def _respond(self, frame: Frame):
        fn = self.devices.get(frame.address, self.responder)
        if fn is None:
            return
        try:
            replies = fn(frame)
            if replies:
                data = b"".join(_as_bytes(r) for r in replies)
                self._write(data)
        except BaseException as e:  # keep the emulator alive; tests inspect this
            self.responder_errors.append(e)

    def received(self) -> List[Frame]:
        with self._cond:
            return list(self.frames[self._mark:])

    def raw_received(self) -> bytes:
        with self._cond:
            return bytes(self._raw)

    def clear(self):
        with self._cond:
            self._mark = len(self.frames)

    def wait_frames(self, n: int = 1, timeout: float = 2.0) -> List[Frame]:
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self.frames) - self._mark < n:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(
                        f"expected {n} frame(s), got {self.frames[self._mark:]!r}")
                self._cond.wait(left)
            return list(self.frames[self._mark:])

    def wait_frame(self, pred: Optional[Callable[[Frame], bool]] = None, timeout: float = 2.0) -> Frame:
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for f in self.frames[self._mark:]:
                    if pred is None or pred(f):
                        return f
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"no matching frame in {self.frames[self._mark:]!r}")
                self._cond.wait(left)

    # -- devices ------------------------------------------------------------------
    def add_device(self, address: int, responder: Callable):
        self.devices[address] = responder

    def remove_device(self, address: int):
        self.devices.pop(address, None)

    # -- writing to the library ------------------------------------------------
    def _write(self, data: bytes, stop: Optional[threading.Event] = None) -> bool:
        """Write all of ``data``; False when the line is closed or a stop was asked."""
        view = memoryview(data)
        with self._wlock:
            while view:
                if self._closed or self._stop.is_set() or (stop is not None and stop.is_set()):
                    return False
                try:
                    _, w, _ = select.select([], [self._master], [], 0.05)
                    if not w:
                        continue
                    n = os.write(self._master, view)
                except BlockingIOError:
                    continue
                except OSError:
                    return False
                view = view[n:]
        return True

    def send(self, address, payload, priority=False, high_speed=False):
        self._write(encode_frame(address, payload, priority, high_speed))

    def send_frames(self, frames: Iterable):
        self._write(b"".join(_as_bytes(f) for f in frames))

    def send_raw(self, data: bytes):
        self._write(bytes(data))

    def send_garbage(self, n: int = 16, seed: int = 0):
        rng = random.Random(seed)
        self._write(bytes(rng.choice([b for b in range(256) if b != START]) for _ in range(n)))

    def send_short(self, address, payload, missing: int = 1):
        data = encode_frame(address, payload)
        self._write(data[:len(data) - missing])

    def send_wrong_trailer(self, address, payload, trailer=None):
        bad = (TRAILER ^ 0xFF) if trailer is None else trailer
        self._write(encode_frame(address, payload, trailer=bad))

    def send_stalled(self, data: bytes, split: int, pause: float):
        self._write(bytes(data[:split]))
        time.sleep(pause)
        self._write(bytes(data[split:]))

    def stream(self, address, payload, rate_hz: float, count: Optional[int] = None, priority=False,
               high_speed=False) -> Stream:
        s = Stream(self, encode_frame(address, payload, priority, high_speed), rate_hz, count)
        self._streams.append(s)
        return s
