"""Pick a part and place it with a gripper on a standard output that reports back on an input.

    python examples/pick_and_place.py [--output 8] [--input 9] [--grip-timeout 2]
                                      [--point 900] [--no-gripper] [--host HOST --allow-motion]

The robot's starting position is taught as point P<point> and the place position stored as
P<point+1> in the controller's point table. Above the part, straight down onto it, close the
gripper and wait for its "gripped" input; a Jump3 lifts the part straight up, carries it over to
the place point and lowers it straight down; open and wait for the input to drop, lift, and back
to the taught start. A gripper that does not report within the timeout fails the run: the robot
opens it, moves up clear of the part and the program stops with an error. Typed for
`mypy --strict`.

Without --host it starts the virtual controller with a gripper wired to those bits (closing
takes 0.3 s); --no-gripper starts it without one, to see the failure. With --host it talks to
a real controller and moves the robot, switches the output and overwrites the two points of its
table only when --allow-motion is given.
"""

from __future__ import annotations

import argparse
import sys
from typing import Callable, NamedTuple, Sequence

import _brevacon
from _brevacon import Pose

import common

# Flange pointing down (native X, Y, Z mm; U, V, W deg), in front of the robot.
PICK = Pose(420.0, -150.0, 250.0, 0.0, 0.0, 180.0)
PLACE = Pose(420.0, 150.0, 250.0, 0.0, 0.0, 180.0)
CLEARANCE_MM = 80.0  # height of the approach above a position: straight down from there
GO_SPEED_PERCENT = 30
MOVE_SPEED_MM_S = 150.0  # the straight moves onto and off the part, and Jump3's depart and approach
VIRTUAL_GRIPPER_DELAY_S = 0.3


class Gripper(NamedTuple):
    output: int  # switched on to close
    gripped_input: int  # on while closed
    timeout_s: float  # longest wait for the input to follow the output


class GripperError(RuntimeError):
    """The gripper's input did not follow its output in time; the robot stands clear above."""


def above(pose: Pose, up_mm: float) -> Pose:
    return Pose(pose.x, pose.y, pose.z + up_mm, pose.u, pose.v, pose.w)


def shown(pose: Pose) -> str:
    return "(" + ", ".join(f"{value:g}" for value in pose) + ")"


def go(arm: _brevacon.Brevacon, target: _brevacon.Target, ljm: bool = False) -> None:
    arm.go(target, ljm=ljm,
           speed_percent=GO_SPEED_PERCENT, acceleration_percent=GO_SPEED_PERCENT)


def move(arm: _brevacon.Brevacon, target: _brevacon.Target) -> None:
    # SpeedS and AccelS stay set in the controller: Jump3's straight segments run at them too.
    arm.move(target, speed_mm_s=MOVE_SPEED_MM_S, acceleration_mm_s2=10 * MOVE_SPEED_MM_S)


def actuate(arm: _brevacon.Brevacon, gripper: Gripper, close: bool, where: Pose,
            say: Callable[[str], None]) -> None:
    """Closes or opens the gripper at `where` and waits for its input; raises GripperError,
    with the gripper opened and the robot moved up, when the input does not follow."""
    arm.set_output(gripper.output, close)
    if arm.wait_input(gripper.gripped_input, close, gripper.timeout_s):
        say(f"  gripper {'closed' if close else 'open'}: input {gripper.gripped_input} "
            f"{'on' if close else 'off'}")
        return
    arm.set_output(gripper.output, False)  # let go of whatever it holds before moving away
    move(arm, above(where, CLEARANCE_MM))
    state = "on" if close else "off"
    raise GripperError(
        f"the gripper did not {'close' if close else 'open'}: input {gripper.gripped_input} "
        f"was not {state} {gripper.timeout_s:g} s after output {gripper.output} switched "
        f"{state}; the robot stopped {CLEARANCE_MM:g} mm above {shown(where)}")


def pick_and_place(arm: _brevacon.Brevacon, gripper: Gripper,
                   pick: Pose = PICK, place: Pose = PLACE, point: int = 900,
                   say: Callable[[str], None] = print) -> None:
    """Moves a part from `pick` to `place` and returns to where the robot stood; the motors must
    be on. Overwrites P<point> (the start) and P<point+1> (the place) of the controller's table."""
    start, place_point = f"P{point}", f"P{point + 1}"
    arm.teach_point(point)
    arm.set_point(point + 1, place)
    say(f"start taught as {start}, place stored as {place_point} {shown(place)}")
    arm.set_output(gripper.output, False)
    say(f"above the part: go {shown(above(pick, CLEARANCE_MM))}")
    # A Pose keeps the posture the arm has; a run may start anywhere, so this first motion takes
    # the least joint motion instead.
    go(arm, above(pick, CLEARANCE_MM), ljm=True)
    move(arm, pick)
    actuate(arm, gripper, True, pick, say)
    say(f"over to the place: jump3 up to {shown(above(pick, CLEARANCE_MM))}, "
        f"across to {place_point} +Z({CLEARANCE_MM:g}), down to {place_point}")
    arm.jump3(above(pick, CLEARANCE_MM), f"{place_point} +Z({CLEARANCE_MM:g})", place_point,
              speed_percent=GO_SPEED_PERCENT, acceleration_percent=GO_SPEED_PERCENT)
    actuate(arm, gripper, False, place, say)
    move(arm, above(place, CLEARANCE_MM))
    go(arm, start)  # a taught point keeps the posture it was taught in
    say(f"part placed; back at {start}")


def main(argv: Sequence[str] | None = None) -> int:
    ap: argparse.ArgumentParser = common.parser(__doc__.split("\n")[0])
    ap.add_argument("--output", type=int, default=8, help="gripper output bit (on: close)")
    ap.add_argument("--input", type=int, default=9, help="gripped input bit (on: closed)")
    ap.add_argument("--grip-timeout", type=float, default=2.0,
                    help="seconds the input may take to follow the output")
    ap.add_argument("--point", type=int, default=900,
                    help="point number of the taught start; the place is the next one")
    ap.add_argument("--no-gripper", action="store_true",
                    help="start the virtual controller without a gripper wired")
    ap.add_argument("--allow-motion", action="store_true",
                    help="let it move a real robot (always on for the virtual one)")
    args = ap.parse_args(argv)
    if not 0 <= args.point < 999:
        ap.error("--point must be from 0 to 998: the place is the point after it")
    gripper = Gripper(args.output, args.input, args.grip_timeout)
    wiring = None if args.no_gripper else \
        f"{gripper.output},{gripper.gripped_input},{VIRTUAL_GRIPPER_DELAY_S}"

    with common.controller(args, gripper=wiring) as (host, port, _telemetry_port, vc):
        if vc is None and not args.allow_motion:
            print("a real robot moves only with --allow-motion", file=sys.stderr)
            return 2
        with _brevacon.Brevacon() as arm:
            arm.connect(host, port)
            arm.motor_on()
            if vc is not None:
                arm.set_power_mode(_brevacon.EpsonPowerMode.HIGH)  # brisk on the virtual one
            try:
                pick_and_place(arm, gripper, point=args.point)
            except GripperError as failed:
                print(f"pick and place failed: {failed}", file=sys.stderr)
                return 1
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("\ninterrupted; the running motion or wait was aborted", file=sys.stderr)
        sys.exit(130)
