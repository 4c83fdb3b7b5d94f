// The exchange of one command: write its line under a deadline, frame the replies that come
// back, route each to whoever it belongs to, and tear the session down when it cannot be trusted.

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <stdexcept>

#include <boost/system/system_error.hpp>

#include "brevacon_impl.h"
#include "log.h"

namespace epson {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

// Bytes asked of the socket per read.
constexpr std::size_t kReceiveChunk = std::size_t{16} * 1024;

constexpr const char* kNotConnected = "command() was called but socket not connected";
constexpr const char* kReadFailure = "Failed while waiting for an Epson Remote Ethernet response: ";

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(std::chrono::milliseconds timeout) {
  const auto now = Clock::now();
  if (timeout >=
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now)) {
    return Clock::time_point::max();
  }
  return now + timeout;
}

}  // namespace

bool Brevacon::Impl::writeLine_(const std::string& line, Clock::time_point deadline) {
  // A raw send on the descriptor rather than an Asio write: the motion thread keeps an Asio read
  // in flight on this socket while pause()/continueMotion() write from another thread, and the
  // Asio socket object is not safe for that concurrent use. MSG_NOSIGNAL keeps a closed peer
  // from raising SIGPIPE; MSG_DONTWAIT lets a peer that stopped reading cost at most the deadline.
  std::lock_guard<std::mutex> lock(writeMutex_);
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

void Brevacon::Impl::sendCommand_(const std::string& command, std::chrono::milliseconds timeout) {
  bool written = false;
  try {
    written = writeLine_(command + terminator_, deadlineAfter(timeout));
  } catch (const std::exception& e) {
    // The stream may hold part of the line: nothing after it could be framed reliably.
    teardown_(e.what());
    throw;
  }
  if (!written) {
    const std::string message = "Timed out writing " + protocol::shownCommandBrief(command) +
                                " to the Epson controller after " +
                                std::to_string(timeout.count()) + " ms";
    teardown_(message);
    throw TimeoutError(message);
  }
}

void Brevacon::Impl::clearReceived_() {
  replyBuffer_.consume(replyBuffer_.size());
  framer_.reset();
  framed_ = 0;
  staleBytes_ = 0;
}

void Brevacon::Impl::teardown_(const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(writeMutex_);
    closeSocket_();
  }
  connected_ = false;
  loggedIn_ = false;
  motorsOn_ = false;
  discardSavedTcpState_();
  clearReceived_();
  std::lock_guard<std::mutex> pending(pendingMutex_);
  if (!pendingPrefix_.empty() && pendingReply_.empty()) {
    pendingFailure_ = reason;
    pendingCv_.notify_one();
  }
  duePrefixes_.clear();
}

std::string Brevacon::Impl::shownReply_(const std::string& reply, bool one_line) const {
  return protocol::escapeText(protocol::redact(reply, loginSecret_), one_line);
}

void Brevacon::Impl::receiveAvailable_() {
  const int fd = socket_.native_handle();
  while (replyBuffer_.size() <= protocol::kMaxReplyBytes) {
    const auto space = replyBuffer_.prepare(kReceiveChunk);
    const ssize_t n = ::recv(fd, space.data(), space.size(), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nothing more yet, or end of stream: the reply wait reports it
    replyBuffer_.commit(static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < space.size()) return;
  }
}

bool Brevacon::Impl::readUntilTerminator_(Clock::time_point deadline) {
  for (;;) {
    const auto data = replyBuffer_.data();
    framed_ = framer_.scan(std::string_view(static_cast<const char*>(data.data()), data.size()));
    // The cap counts a reply's bytes before its final line feed.
    if (framed_ != 0 && framed_ - 1 <= protocol::kMaxReplyBytes) return true;
    if (framed_ != 0 || replyBuffer_.size() > protocol::kMaxReplyBytes) {
      // The message never carries the reply: it may be a megabyte of anything.
      const std::string message = kReadFailure + std::string("reply too long (more than ") +
                                  std::to_string(protocol::kMaxReplyBytes) +
                                  " bytes without a complete reply)";
      teardown_(message);
      throw ConnectionLostError(message);
    }
    if (Clock::now() >= deadline) {
      // Past the deadline, only bytes that have already arrived still count.
      const std::size_t before = replyBuffer_.size();
      receiveAvailable_();
      if (replyBuffer_.size() == before) return false;
      continue;
    }
    error_code result = asio::error::would_block;
    std::size_t received = 0;
    bool timed_out = false;
    replyTimer_.expires_at(deadline);
    io_.restart();
    replyTimer_.async_wait([this, &timed_out](const error_code& ec) {
      if (ec) return;
      timed_out = true;
      if (socket_.is_open()) {
        error_code ignored;
        socket_.cancel(ignored);
      }
    });
    socket_.async_read_some(replyBuffer_.prepare(kReceiveChunk),
                            [this, &result, &received](const error_code& ec, std::size_t n) {
                              result = ec;
                              received = n;
                              replyTimer_.cancel();
                            });
    io_.run();
    replyBuffer_.commit(received);
    if (received != 0) continue;
    if (timed_out) return false;
    const std::string message = kReadFailure + result.message();
    teardown_(message);
    throw ConnectionLostError(message);
  }
}

std::string Brevacon::Impl::takeReply_() {
  const auto data = replyBuffer_.data();
  std::string reply =
      protocol::replyText(std::string_view(static_cast<const char*>(data.data()), framed_));
  replyBuffer_.consume(framed_);
  staleBytes_ = staleBytes_ > framed_ ? staleBytes_ - framed_ : 0;
  framed_ = 0;
  return reply;
}

protocol::ReplyRoute Brevacon::Impl::dispatch_(std::string& reply, const std::string& awaited,
                                               bool stale, const std::string& command) {
  std::string discarded;
  protocol::ReplyRoute route;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    const bool control_waits =
        !pendingPrefix_.empty() && pendingReply_.empty() && pendingFailure_.empty();
    protocol::RoutingState state;
    state.awaited = awaited;
    state.control = control_waits ? std::string_view(pendingPrefix_) : std::string_view();
    state.due = &duePrefixes_;
    state.stale = stale;
    route = protocol::routeReply(reply, state);
    if (route == protocol::ReplyRoute::kControl) {
      pendingReply_ = std::move(reply);
      pendingCv_.notify_one();
    } else if (route == protocol::ReplyRoute::kDue) {
      const auto due = duePrefixes_.begin() +
                       static_cast<std::ptrdiff_t>(protocol::dueIndex(reply, duePrefixes_));
      discarded = "Discarded the late Epson Remote Ethernet reply to $" + due->substr(1) + ": \"" +
                  shownReply_(reply, true) + "\"";
      duePrefixes_.erase(due);
    } else if (route == protocol::ReplyRoute::kStale) {
      discarded = "Discarded an Epson Remote Ethernet reply received before " +
                  protocol::shownCommand(command) + " was sent: \"" + shownReply_(reply, true) +
                  "\"";
    }
  }
  // Outside the lock: a log sink may take locks of its own.
  if (!discarded.empty()) log::error(discarded);
  return route;
}

void Brevacon::Impl::failUnexpected_(const std::string& reply, const std::string& awaited) {
  // The awaited command's own reply may still be on its way, and the next command would take
  // it for its own: the session cannot be trusted any more.
  const std::string message =
      reply.empty() ? std::string("Empty response from Epson controller")
                    : "Unexpected Epson response while waiting for " +
                          (awaited.empty() ? std::string("a control reply") : awaited) + ": " +
                          shownReply_(reply);
  teardown_(message);
  throw ConnectionLostError(message);
}

void Brevacon::Impl::command_(const std::string& command, std::chrono::milliseconds timeout) {
  if (!connected_ || !socket_.is_open()) throw ConnectionLostError(kNotConnected);
  // Whatever has arrived by now cannot answer the command about to be written.
  receiveAvailable_();
  staleBytes_ = replyBuffer_.size();
  sendCommand_(command, timeout);
  lastCommand_ = command;
  const std::string prefix = protocol::expectedPrefix(command);
  // One deadline for the whole reply, however many lines or foreign replies come first.
  const auto deadline = deadlineAfter(timeout);
  for (;;) {
    if (!readUntilTerminator_(deadline)) {
      const std::string message = "Timed out waiting for an Epson Remote Ethernet response to " +
                                  protocol::shownCommand(lastCommand_) + " after " +
                                  std::to_string(timeout.count()) + " ms";
      teardown_(message);
      throw TimeoutError(message);
    }
    const bool stale = staleBytes_ > 0;
    std::string reply = takeReply_();
    switch (dispatch_(reply, prefix, stale, command)) {
      case protocol::ReplyRoute::kAwaited:
        lastResponse_ = std::move(reply);
        parseResponse_(lastResponse_, command);
        return;
      case protocol::ReplyRoute::kUnexpected:
        failUnexpected_(reply, prefix);
      default:
        break;
    }
  }
}

void Brevacon::Impl::parseResponse_(const std::string& reply, const std::string& command) {
  switch (protocol::classifyReply(reply)) {
    case protocol::ReplyKind::kEmpty:
      throw std::runtime_error("Empty response from Epson controller");
    case protocol::ReplyKind::kSuccess:
      if (reply.rfind("#Login", 0) == 0) {
        loggedIn_ = true;
      } else if (reply.rfind("#Logout", 0) == 0) {
        loggedIn_ = false;
      }
      return;
    case protocol::ReplyKind::kError:
      throw ControllerError(protocol::errorReplyMessage(reply, command, loginSecret_),
                            protocol::errorCode(reply), protocol::shownCommand(command),
                            shownReply_(reply));
    case protocol::ReplyKind::kInvalid:
      break;
  }
  throw std::runtime_error("Invalid remote command response: " + shownReply_(reply));
}

std::string Brevacon::Impl::executeAndGetResult_(const std::string& statement) {
  command_(protocol::executeCommand(statement), kReplyTimeout);
  return protocol::extractExecuteResult(lastResponse_);
}

}  // namespace epson
