"""The bus scanner on an emulated line: a CAN adapter at address 0 with actuators
behind it, an actuator attached directly, a silent port, and an interrupted scan.
Silent addresses cost no real time: the module's clock moves only when it sleeps,
and stands still (with real sleeps) while an answering address is being pinged."""

import io
import logging
import sys

import pytest

from device_models import Actuator, CanAdapter, FakeClock, NullTransport, RecordingTransport, clock, pack_firmware  # noqa: F401
from vkl_api import kavrel_actuator_real as kar
from vkl_api.kavrel_actuator_real import KavrelActuatorReal, KavrelActuatorScannerReal


@pytest.fixture
def bus(emulator, make_transport):
    emulator.add_device(0, CanAdapter())
    emulator.add_device(0x10, Actuator(0x10, model_code=2, firmware=(1, 2, 3)))
    emulator.add_device(0x20, Actuator(0x20, model_code=4, firmware=(0, 9, 1)))
    return emulator, make_transport(emulator, cls=RecordingTransport)


def scan_clock(monkeypatch, scanner, answering):
    clock = FakeClock(hold=lambda: scanner.address in answering and not scanner._got_pong)
    return clock.install(monkeypatch, kar)


def test_adapter_scan_finds_the_answering_addresses(bus, monkeypatch, capsys):
    emu, t = bus
    scanner = KavrelActuatorScannerReal(t)
    assert capsys.readouterr().out == f"CAN_ADAPTER version 2.0.1 connected at port '{emu.port}'\n"
    assert scanner.is_connected is True and scanner.address == 0
    scan_clock(monkeypatch, scanner, {0x10, 0x20})
    emu.clear()
    found = scanner.scan(1, 0x30)
    assert found == [16, 32]
    assert capsys.readouterr().out == (
        "Device found: address 0x10 (16)\tmodel VK50\tfirmware version 1.2.3\n"
        "Device found: address 0x20 (32)\tmodel VK70\tfirmware version 0.9.1\n")
    pings = [f for f in emu.wait_frames(0x30) if f.payload == [64]]
    assert [f.address for f in pings] == list(range(1, 0x31))
    assert scanner.address == 0x30
    assert list(t.callbacks) == [0] and t.callbacks[0] == scanner._can_callback
    assert (scanner.model, scanner.firmware_version) == ("VK70", "0.9.1")
    assert t.closed == 0 and t.is_connected


@pytest.mark.parametrize("begin, end, probed", [(5, 5, [5]), (6, 5, []), (17.0, 20.9, [17, 18, 19, 20]),
                                                (True, 3, [1, 2, 3]), (-2, -1, [-2, -1]), (2 ** 80, 3, [])])
def test_scan_range(bus, monkeypatch, capsys, begin, end, probed):
    _, t = bus
    scanner = KavrelActuatorScannerReal(t)
    scan_clock(monkeypatch, scanner, set())
    t.sent.clear()
    assert scanner.scan(begin=begin, end=end) == []
    assert [s.address for s in t.sent] == probed
    assert all(s.copy == [64] for s in t.sent)


def test_scan_bounds_must_be_numbers(bus):
    scanner = KavrelActuatorScannerReal(bus[1])
    for kw, name in [(dict(begin="1"), "begin"), (dict(end=None), "end")]:
        with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type \(expected int, got "):
            scanner.scan(**kw)


def test_keyboard_interrupt_returns_what_was_found(bus, monkeypatch, capsys):
    emu, t = bus
    scanner = KavrelActuatorScannerReal(t)
    capsys.readouterr()
    clock = scan_clock(monkeypatch, scanner, {0x10, 0x20})

    def interrupt(seconds):
        if scanner.address == 0x21:
            raise KeyboardInterrupt

    clock.on_sleep = interrupt
    assert scanner.scan(1, 0x30) == [16, 32]
    assert scanner.address == 0x21 and 0x21 in t.callbacks
    assert capsys.readouterr().out.count("Device found") == 2


def test_other_errors_pass_out_of_the_scan(bus, monkeypatch):
    scanner = KavrelActuatorScannerReal(bus[1])
    clock = scan_clock(monkeypatch, scanner, set())

    def fail(seconds):
        raise RuntimeError("clock broke")

    clock.on_sleep = fail
    with pytest.raises(RuntimeError, match="clock broke"):
        scanner.scan(1, 3)


def test_directly_attached_actuator_closes_the_transport(emulator, make_transport, capsys, caplog):
    emulator.add_device(0, Actuator(0, model_code=2))
    t = make_transport(emulator, cls=RecordingTransport)
    scanner = KavrelActuatorScannerReal(t)
    assert capsys.readouterr().out == f"VK50 connected via USB at port '{emulator.port}'\n"
    assert scanner.is_connected is False and t.closed == 1
    t.sent.clear()
    with caplog.at_level(logging.ERROR):
        assert scanner.scan() == []
    assert [r.getMessage() for r in caplog.records] == ["CAN adapter is not connected"]
    assert t.sent == []
    t.close()   # the creator's own close is harmless


def test_silent_port(emulator, make_transport, clock, capsys, caplog):
    t = make_transport(emulator, cls=RecordingTransport)
    scanner = KavrelActuatorScannerReal(t, logging.getLogger("test.scanner"))
    assert capsys.readouterr().out == f"Device at port '{emulator.port}' not responding\n"
    assert scanner.is_connected is False and t.closed == 0 and t.is_connected
    assert scanner.logger.name == "test.scanner"
    with caplog.at_level(logging.ERROR, logger="test.scanner"):
        assert scanner.scan(1, 2) == []
    assert [r.getMessage() for r in caplog.records] == ["CAN adapter is not connected"]
    assert t.payloads() == [[64]]


def test_port_of_none_is_shown_as_none(clock, capsys):
    KavrelActuatorScannerReal(NullTransport(result=False))
    assert capsys.readouterr().out == "Device at port 'None' not responding\n"


def test_port_name_with_surrogate_escapes_is_printed_as_it_is(clock, monkeypatch):
    # A port name the shell handed over undecodable bytes in reaches print as the same text.
    out = io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    t = NullTransport(result=False)
    t._port = "/dev/tty\udcff"
    KavrelActuatorScannerReal(t)
    assert out.getvalue() == "Device at port '/dev/tty\udcff' not responding\n"


def test_model_name_matches_in_any_case(emulator, make_transport, capsys):
    class Scanner(KavrelActuatorScannerReal):
        MODELS_NAMES = ["", "my_can_adapter_v2"]

    emulator.add_device(0, CanAdapter(model_code=1, firmware=(3, 1, 4)))
    scanner = Scanner(make_transport(emulator))
    assert scanner.is_connected is True
    assert capsys.readouterr().out.startswith("my_can_adapter_v2 version 3.1.4 connected at port")


def test_scanner_pings_through_its_own_overrides(bus, capsys):
    seen = []

    class Traced(KavrelActuatorScannerReal):
        def connect(self, timeout=1.0):
            seen.append(("connect", timeout))
            return super().connect(timeout)

        def send_ping(self, timeout=1.0):
            seen.append(("ping", self.address, timeout))
            return self.address == 7 or super().send_ping(timeout)

    scanner = Traced(bus[1])
    assert scanner.scan(6, 7) == [7]
    assert seen == [("connect", 1.0), ("ping", 0, 1.0), ("ping", 6, 0.05), ("ping", 7, 0.05)]
    assert "Device found: address 0x7 (7)\tmodel CAN_ADAPTER\tfirmware version 2.0.1" in capsys.readouterr().out


def test_scanner_inherits_the_actuator_commands(bus):
    emu, t = bus
    scanner = KavrelActuatorScannerReal(t)
    assert isinstance(scanner, KavrelActuatorReal)
    emu.clear()
    scanner.blink()
    assert emu.wait_frames(1)[0].address == 0 and emu.received()[0].payload == [65]
    assert pack_firmware(2, 0, 1) == CanAdapter().firmware
