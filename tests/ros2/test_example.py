"""examples/ros2_attach.py runs its motions with the bridge attached, against the virtual
controller it starts."""

from __future__ import annotations

import pathlib
import subprocess
import sys

import ros2_support  # noqa: F401 - skips this module outside the namespace or without rclpy

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "ros2_attach.py"


def test_example_runs_its_cycle() -> None:
    run = subprocess.run([sys.executable, str(EXAMPLE), "--cycles", "1", "--speed", "100"],
                         capture_output=True, text=True, timeout=60, check=False)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "cycle 1:" in run.stdout and "samples published" in run.stdout, run.stdout
