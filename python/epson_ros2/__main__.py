"""The standalone bridge: its own Tandrel from ROS parameters, reconnected with backoff.

    epson-ros2-bridge [--ros-args -p host:=ADDRESS -p control_port:=5000 -p receive_port:=2000
                       -p joint_names:="[...]" -p frame_id:=base_link -r __ns:=/robot1
                       -p password_file:=PATH]

The controller's Remote Ethernet password is never a parameter (anyone on the ROS graph can read
those): it is the content of the file the password_file parameter names (one trailing line
ending left out), else the environment variable EPSON_PASSWORD, else Tandrel's built-in
credential. It is never logged; the log names only where it came from.

Runs until SIGINT or SIGTERM; then it disconnects, which switches off the motors if its own
session switched them on.
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Mapping

import _brevacon
import _tandrel
import rclpy
from rclpy.node import Node

from .bridge import DEFAULT_NODE_NAME, Bridge

# Reconnection pauses double from the first to the last after each failed attempt.
FIRST_RETRY_S = 0.5
LAST_RETRY_S = 8.0
# A connection attempt to a controller that does not answer is given up after this long.
ATTEMPT_TIMEOUT_S = 5.0
# How often the session's health is looked at.
WATCH_PERIOD_S = 0.25
# How soon a stop (SIGINT, SIGTERM) is noticed.
STOP_POLL_S = 0.05


def _session_alive(robot: _tandrel.Tandrel, reconnections: list[int]) -> bool:
    """False once the controller has gone away. The telemetry notices first (the receiver
    reconnects by itself); the command session only does on its next command, so it is asked
    for its status then. No application shares this session, so the question competes with
    nothing."""
    control, receiver = robot.get_control_interface(), robot.get_receive_interface()
    if not control.is_connected():
        return False
    now = receiver.counters()["reconnections"]
    if receiver.is_connected() and now == reconnections[0]:
        return True
    reconnections[0] = now
    try:
        control.get_controller_status()
    except RuntimeError:
        return False
    return True


PASSWORD_ENV = "EPSON_PASSWORD"


def login_password(password_file: str,
                   environ: Mapping[str, str] = os.environ) -> tuple[str | None, str]:
    """The password and where it came from (see the module docstring); None for the built-in
    credential. Raises ValueError for a file that cannot be read, is empty or holds more than
    one line; the message names the file, never what it holds."""
    if password_file:
        try:
            with open(password_file, encoding="utf-8") as f:
                text = f.read()
        except (OSError, UnicodeDecodeError) as exc:
            reason = exc.strerror if isinstance(exc, OSError) else "not UTF-8 text"
            raise ValueError(f"password_file {password_file!r}: {reason}") from None
        password = text[:-2] if text.endswith("\r\n") else text.removesuffix("\n")
        if not password or "\n" in password or "\r" in password:
            raise ValueError(f"password_file {password_file!r} must hold the password on one "
                             "line")
        return password, f"password_file {password_file!r}"
    if PASSWORD_ENV in environ:
        return environ[PASSWORD_ENV], PASSWORD_ENV
    return None, "the built-in credential"


def _stopped_within(node: Node, seconds: float) -> bool:
    """Waits up to `seconds`; True as soon as the node's context is shut down. rclpy's signal
    handler shuts it down without running its on_shutdown callbacks, so it is polled."""
    deadline = time.monotonic() + seconds
    while node.context.ok():
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        time.sleep(min(left, STOP_POLL_S))
    return True


def run(node: Node) -> None:
    """Bridges the controller the node's parameters name until the node's context ends."""
    log = node.get_logger()
    bridge = Bridge(node, None, own_node=True)
    host = str(bridge.parameter("host", "127.0.0.1"))
    control_port = int(bridge.parameter("control_port", 5000))
    receive_port = int(bridge.parameter("receive_port", 2000))
    pause = FIRST_RETRY_S
    try:
        try:
            password, source = login_password(str(bridge.parameter("password_file", "")))
        except ValueError as exc:
            log.error(str(exc))
            raise SystemExit(1) from None
        log.info(f"login password: {source}")
        while node.context.ok():
            try:
                robot = _tandrel.Tandrel(host, control_port, receive_port, password=password,
                                         attempt_timeout=ATTEMPT_TIMEOUT_S, attempts=1)
            except RuntimeError as exc:
                log.warning(f"no controller at {host}:{control_port}/{receive_port} ({exc}); "
                            f"retrying in {pause:g} s")
                _stopped_within(node, pause)
                pause = min(2 * pause, LAST_RETRY_S)
                continue
            pause = FIRST_RETRY_S
            log.info(f"bridging {robot!r}")
            bridge.use(robot)
            reconnections = [robot.get_receive_interface().counters()["reconnections"]]
            try:
                while not _stopped_within(node, WATCH_PERIOD_S):
                    if not _session_alive(robot, reconnections):
                        log.warning("the controller went away; reconnecting")
                        break
            finally:
                bridge.release()
                try:
                    robot.disconnect()
                except RuntimeError as exc:
                    log.warning(f"disconnecting: {exc}")
    finally:
        bridge.close()


def main(argv: list[str] | None = None) -> int:
    rclpy.init(args=sys.argv if argv is None else argv)  # handles SIGINT and SIGTERM
    _brevacon.route_log_to_logging()
    try:
        run(rclpy.create_node(DEFAULT_NODE_NAME))
    except KeyboardInterrupt:
        pass  # rclpy's handler shut the context down and passed SIGINT on: a normal stop
    finally:
        rclpy.try_shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
