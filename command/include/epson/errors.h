#pragma once

// The exceptions by which code can tell failures apart. Each is a std::runtime_error with the
// same text as before, so existing handlers keep working; the Python modules raise classes of
// the same names, derived from RuntimeError.

#include <optional>
#include <stdexcept>
#include <string>

#include <epson/export.h>

namespace epson {

// The controller answered a command with an error reply ("!...").
class EPSON_API ControllerError : public std::runtime_error {
 public:
  ControllerError(const std::string& message, std::optional<int> code, std::string command,
                  std::string reply)
      : std::runtime_error(message),
        code_(code),
        command_(std::move(command)),
        reply_(std::move(reply)) {}

  // The controller's error code (the number after the first comma), or none when the reply
  // carries no number there.
  std::optional<int> code() const { return code_; }
  // The command refused, as messages show it: a login as "$Login,<redacted>".
  const std::string& command() const { return command_; }
  // The error reply as received, escaped as messages show it.
  const std::string& reply() const { return reply_; }

 private:
  std::optional<int> code_;
  std::string command_;
  std::string reply_;
};

// A go() or move() ended with an error reply after abortMotion() sent "$Abort" beside it, or was
// aborted before its statement was written (code() is then empty). The code is the aborted
// statement's own.
class EPSON_API MotionAbortedError : public ControllerError {
 public:
  using ControllerError::ControllerError;
};

// A connection could not be made: the host did not resolve, every connection attempt failed,
// or the telemetry stream never delivered a first sample.
class EPSON_API ConnectionFailedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A deadline passed: a command's write or reply (the session is then torn down), a control
// command's reply, or a wait for the connection or for a telemetry sample.
class EPSON_API TimeoutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A call refused by a SessionWaitLimit (<epson/brevacon.h>) of its thread: a motion of the session
// runs, or another operation held the session past the limit. Nothing was sent.
class EPSON_API SessionBusyError : public TimeoutError {
 public:
  using TimeoutError::TimeoutError;
};

// The session is gone: the connection closed or failed while a reply was awaited, a reply
// nobody expected put it out of step, or a command found it not connected.
class EPSON_API ConnectionLostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The interrupt check (<epson/interrupt.h>) asked a waiting operation to stop. A motion it
// interrupted was aborted first and has ended, unless the message says the robot's state is
// unknown; a connect() or a command whose reply was still due leaves the object disconnected.
class EPSON_API InterruptedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace epson
