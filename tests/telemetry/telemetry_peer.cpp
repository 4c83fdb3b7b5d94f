#include "telemetry_peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <utility>

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

PeriodicPusher::PeriodicPusher(FakeTelemetryServer& server, std::string packet) {
  thread_ = std::thread([this, &server, packet = std::move(packet)] {
    while (!stop_) {
      server.push(packet);  // false while nobody is connected; tried again next round
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
}

PeriodicPusher::~PeriodicPusher() {
  stop_ = true;
  thread_.join();
}

StallingListener::StallingListener(std::string greeting) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof(address);
  if (listen_fd_ < 0 ||
      ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listen_fd_, 1) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("stalling listener cannot listen");
  }
  port_ = ntohs(address.sin_port);
  accepter_ = std::thread([this, greeting = std::move(greeting)] {
    pollfd pfd{listen_fd_, POLLIN, 0};
    if (::poll(&pfd, 1, 5000) <= 0) return;
    conn_fd_ = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn_fd_ >= 0) ::send(conn_fd_, greeting.data(), greeting.size(), MSG_NOSIGNAL);
  });
}

StallingListener::~StallingListener() {
  if (accepter_.joinable()) accepter_.join();
  if (conn_fd_ >= 0) ::close(conn_fd_);
  for (int fd : queued_fds_) ::close(fd);
  ::close(listen_fd_);
}

void StallingListener::stall() {
  accepter_.join();
  // With backlog 1 the queue holds a couple of connections; keep connecting (bounded) until
  // one stays unanswered, which shows the kernel now drops new connection requests.
  const sockaddr_in address = loopback(port_);
  bool full = false;
  for (int i = 0; i < 16 && !full; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    queued_fds_.push_back(fd);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) continue;
    pollfd pfd{fd, POLLOUT, 0};
    full = errno == EINPROGRESS && ::poll(&pfd, 1, 200) == 0;
  }
  if (!full) throw std::runtime_error("accept queue of the stalling listener did not fill");
  ::shutdown(conn_fd_, SHUT_RDWR);
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
