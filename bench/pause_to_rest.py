"""Time from pause() to the robot at rest on the virtual controller, in both of its modes.

With --execute-accepts-pause the controller holds the motion on $Pause; by default it follows the
maker's guide, refuses $Pause during an $Execute, and the driver pauses by $Abort (the robot
brakes along its path). "At rest" is the first telemetry sample from which the joints stay put
for 50 ms.

    PYTHONPATH=build/release/python:sim .venv/bin/python bench/pause_to_rest.py [--runs 10]
"""

from __future__ import annotations

import argparse
import statistics
import threading
import time

import _brevacon
import _tandrel
from epson_sim import VirtualController

HOME = [0.0, 0.0, 0.0, 0.0, 90.0, 0.0]
OUT = [40.0, 0.0, 0.0, 0.0, 90.0, 0.0]


def joints_text(joints: list[float]) -> str:
    return "AglToPls(" + ",".join(repr(q) for q in joints) + ")"


def one_pause(arm: _brevacon.Brevacon, telemetry: _tandrel.EthernetReceiveInterface,
              target: list[float]) -> tuple[float, float]:
    mover = threading.Thread(target=lambda: arm.go(joints_text(target), speed_percent=20))
    mover.start()
    time.sleep(0.15)  # moving at speed
    called = time.monotonic()
    arm.pause()
    returned = time.monotonic() - called
    reader = telemetry.sample_reader()
    still_since, last, settled = None, None, False
    deadline = called + 2.0
    while not settled and time.monotonic() < deadline:
        for sample in reader.take(timeout=0.1):
            if last is None or sample.joints != last:
                still_since = None
            elif still_since is None:
                still_since = sample.host_time
            elif sample.host_time - still_since >= 0.05:
                settled = True
                break
            last = sample.joints
    rest = (still_since - called) if settled and still_since is not None else float("nan")
    arm.continue_motion()
    mover.join(10.0)
    return returned, rest


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=10)
    args = ap.parse_args()
    for accepts in (True, False):
        with VirtualController(telemetry_rate_hz=1000, execute_accepts_pause=accepts) as vc:
            with _tandrel.Tandrel("127.0.0.1", vc.port, vc.telemetry_port) as robot:
                arm, telemetry = robot.get_control_interface(), robot.get_receive_interface()
                arm.motor_on()
                arm.go(joints_text(HOME), speed_percent=100, acceleration_percent=100)
                results = [one_pause(arm, telemetry, OUT if i % 2 == 0 else HOME)
                           for i in range(args.runs)]
        returned = [r * 1e3 for r, _ in results]
        rest = [s * 1e3 for _, s in results]
        mode = "accepts $Pause   " if accepts else "pauses by $Abort "
        print(f"{mode}: pause() returned in {statistics.median(returned):.1f} ms median; "
              f"at rest {statistics.median(rest):.1f} ms median, {max(rest):.1f} ms max "
              f"after the call ({args.runs} runs)")


if __name__ == "__main__":
    main()
