// Python binding of the combined interface and of the telemetry receiver.
//
// The command client is not bound here: `_brevacon` registers its Python type, and the shared
// pybind11 registry converts the client Tandrel hands out into that type.
//
// Native destructors here log out and join threads. When Python drops the last reference, the
// holder's deleter runs them with the interpreter lock released, so other Python threads (and
// a controller stand-in living in the same interpreter) keep running meanwhile.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <epson/ethernet_receive_interface.h>
#include <epson/tandrel.h>
#include <epson/telemetry_sample.h>
#include <epson/version.h>

#include "connect_options.h"
#include "connection_helpers.h"
#include "docstrings.h"
#include "errors_and_logging.h"
#include "telemetry_stream.h"

namespace py = pybind11;
using epson::EthernetReceiveInterface;
using epson::Tandrel;
using epson::TelemetrySample;
using Release = py::call_guard<py::gil_scoped_release>;

namespace {

// Runs `work` without the interpreter lock if the calling thread holds it.
template <class Work>
void withoutGil(Work&& work) {
  if (Py_IsInitialized() != 0 && PyGILState_Check() != 0) {
    py::gil_scoped_release release;
    work();
  } else {
    work();
  }
}

// Deleter for objects Python created: destroys them with the interpreter lock released.
struct DeleteWithoutGil {
  template <class T>
  void operator()(T* object) const {
    withoutGil([object] { delete object; });
  }
};

// Deleter for a Python view of an object owned elsewhere: drops the borrowed share with the
// interpreter lock released, since it may be the last one.
struct ReleaseShareWithoutGil {
  std::shared_ptr<void> share;
  void operator()(void* /*object*/) {
    withoutGil([this] { share.reset(); });
  }
};

template <class T>
std::shared_ptr<T> pythonView(std::shared_ptr<T> native) {
  T* object = native.get();
  return std::shared_ptr<T>(object, ReleaseShareWithoutGil{std::move(native)});
}

std::vector<double> toList(const std::array<double, 6>& values) {
  return {values.begin(), values.end()};
}

constexpr const char* kModuleDoc = R"doc(Provide combined ownership of Epson hardware connections.

``Tandrel`` opens and closes the command and telemetry
interfaces as one unit.
)doc";

constexpr const char* kTandrelDoc = R"doc(Own the Epson command and telemetry connections together.

Construction logs into the command interface, verifies the login, and then
opens telemetry without enabling the motors. Motor power is controlled
separately through the command interface. If either connection fails, both
interfaces are closed before the original exception is propagated. The Remote
Ethernet credential is managed privately by the native hardware layer.

Examples:
    >>> import _tandrel
    >>> hardware = _tandrel.Tandrel("robot-controller")         # doctest: +SKIP
    >>> robot = hardware.get_control_interface()          # doctest: +SKIP
    >>> telemetry = hardware.get_receive_interface()      # doctest: +SKIP
    >>> telemetry.get_sample().joints                     # doctest: +SKIP
    >>> hardware.disconnect()                             # doctest: +SKIP

    A ``with`` block disconnects both on leaving it, also when an exception ends it:

    >>> with _tandrel.Tandrel("robot-controller") as hardware:      # doctest: +SKIP
    ...     hardware.get_receive_interface().get_sample().joints
)doc";

constexpr const char* kInitDoc = R"doc(Connect to an Epson controller.

Args:
    host: Controller hostname or IP address.
    control_port: Remote Ethernet command port.
    receive_port: Controller-pushed telemetry port.
    password: The controller's Remote Ethernet password, used for the login in place of
        the built-in credential; ``None`` keeps that one. Either is shown redacted in every
        message, as in :meth:`_brevacon.Brevacon.connect`.
    attempt_timeout: Seconds one command connection attempt may take, as in
        :meth:`_brevacon.Brevacon.connect`.
    attempts: How many command connection attempts to make.
    retry_pause: Seconds to wait between command connection attempts.
    keepalive: Seconds, as in :meth:`_brevacon.Brevacon.connect`: 0 (off), or the longest
        gap between the command session's lines, kept with ``$GetStatus`` while idle.

Raises:
    ValueError: If an option is out of range or the password holds a line ending, as in
        :meth:`_brevacon.Brevacon.connect`; nothing is opened then.
    ControllerError: If the controller refuses the login (a wrong password).
    ConnectionFailedError: If either connection fails (name resolution, every command
        connection attempt, or no first telemetry sample in time).
    KeyboardInterrupt: On Ctrl-C while the command channel connects; nothing stays open.
)doc";

constexpr const char* kGetControlDoc = R"doc(Return the owned command interface.

Returns:
    The connected :class:`Brevacon`.
)doc";

constexpr const char* kGetReceiveDoc = R"doc(Return the owned telemetry interface.

Returns:
    The connected :class:`EthernetReceiveInterface`.
)doc";

constexpr const char* kIsConnectedDoc = R"doc(Return whether both Epson connections are active.

Returns:
    ``True`` only while command and telemetry interfaces are connected.
)doc";

constexpr const char* kDisconnectDoc = R"doc(Disconnect both Epson interfaces.

The telemetry interface is stopped first. The control interface then restores
the original Tool state, turns motors off when appropriate, logs out, and
closes its socket.

Raises:
    RuntimeError: If either interface reports a shutdown failure.
)doc";

constexpr const char* kSampleDoc =
    R"doc(One six-axis telemetry sample, values as the controller sent them.

Attributes:
    joints (list[float]): J1 to J6 in degrees.
    pose (list[float]): Native ``[X, Y, Z, U, V, W]`` in millimetres and degrees.
    sequence (int): 1 for the first sample after ``connect``, then 2, 3, ...
    host_time (float): When it was published, on ``time.monotonic()``'s clock.
)doc";

constexpr const char* kReceiverDoc =
    R"doc(Receive the telemetry stream an Epson controller task pushes.

``connect`` starts a receive thread that keeps the latest six-axis sample and the latest
controller status, each with its age, and reconnects by itself {reconnect_pause} after the
connection is lost. The read methods may be called from any thread at any time, also
before ``connect`` and after ``disconnect``.

Example:
    >>> import _tandrel
    >>> telemetry = _tandrel.EthernetReceiveInterface()
    >>> telemetry.connect("robot-controller")                   # doctest: +SKIP
    >>> telemetry.get_sample().pose                       # doctest: +SKIP
    >>> telemetry.disconnect()                            # doctest: +SKIP

    A ``with`` block disconnects on leaving it, also when an exception ends it:

    >>> with _tandrel.EthernetReceiveInterface() as telemetry:  # doctest: +SKIP
    ...     telemetry.connect("robot-controller")
    ...     telemetry.get_sample().pose
)doc";

constexpr const char* kReceiverConnectDoc = R"doc(Connect and wait for the first complete sample.

Args:
    host: Controller hostname or IP address.
    port: Controller-pushed telemetry port.

Raises:
    ConnectionFailedError: If the endpoint cannot be resolved or reached, or if no complete
        sample arrives within {readiness_timeout}.
)doc";

constexpr const char* kReceiverDisconnectDoc = R"doc(Stop the receive thread and close the socket.

The latest sample and status stay readable. Safe to call when not connected.
)doc";

constexpr const char* kReceiverIsConnectedDoc =
    R"doc(Return whether the telemetry socket is connected.

``False`` while the receiver is reconnecting after a lost connection.
)doc";

constexpr const char* kHasSampleDoc =
    R"doc(Return whether a sample has arrived since the last ``connect``.
)doc";

constexpr const char* kGetSampleDoc = R"doc(Return a copy of the latest complete sample.

Raises:
    RuntimeError: If no complete sample has been received.
)doc";

constexpr const char* kSampleAgeDoc =
    R"doc(Return the seconds since the latest sample, ``inf`` if there is none.
)doc";

constexpr const char* kHasStatusDoc =
    R"doc(Return whether a status packet has arrived since the last ``connect``.
)doc";

constexpr const char* kGetStatusDoc = R"doc(Return the latest controller status.

Returns:
    A dict with the keys ``stat``, ``system_error``, ``emergency_stopped``,
    ``safeguard_open``, ``teach_mode``, ``control_device``, ``robot_info`` and ``ctrl_info``.

Raises:
    RuntimeError: If no status packet has been received.
)doc";

constexpr const char* kStatusAgeDoc =
    R"doc(Return the seconds since the latest status packet, ``inf`` if there is none.
)doc";

}  // namespace

PYBIND11_MODULE(_tandrel, m) {
  using epson_python::durationText;
  using epson_python::filled;
  const std::string receiver_doc =
      filled(kReceiverDoc,
             {{"{reconnect_pause}", durationText(EthernetReceiveInterface::kReconnectPause)}});
  const std::string receiver_connect_doc =
      filled(kReceiverConnectDoc,
             {{"{readiness_timeout}", durationText(EthernetReceiveInterface::kReadinessTimeout)}});
  // The Python class of the Brevacon that get_control_interface() hands out is _brevacon's:
  // import it here, so that the order in which a program imports the two never matters.
  py::module_::import("_brevacon");
  m.doc() = kModuleDoc;
  m.attr("__version__") = EPSON_DRIVER_VERSION;
  epson_python::addErrorsAndLogging(m);

  py::class_<TelemetrySample>(m, "TelemetrySample", kSampleDoc)
      .def_property_readonly("joints",
                             [](const TelemetrySample& sample) { return toList(sample.joints); })
      .def_property_readonly("pose",
                             [](const TelemetrySample& sample) { return toList(sample.pose); })
      .def_readonly("sequence", &TelemetrySample::sequence,
                    "1 for the first sample after ``connect``, then 2, 3, ...: a gap is the number "
                    "of samples missed.")
      .def_readonly("host_time", &TelemetrySample::host_time,
                    "When the sample was published, in seconds of ``time.monotonic()``'s clock.")
      .def("__repr__", [](const TelemetrySample& sample) {
        return py::str("TelemetrySample(joints={!r}, pose={!r})")
            .format(toList(sample.joints), toList(sample.pose));
      });

  py::class_<EthernetReceiveInterface, std::shared_ptr<EthernetReceiveInterface>> receiver(
      m, "EthernetReceiveInterface", receiver_doc.c_str());
  receiver
      .def(py::init([] {
             return std::shared_ptr<EthernetReceiveInterface>(new EthernetReceiveInterface,
                                                              DeleteWithoutGil{});
           }),
           "Create a disconnected telemetry receiver.\n")
      .def(
          "connect",
          [](const std::shared_ptr<EthernetReceiveInterface>& self, const std::string& host,
             std::uint16_t port) {
            epson_python::endpointNotes().note(self,
                                               epson_python::endpointText(host, "port", port));
            py::gil_scoped_release release;
            self->connect(host, port);
          },
          py::arg("host"), py::arg("port") = EthernetReceiveInterface::kDefaultPort,
          receiver_connect_doc.c_str())
      .def("disconnect", &EthernetReceiveInterface::disconnect, Release(), kReceiverDisconnectDoc)
      .def("is_connected", &EthernetReceiveInterface::isConnected, Release(),
           kReceiverIsConnectedDoc)
      .def("has_sample", &EthernetReceiveInterface::hasSample, Release(), kHasSampleDoc)
      .def("get_sample", &EthernetReceiveInterface::getSample, Release(), kGetSampleDoc)
      .def("sample_age_seconds", &EthernetReceiveInterface::sampleAgeSeconds, Release(),
           kSampleAgeDoc)
      .def("has_controller_status", &EthernetReceiveInterface::hasControllerStatus, Release(),
           kHasStatusDoc)
      .def("get_controller_status", &EthernetReceiveInterface::getControllerStatus, Release(),
           kGetStatusDoc)
      .def("controller_status_age_seconds", &EthernetReceiveInterface::controllerStatusAgeSeconds,
           Release(), kStatusAgeDoc);
  epson_python::addConnectionProtocol(receiver);
  epson_python::addTelemetryStream(m, receiver);

  py::class_<Tandrel, std::shared_ptr<Tandrel>> tandrel(m, "Tandrel", kTandrelDoc);
  tandrel
      .def(py::init([](const std::string& host, std::uint16_t control_port,
                       std::uint16_t receive_port, const std::optional<std::string>& password,
                       double attempt_timeout, const py::int_& attempts, double retry_pause,
                       double keepalive) {
             const epson::ConnectOptions options =
                 epson_python::connectOptions(attempt_timeout, attempts, retry_pause, keepalive);
             std::shared_ptr<Tandrel> made;
             {
               // Connecting takes seconds; other Python threads run meanwhile.
               py::gil_scoped_release release;
               made = std::shared_ptr<Tandrel>(
                   new Tandrel(host, control_port, receive_port, options, password),
                   DeleteWithoutGil{});
             }
             // The clients it owns show the same endpoint as if Python had connected them.
             auto& notes = epson_python::endpointNotes();
             notes.note(made->getControlInterface(),
                        epson_python::endpointText(host, "port", control_port));
             notes.note(made->getReceiveInterface(),
                        epson_python::endpointText(host, "port", receive_port));
             notes.note(made, epson_python::endpointText(host, "control_port", control_port) +
                                  " receive_port=" + std::to_string(receive_port));
             return made;
           }),
           py::arg("host"), py::arg("control_port") = epson::Brevacon::kDefaultPort,
           py::arg("receive_port") = EthernetReceiveInterface::kDefaultPort, py::kw_only(),
           py::arg("password") = py::none(),
           py::arg("attempt_timeout") =
               epson_python::seconds(epson::Brevacon::kConnectAttemptTimeout),
           py::arg("attempts") = epson::Brevacon::kConnectAttempts,
           py::arg("retry_pause") = epson_python::seconds(epson::Brevacon::kRetryPause),
           py::arg("keepalive") = 0.0, kInitDoc)
      .def("get_control_interface", &Tandrel::getControlInterface, kGetControlDoc)
      .def(
          "get_receive_interface",
          [](const Tandrel& self) { return pythonView(self.getReceiveInterface()); },
          kGetReceiveDoc)
      .def("is_connected", &Tandrel::isConnected, Release(), kIsConnectedDoc)
      .def("disconnect", &Tandrel::disconnect, Release(), kDisconnectDoc);
  epson_python::addConnectionProtocol(
      tandrel,
      [](const py::object& self) { self.attr("get_control_interface")().attr("abort_motion")(); },
      [](const py::object& self) { return self.cast<const Tandrel&>().getControlInterface(); });
}
