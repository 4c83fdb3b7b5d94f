"""An application that runs its motions in Python, made visible to ROS 2 with one line.

The bridge publishes joint_states, tcp_pose and diagnostics from the application's own Tandrel
and serves ~/pause, ~/continue_motion, ~/abort_motion (and the motor and reset services) on the
application's own command session, so another ROS 2 process can stop the motion running here:

    ros2 service call /epson_ros2_bridge/abort_motion std_srvs/srv/Trigger

Without --host it starts the virtual controller on loopback. Like everything that loads rclpy
in this project, run it inside a private network namespace with only loopback:

    make ros2-example
    # which runs:
    ROS_AUTOMATIC_DISCOVERY_RANGE=LOCALHOST PYTHONPATH=build/release/python:sim:python \
      unshare -n sh -c 'ip link set lo up; exec .venv-ros/bin/python examples/ros2_attach.py'

With --host it moves a real robot only when --allow-motion is given too.
"""

from __future__ import annotations

import sys

import common

POINTS = ("P1", "P2")


def main() -> int:
    parser = common.parser(__doc__.split("\n\n")[0])
    parser.add_argument("--cycles", type=int, default=3, help="rounds between P1 and P2")
    parser.add_argument("--speed", type=int, default=30, help="speed in percent")
    parser.add_argument("--allow-motion", action="store_true",
                        help="move a real robot (with --host)")
    args = parser.parse_args()
    if args.host and not args.allow_motion:
        sys.exit("this example moves the robot: add --allow-motion to do that with --host")
    _brevacon, _tandrel = common.import_driver()
    import epson_ros2  # after the driver: it needs both modules, and rclpy

    with common.controller(args) as (host, port, telemetry_port, _vc):
        with _tandrel.Tandrel(host, port, telemetry_port) as robot, \
                epson_ros2.attach(robot) as bridge:  # the one line
            control = robot.get_control_interface()
            control.motor_on()
            for cycle in range(1, args.cycles + 1):
                for point in POINTS:
                    try:
                        control.go(point, speed_percent=args.speed)
                    except _brevacon.MotionAbortedError:
                        print(f"cycle {cycle}: the go to {point} was aborted over ROS")
                        return 0
                print(f"cycle {cycle}: {bridge.samples_published} samples published, "
                      f"health: {bridge.health().message}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
