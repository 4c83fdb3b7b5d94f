// The queue of outstanding commands: registering and writing a command, handing each reply to the
// command it answers, and the wait for a reply that every exchange and motion goes through.

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

std::string Channel::timedOutWriting_(const std::string& command,
                                      std::chrono::milliseconds timeout) const {
  return "Timed out writing " + protocol::shownCommandBrief(command) +
         " to the Epson controller after " + std::to_string(timeout.count()) + " ms";
}

Channel::EntryPtr Channel::send_(const std::string& command, Clock::time_point deadline,
                                 std::chrono::milliseconds budget, bool beside, bool reader,
                                 const std::function<bool()>& admit) {
  auto entry = std::make_shared<Entry>();
  entry->name = commandName(command);
  entry->command = command;
  entry->deadline = deadline;
  entry->beside = beside;
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
    if (!timed_out && !failure) return entry;
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

void Channel::settleReceived_(const std::string& command) {
  receiveAvailable_();
  while (buffer_.size() != 0 && readReply_(Clock::time_point::min())) {
    std::string reply = takeReply_();
    route_(std::move(reply), false, nullptr,
           "received before " + protocol::shownCommandBrief(command) + " was sent");
  }
  // A partial line already here began before the command: it cannot be the command's reply.
  staleBytes_ = buffer_.size();
}

// --- Commands -----------------------------------------------------------------------------------

std::string Channel::exchange(const std::string& command, std::chrono::milliseconds timeout,
                              Interrupter& interrupter) {
  if (!open_ || !socket_.is_open()) throw ConnectionLostError(kNotConnected);
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
  for (;;) {
    if (entry->state == Entry::State::kAnswered) return std::move(entry->reply);
    const auto now = Clock::now();
    Clock::time_point wake = deadline;
    if (motion != nullptr) {
      if (motion->heartbeat && motion->heartbeat->state == Entry::State::kAnswered) {
        motion->heartbeat.reset();
      }
      if (motion->heartbeat && now >= motion->heartbeat->deadline) {
        fail_("The Epson controller stopped answering during " +
              protocol::shownCommandBrief(entry->command) + ": no reply to " + kHeartbeatCommand +
              " within " + std::to_string(deadlines_.heartbeat_reply.count()) + " ms" +
              kStateUnknown);
      }
      if (!motion->heartbeat && now >= motion->next_beat) {
        motion->heartbeat = send_(kHeartbeatCommand, now + deadlines_.heartbeat_reply,
                                  deadlines_.heartbeat_reply, false, true);
        motion->next_beat = now + deadlines_.heartbeat_interval;
      }
      wake = std::min(wake, motion->heartbeat ? motion->heartbeat->deadline : motion->next_beat);
      if (motion->abort) {
        if (motion->abort->state == Entry::State::kAnswered && motion->abort->reply[0] != '#') {
          teardown("the abort was refused");
          throw InterruptedError(
              "Interrupted, but the controller refused " + std::string(kAbortCommand) + " with " +
              shown(motion->abort->reply) + "; the session was closed" + kStateUnknown);
        }
        if (motion->abort->state == Entry::State::kWaiting) {
          wake = std::min(wake, motion->abort->deadline);
          if (now >= motion->abort->deadline) {
            teardown("the abort was not answered");
            throw InterruptedError("Interrupted, but the controller did not answer " +
                                   std::string(kAbortCommand) + " within " +
                                   std::to_string(deadlines_.control_reply.count()) +
                                   " ms; the session was closed" + kStateUnknown);
          }
        }
      }
    }
    if (interrupter.requested()) {
      if (motion != nullptr && !motion->abort) {
        // Stop the robot, then wait for the motion's own reply so the session stays in step.
        motion->abort = send_(kAbortCommand, now + deadlines_.control_reply,
                              deadlines_.control_reply, false, true);
        deadline = now + deadlines_.control_reply;
        continue;
      }
      teardown("interrupted");
      throw InterruptedError(motion != nullptr
                                 ? "Interrupted again while the aborted motion " +
                                       protocol::shownCommandBrief(entry->command) +
                                       " was ending; the session was closed" + kStateUnknown
                                 : "Interrupted while waiting for the reply to " +
                                       protocol::shownCommandBrief(entry->command) +
                                       "; the session was closed");
    }
    if (now >= deadline && !readReply_(Clock::time_point::min())) {
      if (motion != nullptr && motion->abort) {
        teardown("the aborted motion did not end");
        throw InterruptedError("Interrupted: " + std::string(kAbortCommand) + " was sent, but " +
                               protocol::shownCommandBrief(entry->command) +
                               " did not end within " +
                               std::to_string(deadlines_.control_reply.count()) +
                               " ms; the session was closed" + kStateUnknown);
      }
      const std::string message = "Timed out waiting for an Epson Remote Ethernet response to " +
                                  protocol::shownCommand(entry->command) + " after " +
                                  std::to_string(timeout.count()) + " ms";
      teardown(message);
      throw TimeoutError(message);
    }
    if (framed_ == 0 && !readReply_(interrupter.wake(wake))) continue;
    const bool stale = staleBytes_ > 0;
    route_(takeReply_(), stale, entry.get(), awaiting);
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
