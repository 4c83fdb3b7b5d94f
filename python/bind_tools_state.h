// Bindings of the Tools, the TCP offset, the robot state, inverse kinematics and the workspace.
// Included once, by brevacon_module.cpp: the module stays one translation unit, since each unit
// that includes pybind11 costs a compilation of its own.

#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include <epson/brevacon.h>

#include "brevacon_docs.h"

namespace epson_python {

namespace py = pybind11;
using epson::Brevacon;
using BrevaconClass = py::class_<Brevacon, std::shared_ptr<Brevacon>>;
using Release = py::call_guard<py::gil_scoped_release>;

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

inline void bindWorkspace(BrevaconClass& cls, const BrevaconDocs& docs) {
  cls.def("add_safety_cuboid", &Brevacon::addSafetyCuboid, Release(), py::arg("min_corner_mm"),
          py::arg("max_corner_mm"), docs.exchanging(kCuboidDoc).c_str());
}

// The Tools, the TCP offset and inverse kinematics.
inline void bindTools(BrevaconClass& cls, const BrevaconDocs& docs) {
  const std::string& parse_raises = docs.parse_raises;
  const auto raising = [&docs](std::string doc, const std::string& own = "") {
    return docs.raising(std::move(doc), own);
  };
  const auto exchanging = [&docs](const char* doc) { return docs.exchanging(doc); };
  cls.def("tl_set", &Brevacon::tlSet, Release(), py::arg("tool_num"), py::arg("tool_def_point"),
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
           exchanging(kIkDoc).c_str());
}

inline void bindState(BrevaconClass& cls, const BrevaconDocs& docs) {
  const std::string state_doc =
      filled(kGetStateDoc, {{"{state_lock_wait}", durationText(Brevacon::kStateLockWait)},
                            {"{reply_timeout}", docs.reply_timeout}});
  cls.def(
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
}

}  // namespace epson_python
