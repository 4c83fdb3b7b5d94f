"""Fixtures of the ROS tests: the virtual controller at 250 Hz in a process of its own, a Tandrel
connected to it, and a listener node. Only `make ros2-test` runs these (see ros2_support)."""

from __future__ import annotations

import signal
from collections.abc import Iterator
from typing import Any

import pytest

RATE_HZ = 250.0

# A run started in the background of a non-interactive shell inherits SIGINT ignored; the
# standalone bridge's SIGINT test needs it handled here and, through exec, default in its child.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def pytest_configure(config: pytest.Config) -> None:
    # lark, which rosidl loads to parse message types, imports the deprecated sre_parse and sre_constants.
    config.addinivalue_line("filterwarnings",
                            "ignore:module 'sre_(parse|constants)' is deprecated:DeprecationWarning")


@pytest.fixture
def sim(request: pytest.FixtureRequest) -> Iterator[Any]:
    """Options of the virtual controller come from an indirect parametrisation, if any."""
    from ros2_support import SimProcess

    controller = SimProcess(RATE_HZ, **getattr(request, "param", {}))
    yield controller
    controller.stop()


@pytest.fixture
def robot(sim: Any) -> Iterator[Any]:
    import _brevacon  # noqa: F401 - before _tandrel, which hands out its Brevacon type
    import _tandrel

    with _tandrel.Tandrel(sim.host, sim.port, sim.telemetry_port) as connected:
        yield connected


@pytest.fixture
def listener() -> Iterator[Any]:
    from ros2_support import Listener

    made = Listener()
    yield made
    made.close()
