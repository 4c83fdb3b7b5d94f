"""Failures a program can tell apart by class, and log lines it can route into `logging`."""

from __future__ import annotations

import logging
import subprocess
import sys
import textwrap
import threading

import pytest

import _brevacon
import _tandrel
from fake_controller import FakeController

ERRORS = ("ControllerError", "ConnectionFailedError", "TimeoutError", "ConnectionLostError")


def test_error_classes_are_runtime_errors_shared_by_both_modules() -> None:
    for name in ERRORS:
        cls = getattr(_brevacon, name)
        assert issubclass(cls, RuntimeError) and cls is getattr(_tandrel, name)


def test_refusal_carries_code_command_and_reply(fake_controller: FakeController) -> None:
    fake_controller.login().respond('$Execute,"Motor On"', "!Execute,31")
    # Closed once the query is in, never before: a close racing the client's write would leave
    # its line unread by the script.
    fake_controller.respond('$Execute,"Reset"', "!Execute").expect('$Execute,"Print Power"').close()
    robot = _brevacon.Brevacon()
    robot.connect("127.0.0.1", fake_controller.port)
    with pytest.raises(_brevacon.ControllerError) as refused:
        robot.motor_on()
    assert (refused.value.code, refused.value.command, refused.value.reply) == (
        31, '$Execute,"Motor On"', "!Execute,31")
    assert str(refused.value).startswith("Remote command failed: !Execute,31")
    with pytest.raises(_brevacon.ControllerError) as no_code:
        robot.reset_controller()
    assert no_code.value.code is None
    with pytest.raises(_brevacon.ConnectionLostError, match="^Failed while waiting"):
        robot.get_power_mode()
    assert not robot.is_connected()


def test_connect_failure_is_connection_failed(refusing_port: int) -> None:
    receiver = _tandrel.EthernetReceiveInterface()
    with pytest.raises(_brevacon.ConnectionFailedError, match="^Failed to connect to Epson"):
        receiver.connect("127.0.0.1", refusing_port)


@pytest.fixture
def routed() -> list[logging.LogRecord]:
    """The driver's lines routed to a logger whose records the test reads."""
    records: list[logging.LogRecord] = []
    handler = logging.Handler()
    handler.emit = records.append  # type: ignore[method-assign]
    logger = logging.getLogger("epson.test")
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    logger.propagate = False
    _brevacon.route_log_to_logging(logger)
    yield records
    _brevacon.restore_default_log()
    logger.removeHandler(handler)


def test_lines_reach_the_logger_from_native_threads(
    routed: list[logging.LogRecord], refusing_port: int, capfd: pytest.CaptureFixture[str]
) -> None:
    fakes = [FakeController() for _ in range(5)]
    try:
        for fake in fakes:
            fake.login("s3cret").logout()

        def session(fake: FakeController) -> None:
            robot = _brevacon.Brevacon()
            robot.connect("127.0.0.1", fake.port, "s3cret")  # the GIL is released meanwhile
            robot.disconnect()

        threads = [threading.Thread(target=session, args=(fake,)) for fake in fakes[:4]]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=20)
        messages = sorted((r.levelno, r.getMessage().split(" ")[0]) for r in routed)
        assert messages == [(logging.INFO, "Connected")] * 4 + [(logging.INFO, "Disconnected")] * 4
        assert all("s3cret" not in r.getMessage() for r in routed)

        # _tandrel's own copy of the client logs its retries through the same route.
        with pytest.raises(_brevacon.ConnectionFailedError):
            _tandrel.Tandrel("127.0.0.1", refusing_port, retry_pause=0.05)
        assert [r.levelno for r in routed[8:]] == [logging.ERROR] * 2
        assert capfd.readouterr() == ("", "")  # nothing went to the default streams

        _brevacon.restore_default_log()
        session(fakes[4])
        assert capfd.readouterr().out.startswith("Connected to 127.0.0.1:")
        assert len(routed) == 10
        for fake in fakes:
            fake.verify()
    finally:
        for fake in fakes:
            fake.stop()


def test_interpreter_exit_while_routed_threads_log() -> None:
    script = textwrap.dedent(
        """
        import socket, threading, time, _brevacon
        _brevacon.route_log_to_logging()
        probe = socket.socket(); probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        def retry():
            while True:
                try:
                    _brevacon.Brevacon().connect("127.0.0.1", port, retry_pause=0.1)
                except RuntimeError:
                    pass
        for _ in range(4):
            threading.Thread(target=retry, daemon=True).start()
        time.sleep(0.5)  # each thread logs a retry line every 0.1 s, also while the process exits
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=30,
                          check=False)
    assert done.returncode == 0, done.stderr.decode(errors="replace")


def test_a_bad_logger_is_refused_and_changes_nothing() -> None:
    script = textwrap.dedent(
        """
        import _brevacon
        try:
            _brevacon.route_log_to_logging(42)
        except TypeError as refused:
            print(refused)
        import _tandrel  # the route is unchanged, so the other module still loads
        print(_tandrel.__version__)
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=30,
                          check=False, text=True)
    assert done.returncode == 0, done.stderr
    refusal, version = done.stdout.splitlines()
    assert refusal.startswith("route_log_to_logging() needs a logging.Logger") and "int" in refusal
    assert version == _tandrel.__version__
