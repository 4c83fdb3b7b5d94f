"""The driver's main job in one run: status, motors, power, TCP offset, IK, a safety cuboid,
a go and a move with live telemetry, pause and continue from another thread, a go aborted from
another thread, a pick and place with a gripper on the cell's I/O, clean disconnect. The three
first motions are recorded, with an event row at each pause, continue and abort, and the
recording is plotted (--plot, demo-run.png).

Without --host it starts the virtual controller on loopback, with a gripper wired to output 8
and input 9, and stops it on exit. With --host it talks to a real controller; it moves the robot
only when --allow-motion is given too, and never switches a real controller's outputs.
"""

from __future__ import annotations

import shutil
import statistics
import sys
import threading
import time

import common

# Work area in front of the robot, flange pointing down (native X, Y, Z mm; U, V, W deg).
POSE_A = [420.0, -180.0, 320.0, 0.0, 0.0, 180.0]
POSE_B = [420.0, 180.0, 320.0, 0.0, 0.0, 180.0]
OUTSIDE = [420.0, 0.0, 40.0, 0.0, 0.0, 180.0]
CUBOID = ([200.0, -300.0, 100.0], [600.0, 300.0, 700.0])
TCP_OFFSET = [0.0, 0.0, 0.1, 0.0, 0.0, 0.0]  # 100 mm along the flange axis (m, deg)
GRIPPER_OUTPUT, GRIPPED_INPUT = 8, 9
GRIPPER_DELAY_S = 0.3  # the virtual gripper's closing and opening time


def fmt(values, digits=1):
    return "[" + ", ".join(f"{v:.{digits}f}" for v in values) + "]"


def xy(pose):
    return "XY(" + ",".join(f"{v:g}" for v in pose) + ")"


class LiveView:
    """Second thread: one progress line of the latest telemetry sample while a motion runs."""

    def __init__(self, receiver) -> None:
        self.receiver = receiver
        self.lock = threading.Lock()
        self.tty = sys.stdout.isatty()
        self.active = threading.Event()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def say(self, text: str) -> None:
        with self.lock:
            if self.tty:
                sys.stdout.write("\r\033[K")
            print(text, flush=True)

    def _line(self) -> str:
        s = self.receiver.get_sample()
        age_ms = self.receiver.sample_age_seconds() * 1000.0
        joints = " ".join(f"{q:6.1f}" for q in s.joints)
        pose = " ".join(f"{c:6.1f}" for c in s.pose)
        line = f"  J {joints} | XYZUVW {pose} | age {age_ms:4.1f} ms"
        # A wrapped line would defeat the carriage return that redraws it.
        return line[:shutil.get_terminal_size().columns - 1] if self.tty else line

    def _run(self) -> None:
        last_print = 0.0
        while not self.stop.is_set():
            if not self.active.wait(0.1):
                continue
            line = self._line()
            with self.lock:
                if self.tty:
                    sys.stdout.write("\r\033[K" + line)
                    sys.stdout.flush()
                elif time.monotonic() - last_print >= 0.4:
                    print(line, flush=True)
                    last_print = time.monotonic()
            time.sleep(0.05)

    def motion(self, label, run) -> float:
        self.say(label)
        self.active.set()
        t0 = time.monotonic()
        try:
            run()
        finally:
            self.active.clear()
            took = time.monotonic() - t0
            with self.lock:
                if self.tty:
                    sys.stdout.write("\r\033[K" + self._line() + "\n")
                else:
                    print(self._line(), flush=True)
        return took

    def close(self) -> None:
        self.stop.set()
        self.thread.join(1.0)


def pause_and_continue(arm, view, recording, after_s, hold_s, report):
    """Another thread pauses the running motion, shows it holding, then continues it."""
    time.sleep(after_s)
    try:
        recording.mark("pause")
        arm.pause()
        time.sleep(0.05)  # let samples still in flight arrive
        before = view.receiver.get_sample().pose
        time.sleep(hold_s)
        after = view.receiver.get_sample().pose
        moved = max(abs(a - b) for a, b in zip(before, after))
        view.say(f"  paused from another thread for {hold_s:.1f} s "
                 f"(telemetry moved {moved:.3f} mm/deg meanwhile); continue")
        recording.mark("continue")
        arm.continue_motion()
    except RuntimeError as exc:
        report.append(exc)


def abort_after(arm, view, recording, after_s, report):
    """Another thread aborts the running motion; the robot brakes to rest, then the motion ends."""
    time.sleep(after_s)
    try:
        recording.mark("abort")
        if arm.abort_motion():
            view.say(f"  abort accepted from another thread after {after_s:.1f} s; braking")
        else:
            report.append("no motion was running to abort")
    except RuntimeError as exc:
        report.append(exc)


def main() -> int:
    ap = common.parser(__doc__.split("\n")[0])
    ap.add_argument("--allow-motion", action="store_true",
                    help="let the demo move a real robot (always on for the virtual one)")
    ap.add_argument("--plot", default="demo-run.png",
                    help="plot of the recorded motions (the CSV goes beside it)")
    args = ap.parse_args()
    recording = args.plot.rsplit(".", 1)[0] + ".csv"
    brevacon, tandrel = common.import_driver()

    wiring = f"{GRIPPER_OUTPUT},{GRIPPED_INPUT},{GRIPPER_DELAY_S}"
    # The virtual controller follows the controller's own rules: it refuses $Pause during an
    # $Execute, and the driver pauses by $Abort and writes the motion again on continue.
    with common.controller(args, gripper=wiring) as (
            host, port, telemetry_port, vc):
        where = "virtual controller" if vc else "controller"
        print(f"{where} at {host}: command port {port}, telemetry port {telemetry_port}")
        robot = tandrel.Tandrel(host, port, telemetry_port)
        arm = robot.get_control_interface()
        telemetry = robot.get_receive_interface()
        view = LiveView(telemetry)
        try:
            moved = run_demo(brevacon, arm, telemetry, view, vc, args.allow_motion or vc is not None,
                             recording)
            rate = common.sample_rate(telemetry, 1.0)
            rtts = []
            for _ in range(200):
                t0 = time.perf_counter()
                arm.get_power_mode()
                rtts.append(time.perf_counter() - t0)
            print(f"telemetry {rate:.0f} samples/s received; command round trip "
                  f"{statistics.median(rtts) * 1e3:.3f} ms median, "
                  f"{statistics.mean(rtts) * 1e3:.3f} ms mean ({len(rtts)} queries)")
        finally:
            view.close()
            robot.disconnect()
        if vc:
            # A fresh session shows what the disconnect left behind.
            check = brevacon.Brevacon()
            check.connect(host, port)
            motors = check.get_controller_status()["stat"] >> 23 & 1  # the virtual one's bit
            print(f"after disconnect: Tool {check.get_tool()} selected, "
                  f"Tool 15 defined: {check.is_tool_defined(15)}, motors on: {bool(motors)}")
            check.disconnect()
    if moved:
        common.plot(recording, args.plot, "demo: go with a pause, move, aborted go")
    return 0


def run_demo(brevacon, arm, telemetry, view, vc, allow_motion, recording) -> bool:
    status = arm.get_controller_status()
    print(f"status: stat 0x{status['stat']:08x}, error {status['system_error']}, "
          f"E-stop {bool(status['emergency_stopped'])}, safeguard open "
          f"{bool(status['safeguard_open'])}, teach {bool(status['teach_mode'])}")
    if vc:
        vc.operator("estop on")
        time.sleep(0.1)
        seen = telemetry.get_controller_status()["emergency_stopped"]
        print(f"E-stop pressed on the controller: is_emergency_stopped() -> "
              f"{arm.is_emergency_stopped()}, telemetry status emergency_stopped {seen}")
        try:
            arm.motor_on()
        except brevacon.ControllerError as refused:
            print(f"  motor_on refused with code {refused.code}: {refused}")
        vc.operator("estop off")
        print(f"E-stop released: is_emergency_stopped() -> {arm.is_emergency_stopped()}")

    arm.motor_on()
    arm.set_power_mode(brevacon.EpsonPowerMode.HIGH)
    limits = arm.get_ptp_motion_limits()
    print(f"motors on; power mode {arm.get_power_mode().name}; AccelMax "
          f"{limits.acceleration_percent}/{limits.deceleration_percent} %")

    arm.set_tcp_offset(TCP_OFFSET)
    print(f"TCP offset {fmt(arm.get_tcp_offset(), 3)} m/deg on Tool {arm.get_tool()}, "
          f"native {fmt(arm.get_tool_definition(15))} mm/deg")

    joints = arm.inverse_kinematics(POSE_A)
    print(f"IK {fmt(POSE_A)} -> joints {fmt(joints, 3)} deg")

    if not allow_motion:
        # The XYLim box outlives the session, so a real controller keeps it only on request.
        print("safety cuboid and motion skipped: pass --allow-motion to move a real robot")
        return False
    arm.add_safety_cuboid(*CUBOID)
    print(f"safety cuboid {fmt(CUBOID[0], 0)} .. {fmt(CUBOID[1], 0)} mm, strict"
          + ("" if vc else " (stays in force on the controller)"))

    with telemetry.record(recording) as run:
        errors = []
        pauser = threading.Thread(target=pause_and_continue,
                                  args=(arm, view, run, 0.6, 0.8, errors))
        pauser.start()
        took = view.motion(f"go {xy(POSE_A)} LJM, speed 8 %", lambda: arm.go(
            xy(POSE_A), ljm=True, speed_percent=8,
            acceleration_percent=30))
        pauser.join()
        for exc in errors:
            print(f"  pause/continue failed: {exc}")
        state = arm.get_state()
        print(f"  done in {took:.2f} s; joints {fmt(state['joint_positions'], 3)}")

        took = view.motion(f"move {xy(POSE_B)}, 250 mm/s", lambda: arm.move(
            xy(POSE_B), speed_mm_s=250.0,
            acceleration_mm_s2=1500.0))
        state = arm.get_state()
        print(f"  done in {took:.2f} s; pose {fmt(state['tcp_pose'], 3)}")

        # Back towards POSE_A, gently enough that the braking after the abort takes a while.
        abort_problems = []
        aborter = threading.Thread(target=abort_after,
                                   args=(arm, view, run, 1.0, abort_problems))
        aborter.start()
        try:
            view.motion(f"go {xy(POSE_A)} LJM, speed 8 %, acceleration 5 %, to be aborted",
                        lambda: arm.go(xy(POSE_A), ljm=True,
                                       speed_percent=8, acceleration_percent=5))
            abort_problems.append("the go ran to its end")
        except brevacon.MotionAbortedError as aborted:
            rest = arm.get_state()["tcp_pose"]
            print(f"  aborted go ended with code {aborted.code}; at rest at {fmt(rest, 3)}")
        finally:
            aborter.join()
    counters = telemetry.counters()
    print(f"recorded {counters['recorded_rows']} rows to {recording} "
          f"({counters['recording_dropped']} dropped)")
    for exc in abort_problems:
        print(f"  abort failed: {exc}")

    try:
        arm.go(xy(OUTSIDE), ljm=True)
    except brevacon.ControllerError as refused:
        print(f"go below the cuboid refused (code {refused.code}): {refused}")

    if vc:
        import pick_and_place  # after import_driver(), which explains a missing module

        # Output 8 may drive anything in a real cell: only the virtual one has this gripper.
        print(f"pick and place: gripper on output {GRIPPER_OUTPUT}, gripped input "
              f"{GRIPPED_INPUT}, closing in {GRIPPER_DELAY_S:g} s")
        gripper = pick_and_place.Gripper(GRIPPER_OUTPUT, GRIPPED_INPUT, timeout_s=2.0)
        t0 = time.monotonic()
        pick_and_place.pick_and_place(arm, gripper, say=view.say)
        print(f"  done in {time.monotonic() - t0:.2f} s")
    return True


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("\ninterrupted; controller stopped", file=sys.stderr)
        sys.exit(130)
