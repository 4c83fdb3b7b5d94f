"""The virtual controller: command port, telemetry port and operator controls.

Concurrency design:
- One accept thread per listening port; one reader thread per command connection; one thread
  for the telemetry program (spel_task.py), which serves the telemetry port itself; one thread
  per running job (a motion or a `Wait`), which writes the job's reply when it ends. So a
  connection's reader never waits for a job and answers `$Abort` and `$GetStatus` at once.
- `Robot.lock` guards the robot, its point table, the job and the cell I/O (see robot.py).
  `_Connection.write_lock` serialises the writes of a connection's reader and its job thread.
  `_lock` guards the sets of live sockets and threads. Only `$Abort` holds two of them: a
  connection's write_lock, then Robot.lock, so that `#Abort,0` goes out before the job thread can
  write the aborted job's reply (a paused motion or a `Wait` ends the moment it is aborted).
  Nothing takes them the other way round.
- Every socket operation of the worker threads has a short timeout, so `stop()` closes the
  sockets, and the threads notice the stop flag and end within a bounded time.
"""

from __future__ import annotations

import contextlib
import logging
import socket
import threading
import time
from typing import Callable, List, Optional, Set, Tuple, Union

from . import errors
from .cell_io import BITS, CellIO, check_gripper
from .errors import SpelError
from .robot import Job, Robot
from .spel import Interpreter
from .spel_task import TelemetryProgram

MAX_LINE = 64 * 1024
_POLL = 0.1  # seconds a worker blocks before it looks at the stop flag again
_REMOTE_COMMANDS = ("Login", "Logout", "Execute", "Pause", "Continue", "Reset", "Abort",
                    "GetStatus")
# While an `$Execute` runs (any connection's: the controller runs one at a time), only these are
# accepted; the rest is answered 21. Login and Logout stay open so that a second client can log
# in and abort.
_DURING_EXECUTE = ("Abort", "GetStatus", "Login", "Logout")


class _Connection:
    def __init__(self, sock: socket.socket, silent: threading.Event) -> None:
        self.sock = sock
        try:
            host, port = sock.getpeername()[:2]
            self.peer = f"{host}:{port}"
        except OSError:
            self.peer = "a client"
        self.write_lock = threading.Lock()
        self.logged_in = False
        self.open = True
        self.job: Optional[Job] = None  # the last job this connection's $Execute began
        self._silent = silent

    def send(self, line: str) -> None:
        with self.write_lock:
            self.send_locked(line)

    def send_locked(self, line: str) -> None:
        """send() for a caller that holds write_lock. A silenced reply is dropped, not kept."""
        if not self.open or self._silent.is_set():
            return
        try:
            self.sock.sendall((line + "\r\n").encode())
        except OSError:
            self.open = False


class VirtualController:
    """A controller stand-in on loopback: start(), the ports, operator controls, stop()."""

    def __init__(self, port: int = 0, telemetry_port: int = 0, password: Optional[str] = None,
                 telemetry_rate_hz: float = 100.0, host: str = "127.0.0.1",
                 telemetry_line_end: str = "\r\n", status_interval_s: Optional[float] = None,
                 silent: bool = False, gripper: Optional[Tuple[int, int, float]] = None,
                 execute_accepts_pause: bool = False, remote_timeout_s: float = 0.0,
                 console: Optional[Callable[[str], None]] = None,
                 telemetry_program: Optional[str] = None,
                 telemetry_entry: Optional[str] = None, points_dir: Optional[str] = None) -> None:
        """gripper: (output bit, input bit, seconds): the input follows the output that late.

        telemetry_program: the SPEL+ file whose task makes the telemetry (default: the shipped
        controller/telemetry.prg at EpsonTelemetry), started at telemetry_entry (default main); one
        outside the interpreter's subset raises SpelProgramError (a ValueError). The rate,
        status_interval_s and telemetry_line_end set its TELEMETRY_PERIOD, STATUS_EVERY and the
        terminator of its port #201. execute_accepts_pause: `$Pause` and `$Continue` act on a
        running motion instead of being refused with 21. remote_timeout_s: a logged-in client quiet
        for that long has its statement aborted, is logged out and disconnected (0: never).
        console: where operator messages go (default: the "epson_sim" logger). points_dir: the
        folder of SavePoints and LoadPoints (made if missing; default: a fresh temporary one, which
        stop() removes)."""
        if not 0 < telemetry_rate_hz <= 1000:
            raise ValueError("telemetry_rate_hz must be in (0, 1000]")
        if telemetry_line_end not in ("\r", "\r\n"):
            raise ValueError("telemetry_line_end must be CR or CR LF")
        if not 0.0 <= remote_timeout_s < float("inf"):
            raise ValueError("remote_timeout_s must be 0 (off) or a finite number of seconds")
        self.execute_accepts_pause = bool(execute_accepts_pause)
        self.remote_timeout_s = float(remote_timeout_s)
        self._console = console if console is not None else logging.getLogger("epson_sim").warning
        self.robot = Robot(points_dir)
        self.io = CellIO(check_gripper(gripper) if gripper is not None else None)
        self._interp = Interpreter(self.robot, self.io)
        self._password = password
        self._host = host
        self._want_ports = (port, telemetry_port)
        self.telemetry_rate_hz = float(telemetry_rate_hz)
        self._line_end = telemetry_line_end
        self.telemetry = TelemetryProgram(telemetry_program, telemetry_entry)
        self.program = self.telemetry.program
        if status_interval_s is not None:
            self.telemetry.set_status_interval(status_interval_s, self.telemetry_rate_hz)
        self.telemetry.set_period(1.0 / self.telemetry_rate_hz)
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._silent = threading.Event()
        if silent:
            self._silent.set()
        self._threads: List[threading.Thread] = []
        self._sockets: Set[socket.socket] = set()
        self._telemetry_socks: Set[socket.socket] = set()
        self._listeners: List[socket.socket] = []
        self._refuse_telemetry_until = 0.0
        self.port = 0
        self.telemetry_port = 0
        self.commands_received = 0

    # --- life cycle -------------------------------------------------------------------------

    def start(self) -> "VirtualController":
        if self._listeners:
            raise RuntimeError("already started")
        self.robot.points.open()
        for want, target in zip(self._want_ports, (self._serve_commands, self._run_telemetry)):
            family = socket.AF_INET6 if ":" in self._host else socket.AF_INET
            lst = socket.socket(family, socket.SOCK_STREAM)
            lst.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                lst.bind((self._host, want))
            except OSError:
                lst.close()
                self._close_listeners()
                self.robot.points.close()
                raise
            lst.listen(8)
            lst.settimeout(_POLL)
            self._listeners.append(lst)
            self._spawn(target, lst)
        self.port = self._listeners[0].getsockname()[1]
        self.telemetry_port = self._listeners[1].getsockname()[1]
        return self

    def stop(self, timeout: float = 5.0) -> None:
        """Aborts any motion, closes every socket and joins every thread (bounded)."""
        self._stop.set()
        with self.robot.lock:
            self.robot.abort(errors.ABORTED)
            self.robot.points.close()
        self._close_listeners()
        with self._lock:
            socks = list(self._sockets)
            threads = list(self._threads)
        for s in socks:
            _shutdown(s)
        deadline = time.monotonic() + timeout
        for t in threads:
            if t is not threading.current_thread():
                t.join(max(0.0, deadline - time.monotonic()))

    def __enter__(self) -> "VirtualController":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    @property
    def host(self) -> str:
        return self._host

    @property
    def points_dir(self) -> Optional[str]:  # None before start()
        return self.robot.points.folder

    # --- operator controls ------------------------------------------------------------------

    def set_emergency_stop(self, on: bool) -> None:
        """Pressing the E-stop stops and fails a running motion and switches the motors off."""
        with self.robot.lock:
            self.robot.set_estop(bool(on))

    def set_safeguard_open(self, open_: bool) -> None:
        with self.robot.lock:
            self.robot.set_safeguard(bool(open_))

    def set_teach_mode(self, on: bool) -> None:
        with self.robot.lock:
            self.robot.set_teach(bool(on))

    def inject_error(self, code: int = 4100) -> None:
        """A controller error: fails a running motion, motors off, pending until `Reset`."""
        if not 0 < code <= 9999:
            raise ValueError("error code must be in 1..9999")  # `$GetStatus` has 4 digits for it
        with self.robot.lock:
            self.robot.inject_error(int(code))

    def clear_error(self) -> None:
        with self.robot.lock:
            self.robot.system_error = 0
            self.robot.changed.notify_all()

    def drop_telemetry(self, hold_s: float = 0.0) -> None:
        """Closes the telemetry connections; new ones are refused (closed) for hold_s seconds."""
        with self._lock:
            self._refuse_telemetry_until = time.monotonic() + hold_s
            socks = list(self._telemetry_socks)
        for s in socks:
            _shutdown(s)

    def set_silent(self, on: bool) -> None:
        """Silent: every command line is still read and acted on (a motion still starts, pauses,
        aborts), but nothing is answered on any command connection; replies due meanwhile are
        lost. Connections stay open and telemetry goes on. Off: answering resumes."""
        (self._silent.set if on else self._silent.clear)()

    @property
    def silent(self) -> bool:
        return self._silent.is_set()

    def set_input(self, bit: int, on: bool) -> None:
        """Switches a standard input as a sensor in the cell would; a running `Wait` sees it."""
        self._check_bit(bit)
        with self.robot.lock:
            self.io.write("inputs", "bit", bit, int(bool(on)), time.monotonic())
            self.robot.changed.notify_all()

    def get_output(self, bit: int) -> bool:
        """What the cell sees on a standard output."""
        self._check_bit(bit)
        with self.robot.lock:
            return bool(self.io.read("outputs", "bit", bit, time.monotonic()))

    @staticmethod
    def _check_bit(bit: int) -> None:
        if isinstance(bit, bool) or not isinstance(bit, int) or not 0 <= bit < BITS:
            raise ValueError(f"bit must be an int in 0..{BITS - 1}")

    def set_telemetry_rate(self, hz: float) -> None:
        """Sets the running program's TELEMETRY_PERIOD (a program without one keeps its pace)."""
        if not 0 < hz <= 1000:
            raise ValueError("telemetry rate must be in (0, 1000] Hz")
        self.telemetry_rate_hz = float(hz)
        self.telemetry.set_period(1.0 / self.telemetry_rate_hz)

    def state(self) -> dict:
        """A snapshot for tests and the operator console."""
        with self.robot.lock:
            r = self.robot
            return {"joints": r.current_joints(), "pose": r.here(), "motors_on": r.motors_on,
                    "power_high": r.power_high, "tool": r.tool, "busy": r.busy(),
                    "paused": r.motion is not None and r.motion.paused, "status": r.status(),
                    "xylim_mode": r.xylim_mode, "xylim": list(r.xylim), "silent": self.silent,
                    "inputs_on": self.io.on_bits("inputs", time.monotonic()),
                    "outputs_on": self.io.on_bits("outputs", time.monotonic())}

    # --- threads ----------------------------------------------------------------------------

    def _spawn(self, target, *args) -> None:
        t = threading.Thread(target=target, args=args, daemon=True,
                             name=f"epson-sim-{target.__name__.strip('_')}")
        with self._lock:
            # A thread appended by another _spawn may not have started yet: keep it.
            self._threads = [x for x in self._threads if x.ident is None or x.is_alive()]
            self._threads.append(t)
        t.start()

    def _close_listeners(self) -> None:
        for lst in self._listeners:
            _shutdown(lst)  # wakes a blocked accept() at once
            with contextlib.suppress(OSError):
                lst.close()

    def _accept(self, lst: socket.socket) -> Optional[socket.socket]:
        while not self._stop.is_set():
            try:
                sock, _ = lst.accept()
            except socket.timeout:
                continue
            except OSError:
                return None
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            sock.settimeout(_POLL)
            with self._lock:
                self._sockets.add(sock)
            return sock
        return None

    def _forget(self, sock: socket.socket) -> None:
        with self._lock:
            self._sockets.discard(sock)
            self._telemetry_socks.discard(sock)
        _shutdown(sock)
        with contextlib.suppress(OSError):
            sock.close()

    def _serve_commands(self, lst: socket.socket) -> None:
        while True:
            sock = self._accept(lst)
            if sock is None:
                return
            self._spawn(self._command_reader, _Connection(sock, self._silent))

    def _run_telemetry(self, lst: socket.socket) -> None:
        """The telemetry program's task, its port #201 served on the telemetry listener."""
        self.telemetry.run(self.robot, lambda: self._accept_telemetry(lst), self._forget,
                           self._line_end, self._stop, self._console)

    def _accept_telemetry(self, lst: socket.socket) -> Optional[socket.socket]:
        """WaitNet: the next receiver, None once stopping; refused (closed) after a drop."""
        while True:
            sock = self._accept(lst)
            if sock is None:
                return None
            with self._lock:
                refuse = time.monotonic() < self._refuse_telemetry_until
                if not refuse:
                    self._telemetry_socks.add(sock)
            if not refuse:
                return sock
            self._forget(sock)

    # --- command channel --------------------------------------------------------------------

    def _command_reader(self, conn: _Connection) -> None:
        buf = b""
        last_line = time.monotonic()
        try:
            while not self._stop.is_set() and conn.open:
                try:
                    chunk = conn.sock.recv(4096)
                except socket.timeout:
                    quiet = time.monotonic() - last_line
                    if conn.logged_in and 0.0 < self.remote_timeout_s <= quiet:
                        self._time_out(conn, quiet)
                        return
                    continue
                except OSError:
                    return
                if not chunk:
                    return
                buf += chunk
                while b"\n" in buf:
                    raw, buf = buf.split(b"\n", 1)
                    line = raw.decode("utf-8", "replace").rstrip("\r")
                    last_line = time.monotonic()
                    self.commands_received += 1
                    try:
                        self._handle(conn, line)
                    except Exception:  # noqa: BLE001 - a fault of ours must not end the session
                        name = line[1:].partition(",")[0] if line.startswith("$") else ""
                        conn.send(f"!{name or 'Error'},{errors.SYSTEM_ERROR}")
                if len(buf) > MAX_LINE:
                    conn.send(f"!Error,{errors.BAD_COMMAND}")
                    return
        finally:
            conn.open = False
            self._forget(conn.sock)

    def _handle(self, conn: _Connection, line: str) -> None:
        if not line.startswith("$"):
            conn.send(f"!Error,{errors.NO_DOLLAR}")
            return
        name, has_arg, arg = line[1:].partition(",")
        if name not in _REMOTE_COMMANDS:
            conn.send(f"!{name or 'Error'},{errors.UNKNOWN_COMMAND}")
            return
        if name == "Login":
            if self._password is None or arg == self._password:
                conn.logged_in = True
                conn.send("#Login")
            else:
                conn.send(f"!Login,{errors.BAD_PASSWORD}")
            return
        if not conn.logged_in:
            conn.send(f"!{name},{errors.NOT_LOGGED_IN}")
            return
        if name == "Execute":
            if len(arg) < 2 or not (arg.startswith('"') and arg.endswith('"')):
                conn.send(f"!Execute,{errors.BAD_COMMAND}")
                return
        elif has_arg:
            conn.send(f"!{name},{errors.BAD_COMMAND}")
            return
        if name not in _DURING_EXECUTE and self._refused_during_execute(name):
            conn.send(f"!{name},{errors.EXECUTE_RUNNING}")
            return
        if name == "Execute":
            self._execute(conn, arg[1:-1])
        elif name == "Logout":
            conn.logged_in = False
            conn.send("#Logout")
        elif name == "GetStatus":
            with self.robot.lock:
                flags, code = self._status_flags()
            conn.send(f"#GetStatus,{flags},{code:04d}")
        elif name == "Abort":
            with conn.write_lock:
                with self.robot.lock:
                    # A second $Abort during the braking ramp finds the $Execute still running.
                    ok = self.robot.abort(errors.ABORTED, decelerate=True) or self.robot.busy()
                conn.send_locked("#Abort,0" if ok else f"!Abort,{errors.NOT_READY}")
        elif name == "Reset":
            with self.robot.lock:
                r = self.robot
                # Ready holds here; an E-stop still pressed cannot be reset: "not ready".
                ok = not r.teach and not r.estop
                if ok:
                    r.system_error = 0
                    r.changed.notify_all()
            conn.send("#Reset,0" if ok else f"!Reset,{errors.NOT_READY}")
        else:
            with self.robot.lock:
                r = self.robot
                if r.busy() and r.motion is None:
                    code: Optional[int] = errors.EXECUTE_RUNNING  # a Wait runs: nothing pauses
                elif r.teach:
                    code = errors.NOT_READY  # Auto is off
                else:
                    ok = r.pause() if name == "Pause" else r.resume()
                    code = None if ok else errors.NOT_READY
            conn.send(f"#{name}" if code is None else f"!{name},{code}")

    def _refused_during_execute(self, name: str) -> bool:
        """True while an `$Execute` runs, unless the option lets this pause or continue pass."""
        with self.robot.lock:
            running = self.robot.busy()
        return running and not (self.execute_accepts_pause and name in ("Pause", "Continue"))

    def _time_out(self, conn: _Connection, quiet: float) -> None:
        """Aborts the client's statement (braking), logs it out; the caller's finally closes."""
        with conn.write_lock:  # the lock order of $Abort
            with self.robot.lock:
                job = conn.job
                aborted = (job is not None and not job.finished and self.robot.job is job
                           and self.robot.abort(errors.ABORTED, decelerate=True))
            conn.logged_in = False
            conn.open = False  # the aborted statement's reply has nowhere to go
        self._console(f"remote timeout: no line from {conn.peer} for {quiet:.1f} s "
                      f"(Timeout {self.remote_timeout_s:g} s); "
                      + ("its running statement aborted; " if aborted else "")
                      + "logged out and disconnected")

    def _status_flags(self) -> Tuple[str, int]:
        """The `$GetStatus` flags, Test first, and the error code (lock held). Ready is the
        guide's: nothing executes; an error or an Emergency Stop shows in its own flag."""
        r = self.robot
        paused = r.motion is not None and r.motion.paused
        busy = r.busy()
        flags = (False, r.teach, not r.teach, False, False, r.safeguard_open, r.estop,
                 bool(r.system_error), paused, busy and not paused, not busy)
        return "".join("1" if f else "0" for f in flags), r.system_error

    def _execute(self, conn: _Connection, statement: str) -> None:
        result: Union[None, str, Job] = None
        code: Optional[int] = None
        with self.robot.lock:
            if self._stop.is_set():
                return  # stop() aborts motions under this lock: start none after it
            if self.robot.busy():
                code = errors.EXECUTE_RUNNING
            else:
                try:
                    result = self._interp.execute(statement)
                except SpelError as exc:
                    code = exc.code
                else:
                    self.robot.changed.notify_all()
                    if isinstance(result, Job):
                        self.robot.begin(result)
                        conn.job = result
        if code is not None:
            conn.send(f"!Execute,{code}")
        elif isinstance(result, Job):
            self._spawn(self._run_job, conn, result)
        elif result is None:
            conn.send("#Execute,0")
        else:
            conn.send(f'#Execute,"{result}"')

    def _run_job(self, conn: _Connection, job: Job) -> None:
        code = self.robot.run(job)
        conn.send("#Execute,0" if code is None else f"!Execute,{code}")


def _shutdown(sock: socket.socket) -> None:
    with contextlib.suppress(OSError):
        sock.shutdown(socket.SHUT_RDWR)
