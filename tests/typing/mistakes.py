"""Mistakes the stubs must let a type checker catch, one per line.

`mypy --strict` (which turns on --warn-unused-ignores) must accept this file as it is: each
mistake carries `# type: ignore[<code>]` for exactly the error it has to cause. If a stub stops
catching a mistake, its ignore is unused; if it reports another error, that error shows; if
mypy cannot find the stubs, the imports fail. Each of these fails the check.
"""

from __future__ import annotations

import _brevacon
import _tandrel


def construct_what_python_cannot() -> None:
    _brevacon.PtpMotionLimits()  # type: ignore[call-arg]
    _brevacon.PtpMotionLimits(100)  # type: ignore[arg-type]
    _tandrel.TelemetrySample()  # type: ignore[call-arg]


def wrong_arguments(client: _brevacon.Brevacon) -> None:
    client.connect(5000)  # type: ignore[arg-type]
    client.connect("robot", port="5000")  # type: ignore[arg-type]
    client.set_power_mode(1)  # type: ignore[arg-type]
    client.go([400.0, 0.0, 300.0, 0.0, 90.0, 180.0])  # type: ignore[arg-type]
    client.set_tcp_offset(["0", "0", "0.12", "0", "0", "0"])  # type: ignore[list-item]
    _tandrel.Tandrel(host=None)  # type: ignore[arg-type]


def wrong_results(client: _brevacon.Brevacon, receiver: _tandrel.EthernetReceiveInterface) -> None:
    status: list[int] = client.get_controller_status()  # type: ignore[assignment]
    joints: list[int] = client.inverse_kinematics([0.0] * 6)  # type: ignore[assignment]
    limits = client.get_ptp_motion_limits()
    limits.speed_percent = 50  # type: ignore[misc]
    receiver.get_sample().joints.upper()  # type: ignore[attr-defined]
    version: int = _brevacon.__version__  # type: ignore[assignment]
    print(status, joints, version)


def with_blocks() -> None:
    with _tandrel.Tandrel("robot") as hardware:
        hardware.motor_on()  # type: ignore[attr-defined]
    with _brevacon.Brevacon() as client:
        client.connect("robot", 5000, password=None)  # type: ignore[arg-type]


def errors_and_logging(client: _brevacon.Brevacon) -> None:
    try:
        client.motor_on()
    except _brevacon.ControllerError as refused:
        print(refused.code + 1)  # type: ignore[operator]
    _brevacon.route_log_to_logging("epson")  # type: ignore[arg-type]


def telemetry_stream(receiver: _tandrel.EthernetReceiveInterface) -> None:
    receiver.counters()["last_connection_error"].bit_length()  # type: ignore[attr-defined]
    receiver.wait_for_next_sample(timeout="1")  # type: ignore[arg-type]
    for sample in receiver.samples():
        sample.sequence.upper()  # type: ignore[attr-defined]
