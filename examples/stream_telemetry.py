"""Print the pushed telemetry: latest sample with its age, and the controller status."""

import sys
import time

import common


def main() -> int:
    ap = common.parser(__doc__)
    ap.add_argument("--seconds", type=float, default=2.0, help="how long to stream")
    ap.add_argument("--rate", type=float, default=100.0,
                    help="sample rate of the virtual controller (Hz)")
    args = ap.parse_args()
    _, tandrel = common.import_driver()

    with common.controller(args, rate_hz=args.rate) as (host, _port, telemetry_port, _vc):
        # The receiver alone: no command session and no login needed.
        receiver = tandrel.EthernetReceiveInterface()
        receiver.connect(host, telemetry_port)  # returns once the first sample is in
        try:
            end = time.monotonic() + args.seconds
            while time.monotonic() < end:
                s = receiver.get_sample()
                print("J " + " ".join(f"{q:8.3f}" for q in s.joints)
                      + " | XYZUVW " + " ".join(f"{c:8.3f}" for c in s.pose)
                      + f" | age {receiver.sample_age_seconds() * 1e3:5.1f} ms")
                time.sleep(0.25)
            if receiver.has_controller_status():
                status = receiver.get_controller_status()
                print("status " + ", ".join(f"{k}={v}" for k, v in status.items())
                      + f" ({receiver.controller_status_age_seconds():.2f} s old)")
            print(f"{common.sample_rate(receiver, 1.0):.0f} samples/s received")
        finally:
            receiver.disconnect()
    return 0


if __name__ == "__main__":
    sys.exit(main())
