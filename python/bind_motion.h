// Bindings of the motions and of what reaches a running one: go, move, pause, continue, abort.
// Included once, by brevacon_module.cpp: the module stays one translation unit, since each unit
// that includes pybind11 costs a compilation of its own.

#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>

#include <epson/brevacon.h>

#include "brevacon_docs.h"
#include "strict_numbers.h"

namespace epson_python {

namespace py = pybind11;
using epson::Brevacon;
using BrevaconClass = py::class_<Brevacon, std::shared_ptr<Brevacon>>;
using Release = py::call_guard<py::gil_scoped_release>;

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
    destination: A SPEL+ point or point expression, inserted verbatim (``P1``, ``P3 +Z(50)``);
        a ``Pose``, written as ``XY(...)`` with the arm's current posture (read once before the
        statement; with ``ljm`` the least joint motion chooses instead); or ``Joints``, written
        as ``AglToPls(...)``.
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

{motion_raises})doc";

constexpr const char* kMoveDoc = R"doc(Execute a straight-line Cartesian SPEL+ ``Move`` motion.

Blocks until the controller reports the end of the motion (at most {motion_timeout}), with the
interpreter lock released.{motion_stop} Optional motion parameters must be finite and positive; the
controller enforces its model-specific limits, and omitted parameters keep the controller's
current settings.

Args:
    destination: A SPEL+ point or point expression, inserted verbatim; a ``Pose`` (the arm's
        current posture kept); or ``Joints`` (a straight line to the pose of those angles).
    rot: Append ``ROT`` (orientation-led interpolation).
    ecp: Append ``ECP`` (external control point).
    cp: Append the continuous-path modifier ``CP``.
    search_expression: SPEL+ search clause including its keyword, or None.
    parallel_processing: SPEL+ parallel-processing statements placed between ``!``, or None.
    sync: Append ``SYNC``.
    speed_mm_s: Linear speed in millimetres per second, sent as ``SpeedS``.
    acceleration_mm_s2: Linear acceleration and deceleration in millimetres per second
        squared, sent as ``AccelS``.

{motion_raises})doc";

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

// pause, continue_motion and abort_motion: what reaches a running motion from another thread.
inline void bindMotionControl(BrevaconClass& cls, const BrevaconDocs& docs) {
  const std::string abort_doc = filled(kAbortDoc, {{"{control_reply}", docs.control_reply}});
  const std::string& control_raises = docs.control_raises;
  cls.def("pause", &Brevacon::pause, Release(),
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
      .def("abort_motion", &Brevacon::abortMotion, Release(), abort_doc.c_str());
}

// The blocking and the started form of each motion take the same arguments, checked the same
// way before the GIL is let go; only the call they end in differs. `run` gets the session and
// the checked arguments, in the order of the C++ call; `extra` are the docstring and any more
// pybind11 options.
namespace motion_forms {
using Int = std::optional<StrictInt>;
using Real = std::optional<StrictReal>;
using Text = std::optional<std::string>;
using epson::Target;

template <typename Run, typename... Extra>
void defGo(BrevaconClass& cls, const char* name, Run run, const Extra&... extra) {
  cls.def(
      name,
      [run](Brevacon& self, const Target& destination, bool cp, bool ljm,
            const Int& orientation_flag, const Text& search, const Text& parallel, bool sync,
            const Int& speed, const Int& accel, const Int& decel) {
        const auto flag = checked(orientation_flag, "orientation_flag");
        const auto s = checked(speed, "speed_percent");
        const auto a = checked(accel, "acceleration_percent");
        const auto d = checked(decel, "deceleration_percent");
        py::gil_scoped_release release;
        return run(self, destination, cp, ljm, flag, search, parallel, sync, s, a, d);
      },
      py::arg("destination"), py::arg("cp") = false, py::arg("ljm") = false,
      py::arg("orientation_flag") = py::none(), py::arg("search_expression") = py::none(),
      py::arg("parallel_processing") = py::none(), py::arg("sync") = false,
      py::arg("speed_percent") = py::none(), py::arg("acceleration_percent") = py::none(),
      py::arg("deceleration_percent") = py::none(), extra...);
}

template <typename Run, typename... Extra>
void defMove(BrevaconClass& cls, const char* name, Run run, const Extra&... extra) {
  cls.def(
      name,
      [run](Brevacon& self, const Target& destination, bool rot, bool ecp, bool cp,
            const Text& search, const Text& parallel, bool sync, const Real& speed,
            const Real& accel) {
        const auto s = checked(speed, "speed_mm_s");
        const auto a = checked(accel, "acceleration_mm_s2");
        py::gil_scoped_release release;
        return run(self, destination, rot, ecp, cp, search, parallel, sync, s, a);
      },
      py::arg("destination"), py::arg("rot") = false, py::arg("ecp") = false, py::arg("cp") = false,
      py::arg("search_expression") = py::none(), py::arg("parallel_processing") = py::none(),
      py::arg("sync") = false, py::arg("speed_mm_s") = py::none(),
      py::arg("acceleration_mm_s2") = py::none(), extra...);
}

template <typename Run, typename... Extra>
void defJump(BrevaconClass& cls, const char* name, Run run, const Extra&... extra) {
  cls.def(
      name,
      [run](Brevacon& self, const Target& destination, const Int& arch, const Real& lim_z,
            const Text& search, const Text& parallel, const Int& speed, const Int& accel,
            const Int& decel) {
        const auto c = checked(arch, "arch");
        const auto z = checked(lim_z, "lim_z");
        const auto s = checked(speed, "speed_percent");
        const auto a = checked(accel, "acceleration_percent");
        const auto d = checked(decel, "deceleration_percent");
        py::gil_scoped_release release;
        return run(self, destination, c, z, search, parallel, s, a, d);
      },
      py::arg("destination"), py::arg("arch") = py::none(), py::arg("lim_z") = py::none(),
      py::arg("search_expression") = py::none(), py::arg("parallel_processing") = py::none(),
      py::arg("speed_percent") = py::none(), py::arg("acceleration_percent") = py::none(),
      py::arg("deceleration_percent") = py::none(), extra...);
}

template <typename Run, typename... Extra>
void defJump3(BrevaconClass& cls, const char* name, Run run, const Extra&... extra) {
  cls.def(
      name,
      [run](Brevacon& self, const Target& depart, const Target& approach, const Target& destination,
            const Int& arch, const Text& search, const Text& parallel, const Int& speed,
            const Int& accel, const Int& decel) {
        const auto c = checked(arch, "arch");
        const auto s = checked(speed, "speed_percent");
        const auto a = checked(accel, "acceleration_percent");
        const auto d = checked(decel, "deceleration_percent");
        py::gil_scoped_release release;
        return run(self, depart, approach, destination, c, search, parallel, s, a, d);
      },
      py::arg("depart"), py::arg("approach"), py::arg("destination"), py::arg("arch") = py::none(),
      py::arg("search_expression") = py::none(), py::arg("parallel_processing") = py::none(),
      py::arg("speed_percent") = py::none(), py::arg("acceleration_percent") = py::none(),
      py::arg("deceleration_percent") = py::none(), extra...);
}
}  // namespace motion_forms

inline void bindMotions(BrevaconClass& cls, const BrevaconDocs& docs) {
  const std::string motion_stop =
      filled(kMotionStopDoc, {{"{heartbeat_interval}", durationText(Brevacon::kHeartbeatInterval)},
                              {"{heartbeat_reply}", durationText(Brevacon::kHeartbeatReplyTimeout)},
                              {"{control_reply}", docs.control_reply}});
  const std::string go_doc = filled(kGoDoc, {{"{motion_stop}", motion_stop},
                                             {"{motion_raises}", docs.motion_raises},
                                             {"{motion_timeout}", docs.motion_timeout}});
  const std::string move_doc = filled(kMoveDoc, {{"{motion_stop}", motion_stop},
                                                 {"{motion_raises}", docs.motion_raises},
                                                 {"{motion_timeout}", docs.motion_timeout}});
  motion_forms::defGo(
      cls, "go", [](Brevacon& self, const auto&... args) { self.go(args...); }, go_doc.c_str());
  motion_forms::defMove(
      cls, "move", [](Brevacon& self, const auto&... args) { self.move(args...); },
      move_doc.c_str());
}

}  // namespace epson_python
