#!/usr/bin/env python3
"""The serial transport's receive and send paths, beside plain-Python renditions.

Everything runs over a pseudo-terminal whose device end is played by a separate
process (so that the device side never competes for this interpreter's lock):

1. Polling-thread CPU per frame under a flood of feedback messages (16 addresses,
   8 feedback records each): with plain receive callbacks, and through the
   physical actuator's decoding to a feedback callback.
2. Microseconds per change_torque_setpoint with all four gains, written to a
   drained pty, beside the kernel's floor: the same frame's write(2) and
   writability wait alone, in a C loop (pty_write_floor.c, compiled here when a
   C compiler is found) on the same drained pty.  Each of many short rounds runs
   the library, the plain-Python writer and the C loop in turn on one pty; the
   best round and the median are shown.
3. A busy application: the main thread runs a Python loop while a paced stream
   (8,000 and 25,000 frames/s) arrives; reported are the share of frames that
   reach their feedback callbacks while the loop runs, within 10 ms of being
   written, and the share of the loop's rate (measured alone, just before and just
   after) that it keeps;
   and, as a control, the share it keeps while the same stream is read by a
   separate process, nothing of it in this interpreter.

Each figure is shown beside the same work done by a plain-Python worker and
frame writer on pyserial (the few lines under "plain-Python renditions").

Run from the repository root:  .venv/bin/python bench/bench_serial_roads.py
(uses an installed vkl_api, else build/dev/stage).  Options: --frames, --sends,
--rounds, --send-rounds, --busy-seconds.
"""

import argparse
import array
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

try:
    import vkl_api  # noqa: F401
except ImportError:
    sys.path.insert(0, os.path.join(ROOT, "build", "dev", "stage"))
    import vkl_api  # noqa: F401

import serial  # noqa: E402

from _report import figure  # noqa: E402
from vkl_api import _protocol  # noqa: E402
from vkl_api.kavrel_actuator_real import KavrelActuatorReal  # noqa: E402
from vkl_api.vkl_over_usb import VklOverUsb  # noqa: E402

START = _protocol.VKL_USB_MSG_START_BYTE
TRAILER = _protocol.VKL_USB_CRC_MAGIC_NUMBER
MAX_PAYLOAD = _protocol.VKL_USB_MAX_PAYLOAD_SIZE
build_flags = _protocol.build_usb_address_flags
parse_flags = _protocol.parse_usb_address_flags

Items = KavrelActuatorReal.VKL_Items
ADDRESSES = list(range(0x10, 0x20))
INDEX_ITEM = Items.ENCODER_INT_RAW  # carries the frame's sequence number
GROUP = "serial transport"


# -- wire helpers --------------------------------------------------------------------

def frame_bytes(address, payload, priority=False):
    word = build_flags(address, priority=priority, can_high_speed=False)
    return bytes([START]) + struct.pack("<H", word) + bytes([len(payload)]) + bytes(payload) + bytes([TRAILER])


def feedback_payload(index):
    """8 feedback records; the unsigned ENCODER_INT_RAW record holds `index`."""
    out = [INDEX_ITEM.value, *struct.pack("<I", index)]
    for k, item in enumerate((Items.ENCODER_INT, Items.SPEED_FB, Items.IA, Items.IB, Items.IC,
                              Items.TORQUE_SENS, Items.POSITION_FB)):
        out += [item.value, *struct.pack("<f", k * 0.5)]
    return out


class Line:
    """A raw pty pair; the master end is handed to a device process."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.port = os.ttyname(self.slave)

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


# The device is hardware in real use: where the system allows, its stand-in
# process is scheduled ahead of ordinary work, so that a busy machine delays the
# library under test rather than the stream it is fed.
DEVICE_PRELUDE = """
import os, sys, time, struct, array
try:
    os.nice(-10)
except OSError:
    pass
"""


def device(line, code, *args):
    """Run `code` in a separate interpreter with the pty master as `fd`."""
    prog = DEVICE_PRELUDE + "fd = %d\nargs = %r\n%s" % (line.master, args, code)
    return subprocess.Popen([sys.executable, "-c", prog], pass_fds=(line.master,), stdin=subprocess.PIPE)


WRITE_ALL = """
os.set_blocking(fd, True)
def write_all(data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]
"""

FLOOD = WRITE_ALL + """
data = sys.stdin.buffer.read()
write_all(data)
"""

# Read in bulk, never waiting in a read: a write then does not wake this
# process each time.
DRAIN = """
os.set_blocking(fd, False)
while True:
    try:
        if not os.read(fd, 1 << 16):
            break
    except BlockingIOError:
        time.sleep(0.0001)
    except OSError:
        break
"""

# Frames paced at args[0] per second for args[1] seconds, written in batches as
# they fall due; the time each was written goes to the file args[2].
PACED = WRITE_ALL + """
rate, seconds, out, address = args
total = int(rate * seconds)
head, tail = sys.stdin.buffer.read().split(b"%%INDEX%%")
pack = struct.Struct("<I").pack
written = array.array("d", bytes(8 * total))
k = 0
t0 = time.monotonic()
while k < total:
    due = min(total, int((time.monotonic() - t0) * rate) + 1)
    if due > k:
        chunk = b"".join([head + pack(i) + tail for i in range(k, due)])
        t = time.monotonic()
        write_all(chunk)
        for i in range(k, due):
            written[i] = t
        k = due
    time.sleep(0.0003)
with open(out, "wb") as f:
    written.tofile(f)
"""


# -- plain-Python renditions -------------------------------------------------------------

def plain_worker(ser, callbacks, lock, run):
    """The polling reader of the transport, as a straightforward Python loop on pyserial."""
    in_sync = True
    while run.is_set() and ser.is_open:
        try:
            if in_sync:
                header = ser.read(4)
            else:
                header = ser.read(1)
                if not header or header[0] != START:
                    continue
                header += ser.read(3)
                in_sync = True
            if len(header) != 4 or header[0] != START:
                in_sync = False
                continue
            address, priority_bit, _ = parse_flags(struct.unpack("<H", header[1:3])[0])
            n = header[3]
            body = ser.read(n + 1) if n <= MAX_PAYLOAD else b""
            if len(body) < n + 1 or body[-1] != TRAILER:
                in_sync = False
                continue
            if address in callbacks:
                with lock:
                    callbacks[address](address, list(body[:-1]), priority_bit)
        except (serial.SerialException, KeyboardInterrupt):
            break
        except Exception:
            in_sync = False


def plain_send(ser, address, data, priority=True, can_high_speed=False):
    """The transport's frame writer, in Python on pyserial."""
    word = build_flags(address, priority=priority, can_high_speed=can_high_speed)
    frame = bytes([START]) + struct.pack("<H", word) + bytes([len(data)]) + bytes(data) + bytes([TRAILER])
    if ser.is_open:
        ser.write(frame)
        return True
    return False


UNSIGNED = {Items.ENCODER_INT_RAW, Items.ENCODER_EXT_RAW, Items.ERRORS_ENCODER_INT, Items.ERRORS_ENCODER_EXT,
            Items.ERRORS_OVERRUN, Items.DEBUG_SIGNAL_BOOL}
ITEMS_BY_ID = {m.value: m for m in Items}


def plain_feedback_decoder(on_feedback, feedback):
    """The actuator's receive path for feedback messages, in Python."""
    def can_callback(address, data, priority_bit):
        values, i = {}, 0
        while i < len(data) and data[i] != 0:
            item = ITEMS_BY_ID[data[i]]
            fmt = "<I" if item in UNSIGNED else "<i" if item is Items.TORQUE_SENS_RAW else "<f"
            values[item] = struct.unpack(fmt, bytes(data[i + 1:i + 5]))[0]
            i += 5
        if priority_bit == 0:
            feedback.update(values)
            on_feedback(address, values)
    return can_callback


TORQUE_ID = KavrelActuatorReal._VKL_Actions.CHANGE_SETPOINT_TORQUE.value
pack5 = struct.Struct("<5f").pack


def plain_torque_setpoint(ser, address, setpoint, id_kp, id_ki, iq_kp, iq_ki):
    payload = [TORQUE_ID]
    payload.extend(pack5(setpoint, id_kp, id_ki, iq_kp, iq_ki))
    plain_send(ser, address, payload, can_high_speed=False)


class PlainLink:
    """pyserial port, callbacks, lock and a thread running plain_worker."""

    def __init__(self, port):
        self.ser = serial.Serial(port, 115200, interCharTimeout=0.1, timeout=0.8)
        self.callbacks = {}
        self.lock = threading.RLock()
        self.run = threading.Event()
        self.run.set()
        self.thread = threading.Thread(target=plain_worker, args=(self.ser, self.callbacks, self.lock, self.run),
                                       daemon=True)
        self.thread.start()

    def close(self):
        self.run.clear()
        self.ser.cancel_read()
        self.thread.join(2.0)
        self.ser.close()


# -- the library's own set-up -----------------------------------------------------------

class BuildLink:
    def __init__(self, port):
        self.transport = VklOverUsb(port)
        if not self.transport.is_connected:
            raise SystemExit(f"could not open {port}")
        self.callbacks = self

    def __setitem__(self, address, callback):
        self.transport.set_callback(address, callback)

    def close(self):
        self.transport.close()


def actuators_for(link, addresses, on_feedback, build):
    if build:
        for a in addresses:
            act = KavrelActuatorReal(link.transport, a)
            act.set_feedback_callback(on_feedback)
    else:
        for a in addresses:
            link.callbacks[a] = plain_feedback_decoder(on_feedback, {})


# -- 1. polling CPU per frame ---------------------------------------------------------------

def flood(build, decode, n_frames):
    blob = b"".join(frame_bytes(ADDRESSES[i % len(ADDRESSES)], feedback_payload(i)) for i in range(n_frames))
    state = {"n": 0}
    done = threading.Event()

    def count(*_):
        n = state["n"] = state["n"] + 1
        if n == 1:
            state["first"] = time.thread_time()
        elif n == n_frames:
            state["last"] = time.thread_time()
            done.set()

    line = Line()
    link = (BuildLink if build else PlainLink)(line.port)
    try:
        if decode:
            actuators_for(link, ADDRESSES, count, build)
        else:
            for a in ADDRESSES:
                link.callbacks[a] = count
        proc = device(line, FLOOD)
        proc.stdin.write(blob)
        proc.stdin.close()
        if not done.wait(120.0):
            raise SystemExit(f"flood: only {state['n']} of {n_frames} frames arrived")
        proc.wait(10.0)
    finally:
        link.close()
        line.close()
    return (state["last"] - state["first"]) / (n_frames - 1) * 1e6


# -- 2. setpoint commands -------------------------------------------------------------------

def setpoints(line, build, n):
    """Wall and thread-CPU microseconds per command, `n` commands to `line`'s drained pty."""
    if build:
        link = BuildLink(line.port)
        act = KavrelActuatorReal(link.transport, 0x20)
        act.change_torque_setpoint(0.0)  # the mode is cached from here on
        f = act.change_torque_setpoint

        def loop(k):
            for i in range(k):
                f(0.001 * i, 1.0, 2.0, 3.0, 4.0)
    else:
        link = PlainLink(line.port)
        ser = link.ser

        def loop(k):
            for i in range(k):
                plain_torque_setpoint(ser, 0x20, 0.001 * i, 1.0, 2.0, 3.0, 4.0)
    try:
        loop(500)
        t0, c0 = time.perf_counter(), time.thread_time()
        loop(n)
        return (time.perf_counter() - t0) / n * 1e6, (time.thread_time() - c0) / n * 1e6
    finally:
        link.close()


def floor_executable():
    """bench/pty_write_floor.c compiled here (None without a C compiler)."""
    cc = shutil.which("cc") or shutil.which("gcc")
    src = os.path.join(HERE, "pty_write_floor.c")
    if cc is None or not os.path.exists(src):
        return None
    out = os.path.join(tempfile.mkdtemp(), "pty_write_floor")
    subprocess.run([cc, "-O2", src, "-o", out], check=True)
    return out


def setpoint_floor(line, exe, n):
    """The kernel's share: the native writer's system calls alone, in C, on `line`'s drained pty."""
    length = len(frame_bytes(0x20, [TORQUE_ID] + list(pack5(0.0, 1.0, 2.0, 3.0, 4.0))))
    out = subprocess.run([exe, line.port, str(length), str(n)], check=True, capture_output=True, text=True)
    wall, cpu = (float(x) for x in out.stdout.split())
    return wall, cpu


def send_round(exe, n):
    """One round of the setpoint figures: the library, the plain-Python writer and
    the C floor in turn on one drained pty, so that all three meet the machine in
    the same state.  Returns {"build"|"plain"|"floor": (wall us, CPU us)}."""
    line = Line()
    drain = device(line, DRAIN)
    try:
        got = {"build": setpoints(line, True, n), "plain": setpoints(line, False, n)}
        if exe is not None:
            got["floor"] = setpoint_floor(line, exe, n)
        return got
    finally:
        drain.kill()
        drain.wait()
        line.close()


# -- 3. a busy main thread -------------------------------------------------------------------

def compute(seconds):
    """The application's Python loop; returns iterations per second."""
    n, x = 0, 0
    end = time.perf_counter() + seconds
    while True:
        for i in range(1000):
            x = (x * 31 + i) % 1000003
        n += 1000
        if time.perf_counter() >= end:
            return n / seconds


# The stream runs this long around the loop: it is under way before the loop
# starts and still going when it ends.
WARM_S = 0.3


def paced_stream(line, rate, seconds, out):
    """The device process writing feedback frames to `line` at `rate` per second for
    the loop's `seconds` and the margins around it; the write times go to `out`."""
    head, tail = frame_bytes(0x20, feedback_payload(0)).split(struct.pack("<I", 0), 1)
    proc = device(line, PACED, rate, WARM_S + seconds + WARM_S, out, 0x20)
    proc.stdin.write(head + b"%%INDEX%%" + tail)
    proc.stdin.close()
    time.sleep(WARM_S)
    return proc


# The control: the port read by a process of its own, in bulk as it arrives.
PORT_DRAIN = """
import os
while os.read(fd, 1 << 16):
    pass
"""


def busy_control(rate, seconds):
    """The loop's rate while the same paced stream arrives and is read by a separate
    process, nothing of it in this interpreter: beside the rate alone, what the machine
    itself takes from the loop (the device process, the kernel's pty work)."""
    line = Line()
    fd, out = tempfile.mkstemp(prefix="vkl-bench-")
    os.close(fd)
    reader = subprocess.Popen([sys.executable, "-c", "fd = %d\n%s" % (line.slave, PORT_DRAIN)],
                              pass_fds=(line.slave,))
    try:
        proc = paced_stream(line, rate, seconds, out)
        loop_rate = compute(seconds)
        proc.wait(30.0)
    finally:
        reader.kill()
        reader.wait()
        line.close()
        os.unlink(out)
    return loop_rate


def busy(build, rate, seconds):
    total = int(rate * (WARM_S + seconds + WARM_S))
    received = array.array("d", bytes(8 * total))
    monotonic = time.monotonic

    def on_feedback(address, values):
        k = values[INDEX_ITEM]
        if k < total:
            received[k] = monotonic()

    line = Line()
    link = (BuildLink if build else PlainLink)(line.port)
    fd, out = tempfile.mkstemp(prefix="vkl-bench-")
    os.close(fd)
    try:
        actuators_for(link, [0x20], on_feedback, build)
        proc = paced_stream(line, rate, seconds, out)
        t0 = monotonic()
        loop_rate = compute(seconds)
        t1 = monotonic()
        proc.wait(30.0)
        link.close()
        written = array.array("d")
        with open(out, "rb") as f:
            written.frombytes(f.read())
    finally:
        line.close()
        os.unlink(out)
    window = [k for k in range(len(written)) if t0 <= written[k] <= t1]
    in_time = sum(1 for k in window if received[k] and received[k] <= t1 and received[k] - written[k] <= 0.010)
    late_writer = sum(1 for k in window if written[k] - (written[0] + k / rate) > 0.005)
    share = in_time / len(window) if window else 0.0
    lat = sorted((received[k] - written[k]) if received[k] else float("inf") for k in window)
    pct = {q: lat[min(len(lat) - 1, int(q / 100 * len(lat)))] * 1e3 for q in (50, 99)} if lat else {}
    return share, loop_rate, len(window), late_writer, pct


def beside_alone(run):
    """run()'s result, and the loop's rate alone as the mean of one second just before
    and one just after it: a drift of the machine's speed during the run then weighs
    on both sides of the comparison."""
    before = compute(1.0)
    result = run()
    return result, (before + compute(1.0)) / 2


# -- report ----------------------------------------------------------------------------------------

def best(fn, rounds):
    return min(fn() for _ in range(rounds))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=30000)
    ap.add_argument("--sends", type=int, default=20000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--send-rounds", type=int, default=15)
    ap.add_argument("--busy-seconds", type=float, default=3.0)
    args = ap.parse_args()
    print(f"vkl_api from {os.path.dirname(vkl_api.__file__)}; best of {args.rounds} rounds "
          "(busy-thread figures: one run each)")

    print(f"Polling-thread CPU per frame, flood of {args.frames} frames, 16 addresses x 8 feedback records")
    for decode, name, target in ((False, "polling CPU per frame, plain callbacks", 2.0),
                                 (True, "polling CPU per frame, through actuator decoding", 3.5)):
        ours = best(lambda: flood(True, decode, args.frames), args.rounds)
        plain = best(lambda: flood(False, decode, args.frames), args.rounds)
        print(f"  {name}: {ours:.2f} us   (plain Python {plain:.2f} us; target <= {target})")
        figure(GROUP, name, ours, "us", target=f"<= {target}", met=ours <= target,
               beside=f"plain Python {plain:.2f} us")

    # A pty write hands the frame to a kernel worker thread.  Whether that
    # worker runs on the writer's CPU (taking about a microsecond from it per
    # frame) or on the other one swings with the scheduler's state, for seconds
    # at a time; many short rounds spread over that time find the quiet states.
    exe = floor_executable()
    rounds = [send_round(exe, args.sends) for _ in range(args.send_rounds)]
    print(f"change_torque_setpoint with four gains, {args.sends} commands to a drained pty, "
          f"{args.send_rounds} rounds (best, and median in brackets)")

    def spread(who, i):
        xs = sorted(r[who][i] for r in rounds)
        return xs[0], xs[len(xs) // 2]

    (wall, wall_m), (cpu, cpu_m) = spread("build", 0), spread("build", 1)
    (pwall, pwall_m), (pcpu, pcpu_m) = spread("plain", 0), spread("plain", 1)
    print(f"  per command: {wall:.2f} us ({wall_m:.2f}), of which {cpu:.2f} us ({cpu_m:.2f}) CPU of the calling "
          f"thread   (plain Python {pwall:.2f} us ({pwall_m:.2f}), {pcpu:.2f} us CPU; target <= 2)")
    figure(GROUP, "change_torque_setpoint with gains, per command", wall, "us", target="<= 2", met=wall <= 2.0,
           beside=f"plain Python {pwall:.2f} us; median of rounds {wall_m:.2f} us")
    figure(GROUP, "change_torque_setpoint with gains, CPU per command", cpu, "us",
           beside=f"plain Python {pcpu:.2f} us")
    if exe is not None:
        (fwall, fwall_m), (fcpu, _) = spread("floor", 0), spread("floor", 1)
        above = sorted(r["build"][0] - r["floor"][0] for r in rounds)[len(rounds) // 2]
        print(f"  the same frame's write(2) and writability wait alone, in C: {fwall:.2f} us ({fwall_m:.2f}), "
              f"{fcpu:.2f} us CPU (the kernel's floor under the figures above); "
              f"the library above it, median of rounds: {above:.2f} us")
        figure(GROUP, "write(2) and writability wait of one frame in C, per frame (kernel floor)", fwall, "us",
               beside=f"{fcpu:.2f} us CPU; median of rounds {fwall_m:.2f} us")
        figure(GROUP, "change_torque_setpoint above the kernel floor, median of rounds", above, "us")

    print(f"Busy main thread: a {args.busy_seconds:g} s Python loop while a paced stream arrives")
    for rate in (8000, 25000):
        for build in (True, False):
            (share, loop_rate, n, late, pct), alone = beside_alone(lambda: busy(build, rate, args.busy_seconds))
            kept = loop_rate / alone
            who = "build" if build else "plain Python"
            print(f"  {rate:,} frames/s, {who}: {share:.1%} of {n} frames in their callbacks within 10 ms "
                  f"while the loop ran (latency median {pct.get(50, 0):.1f} ms, 99th {pct.get(99, 0):.1f} ms); "
                  f"loop kept {kept:.1%} of its rate"
                  + (f" ({late} frames written >5 ms late by the device process)" if late else ""))
            if build:
                ours = (share, kept)
            else:
                figure(GROUP, f"frames in time, {rate} frames/s, busy main thread", ours[0] * 100, "%",
                       target=">= 99", met=ours[0] >= 0.99, beside=f"plain Python {share:.1%}")
                figure(GROUP, f"loop rate kept, {rate} frames/s", ours[1] * 100, "%",
                       target=">= 90", met=ours[1] >= 0.90, beside=f"plain Python {kept:.1%}")
        loop_rate, alone = beside_alone(lambda: busy_control(rate, args.busy_seconds))
        control = loop_rate / alone
        print(f"  {rate:,} frames/s, port read by a separate process (nothing in this interpreter): "
              f"loop kept {control:.1%} of its rate (what the machine itself takes)")
        figure(GROUP, f"loop rate kept, {rate} frames/s, port read outside the interpreter (control)",
               control * 100, "%")


if __name__ == "__main__":
    main()
