"""A read-only session written against the modules' type stubs: `mypy --strict` accepts it.

    python examples/typed_usage.py HOST [CONTROL_PORT] [TELEMETRY_PORT]

It prints the controller status, the robot state and the latest telemetry sample, and never
moves the robot. Run it against the virtual controller (`epson-virtual-controller --port 0
--telemetry-port 0` prints the ports it picked) or a real controller.
"""

from __future__ import annotations

import sys

import _brevacon
import _tandrel


def describe(command: _brevacon.Brevacon) -> list[str]:
    status: dict[str, int] = command.get_controller_status()
    lines = [f"{key:<18} {value}" for key, value in sorted(status.items())]
    state = command.get_state()
    lines.append("joints  " + " ".join(f"{q:9.3f}" for q in state["joint_positions"]))
    lines.append("pose    " + " ".join(f"{v:9.3f}" for v in state["tcp_pose"]))
    try:
        mode: _brevacon.EpsonPowerMode = command.get_power_mode()
    except _brevacon.ControllerError as refused:
        code: int | None = refused.code
        return lines + [f"Power refused (code {code}): {refused.reply}"]
    limits: _brevacon.PtpMotionLimits = command.get_ptp_motion_limits()
    lines.append(f"power {mode.name}, acceleration at most {limits.acceleration_percent} %")
    return lines


def main(argv: list[str]) -> int:
    if len(argv) < 2:
        print(f"usage: {argv[0]} HOST [CONTROL_PORT] [TELEMETRY_PORT]", file=sys.stderr)
        return 2
    host = argv[1]
    control_port = int(argv[2]) if len(argv) > 2 else _brevacon.Brevacon.default_port
    receive_port = int(argv[3]) if len(argv) > 3 else 2000
    print(f"driver {_tandrel.__version__}")
    with _tandrel.Tandrel(host, control_port, receive_port) as hardware:
        print(repr(hardware))
        for line in describe(hardware.get_control_interface()):
            print(line)
        telemetry = hardware.get_receive_interface()
        sample: _tandrel.TelemetrySample = telemetry.wait_for_next_sample(timeout=1.0)
        published: int = telemetry.counters()["samples_published"]
        print(f"sample #{sample.sequence} of {published} published since connect")
        age_ms = telemetry.sample_age_seconds() * 1e3
        print(f"sample J1 {sample.joints[0]:.3f} deg, X {sample.pose[0]:.3f} mm, {age_ms:.1f} ms old")
    print(repr(hardware))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
