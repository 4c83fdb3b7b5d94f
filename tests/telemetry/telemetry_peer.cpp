#include "telemetry_peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace epson::test {

namespace {

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

TelemetryPeer::TelemetryPeer(std::string greeting, std::chrono::milliseconds delay)
    : greeting_(std::move(greeting)), delay_(delay) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  if (listen_fd_ < 0 ||
      ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listen_fd_, 1) != 0) {
    throw std::runtime_error("telemetry peer cannot listen");
  }
  socklen_t length = sizeof(address);
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { acceptLoop_(); });
}

TelemetryPeer::~TelemetryPeer() {
  stop_ = true;
  thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  if (conn_fd_ >= 0) ::close(conn_fd_);
  for (int fd : queued_fds_) ::close(fd);
  ::close(listen_fd_);
}

void TelemetryPeer::acceptLoop_() {
  while (!stop_) {
    int fd = -1;
    {
      std::lock_guard<std::mutex> accept_lock(accept_mutex_);
      pollfd pfd{listen_fd_, POLLIN, 0};
      if (accepting_ && ::poll(&pfd, 1, 10) > 0) {
        fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      }
    }
    if (fd < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    std::string greeting;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (conn_fd_ >= 0) ::close(conn_fd_);
      conn_fd_ = fd;
      greeting = greeting_;
    }
    ++connections_;
    const auto send_at = Clock::now() + delay_;
    while (!stop_ && Clock::now() < send_at) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!greeting.empty()) {
      std::lock_guard<std::mutex> lock(mutex_);
      greeting_sent_ = Clock::now();
      sendLocked_(greeting);
    }
  }
}

void TelemetryPeer::setGreeting(std::string greeting) {
  std::lock_guard<std::mutex> lock(mutex_);
  greeting_ = std::move(greeting);
}

bool TelemetryPeer::push(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  return sendLocked_(bytes);
}

bool TelemetryPeer::sendLocked_(const std::string& bytes) {
  if (conn_fd_ < 0) return false;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(conn_fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void TelemetryPeer::closeConnection() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (conn_fd_ < 0) return;
  ::shutdown(conn_fd_, SHUT_RDWR);
  ::close(conn_fd_);
  conn_fd_ = -1;
}

void TelemetryPeer::stopAccepting() {
  accepting_ = false;
  // Waits out an accept in flight, which would otherwise free a queue slot after the fill.
  { std::lock_guard<std::mutex> accept_lock(accept_mutex_); }
  // With backlog 1 the queue holds a couple of connections; keep connecting (bounded) until
  // one stays unanswered, which shows the kernel now drops new connection requests.
  const sockaddr_in address = loopback(port_);
  for (int i = 0; i < 16; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queued_fds_.push_back(fd);
    }
    const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    if (rc != 0 && errno != EINPROGRESS) continue;
    pollfd pfd{fd, POLLOUT, 0};
    if (rc != 0 && ::poll(&pfd, 1, 200) == 0) return;
  }
  throw std::runtime_error("accept queue of the telemetry peer did not fill");
}

bool TelemetryPeer::waitForConnections(int count, std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  while (connections_.load() < count) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TelemetryPeer::Clock::time_point TelemetryPeer::greetingSentAt() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return greeting_sent_;
}

int threadCount() {
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

}  // namespace epson::test
