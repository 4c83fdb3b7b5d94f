"""Smoke test of the installed wheel, run by a fresh virtual environment's Python from a
directory outside the source tree: the modules and the virtual controller come from the wheel,
and a typed session runs against the virtual controller.

    python smoke.py VERSION     (with typed_usage.py beside it)
"""

from __future__ import annotations

import importlib.metadata
import pathlib
import subprocess
import sys
import sysconfig

import _brevacon
import _tandrel
import epson_sim
from epson_sim import VirtualController

HERE = pathlib.Path(__file__).resolve().parent
BIN = pathlib.Path(sys.executable).parent


def main(version: str) -> None:
    site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
    for module in (_brevacon, _tandrel, epson_sim):
        where = pathlib.Path(module.__file__ or "").resolve()
        assert site in where.parents, f"{module.__name__} imported from {where}"
    assert importlib.metadata.version("epson-driver") == version
    for module in (_brevacon, _tandrel):
        print(f"{module.__name__}.__version__ = {module.__version__}")
        assert module.__version__ == version

    shown = subprocess.run([str(BIN / "epson-virtual-controller"), "--help"], check=True,
                           capture_output=True, text=True, timeout=30).stdout
    assert "--telemetry-port" in shown, shown
    print("epson-virtual-controller --help: ok")
    shown = subprocess.run([str(BIN / "epson-plot"), "--help"], check=True, capture_output=True,
                           text=True, timeout=30).stdout
    assert "RECORDING" in shown.upper(), shown
    print("epson-plot --help: ok")
    shown = subprocess.run([str(BIN / "epson-check"), "--help"], check=True, capture_output=True,
                           text=True, timeout=30).stdout
    assert "--telemetry-port" in shown and "--json" in shown, shown
    print("epson-check --help: ok")
    # The core wheel needs no ROS: the bridge is there, and says which extra brings rclpy. A
    # ROS install on the path must not count here, so rclpy is blocked rather than assumed absent.
    assert (BIN / "epson-ros2-bridge").exists()
    blocked = subprocess.run(
        [sys.executable, "-c", "import sys; sys.modules['rclpy'] = None; import epson_ros2"],
        capture_output=True, text=True, timeout=30, check=False)
    assert blocked.returncode != 0 and "epson-driver[ros2]" in blocked.stderr, blocked.stderr
    print("import epson_ros2 without rclpy: names the ros2 extra")

    with VirtualController(port=0, telemetry_port=0) as vc:
        checked = subprocess.run(
            [str(BIN / "epson-check"), "127.0.0.1", "--port", str(vc.port), "--telemetry-port",
             str(vc.telemetry_port), "--seconds", "0.5", "--json"],
            capture_output=True, text=True, timeout=60, check=False)
        session = subprocess.run(
            [sys.executable, str(HERE / "typed_usage.py"), "127.0.0.1", str(vc.port),
             str(vc.telemetry_port)],
            capture_output=True, text=True, timeout=60, check=False)
    assert checked.returncode == 0 and '"ok": true' in checked.stdout, checked.stdout
    print("epson-check against the virtual controller: ready for motion")
    assert session.returncode == 0, session.stdout + session.stderr
    print(session.stdout, end="")


if __name__ == "__main__":
    main(sys.argv[1])
