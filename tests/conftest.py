"""Shared fixtures: the serial-line emulator and transports connected to it.

``emulator``        a started ``emulator.Emulator`` (stopped at teardown).
``make_transport``  factory ``make_transport(emu_or_port=None, **kwargs)`` building a
                    ``VklOverUsb`` on the emulator's port (``connect_on_init`` as given,
                    default True); every transport it built is closed at teardown.
``transport``       a connected ``VklOverUsb`` on ``emulator``.
``receiver``        factory ``receiver(action=None)`` of ``Receiver`` objects: a receive
                    callback that records ``(address, payload, priority_bit)`` calls (and the
                    thread they ran on), runs ``action(address, payload, priority_bit)``
                    if given, and lets the test wait for them.
"""

import threading
import time

import pytest

from emulator import Emulator


@pytest.fixture
def emulator():
    emu = Emulator().start()
    try:
        yield emu
    finally:
        emu.stop()


@pytest.fixture
def make_transport():
    from vkl_api.vkl_over_usb import VklOverUsb

    built = []

    def make(emu_or_port=None, cls=None, **kwargs):
        port = getattr(emu_or_port, "port", emu_or_port)
        t = (cls or VklOverUsb)(port, **kwargs)
        built.append(t)
        return t

    yield make
    # Closed on a guard thread: a transport left locked by a failed test must
    # not hang the run.
    hung = []
    for t in built:
        closer = threading.Thread(target=_close_quietly, args=(t,), daemon=True)
        closer.start()
        closer.join(15.0)
        if closer.is_alive():
            hung.append(t)
    assert not hung, f"close() did not return for {hung!r}"


def _close_quietly(t):
    try:
        t.close()
    except Exception:
        pass


@pytest.fixture
def transport(emulator, make_transport):
    t = make_transport(emulator)
    assert t.is_connected
    return t


class Receiver:
    """A receive callback that records its calls; ``wait(n)`` blocks until ``n`` arrived."""

    def __init__(self, action=None):
        self.action = action
        self.calls = []
        self.threads = []
        self._cond = threading.Condition()

    def __call__(self, address, payload, priority_bit):
        with self._cond:
            self.calls.append((address, payload, priority_bit))
            self.threads.append(threading.current_thread())
            self._cond.notify_all()
        if self.action is not None:
            self.action(address, payload, priority_bit)

    def wait(self, n=1, timeout=5.0):
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self.calls) < n:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"expected {n} call(s), got {self.calls!r}")
                self._cond.wait(left)
            return list(self.calls)

    @property
    def payloads(self):
        with self._cond:
            return [c[1] for c in self.calls]


@pytest.fixture
def receiver():
    return Receiver
