// A motion paused on a controller that refuses $Pause while an $Execute runs (code 21): it is
// stopped by $Abort, waits at rest, and on continue its settings and statement are written again,
// so the go()/move() call ends with the second statement's reply as if it had never stopped.

#include <stdexcept>
#include <thread>
#include <utility>

#include <epson/errors.h>

#include "channel_internal.h"

namespace epson {

using namespace channel_detail;

namespace {

// How often the reader of a paused motion looks for a continue or an abort from another thread,
// between the replies it reads; a continue is written again at most this late.
constexpr std::chrono::milliseconds kPausedLook{10};

constexpr int kExecuteRunning = 21;  // the controller's "Cannot execute since Execute is running"

}  // namespace

std::optional<std::string> Channel::pauseMotion() {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    // Paused already, or being paused: nothing more to write.
    if (motionActive_ && (stage_ == Stage::kPaused || pauseByAbort_)) return std::string("#Pause");
  }
  std::optional<std::string> reply = besideMotion(protocol::kPauseCommand);
  if (!reply || protocol::classifyReply(*reply) != protocol::ReplyKind::kError ||
      protocol::errorCode(*reply) != kExecuteRunning) {
    return reply;
  }
  std::string motion;
  protocol::PauseByAbort how = protocol::PauseByAbort::kNotAMotion;
  std::string why;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (stage_ != Stage::kRunning) return reply;  // it ended meanwhile: the refusal stands
    how = plan_.pause;
    why = plan_.pause_refusal;
    motion = motionCommand_;
  }
  if (how == protocol::PauseByAbort::kNotAMotion) return reply;
  if (how == protocol::PauseByAbort::kRefuse) {
    throw ControllerError("The controller refuses $Pause while " + motion +
                              " runs (code 21), and it cannot be paused by $Abort instead: " + why +
                              "; the motion goes on",
                          kExecuteRunning, protocol::kPauseCommand, shown(*reply));
  }
  // Stopped by $Abort: the robot decelerates to rest; the motion's reader keeps it paused.
  std::optional<std::string> answer = awaitBeside_(kAbortCommand, [this] {
    if (stage_ != Stage::kRunning || userAbort_) return false;
    pauseByAbort_ = true;
    return true;
  });
  if (!answer) return reply;  // it ended, or was aborted, meanwhile
  if (protocol::classifyReply(*answer) != protocol::ReplyKind::kSuccess) {
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      pauseByAbort_ = false;
    }
    checkReply(*answer, kAbortCommand);
  }
  return std::string("#Pause");
}

std::optional<std::string> Channel::continueMotion() {
  {
    std::unique_lock<std::mutex> lock(queueMutex_);
    if (motionActive_ && (stage_ == Stage::kPaused || pauseByAbort_)) {
      continueRequested_ = true;
      // From a signal handler inside the reader's own wait: it writes the motion again once
      // the handler returns.
      if (reader_.load() == std::this_thread::get_id()) return std::string("#Continue");
      const std::uint64_t before = resumes_;
      const auto deadline = Clock::now() + deadlines_.control_reply;
      queueCv_.wait_until(lock, deadline, [&] {
        return resumes_ != before || !resumeFailure_.empty() || stage_ == Stage::kAnswered ||
               !motionActive_;
      });
      if (resumes_ != before) return std::string("#Continue");
      if (!resumeFailure_.empty()) {
        throw std::runtime_error("The paused motion " + motionCommand_ +
                                 " could not be written again: " + resumeFailure_);
      }
      if (stage_ == Stage::kAnswered || !motionActive_) {
        throw std::runtime_error("The paused motion " + motionCommand_ +
                                 " ended before it could be continued");
      }
      throw TimeoutError("The paused motion " + motionCommand_ + " was not written again within " +
                         millisecondsText(deadlines_.control_reply));
    }
  }
  return besideMotion(protocol::kContinueCommand);
}

bool Channel::pausedByAbort_(const std::string& reply) {
  std::lock_guard<std::mutex> lock(queueMutex_);
  if (!pauseByAbort_ || !abortAccepted_ || userAbort_ ||
      protocol::classifyReply(reply) != protocol::ReplyKind::kError) {
    return false;
  }
  pauseByAbort_ = false;
  abortAccepted_ = false;
  stage_ = Stage::kPaused;
  queueCv_.notify_all();
  return true;
}

void Channel::waitWhilePaused_(MotionWait& wait, const Entry& entry, const std::string& stopped,
                               Clock::time_point deadline, Interrupter& interrupter) {
  const std::string motion = protocol::shownCommandBrief(entry.command);
  const std::string context = "while " + motion + " was paused";
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      if (abortRequested_) {
        stage_ = Stage::kAnswered;
        throw MotionAbortedError(
            "The motion " + motion + " was aborted while paused (stopped by $Abort, at rest)",
            protocol::errorCode(stopped), protocol::shownCommand(entry.command), shown(stopped));
      }
      if (continueRequested_) {
        continueRequested_ = false;
        stage_ = Stage::kSettings;  // an abort from now on keeps it from being written again
        return;
      }
    }
    if (interrupter.requested()) {
      markAnswered_();
      throw InterruptedError("Interrupted while the motion " + motion +
                             " was paused; the robot is at rest");
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      markAnswered_();
      throw TimeoutError("The motion " + motion + " was paused and not continued within " +
                         millisecondsText(wait.timeout) + " of its start; the robot is at rest");
    }
    routeReceived_(nullptr, context);
    Clock::time_point wake = std::min(deadline, now + kPausedLook);
    try {
      wake = std::min(wake, motionStep_(wait, entry, now));
      judgeStrict_(now);
    } catch (...) {
      markAnswered_();
      throw;
    }
    if (framed_ == 0 && !readReply_(interrupter.wake(wake))) continue;
    route_(takeReply_(), false, nullptr, context);
  }
}

Channel::EntryPtr Channel::rewrite_(const std::string& command, Clock::time_point deadline,
                                    std::chrono::milliseconds timeout, Interrupter& interrupter) {
  std::vector<std::string> settings;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    settings = plan_.settings;
  }
  try {
    for (const std::string& setting : settings) {
      Interrupter own;
      exchange(setting, deadlines_.control_reply, own);
    }
    EntryPtr entry = writeStatement_(command, deadline, timeout, interrupter);
    std::lock_guard<std::mutex> lock(queueMutex_);
    ++resumes_;
    queueCv_.notify_all();
    return entry;
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lock(queueMutex_);
    resumeFailure_ = e.what();
    stage_ = Stage::kAnswered;
    queueCv_.notify_all();
    throw;
  }
}

}  // namespace epson
