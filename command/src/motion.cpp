// The commands that reach a running motion (pause, continue, abort), the waits on a bit that run
// as a motion does, the one path of every other command, and the session lock.

#include <stdexcept>

#include "brevacon_impl.h"

namespace epson {

namespace {

// How often a pause/continue that found no motion re-checks for one while it waits for the
// session lock, so that a motion starting meanwhile does not keep it queued for minutes.
constexpr std::chrono::milliseconds kControlLockPoll{5};

}  // namespace

Brevacon::Impl::SessionLock Brevacon::Impl::lockSession_() {
  SessionLock session(sessionMutex_, std::defer_lock);
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

void Brevacon::Impl::sendMotionControlCommand_(const std::string& command) {
  Interrupter interrupter;
  for (;;) {
    if (const std::optional<std::string> reply = channel_.besideMotion(command)) {
      channel_.checkReply(*reply, command);
      return;
    }
    SessionLock session(sessionMutex_, std::defer_lock);
    if (session.try_lock_for(kControlLockPoll)) {
      // Only a holder of the session lock starts a motion, so none runs during this exchange.
      command_(command, kReplyTimeout);
      return;
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
        return protocol::MotionPlan{{}, protocol::executeCommand(statement)};
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
