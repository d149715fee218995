"""Speed of the physical actuator's hot paths.

1. Setpoint commands with gains: microseconds per command, encoded and written
   through a real VklOverUsb to a pseudo-terminal whose far end is drained by a
   thread; also the encoding alone (a transport whose send_VKL does nothing), and
   for scale the same payload built with struct in Python.
2. Feedback messages of 8 records: messages decoded per second through the receive
   callback to a Python feedback callback, called directly and end to end (frames
   written on the line, read and dispatched by the transport's polling thread).

Run from the repository root with the dev build on the path:
    PYTHONPATH=build/dev/stage .venv/bin/python bench/bench_actuator_real.py
"""

import importlib.util
import os
import struct
import sys
import threading
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))


def load_emulator():
    path = os.path.join(HERE, os.pardir, "tests", "emulator.py")
    spec = importlib.util.spec_from_file_location("emulator", path)
    mod = importlib.util.module_from_spec(spec)
    sys.modules["emulator"] = mod
    spec.loader.exec_module(mod)
    return mod


from _report import figure  # noqa: E402
from vkl_api.kavrel_actuator_real import KavrelActuatorReal  # noqa: E402
from vkl_api.vkl_over_usb import VklOverUsb  # noqa: E402

Items = KavrelActuatorReal.VKL_Items
ADDRESS = 0x10


def best_of(fn, n, repeats=5):
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn(n)
        best = min(best, time.perf_counter() - t0)
    return best


class NullTransport:
    def set_callback(self, address, callback):
        pass

    def send_VKL(self, address, data, priority=True, can_high_speed=False):
        return True


class DrainedPty:
    """A pty pair whose master end is read and discarded by a thread."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.port = os.ttyname(self.slave)
        self.received = 0
        self._stop = False
        self._thread = threading.Thread(target=self._drain, daemon=True)
        self._thread.start()

    def _drain(self):
        import select
        while not self._stop:
            r, _, _ = select.select([self.master], [], [], 0.05)
            if r:
                try:
                    self.received += len(os.read(self.master, 1 << 16))
                except OSError:
                    time.sleep(0.01)

    def close(self):
        self._stop = True
        self._thread.join(1.0)
        os.close(self.master)
        os.close(self.slave)


def bench_setpoints(n=20000):
    print("Setpoint commands (change_position_setpoint with all five gains, 25-byte payload)")

    def run_with(actuator):
        def loop(k):
            f = actuator.change_position_setpoint
            for i in range(k):
                f(0.001 * i, 1.0, 2.0, 3.0, 4.0, 5.0)
        return loop

    # Encoding alone.
    a = KavrelActuatorReal(NullTransport(), ADDRESS)
    a.change_position_setpoint(0.0)      # the mode is cached from here on
    t = best_of(run_with(a), n)
    print(f"  encode, null transport:        {t / n * 1e6:7.2f} us/command")
    encode_us = t / n * 1e6

    # The same payload built in Python with struct, for scale.
    pack = struct.Struct("<6f").pack
    send = NullTransport().send_VKL

    def py_loop(k):
        for i in range(k):
            payload = [19]
            payload.extend(pack(0.001 * i, 1.0, 2.0, 3.0, 4.0, 5.0))
            send(ADDRESS, payload, can_high_speed=False)

    t = best_of(py_loop, n)
    print(f"  (Python struct equivalent:     {t / n * 1e6:7.2f} us/command)")
    figure("physical actuator", "setpoint command, encode to a null transport", encode_us, "us",
           beside=f"Python struct {t / n * 1e6:.2f} us")

    # Encode and write through the serial transport.
    line = DrainedPty()
    transport = VklOverUsb(line.port)
    try:
        a = KavrelActuatorReal(transport, ADDRESS)
        a.change_position_setpoint(0.0)
        t = best_of(run_with(a), n)
        print(f"  encode and write, VklOverUsb:  {t / n * 1e6:7.2f} us/command")
        figure("physical actuator", "setpoint command, encode and write to a pty", t / n * 1e6, "us")
    finally:
        transport.disconnect()
        line.close()


def feedback_payload():
    ids = [Items.ENCODER_INT, Items.SPEED_FB, Items.IA, Items.IB, Items.IC, Items.TORQUE_SENS_RAW,
           Items.ENCODER_INT_RAW, Items.VBUS]
    payload = []
    for k, item in enumerate(ids):
        if item in (Items.TORQUE_SENS_RAW,):
            payload += [item.value, *struct.pack("<i", -k)]
        elif item in (Items.ENCODER_INT_RAW,):
            payload += [item.value, *struct.pack("<I", k)]
        else:
            payload += [item.value, *struct.pack("<f", k * 0.5)]
    return payload


def bench_feedback(n_direct=200000, n_line=50000):
    print("Feedback messages of 8 records to a Python feedback callback")
    payload = feedback_payload()
    count = [0]

    def on_feedback(address, values):
        count[0] += 1

    a = KavrelActuatorReal(NullTransport(), ADDRESS)
    a.set_feedback_callback(on_feedback)
    cb = a._can_callback

    def loop(k):
        for _ in range(k):
            cb(ADDRESS, payload, 0)

    t = best_of(loop, n_direct)
    print(f"  receive callback called directly: {n_direct / t:10.0f} messages/s ({t / n_direct * 1e6:.2f} us each)")
    figure("physical actuator", "feedback message (8 records) to a callback, direct", n_direct / t, "messages/s")

    emulator = load_emulator()
    emu = emulator.Emulator().start()
    transport = VklOverUsb(emu.port)
    try:
        a = KavrelActuatorReal(transport, ADDRESS)
        a.set_feedback_callback(on_feedback)
        blob = emulator.encode_frame(ADDRESS, payload, priority=False) * n_line
        best = float("inf")
        for _ in range(3):
            count[0] = 0
            t0 = time.perf_counter()
            emu.send_raw(blob)
            while count[0] < n_line:
                if time.perf_counter() - t0 > 60:
                    raise SystemExit(f"only {count[0]} of {n_line} messages arrived")
                time.sleep(0.001)
            best = min(best, time.perf_counter() - t0)
        print(f"  end to end through the polling thread: {n_line / best:10.0f} messages/s")
        figure("physical actuator", "feedback message (8 records), through the polling thread", n_line / best,
               "messages/s")
    finally:
        transport.disconnect()
        emu.stop()


def main():
    print(f"Python {sys.version.split()[0]}")
    bench_setpoints()
    bench_feedback()


if __name__ == "__main__":
    main()
