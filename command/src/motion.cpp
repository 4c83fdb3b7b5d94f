// Motions, and the $Pause/$Continue that reach the controller while one runs.

#include <sys/socket.h>

#include <stdexcept>

#include "brevacon_impl.h"

namespace epson {

namespace {

// How often a pause/continue that found no motion re-checks for one while it waits for the
// session lock, so that a motion starting meanwhile does not keep it queued for minutes.
constexpr std::chrono::milliseconds kControlLockPoll{5};

}  // namespace

void Brevacon::Impl::finishPendingControl_() noexcept {
  // Called by the motion thread, still holding the session lock, before it clears the
  // motion-pending flag: a control command registered during the motion has been written, and
  // its reply may still be on its way. Read for it until that command's own deadline, so the
  // reply is neither left on the socket for the next command nor lost. If the deadline passes,
  // the control command reports its timeout and its reply becomes due; the motion keeps its own
  // result and the session stays up.
  std::unique_lock<std::mutex> pending(pendingMutex_);
  while (!pendingPrefix_.empty() && pendingReply_.empty() && pendingFailure_.empty() &&
         connected_) {
    const auto deadline = pendingDeadline_;
    pending.unlock();
    try {
      if (readUntilTerminator_(deadline)) {
        std::string reply = takeReply_();
        if (dispatch_(reply, std::string(), false, std::string()) ==
            protocol::ReplyRoute::kUnexpected) {
          failUnexpected_(reply, std::string());
        }
        pending.lock();
        continue;
      }
    } catch (const std::exception&) {
      // The session is torn down and the control command has been told why.
    }
    pending.lock();
    break;
  }
  motionPending_ = false;
}

void Brevacon::Impl::clearControlSlot_() {
  pendingPrefix_.clear();
  pendingReply_.clear();
  pendingFailure_.clear();
}

void Brevacon::Impl::severConnection_() {
  // The motion thread owns the socket object; shutting the descriptor down from here is safe and
  // makes its read fail, so it tears the session down on its own thread.
  std::lock_guard<std::mutex> lock(writeMutex_);
  if (socket_.is_open()) ::shutdown(socket_.native_handle(), SHUT_RDWR);
  connected_ = false;
  loggedIn_ = false;
}

void Brevacon::Impl::controlDuringMotion_(const std::string& command,
                                          std::unique_lock<std::mutex>& pending) {
  if (!pendingPrefix_.empty()) {
    throw std::runtime_error("Another Epson motion-control command is pending");
  }
  const std::string prefix = protocol::expectedPrefix(command);
  clearControlSlot_();
  pendingPrefix_ = prefix;
  bool written = false;
  try {
    written = writeLine_(command + terminator_, Clock::now() + kControlReplyTimeout);
  } catch (...) {
    clearControlSlot_();
    severConnection_();
    throw;
  }
  if (!written) {
    clearControlSlot_();
    severConnection_();
    throw TimeoutError("Timed out writing " + protocol::shownCommandBrief(command) +
                       " to the Epson controller after " +
                       std::to_string(kControlReplyTimeout.count()) + " ms");
  }
  pendingDeadline_ = Clock::now() + kControlReplyTimeout;
  pendingCv_.wait_until(pending, pendingDeadline_,
                        [this] { return !pendingReply_.empty() || !pendingFailure_.empty(); });
  const std::string reply = std::move(pendingReply_);
  const std::string failure = std::move(pendingFailure_);
  clearControlSlot_();
  if (!failure.empty()) {
    throw ConnectionLostError(
        "Lost the Epson Remote Ethernet session while waiting for the reply to " +
        protocol::escapeText(command) + ": " + failure);
  }
  if (reply.empty()) {
    // The controller may still answer; whoever reads then must not take it for their own.
    if (connected_) duePrefixes_.push_back(prefix);
    throw TimeoutError("Timed out waiting for Epson response to " + protocol::escapeText(command));
  }
  parseResponse_(reply, command);
}

void Brevacon::Impl::sendMotionControlCommand_(const std::string& command) {
  for (;;) {
    {
      std::unique_lock<std::mutex> pending(pendingMutex_);
      if (motionPending_) {
        controlDuringMotion_(command, pending);
        return;
      }
    }
    std::unique_lock<SessionMutex> session(sessionMutex_, std::defer_lock);
    if (session.try_lock_for(kControlLockPoll)) {
      // The flag is only set by a holder of the session lock, so it is clear for this exchange.
      command_(command, kReplyTimeout);
      return;
    }
  }
}

}  // namespace epson
