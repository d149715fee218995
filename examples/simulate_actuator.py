#!/usr/bin/env python3
"""Drive a simulated actuator: position, speed and torque references under a load.

The simulated actuator runs the digital twin of one actuator model; here the reference
twin that ships with the package, chosen by its model name.  Nothing moves by itself:
every call of ``step()`` advances the simulation by a number of ticks (one tick is the
twin's time step, 50 microseconds for the reference twin) with the external load that the
application provides, records each tick in ``telemetry_log`` and reports feedback through
the callback at the chosen rate.

Run it with ``tools/run-example`` (sets everything up), or, with the package installed::

    python examples/simulate_actuator.py [--phase-seconds 0.5] [--plot FILE | --no-plot]

It prints how the actuator settled against each reference, how fast the simulation ran,
and saves a plot of the telemetry (simulate_actuator.png unless --plot names another file;
needs matplotlib, which the package's "plot" extra brings).
"""

from __future__ import annotations

import argparse
import os
import sys
import time

from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual

MODEL = "VKL_REF_TWIN"

# (name, command, reference, unit, load in N*m, telemetry series of the response)
PHASES = [
    ("position", "change_position_setpoint", 1.0, "rad", 0.20, "pos_fb"),
    ("speed", "change_speed_setpoint", 20.0, "rad/s", 0.30, "spd_fb"),
    ("torque", "change_torque_setpoint", 0.50, "N*m", 0.45, "T_fb"),
]


def mean(series, start, stop):
    values = [series[i] for i in range(start, stop)]
    return sum(values) / len(values)


def run(phase_seconds: float, plot_path: str | None) -> int:
    actuator = KavrelActuatorVirtual(address=0x10)
    actuator.set_actuator(MODEL)  # finds the twin's library and bindings by model name
    actuator.connect()
    print(f"Simulated actuator {actuator.model} at address 0x{actuator.address:X}")
    print(f"  twin: {actuator.actuator.get_motor_model()}, version {actuator.get_model_version()}")
    rate = actuator.get_sim_rate_hz()
    print(f"  simulation rate: {rate:g} Hz (time step {actuator.get_sim_time_step_s() * 1e6:g} us)")

    items = actuator.VKL_Items
    samples = []
    actuator.set_feedback_items([items.POSITION_FB, items.SPEED_FB, items.TORQUE_FB])
    actuator.set_feedback_rate(actuator.Rates.RATE_100HZ)
    actuator.set_feedback_callback(lambda address, feedback: samples.append(feedback))

    log = actuator.telemetry_log
    ticks_per_phase = max(1, round(phase_seconds * rate))
    results = []
    starts = []  # (phase name, index of its first row in the log)
    actuator.start()  # initialises the twin (1 s of simulated warm-up) and enables the motor
    wall_start = time.perf_counter()
    for name, command, reference, unit, load, series in PHASES:
        getattr(actuator, command)(reference)
        first = len(log.time)
        starts.append((name, first))
        actuator.step(load=load, steps=ticks_per_phase)
        last = len(log.time)
        tail = first + (last - first) * 9 // 10  # the last tenth of the phase
        results.append((name, reference, unit, load, mean(getattr(log, series), tail, last),
                        mean(log.T_fb, tail, last), mean(log.spd_fb, tail, last)))
    wall = time.perf_counter() - wall_start
    ticks = len(log.time)
    sim_seconds = ticks * actuator.get_sim_time_step_s()
    actuator.disconnect()

    print()
    print("Response (mean over the last tenth of each phase):")
    for name, reference, unit, load, settled, torque, speed in results:
        print(f"  {name}: reference {reference:.4f} {unit}, settled {settled:.4f} {unit}, "
              f"error {settled - reference:+.2e} {unit}, load {load:.2f} N*m, "
              f"motor torque {torque:.4f} N*m, speed {speed:.4f} rad/s")
    print(f"  feedback callbacks: {len(samples)} at 100 Hz")
    print()
    print(f"Simulated {sim_seconds:.3f} s ({ticks} ticks) in {wall:.4f} s of wall time: "
          f"{ticks / wall:.0f} ticks per second, real-time factor {sim_seconds / wall:.3g}")

    if plot_path:
        save_plot(log, plot_path, starts)
    else:
        print("Plot skipped (--no-plot).")
    return 0


def save_plot(log, path: str, starts) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("Plot skipped: matplotlib is not installed (pip install matplotlib to get one).")
        return
    t = list(log.time)
    fig, axes = plt.subplots(3, 1, sharex=True, figsize=(9, 8))
    for ax, (fb, ref, label) in zip(axes, [("pos_fb", "pos_ref", "position [rad]"),
                                          ("spd_fb", "spd_ref", "speed [rad/s]"),
                                          ("T_fb", "T_ref", "torque [N*m]")]):
        ax.plot(t, list(getattr(log, ref)), "--", label="reference")
        ax.plot(t, list(getattr(log, fb)), label="feedback")
        ax.set_ylabel(label)
        ax.grid(True)
    axes[2].plot(t, list(log.inp_load), ":", label="external load")
    for ax in axes:
        ax.legend(loc="best")
        for _, row in starts[1:]:
            ax.axvline(t[row], color="grey", linewidth=0.8)
    for name, row in starts:  # which reference is commanded when
        axes[0].annotate(f"{name} phase", (t[row], 1.0), xycoords=("data", "axes fraction"),
                         xytext=(4, -12), textcoords="offset points", fontsize=9, color="grey")
    axes[2].set_xlabel("simulated time [s]")
    fig.suptitle(f"{MODEL}: position, speed and torque references under a load")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"Plot saved to {os.path.abspath(path)}")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--phase-seconds", type=float, default=0.5,
                        help="simulated seconds per reference (default 0.5)")
    parser.add_argument("--plot", default="simulate_actuator.png",
                        help="where to save the telemetry plot (default simulate_actuator.png)")
    parser.add_argument("--no-plot", action="store_true", help="do not save a plot")
    args = parser.parse_args(argv)
    if args.phase_seconds <= 0:
        parser.error("--phase-seconds must be positive")
    return run(args.phase_seconds, None if args.no_plot else args.plot)


if __name__ == "__main__":
    sys.exit(main())
