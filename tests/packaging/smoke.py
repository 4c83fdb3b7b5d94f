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

    with VirtualController(port=0, telemetry_port=0) as vc:
        session = subprocess.run(
            [sys.executable, str(HERE / "typed_usage.py"), "127.0.0.1", str(vc.port),
             str(vc.telemetry_port)],
            capture_output=True, text=True, timeout=60, check=False)
    assert session.returncode == 0, session.stdout + session.stderr
    print(session.stdout, end="")


if __name__ == "__main__":
    main(sys.argv[1])
