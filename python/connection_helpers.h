// What both modules add to their connection classes in Python: `with` support and a repr that
// tells where an object points and whether it is connected.
//
// The native classes keep their host and port to themselves, so the binding notes what it
// hands them: the arguments of connect(), and for the two clients a Tandrel owns, the
// arguments of Tandrel's constructor. The notes live in one table per interpreter, shared by
// both modules through pybind11's shared data, because `_brevacon` shows the Brevacon that a
// `_tandrel.Tandrel` created. Every access happens with the interpreter lock held, which is
// also what serialises the table.

#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include <epson/brevacon.h>

#include "docstrings.h"

namespace epson_python {

namespace py = pybind11;

// Text shown by repr() between the class name and the connection state, per native object.
class EndpointNotes {
 public:
  void note(const std::shared_ptr<const void>& object, std::string where) {
    // An entry whose object is gone is dropped: its address may be reused by a new object.
    for (auto it = entries_.begin(); it != entries_.end();) {
      it = it->second.object.expired() ? entries_.erase(it) : std::next(it);
    }
    entries_[object.get()] = Entry{object, std::move(where)};
  }

  // Null when nothing was noted for the object.
  const std::string* find(const void* object) const {
    const auto it = entries_.find(object);
    return it == entries_.end() || it->second.object.expired() ? nullptr : &it->second.where;
  }

 private:
  struct Entry {
    std::weak_ptr<const void> object;
    std::string where;
  };
  std::unordered_map<const void*, Entry> entries_;
};

// The interpreter's table. Both modules come from one build; the name still carries a layout
// version, so a module with a different EndpointNotes could never share it by accident.
inline EndpointNotes& endpointNotes() {
  return py::get_or_create_shared_data<EndpointNotes>("epson_driver.endpoint_notes.v1");
}

// `host='name' port=5000`, the host quoted as Python quotes text (bytes that are not UTF-8
// show as escapes, since connect() also takes bytes).
inline std::string endpointText(const std::string& host, const char* port_name,
                                std::uint16_t port) {
  const auto text = py::reinterpret_steal<py::str>(
      PyUnicode_DecodeUTF8(host.data(), static_cast<Py_ssize_t>(host.size()), "backslashreplace"));
  if (!text) {
    throw py::error_already_set();
  }
  return "host=" + py::repr(text).cast<std::string>() + " " + port_name + "=" +
         std::to_string(port);
}

// `<Brevacon host='robot' port=5000 connected=True>`, or `<Brevacon disconnected>` for an
// object nothing was noted for.
template <class T>
std::string describe(const py::object& self) {
  const T& object = self.cast<const T&>();
  bool connected = false;
  {
    py::gil_scoped_release release;
    connected = object.isConnected();
  }
  std::string text = "<" + py::type::of(self).attr("__name__").cast<std::string>();
  if (const std::string* where = endpointNotes().find(&object)) {
    text += " " + *where + (connected ? " connected=True" : " connected=False");
  } else {
    text += connected ? " connected" : " disconnected";
  }
  return text + ">";
}

constexpr const char* kEnterDoc = R"doc(Return this object, for use in a ``with`` block.

An object with a command session keeps, for the block, the host, port and password it connects
with in memory, so that leaving the block can make the robot safe after a lost session.
)doc";

constexpr const char* kExitDoc =
    R"doc(Call ``disconnect()`` on leaving a ``with`` block, also when it raised.

When the block raised (Ctrl-C included) while a motion of this session runs in another thread,
that motion is aborted first, so ``disconnect()`` does not wait for it to end by itself.
An exception raised in the block propagates unchanged. If ``disconnect()`` then fails as well,
its message is added to that exception as a note instead of replacing it; without an exception
in the block, a failing ``disconnect()`` raises as usual.
)doc";

constexpr const char* kExitSecuresDoc = R"doc(
When the block raised after its session had been lost (a second Ctrl-C, an unanswered
heartbeat, a closed connection) while motors it had switched on were on, it connects once more
with the same host, port and password, within {lost_session_budget}: it writes ``$Abort``,
switches the motors off and logs out, and adds a note to the exception saying what was done or
why it could not be. Ctrl-C stops that attempt. The password is forgotten on leaving the block.
)doc";

// __exit__ calls the Python-level disconnect(), which releases the interpreter lock while it
// runs and is what a subclass may have extended. It never swallows or replaces the exception
// that ended the block: a failure to disconnect becomes a note on that exception.
// Aborts the motion an object's command session runs, if any; null for objects without one.
using AbortRunning = void (*)(const py::object& self);
// The command session of an object; null for objects without one.
using SessionOf = std::shared_ptr<epson::Brevacon> (*)(const py::object& self);

// Adds `note` to the exception that ends the block, when it can take notes.
inline void addNote(const py::object& exc_value, const std::string& note) {
  if (py::hasattr(exc_value, "add_note")) exc_value.attr("add_note")(py::str(note));
}

inline void exitDisconnecting(const py::object& self, const py::object& exc_type,
                              const py::object& exc_value, AbortRunning abort_running,
                              SessionOf session_of) {
  const std::shared_ptr<epson::Brevacon> session =
      session_of != nullptr ? session_of(self) : nullptr;
  // The credentials are forgotten however the block ends, the recovery's Ctrl-C included.
  struct Forget {
    std::shared_ptr<epson::Brevacon> session;
    ~Forget() {
      if (!session) return;
      try {
        py::gil_scoped_release release;
        session->keepCredentials(false);
      } catch (...) {
        // Only a lock failure can get here; the block's own exception is the one to report.
      }
    }
  } forget{session};
  if (exc_type.is_none()) {
    self.attr("disconnect")();
    return;
  }
  if (abort_running != nullptr) {
    try {
      abort_running(self);
    } catch (py::error_already_set& failure) {
      if (!failure.matches(PyExc_Exception) || !py::hasattr(exc_value, "add_note")) throw;
      exc_value.attr("add_note")(
          py::str("abort_motion() on leaving the with block failed: {}: {}")
              .format(py::type::of(failure.value()).attr("__name__"), failure.value()));
    }
  }
  try {
    self.attr("disconnect")();
  } catch (py::error_already_set& failure) {
    if (!failure.matches(PyExc_Exception) || !py::hasattr(exc_value, "add_note")) {
      throw;  // KeyboardInterrupt and the like go on, chained to the block's exception
    }
    exc_value.attr("add_note")(
        py::str("disconnect() on leaving the with block failed too: {}: {}")
            .format(py::type::of(failure.value()).attr("__name__"), failure.value()));
  }
  if (!session) return;
  std::optional<std::string> secured;
  {
    py::gil_scoped_release release;
    secured = session->secureAfterLostSession(epson::Brevacon::kLostSessionBudget);
  }
  if (secured) addNote(exc_value, *secured);
}

// Adds __enter__, __exit__ and __repr__ to a bound class with isConnected() and disconnect().
template <class T, class... Options>
void addConnectionProtocol(py::class_<T, Options...>& cls, AbortRunning abort_running = nullptr,
                           SessionOf session_of = nullptr) {
  // Per bound class (each T is one): only a class with a command session secures a lost one.
  static const std::string kFullExitDoc =
      std::string(kExitDoc) +
      (session_of != nullptr
           ? filled(kExitSecuresDoc,
                    {{"{lost_session_budget}", durationText(epson::Brevacon::kLostSessionBudget)}})
           : std::string());
  cls.def(
         "__enter__",
         [session_of](const py::object& self) {
           if (session_of != nullptr) {
             const std::shared_ptr<epson::Brevacon> session = session_of(self);
             py::gil_scoped_release release;
             session->keepCredentials(true);
           }
           return self;
         },
         kEnterDoc)
      .def(
          "__exit__",
          [abort_running, session_of](const py::object& self, const py::object& exc_type,
                                      const py::object& exc_value,
                                      const py::object& /*traceback*/) {
            exitDisconnecting(self, exc_type, exc_value, abort_running, session_of);
          },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"), kFullExitDoc.c_str())
      .def("__repr__", &describe<T>,
           "Show the class, the host and port last connected to, and whether it is connected.");
}

}  // namespace epson_python
