"""Fixtures shared by the Python tests: scripted loopback peers for the command client."""

from __future__ import annotations

import signal
from collections.abc import Iterator

import pytest

from fake_controller import FakeController, RefusingPort
from telemetry_peer import TelemetryPeer

# A run started in the background of a non-interactive shell inherits SIGINT ignored, and Python
# then leaves it ignored: the Ctrl-C tests need the interpreter's own handler, here and in the
# children they start (exec resets a handled signal to its default).
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


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
