"""Start a straight move, follow the TCP in telemetry while it runs, and abort it at a plane.

    python examples/watch_a_motion.py [--plane-y 50] [--speed 400] [--host HOST --allow-motion]

The robot goes to the start of a line, then `start_move()` sends a straight Move across the
Y = 0 plane of the robot and returns at once with a `Motion` handle. The program reads every
telemetry sample while the motion runs and prints the TCP every tenth of a second; the first
sample at or past the plane Y = --plane-y (a light curtain, say) aborts the motion. It prints
where the TCP crossed, where it came to rest (the braking distance beyond the plane) and how
the motion ended. A plane beyond the end of the line (--plane-y 500) lets the move finish.
Typed for `mypy --strict`.

The plane is watched on this computer, so it acts a telemetry sample and a command's round trip
late: a cell's real light curtain belongs on the controller's safety circuit, and a sensor on an
input belongs in the motion's own `search_expression` (`Till Sw(n) = On`).

Without --host it starts the virtual controller; with --host it talks to a real controller and
moves the robot only when --allow-motion is given.
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import Callable, Optional, Sequence

import _brevacon
import _tandrel
from _brevacon import Pose

import common

# Flange pointing down (native X, Y, Z mm; U, V, W deg), in front of the robot.
LINE_START = Pose(420.0, -150.0, 300.0, 0.0, 0.0, 180.0)
LINE_END = Pose(420.0, 150.0, 300.0, 0.0, 0.0, 180.0)
PRINT_EVERY_S = 0.1


def shown(xyz: Sequence[float]) -> str:
    return "(" + ", ".join(f"{value:.1f}" for value in xyz[:3]) + ")"


def follow(telemetry: _tandrel.EthernetReceiveInterface, motion: _brevacon.Motion,
           plane_y: float, say: Callable[[str], None]) -> Optional[list[float]]:
    """Reads every sample until the motion ends; returns the TCP of the first sample at or past
    the plane (the motion still running), or None when the motion ended first."""
    reader = telemetry.sample_reader()
    reader.take(timeout=0)  # only what comes from now on
    next_print = time.monotonic()
    while not motion.done():
        for sample in reader.take(timeout=0.5):
            if sample.pose[1] >= plane_y:
                return sample.pose
            if sample.host_time >= next_print:
                say(f"  TCP {shown(sample.pose)}")
                next_print = sample.host_time + PRINT_EVERY_S
    return None


def watch(robot: _tandrel.Tandrel, plane_y: float, speed_mm_s: float,
          say: Callable[[str], None] = print) -> bool:
    """Runs the move and stops it at the plane; True when it was stopped there."""
    arm, telemetry = robot.get_control_interface(), robot.get_receive_interface()
    arm.go(LINE_START, ljm=True, speed_percent=50, acceleration_percent=50)
    say(f"at {shown(list(LINE_START))}; moving to {shown(list(LINE_END))} at {speed_mm_s:g} mm/s, "
        f"watching the plane Y = {plane_y:g} mm")
    crossed = None
    try:
        # Leaving the with block by an exception (Ctrl-C too) aborts the motion; leaving it
        # normally waits for the end and raises what the motion raised.
        with arm.start_move(LINE_END, speed_mm_s=speed_mm_s,
                            acceleration_mm_s2=5 * speed_mm_s) as motion:
            say(f"started {motion.statement}; the controller is running it: "
                f"{arm.get_remote_status().running}")
            crossed = follow(telemetry, motion, plane_y, say)
            if crossed is not None:
                say(f"TCP at {shown(crossed)} crossed Y = {plane_y:g}: aborting")
                motion.abort()
    except _brevacon.MotionAbortedError as aborted:
        rest = arm.here()
        say(f"motion aborted ({aborted.reply}); at rest at {shown(list(rest))}, "
            f"{rest.y - plane_y:.1f} mm past the plane")
        return True
    say(f"motion done at {shown(list(arm.here()))} without crossing the plane")
    return False


def main(argv: Sequence[str] | None = None) -> int:
    ap: argparse.ArgumentParser = common.parser(__doc__.split("\n")[0])
    ap.add_argument("--plane-y", type=float, default=50.0, help="Y of the plane, mm")
    ap.add_argument("--speed", type=float, default=400.0, help="speed of the move, mm/s")
    ap.add_argument("--allow-motion", action="store_true",
                    help="let it move a real robot (always on for the virtual one)")
    args = ap.parse_args(argv)

    with common.controller(args, rate_hz=500.0) as (host, port, telemetry_port, vc):
        if vc is None and not args.allow_motion:
            print("a real robot moves only with --allow-motion", file=sys.stderr)
            return 2
        with _tandrel.Tandrel(host, port, telemetry_port) as robot:
            arm = robot.get_control_interface()
            arm.motor_on()
            if vc is not None:
                arm.set_power_mode(_brevacon.EpsonPowerMode.HIGH)  # brisk on the virtual one
            watch(robot, args.plane_y, args.speed)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("\ninterrupted; the running motion was aborted", file=sys.stderr)
        sys.exit(130)
