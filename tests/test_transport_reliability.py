"""VklOverUsb under stress: receive callbacks that call back into the
transport, lifecycle calls racing each other and the polling thread, the line
going away, and interpreter exit with a polling thread still running.

A deadlock makes a wait with a guard time-out fail; no test measures speed."""

import logging
import os
import subprocess
import sys
import textwrap
import threading

import pytest

from conftest import GUARD_S, run_guarded, wait_until
from emulator import Emulator, encode_frame

ADDR = 0x20
OTHER = 0x21


def polling_threads_of(transport):
    return [th for th in threading.enumerate()
            if getattr(getattr(th, "_target", None), "__self__", None) is transport]


def ended(thread):
    thread.join(GUARD_S)
    return not thread.is_alive()


class TestCallbackCallsBack:
    """A receive callback runs on the polling thread with the lock held and may
    call any method of its transport."""

    @pytest.fixture
    def log(self, caplog):
        caplog.set_level(logging.WARNING)
        return caplog

    def call_from_callback(self, emulator, transport, action):
        done = threading.Event()
        outcome = {}

        def callback(address, payload, priority_bit):
            try:
                outcome["result"] = action(transport)
            except BaseException as e:  # noqa: BLE001
                outcome["error"] = e
            done.set()

        transport.set_callback(ADDR, callback)
        emulator.send(ADDR, [1])
        assert done.wait(GUARD_S), "deadlock: the callback did not return"
        assert "error" not in outcome, outcome.get("error")
        return outcome.get("result")

    def test_set_and_remove_callback(self, emulator, transport, receiver, log):
        other = receiver()

        def action(t):
            t.set_callback(OTHER, other)
            t.remove_callback(ADDR)
            t.remove_callback(ADDR)

        self.call_from_callback(emulator, transport, action)
        emulator.send_frames([(ADDR, [2]), (OTHER, [3])])
        assert other.wait(1) == [(OTHER, [3], 0)]
        assert ADDR not in transport.callbacks
        assert log.records == []
        assert transport.is_connected

    @pytest.mark.parametrize("method", ["close", "disconnect", "enter_bootloader"])
    def test_ending_the_link(self, emulator, transport, log, method):
        thread = transport._polling_thread
        self.call_from_callback(emulator, transport, lambda t: getattr(t, method)())
        assert ended(thread)
        assert not transport.is_connected and not transport._ser.is_open
        assert log.records == []
        # The transport can be connected again afterwards, from the application.
        assert run_guarded(transport.connect) is True
        assert transport._polling_thread is not thread and transport.is_connected

    def test_close_twice_from_the_callback(self, emulator, transport):
        thread = transport._polling_thread
        self.call_from_callback(emulator, transport, lambda t: (t.close(), t.close()))
        assert ended(thread) and not transport._ser.is_open

    def test_reconnect(self, emulator, transport, receiver, log):
        old = transport._polling_thread
        assert self.call_from_callback(emulator, transport, lambda t: t.connect()) is True
        new = transport._polling_thread
        assert new is not old and ended(old)
        assert new.is_alive() and transport.is_connected and transport._ser.is_open
        rx = receiver()
        transport.set_callback(ADDR, rx)
        emulator.send(ADDR, [2])
        assert rx.wait(1) == [(ADDR, [2], 0)] and rx.threads == [new]
        assert log.records == []
        assert polling_threads_of(transport) == [new]

    def test_send_from_the_callback(self, emulator, transport):
        # As a device error handler does when it stops the actuator.
        assert self.call_from_callback(emulator, transport, lambda t: t.send_VKL(ADDR, [0x02])) is True
        assert emulator.wait_frame(lambda f: f.payload == [0x02]).address == ADDR

    def test_lock_free_after_a_callback_raised(self, emulator, transport, receiver, log):
        rx = receiver(lambda *a: 1 / 0)
        transport.set_callback(ADDR, rx)
        emulator.send(ADDR, [1])
        rx.wait(1)
        def take_and_give_back():
            got = transport.lock.acquire(timeout=GUARD_S)
            if got:
                transport.lock.release()
            return got

        assert run_guarded(take_and_give_back)


class TestRacingTheCallback:
    @pytest.fixture
    def blocked(self, emulator, transport):
        """A callback that holds the polling thread until released."""
        entered, release = threading.Event(), threading.Event()

        def callback(address, payload, priority_bit):
            entered.set()
            release.wait(GUARD_S)

        transport.set_callback(ADDR, callback)
        emulator.send(ADDR, [1])
        assert entered.wait(GUARD_S)
        yield release
        release.set()

    def test_table_changes_while_a_callback_runs(self, transport, blocked):
        run_guarded(lambda: (transport.set_callback(OTHER, print), transport.remove_callback(OTHER)))
        assert OTHER not in transport.callbacks

    def test_connect_waits_for_the_old_thread(self, emulator, transport, blocked, receiver):
        # The old thread stays in its callback past the join time-out of
        # disconnect; the new connection must not be opened under it (the old
        # thread would close the port behind the new one).
        old = transport._polling_thread
        timer = threading.Timer(1.3, blocked.set)
        timer.start()
        try:
            assert run_guarded(transport.connect) is True
        finally:
            timer.cancel()
        assert not old.is_alive()
        new = transport._polling_thread
        assert new is not old and new.is_alive()
        assert transport.is_connected and transport._ser.is_open
        rx = receiver()
        transport.set_callback(ADDR, rx)
        emulator.send(ADDR, [2])
        assert rx.wait(1) == [(ADDR, [2], 0)]

    def test_callback_reconnects_while_the_application_connects(self, emulator, transport, receiver, caplog):
        caplog.set_level(logging.WARNING)
        entered, release = threading.Event(), threading.Event()
        inner = {}

        def callback(address, payload, priority_bit):
            if payload == [1]:
                entered.set()
                release.wait(GUARD_S)
                inner["result"] = transport.connect()

        transport.set_callback(ADDR, callback)
        emulator.send(ADDR, [1])
        assert entered.wait(GUARD_S)
        old = transport._polling_thread
        outer = {}
        app = threading.Thread(target=lambda: outer.setdefault("result", transport.connect()), daemon=True)
        app.start()
        # The application's connect has stopped the old worker's run flag and now waits
        # for that thread, which is still inside the callback.
        wait_until(lambda: not transport._polling_thread_event.is_set(), timeout=GUARD_S)
        assert app.is_alive() and old.is_alive() and outer == {}
        release.set()
        app.join(GUARD_S)
        assert not app.is_alive(), "deadlock: connect did not return"
        assert outer == {"result": True} and inner == {"result": True}
        assert not old.is_alive()
        assert polling_threads_of(transport) == [transport._polling_thread]
        assert transport.is_connected and caplog.records == []
        rx = receiver()
        transport.set_callback(ADDR, rx)
        emulator.send(ADDR, [2])
        assert rx.wait(1) == [(ADDR, [2], 0)]

    def test_close_while_a_callback_runs(self, transport, blocked):
        thread = transport._polling_thread
        run_guarded(transport.close)  # waits at most the join time-out
        assert not transport._ser.is_open
        blocked.set()
        assert ended(thread)
        assert not transport.is_connected


class TestLifecycleRaces:
    def test_concurrent_connect_disconnect_close(self, emulator, transport, receiver, caplog):
        caplog.set_level(logging.WARNING)
        results = []
        start = threading.Barrier(4)

        def worker(ops):
            start.wait(GUARD_S)
            for i in range(6):
                for op in ops:
                    r = getattr(transport, op)()
                    if op == "connect":
                        results.append(r)

        threads = [threading.Thread(target=worker, args=(ops,), daemon=True) for ops in
                   (["connect"], ["connect", "disconnect"], ["close", "connect"], ["disconnect", "connect"])]
        for th in threads:
            th.start()
        for th in threads:
            th.join(60.0)
            assert not th.is_alive(), "deadlock in concurrent lifecycle calls"
        assert results and all(r is True for r in results)
        assert caplog.records == []
        assert run_guarded(transport.connect) is True
        alive = polling_threads_of(transport)
        assert alive == [transport._polling_thread]
        rx = receiver()
        transport.set_callback(ADDR, rx)
        emulator.send(ADDR, [1])
        assert rx.wait(1) == [(ADDR, [1], 0)]

    def test_sends_while_reconnecting(self, emulator, transport):
        # Sends take no lock: one that meets the port while it is being closed
        # gets the port's own error.  The writer and the link both carry on.
        stop = threading.Event()
        outcomes = []

        def writer():
            while not stop.is_set():
                try:
                    outcomes.append(transport.send_VKL(ADDR, [1, 2, 3]))
                except Exception as e:  # noqa: BLE001 - the port's error on a racing close
                    outcomes.append(type(e))

        th = threading.Thread(target=writer, daemon=True)
        th.start()
        try:
            for _ in range(3):
                assert run_guarded(transport.connect) is True
        finally:
            stop.set()
            th.join(GUARD_S)
        assert not th.is_alive()
        assert True in outcomes
        emulator.clear()
        assert transport.send_VKL(ADDR, [4]) is True
        assert emulator.wait_frame(lambda f: f.payload == [4])


class TestUnplug:
    def test_idle_line(self, emulator, transport):
        thread = transport._polling_thread
        emulator.close_line()
        assert ended(thread)
        assert not transport.is_connected and not transport._ser.is_open

    def test_during_a_flood(self, emulator, transport, receiver, caplog):
        caplog.set_level(logging.WARNING)
        rx = receiver()
        transport.set_callback(ADDR, rx)
        emulator.stream(ADDR, list(range(40)), rate_hz=0)  # as fast as the line takes it
        rx.wait(50)
        thread = transport._polling_thread
        emulator.close_line()
        assert ended(thread)
        assert not transport.is_connected and not transport._ser.is_open
        assert all(p == list(range(40)) for p in rx.payloads)
        assert caplog.records == []

    def test_during_a_callback(self, emulator, transport, receiver):
        def action(*args):
            emulator.close_line()

        transport.set_callback(ADDR, receiver(action))
        thread = transport._polling_thread
        emulator.send(ADDR, [1])
        assert ended(thread)
        assert not transport.is_connected

    def test_transport_usable_on_another_line(self, emulator, transport, receiver):
        thread = transport._polling_thread
        emulator.close_line()
        assert ended(thread)
        with Emulator() as other:
            assert run_guarded(transport.connect, other.port) is True
            rx = receiver()
            transport.set_callback(ADDR, rx)
            other.send(ADDR, [7])
            assert rx.wait(1) == [(ADDR, [7], 0)]
            transport.close()


EXIT_SCRIPT = textwrap.dedent("""
    import sys, threading, time
    sys.path.insert(0, {tests!r})
    from emulator import Emulator
    from vkl_api.vkl_over_usb import VklOverUsb

    scenario = {scenario!r}
    emu = Emulator().start()
    t = VklOverUsb(emu.port)
    assert t.is_connected
    entered = threading.Event()
    never = threading.Event()

    def callback(address, payload, priority_bit):
        entered.set()
        if scenario == "callback sleeping":
            time.sleep(0.5)
        elif scenario == "callback blocked":
            never.wait()
        elif scenario == "callback sending":
            t.send_VKL(0x21, [1, 2, 3])

    t.set_callback(0x20, callback)
    if scenario != "idle":
        emu.stream(0x20, list(range(40)), rate_hz=0)
        assert entered.wait(10)
    if scenario == "unplugged":
        emu.close_line()
        t._polling_thread.join(10)
    time.sleep(0.2)
    print("leaving", flush=True)
""")


@pytest.mark.parametrize("scenario", ["idle", "flood", "callback sleeping", "callback blocked",
                                      "callback sending", "unplugged"])
def test_interpreter_exit_with_a_live_polling_thread(scenario):
    tests = os.path.dirname(os.path.abspath(__file__))
    script = EXIT_SCRIPT.format(tests=tests, scenario=scenario)
    try:
        proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("the interpreter hung at exit")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "leaving\n"
    assert "Traceback" not in proc.stderr and "Fatal" not in proc.stderr, proc.stderr
