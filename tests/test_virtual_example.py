"""The simulated-actuator example runs on the package under test and reports a response that
makes physical sense."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import vkl_api

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "simulate_actuator.py"
PHASE_SECONDS = 0.5

LINE = re.compile(
    r"^  (?P<name>position|speed|torque): reference (?P<ref>\S+) (?P<unit>\S+), settled (?P<settled>\S+) \S+, "
    r"error (?P<err>\S+) \S+, load (?P<load>\S+) N\*m, motor torque (?P<torque>\S+) N\*m, speed (?P<speed>\S+) rad/s$",
    re.M,
)
SPEED = re.compile(
    r"^Simulated (?P<sim>\S+) s \((?P<ticks>\d+) ticks\) in (?P<wall>\S+) s of wall time: (?P<tps>\d+) ticks per "
    r"second, real-time factor (?P<rtf>\S+)$", re.M,
)


def run_example(*args, cwd):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.dirname(os.path.abspath(vkl_api.__path__[0]))
    env.pop("VKL_API_VIRTUAL_ASSETS_ROOT", None)
    return subprocess.run([sys.executable, str(EXAMPLE), "--phase-seconds", str(PHASE_SECONDS), *args],
                          cwd=cwd, env=env, capture_output=True, text=True, timeout=120)


@pytest.fixture(scope="module")
def output(tmp_path_factory):
    cwd = tmp_path_factory.mktemp("example")
    proc = run_example("--plot", str(cwd / "plot.png"), cwd=cwd)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout, cwd


def phases(text):
    found = {m["name"]: m for m in LINE.finditer(text)}
    assert list(found) == ["position", "speed", "torque"], text
    return {n: {k: (float(v) if k not in ("name", "unit") else v) for k, v in m.groupdict().items()}
            for n, m in found.items()}


def test_example_names_the_twin_and_its_rate(output):
    text, _ = output
    assert "Simulated actuator VKL_REF_TWIN at address 0x10" in text
    assert "simulation rate: 20000 Hz (time step 50 us)" in text


def test_example_settles_at_each_reference(output):
    p = phases(output[0])
    assert p["position"]["unit"] == "rad" and p["speed"]["unit"] == "rad/s" and p["torque"]["unit"] == "N*m"
    assert abs(p["position"]["settled"] - p["position"]["ref"]) < 5e-3
    assert abs(p["speed"]["settled"] - p["speed"]["ref"]) < 0.05 * p["speed"]["ref"]
    assert abs(p["torque"]["settled"] - p["torque"]["ref"]) < 0.02 * p["torque"]["ref"]
    for ph in p.values():
        assert ph["err"] == pytest.approx(ph["settled"] - ph["ref"], abs=1e-3)


def test_example_motor_torque_balances_the_load(output):
    p = phases(output[0])
    # holding a position: at standstill the motor torque carries the load
    assert abs(p["position"]["speed"]) < 0.05
    assert p["position"]["torque"] == pytest.approx(p["position"]["load"], rel=0.1)
    # constant speed: the load plus friction, so somewhat more than the load alone
    assert p["speed"]["load"] < p["speed"]["torque"] < 1.5 * p["speed"]["load"]
    # torque above the load accelerates the rotor beyond the speed it had
    assert p["torque"]["ref"] > p["torque"]["load"] and p["torque"]["speed"] > p["speed"]["ref"]


def test_example_logs_one_row_per_simulated_tick(output):
    # The figures after the tick count are the example's own division by its wall time.
    m = SPEED.search(output[0])
    assert m, output[0]
    assert int(m["ticks"]) == 3 * round(PHASE_SECONDS * 20000)


def test_example_callback_count(output):
    m = re.search(r"^  feedback callbacks: (\d+) at 100 Hz$", output[0], re.M)
    assert m and int(m[1]) == int(3 * PHASE_SECONDS * 100)


def test_example_plot_saved_or_skipped(output):
    text, cwd = output
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "Plot skipped: matplotlib is not installed" in text
        assert not (cwd / "plot.png").exists()
    else:
        assert f"Plot saved to {cwd / 'plot.png'}" in text
        assert (cwd / "plot.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_example_without_plot(tmp_path):
    proc = run_example("--no-plot", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "Plot skipped (--no-plot)." in proc.stdout and list(tmp_path.iterdir()) == []
