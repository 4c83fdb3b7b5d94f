"""Time from start_go() returning to the first telemetry sample that shows the robot moving.

Starts the virtual controller in a process of its own with telemetry at --rate Hz, then runs
--runs point-to-point motions back and forth between two joint positions with start_go(). For
each, it takes the time start_go() returned and the publication time (host_time, on the same
monotonic clock) of the first sample whose joints left the position the motion started from,
and prints the median, the 90th percentile and the extremes of that gap, of the time
start_go() itself took, and of the two together. On a loaded machine the controller's process
and the motion's thread compete for the processor right after the statement is written, which
shows in the time start_go() takes to return.

    PYTHONPATH=build/release/python:sim python3 bench/motion_start_latency.py [--runs 25]
        [--rate 1000]

Loopback only, on ports the system picks; every wait is bounded.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import time

import _brevacon
import _tandrel

HOST = "127.0.0.1"
A = _brevacon.Joints(0, 0, 0, 0, 90, 0)
B = _brevacon.Joints(20, 10, 5, 0, 80, 0)


def first_moving(reader: _tandrel.SampleReader, rest: list[float], deadline: float) -> float:
    """host_time of the first sample whose joints differ from `rest`."""
    while time.monotonic() < deadline:
        for sample in reader.take(timeout=0.5):
            if any(abs(q - r) > 1e-6 for q, r in zip(sample.joints, rest)):
                return sample.host_time
    raise RuntimeError("no moving sample within the deadline")


def summary(name: str, values_ms: list[float]) -> str:
    ordered = sorted(values_ms)
    p90 = ordered[min(len(ordered) - 1, round(0.9 * (len(ordered) - 1)))]
    return (f"{name}: median {statistics.median(ordered):.2f} ms, p90 {p90:.2f} ms, "
            f"min {ordered[0]:.2f} ms, max {ordered[-1]:.2f} ms ({len(ordered)} runs)")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=25)
    ap.add_argument("--rate", type=float, default=1000.0, help="telemetry rate, Hz")
    args = ap.parse_args()
    proc = subprocess.Popen(
        [sys.executable, "-m", "epson_sim", "--host", HOST, "--port", "0", "--telemetry-port",
         "0", "--rate", str(args.rate)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()  # "epson-sim listening: command H:P, telemetry H:P"
        ports = line.split("command ")[1].split(", telemetry ")
        port, telemetry_port = (int(part.rsplit(":", 1)[1]) for part in ports)
        gaps, starts, totals = [], [], []
        with _tandrel.Tandrel(HOST, port, telemetry_port) as robot:
            arm, telemetry = robot.get_control_interface(), robot.get_receive_interface()
            arm.motor_on()
            arm.set_power_mode(_brevacon.EpsonPowerMode.HIGH)
            arm.go(A, speed_percent=100, acceleration_percent=100)
            reader = telemetry.sample_reader()
            for run in range(args.runs):
                target, rest = (B, A) if run % 2 == 0 else (A, B)
                time.sleep(0.05)  # telemetry has caught up with the robot at rest
                reader.take(timeout=0)
                called = time.monotonic()
                motion = arm.start_go(target)
                returned = time.monotonic()
                moving = first_moving(reader, list(rest), returned + 5.0)
                if not motion.wait(10.0):
                    raise RuntimeError("a motion did not end within 10 s")
                motion.result()
                gaps.append((moving - returned) * 1e3)
                starts.append((returned - called) * 1e3)
                totals.append((moving - called) * 1e3)
    finally:
        proc.terminate()
        proc.wait(10)
    print(f"telemetry at {args.rate:g} Hz")
    print(summary("start_go() returned to first moving sample", gaps))
    print(summary("start_go() call to return", starts))
    print(summary("start_go() call to first moving sample", totals))
    return 0


if __name__ == "__main__":
    sys.exit(main())
