#!/usr/bin/env python3
"""Throughput of the serial transport through a pseudo-terminal.

Receive side: the device emulator floods the line with feedback messages
(8 feedback records each, 45-byte frames) for 16 addresses; a receive callback
registered for each address counts them.  Reported: frames dispatched per
second and CPU seconds per frame of the polling thread (time.thread_time taken
inside the callback, i.e. on the polling thread; the callback's own counting is
included).

Send side: microseconds per send_VKL call (a 9-byte command, frame written to
the pty), with the protocol's own flag-word builder and with a replaced one.

Run from a checkout:  .venv/bin/python bench/bench_transport.py
(uses an installed vkl_api, else build/dev/stage).  Options: --frames N,
--rounds N, --sends N.
"""

import argparse
import importlib.util
import os
import statistics
import struct
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

try:
    import vkl_api  # noqa: F401
except ImportError:
    sys.path.insert(0, os.path.join(ROOT, "build", "dev", "stage"))
    import vkl_api  # noqa: F401

from _report import figure  # noqa: E402
from vkl_api import vkl_over_usb  # noqa: E402
from vkl_api._kavrel_actuator_base import KavrelActuatorBase  # noqa: E402


def load_emulator():
    spec = importlib.util.spec_from_file_location("emulator", os.path.join(ROOT, "tests", "emulator.py"))
    mod = importlib.util.module_from_spec(spec)
    sys.modules["emulator"] = mod  # dataclasses look the module up while the class is built
    spec.loader.exec_module(mod)
    return mod


emulator = load_emulator()

ADDRESSES = list(range(0x10, 0x20))


def feedback_payload(seed):
    """8 feedback records: item id, then a little-endian single-precision value."""
    items = [m.value for m in KavrelActuatorBase.VKL_Items][:8]
    out = []
    for i, item in enumerate(items):
        out.append(item)
        out += struct.pack("<f", seed + i * 0.5)
    return out


def flood_round(n_frames):
    blob = b"".join(
        emulator.encode_frame(ADDRESSES[i % len(ADDRESSES)], feedback_payload(i % 97))
        for i in range(n_frames))
    done = threading.Event()
    state = {"n": 0, "first": None, "last": None}

    def callback(address, payload, priority_bit):
        n = state["n"] = state["n"] + 1
        if n == 1:
            state["first"] = (time.perf_counter(), time.thread_time())
        elif n == n_frames:
            state["last"] = (time.perf_counter(), time.thread_time())
            done.set()

    with emulator.Emulator() as emu:
        t = vkl_over_usb.VklOverUsb(emu.port)
        try:
            for a in ADDRESSES:
                t.set_callback(a, callback)
            writer = threading.Thread(target=emu.send_raw, args=(blob,), daemon=True)
            writer.start()
            ok = done.wait(120.0)
            writer.join(10.0)
        finally:
            t.close()
    if not ok:
        raise SystemExit(f"flood: only {state['n']} of {n_frames} frames dispatched")
    (w0, c0), (w1, c1) = state["first"], state["last"]
    frames = n_frames - 1
    return frames / (w1 - w0), (c1 - c0) / frames


def send_round(n_calls, replaced_builder):
    payload = [0x0A, 1, 2, 3, 4, 5, 6, 7, 8]
    original = vkl_over_usb.build_usb_address_flags
    if replaced_builder:
        vkl_over_usb.build_usb_address_flags = lambda address, **kw: original(address, **kw)
    try:
        with emulator.Emulator() as emu:
            t = vkl_over_usb.VklOverUsb(emu.port)
            try:
                send = t.send_VKL
                for _ in range(200):
                    send(0x20, payload)
                t0 = time.perf_counter()
                for _ in range(n_calls):
                    send(0x20, payload)
                elapsed = time.perf_counter() - t0
            finally:
                t.close()
    finally:
        vkl_over_usb.build_usb_address_flags = original
    return elapsed / n_calls * 1e6


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=20000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--sends", type=int, default=20000)
    args = ap.parse_args()

    frame_len = len(emulator.encode_frame(0x10, feedback_payload(0)))
    print(f"vkl_api from {os.path.dirname(vkl_api.__file__)}")
    print(f"flood: {args.frames} frames of {frame_len} bytes (8 feedback records) over {len(ADDRESSES)} "
          f"addresses, {args.rounds} rounds")
    fps, cpu = zip(*(flood_round(args.frames) for _ in range(args.rounds)))
    figure("transport", "frames dispatched, median", statistics.median(fps), "frames/s")
    figure("transport", "polling-thread CPU per frame, median", statistics.median(cpu) * 1e6, "us")
    print(f"  frames dispatched per second: median {statistics.median(fps):,.0f}  "
          f"(rounds: {', '.join(f'{x:,.0f}' for x in fps)})")
    print(f"  polling-thread CPU per frame: median {statistics.median(cpu) * 1e6:.2f} us  "
          f"(rounds: {', '.join(f'{x * 1e6:.2f}' for x in cpu)})")
    print(f"send_VKL, 9-byte payload, {args.sends} calls per round, {args.rounds} rounds")
    for label, replaced in (("native flag word", False), ("replaced flag-word builder", True)):
        us = [send_round(args.sends, replaced) for _ in range(args.rounds)]
        figure("transport", f"send_VKL, 9-byte payload, {label}, median", statistics.median(us), "us")
        print(f"  {label}: median {statistics.median(us):.2f} us per call  "
              f"(rounds: {', '.join(f'{x:.2f}' for x in us)})")


if __name__ == "__main__":
    main()
