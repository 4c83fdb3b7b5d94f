"""The Python modules against the virtual controller, in one process over loopback."""

import os
import subprocess
import sys
import threading
import time

import pytest

import _brevacon  # registers Brevacon for _tandrel's get_control_interface
import _tandrel
from epson_sim import VirtualController, kinematics as kin

HOME = [0.0, 0.0, 0.0, 0.0, 90.0, 0.0]


def go(arm, destination, **kwargs):
    arm.go(destination, False, False, None, None, None, False, **kwargs)


def go_joints(arm, joints, **kwargs):
    go(arm, "AglToPls(" + ",".join(repr(float(q)) for q in joints) + ")", **kwargs)


def move(arm, destination, **kwargs):
    arm.move(destination, False, False, False, None, None, False, **kwargs)


def xy(pose):
    return "XY(" + ",".join(repr(float(v)) for v in pose) + ")"


def wait_for(predicate, timeout=2.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.005)
    return predicate()


def in_thread(fn, *args):
    """Runs fn in a thread; returns the thread and a list that receives its exception."""
    caught = []

    def run():
        try:
            fn(*args)
        except Exception as exc:  # noqa: BLE001 - handed to the test
            caught.append(exc)

    t = threading.Thread(target=run)
    t.start()
    return t, caught


@pytest.fixture
def vc(request):
    """Options of the virtual controller come from an indirect parametrisation, if any."""
    options = getattr(request, "param", {})
    with VirtualController(port=0, telemetry_port=0, telemetry_rate_hz=200,
                           **options) as controller:
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
    # Brisk settings for the tests that do not set their own; they stay in the controller.
    go(arm, "Here", speed_percent=100, acceleration_percent=100)
    move(arm, "Here", speed_mm_s=1000.0, acceleration_mm_s2=10000.0)
    return arm


@pytest.fixture
def telemetry(robot):
    return robot.get_receive_interface()


def test_full_session_as_the_demo_runs_it(vc, robot):
    arm = robot.get_control_interface()
    status = arm.get_controller_status()
    assert status["emergency_stopped"] == 0 and status["system_error"] == 0
    assert not arm.is_emergency_stopped()
    arm.motor_on()
    assert arm.motor_on_error() == ""
    arm.set_power_mode(_brevacon.EpsonPowerMode.HIGH)
    assert arm.get_power_mode() == _brevacon.EpsonPowerMode.HIGH
    assert arm.get_ptp_motion_limits().acceleration_percent == 120

    arm.set_tcp_offset([0.0, 0.0, 0.1, 0.0, 0.0, 0.0])
    assert arm.get_tcp_offset() == pytest.approx([0.0, 0.0, 0.1, 0.0, 0.0, 0.0])
    assert arm.get_tool() == 15

    target = [420.0, -180.0, 320.0, 0.0, 0.0, 180.0]
    joints = arm.inverse_kinematics(target)
    arm.add_safety_cuboid([200, -300, 100], [600, 300, 700])
    arm.go(xy(target), False, True, None, None, None, False, speed_percent=50)
    state = arm.get_state()
    assert state["joint_positions"] == pytest.approx(joints, abs=1e-9)
    assert state["tcp_pose"] == pytest.approx(target, abs=1e-6)

    move(arm, xy([420.0, 180.0, 320.0, 0.0, 0.0, 180.0]), speed_mm_s=500.0,
         acceleration_mm_s2=5000.0)
    assert arm.get_state()["tcp_pose"][1] == pytest.approx(180.0, abs=1e-6)
    assert telemetry_pose(robot.get_receive_interface())[1] == pytest.approx(180.0, abs=1e-6)

    robot.disconnect()
    assert not robot.is_connected()
    after = vc.state()
    assert after["tool"] == 0 and not after["motors_on"]  # Tool restored, motors off
    assert 15 not in vc.robot.tools


def telemetry_pose(receiver):
    assert wait_for(lambda: receiver.sample_age_seconds() < 0.02)
    time.sleep(0.02)
    return receiver.get_sample().pose


# A controller with the compatibility option pauses a running go with $Pause itself.
@pytest.mark.parametrize("vc", [{"execute_accepts_pause": True}], indirect=True)
def test_pause_and_continue_from_another_thread(vc, arm, telemetry):
    out_and_back = [20.0] + HOME[1:]
    t0 = time.monotonic()
    go_joints(arm, out_and_back, speed_percent=10, acceleration_percent=100)
    nominal = time.monotonic() - t0  # about 0.74 s for 20 degrees of J1 at 30 deg/s

    mover, caught = in_thread(go_joints, arm, HOME)
    time.sleep(0.3)
    t_pause = time.monotonic()
    arm.pause()
    pause_latency = time.monotonic() - t_pause
    assert wait_for(lambda: vc.state()["paused"], 0.1)
    time.sleep(0.05)
    held = telemetry.get_sample().joints[0]
    time.sleep(0.5)
    assert telemetry.get_sample().joints[0] == held  # holding while paused
    assert mover.is_alive()
    with pytest.raises(RuntimeError, match="skipped"):
        arm.get_state()  # the motion still holds the connection
    arm.continue_motion()
    paused_for = time.monotonic() - t_pause
    mover.join(5.0)
    second = time.monotonic() - t0 - nominal
    assert not caught
    assert pause_latency < 0.05
    assert 0.0 < held < 20.0
    assert second == pytest.approx(nominal + paused_for, abs=0.1)
    assert arm.get_state()["joint_positions"] == pytest.approx(HOME)


def test_pause_by_abort_holds_at_rest_and_continue_reaches_the_target(vc, arm, telemetry):
    # The controller's own rules: $Pause refused during the $Execute, so the driver stops the
    # motion with $Abort and writes it again on continue.
    go_joints(arm, [30.0] + HOME[1:])
    mover, caught = in_thread(
        lambda: go_joints(arm, HOME, speed_percent=10, acceleration_percent=100))
    try:
        paused_and_continued(vc, arm, telemetry, mover)
    finally:
        arm.abort_motion()  # whatever failed, the motion must not hold the session
        mover.join(10.0)
    assert not caught
    assert arm.get_state()["joint_positions"] == pytest.approx(HOME)


def paused_and_continued(vc, arm, telemetry, mover):
    time.sleep(0.3)
    t_pause = time.monotonic()
    arm.pause()
    took = time.monotonic() - t_pause
    assert wait_for(lambda: not vc.state()["busy"], 1.0)  # braked to rest: nothing runs
    rest_at = time.monotonic() - t_pause
    time.sleep(0.1)  # telemetry a few samples behind the controller
    held = telemetry.get_sample().joints
    time.sleep(0.3)
    assert telemetry.get_sample().joints == held and 0.0 < held[0] < 30.0
    assert mover.is_alive()
    other = _brevacon.Brevacon()  # one controller, one $Execute: a second client is refused
    other.connect("127.0.0.1", vc.port)
    arm.continue_motion()
    with pytest.raises(_brevacon.ControllerError) as refused:
        other.reset_controller()
    assert refused.value.code == 21
    other.disconnect()
    mover.join(10.0)
    print(f"\npause by $Abort: pause() returned in {took * 1e3:.0f} ms, at rest "
          f"{rest_at * 1e3:.0f} ms after the call")


def test_pause_without_a_motion_is_refused(arm):
    with pytest.raises(RuntimeError, match=r"!Pause,20"):
        arm.pause()
    with pytest.raises(RuntimeError, match=r"!Continue,20"):
        arm.continue_motion()


def test_emergency_stop_during_a_motion_fails_it_and_shows_in_telemetry(vc, arm, telemetry):
    assert telemetry.get_controller_status()["emergency_stopped"] == 0
    timer = threading.Timer(0.3, vc.set_emergency_stop, args=(True,))
    timer.start()
    t0 = time.monotonic()
    with pytest.raises(RuntimeError, match=r"Remote command failed: !Execute,31"):
        go_joints(arm, [40.0] + HOME[1:], speed_percent=10)
    assert time.monotonic() - t0 == pytest.approx(0.3, abs=0.1)
    timer.join()
    assert wait_for(lambda: telemetry.get_controller_status()["emergency_stopped"] == 1, 0.5)
    assert telemetry.controller_status_age_seconds() < 0.5
    assert arm.is_emergency_stopped()
    stopped = arm.get_state()["joint_positions"][0]
    assert 0.0 < stopped < 40.0
    with pytest.raises(RuntimeError, match="!Execute,31"):
        arm.motor_on()
    assert "!Execute,31" in arm.motor_on_error()
    vc.set_emergency_stop(False)
    assert wait_for(lambda: telemetry.get_controller_status()["emergency_stopped"] == 0, 0.5)
    arm.motor_on()
    go_joints(arm, HOME, speed_percent=100)


@pytest.mark.parametrize("motion", [
    lambda arm: go(arm, xy([420.0, 0.0, 40.0, 0.0, 0.0, 180.0])),
    lambda arm: move(arm, "Here +Y(200)"),
    lambda arm: go(arm, "P1"),
])
def test_safety_cuboid_rejects_motion_outside_it(vc, arm, motion):
    arm.add_safety_cuboid([200, -150, 300], [600, 150, 700])
    before = arm.get_state()["joint_positions"]
    with pytest.raises(RuntimeError, match=r"!Execute,41"):
        motion(arm)
    assert arm.get_state()["joint_positions"] == before
    move(arm, "Here -Z(100)")  # inside the box still moves


@pytest.mark.parametrize("tool", [None, [0.012, -0.034, 0.15, 30.0, -10.0, 95.0]])
@pytest.mark.parametrize("pose", [
    [400.0, 0.0, 300.0, 0.0, 0.0, 180.0],
    [312.25, 171.125, 402.0625, 33.3, -12.7, 168.9],
    [250.0, -300.0, 550.0, -120.0, 45.0, 10.0],
    [0.1, 420.0, 280.0, 90.0, 0.1, -179.9],
])
def test_ik_results_map_back_through_fk(arm, pose, tool):
    native_tool = None
    if tool is not None:
        arm.set_tcp_offset(tool)
        native_tool = arm.get_tool_definition(15)
    for least_motion in (False, True):
        joints = arm.inverse_kinematics(pose, least_motion)
        back = kin.forward(joints, native_tool)
        assert back[:3] == pytest.approx(pose[:3], abs=1e-6)
        assert kin.rotation_angle_between(kin.pose_to_matrix(back),
                                          kin.pose_to_matrix(pose)) < 1e-6
    go_joints(arm, joints, speed_percent=100)
    assert arm.get_state()["tcp_pose"][:3] == pytest.approx(pose[:3], abs=1e-6)


def test_ik_reference_picks_the_nearest_posture(arm):
    pose = [400.0, 0.0, 300.0, 0.0, 0.0, 180.0]
    plain = arm.inverse_kinematics(pose, False)
    flipped = arm.inverse_kinematics(pose, True, [0.0, 0.0, 0.0, 170.0, -40.0, 170.0])
    assert flipped[3] == pytest.approx(180.0) and flipped[4] == pytest.approx(-plain[4])
    turned = arm.inverse_kinematics(pose, True, [0.0, 0.0, 0.0, 0.0, 45.0, 350.0])
    assert turned[5] == pytest.approx(plain[5] + 360.0)


def test_unreachable_pose_names_the_first_joint(arm):
    with pytest.raises(RuntimeError, match=r"IK query failed for joint 1 .*!Execute,40"):
        arm.inverse_kinematics([4000.0, 0.0, 300.0, 0.0, 0.0, 180.0])


def test_telemetry_samples_follow_a_running_motion(arm, telemetry):
    samples = []
    mover, caught = in_thread(lambda: go_joints(arm, [30.0, 10.0, 0.0, 0.0, 80.0, 0.0],
                                                speed_percent=20))
    deadline = time.monotonic() + 5.0
    while mover.is_alive() and time.monotonic() < deadline:
        samples.append((telemetry.get_sample().joints, telemetry.sample_age_seconds()))
        time.sleep(0.01)
    mover.join(1.0)
    assert not caught
    j1 = [s[0][0] for s in samples]
    assert len(set(j1)) > 20
    assert all(b >= a for a, b in zip(j1, j1[1:]))
    assert max(age for _, age in samples) < 0.05
    final = telemetry_pose(telemetry)
    assert final == pytest.approx(kin.forward([30.0, 10.0, 0.0, 0.0, 80.0, 0.0]), abs=1e-6)


def test_receiver_rides_out_a_dropped_telemetry_connection(vc, telemetry):
    assert telemetry.is_connected()
    vc.drop_telemetry(hold_s=0.5)
    assert wait_for(lambda: not telemetry.is_connected(), 1.0)
    time.sleep(0.2)
    assert telemetry.sample_age_seconds() > 0.15
    assert wait_for(telemetry.is_connected, 3.0)
    assert wait_for(lambda: telemetry.sample_age_seconds() < 0.05, 1.0)


def test_motion_with_the_motors_off_fails(robot):
    arm = robot.get_control_interface()
    with pytest.raises(RuntimeError, match=r"!Execute,30"):
        go(arm, "P1")
    with pytest.raises(RuntimeError, match=r"!Execute,30"):
        move(arm, "P1")


EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")


def run_example(name, *args, timeout=60.0):
    """Runs an example against its own virtual controller; returns its standard output."""
    import epson_sim
    paths = [os.path.dirname(_brevacon.__file__), os.path.dirname(_tandrel.__file__),
             os.path.dirname(os.path.dirname(epson_sim.__file__))]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    done = subprocess.run([sys.executable, os.path.join(EXAMPLES, name), *args], env=env,
                          capture_output=True, text=True, timeout=timeout, check=False)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.slow
def test_demo_runs_end_to_end(tmp_path):
    plot = tmp_path / "demo-run.png"
    out = run_example("demo.py", "--plot", str(plot))
    for expected in ("E-stop pressed on the controller: is_emergency_stopped() -> True",
                     "motor_on refused with code 31", "motors on; power mode HIGH",
                     "paused from another thread", " dropped)",
                     "go below the cuboid refused (code 41): Remote command failed: !Execute,41",
                     "after disconnect: Tool 0 selected, Tool 15 defined: False, "
                     "motors on: False"):
        assert expected in out
    assert "failed" not in out.replace("Remote command failed", "")
    rows = (tmp_path / "demo-run.csv").read_text().splitlines()
    assert len(rows) > 100 and rows[0].startswith("host_time,sequence,")


@pytest.mark.parametrize("name, args, expected", [
    ("poll_state.py", ["--count", "2", "--interval", "0"], "E-stop False"),
    ("stream_telemetry.py", ["--seconds", "0.3"], "missed"),
    ("tcp_offset_roundtrip.py", [], "restored: Tool 0, slot 15 defined False"),
    ("watch_a_motion.py", [], "mm past the plane"),
    ("watch_a_motion.py", ["--plane-y", "500"], "without crossing the plane"),
])
def test_examples_run_against_the_virtual_controller(name, args, expected):
    assert expected in run_example(name, *args)


@pytest.mark.parametrize("vc", [{"remote_timeout_s": 1.0}], indirect=True)
def test_the_controllers_timeout_ends_a_quiet_session_unless_kept_alive(vc):
    quiet, kept = _brevacon.Brevacon(), _brevacon.Brevacon()
    quiet.connect("127.0.0.1", vc.port)
    kept.connect("127.0.0.1", vc.port, keepalive=0.3)
    try:
        time.sleep(3.0)
        assert kept.get_remote_status().auto  # kept: every gap under a second
        with pytest.raises(_brevacon.ConnectionLostError):
            quiet.get_remote_status()  # cut off after a second of silence
    finally:
        kept.disconnect()
        quiet.disconnect()
