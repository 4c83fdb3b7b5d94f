"""Pick a part and place it with a gripper on a standard output that reports back on an input.

    python examples/pick_and_place.py [--output 8] [--input 9] [--grip-timeout 2]
                                      [--no-gripper] [--host HOST --allow-motion]

Above the part, down onto it, close the gripper and wait for its "gripped" input, lift, over to
the place position, down, open and wait for the input to drop, lift. A gripper that does not
report within the timeout fails the run: the robot opens it, moves up clear of the part and the
program stops with an error. Typed for `mypy --strict`.

Without --host it starts the virtual controller with a gripper wired to those bits (closing
takes 0.3 s); --no-gripper starts it without one, to see the failure. With --host it talks to
a real controller and moves the robot and switches the output only when --allow-motion is given.
"""

from __future__ import annotations

import argparse
import sys
from typing import Callable, NamedTuple, Sequence

import _brevacon

import common

# Flange pointing down (native X, Y, Z mm; U, V, W deg), in front of the robot.
PICK = (420.0, -150.0, 250.0, 0.0, 0.0, 180.0)
PLACE = (420.0, 150.0, 250.0, 0.0, 0.0, 180.0)
CLEARANCE_MM = 80.0  # height of the approach above a position: straight down from there
GO_SPEED_PERCENT = 30
MOVE_SPEED_MM_S = 150.0  # the straight moves onto and off the part
VIRTUAL_GRIPPER_DELAY_S = 0.3


class Gripper(NamedTuple):
    output: int  # switched on to close
    gripped_input: int  # on while closed
    timeout_s: float  # longest wait for the input to follow the output


class GripperError(RuntimeError):
    """The gripper's input did not follow its output in time; the robot stands clear above."""


def xy(pose: Sequence[float], up_mm: float = 0.0) -> str:
    """A SPEL+ point: the pose, raised by up_mm."""
    x, y, z, u, v, w = pose
    return f"XY({x:g},{y:g},{z + up_mm:g},{u:g},{v:g},{w:g})"


def go(arm: _brevacon.Brevacon, point: str) -> None:
    arm.go(point, ljm=True,  # least joint motion
           speed_percent=GO_SPEED_PERCENT, acceleration_percent=GO_SPEED_PERCENT)


def move(arm: _brevacon.Brevacon, point: str) -> None:
    arm.move(point, speed_mm_s=MOVE_SPEED_MM_S,
             acceleration_mm_s2=10 * MOVE_SPEED_MM_S)


def actuate(arm: _brevacon.Brevacon, gripper: Gripper, close: bool, where: Sequence[float],
            say: Callable[[str], None]) -> None:
    """Closes or opens the gripper at `where` and waits for its input; raises GripperError,
    with the gripper opened and the robot moved up, when the input does not follow."""
    arm.set_output(gripper.output, close)
    if arm.wait_input(gripper.gripped_input, close, gripper.timeout_s):
        say(f"  gripper {'closed' if close else 'open'}: input {gripper.gripped_input} "
            f"{'on' if close else 'off'}")
        return
    arm.set_output(gripper.output, False)  # let go of whatever it holds before moving away
    move(arm, xy(where, CLEARANCE_MM))
    state = "on" if close else "off"
    raise GripperError(
        f"the gripper did not {'close' if close else 'open'}: input {gripper.gripped_input} "
        f"was not {state} {gripper.timeout_s:g} s after output {gripper.output} switched "
        f"{state}; the robot stopped {CLEARANCE_MM:g} mm above {xy(where)}")


def pick_and_place(arm: _brevacon.Brevacon, gripper: Gripper,
                   pick: Sequence[float] = PICK, place: Sequence[float] = PLACE,
                   say: Callable[[str], None] = print) -> None:
    """Moves a part from `pick` to `place`; the motors must be on."""
    arm.set_output(gripper.output, False)
    say(f"above the part: go {xy(pick, CLEARANCE_MM)}")
    go(arm, xy(pick, CLEARANCE_MM))
    move(arm, xy(pick))
    actuate(arm, gripper, True, pick, say)
    move(arm, xy(pick, CLEARANCE_MM))
    say(f"over to the place: go {xy(place, CLEARANCE_MM)}")
    go(arm, xy(place, CLEARANCE_MM))
    move(arm, xy(place))
    actuate(arm, gripper, False, place, say)
    move(arm, xy(place, CLEARANCE_MM))
    say("part placed")


def main(argv: Sequence[str] | None = None) -> int:
    ap: argparse.ArgumentParser = common.parser(__doc__.split("\n")[0])
    ap.add_argument("--output", type=int, default=8, help="gripper output bit (on: close)")
    ap.add_argument("--input", type=int, default=9, help="gripped input bit (on: closed)")
    ap.add_argument("--grip-timeout", type=float, default=2.0,
                    help="seconds the input may take to follow the output")
    ap.add_argument("--no-gripper", action="store_true",
                    help="start the virtual controller without a gripper wired")
    ap.add_argument("--allow-motion", action="store_true",
                    help="let it move a real robot (always on for the virtual one)")
    args = ap.parse_args(argv)
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
                pick_and_place(arm, gripper)
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
