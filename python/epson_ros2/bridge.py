"""The bridge: publishes a connected Tandrel's telemetry and serves its command session.

Concurrency design:
- One publishing thread per attached Tandrel takes the samples through a sample reader of its
  own (the receiver's ring: every sample once, in order; the wait holds no GIL) and publishes
  joint_states and tcp_pose for each from that thread, each sample with its own stamp. At a
  high rate it takes batches that span the batch period (BATCH_PERIOD_S unless the batch_period
  parameter says otherwise), woken as the last sample of each
  arrives: waking for each sample would cost the receive thread a wake-up call and this
  process an interpreter switch per sample. It never touches the command session.
- The executor (a MultiThreadedExecutor the bridge spins, or the caller's) runs ~/abort_motion,
  ~/pause and ~/continue_motion in a ReentrantCallbackGroup of their own: they reach a running
  motion without the session lock, so they run at once whatever else waits. The services that
  need the session run one at a time in a MutuallyExclusiveCallbackGroup, each inside
  session_wait_limit(SESSION_WAIT_S): while a motion (the application's own) holds the session
  they answer at once that it runs, and they never hold an executor thread longer than that
  bound beyond their own exchange. The diagnostics report has a group of its own: a 1 s timer,
  and a guard condition the publishing thread triggers when the health level changes (it looks
  every HEALTH_TICK_S, for about 12 us, where a 10 Hz executor timer cost 1 % of a core).
- `_lock` guards `_robot` and the publishing thread's handle; the counters the thread updates
  are plain ints that only it writes.
"""

from __future__ import annotations

import ctypes
import math
import threading
import time
from collections.abc import Callable, Sequence
from types import TracebackType
from typing import Any

import _brevacon
import _tandrel
import rclpy
from diagnostic_msgs.msg import DiagnosticArray, DiagnosticStatus, KeyValue
from geometry_msgs.msg import PoseStamped
from rclpy.callback_groups import MutuallyExclusiveCallbackGroup, ReentrantCallbackGroup
from rclpy.context import Context
from rcl_interfaces.msg import ParameterDescriptor, SetParametersResult
from rclpy.executors import MultiThreadedExecutor
from rclpy.node import Node
from rclpy.parameter import Parameter
from sensor_msgs.msg import JointState
from std_msgs.msg import Header
from std_srvs.srv import Trigger

from .conversions import Health, assess, batch_size, pose_to_ros, stamp_from_host_time
from .serialized import stamped_layout

DEFAULT_JOINT_NAMES = [f"joint_{i}" for i in range(1, 7)]
DEFAULT_FRAME_ID = "base_link"
DEFAULT_NODE_NAME = "epson_ros2_bridge"
# How long the publishing thread waits for a sample before it looks at its stop flag again.
SAMPLE_POLL_S = 0.1
# The shortest time between two wake-ups of the publishing thread at a high rate: at 1 kHz, two
# samples a batch, the first published 1 ms after it came, the second at once.
BATCH_PERIOD_S = 0.002
# Beyond this a batch would hold a sample back longer than a status packet's own spacing.
MAX_BATCH_PERIOD_S = 0.1
# How long the publishing thread waits for a batch before it publishes what came: a stream that
# slows down or pauses holds no sample back for longer.
BATCH_WAIT_S = 0.005
# Diagnostics go out once a second, and at once when the level changes (an E-stop), which the
# publishing thread notices within HEALTH_TICK_S while it runs. At the same tick it asks who
# subscribes: the answer is a lock and a middleware call, too dear to ask at every batch.
DIAGNOSTICS_PERIOD_S = 1.0
HEALTH_TICK_S = 0.1
# A subscriber that falls behind a 1 kHz stream for this many messages starts losing them.
SAMPLE_QUEUE_DEPTH = 100
# The publishing thread's name as the kernel shows it, like the receive thread's.
PUBLISHER_THREAD = "epson-ros2-pub"
PR_SET_NAME = 15
EXECUTOR_THREADS = 4
# The services that stop or resume the robot reach a running motion without the session lock;
# they run in a group of their own, so that calls waiting for the session never hold them up.
STOP_SERVICES = ("abort_motion", "pause", "continue_motion")
# The longest a service waits for the session another call holds (get_state's own bound); while
# a motion holds it, a service that needs it answers at once that the motion runs.
SESSION_WAIT_S = 0.25
# The flags of the controller's status word, as diagnostics list those that are on.
STATUS_FLAGS = ("test_mode", "teach", "auto", "warning", "severe_error", "safeguard",
                "emergency_stop", "error", "paused", "running", "ready")
_OPTIONS = ("joint_names", "frame_id", "batch_period", "node_name", "namespace")
FIXED_REASON = "read once when the bridge starts; restart the bridge to change it"


class Bridge:
    """ROS 2 topics and services for one robot. Made by ``attach()`` (or the standalone
    bridge); ``close()`` or the end of a ``with`` block takes them off the graph again."""

    def __init__(self, node: Node, robot: _tandrel.Tandrel | None, *, own_node: bool,
                 context: Context | None = None, joint_names: Sequence[str] | None = None,
                 frame_id: str | None = None, batch_period: float | None = None) -> None:
        """node: where the topics and services go. own_node: the bridge spins the node on an
        executor thread of its own and destroys it on close(); else the caller spins it.
        context: a context the bridge made and shuts down on close()."""
        self.node = node
        self._own_context = context
        # What the bridge read once at start: setting one later is refused, not ignored.
        self._fixed: set[str] = set()
        self._refuse_changes = self._refuse_fixed
        node.add_on_set_parameters_callback(self._refuse_changes)
        if batch_period is not None:  # refused before a parameter is declared with it
            batch_period = _checked_batch_period(batch_period)
        self._joint_names = list(self.parameter("joint_names", list(joint_names or
                                                                     DEFAULT_JOINT_NAMES)))
        if len(self._joint_names) != 6:
            raise ValueError(f"joint_names needs 6 names, got {self._joint_names!r}")
        self._frame_id = str(self.parameter("frame_id", frame_id or DEFAULT_FRAME_ID))
        self._batch_period = _checked_batch_period(self.parameter(
            "batch_period", BATCH_PERIOD_S if batch_period is None else batch_period))
        # The ROS clock minus the monotonic clock, taken once: samples keep their spacing.
        self._offset_ns = node.get_clock().now().nanoseconds - time.monotonic_ns()

        self._lock = threading.Lock()
        self._robot: _tandrel.Tandrel | None = None
        self._publisher_thread: threading.Thread | None = None
        self._stop_publishing = threading.Event()
        self.samples_published = 0
        self.samples_missed = 0
        self._missed_reported = 0
        self._last_level: int | None = None
        self._last_report = 0.0
        self._closed = False

        # The stop services in a reentrant group of their own; the others one at a time, each
        # waiting at most SESSION_WAIT_S: of the executor's threads, the timer and the session
        # services hold at most two, and the stop services always find one free.
        stops = ReentrantCallbackGroup()
        session = MutuallyExclusiveCallbackGroup()
        self._joint_pub = node.create_publisher(JointState, "joint_states", SAMPLE_QUEUE_DEPTH)
        self._pose_pub = node.create_publisher(PoseStamped, "tcp_pose", SAMPLE_QUEUE_DEPTH)
        self._diag_pub = node.create_publisher(DiagnosticArray, "diagnostics", 10)
        calls: dict[str, Callable[[_brevacon.Brevacon], str]] = {
            "motor_on": lambda c: _done(c.motor_on()),
            "motor_off": lambda c: _done(c.motor_off()),
            "pause": lambda c: _done(c.pause()),
            "continue_motion": lambda c: _done(c.continue_motion()),
            "abort_motion": lambda c: "motion aborted" if c.abort_motion() else
            "no motion was running",
            "reset": lambda c: _done(c.reset_controller()),
        }
        self._services = [
            node.create_service(Trigger, f"~/{name}", self._service(name, call),
                                callback_group=stops if name in STOP_SERVICES else session)
            for name, call in calls.items()
        ]
        reports = MutuallyExclusiveCallbackGroup()
        self._timer = node.create_timer(DIAGNOSTICS_PERIOD_S, self._check_health,
                                        callback_group=reports)
        self._level_changed = node.create_guard_condition(self._check_health,
                                                          callback_group=reports)

        self._executor: MultiThreadedExecutor | None = None
        self._spinner: threading.Thread | None = None
        if own_node:
            self._executor = MultiThreadedExecutor(EXECUTOR_THREADS, context=node.context)
            self._executor.add_node(node)
            self._spinner = threading.Thread(target=self._spin, name="epson-ros2-executor",
                                             daemon=True)
            self._spinner.start()
        if robot is not None:
            self.use(robot)

    # --- the robot --------------------------------------------------------------------------

    def use(self, robot: _tandrel.Tandrel) -> None:
        """Bridges this robot from now on, in place of the one before (which stays open)."""
        self.release()
        with self._lock:
            if self._closed:
                raise RuntimeError("the bridge is closed")
            self._robot = robot
            self._stop_publishing = threading.Event()
            self._publisher_thread = threading.Thread(
                target=self._publish, args=(robot.get_receive_interface(), self._stop_publishing),
                name="epson-ros2-publisher", daemon=True)
            self._publisher_thread.start()

    def release(self) -> None:
        """Stops bridging the current robot without closing it; services answer that no
        controller is connected until the next use()."""
        with self._lock:
            thread, self._publisher_thread = self._publisher_thread, None
            self._robot = None
            self._stop_publishing.set()
        if thread is not None and thread is not threading.current_thread():
            thread.join()
        self._report_soon()

    @property
    def robot(self) -> _tandrel.Tandrel | None:
        return self._robot

    # --- life cycle -------------------------------------------------------------------------

    def close(self) -> None:
        """Takes the topics and services off the graph; the robot stays connected. Idempotent."""
        self.release()
        with self._lock:
            if self._closed:
                return
            self._closed = True
        if self._executor is not None:
            self._executor.shutdown()
            if self._spinner is not None:
                self._spinner.join()
        node = self.node
        if self._executor is not None:
            node.destroy_node()
        else:
            node.remove_on_set_parameters_callback(self._refuse_changes)
            for service in self._services:
                node.destroy_service(service)
            for publisher in (self._joint_pub, self._pose_pub, self._diag_pub):
                node.destroy_publisher(publisher)
            node.destroy_timer(self._timer)
            node.destroy_guard_condition(self._level_changed)
        if self._own_context is not None:
            self._own_context.try_shutdown()

    def __enter__(self) -> Bridge:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        return (f"<Bridge node={self.node.get_fully_qualified_name()!r} robot={self._robot!r} "
                f"published={self.samples_published} missed={self.samples_missed}>")

    # --- workers ----------------------------------------------------------------------------

    def _spin(self) -> None:
        assert self._executor is not None
        try:
            self._executor.spin()
        except Exception:  # noqa: BLE001 - a context shut down under it ends the spin
            if self.node.context.ok():
                raise

    def _publish(self, receiver: _tandrel.EthernetReceiveInterface,
                 stop: threading.Event) -> None:
        _name_this_thread(PUBLISHER_THREAD)
        # Serialized once, then only the stamp and the numbers are packed in (or, where that
        # cannot be proven, set on a message object).
        joint = stamped_layout(JointState(name=self._joint_names), 6, _assign_positions)
        pose = stamped_layout(PoseStamped(header=Header(frame_id=self._frame_id)), 7,
                              _assign_pose)
        publish_joint, publish_pose = self._joint_pub.publish, self._pose_pub.publish
        offset_ns, radians = self._offset_ns, math.radians
        reader = receiver.sample_reader()
        missed_before = self.samples_missed  # by the readers of robots bridged earlier
        size, interval, last_time = 1, 0.0, math.nan
        wanted_at, joints_wanted, pose_wanted = -math.inf, False, False
        while not stop.is_set():
            try:
                batch = reader.take(timeout=SAMPLE_POLL_S if size == 1 else BATCH_WAIT_S,
                                    min_samples=size)
            except _brevacon.ConnectionLostError:
                # The receiver was disconnected and every sample it had is published.
                self._report_soon()
                return
            if len(batch) < size:  # the stream slowed down or paused: start over
                size, interval = 1, 0.0
            if batch:
                # The interval between samples, smoothed over about ten batches.
                gaps = len(batch) if last_time == last_time else len(batch) - 1
                first = last_time if last_time == last_time else batch[0].host_time
                last_time = batch[-1].host_time
                if gaps > 0:
                    seen = (last_time - first) / gaps
                    interval = seen if interval == 0.0 else 0.9 * interval + 0.1 * seen
                    size = batch_size(interval, self._batch_period)
            # A topic nobody subscribes to costs nothing: at 1 kHz each message is a wake-up
            # of the middleware's event thread and a notification through shared memory.
            now = time.monotonic()
            if now - wanted_at >= HEALTH_TICK_S:
                wanted_at = now
                joints_wanted = self._joint_pub.get_subscription_count() > 0
                pose_wanted = self._pose_pub.get_subscription_count() > 0
                if self._assess(self.samples_missed - self._missed_reported).level \
                        != self._last_level:
                    self._report_soon()
            for sample in batch:
                sec, nanosec = stamp_from_host_time(sample.host_time, offset_ns)
                try:
                    if joints_wanted:
                        publish_joint(joint.pack(sec, nanosec,
                                                 tuple(map(radians, sample.joints))))
                    if pose_wanted:
                        position, orientation = pose_to_ros(sample.pose)
                        publish_pose(pose.pack(sec, nanosec, position + orientation))
                except Exception as exc:  # noqa: BLE001 - the node or context is going away
                    if not stop.is_set() and self.node.context.ok():
                        self.node.get_logger().error(f"publishing stopped: {exc}")
                    return
                self.samples_published += 1
            self.samples_missed = missed_before + reader.missed

    def _service(self, name: str, call: Callable[[_brevacon.Brevacon], str]
                 ) -> Callable[[Trigger.Request, Trigger.Response], Trigger.Response]:
        def handle(request: Trigger.Request, response: Trigger.Response) -> Trigger.Response:
            robot = self._robot
            if robot is None:
                response.success, response.message = False, "not connected to the controller"
                return response
            try:
                with _brevacon.session_wait_limit(SESSION_WAIT_S):
                    response.message = call(robot.get_control_interface())
                response.success = True
            # The driver's messages are escaped and redacted already: pass them on as they are.
            except RuntimeError as exc:
                response.success, response.message = False, str(exc)
            except Exception as exc:  # noqa: BLE001 - a refusal must never end the node
                response.success, response.message = False, f"{type(exc).__name__}: {exc}"
            if not response.success:
                self.node.get_logger().warning(f"~/{name}: {response.message}")
            return response
        return handle

    def _report_soon(self) -> None:
        """Has the executor check the health and report a change now, not at the next second."""
        try:
            self._level_changed.trigger()
        except Exception:  # noqa: BLE001 - the node is being destroyed: nothing to report to
            pass

    def _check_health(self) -> None:
        now = time.monotonic()
        missed = self.samples_missed
        health = self._assess(missed - self._missed_reported)
        if health.level == self._last_level and now - self._last_report < DIAGNOSTICS_PERIOD_S:
            return
        self._last_level, self._last_report = health.level, now
        self._missed_reported = missed
        status = DiagnosticStatus(level=bytes([health.level]), message=health.message,
                                  name=f"{self.node.get_name()}: controller",
                                  hardware_id=self._hardware_id())
        status.values = [KeyValue(key=k, value=v) for k, v in health.values + self._status_word()]
        array = DiagnosticArray(status=[status])
        array.header.stamp = self.node.get_clock().now().to_msg()
        try:
            self._diag_pub.publish(array)
        except Exception:  # noqa: BLE001 - the context is shutting down
            pass

    def _status_word(self) -> list[tuple[str, str]]:
        """The controller's status word, read beside a running motion or when the session is
        free at once; nothing when it is busy or gone (the rest of the report stands)."""
        robot = self._robot
        if robot is None:
            return []
        try:
            with _brevacon.session_wait_limit(0.0):
                word = robot.get_control_interface().get_remote_status()
        except Exception:  # noqa: BLE001 - busy, lost or refused: reported elsewhere
            return []
        flags = [name for name in STATUS_FLAGS if getattr(word, name)]
        return [("status_word", ", ".join(flags) or "none"), ("status_code", f"{word.code:04d}")]

    def health(self) -> Health:
        """The health the next diagnostics message would report."""
        return self._assess(self.samples_missed - self._missed_reported)

    def _assess(self, missed_now: int) -> Health:
        robot = self._robot
        if robot is None:
            return assess("disconnected", None, math.inf, math.inf, {}, self.samples_missed,
                          missed_now)
        receiver = robot.get_receive_interface()
        if not robot.get_control_interface().is_connected():
            connection = "disconnected"
        else:
            connection = "connected" if receiver.is_connected() else "reconnecting"
        status = receiver.get_controller_status() if receiver.has_controller_status() else None
        return assess(connection, status, receiver.controller_status_age_seconds(),
                      receiver.sample_age_seconds(), dict(receiver.counters()),
                      self.samples_missed, missed_now)

    def _hardware_id(self) -> str:
        robot = self._robot
        return "" if robot is None else repr(robot)

    def parameter(self, name: str, default: Any) -> Any:
        """The value of a parameter the bridge reads once, at start: declared read-only (with
        ``default``, unless the command line or the caller's node already set it), and any
        later attempt to set it is refused with the reason."""
        if not self.node.has_parameter(name):
            self.node.declare_parameter(name, default, ParameterDescriptor(
                read_only=True, additional_constraints=FIXED_REASON))
        self._fixed.add(name)
        return self.node.get_parameter(name).value

    def _refuse_fixed(self, parameters: list[Parameter]) -> SetParametersResult:
        # rclpy refuses a read-only parameter before it calls this; a parameter the caller's
        # node had declared writable before attach() arrives here.
        fixed = sorted({p.name for p in parameters} & self._fixed)
        if fixed:
            return SetParametersResult(successful=False,
                                       reason=f"{', '.join(fixed)}: {FIXED_REASON}")
        return SetParametersResult(successful=True)



def _checked_batch_period(value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) \
            or not 0.0 <= value <= MAX_BATCH_PERIOD_S:
        raise ValueError(f"batch_period is in seconds, from 0 (a wake-up per sample) to "
                         f"{MAX_BATCH_PERIOD_S:g}; got {value!r}")
    return float(value)


def _name_this_thread(name: str) -> None:
    """Names the calling thread for the kernel (top -H, perf, the benchmarks), where it can."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_NAME, name.encode()[:15], 0, 0, 0)
    except (OSError, AttributeError):
        pass


def _assign_positions(message: JointState, values: Sequence[float]) -> None:
    message.position = list(values)


def _assign_pose(message: PoseStamped, values: Sequence[float]) -> None:
    p, o = message.pose.position, message.pose.orientation
    p.x, p.y, p.z, o.x, o.y, o.z, o.w = values


def _done(_: None) -> str:
    return "done"


def attach(robot: _tandrel.Tandrel, node: Node | None = None, **options: Any) -> Bridge:
    """Bridges an application's connected Tandrel to ROS 2, on its own command session.

    Without ``node`` the bridge makes one (``node_name``, default "epson_ros2_bridge", in
    ``namespace``) and spins it on a MultiThreadedExecutor thread of its own, in the default
    context if rclpy is initialised, else in a context it makes and shuts down on close().
    With ``node`` it adds its topics, services and timer to that node, which the caller spins
    (a MultiThreadedExecutor, so ~/abort_motion runs beside a long call).

    Options: ``joint_names`` (six names, default joint_1 ... joint_6), ``frame_id`` (default
    "base_link") and ``batch_period`` (seconds, default 0.002: the shortest time between two
    wake-ups of the publishing thread; 0 wakes it for every sample), also settable as ROS
    parameters of the node; ``node_name`` and ``namespace`` when the bridge makes the node.
    """
    unknown = sorted(set(options) - set(_OPTIONS))
    if unknown:
        raise TypeError(f"attach() got unknown options {unknown}; known: {list(_OPTIONS)}")
    names = {k: options[k] for k in ("joint_names", "frame_id", "batch_period") if k in options}
    if node is not None:
        if "node_name" in options or "namespace" in options:
            raise TypeError("node_name and namespace apply only when attach() makes the node")
        return Bridge(node, robot, own_node=False, **names)
    context: Context | None = None
    if not rclpy.ok():
        context = Context()
        rclpy.init(context=context)
    try:
        made = rclpy.create_node(options.get("node_name", DEFAULT_NODE_NAME),
                                 namespace=options.get("namespace", ""), context=context)
        return Bridge(made, robot, own_node=True, context=context, **names)
    except BaseException:
        if context is not None:
            context.try_shutdown()
        raise
