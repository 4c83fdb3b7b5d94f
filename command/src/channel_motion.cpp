// A running motion, and what reaches it beside: pause, continue and abort from other threads (or
// from a signal handler on the motion's own thread), the heartbeat, and the abort on an interrupt
// or at the motion's deadline.

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <utility>

#include <epson/errors.h>

#include "channel_internal.h"

namespace epson {

using namespace channel_detail;

void Channel::beginMotion(const protocol::MotionPlan& plan) {
  std::lock_guard<std::mutex> lock(queueMutex_);
  plan_ = plan;
  motionCommand_ = protocol::shownCommandBrief(plan.motion);
  stage_ = Stage::kSettings;
  abortRequested_ = false;
  abortAccepted_ = false;
  userAbort_ = false;
  pauseByAbort_ = false;
  continueRequested_ = false;
  resumeFailure_.clear();
  motionActive_ = true;
}

Channel::EntryPtr Channel::writeStatement_(const std::string& command, Clock::time_point deadline,
                                           std::chrono::milliseconds timeout,
                                           Interrupter& interrupter) {
  // A Ctrl-C that came while the settings were exchanged (each answered within a slice, so none
  // looked) must not let the motion start.
  if (interrupter.requestedNow()) {
    markAnswered_();
    throw InterruptedError("Interrupted before " + protocol::shownCommandBrief(command) +
                           " was sent; the robot was not moved");
  }
  bool aborted_before = false;
  // The stage changes with the write, under its lock: an abort from now on is written after the
  // statement, and one before it keeps the statement from ever being written.
  EntryPtr entry = send_(command, deadline, timeout, false, true, [this, &aborted_before] {
    if (abortRequested_) {
      aborted_before = true;
      return false;
    }
    stage_ = Stage::kRunning;
    return true;
  });
  if (aborted_before) {
    markAnswered_();
    throw MotionAbortedError(
        "Motion aborted before " + protocol::shownCommandBrief(command) + " was sent", std::nullopt,
        protocol::shownCommand(command), std::string());
  }
  return entry;
}

std::string Channel::runMotion(const std::string& command, std::chrono::milliseconds timeout,
                               Interrupter& interrupter, const std::function<void()>& on_written) {
  if (!open_ || !socket_.is_open()) throw ConnectionLostError(kNotConnected);
  const ReaderScope reading(reader_);
  const auto deadline = deadlineAfter(timeout);
  settleReceived_(command);
  EntryPtr entry = writeStatement_(command, deadline, timeout, interrupter);
  if (on_written) on_written();
  MotionWait wait;
  wait.next_beat = Clock::now() + heartbeatInterval_();
  wait.timeout = timeout;
  std::string reply;
  for (;;) {
    try {
      reply = await_(entry, deadline, timeout, interrupter, &wait);
      // An abort already written decides what the reply means: wait for its own reply, even
      // when the motion's came first.
      settleAborts_("after " + protocol::shownCommandBrief(command) + " ended");
    } catch (const ConnectionLostError& e) {
      markAnswered_();
      if (wait.abort_reason == MotionWait::Abort::kInterrupt) {
        throw InterruptedError(std::string("Interrupted: ") + e.what());
      }
      throw;
    } catch (...) {
      markAnswered_();
      throw;
    }
    if (wait.abort_reason != MotionWait::Abort::kNone || !pausedByAbort_(reply)) break;
    // Paused by $Abort: at rest, nothing runs. Until continue, abort, an interrupt or the
    // deadline; then the same settings and statement again.
    waitWhilePaused_(wait, *entry, reply, deadline, interrupter);
    entry = rewrite_(command, deadline, timeout, interrupter);
  }
  const bool aborted = markAnswered_();
  const std::string ended = " and ended with " + shown(reply);
  if (wait.abort_reason == MotionWait::Abort::kInterrupt) {
    throw InterruptedError("Interrupted: the motion " + protocol::shownCommandBrief(command) +
                           " was aborted with " + kAbortCommand + ended);
  }
  if (wait.abort_reason == MotionWait::Abort::kDeadline) {
    throw TimeoutError("The motion " + protocol::shownCommandBrief(command) +
                       " did not end within " + millisecondsText(timeout) +
                       ": it was aborted at its deadline with " + kAbortCommand + ended);
  }
  if (aborted && protocol::classifyReply(reply) == protocol::ReplyKind::kError) {
    throw MotionAbortedError(protocol::errorReplyMessage(reply, command, secret_),
                             protocol::errorCode(reply), protocol::shownCommand(command),
                             shown(reply));
  }
  checkReply(reply, command);
  return reply;
}

bool Channel::markAnswered_() {
  std::lock_guard<std::mutex> lock(queueMutex_);
  stage_ = Stage::kAnswered;
  queueCv_.notify_all();  // a continue_motion() waiting for a motion that ended
  return abortAccepted_;
}

Channel::Clock::time_point Channel::motionStep_(MotionWait& motion, const Entry& entry,
                                                Clock::time_point now) {
  if (motion.heartbeat && motion.heartbeat->state == Entry::State::kAnswered) {
    motion.heartbeat.reset();
  }
  if (motion.heartbeat && now >= motion.heartbeat->deadline) {
    // The robot may still be moving: ask it to stop, without waiting for an answer that will
    // not come, before the session goes.
    writeBestEffort_(kAbortCommand);
    fail_("The Epson controller stopped answering during " +
          protocol::shownCommandBrief(entry.command) + ": no reply to " + kHeartbeatCommand +
          " within " + millisecondsText(deadlines_.heartbeat_reply) + kStateUnknown);
  }
  if (!motion.heartbeat && now >= motion.next_beat) {
    motion.heartbeat = send_(kHeartbeatCommand, now + deadlines_.heartbeat_reply,
                             deadlines_.heartbeat_reply, false, true);
    motion.next_beat = now + heartbeatInterval_();
  }
  Clock::time_point wake = motion.heartbeat ? motion.heartbeat->deadline : motion.next_beat;
  if (!motion.abort) return wake;
  const bool interrupt = motion.abort_reason == MotionWait::Abort::kInterrupt;
  const std::string closed = "; the session was closed" + std::string(kStateUnknown);
  if (motion.abort->state == Entry::State::kAnswered && motion.abort->reply[0] != '#') {
    teardown("the abort was refused");
    const std::string refused = std::string(kAbortCommand) + " with " + shown(motion.abort->reply);
    if (interrupt)
      throw InterruptedError("Interrupted, but the controller refused " + refused + closed);
    throw TimeoutError("The motion " + protocol::shownCommandBrief(entry.command) +
                       " did not end within " + millisecondsText(motion.timeout) +
                       ", and the controller refused " + refused + closed);
  }
  if (motion.abort->state == Entry::State::kWaiting) {
    if (now >= motion.abort->deadline) {
      teardown("the abort was not answered");
      const std::string unanswered = "the controller did not answer " + std::string(kAbortCommand) +
                                     " within " + millisecondsText(deadlines_.control_reply) +
                                     closed;
      if (interrupt) throw InterruptedError("Interrupted, but " + unanswered);
      throw TimeoutError("The motion " + protocol::shownCommandBrief(entry.command) +
                         " did not end within " + millisecondsText(motion.timeout) + ", and " +
                         unanswered);
    }
    wake = std::min(wake, motion.abort->deadline);
  }
  return wake;
}

Channel::Clock::time_point Channel::abortMotionNow_(MotionWait& motion, const Entry& entry,
                                                    Clock::time_point now, bool interrupted) {
  const std::string brief = protocol::shownCommandBrief(entry.command);
  const std::string closed = "; the session was closed" + std::string(kStateUnknown);
  if (!motion.abort) {
    // Stop the robot, then wait for the motion's own reply so the session stays in step.
    motion.abort_reason =
        interrupted ? MotionWait::Abort::kInterrupt : MotionWait::Abort::kDeadline;
    motion.abort =
        send_(kAbortCommand, now + deadlines_.control_reply, deadlines_.control_reply, false, true);
    return now + deadlines_.control_reply;
  }
  teardown(interrupted ? "interrupted" : "the aborted motion did not end");
  if (interrupted) {
    throw InterruptedError("Interrupted again while the aborted motion " + brief + " was ending" +
                           closed);
  }
  const std::string late = std::string(kAbortCommand) + " was sent, but " + brief +
                           " did not end within " + millisecondsText(deadlines_.control_reply) +
                           closed;
  if (motion.abort_reason == MotionWait::Abort::kInterrupt) {
    throw InterruptedError("Interrupted: " + late);
  }
  throw TimeoutError("The motion " + brief + " did not end within " +
                     millisecondsText(motion.timeout) + "; at its deadline " + late);
}

void Channel::settleAborts_(const std::string& context) {
  for (;;) {
    Clock::time_point wake = Clock::time_point::max();
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      for (const EntryPtr& entry : queue_) {
        if (entry->name == "Abort" && entry->state == Entry::State::kWaiting) {
          wake = std::min(wake, entry->deadline);
        }
      }
    }
    if (wake == Clock::time_point::max()) return;
    judgeStrict_(Clock::now());
    if (framed_ == 0 && !readReply_(wake)) continue;
    route_(takeReply_(), false, nullptr, context);
  }
}

void Channel::endMotion() noexcept {
  // Commands written beside the motion may still wait for their replies. Read for them until
  // each has its reply or its own deadline, so no reply is left for the next command to take.
  // A heartbeat still on its way is not waited for: it keeps its deadline, which the next
  // command judges before it is written.
  try {
    const ReaderScope reading(reader_);
    for (;;) {
      Clock::time_point wake = Clock::time_point::max();
      const auto now = Clock::now();
      {
        std::lock_guard<std::mutex> lock(queueMutex_);
        for (const EntryPtr& entry : queue_) {
          if (!entry->beside || entry->state != Entry::State::kWaiting) continue;
          if (now < entry->deadline) {
            wake = std::min(wake, entry->deadline);
          } else if (!entry->strict) {
            entry->state = Entry::State::kDue;  // its waiter reports the timeout
            queueCv_.notify_all();
          }
        }
      }
      judgeStrict_(now);
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

std::string Channel::runningMotion() const {
  std::lock_guard<std::mutex> lock(queueMutex_);
  return motionActive_ ? motionCommand_ : std::string();
}

std::optional<std::string> Channel::besideMotion(const std::string& command) {
  return awaitBeside_(command, [this] { return motionActive_.load(); });
}

std::optional<std::string> Channel::awaitBeside_(const std::string& command,
                                                 const std::function<bool()>& admit) {
  // Called from a signal handler on the motion's own thread, the caller is the reader.
  const bool nested = reader_.load() == std::this_thread::get_id();
  if (nested)
    routeReceived_(nullptr, "before " + protocol::shownCommandBrief(command) + " was sent");
  const auto deadline = Clock::now() + deadlines_.control_reply;
  const EntryPtr entry = send_(command, deadline, deadlines_.control_reply, true, nested, admit);
  if (!entry) return std::nullopt;
  if (nested) readNested_(entry);
  std::unique_lock<std::mutex> lock(queueMutex_);
  queueCv_.wait_until(lock, deadline, [&] { return entry->state != Entry::State::kWaiting; });
  switch (entry->state) {
    case Entry::State::kAnswered:
      return std::move(entry->reply);
    case Entry::State::kFailed:
      // A strict command that went unanswered: the session ended for that, at its deadline.
      if (entry->strict && Clock::now() >= entry->deadline) break;
      throw ConnectionLostError(
          "Lost the Epson Remote Ethernet session while waiting for the reply to " +
          protocol::escapeText(command) + ": " + entry->reply);
    default:
      break;
  }
  const std::string late =
      "Timed out waiting for Epson response to " + protocol::escapeText(command);
  if (entry->strict) {
    // Its reply is not waited for beyond its deadline: the session ends with it. A reader that
    // waits ends it at the same deadline; without one, nobody reads, so it ends here.
    lock.unlock();
    if (reader_.load() == std::thread::id()) sever_();
    throw TimeoutError(late + "; the session was closed" + kStateUnknown);
  }
  // The controller may still answer; whoever reads then must not take it for their own.
  entry->state = Entry::State::kDue;
  throw TimeoutError(late);
}

Channel::AbortOutcome Channel::abortMotion(std::string& reply) {
  AbortOutcome outcome = AbortOutcome::kReplied;
  std::optional<std::string> answer = awaitBeside_(kAbortCommand, [this, &outcome] {
    if (!motionActive_ || stage_ == Stage::kAnswered || stage_ == Stage::kIdle) {
      outcome = AbortOutcome::kNoMotion;
      return false;
    }
    if (stage_ == Stage::kSettings || stage_ == Stage::kPaused) {
      // Nothing runs on the controller: the statement is never written (again).
      abortRequested_ = true;
      userAbort_ = true;
      outcome = AbortOutcome::kBeforeStatement;
      return false;
    }
    userAbort_ = true;
    return true;
  });
  if (answer) reply = std::move(*answer);
  return outcome;
}

}  // namespace epson
