"""What the ROS tests share: the guard that keeps rclpy out of any process outside the private
network namespace, and a listener node in a context of its own (a second DDS participant, as
another process would be).

Importing this module skips the importing test module unless `make ros2-test` runs it: DDS
discovery multicasts on every interface, so rclpy loads only where loopback is all there is.
"""

from __future__ import annotations

import os
import pathlib
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

import pytest

if os.environ.get("EPSON_ROS2_NETNS") != "1":
    pytest.skip("ROS 2 tests run only inside the private network namespace of `make ros2-test`",
                allow_module_level=True)
pytest.importorskip("rclpy", reason="rclpy is not installed (make ros2-test installs it)")

import rclpy  # noqa: E402
from diagnostic_msgs.msg import DiagnosticArray  # noqa: E402
from geometry_msgs.msg import PoseStamped  # noqa: E402
from rclpy.context import Context  # noqa: E402
from rcl_interfaces.msg import SetParametersResult  # noqa: E402
from rcl_interfaces.srv import SetParameters  # noqa: E402
from rclpy.executors import SingleThreadedExecutor  # noqa: E402
from rclpy.parameter import Parameter  # noqa: E402
from sensor_msgs.msg import JointState  # noqa: E402
from std_srvs.srv import Trigger  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from common import VIRTUAL_HOST, VirtualControllerProcess  # noqa: E402

# Discovery on loopback takes a fraction of a second; a bound on every wait keeps a fault from
# hanging the suite.
DISCOVERY_S = 10.0


def wait_until(predicate: Callable[[], Any], timeout: float, what: str) -> Any:
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.01)


class SimProcess(VirtualControllerProcess):
    """The virtual controller in a process of its own, so its telemetry keeps its rate whatever
    the bridge and the listener do with this process's interpreter lock."""

    host = VIRTUAL_HOST


class Listener:
    """Subscribes to a bridge's topics under `namespace` and calls its services."""

    def __init__(self, namespace: str = "") -> None:
        self.context = Context()
        rclpy.init(context=self.context)
        self.node = rclpy.create_node("listener", namespace=namespace, context=self.context)
        self.lock = threading.Lock()
        self.joints: list[JointState] = []
        self.poses: list[PoseStamped] = []
        self.diagnostics: list[DiagnosticArray] = []
        for kind, topic, into in ((JointState, "joint_states", self.joints),
                                  (PoseStamped, "tcp_pose", self.poses),
                                  (DiagnosticArray, "diagnostics", self.diagnostics)):
            self.node.create_subscription(kind, topic, self._keep(into), 1000)
        # rclpy's MultiThreadedExecutor keeps the interpreter lock so busy under a stream that
        # the bridge's publishing thread in this process would miss samples.
        self.executor = SingleThreadedExecutor(context=self.context)
        self.executor.add_node(self.node)
        self.thread = threading.Thread(target=self.executor.spin, daemon=True)
        self.thread.start()

    def _keep(self, into: list[Any]) -> Callable[[Any], None]:
        def keep(message: Any) -> None:
            with self.lock:
                into.append(message)
        return keep

    def count(self, kind: str) -> int:
        with self.lock:
            return len(getattr(self, kind))

    def taken(self, kind: str) -> list[Any]:
        with self.lock:
            return list(getattr(self, kind))

    def call(self, service: str, timeout: float = 10.0) -> Trigger.Response:
        client = self.node.create_client(Trigger, service)
        try:
            assert client.wait_for_service(DISCOVERY_S), f"{service} never appeared"
            future = client.call_async(Trigger.Request())
            wait_until(future.done, timeout, f"the answer of {service}")
            return future.result()
        finally:
            self.node.destroy_client(client)

    def set_parameter(self, node: str, name: str, value: str) -> SetParametersResult:
        """Sets a string parameter of another node through its set_parameters service."""
        client = self.node.create_client(SetParameters, f"{node}/set_parameters")
        try:
            assert client.wait_for_service(DISCOVERY_S), f"{node}/set_parameters never appeared"
            request = SetParameters.Request(parameters=[
                Parameter(name, value=value).to_parameter_msg()])
            future = client.call_async(request)
            wait_until(future.done, 10.0, f"the answer of {node}/set_parameters")
            return future.result().results[0]
        finally:
            self.node.destroy_client(client)

    def latest_diagnostics(self, since: int = 0) -> DiagnosticArray | None:
        with self.lock:
            return self.diagnostics[-1] if len(self.diagnostics) > since else None

    def close(self) -> None:
        self.executor.shutdown()
        self.thread.join(5.0)
        self.node.destroy_node()
        self.context.try_shutdown()


def values(array: DiagnosticArray) -> dict[str, str]:
    return {kv.key: kv.value for kv in array.status[0].values}
