"""The controller's status word, a refused password, and a thread's bound on waiting for the
session, as the module shows them."""

from __future__ import annotations

import threading
import time

import pytest

import _brevacon
from fake_controller import FakeController


def connected(fake: FakeController, password: str = "") -> _brevacon.Brevacon:
    fake.login(password)
    robot = _brevacon.Brevacon()
    robot.connect("127.0.0.1", fake.port, password)
    return robot


@pytest.mark.parametrize(
    ("reply", "on", "code"),
    [
        ("#GetStatus,10100010100,4100", ["test_mode", "auto", "emergency_stop", "paused"], 4100),
        ("#GetStatus,0100000011,0000", ["auto", "running", "ready"], 0),  # older firmware
    ],
)
def test_status_word_fields_and_repr(
    fake_controller: FakeController, reply: str, on: list[str], code: int
) -> None:
    robot = connected(fake_controller)
    fake_controller.respond("$GetStatus", reply).logout()
    status = robot.get_remote_status()
    flags = ["test_mode", "teach", "auto", "warning", "severe_error", "safeguard",
             "emergency_stop", "error", "paused", "running", "ready"]
    assert [name for name in flags if getattr(status, name)] == on
    assert status.code == code
    assert repr(status) == f"RemoteStatus({', '.join(on)}, code={code})"
    robot.disconnect()


def test_malformed_status_word_is_quoted(fake_controller: FakeController) -> None:
    robot = connected(fake_controller)
    fake_controller.respond("$GetStatus", "#GetStatus,0010\x01,0000").logout()
    with pytest.raises(RuntimeError, match=r'Malformed reply to \$GetStatus: "#GetStatus,0010\\x01'):
        robot.get_remote_status()
    robot.disconnect()


def test_refused_password_is_code_13_and_never_shown(fake_controller: FakeController) -> None:
    fake_controller.expect("$Login,hunter2").reply("!Login,13").expect_close()
    with pytest.raises(_brevacon.ControllerError) as refused:
        _brevacon.Brevacon().connect("127.0.0.1", fake_controller.port, "hunter2")
    assert refused.value.code == 13
    assert "refused the password" in str(refused.value)
    assert "hunter2" not in str(refused.value) + refused.value.command


def test_wait_limit_refuses_during_a_motion_and_bounds_a_wait(
    fake_controller: FakeController,
) -> None:
    robot = connected(fake_controller)
    fake_controller.expect('$Execute,"Go P1"').wait(0.5).reply("#Execute,0")
    motion = threading.Thread(target=lambda: robot.go("P1"))
    motion.start()
    assert fake_controller.wait_for_lines(2)
    with _brevacon.session_wait_limit(0.25):
        started = time.monotonic()
        with pytest.raises(_brevacon.SessionBusyError, match="Go P1.* is running"):
            robot.motor_on()
        assert time.monotonic() - started < 0.1
    motion.join()
    fake_controller.logout()
    robot.disconnect()
    assert issubclass(_brevacon.SessionBusyError, _brevacon.TimeoutError)
    with pytest.raises(ValueError):
        _brevacon.session_wait_limit(-1)
