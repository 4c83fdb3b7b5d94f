// A running motion, and what reaches it beside: pause, continue and abort from other threads.

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <stdexcept>
#include <utility>

#include <boost/asio/connect.hpp>
#include <boost/system/system_error.hpp>

#include <epson/errors.h>

#include "channel_internal.h"
#include "log.h"

namespace epson {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;
using namespace channel_detail;

// --- Motion -------------------------------------------------------------------------------------

void Channel::beginMotion() {
  std::lock_guard<std::mutex> lock(queueMutex_);
  stage_ = Stage::kSettings;
  abortRequested_ = false;
  abortAccepted_ = false;
  motionActive_ = true;
}

std::string Channel::runMotion(const std::string& command, std::chrono::milliseconds timeout,
                               Interrupter& interrupter) {
  if (!open_ || !socket_.is_open()) throw ConnectionLostError(kNotConnected);
  const auto deadline = deadlineAfter(timeout);
  settleReceived_(command);
  bool aborted_before = false;
  // The stage changes with the write, under its lock: an abort from now on is written after the
  // statement, and one before it keeps the statement from ever being written.
  const EntryPtr entry = send_(command, deadline, timeout, false, true, [this, &aborted_before] {
    if (abortRequested_) {
      aborted_before = true;
      return false;
    }
    stage_ = Stage::kRunning;
    return true;
  });
  if (aborted_before) {
    throw MotionAbortedError(
        "Motion aborted before " + protocol::shownCommandBrief(command) + " was sent", std::nullopt,
        protocol::shownCommand(command), std::string());
  }
  MotionWait wait;
  wait.next_beat = Clock::now() + deadlines_.heartbeat_interval;
  std::string reply;
  try {
    reply = await_(entry, deadline, timeout, interrupter, &wait);
  } catch (...) {
    std::lock_guard<std::mutex> lock(queueMutex_);
    stage_ = Stage::kAnswered;
    throw;
  }
  bool aborted = false;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    stage_ = Stage::kAnswered;
    aborted = abortAccepted_;
    // A heartbeat still on its way is answered after the motion ended: its reply is due.
    if (wait.heartbeat && wait.heartbeat->state == Entry::State::kWaiting) {
      wait.heartbeat->state = Entry::State::kDue;
    }
  }
  if (wait.abort) {
    // Interrupted: the abort's own reply comes before the motion's; wait for it if it has not.
    while (wait.abort->state == Entry::State::kWaiting && Clock::now() < wait.abort->deadline) {
      if (readReply_(wait.abort->deadline)) {
        route_(takeReply_(), false, nullptr, "after the aborted motion ended");
      }
    }
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      if (wait.abort->state == Entry::State::kWaiting) wait.abort->state = Entry::State::kDue;
    }
    throw InterruptedError("Interrupted: the motion " + protocol::shownCommandBrief(command) +
                           " was aborted with " + kAbortCommand + " and ended with " +
                           shown(reply));
  }
  if (aborted && protocol::classifyReply(reply) == protocol::ReplyKind::kError) {
    throw MotionAbortedError(protocol::errorReplyMessage(reply, command, secret_),
                             protocol::errorCode(reply), protocol::shownCommand(command),
                             shown(reply));
  }
  checkReply(reply, command);
  return reply;
}

void Channel::endMotion() noexcept {
  // Commands written beside the motion may still wait for their replies. Read for them until
  // each has its reply or its own deadline, so no reply is left for the next command to take.
  try {
    for (;;) {
      Clock::time_point wake = Clock::time_point::max();
      {
        std::lock_guard<std::mutex> lock(queueMutex_);
        const auto now = Clock::now();
        for (const EntryPtr& entry : queue_) {
          if (!entry->beside || entry->state != Entry::State::kWaiting) continue;
          if (now >= entry->deadline) {
            entry->state = Entry::State::kDue;  // its waiter reports the timeout
            queueCv_.notify_all();
          } else {
            wake = std::min(wake, entry->deadline);
          }
        }
      }
      if (wake == Clock::time_point::max() || !open_) break;
      if (readReply_(wake)) route_(takeReply_(), false, nullptr, "after the motion ended");
    }
  } catch (const std::exception&) {
    // The session is torn down and every waiter has been told why.
  }
  std::lock_guard<std::mutex> lock(queueMutex_);
  stage_ = Stage::kIdle;
  motionActive_ = false;
}

std::optional<std::string> Channel::besideMotion(const std::string& command) {
  return awaitBeside_(command, [this] { return motionActive_.load(); });
}

std::optional<std::string> Channel::awaitBeside_(const std::string& command,
                                                 const std::function<bool()>& admit) {
  const auto deadline = Clock::now() + deadlines_.control_reply;
  const EntryPtr entry = send_(command, deadline, deadlines_.control_reply, true, false, admit);
  if (!entry) return std::nullopt;
  std::unique_lock<std::mutex> lock(queueMutex_);
  queueCv_.wait_until(lock, deadline, [&] { return entry->state != Entry::State::kWaiting; });
  switch (entry->state) {
    case Entry::State::kAnswered:
      return std::move(entry->reply);
    case Entry::State::kFailed:
      throw ConnectionLostError(
          "Lost the Epson Remote Ethernet session while waiting for the reply to " +
          protocol::escapeText(command) + ": " + entry->reply);
    default:
      // The controller may still answer; whoever reads then must not take it for their own.
      entry->state = Entry::State::kDue;
      throw TimeoutError("Timed out waiting for Epson response to " +
                         protocol::escapeText(command));
  }
}

Channel::AbortOutcome Channel::abortMotion(std::string& reply) {
  AbortOutcome outcome = AbortOutcome::kReplied;
  std::optional<std::string> answer = awaitBeside_(kAbortCommand, [this, &outcome] {
    if (!motionActive_ || stage_ == Stage::kAnswered || stage_ == Stage::kIdle) {
      outcome = AbortOutcome::kNoMotion;
      return false;
    }
    if (stage_ == Stage::kSettings) {
      abortRequested_ = true;
      outcome = AbortOutcome::kBeforeStatement;
      return false;
    }
    return true;
  });
  if (answer) reply = std::move(*answer);
  return outcome;
}

}  // namespace epson
