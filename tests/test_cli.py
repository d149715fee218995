"""The command-line module in-process: its surface, the parser and dispatch of
``main``, and what the commands do with the transport (built, closed, when),
with discovery and failures steered from the test."""

import argparse
import builtins
import importlib.metadata
import inspect
import sys
from types import SimpleNamespace

import pytest

from cli_responders import CAN_ADAPTER, GET_PARAMETERS, VK40, VK50, STOP, Device, default_parameters
from emulator import Emulator
from vkl_api import kavrel_actuator_real, kavrel_cli, vkl_over_usb

VKL_Parameters = kavrel_actuator_real.KavrelActuatorReal.VKL_Parameters


def namespace(command, **kw):
    defaults = {"scan": dict(port=None, begin=16, end=255)}.get(command, dict(port=None, address=None))
    defaults.update(kw)
    return argparse.Namespace(command=command, **defaults)


# -- module surface ---------------------------------------------------------------

def test_module_attributes_in_load_order():
    names = [n for n in vars(kavrel_cli) if not (n.startswith("__") and n != "__version__")]
    assert names == ["argparse", "version", "PackageNotFoundError", "KavrelActuatorReal",
                     "KavrelActuatorScannerReal", "VklOverUsb", "__version__", "command_params",
                     "command_blink", "command_home", "command_scan", "main"]
    assert not hasattr(kavrel_cli, "__all__")
    assert kavrel_cli.argparse is argparse
    assert kavrel_cli.version is importlib.metadata.version
    assert kavrel_cli.PackageNotFoundError is importlib.metadata.PackageNotFoundError
    assert kavrel_cli.KavrelActuatorReal is kavrel_actuator_real.KavrelActuatorReal
    assert kavrel_cli.KavrelActuatorScannerReal is kavrel_actuator_real.KavrelActuatorScannerReal
    assert kavrel_cli.VklOverUsb is vkl_over_usb.VklOverUsb
    assert list(inspect.signature(kavrel_cli.main).parameters) == []
    for name in ("command_params", "command_blink", "command_home", "command_scan"):
        assert list(inspect.signature(getattr(kavrel_cli, name)).parameters) == ["args"]


def test_version_of_the_installed_distribution_or_unknown():
    try:
        expected = importlib.metadata.version("vkl_api")
    except importlib.metadata.PackageNotFoundError:
        expected = "unknown"
    assert kavrel_cli.__version__ == expected


def test_version_text_uses_the_value_at_call_time(monkeypatch, capsys):
    monkeypatch.setattr(kavrel_cli, "__version__", "7.7.7")
    monkeypatch.setattr(sys, "argv", ["vkl-api", "-v"])
    with pytest.raises(SystemExit) as exc:
        kavrel_cli.main()
    assert exc.value.code == 0
    assert capsys.readouterr().out == "vkl_api 7.7.7\n"


# -- parser and dispatch ------------------------------------------------------------

@pytest.fixture
def dispatched(monkeypatch):
    """Replace the four commands on the module; return the calls main makes."""
    calls = []
    for name in ("scan", "params", "blink", "home"):
        def command(args, name=name):
            calls.append((name, vars(args).copy()))
            return "ignored"
        monkeypatch.setattr(kavrel_cli, f"command_{name}", command)
    return calls


@pytest.mark.parametrize("argv, command, values", [
    (["params"], "params", dict(port=None, address=None)),
    (["params", "-a", "0x10"], "params", dict(port=None, address=16)),
    (["params", "-a", "16"], "params", dict(port=None, address=16)),
    (["params", "-a", "0o20"], "params", dict(port=None, address=16)),
    (["params", "-a", "0b10000"], "params", dict(port=None, address=16)),
    (["params", "-a", "0X1_0"], "params", dict(port=None, address=16)),
    (["params", "-p", "COM3"], "params", dict(port="COM3", address=None)),
    (["scan"], "scan", dict(port=None, begin=16, end=255)),
    (["scan", "--begin", "0x20", "--end", "0x3FFE", "-p", "/dev/ttyACM0"], "scan",
     dict(port="/dev/ttyACM0", begin=32, end=16382)),
    (["scan", "--begin", "0x3FFF", "--end", "1"], "scan", dict(port=None, begin=0x3FFF, end=1)),
    (["blink", "-a", "0"], "blink", dict(port=None, address=0)),
    (["blink", "--address", "0x10", "--port", "/dev/ttyUSB1"], "blink", dict(port="/dev/ttyUSB1", address=16)),
    (["home", "--port", "COM7", "--address", "42"], "home", dict(port="COM7", address=42)),
])
def test_main_parses_and_dispatches(monkeypatch, dispatched, argv, command, values):
    monkeypatch.setattr(sys, "argv", ["vkl-api", *argv])
    assert kavrel_cli.main() is None
    assert dispatched == [(command, dict(command=command, **values))]


@pytest.mark.parametrize("argv, text", [
    (["params", "-a", "010"], "010"),
    (["blink", "-a", "zz"], "zz"),
    (["home", "-a", "0x"], "0x"),
    (["scan", "--end", "1.5"], "1.5"),
    (["scan", "--begin", "0b2"], "0b2"),
    (["params", "-a", ""], ""),
])
def test_refused_integer_text_is_a_usage_error(monkeypatch, dispatched, capsys, argv, text):
    monkeypatch.setattr(sys, "argv", ["vkl-api", *argv])
    with pytest.raises(SystemExit) as exc:
        kavrel_cli.main()
    assert exc.value.code == 2
    assert f"invalid <lambda> value: {text!r}" in capsys.readouterr().err
    assert dispatched == []


def test_each_main_builds_a_new_parser(monkeypatch, dispatched):
    # Nothing from one run (a given option) carries over to the next.
    monkeypatch.setattr(sys, "argv", ["vkl-api", "params", "-a", "5", "-p", "X"])
    kavrel_cli.main()
    monkeypatch.setattr(sys, "argv", ["vkl-api", "params"])
    kavrel_cli.main()
    assert dispatched[1] == ("params", dict(command="params", port=None, address=None))


def test_exception_from_a_command_passes_out_of_main(monkeypatch):
    def boom(args):
        raise RuntimeError("from the command")
    monkeypatch.setattr(kavrel_cli, "command_home", boom)
    monkeypatch.setattr(sys, "argv", ["vkl-api", "home"])
    with pytest.raises(RuntimeError, match="from the command"):
        kavrel_cli.main()


# -- commands against the emulator -----------------------------------------------

@pytest.fixture
def usb(monkeypatch):
    """The commands' transport class replaced by a subclass that records every
    transport built, every close and every line the tool prints in one event
    list (the lines still reach standard output, beside the scanner's own), and
    every payload sent in ``usb.sent``; ``usb.found`` is what discovery reports."""
    base = vkl_over_usb.VklOverUsb
    state = SimpleNamespace(made=[], events=[], found=[], discovery=[], sent=[])

    class RecordingUsb(base):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            state.made.append(self)

        def close(self):
            state.events.append(("close", self))
            super().close()

        def send_VKL(self, address, payload, *args, **kwargs):
            state.sent.append((address, list(payload)))
            return super().send_VKL(address, payload, *args, **kwargs)

        @staticmethod
        def get_ports():
            state.discovery.append("get_ports")
            return list(state.found)

        @staticmethod
        def get_port():
            state.discovery.append("get_port")
            return state.found[0] if len(state.found) == 1 else ""

    def spy_print(*args):
        state.events.append(("print", " ".join(map(str, args))))
        builtins.print(*args)

    monkeypatch.setattr(kavrel_cli, "VklOverUsb", RecordingUsb)
    monkeypatch.setattr(kavrel_cli, "print", spy_print, raising=False)
    state.closes = lambda t=None: [e[1] for e in state.events if e[0] == "close" and (t is None or e[1] is t)]
    state.printed = lambda: [e[1] for e in state.events if e[0] == "print"]
    yield state
    for t in state.made:
        base.close(t)


def test_params_discovers_port_and_closes_before_printing(emulator, usb):
    values = default_parameters(VKL_Parameters)
    device = Device(0x10, parameters=values)
    emulator.add_device(0x10, device)
    usb.found.append(emulator.port)
    args = namespace("params", address=0x10)

    assert kavrel_cli.command_params(args) is None

    assert args.port == emulator.port  # written back
    assert usb.discovery == ["get_port"]
    [adapter] = usb.made
    kinds = [e[0] for e in usb.events]
    assert kinds == ["close"] + ["print"] * (1 + len(VKL_Parameters))
    assert usb.printed()[0] == "Parameters for actuator connected by CAN at address 0x10 (16)"
    assert "FIRMWARE_VERSION: %d" % values[VKL_Parameters.FIRMWARE_VERSION.value] in usb.printed()
    assert (0x10, [STOP]) not in usb.sent  # released by close alone, no disconnect


def test_params_defaults_address_to_the_usb_device(emulator, usb):
    emulator.add_device(0, Device(0, parameters=default_parameters(VKL_Parameters)))
    args = namespace("params", port=emulator.port)
    kavrel_cli.command_params(args)
    assert args.address == 0
    assert usb.discovery == []
    assert usb.printed()[0] == f"Parameters for actuator connected by USB at port '{emulator.port}'"
    assert {address for address, _ in usb.sent} == {0}


def test_params_without_discovered_port_reports_empty_port(usb):
    # Two adapters found: discovery names none, the transport stays unconnected.
    usb.found.extend(["/dev/ttyA", "/dev/ttyB"])
    args = namespace("params")
    kavrel_cli.command_params(args)
    assert args.port == ""
    assert [e[0] for e in usb.events] == ["print", "close"]
    assert usb.printed() == ["Could not connect by USB at port ''"]


@pytest.mark.parametrize("address", [None, 0x10])
def test_params_read_timing_out_closes_and_prints_nothing(emulator, usb, capsys, address):
    device_address = address or 0
    emulator.add_device(device_address, Device(device_address, parameters=default_parameters(VKL_Parameters),
                                               answer_parameters=False))
    kavrel_cli.command_params(namespace("params", port=emulator.port, address=address))
    assert [e[0] for e in usb.events] == ["close"]
    assert capsys.readouterr().out == ""
    # The read was asked for, and went unanswered.
    emulator.wait_frame(lambda f: f.address == device_address and f.payload[:1] == [GET_PARAMETERS])


@pytest.mark.parametrize("address", [None, 0])
def test_blink_without_address_runs_discovery_but_opens_nothing(usb, address):
    kavrel_cli.command_blink(namespace("blink", address=address))
    assert usb.discovery == ["get_port"]
    assert usb.made == []
    assert usb.printed() == ["Address is required for blink command."]


def test_blink_closes_after_blinking(emulator, usb):
    device = Device(0x2A)
    emulator.add_device(0x2A, device)
    kavrel_cli.command_blink(namespace("blink", port=emulator.port, address=0x2A))
    assert usb.printed() == []
    assert len(usb.closes()) == 1
    assert usb.sent == [(0x2A, [64]), (0x2A, [65])]


def test_home_reports_then_closes(emulator, usb):
    device = Device(42)
    emulator.add_device(42, device)
    kavrel_cli.command_home(namespace("home", port=emulator.port, address=42))
    assert [e[0] for e in usb.events] == ["print", "close"]
    assert usb.printed() == ["Home position set for actuator connected by CAN at address 0x2A (42)"]
    assert usb.sent == [(42, [64]), (42, [10])]


@pytest.mark.parametrize("command, method", [
    ("params", "get_parameters_all"),
    ("blink", "blink"),
    ("home", "set_home_position"),
])
def test_exception_after_connect_leaves_adapter_open(emulator, usb, monkeypatch, command, method):
    emulator.add_device(0x10, Device(0x10))

    class Failing(kavrel_actuator_real.KavrelActuatorReal):
        pass

    def fail(self):
        raise OSError("device went away")
    setattr(Failing, method, fail)
    monkeypatch.setattr(kavrel_cli, "KavrelActuatorReal", Failing)
    monkeypatch.setattr(sys, "argv", ["vkl-api", command, "-p", emulator.port, "-a", "0x10"])

    with pytest.raises(OSError, match="device went away"):
        kavrel_cli.main()
    assert len(usb.made) == 1
    assert usb.closes() == []


# -- scan ---------------------------------------------------------------------------

def can_adapter(emu, *actuators):
    emu.add_device(0, Device(0, CAN_ADAPTER, (1, 1, 1)))
    for address in actuators:
        emu.add_device(address, Device(address, VK50, (1, 0, 0)))
    return emu


def test_scan_without_adapter_found(usb):
    kavrel_cli.command_scan(namespace("scan"))
    assert usb.discovery == ["get_ports"]
    assert usb.made == []
    assert usb.printed() == ["No devices found."]


def test_scan_given_port_skips_discovery(emulator, usb):
    can_adapter(emulator, 0x11)
    kavrel_cli.command_scan(namespace("scan", port=emulator.port, begin=0x10, end=0x11))
    assert usb.discovery == []
    assert usb.printed()[-1] == "Found 1 addresses: [17]"
    [adapter] = usb.made
    assert usb.events[-1] == ("close", adapter)
    assert len(usb.closes()) == 1


def test_scan_two_adapters_one_after_the_other(usb):
    with Emulator() as first, Emulator() as second:
        can_adapter(first, 0x10)
        can_adapter(second, 0x11, 0x12)
        usb.found.extend([first.port, second.port])

        kavrel_cli.command_scan(namespace("scan", begin=0x10, end=0x12))

        a, b = usb.made
        assert a._port == first.port and b._port == second.port
        assert usb.closes() == [a, b]
        printed = usb.printed()
        assert printed[0] == f"Connecting to device on port {first.port} ..."
        assert "Found 1 addresses: [16]" in printed
        i = printed.index(f"Connecting to device on port {second.port} ...")
        assert printed.index("Found 1 addresses: [16]") < i
        assert printed[-1] == "Found 2 addresses: [17, 18]"
        # The first adapter was closed before the second port was opened.
        assert usb.events.index(("close", a)) < usb.events.index(("print", printed[i]))


@pytest.mark.parametrize("model, end, closes, line", [
    # A device answering at the USB end itself: reported, closed twice, no CAN scan.
    (VK40, 255, 2, "VK40 connected via USB at port '{port}'"),
    (VK40, 0x11, 2, "VK40 connected via USB at port '{port}'"),
    # Nothing answers: closed once and skipped.
    (None, 255, 1, "Device at port '{port}' not responding"),
])
def test_scan_of_the_device_at_the_usb_end(emulator, usb, capsys, model, end, closes, line):
    if model is not None:
        emulator.add_device(0, Device(0, model))
    kavrel_cli.command_scan(namespace("scan", port=emulator.port, end=end))
    [adapter] = usb.made
    assert usb.closes() == [adapter] * closes
    assert capsys.readouterr().out.splitlines() == [f"Connecting to device on port {emulator.port} ...",
                                                    line.format(port=emulator.port)]
    assert {address for address, _ in usb.sent} == {0}


def test_scan_port_that_cannot_be_opened(tmp_path, usb):
    missing = str(tmp_path / "no-such-tty")
    kavrel_cli.command_scan(namespace("scan", port=missing))
    [adapter] = usb.made
    assert not adapter.is_connected
    assert usb.closes() == [adapter]
    assert usb.printed() == [f"Connecting to device on port {missing} ..."]


@pytest.mark.parametrize("exc", [RuntimeError("bus fault"), KeyboardInterrupt()])
def test_scan_closes_adapter_when_scanning_fails(emulator, usb, monkeypatch, exc):
    can_adapter(emulator)

    class Failing(kavrel_actuator_real.KavrelActuatorScannerReal):
        def scan(self, begin=1, end=0x3FFE):
            raise exc
    monkeypatch.setattr(kavrel_cli, "KavrelActuatorScannerReal", Failing)

    with pytest.raises(type(exc)):
        kavrel_cli.command_scan(namespace("scan", port=emulator.port))
    [adapter] = usb.made
    assert usb.closes() == [adapter]
    assert usb.printed()[-1] == "Scanning addresses from 0x10 to 0xFF ... (CTRL+C to cancel)"


def test_scan_failing_close_after_failed_scan_keeps_the_first_error(emulator, usb, monkeypatch):
    can_adapter(emulator)

    class Failing(kavrel_actuator_real.KavrelActuatorScannerReal):
        def scan(self, begin=1, end=0x3FFE):
            self._adapter.close = self._broken_close
            raise RuntimeError("first")

        def _broken_close(self):
            raise OSError("close failed")
    monkeypatch.setattr(kavrel_cli, "KavrelActuatorScannerReal", Failing)

    with pytest.raises(OSError, match="close failed") as exc:
        kavrel_cli.command_scan(namespace("scan", port=emulator.port))
    assert isinstance(exc.value.__context__, RuntimeError)


def test_scan_does_not_close_when_the_scanner_cannot_be_built(emulator, usb, monkeypatch):
    can_adapter(emulator)

    def no_scanner(adapter):
        raise ValueError("no scanner")
    monkeypatch.setattr(kavrel_cli, "KavrelActuatorScannerReal", no_scanner)

    with pytest.raises(ValueError, match="no scanner"):
        kavrel_cli.command_scan(namespace("scan", port=emulator.port))
    assert len(usb.made) == 1
    assert usb.closes() == []


def test_scan_bounds_reach_the_scanner_unchanged(emulator, usb, monkeypatch):
    can_adapter(emulator)
    seen = []

    class Recording(kavrel_actuator_real.KavrelActuatorScannerReal):
        def scan(self, *args, **kwargs):
            seen.append((args, kwargs))
            return []
    monkeypatch.setattr(kavrel_cli, "KavrelActuatorScannerReal", Recording)

    kavrel_cli.command_scan(namespace("scan", port=emulator.port, begin=0x3FFF, end=-3))
    assert seen == [((), {"begin": 0x3FFF, "end": -3})]
    assert usb.printed()[-2:] == ["Scanning addresses from 0x3FFF to 0x-3 ... (CTRL+C to cancel)",
                                  "Found 0 addresses: []"]


# -- through the transport's own port discovery -------------------------------------

@pytest.fixture
def serial_ports(monkeypatch):
    """What the serial-port enumeration reports: a list to fill with
    ``(device, vid, pid)``."""
    import serial.tools.list_ports

    ports = []
    monkeypatch.setattr(serial.tools.list_ports, "comports",
                        lambda *a, **k: [SimpleNamespace(device=d, vid=v, pid=p) for d, v, p in ports])
    return ports


def adapter_port(emu):
    return (emu.port, vkl_over_usb.ADAPTER_USB_VID, vkl_over_usb.ADAPTER_USB_PID_FIRST)


def test_params_finds_the_single_adapter(emulator, serial_ports, monkeypatch, capsys):
    values = default_parameters(VKL_Parameters)
    emulator.add_device(0x10, Device(0x10, parameters=values))
    serial_ports.extend([("/dev/ttyS0", None, None), ("/dev/ttyUSB9", 0x0403, 0x6001), adapter_port(emulator)])
    monkeypatch.setattr(sys, "argv", ["vkl-api", "params", "-a", "0x10"])

    kavrel_cli.main()

    out = capsys.readouterr().out.splitlines()
    assert out[0] == "Parameters for actuator connected by CAN at address 0x10 (16)"
    assert len(out) == 1 + len(VKL_Parameters)


def test_scan_without_adapter_on_the_system(serial_ports, monkeypatch, capsys):
    serial_ports.append(("/dev/ttyS0", None, None))
    monkeypatch.setattr(sys, "argv", ["vkl-api", "scan"])
    kavrel_cli.main()
    assert capsys.readouterr().out == "No devices found.\n"


def test_scan_every_adapter_on_the_system(serial_ports, monkeypatch, capsys):
    with Emulator() as first, Emulator() as second:
        can_adapter(first, 0x10)
        can_adapter(second, 0x11)
        serial_ports.extend([adapter_port(first), ("/dev/ttyS0", None, None), adapter_port(second)])
        monkeypatch.setattr(sys, "argv", ["vkl-api", "scan", "--begin", "16", "--end", "17"])

        kavrel_cli.main()

        out = capsys.readouterr().out.splitlines()
        assert [line for line in out if line.startswith(("Connecting", "Found"))] == [
            f"Connecting to device on port {first.port} ...", "Found 1 addresses: [16]",
            f"Connecting to device on port {second.port} ...", "Found 1 addresses: [17]"]
