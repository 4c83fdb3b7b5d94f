"""Check a new cell before the first motion: the connection and login, what in the status word
blocks motion, how fast commands go round, and the telemetry.

    epson-check HOST [--port 5000] [--telemetry-port 2000] [--password-file PATH] [--seconds 2]
                     [--json]

It sends only ``$Login``, ``$GetStatus`` and ``$Logout``: it never moves the robot, switches the
motors or writes an output. The exit status is 0 only when every check passes, so only when the
cell is ready for motion; with ``--json`` standard output holds one JSON object, also when a
check fails, and the driver's log lines go to standard error.

The password is the content of ``--password-file`` (one trailing line ending left out), else the
environment variable ``EPSON_PASSWORD``, else empty (the protocol's default).
"""

from __future__ import annotations

import argparse
import json
import logging
import math
import os
import statistics
import sys
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import asdict, dataclass, field
from typing import Any

import _brevacon
import _tandrel

PASSWORD_ENV = "EPSON_PASSWORD"
# One connection attempt, bounded: a cell that does not answer in this long fails the check.
CONNECT_TIMEOUT_S = 5.0
ROUND_TRIPS = 50
BATCH = 200
DEFAULT_SECONDS = 2.0
# The status flags that block a remote motion, in the order they are explained, each with what
# the user can do about it. Auto is the one flag whose absence blocks.
_BLOCKING = (
    ("auto", False, "Auto is off: the controller does not accept remote commands; make Remote "
                    "Ethernet its control device and leave teach mode"),
    ("teach", True, "Teach is on: the controller is in teach mode; switch the mode to Auto"),
    ("test_mode", True, "Test is on: the controller is in test mode; leave it"),
    ("emergency_stop", True, "EStop is on: an Emergency Stop is pressed; release it, then reset "
                              "the controller"),
    ("safeguard", True, "Safeguard is on: the safeguard (safety door) is open; close it"),
    ("severe_error", True, "SError is on: a severe error; only a reboot of the controller "
                           "clears it"),
)


@dataclass
class Check:
    name: str
    ok: bool
    detail: str


@dataclass
class Report:
    host: str
    port: int
    telemetry_port: int
    checks: list[Check] = field(default_factory=list)
    status: dict[str, Any] | None = None
    command_rtt_ms: dict[str, float | None] = field(
        default_factory=lambda: {"median": None, "p99": None})
    telemetry_hz: float | None = None
    telemetry: dict[str, Any] | None = None

    @property
    def ok(self) -> bool:
        return bool(self.checks) and all(c.ok for c in self.checks)

    def as_json(self) -> dict[str, Any]:
        return {"ok": self.ok, **asdict(self)}

    def add(self, name: str, ok: bool, detail: str) -> bool:
        self.checks.append(Check(name, ok, detail))
        return ok


def read_password(path: str | None, environ: Mapping[str, str] = os.environ) -> str:
    """The login password (see the module docstring). Raises ValueError naming the file, never
    what it holds, for a file that cannot be read, is empty or holds more than one line."""
    if path is None:
        return environ.get(PASSWORD_ENV, "")
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as exc:
        reason = exc.strerror if isinstance(exc, OSError) else "not UTF-8 text"
        raise ValueError(f"--password-file {path}: {reason}") from None
    password = text[:-2] if text.endswith("\r\n") else text.removesuffix("\n")
    if not password or "\n" in password or "\r" in password:
        raise ValueError(f"--password-file {path} must hold the password on one line")
    return password


def blocking_reasons(status: _brevacon.RemoteStatus) -> list[str]:
    """Every flag of the status word that keeps a remote motion from running, explained."""
    reasons = [text for name, blocks_when, text in _BLOCKING
               if getattr(status, name) == blocks_when]
    if status.error:
        reasons.append(f"Error is on: controller error {status.code}; remove its cause, then "
                       f"reset the controller")
    if status.running or status.paused or not status.ready:
        state = "paused" if status.paused else "running" if status.running else "not ready"
        reasons.append(f"Ready is off ({state}): a task or statement is executing, and the "
                       f"controller takes no motion until it ends")
    return reasons


def nearest_rank(values: Sequence[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def check_status(report: Report, robot: _brevacon.Brevacon) -> None:
    status = robot.get_remote_status()
    report.status = {name: getattr(status, name) for name in (
        "test_mode", "teach", "auto", "warning", "severe_error", "safeguard", "emergency_stop",
        "error", "paused", "running", "ready", "code")}
    reasons = blocking_reasons(status)
    note = f" (Warning is on, code {status.code}: motion is still accepted)" \
        if status.warning and not status.error else ""
    report.add("status", not reasons,
               ("; ".join(reasons) if reasons else "ready for motion: Auto and Ready on, no "
                "Emergency Stop, safeguard closed, no error") + note)


def check_round_trips(report: Report, robot: _brevacon.Brevacon) -> None:
    times = []
    for _ in range(ROUND_TRIPS):
        start = time.perf_counter()
        robot.get_remote_status()
        times.append((time.perf_counter() - start) * 1000.0)
    median, p99 = statistics.median(times), nearest_rank(times, 0.99)
    report.command_rtt_ms = {"median": median, "p99": p99}
    report.add("command round trip", True,
               f"{ROUND_TRIPS} $GetStatus round trips: median {median:.2f} ms, p99 {p99:.2f} ms")


def check_telemetry(report: Report, seconds: float) -> None:
    receiver = _tandrel.EthernetReceiveInterface()
    try:
        receiver.connect(report.host, report.telemetry_port)
        reader = receiver.sample_reader()
        before = receiver.counters()
        start = time.monotonic()
        finite = True
        while (left := start + seconds - time.monotonic()) > 0:
            # Batches well inside the reader's ring, so that every sample is looked at.
            for sample in reader.take(timeout=min(left, 0.1), min_samples=BATCH):
                finite = finite and all(map(math.isfinite, sample.joints + sample.pose))
        elapsed = time.monotonic() - start
        after = receiver.counters()
    finally:
        receiver.disconnect()

    def grown(*names: str) -> int:
        return sum(after[n] - before[n] for n in names)  # type: ignore[literal-required]

    samples = grown("samples_published")
    failures = grown("dropped_parse_failure", "dropped_oversize", "dropped_incomplete_status")
    finite = finite and grown("dropped_non_finite") == 0
    report.telemetry_hz = samples / elapsed
    report.telemetry = {"packet_hz": grown("packets_received") / elapsed, "samples": samples,
                        "status_packets": grown("status_published"),
                        "parse_failures": failures, "finite": finite, "seconds": elapsed}
    problems = ([] if samples else ["no complete sample"]) + \
        ([f"{failures} packets failed to parse"] if failures else []) + \
        ([] if finite else ["values that are not finite"])
    report.add("telemetry", not problems,
               f"{report.telemetry['packet_hz']:.1f} packets/s, {samples} complete samples "
               f"({report.telemetry_hz:.1f} Hz), {report.telemetry['status_packets']} status "
               f"packets, {failures} parse failures, values "
               f"{'finite' if finite else 'NOT finite'} in {elapsed:.1f} s"
               + (f": {'; '.join(problems)}" if problems else ""))


def run(host: str, port: int, telemetry_port: int, password: str,
        seconds: float = DEFAULT_SECONDS) -> Report:
    """All checks in order; the first, the connection, ends the run when it fails."""
    report = Report(host, port, telemetry_port)
    robot = _brevacon.Brevacon()
    start = time.perf_counter()
    try:
        robot.connect(host, port, password, attempt_timeout=CONNECT_TIMEOUT_S, attempts=1)
    except (RuntimeError, ValueError) as exc:
        report.add("connection", False, str(exc))
        return report
    report.add("connection", True, f"logged in to {host}:{port} in "
                                   f"{(time.perf_counter() - start) * 1000.0:.1f} ms")
    steps: list[tuple[str, Callable[[], None]]] = [
        ("status", lambda: check_status(report, robot)),
        ("command round trip", lambda: check_round_trips(report, robot)),
        ("telemetry", lambda: check_telemetry(report, seconds)),
    ]
    for name, step in steps:
        try:
            step()
        except RuntimeError as exc:
            report.add(name, False, str(exc))
    try:
        robot.disconnect()  # logs out; this session switched no motors on
    except RuntimeError as exc:
        report.add("logout", False, str(exc))
    else:
        report.add("logout", True, "logged out")
    return report


def render(report: Report) -> str:
    width = max(len(c.name) for c in report.checks)
    lines = [f"epson-check {report.host}:{report.port} (telemetry port {report.telemetry_port})"]
    lines += [f"  {'ok  ' if c.ok else 'FAIL'}  {c.name:<{width}}  {c.detail}"
              for c in report.checks]
    failed = [c.name for c in report.checks if not c.ok]
    lines.append(f"NOT ready: {', '.join(failed)} failed" if failed else "ready for motion")
    return "\n".join(lines)


def _port(text: str) -> int:
    port = int(text)
    if not 1 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"{text} is not a TCP port (1 to 65535)")
    return port


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="epson-check", description="Check an Epson cell before the first motion; moves "
        "nothing, switches no motors, writes no output. Exit status 0 only when ready.")
    parser.add_argument("host", help="the controller's address")
    parser.add_argument("--port", type=_port, default=5000, help="Remote Ethernet command port")
    parser.add_argument("--telemetry-port", type=_port, default=2000,
                        help="port of the controller's telemetry task")
    parser.add_argument("--password-file", metavar="PATH",
                        help=f"file holding the login password (default: ${PASSWORD_ENV}, "
                             "else empty)")
    parser.add_argument("--seconds", type=float, default=DEFAULT_SECONDS,
                        help="how long to read telemetry")
    parser.add_argument("--json", action="store_true",
                        help="print one JSON object on standard output")
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if not 0 < args.seconds <= 3600:
        parser.error("--seconds must be more than 0 and at most 3600")
    try:
        password = read_password(args.password_file)
    except ValueError as exc:
        parser.error(str(exc))
    # The driver's lines go to standard error, errors only, so standard output holds the report.
    log = logging.getLogger("epson_check.driver")
    to_stderr = logging.StreamHandler(sys.stderr)
    log.addHandler(to_stderr)
    log.setLevel(logging.WARNING)
    log.propagate = False
    _brevacon.route_log_to_logging(log)
    try:
        report = run(args.host, args.port, args.telemetry_port, password, args.seconds)
    finally:
        _brevacon.restore_default_log()
        log.removeHandler(to_stderr)
    print(json.dumps(report.as_json()) if args.json else render(report), flush=True)
    return 0 if report.ok else 1
