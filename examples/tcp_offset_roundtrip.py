"""Set a TCP offset in metres and Euler-XYZ degrees, read it back, and restore the Tool."""

import sys

import common


def main() -> int:
    ap = common.parser(__doc__)
    ap.add_argument("--offset", type=float, nargs=6, default=[0.01, -0.02, 0.15, 90.0, 0.0, 45.0],
                    metavar=("X", "Y", "Z", "RX", "RY", "RZ"), help="TCP offset (m, deg)")
    args = ap.parse_args()
    brevacon, _ = common.import_driver()

    with common.controller(args) as (host, port, _telemetry_port, _vc):
        arm = brevacon.Brevacon()
        arm.connect(host, port)
        try:
            before_tool = arm.get_tool()
            print(f"before: Tool {before_tool}, TCP offset {arm.get_tcp_offset()}")
            arm.set_tcp_offset(args.offset)
            back = arm.get_tcp_offset()
            print(f"set {args.offset}\nread {back}")
            print(f"slot 15 holds {arm.get_tool_definition(15)} (native mm, deg)")
            print(f"largest difference {max(abs(a - b) for a, b in zip(back, args.offset)):.2e}")
            arm.restore_tcp_offset()
            print(f"restored: Tool {arm.get_tool()}, slot 15 defined {arm.is_tool_defined(15)}")
        finally:
            arm.disconnect()
    return 0


if __name__ == "__main__":
    sys.exit(main())
