"""Shared start-up of the examples: a real controller (--host) or the virtual one on loopback.

Typed for `mypy --strict`, as the typed examples import it.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import selectors
import subprocess
import sys
import time
from types import ModuleType
from typing import TYPE_CHECKING, Iterator, Optional, Tuple

if TYPE_CHECKING:
    import _tandrel

VIRTUAL_HOST = "127.0.0.1"


def parser(description: str) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--host", help="controller address; without it a virtual controller is "
                                  "started on loopback")
    p.add_argument("--port", type=int, default=5000, help="command port (with --host)")
    p.add_argument("--telemetry-port", type=int, default=2000, help="telemetry port (with --host)")
    return p


class VirtualControllerProcess:
    """The virtual controller as a child process on free loopback ports, or on given ones (where
    a restarted controller comes back); gripper wires one ("OUTPUT,INPUT,SECONDS", its --gripper
    option); password is the one its logins need (its --password option)."""

    def __init__(self, rate_hz: float = 100.0, gripper: Optional[str] = None, port: int = 0,
                 telemetry_port: int = 0, execute_accepts_pause: bool = False,
                 password: Optional[str] = None) -> None:
        self.execute_accepts_pause = execute_accepts_pause
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "epson_sim", "--host", VIRTUAL_HOST, "--port", str(port),
             "--telemetry-port", str(telemetry_port), "--rate", str(rate_hz)]
            + (["--gripper", gripper] if gripper else [])
            + (["--execute-accepts-pause"] if execute_accepts_pause else [])
            + (["--password", password] if password is not None else []),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        assert self.proc.stdin is not None and self.proc.stdout is not None  # both are pipes
        self._stdin = self.proc.stdin
        self._stdout = self.proc.stdout
        line = ""
        try:
            line = self._read_line(timeout=10.0)
            # "epson-sim listening: command 127.0.0.1:N, telemetry 127.0.0.1:M"
            parts = line.split("command ")[1].split(", telemetry ")
            self.port = int(parts[0].rsplit(":", 1)[1])
            self.telemetry_port = int(parts[1].rsplit(":", 1)[1])
        except (IndexError, ValueError):
            self.stop()
            raise RuntimeError(f"virtual controller did not start: {line!r}") from None
        except BaseException:  # Ctrl-C while it starts
            self.stop()
            raise

    def _read_line(self, timeout: float) -> str:
        sel = selectors.DefaultSelector()
        sel.register(self._stdout, selectors.EVENT_READ)
        try:
            if not sel.select(timeout):
                return ""
            return self._stdout.readline().strip()
        finally:
            sel.close()

    def operator(self, command: str) -> str:
        """Types an operator command on the controller's console and returns its answer."""
        self._stdin.write(command + "\n")
        self._stdin.flush()
        return self._read_line(timeout=5.0)

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5.0)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for stream in (self._stdin, self._stdout):
            with contextlib.suppress(OSError):
                stream.close()


@contextlib.contextmanager
def controller(args: argparse.Namespace, rate_hz: float = 100.0, gripper: Optional[str] = None,
               execute_accepts_pause: bool = False
               ) -> Iterator[Tuple[str, int, int, Optional[VirtualControllerProcess]]]:
    """Yields host, command port, telemetry port and the virtual controller (None if real).

    The virtual controller is stopped on every exit, Ctrl-C included.
    """
    if args.host:
        yield str(args.host), int(args.port), int(args.telemetry_port), None
        return
    vc = VirtualControllerProcess(rate_hz, gripper, execute_accepts_pause=execute_accepts_pause)
    try:
        yield VIRTUAL_HOST, vc.port, vc.telemetry_port, vc
    finally:
        vc.stop()


def import_driver() -> Tuple[ModuleType, ModuleType]:
    """Imports the modules; `_brevacon` first, as `_tandrel` hands out its `Brevacon` type."""
    try:
        import _brevacon  # noqa: F401
        import _tandrel
    except ImportError as exc:
        sys.exit(f"{exc}: build the modules first (make build) and put build/release/python "
                 f"and sim on PYTHONPATH, or pip install .")
    return _brevacon, _tandrel


def sample_rate(receiver: _tandrel.EthernetReceiveInterface, seconds: float = 1.0) -> float:
    """Samples per second the receiver published over `seconds`, from its counters."""
    start = receiver.counters()["samples_published"]
    time.sleep(seconds)
    return (receiver.counters()["samples_published"] - start) / seconds


def plot(recording: str, image: str, title: str) -> None:
    """Draws a recording with epson-plot, or says why it cannot."""
    try:
        # By name: the package ships no type information, and the plot is optional anyway.
        epson_plot = importlib.import_module("epson_plot")
    except ImportError:
        print(f"recording in {recording}; epson_plot is not importable, so no plot")
        return
    if epson_plot.main([recording, "-o", image, "--title", title]) != 0:
        print(f"recording in {recording}; no plot (pip install epson-driver[plot] for matplotlib)")
