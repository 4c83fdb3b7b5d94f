// Python binding of the command client. Every blocking call releases the interpreter lock so a
// motion in one Python thread can be paused, and state polled, from another.
// The operations of each concern are bound in bind_*.h; this file makes the module, its records
// and enumerations, the class, and its session and status operations.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include <epson/brevacon.h>
#include <epson/version.h>

#include "bind_cell_io.h"
#include "bind_motion.h"
#include "bind_targets.h"
#include "bind_tools_state.h"
#include "brevacon_docs.h"
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
    keepalive: 0 (the default: off), or seconds from {min_keepalive} to {max_wait}: the longest
        gap between this session's lines. While idle, ``$GetStatus`` goes out from a thread
        of the session's own (started here, stopped by ``disconnect()``), and a motion's
        heartbeat at least that often, so the controller's remote Timeout never ends a
        session that is merely quiet; it holds an operation up by one exchange at most. Pair
        it with that Timeout, for example a Timeout of 2 s with ``keepalive=0.5``.

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
constexpr const char* kRemoteStatusDoc = R"doc(The controller's status word, from ``$GetStatus``.

The flags, in the order the controller sends them: ``test_mode`` (Test), ``teach`` (Teach),
``auto`` (Auto: remote control is possible), ``warning``, ``severe_error`` (SError: only a
restart clears it), ``safeguard`` (open), ``emergency_stop``, ``error`` (``reset_controller()``
clears it), ``paused``, ``running`` and ``ready`` (started up and nothing executing); ``code`` is
the four-digit error or warning code. Firmware that sends ten flags has no Test flag:
``test_mode`` is then False. The repr lists the flags that are on.
)doc";

constexpr const char* kSessionWaitLimitDoc =
    R"doc(Bound how long calls on this thread wait for a session.

Within ``with _brevacon.session_wait_limit(seconds):``, a call on this thread that needs a
session refuses at once while a motion of that session runs, and otherwise waits at most
``seconds`` for another operation to finish; both raise ``SessionBusyError``, with nothing
sent. ``abort_motion()``, ``pause()`` and ``continue_motion()`` beside a running motion are not
refused. For code that must never be held up by another thread's long operation, such as the
services of a ROS executor that must stay free to stop the robot. Blocks nest.

Args:
    seconds: The longest wait for another operation, 0 or more.
)doc";

constexpr const char* kGetRemoteStatusDoc =
    R"doc(Read the controller's status word (``$GetStatus``).

Works while a motion runs, from another thread, as ``pause()`` does: a controller answers
``$GetStatus`` during a running statement.

Returns:
    A ``RemoteStatus``.
)doc";

}  // namespace

PYBIND11_MODULE(_brevacon, m) {
  using epson_python::durationText;
  using epson_python::filled;
  const epson_python::BrevaconDocs docs;
  const auto raising = [&docs](std::string doc, const std::string& own = "") {
    return docs.raising(std::move(doc), own);
  };
  const std::string& parse_raises = docs.parse_raises;
  const std::string connect_doc =
      filled(kConnectDoc, {{"{reply_timeout}", durationText(Brevacon::kReplyTimeout)},
                           {"{max_wait}", durationText(Brevacon::kMaxConnectWait)},
                           {"{min_keepalive}", durationText(Brevacon::kMinKeepalive)}});

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

  epson_python::bindTargetTypes(m);

  py::class_<epson::RemoteStatus> status(m, "RemoteStatus", kRemoteStatusDoc);
  const std::pair<const char*, bool epson::RemoteStatus::*> flags[] = {
      {"test_mode", &epson::RemoteStatus::test_mode},
      {"teach", &epson::RemoteStatus::teach},
      {"auto", &epson::RemoteStatus::auto_mode},
      {"warning", &epson::RemoteStatus::warning},
      {"severe_error", &epson::RemoteStatus::severe_error},
      {"safeguard", &epson::RemoteStatus::safeguard},
      {"emergency_stop", &epson::RemoteStatus::emergency_stop},
      {"error", &epson::RemoteStatus::error},
      {"paused", &epson::RemoteStatus::paused},
      {"running", &epson::RemoteStatus::running},
      {"ready", &epson::RemoteStatus::ready}};
  for (const auto& [name, field] : flags) status.def_readonly(name, field);
  status.def_readonly("code", &epson::RemoteStatus::code, "The four-digit error or warning code.")
      .def("__repr__", [flags](const epson::RemoteStatus& s) {
        std::string text = "RemoteStatus(";
        for (const auto& [name, field] : flags) {
          if (s.*field) text += std::string(name) + ", ";
        }
        return text + "code=" + std::to_string(s.code) + ")";
      });

  // A with block: the native scope lives from __enter__ to __exit__, on the thread of the block.
  struct WaitLimitScope {
    std::chrono::milliseconds limit;
    std::unique_ptr<epson::SessionWaitLimit> active;
  };
  py::class_<WaitLimitScope>(m, "session_wait_limit", kSessionWaitLimitDoc)
      .def(py::init([](double seconds) {
             if (!std::isfinite(seconds) || seconds < 0) {
               throw py::value_error("seconds must be finite and 0 or more");
             }
             return WaitLimitScope{std::chrono::milliseconds(std::llround(seconds * 1000)), {}};
           }),
           py::arg("seconds"))
      .def("__enter__",
           [](WaitLimitScope& scope) -> WaitLimitScope& {
             if (scope.active) throw py::value_error("session_wait_limit is already entered");
             scope.active = std::make_unique<epson::SessionWaitLimit>(scope.limit);
             return scope;
           })
      .def(
          "__exit__",
          [](WaitLimitScope& scope, const py::object&, const py::object&, const py::object&) {
            scope.active.reset();
          },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"));

  py::class_<Brevacon, std::shared_ptr<Brevacon>> cls(m, "Brevacon", kBrevaconDoc);
  cls.def(py::init([] {
            return std::shared_ptr<Brevacon>(new Brevacon(), epson_python::DeleteReleasingGil{});
          }),
          "Create a disconnected control interface.")
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
             double retry_pause, double keepalive) {
            const epson::ConnectOptions options =
                epson_python::connectOptions(attempt_timeout, attempts, retry_pause, keepalive);
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
          py::arg("keepalive") = 0.0, connect_doc.c_str())
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
      .def("get_remote_status", &Brevacon::getRemoteStatus, Release(),
           raising(kGetRemoteStatusDoc,
                   "    RuntimeError: If the reply is not a status word; the text quotes it.\n")
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
           raising("Turn the Epson robot motors off.").c_str());
  // Registered in the documented order, which help() and the reference follow.
  epson_python::bindMotionControl(cls, docs);
  cls.def("get_power_mode", &Brevacon::getPowerMode, Release(),
          raising("Read the current Epson servo power mode.", parse_raises).c_str())
      .def("get_ptp_motion_limits", &Brevacon::getPtpMotionLimits, Release(),
           raising("Read maximum SPEL+ point-to-point motion settings.\n\n"
                   "Speed is always 100; acceleration and deceleration come from "
                   "``AccelMax(1)`` and\n``AccelMax(2)``.\n",
                   parse_raises)
               .c_str());
  epson_python::bindWorkspace(cls, docs);
  cls.def("set_power_mode", &Brevacon::setPowerMode, Release(), py::arg("mode"),
          raising("Set and verify the Epson servo power mode.\n\n"
                  "Does not turn the motors on and cannot override an E-stop, safeguard,\n"
                  "operating-mode restriction or controller motion limit.\n",
                  "    RuntimeError: If the mode read back is not the one set.\n")
              .c_str());
  epson_python::bindTools(cls, docs);
  epson_python::bindMotions(cls, docs);
  epson_python::bindState(cls, docs);
  epson_python::bindCellIo(cls, docs);
  epson_python::bindTargetMotions(cls, docs);
  epson_python::addConnectionProtocol(
      cls, [](const py::object& self) { self.attr("abort_motion")(); },
      [](const py::object& self) { return self.cast<std::shared_ptr<Brevacon>>(); });

  // CPython 3.11 stores the docstring of a property subclass only in the descriptor's own slot
  // and then fails to show it, since pybind11's static-property type has no instance dict. Let
  // that type read the slot the way `property` does, so help() and __doc__ show the texts.
  py::object static_property = py::type::of(cls.attr("__dict__")["default_port"]);
  if (!py::hasattr(static_property, "__doc__") || static_property.attr("__doc__").is_none()) {
    static_property.attr("__doc__") =
        py::module_::import("builtins").attr("property").attr("__dict__")["__doc__"];
  }
}
