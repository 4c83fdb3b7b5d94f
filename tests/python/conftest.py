"""Fixtures shared by the Python tests: scripted loopback peers for the command client."""

from __future__ import annotations

from collections.abc import Iterator

import pytest

from fake_controller import FakeController, RefusingPort
from telemetry_peer import TelemetryPeer


@pytest.fixture
def fake_controller() -> Iterator[FakeController]:
    """A scripted fake controller on 127.0.0.1; its script is verified when the test passes."""
    fake = FakeController()
    try:
        yield fake
        fake.verify()
    finally:
        fake.stop()


@pytest.fixture
def refusing_port() -> Iterator[int]:
    """A loopback port that refuses connections for the whole test."""
    port = RefusingPort()
    try:
        yield port.port
    finally:
        port.close()


@pytest.fixture
def telemetry_peer() -> Iterator[TelemetryPeer]:
    peer = TelemetryPeer()
    yield peer
    peer.close()
