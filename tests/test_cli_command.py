"""The command-line tool run as a user runs it: the installed ``vkl-api`` command
(or ``python -m vkl_api`` in a development tree) in a subprocess, talking to the
device emulator on a pseudo-terminal."""

import importlib.metadata
import os
import subprocess
import sys
from pathlib import Path

import pytest

from cli_responders import CAN_ADAPTER, VK40, VK50, BLINK, SET_HOME, Device, default_parameters
from vkl_api._kavrel_actuator_base import KavrelActuatorBase

Mode = KavrelActuatorBase.Mode
VKL_Parameters = KavrelActuatorBase.VKL_Parameters


def cli_prefix():
    """The console script next to the interpreter when the package is installed
    with it, else the package's launcher."""
    script = Path(sys.executable).with_name("vkl-api")
    if script.is_file():
        return [str(script)]
    return [sys.executable, "-m", "vkl_api"]


def run_cli(*args, env=None, prefix=None):
    environ = dict(os.environ if env is None else env)
    environ["COLUMNS"] = "200"  # keep argparse's help on one line per entry
    return subprocess.run([*(prefix or cli_prefix()), *args], capture_output=True, text=True,
                          timeout=60, env=environ)


def lines(result):
    return result.stdout.splitlines()


def expected_version():
    try:
        return importlib.metadata.version("vkl_api")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def expected_parameter_lines(values):
    out = []
    for member in VKL_Parameters:
        value = values[member.value]
        if member.value in (128, 130, 131, 132):
            text = str(value)
        elif member is VKL_Parameters.MODE:
            text = str(Mode(int(value)))
        else:
            text = str(float(value))
        out.append(f"{member.name}: {text}")
    return out


# -- parser, help and version ------------------------------------------------------

@pytest.mark.parametrize("argv, message", [
    ([], "the following arguments are required: command"),
    (["frobnicate"], "invalid choice: 'frobnicate'"),
    (["blink"], "the following arguments are required: --address/-a"),
    (["blink", "-p", "/dev/null"], "the following arguments are required: --address/-a"),
    (["params", "-a"], "argument --address/-a: expected one argument"),
    (["params", "-a", "010"], "argument --address/-a: invalid <lambda> value: '010'"),
    (["scan", "--begin", "zz"], "argument --begin: invalid <lambda> value: 'zz'"),
    (["home", "--bogus"], "unrecognized arguments: --bogus"),
])
def test_usage_errors_exit_with_status_2(argv, message):
    r = run_cli(*argv)
    assert r.returncode == 2, r
    assert r.stdout == ""
    assert "usage:" in r.stderr
    assert message in r.stderr


def test_help_lists_subcommands_and_options():
    top = run_cli("-h")
    assert top.returncode == 0
    assert "Kavrel Actuator CLI" in top.stdout
    assert "{scan,params,blink,home}" in top.stdout
    for text in ("Scan the network for actuators", "Get all parameters from the actuator",
                 "Blink the actuator LED (identify device)",
                 "Sets the current position as the home position (zero reference)",
                 "-v, --version"):
        assert text in top.stdout

    blink = run_cli("blink", "--help")
    assert blink.returncode == 0
    assert "--port, -p PORT" in blink.stdout
    assert "CAN interface port (e.g., COM3, /dev/ttyACM0)" in blink.stdout
    assert "Target device address (e.g., 0x10)" in blink.stdout
    assert "(only for CAN)" not in blink.stdout
    assert "Target device address (e.g., 0x10) (only for CAN)" in run_cli("home", "-h").stdout
    scan = run_cli("scan", "-h").stdout
    assert "Start address (default: 0x10)" in scan
    assert "End address (default: 0xFF, can be up to 0x3FFE)" in scan


@pytest.mark.parametrize("flag", ["-v", "--version"])
def test_version_option(flag):
    r = run_cli(flag)
    assert r.returncode == 0
    assert r.stdout == f"vkl_api {expected_version()}\n"


def test_version_comes_from_the_distribution_metadata(tmp_path):
    dist = tmp_path / "vkl_api-9.8.7.dist-info"
    dist.mkdir()
    (dist / "METADATA").write_text("Metadata-Version: 2.1\nName: vkl_api\nVersion: 9.8.7\n")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(tmp_path), env.get("PYTHONPATH")) if p)
    r = run_cli("-v", env=env)
    assert r.returncode == 0
    assert r.stdout == "vkl_api 9.8.7\n"


def test_package_launcher_runs_the_tool():
    r = run_cli("--version", prefix=[sys.executable, "-m", "vkl_api"])
    assert r.returncode == 0
    assert r.stdout.startswith("vkl_api ")


# -- params -------------------------------------------------------------------------

@pytest.mark.parametrize("address_args, device_address, connection", [
    ([], 0, "USB at port '{port}'"),
    (["-a", "0x10"], 16, "CAN at address 0x10 (16)"),
    (["--address", "0b101010"], 42, "CAN at address 0x2A (42)"),
])
def test_params_prints_every_parameter(emulator, address_args, device_address, connection):
    values = default_parameters(VKL_Parameters)
    device = Device(device_address, parameters=values)
    emulator.add_device(device_address, device)

    r = run_cli("params", "-p", emulator.port, *address_args)

    assert r.returncode == 0, r.stderr
    out = lines(r)
    assert out[0] == "Parameters for actuator connected by " + connection.format(port=emulator.port)
    assert out[1:] == expected_parameter_lines(values)
    assert "MODE: Mode.POSITION" in out


def test_params_unanswered_ping(emulator):
    r = run_cli("params", "--port", emulator.port)
    assert r.returncode == 0
    assert r.stdout == f"Could not connect by USB at port '{emulator.port}'\n"


# -- blink and home -------------------------------------------------------------------

@pytest.mark.parametrize("address", ["0", "0x0"])
def test_blink_refuses_address_zero(emulator, address):
    r = run_cli("blink", "-p", emulator.port, "-a", address)
    assert r.returncode == 0
    assert r.stdout == "Address is required for blink command.\n"
    assert emulator.raw_received() == b""  # no transport ever wrote to the line


@pytest.mark.parametrize("argv, line", [
    (["blink", "-a", "0x10"], "Could not connect by Connecting to device at address 0x10 (16)"),
    (["home", "-a", "42"], "Could not connect by CAN at address 0x2A (42)"),
    (["home"], "Could not connect by USB at port '{port}'"),
])
def test_unanswered_ping_is_reported(emulator, argv, line):
    r = run_cli(*argv, "-p", emulator.port)
    assert r.returncode == 0
    assert lines(r) == [line.format(port=emulator.port)]


def test_blink_succeeds_silently(emulator):
    device = Device(0x10)
    emulator.add_device(0x10, device)
    r = run_cli("blink", "-p", emulator.port, "-a", "0o20")
    assert r.returncode == 0, r.stderr
    assert r.stdout == ""
    emulator.wait_frame(lambda f: f.address == 0x10 and f.payload == [BLINK])


def test_home_sets_position_and_reports(emulator):
    device = Device(42)
    emulator.add_device(42, device)
    r = run_cli("home", "-p", emulator.port, "-a", "42")
    assert r.returncode == 0, r.stderr
    assert lines(r) == ["Home position set for actuator connected by CAN at address 0x2A (42)"]
    emulator.wait_frame(lambda f: f.address == 42 and f.payload == [SET_HOME])


# -- scan -------------------------------------------------------------------------------

def test_scan_lists_answering_actuators(emulator):
    emulator.add_device(0, Device(0, CAN_ADAPTER, (1, 1, 1)))
    emulator.add_device(0x10, Device(0x10, VK50, (2, 3, 4)))
    emulator.add_device(0x12, Device(0x12, VK40, (31, 31, 63)))

    r = run_cli("scan", "-p", emulator.port, "--begin", "0x10", "--end", "0x13")

    assert r.returncode == 0, r.stderr
    assert lines(r) == [
        f"Connecting to device on port {emulator.port} ...",
        f"CAN_ADAPTER version 1.1.1 connected at port '{emulator.port}'",
        "Scanning addresses from 0x10 to 0x13 ... (CTRL+C to cancel)",
        "Device found: address 0x10 (16)\tmodel VK50\tfirmware version 2.3.4",
        "Device found: address 0x12 (18)\tmodel VK40\tfirmware version 31.31.63",
        "Found 2 addresses: [16, 18]",
    ]


def test_scan_with_reversed_bounds_probes_nothing(emulator):
    emulator.add_device(0, Device(0, CAN_ADAPTER))
    emulator.add_device(0x18, Device(0x18))
    r = run_cli("scan", "--port", emulator.port, "--begin", "0x20", "--end", "0x10")
    assert r.returncode == 0, r.stderr
    assert lines(r)[2:] == ["Scanning addresses from 0x20 to 0x10 ... (CTRL+C to cancel)",
                            "Found 0 addresses: []"]
    assert all(f.address == 0 for f in emulator.frames)
