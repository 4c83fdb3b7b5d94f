#pragma once

#include <string>

// The driver's one logging layer: every line goes through here to the sink installed with
// epson::setLogSink (<epson/log.h>), by default plain lines flushed at once, info on standard
// output, errors on standard error. Callers must never pass a password.
namespace epson::log {

void info(const std::string& line);
void error(const std::string& line);

}  // namespace epson::log
