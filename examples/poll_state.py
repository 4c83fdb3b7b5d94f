"""Poll joint angles, pose and controller status over the command channel."""

import sys
import time

import common


def main() -> int:
    ap = common.parser(__doc__)
    ap.add_argument("--count", type=int, default=5, help="number of polls")
    ap.add_argument("--interval", type=float, default=0.2, help="seconds between polls")
    args = ap.parse_args()
    brevacon, _ = common.import_driver()

    with common.controller(args) as (host, port, _telemetry_port, _vc):
        arm = brevacon.Brevacon()
        arm.connect(host, port)  # the virtual controller accepts any password
        try:
            for _ in range(args.count):
                t0 = time.perf_counter()
                state = arm.get_state()
                took_ms = (time.perf_counter() - t0) * 1e3
                joints = " ".join(f"{q:8.3f}" for q in state["joint_positions"])
                pose = " ".join(f"{c:8.3f}" for c in state["tcp_pose"])
                print(f"joints {joints} | pose {pose} | {took_ms:.2f} ms")
                time.sleep(args.interval)
            status = arm.get_controller_status()
            print("status " + ", ".join(f"{k}={v}" for k, v in status.items()))
            print(f"E-stop {arm.is_emergency_stopped()}, power {arm.get_power_mode().name}, "
                  f"Tool {arm.get_tool()}")
        finally:
            arm.disconnect()
    return 0


if __name__ == "__main__":
    sys.exit(main())
