"""The native example links the static libraries and runs a whole session against the virtual
controller, so native callers have a working starting point."""

from __future__ import annotations

import pathlib
import subprocess

import _brevacon
import pytest
from epson_sim import VirtualController

# The example is built beside the modules in the same CMake tree (not by a wheel build).
EXAMPLE = pathlib.Path(_brevacon.__file__).resolve().parents[1] / "examples" / "native_session"


@pytest.mark.skipif(not EXAMPLE.exists(), reason="native examples are not built in this tree")
def test_native_session_against_virtual_controller() -> None:
    with VirtualController(port=0, telemetry_port=0) as vc:
        done = subprocess.run(
            [str(EXAMPLE), "127.0.0.1", str(vc.port), str(vc.telemetry_port)],
            capture_output=True,
            text=True,
            timeout=30,
            check=False,
        )
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == f"Connected to 127.0.0.1:{vc.port}"
    assert lines[-1] == f"Disconnected from 127.0.0.1:{vc.port}"
    assert any(line.startswith("emergency_stopped  0") for line in lines)
    assert any(line.startswith("sample J1 ") for line in lines)


def test_native_example_usage() -> None:
    if not EXAMPLE.exists():
        pytest.skip("native examples are not built in this tree")
    done = subprocess.run([str(EXAMPLE)], capture_output=True, text=True, timeout=10, check=False)
    assert done.returncode == 2
    assert "usage:" in done.stderr
