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
- `Jump3`: a straight depart as `Move`, a joint-interpolated span as `Go`, a straight approach
  as `Move`; each segment starts and ends at rest (no arch rounds the corners).
- Power Low caps `Speed` and `Accel` at LOW_POWER_PERCENT and `SpeedS`/`AccelS` at
  LOW_POWER_SPEEDS mm/s and LOW_POWER_ACCELS mm/s^2.
- `$Pause` freezes the motion clock at once (no deceleration ramp is modelled); `$Continue`
  resumes it.
- `$Abort` brakes along the path at the deceleration of the segment under way, so the robot
  comes to rest short of the target (or on it, when the motion was braking already); the
  motion ends, and its reply goes out, once it is at rest. Emergency Stop, safeguard, teach mode, a controller
  error and `stop()` stop it dead, a ramp in progress included.
"""

from __future__ import annotations

import threading
import time
from typing import Dict, List, Optional, Sequence, Tuple

from . import errors
from . import kinematics as kin
from .motion import (Job, LineTarget, Motion, Profile, Segment, joint_samples, joint_segment,
                     line_segment)
from .point_table import PointTable

__all__ = ["Job", "Motion", "Profile", "Robot"]

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


class Robot:
    def __init__(self, points_dir: Optional[str] = None) -> None:
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
        self.points = PointTable(POINT_JOINTS, points_dir)
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

    def _ptp_limits(self) -> Tuple[float, List[float]]:
        """Speed and Accel percentages, capped by Power Low."""
        if self.power_high:
            return self.speed, list(self.accel)
        return min(self.speed, LOW_POWER_PERCENT), [min(a, LOW_POWER_PERCENT) for a in self.accel]

    def _ptp(self, start: List[float], target: List[float]) -> Segment:
        speed_pct, accel_pct = self._ptp_limits()
        return joint_segment(start, target, speed_pct, accel_pct, MAX_JOINT_SPEED,
                             MAX_JOINT_ACCEL)

    def _line(self, start: List[float], target: LineTarget) -> Tuple[Segment, List[List[float]]]:
        """A straight line at SpeedS and AccelS, capped by Power Low, and its poses."""
        high = self.power_high
        speeds = self.speeds if high else min(self.speeds, LOW_POWER_SPEEDS)
        accels = [x if high else min(x, LOW_POWER_ACCELS) for x in self.accels]
        rot_scale = 1.0 if high else LOW_POWER_PERCENT / 100.0
        return line_segment(start, target, self.tool_pose(), (speeds, accels[0], accels[1]),
                            (MAX_ROT_SPEED * rot_scale, MAX_ROT_ACCEL * rot_scale))

    def plan_go(self, target: List[float]) -> Motion:
        start = self.current_joints()
        self._check_limit(joint_samples(start, target, self.tool_pose()))
        return Motion("Go", [self._ptp(start, target)])

    def plan_move(self, target: LineTarget) -> Motion:
        segment, poses = self._line(self.current_joints(), target)
        self._check_limit(poses)
        return Motion("Move", [segment])

    def plan_jump3(self, depart: LineTarget, approach: List[float],
                   destination: LineTarget) -> Motion:
        """A straight line to the depart point, joint interpolation to the approach point's
        joints, a straight line to the destination, each segment from rest to rest."""
        rise, rise_poses = self._line(self.current_joints(), depart)
        lifted = rise.path(1.0)
        span = self._ptp(lifted, approach)
        fall, fall_poses = self._line(approach, destination)
        self._check_limit(rise_poses + joint_samples(lifted, approach, self.tool_pose())
                          + fall_poses)
        return Motion("Jump3", [rise, span, fall])

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
