"""epson-check against the virtual controller, a scripted fake and a closed port."""

from __future__ import annotations

import errno
import json
import os
import pathlib
import subprocess
import sys

import pytest

import epson_check
from epson_sim import VirtualController
from fake_controller import FakeController
from telemetry_peer import TelemetryPeer

CHECKS = ["connection", "status", "command round trip", "telemetry", "logout"]


def check(capsys: pytest.CaptureFixture[str], port: int, telemetry_port: int,
          *extra: str) -> tuple[int, dict]:
    status = epson_check.main(["127.0.0.1", "--port", str(port), "--telemetry-port",
                               str(telemetry_port), "--seconds", "0.3", "--json", *extra])
    out = capsys.readouterr().out
    assert out.count("\n") == 1  # one object, nothing else
    return status, json.loads(out)


def test_a_ready_virtual_controller_passes(capsys: pytest.CaptureFixture[str]) -> None:
    with VirtualController(port=0, telemetry_port=0, telemetry_rate_hz=200) as vc:
        status, report = check(capsys, vc.port, vc.telemetry_port)
    assert status == 0 and report["ok"] is True
    assert [c["name"] for c in report["checks"]] == CHECKS
    assert all(c["ok"] and c["detail"] for c in report["checks"])
    rtt = report["command_rtt_ms"]
    assert 0.0 < rtt["median"] <= rtt["p99"] < 1000.0
    assert report["telemetry_hz"] == pytest.approx(200, rel=0.2)
    assert report["telemetry"]["parse_failures"] == 0 and report["telemetry"]["finite"]
    assert report["telemetry"]["status_packets"] >= 1
    assert report["status"]["ready"] and report["status"]["code"] == 0


@pytest.mark.parametrize("operate, says", [
    (lambda vc: vc.set_emergency_stop(True), ["EStop is on"]),
    (lambda vc: vc.set_safeguard_open(True), ["Safeguard is on"]),
    (lambda vc: vc.set_teach_mode(True), ["Auto is off", "Teach is on"]),
    (lambda vc: vc.inject_error(4123), ["Error is on: controller error 4123"]),
])
def test_what_blocks_motion_fails_the_status_check_and_says_why(
        capsys: pytest.CaptureFixture[str], operate, says: list[str]) -> None:
    with VirtualController(port=0, telemetry_port=0, telemetry_rate_hz=200) as vc:
        operate(vc)
        status, report = check(capsys, vc.port, vc.telemetry_port)
    assert status == 1 and report["ok"] is False
    checks = {c["name"]: c for c in report["checks"]}
    assert list(checks) == CHECKS  # the others still ran
    assert not checks["status"]["ok"]
    assert [text for text in says if text not in checks["status"]["detail"]] == []
    assert all(c["ok"] for name, c in checks.items() if name != "status")


def test_the_text_report_names_the_failed_check(capsys: pytest.CaptureFixture[str]) -> None:
    with VirtualController(port=0, telemetry_port=0, telemetry_rate_hz=200) as vc:
        vc.set_emergency_stop(True)
        assert epson_check.main(["127.0.0.1", "--port", str(vc.port), "--telemetry-port",
                                 str(vc.telemetry_port), "--seconds", "0.2"]) == 1
    lines = capsys.readouterr().out.splitlines()
    assert lines[2].startswith("  FAIL  status") and "Emergency Stop" in lines[2]
    assert lines[-1] == "NOT ready: status failed"


def test_a_closed_port_fails_at_the_first_check_with_the_systems_message(
        refusing_port: int) -> None:
    done = subprocess.run(
        [sys.executable, "-m", "epson_check", "127.0.0.1", "--port", str(refusing_port),
         "--json"], capture_output=True, text=True, timeout=60, check=False,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert done.returncode == 1, done.stderr
    report = json.loads(done.stdout)
    assert report["ok"] is False
    assert [c["name"] for c in report["checks"]] == ["connection"]
    assert os.strerror(errno.ECONNREFUSED) in report["checks"][0]["detail"]
    assert report["command_rtt_ms"] == {"median": None, "p99": None}
    assert report["telemetry_hz"] is None


def test_it_sends_only_login_status_and_logout(
        capsys: pytest.CaptureFixture[str], fake_controller: FakeController,
        telemetry_peer: TelemetryPeer, tmp_path: pathlib.Path) -> None:
    password = tmp_path / "pw"
    password.write_text("pw\n")
    fake_controller.expect("$Login,pw").reply("#Login").logout().expect_close()
    status, report = check(capsys, fake_controller.port, telemetry_peer.port,
                           "--password-file", str(password))
    assert fake_controller.wait_until_done()
    assert fake_controller.texts == ["$Login,pw"] + ["$GetStatus"] * 51 + ["$Logout"]
    # The fake answers Running: a statement executes, so the cell is not ready.
    assert status == 1 and "Ready is off (running)" in report["checks"][1]["detail"]


@pytest.mark.parametrize("content, environ, expected", [
    ("s3cret\n", {"EPSON_PASSWORD": "other"}, "s3cret"),
    ("s3cret\r\n", {}, "s3cret"),
    (None, {"EPSON_PASSWORD": "from-env"}, "from-env"),
    (None, {}, ""),
])
def test_password_from_the_file_else_the_environment(
        tmp_path: pathlib.Path, content: str | None, environ: dict[str, str],
        expected: str) -> None:
    path = None
    if content is not None:
        path = tmp_path / "pw"
        path.write_bytes(content.encode())
    assert epson_check.read_password(None if path is None else str(path), environ) == expected


@pytest.mark.parametrize("content", ["", "\n", "hunter2\nhunter3\n", None])
def test_an_unusable_password_file_stops_before_connecting(
        tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str], content: str | None) -> None:
    path = tmp_path / "pw"
    if content is not None:
        path.write_text(content)
    with pytest.raises(SystemExit) as stopped:
        epson_check.main(["127.0.0.1", "--password-file", str(path)])
    assert stopped.value.code == 2
    err = capsys.readouterr().err
    assert str(path) in err and "hunter" not in err
