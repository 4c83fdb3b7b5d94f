"""The native example links the static libraries and runs a whole session against the virtual
controller, so native callers have a working starting point.

By default the example built beside the modules in the same CMake tree is run (a wheel build
has none). `make consumer-check` names the one an outside CMake project built in
EPSON_NATIVE_SESSION; then a missing program is a failure, not a skip.
"""

from __future__ import annotations

import os
import pathlib
import subprocess

import pytest
from epson_sim import VirtualController


def example() -> pathlib.Path:
    named = os.environ.get("EPSON_NATIVE_SESSION")
    if named:
        return pathlib.Path(named)
    import _brevacon

    built = pathlib.Path(_brevacon.__file__).resolve().parents[1] / "examples" / "native_session"
    if not built.exists():
        pytest.skip("native examples are not built in this tree")
    return built


def test_native_session_against_virtual_controller() -> None:
    program = example()
    with VirtualController(port=0, telemetry_port=0) as vc:
        done = subprocess.run(
            [str(program), "127.0.0.1", str(vc.port), str(vc.telemetry_port)],
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
    done = subprocess.run([str(example())], capture_output=True, text=True, timeout=10, check=False)
    assert done.returncode == 2
    assert "usage:" in done.stderr
