"""Command line of the virtual controller.

    python3 -m epson_sim [--host 127.0.0.1] [--port 5000] [--telemetry-port 2000]
                         [--password PW] [--rate 100] [--cr] [--silent]
                         [--gripper OUTPUT,INPUT,SECONDS] [--execute-accepts-pause]
                         [--remote-timeout SECONDS]
                         [--telemetry-program FILE [--telemetry-entry FUNCTION]]
                         [--points-dir DIR]

Port 0 picks free ports. Once both ports listen, one line goes to standard output:
"epson-sim listening: command <host>:<port>, telemetry <host>:<port>". SavePoints and LoadPoints
keep their files in --points-dir (made if missing), by default in a temporary folder removed
when the controller stops.

Operator commands, one per line on standard input (also shown by "help"):
    estop on|off          press or release the Emergency Stop
    safeguard open|close  open or close the safeguard
    teach on|off          teach mode on or off
    error [code]          raise a controller error, 1..9999 (default 4100); "clear" removes it
    drop [seconds]        close the telemetry connections, refusing new ones for that long
    rate <hz>             telemetry sample rate (1 kHz at most): the program's TELEMETRY_PERIOD
    silence               stop answering commands: lines are still read and acted on, and
                          the connections stay open
    answer                answer commands again
    input <bit> on|off    switch a standard input, as a sensor in the cell would
    state                 print joints, pose, status and the inputs and outputs that are on
    quit                  stop the controller
The program runs until "quit", Ctrl-C or SIGTERM; end of input only ends the console.
"""

from __future__ import annotations

import argparse
import signal
import sys
import threading
from typing import List, Optional

from .cell_io import parse_gripper
from .controller import VirtualController


def _console(vc: VirtualController, done: threading.Event, line: str) -> str:
    words = line.split()
    if not words:
        return ""
    cmd, args = words[0].lower(), [w.lower() for w in words[1:]]
    flag = args[0] if args else ""
    if cmd == "estop" and flag in ("on", "off"):
        vc.set_emergency_stop(flag == "on")
    elif cmd == "safeguard" and flag in ("open", "close", "closed"):
        vc.set_safeguard_open(flag == "open")
    elif cmd == "teach" and flag in ("on", "off"):
        vc.set_teach_mode(flag == "on")
    elif cmd == "error":
        vc.inject_error(int(flag) if flag else 4100)
    elif cmd == "clear":
        vc.clear_error()
    elif cmd == "drop":
        vc.drop_telemetry(float(flag) if flag else 0.0)
    elif cmd == "rate" and flag:
        vc.set_telemetry_rate(float(flag))
    elif cmd in ("silence", "answer") and not args:
        vc.set_silent(cmd == "silence")
    elif cmd == "input" and len(args) == 2 and args[1] in ("on", "off"):
        vc.set_input(int(args[0]), args[1] == "on")
    elif cmd == "state":
        s = vc.state()
        joints = " ".join(f"{q:.3f}" for q in s["joints"])
        pose = " ".join(f"{c:.3f}" for c in s["pose"])
        return (f"joints [{joints}] pose [{pose}] status {s['status']}"
                f" inputs on {s['inputs_on']} outputs on {s['outputs_on']}"
                + (" (silent)" if s["silent"] else ""))
    elif cmd in ("quit", "exit"):
        done.set()
    elif cmd == "help":
        text = __doc__.split("Operator commands")[1].split("The program")[0]
        return text.split("\n", 1)[1].rstrip()
    else:
        return f"unknown operator command: {line.strip()} (try: help)"
    return "ok"


def _gripper(text: str):
    try:
        return parse_gripper(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="epson-virtual-controller",
                                     description="Virtual Epson controller with a 6-axis arm.")
    parser.add_argument("--host", default="127.0.0.1", help="address to bind (default loopback)")
    parser.add_argument("--port", type=int, default=5000, help="command port (0: any free)")
    parser.add_argument("--telemetry-port", type=int, default=2000,
                        help="telemetry port (0: any free)")
    parser.add_argument("--password", default=None,
                        help="login password (default: accept any)")
    parser.add_argument("--rate", type=float, default=100.0, help="telemetry samples per second")
    parser.add_argument("--cr", action="store_true", help="end telemetry packets in CR only")
    parser.add_argument("--silent", action="store_true",
                        help="start without answering commands (console: answer)")
    parser.add_argument("--gripper", type=_gripper, metavar="OUTPUT,INPUT,SECONDS",
                        help="wire a gripper: the input bit follows the output bit that late")
    parser.add_argument("--telemetry-program", metavar="FILE",
                        help="SPEL+ program that produces the telemetry (default: the shipped "
                             "controller/telemetry.prg); #201 is the telemetry port")
    parser.add_argument("--telemetry-entry", metavar="FUNCTION",
                        help="function of --telemetry-program to start (default main)")
    parser.add_argument("--execute-accepts-pause", action="store_true",
                        help="let $Pause and $Continue act on a running $Execute (the guide's "
                             "controller refuses them with 21)")
    parser.add_argument("--remote-timeout", type=float, default=0.0, metavar="SECONDS",
                        help="cut off a logged-in client that sends no line for that long: "
                             "its statement is aborted, it is logged out (default 0: never)")
    parser.add_argument("--points-dir", metavar="DIR",
                        help="folder of SavePoints and LoadPoints (default: a temporary folder, "
                             "removed when the controller stops)")
    args = parser.parse_args(argv)

    try:
        vc = VirtualController(args.port, args.telemetry_port, args.password, args.rate,
                               host=args.host, telemetry_line_end="\r" if args.cr else "\r\n",
                               silent=args.silent, gripper=args.gripper,
                               execute_accepts_pause=args.execute_accepts_pause,
                               remote_timeout_s=args.remote_timeout,
                               console=lambda text: print(text, flush=True),
                               telemetry_program=args.telemetry_program,
                               telemetry_entry=args.telemetry_entry,
                               points_dir=args.points_dir)
        vc.start()
    except (OSError, ValueError) as exc:
        print(f"epson-sim: {exc}", file=sys.stderr)
        return 1
    done = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: done.set())
    print(f"epson-sim listening: command {args.host}:{vc.port}, "
          f"telemetry {args.host}:{vc.telemetry_port}", flush=True)

    def read_console() -> None:
        for line in sys.stdin:
            try:
                reply = _console(vc, done, line)
            except ValueError as exc:
                reply = f"error: {exc}"
            if reply:
                print(reply, flush=True)
            if done.is_set():
                return

    threading.Thread(target=read_console, daemon=True).start()
    try:
        while not done.wait(0.5):
            pass
    finally:
        vc.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
