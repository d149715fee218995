"""Ticks per second of the digital-twin engine on the reference twin.

    PYTHONPATH=build/dev/stage .venv/bin/python bench/bench_twin_engine.py [--build build/dev] [--steps N]

Measures, on VKL_REF_TWIN (position mode, motor on):
  - ActuatorWrapper.step called from a Python loop (native step path),
  - the same with the generic ctypes path (DT_step replaced by a Python
    callable that calls the original),
  - the warm-up loop of initialize (native ticks),
  - a bare C loop calling DT_step of the same library (the upper bound),
and prints each rate and its ratio to the bare C loop.
"""

import argparse
import pathlib
import re
import shutil
import subprocess
import sys
import time

from _report import figure
from vkl_api import _twin_catalog as tc
from vkl_api import _twin_engine as te


def rate(fn, n):
    t0 = time.perf_counter()
    fn(n)
    return n / (time.perf_counter() - t0)


def best(fn, n, repeat=3):
    return max(rate(fn, n) for _ in range(repeat))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build/dev", help="build directory holding bench/vkl_twin_step_loop")
    ap.add_argument("--steps", type=int, default=200000)
    args = ap.parse_args()

    paths = tc.resolve_dtwin_artifacts("VKL_REF_TWIN")
    w = te.ActuatorWrapper(str(paths.library), str(paths.py_bindings))
    try:
        w.initialize()
        w.set_enable(True)
        step = w.step

        def python_steps(n):
            for _ in range(n):
                step(0.5, 0.1)

        native_step = best(python_steps, args.steps)
        assert te.TwinView.step_ready(w)

        def warmups(n):
            for _ in range(n):
                w.terminate()
                w.initialize()

        n_init = 10
        warm = best(lambda n: warmups(n), n_init) * (te._steps_for_duration(1.0, w.get_sim_time_step_s()) + 2)

        original = w._lib.DT_step
        w._lib.DT_step = lambda ptr: original(ptr)
        generic_step = best(python_steps, max(args.steps // 10, 1000))
        w._lib.DT_step = original
    finally:
        if w._initialized:
            w.terminate()
        shutil.rmtree(w.tmp_dir, ignore_errors=True)

    loop = pathlib.Path(args.build) / "bench" / "vkl_twin_step_loop"

    def bare(code):
        if not loop.exists():
            return None
        runs = []
        for _ in range(3):
            out = subprocess.run([str(loop), str(paths.library), str(args.steps * 10), str(code)],
                                 capture_output=True, text=True, check=True).stdout
            runs.append(float(re.search(r"ticks_per_s=([0-9.]+)", out).group(1)))
        return max(runs)

    bare_position, bare_calibration = bare(7), bare(1)
    print(f"twin: {paths.library.name}")
    rows = [
        ("step() from Python, native path", native_step, bare_position),
        ("step() from Python, generic ctypes path", generic_step, bare_position),
        ("bare C loop, position mode", bare_position, bare_position),
        ("initialize warm-up (native ticks)", warm, bare_calibration),
        ("bare C loop, calibration mode", bare_calibration, bare_calibration),
    ]
    for name, r, limit in rows:
        if r is None:
            continue
        ratio = f"  {r / limit:6.3f} of bare C (same mode)" if limit else ""
        print(f"{name:42s} {r:14,.0f} ticks/s{ratio}")
        figure("twin engine", name, r, "ticks/s",
               beside=f"{r / limit:.3f} of bare C (same mode)" if limit and r is not limit else None)
    if not loop.exists():
        print(f"(bare C loop not built: {loop})", file=sys.stderr)


if __name__ == "__main__":
    main()
