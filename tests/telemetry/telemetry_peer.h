#pragma once

// A loopback telemetry pusher for the receiver tests: it accepts one connection at a time,
// greets each new connection with scripted bytes, and pushes more on request.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace epson::test {

class TelemetryPeer {
 public:
  using Clock = std::chrono::steady_clock;

  // Listens on 127.0.0.1 at an ephemeral port. Each accepted connection replaces the previous
  // one and is sent `greeting` after `delay` (nothing when the greeting is empty).
  explicit TelemetryPeer(std::string greeting = {},
                         std::chrono::milliseconds delay = std::chrono::milliseconds(0));
  ~TelemetryPeer();
  TelemetryPeer(const TelemetryPeer&) = delete;
  TelemetryPeer& operator=(const TelemetryPeer&) = delete;

  std::uint16_t port() const { return port_; }
  void setGreeting(std::string greeting);
  // Sends on the current connection; false when there is none or the send fails.
  bool push(const std::string& bytes);
  // Closes the current connection from this side; the next one is accepted as usual.
  void closeConnection();
  // Stops accepting and fills the accept queue, so that a new connect is never answered.
  void stopAccepting();
  int connections() const { return connections_.load(); }
  bool waitForConnections(int count, std::chrono::milliseconds timeout) const;
  // When the greeting of the latest connection was about to be sent.
  Clock::time_point greetingSentAt() const;

 private:
  void acceptLoop_();
  bool sendLocked_(const std::string& bytes);

  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> accepting_{true};
  std::mutex accept_mutex_;  // held across one poll-and-accept step
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;  // guards conn_fd_, greeting_, greeting_sent_, queued_fds_
  int conn_fd_ = -1;
  std::string greeting_;
  std::chrono::milliseconds delay_;
  Clock::time_point greeting_sent_{};
  std::vector<int> queued_fds_;
  std::thread thread_;
};

// Number of threads of this process.
int threadCount();

}  // namespace epson::test
