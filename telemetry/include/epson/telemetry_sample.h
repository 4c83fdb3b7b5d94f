#pragma once

#include <array>

namespace epson {

// One six-axis telemetry sample, values exactly as the controller sent them.
struct TelemetrySample {
  std::array<double, 6> joints{};  // J1..J6, degrees
  std::array<double, 6> pose{};    // native X, Y, Z (mm), U, V, W (degrees)
};

}  // namespace epson
