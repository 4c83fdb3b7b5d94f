"""Record a go and a move as CSV, then plot the run: joints and TCP against time, and the path.

    python examples/record_and_plot.py [-o run.png]

Without --host it runs against the virtual controller. With --host it moves a real robot only
when --allow-motion is given too: between the two points below, in front of the robot.
"""

import sys

import common

POINT_A = "XY(420,-180,320,0,0,180)"
POINT_B = "XY(420,180,320,0,0,180)"


def main() -> int:
    ap = common.parser(__doc__.splitlines()[0])
    ap.add_argument("-o", "--output", default="run.png", help="the plot (the CSV goes beside it)")
    ap.add_argument("--allow-motion", action="store_true", help="let it move a real robot")
    args = ap.parse_args()
    if args.host and not args.allow_motion:
        sys.exit("this example moves the robot: pass --allow-motion to run it on a real one")
    _, tandrel = common.import_driver()
    recording = args.output.rsplit(".", 1)[0] + ".csv"

    with common.controller(args, rate_hz=250) as (host, port, telemetry_port, _vc):
        with tandrel.Tandrel(host, port, telemetry_port) as robot:
            arm = robot.get_control_interface()
            telemetry = robot.get_receive_interface()
            arm.motor_on()
            arm.go(POINT_A, ljm=True, speed_percent=20)
            with telemetry.record(recording) as run:
                run.mark("go")  # the plot labels each motion's start
                arm.go(POINT_B, ljm=True, speed_percent=20)
                run.mark("move")
                arm.move(POINT_A, speed_mm_s=300.0)
            counters = telemetry.counters()
            print(f"recorded {counters['recorded_rows']} rows to {recording} "
                  f"({counters['recording_dropped']} dropped)")
    common.plot(recording, args.output, "go then move")
    return 0


if __name__ == "__main__":
    sys.exit(main())
