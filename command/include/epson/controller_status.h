#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace epson {

// Raw controller status, keyed "stat", "system_error", "emergency_stopped", "safeguard_open",
// "teach_mode", "control_device", "robot_info" and "ctrl_info". Filled from the command channel
// (Brevacon::getControllerStatus) or from a telemetry status packet.
using ControllerStatus = std::map<std::string, std::int64_t>;

}  // namespace epson
