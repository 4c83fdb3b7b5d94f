#pragma once

// Where a motion goes: a point of the controller (its name or a SPEL+ point expression, as
// text), a Cartesian pose, or joint angles.

#include <string>
#include <variant>

namespace epson {

// A native Cartesian pose: X, Y, Z in millimetres, U, V, W in degrees. A motion to a Pose keeps
// the arm's current posture (hand, elbow, wrist, J4 and J6 flags) unless it asks for the least
// joint motion.
struct Pose {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
  double u = 0.0;
  double v = 0.0;
  double w = 0.0;

  friend bool operator==(const Pose& a, const Pose& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z && a.u == b.u && a.v == b.v && a.w == b.w;
  }
  friend bool operator!=(const Pose& a, const Pose& b) { return !(a == b); }
};

// Six joint angles J1..J6, in degrees.
struct Joints {
  double j1 = 0.0;
  double j2 = 0.0;
  double j3 = 0.0;
  double j4 = 0.0;
  double j5 = 0.0;
  double j6 = 0.0;

  friend bool operator==(const Joints& a, const Joints& b) {
    return a.j1 == b.j1 && a.j2 == b.j2 && a.j3 == b.j3 && a.j4 == b.j4 && a.j5 == b.j5 &&
           a.j6 == b.j6;
  }
  friend bool operator!=(const Joints& a, const Joints& b) { return !(a == b); }
};

// A motion's destination (or its depart or approach point): a point name or expression ("P1",
// "P3 +Z(50)"), a Pose (written as XY(...) with the posture) or Joints (written as
// AglToPls(...)). A string or a C string converts to the first.
using Target = std::variant<std::string, Pose, Joints>;

}  // namespace epson
