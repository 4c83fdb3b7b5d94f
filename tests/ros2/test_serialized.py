"""Messages packed into learned bytes are exactly what the type support would serialize."""

from __future__ import annotations

import random
from collections.abc import Sequence
from typing import Any

import pytest
import ros2_support  # noqa: F401 - skips this module outside the namespace or without rclpy
from geometry_msgs.msg import PoseStamped
from rclpy.serialization import serialize_message
from sensor_msgs.msg import JointState
from std_msgs.msg import Header

from epson_ros2.bridge import _assign_pose, _assign_positions
from epson_ros2.serialized import StampedLayout, stamped_layout


# Frame ids and joint names of every length modulo the alignments, and beyond ASCII.
@pytest.mark.parametrize("frame_id,names", [
    ("", [f"joint_{i}" for i in range(1, 7)]),
    ("b", ["a", "bb", "ccc", "dddd", "eeeee", "ffffff"]),
    ("base_link_0", ["", "", "", "", "", ""]),
    ("Zelle/Basis", ["Achse_ä", "軸2", "j3", "j4", "j5", "j6"]),
])
def test_packed_messages_match_the_serializer(frame_id: str, names: list[str]) -> None:
    rng = random.Random(3)
    cases: list[tuple[Any, int, Any]] = [
        (JointState(header=Header(frame_id=frame_id), name=names), 6, _assign_positions),
        (PoseStamped(header=Header(frame_id=frame_id)), 7, _assign_pose)]
    for message, count, assign in cases:
        layout = stamped_layout(message, count, assign)
        assert isinstance(layout, StampedLayout)
        for _ in range(50):
            sec, nanosec = rng.randrange(-2**31, 2**31), rng.randrange(2**32)
            values = [rng.uniform(-1e6, 1e6) for _ in range(count)]
            message.header.stamp.sec, message.header.stamp.nanosec = sec, nanosec
            assign(message, values)
            assert layout.pack(sec, nanosec, values) == serialize_message(message)


def test_a_message_whose_values_vary_elsewhere_is_published_as_an_object() -> None:
    # Velocities as well as positions: the bytes that change are not the one run it learned.
    def both(message: JointState, values: Sequence[float]) -> None:
        message.position = list(values)
        message.velocity = list(values)

    fallback = stamped_layout(JointState(name=["j"] * 6), 6, both)
    assert not isinstance(fallback, StampedLayout)
    message = fallback.pack(5, 6, [1.0, 2.0, 3.0, 4.0, 5.0, 6.0])
    assert isinstance(message, JointState)
    assert (message.header.stamp.sec, message.header.stamp.nanosec) == (5, 6)
    assert list(message.velocity) == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
    # Values that never reach the message.
    assert not isinstance(stamped_layout(JointState(), 6, lambda message, values: None),
                          StampedLayout)
