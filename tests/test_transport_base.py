"""VklTransport: logger, receive-callback table, re-entrant lock and close.  The lock and
the table are seen as the serial transport's own dispatch uses them."""

import logging
import os
import threading

import pytest
import serial

import vkl_api._transport as transport_mod
from vkl_api._transport import VklTransport

from conftest import GUARD_S, run_guarded


@pytest.fixture
def link(make_transport):
    """An unconnected serial transport: its _process_pkt is the module's own dispatch of a
    received frame to the callback table under the lock."""
    return make_transport(connect_on_init=False)


class TestConstruction:
    def test_fields(self):
        t = VklTransport()
        assert type(t.callbacks) is dict and t.callbacks == {}
        assert hasattr(t.lock, "__enter__") and hasattr(t.lock, "__exit__")
        assert callable(t.logger.error) and callable(t.logger.warning)

    def test_default_logger(self):
        t = VklTransport(logger=None)
        assert isinstance(t.logger, logging.Logger)
        assert t.logger is transport_mod.logger

    def test_given_logger_kept(self):
        lg = logging.getLogger("test.transport")
        assert VklTransport(logger=lg).logger is lg
        assert VklTransport(lg).logger is lg

    def test_instances_do_not_share_state(self):
        a, b = VklTransport(), VklTransport()
        assert a.callbacks is not b.callbacks
        assert a.lock is not b.lock

    def test_subclass_passes_arguments_on(self):
        lg = logging.getLogger("test.transport.sub")

        class Sub(VklTransport):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                self.adapter_address = 1

        t = Sub(logger=lg)
        assert (t.logger, t.adapter_address, t.callbacks) == (lg, 1, {})

    def test_unknown_argument_refused(self):
        with pytest.raises(TypeError):
            VklTransport(port="/dev/null")


class TestCallbacks:
    def test_set_replace_remove(self):
        t = VklTransport()
        f, g = (lambda *a: None), (lambda *a: None)
        assert t.set_callback(0x10, f) is None
        assert t.callbacks == {0x10: f}
        t.set_callback(0x10, g)
        assert t.callbacks[0x10] is g
        t.set_callback(0x11, f)
        assert t.remove_callback(0x10) is None
        assert t.callbacks == {0x11: f}

    def test_remove_absent_address_is_harmless(self):
        t = VklTransport()
        t.set_callback(0x20, print)
        t.remove_callback(0x30)
        t.remove_callback(0x20)
        t.remove_callback(0x20)
        assert t.callbacks == {}

    def test_table_looked_up_through_instance(self):
        t = VklTransport()
        own = {}
        t.callbacks = own
        t.set_callback(5, print)
        assert own == {5: print}
        t.remove_callback(5)
        assert own == {}


class TestLock:
    def test_reentrant(self):
        t = VklTransport()
        with t.lock:
            with t.lock:
                assert t.lock.acquire(blocking=False)
                t.lock.release()

    def test_callback_calls_back_into_transport_without_deadlock(self, link):
        calls = []

        def other(address, payload, priority_bit):
            calls.append("other")

        def callback(address, payload, priority_bit):
            calls.append("callback")
            link.set_callback(0x11, other)
            link.remove_callback(address)
            link.remove_callback(address)
            link.close()
            link.close()
            # The lock is still usable from inside the callback.
            with link.lock:
                calls.append("nested")

        link.set_callback(0x10, callback)
        run_guarded(link._process_pkt, 0x10, b"\x01", 0)
        run_guarded(link._process_pkt, 0x11, b"\x02", 0)
        assert calls == ["callback", "nested", "other"]
        assert link.callbacks == {0x11: other}

    def test_table_changes_from_another_thread_while_a_callback_runs(self, link):
        t = link
        entered = threading.Event()
        proceed = threading.Event()

        def callback(address, payload, priority_bit):
            entered.set()
            assert proceed.wait(GUARD_S), "the application thread was blocked"

        t.set_callback(0x10, callback)
        poller = threading.Thread(target=t._process_pkt, args=(0x10, b"\x01", 0), daemon=True)
        poller.start()
        assert entered.wait(GUARD_S)
        # An application thread registers and unregisters while the lock is held.
        run_guarded(lambda: (t.set_callback(0x20, print), t.remove_callback(0x20), t.remove_callback(0x30)))
        proceed.set()
        poller.join(GUARD_S)
        assert not poller.is_alive()
        assert t.callbacks == {0x10: callback}

    def test_lock_released_when_callback_raises(self, link):
        def bad(*args):
            assert link.lock._is_owned()
            raise RuntimeError("decode failed")

        link.set_callback(0x10, bad)
        with pytest.raises(RuntimeError, match="decode failed"):
            link._process_pkt(0x10, b"", 0)
        assert not link.lock._is_owned()
        # Free for another thread, too: a lock left held would block it until the guard.
        assert run_guarded(lambda: link.lock.acquire(timeout=1.0) and (link.lock.release() is None)) is True


class TestClose:
    def test_without_disconnect_or_port(self):
        t = VklTransport()
        assert t.close() is None
        assert t.close() is None

    def test_through_subclass_disconnect_then_port(self):
        events = []

        class Port:
            def close(self):
                events.append("port closed")

        class Link(VklTransport):
            def __init__(self):
                super().__init__()
                self._ser = Port()

            def disconnect(self):
                events.append("disconnect")

        t = Link()
        t.close()
        assert events == ["disconnect", "port closed"]
        t.close()
        assert events == ["disconnect", "port closed"] * 2

    def test_with_only_disconnect(self):
        class Link(VklTransport):
            count = 0

            def disconnect(self):
                self.count += 1

        t = Link()
        t.close()
        t.close()
        assert t.count == 2

    def test_port_none_skipped(self):
        events = []

        class Link(VklTransport):
            _ser = None

            def disconnect(self):
                events.append("disconnect")

        assert Link().close() is None
        assert events == ["disconnect"]

    def test_real_serial_port_closed_once_and_again(self):
        master, slave = os.openpty()
        try:
            class Link(VklTransport):
                def __init__(self):
                    super().__init__()
                    self._ser = serial.Serial(os.ttyname(slave), timeout=0)
                    self.disconnected = 0

                def disconnect(self):
                    self.disconnected += 1

            t = Link()
            assert t._ser.is_open
            t.close()
            assert not t._ser.is_open
            t.close()
            assert not t._ser.is_open and t.disconnected == 2
        finally:
            os.close(master)
            os.close(slave)

    def test_disconnect_error_propagates(self):
        class Link(VklTransport):
            def disconnect(self):
                raise OSError("gone")

        with pytest.raises(OSError, match="gone"):
            Link().close()
