#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace epson {

// Raw controller status, keyed "stat", "system_error", "emergency_stopped", "safeguard_open",
// "teach_mode", "control_device", "robot_info" and "ctrl_info". Filled from the command channel
// (Brevacon::getControllerStatus) or from a telemetry status packet.
using ControllerStatus = std::map<std::string, std::int64_t>;

// The controller's status word, as its $GetStatus reply gives it: the flags in the order the
// controller sends them, then the error or warning code (0 when none). Firmware that sends ten
// flags has no Test flag; test_mode is then false.
struct RemoteStatus {
  bool test_mode = false;       // Test: running in the TEST mode of T2
  bool teach = false;           // Teach: the controller is in Teach mode
  bool auto_mode = false;       // Auto: in remote (Auto) mode, as remote control needs
  bool warning = false;         // Warning: a warning condition
  bool severe_error = false;    // SError: a severe error; only a restart clears it
  bool safeguard = false;       // Safeguard: the safeguard is open
  bool emergency_stop = false;  // EStop: the Emergency Stop is on
  bool error = false;           // Error: an error that Reset can clear
  bool paused = false;          // Paused: a task or statement is paused
  bool running = false;         // Running: a task or statement is executing
  bool ready = false;           // Ready: started up, and nothing is executing
  int code = 0;                 // the four-digit error or warning code
};

}  // namespace epson
