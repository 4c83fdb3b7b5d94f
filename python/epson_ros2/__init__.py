"""ROS 2 bridge of the Epson driver: joint states, TCP pose, diagnostics and stop services.

Embedded, in an application that runs its motions in Python::

    with _tandrel.Tandrel(host) as robot, epson_ros2.attach(robot):
        ...  # motions as before; ROS sees the robot and can pause or abort them

Standalone, for a cell where no Python application holds the command session::

    epson-ros2-bridge --ros-args -p host:=robot-controller

Needs rclpy and the message packages of ROS 2 Jazzy: a ROS install, or the PyPI wheels of the
extra (``pip install epson-driver[ros2]``).
"""

from __future__ import annotations

try:
    import rclpy  # noqa: F401
    from diagnostic_msgs.msg import DiagnosticArray  # noqa: F401
    from geometry_msgs.msg import PoseStamped  # noqa: F401
    from sensor_msgs.msg import JointState  # noqa: F401
    from std_srvs.srv import Trigger  # noqa: F401
except ImportError as missing:
    raise ImportError(
        f"epson_ros2 needs ROS 2 Jazzy's rclpy and message packages ({missing}): source a ROS 2 "
        f"Jazzy install, or pip install 'epson-driver[ros2]' for the PyPI wheels"
    ) from missing

from .bridge import Bridge, attach

__all__ = ["Bridge", "attach"]
