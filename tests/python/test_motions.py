"""Motions as an application writes them, end to end against the virtual controller: Pose and
Joints reached exactly, Jump3 in telemetry, motion handles (waited, aborted, awaited, Ctrl-C,
with) and the point table."""

from __future__ import annotations

import asyncio
import os
import signal
import subprocess
import sys
import time

import pytest

import _brevacon
import _tandrel
from _brevacon import Joints, MotionAbortedError, Pose
from epson_sim import VirtualController, kinematics as kin

HOME = Joints(0, 0, 0, 0, 90, 0)
FAR = Joints(60, 20, 10, 0, 60, 0)  # about a second away at 20 %, from HOME
FLIPPED = Joints(10, 15, 20, 30, -50, 40)  # a flipped wrist: not the posture XY() alone picks


def pose_of(joints: Joints) -> Pose:
    return Pose.of(kin.forward(list(joints)))


def wait_for(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.005)
    return predicate()


@pytest.fixture
def vc():
    with VirtualController(port=0, telemetry_port=0, telemetry_rate_hz=500) as controller:
        yield controller


@pytest.fixture
def robot(vc):
    tandrel = _tandrel.Tandrel("127.0.0.1", vc.port, vc.telemetry_port)
    try:
        yield tandrel
    finally:
        tandrel.disconnect()


@pytest.fixture
def arm(robot):
    arm = robot.get_control_interface()
    arm.motor_on()
    arm.set_power_mode(_brevacon.EpsonPowerMode.HIGH)
    # Brisk settings; they stay in the controller for what the tests leave unset.
    arm.go(HOME, speed_percent=100, acceleration_percent=100)
    arm.move("Here", speed_mm_s=1000.0, acceleration_mm_s2=10000.0)
    return arm


def at(vc, joints) -> bool:
    return vc.state()["joints"] == pytest.approx(list(joints), abs=1e-6)


# --- targets --------------------------------------------------------------------------------

def test_poses_and_joints_are_reached_exactly_and_a_pose_keeps_the_posture(vc, arm):
    arm.go(FLIPPED)
    near = [Joints(15, 10, 25, 20, -45, 50), Joints(5, 20, 15, 35, -55, 30)]  # flipped too
    for n, (motion, kind) in enumerate([("go", "Pose"), ("move", "Pose"), ("go", "Joints"),
                                        ("move", "Joints")]):
        goal = near[n % 2]
        getattr(arm, motion)(pose_of(goal) if kind == "Pose" else goal)
        assert vc.state()["pose"] == pytest.approx(list(pose_of(goal)), abs=1e-6), (motion, kind)
        assert list(arm.here()) == pytest.approx(list(pose_of(goal)), abs=1e-6), (motion, kind)
        # A Pose keeps the flipped wrist the arm has, so it ends on exactly these joints.
        assert list(arm.here_joints()) == pytest.approx(list(goal), abs=1e-6), (motion, kind)


def test_jump3_rises_to_the_depart_height_spans_and_comes_down_on_the_destination(vc, arm, robot):
    start, dest = arm.here(), pose_of(Joints(30, 20, 10, 0, 60, 0))  # P1
    depart = Pose(start.x, start.y, start.z + 50, start.u, start.v, start.w)
    reader = robot.get_receive_interface().sample_reader()
    reader.take(timeout=0)
    arm.jump3(depart, "P1 +Z(80)", "P1", speed_percent=100, acceleration_percent=100)
    samples = []
    for _ in range(20):  # telemetry trails the controller by a few samples
        samples += reader.take(timeout=0.1)
        if samples and samples[-1].pose == pytest.approx(list(dest), abs=1e-3):
            break
    poses = [s.pose for s in samples]
    assert poses[-1] == pytest.approx(list(dest), abs=1e-3)

    def first(height, above):
        return next(i for i, p in enumerate(poses)
                    if p[:2] == pytest.approx(above[:2], abs=1e-3) and p[2] >= height - 0.5)

    risen = first(start.z + 50, list(start))
    over_dest = first(dest.z + 80, list(dest))
    assert 0 < risen < over_dest < len(poses) - 1
    assert max(p[2] for p in poses[:risen + 1]) == pytest.approx(start.z + 50, abs=0.5)
    assert max(p[2] for p in poses[over_dest:]) == pytest.approx(dest.z + 80, abs=0.5)


# --- motion handles -------------------------------------------------------------------------

def test_a_started_motion_runs_beside_status_and_telemetry_and_is_waited_for(vc, arm, robot):
    telemetry = robot.get_receive_interface()
    before = telemetry.wait_for_next_sample().joints
    motion = arm.start_go(FAR, speed_percent=40)
    assert repr(motion) == '<Motion $Execute,"Go AglToPls(60,20,10,0,60,0)" running>'
    assert not motion.done() and not motion.wait(0.01)
    assert arm.get_remote_status().running
    assert wait_for(lambda: telemetry.get_sample().joints != before)
    starts = [lambda: arm.start_go(HOME), lambda: arm.start_move(pose_of(HOME)),
              lambda: arm.start_jump("P2"), lambda: arm.start_jump3("P1", "P2", "P3")]
    for start in starts:
        with pytest.raises(RuntimeError, match=r'^A motion is running on this session: '
                                               r'\$Execute,"Go AglToPls\(60,20,10,0,60,0\)"'):
            start()
    assert motion.wait(10.0) and motion.done()
    assert motion.result() is None
    assert at(vc, FAR)
    assert motion.abort() is False  # nothing left to abort
    assert repr(motion).endswith(" done>")


def test_an_aborted_motion_stops_short_and_raises_from_result(vc, arm):
    motion = arm.start_go(FAR, speed_percent=20)
    time.sleep(0.2)
    assert motion.abort() is True
    with pytest.raises(MotionAbortedError) as aborted:
        motion.result()
    assert aborted.value.code == 36
    assert not vc.state()["busy"] and not at(vc, FAR) and not at(vc, HOME)
    assert motion.abort() is False
    arm.go(HOME)  # the session is free for the next motion


def test_await_leaves_the_event_loop_running_and_raises_what_the_motion_raised(vc, arm):
    async def main():
        ticks = 0

        async def tick():
            nonlocal ticks
            while True:
                await asyncio.sleep(0.01)
                ticks += 1

        ticker = asyncio.create_task(tick())
        assert await arm.start_go(FAR, speed_percent=50) is None
        ticked = ticks
        aborted = arm.start_go(HOME, speed_percent=20)
        asyncio.get_running_loop().call_later(0.1, aborted.abort)
        with pytest.raises(MotionAbortedError):
            await aborted
        cancelled = arm.start_go(HOME, speed_percent=20)  # from near FAR: a long way
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(cancelled, 0.1)  # the await is cancelled: the motion aborted
        ticker.cancel()
        return ticked, cancelled

    ticked, cancelled = asyncio.run(main())
    assert ticked > 10
    assert cancelled.wait(5.0)
    with pytest.raises(MotionAbortedError):
        cancelled.result()
    assert not at(vc, HOME)


# Runs in a child process, so that SIGINT reaches a main thread that waits on the handle.
CHILD = r"""
import sys, _brevacon
arm = _brevacon.Brevacon()
arm.connect("127.0.0.1", int(sys.argv[1]))
arm.motor_on()
motion = arm.start_go(_brevacon.Joints(60, 20, 10, 0, 60, 0), speed_percent=5)
try:
    motion.wait()
except KeyboardInterrupt as interrupt:
    print("interrupted; done:", motion.done(), flush=True)
    try:
        motion.result()
    except _brevacon.MotionAbortedError as aborted:
        print("result:", type(aborted).__name__, aborted.code, flush=True)
    sys.exit(3)
"""


def test_ctrl_c_while_waiting_on_a_handle_aborts_the_motion(vc):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(vc.port)], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert wait_for(lambda: vc.state()["busy"], 10.0)
        time.sleep(0.2)  # the child waits in the handle, not in Python code
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=15)
    finally:
        child.kill()
    assert child.returncode == 3, err
    assert "interrupted; done: True" in out and "result: MotionAbortedError 36" in out
    assert not vc.state()["busy"] and not at(vc, FAR)


@pytest.mark.parametrize("leave", ["at the end", "by an exception", "by dropping the handle"])
def test_a_with_block_waits_for_its_motion_unless_left_by_an_exception(vc, arm, leave):
    motion = None
    if leave == "at the end":
        with arm.start_go(FAR, speed_percent=50) as motion:
            assert not motion.done()
        assert motion.done() and at(vc, FAR)
        return
    if leave == "by an exception":
        with pytest.raises(ZeroDivisionError):
            with arm.start_go(FAR, speed_percent=50) as motion:
                _ = 1 / 0
        assert motion.done()
        with pytest.raises(MotionAbortedError):
            motion.result()
    else:
        arm.start_go(FAR, speed_percent=50)  # nobody keeps the handle
    assert not vc.state()["busy"] and not at(vc, FAR)
    arm.start_go(HOME).wait(10.0)  # the session is free again


# --- the point table ------------------------------------------------------------------------

def test_points_are_set_read_taught_saved_and_loaded(vc, arm):
    stored = pose_of(Joints(10, 20, 30, 40, 50, 60))
    arm.set_point(900, stored)
    assert arm.get_point(900) == stored  # every digit survives the round trip
    taught_at = Joints(15, 10, 10, 20, 50, -30)
    arm.go(taught_at)
    arm.teach_point(901)
    assert list(arm.get_point(901)) == pytest.approx(list(arm.here()), abs=1e-9)
    arm.save_points("cell.pts")
    assert os.path.exists(os.path.join(vc.points_dir, "cell.pts"))
    arm.set_point(900, arm.here())
    arm.go(HOME)
    arm.teach_point(901)
    arm.load_points("cell.pts")
    assert arm.get_point(900) == stored
    arm.go("P901")  # a taught point is a target by its name, and keeps its posture
    assert at(vc, taught_at)
