#pragma once

#include <string>

// The driver's one logging layer: plain lines, no levels, flushed at once. Success lines go to
// standard output, failures and retries to standard error. Lines from several threads never
// interleave. Callers must never pass a password.
namespace epson::log {

void info(const std::string& line);
void error(const std::string& line);

}  // namespace epson::log
