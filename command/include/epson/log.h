#pragma once

// Where the driver's log lines go. By default they are plain lines, flushed at once: "Connected
// to ..." and "Disconnected from ..." on standard output, failures and retries on standard error.
// A host application routes them into its own logging by installing a sink.

#include <functional>
#include <string>

#include <epson/export.h>

namespace epson {

enum class LogLevel {
  kInfo,   // the lines that go to standard output by default
  kError,  // the lines that go to standard error by default
};

// Receives each line, without its line end. It is called from whichever thread logs, also from
// several at once, and may be called in the middle of an operation (connect() logs its retries
// while it holds the connection), so it must not call back into the driver. No line ever holds
// the login password.
using LogSink = std::function<void(LogLevel level, const std::string& line)>;

// Sends every later line to `sink`; an empty sink restores the default. A line being delivered
// while the sink is replaced still goes to the sink it started with.
EPSON_API void setLogSink(LogSink sink);

}  // namespace epson
