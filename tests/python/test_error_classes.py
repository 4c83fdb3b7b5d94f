"""Every public operation raises the class its docstring names, for the three ways a command fails.

One row per operation and failure: the connection is lost, the reply never comes, or the
controller refuses with code 99. Each row runs against a peer of its own that logs in, then
fails the first command the operation sends; the rows run side by side, so the reply deadlines
are sat out once.
"""

from __future__ import annotations

import concurrent.futures
import socket
import threading
from collections.abc import Callable

import pytest

import _brevacon
import _tandrel
from telemetry_peer import TelemetryPeer

POSE = [400.0, 0.0, 300.0, 0.0, 90.0, 180.0]

OPERATIONS: dict[str, Callable[[_brevacon.Brevacon], object]] = {
    "get_controller_status": lambda r: r.get_controller_status(),
    "is_emergency_stopped": lambda r: r.is_emergency_stopped(),
    "reset_controller": lambda r: r.reset_controller(),
    "motor_on": lambda r: r.motor_on(),
    "motor_off": lambda r: r.motor_off(),
    "pause": lambda r: r.pause(),
    "continue_motion": lambda r: r.continue_motion(),
    "get_power_mode": lambda r: r.get_power_mode(),
    "set_power_mode": lambda r: r.set_power_mode(_brevacon.EpsonPowerMode.LOW),
    "get_ptp_motion_limits": lambda r: r.get_ptp_motion_limits(),
    "add_safety_cuboid": lambda r: r.add_safety_cuboid([0.0, 0.0, 0.0], [100.0, 100.0, 100.0]),
    "tl_set": lambda r: r.tl_set(1, "XY(0,0,10,0,0,0)"),
    "tl_clear": lambda r: r.tl_clear(1),
    "set_tool": lambda r: r.set_tool(1),
    "get_tool": lambda r: r.get_tool(),
    "is_tool_defined": lambda r: r.is_tool_defined(1),
    "get_tool_definition": lambda r: r.get_tool_definition(1),
    "get_tcp_offset": lambda r: r.get_tcp_offset(),
    "set_tcp_offset": lambda r: r.set_tcp_offset([0.0, 0.0, 0.1, 0.0, 0.0, 0.0]),
    "inverse_kinematics": lambda r: r.inverse_kinematics(POSE),
    "get_state": lambda r: r.get_state(),
    "set_output": lambda r: r.set_output(8, True),
    "get_output": lambda r: r.get_output(8),
    "get_input": lambda r: r.get_input(8),
    "set_output_byte": lambda r: r.set_output_byte(1, 15),
    "get_output_byte": lambda r: r.get_output_byte(1),
    "get_input_byte": lambda r: r.get_input_byte(1),
    "set_output_word": lambda r: r.set_output_word(1, 255),
    "get_output_word": lambda r: r.get_output_word(1),
    "get_input_word": lambda r: r.get_input_word(1),
    "set_memory_bit": lambda r: r.set_memory_bit(3, True),
    "get_memory_bit": lambda r: r.get_memory_bit(3),
    "wait_input": lambda r: r.wait_input(8, True, 1.0),
    "wait_memory_bit": lambda r: r.wait_memory_bit(3, False, 1.0),
    "go": lambda r: r.go("P1", False, False, None, None, None, False),
    "move": lambda r: r.move("P1", False, False, False, None, None, False),
    "jump": lambda r: r.jump("P1"),
    "jump3": lambda r: r.jump3("P1 +Z(50)", "P2 +Z(50)", "P2"),
    # A started motion fails in its handle, once the statement is written.
    "start_go": lambda r: r.start_go("P1").result(),
    "start_move": lambda r: r.start_move("P1").result(),
    "start_jump": lambda r: r.start_jump("P1").result(),
    "start_jump3": lambda r: r.start_jump3("P1 +Z(50)", "P2 +Z(50)", "P2").result(),
    "here": lambda r: r.here(),
    "here_joints": lambda r: r.here_joints(),
    "set_point": lambda r: r.set_point(5, _brevacon.Pose(*POSE)),
    "get_point": lambda r: r.get_point(5),
    "teach_point": lambda r: r.teach_point(5),
    "save_points": lambda r: r.save_points("cell.pts"),
    "load_points": lambda r: r.load_points("cell.pts"),
}

EXPECTED = {
    "lost": _brevacon.ConnectionLostError,
    "silent": _brevacon.TimeoutError,
    "refusal": _brevacon.ControllerError,
}
# A motion (or a wait on a bit) waits for its end, not for a reply: a controller that stops
# answering is noticed by its status heartbeat going unanswered.
SILENT_MOTION = _brevacon.ConnectionLostError
LONG_STATEMENTS = ("go", "move", "jump", "jump3", "start_go", "start_move", "start_jump",
                   "start_jump3", "wait_input", "wait_memory_bit")


class FailingPeer:
    """Logs a client in, then fails the first command other than a status poll, and closes.

    A silent peer closes only when the client does (or after 20 s).
    """

    def __init__(self, mode: str) -> None:
        self.mode = mode
        self.failed_command = ""
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self) -> None:
        conn, _ = self._listener.accept()
        conn.settimeout(20.0)  # bounds a row whose client never closes
        with conn:
            buffer = b""
            try:
                while True:
                    data = conn.recv(4096)
                    if not data:
                        return
                    buffer += data
                    while b"\r\n" in buffer:
                        line, buffer = buffer.split(b"\r\n", 1)
                        if not self._answer(conn, line.decode()):
                            return
            except OSError:
                return

    def _answer(self, conn: socket.socket, line: str) -> bool:
        name = line[1:].split(",", 1)[0]
        if name == "Login":
            conn.sendall(b"!Login,11\r\n" if self.mode == "login" else b"#Login,0\r\n")
            return self.mode != "login"
        if name == "GetStatus" and self.mode != "silent":
            conn.sendall(b"#GetStatus,00100000011,0000\r\n")
            return True
        if self.failed_command:
            return True  # the rest goes unanswered; the client is on its way out
        self.failed_command = line
        if self.mode == "lost":
            return False
        if self.mode == "refusal":
            conn.sendall(f"!{name},99\r\n".encode())
            return False  # closed behind the refusal, so disconnect() need not wait for a logout
        return self.mode == "silent"

    def close(self) -> None:
        self._listener.close()


def raised_by(operation: str, mode: str) -> tuple[BaseException | None, str]:
    peer = FailingPeer(mode)
    robot = _brevacon.Brevacon()
    try:
        robot.connect("127.0.0.1", peer.port, "pw")
        try:
            OPERATIONS[operation](robot)
        except Exception as error:  # noqa: BLE001 - the class is what is checked
            return error, peer.failed_command
        return None, peer.failed_command
    finally:
        robot.disconnect()
        peer.close()


def raises_section(operation: str) -> str:
    doc = getattr(_brevacon.Brevacon, operation).__doc__ or ""
    return doc[doc.find("Raises:") :] if "Raises:" in doc else ""


@pytest.mark.parametrize("mode", sorted(EXPECTED))
def test_each_operation_raises_the_documented_class(mode: str) -> None:
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(OPERATIONS)) as pool:
        results = dict(zip(OPERATIONS, pool.map(lambda op: raised_by(op, mode), OPERATIONS)))
    wrong = []
    for operation, (error, command) in results.items():
        expected = EXPECTED[mode]
        if mode == "silent" and operation in LONG_STATEMENTS:
            expected = SILENT_MOTION
        if type(error) is not expected:
            wrong.append(f"{operation} ({command!r}): {type(error).__name__}: {error}")
        elif f"    {expected.__name__}:" not in raises_section(operation):
            wrong.append(f"{operation}: its docstring's Raises does not name {expected.__name__}")
        elif mode == "refusal" and error.code != 99:  # type: ignore[union-attr]
            wrong.append(f"{operation}: code {error.code!r}")  # type: ignore[union-attr]
    assert not wrong, "\n".join(wrong)


def test_inverse_kinematics_names_the_joint_and_keeps_the_refusal() -> None:
    error, command = raised_by("inverse_kinematics", "refusal")
    assert isinstance(error, _brevacon.ControllerError) and error.code == 99
    assert str(error).startswith("Epson controller IK query failed for joint 1 (Print PAgl(")
    assert error.reply == "!Execute,99" and error.command == command


def test_connect_and_tandrel_raise_the_documented_classes(
    refusing_port: int, telemetry_peer: TelemetryPeer
) -> None:
    def documented(function: object, error: BaseException) -> bool:
        doc = getattr(function, "__doc__", "") or ""
        return f"    {type(error).__name__}:" in doc[doc.find("Raises:") :]

    for connect in (
        lambda port: _brevacon.Brevacon().connect("127.0.0.1", port, attempts=1),
        lambda port: _tandrel.Tandrel("127.0.0.1", port, telemetry_peer.port, attempts=1),
    ):
        with pytest.raises(_brevacon.ConnectionFailedError) as failed:
            connect(refusing_port)
        peer = FailingPeer("login")
        with pytest.raises(_brevacon.ControllerError) as refused:
            connect(peer.port)
        peer.close()
        assert refused.value.code == 11
        for function in (_brevacon.Brevacon.connect, _tandrel.Tandrel.__init__):
            assert documented(function, failed.value) and documented(function, refused.value)
