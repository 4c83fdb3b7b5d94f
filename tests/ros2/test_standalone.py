"""The standalone bridge (python -m epson_ros2) across a restart of the controller."""

from __future__ import annotations

import signal
import subprocess
import sys
from typing import Any

from ros2_support import DISCOVERY_S, Listener, SimProcess, values, wait_until

from epson_ros2.conversions import ERROR


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
        bridge.send_signal(signal.SIGINT)
        try:
            output, _ = bridge.communicate(timeout=15.0)
        except subprocess.TimeoutExpired:
            bridge.kill()
            output, _ = bridge.communicate()
        listener.close()
        first.stop()
        if second is not None:
            second.stop()
    assert bridge.returncode == 0, output
    assert "the controller went away" in output, output
