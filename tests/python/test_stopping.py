"""Ctrl-C stops the robot: SIGINT to a process whose main thread waits in go() or connect()."""

from __future__ import annotations

import signal
import subprocess
import sys
import time

import pytest

import _brevacon
from fake_controller import FakeController

GO = '$Execute,"Go P1"'

# Runs in a child process, so that SIGINT reaches a main thread that waits in the driver.
CHILD = r"""
import sys, _brevacon
robot = _brevacon.Brevacon()
try:
    robot.connect("127.0.0.1", int(sys.argv[1]))
    robot.go("P1", False, False, None, None, None, False)
except KeyboardInterrupt as interrupt:
    print("notes:", " | ".join(getattr(interrupt, "__notes__", [])), flush=True)
    print("connected:", robot.is_connected(), flush=True)
    sys.exit(3)
"""


def interrupted_child(fake: FakeController, lines_before_signal: int, signals: int = 1,
                      gap: float = 0.3) -> tuple[subprocess.CompletedProcess[str], float, float]:
    """Starts the child, sends SIGINT once it wrote `lines_before_signal` lines (`signals` times,
    `gap` apart) and returns its result, the time of the first signal and of its exit."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(fake.port)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert fake.wait_for_lines(lines_before_signal, 10)
        time.sleep(0.2)  # the child waits in the driver, not in Python code
        signalled = time.monotonic()
        for n in range(signals):
            if n:
                time.sleep(gap)
            child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=15)
        ended = time.monotonic()
    finally:
        child.kill()
    return subprocess.CompletedProcess(child.args, child.returncode, out, err), signalled, ended


def test_ctrl_c_during_go_aborts_and_raises_once_the_motion_ended(fake_controller):
    fake_controller.login().expect(GO).expect("$Abort").wait(0.2)
    fake_controller.reply("#Abort,0").reply("!Execute,36").expect_close()
    done, signalled, _ = interrupted_child(fake_controller, 2)
    assert done.returncode == 3, done.stderr
    abort = fake_controller.lines[2]
    assert abort.text == "$Abort" and abort.arrival - signalled < 0.5
    assert "was aborted with $Abort and ended with !Execute,36" in done.stdout
    assert "connected: True" in done.stdout


def test_second_ctrl_c_closes_the_session_at_once(fake_controller):
    fake_controller.login().expect(GO).expect("$Abort").silence()
    done, signalled, ended = interrupted_child(fake_controller, 2, signals=2)
    assert done.returncode == 3, done.stderr
    assert ended - signalled < 2.0  # not the 5 s the abort could take
    assert "state is unknown" in done.stdout and "connected: False" in done.stdout


def test_ctrl_c_during_a_silent_login_closes_the_socket(fake_controller):
    fake_controller.expect_prefix("$Login,").silence()
    done, signalled, ended = interrupted_child(fake_controller, 1)
    assert done.returncode == 3, done.stderr
    assert ended - signalled < 1.5  # a login attempt alone may take 5 s
    assert "the session was closed" in done.stdout


def test_leaving_a_with_block_by_an_exception_aborts_a_motion_in_another_thread(fake_controller):
    import threading

    fake_controller.login().expect(GO).expect("$Abort").reply("#Abort,0").reply("!Execute,36")
    fake_controller.logout()
    outcome: list[BaseException] = []

    def motion(robot: _brevacon.Brevacon) -> None:
        try:
            robot.go("P1", False, False, None, None, None, False)
        except BaseException as failure:  # noqa: BLE001 - the test inspects it
            outcome.append(failure)

    with pytest.raises(RuntimeError, match="the block failed"):
        with _brevacon.Brevacon() as robot:
            robot.connect("127.0.0.1", fake_controller.port)
            worker = threading.Thread(target=motion, args=(robot,))
            worker.start()
            assert fake_controller.wait_for_lines(2, 5)
            raise RuntimeError("the block failed")
    worker.join(5)
    assert isinstance(outcome[0], _brevacon.MotionAbortedError) and outcome[0].code == 36
    assert not robot.is_connected()


def test_abort_motion_without_a_motion_sends_nothing(fake_controller):
    fake_controller.login().logout()
    with _brevacon.Brevacon() as robot:
        robot.connect("127.0.0.1", fake_controller.port)
        assert robot.abort_motion() is False
    assert fake_controller.texts == ["$Login,", "$Logout"]


# A signal handler that calls the driver while go() waits on the main thread: it runs on the
# thread that reads the motion's replies.
HANDLER_CHILD = r"""
import signal, sys, time, _brevacon
robot = _brevacon.Brevacon()
robot.connect("127.0.0.1", int(sys.argv[1]))
def handler(signum, frame):
    if sys.argv[2] == "abort":
        started = time.monotonic()
        accepted = robot.abort_motion()
        print(f"abort_motion() returned {accepted} in {time.monotonic() - started:.3f} s",
              flush=True)
    else:
        robot.motor_off()  # needs the session the go holds: refused at once
signal.signal(signal.SIGUSR1, handler)
try:
    robot.go("P1")
except _brevacon.MotionAbortedError as aborted:
    print("go raised MotionAbortedError", aborted.code, flush=True)
except RuntimeError as refused:
    print("go raised", type(refused).__name__, str(refused), flush=True)
    print("notes:", " | ".join(getattr(refused, "__notes__", [])), flush=True)
"""


@pytest.mark.parametrize("mode", ["abort", "lock"])
def test_a_signal_handler_that_calls_the_driver_during_a_motion(fake_controller, mode):
    fake_controller.login().expect(GO).expect("$Abort").reply("#Abort,0").reply("!Execute,36")
    fake_controller.expect_close()
    child = subprocess.Popen([sys.executable, "-c", HANDLER_CHILD, str(fake_controller.port), mode],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert fake_controller.wait_for_lines(2, 10)
        time.sleep(0.2)
        child.send_signal(signal.SIGUSR1)
        out, err = child.communicate(timeout=15)
    finally:
        child.kill()
    assert child.returncode == 0, err
    if mode == "abort":
        returned = float(out.split("abort_motion() returned True in ")[1].split(" s")[0])
        assert returned < 1.0
        assert "go raised MotionAbortedError 36" in out
    else:
        assert "go raised RuntimeError An operation of the Epson session was called from inside" in out
        assert "was aborted with $Abort" in out  # handled as Ctrl-C: aborted, then propagated
