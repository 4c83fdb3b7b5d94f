#include "channel.h"

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

#include "log.h"
#include "protocol.h"

namespace epson {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

// Bytes asked of the socket per read.
constexpr std::size_t kReceiveChunk = std::size_t{16} * 1024;

constexpr const char* kNotConnected = "command() was called but socket not connected";
constexpr const char* kReadFailure = "Failed while waiting for an Epson Remote Ethernet response: ";
constexpr const char* kOutOfStep =
    " (the session is out of step: the reply to the previous command may have been "
    "misattributed)";
constexpr const char* kStateUnknown = "; the robot's state is unknown";
constexpr const char* kHeartbeatCommand = protocol::kGetStatusCommand;
constexpr const char* kAbortCommand = protocol::kAbortCommand;

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(std::chrono::milliseconds timeout) {
  const auto now = Clock::now();
  if (timeout >=
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now)) {
    return Clock::time_point::max();
  }
  return now + timeout;
}

std::string commandName(const std::string& command) {
  return protocol::expectedPrefix(command).substr(1);
}

}  // namespace

// One outstanding command. Its waiter (the reader itself, or a thread that wrote it beside a
// motion) keeps it alive after the queue lets it go.
struct Channel::Entry {
  enum class State { kWaiting, kAnswered, kFailed, kDue };
  std::string name;     // the name its reply carries: "Execute", "Pause", ...
  std::string command;  // the line without its CR LF
  Clock::time_point deadline;
  bool beside = false;  // written beside a motion by a thread that waits on queueCv_
  State state = State::kWaiting;
  std::string reply;  // the reply, or why the session ended
};

// What the reader of a running motion keeps besides the motion's own entry.
struct Channel::MotionWait {
  EntryPtr heartbeat;
  Clock::time_point next_beat;
  EntryPtr abort;  // the $Abort this reader wrote on an interrupt
};

Channel::Channel(Deadlines deadlines, std::function<void()> on_teardown)
    : deadlines_(deadlines), onTeardown_(std::move(on_teardown)) {
  buffer_.prepare(128);
}

Channel::~Channel() = default;

// --- Connection -------------------------------------------------------------------------------

void Channel::open(const tcp::resolver::results_type& endpoints, std::chrono::milliseconds timeout,
                   const std::string& where, Interrupter& interrupter) {
  {
    std::lock_guard<std::mutex> lock(writeMutex_);
    error_code ignored;
    socket_.close(ignored);
    socket_ = tcp::socket(io_);
  }
  error_code result = asio::error::would_block;
  asio::async_connect(socket_, endpoints,
                      [&result](const error_code& ec, const tcp::endpoint&) { result = ec; });
  io_.restart();
  const auto deadline = deadlineAfter(timeout);
  bool interrupted = false;
  while (!io_.stopped() && Clock::now() < deadline) {
    io_.run_one_until(interrupter.wake(deadline));
    if (!io_.stopped() && interrupter.requested()) {
      interrupted = true;
      break;
    }
  }
  const auto close_now = [this] {
    {
      std::lock_guard<std::mutex> lock(writeMutex_);
      error_code ignored;
      socket_.close(ignored);
    }
    io_.run();  // lets the connect handler see its cancellation
  };
  if (interrupted) {
    close_now();
    throw InterruptedError("Interrupted while connecting to " + where + "; the socket was closed");
  }
  if (!io_.stopped()) {
    close_now();
    throw ConnectionFailedError("Connection to " + where + " timed out");
  }
  if (result) {
    close_now();
    throw ConnectionFailedError("Failed to connect to " + where + ": " + result.message());
  }
  error_code ignored;
  socket_.set_option(tcp::no_delay(true), ignored);
  // Bytes and replies of an earlier session must not be taken for replies of this one.
  clearReceived_();
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.clear();
  }
  open_ = true;
}

error_code Channel::close() {
  error_code close_error;
  {
    std::lock_guard<std::mutex> lock(writeMutex_);
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(close_error);
  }
  open_ = false;
  clearReceived_();
  std::lock_guard<std::mutex> lock(queueMutex_);
  queue_.clear();
  return close_error;
}

void Channel::teardown(const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(writeMutex_);
    error_code ignored;
    socket_.close(ignored);
  }
  open_ = false;
  clearReceived_();
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    for (const EntryPtr& entry : queue_) {
      if (entry->state != Entry::State::kWaiting) continue;
      entry->state = Entry::State::kFailed;
      entry->reply = reason;
    }
    queue_.clear();
  }
  queueCv_.notify_all();
  onTeardown_();
}

void Channel::sever_() {
  std::lock_guard<std::mutex> lock(writeMutex_);
  if (socket_.is_open()) ::shutdown(socket_.native_handle(), SHUT_RDWR);
  open_ = false;
}

void Channel::fail_(const std::string& message) {
  teardown(message);
  throw ConnectionLostError(message);
}

void Channel::clearReceived_() {
  buffer_.consume(buffer_.size());
  framer_.reset();
  framed_ = 0;
  staleBytes_ = 0;
}

std::string Channel::shown(const std::string& text, bool one_line) const {
  return protocol::escapeText(protocol::redact(text, secret_), one_line);
}

// --- Writing ------------------------------------------------------------------------------------

bool Channel::writeLocked_(const std::string& line, Clock::time_point deadline) {
  // A raw send on the descriptor rather than an Asio write: the reader keeps an Asio read in
  // flight on this socket while other threads write beside a motion, and the Asio socket object
  // is not safe for that concurrent use. MSG_NOSIGNAL keeps a closed peer from raising SIGPIPE;
  // MSG_DONTWAIT lets a peer that stopped reading cost at most the deadline.
  if (!socket_.is_open()) {
    throw boost::system::system_error(asio::error::bad_descriptor, "write");
  }
  const int fd = socket_.native_handle();
  std::size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t n =
        ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      throw boost::system::system_error(error_code(errno, boost::system::system_category()),
                                        "write");
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd pfd{fd, POLLOUT, 0};
    ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 60'000)));
  }
  return true;
}

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

// --- Reading ------------------------------------------------------------------------------------

void Channel::receiveAvailable_() {
  const int fd = socket_.native_handle();
  while (buffer_.size() <= protocol::kMaxReplyBytes) {
    const auto space = buffer_.prepare(kReceiveChunk);
    const ssize_t n = ::recv(fd, space.data(), space.size(), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nothing more yet, or end of stream: the reply wait reports it
    buffer_.commit(static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < space.size()) return;
  }
}

bool Channel::readReply_(Clock::time_point wake) {
  for (;;) {
    const auto data = buffer_.data();
    framed_ = framer_.scan(std::string_view(static_cast<const char*>(data.data()), data.size()));
    // The cap counts a reply's bytes before its final line feed.
    if (framed_ != 0 && framed_ - 1 <= protocol::kMaxReplyBytes) return true;
    if (framed_ != 0 || buffer_.size() > protocol::kMaxReplyBytes) {
      // The message never carries the reply: it may be a megabyte of anything.
      fail_(kReadFailure + std::string("reply too long (more than ") +
            std::to_string(protocol::kMaxReplyBytes) + " bytes without a complete reply)");
    }
    if (Clock::now() >= wake) {
      // Past the wake time, only bytes that have already arrived still count.
      const std::size_t before = buffer_.size();
      receiveAvailable_();
      if (buffer_.size() == before) return false;
      continue;
    }
    error_code result = asio::error::would_block;
    std::size_t received = 0;
    bool timed_out = false;
    timer_.expires_at(wake);
    io_.restart();
    timer_.async_wait([this, &timed_out](const error_code& ec) {
      if (ec) return;
      timed_out = true;
      if (socket_.is_open()) {
        error_code ignored;
        socket_.cancel(ignored);
      }
    });
    socket_.async_read_some(buffer_.prepare(kReceiveChunk),
                            [this, &result, &received](const error_code& ec, std::size_t n) {
                              result = ec;
                              received = n;
                              timer_.cancel();
                            });
    io_.run();
    buffer_.commit(received);
    if (received != 0) continue;
    if (timed_out) return false;
    fail_(kReadFailure + result.message());
  }
}

std::string Channel::takeReply_() {
  const auto data = buffer_.data();
  std::string reply =
      protocol::replyText(std::string_view(static_cast<const char*>(data.data()), framed_));
  buffer_.consume(framed_);
  staleBytes_ = staleBytes_ > framed_ ? staleBytes_ - framed_ : 0;
  framed_ = 0;
  return reply;
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
