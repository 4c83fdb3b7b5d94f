"""The ROS bridge outside ROS: importing it without rclpy says how to get it, and the extra and
the test requirements pin the same ROS wheels. Nothing here loads rclpy (tests/ros2 does, inside
a private network namespace)."""

from __future__ import annotations

import pathlib
import re
import subprocess
import sys
import tomllib

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_import_without_rclpy_names_the_extra() -> None:
    # Blocked rather than assumed absent, so a ROS install on this machine cannot load it.
    blocked = subprocess.run(
        [sys.executable, "-c", "import sys; sys.modules['rclpy'] = None; import epson_ros2"],
        capture_output=True, text=True, timeout=60, check=False,
        env={"PYTHONPATH": str(ROOT / "python")})
    assert blocked.returncode == 1
    last = blocked.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: epson_ros2 needs ROS 2 Jazzy"), last
    assert "pip install 'epson-driver[ros2]'" in last
    assert "rclpy" in last


def test_the_extra_pins_what_the_tests_install() -> None:
    extra = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"][
        "optional-dependencies"]["ros2"]
    pinned = [line for line in (ROOT / "requirements-ros2.txt").read_text().splitlines()
              if line and not line.startswith("#")]
    assert sorted(extra) == sorted(pinned)
    assert all(re.fullmatch(r"ros-jazzy-[a-z-]+==[0-9.]+", pin) for pin in pinned), pinned
