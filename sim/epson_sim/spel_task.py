"""A running SPEL+ task of the virtual controller: what the program's statements and functions
do against the simulated robot and the controller's TCP/IP ports.

Concurrency: one thread runs the task (`Task.run`). It reads the robot through `model`, which
copies a snapshot under `Robot.lock`, and it owns the sockets of its ports; the virtual
controller only shuts a port's socket down (drop_telemetry, stop), which the task then sees as
a failed `Print #` or a negative `ChkNet`. `stop` ends every wait of the task within a poll.

Values are read once per instant: the first robot function after a `Wait` or a `Print #` takes
a snapshot (joints, Tool, status words) that the following ones share, so a sample's pose is
the pose of exactly its joints, as on a controller that reads them in one servo cycle.
"""

from __future__ import annotations

import os
import select
import socket
import threading
import time
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from . import kinematics as kin
from .spel import format_number

PORTS = range(201, 217)      # the TCP/IP port numbers a SPEL+ program names, #201 to #216
POINTS = ("HERE", "REALPOS")  # the points the subset reads
TIMERS = range(64)

# Errors of a running program (`Err`), the virtual controller's own numbering.
OVERFLOW, DIVIDE, BAD_VALUE, NET_CLOSED, NET_NOT_OPEN, BAD_RESUME = 2, 3, 4, 5, 6, 7


class SpelRuntimeError(Exception):
    """A statement of the running program failed; OnErr may catch it."""

    def __init__(self, code: int, text: str) -> None:
        super().__init__(f"error {code}: {text}")
        self.code = code
        self.text = text


class TaskStopped(Exception):
    """The virtual controller stops: leave the program wherever it is."""


class Snapshot:
    def __init__(self, joints: List[float], tool: Optional[List[float]],
                 status: Dict[str, int], pose_cache: list) -> None:
        self.joints, self.tool, self.status = joints, tool, status
        self._cache = pose_cache  # [key, pose] kept by the task across snapshots

    def pose(self) -> List[float]:
        key = (tuple(self.joints), tuple(self.tool) if self.tool else None)
        if self._cache[0] != key:  # a robot at rest costs no kinematics
            self._cache[:] = [key, kin.forward(self.joints, self.tool)]
        return self._cache[1]


class ServerPort:
    """A TCP/IP port the program serves: `accept` waits for a client on the listening socket of
    the virtual controller (None once it stops), `forget` closes a client's socket."""

    def __init__(self, accept: Callable[[], Optional[socket.socket]],
                 forget: Callable[[socket.socket], None], line_end: str) -> None:
        self.accept, self.forget, self.end = accept, forget, line_end.encode()
        self.opened = False
        self.sock: Optional[socket.socket] = None
        self.poller = select.poll()

    def connect(self, sock: socket.socket) -> None:
        self.sock = sock
        self.poller = select.poll()
        self.poller.register(sock, select.POLLIN)

    def drop(self) -> None:
        if self.sock is not None:
            self.forget(self.sock)
            self.sock = None


def _axis(j: float) -> int:
    if j != int(j) or not 1 <= j <= 6:
        raise SpelRuntimeError(BAD_VALUE, f"joint {format_number(j)} outside 1 to 6")
    return int(j) - 1


def _index(name: str, modelled: int):
    def read(t: "Task", n: float) -> int:
        if n != modelled:
            raise SpelRuntimeError(BAD_VALUE, f"the virtual controller models {name.title()}"
                                              f"({modelled}) only")
        return t.snap().status[name]
    return read


def _coordinate(axis: int):
    return lambda t, point: t.snap().pose()[axis]


def _chr(t: "Task", code: float) -> str:
    if code != int(code) or not 0 <= code <= 255:
        raise SpelRuntimeError(BAD_VALUE, f"Chr$ of {format_number(code)}")
    return chr(int(code))


# Name: (arguments, n for a number and p for a point; result "num" or "str"; what it does).
FUNCTIONS: Dict[str, Tuple[str, str, Callable]] = {
    "STR$": ("n", "str", lambda t, x: format_number(x)),
    "CHR$": ("n", "str", _chr),
    "AGL": ("n", "num", lambda t, j: t.snap().joints[_axis(j)]),
    "STAT": ("n", "num", _index("STAT", 0)),
    "ROBOTINFO": ("n", "num", _index("ROBOTINFO", 0)),
    "CTRLINFO": ("n", "num", _index("CTRLINFO", 1)),
    "SYSERR": ("", "num", lambda t: t.snap().status["SYSERR"]),
    "CTRLDEV": ("", "num", lambda t: t.snap().status["CTRLDEV"]),
    "CHKNET": ("n", "num", lambda t, p: t.chknet(p)),
    "TMR": ("n", "num", lambda t, n: t.tmr(n)),
    "ERR": ("", "num", lambda t: t.err),
}
FUNCTIONS.update({"C" + a: ("p", "num", _coordinate(i)) for i, a in enumerate("XYZUVW")})


class Task:
    """One program function running on its own thread. Its attributes are the frame the
    compiled instructions work on: `l` locals, `g` globals, the OnErr state."""

    def __init__(self, program, entry: str,
                 model: Callable[[], Tuple[List[float], Optional[List[float]], Dict[str, int]]],
                 ports: Dict[int, ServerPort], stop: threading.Event,
                 console: Callable[[str], None]) -> None:
        from .spel_program import SpelProgramError

        self.fn = program.functions.get(entry.upper())
        if self.fn is None:
            raise SpelProgramError(program.path, program.last_line, entry,
                                   "no Function of that name to start")
        self.program, self.model, self.ports, self.stop_event = program, model, ports, stop
        self.console = console
        self.g = program.initial(program.globals)
        self.l: list = []
        self.err = 0
        self.err_pc = 0
        self.handler = None
        self.in_handler = False
        self._snap: Optional[Snapshot] = None
        self._pose_cache: list = [None, None]
        self._timers: Dict[int, float] = {}

    # --- the run ----------------------------------------------------------------------------

    def run(self) -> None:
        fn, pc = self.fn, 0
        self.l = self.program.initial(fn.locals)
        code = fn.code
        try:
            while pc >= 0:
                try:
                    pc = code[pc](self)
                except SpelRuntimeError as exc:
                    if self.handler is None or self.in_handler:
                        self.console(f"telemetry program stopped: {self.program.path}, line "
                                     f"{fn.lines[pc]}: {exc}")
                        return
                    self.err, self.err_pc, self.in_handler = exc.code, pc, True
                    pc = self.handler.pc
        except TaskStopped:
            pass
        finally:
            for port in self.ports.values():
                port.drop()
                port.opened = False

    def tick(self) -> None:
        """Called on every jump back, so a loop without a Wait still ends when told."""
        if self.stop_event.is_set():
            raise TaskStopped()

    def snap(self) -> Snapshot:
        if self._snap is None:
            joints, tool, status = self.model()
            self._snap = Snapshot(joints, tool, status, self._pose_cache)
        return self._snap

    # --- statements -------------------------------------------------------------------------

    def wait(self, seconds: float) -> None:
        if not 0.0 <= seconds < float("inf"):
            raise SpelRuntimeError(BAD_VALUE, f"Wait {format_number(seconds)}")
        self._snap = None
        if self.stop_event.wait(seconds):
            raise TaskStopped()

    def tm_reset(self, n: float) -> None:
        self._timers[self._timer(n)] = time.monotonic()

    def tmr(self, n: float) -> float:
        return time.monotonic() - self._timers.get(self._timer(n), 0.0)

    @staticmethod
    def _timer(n: float) -> int:
        if n != int(n) or int(n) not in TIMERS:
            raise SpelRuntimeError(BAD_VALUE, f"timer {format_number(n)}")
        return int(n)

    def _port(self, p: int) -> ServerPort:
        port = self.ports.get(p)
        if port is None:
            raise SpelRuntimeError(NET_NOT_OPEN, f"port #{p} is not set up on this controller")
        return port

    def opennet(self, p: int) -> None:
        port = self._port(p)
        if port.opened:
            raise SpelRuntimeError(NET_NOT_OPEN, f"port #{p} is open already")
        port.opened = True

    def waitnet(self, p: int) -> None:
        port = self._port(p)
        if not port.opened:
            raise SpelRuntimeError(NET_NOT_OPEN, f"port #{p} is not open")
        if port.sock is None:
            sock = port.accept()
            if sock is None:
                raise TaskStopped()
            port.connect(sock)

    def print_(self, p: int, text: str) -> None:
        port = self._port(p)
        self._snap = None
        if port.sock is None:
            raise SpelRuntimeError(NET_CLOSED, f"port #{p} has no client")
        try:
            port.sock.sendall(text.encode("latin-1", "replace") + port.end)
        except (OSError, socket.timeout):
            port.drop()
            raise SpelRuntimeError(NET_CLOSED, f"port #{p}: the client left") from None

    def chknet(self, p: float) -> int:
        port = self.ports.get(int(p)) if p == int(p) else None
        if port is None or not port.opened:
            return -3
        if port.sock is None:
            return -1
        try:
            if not port.poller.poll(0):
                return 0
            data = port.sock.recv(65536, socket.MSG_PEEK)
        except OSError:  # reset, or shut down by the virtual controller
            return -1
        return len(data) if data else -1  # nothing to read at a readable socket: it left

    def closenet(self, p: int) -> None:
        port = self._port(p)
        port.drop()
        port.opened = False


# The shipped telemetry program: in the wheel beside the package, in a checkout at its root.
_HERE = os.path.dirname(os.path.abspath(__file__))
SHIPPED_PROGRAM = next((p for p in (os.path.join(_HERE, "controller", "telemetry.prg"),
                                    os.path.join(_HERE, "..", "..", "controller", "telemetry.prg"))
                        if os.path.exists(p)), os.path.join(_HERE, "controller", "telemetry.prg"))
SHIPPED_ENTRY = "EpsonTelemetry"
TELEMETRY_PORT = 201  # the program's number for the virtual controller's telemetry port


class TelemetryProgram:
    """The program behind the telemetry port: loaded and checked when the virtual controller
    is made, its TELEMETRY_PERIOD and STATUS_EVERY set by the controller's options."""

    def __init__(self, path: Optional[str] = None, entry: Optional[str] = None) -> None:
        from .spel_program import SpelProgramError, load

        self.program = load(path if path is not None else SHIPPED_PROGRAM)
        self.entry = entry or ("main" if path is not None else SHIPPED_ENTRY)
        if self.entry.upper() not in self.program.functions:
            raise SpelProgramError(self.program.path, self.program.last_line, self.entry,
                                   "no Function of that name to start")
        for name in ("TELEMETRY_PERIOD", "STATUS_EVERY"):
            if isinstance(self.program.defines.get(name, 0), str):
                raise SpelProgramError(self.program.path, 1, name, "must be a number")

    def set_period(self, seconds: float) -> None:
        """A program without TELEMETRY_PERIOD keeps its own pace."""
        if "TELEMETRY_PERIOD" in self.program.defines:
            self.program.defines["TELEMETRY_PERIOD"] = seconds

    def set_status_interval(self, seconds: float, rate_hz: float) -> None:
        """STATUS_EVERY: that many seconds' worth of samples, one at least."""
        if not 0 < seconds < float("inf"):
            raise ValueError("status_interval_s must be a positive number of seconds")
        if "STATUS_EVERY" in self.program.defines:
            self.program.defines["STATUS_EVERY"] = max(1, round(seconds * rate_hz))

    def run(self, robot, accept: Callable[[], Optional[socket.socket]],
            forget: Callable[[socket.socket], None], line_end: str, stop: threading.Event,
            console: Callable[[str], None]) -> None:
        """Runs the task until stop: its port #201 is the telemetry listener, its values the
        robot's joints, Tool and status words, read in one lock."""
        def model() -> Tuple[List[float], Optional[List[float]], Dict[str, int]]:
            with robot.lock:
                return robot.current_joints(), robot.tool_pose(), robot.status()

        port = ServerPort(accept, forget, line_end)
        Task(self.program, self.entry, model, {TELEMETRY_PORT: port}, stop, console).run()


__all__: Sequence[str] = ("FUNCTIONS", "ServerPort", "SpelRuntimeError", "Task", "TaskStopped",
                          "TelemetryProgram")
