"""What a host process and a hostile peer cannot change: numbers under a decimal-comma locale,
and failures that stay RuntimeError with valid text whatever bytes the controller sends."""

from __future__ import annotations

import locale
from collections.abc import Iterator

import pytest

import _brevacon
import _tandrel
from fake_controller import FakeController
from telemetry_peer import FULL_SAMPLE, TelemetryPeer


@pytest.fixture
def decimal_comma() -> Iterator[None]:
    """Switches the process to a decimal-comma locale, as Qt or an application may."""
    saved = locale.setlocale(locale.LC_ALL)
    try:
        locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
    except locale.Error:
        pytest.skip("no de_DE.UTF-8 locale installed")
    try:
        assert locale.localeconv()["decimal_point"] == ","
        yield
    finally:
        locale.setlocale(locale.LC_ALL, saved)


@pytest.mark.usefixtures("decimal_comma")
def test_numbers_ignore_a_decimal_comma_locale(fake_controller: FakeController) -> None:
    peer = TelemetryPeer(FULL_SAMPLE.replace(b"J1agl=11", b"J1agl=10.25"))
    receiver = _tandrel.EthernetReceiveInterface()
    try:
        receiver.connect("127.0.0.1", peer.port)
        assert receiver.get_sample().joints[0] == 10.25
    finally:
        receiver.disconnect()
        peer.close()

    fake_controller.login()
    fake_controller.respond('$Execute,"SpeedS 0.50000000000000000"', "#Execute")
    fake_controller.respond('$Execute,"Move P2"', "#Execute")
    fake_controller.respond('$Execute,"Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),'
                            'CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),CW(Here)"',
                            '#Execute,"0.5,1,2,3,4,5,6,7,8,9,10,11.25"')
    robot = _brevacon.Brevacon()
    robot.connect("127.0.0.1", fake_controller.port)
    robot.move("P2", False, False, False, None, None, False, speed_mm_s=0.5)
    state = robot.get_state()
    assert state["joint_positions"][0] == 0.5 and state["tcp_pose"][5] == 11.25


def test_bytes_that_are_not_utf8_stay_runtime_errors(fake_controller: FakeController) -> None:
    fake_controller.login()
    fake_controller.respond('$Execute,"Motor On"', "!Execute,2,\xff\x00tail")
    fake_controller.respond('$Execute,"Print Tool"', '#Execute,"\xc3("')
    robot = _brevacon.Brevacon()
    robot.connect("127.0.0.1", fake_controller.port)
    with pytest.raises(RuntimeError) as refused:
        robot.motor_on()
    assert str(refused.value) == (
        'Remote command failed: !Execute,2,\\xff\\x00tail (command: $Execute,"Motor On")'
    )
    assert robot.motor_on_error() == str(refused.value)
    with pytest.raises(RuntimeError, match=r'integer: "\\xc3\("$'):
        robot.get_tool()
