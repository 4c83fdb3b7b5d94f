"""Motions of the virtual arm: trapezoidal profiles, the job a long statement runs as, and
motions of one or more segments, each a joint path timed by its own profile and ending at rest.

A `Go` is one joint-interpolated segment, a `Move` one straight line of the TCP, a `Jump3` three
segments (a straight depart, a joint-interpolated span, a straight approach). Timing is
described in robot.py.
"""

from __future__ import annotations

import math
import time
from typing import TYPE_CHECKING, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple

from . import errors
from . import kinematics as kin

if TYPE_CHECKING:
    from .robot import Robot

Path = Callable[[float], List[float]]  # joints at a fraction 0..1 of a segment
# A straight line whose IK jumps more than this between two of its steps passes a singularity.
MAX_STEP_JUMP = 30.0
# How far the line's last joints may lie from the exact joints it was sent to.
EXACT_ENDING = 1e-6


class Profile:
    """Trapezoidal (or triangular) profile over a distance; position as a fraction 0..1."""

    def __init__(self, distance: float, speed: float, accel: float, decel: float) -> None:
        self.distance = distance
        if distance <= 0.0:
            self.duration = 0.0
            self.t_acc = self.t_dec = self.t_flat = 0.0
            self.peak = 0.0
            self.accel = self.decel = 1.0
            return
        self.accel, self.decel = accel, decel
        ramps = speed * speed / (2 * accel) + speed * speed / (2 * decel)
        if distance >= ramps:
            self.peak = speed
            self.t_flat = (distance - ramps) / speed
        else:
            self.peak = math.sqrt(2 * distance * accel * decel / (accel + decel))
            self.t_flat = 0.0
        self.t_acc = self.peak / accel
        self.t_dec = self.peak / decel
        self.duration = self.t_acc + self.t_flat + self.t_dec

    def fraction(self, t: float) -> float:
        if self.distance <= 0.0 or t >= self.duration:
            return 1.0
        if t <= 0.0:
            return 0.0
        if t < self.t_acc:
            done = 0.5 * self.accel * t * t
        elif t < self.t_acc + self.t_flat:
            done = 0.5 * self.peak * self.t_acc + self.peak * (t - self.t_acc)
        else:
            left = self.duration - t
            done = self.distance - 0.5 * self.decel * left * left
        return min(1.0, max(0.0, done / self.distance))

    def speed(self, t: float) -> float:
        """Speed along the distance (distance units per second) at time t."""
        if self.distance <= 0.0 or t <= 0.0 or t >= self.duration:
            return 0.0
        if t < self.t_acc:
            return self.accel * t
        if t < self.t_acc + self.t_flat:
            return self.peak
        return self.decel * (self.duration - t)


class Job:
    """A long-running statement. Its thread calls step() and end() with the robot lock held."""

    def __init__(self) -> None:
        self.error: Optional[int] = None  # why it ended early; None while running or when done
        self.finished = False

    def step(self, now: float) -> Optional[float]:
        """Seconds until the job wants looking at again (at most that long), 0 or less when it
        is over, None when only a notification of `Robot.changed` can end it."""
        raise NotImplementedError

    def end(self, robot: "Robot", now: float) -> None:
        """Leaves the job's outcome behind in the robot or the cell."""

    def abort(self, code: int, now: float, decelerate: bool) -> bool:
        """Ends the job with the error code; False when it had been ended already."""
        if self.error is not None:
            return False
        self.error = code
        return True


class Segment(NamedTuple):
    path: Path
    profile: Profile


class LineTarget(NamedTuple):
    """Where a straight line goes: the TCP pose, the point attributes it must arrive with (keyed
    as kinematics.POSTURE_KEYS) and, for a point given as joints, exactly those joints."""

    pose: List[float]
    flags: Dict[str, int]
    joints: Optional[List[float]] = None


class Motion(Job):
    """A motion in progress: its segments run one after the other, each from rest to rest."""

    def __init__(self, kind: str, segments: Sequence[Segment]) -> None:
        super().__init__()
        self.kind = kind
        self.segments = list(segments)
        self.duration = sum(seg.profile.duration for seg in self.segments)
        self.elapsed = 0.0               # motion-clock seconds before the current run segment
        self.resumed_at: Optional[float] = time.monotonic()  # None while paused
        # After an abort the profiles no longer drive the motion: a braking ramp in the segment
        # it was in does, as (start time, segment, distance covered at its start, speed at its
        # start). Speed 0 stops dead. Segments end at rest, so no ramp runs past its segment.
        self.brake: Optional[Tuple[float, int, float, float]] = None

    def clock(self, now: float) -> float:
        running = now - self.resumed_at if self.resumed_at is not None else 0.0
        return self.elapsed + running

    def _at(self, t: float) -> Tuple[int, float]:
        """The segment under way at motion time t, and the time into it."""
        for i, seg in enumerate(self.segments):
            if t < seg.profile.duration:
                return i, t
            t -= seg.profile.duration
        return len(self.segments) - 1, self.segments[-1].profile.duration

    def _position(self, now: float) -> Tuple[int, float]:
        """The segment and the fraction of it covered at `now`."""
        if self.brake is None:
            i, t = self._at(self.clock(now))
            return i, self.segments[i].profile.fraction(t)
        start, i, covered, speed = self.brake
        prof = self.segments[i].profile
        if prof.distance <= 0.0:
            return i, 1.0
        t = min(max(0.0, now - start), speed / prof.decel)
        return i, min(1.0, (covered + speed * t - 0.5 * prof.decel * t * t) / prof.distance)

    def joints(self, now: float) -> List[float]:
        i, fraction = self._position(now)
        return self.segments[i].path(fraction)

    def time_left(self, now: float) -> Optional[float]:
        """Seconds until the motion is at rest; None while paused (it has no end then)."""
        if self.brake is not None:
            start, i, _, speed = self.brake
            return start + speed / self.segments[i].profile.decel - now
        if self.paused:
            return None
        return self.duration - self.clock(now)

    def stop(self, now: float, decelerate: bool) -> None:
        """Starts the braking ramp, or stops where it stands (also ending a ramp under way)."""
        i, fraction = self._position(now)
        prof = self.segments[i].profile
        speed = 0.0
        if decelerate and self.brake is None and not self.paused:
            speed = prof.speed(self._at(self.clock(now))[1])
        self.brake = (now, i, fraction * prof.distance, speed)

    def step(self, now: float) -> Optional[float]:
        return self.time_left(now)

    def end(self, robot: Robot, now: float) -> None:
        # A motion that ran its course ends exactly on its target, whatever the clock says.
        robot.joints = self.segments[-1].path(1.0) if self.error is None else self.joints(now)

    def abort(self, code: int, now: float, decelerate: bool) -> bool:
        """A stop that does not decelerate also cuts short the ramp of an earlier abort, which
        keeps its code."""
        if self.error is not None:
            if not decelerate:
                self.stop(now, decelerate=False)
            return False
        self.error = code
        self.stop(now, decelerate)
        return True

    @property
    def paused(self) -> bool:
        return self.resumed_at is None and self.brake is None


def joint_segment(start: Sequence[float], target: Sequence[float], speed_pct: float,
                  accel_pct: Sequence[float], max_speed: Sequence[float],
                  max_accel: Sequence[float]) -> Segment:
    """Joint interpolation: every joint follows the trapezoid of the slowest one."""
    slowest = Profile(0.0, 1.0, 1.0, 1.0)
    for i in range(6):
        prof = Profile(abs(target[i] - start[i]), max_speed[i] * speed_pct / 100.0,
                       max_accel[i] * accel_pct[0] / 100.0, max_accel[i] * accel_pct[1] / 100.0)
        if prof.duration > slowest.duration:
            slowest = prof
    begin, end = list(start), list(target)

    def path(s: float) -> List[float]:
        if s >= 1.0:
            return list(end)
        return [a + (b - a) * s for a, b in zip(begin, end)]

    return Segment(path, slowest)


def joint_samples(start: Sequence[float], target: Sequence[float],
                  tool: Optional[Sequence[float]]) -> List[List[float]]:
    """TCP poses along a joint-interpolated path, for the XYLim check."""
    return [kin.forward([a + (b - a) * i / 32 for a, b in zip(start, target)], tool)
            for i in range(33)]


def line_segment(start: Sequence[float], target: LineTarget, tool: Optional[Sequence[float]],
                 linear: Tuple[float, float, float],
                 rotary: Tuple[float, float]) -> Tuple[Segment, List[List[float]]]:
    """A straight line of the TCP with the orientation turning about one axis, trapezoidal in
    path length (linear: speed, acceleration, deceleration in mm) or in rotation angle (rotary:
    speed, acceleration in degrees), whichever takes longer; and the poses along it.

    The joints follow the IK solution nearest the step before. Raises SpelError 40 for a step
    out of reach, 42 for one that jumps (a singularity), 43 when the line arrives in another
    posture than the target's (its flags, or its exact joints)."""
    a = kin.pose_to_matrix(kin.forward(start, tool))
    b = kin.pose_to_matrix(target.pose)
    length = math.dist([a[i][3] for i in range(3)], [b[i][3] for i in range(3)])
    angle = kin.rotation_angle_between(a, b)
    steps = max(2, min(400, int(math.ceil(max(length / 2.0, angle)))))
    joints = [list(start)]
    poses = []
    for i in range(1, steps + 1):
        pose = (list(target.pose) if i == steps
                else kin.matrix_to_pose(kin.interpolate_pose(a, b, i / steps)))
        q = kin.solve(pose, tool, nearest=joints[-1])
        if q is None:
            raise errors.SpelError(errors.UNREACHABLE)
        if max(abs(x - y) for x, y in zip(q, joints[-1])) > MAX_STEP_JUMP:
            raise errors.SpelError(errors.SINGULARITY)
        joints.append(q)
        poses.append(pose)
    if target.joints is not None:
        if max(abs(x - y) for x, y in zip(joints[-1], target.joints)) > EXACT_ENDING:
            raise errors.SpelError(errors.POSTURE_CHANGE)
        joints[-1] = list(target.joints)
    elif not kin.matches(joints[-1], target.flags):
        raise errors.SpelError(errors.POSTURE_CHANGE)
    profile = Profile(length, *linear)
    turning = Profile(angle, rotary[0], rotary[1], rotary[1])
    if turning.duration > profile.duration:
        profile = turning

    def path(s: float) -> List[float]:
        x = s * steps
        i = min(int(x), steps - 1)
        f = x - i
        if f >= 1.0:
            return list(joints[i + 1])
        return [p + (q - p) * f for p, q in zip(joints[i], joints[i + 1])]

    return Segment(path, profile), poses

