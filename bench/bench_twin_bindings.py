"""Memory that each twin binding keeps for the life of the process.

    PYTHONPATH=$PWD/build/dev/stage .venv/bin/python bench/bench_twin_bindings.py [--cycles 1000]

Every binding loads a private copy of the twin's library; the dynamic loader
keeps it mapped after the twin is terminated and its file removed, so a process
that binds many twins grows by a fixed amount per binding.  Measured here over
bind-connect-step-disconnect cycles of the reference twin (each `step` runs the
1 s warm-up, so `disconnect` terminates the twin and removes its copy): the
growth of the resident set and of the process's memory mappings per cycle, and
the wall time of one cycle.
"""

from __future__ import annotations

import argparse
import gc
import time

from _report import figure
from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual

MODEL = "VKL_REF_TWIN"


def rss_bytes() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def mappings() -> int:
    with open("/proc/self/maps") as f:
        return sum(1 for _ in f)


def cycle() -> None:
    act = KavrelActuatorVirtual(address=0x10)
    act.set_actuator(MODEL)
    act.connect()
    act.step(load=0.1, steps=10)
    act.disconnect()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cycles", type=int, default=1000)
    args = ap.parse_args()

    for _ in range(20):  # first allocations of the interpreter and the package
        cycle()
    gc.collect()
    rss0, maps0 = rss_bytes(), mappings()
    t0 = time.perf_counter()
    for _ in range(args.cycles):
        cycle()
    wall = time.perf_counter() - t0
    gc.collect()
    per_rss = (rss_bytes() - rss0) / args.cycles
    per_maps = (mappings() - maps0) / args.cycles
    print(f"{MODEL}, {args.cycles} bind-connect-step-disconnect cycles:")
    print(f"  resident growth per binding: {per_rss / 1024:8.1f} KiB")
    print(f"  mappings added per binding:  {per_maps:8.2f}")
    print(f"  one cycle:                   {wall / args.cycles * 1e3:8.2f} ms")
    figure("twin bindings", "resident growth per binding", per_rss / 1024, "KiB",
           beside=f"over {args.cycles} bind-connect-step-disconnect cycles")
    figure("twin bindings", "mappings added per binding", per_maps, "mappings")
    figure("twin bindings", "bind-connect-step-disconnect cycle", wall / args.cycles * 1e3, "ms")


if __name__ == "__main__":
    main()
