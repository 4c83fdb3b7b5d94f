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
from fake_controller import FakeController, canned
from telemetry_peer import FULL_SAMPLE, TelemetryPeer

READINESS_MESSAGE = (
    "Connected to the Epson telemetry port, but no complete six-axis sample was received "
    "within 2 seconds. Check that the controller Background Task is running and continuously "
    "writing all X-W and J1-J6 angle fields."
)


def _wait_for(predicate, timeout: float = 3.0) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


def _session(fake: FakeController, *middle: tuple[str, str]) -> FakeController:
    """Scripts a login with the built-in password, `middle` exchanges, then logout and close."""
    fake.expect_prefix("$Login,").reply(canned("login_ok"))
    for line, reply in middle:
        fake.respond(line, reply)
    return fake.logout().expect_close()


@pytest.fixture
def hardware(
    fake_controller: FakeController, telemetry_peer: TelemetryPeer
) -> Iterator[_tandrel.Tandrel]:
    _session(fake_controller)
    tandrel = _tandrel.Tandrel("127.0.0.1", fake_controller.port, telemetry_peer.port)
    yield tandrel
    tandrel.disconnect()


# --- Module surface ---------------------------------------------------------------------------


def test_constructor_defaults_are_5000_and_2000() -> None:
    signature = _tandrel.Tandrel.__init__.__doc__.splitlines()[0]
    assert "control_port: typing.SupportsInt | typing.SupportsIndex = 5000" in signature
    assert "receive_port: typing.SupportsInt | typing.SupportsIndex = 2000" in signature


def test_connect_keywords_reach_the_command_client(
    refusing_port: int, telemetry_peer: TelemetryPeer, capfd
) -> None:
    with pytest.raises(ValueError, match="^attempts must be at least 1$"):
        _tandrel.Tandrel("127.0.0.1", refusing_port, telemetry_peer.port, attempts=0)
    with pytest.raises(_brevacon.ConnectionFailedError, match="failed after 1 attempt: "):
        _tandrel.Tandrel(
            "127.0.0.1", refusing_port, telemetry_peer.port, attempt_timeout=0.5, attempts=1
        )
    assert capfd.readouterr().err == ""  # no retry line


@pytest.mark.parametrize(
    "args",
    [("127.0.0.1", 65536), ("127.0.0.1", -1), ("127.0.0.1", 5000, 70000), (5,)],
    ids=["control-too-big", "control-negative", "receive-too-big", "host-not-text"],
)
def test_bad_arguments_raise_type_error_before_any_connection(args: tuple) -> None:
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        _tandrel.Tandrel(*args)


# --- Tandrel against the stand-ins --------------------------------------------------------------


@pytest.mark.parametrize("host", ["127.0.0.1", b"127.0.0.1", bytearray(b"127.0.0.1")])
def test_host_accepts_str_bytes_and_bytearray(
    host: object, fake_controller: FakeController, telemetry_peer: TelemetryPeer
) -> None:
    _session(fake_controller)
    tandrel = _tandrel.Tandrel(host, fake_controller.port, telemetry_peer.port)
    assert tandrel.is_connected()
    tandrel.disconnect()
    assert not tandrel.is_connected()


def test_login_uses_three_printable_characters_never_shown(
    hardware: _tandrel.Tandrel, fake_controller: FakeController
) -> None:
    login = fake_controller.texts[0]
    password = login[len("$Login,"):]
    assert len(password) == 3 and password.isprintable() and password.isascii()
    assert password not in (_tandrel.Tandrel.__doc__ or "")
    assert not any(password in name for name in dir(hardware))


def test_control_interface_is_a_shared_brevacon(
    fake_controller: FakeController, telemetry_peer: TelemetryPeer
) -> None:
    _session(fake_controller, ('$Execute,"Reset"', canned("execute_ok")))
    tandrel = _tandrel.Tandrel("127.0.0.1", fake_controller.port, telemetry_peer.port)
    robot = tandrel.get_control_interface()
    assert isinstance(robot, _brevacon.Brevacon)
    assert tandrel.get_control_interface() is robot
    assert robot.is_logged_in()
    robot.reset_controller()
    tandrel.disconnect()


def test_control_interface_outlives_disconnect_and_tandrel(
    hardware: _tandrel.Tandrel, fake_controller: FakeController
) -> None:
    robot = hardware.get_control_interface()
    receiver = hardware.get_receive_interface()
    hardware.disconnect()
    assert not robot.is_connected() and not hardware.is_connected()
    assert fake_controller.texts[-1] == "$Logout"
    del hardware
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
    fake_controller: FakeController, telemetry_peer: TelemetryPeer
) -> None:
    _session(fake_controller)
    tandrel = _tandrel.Tandrel("127.0.0.1", fake_controller.port, telemetry_peer.port)
    start = time.monotonic()
    del tandrel
    gc.collect()
    # The fake answers from a Python thread: with the interpreter lock held during the
    # destructor the logout would wait for its 5 s reply deadline.
    assert time.monotonic() - start < 2.0
    assert fake_controller.texts[-1] == "$Logout"


def test_dropping_last_receiver_reference_joins_promptly(
    hardware: _tandrel.Tandrel,
) -> None:
    receiver = hardware.get_receive_interface()
    hardware.disconnect()
    del hardware
    gc.collect()
    start = time.monotonic()
    del receiver
    gc.collect()
    assert time.monotonic() - start < 1.0


@pytest.mark.slow
def test_missing_telemetry_fails_with_readiness_message_and_logs_out(
    fake_controller: FakeController,
) -> None:
    _session(fake_controller)
    silent = TelemetryPeer(packet=b"")
    try:
        start = time.monotonic()
        with pytest.raises(RuntimeError) as failure:
            _tandrel.Tandrel("127.0.0.1", fake_controller.port, silent.port)
        assert str(failure.value) == READINESS_MESSAGE
        assert 1.9 < time.monotonic() - start < 4.0
        assert fake_controller.texts[-1] == "$Logout"
    finally:
        silent.close()


def test_rejected_login_propagates_controller_error(
    fake_controller: FakeController, telemetry_peer: TelemetryPeer
) -> None:
    fake_controller.expect_prefix("$Login,").reply(canned("login_rejected")).expect_close()
    with pytest.raises(RuntimeError, match=r"^Remote command failed: .*\$Login,<redacted>"):
        _tandrel.Tandrel("127.0.0.1", fake_controller.port, telemetry_peer.port)


@pytest.mark.parametrize("password", ["s3cret pw", "wrong", None], ids=["right", "wrong", "none"])
def test_password_logs_in_to_a_controller_that_has_one(password: str | None) -> None:
    from epson_sim import VirtualController

    with VirtualController(port=0, telemetry_port=0, password="s3cret pw") as vc:
        if password == "s3cret pw":
            with _tandrel.Tandrel("127.0.0.1", vc.port, vc.telemetry_port,
                                  password=password) as hardware:
                assert hardware.get_control_interface().is_logged_in()
                assert "s3cret" not in repr(hardware)
            return
        with pytest.raises(_brevacon.ControllerError) as refused:
            _tandrel.Tandrel("127.0.0.1", vc.port, vc.telemetry_port, password=password)
        assert refused.value.code == 13
        assert str(refused.value).startswith("The Epson controller refused the password")
        assert refused.value.command == "$Login,<redacted>"
        assert "wrong" not in str(refused.value)


def test_password_with_a_line_ending_opens_nothing(
    fake_controller: FakeController, telemetry_peer: TelemetryPeer
) -> None:
    with pytest.raises(ValueError, match="line ending"):
        _tandrel.Tandrel("127.0.0.1", fake_controller.port, telemetry_peer.port,
                         password="pw\r\n$Logout")
    time.sleep(0.1)
    assert fake_controller.connections == 0


def test_construction_releases_the_gil(
    fake_controller: FakeController, telemetry_peer: TelemetryPeer
) -> None:
    _session(fake_controller)
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
        # The receiver waits for the first 20 ms push; the ticker must run during it.
        tandrel = _tandrel.Tandrel("127.0.0.1", fake_controller.port, telemetry_peer.port)
    finally:
        done.set()
        ticker.join()
    tandrel.disconnect()
    assert ticks > 0


def test_sample_polling_continues_during_a_motion(
    fake_controller: FakeController, telemetry_peer: TelemetryPeer
) -> None:
    fake_controller.expect_prefix("$Login,").reply(canned("login_ok"))
    fake_controller.expect('$Execute,"Go P1"').wait(0.5).reply(canned("execute_ok"))
    fake_controller.logout().expect_close()
    tandrel = _tandrel.Tandrel("127.0.0.1", fake_controller.port, telemetry_peer.port)
    robot = tandrel.get_control_interface()
    receiver = tandrel.get_receive_interface()
    motion = threading.Thread(target=robot.go, args=("P1", False, False, None, None, None, False))
    motion.start()
    assert fake_controller.wait_for_lines(2, timeout=3.0)
    polls = 0
    while motion.is_alive() and polls < 100_000:
        assert receiver.get_sample().pose[0] == 1.0
        polls += 1
    motion.join(timeout=5)
    assert polls > 10
    tandrel.disconnect()


# --- The receiver on its own ------------------------------------------------------------------


def test_receiver_reads_before_connect() -> None:
    receiver = _tandrel.EthernetReceiveInterface()
    assert not receiver.has_sample() and not receiver.has_controller_status()
    assert receiver.sample_age_seconds() == float("inf")
    assert receiver.controller_status_age_seconds() == float("inf")
    no_sample = "^No complete Epson telemetry sample has been received$"
    with pytest.raises(RuntimeError, match=no_sample):
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


def test_tandrel_alone_imports_what_its_control_interface_needs() -> None:
    import os
    import subprocess
    import sys

    program = (
        "import sys, _tandrel\n"
        "from epson_sim.controller import VirtualController\n"
        "with VirtualController() as vc, _tandrel.Tandrel('127.0.0.1', vc.port, vc.telemetry_port)"
        " as robot:\n"
        "    found = type(robot.get_control_interface()).__module__, '_brevacon' in sys.modules\n"
        "print('found', *found)\n"
    )
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True,
                          timeout=60, env=dict(os.environ), check=True)
    assert "found _brevacon True" in done.stdout.splitlines()
