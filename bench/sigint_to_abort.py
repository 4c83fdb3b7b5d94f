"""SIGINT to `$Abort` on the wire: a child process waits in go() against the scripted fake
controller; the time from the signal to the fake receiving `$Abort`, over 20 runs.

    PYTHONPATH=build/release/python:sim:python:tests/python .venv/bin/python bench/sigint_to_abort.py
"""

from __future__ import annotations

import signal
import statistics
import subprocess
import sys
import time

from fake_controller import FakeController

CHILD = r"""
import sys, _brevacon
robot = _brevacon.Brevacon()
robot.connect("127.0.0.1", int(sys.argv[1]))
try:
    robot.go("P1", False, False, None, None, None, False)
except KeyboardInterrupt:
    sys.exit(3)
"""


def once(delay: float) -> float:
    fake = FakeController()
    try:
        fake.login().expect('$Execute,"Go P1"').expect("$Abort").reply("#Abort,0")
        fake.reply("!Execute,36").expect_close()
        child = subprocess.Popen([sys.executable, "-c", CHILD, str(fake.port)])
        assert fake.wait_for_lines(2, 10)
        time.sleep(delay)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        assert fake.wait_for_lines(3, 10)
        arrival = fake.lines[2].arrival
        assert child.wait(10) == 3
        fake.verify()
        return arrival - sent
    finally:
        fake.stop()


def main() -> None:
    # Signals land at every phase of the driver's 100 ms check interval.
    times = [once(0.2 + 0.0137 * n) * 1000 for n in range(20)]
    print(f"SIGINT to $Abort on the wire, 20 runs: median {statistics.median(times):.1f} ms, "
          f"max {max(times):.1f} ms, min {min(times):.1f} ms")


if __name__ == "__main__":
    main()
