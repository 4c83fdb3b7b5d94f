// Python binding of the command client. Every blocking call releases the interpreter lock so a
// motion in one Python thread can be paused, and state polled, from another.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>

#include <epson/brevacon.h>
#include <epson/version.h>

#include "connect_options.h"
#include "connection_helpers.h"
#include "docstrings.h"
#include "errors_and_logging.h"

namespace py = pybind11;
using epson::Brevacon;
using Release = py::call_guard<py::gil_scoped_release>;

namespace {

constexpr const char* kModuleDoc = R"doc(Provide Epson Remote Ethernet command access.

Use ``Brevacon`` for controller commands, motion, Tool and TCP management. Continuous
telemetry is handled separately by ``EthernetReceiveInterface``.
)doc";

constexpr const char* kPowerModeDoc = R"doc(Epson controller servo power mode.

The power mode is independent of whether the motors are on. ``LOW`` limits speed and servo
stiffness; ``HIGH`` permits the full configured performance, subject to the controller's
safety state and motion limits.
)doc";

constexpr const char* kLimitsDoc = R"doc(Maximum Epson SPEL+ point-to-point motion settings.

All values are percentages. ``speed_percent`` is always 100 because SPEL+ defines
point-to-point speed on a fixed 1 to 100 scale; ``acceleration_percent`` and
``deceleration_percent`` are reported by the connected robot through ``AccelMax``.
)doc";

constexpr const char* kBrevaconDoc = R"doc(Control an Epson robot through Remote Ethernet.

The interface owns one command socket and serializes commands sent through it. It exposes
both native Epson Tool operations and robot-facing TCP operations. Native Tool poses use
millimetres and ``[U, V, W]`` angles in degrees; TCP poses use metres and ``[rx, ry, rz]``
Euler-XYZ angles in degrees.

Attributes:
    default_port (int): The default Remote Ethernet command port, ``5000``.
    default_password (str): The protocol default password, an empty string.

Example:
    >>> import _brevacon
    >>> robot = _brevacon.Brevacon()
    >>> robot.connect("robot-controller")          # doctest: +SKIP
    >>> robot.get_controller_status()        # doctest: +SKIP
    >>> robot.disconnect()                   # doctest: +SKIP

    A ``with`` block disconnects on leaving it, also when an exception ends it:

    >>> with _brevacon.Brevacon() as robot:            # doctest: +SKIP
    ...     robot.connect("robot-controller")
    ...     robot.get_controller_status()
)doc";

// The failures every operation that talks to the controller may raise; each docstring ends with
// them, after its own. The table-driven test of the error classes holds the code to these words.
constexpr const char* kExchangeRaises =
    R"doc(    ControllerError: If the controller answers with an error reply; ``code`` tells which.
    TimeoutError: If a reply does not come within {reply_timeout}; the session is then closed.
    ConnectionLostError: If the session is not connected, or the connection ends or falls out
        of step while a reply is awaited.
    KeyboardInterrupt: On Ctrl-C while it waits; a command whose reply was still due closes
        the session.
)doc";

// Queries: a reply that is not the value asked for.
constexpr const char* kParseRaises =
    "    RuntimeError: If the reply cannot be read as the expected value.\n";

// pause and continue_motion: their reply has a deadline of its own.
constexpr const char* kControlRaises = R"doc(
Raises:
    ControllerError: If the controller refuses, for example outside Auto mode or with nothing
        to pause or continue.
    TimeoutError: If no reply comes within {control_reply}.
    ConnectionLostError: If the session is not connected or the connection ends.
)doc";

constexpr const char* kConnectDoc = R"doc(Connect and log in without turning the motors on.

Call ``motor_on()`` explicitly after confirming that the physical cell is safe.

Args:
    host: Controller host name or IP address.
    port: Remote Ethernet command port.
    password: Remote Ethernet login password.
    attempt_timeout: Seconds one attempt may take to open the TCP connection (its login reply
        then has {reply_timeout}); more than 0 and at most {max_wait}.
    attempts: How many attempts to make; an attempt whose login goes unanswered or loses the
        connection is retried as well, a refused login is not.
    retry_pause: Seconds to wait between attempts, from 0 to {max_wait}.

Raises:
    ValueError: If the password contains a line ending or an option is out of range; nothing
        is sent then.
    ControllerError: If the controller refuses the login (a wrong password); it is not
        retried.
    ConnectionFailedError: If name resolution or every connection attempt fails, an attempt's
        login included.
    KeyboardInterrupt: On Ctrl-C during an attempt or a pause between attempts; nothing stays
        connected.
)doc";

constexpr const char* kDisconnectDoc =
    R"doc(Restore controller state, log out, and close the socket.

Restores the Tool state saved by ``set_tcp_offset``, turns the motors off if this session
turned them on, logs out and closes the socket. Safe to call when already disconnected.

Raises:
    RuntimeError: If the socket cannot be closed.
)doc";

constexpr const char* kSetTcpOffsetDoc = R"doc(Set the active controller TCP in Quorvin units.

The first call saves the selected Tool and the reserved custom Tool definition (slot 15) so
that ``restore_tcp_offset()`` or ``disconnect()`` can restore them. The offset is written to
slot 15, selected, and verified by reading it back.

Args:
    pose: ``[x, y, z, rx, ry, rz]`` in metres and Euler-XYZ degrees.

Raises:
    ValueError: Unless the pose holds six finite values.
    RuntimeError: If the definition read back differs from the one written.
{exchange_raises}
Example:
    >>> robot.set_tcp_offset([0.0, 0.0, 0.12, 0.0, 0.0, 0.0])   # doctest: +SKIP
    >>> robot.restore_tcp_offset()                              # doctest: +SKIP
)doc";

constexpr const char* kMotionStopDoc = R"doc(
While it runs, ``$GetStatus`` goes out every {heartbeat_interval}; a controller that leaves one
unanswered for {heartbeat_reply} is taken as gone. Ctrl-C aborts the motion (``$Abort``), waits
at most {control_reply} for it to end, and raises ``KeyboardInterrupt`` with a note saying so;
a second Ctrl-C meanwhile closes the session at once.)doc";

constexpr const char* kGoDoc = R"doc(Execute a point-to-point SPEL+ ``Go`` motion.

Blocks until the controller reports the end of the motion (at most {motion_timeout}). The interpreter
lock is released meanwhile, so another thread may call ``pause()``, ``continue_motion()`` or
``abort_motion()``.{motion_stop}

Args:
    destination: SPEL+ point or point expression, inserted verbatim (for example ``P1``).
    cp: Append the continuous-path modifier ``CP``.
    ljm: Append the least-joint-motion modifier ``LJM``.
    orientation_flag: Number written after ``LJM``; only allowed with ``ljm``, else None.
    search_expression: SPEL+ search clause including its keyword, or None.
    parallel_processing: SPEL+ parallel-processing statements placed between ``!``, or None.
    sync: Append ``SYNC``.
    speed_percent: 1 to 100, sent as ``Speed`` before the motion; None keeps the current value.
    acceleration_percent: At least 1, sent as the first ``Accel`` value; None keeps it.
    deceleration_percent: At least 1, the second ``Accel`` value; requires
        ``acceleration_percent``. Defaults to the acceleration value.

Raises:
    ValueError: If the arguments cannot form a valid command.
    MotionAbortedError: If ``abort_motion()`` ended the motion.
    ControllerError: If the controller refuses the motion or it fails.
    ConnectionLostError: If the session is gone or the controller stops answering.
    TimeoutError: If the motion does not end within {motion_timeout}.
    KeyboardInterrupt: On Ctrl-C, after the motion was aborted.
)doc";

constexpr const char* kMoveDoc = R"doc(Execute a straight-line Cartesian SPEL+ ``Move`` motion.

Blocks until the controller reports the end of the motion (at most {motion_timeout}), with the
interpreter lock released.{motion_stop} Optional motion parameters must be finite and positive; the
controller enforces its model-specific limits, and omitted parameters keep the controller's
current settings.

Args:
    destination: SPEL+ point or point expression, inserted verbatim.
    rot: Append ``ROT`` (orientation-led interpolation).
    ecp: Append ``ECP`` (external control point).
    cp: Append the continuous-path modifier ``CP``.
    search_expression: SPEL+ search clause including its keyword, or None.
    parallel_processing: SPEL+ parallel-processing statements placed between ``!``, or None.
    sync: Append ``SYNC``.
    speed_mm_s: Linear speed in millimetres per second, sent as ``SpeedS``.
    acceleration_mm_s2: Linear acceleration and deceleration in millimetres per second
        squared, sent as ``AccelS``.

Raises:
    ValueError: If the arguments cannot form a valid command.
    MotionAbortedError: If ``abort_motion()`` ended the motion.
    ControllerError: If the controller refuses the motion or it fails.
    ConnectionLostError: If the session is gone or the controller stops answering.
    TimeoutError: If the motion does not end within {motion_timeout}.
    KeyboardInterrupt: On Ctrl-C, after the motion was aborted.
)doc";

constexpr const char* kGetStateDoc =
    R"doc(Read joint positions and TCP pose in one controller request.

Fails at once while a motion runs and after {state_lock_wait} while another operation holds
the connection.

Returns:
    A dict with ``joint_positions`` (``[J1, ..., J6]`` in degrees) and
    ``tcp_pose`` (native ``[X, Y, Z, U, V, W]`` in millimetres and degrees).

Raises:
    RuntimeError: At once, sending nothing, while a ``go`` or ``move`` runs; also if the reply
        does not hold twelve values.
    TimeoutError: If another operation holds the connection for {state_lock_wait}, or a reply
        does not come within {reply_timeout} (the session is then closed).
    ControllerError: If the controller answers with an error reply.
    ConnectionLostError: If the session is not connected, or the connection ends or falls out
        of step while a reply is awaited.
)doc";

constexpr const char* kIkDoc = R"doc(Solve inverse kinematics on the connected Epson controller.

Evaluates SPEL+ ``PAgl`` for joints 1 through 6 without moving the robot. With
``least_joint_motion=True``, ``LJM(..., Here)`` selects the posture requiring least joint
motion from the current position, or from ``reference_joint_positions`` when given.

Args:
    cartesian_pose: Native ``[X, Y, Z, U, V, W]`` in millimetres and degrees.
    least_joint_motion: Choose the least-joint-motion solution.
    reference_joint_positions: Optional ``[J1, ..., J6]`` reference in degrees; requires
        ``least_joint_motion``.

Returns:
    ``[J1, ..., J6]`` in degrees.

Every failure names the joint whose query failed before its own text, and keeps its class
and fields: an unreachable pose is a ``ControllerError`` with the controller's ``code``.

Raises:
    ValueError: For a malformed pose or reference.
    RuntimeError: If a joint's result is not one finite number.
{exchange_raises})doc";

constexpr const char* kAbortDoc = R"doc(Abort the running ``go`` or ``move`` of this session.

Writes ``$Abort`` beside the motion, from any thread, also while it is paused; the controller
stops the robot. The motion's call then raises ``MotionAbortedError`` when its own reply is an
error, and returns normally when it finished first. An abort that comes before the motion's
statement was sent sends nothing and keeps it from being sent.

Returns:
    True once the controller accepted the abort (or the motion was kept from starting); False,
    with nothing sent, when no motion of this session runs.

Raises:
    ControllerError: If the controller refuses; the motion goes on.
    TimeoutError: If no reply comes within {control_reply}.
    ConnectionLostError: If the session is gone.
)doc";

constexpr const char* kCuboidDoc = R"doc(Set the Epson controller's allowed Cartesian workspace.

Replaces the existing ``XYLim`` definition and enables XYLIM_STRICT, so trajectory and
pulse-motion checks confine the robot to the box. This is a software motion limit, not a
certified safety function. ``XYLimMode`` may reset to the controller preference when the
controller restarts.

Args:
    min_corner_mm: ``[X, Y, Z]`` minimum corner in robot-base millimetres.
    max_corner_mm: ``[X, Y, Z]`` maximum corner in robot-base millimetres.

Raises:
    ValueError: For an invalid corner.
    RuntimeError: If the settings read back differ from the ones written.
{exchange_raises})doc";

// A bit, port or byte/word value from Python: an int, never a bool (True would quietly mean bit
// 1), and one the native int holds; the native check then says what the controller accepts.
int ioNumber(const py::int_& value, const char* name) {
  if (PyBool_Check(value.ptr()) != 0) {
    throw py::type_error(std::string(name) + " must be an int, not bool");
  }
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow != 0 || number < std::numeric_limits<int>::min() ||
      number > std::numeric_limits<int>::max()) {
    throw py::value_error(std::string(name) + " " + std::string(py::str(value)) +
                          " is out of range");
  }
  return static_cast<int>(number);
}

// The I/O bindings: numbers checked as ioNumber() does, the call made without the GIL.
template <typename Result>
auto ioRead(Result (Brevacon::*read)(int), const char* name) {
  return [read, name](Brevacon& self, const py::int_& number) {
    const int checked = ioNumber(number, name);
    py::gil_scoped_release release;
    return (self.*read)(checked);
  };
}

// A write of a bit's state (Value = bool) or of a byte or word (Value = const py::int_&).
template <typename Value, typename Native>
auto ioSet(void (Brevacon::*write)(int, Native), const char* name) {
  return [write, name](Brevacon& self, const py::int_& number, Value value) {
    const int checked = ioNumber(number, name);
    Native native{};
    if constexpr (std::is_same_v<Native, bool>) {
      native = value;
    } else {
      native = ioNumber(value, "value");
    }
    py::gil_scoped_release release;
    (self.*write)(checked, native);
  };
}

auto ioWait(bool (Brevacon::*wait)(int, bool, std::chrono::duration<double>)) {
  return [wait](Brevacon& self, const py::int_& bit, bool on, double timeout) {
    const int checked = ioNumber(bit, "bit");
    py::gil_scoped_release release;
    return (self.*wait)(checked, on, std::chrono::duration<double>(timeout));
  };
}

constexpr const char* kIoDoc = R"doc(

Bits and ports are numbered from 0; the controller decides which exist and refuses others
(``ControllerError``). Byte port n holds bits 8n to 8n+7, word port n bits 16n to 16n+15.

Raises:
    TypeError: For a bool where an int is meant or an int where a bool is meant; nothing is
        sent then.
    ValueError: For a negative number, or a value outside 0 to 255 (byte) or 0 to 65535
        (word); nothing is sent then.
)doc";

constexpr const char* kWaitDoc = R"doc(

A ``Wait`` runs on the controller as a motion does: ``abort_motion()`` reaches it from another
thread, the status heartbeat runs, and Ctrl-C aborts it. The controller refuses ``pause()``
meanwhile (code 21: a statement is running). Its reply may take ``timeout`` plus
{reply_timeout}. The interpreter lock is released.

Args:
    bit: The bit, from 0.
    on: The state to wait for.
    timeout: Seconds to wait at most, above 0 and at most {motion_timeout}.

Returns:
    True when the bit reached ``on``, False when the timeout passed first.

Raises:
    TypeError: For a bool ``bit`` or a non-bool ``on``; nothing is sent then.
    ValueError: For a negative bit or a timeout out of range; nothing is sent then.
    MotionAbortedError: If ``abort_motion()`` ended the wait.
    ControllerError: If the controller refuses the wait (a bit it does not have).
    ConnectionLostError: If the session is gone or the controller stops answering.
    TimeoutError: If the wait's reply does not come within ``timeout`` plus {reply_timeout}.
    KeyboardInterrupt: On Ctrl-C, after the wait was aborted.
)doc";

}  // namespace

PYBIND11_MODULE(_brevacon, m) {
  using epson_python::durationText;
  using epson_python::filled;
  const std::string motion_timeout = durationText(Brevacon::kMotionTimeout);
  const std::string control_reply = durationText(Brevacon::kControlReplyTimeout);
  const std::string motion_stop =
      filled(kMotionStopDoc, {{"{heartbeat_interval}", durationText(Brevacon::kHeartbeatInterval)},
                              {"{heartbeat_reply}", durationText(Brevacon::kHeartbeatReplyTimeout)},
                              {"{control_reply}", control_reply}});
  const std::string go_doc =
      filled(kGoDoc, {{"{motion_stop}", motion_stop}, {"{motion_timeout}", motion_timeout}});
  const std::string move_doc =
      filled(kMoveDoc, {{"{motion_stop}", motion_stop}, {"{motion_timeout}", motion_timeout}});
  const std::string abort_doc = filled(kAbortDoc, {{"{control_reply}", control_reply}});
  const std::string reply_timeout = durationText(Brevacon::kReplyTimeout);
  const std::string exchange_raises = filled(kExchangeRaises, {{"{reply_timeout}", reply_timeout}});
  const std::string control_raises = filled(kControlRaises, {{"{control_reply}", control_reply}});
  // A docstring whose text names its own failures and then {exchange_raises}.
  const auto exchanging = [&exchange_raises](const char* doc) {
    return filled(doc, {{"{exchange_raises}", exchange_raises}});
  };
  // An operation's text, then a Raises section: its own failures first, then the exchange's.
  const auto raising = [&exchange_raises](std::string doc, const std::string& own = "") {
    while (!doc.empty() && doc.back() == '\n') doc.pop_back();
    return doc + "\n\nRaises:\n" + own + exchange_raises;
  };
  const std::string parse_raises = kParseRaises;
  // An I/O operation's text, its own failures, then the exchange's.
  const auto io = [&exchange_raises](const std::string& text, const std::string& own = "") {
    std::string doc = text + kIoDoc;
    return doc + own + exchange_raises;
  };
  const std::string wait_doc =
      filled(kWaitDoc, {{"{reply_timeout}", reply_timeout}, {"{motion_timeout}", motion_timeout}});
  const std::string state_doc =
      filled(kGetStateDoc, {{"{state_lock_wait}", durationText(Brevacon::kStateLockWait)},
                            {"{reply_timeout}", reply_timeout}});
  const std::string connect_doc =
      filled(kConnectDoc, {{"{reply_timeout}", durationText(Brevacon::kReplyTimeout)},
                           {"{max_wait}", durationText(Brevacon::kMaxConnectWait)}});

  m.doc() = kModuleDoc;
  m.attr("__version__") = EPSON_DRIVER_VERSION;
  epson_python::addErrorsAndLogging(m);

  py::enum_<epson::EpsonPowerMode>(m, "EpsonPowerMode", kPowerModeDoc)
      .value("LOW", epson::EpsonPowerMode::LOW, "Low speed and servo stiffness.")
      .value("HIGH", epson::EpsonPowerMode::HIGH, "Full configured speed and servo stiffness.");

  py::class_<epson::PtpMotionLimits>(m, "PtpMotionLimits", kLimitsDoc)
      .def_readonly("speed_percent", &epson::PtpMotionLimits::speed_percent,
                    "Always 100: SPEL+ Speed is a fixed 1 to 100 scale.")
      .def_readonly("acceleration_percent", &epson::PtpMotionLimits::acceleration_percent,
                    "Maximum acceleration, AccelMax(1).")
      .def_readonly("deceleration_percent", &epson::PtpMotionLimits::deceleration_percent,
                    "Maximum deceleration, AccelMax(2).")
      .def("__repr__", [](const epson::PtpMotionLimits& l) {
        return "PtpMotionLimits(speed_percent=" + std::to_string(l.speed_percent) +
               ", acceleration_percent=" + std::to_string(l.acceleration_percent) +
               ", deceleration_percent=" + std::to_string(l.deceleration_percent) + ")";
      });

  py::class_<Brevacon, std::shared_ptr<Brevacon>> cls(m, "Brevacon", kBrevaconDoc);
  cls.def(py::init<>(), "Create a disconnected control interface.")
      .def_property_readonly_static(
          "default_port", [](const py::object&) { return Brevacon::kDefaultPort; },
          "Return the default Remote Ethernet command port.\n\nReturns:\n    The port ``5000``.\n")
      .def_property_readonly_static(
          "default_password", [](const py::object&) { return std::string(); },
          "Return the protocol's default password.\n\nReturns:\n    An empty string.\n")
      .def(
          "connect",
          [](const std::shared_ptr<Brevacon>& self, const std::string& host, std::uint16_t port,
             const std::string& password, double attempt_timeout, const py::int_& attempts,
             double retry_pause) {
            const epson::ConnectOptions options =
                epson_python::connectOptions(attempt_timeout, attempts, retry_pause);
            epson_python::endpointNotes().note(self,
                                               epson_python::endpointText(host, "port", port));
            py::gil_scoped_release release;
            self->connect(host, port, password, options);
          },
          py::arg("host"), py::arg("port") = Brevacon::kDefaultPort,
          py::arg("password") = std::string(), py::kw_only(),
          py::arg("attempt_timeout") = epson_python::seconds(Brevacon::kConnectAttemptTimeout),
          py::arg("attempts") = Brevacon::kConnectAttempts,
          py::arg("retry_pause") = epson_python::seconds(Brevacon::kRetryPause),
          connect_doc.c_str())
      .def("disconnect", &Brevacon::disconnect, Release(), kDisconnectDoc)
      .def("is_connected", &Brevacon::isConnected, Release(),
           "Return whether the command socket is connected.")
      .def("is_logged_in", &Brevacon::isLoggedIn, Release(),
           "Return whether the Remote Ethernet session is logged in.\n\n"
           "True after a successful login and before logout or a lost connection.\n")
      .def("motor_on_error", &Brevacon::motorOnError, Release(),
           "Return the error from the most recent explicit motor-on attempt.\n\n"
           "Returns:\n    An empty string after a success or when no attempt was made.\n")
      .def("is_emergency_stopped", &Brevacon::isEmergencyStopped, Release(),
           raising("Return whether Emergency Stop is active.", parse_raises).c_str())
      .def("get_controller_status", &Brevacon::getControllerStatus, Release(),
           raising("Read raw Epson controller status fields.\n\n"
                   "Returns:\n    A dict with the integer keys ``stat``, ``system_error``,\n"
                   "    ``emergency_stopped``, ``safeguard_open``, ``teach_mode``, "
                   "``control_device``,\n"
                   "    ``robot_info`` and ``ctrl_info``.\n",
                   parse_raises)
               .c_str())
      .def("reset_controller", &Brevacon::resetController, Release(),
           raising("Clear the current controller error with SPEL+ ``Reset``.\n\n"
                   "Does not release physical safety devices or turn the motors on.\n")
               .c_str())
      .def("motor_on", &Brevacon::motorOn, Release(),
           raising("Turn the Epson robot motors on.\n\n"
                   "A refusal's text stays readable in ``motor_on_error()``.\n")
               .c_str())
      .def("motor_off", &Brevacon::motorOff, Release(),
           raising("Turn the Epson robot motors off.").c_str())
      .def("pause", &Brevacon::pause, Release(),
           ("Pause active Epson tasks and robot motion.\n\n"
            "Uses ``$Pause``, which the controller accepts only in Auto mode while execution is\n"
            "running. May be called from another thread during ``go`` or ``move``.\n" +
            control_raises)
               .c_str())
      .def("continue_motion", &Brevacon::continueMotion, Release(),
           ("Continue paused Epson tasks and robot motion.\n\n"
            "Uses ``$Continue``, which the controller accepts only in Auto mode while execution\n"
            "is paused.\n" +
            control_raises)
               .c_str())
      .def("abort_motion", &Brevacon::abortMotion, Release(), abort_doc.c_str())
      .def("get_power_mode", &Brevacon::getPowerMode, Release(),
           raising("Read the current Epson servo power mode.", parse_raises).c_str())
      .def("get_ptp_motion_limits", &Brevacon::getPtpMotionLimits, Release(),
           raising("Read maximum SPEL+ point-to-point motion settings.\n\n"
                   "Speed is always 100; acceleration and deceleration come from "
                   "``AccelMax(1)`` and\n``AccelMax(2)``.\n",
                   parse_raises)
               .c_str())
      .def("set_output", ioSet<bool>(&Brevacon::setOutput, "bit"), py::arg("bit"),
           py::arg("on").noconvert(),
           io("Switch a standard output bit on or off (SPEL+ ``On``/``Off``).").c_str())
      .def("get_output", ioRead(&Brevacon::getOutput, "bit"), py::arg("bit"),
           io("Read a standard output bit (``Oport``).", parse_raises).c_str())
      .def("get_input", ioRead(&Brevacon::getInput, "bit"), py::arg("bit"),
           io("Read a standard input bit (``Sw``).", parse_raises).c_str())
      .def("set_output_byte", ioSet<const py::int_&>(&Brevacon::setOutputByte, "port"),
           py::arg("port"), py::arg("value"),
           io("Write a standard output byte port (``Out``), 0 to 255.").c_str())
      .def("get_output_byte", ioRead(&Brevacon::getOutputByte, "port"), py::arg("port"),
           io("Read a standard output byte port (``Out``), 0 to 255.", parse_raises).c_str())
      .def("get_input_byte", ioRead(&Brevacon::getInputByte, "port"), py::arg("port"),
           io("Read a standard input byte port (``In``), 0 to 255.", parse_raises).c_str())
      .def("set_output_word", ioSet<const py::int_&>(&Brevacon::setOutputWord, "port"),
           py::arg("port"), py::arg("value"),
           io("Write a standard output word port (``OutW``), 0 to 65535.").c_str())
      .def("get_output_word", ioRead(&Brevacon::getOutputWord, "port"), py::arg("port"),
           io("Read a standard output word port (``OutW``), 0 to 65535.", parse_raises).c_str())
      .def("get_input_word", ioRead(&Brevacon::getInputWord, "port"), py::arg("port"),
           io("Read a standard input word port (``InW``), 0 to 65535.", parse_raises).c_str())
      .def("set_memory_bit", ioSet<bool>(&Brevacon::setMemoryBit, "bit"), py::arg("bit"),
           py::arg("on").noconvert(),
           io("Switch a memory bit on or off (``MemOn``/``MemOff``), shared with controller "
              "programs.")
               .c_str())
      .def("get_memory_bit", ioRead(&Brevacon::getMemoryBit, "bit"), py::arg("bit"),
           io("Read a memory bit (``MemSw``).", parse_raises).c_str())
      .def("wait_input", ioWait(&Brevacon::waitInput), py::arg("bit"), py::arg("on").noconvert(),
           py::arg("timeout"),
           ("Wait until a standard input bit is ``on`` (SPEL+ ``Wait Sw(bit) = On, timeout``)." +
            wait_doc)
               .c_str())
      .def("wait_memory_bit", ioWait(&Brevacon::waitMemoryBit), py::arg("bit"),
           py::arg("on").noconvert(), py::arg("timeout"),
           ("Wait until a memory bit is ``on`` (SPEL+ ``Wait MemSw(bit) = On, timeout``)." +
            wait_doc)
               .c_str())
      .def("add_safety_cuboid", &Brevacon::addSafetyCuboid, Release(), py::arg("min_corner_mm"),
           py::arg("max_corner_mm"), exchanging(kCuboidDoc).c_str())
      .def("set_power_mode", &Brevacon::setPowerMode, Release(), py::arg("mode"),
           raising("Set and verify the Epson servo power mode.\n\n"
                   "Does not turn the motors on and cannot override an E-stop, safeguard,\n"
                   "operating-mode restriction or controller motion limit.\n",
                   "    RuntimeError: If the mode read back is not the one set.\n")
               .c_str())
      .def("tl_set", &Brevacon::tlSet, Release(), py::arg("tool_num"), py::arg("tool_def_point"),
           raising("Define a native Epson Tool with SPEL+ ``TLSet``.\n\n"
                   "Args:\n    tool_num: Tool slot 1 through 15.\n"
                   "    tool_def_point: SPEL+ point expression such as ``XY(...)`` or ``P10``.\n",
                   "    IndexError: For a slot outside 1 through 15.\n"
                   "    ValueError: For an empty point or one holding quotes or line endings.\n")
               .c_str())
      .def("tl_clear", &Brevacon::tlClear, Release(), py::arg("tool_num"),
           raising("Clear a native Epson Tool definition.\n\n"
                   "Args:\n    tool_num: Tool slot 1 through 15.\n",
                   "    IndexError: For a slot outside 1 through 15.\n")
               .c_str())
      .def("set_tool", &Brevacon::setTool, Release(), py::arg("tool_num"),
           raising("Select the Tool used by subsequent Epson motion.\n\n"
                   "Args:\n    tool_num: Tool 0 through 15; Tool 0 is the flange.\n",
                   "    IndexError: For a Tool outside 0 through 15.\n")
               .c_str())
      .def("get_tool", &Brevacon::getTool, Release(),
           raising("Return the selected Epson Tool number.\n\nReturns:\n    0 through 15.\n",
                   parse_raises)
               .c_str())
      .def("is_tool_defined", &Brevacon::isToolDefined, Release(), py::arg("tool_num"),
           raising("Return whether an Epson Tool slot has a definition.\n\n"
                   "Args:\n    tool_num: Tool slot 1 through 15.\n",
                   "    IndexError: For a slot outside 1 through 15.\n" + parse_raises)
               .c_str())
      .def("get_tool_definition", &Brevacon::getToolDefinition, Release(), py::arg("tool_num"),
           raising("Read a native Epson Tool definition.\n\n"
                   "Returns:\n    ``[X, Y, Z, U, V, W]`` in millimetres and degrees.\n",
                   "    IndexError: For a slot outside 1 through 15.\n" + parse_raises)
               .c_str())
      .def("get_tcp_offset", &Brevacon::getTcpOffset, Release(),
           raising("Read the selected controller TCP in Quorvin units.\n\n"
                   "Returns:\n    ``[x, y, z, rx, ry, rz]`` in metres and Euler-XYZ degrees.\n",
                   parse_raises)
               .c_str())
      .def("set_tcp_offset", &Brevacon::setTcpOffset, Release(), py::arg("pose"),
           exchanging(kSetTcpOffsetDoc).c_str())
      .def("restore_tcp_offset", &Brevacon::restoreTcpOffset, Release(),
           raising("Restore the controller Tool state saved by ``set_tcp_offset``.\n\n"
                   "Safe to call when no TCP override is active: nothing is sent then.\n")
               .c_str())
      .def("inverse_kinematics", &Brevacon::inverseKinematics, Release(), py::arg("cartesian_pose"),
           py::arg("least_joint_motion") = true, py::arg("reference_joint_positions") = py::none(),
           exchanging(kIkDoc).c_str())
      .def("go", &Brevacon::go, Release(), py::arg("destination"), py::arg("cp"), py::arg("ljm"),
           py::arg("orientation_flag"), py::arg("search_expression"),
           py::arg("parallel_processing"), py::arg("sync"), py::arg("speed_percent") = py::none(),
           py::arg("acceleration_percent") = py::none(),
           py::arg("deceleration_percent") = py::none(), go_doc.c_str())
      .def("move", &Brevacon::move, Release(), py::arg("destination"), py::arg("rot"),
           py::arg("ecp"), py::arg("cp"), py::arg("search_expression"),
           py::arg("parallel_processing"), py::arg("sync"), py::arg("speed_mm_s") = py::none(),
           py::arg("acceleration_mm_s2") = py::none(), move_doc.c_str())
      .def(
          "get_state",
          [](Brevacon& self) {
            std::vector<double> state;
            {
              py::gil_scoped_release release;
              state = self.getState();
            }
            py::dict result;
            result["joint_positions"] = std::vector<double>(state.begin(), state.begin() + 6);
            result["tcp_pose"] = std::vector<double>(state.begin() + 6, state.end());
            return result;
          },
          state_doc.c_str());
  epson_python::addConnectionProtocol(cls,
                                      [](const py::object& self) { self.attr("abort_motion")(); });

  // CPython 3.11 stores the docstring of a property subclass only in the descriptor's own slot
  // and then fails to show it, since pybind11's static-property type has no instance dict. Let
  // that type read the slot the way `property` does, so help() and __doc__ show the texts.
  py::object static_property = py::type::of(cls.attr("__dict__")["default_port"]);
  if (!py::hasattr(static_property, "__doc__") || static_property.attr("__doc__").is_none()) {
    static_property.attr("__doc__") =
        py::module_::import("builtins").attr("property").attr("__dict__")["__doc__"];
  }
}
