"""Speed and telemetry size of KavrelActuatorVirtual.step, on every plain-scalar twin variant.

Run from the worktree root against a development build, for example:

    PYTHONPATH=$PWD/build/dev/stage .venv/bin/python bench/bench_virtual_actuator.py

The variants are the compiled twins of tests/twins_build.py's SCALAR_VARIANTS (the
reference twin's C source with its fields declared in other C types, optional fields
present or absent); building them needs a C compiler.  For each variant, side by side in
one run:
  * the bare C loop over the same library's ``DT_step`` (twins/twin_step_loop.c, built
    next to the staged package as ``vkl_twin_step_loop`` or compiled here);
  * ``step(steps=N)`` without feedback items, and with four items and a callback at the
    default divider (every 20th tick, 1 kHz on a 20 kHz twin); the loop's own cost per
    tick is the tick time minus the bare loop's (on the reference twin also with the
    callback at 500, 100 and 10 Hz);
  * ``step(load=..., steps=1)`` per call, with three feedback items;
  * telemetry bytes per tick: the resident-set growth over the second half of a long
    run (what each further tick costs, without the constant per-column rounding to
    whole pages), measured in a fresh interpreter per variant so that no storage kept
    from an earlier run is reused, beside what the series' column types need (8 bytes
    per float or integer value, 1 per boolean).
and, on the reference twin, one-tick calls of twelve actuators stepped in turn (a robot
simulated in lockstep with its controller).
Times are the process's CPU time (user and system, the kernel's page zeroing for new log
storage included) and the bare loop's too, so other load on the machine distorts them less.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from _report import figure

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from twins_build import SCALAR_VARIANTS, build_twin  # noqa: E402
from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual, VirtualActuatorLog  # noqa: E402

TARGET_LOOP_NS = 150.0
TARGET_LOOP_ITEMS_NS = 250.0
TARGET_ONE_TICK_NS = 600.0
TARGET_BYTES_SLACK = 0.05
SERIES = [n for n in VirtualActuatorLog.__slots__ if n not in ("TIME_STEP", "time_start")]
GROUP = "simulated actuator"


def make_actuator(paths) -> KavrelActuatorVirtual:
    act = KavrelActuatorVirtual(address=0x20)
    act.set_actuator_from_paths(*paths)
    act.connect()
    act.start()
    act.change_position_setpoint(0.5)
    act.step()
    return act


def fed_actuator(paths, rate=None) -> KavrelActuatorVirtual:
    """Four feedback items and a callback, at the default divider or at `rate` Hz."""
    act = make_actuator(paths)
    items = act.VKL_Items
    act.set_feedback_items([items.POSITION_FB, items.SPEED_FB, items.TORQUE_FB, items.IQ_FB])
    calls = []
    act.set_feedback_callback(lambda address, fb: calls.append(1))
    if rate is not None:
        act.set_feedback_rate(rate)
    return act


def ns_per_tick(act: KavrelActuatorVirtual, steps: int, repeats: int) -> float:
    """Best of several runs, each on a fresh log (so the log's growth is paid)."""
    best = float("inf")
    for _ in range(repeats):
        act.telemetry_log = VirtualActuatorLog()
        t0 = time.process_time()
        act.step(steps=steps)
        best = min(best, (time.process_time() - t0) / steps * 1e9)
    act.telemetry_log = VirtualActuatorLog()
    return best


def ns_per_one_tick_call(act: KavrelActuatorVirtual, calls: int, repeats: int) -> float:
    best = float("inf")
    step = act.step
    for _ in range(repeats):
        act.telemetry_log = VirtualActuatorLog()
        t0 = time.process_time()
        for _ in range(calls):
            step(load=0.1, steps=1)
        best = min(best, (time.process_time() - t0) / calls * 1e9)
    act.telemetry_log = VirtualActuatorLog()
    return best


def ns_per_lockstep_call(n_actuators: int, calls: int, repeats: int) -> float:
    """One-tick calls with three items on `n_actuators` reference twins stepped in turn."""
    acts = []
    for k in range(n_actuators):
        act = KavrelActuatorVirtual(address=0x20 + k)
        act.set_actuator("VKL_REF_TWIN")
        act.connect()
        act.start()
        items = act.VKL_Items
        act.set_feedback_items([items.POSITION_FB, items.SPEED_FB, items.TORQUE_FB])
        acts.append(act)
    steps = [act.step for act in acts]
    rounds = max(1, calls // n_actuators)
    best = float("inf")
    for _ in range(repeats):
        for act in acts:
            act.telemetry_log = VirtualActuatorLog()
        t0 = time.process_time()
        for _ in range(rounds):
            for step in steps:
                step(load=0.1, steps=1)
        best = min(best, (time.process_time() - t0) / (rounds * n_actuators) * 1e9)
    return best


def step_loop_executable() -> Path | None:
    import vkl_api

    stage = Path(vkl_api.__file__).resolve().parent.parent
    built = stage.parent / "bench" / "vkl_twin_step_loop"
    src = ROOT / "twins" / "twin_step_loop.c"
    if built.exists() and built.stat().st_mtime >= src.stat().st_mtime:
        return built
    cc = shutil.which("cc") or shutil.which("gcc")
    if not src.exists() or cc is None:
        return None
    out = Path(tempfile.mkdtemp()) / "vkl_twin_step_loop"
    subprocess.run([cc, "-O2", str(src), "-o", str(out), "-ldl"], check=True)
    return out


def bare_ns_per_tick(exe: Path, act: KavrelActuatorVirtual, library: Path, steps: int, repeats: int) -> float:
    """The bare loop over the same library, with Enable and ControlType placed as its
    bindings declare them."""
    inp_type = type(act.actuator.inp)
    place = [f"{getattr(inp_type, f).offset}:{dict(inp_type._fields_)[f]._type_}" for f in ("Enable", "ControlType")]
    best = float("inf")
    for _ in range(repeats):
        out = subprocess.run([str(exe), str(library), str(steps), "7", *place], check=True,
                             capture_output=True, text=True).stdout
        m = re.search(r"ticks_per_s=([0-9.eE+]+)", out)
        if m:
            best = min(best, 1e9 / float(m.group(1)))
    return best


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def telemetry_child(paths, steps: int) -> None:
    """Run in a fresh interpreter: print the resident growth per tick over the second
    half of `steps` ticks and what the columns' types need per tick, as JSON."""
    act = make_actuator(paths)
    act.telemetry_log = VirtualActuatorLog()
    half = steps // 2
    act.step(steps=half)
    before = rss_bytes()
    act.step(steps=half)
    grown = rss_bytes() - before
    log = act.telemetry_log
    need = sum(memoryview(getattr(log, n)).itemsize for n in SERIES)
    print(json.dumps({"rss": grown / half, "need": need}))


def telemetry_per_tick(lib: Path, bindings: Path, steps: int) -> dict:
    out = subprocess.run([sys.executable, __file__, "--telemetry-child", str(lib), str(bindings), str(steps)],
                         check=True, capture_output=True, text=True, cwd=Path(__file__).parent).stdout
    return json.loads(out.strip().splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--steps", type=int, default=200_000, help="ticks per timed step() call")
    ap.add_argument("--calls", type=int, default=100_000, help="one-tick step() calls per timed run")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--long-run", type=int, default=4_000_000, help="ticks of the telemetry size run")
    ap.add_argument("--variants", nargs="*", default=list(SCALAR_VARIANTS), help="names from SCALAR_VARIANTS")
    ap.add_argument("--telemetry-child", nargs=3, metavar=("LIB", "BINDINGS", "STEPS"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.telemetry_child:
        lib, bindings, steps = args.telemetry_child
        telemetry_child((lib, bindings), int(steps))
        return

    exe = step_loop_executable()
    work = Path(tempfile.mkdtemp(prefix="vkl_bench_twins_"))
    print(f"{args.steps} ticks per step() call, {args.calls} one-tick calls, best of {args.repeats}; "
          f"loop cost = tick time - bare C loop's tick time, same library, same run")
    header = (f"{'variant':24} {'bare':>7} {'no items':>9} {'own':>7} {'4 items+cb':>11} {'own':>7} "
              f"{'1-tick call':>12} {'B/tick':>7} {'need':>5}")
    print(header)
    reference = None  # (library, bindings, bare ns, own ns at 1 kHz) of the reference twin
    try:
        for name in args.variants:
            lib, bindings = build_twin(work / name, model="B", **SCALAR_VARIANTS[name])
            plain = make_actuator((lib, bindings))
            plain_ns = ns_per_tick(plain, args.steps, args.repeats)
            fed_ns = ns_per_tick(fed_actuator((lib, bindings)), args.steps, args.repeats)
            one = make_actuator((lib, bindings))
            items = one.VKL_Items
            one.set_feedback_items([items.POSITION_FB, items.SPEED_FB, items.TORQUE_FB])
            one_ns = ns_per_one_tick_call(one, args.calls, args.repeats)
            bare_ns = bare_ns_per_tick(exe, plain, lib, max(args.steps, 2_000_000), args.repeats) if exe else None
            size = telemetry_per_tick(lib, bindings, args.long_run)

            own_plain = plain_ns - bare_ns if bare_ns else float("nan")
            own_fed = fed_ns - bare_ns if bare_ns else float("nan")
            print(f"{name:24} {bare_ns or float('nan'):7.1f} {plain_ns:9.1f} {own_plain:7.1f} {fed_ns:11.1f} "
                  f"{own_fed:7.1f} {one_ns:12.1f} {size['rss']:7.1f} {size['need']:5d}")
            if name == "reference":
                reference = (lib, bindings, bare_ns, own_fed)
            beside = f"bare C loop {bare_ns:.1f} ns/tick" if bare_ns else None
            if bare_ns:
                figure(GROUP, f"loop cost per tick, no items [{name}]", own_plain, "ns",
                       target=f"<= {TARGET_LOOP_NS:.0f}", met=own_plain <= TARGET_LOOP_NS, beside=beside)
                figure(GROUP, f"loop cost per tick, 4 items + callback at 1 kHz [{name}]", own_fed, "ns",
                       target=f"<= {TARGET_LOOP_ITEMS_NS:.0f}", met=own_fed <= TARGET_LOOP_ITEMS_NS, beside=beside)
            figure(GROUP, f"step(load=..., steps=1) per call, 3 items [{name}]", one_ns, "ns",
                   target=f"<= {TARGET_ONE_TICK_NS:.0f}", met=one_ns <= TARGET_ONE_TICK_NS)
            limit = size["need"] * (1 + TARGET_BYTES_SLACK)
            figure(GROUP, f"telemetry bytes per tick (resident growth) [{name}]", size["rss"], "B",
                   target=f"<= {limit:.0f} (column types need {size['need']})", met=size["rss"] <= limit)
        if reference:
            # The callback at slower rates: runs of 40 to 2,000 ticks between callbacks.
            lib, bindings, bare_ns, own_1k = reference
            parts = []
            for rate in (500, 100, 10):
                ns = ns_per_tick(fed_actuator((lib, bindings), rate), args.steps, args.repeats)
                own = ns - bare_ns if bare_ns else float("nan")
                parts.append(f"{rate} Hz {ns:.1f} (own {own:.1f})")
                figure(GROUP, f"loop cost per tick, 4 items + callback at {rate} Hz [reference]", own, "ns",
                       beside=f"at 1 kHz {own_1k:.1f} ns" if bare_ns else None)
            print("reference, 4 items + callback at slower rates, ns per tick: " + "; ".join(parts))
        lockstep_ns = ns_per_lockstep_call(12, args.calls, args.repeats)
        print(f"12 reference actuators stepped in turn, step(load=..., steps=1) with 3 items: "
              f"{lockstep_ns:.1f} ns per call")
        figure(GROUP, "step(load=..., steps=1) per call, 3 items, 12 actuators in turn [reference]", lockstep_ns,
               "ns", target=f"<= {TARGET_ONE_TICK_NS:.0f}", met=lockstep_ns <= TARGET_ONE_TICK_NS)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"targets: own cost <= {TARGET_LOOP_NS:.0f} ns without items, <= {TARGET_LOOP_ITEMS_NS:.0f} ns with "
          f"4 items + callback; one-tick call <= {TARGET_ONE_TICK_NS:.0f} ns; telemetry within "
          f"{TARGET_BYTES_SLACK:.0%} of what the column types need")
    if exe is None:
        print("bare C loop over DT_step: not available (no vkl_twin_step_loop and no C compiler)")


if __name__ == "__main__":
    main()
