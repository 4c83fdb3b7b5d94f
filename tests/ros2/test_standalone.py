"""The standalone bridge (python -m epson_ros2): across a restart of the controller, and where its
login password comes from."""

from __future__ import annotations

import os
import pathlib
import signal
import subprocess
import sys
from typing import Any

import pytest
from ros2_support import DISCOVERY_S, Listener, SimProcess, values, wait_until

from epson_ros2.__main__ import login_password
from epson_ros2.conversions import ERROR


def interrupt(bridge: subprocess.Popen[str]) -> str:
    """Ctrl-C to a standalone bridge, and its output once it ended (killed after 15 s)."""
    bridge.send_signal(signal.SIGINT)
    try:
        return bridge.communicate(timeout=15.0)[0]
    except subprocess.TimeoutExpired:
        bridge.kill()
        return bridge.communicate()[0]


def test_survives_a_controller_restart_and_stops_on_sigint() -> None:
    first = SimProcess(250.0)
    ports = (first.port, first.telemetry_port)
    listener = Listener(namespace="cell")
    bridge = subprocess.Popen(
        [sys.executable, "-m", "epson_ros2", "--ros-args", "-r", "__ns:=/cell",
         "-p", f"host:={first.host}", "-p", f"control_port:={ports[0]}",
         "-p", f"receive_port:={ports[1]}"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    second = None
    try:
        wait_until(lambda: listener.count("joints") > 10, DISCOVERY_S, "joint_states")
        assert listener.call("/cell/epson_ros2_bridge/motor_on").success
        moved = listener.set_parameter("/cell/epson_ros2_bridge", "host", "other-controller")
        assert not moved.successful and "read-only" in moved.reason, moved.reason

        first.stop()
        seen = listener.count("diagnostics")

        def lost() -> Any:
            return next((d for d in listener.taken("diagnostics")[seen:]
                         if d.status[0].level[0] == ERROR), None)
        assert values(wait_until(lost, 3.0, "ERROR"))["connection"] != "connected"
        refused = listener.call("/cell/epson_ros2_bridge/motor_on")
        assert not refused.success

        second = SimProcess(250.0, port=ports[0], telemetry_port=ports[1])
        before = listener.count("joints")
        wait_until(lambda: listener.count("joints") > before + 50, 20.0, "joint_states again")
        # A new session serves again (the services answer on it, not on the lost one).
        wait_until(lambda: listener.call("/cell/epson_ros2_bridge/motor_on").success, 10.0,
                   "motor_on on the new session")
    finally:
        output = interrupt(bridge)
        listener.close()
        first.stop()
        if second is not None:
            second.stop()
    assert bridge.returncode == 0, output
    assert "the controller went away" in output, output


@pytest.mark.parametrize("content, environ, expected", [
    ("s3cret\n", {"EPSON_PASSWORD": "other"}, ("s3cret", "password_file")),  # the file wins
    ("s3cret\r\n", {}, ("s3cret", "password_file")),
    ("s3cret", {}, ("s3cret", "password_file")),
    (None, {"EPSON_PASSWORD": "from-env"}, ("from-env", "EPSON_PASSWORD")),
    (None, {"EPSON_PASSWORD": ""}, ("", "EPSON_PASSWORD")),
    (None, {}, (None, "the built-in credential")),
])
def test_password_comes_from_the_file_or_the_environment(
        tmp_path: pathlib.Path, content: str | None, environ: dict[str, str],
        expected: tuple[str | None, str]) -> None:
    path = ""
    if content is not None:
        path = str(tmp_path / "pw")
        pathlib.Path(path).write_bytes(content.encode())
    password, source = login_password(path, environ)
    assert (password, source.split(" ")[0] if content else source) == expected


@pytest.mark.parametrize("content", ["", "\n", "hunter2\nhunter3\n", None])
def test_an_unusable_password_file_is_named_never_shown(tmp_path: pathlib.Path,
                                                        content: str | None) -> None:
    path = tmp_path / "pw"
    if content is not None:
        path.write_text(content)
    with pytest.raises(ValueError, match="^password_file '.*pw'") as refused:
        login_password(str(path), {"EPSON_PASSWORD": "unused"})
    assert "hunter" not in str(refused.value) and "unused" not in str(refused.value)


def test_the_bridge_logs_in_with_the_password_and_never_shows_it(tmp_path: pathlib.Path) -> None:
    sim = SimProcess(250.0, password="s3cret-pw")
    listener = Listener(namespace="pw")
    password_file = tmp_path / "controller.pw"
    password_file.write_text("s3cret-pw\n")
    bridge = subprocess.Popen(
        [sys.executable, "-m", "epson_ros2", "--ros-args", "-r", "__ns:=/pw",
         "-p", f"host:={sim.host}", "-p", f"control_port:={sim.port}",
         "-p", f"receive_port:={sim.telemetry_port}", "-p", f"password_file:={password_file}"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        env={k: v for k, v in os.environ.items() if k != "EPSON_PASSWORD"})
    try:
        wait_until(lambda: listener.count("joints") > 10, DISCOVERY_S, "joint_states")
        assert listener.call("/pw/epson_ros2_bridge/motor_on").success
    finally:
        output = interrupt(bridge)
        listener.close()
        sim.stop()
    assert bridge.returncode == 0, output
    assert f"login password: password_file '{password_file}'" in output, output
    assert "s3cret" not in output
