"""The bridge's conversions against the virtual controller's kinematics and status words."""

from __future__ import annotations

import itertools
import math
import random

import pytest
import ros2_support  # noqa: F401 - skips this module outside the namespace or without rclpy

from epson_ros2.conversions import (ERROR, OK, WARN, assess, batch_size, pose_to_ros,
                                    stamp_from_host_time)
from epson_sim import kinematics as kin


def rotation(x: float, y: float, z: float, w: float) -> list[list[float]]:
    return [[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
            [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
            [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]]


def joint_vectors() -> list[list[float]]:
    """Random vectors within the limits, and the wrist's singular and half-turn postures where
    the pose's angles are the least well defined (V = +-90, U or W = 180)."""
    rng = random.Random(7)
    vectors = [[rng.uniform(lo, hi) for lo, hi in kin.JOINT_LIMITS] for _ in range(300)]
    vectors += [[0, 0, 0, 0, 90, 0], [0, 0, 0, 0, 0, 0], [0, 0, -90, 0, 0, 0],
                [170, 0, 0, 0, 90, 180], [0, 90, 0, 0, -90, 0], [-45, 30, 20, 190, 0, -360]]
    return vectors


def test_tcp_pose_matches_the_simulators_forward_kinematics() -> None:
    for joints in joint_vectors():
        # The pose the controller would send for these joints, and the transform it came from.
        pose = kin.forward(joints)
        expected = kin.flange_transform(joints)
        position, quaternion = pose_to_ros(pose)
        assert math.fsum(c * c for c in quaternion) == pytest.approx(1.0, abs=1e-12)
        assert quaternion[3] >= 0.0
        assert list(position) == pytest.approx([expected[i][3] / 1000 for i in range(3)],
                                               abs=1e-9)
        for got, want in zip(rotation(*quaternion), expected):
            assert got == pytest.approx(want[:3], abs=1e-9), joints


def test_stamps_carry_monotonic_time_onto_the_ros_clock() -> None:
    offset = 1_700_000_000 * 10**9 - 12_345
    assert stamp_from_host_time(0.0, offset) == (1_699_999_999, 999_987_655)
    assert stamp_from_host_time(2.5, offset) == (1_700_000_002, 499_987_655)
    # A microsecond apart stays a microsecond apart at a monotonic clock days into its run.
    a, b = (stamp_from_host_time(400_000.0 + d, offset) for d in (0.0, 1e-6))
    assert (b[0] - a[0]) * 10**9 + b[1] - a[1] == pytest.approx(1000, abs=1)


STATUS = {"stat": 0x200000, "system_error": 0, "emergency_stopped": 0, "safeguard_open": 0,
          "teach_mode": 0, "control_device": 21, "robot_info": 0, "ctrl_info": 1}


@pytest.mark.parametrize("connection, change, missed, level, says", [
    ("connected", {}, 0, OK, "OK"),
    ("connected", {"emergency_stopped": 1}, 0, ERROR, "Emergency Stop"),
    ("connected", {"system_error": 4100}, 0, ERROR, "controller error 4100"),
    ("connected", {"safeguard_open": 1}, 0, WARN, "safeguard open"),
    ("connected", {"teach_mode": 1}, 0, WARN, "teach mode"),
    ("connected", {}, 3, WARN, "3 samples missed"),
    ("reconnecting", {}, 0, ERROR, "telemetry reconnecting"),
    ("disconnected", {"safeguard_open": 1}, 0, ERROR, "telemetry disconnected; safeguard open"),
])
def test_health_levels(connection: str, change: dict[str, int], missed: int, level: int,
                       says: str) -> None:
    health = assess(connection, {**STATUS, **change}, 0.2, 0.004, {"samples_published": 9},
                    missed, missed)
    assert (health.level, health.message) == (level, says)
    values = dict(health.values)
    assert values["connection"] == connection
    assert values["emergency_stop"] == str(bool(change.get("emergency_stopped")))
    assert values["system_error"] == str(change.get("system_error", 0))
    assert values["samples_published"] == "9"


def test_health_without_status_or_fresh_data() -> None:
    never = assess("disconnected", None, math.inf, math.inf, {}, 0, 0)
    assert never.level == ERROR and "emergency_stop" not in dict(never.values)
    assert dict(never.values)["sample_age_s"] == "none"
    for status_age, sample_age in itertools.product((0.2, 5.0), (0.01, 2.0)):
        health = assess("connected", STATUS, status_age, sample_age, {}, 0, 0)
        stale = status_age > 3.0 or sample_age > 0.5
        assert health.level == (WARN if stale else OK), (status_age, sample_age)


@pytest.mark.parametrize(("interval_s", "size"), [
    (0.0, 1), (math.nan, 1), (0.004, 1), (0.002, 1), (0.0015, 2), (0.00105, 2), (0.001, 2),
    (0.00096, 2), (0.0009, 3), (0.0005, 4), (0.0001, 20),
])
def test_batches_span_the_period_at_any_rate(interval_s: float, size: int) -> None:
    assert batch_size(interval_s, 0.002) == size
