"""`with` blocks and repr() of the three connection classes, against the virtual controller."""

from __future__ import annotations

import gc
from collections.abc import Iterator
from typing import Any

import pytest

import _brevacon
import _tandrel
from epson_sim import VirtualController

HOST = "127.0.0.1"


@pytest.fixture
def vc() -> Iterator[VirtualController]:
    with VirtualController(port=0, telemetry_port=0) as controller:
        yield controller


def connected(kind: str, vc: VirtualController) -> Any:
    if kind == "Tandrel":
        return _tandrel.Tandrel(HOST, vc.port, vc.telemetry_port)
    if kind == "Brevacon":
        client = _brevacon.Brevacon()
        client.connect(HOST, vc.port)
        return client
    receiver = _tandrel.EthernetReceiveInterface()
    receiver.connect(HOST, vc.telemetry_port)
    return receiver


@pytest.mark.parametrize("kind", ["Brevacon", "EthernetReceiveInterface", "Tandrel"])
def test_with_block_disconnects_also_when_it_raises(vc: VirtualController, kind: str) -> None:
    with connected(kind, vc) as entered:
        assert entered.is_connected()
    assert not entered.is_connected()

    error = KeyError("from the block")
    with pytest.raises(KeyError) as caught:
        with connected(kind, vc) as entered:
            raise error
    assert caught.value is error
    assert not hasattr(error, "__notes__")
    assert not entered.is_connected()


class FailingDisconnect(_brevacon.Brevacon):
    def disconnect(self) -> None:
        super().disconnect()
        raise RuntimeError("socket close failed")


def test_failing_disconnect_never_replaces_the_blocks_exception(vc: VirtualController) -> None:
    with pytest.raises(KeyError, match="from the block") as caught:
        with FailingDisconnect() as client:
            client.connect(HOST, vc.port)
            raise KeyError("from the block")
    assert caught.value.__notes__ == [
        "disconnect() on leaving the with block failed too: RuntimeError: socket close failed"
    ]
    assert not client.is_connected()
    # Without an exception in the block, the failure is the exception.
    with pytest.raises(RuntimeError, match="socket close failed"):
        with FailingDisconnect():
            pass


def test_repr_shows_endpoint_and_state(vc: VirtualController) -> None:
    assert repr(_brevacon.Brevacon()) == "<Brevacon disconnected>"
    assert repr(_tandrel.EthernetReceiveInterface()) == "<EthernetReceiveInterface disconnected>"
    command, telemetry = f"port={vc.port}", f"port={vc.telemetry_port}"
    with _tandrel.Tandrel(HOST, vc.port, vc.telemetry_port) as hardware:
        client, receiver = hardware.get_control_interface(), hardware.get_receive_interface()
        assert repr(hardware) == (
            f"<Tandrel host='127.0.0.1' control_port={vc.port} "
            f"receive_port={vc.telemetry_port} connected=True>"
        )
        assert repr(client) == f"<Brevacon host='127.0.0.1' {command} connected=True>"
        assert repr(receiver) == (
            f"<EthernetReceiveInterface host='127.0.0.1' {telemetry} connected=True>"
        )
    assert repr(client) == f"<Brevacon host='127.0.0.1' {command} connected=False>"
    assert repr(hardware).endswith(" connected=False>")

    with _brevacon.Brevacon() as client:
        client.connect(b"127.0.0.1", vc.port)
        assert repr(client) == f"<Brevacon host='127.0.0.1' {command} connected=True>"


def test_a_new_client_never_shows_an_old_ones_endpoint(vc: VirtualController) -> None:
    with _brevacon.Brevacon() as client:
        client.connect(HOST, vc.port)
    del client
    gc.collect()
    # The freed native object's address is typically reused by the next ones.
    assert {repr(_brevacon.Brevacon()) for _ in range(20)} == {"<Brevacon disconnected>"}


@pytest.mark.parametrize("reachable", [True, False])
def test_a_block_that_lost_its_session_with_the_motors_on_switches_them_off(
    reachable: bool,
) -> None:
    from fake_controller import FakeController

    fake = FakeController(status_reply="#GetStatus,00100000001,0000")  # nothing runs
    try:
        fake.login("pw").respond('$Execute,"Motor On"', "#Execute,0")
        fake.expect('$Execute,"Reset"').close()
        if reachable:
            fake.login("pw").respond("$Abort", "!Abort,20")
            fake.respond('$Execute,"Motor Off"', "#Execute,0").logout()
        with pytest.raises(_brevacon.ConnectionLostError) as lost:
            with _brevacon.Brevacon() as robot:
                robot.connect("127.0.0.1", fake.port, "pw")
                robot.motor_on()
                if not reachable:
                    fake.stop()  # the controller is gone for good
                robot.reset_controller()
        notes = getattr(lost.value, "__notes__", [])
        if reachable:
            assert notes == [f"The session was lost with the motors on: reconnected to "
                             f"127.0.0.1:{fake.port}, wrote $Abort, switched the motors off and "
                             f"logged out"]
            fake.verify()
        else:
            assert len(notes) == 1 and "to switch them off failed" in notes[0]
            assert "pw" not in notes[0]
    finally:
        fake.stop()
