#pragma once

// In-process loopback peers for the stream harness: a controller that answers the login and then
// sends whatever bytes the harness armed it with, and a telemetry pusher. Both listen on
// 127.0.0.1 with an ephemeral port. They live as long as the process: a fuzzing process ends by
// exit(), with the peers' threads still blocked in accept or read.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

namespace epson::fuzz {

inline int listenOnLoopback(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot listen on loopback");
  }
  port = ntohs(address.sin_port);
  return fd;
}

// The next connection, or -1 when accepting keeps failing (for about a second).
inline int acceptConnection(int listen_fd) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return fd;
    }
    if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

// False once the connection fails (the client went away).
inline bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Answers "$Login,..." with "#Login" at once. Any other line takes the armed reply: its bytes are
// sent unchanged and, when asked, the connection is closed after them; then the peer counts the
// exchange as served. A client may connect again at any time.
class CommandPeer {
 public:
  CommandPeer() : listen_fd_(listenOnLoopback(port_)), thread_([this] { run_(); }) {
    thread_.detach();
  }

  std::uint16_t port() const { return port_; }

  void arm(std::string reply, bool close) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = std::move(reply);
    close_ = close;
    armed_ = true;
    served_ = false;
  }

  // Waits until the armed reply went out (or could not), and its connection is closed when that
  // was asked. Gives the line that took it, CR included. False after `timeout`.
  bool waitServed(std::chrono::milliseconds timeout, std::string& line) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!served_cv_.wait_for(lock, timeout, [this] { return served_; })) return false;
    line = line_;
    return true;
  }

 private:
  // One pass per connection the harness opens; the harness reports a peer that stopped as a
  // reply never served.
  void run_() {
    for (int fd; (fd = acceptConnection(listen_fd_)) >= 0;) {
      serve_(fd);
      ::close(fd);
    }
  }

  void serve_(int fd) {
    std::string received;
    for (;;) {
      std::size_t lf;
      while ((lf = received.find('\n')) == std::string::npos) {
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        received.append(chunk, static_cast<std::size_t>(n));
      }
      std::string line = received.substr(0, lf);
      received.erase(0, lf + 1);
      if (line.rfind("$Login,", 0) == 0) {
        if (!sendAll(fd, "#Login\r\n")) return;
        continue;
      }
      std::unique_lock<std::mutex> lock(mutex_);
      const bool armed = armed_;
      const std::string reply = std::move(reply_);
      const bool close = close_ || !armed;
      armed_ = false;
      lock.unlock();
      const bool sent = armed && sendAll(fd, reply);
      if (close || !sent) ::shutdown(fd, SHUT_RDWR);
      lock.lock();
      line_ = armed ? line : "(not armed) " + line;
      served_ = true;
      served_cv_.notify_all();
      if (close || !sent) return;
    }
  }

  std::uint16_t port_ = 0;
  int listen_fd_;
  std::mutex mutex_;
  std::condition_variable served_cv_;
  std::string reply_;
  bool close_ = false;
  bool armed_ = false;
  bool served_ = false;
  std::string line_;
  std::thread thread_;
};

// One telemetry connection: `connect` is the receiver's connect call, which returns only once
// `first` (a complete sample with its CR) has arrived; the pusher accepts and sends it meanwhile.
class TelemetryPusher {
 public:
  template <typename Connect>
  TelemetryPusher(Connect&& connect, std::string first) {
    std::uint16_t port = 0;
    const int listen_fd = listenOnLoopback(port);
    std::thread accepter([&] {
      fd_ = acceptConnection(listen_fd);
      sendAll(fd_, first);
    });
    connect(port);
    accepter.join();
    ::close(listen_fd);
  }

  bool push(std::string_view bytes) { return sendAll(fd_, bytes); }

 private:
  int fd_ = -1;
};

}  // namespace epson::fuzz
