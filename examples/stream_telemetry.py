"""Print the pushed telemetry as it arrives, count the samples this reader missed, and show the
receiver's counters and the controller status."""

import sys
import time

import common


def main() -> int:
    ap = common.parser(__doc__.splitlines()[0])
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
            received = missed = 0
            last = None
            next_print = time.monotonic()
            end = time.monotonic() + args.seconds
            # Each step waits for a newer sample; the receiver keeps only the latest, so a
            # reader slower than the stream skips samples, and the sequence numbers show it.
            for s in receiver.samples(timeout=1.0):
                received += 1
                if last is not None:
                    missed += s.sequence - last - 1
                last = s.sequence
                now = time.monotonic()
                if now >= next_print:
                    print(f"#{s.sequence:<6} J " + " ".join(f"{q:8.3f}" for q in s.joints)
                          + " | XYZUVW " + " ".join(f"{c:8.3f}" for c in s.pose)
                          + f" | {(now - s.host_time) * 1e3:5.2f} ms after publication")
                    next_print = now + 0.25
                if now >= end:
                    break
            print(f"received {received} samples, missed {missed}")
            if receiver.has_controller_status():
                status = receiver.get_controller_status()
                print("status " + ", ".join(f"{k}={v}" for k, v in status.items())
                      + f" ({receiver.controller_status_age_seconds():.2f} s old)")
            print("counters " + ", ".join(f"{k}={v}" for k, v in receiver.counters().items()))
        finally:
            receiver.disconnect()
    return 0


if __name__ == "__main__":
    sys.exit(main())
