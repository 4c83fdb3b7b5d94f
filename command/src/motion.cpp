// The commands that reach a running motion (pause, continue, abort), the waits on a bit that run
// as a motion does, the one path of every other command, and the session lock.

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>

#include "brevacon_impl.h"

namespace epson {

namespace {

// How often a pause/continue that found no motion re-checks for one while it waits for the
// session lock, so that a motion starting meanwhile does not keep it queued for minutes.
constexpr std::chrono::milliseconds kControlLockPoll{5};

constexpr const char* kReentered =
    "An operation of the Epson session was called from inside another operation of the same "
    "session on the same thread (for example from a signal handler while a motion runs), where it "
    "would wait for itself; nothing was sent. Only abort_motion(), pause() and continue_motion() "
    "work there: stop the motion with abort_motion() and make this call once the running "
    "operation has returned";

thread_local std::optional<std::chrono::milliseconds> tSessionWaitLimit;

}  // namespace

SessionWaitLimit::SessionWaitLimit(std::chrono::milliseconds limit) : previous_(tSessionWaitLimit) {
  tSessionWaitLimit = std::max(limit, std::chrono::milliseconds(0));
}
SessionWaitLimit::~SessionWaitLimit() { tSessionWaitLimit = previous_; }
std::optional<std::chrono::milliseconds> SessionWaitLimit::current() { return tSessionWaitLimit; }

void Brevacon::Impl::refuseReentry_() const {
  if (sessionMutex_.heldByThisThread()) throw std::runtime_error(kReentered);
}

Brevacon::Impl::SessionLock Brevacon::Impl::lockSession_() {
  refuseReentry_();
  SessionLock session(sessionMutex_, std::defer_lock);
  if (const std::optional<std::chrono::milliseconds> limit = tSessionWaitLimit) {
    const std::string running = channel_.runningMotion();
    if (!running.empty()) {
      throw SessionBusyError("The Epson session is busy: the motion " + running +
                             " is running; nothing was sent");
    }
    if (!session.try_lock_for(*limit)) {
      throw SessionBusyError("The Epson session was held by another operation for " +
                             std::to_string(limit->count()) + " ms; nothing was sent");
    }
    return session;
  }
  if (session.try_lock()) return session;
  Interrupter interrupter;
  if (!interrupter.armed()) {
    session.lock();
    return session;
  }
  while (!session.try_lock_until(interrupter.wake(Clock::time_point::max()))) {
    if (interrupter.requested()) {
      throw InterruptedError(
          "Interrupted while waiting for another operation to release the Epson session; "
          "nothing was sent");
    }
  }
  return session;
}

std::string Brevacon::Impl::command_(const std::string& command,
                                     std::chrono::milliseconds timeout) {
  Interrupter interrupter;
  return channel_.exchange(command, timeout, interrupter);
}

std::string Brevacon::Impl::executeAndGetResult_(const std::string& statement) {
  return protocol::extractExecuteResult(
      command_(protocol::executeCommand(statement), kReplyTimeout));
}

std::string Brevacon::Impl::sendMotionControlCommand_(
    const std::string& command, const std::function<std::optional<std::string>()>& beside) {
  Interrupter interrupter;
  for (;;) {
    if (std::optional<std::string> reply = beside()) {
      channel_.checkReply(*reply, command);
      return std::move(*reply);
    }
    refuseReentry_();
    if (tSessionWaitLimit) {
      // Nothing runs for it to reach: an ordinary exchange, within the caller's limit.
      const SessionLock session = lockSession_();
      return command_(command, kReplyTimeout);
    }
    SessionLock session(sessionMutex_, std::defer_lock);
    if (session.try_lock_for(kControlLockPoll)) {
      // Only a holder of the session lock starts a motion, so none runs during this exchange.
      return command_(command, kReplyTimeout);
    }
    if (interrupter.requested()) {
      throw InterruptedError(
          "Interrupted while waiting for another operation to release the "
          "Epson session; " +
          command + " was not sent");
    }
  }
}

bool Brevacon::Impl::waitFor(protocol::IoWait wait, int bit, bool on, double timeout_s) {
  // Built before the lock: a bad argument never waits behind a running motion.
  const std::string statement = protocol::waitStatement(wait, bit, on, timeout_s, kMotionTimeout);
  const SessionLock session = lockSession_();
  long_(
      [&] {
        protocol::MotionPlan plan;
        plan.motion = protocol::executeCommand(statement);
        plan.pause = protocol::PauseByAbort::kNotAMotion;
        return plan;
      },
      protocol::waitReplyTimeout(timeout_s, kReplyTimeout));
  return !protocol::parseBitValue(executeAndGetResult_(protocol::kWaitTimedOutQuery));
}

bool Brevacon::Impl::abortMotion() {
  std::string reply;
  switch (channel_.abortMotion(reply)) {
    case Channel::AbortOutcome::kNoMotion:
      return false;
    case Channel::AbortOutcome::kBeforeStatement:
      return true;
    case Channel::AbortOutcome::kReplied:
      break;
  }
  channel_.checkReply(reply, protocol::kAbortCommand);
  return true;
}

}  // namespace epson
