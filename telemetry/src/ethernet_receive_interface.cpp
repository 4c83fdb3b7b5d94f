#include <epson/ethernet_receive_interface.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>

#include "packet_parser.h"
#include "protocol.h"

namespace epson {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// How often a pending connection attempt looks at the stop flag.
constexpr std::chrono::milliseconds kConnectPollSlice{20};

std::string notReadyMessage() {
  return "Connected to the Epson telemetry port, but no complete six-axis sample was received "
         "within " +
         std::to_string(EthernetReceiveInterface::kReadinessTimeout.count()) +
         " seconds. Check that the controller Background Task is running and continuously "
         "writing all X-W and J1-J6 angle fields.";
}

boost::system::error_code lastSystemError() { return {errno, boost::system::system_category()}; }

double secondsSince(Clock::time_point then) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - then);
  return static_cast<double>(ns.count()) / 1e9;
}

}  // namespace

// Concurrency design.
//
// Threads: the callers' threads (connect, disconnect, the const readers) and, while connected,
// one receive thread that reads the socket, parses and publishes. All socket I/O is blocking;
// the I/O context only owns the socket and resolver services and is never run.
//
// Locks, each guarding its own members:
//   threadMutex_ : receiveThread_, the receive buffer outside the receive thread's life. Held by
//                   connect while starting the thread and by disconnect across join and
//                   final close, so a disconnect from another thread during connect's
//                   readiness wait cannot join the same thread twice.
//   socketMutex_ : socket_ while it is replaced (connectSocket_) or torn down (disconnect).
//                   The receive thread reads without it; while a read may be in progress the
//                   socket is only shut down, never closed, so the object is not written.
//   sampleMutex_ : sample_, sampleTime_, haveSample_; sampleCv_ is the readiness wait.
//   statusMutex_ : status_, statusTime_, haveStatus_.
//   stopMutex_   : only pairs with stopCv_, the interruptible reconnection pause.
// Order: threadMutex_ before socketMutex_; no other lock is ever held with another.
// Receive-thread only (no lock): stream_, discarding_, and the buffer while it runs.
// stop_ and connected_ are sequentially consistent atomics read without a lock.
class EthernetReceiveInterface::Impl {
 public:
  void connect(const std::string& host, std::uint16_t port);
  void disconnect();

  bool isConnected() const { return connected_.load(); }
  bool hasSample() const;
  TelemetrySample getSample() const;
  double sampleAgeSeconds() const;
  bool hasControllerStatus() const;
  ControllerStatus getControllerStatus() const;
  double controllerStatusAgeSeconds() const;

 private:
  void connectSocket_();
  boost::system::error_code connectEndpoint_(const tcp::endpoint& endpoint);
  void receiveLoop_();
  // After a failed read. Returns false when the thread should end.
  bool recoverConnection_();
  void parsePacket_(std::string_view packet);
  void teardownSocket_(bool close);

  asio::io_context io_;
  tcp::socket socket_{io_};
  asio::streambuf receiveBuffer_{telemetry::kMaxPacketBytes};
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

  telemetry::PacketStream stream_;
  mutable std::mutex sampleMutex_;
  std::condition_variable sampleCv_;
  TelemetrySample sample_;
  Clock::time_point sampleTime_;
  bool haveSample_ = false;
  mutable std::mutex statusMutex_;
  ControllerStatus status_;
  Clock::time_point statusTime_;
  bool haveStatus_ = false;
};

void EthernetReceiveInterface::Impl::connect(const std::string& host, std::uint16_t port) {
  disconnect();
  {
    std::lock_guard<std::mutex> lock(sampleMutex_);
    haveSample_ = false;
  }
  {
    std::lock_guard<std::mutex> lock(statusMutex_);
    haveStatus_ = false;
  }
  stream_.clear();
  host_ = host;
  port_ = port;
  stop_ = false;

  connectSocket_();
  {
    std::lock_guard<std::mutex> lock(threadMutex_);
    receiveThread_ = std::thread([this] { receiveLoop_(); });
  }

  bool ready = false;
  {
    std::unique_lock<std::mutex> lock(sampleMutex_);
    const auto deadline = Clock::now() + kReadinessTimeout;
    sampleCv_.wait_until(lock, deadline, [this] { return haveSample_ || stop_.load(); });
    ready = haveSample_;
  }
  if (!ready) {
    disconnect();
    throw ConnectionFailedError(notReadyMessage());
  }
}

void EthernetReceiveInterface::Impl::teardownSocket_(bool close) {
  boost::system::error_code ignored;
  socket_.cancel(ignored);
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
  if (close) socket_.close(ignored);
}

void EthernetReceiveInterface::Impl::disconnect() {
  stop_ = true;
  connected_ = false;
  // Taking each mutex before notifying closes the gap between a waiter's predicate check and
  // its sleep, so neither the readiness wait nor the reconnection pause misses the stop.
  { std::lock_guard<std::mutex> lock(sampleMutex_); }
  sampleCv_.notify_all();
  { std::lock_guard<std::mutex> lock(stopMutex_); }
  stopCv_.notify_all();

  // Shutting down wakes a read blocked on the receive thread; the socket is closed only
  // once that thread is gone.
  {
    std::lock_guard<std::mutex> lock(socketMutex_);
    teardownSocket_(false);
  }
  std::lock_guard<std::mutex> thread_lock(threadMutex_);
  if (receiveThread_.joinable()) receiveThread_.join();
  {
    // Also closes a socket the receive thread opened by reconnecting meanwhile.
    std::lock_guard<std::mutex> lock(socketMutex_);
    teardownSocket_(true);
  }
  // A reconnection that finished just before the join may have raised the flag again.
  connected_ = false;
  receiveBuffer_.consume(receiveBuffer_.size());
  discarding_ = false;
}

boost::system::error_code EthernetReceiveInterface::Impl::connectEndpoint_(
    const tcp::endpoint& endpoint) {
  boost::system::error_code ec;
  socket_.close(ec);
  socket_.open(endpoint.protocol(), ec);
  if (ec) return ec;
  // Asio's own connect waits without a bound even on a non-blocking socket, so the attempt
  // is made on the descriptor and waited for with poll in short slices.
  socket_.non_blocking(true, ec);
  if (ec) return ec;
  const int fd = socket_.native_handle();
  if (::connect(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0) {
    if (errno != EINPROGRESS) return lastSystemError();
    const auto deadline = Clock::now() + kConnectAttemptTimeout;
    for (;;) {
      if (stop_) return asio::error::operation_aborted;
      const auto remaining =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (remaining.count() <= 0) return asio::error::timed_out;
      pollfd pfd{fd, POLLOUT, 0};
      const auto slice = std::min(remaining, kConnectPollSlice);
      const int ready = ::poll(&pfd, 1, static_cast<int>(slice.count()));
      if (ready > 0) break;
      if (ready < 0 && errno != EINTR) return lastSystemError();
    }
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return lastSystemError();
    if (error != 0) return {error, boost::system::system_category()};
  }
  socket_.non_blocking(false, ec);
  return ec;
}

void EthernetReceiveInterface::Impl::connectSocket_() {
  std::lock_guard<std::mutex> lock(socketMutex_);
  boost::system::error_code ec;
  socket_.close(ec);

  const std::string port_text = std::to_string(port_);
  tcp::resolver resolver(io_);
  const auto endpoints = resolver.resolve(host_, port_text, tcp::resolver::flags(), ec);
  if (ec) {
    throw ConnectionFailedError("Failed to resolve Epson telemetry endpoint " +
                             protocol::escapeText(host_) + ":" + port_text + ": " + ec.message());
  }

  boost::system::error_code last_error = asio::error::host_not_found;
  bool connected = false;
  for (const auto& entry : endpoints) {
    last_error = connectEndpoint_(entry.endpoint());
    if (!last_error) {
      connected = true;
      break;
    }
  }
  if (!connected) {
    socket_.close(ec);
    throw ConnectionFailedError("Failed to connect to Epson telemetry at " +
                             protocol::escapeText(host_) + ":" + port_text + ": " +
                             last_error.message());
  }
  socket_.set_option(tcp::no_delay(true), ec);
  connected_ = true;
}

void EthernetReceiveInterface::Impl::receiveLoop_() {
  while (!stop_) {
    boost::system::error_code ec;
    const std::size_t length = asio::read_until(socket_, receiveBuffer_, '\r', ec);
    if (ec == asio::error::not_found) {
      // The buffer reached its bound without a carriage return: drop it all and skip the
      // rest of this packet. Collected fields are dropped too, as for any unreadable packet.
      receiveBuffer_.consume(receiveBuffer_.size());
      discarding_ = true;
      stream_.clear();
      continue;
    }
    if (ec) {
      if (!recoverConnection_()) return;
      continue;
    }
    const std::string_view packet(static_cast<const char*>(receiveBuffer_.data().data()),
                                  length - 1);
    if (discarding_) {
      discarding_ = false;
    } else {
      try {
        parsePacket_(packet);
      } catch (const std::exception&) {
        stream_.clear();
      }
    }
    receiveBuffer_.consume(length);
  }
}

bool EthernetReceiveInterface::Impl::recoverConnection_() {
  connected_ = false;
  if (stop_) return false;
  {
    std::unique_lock<std::mutex> lock(stopMutex_);
    stopCv_.wait_for(lock, kReconnectPause, [this] { return stop_.load(); });
  }
  if (stop_) return false;
  receiveBuffer_.consume(receiveBuffer_.size());
  discarding_ = false;
  try {
    connectSocket_();
  } catch (const std::exception&) {
    // The next read fails at once on the closed socket and brings us back here.
  }
  return true;
}

void EthernetReceiveInterface::Impl::parsePacket_(std::string_view packet) {
  telemetry::PacketEffect effect = stream_.feed(packet);
  if (effect.outcome == telemetry::PacketEffect::Outcome::kStatus) {
    std::lock_guard<std::mutex> lock(statusMutex_);
    status_ = std::move(effect.status);
    statusTime_ = Clock::now();
    haveStatus_ = true;
    return;
  }
  if (effect.outcome != telemetry::PacketEffect::Outcome::kSample) return;
  {
    std::lock_guard<std::mutex> lock(sampleMutex_);
    sample_ = effect.sample;
    sampleTime_ = Clock::now();
    haveSample_ = true;
  }
  sampleCv_.notify_all();
}

bool EthernetReceiveInterface::Impl::hasSample() const {
  std::lock_guard<std::mutex> lock(sampleMutex_);
  return haveSample_;
}

TelemetrySample EthernetReceiveInterface::Impl::getSample() const {
  std::lock_guard<std::mutex> lock(sampleMutex_);
  if (!haveSample_) {
    throw std::runtime_error("No complete Epson telemetry sample has been received");
  }
  return sample_;
}

double EthernetReceiveInterface::Impl::sampleAgeSeconds() const {
  std::lock_guard<std::mutex> lock(sampleMutex_);
  if (!haveSample_) return std::numeric_limits<double>::infinity();
  return secondsSince(sampleTime_);
}

bool EthernetReceiveInterface::Impl::hasControllerStatus() const {
  std::lock_guard<std::mutex> lock(statusMutex_);
  return haveStatus_;
}

ControllerStatus EthernetReceiveInterface::Impl::getControllerStatus() const {
  std::lock_guard<std::mutex> lock(statusMutex_);
  if (!haveStatus_) {
    throw std::runtime_error("No Epson controller-status packet has been received");
  }
  return status_;
}

double EthernetReceiveInterface::Impl::controllerStatusAgeSeconds() const {
  std::lock_guard<std::mutex> lock(statusMutex_);
  if (!haveStatus_) return std::numeric_limits<double>::infinity();
  return secondsSince(statusTime_);
}

EthernetReceiveInterface::EthernetReceiveInterface() : impl_(std::make_unique<Impl>()) {}

EthernetReceiveInterface::~EthernetReceiveInterface() {
  try {
    impl_->disconnect();
  } catch (...) {
    // A destructor must not throw; only mutex or thread failures could end up here.
  }
}

void EthernetReceiveInterface::connect(const std::string& host, std::uint16_t port) {
  impl_->connect(host, port);
}
void EthernetReceiveInterface::disconnect() { impl_->disconnect(); }
bool EthernetReceiveInterface::isConnected() const { return impl_->isConnected(); }
bool EthernetReceiveInterface::hasSample() const { return impl_->hasSample(); }
TelemetrySample EthernetReceiveInterface::getSample() const { return impl_->getSample(); }
double EthernetReceiveInterface::sampleAgeSeconds() const { return impl_->sampleAgeSeconds(); }
bool EthernetReceiveInterface::hasControllerStatus() const { return impl_->hasControllerStatus(); }
ControllerStatus EthernetReceiveInterface::getControllerStatus() const {
  return impl_->getControllerStatus();
}
double EthernetReceiveInterface::controllerStatusAgeSeconds() const {
  return impl_->controllerStatusAgeSeconds();
}

}  // namespace epson
