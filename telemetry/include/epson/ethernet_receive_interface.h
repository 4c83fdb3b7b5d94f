#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <epson/controller_status.h>
#include <epson/errors.h>
#include <epson/export.h>
#include <epson/telemetry_sample.h>

namespace epson {

// Receiver of the telemetry stream a controller Background Task pushes (default port 2000).
//
// connect() starts one receive thread that parses packets, keeps the latest sample and
// controller status, and reconnects by itself, kReconnectPause after a loss. The read
// operations may be called from any thread at any time, also before connect() and after
// disconnect(); they only copy under a short lock.
class EPSON_API EthernetReceiveInterface {
 public:
  static constexpr std::uint16_t kDefaultPort = 2000;

  // --- Deadlines -------------------------------------------------------------------------------
  // The messages that state a duration are built from these.
  //
  // One TCP connection attempt, in connect() and in each reconnection. Without a bound, a peer
  // that drops SYNs would hold disconnect() for minutes.
  static constexpr std::chrono::milliseconds kConnectAttemptTimeout{2000};
  // How long connect() waits for the first complete sample.
  static constexpr std::chrono::seconds kReadinessTimeout{2};
  // Pause between a lost connection (or a failed attempt) and the next attempt.
  static constexpr std::chrono::seconds kReconnectPause{1};

  EthernetReceiveInterface();
  // Stops and joins the receive thread; never throws.
  ~EthernetReceiveInterface();
  EthernetReceiveInterface(const EthernetReceiveInterface&) = delete;
  EthernetReceiveInterface& operator=(const EthernetReceiveInterface&) = delete;

  // Returns once the first complete sample has arrived. Throws ConnectionFailedError when the
  // endpoint cannot be resolved or reached, or when no sample arrives within kReadinessTimeout.
  void connect(const std::string& host, std::uint16_t port = kDefaultPort);
  // Stops the receive thread and closes the socket; quiet when not connected.
  void disconnect();
  bool isConnected() const;

  bool hasSample() const;
  // Throws std::runtime_error before the first sample.
  TelemetrySample getSample() const;
  // Seconds since the latest sample; +infinity when there is none.
  double sampleAgeSeconds() const;

  bool hasControllerStatus() const;
  // Throws std::runtime_error before the first status packet.
  ControllerStatus getControllerStatus() const;
  double controllerStatusAgeSeconds() const;

 private:
  class EPSON_LOCAL Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace epson
