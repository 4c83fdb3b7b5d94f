"""The `_tandrel` module against in-process loopback stand-ins for a controller."""

from __future__ import annotations

import gc
import socket
import threading
import time
from collections.abc import Iterator

import pytest

import _brevacon
import _tandrel

FULL_SAMPLE = (
    b"X=1;Y=2;Z=3;U=4;V=5;W=6;J1agl=11;J2agl=12;J3agl=13;J4agl=14;J5agl=15;J6agl=16\r\n"
)
READINESS_MESSAGE = (
    "Connected to the Epson telemetry port, but no complete six-axis sample was received "
    "within 2 seconds. Check that the controller Background Task is running and continuously "
    "writing all X-W and J1-J6 angle fields."
)


def _listener() -> socket.socket:
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    server.settimeout(0.05)
    return server


class _Peer:
    """Accepts loopback connections on a thread and serves each with `serve`."""

    def __init__(self) -> None:
        self._server = _listener()
        self.port: int = self._server.getsockname()[1]
        self.stopped = threading.Event()
        self._threads: list[threading.Thread] = []
        self._accepter = threading.Thread(target=self._accept_loop, daemon=True)
        self._accepter.start()

    def _accept_loop(self) -> None:
        while not self.stopped.is_set():
            try:
                conn, _ = self._server.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            conn.settimeout(0.05)
            worker = threading.Thread(target=self._serve_and_close, args=(conn,), daemon=True)
            self._threads.append(worker)
            worker.start()

    def _serve_and_close(self, conn: socket.socket) -> None:
        with conn:
            try:
                self.serve(conn)
            except OSError:
                pass

    def serve(self, conn: socket.socket) -> None:
        raise NotImplementedError

    def close(self) -> None:
        self.stopped.set()
        self._accepter.join(timeout=5)
        for worker in self._threads:
            worker.join(timeout=5)
        self._server.close()


class CommandPeer(_Peer):
    """Answers the Remote Ethernet command lines a Tandrel session sends."""

    def __init__(self, login_reply: str = "#Login", motion_seconds: float = 0.0) -> None:
        self.login_reply = login_reply
        self.motion_seconds = motion_seconds
        self.lines: list[str] = []
        self._lock = threading.Lock()
        super().__init__()

    def texts(self) -> list[str]:
        with self._lock:
            return list(self.lines)

    def _reply_for(self, line: str) -> str:
        if line.startswith("$Login,"):
            return self.login_reply
        if line == "$Logout":
            return "#Logout"
        if line.startswith('$Execute,"Go '):
            self.stopped.wait(self.motion_seconds)
        return "#Execute"

    def serve(self, conn: socket.socket) -> None:
        buffer = b""
        while not self.stopped.is_set():
            try:
                chunk = conn.recv(4096)
            except TimeoutError:
                continue
            if not chunk:
                return
            buffer += chunk
            while b"\r\n" in buffer:
                raw, buffer = buffer.split(b"\r\n", 1)
                line = raw.decode()
                with self._lock:
                    self.lines.append(line)
                conn.sendall(self._reply_for(line).encode() + b"\r\n")


class TelemetryPeer(_Peer):
    """Pushes `packet` every 20 ms to each connection; pushes nothing when it is empty."""

    def __init__(self, packet: bytes = FULL_SAMPLE) -> None:
        self.packet = packet
        super().__init__()

    def serve(self, conn: socket.socket) -> None:
        while not self.stopped.wait(0.02):
            if self.packet:
                conn.sendall(self.packet)


@pytest.fixture
def command_peer() -> Iterator[CommandPeer]:
    peer = CommandPeer()
    yield peer
    peer.close()


@pytest.fixture
def telemetry_peer() -> Iterator[TelemetryPeer]:
    peer = TelemetryPeer()
    yield peer
    peer.close()


def _wait_for(predicate, timeout: float = 3.0) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


@pytest.fixture
def hardware(command_peer: CommandPeer, telemetry_peer: TelemetryPeer) -> Iterator[_tandrel.Tandrel]:
    tandrel = _tandrel.Tandrel("127.0.0.1", command_peer.port, telemetry_peer.port)
    yield tandrel
    tandrel.disconnect()


# --- Module surface ---------------------------------------------------------------------------


def test_module_and_class_docstrings() -> None:
    assert _tandrel.__doc__ == (
        "Provide combined ownership of Epson hardware connections.\n\n"
        "``Tandrel`` opens and closes the command and telemetry\ninterfaces as one unit.\n"
    )
    assert _tandrel.Tandrel.__doc__.startswith(
        "Own the Epson command and telemetry connections together.\n\n"
    )
    assert "Ethernet credential is managed privately by the native hardware layer." in (
        _tandrel.Tandrel.__doc__
    )


def test_constructor_defaults_are_5000_and_2000() -> None:
    signature = _tandrel.Tandrel.__init__.__doc__.splitlines()[0]
    assert "control_port: typing.SupportsInt | typing.SupportsIndex = 5000" in signature
    assert "receive_port: typing.SupportsInt | typing.SupportsIndex = 2000" in signature


@pytest.mark.parametrize(
    "args",
    [("127.0.0.1", 65536), ("127.0.0.1", -1), ("127.0.0.1", 5000, 70000), (5,)],
    ids=["control-too-big", "control-negative", "receive-too-big", "host-not-text"],
)
def test_bad_arguments_raise_type_error_before_any_connection(args: tuple) -> None:
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        _tandrel.Tandrel(*args)


def test_telemetry_sample_cannot_be_built_from_python() -> None:
    with pytest.raises(TypeError):
        _tandrel.TelemetrySample()


# --- Tandrel against the stand-ins --------------------------------------------------------------


@pytest.mark.parametrize("host", ["127.0.0.1", b"127.0.0.1", bytearray(b"127.0.0.1")])
def test_host_accepts_str_bytes_and_bytearray(
    host: object, command_peer: CommandPeer, telemetry_peer: TelemetryPeer
) -> None:
    tandrel = _tandrel.Tandrel(host, command_peer.port, telemetry_peer.port)
    assert tandrel.is_connected()
    tandrel.disconnect()
    assert not tandrel.is_connected()


def test_login_uses_three_printable_characters_never_shown(
    hardware: _tandrel.Tandrel, command_peer: CommandPeer
) -> None:
    login = command_peer.texts()[0]
    assert login.startswith("$Login,")
    password = login[len("$Login,"):]
    assert len(password) == 3 and password.isprintable() and password.isascii()
    assert password not in (_tandrel.Tandrel.__doc__ or "")
    assert not any(password in name for name in dir(hardware))


def test_control_interface_is_a_shared_brevacon(
    hardware: _tandrel.Tandrel, command_peer: CommandPeer
) -> None:
    robot = hardware.get_control_interface()
    assert isinstance(robot, _brevacon.Brevacon)
    assert hardware.get_control_interface() is robot
    assert robot.is_logged_in()
    robot.reset_controller()
    assert '$Execute,"Reset"' in command_peer.texts()


def test_control_interface_outlives_disconnect_and_tandrel(
    command_peer: CommandPeer, telemetry_peer: TelemetryPeer
) -> None:
    tandrel = _tandrel.Tandrel("127.0.0.1", command_peer.port, telemetry_peer.port)
    robot = tandrel.get_control_interface()
    receiver = tandrel.get_receive_interface()
    tandrel.disconnect()
    assert not robot.is_connected() and not tandrel.is_connected()
    assert command_peer.texts()[-1] == "$Logout"
    del tandrel
    gc.collect()
    # Both clients are still usable objects, disconnected, with the last sample readable.
    assert not robot.is_logged_in()
    assert receiver.get_sample().pose == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
    robot.disconnect()


def test_receive_interface_is_shared_and_same_object(hardware: _tandrel.Tandrel) -> None:
    receiver = hardware.get_receive_interface()
    assert isinstance(receiver, _tandrel.EthernetReceiveInterface)
    assert hardware.get_receive_interface() is receiver
    assert receiver.is_connected()
    assert receiver.get_sample().joints == [11.0, 12.0, 13.0, 14.0, 15.0, 16.0]


def test_second_disconnect_is_quiet(hardware: _tandrel.Tandrel) -> None:
    hardware.disconnect()
    hardware.disconnect()
    assert not hardware.is_connected()


def test_dropping_last_reference_logs_out_promptly(
    command_peer: CommandPeer, telemetry_peer: TelemetryPeer
) -> None:
    tandrel = _tandrel.Tandrel("127.0.0.1", command_peer.port, telemetry_peer.port)
    start = time.monotonic()
    del tandrel
    gc.collect()
    # The stand-in answers from a Python thread: with the interpreter lock held during the
    # destructor the logout would wait for its 5 s reply deadline.
    assert time.monotonic() - start < 2.0
    assert command_peer.texts()[-1] == "$Logout"


def test_dropping_last_receiver_reference_joins_promptly(
    command_peer: CommandPeer, telemetry_peer: TelemetryPeer
) -> None:
    tandrel = _tandrel.Tandrel("127.0.0.1", command_peer.port, telemetry_peer.port)
    receiver = tandrel.get_receive_interface()
    del tandrel
    gc.collect()
    start = time.monotonic()
    del receiver
    gc.collect()
    assert time.monotonic() - start < 1.0


@pytest.mark.slow
def test_missing_telemetry_fails_with_readiness_message_and_logs_out(
    command_peer: CommandPeer,
) -> None:
    silent = TelemetryPeer(packet=b"")
    try:
        start = time.monotonic()
        with pytest.raises(RuntimeError) as failure:
            _tandrel.Tandrel("127.0.0.1", command_peer.port, silent.port)
        assert str(failure.value) == READINESS_MESSAGE
        assert 1.9 < time.monotonic() - start < 4.0
        assert command_peer.texts()[-1] == "$Logout"
    finally:
        silent.close()


def test_rejected_login_propagates_controller_error(telemetry_peer: TelemetryPeer) -> None:
    refusing = CommandPeer(login_reply="!Login,11")
    try:
        with pytest.raises(RuntimeError, match=r"^Remote command failed: .*\$Login,<redacted>"):
            _tandrel.Tandrel("127.0.0.1", refusing.port, telemetry_peer.port)
    finally:
        refusing.close()


def test_construction_releases_the_gil(
    command_peer: CommandPeer, telemetry_peer: TelemetryPeer
) -> None:
    ticks = 0
    done = threading.Event()

    def tick() -> None:
        nonlocal ticks
        while not done.is_set():
            ticks += 1
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        # The stand-in delays nothing, so the receiver's wait for the first 20 ms push is
        # the longest native stretch; the ticker must run during it.
        tandrel = _tandrel.Tandrel("127.0.0.1", command_peer.port, telemetry_peer.port)
    finally:
        done.set()
        ticker.join()
    tandrel.disconnect()
    assert ticks > 0


def test_sample_polling_continues_during_a_motion(telemetry_peer: TelemetryPeer) -> None:
    slow_motion = CommandPeer(motion_seconds=0.5)
    try:
        tandrel = _tandrel.Tandrel("127.0.0.1", slow_motion.port, telemetry_peer.port)
        robot = tandrel.get_control_interface()
        receiver = tandrel.get_receive_interface()
        motion = threading.Thread(
            target=robot.go, args=("P1", False, False, None, None, None, False)
        )
        motion.start()
        assert _wait_for(lambda: any("Go P1" in t for t in slow_motion.texts()))
        polls = 0
        while motion.is_alive() and polls < 100_000:
            assert receiver.get_sample().pose[0] == 1.0
            polls += 1
        motion.join(timeout=5)
        assert polls > 10
        tandrel.disconnect()
    finally:
        slow_motion.close()


# --- The receiver on its own ------------------------------------------------------------------


def test_receiver_reads_before_connect() -> None:
    receiver = _tandrel.EthernetReceiveInterface()
    assert not receiver.has_sample() and not receiver.has_controller_status()
    assert receiver.sample_age_seconds() == float("inf")
    assert receiver.controller_status_age_seconds() == float("inf")
    with pytest.raises(RuntimeError, match="^No complete Epson telemetry sample has been received$"):
        receiver.get_sample()
    with pytest.raises(RuntimeError, match="^No Epson controller-status packet has been received$"):
        receiver.get_controller_status()
    receiver.disconnect()


def test_receiver_sample_and_status(telemetry_peer: TelemetryPeer) -> None:
    telemetry_peer.packet = (
        FULL_SAMPLE + b"STAT=524288;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=256\r"
    )
    receiver = _tandrel.EthernetReceiveInterface()
    receiver.connect("127.0.0.1", port=telemetry_peer.port)
    sample = receiver.get_sample()
    assert sample.joints == [11.0, 12.0, 13.0, 14.0, 15.0, 16.0]
    assert repr(sample) == (
        "TelemetrySample(joints=[11.0, 12.0, 13.0, 14.0, 15.0, 16.0], "
        "pose=[1.0, 2.0, 3.0, 4.0, 5.0, 6.0])"
    )
    with pytest.raises(AttributeError):
        sample.pose = [0.0] * 6  # type: ignore[misc]
    assert 0.0 <= receiver.sample_age_seconds() < 1.0
    assert _wait_for(receiver.has_controller_status)
    status = receiver.get_controller_status()
    assert status["teach_mode"] == 1 and status["emergency_stopped"] == 1
    assert status["safeguard_open"] == 0
    receiver.disconnect()
    assert not receiver.is_connected()
    assert receiver.get_sample().pose[5] == 6.0


def test_receiver_refused_port() -> None:
    placeholder = socket.socket()
    placeholder.bind(("127.0.0.1", 0))  # bound, not listening: connections are refused
    try:
        port = placeholder.getsockname()[1]
        receiver = _tandrel.EthernetReceiveInterface()
        with pytest.raises(RuntimeError, match=f"^Failed to connect to Epson telemetry at 127.0.0.1:{port}: "):
            receiver.connect("127.0.0.1", port)
        assert not receiver.is_connected()
    finally:
        placeholder.close()
