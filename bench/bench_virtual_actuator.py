"""Speed and telemetry size of KavrelActuatorVirtual.step on the reference twin.

Run from the worktree root against a development build, for example:

    PYTHONPATH=$PWD/build/dev/stage .venv/bin/python bench/bench_virtual_actuator.py

Measured side by side in one run:
  * ticks per second of ``step(steps=N)`` without feedback items;
  * ticks per second with four feedback items and a callback at the default
    rate (every 20th tick, 1 kHz on the 20 kHz twin);
  * ticks per second of a bare C loop over the same twin's ``DT_step``
    (``vkl_twin_step_loop``, built next to the staged package, or compiled
    here from twins/twin_step_loop.c);
  * telemetry bytes per tick over a long run: the series' allocated storage
    (``sys.getsizeof`` of each series) and the growth of the resident set.

The loop's own cost per tick is the difference between a rate's tick time
and the bare loop's tick time.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from _report import figure
from vkl_api import _twin_catalog
from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual, VirtualActuatorLog

MODEL = "VKL_REF_TWIN"
TARGET_LOOP_NS = 250.0
TARGET_LOOP_ITEMS_NS = 400.0
TARGET_BYTES_PER_TICK = 600.0
SERIES = [n for n in VirtualActuatorLog.__slots__ if n not in ("TIME_STEP", "time_start")]


def make_actuator() -> KavrelActuatorVirtual:
    act = KavrelActuatorVirtual(address=0x20)
    act.set_actuator(MODEL)
    act.connect()
    act.start()
    act.change_position_setpoint(0.5)
    act.step()
    return act


def ticks_per_second(act: KavrelActuatorVirtual, steps: int, repeats: int) -> float:
    """Best of several runs, each on a fresh log (so the log's growth is paid)."""
    best = 0.0
    for _ in range(repeats):
        act.telemetry_log = VirtualActuatorLog()
        t0 = time.perf_counter()
        act.step(steps=steps)
        dt = time.perf_counter() - t0
        best = max(best, steps / dt)
    act.telemetry_log = VirtualActuatorLog()
    return best


def ticks_per_second_reused(act: KavrelActuatorVirtual, steps: int, repeats: int) -> float:
    """Same, on a log whose series were emptied (storage kept, so no new pages)."""
    act.telemetry_log = VirtualActuatorLog()
    act.step(steps=steps)
    best = 0.0
    for _ in range(repeats):
        for n in SERIES:
            getattr(act.telemetry_log, n).clear()
        t0 = time.perf_counter()
        act.step(steps=steps)
        best = max(best, steps / (time.perf_counter() - t0))
    act.telemetry_log = VirtualActuatorLog()
    return best


def step_loop_executable() -> Path | None:
    import vkl_api

    stage = Path(vkl_api.__file__).resolve().parent.parent
    built = stage.parent / "bench" / "vkl_twin_step_loop"
    if built.exists():
        return built
    src = Path(__file__).resolve().parent.parent / "twins" / "twin_step_loop.c"
    cc = shutil.which("cc") or shutil.which("gcc")
    if not src.exists() or cc is None:
        return None
    out = Path(tempfile.mkdtemp()) / "vkl_twin_step_loop"
    subprocess.run([cc, "-O2", str(src), "-o", str(out), "-ldl"], check=True)
    return out


def bare_loop_rate(steps: int, repeats: int) -> float | None:
    exe = step_loop_executable()
    if exe is None:
        return None
    lib = _twin_catalog.resolve_dtwin_artifacts(MODEL, None).library
    best = 0.0
    for _ in range(repeats):
        out = subprocess.run([str(exe), str(lib), str(steps)], check=True, capture_output=True, text=True).stdout
        m = re.search(r"ticks_per_s=([0-9.eE+]+)", out)
        if m:
            best = max(best, float(m.group(1)))
    return best or None


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def telemetry_bytes(act: KavrelActuatorVirtual, steps: int) -> tuple[float, float]:
    act.telemetry_log = VirtualActuatorLog()
    before = rss_bytes()
    act.step(steps=steps)
    grown = rss_bytes() - before
    log = act.telemetry_log
    rows = len(log.time)
    allocated = sum(sys.getsizeof(getattr(log, n)) for n in SERIES)
    act.telemetry_log = VirtualActuatorLog()
    return allocated / rows, grown / rows


def verdict(ok: bool) -> str:
    return "met" if ok else "NOT met"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--steps", type=int, default=200_000, help="ticks per timed step() call")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--long-run", type=int, default=1_000_000, help="ticks of the telemetry size run")
    args = ap.parse_args()

    plain = make_actuator()
    rate_plain = ticks_per_second(plain, args.steps, args.repeats)
    rate_reused = ticks_per_second_reused(plain, args.steps, args.repeats)

    fed = make_actuator()
    items = fed.VKL_Items
    fed.set_feedback_items([items.POSITION_FB, items.SPEED_FB, items.TORQUE_FB, items.IQ_FB])
    calls = []
    fed.set_feedback_callback(lambda address, fb: calls.append(1))
    rate_fed = ticks_per_second(fed, args.steps, args.repeats)
    expected_calls = args.repeats * args.steps // fed._feedback_rate_divider

    rate_bare = bare_loop_rate(max(args.steps, 2_000_000), args.repeats)

    per_tick_alloc, per_tick_rss = telemetry_bytes(plain, args.long_run)

    print(f"twin {MODEL}, time step {plain.get_sim_time_step_s():g} s, {args.steps} ticks per step() call, "
          f"best of {args.repeats}")
    print(f"step(), no feedback items:             {rate_plain:12.0f} ticks/s  {1e9 / rate_plain:8.1f} ns/tick")
    figure("simulated actuator", "step(), no feedback items", rate_plain, "ticks/s")
    figure("simulated actuator", "step(), 4 items + callback at 1 kHz", rate_fed, "ticks/s")
    print(f"step(), 4 items + callback at 1 kHz:   {rate_fed:12.0f} ticks/s  {1e9 / rate_fed:8.1f} ns/tick"
          f"  ({len(calls)} callbacks, about {expected_calls} expected)")
    if rate_bare:
        bare_ns = 1e9 / rate_bare
        own_plain = 1e9 / rate_plain - bare_ns
        own_fed = 1e9 / rate_fed - bare_ns
        print(f"bare C loop over DT_step:              {rate_bare:12.0f} ticks/s  {bare_ns:8.1f} ns/tick")
        figure("simulated actuator", "bare C loop over DT_step", rate_bare, "ticks/s")
        figure("simulated actuator", "loop's own cost, no items", own_plain, "ns/tick",
               target=f"<= {TARGET_LOOP_NS:.0f}", met=own_plain <= TARGET_LOOP_NS)
        figure("simulated actuator", "loop's own cost, no items, log storage reused",
               1e9 / rate_reused - bare_ns, "ns/tick")
        figure("simulated actuator", "loop's own cost, 4 items + callback", own_fed, "ns/tick",
               target=f"<= {TARGET_LOOP_ITEMS_NS:.0f}", met=own_fed <= TARGET_LOOP_ITEMS_NS)
        print(f"loop's own cost, no items:             {own_plain:8.1f} ns/tick  (target <= {TARGET_LOOP_NS:.0f}: "
              f"{verdict(own_plain <= TARGET_LOOP_NS)})")
        print(f"  (no items, log storage reused, so without the kernel's zeroing of new pages: "
              f"{1e9 / rate_reused - bare_ns:.1f} ns/tick)")
        print(f"loop's own cost, 4 items + callback:   {own_fed:8.1f} ns/tick  (target <= {TARGET_LOOP_ITEMS_NS:.0f}: "
              f"{verdict(own_fed <= TARGET_LOOP_ITEMS_NS)})")
    else:
        print("bare C loop over DT_step: not available (no vkl_twin_step_loop and no C compiler)")
    figure("simulated actuator", "telemetry allocated", per_tick_alloc, "bytes/tick",
           target=f"<= {TARGET_BYTES_PER_TICK:.0f}", met=per_tick_alloc <= TARGET_BYTES_PER_TICK)
    figure("simulated actuator", "telemetry resident growth", per_tick_rss, "bytes/tick",
           target=f"<= {TARGET_BYTES_PER_TICK:.0f}", met=per_tick_rss <= TARGET_BYTES_PER_TICK)
    print(f"telemetry over {args.long_run} ticks: {per_tick_alloc:.1f} bytes/tick allocated, "
          f"{per_tick_rss:.1f} bytes/tick resident growth  (target <= {TARGET_BYTES_PER_TICK:.0f}: "
          f"{verdict(per_tick_alloc <= TARGET_BYTES_PER_TICK and per_tick_rss <= TARGET_BYTES_PER_TICK)})")


if __name__ == "__main__":
    main()
