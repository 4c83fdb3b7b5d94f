// Bindings of motion targets (Pose, Joints), Jump and Jump3, the point table, the current
// position, and motion handles (Motion, start_go() and its siblings).
// Included once, by brevacon_module.cpp: the module stays one translation unit, since each unit
// that includes pybind11 costs a compilation of its own.

#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <epson/brevacon.h>

#include "bind_motion.h"
#include "brevacon_docs.h"
#include "strict_numbers.h"

namespace epson_python {

namespace py = pybind11;
using epson::Brevacon;
using epson::Joints;
using epson::Motion;
using epson::Pose;
using BrevaconClass = py::class_<Brevacon, std::shared_ptr<Brevacon>>;

// Destroys what Python made with the interpreter lock released: a Motion or a Brevacon may wait
// for a thread of theirs that logs through Python.
struct DeleteReleasingGil {
  template <class T>
  void operator()(T* object) const {
    if (Py_IsInitialized() != 0 && PyGILState_Check() != 0) {
      py::gil_scoped_release release;
      delete object;
    } else {
      delete object;
    }
  }
};
using MotionHolder = std::unique_ptr<Motion, DeleteReleasingGil>;

constexpr const char* kPoseDoc =
    R"doc(A native Cartesian pose: ``x``, ``y``, ``z`` in millimetres, ``u``, ``v``, ``w`` in degrees.

Immutable; compares by value, iterates as its six values, and converts from any sequence of
six numbers with ``Pose.of(values)``. A motion to a ``Pose`` keeps the arm's current posture
unless it asks for the least joint motion (``go(..., ljm=True)``).
)doc";

constexpr const char* kJointsDoc = R"doc(Six joint angles ``j1`` to ``j6``, in degrees.

Immutable; compares by value, iterates as its six values, and converts from any sequence of
six numbers with ``Joints.of(values)``. ``move(Joints(...))`` runs a straight line to the pose of
those angles.
)doc";

constexpr const char* kMotionDoc = R"doc(A motion that runs while the program goes on.

``start_go()`` and its siblings return one once the motion's statement is written; the motion
runs on a thread the handle owns, holding the session as a blocking call does
(``get_remote_status()`` and telemetry work meanwhile). ``await motion`` waits without blocking
an asyncio event loop; ``with motion:`` aborts it if the block is left by an exception, and
otherwise waits for it and raises what it raised. A handle dropped while its motion runs
aborts it.
)doc";

constexpr const char* kStartDoc = R"doc(

Takes the arguments of ``{blocking}``. Returns a ``Motion`` once the statement is written: the
arguments and settings are checked, and their errors raised, before it returns; the motion then
runs on a thread the handle owns, with the heartbeat, abort and pause of ``{blocking}``.

Raises:
    RuntimeError: At once, sending nothing, while a motion of this session runs (its statement
        named).
    ValueError: If the arguments cannot form a valid statement; nothing is sent then.
    ControllerError: If the controller refuses a setting (or the posture query) first.
    ConnectionLostError: If the session is not connected or is lost before the statement goes.
)doc";

constexpr const char* kJumpDoc =
    R"doc(Execute a SPEL+ ``Jump``: up, across and down to ``destination``.

``Jump`` is the arch motion of SCARA and Cartesian robots; a 6-axis controller refuses it with
a ``ControllerError`` (use ``jump3``). Blocks as ``go`` does, with the same heartbeat, abort,
pause and Ctrl-C behaviour.

Args:
    destination: A point name or expression, a ``Pose`` or ``Joints``.
    arch: The arch setting, 0 to 7 (``C<arch>``), or None.
    lim_z: The Z limit of the arch (``LimZ``), finite, or None.
    search_expression: SPEL+ search clause including its keyword (``Till Sw(8) = On``).
    parallel_processing: SPEL+ statements placed between ``!``, or None.
    speed_percent, acceleration_percent, deceleration_percent: As for ``go``.

{motion_raises})doc";

constexpr const char* kJump3Doc = R"doc(Execute a SPEL+ ``Jump3``: depart, span and approach.

A straight depart from the current position to ``depart``, a point-to-point span to
``approach``, and a straight approach to ``destination``: the gate motion of 6-axis arms. Blocks
as ``go`` does, with the same heartbeat, abort, pause and Ctrl-C behaviour. A ``Pose`` among the
points keeps the arm's posture, read once before the statement is written.

Args:
    depart: A point name or expression, a ``Pose`` or ``Joints``.
    approach: The same.
    destination: The same.
    arch: The arch setting, 0 to 7 (``C<arch>``), or None.
    search_expression: SPEL+ search clause including its keyword (``Till Sw(8) = On``).
    parallel_processing: SPEL+ statements placed between ``!``, or None.
    speed_percent, acceleration_percent, deceleration_percent: As for ``go``.

{motion_raises})doc";

// here() and here_joints() read the position as get_state() does, and fail as it does.
constexpr const char* kHereDoc = R"doc(

Like ``get_state``, it fails at once while a motion runs, and after {state_lock_wait} while
another operation holds the connection.

Raises:
    RuntimeError: At once, sending nothing, while a motion runs; also if the reply does not
        hold six values.
    TimeoutError: If another operation holds the connection for {state_lock_wait}, or a reply
        does not come within {reply_timeout} (the session is then closed).
    ControllerError: If the controller answers with an error reply.
    ConnectionLostError: If the session is not connected, or the connection ends or falls out
        of step while a reply is awaited.
)doc";

template <class Six>
std::array<double, 6> sixOf(const Six& v);
template <>
inline std::array<double, 6> sixOf(const Pose& p) {
  return {p.x, p.y, p.z, p.u, p.v, p.w};
}
template <>
inline std::array<double, 6> sixOf(const Joints& j) {
  return {j.j1, j.j2, j.j3, j.j4, j.j5, j.j6};
}

inline std::string pythonNumber(double value) {
  return py::repr(py::float_(value)).cast<std::string>();
}

// Pose and Joints: six named numbers, immutable, by value.
template <class Six>
void bindSix(py::module_& m, const char* name, const char* doc,
             const std::array<const char*, 6>& fields, Six (*make)(const std::array<double, 6>&)) {
  using R = std::optional<StrictReal>;
  py::class_<Six> cls(m, name, doc);
  cls.def(py::init([fields, make](const R& a, const R& b, const R& c, const R& d, const R& e,
                                  const R& f) {
            const std::array<const R*, 6> given = {&a, &b, &c, &d, &e, &f};
            std::array<double, 6> values{};
            for (std::size_t i = 0; i < 6; ++i) {
              if (!*given[i]) throw py::type_error(std::string(fields[i]) + " must be a float");
              values[i] = *checked(*given[i], fields[i]);
            }
            return make(values);
          }),
          py::arg(fields[0]), py::arg(fields[1]), py::arg(fields[2]), py::arg(fields[3]),
          py::arg(fields[4]), py::arg(fields[5]));
  for (std::size_t i = 0; i < 6; ++i) {
    cls.def_property_readonly(fields[i], [i](const Six& v) { return sixOf(v)[i]; });
  }
  cls.def_static(
         "of",
         [make](const py::iterable& values) {
           std::vector<double> numbers;
           for (const py::handle item : values) {
             if (PyBool_Check(item.ptr()) != 0) throw py::type_error("values must be numbers");
             numbers.push_back(item.cast<double>());
           }
           if (numbers.size() != 6) {
             throw py::value_error("expected six values, got " + std::to_string(numbers.size()));
           }
           std::array<double, 6> six{};
           std::copy(numbers.begin(), numbers.end(), six.begin());
           return make(six);
         },
         py::arg("values"), "Make one from any sequence (or iterable) of six numbers.")
      .def("__iter__",
           [](const Six& v) {
             const std::array<double, 6> six = sixOf(v);
             return py::iter(py::make_tuple(six[0], six[1], six[2], six[3], six[4], six[5]));
           })
      .def("__len__", [](const Six&) { return 6; })
      .def("__getitem__",
           [](const Six& v, int index) {
             if (index < 0) index += 6;
             if (index < 0 || index >= 6) throw py::index_error("index out of range");
             return sixOf(v)[static_cast<std::size_t>(index)];
           })
      .def("__eq__", [](const Six& a, const Six& b) { return a == b; })
      .def("__eq__", [](const Six&, const py::object&) { return false; })
      .def("__hash__",
           [](const Six& v) {
             const std::array<double, 6> six = sixOf(v);
             return py::hash(py::make_tuple(six[0], six[1], six[2], six[3], six[4], six[5]));
           })
      .def("__repr__", [name, fields](const Six& v) {
        const std::array<double, 6> six = sixOf(v);
        std::string text = std::string(name) + "(";
        for (std::size_t i = 0; i < 6; ++i) {
          text += std::string(i ? ", " : "") + fields[i] + "=" + pythonNumber(six[i]);
        }
        return text + ")";
      });
}

inline void bindTargetTypes(py::module_& m) {
  bindSix<Pose>(
      m, "Pose", kPoseDoc, {"x", "y", "z", "u", "v", "w"},
      [](const std::array<double, 6>& a) { return Pose{a[0], a[1], a[2], a[3], a[4], a[5]}; });
  bindSix<Joints>(
      m, "Joints", kJointsDoc, {"j1", "j2", "j3", "j4", "j5", "j6"},
      [](const std::array<double, 6>& a) { return Joints{a[0], a[1], a[2], a[3], a[4], a[5]}; });

  py::class_<Motion, MotionHolder>(m, "Motion", kMotionDoc)
      .def_property_readonly("statement", &Motion::statement,
                             "The motion's statement as messages show it.")
      .def("done", &Motion::done, py::call_guard<py::gil_scoped_release>(),
           "Return whether the motion has ended, however it ended.")
      .def(
          "wait",
          [](Motion& self, std::optional<double> timeout) {
            if (timeout && !(*timeout >= 0)) throw py::value_error("timeout must be 0 or more");
            py::gil_scoped_release release;
            if (!timeout || *timeout > 1e9) return self.wait(std::chrono::milliseconds::max());
            return self.wait(std::chrono::milliseconds(std::llround(*timeout * 1000.0)));
          },
          py::arg("timeout") = py::none(),
          "Wait until the motion ends, or ``timeout`` seconds pass (None: no limit).\n\n"
          "Returns:\n    True when it ended.\n\n"
          "Raises:\n    KeyboardInterrupt: On Ctrl-C, after the motion was aborted and ended.\n")
      .def("result", &Motion::get, py::call_guard<py::gil_scoped_release>(),
           "Wait for the end; return None, or raise what the motion raised.\n\n"
           "Raises:\n    MotionAbortedError: If it was aborted.\n"
           "    ControllerError: If the controller refused it or it failed.\n"
           "    ConnectionLostError: If the session was lost.\n"
           "    KeyboardInterrupt: On Ctrl-C, after the motion was aborted and ended.\n")
      .def("abort", &Motion::abort, py::call_guard<py::gil_scoped_release>(),
           "Abort the motion, as ``Brevacon.abort_motion()``: False once it has ended.")
      .def("pause", &Motion::pause, py::call_guard<py::gil_scoped_release>(),
           "Pause the motion, as ``Brevacon.pause()``.")
      .def("continue_motion", &Motion::continueMotion, py::call_guard<py::gil_scoped_release>(),
           "Continue the paused motion, as ``Brevacon.continue_motion()``.")
      .def(
          "__await__",
          [](const py::object& self) {
            // result() waits in the loop's executor, the interpreter lock released; a cancelled
            // await aborts the motion.
            const py::object loop = py::module_::import("asyncio").attr("get_running_loop")();
            py::object future = loop.attr("run_in_executor")(py::none(), self.attr("result"));
            future.attr("add_done_callback")(py::cpp_function([self](const py::object& done) {
              if (done.attr("cancelled")().cast<bool>()) self.attr("abort")();
            }));
            return future.attr("__await__")();
          },
          "Wait in asyncio: ``await motion`` returns what ``result()`` returns, or raises its "
          "exception, without blocking the event loop.")
      .def("__enter__", [](const py::object& self) { return self; })
      .def(
          "__exit__",
          [](Motion& self, const py::object& exc_type, const py::object&, const py::object&) {
            if (exc_type.is_none()) {
              py::gil_scoped_release release;
              self.get();
              return;
            }
            py::gil_scoped_release release;
            try {
              self.abort();
              self.wait(Brevacon::kControlReplyTimeout + Brevacon::kReplyTimeout);
            } catch (const std::exception&) {
              // The block's exception is the one to report; the abort did what it could.
            }
          },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"),
          "Abort the motion when the block raised; otherwise wait for it and raise what it "
          "raised.")
      .def("__repr__", [](const Motion& self) {
        bool done = false;
        {
          py::gil_scoped_release release;
          done = self.done();
        }
        return "<Motion " + self.statement() + (done ? " done>" : " running>");
      });
}

// A point number as Python gives it: an int, never a bool, which would quietly name P1 (or P0).
inline int pointNumber(const StrictInt& number) {
  return *checked(std::optional<StrictInt>(number), "number");
}

constexpr const char* kPointNumberRaises =
    "    TypeError: For a number that is not an int (a bool, a float); nothing is sent.\n"
    "    IndexError: For a number outside 0 to 999; nothing is sent.\n";

// jump, jump3, the started motions, the current position and the point table.
inline void bindTargetMotions(BrevaconClass& cls, const BrevaconDocs& docs) {
  const std::string jump_doc = filled(kJumpDoc, {{"{motion_raises}", docs.motion_raises}});
  const std::string jump3_doc = filled(kJump3Doc, {{"{motion_raises}", docs.motion_raises}});
  const auto started = [](const char* first, const char* blocking) {
    return std::string(first) + filled(kStartDoc, {{"{blocking}", blocking}});
  };
  const std::string start_go_doc =
      started("Start a point-to-point SPEL+ ``Go`` motion and return its ``Motion``.", "go");
  const std::string start_move_doc =
      started("Start a straight-line SPEL+ ``Move`` motion and return its ``Motion``.", "move");
  const std::string start_jump_doc =
      started("Start a SPEL+ ``Jump`` and return its ``Motion``.", "jump");
  const std::string start_jump3_doc =
      started("Start a SPEL+ ``Jump3`` and return its ``Motion``.", "jump3");
  const auto motion = [](Motion made) { return MotionHolder(new Motion(std::move(made))); };
  const std::string here_doc =
      filled(kHereDoc, {{"{state_lock_wait}", durationText(Brevacon::kStateLockWait)},
                        {"{reply_timeout}", docs.reply_timeout}});

  using motion_forms::defGo, motion_forms::defMove, motion_forms::defJump, motion_forms::defJump3;
  defJump(
      cls, "jump", [](Brevacon& self, const auto&... args) { self.jump(args...); },
      jump_doc.c_str());
  defJump3(
      cls, "jump3", [](Brevacon& self, const auto&... args) { self.jump3(args...); },
      jump3_doc.c_str());
  // A started motion keeps its session alive for as long as Python holds the Motion.
  defGo(
      cls, "start_go",
      [motion](Brevacon& self, const auto&... args) { return motion(self.startGo(args...)); },
      py::keep_alive<0, 1>(), start_go_doc.c_str());
  defMove(
      cls, "start_move",
      [motion](Brevacon& self, const auto&... args) { return motion(self.startMove(args...)); },
      py::keep_alive<0, 1>(), start_move_doc.c_str());
  defJump(
      cls, "start_jump",
      [motion](Brevacon& self, const auto&... args) { return motion(self.startJump(args...)); },
      py::keep_alive<0, 1>(), start_jump_doc.c_str());
  defJump3(
      cls, "start_jump3",
      [motion](Brevacon& self, const auto&... args) { return motion(self.startJump3(args...)); },
      py::keep_alive<0, 1>(), start_jump3_doc.c_str());
  cls.def("here", &Brevacon::here, py::call_guard<py::gil_scoped_release>(),
          ("Return the current pose as a ``Pose``." + here_doc).c_str())
      .def("here_joints", &Brevacon::hereJoints, py::call_guard<py::gil_scoped_release>(),
           ("Return the current joint angles as ``Joints``." + here_doc).c_str())
      .def(
          "set_point",
          [](Brevacon& self, const StrictInt& number, const Pose& pose) {
            const int n = pointNumber(number);
            py::gil_scoped_release release;
            self.setPoint(n, pose);
          },
          py::arg("number"), py::arg("pose"),
          docs.raising("Define a point of the controller's table: ``P<number> = XY(...)``.\n\n"
                       "Args:\n    number: 0 to 999.\n    pose: A ``Pose``.\n",
                       std::string(kPointNumberRaises) +
                           "    ValueError: For a pose with a value that is not finite.\n")
              .c_str())
      .def(
          "get_point",
          [](Brevacon& self, const StrictInt& number) {
            const int n = pointNumber(number);
            py::gil_scoped_release release;
            return self.getPoint(n);
          },
          py::arg("number"),
          docs.raising("Read a point of the controller's table as a ``Pose``.",
                       kPointNumberRaises + docs.parse_raises)
              .c_str())
      .def(
          "teach_point",
          [](Brevacon& self, const StrictInt& number) {
            const int n = pointNumber(number);
            py::gil_scoped_release release;
            self.teachPoint(n);
          },
          py::arg("number"),
          docs.raising("Teach a point where the arm is: ``P<number> = Here``.", kPointNumberRaises)
              .c_str())
      .def("save_points", &Brevacon::savePoints, py::call_guard<py::gil_scoped_release>(),
           py::arg("file"),
           docs.raising("Save the point table to a file of the controller (``SavePoints``).",
                        "    ValueError: For an empty name, or one holding a quote, a line "
                        "ending or another\n        control character.\n")
               .c_str())
      .def("load_points", &Brevacon::loadPoints, py::call_guard<py::gil_scoped_release>(),
           py::arg("file"),
           docs.raising("Load the point table from a file of the controller (``LoadPoints``).",
                        "    ValueError: For an empty name, or one holding a quote, a line "
                        "ending or another\n        control character.\n")
               .c_str());
}

}  // namespace epson_python
