"""Session behaviour of ``_brevacon.Brevacon`` against the scripted fake controller."""

from __future__ import annotations

import threading
import time

import pytest

import _brevacon
from fake_controller import FakeController, canned

Brevacon = _brevacon.Brevacon
HOST = "127.0.0.1"


def first_doc_line(obj: object) -> str:
    """First line of a docstring, skipping the signature line pybind11 puts before it."""
    doc = obj.__doc__ or ""
    name = getattr(obj, "__name__", "")
    if name and doc.startswith(name + "("):
        doc = doc.split("\n\n", 1)[1] if "\n\n" in doc else ""
    return doc.strip().splitlines()[0] if doc.strip() else ""


@pytest.fixture
def robot():
    client = Brevacon()
    yield client
    client.disconnect()


def test_defaults_on_class_and_instance() -> None:
    client = Brevacon()
    for owner in (Brevacon, client):
        assert owner.default_port == 5000
        assert type(owner.default_port) is int
        assert owner.default_password == ""
        assert type(owner.default_password) is str
    with pytest.raises(AttributeError):
        client.default_port = 1
    with pytest.raises(AttributeError):
        Brevacon.default_password = "x"


def test_new_client_is_disconnected_and_disconnect_is_a_no_op(capfd) -> None:
    client = Brevacon()
    assert client.is_connected() is False
    assert client.is_logged_in() is False
    assert client.disconnect() is None
    assert capfd.readouterr() == ("", "")


def test_connect_logs_in_and_disconnect_logs_out(fake_controller: FakeController, robot, capfd):
    fake_controller.login("pw").logout().expect_close()
    assert robot.connect(HOST, fake_controller.port, "pw") is None
    assert robot.is_connected() is True
    assert robot.is_logged_in() is True
    assert robot.disconnect() is None
    assert robot.is_connected() is False
    assert robot.is_logged_in() is False
    where = f"{HOST}:{fake_controller.port}"
    assert capfd.readouterr() == (f"Connected to {where}\nDisconnected from {where}\n", "")
    fake_controller.verify()
    assert fake_controller.texts == ["$Login,pw", "$Logout"]


def test_connect_takes_keywords_and_defaults_to_empty_password(fake_controller, robot) -> None:
    fake_controller.login("").logout().expect_close()
    robot.connect(host=HOST, port=fake_controller.port)
    assert robot.is_logged_in()
    robot.disconnect()
    signature = Brevacon.connect.__doc__.splitlines()[0]
    assert "= 5000" in signature
    assert "password: str = ''" in signature


@pytest.mark.parametrize(
    ("reply", "message"),
    [
        (canned("login_rejected"), "Remote command failed: !Login,11 (command: $Login,<redacted>)"),
        (
            "!Login,99",
            "Remote command failed: !Login,99 (Epson Remote Ethernet error 99: system error or "
            "communication error; no motion error code was returned) (command: $Login,<redacted>)",
        ),
    ],
)
def test_rejected_login_raises_runtime_error_without_password(
    fake_controller: FakeController, robot, capfd, reply: str, message: str
) -> None:
    fake_controller.expect("$Login,hunter2").reply(reply).expect_close()
    with pytest.raises(RuntimeError) as caught:
        robot.connect(HOST, fake_controller.port, "hunter2")
    assert str(caught.value) == message
    assert not robot.is_connected()
    assert capfd.readouterr() == ("", "")  # no retry line
    fake_controller.verify()
    assert fake_controller.connections == 1


def test_command_without_session_raises_runtime_error(robot) -> None:
    with pytest.raises(RuntimeError, match="^command\\(\\) was called but socket not connected$"):
        robot.reset_controller()


def test_refused_connection_is_retried_as_the_keywords_say(
    refusing_port: int, robot, capfd
) -> None:
    start = time.monotonic()
    with pytest.raises(RuntimeError) as caught:
        robot.connect(HOST, refusing_port, attempts=3, retry_pause=0.25)
    assert time.monotonic() - start >= 0.5
    assert str(caught.value) == (
        "Epson Remote Ethernet login failed after 3 attempts: Failed to connect to "
        f"{HOST}:{refusing_port}: Connection refused"
    )
    retry = "Epson Remote Ethernet login attempt {} failed; retrying in 0.25 seconds\n"
    assert capfd.readouterr().err == retry.format(1) + retry.format(2)
    with pytest.raises(TypeError):
        robot.connect(HOST, refusing_port, "", 1.0)  # keyword-only


def test_connect_options_out_of_range_raise_value_error(fake_controller, robot) -> None:
    timeout = "^attempt_timeout must be more than 0 s and at most 86400 s$"
    pause = "^retry_pause must be at least 0 s and at most 86400 s$"
    cases = [
        ({"attempts": 0}, "^attempts must be at least 1$"),
        ({"attempts": -(2**70)}, "^attempts must be at least 1$"),
        ({"attempts": 2**31}, "^attempts must be at most 2147483647$"),
        ({"attempt_timeout": 0.0}, timeout),
        ({"attempt_timeout": -0.0001}, timeout),
        ({"attempt_timeout": 86400.0001}, timeout),
        ({"attempt_timeout": float("nan")}, timeout),
        ({"attempt_timeout": float("inf")}, timeout),
        ({"retry_pause": -0.0001}, pause),
        ({"retry_pause": 1e300}, pause),
        ({"retry_pause": float("-inf")}, pause),
    ]
    for options, message in cases:
        with pytest.raises(ValueError, match=message):
            robot.connect(HOST, fake_controller.port, **options)
    time.sleep(0.1)
    assert fake_controller.connections == 0
    assert not robot.is_connected()


@pytest.mark.parametrize("password", ["\r", "\n", 'pw\r\n$Execute,"Motor On"'])
def test_password_with_line_ending_raises_value_error(fake_controller, robot, password) -> None:
    with pytest.raises(ValueError, match="^password must not contain line endings$"):
        robot.connect(HOST, fake_controller.port, password)
    time.sleep(0.1)
    assert fake_controller.connections == 0
    assert not robot.is_connected()


@pytest.mark.parametrize("port", [-1, 65536, 2**64, 5000.0, "5000", None])
def test_port_outside_unsigned_16_bit_raises_type_error(fake_controller, robot, port) -> None:
    with pytest.raises(TypeError):
        robot.connect(HOST, port)
    time.sleep(0.1)
    assert fake_controller.connections == 0


def test_connect_releases_the_gil_while_it_waits(fake_controller: FakeController, robot) -> None:
    fake_controller.expect("$Login,").wait(1.0).reply(canned("login_ok")).logout().expect_close()
    worker = threading.Thread(target=robot.connect, args=(HOST, fake_controller.port))
    worker.start()
    try:
        # Reaching this line at all needs the GIL while the worker is inside connect().
        assert fake_controller.wait_for_lines(1)
        ticks = 0
        until = time.monotonic() + 0.2
        while time.monotonic() < until:
            ticks += 1
        assert worker.is_alive()
        assert ticks > 1000
        assert robot.is_connected() is True
        assert robot.is_logged_in() is False
    finally:
        worker.join(10)
    assert robot.is_logged_in() is True


@pytest.mark.parametrize(
    ("member", "first_line"),
    [
        (_brevacon, "Provide Epson Remote Ethernet command access."),
        (Brevacon, "Control an Epson robot through Remote Ethernet."),
        (Brevacon.__init__, "Create a disconnected control interface."),
        (Brevacon.connect, "Connect and log in without turning the motors on."),
        (Brevacon.disconnect, "Restore controller state, log out, and close the socket."),
        (Brevacon.is_connected, "Return whether the command socket is connected."),
        (Brevacon.is_logged_in, "Return whether the Remote Ethernet session is logged in."),
    ],
)
def test_docstring_first_lines(member: object, first_line: str) -> None:
    assert first_doc_line(member) == first_line


# CPython 3.11 hides the docstring of a property subclass whose instances have no __dict__, as
# pybind11's static properties are; the module makes that type read it like `property` does.
@pytest.mark.parametrize(
    ("name", "first_line"),
    [
        ("default_port", "Return the default Remote Ethernet command port."),
        ("default_password", "Return the protocol's default password."),
    ],
)
def test_static_property_docstring_first_lines(name: str, first_line: str) -> None:
    assert first_doc_line(Brevacon.__dict__[name]) == first_line
    assert getattr(Brevacon, name) == getattr(Brevacon(), name)
