#pragma once

// Helpers for the telemetry tests besides the shared FakeTelemetryServer.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "fake_controller.h"

namespace epson::test {

// Pushes `packet` every 20 ms to whichever receiver is connected to `server`, until destroyed.
class PeriodicPusher {
 public:
  PeriodicPusher(FakeTelemetryServer& server, std::string packet);
  ~PeriodicPusher();
  PeriodicPusher(const PeriodicPusher&) = delete;
  PeriodicPusher& operator=(const PeriodicPusher&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A loopback listener that accepts one connection and greets it with `greeting`. stall() then
// closes that connection and fills the accept queue, so a reconnection is never answered.
class StallingListener {
 public:
  explicit StallingListener(std::string greeting);
  ~StallingListener();
  StallingListener(const StallingListener&) = delete;
  StallingListener& operator=(const StallingListener&) = delete;

  std::uint16_t port() const { return port_; }
  void stall();

 private:
  int listen_fd_ = -1;
  int conn_fd_ = -1;
  std::vector<int> queued_fds_;
  std::uint16_t port_ = 0;
  std::thread accepter_;
};

// Number of threads of this process.
int threadCount();

}  // namespace epson::test
