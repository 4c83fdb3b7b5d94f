"""Scripted loopback stand-in for a controller's Remote Ethernet command port.

The Python twin of tests/support/fake_controller.h, with the same steps and the same canned
replies (tests/canned_replies.txt)::

    fake = FakeController()
    fake.login("pw").respond('$Execute,"Reset"', canned("execute_ok")).logout().expect_close()
    robot.connect("127.0.0.1", fake.port, "pw")
    ...
    fake.verify()  # raises AssertionError listing every problem

Every line the client sends is recorded with its arrival time (``time.monotonic()``) and goes to
an inbox that expect steps consume in order. A line that differs from the expected one, a line
not ended by CR LF, a line no step consumed, or a step that never ran is a problem. The first step
that needs a connection accepts one; after ``close()``, ``expect_close()`` or ``silence()`` the
next such step accepts the next connection (a retrying client).

The client polls ``$GetStatus`` while a motion runs, so scripts need not foresee those lines: the
fake answers each at once with ``status_reply`` (by default ``STATUS_RUNNING``: Auto, Running,
Ready), records it in ``lines`` with ``auto_answered`` set, and no step consumes it. It leaves
them to the script when ``status_reply`` is None (constructor argument or attribute, changeable
at any time), while a step not yet run expects that line, and during ``silence()``.
"""

from __future__ import annotations

import dataclasses
import pathlib
import select
import socket
import threading
import time

CANNED_REPLIES = pathlib.Path(__file__).resolve().parent.parent / "canned_replies.txt"
STATUS_LINE = "$GetStatus"
STATUS_RUNNING = "#GetStatus,00100000011,0000"

_canned_table: dict[str, str] | None = None


def _decode_escapes(text: str) -> str:
    out = []
    chars = iter(text)
    for c in chars:
        if c == "\\":
            following = next(chars, "\\")
            out.append({"r": "\r", "n": "\n"}.get(following, following))
        else:
            out.append(c)
    return "".join(out)


def load_canned(path: pathlib.Path = CANNED_REPLIES) -> dict[str, str]:
    """Read the canned reply table: a name, white space, then the reply to the end of the line."""
    table = {}
    for line in path.read_text(encoding="ascii").splitlines():
        if line and not line.startswith("#"):
            name, *text = line.split(None, 1)
            table[name] = _decode_escapes(text[0] if text else "")
    return table


def canned(name: str) -> str:
    """Return the canned reply stored under ``name``; KeyError for an unknown name."""
    global _canned_table
    if _canned_table is None:
        _canned_table = load_canned()
    return _canned_table[name]


@dataclasses.dataclass(frozen=True)
class ReceivedLine:
    text: str  # without its CR LF
    arrival: float  # time.monotonic()
    connection: int  # 1 for the first accepted connection, 2 for the next, ...
    auto_answered: bool = False  # a $GetStatus the fake answered by itself


_NONE, _OPEN, _PEER_CLOSED = "none", "open", "peer closed"


class FakeController:
    """Loopback peer on 127.0.0.1 with an ephemeral port, scripted step by step.

    Concurrency: the script thread alone owns the sockets, the partial line and the connection
    state. ``_cond`` guards what tests also see (steps, progress, lines, inbox, problems,
    connection count) and is notified on every change; a byte on the wake socket pair interrupts
    the thread's select() when steps are appended or the fake stops.
    """

    def __init__(self, status_reply: str | None = STATUS_RUNNING) -> None:
        self.status_reply = status_reply
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(16)
        self.port: int = self._listener.getsockname()[1]
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self._cond = threading.Condition()
        self._steps: list[tuple[str, object]] = []
        self._next = 0
        self._finished = 0
        self._lines: list[ReceivedLine] = []
        self._inbox: list[int] = []
        self._problems: list[str] = []
        self._connections = 0
        self._stopping = False
        self._verified = False
        self._conn: socket.socket | None = None
        self._state = _NONE
        self._partial = b""
        self._silent = False  # inside a silence() step
        self._thread = threading.Thread(target=self._run, name="fake-controller", daemon=True)
        self._thread.start()

    # --- Script steps (each returns self) ------------------------------------------------------

    def expect(self, line: str) -> FakeController:
        return self._append("expect", line)

    def expect_prefix(self, prefix: str) -> FakeController:
        return self._append("expect_prefix", prefix)

    def reply(self, text: str) -> FakeController:
        return self._append("send", text + "\r\n")

    def send(self, raw: str) -> FakeController:
        return self._append("send", raw)

    def respond(self, line: str, reply_text: str) -> FakeController:
        return self.expect(line).reply(reply_text)

    def wait(self, seconds: float) -> FakeController:
        return self._append("wait", seconds)

    def silence(self) -> FakeController:
        """Accept every line of this connection without answering until the client closes it."""
        return self._append("silence", None)

    def close(self) -> FakeController:
        return self._append("close", None)

    def expect_close(self) -> FakeController:
        return self._append("expect_close", None)

    def login(self, password: str = "") -> FakeController:
        return self.respond("$Login," + password, canned("login_ok"))

    def logout(self) -> FakeController:
        return self.respond("$Logout", canned("logout_ok"))

    # --- Observation ---------------------------------------------------------------------------

    @property
    def lines(self) -> list[ReceivedLine]:
        with self._cond:
            return list(self._lines)

    @property
    def texts(self) -> list[str]:
        return [line.text for line in self.lines]

    @property
    def connections(self) -> int:
        with self._cond:
            return self._connections

    def wait_for_lines(self, count: int, timeout: float = 10.0) -> bool:
        with self._cond:
            return self._cond.wait_for(lambda: len(self._lines) >= count, timeout)

    def wait_until_done(self, timeout: float = 10.0) -> bool:
        with self._cond:
            return self._cond.wait_for(lambda: self._finished == len(self._steps), timeout)

    def problems(self) -> list[str]:
        """Stop the script (given up to 3 s to finish) and list everything that went wrong."""
        self.wait_until_done(3.0)
        self.stop()
        with self._cond:
            found = list(self._problems)
            found += [
                f"scripted step {i + 1} never ran to its end: {self._steps[i]}"
                for i in range(self._finished, len(self._steps))
            ]
            found += [
                f"unexpected line {self._lines[i].text!r} (no step consumed it)"
                for i in self._inbox
            ]
        return found

    def verify(self) -> None:
        if self._verified:
            return
        self._verified = True
        found = self.problems()
        if found:
            raise AssertionError("fake controller:\n  " + "\n  ".join(found))

    def stop(self) -> None:
        """End the script thread and close every socket; later calls do nothing."""
        if self._stopping:
            return
        self._stopping = True
        self._wake()
        self._thread.join()
        self._drop()
        for sock in (self._listener, self._wake_r, self._wake_w):
            sock.close()

    # --- Script thread -------------------------------------------------------------------------

    def _append(self, kind: str, arg: object) -> FakeController:
        with self._cond:
            self._steps.append((kind, arg))
        self._wake()
        return self

    def _wake(self) -> None:
        try:
            self._wake_w.send(b"\0")
        except OSError:
            pass

    def _problem(self, text: str) -> None:
        with self._cond:
            self._problems.append(text)

    def _run(self) -> None:
        try:
            while not self._stopping:
                with self._cond:
                    step = self._steps[self._next] if self._next < len(self._steps) else None
                running = self._run_step(*step) if step else self._pump(None)
                if not running or self._stopping:
                    return
                if step:
                    with self._cond:
                        self._next += 1
                        self._finished += step[0] != "silence"
                        self._cond.notify_all()
        except Exception as error:  # noqa: BLE001 - reported through verify()
            self._problem(f"fake controller thread failed: {error!r}")

    def _run_step(self, kind: str, arg: object) -> bool:
        if kind in ("expect", "expect_prefix"):
            return self._expect(kind, str(arg))
        if kind == "wait":
            deadline = time.monotonic() + float(arg)  # type: ignore[arg-type]
            while time.monotonic() < deadline:
                if not self._pump(deadline):
                    return False
            return True
        if self._state == _NONE and not self._accept():
            return False
        if kind == "send":
            return self._send(str(arg))
        if kind == "silence":
            with self._cond:
                self._finished += 1
                self._cond.notify_all()
            self._silent = True
            try:
                while True:
                    with self._cond:
                        self._inbox.clear()
                    if self._state != _OPEN:
                        self._state = _NONE
                        return True
                    if not self._pump(None):
                        return False
            finally:
                self._silent = False
        if kind == "close":
            if self._state == _OPEN:
                assert self._conn is not None
                self._conn.shutdown(socket.SHUT_WR)
                while self._state == _OPEN and select.select([self._conn], [], [], 0)[0]:
                    self._read()
                self._drop()
            self._state = _NONE
            return True
        # expect_close
        while self._state == _OPEN:
            if not self._pump(None):
                return False
        self._state = _NONE
        return True

    def _expect(self, kind: str, wanted: str) -> bool:
        while True:
            with self._cond:
                if self._inbox:
                    line = self._lines[self._inbox.pop(0)].text
                    ok = line == wanted if kind == "expect" else line.startswith(wanted)
                    if not ok:
                        self._problems.append(
                            f"unexpected line {line!r} where the script says {kind} {wanted!r}"
                        )
                    return True
            if self._state == _NONE:
                if not self._accept():
                    return False
            elif self._state == _PEER_CLOSED:
                self._state = _NONE
                self._problem(
                    f"the client closed the connection while the script says {kind} {wanted!r}"
                )
                return True
            elif not self._pump(None):
                return False

    def _send(self, raw: str) -> bool:
        if self._state == _PEER_CLOSED:
            self._state = _NONE
            self._problem(f"the client closed the connection before send {raw!r}")
            return True
        assert self._conn is not None
        try:
            self._conn.sendall(raw.encode("latin-1"))
        except OSError as error:
            self._problem(f"could not send {raw!r}: {error}")
            self._drop()
        return True

    def _accept(self) -> bool:
        while True:
            readable = select.select([self._wake_r, self._listener], [], [])[0]
            self._drain_wake()
            if self._stopping:
                return False
            if self._listener in readable:
                conn, _ = self._listener.accept()
                conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                self._conn, self._state, self._partial = conn, _OPEN, b""
                with self._cond:
                    self._connections += 1
                    self._cond.notify_all()
                return True

    def _pump(self, deadline: float | None) -> bool:
        """Wait for client bytes, a wake-up or the deadline, and handle what came."""
        watched: list[socket.socket] = [self._wake_r]
        if self._state == _OPEN and self._conn is not None:
            watched.append(self._conn)
        timeout = None if deadline is None else max(0.0, deadline - time.monotonic())
        readable = select.select(watched, [], [], timeout)[0]
        self._drain_wake()
        if self._stopping:
            return False
        if self._conn is not None and self._conn in readable:
            self._read()
        return True

    def _read(self) -> None:
        assert self._conn is not None
        try:
            data = self._conn.recv(65536)
        except OSError:
            data = b""
        arrival = time.monotonic()
        self._partial += data
        reply = None if self._silent else self.status_reply
        answers = 0
        with self._cond:
            while b"\n" in self._partial:
                raw, self._partial = self._partial.split(b"\n", 1)
                if raw.endswith(b"\r"):
                    raw = raw[:-1]
                else:
                    self._problems.append(f"line {raw!r} did not end with CR LF")
                answers += self._record(raw, arrival, reply is not None)
            if not data and self._partial:
                self._problems.append(f"the connection closed inside the line {self._partial!r}")
                self._record(self._partial, arrival, False)
                self._partial = b""
            self._cond.notify_all()
        if answers and reply is not None and self._conn is not None:
            try:
                self._conn.sendall(((reply + "\r\n") * answers).encode("latin-1"))
            except OSError:
                pass  # the client is gone: the read that follows sees it close
        if not data:
            self._drop()
            self._state = _PEER_CLOSED

    def _record(self, raw: bytes, arrival: float, answering: bool) -> bool:
        """Record a line (``_cond`` held); True when the fake answers it by itself."""
        text = raw.decode("latin-1")
        auto = answering and self._answers_itself(text)
        self._lines.append(ReceivedLine(text, arrival, self._connections, auto))
        if not auto:
            self._inbox.append(len(self._lines) - 1)
        return auto

    def _answers_itself(self, text: str) -> bool:
        if text != STATUS_LINE:
            return False
        # The step at _next has not finished either: an expect there is still waiting.
        return not any(
            (kind == "expect" and arg == text)
            or (kind == "expect_prefix" and text.startswith(str(arg)))
            for kind, arg in self._steps[self._next:]
        )

    def _drop(self) -> None:
        if self._conn is not None:
            self._conn.close()
            self._conn = None
        self._state = _NONE

    def _drain_wake(self) -> None:
        try:
            while self._wake_r.recv(64):
                pass
        except BlockingIOError:
            pass


class RefusingPort:
    """A loopback port bound but not listening, held until close(): a connect is refused."""

    def __init__(self) -> None:
        self._socket = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._socket.bind(("127.0.0.1", 0))
        self.port: int = self._socket.getsockname()[1]

    def close(self) -> None:
        self._socket.close()
