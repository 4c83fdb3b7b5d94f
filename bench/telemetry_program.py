"""Rate and processor time of the virtual controller running the telemetry program.

For each rate, starts the virtual controller in a process of its own (the shipped
controller/telemetry.prg, or --program FILE), reads its telemetry port with the driver's
receiver for --seconds, and prints the samples per second the receiver published, its parse
failures, and the processor time the controller process used, as a share of one core.

    PYTHONPATH=build/release/python:sim python3 bench/telemetry_program.py [--seconds 5]
        [--rates 100,250,500,1000] [--program FILE --entry main]

Loopback only, on ports the system picks; each run ends after its seconds.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time

import _brevacon  # noqa: F401 - before _tandrel, which hands out its Brevacon type
import _tandrel

HOST = "127.0.0.1"


def cpu_seconds(pid: int) -> float:
    """User and system time of a process so far, from /proc."""
    with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run(rate: float, seconds: float, program: list) -> dict:
    proc = subprocess.Popen(
        [sys.executable, "-m", "epson_sim", "--host", HOST, "--port", "0", "--telemetry-port",
         "0", "--rate", str(rate), *program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
        text=True)
    try:
        line = proc.stdout.readline()  # "epson-sim listening: command ..., telemetry H:P"
        port = int(line.rsplit(":", 1)[1])
        receiver = _tandrel.EthernetReceiveInterface()
        receiver.connect(HOST, port)
        receiver.wait_for_next_sample(timeout=5.0)
        time.sleep(0.5)  # settle
        before, cpu0, t0 = receiver.counters(), cpu_seconds(proc.pid), time.monotonic()
        time.sleep(seconds)
        after, cpu1, t1 = receiver.counters(), cpu_seconds(proc.pid), time.monotonic()
        receiver.disconnect()
    finally:
        proc.terminate()
        proc.wait(10)
    elapsed = t1 - t0
    return {"rate": rate,
            "samples_per_s": (after["samples_published"] - before["samples_published"]) / elapsed,
            "parse_failures": after["dropped_parse_failure"],
            "status_per_s": (after["status_published"] - before["status_published"]) / elapsed,
            "cpu_share": (cpu1 - cpu0) / elapsed}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--rates", default="100,250,500,1000")
    parser.add_argument("--program", help="another telemetry program")
    parser.add_argument("--entry", default="main", help="its function to start")
    args = parser.parse_args()
    program = ["--telemetry-program", args.program, "--telemetry-entry", args.entry] \
        if args.program else []
    print(f"{'rate Hz':>8} {'samples/s':>10} {'status/s':>9} {'failures':>9} {'CPU of a core':>14}")
    for rate in (float(r) for r in args.rates.split(",")):
        r = run(rate, args.seconds, program)
        print(f"{r['rate']:8.0f} {r['samples_per_s']:10.1f} {r['status_per_s']:9.1f} "
              f"{r['parse_failures']:9d} {r['cpu_share'] * 100:13.1f}%", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
