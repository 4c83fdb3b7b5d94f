"""State of the virtual robot and its motions in real time.

Concurrency: one lock (`Robot.lock`, with the condition `Robot.changed`) guards every field of the
robot, of the job in progress and of the cell I/O (cell_io.py). Connection threads take it to run
a statement, job threads wait on the condition for the end of the job, a pause, an abort or an
input change, and telemetry threads take it only to copy a snapshot. Nothing else is locked
while it is held.

A job is a statement whose `$Execute` answers when it ends rather than at once: a motion, or a
`Wait` on an input. One runs at a time, and the remote commands and the safety inputs treat
every kind alike (abort, stop); only a motion moves, pauses and shows in the status words.

Motion timing:
- `Go`: joint interpolation; every joint follows the trapezoidal profile of the slowest one.
  At `Speed 100`/`Accel 100,100` and Power High the joints reach MAX_JOINT_SPEED deg/s and
  MAX_JOINT_ACCEL deg/s^2; the percentages scale them linearly.
- `Move`: straight line of the TCP with the orientation turning about one axis, trapezoidal in
  path length (`SpeedS` mm/s, `AccelS` mm/s^2) or in rotation angle (MAX_ROT_SPEED deg/s,
  MAX_ROT_ACCEL deg/s^2), whichever takes longer. Joint speed limits do not apply to `Move`.
- Power Low caps `Speed` and `Accel` at LOW_POWER_PERCENT and `SpeedS`/`AccelS` at
  LOW_POWER_SPEEDS mm/s and LOW_POWER_ACCELS mm/s^2.
- `$Pause` freezes the motion clock at once (no deceleration ramp is modelled); `$Continue`
  resumes it.
- `$Abort` brakes along the path at the motion's own deceleration, so the robot comes to rest
  short of the target (or on it, when the motion was braking already); the motion ends, and
  its reply goes out, once it is at rest. Emergency Stop, safeguard, teach mode, a controller
  error and `stop()` stop it dead, a ramp in progress included.
"""

from __future__ import annotations

import math
import threading
import time
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from . import errors
from . import kinematics as kin

MAX_JOINT_SPEED = (300.0, 300.0, 360.0, 400.0, 400.0, 600.0)
MAX_JOINT_ACCEL = (1200.0, 1200.0, 1400.0, 1800.0, 1800.0, 2400.0)
MAX_ROT_SPEED = 360.0
MAX_ROT_ACCEL = 3600.0
ACCEL_MAX = (120, 120)  # what "AccelMax(1)" and "AccelMax(2)" report
MAX_SPEEDS = 2000.0
MAX_ACCELS = 25000.0
LOW_POWER_PERCENT = 10
LOW_POWER_SPEEDS = 250.0
LOW_POWER_ACCELS = 1000.0
CONTROL_DEVICE = 21

# Predefined points: joint vectors; their pose is the flange pose of those joints, and the joints
# are the posture a `Go` to the point prefers.
POINT_JOINTS: Dict[int, List[float]] = {
    0: [0.0, 0.0, 0.0, 0.0, 90.0, 0.0],     # (350, 0, 505, 0, 0, 180): home, flange down
    1: [30.0, 20.0, 10.0, 0.0, 60.0, 0.0],  # (348.15, 201.01, 364.92, 30, 0, 180)
    2: [-30.0, 20.0, 10.0, 0.0, 60.0, 0.0],  # (348.15, -201.01, 364.92, -30, 0, 180)
    3: [0.0, 40.0, 10.0, 0.0, 40.0, 0.0],   # further out and lower, flange down
}
# A 120 mm straight gripper is defined in Tool slot 1 at start-up; Tool 0 is selected.
DEFAULT_TOOLS = {1: [0.0, 0.0, 120.0, 0.0, 0.0, 0.0]}

# Status words (documented in the package docstring).
STAT_RUNNING, STAT_PAUSED, STAT_ERROR, STAT_TEACH = 1 << 16, 1 << 17, 1 << 18, 1 << 19
STAT_ESTOP, STAT_LOW_POWER, STAT_SAFEGUARD, STAT_MOTORS = 1 << 20, 1 << 21, 1 << 22, 1 << 23
ROBOT_ERROR, ROBOT_MOTORS, ROBOT_HIGH_POWER = 1 << 0, 1 << 2, 1 << 3
ROBOT_MOVING, ROBOT_PAUSED = 1 << 4, 1 << 5
CTRL_READY, CTRL_ESTOP, CTRL_SAFEGUARD, CTRL_ERROR = 1 << 0, 1 << 8, 1 << 9, 1 << 10


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


class Motion(Job):
    """One Go or Move in progress: a joint path over a fraction and a profile in time."""

    def __init__(self, kind: str, path: Callable[[float], List[float]], profile: Profile) -> None:
        super().__init__()
        self.kind = kind
        self.path = path
        self.profile = profile
        self.elapsed = 0.0               # motion-clock seconds before the current run segment
        self.resumed_at: Optional[float] = time.monotonic()  # None while paused
        # After an abort the profile no longer drives the motion: the braking ramp does, as
        # (start time, distance covered at its start, speed at its start). Speed 0 stops dead.
        self.brake: Optional[Tuple[float, float, float]] = None

    def clock(self, now: float) -> float:
        running = now - self.resumed_at if self.resumed_at is not None else 0.0
        return self.elapsed + running

    def fraction(self, now: float) -> float:
        prof = self.profile
        if self.brake is None:
            return prof.fraction(self.clock(now))
        if prof.distance <= 0.0:
            return 1.0
        start, covered, speed = self.brake
        t = min(max(0.0, now - start), speed / prof.decel)
        return min(1.0, (covered + speed * t - 0.5 * prof.decel * t * t) / prof.distance)

    def joints(self, now: float) -> List[float]:
        return self.path(self.fraction(now))

    def time_left(self, now: float) -> Optional[float]:
        """Seconds until the motion is at rest; None while paused (it has no end then)."""
        if self.brake is not None:
            return self.brake[0] + self.brake[2] / self.profile.decel - now
        if self.paused:
            return None
        return self.profile.duration - self.clock(now)

    def stop(self, now: float, decelerate: bool) -> None:
        """Starts the braking ramp, or stops where it stands (also ending a ramp under way)."""
        covered = self.fraction(now) * self.profile.distance
        speed = 0.0
        if decelerate and self.brake is None and not self.paused:
            speed = self.profile.speed(self.clock(now))
        self.brake = (now, covered, speed)

    def step(self, now: float) -> Optional[float]:
        return self.time_left(now)

    def end(self, robot: "Robot", now: float) -> None:
        # A motion that ran its course ends exactly on its target, whatever the clock says.
        robot.joints = self.path(1.0) if self.error is None else self.joints(now)

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


class Robot:
    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.changed = threading.Condition(self.lock)
        self.joints: List[float] = list(POINT_JOINTS[0])
        self.motors_on = False
        self.power_high = False
        self.speed = 5
        self.accel = [10, 10]
        self.speeds = 50.0
        self.accels = [200.0, 200.0]
        self.tools: Dict[int, List[float]] = {n: list(p) for n, p in DEFAULT_TOOLS.items()}
        self.tool = 0
        self.xylim_mode = 0
        self.xylim = [0.0] * 6
        self.estop = False
        self.safeguard_open = False
        self.teach = False
        self.system_error = 0
        self.points: Dict[int, List[float]] = {n: kin.forward(q) for n, q in POINT_JOINTS.items()}
        self.point_postures: Dict[int, List[float]] = {n: list(q)
                                                       for n, q in POINT_JOINTS.items()}
        self.job: Optional[Job] = None  # the statement whose `$Execute` is still running

    @property
    def motion(self) -> Optional[Motion]:
        """The running job when it is a motion."""
        job = self.job
        return job if isinstance(job, Motion) and not job.finished else None

    # --- queries (call with the lock held) -------------------------------------------------

    def tool_pose(self) -> Optional[List[float]]:
        return self.tools.get(self.tool) if self.tool else None

    def current_joints(self, now: Optional[float] = None) -> List[float]:
        if self.motion is not None and not self.motion.finished:
            return self.motion.joints(time.monotonic() if now is None else now)
        return list(self.joints)

    def here(self) -> List[float]:
        return kin.forward(self.current_joints(), self.tool_pose())

    def stat_word(self) -> int:
        running = self.motion is not None and not self.motion.finished
        word = 0
        word |= STAT_RUNNING if running else 0
        word |= STAT_PAUSED if running and self.motion.paused else 0
        word |= STAT_ERROR if self.system_error else 0
        word |= STAT_TEACH if self.teach else 0
        word |= STAT_ESTOP if self.estop else 0
        word |= 0 if self.power_high else STAT_LOW_POWER
        word |= STAT_SAFEGUARD if self.safeguard_open else 0
        word |= STAT_MOTORS if self.motors_on else 0
        return word

    def robot_info(self) -> int:
        running = self.motion is not None and not self.motion.finished
        return ((ROBOT_ERROR if self.system_error else 0) | (ROBOT_MOTORS if self.motors_on else 0)
                | (ROBOT_HIGH_POWER if self.power_high else 0)
                | (ROBOT_MOVING if running and not self.motion.paused else 0)
                | (ROBOT_PAUSED if running and self.motion.paused else 0))

    def ctrl_info(self) -> int:
        ready = not self.estop and not self.system_error
        return ((CTRL_READY if ready else 0) | (CTRL_ESTOP if self.estop else 0)
                | (CTRL_SAFEGUARD if self.safeguard_open else 0)
                | (CTRL_ERROR if self.system_error else 0))

    def status(self) -> Dict[str, int]:
        return {"STAT": self.stat_word(), "SYSERR": self.system_error,
                "CTRLDEV": CONTROL_DEVICE, "ROBOTINFO": self.robot_info(),
                "CTRLINFO": self.ctrl_info()}

    def busy(self) -> bool:
        return self.job is not None and not self.job.finished

    # --- motion planning (lock held) --------------------------------------------------------

    def check_can_move(self) -> None:
        if self.estop:
            raise errors.SpelError(errors.ESTOP)
        if self.safeguard_open:
            raise errors.SpelError(errors.SAFEGUARD)
        if self.teach:
            raise errors.SpelError(errors.TEACH_MODE)
        if self.system_error:
            raise errors.SpelError(errors.ERROR_PENDING)
        if not self.motors_on:
            raise errors.SpelError(errors.MOTORS_OFF)

    def _limit_active(self) -> bool:
        return any(v != 0.0 for v in self.xylim)

    def _inside_limit(self, pose: Sequence[float]) -> bool:
        lim = self.xylim
        return all(lim[2 * i] - 1e-9 <= pose[i] <= lim[2 * i + 1] + 1e-9 for i in range(3))

    def _check_limit(self, poses: Sequence[Sequence[float]]) -> None:
        if not self._limit_active():
            return
        # Without strict checking only the destination counts; strict checks the whole path.
        for pose in (poses if self.xylim_mode == 1 else poses[-1:]):
            if not self._inside_limit(pose):
                raise errors.SpelError(errors.OUTSIDE_XYLIM)

    def plan_go(self, target: List[float]) -> Motion:
        start = self.current_joints()
        tool = self.tool_pose()
        samples = [kin.forward([a + (b - a) * i / 32 for a, b in zip(start, target)], tool)
                   for i in range(33)]
        self._check_limit(samples)
        speed_pct = self.speed if self.power_high else min(self.speed, LOW_POWER_PERCENT)
        acc_pct = [a if self.power_high else min(a, LOW_POWER_PERCENT) for a in self.accel]
        slowest = Profile(0.0, 1.0, 1.0, 1.0)
        for i in range(6):
            d = abs(target[i] - start[i])
            prof = Profile(d, MAX_JOINT_SPEED[i] * speed_pct / 100.0,
                           MAX_JOINT_ACCEL[i] * acc_pct[0] / 100.0,
                           MAX_JOINT_ACCEL[i] * acc_pct[1] / 100.0)
            if prof.duration > slowest.duration:
                slowest = prof

        def path(s: float) -> List[float]:
            return [a + (b - a) * s for a, b in zip(start, target)]

        return Motion("Go", path, slowest)

    def plan_move(self, target_pose: List[float]) -> Motion:
        start_joints = self.current_joints()
        tool = self.tool_pose()
        a = kin.pose_to_matrix(kin.forward(start_joints, tool))
        b = kin.pose_to_matrix(target_pose)
        length = math.dist([a[i][3] for i in range(3)], [b[i][3] for i in range(3)])
        angle = kin.rotation_angle_between(a, b)
        steps = max(2, min(400, int(math.ceil(max(length / 2.0, angle)))))
        joints = [start_joints]
        poses = []
        for i in range(1, steps + 1):
            pose = kin.matrix_to_pose(kin.interpolate_pose(a, b, i / steps))
            q = kin.solve(pose, tool, nearest=joints[-1])
            if q is None:
                raise errors.SpelError(errors.UNREACHABLE)
            if max(abs(x - y) for x, y in zip(q, joints[-1])) > 30.0:
                raise errors.SpelError(errors.SINGULARITY)
            joints.append(q)
            poses.append(pose)
        self._check_limit(poses or [target_pose])
        high = self.power_high
        speeds = self.speeds if high else min(self.speeds, LOW_POWER_SPEEDS)
        accels = [x if high else min(x, LOW_POWER_ACCELS) for x in self.accels]
        rot_scale = 1.0 if high else LOW_POWER_PERCENT / 100.0
        linear = Profile(length, speeds, accels[0], accels[1])
        rotary = Profile(angle, MAX_ROT_SPEED * rot_scale, MAX_ROT_ACCEL * rot_scale,
                         MAX_ROT_ACCEL * rot_scale)
        profile = linear if linear.duration >= rotary.duration else rotary

        def path(s: float) -> List[float]:
            x = s * steps
            i = min(int(x), steps - 1)
            f = x - i
            return [p + (q - p) * f for p, q in zip(joints[i], joints[i + 1])]

        return Motion("Move", path, profile)

    # --- motion execution -------------------------------------------------------------------

    def begin(self, job: Job) -> None:
        """Makes the job current (lock held)."""
        self.job = job
        self.changed.notify_all()

    def run(self, job: Job) -> Optional[int]:
        """Waits (lock not held) until the job ends; returns its error code or None."""
        with self.changed:
            while True:
                now = time.monotonic()
                left = job.step(now)
                if left is not None and left <= 0.0:
                    break
                self.changed.wait(0.5 if left is None else min(left, 0.5))
            job.end(self, now)
            job.finished = True
            if self.job is job:
                self.job = None
            self.changed.notify_all()
            return job.error

    def pause(self) -> bool:
        """Lock held. True when a running motion was paused (not one braking after an abort)."""
        m = self.motion
        if m is None or m.finished or m.paused or m.error is not None:
            return False
        now = time.monotonic()
        m.elapsed = m.clock(now)
        m.resumed_at = None
        self.changed.notify_all()
        return True

    def resume(self) -> bool:
        m = self.motion
        if m is None or m.finished or not m.paused or m.error is not None:
            return False
        m.resumed_at = time.monotonic()
        self.changed.notify_all()
        return True

    def abort(self, code: int, decelerate: bool = False) -> bool:
        """Lock held. Ends the running job with the error code; True unless there was none or
        it had been ended already. A motion brakes when told to decelerate."""
        job = self.job
        if job is None or job.finished:
            return False
        ended = job.abort(code, time.monotonic(), decelerate)
        self.changed.notify_all()
        return ended

    # --- operator inputs (lock held) ---------------------------------------------------------

    def set_estop(self, on: bool) -> None:
        self.estop = on
        if on:
            self.abort(errors.ESTOP)
            self.motors_on = False
        self.changed.notify_all()

    def set_safeguard(self, open_: bool) -> None:
        self.safeguard_open = open_
        if open_:
            if self.motion is not None:  # it stops the arm; a Wait on the cell's I/O goes on
                self.abort(errors.SAFEGUARD)
            self.motors_on = False
        self.changed.notify_all()

    def set_teach(self, on: bool) -> None:
        self.teach = on
        if on:
            self.abort(errors.TEACH_MODE)
        self.changed.notify_all()

    def inject_error(self, code: int) -> None:
        self.system_error = code
        self.abort(errors.ERROR_PENDING)
        self.motors_on = False
        self.changed.notify_all()
