#pragma once

#include <string>

namespace epson {

// The message Tandrel::disconnect throws for the texts its two clients failed with; an empty
// text means that client disconnected cleanly. Empty when both did.
inline std::string combineDisconnectErrors(const std::string& receive_error,
                                           const std::string& control_error) {
  if (!receive_error.empty() && !control_error.empty()) {
    return "Failed to disconnect both Epson interfaces: receive error: " + receive_error +
           "; control error: " + control_error;
  }
  if (!receive_error.empty()) {
    return "Failed to disconnect Epson receive interface: " + receive_error;
  }
  if (!control_error.empty()) {
    return "Failed to disconnect Epson control interface: " + control_error;
  }
  return {};
}

}  // namespace epson
