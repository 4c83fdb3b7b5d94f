"""Unit and health conversions of the bridge, free of ROS types so each is a plain function.

The controller reports joints in degrees and the TCP as [X, Y, Z, U, V, W] in millimetres and
degrees with R = Rz(U) Ry(V) Rx(W); ROS wants radians, metres and a quaternion (REP 103).
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

# diagnostic_msgs/DiagnosticStatus levels, repeated here so this module needs no ROS import.
OK, WARN, ERROR = 0, 1, 2

# A status packet comes once a second and on every change: three missed ones mean trouble.
STALE_STATUS_S = 3.0
# Beyond this a sample is too old to trust as the robot's present position.
STALE_SAMPLE_S = 0.5


def quaternion_from_uvw(u_deg: float, v_deg: float, w_deg: float) -> tuple[float, float, float,
                                                                          float]:
    """(x, y, z, w) of Rz(U) Ry(V) Rx(W), a unit quaternion with w >= 0."""
    hu, hv, hw = (math.radians(a) / 2.0 for a in (u_deg, v_deg, w_deg))
    cu, su = math.cos(hu), math.sin(hu)
    cv, sv = math.cos(hv), math.sin(hv)
    cw, sw = math.cos(hw), math.sin(hw)
    q = (cu * cv * sw - su * sv * cw,
         cu * sv * cw + su * cv * sw,
         su * cv * cw - cu * sv * sw,
         cu * cv * cw + su * sv * sw)
    # q and -q are the same rotation; one sign keeps consecutive messages comparable.
    return q if q[3] >= 0.0 else (-q[0], -q[1], -q[2], -q[3])


def pose_to_ros(pose: Sequence[float]) -> tuple[tuple[float, float, float],
                                                tuple[float, float, float, float]]:
    """Position in metres and orientation quaternion (x, y, z, w) of a controller pose."""
    x, y, z, u, v, w = pose
    return (x / 1000.0, y / 1000.0, z / 1000.0), quaternion_from_uvw(u, v, w)


def stamp_from_host_time(host_time: float, offset_ns: int) -> tuple[int, int]:
    """(sec, nanosec) on the ROS clock of a time.monotonic() reading, offset_ns being the ROS
    clock minus the monotonic clock in nanoseconds."""
    total = offset_ns + round(host_time * 1e9)
    return total // 1_000_000_000, total % 1_000_000_000


def batch_size(interval_s: float, period_s: float) -> int:
    """How many samples a batch waits for so that batches are at least period_s apart, for
    samples interval_s apart: 1 when they are that far apart already (or the interval is not
    known yet). A tenth of a sample's leeway keeps jitter from adding a sample (at 1 kHz, 2
    a batch every 2 ms, not 3 every 3 ms)."""
    if not interval_s > 0.0:
        return 1
    return max(1, math.ceil(period_s / interval_s - 0.1))


@dataclass
class Health:
    """What one diagnostics message says: a level, a one-line summary and key/values."""

    level: int
    message: str
    values: list[tuple[str, str]] = field(default_factory=list)


def assess(connection: str, status: Mapping[str, int] | None, status_age_s: float,
           sample_age_s: float, counters: Mapping[str, object], missed: int,
           missed_since_last: int) -> Health:
    """The health of the controller as the telemetry shows it.

    connection is "connected", "reconnecting" (telemetry lost, the receiver retries) or
    "disconnected" (no session at all); status is the latest status packet, if any. ERROR for
    a lost connection, an Emergency Stop or a pending controller error; WARN for an open
    safeguard, teach mode, old data or samples the bridge could not publish since the last
    report.
    """
    errors: list[str] = []
    warnings: list[str] = []
    if connection != "connected":
        errors.append(f"telemetry {connection}")
    if status is None:
        warnings.append("no controller status yet")
    else:
        if status.get("emergency_stopped"):
            errors.append("Emergency Stop")
        if status.get("system_error"):
            errors.append(f"controller error {status['system_error']}")
        if status.get("safeguard_open"):
            warnings.append("safeguard open")
        if status.get("teach_mode"):
            warnings.append("teach mode")
    if connection == "connected":
        if status is not None and status_age_s > STALE_STATUS_S:
            warnings.append(f"status {status_age_s:.1f} s old")
        if sample_age_s > STALE_SAMPLE_S:
            warnings.append(f"sample {sample_age_s:.2f} s old")
    if missed_since_last:
        warnings.append(f"{missed_since_last} samples missed")

    level = ERROR if errors else WARN if warnings else OK
    message = "; ".join(errors + warnings) or "OK"
    values = [("connection", connection)]
    if status is not None:
        values += [
            ("emergency_stop", str(bool(status.get("emergency_stopped")))),
            ("safeguard_open", str(bool(status.get("safeguard_open")))),
            ("teach_mode", str(bool(status.get("teach_mode")))),
            ("system_error", str(status.get("system_error", 0))),
            ("stat", f"0x{status.get('stat', 0):08X}"),
            ("robot_info", f"0x{status.get('robot_info', 0):X}"),
            ("ctrl_info", f"0x{status.get('ctrl_info', 0):X}"),
        ]
    values += [("status_age_s", _age(status_age_s)), ("sample_age_s", _age(sample_age_s)),
               ("samples_missed_by_bridge", str(missed))]
    values += [(key, str(value)) for key, value in counters.items() if str(value) != ""]
    return Health(level, message, values)


def _age(seconds: float) -> str:
    return "none" if math.isinf(seconds) else f"{seconds:.3f}"
