// What both modules share in Python beyond the classes: the exception classes a failure is
// raised as, and the routing of the driver's log lines into `logging`.
//
// Each module carries its own copy of the native code, so each installs its own translator and
// its own log sink. The Python objects behind them (the exception classes, the logger lines are
// routed to) live once per interpreter in pybind11's shared data, so `_brevacon.ControllerError`
// is `_tandrel.ControllerError`, and routing set up through either module covers both.

#pragma once

#include <pybind11/pybind11.h>

#include <epson/errors.h>
#include <epson/interrupt.h>
#include <epson/log.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace epson_python {

namespace py = pybind11;

constexpr const char* kControllerErrorDoc = R"doc(The controller refused a command.

Raised for an error reply (``!...``). The text is the one a ``RuntimeError`` carried before.

Attributes:
    code (int | None): The controller's error code, the number after the first comma of the
        reply; ``None`` when the reply has none.
    command (str): The command refused, a login shown as ``$Login,<redacted>``.
    reply (str): The error reply as received.
)doc";

constexpr const char* kMotionAbortedDoc = R"doc(A motion ended because it was aborted.

Raised by ``go`` and ``move`` when ``abort_motion()`` was accepted while they ran and the
motion's own reply is an error; ``code`` is that reply's code. Raised with ``code`` None when the
abort came before the motion's statement was sent, which then never was. A ``ControllerError``.
)doc";

constexpr const char* kConnectionFailedDoc = R"doc(A connection could not be made.

Raised by ``connect`` and ``Tandrel(...)`` when the host does not resolve, every connection
attempt fails, or the telemetry stream delivers no first sample in time.
)doc";

constexpr const char* kTimeoutDoc = R"doc(A deadline passed.

Raised when a command's write or reply takes longer than its deadline (the session is then
closed), when ``pause``/``continue_motion`` get no reply, and when ``get_state`` finds the
connection busy. Not the builtin ``TimeoutError``: catch it as ``_brevacon.TimeoutError``.
)doc";

constexpr const char* kSessionBusyDoc = R"doc(The session was busy; nothing was sent.

Raised, within a ``session_wait_limit()`` block, by a call that needs the session while a motion
of it runs, or that waited for another operation longer than the block's limit. A
``TimeoutError``.
)doc";

constexpr const char* kConnectionLostDoc = R"doc(The session is gone.

Raised when the connection closes or fails while a reply is awaited, when a reply nobody
expected puts the session out of step, and when a command finds the session not connected.
``is_connected()`` is then ``False``; ``connect`` starts a new session.
)doc";

struct ErrorClasses {
  py::object controller;
  py::object motion_aborted;
  py::object connection_failed;
  py::object timeout;
  py::object session_busy;
  py::object connection_lost;
};

// The interpreter's exception classes, created by whichever module is imported first. Their
// __module__ is "_brevacon", where they are documented.
inline ErrorClasses& errorClasses() {
  auto& classes = py::get_or_create_shared_data<ErrorClasses>("epson_driver.error_classes.v2");
  if (!classes.controller) {
    const auto make = [](const char* name, const char* doc,
                         const py::object& base =
                             py::reinterpret_borrow<py::object>(PyExc_RuntimeError)) {
      py::dict body;
      body["__doc__"] = doc;
      body["__module__"] = "_brevacon";
      return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(
          name, py::make_tuple(base), body);
    };
    classes.controller = make("ControllerError", kControllerErrorDoc);
    classes.motion_aborted = make("MotionAbortedError", kMotionAbortedDoc, classes.controller);
    classes.connection_failed = make("ConnectionFailedError", kConnectionFailedDoc);
    classes.timeout = make("TimeoutError", kTimeoutDoc);
    classes.session_busy = make("SessionBusyError", kSessionBusyDoc, classes.timeout);
    classes.connection_lost = make("ConnectionLostError", kConnectionLostDoc);
  }
  return classes;
}

// --- Signals ------------------------------------------------------------------------------------
//
// The interrupt check both modules install: on the main thread, between slices of a native wait,
// it runs the interpreter's signal handlers. When one raises (Ctrl-C's KeyboardInterrupt), the
// exception is kept in the thread's state dict, shared by both modules, and the native call stops
// with epson::InterruptedError; its translation raises the kept exception, with a note saying what
// the call did about it.

constexpr const char* kPendingInterruptKey = "epson_driver.pending_interrupt";

inline unsigned long& mainThreadIdent() {
  static unsigned long ident = 0;
  return ident;
}

inline bool runSignalHandlers() {
  if (PyThread_get_thread_ident() != mainThreadIdent() || Py_IsInitialized() == 0 ||
      _Py_IsFinalizing() != 0) {
    return false;  // only the main thread runs signal handlers
  }
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() == 0) return false;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  PyObject* state = PyThreadState_GetDict();
  if (state != nullptr && value != nullptr)
    PyDict_SetItemString(state, kPendingInterruptKey, value);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return true;
}

inline void installInterruptCheck() {
  mainThreadIdent() =
      py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  epson::setInterruptCheck(&runSignalHandlers);
}

// Raises the exception the signal handler raised, with `what` as a note.
inline void raisePendingInterrupt(const char* what) {
  PyObject* state = PyThreadState_GetDict();
  PyObject* kept = state != nullptr ? PyDict_GetItemString(state, kPendingInterruptKey) : nullptr;
  if (kept == nullptr) {
    PyErr_SetString(PyExc_KeyboardInterrupt, what);
    return;
  }
  py::object error = py::reinterpret_borrow<py::object>(kept);
  PyDict_DelItemString(state, kPendingInterruptKey);
  if (py::hasattr(error, "add_note")) error.attr("add_note")(py::str(what));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
}

// Raises a native failure as its Python class, with the same text. Registered per module, for
// the exceptions this module's copy of the native code throws.
inline void translateErrors(std::exception_ptr failure) {
  const auto raise = [](const py::object& cls, const std::exception& e) {
    PyErr_SetObject(cls.ptr(), cls(e.what()).ptr());
  };
  try {
    std::rethrow_exception(std::move(failure));
  } catch (const epson::InterruptedError& e) {
    raisePendingInterrupt(e.what());
  } catch (const epson::ControllerError& e) {
    const py::object cls = dynamic_cast<const epson::MotionAbortedError*>(&e) != nullptr
                               ? errorClasses().motion_aborted
                               : errorClasses().controller;
    py::object error = cls(e.what());
    error.attr("code") = e.code() ? py::object(py::int_(*e.code())) : py::none();
    error.attr("command") = py::str(e.command());
    error.attr("reply") = py::str(e.reply());
    PyErr_SetObject(cls.ptr(), error.ptr());
  } catch (const epson::ConnectionFailedError& e) {
    raise(errorClasses().connection_failed, e);
  } catch (const epson::SessionBusyError& e) {
    raise(errorClasses().session_busy, e);
  } catch (const epson::TimeoutError& e) {
    raise(errorClasses().timeout, e);
  } catch (const epson::ConnectionLostError& e) {
    raise(errorClasses().connection_lost, e);
  }
}

// --- Log routing -------------------------------------------------------------------------------

// The logger lines go to (None: the default), and how to tell each loaded module about it.
struct LogRoute {
  py::object logger = py::none();
  std::vector<void (*)(const py::object&)> installers;
  bool exit_hook = false;
};

inline LogRoute& logRoute() {
  return py::get_or_create_shared_data<LogRoute>("epson_driver.log_route.v1");
}

// The Python end of a sink: the logger's info and error methods. It takes the interpreter lock
// only for the call, and not at all once the interpreter is shutting down, when lines go to the
// default streams instead.
class PythonLogTarget {
 public:
  explicit PythonLogTarget(const py::object& logger)
      : info_(logger.attr("info")), error_(logger.attr("error")) {}
  PythonLogTarget(const PythonLogTarget&) = delete;
  PythonLogTarget& operator=(const PythonLogTarget&) = delete;

  ~PythonLogTarget() {
    // The last copy of a sink may go away on any thread; references are dropped under the lock,
    // or left alone when the interpreter is already gone.
    if (interpreterUsable_()) {
      const PyGILState_STATE gil = PyGILState_Ensure();
      Py_XDECREF(info_.release().ptr());
      Py_XDECREF(error_.release().ptr());
      PyGILState_Release(gil);
    } else {
      info_.release();
      error_.release();
    }
  }

  bool write(epson::LogLevel level, const std::string& line) const {
    if (!interpreterUsable_()) return false;
    py::gil_scoped_acquire gil;
    try {
      (level == epson::LogLevel::kInfo ? info_ : error_)(line);
    } catch (py::error_already_set& failure) {
      // A failing handler must not fail the driver's operation that logged.
      failure.discard_as_unraisable("epson driver log routing");
    }
    return true;
  }

 private:
  static bool interpreterUsable_() { return Py_IsInitialized() != 0 && _Py_IsFinalizing() == 0; }

  py::object info_;
  py::object error_;
};

// Installs the route in this module's copy of the native code. Once the interpreter is shutting
// down, lines are written as the default would write them.
inline void installLogRoute(const py::object& logger) {
  if (logger.is_none()) {
    epson::setLogSink(nullptr);
    return;
  }
  std::shared_ptr<const PythonLogTarget> target = std::make_shared<PythonLogTarget>(logger);
  epson::setLogSink([target](epson::LogLevel level, const std::string& line) {
    if (!target->write(level, line)) {
      std::FILE* out = level == epson::LogLevel::kInfo ? stdout : stderr;
      std::fputs((line + "\n").c_str(), out);
      std::fflush(out);
    }
  });
}

constexpr const char* kRouteDoc = R"doc(Send the driver's log lines to a ``logging.Logger``.

"Connected to ..." and "Disconnected from ..." go out at INFO, failures and retries at ERROR,
from whichever thread logs them. The route covers both modules and stays until
``restore_default_log()``; at interpreter exit the default is restored by itself.

Args:
    logger: The logger; by default ``logging.getLogger("epson")``.

Raises:
    TypeError: If ``logger`` has no callable ``info`` and ``error``; the route is unchanged.
)doc";

constexpr const char* kRestoreDoc = R"doc(Write the driver's log lines as plain lines again.

Info lines go to standard output and failures to standard error, each flushed at once.
)doc";

inline void setLogRoute(const py::object& logger) {
  LogRoute& route = logRoute();
  route.logger = logger;
  for (auto* install : route.installers) install(logger);
}

// Adds the exception classes, their translation and the two routing functions to a module.
inline void addErrorsAndLogging(py::module_& m) {
  ErrorClasses& classes = errorClasses();
  m.attr("ControllerError") = classes.controller;
  m.attr("MotionAbortedError") = classes.motion_aborted;
  m.attr("ConnectionFailedError") = classes.connection_failed;
  m.attr("TimeoutError") = classes.timeout;
  m.attr("SessionBusyError") = classes.session_busy;
  m.attr("ConnectionLostError") = classes.connection_lost;
  py::register_local_exception_translator(&translateErrors);
  installInterruptCheck();

  LogRoute& route = logRoute();
  route.installers.push_back(&installLogRoute);
  installLogRoute(route.logger);  // a route set up through the other module covers this one too

  m.def(
      "route_log_to_logging",
      [](py::object logger) {
        if (logger.is_none()) logger = py::module_::import("logging").attr("getLogger")("epson");
        // Checked before anything changes: a route to an object that cannot take the lines
        // would break every later log line, and the other module's import with it.
        for (const char* method : {"info", "error"}) {
          if (!py::hasattr(logger, method) || !PyCallable_Check(logger.attr(method).ptr())) {
            throw py::type_error(
                "route_log_to_logging() needs a logging.Logger (or an object with info() and "
                "error() methods), not " +
                std::string(py::str(py::type::of(logger).attr("__name__"))));
          }
        }
        LogRoute& shared = logRoute();
        if (!shared.exit_hook) {
          // Threads may still log while the interpreter shuts down; the default takes them.
          py::module_::import("atexit").attr("register")(
              py::cpp_function([] { setLogRoute(py::none()); }));
          shared.exit_hook = true;
        }
        setLogRoute(logger);
      },
      py::arg("logger") = py::none(), kRouteDoc);
  m.def(
      "restore_default_log", [] { setLogRoute(py::none()); }, kRestoreDoc);
}

}  // namespace epson_python
