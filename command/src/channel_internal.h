#pragma once

// What the three parts of the channel share: message texts, deadline arithmetic, and the records
// of an outstanding command and of a running motion's wait. Private to channel*.cpp.
//   channel.cpp         the connection and its bytes: open, close, teardown, write, read, frame
//   channel_queue.cpp   the queue of outstanding commands: routing replies, exchange, the wait
//   channel_motion.cpp  a running motion and what reaches it beside: pause, continue, abort

#include <chrono>
#include <string>

#include "channel.h"
#include "protocol.h"

namespace epson::channel_detail {

using Clock = std::chrono::steady_clock;

// Bytes asked of the socket per read.
inline constexpr std::size_t kReceiveChunk = std::size_t{16} * 1024;

inline constexpr const char* kNotConnected = "command() was called but socket not connected";
inline constexpr const char* kReadFailure =
    "Failed while waiting for an Epson Remote Ethernet response: ";
inline constexpr const char* kOutOfStep =
    " (the session is out of step: the reply to the previous command may have been "
    "misattributed)";
inline constexpr const char* kStateUnknown = "; the robot's state is unknown";
inline constexpr const char* kHeartbeatCommand = protocol::kGetStatusCommand;
inline constexpr const char* kAbortCommand = protocol::kAbortCommand;

inline Clock::time_point deadlineAfter(std::chrono::milliseconds timeout) {
  const auto now = Clock::now();
  if (timeout >=
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now)) {
    return Clock::time_point::max();
  }
  return now + timeout;
}

inline std::string commandName(const std::string& command) {
  return protocol::expectedPrefix(command).substr(1);
}

inline std::string millisecondsText(std::chrono::milliseconds duration) {
  return std::to_string(duration.count()) + " ms";
}

}  // namespace epson::channel_detail

namespace epson {

// One outstanding command. Its waiter (the reader itself, or a thread that wrote it beside a
// motion) keeps it alive after the queue lets it go.
struct Channel::Entry {
  enum class State { kWaiting, kAnswered, kFailed, kDue };
  std::string name;     // the name its reply carries: "Execute", "Pause", ...
  std::string command;  // the line without its CR LF
  channel_detail::Clock::time_point deadline;
  bool beside = false;  // written beside a motion by a thread that waits on queueCv_
  // A reply that has not come by the deadline tears the session down rather than being waited
  // for ever ($Abort, $GetStatus): the robot's state is then unknown, and a reply that came
  // later could only be taken for another command's.
  bool strict = false;
  State state = State::kWaiting;
  std::string reply;  // the reply, or why the session ended
};

// What the reader of a running motion keeps besides the motion's own entry.
struct Channel::MotionWait {
  enum class Abort { kNone, kInterrupt, kDeadline };
  EntryPtr heartbeat;
  channel_detail::Clock::time_point next_beat;
  EntryPtr abort;  // the $Abort this reader wrote, on an interrupt or at the motion's deadline
  Abort abort_reason = Abort::kNone;
  std::chrono::milliseconds timeout{0};  // the motion's own, as messages state it
};

}  // namespace epson
