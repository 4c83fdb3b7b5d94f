#pragma once

// The private state and workers of EthernetReceiveInterface, defined in two files:
//   ethernet_receive_interface.cpp  connect, disconnect, the socket and the receive thread
//   receiver_store.cpp              what a packet publishes, the reads, waits, counters and
//                                   the recording
// The packet rule itself is in packet_parser.h, the samples in sample_store.h, the CSV rows in
// recorder.h.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include <epson/ethernet_receive_interface.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/streambuf.hpp>

#include "packet_parser.h"
#include "recorder.h"
#include "sample_store.h"

namespace epson {

// Concurrency design.
//
// Threads: the callers' threads (connect, disconnect, the const readers) and, while connected,
// one receive thread that reads the socket, parses and publishes. All socket I/O is blocking;
// the I/O context only owns the socket and resolver services and is never run. A recording adds
// the writer thread of its CsvRecorder, which only touches the file.
//
// Locks, each guarding its own members:
//   threadMutex_   : receiveThread_, the receive buffer outside the receive thread's life. Held
//                    by connect while starting the thread and by disconnect across join and
//                    final close, so a disconnect from another thread during connect's
//                    readiness wait cannot join the same thread twice.
//   socketMutex_   : socket_ while it is replaced (connectSocket_) or torn down (disconnect).
//                    The receive thread reads without it; while a read may be in progress the
//                    socket is only shut down, never closed, so the object is not written.
//   store_         : the published samples, behind its own lock (sample_store.h); it is the
//                    readiness wait and every sample wait, and sample readers share it.
//   statusMutex_   : status_, statusTime_, haveStatus_.
//   countersMutex_ : counters_, recorder_ and its id (the recorder's own queue lock is taken
//                    after it; the recorder's writer takes it, holding no other lock).
//   stopMutex_     : only pairs with stopCv_, the interruptible reconnection pause.
// Order: threadMutex_ before socketMutex_; countersMutex_ before the recorder's queue lock; no
// other lock is ever held with another. The receive thread takes a store lock only to publish a
// finished result.
// Receive-thread only (no lock): stream_, discarding_, searched_, sequence_, and the buffer while
// it runs (connect() resets sequence_ before the thread starts).
// stop_ and connected_ are sequentially consistent atomics read without a lock.
//
// Naming: a trailing underscore marks a private worker; all of them run on the receive thread
// or under the caller's connect/disconnect, and take the locks they need themselves.
class EthernetReceiveInterface::Impl {
 public:
  using Clock = std::chrono::steady_clock;

  void connect(const std::string& host, std::uint16_t port);
  // connect() disconnects first, keeping a recording; the caller's disconnect() ends it.
  void disconnect(bool end_recording = true);

  bool isConnected() const { return connected_.load(); }
  const telemetry::SampleStore& store() const { return *store_; }
  std::shared_ptr<const telemetry::SampleStore> sharedStore() const { return store_; }
  bool hasControllerStatus() const;
  ControllerStatus getControllerStatus() const;
  double controllerStatusAgeSeconds() const;
  TelemetryCounters counters() const;
  RecordingId startRecording(const std::string& path);
  void stopRecording(RecordingId recording);
  void markRecording(const std::string& text, RecordingId recording);
  bool isRecording() const;

 private:
  // Connection side (ethernet_receive_interface.cpp).
  void connectSocket_();
  boost::system::error_code connectEndpoint_(const boost::asio::ip::tcp::endpoint& endpoint);
  void receiveLoop_();
  // Reads until the buffer holds a packet: its length, terminator included. not_found when the
  // packet cap is reached without a carriage return.
  boost::system::error_code readPacket_(std::size_t& length);
  // After a failed read. Returns false when the thread should end.
  bool recoverConnection_();
  void teardownSocket_(bool close);

  // Store side (receiver_store.cpp).
  void resetStore_();
  void parsePacket_(std::string_view packet);
  void count_(const telemetry::PacketEffect& effect, Clock::time_point now);
  void countOversize_();
  void countConnection_(bool reconnected, const std::string& failure);

  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_{io_};
  boost::asio::streambuf receiveBuffer_{telemetry::kMaxPacketBytes};
  std::mutex socketMutex_;
  std::thread receiveThread_;
  std::mutex threadMutex_;
  std::atomic<bool> stop_{true};
  std::atomic<bool> connected_{false};
  std::string host_;
  std::uint16_t port_ = kDefaultPort;

  std::mutex stopMutex_;
  std::condition_variable stopCv_;
  // Set when the buffer overflowed: the bytes up to the next carriage return belong to the
  // oversized packet and are dropped.
  bool discarding_ = false;
  std::size_t searched_ = 0;  // leading buffered bytes already known to hold no carriage return
  telemetry::PacketStream stream_;

  const std::shared_ptr<telemetry::SampleStore> store_ =
      std::make_shared<telemetry::SampleStore>(kSampleRingCapacity);
  std::uint64_t sequence_ = 0;  // of the latest published sample; 0 before the first

  mutable std::mutex statusMutex_;
  ControllerStatus status_;
  Clock::time_point statusTime_;
  bool haveStatus_ = false;

  mutable std::mutex countersMutex_;
  TelemetryCounters counters_;
  // A recorder is stopped (its writer joined) only outside countersMutex_: its writer thread
  // takes that lock to count written rows.
  std::unique_ptr<telemetry::CsvRecorder> recorder_;
  RecordingId recordingId_ = kAnyRecording;  // of recorder_
  RecordingId recordings_ = 0;               // started since construction
};

}  // namespace epson
