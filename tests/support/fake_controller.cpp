#include "fake_controller.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace epson::test {
namespace {

std::string decodeEscapes(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    out += next == 'r' ? '\r' : next == 'n' ? '\n' : next;
  }
  return out;
}

// CR and LF made visible, for failure messages.
std::string visible(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out.size() > 200 ? out.substr(0, 200) + "... (" + std::to_string(text.size()) + " bytes)"
                          : out;
}

std::string inQuotes(const std::string& text) { return "\"" + visible(text) + "\""; }

const std::map<std::string, std::string>& cannedTable() {
  static const std::map<std::string, std::string> table = [] {
    std::map<std::string, std::string> entries;
    std::ifstream in(EPSON_CANNED_REPLIES);
    if (!in) {
      ADD_FAILURE() << "cannot read " << EPSON_CANNED_REPLIES;
    }
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') {
        continue;
      }
      const auto name_end = line.find_first_of(" \t");
      if (name_end == std::string::npos) {
        continue;
      }
      const auto text_begin = line.find_first_not_of(" \t", name_end);
      entries[line.substr(0, name_end)] =
          text_begin == std::string::npos ? "" : decodeEscapes(line.substr(text_begin));
    }
    return entries;
  }();
  return table;
}

sockaddr_in loopbackAddress(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// A TCP socket bound to 127.0.0.1 with an ephemeral port; listening when backlog >= 0.
int bindLoopback(int backlog, std::uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  }
  sockaddr_in addr = loopbackAddress(0);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      (backlog >= 0 && ::listen(fd, backlog) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const int error = errno;
    ::close(fd);
    throw std::runtime_error(std::string("loopback listener: ") + std::strerror(error));
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

std::string canned(const std::string& name) {
  const auto& table = cannedTable();
  const auto it = table.find(name);
  if (it == table.end()) {
    ADD_FAILURE() << "no canned reply named " << name << " in " << EPSON_CANNED_REPLIES;
    return "";
  }
  return it->second;
}

// Concurrency: the script thread alone owns the sockets, the partial-line buffer and the
// connection state, and never holds mu_ during socket I/O. mu_ guards what the test thread also
// sees: the steps and the progress through them, the received lines, the inbox, the failures and
// the connection count; cv_ announces every change to them. A byte on the wake pipe interrupts
// the thread's poll() when steps are appended or the fake stops.
class FakeController::Impl {
 public:
  enum class Kind {
    kExpect,
    kExpectPrefix,
    kSend,
    kWait,
    kSilence,
    kStall,
    kClose,
    kReset,
    kExpectClose
  };
  struct Step {
    Kind kind;
    std::string text;
    std::chrono::milliseconds delay{0};
  };

  Impl() {
    listen_fd_ = bindLoopback(16, &port_);
    if (::pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
      ::close(listen_fd_);
      throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    thread_ = std::thread([this] { run_(); });
  }

  ~Impl() {
    stop();
    if (conn_ >= 0) {
      ::close(conn_);
    }
    ::close(listen_fd_);
    ::close(wake_pipe_[0]);
    ::close(wake_pipe_[1]);
  }

  std::uint16_t port() const { return port_; }

  void append(Step step) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      steps_.push_back(std::move(step));
    }
    wake_();
  }

  std::vector<ReceivedLine> lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }

  int connections() const {
    std::lock_guard<std::mutex> lock(mu_);
    return connections_;
  }

  bool waitForLines(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return lines_.size() >= count; });
  }

  bool waitUntilDone(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return finished_ == steps_.size(); });
  }

  void setHeartbeatReply(std::optional<std::string> reply) {
    std::lock_guard<std::mutex> lock(mu_);
    heartbeatReply_ = std::move(reply);
  }

  std::vector<Clock::time_point> heartbeats() const {
    std::lock_guard<std::mutex> lock(mu_);
    return heartbeats_;
  }

  void stop() {
    stopping_ = true;
    wake_();
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  void verify() {
    if (verified_) {
      return;
    }
    verified_ = true;
    waitUntilDone(std::chrono::seconds(3));
    stop();
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& failure : failures_) {
      ADD_FAILURE() << "fake controller: " << failure;
    }
    for (std::size_t i = finished_; i < steps_.size(); ++i) {
      ADD_FAILURE() << "fake controller: scripted step " << i + 1
                    << " never ran to its end: " << describe(steps_[i]);
    }
    for (std::size_t index : inbox_) {
      ADD_FAILURE() << "fake controller: unexpected line " << inQuotes(lines_[index].text)
                    << " (no step consumed it)";
    }
  }

 private:
  enum class Conn { kNone, kOpen, kPeerClosed };

  static std::string describe(const Step& step) {
    switch (step.kind) {
      case Kind::kExpect:
        return "expect " + inQuotes(step.text);
      case Kind::kExpectPrefix:
        return "expect a line beginning " + inQuotes(step.text);
      case Kind::kSend:
        return "send " + inQuotes(step.text);
      case Kind::kWait:
        return "wait " + std::to_string(step.delay.count()) + " ms";
      case Kind::kSilence:
        return "silence";
      case Kind::kStall:
        return "stop reading";
      case Kind::kClose:
        return "close";
      case Kind::kReset:
        return "reset";
      case Kind::kExpectClose:
        return "expect the client to close the connection";
    }
    return "?";
  }

  void wake_() {
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(wake_pipe_[1], &byte, 1);
  }

  void fail_(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    failures_.push_back(text);
  }

  void run_() {
    for (;;) {
      Step step;
      bool have_step = false;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (next_ < steps_.size()) {
          step = steps_[next_];
          have_step = true;
        }
      }
      const bool running = have_step ? runStep_(step) : pump_(Clock::time_point::max());
      if (!running || stopping_) {
        return;
      }
      if (have_step) {
        std::lock_guard<std::mutex> lock(mu_);
        ++next_;
        if (step.kind != Kind::kSilence && step.kind != Kind::kStall) {
          ++finished_;
        }
        cv_.notify_all();
      }
    }
  }

  // Each returns false only when the fake is stopping.
  bool runStep_(const Step& step) {
    switch (step.kind) {
      case Kind::kExpect:
      case Kind::kExpectPrefix:
        return expect_(step);
      case Kind::kSend:
        return send_(step);
      case Kind::kWait: {
        const auto deadline = Clock::now() + step.delay;
        while (Clock::now() < deadline) {
          if (!pump_(deadline)) {
            return false;
          }
        }
        return true;
      }
      case Kind::kSilence:
        return silence_();
      case Kind::kStall:
        return stall_();
      case Kind::kClose:
        return close_();
      case Kind::kReset:
        return reset_();
      case Kind::kExpectClose:
        return expectClose_();
    }
    return true;
  }

  bool expect_(const Step& step) {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (!inbox_.empty()) {
          const std::string& line = lines_[inbox_.front()].text;
          inbox_.pop_front();
          const bool match =
              step.kind == Kind::kExpect ? line == step.text : line.rfind(step.text, 0) == 0;
          if (!match) {
            failures_.push_back("unexpected line " + inQuotes(line) + " where the script says " +
                                describe(step));
          }
          return true;
        }
      }
      switch (state_) {
        case Conn::kNone:
          if (!accept_()) {
            return false;
          }
          break;
        case Conn::kPeerClosed:
          state_ = Conn::kNone;
          fail_("the client closed the connection while the script says " + describe(step));
          return true;
        case Conn::kOpen:
          if (!pump_(Clock::time_point::max())) {
            return false;
          }
          break;
      }
    }
  }

  bool send_(const Step& step) {
    if (state_ == Conn::kNone && !accept_()) {
      return false;
    }
    if (state_ == Conn::kPeerClosed) {
      state_ = Conn::kNone;
      fail_("the client closed the connection before " + describe(step));
      return true;
    }
    std::size_t sent = 0;
    while (sent < step.text.size()) {
      const auto n = ::send(conn_, step.text.data() + sent, step.text.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        fail_("could not " + describe(step) + ": " + std::strerror(errno));
        dropConnection_();
        return true;
      }
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Silence and stall never end by themselves, so they count as finished once they hold the
  // connection: a test waiting for the script to get there may go on.
  bool beginHolding_() {
    if (state_ == Conn::kNone && !accept_()) {
      return false;
    }
    std::lock_guard<std::mutex> lock(mu_);
    ++finished_;
    cv_.notify_all();
    return true;
  }

  bool silence_() {
    if (!beginHolding_()) {
      return false;
    }
    silent_ = true;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        inbox_.clear();
      }
      if (state_ != Conn::kOpen) {
        state_ = Conn::kNone;
        return true;
      }
      if (!pump_(Clock::time_point::max())) {
        return false;
      }
    }
  }

  // Leaves every byte the client sends unread, so its writes back up, until it closes.
  bool stall_() {
    if (!beginHolding_()) {
      return false;
    }
    while (state_ == Conn::kOpen) {
      pollfd fds[2] = {{wake_pipe_[0], POLLIN, 0}, {conn_, POLLRDHUP, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
        fail_(std::string("poll: ") + std::strerror(errno));
        return false;
      }
      drainWake_();
      if (stopping_) {
        return false;
      }
      if ((fds[1].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        dropConnection_();
      }
    }
    return true;
  }

  // Aborts the connection: the client's next read or write fails with a reset.
  bool reset_() {
    if (state_ == Conn::kNone && !accept_()) {
      return false;
    }
    if (state_ == Conn::kOpen) {
      const linger abort{1, 0};
      ::setsockopt(conn_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      dropConnection_();
    }
    state_ = Conn::kNone;
    return true;
  }

  bool close_() {
    if (state_ == Conn::kNone && !accept_()) {
      return false;
    }
    if (state_ == Conn::kOpen) {
      // Send FIN first and read what already arrived: closing with unread data would make the
      // kernel answer with a reset, and the client would see that instead of end of file.
      ::shutdown(conn_, SHUT_WR);
      pollfd p{conn_, POLLIN, 0};
      while (state_ == Conn::kOpen && ::poll(&p, 1, 0) == 1) {
        readConnection_();
      }
      dropConnection_();
    }
    state_ = Conn::kNone;
    return true;
  }

  bool expectClose_() {
    if (state_ == Conn::kNone && !accept_()) {
      return false;
    }
    while (state_ == Conn::kOpen) {
      if (!pump_(Clock::time_point::max())) {
        return false;
      }
    }
    state_ = Conn::kNone;
    return true;
  }

  bool accept_() {
    for (;;) {
      pollfd fds[2] = {{wake_pipe_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
        fail_(std::string("poll: ") + std::strerror(errno));
        return false;
      }
      drainWake_();
      if (stopping_) {
        return false;
      }
      if (fds[1].revents & POLLIN) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
          continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        conn_ = fd;
        state_ = Conn::kOpen;
        partial_.clear();
        std::lock_guard<std::mutex> lock(mu_);
        connection_index_ = ++connections_;
        cv_.notify_all();
        return true;
      }
    }
  }

  // Waits for bytes from the client, the wake pipe or the deadline, and handles what came.
  bool pump_(Clock::time_point deadline) {
    pollfd fds[2] = {{wake_pipe_[0], POLLIN, 0}, {conn_, POLLIN, 0}};
    const nfds_t count = state_ == Conn::kOpen ? 2 : 1;
    int timeout_ms = -1;
    if (deadline != Clock::time_point::max()) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeout_ms = static_cast<int>(std::max<long long>(0, left));
    }
    if (::poll(fds, count, timeout_ms) < 0 && errno != EINTR) {
      fail_(std::string("poll: ") + std::strerror(errno));
      return false;
    }
    drainWake_();
    if (stopping_) {
      return false;
    }
    if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      readConnection_();
    }
    return true;
  }

  void readConnection_() {
    char buffer[4096];
    const auto n = ::recv(conn_, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      return;
    }
    const auto arrival = Clock::now();
    if (n > 0) {
      partial_.append(buffer, static_cast<std::size_t>(n));
    }
    std::string answers;
    {
      std::lock_guard<std::mutex> lock(mu_);
      std::size_t newline;
      while ((newline = partial_.find('\n')) != std::string::npos) {
        std::string text = partial_.substr(0, newline);
        if (!text.empty() && text.back() == '\r') {
          text.pop_back();
        } else {
          failures_.push_back("line " + inQuotes(text) + " did not end with CR LF");
        }
        partial_.erase(0, newline + 1);
        if (text == "$GetStatus" && heartbeatReply_) {
          heartbeats_.push_back(arrival);
          if (!silent_) answers += *heartbeatReply_ + "\r\n";
          continue;
        }
        recordLine_(std::move(text), arrival);
      }
      if (n <= 0 && !partial_.empty()) {
        failures_.push_back("the connection closed inside the line " + inQuotes(partial_));
        recordLine_(std::move(partial_), arrival);
        partial_.clear();
      }
      cv_.notify_all();
    }
    if (!answers.empty()) {
      [[maybe_unused]] const auto sent =
          ::send(conn_, answers.data(), answers.size(), MSG_NOSIGNAL);
    }
    if (n <= 0) {
      dropConnection_();
      state_ = Conn::kPeerClosed;
    }
  }

  // Caller holds mu_.
  void recordLine_(std::string text, Clock::time_point arrival) {
    lines_.push_back({std::move(text), arrival, connection_index_});
    inbox_.push_back(lines_.size() - 1);
  }

  void dropConnection_() {
    ::close(conn_);
    conn_ = -1;
    state_ = Conn::kNone;
  }

  void drainWake_() {
    char bytes[64];
    while (::read(wake_pipe_[0], bytes, sizeof bytes) > 0) {
    }
  }

  // Fixed at construction.
  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  bool verified_ = false;  // test thread only

  // Script thread only.
  int conn_ = -1;
  Conn state_ = Conn::kNone;
  std::string partial_;
  bool silent_ = false;  // a silence step holds the connection: heartbeats go unanswered too

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<Step> steps_;
  std::size_t next_ = 0;      // index of the step running or about to run
  std::size_t finished_ = 0;  // steps that ran (a silence counts once it starts)
  std::vector<ReceivedLine> lines_;
  std::deque<std::size_t> inbox_;  // indices into lines_ not yet consumed by a step
  std::vector<std::string> failures_;
  std::optional<std::string> heartbeatReply_{"#GetStatus,00100000011,0000"};
  std::vector<Clock::time_point> heartbeats_;
  int connections_ = 0;
  int connection_index_ = 0;
};

FakeController::FakeController() : impl_(std::make_unique<Impl>()) {}

FakeController::~FakeController() { impl_->verify(); }

std::uint16_t FakeController::port() const { return impl_->port(); }

FakeController& FakeController::answerHeartbeats(std::optional<std::string> reply) {
  impl_->setHeartbeatReply(std::move(reply));
  return *this;
}

std::vector<Clock::time_point> FakeController::heartbeats() const { return impl_->heartbeats(); }

FakeController& FakeController::expect(const std::string& line) {
  impl_->append({Impl::Kind::kExpect, line});
  return *this;
}

FakeController& FakeController::expectPrefix(const std::string& prefix) {
  impl_->append({Impl::Kind::kExpectPrefix, prefix});
  return *this;
}

FakeController& FakeController::reply(const std::string& text) {
  impl_->append({Impl::Kind::kSend, text + "\r\n"});
  return *this;
}

FakeController& FakeController::send(const std::string& raw) {
  impl_->append({Impl::Kind::kSend, raw});
  return *this;
}

FakeController& FakeController::respond(const std::string& line, const std::string& reply_text) {
  return expect(line).reply(reply_text);
}

FakeController& FakeController::wait(std::chrono::milliseconds delay) {
  impl_->append({Impl::Kind::kWait, "", delay});
  return *this;
}

FakeController& FakeController::silence() {
  impl_->append({Impl::Kind::kSilence, ""});
  return *this;
}

FakeController& FakeController::stopReading() {
  impl_->append({Impl::Kind::kStall, ""});
  return *this;
}

FakeController& FakeController::reset() {
  impl_->append({Impl::Kind::kReset, ""});
  return *this;
}

FakeController& FakeController::close() {
  impl_->append({Impl::Kind::kClose, ""});
  return *this;
}

FakeController& FakeController::expectClose() {
  impl_->append({Impl::Kind::kExpectClose, ""});
  return *this;
}

FakeController& FakeController::login(const std::string& password) {
  return respond("$Login," + password, canned("login_ok"));
}

FakeController& FakeController::logout() { return respond("$Logout", canned("logout_ok")); }

std::vector<ReceivedLine> FakeController::lines() const { return impl_->lines(); }

std::vector<std::string> FakeController::texts() const {
  std::vector<std::string> out;
  for (const auto& line : impl_->lines()) {
    out.push_back(line.text);
  }
  return out;
}

int FakeController::connections() const { return impl_->connections(); }

bool FakeController::waitForLines(std::size_t count, std::chrono::milliseconds timeout) const {
  return impl_->waitForLines(count, timeout);
}

bool FakeController::waitUntilDone(std::chrono::milliseconds timeout) const {
  return impl_->waitUntilDone(timeout);
}

void FakeController::verify() { impl_->verify(); }

NeverAcceptingListener::NeverAcceptingListener() {
  listen_fd_ = bindLoopback(1, &port_);
  // Connections that complete wait in the accept queue; once it is full the kernel drops new
  // SYNs, so the first probe that does not complete marks the queue as full.
  constexpr int kMaxProbes = 8;
  for (int i = 0; i < kMaxProbes; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = loopbackAddress(port_);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 &&
        errno != EINPROGRESS) {
      ADD_FAILURE() << "probe connect: " << std::strerror(errno);
      ::close(fd);
      return;
    }
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 300) != 1) {
      ::close(fd);
      return;
    }
    queued_fds_.push_back(fd);
  }
  ADD_FAILURE() << "the accept queue of the never-accepting listener did not fill";
}

NeverAcceptingListener::~NeverAcceptingListener() {
  for (int fd : queued_fds_) {
    ::close(fd);
  }
  ::close(listen_fd_);
}

RefusingPort::RefusingPort() { fd_ = bindLoopback(-1, &port_); }

RefusingPort::~RefusingPort() { ::close(fd_); }

// Concurrency: one background thread accepts connections and watches the current one for the
// client's close. mu_ guards the current connection's descriptor, its generation and the
// connection count; every use of the descriptor (send, shutdown, close) happens under mu_, and
// only poll() runs without it, so the thread checks the generation after waking up before it
// touches the descriptor it polled. cv_ announces accepted and closed connections. The wake pipe
// interrupts the thread's poll() when the test closes the connection or the server stops.
class FakeTelemetryServer::Impl {
 public:
  Impl() {
    listen_fd_ = bindLoopback(16, &port_);
    if (::pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
      ::close(listen_fd_);
      throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    thread_ = std::thread([this] { run_(); });
  }

  ~Impl() {
    stopping_ = true;
    wake_();
    thread_.join();
    closeConnection();
    ::close(listen_fd_);
    ::close(wake_pipe_[0]);
    ::close(wake_pipe_[1]);
  }

  std::uint16_t port() const { return port_; }

  int connections() const {
    std::lock_guard<std::mutex> lock(mu_);
    return connections_;
  }

  bool connected() const {
    std::lock_guard<std::mutex> lock(mu_);
    return conn_ >= 0;
  }

  bool waitForConnections(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return connections_ >= count; });
  }

  bool waitForDisconnect(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return conn_ < 0; });
  }

  bool push(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    std::size_t sent = 0;
    while (conn_ >= 0 && sent < bytes.size()) {
      const auto n = ::send(conn_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        return false;
      }
      sent += static_cast<std::size_t>(n);
    }
    return conn_ >= 0;
  }

  void closeConnection() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      dropLocked_();
    }
    wake_();
  }

 private:
  void wake_() {
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(wake_pipe_[1], &byte, 1);
  }

  // Caller holds mu_. shutdown() sends FIN at once even while the thread still polls the socket.
  void dropLocked_() {
    if (conn_ >= 0) {
      ::shutdown(conn_, SHUT_RDWR);
      ::close(conn_);
      conn_ = -1;
      ++generation_;
      cv_.notify_all();
    }
  }

  void run_() {
    while (!stopping_) {
      int conn = -1;
      std::uint64_t generation = 0;
      {
        std::lock_guard<std::mutex> lock(mu_);
        conn = conn_;
        generation = generation_;
      }
      pollfd fds[3] = {{wake_pipe_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}, {conn, POLLIN, 0}};
      if (::poll(fds, conn >= 0 ? 3 : 2, -1) < 0 && errno != EINTR) {
        return;
      }
      char bytes[4096];
      while (::read(wake_pipe_[0], bytes, sizeof bytes) > 0) {
      }
      if (stopping_) {
        return;
      }
      if (fds[1].revents & POLLIN) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          const int one = 1;
          ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          std::lock_guard<std::mutex> lock(mu_);
          dropLocked_();
          conn_ = fd;
          ++generation_;
          ++connections_;
          cv_.notify_all();
        }
      }
      if (conn >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        std::lock_guard<std::mutex> lock(mu_);
        // What the receiver sends is ignored; an end of file or an error ends the connection.
        if (generation == generation_) {
          const auto n = ::recv(conn_, bytes, sizeof bytes, MSG_DONTWAIT);
          if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            dropLocked_();
          }
        }
      }
    }
  }

  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  int conn_ = -1;
  std::uint64_t generation_ = 0;
  int connections_ = 0;
};

FakeTelemetryServer::FakeTelemetryServer() : impl_(std::make_unique<Impl>()) {}

FakeTelemetryServer::~FakeTelemetryServer() = default;

std::uint16_t FakeTelemetryServer::port() const { return impl_->port(); }

int FakeTelemetryServer::connections() const { return impl_->connections(); }

bool FakeTelemetryServer::connected() const { return impl_->connected(); }

bool FakeTelemetryServer::waitForConnections(int count, std::chrono::milliseconds timeout) const {
  return impl_->waitForConnections(count, timeout);
}

bool FakeTelemetryServer::waitForDisconnect(std::chrono::milliseconds timeout) const {
  return impl_->waitForDisconnect(timeout);
}

bool FakeTelemetryServer::push(const std::string& bytes) { return impl_->push(bytes); }

bool FakeTelemetryServer::pushPieces(const std::vector<std::string>& pieces,
                                     std::chrono::milliseconds gap) {
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) {
      std::this_thread::sleep_for(gap);
    }
    if (!impl_->push(pieces[i])) {
      return false;
    }
  }
  return true;
}

void FakeTelemetryServer::closeConnection() { impl_->closeConnection(); }

}  // namespace epson::test
