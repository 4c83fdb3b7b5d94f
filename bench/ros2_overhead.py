"""What the ROS bridge costs on the receive path at 1 kHz, and whether every sample gets through:

- the CPU of a process that holds a Tandrel, without the bridge and with it, and of each of
  its threads by name (the receive thread, the bridge's publishing thread, the middleware's);
- whether a joint_states subscriber in another process receives every sample the receiver
  published in the window, each once (matched by stamp: each sample has its own);
- the latency from the driver's receipt of a telemetry packet (the sample's host_time) to the
  subscriber's callback.

    make ros2-bench                      # 60 s windows
    ... bench/ros2_overhead.py --batch-period 0   # the bridge woken for every sample
    # or, inside the private network namespace every rclpy process needs:
    ROS_AUTOMATIC_DISCOVERY_RANGE=LOCALHOST PYTHONPATH=build/release/python:sim:python \\
      unshare -n sh -c 'ip link set lo up; exec .venv-ros/bin/python bench/ros2_overhead.py'

Each measurement runs in a process of its own: the virtual controller, the Tandrel holder
(without, then with the bridge) and the subscriber, so each process's CPU time is its own.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import resource
import selectors
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any

HOST = "127.0.0.1"
WARM_UP_S = 1.5  # connection, discovery and the first samples stay out of the figures
# Latencies of the first messages include discovery: leave them out.
SKIP_FIRST = 200
# The driver names its receive thread so a host process can find it.
RECEIVE_THREAD = "epson-telemetry"


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def thread_cpu_seconds(name: str) -> float:
    """CPU time of this process's thread called `name`, from the scheduler's own account."""
    for task in pathlib.Path("/proc/self/task").iterdir():
        try:
            if (task / "comm").read_text().strip() == name:
                return int((task / "schedstat").read_text().split()[0]) / 1e9
        except OSError:
            continue
    return float("nan")


def threads_cpu_seconds() -> dict[str, float]:
    """CPU time of each of this process's threads, summed by thread name."""
    seconds: dict[str, float] = {}
    for task in pathlib.Path("/proc/self/task").iterdir():
        try:
            name = (task / "comm").read_text().strip()
            used = int((task / "schedstat").read_text().split()[0]) / 1e9
        except OSError:
            continue
        seconds[name] = seconds.get(name, 0.0) + used
    return seconds


def holder(args: argparse.Namespace) -> None:
    """Holds a Tandrel, with the bridge when asked, and measures its own CPU over the window and
    which samples the receiver published in it (as the stamps the bridge gives them)."""
    import _brevacon  # noqa: F401 - before _tandrel, which hands out its Brevacon type
    import _tandrel

    robot = _tandrel.Tandrel(HOST, args.port, args.telemetry_port)
    receiver = robot.get_receive_interface()
    bridge = None
    if args.bridge:
        import epson_ros2

        bridge = epson_ros2.attach(robot, batch_period=args.batch_period)
    time.sleep(WARM_UP_S)
    first = receiver.get_sample()
    cpu, thread, wall = cpu_seconds(), thread_cpu_seconds(RECEIVE_THREAD), time.monotonic()
    threads = threads_cpu_seconds()
    missed = bridge.samples_missed if bridge else 0
    time.sleep(args.seconds)
    last = receiver.get_sample()
    cpu, wall = cpu_seconds() - cpu, time.monotonic() - wall
    thread = thread_cpu_seconds(RECEIVE_THREAD) - thread
    threads = {name: 100.0 * (used - threads.get(name, 0.0)) / wall
               for name, used in threads_cpu_seconds().items()}
    result = {"cpu_percent": 100.0 * cpu / wall, "receive_thread_percent": 100.0 * thread / wall,
              "samples": last.sequence - first.sequence, "wall_s": wall,
              "missed_by_bridge": (bridge.samples_missed - missed) if bridge else 0,
              "threads": {name: share for name, share in threads.items() if share >= 0.05}}
    if bridge is not None:
        from epson_ros2.conversions import stamp_from_host_time

        # The window holds the samples after `first` up to `last`, by their stamps.
        result["after_ns"], result["until_ns"] = (
            sec * 1_000_000_000 + nanosec for sec, nanosec in (
                stamp_from_host_time(s.host_time, bridge._offset_ns) for s in (first, last)))
        bridge.close()
    robot.disconnect()
    print(json.dumps(result), flush=True)


def subscriber(args: argparse.Namespace) -> None:
    """Keeps the stamp of each joint_states message, and how long after its host_time it
    reached this callback; writes the stamps to args.stamps."""
    import rclpy
    from rclpy.executors import SingleThreadedExecutor
    from sensor_msgs.msg import JointState

    rclpy.init(signal_handler_options=rclpy.signals.SignalHandlerOptions.NO)
    node = rclpy.create_node("latency_probe")
    # The sample's host_time is on the monotonic clock; its stamp on the ROS clock.
    offset_ns = node.get_clock().now().nanoseconds - time.monotonic_ns()
    stamps: list[int] = []
    latencies_us: list[float] = []

    def arrived(message: JointState) -> None:
        now = time.monotonic_ns()
        stamp = message.header.stamp.sec * 1_000_000_000 + message.header.stamp.nanosec
        stamps.append(stamp)
        latencies_us.append((now - (stamp - offset_ns)) / 1000.0)

    node.create_subscription(JointState, "joint_states", arrived, 1000)
    executor = SingleThreadedExecutor()
    executor.add_node(node)
    print("ready", flush=True)
    deadline = time.monotonic() + args.seconds
    while time.monotonic() < deadline:
        executor.spin_once(timeout_sec=0.1)
    kept = sorted(latencies_us[SKIP_FIRST:])
    result: dict[str, Any] = {"messages": len(latencies_us)}
    if kept:
        result.update(median_us=statistics.median(kept),
                      p99_us=kept[min(len(kept) - 1, int(0.99 * len(kept)))], max_us=kept[-1])
    pathlib.Path(args.stamps).write_text(json.dumps(stamps))
    node.destroy_node()
    rclpy.try_shutdown()
    print(json.dumps(result), flush=True)


def child(role: str, args: argparse.Namespace, *extra: str) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [sys.executable, __file__, "--role", role, "--seconds", str(args.seconds), *extra],
        stdout=subprocess.PIPE, text=True)


def last_json(process: subprocess.Popen[str], timeout: float) -> dict[str, Any]:
    out, _ = process.communicate(timeout=timeout)
    return json.loads(out.strip().splitlines()[-1])


def read_line(stream: Any, timeout: float) -> str:
    with selectors.DefaultSelector() as selector:
        selector.register(stream, selectors.EVENT_READ)
        if not selector.select(timeout):
            raise RuntimeError("no answer from a child process")
    return str(stream.readline().strip())


def delivery(window: dict[str, Any], stamps: list[int]) -> tuple[int, int, int]:
    """(received, missing, duplicates) of the samples the holder published in its window."""
    inside = [s for s in stamps if window["after_ns"] < s <= window["until_ns"]]
    received = len(set(inside))
    return received, window["samples"] - received, len(inside) - received


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rate", type=float, default=1000.0, help="telemetry samples per second")
    parser.add_argument("--seconds", type=float, default=60.0, help="length of each window")
    parser.add_argument("--batch-period", type=float, default=0.002,
                        help="the bridge's batch_period: 0 wakes it for every sample")
    parser.add_argument("--role", choices=("holder", "subscriber"), help=argparse.SUPPRESS)
    parser.add_argument("--bridge", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--telemetry-port", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--stamps", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.role == "holder":
        holder(args)
        return 0
    if args.role == "subscriber":
        subscriber(args)
        return 0
    if os.environ.get("ROS_AUTOMATIC_DISCOVERY_RANGE") != "LOCALHOST":
        sys.exit("run it inside the private network namespace (make ros2-bench)")

    sim = subprocess.Popen(
        [sys.executable, "-m", "epson_sim", "--host", HOST, "--port", "0", "--telemetry-port",
         "0", "--rate", str(args.rate)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    with tempfile.TemporaryDirectory() as scratch:
        stamps_file = str(pathlib.Path(scratch) / "stamps.json")
        try:
            line = read_line(sim.stdout, 10.0)
            command, telemetry = line.split("command ")[1].split(", telemetry ")
            ports = ["--port", command.rsplit(":", 1)[1], "--telemetry-port",
                     telemetry.rsplit(":", 1)[1]]
            window = WARM_UP_S + args.seconds
            without = last_json(child("holder", args, "--bridge", "0", *ports), window + 30)
            probe_args = argparse.Namespace(seconds=window + 3.0)
            probe = child("subscriber", probe_args, "--stamps", stamps_file)
            read_line(probe.stdout, 30.0)
            with_bridge = last_json(child("holder", args, "--bridge", "1", "--batch-period",
                                          str(args.batch_period), *ports), window + 30)
            latency = last_json(probe, 30.0)
            stamps = json.loads(pathlib.Path(stamps_file).read_text())
        finally:
            sim.terminate()
            sim.wait(10.0)
    received, missing, twice = delivery(with_bridge, stamps)
    rate = f"{args.rate:g} Hz"
    print(f"receive path at {rate}, {args.seconds:g} s windows, batch_period "
          f"{args.batch_period:g} s (CPU in % of one core):")
    print(f"  Tandrel alone:        {without['cpu_percent']:6.1f} %  "
          f"(receive thread {without['receive_thread_percent']:.2f} %, "
          f"{without['samples']} samples)")
    print(f"  with the bridge:      {with_bridge['cpu_percent']:6.1f} %  "
          f"(receive thread {with_bridge['receive_thread_percent']:.2f} %, "
          f"{with_bridge['samples']} samples, {with_bridge['missed_by_bridge']} lost by the ring)")
    print(f"  bridge overhead:      {with_bridge['cpu_percent'] - without['cpu_percent']:6.1f} %")
    print(f"joint_states in another process: {received} of the {with_bridge['samples']} samples "
          f"published in the window, {missing} missing, {twice} received twice")
    if "median_us" in latency:
        print(f"host_time -> joint_states callback ({latency['messages']} messages): "
              f"median {latency['median_us']:.0f} us, p99 {latency['p99_us']:.0f} us, "
              f"max {latency['max_us']:.0f} us")
    else:
        print(f"the subscriber got {latency['messages']} messages: too few for a latency")
    for label, window in (("alone", without), ("with the bridge", with_bridge)):
        busiest = sorted(window["threads"].items(), key=lambda item: -item[1])
        print(f"  threads, {label}: " + ", ".join(f"{name} {share:.2f} %" for name, share in busiest))
    return 0


if __name__ == "__main__":
    sys.exit(main())
