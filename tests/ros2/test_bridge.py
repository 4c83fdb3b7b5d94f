"""The embedded bridge on an application's Tandrel, against the virtual controller at 250 Hz."""

from __future__ import annotations

import math
import threading
import time
from typing import Any

import pytest
from ros2_support import DISCOVERY_S, Listener, values, wait_until

import _brevacon
import epson_ros2
import rclpy
from epson_ros2.conversions import ERROR, OK
from epson_sim import kinematics as kin
from rclpy.context import Context
from rclpy.executors import MultiThreadedExecutor
from rclpy.parameter import Parameter

SERVICE = "/epson_ros2_bridge/"
RUNNING, PAUSED = 1 << 16, 1 << 17  # bits of the status word `stat`


def stamp_ns(message: Any) -> int:
    return message.header.stamp.sec * 1_000_000_000 + message.header.stamp.nanosec


def level(array: Any) -> int:
    return array.status[0].level[0]


def go_slowly(control: Any, outcome: dict[str, BaseException]) -> threading.Thread:
    """The application's motion, in a thread of its own, as a Python program would run it."""
    def run() -> None:
        try:
            control.go("P1", speed_percent=5)
        except BaseException as exc:  # noqa: BLE001 - the test looks at it
            outcome["raised"] = exc
    thread = threading.Thread(target=run)
    thread.start()
    return thread


def test_every_sample_goes_out_in_ros_units(robot: Any, listener: Any) -> None:
    control, receiver = robot.get_control_interface(), robot.get_receive_interface()
    with epson_ros2.attach(robot, frame_id="cell_base") as bridge:
        wait_until(lambda: listener.count("joints") and listener.count("poses"), DISCOVERY_S,
                   "the first joint_states and tcp_pose")
        control.motor_on()
        outcome: dict[str, BaseException] = {}
        motion = go_slowly(control, outcome)
        start, received_before = receiver.counters()["samples_published"], listener.count("joints")
        time.sleep(2.0)
        expected = receiver.counters()["samples_published"] - start
        try:
            wait_until(lambda: listener.count("joints") - received_before >= expected, 1.0,
                       "the window's messages")
        except AssertionError:
            pass  # judged below
        received = listener.count("joints") - received_before
        assert expected >= 0.9 * 2.0 * 250, expected
        assert received >= 0.99 * expected, (received, expected, bridge.samples_missed)
        motion.join(30.0)
        assert not outcome, outcome

        # At rest every sample is the same, so the latest message shows this one.
        sample = receiver.wait_for_next_sample(1.0)
        wait_until(lambda: listener.taken("joints")[-1].position.tolist()
                   == [math.radians(q) for q in sample.joints], 1.0, "radians(joints)")

    joints, poses = listener.taken("joints"), listener.taken("poses")
    stamps = [stamp_ns(m) for m in joints]
    assert all(a < b for a, b in zip(stamps, stamps[1:])), "stamps must increase"
    now = rclpy.clock.Clock().now().nanoseconds
    assert 0 <= now - stamps[-1] < 2_000_000_000  # the ROS clock, not the monotonic one
    assert list(joints[0].name) == [f"joint_{i}" for i in range(1, 7)]
    assert {p.header.frame_id for p in poses} == {"cell_base"}

    # tcp_pose is the simulator's forward kinematics of the very joints sent with the same stamp.
    by_stamp = {stamp_ns(m): m for m in joints}
    moving = {tuple(m.position) for m in joints}
    assert len(moving) > 100, "the robot should have moved during the window"
    for pose in poses[::5]:
        expected_t = kin.flange_transform([math.degrees(q) for q in
                                           by_stamp[stamp_ns(pose)].position])
        p, o = pose.pose.position, pose.pose.orientation
        assert [p.x, p.y, p.z] == pytest.approx([expected_t[i][3] / 1000 for i in range(3)],
                                                abs=1e-9)
        assert math.isclose(o.x ** 2 + o.y ** 2 + o.z ** 2 + o.w ** 2, 1.0, abs_tol=1e-12)
        rotation = rotation_of(o.x, o.y, o.z, o.w)
        for i in range(3):
            assert rotation[i] == pytest.approx(expected_t[i][:3], abs=1e-9)


# In batches (the default), and with a wake-up per sample.
@pytest.mark.parametrize("batch_period", [None, 0.0], ids=["batches", "each"])
def test_at_1_khz_every_sample_goes_out_once_in_order(listener: Any,
                                                      batch_period: float | None) -> None:
    import _tandrel
    from epson_ros2.conversions import stamp_from_host_time
    from ros2_support import SimProcess

    sim = SimProcess(1000.0)
    try:
        with _tandrel.Tandrel(sim.host, sim.port, sim.telemetry_port) as robot, \
                epson_ros2.attach(robot, batch_period=batch_period) as bridge:
            wait_until(lambda: listener.count("joints"), DISCOVERY_S, "the first joint_states")
            window = robot.get_receive_interface().sample_reader()
            time.sleep(3.0)
            published = window.take(timeout=0.0)
            assert len(published) >= 0.8 * 3.0 * 1000 and window.missed == 0
            stamps = [stamp_from_host_time(s.host_time, bridge._offset_ns) for s in published]
            expected = [sec * 1_000_000_000 + nanosec for sec, nanosec in stamps]
            wait_until(lambda: stamp_ns(listener.taken("joints")[-1]) >= expected[-1], 5.0,
                       "the window's last sample")
            assert bridge.samples_missed == 0
    finally:
        sim.stop()
    received = [stamp_ns(m) for m in listener.taken("joints")]
    in_window = [stamp for stamp in received if expected[0] <= stamp <= expected[-1]]
    assert len(in_window) == len(set(in_window)), "a sample went out twice"
    assert sorted(set(expected) - set(in_window)) == [], "samples went missing"
    assert in_window == expected  # and in order


def rotation_of(x: float, y: float, z: float, w: float) -> list[list[float]]:
    return [[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
            [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
            [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]]


def test_diagnostics_follow_the_emergency_stop(sim: Any, robot: Any, listener: Any) -> None:
    with epson_ros2.attach(robot):
        ok = wait_until(lambda: (d := listener.latest_diagnostics()) and level(d) == OK and d,
                        DISCOVERY_S, "OK diagnostics")
        assert values(ok)["emergency_stop"] == "False"
        assert values(ok)["status_word"] == "auto, ready" and values(ok)["status_code"] == "0000"
        assert int(values(ok)["samples_published"]) > 0

        # A change is reported at once, not with the next report of the second.
        seen = listener.count("diagnostics")
        assert sim.operator("estop on") == "ok"
        error = wait_until(lambda: next((d for d in listener.taken("diagnostics")[seen:]
                                         if level(d) == ERROR), None), 0.6, "ERROR")
        assert "Emergency Stop" in error.status[0].message
        assert values(error)["emergency_stop"] == "True"
        assert "emergency_stop" in values(error)["status_word"].split(", ")  # the status word

        seen = listener.count("diagnostics")
        assert sim.operator("estop off") == "ok"
        wait_until(lambda: any(level(d) == OK for d in listener.taken("diagnostics")[seen:]),
                   0.6, "OK again")


# A controller with the compatibility option pauses the go itself ($Pause); one that follows the
# guide refuses $Pause during the $Execute, and the driver stops it with $Abort instead.
@pytest.mark.parametrize("sim", [{"execute_accepts_pause": True}, {}], indirect=True,
                         ids=["accepts-pause", "pause-by-abort"])
def test_services_act_on_the_applications_motion(sim: Any, robot: Any, listener: Any) -> None:
    control, receiver = robot.get_control_interface(), robot.get_receive_interface()
    accepts_pause = sim.execute_accepts_pause

    def stat() -> int:
        return int(receiver.get_controller_status()["stat"])

    def held() -> bool:
        return bool(stat() & PAUSED) if accepts_pause else not stat() & RUNNING

    with epson_ros2.attach(robot):
        assert listener.call(SERVICE + "motor_on").success
        outcome: dict[str, BaseException] = {}
        motion = go_slowly(control, outcome)
        try:
            wait_until(lambda: stat() & RUNNING, 5.0, "the motion")
            paused = listener.call(SERVICE + "pause")
            assert paused.success, paused.message
            wait_until(held, 1.0, "the pause")
            assert listener.call(SERVICE + "continue_motion").success
            wait_until(lambda: stat() & RUNNING and not stat() & PAUSED, 1.0,
                       "the motion going on")
            aborted = listener.call(SERVICE + "abort_motion")
            assert (aborted.success, aborted.message) == (True, "motion aborted")
        finally:
            motion.join(10.0)
        assert isinstance(outcome.get("raised"), _brevacon.MotionAbortedError), outcome
        again = listener.call(SERVICE + "abort_motion")
        assert (again.success, again.message) == (True, "no motion was running")


def test_abort_never_waits_behind_calls_that_need_the_session(
        sim: Any, robot: Any, listener: Any) -> None:
    from std_srvs.srv import Trigger

    control, receiver = robot.get_control_interface(), robot.get_receive_interface()
    with epson_ros2.attach(robot):
        assert listener.call(SERVICE + "motor_on").success
        names = ["motor_on", "motor_off", "reset"] * 3
        clients = [listener.node.create_client(Trigger, SERVICE + name) for name in names[:8]]
        stopper = listener.node.create_client(Trigger, SERVICE + "abort_motion")
        for client in [*clients, stopper]:
            assert client.wait_for_service(DISCOVERY_S)
        outcome: dict[str, BaseException] = {}
        motion = go_slowly(control, outcome)
        try:
            wait_until(lambda: int(receiver.get_controller_status()["stat"]) & RUNNING, 5.0,
                       "the motion")
            waiting = [client.call_async(Trigger.Request()) for client in clients]
            called = time.monotonic()
            aborted = stopper.call_async(Trigger.Request())
            wait_until(aborted.done, 5.0, "the abort's answer")
            answered = time.monotonic() - called
            assert (aborted.result().success, aborted.result().message) == (True, "motion aborted")
            last, rest = receiver.get_sample().joints, None
            while rest is None and time.monotonic() - called < 5.0:  # at rest: 50 ms unchanged
                time.sleep(0.05)
                now = receiver.get_sample().joints
                rest, last = (time.monotonic() - called if now == last else None), now
            print(f"\n~/abort_motion with 8 calls waiting: answered in {answered * 1e3:.1f} ms, "
                  f"robot at rest {rest * 1e3 if rest else math.nan:.0f} ms after the call "
                  f"(within the last 50 ms)")
            assert answered < 1.0  # 100 ms is the aim; the bound leaves room for a loaded CI
            wait_until(lambda: all(f.done() for f in waiting), 10.0, "an answer to every call")
            busy = [f.result() for f in waiting if not f.result().success]
            assert all("is running" in r.message or "held by another" in r.message
                       for r in busy), [r.message for r in busy]
        finally:
            motion.join(10.0)
            for client in [*clients, stopper]:
                listener.node.destroy_client(client)
        assert isinstance(outcome.get("raised"), _brevacon.MotionAbortedError), outcome


def test_refusals_answer_and_the_callers_node_keeps_serving(sim: Any, robot: Any) -> None:
    listener = Listener(namespace="cell")  # relative names: the topics are /cell/...
    context = Context()
    rclpy.init(context=context)
    node = rclpy.create_node("application", namespace="cell", context=context)
    executor = MultiThreadedExecutor(context=context)
    executor.add_node(node)
    spinner = threading.Thread(target=executor.spin, daemon=True)
    spinner.start()
    try:
        with pytest.raises(TypeError, match="frame"):
            epson_ros2.attach(robot, node, frames="x")
        with pytest.raises(TypeError, match="node_name"):
            epson_ros2.attach(robot, node, node_name="x")
        for period in (-0.001, 0.5, True, "2 ms"):
            with pytest.raises(ValueError, match="batch_period"):
                epson_ros2.attach(robot, node, batch_period=period)
        node.declare_parameter("frame_id", "tool0")  # the caller's own, and writable
        with epson_ros2.attach(robot, node, joint_names=list("abcdef")):
            assert node.get_parameter("joint_names").value == list("abcdef")
            # What the bridge read at start cannot change under it: refused, with the reason.
            for name, value, reason in (("joint_names", list("uvwxyz"), "read-only"),
                                        ("frame_id", "other", "restart the bridge")):
                [result] = node.set_parameters([Parameter(name, value=value)])
                assert not result.successful and reason in result.reason, result.reason
            assert node.get_parameter("frame_id").value == "tool0"
            assert sim.operator("estop on") == "ok"
            refused = listener.call("/cell/application/motor_on")
            assert not refused.success
            assert "31" in refused.message and "Motor On" in refused.message, refused.message
            assert listener.call("/cell/application/motor_off").success
            assert sim.operator("estop off") == "ok"

            robot.disconnect()  # the application ends its session; the node lives on
            lost = listener.call("/cell/application/reset")
            assert not lost.success and lost.message
            wait_until(lambda: (d := listener.latest_diagnostics()) and level(d) == ERROR
                       and values(d)["connection"] == "disconnected", 2.0, "disconnected")
        assert not [s for s in node.services if s.srv_name.endswith("/motor_on")]
        assert node.set_parameters([Parameter("frame_id", value="other")])[0].successful
    finally:
        executor.shutdown()
        spinner.join(5.0)
        node.destroy_node()
        context.try_shutdown()
        listener.close()
