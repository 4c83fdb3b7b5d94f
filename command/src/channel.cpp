// The connection and its bytes: open, close, teardown, writing a line, reading and framing replies.

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

#include "channel_internal.h"
#include "log.h"

namespace epson {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;
using namespace channel_detail;

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

void Channel::writeBestEffort_(const std::string& command) {
  std::lock_guard<std::mutex> lock(writeMutex_);
  if (!socket_.is_open()) return;
  const std::string line = command + "\r\n";
  // NOLINTNEXTLINE(bugprone-unused-return-value): nothing is waited for, nothing is reported
  (void)::send(socket_.native_handle(), line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
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

}  // namespace epson
