"""Shared fixtures: the serial-line emulator and transports connected to it.

``emulator``        a started ``emulator.Emulator`` (stopped at teardown).
``make_transport``  factory ``make_transport(emu_or_port=None, **kwargs)`` building a
                    ``VklOverUsb`` on the emulator's port (``connect_on_init`` as given,
                    default True); every transport it built is closed at teardown.
``transport``       a connected ``VklOverUsb`` on ``emulator``.
``wrappers``        factory ``wrappers(lib, bindings, cls=ActuatorWrapper)`` of twin-engine
                    wrappers; each is released at teardown (``release_twin``).
``receiver``        factory ``receiver(action=None)`` of ``Receiver`` objects: a receive
                    callback that records ``(address, payload, priority_bit)`` calls (and the
                    thread they ran on), runs ``action(address, payload, priority_bit)``
                    if given, and lets the test wait for them.

Helpers (import them from ``conftest``):

``GUARD_S``                      deadlock guard in seconds; a healthy run never comes near it.
``wait_until(pred, timeout=5.0)`` poll ``pred`` until it is true (returns True); raise
                                 AssertionError at the deadline.
``run_guarded(target, *args)``   run ``target(*args)`` on its own thread and hand back its
                                 result or exception; fail instead of hanging when it does
                                 not return within ``GUARD_S``.
``release_twin(w)``              terminate a twin-engine wrapper left initialised and remove
                                 its private copy of the library.

The whole run (and every subprocess it starts) makes its temporary files under one
private directory, removed when the run ends, whatever the outcome: the twin engine
copies each shared library it loads into a directory of its own and removes it only
when the twin is terminated, so wrappers that a test leaves behind (failed or not)
would otherwise pile up in the system's temporary directory.
"""

import os
import shutil
import tempfile
import threading
import time

import pytest

from emulator import Emulator

GUARD_S = 10.0

_temp_root = None


def pytest_configure(config):
    global _temp_root
    _temp_root = tempfile.mkdtemp(prefix="vkl-tests-")
    os.environ["TMPDIR"] = _temp_root
    tempfile.tempdir = _temp_root


def pytest_unconfigure(config):
    global _temp_root
    if _temp_root is not None:
        shutil.rmtree(_temp_root, ignore_errors=True)
        _temp_root = None


def wait_until(pred, timeout=5.0, interval=0.002):
    deadline = time.monotonic() + timeout
    while not pred():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached before the deadline")
        time.sleep(interval)
    return True


def run_guarded(target, *args):
    """Run target(*args) on its own thread (as the polling thread would); fail instead of
    hanging when it does not return."""
    outcome = {}

    def body():
        try:
            outcome["result"] = target(*args)
        except BaseException as e:  # noqa: BLE001 - handed back to the test
            outcome["error"] = e

    th = threading.Thread(target=body, daemon=True)
    th.start()
    th.join(GUARD_S)
    assert not th.is_alive(), "deadlock: the call did not return"
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("result")


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


def release_twin(w):
    """Terminate a wrapper left initialised and remove its private copy: a wrapper never
    initialised (or initialised again after terminate) keeps its directory otherwise."""
    if getattr(w, "_initialized", False):
        try:
            w.terminate()
        except Exception:
            pass
    tmp = getattr(w, "tmp_dir", None)
    if tmp is not None:
        shutil.rmtree(tmp, ignore_errors=True)


@pytest.fixture
def wrappers():
    from vkl_api._twin_engine import ActuatorWrapper

    made = []

    def make(lib, bindings, cls=ActuatorWrapper):
        w = cls(str(lib), str(bindings))
        made.append(w)
        return w

    yield make
    for w in made:
        release_twin(w)


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
