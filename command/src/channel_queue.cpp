// The queue of outstanding commands: registering and writing a command, handing each reply to the
// command it answers, judging the deadlines of the replies still due, and the wait for a reply
// that every exchange and motion goes through.

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <thread>
#include <utility>

#include <epson/errors.h>

#include "channel_internal.h"
#include "log.h"

namespace epson {

using namespace channel_detail;

std::string Channel::timedOutWriting_(const std::string& command,
                                      std::chrono::milliseconds timeout) const {
  return "Timed out writing " + protocol::shownCommandBrief(command) +
         " to the Epson controller after " + millisecondsText(timeout);
}

Channel::EntryPtr Channel::send_(const std::string& command, Clock::time_point deadline,
                                 std::chrono::milliseconds budget, bool beside, bool reader,
                                 const std::function<bool()>& admit) {
  auto entry = std::make_shared<Entry>();
  entry->name = commandName(command);
  entry->command = command;
  entry->deadline = deadline;
  entry->beside = beside;
  entry->strict = entry->name == "Abort" || entry->name == "GetStatus";
  std::exception_ptr failure;
  std::string failure_text;
  bool timed_out = false;
  {
    std::lock_guard<std::mutex> write(writeMutex_);
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      if (admit && !admit()) return nullptr;
      queue_.push_back(entry);
    }
    try {
      timed_out = !writeLocked_(command + "\r\n", deadline);
    } catch (const std::exception& e) {
      failure = std::current_exception();
      failure_text = e.what();
    }
    if (!timed_out && !failure) {
      lastWrite_ = Clock::now().time_since_epoch().count();
      return entry;
    }
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.erase(std::remove(queue_.begin(), queue_.end(), entry), queue_.end());
  }
  const std::string message = timed_out ? timedOutWriting_(command, budget) : failure_text;
  // The stream may hold part of the line: nothing after it could be framed reliably.
  if (reader) {
    teardown(message);
  } else {
    sever_();
  }
  if (timed_out) throw TimeoutError(message);
  std::rethrow_exception(failure);
}

void Channel::route_(std::string reply, bool stale, const Entry* fresh,
                     const std::string& context) {
  std::string discarded;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    const std::size_t index = protocol::answeredIndex(
        reply, queue_, [](const EntryPtr& e) -> const std::string& { return e->name; },
        [stale, fresh](const EntryPtr& e) { return stale && e.get() == fresh; });
    if (index != protocol::kAnswersNothing) {
      const EntryPtr entry = queue_[index];
      queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(index));
      if (entry->state != Entry::State::kDue) {
        if (entry->name == "Abort" && reply[0] == '#') abortAccepted_ = true;
        entry->state = Entry::State::kAnswered;
        entry->reply = std::move(reply);
        if (entry->beside) queueCv_.notify_all();
        return;
      }
      discarded = "Discarded the late Epson Remote Ethernet reply to " +
                  protocol::shownCommandBrief(entry->command) + ": \"" + shown(reply, true) + "\"";
    }
  }
  if (!discarded.empty()) {
    log::error(discarded);  // outside the lock: a log sink may take locks of its own
    return;
  }
  // Nobody's: a reply of some command may have been taken by another.
  if (reply.empty()) fail_(std::string("Empty response from Epson controller") + kOutOfStep);
  fail_("Unexpected Epson response " + context + ": " + shown(reply) + kOutOfStep);
}

void Channel::routeReceived_(const Entry* fresh, const std::string& context) {
  while (framed_ != 0 || readReply_(Clock::time_point::min())) {
    const bool stale = staleBytes_ > 0;
    route_(takeReply_(), stale, fresh, context);
  }
}

void Channel::settleReceived_(const std::string& command) {
  receiveAvailable_();
  while (buffer_.size() != 0 && readReply_(Clock::time_point::min())) {
    std::string reply = takeReply_();
    route_(std::move(reply), false, nullptr,
           "received before " + protocol::shownCommandBrief(command) + " was sent");
  }
  // A reply due to an earlier $Abort or heartbeat that has not come by now never will.
  judgeStrict_(Clock::now());
  // A partial line already here began before the command: it cannot be the command's reply.
  staleBytes_ = buffer_.size();
}

void Channel::judgeStrict_(Clock::time_point now) {
  std::string overdue;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    for (const EntryPtr& entry : queue_) {
      if (entry->strict && entry->state == Entry::State::kWaiting && now >= entry->deadline) {
        overdue = entry->command;
        break;
      }
    }
  }
  if (overdue.empty()) return;
  const std::chrono::milliseconds within =
      overdue == kAbortCommand ? deadlines_.control_reply : deadlines_.heartbeat_reply;
  fail_("The Epson controller did not answer " + protocol::shownCommandBrief(overdue) + " within " +
        millisecondsText(within) + "; the session was closed" + kStateUnknown);
}

Channel::Clock::time_point Channel::strictWake_() {
  Clock::time_point wake = Clock::time_point::max();
  std::lock_guard<std::mutex> lock(queueMutex_);
  for (const EntryPtr& entry : queue_) {
    if (entry->strict && entry->state == Entry::State::kWaiting) {
      wake = std::min(wake, entry->deadline);
    }
  }
  return wake;
}

// --- Commands -----------------------------------------------------------------------------------

std::string Channel::exchange(const std::string& command, std::chrono::milliseconds timeout,
                              Interrupter& interrupter) {
  if (!open_ || !socket_.is_open()) throw ConnectionLostError(kNotConnected);
  const ReaderScope reading(reader_);
  const auto deadline = deadlineAfter(timeout);
  settleReceived_(command);
  const EntryPtr entry = send_(command, deadline, timeout, false, true);
  std::string reply = await_(entry, deadline, timeout, interrupter, nullptr);
  checkReply(reply, command);
  return reply;
}

std::string Channel::await_(const EntryPtr& entry, Clock::time_point deadline,
                            std::chrono::milliseconds timeout, Interrupter& interrupter,
                            MotionWait* motion) {
  const std::string awaiting = "while waiting for #" + entry->name;
  // When something is next judged: a deadline, a heartbeat due. The caller routed what had come
  // before the command was written.
  Clock::time_point due = Clock::time_point::max();
  for (;;) {
    if (entry->state == Entry::State::kAnswered) return std::move(entry->reply);
    const bool interrupted = interrupter.requested();
    if (interrupted || Clock::now() >= due) {
      // Replies already received count before any deadline is judged or an interrupt acted on:
      // the reader may have been held (a slow signal handler, another thread holding the
      // interpreter lock) long after they came.
      routeReceived_(entry.get(), awaiting);
      if (entry->state == Entry::State::kAnswered) {
        if (interrupted) throwInterruptedAfterReply_(*entry, motion != nullptr);
        return std::move(entry->reply);
      }
    }
    const auto now = Clock::now();
    Clock::time_point wake = deadline;
    if (motion != nullptr) {
      wake = std::min(wake, motionStep_(*motion, *entry, now));
      if (interrupted || now >= deadline) {
        // Stops the robot; the deadline becomes the wait for the motion's own reply.
        deadline = abortMotionNow_(*motion, *entry, now, interrupted);
        continue;
      }
    } else if (interrupted) {
      teardown("interrupted");
      throw InterruptedError("Interrupted while waiting for the reply to " +
                             protocol::shownCommandBrief(entry->command) +
                             "; the session was closed");
    } else if (now >= deadline) {
      const std::string message = "Timed out waiting for an Epson Remote Ethernet response to " +
                                  protocol::shownCommand(entry->command) + " after " +
                                  millisecondsText(timeout);
      teardown(message);
      throw TimeoutError(message);
    }
    judgeStrict_(now);
    due = std::min(wake, strictWake_());
    if (framed_ == 0 && !readReply_(interrupter.wake(due))) continue;
    const bool stale = staleBytes_ > 0;
    route_(takeReply_(), stale, entry.get(), awaiting);
  }
}

void Channel::throwInterruptedAfterReply_(const Entry& entry, bool motion) {
  throw InterruptedError(
      (motion ? "Interrupted after the motion " : "Interrupted after the reply to ") +
      protocol::shownCommandBrief(entry.command) +
      (motion ? " ended with " + shown(entry.reply) + "; nothing was aborted"
              : " had come; the session stays connected"));
}

void Channel::readNested_(const EntryPtr& entry) {
  // The reader itself wrote it, from a signal handler that runs inside one of its own waits:
  // nobody else reads, so it reads here until the reply comes or the deadline passes.
  const std::string awaiting = "while waiting for #" + entry->name;
  while (entry->state == Entry::State::kWaiting) {
    const auto now = Clock::now();
    if (now >= entry->deadline) {
      routeReceived_(nullptr, awaiting);
      if (entry->state == Entry::State::kWaiting) judgeStrict_(now);
      return;
    }
    judgeStrict_(now);
    if (framed_ == 0 && !readReply_(std::min(entry->deadline, strictWake_()))) continue;
    route_(takeReply_(), false, nullptr, awaiting);
  }
}

void Channel::checkReply(const std::string& reply, const std::string& command) const {
  switch (protocol::classifyReply(reply)) {
    case protocol::ReplyKind::kEmpty:
      throw std::runtime_error("Empty response from Epson controller");
    case protocol::ReplyKind::kSuccess:
      return;
    case protocol::ReplyKind::kError:
      throw ControllerError(protocol::errorReplyMessage(reply, command, secret_),
                            protocol::errorCode(reply), protocol::shownCommand(command),
                            shown(reply));
    case protocol::ReplyKind::kInvalid:
      break;
  }
  throw std::runtime_error("Invalid remote command response: " + shown(reply));
}

}  // namespace epson
