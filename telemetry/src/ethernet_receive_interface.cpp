// The connection side of the receiver: connect, disconnect, the socket and the receive thread.
// What a packet publishes, and the reads, are in receiver_store.cpp.

#include <epson/ethernet_receive_interface.h>

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <boost/asio/connect.hpp>

#include "log.h"
#include "protocol.h"
#include "receiver_impl.h"

namespace epson {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// Bytes asked of the socket per read.
constexpr std::size_t kReadChunk = std::size_t{16} * 1024;
// How often a pending connection attempt looks at the stop flag.
constexpr std::chrono::milliseconds kConnectPollSlice{20};
// At most 15 characters: the kernel's limit.
constexpr const char* kReceiveThreadName = "epson-telemetry";

std::string notReadyMessage() {
  return "Connected to the Epson telemetry port, but no complete six-axis sample was received "
         "within " +
         std::to_string(EthernetReceiveInterface::kReadinessTimeout.count()) +
         " seconds. Check that the controller Background Task is running and continuously "
         "writing all X-W and J1-J6 angle fields.";
}

boost::system::error_code lastSystemError() { return {errno, boost::system::system_category()}; }

}  // namespace

void EthernetReceiveInterface::Impl::connect(const std::string& host, std::uint16_t port) {
  // A recording started beforehand is the caller's: it goes on into the new connection.
  disconnect(false);
  resetStore_();
  host_ = host;
  port_ = port;
  stop_ = false;

  try {
    connectSocket_();
  } catch (const std::exception& e) {
    store_->close();  // no thread will publish: waits end now, not at their timeouts
    countConnection_(false, e.what());
    throw;
  }
  {
    std::lock_guard<std::mutex> lock(threadMutex_);
    receiveThread_ = std::thread([this] { receiveLoop_(); });
  }

  if (!store_->waitForFirst(Clock::now() + kReadinessTimeout)) {
    disconnect(false);
    throw ConnectionFailedError(notReadyMessage());
  }
}

void EthernetReceiveInterface::Impl::teardownSocket_(bool close) {
  boost::system::error_code ignored;
  socket_.cancel(ignored);
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
  if (close) socket_.close(ignored);
}

void EthernetReceiveInterface::Impl::disconnect(bool end_recording) {
  stop_ = true;
  connected_ = false;
  // Ends the readiness wait and every sample wait. Taking stopMutex_ before notifying closes
  // the gap between the reconnection pause's predicate check and its sleep.
  store_->close();
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
  searched_ = 0;
  discarding_ = false;
  if (!end_recording) return;
  try {
    stopRecording(kAnyRecording);
  } catch (const std::exception& e) {
    // disconnect() throws nothing, but rows that never reached the disk must not pass unsaid.
    log::error(e.what());
  }
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
                                protocol::escapeText(host_) + ":" + port_text + ": " +
                                ec.message());
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

boost::system::error_code EthernetReceiveInterface::Impl::readPacket_(std::size_t& length) {
  // A plain blocking recv on the descriptor: one system call from the packet's arrival to its
  // bytes, and the buffer is searched only where it grew.
  for (;;) {
    const auto data = receiveBuffer_.data();
    const char* begin = static_cast<const char*>(data.data());
    const void* cr = std::memchr(begin + searched_, '\r', data.size() - searched_);
    if (cr != nullptr) {
      length = static_cast<std::size_t>(static_cast<const char*>(cr) - begin) + 1;
      searched_ = 0;
      return {};
    }
    searched_ = data.size();
    if (data.size() >= telemetry::kMaxPacketBytes) return asio::error::not_found;
    const auto space =
        receiveBuffer_.prepare(std::min(kReadChunk, telemetry::kMaxPacketBytes - data.size()));
    const ssize_t n = ::recv(socket_.native_handle(), space.data(), space.size(), 0);
    if (n > 0) {
      receiveBuffer_.commit(static_cast<std::size_t>(n));
    } else if (n == 0) {
      return asio::error::eof;
    } else if (errno != EINTR) {
      return lastSystemError();
    }
  }
}

void EthernetReceiveInterface::Impl::receiveLoop_() {
  // Named, so top -H, perf and the benchmarks find it among a host process's threads.
  pthread_setname_np(pthread_self(), kReceiveThreadName);
  while (!stop_) {
    std::size_t length = 0;
    const boost::system::error_code ec = readPacket_(length);
    if (ec == asio::error::not_found) {
      // The buffer reached its bound without a carriage return: drop it all and skip the
      // rest of this packet. Collected fields are dropped too, as for any unreadable packet.
      receiveBuffer_.consume(receiveBuffer_.size());
      searched_ = 0;
      if (!discarding_) countOversize_();
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
  searched_ = 0;
  discarding_ = false;
  try {
    connectSocket_();
    countConnection_(true, std::string());
  } catch (const std::exception& e) {
    // The next read fails at once on the closed socket and brings us back here.
    countConnection_(false, e.what());
  }
  return true;
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
bool EthernetReceiveInterface::hasSample() const { return impl_->store().hasSample(); }
TelemetrySample EthernetReceiveInterface::getSample() const { return impl_->store().latest(); }
double EthernetReceiveInterface::sampleAgeSeconds() const { return impl_->store().ageSeconds(); }
bool EthernetReceiveInterface::hasControllerStatus() const { return impl_->hasControllerStatus(); }
ControllerStatus EthernetReceiveInterface::getControllerStatus() const {
  return impl_->getControllerStatus();
}
double EthernetReceiveInterface::controllerStatusAgeSeconds() const {
  return impl_->controllerStatusAgeSeconds();
}
TelemetrySample EthernetReceiveInterface::waitForNextSample(
    std::chrono::nanoseconds timeout, const std::function<void()>& poll) const {
  return impl_->store().waitForSample(true, 0, timeout, poll, kWaitPollInterval);
}
TelemetrySample EthernetReceiveInterface::waitForSampleAfter(
    std::uint64_t sequence, std::chrono::nanoseconds timeout,
    const std::function<void()>& poll) const {
  return impl_->store().waitForSample(false, sequence, timeout, poll, kWaitPollInterval);
}

EthernetReceiveInterface::SampleReader EthernetReceiveInterface::sampleReader() const {
  return SampleReader(impl_->sharedStore());
}
EthernetReceiveInterface::SampleReader::SampleReader(
    std::shared_ptr<const telemetry::SampleStore> store)
    : store_(std::move(store)), next_(store_->position()) {}
EthernetReceiveInterface::SampleReader::SampleReader(SampleReader&&) noexcept = default;
EthernetReceiveInterface::SampleReader& EthernetReceiveInterface::SampleReader::operator=(
    SampleReader&&) noexcept = default;
EthernetReceiveInterface::SampleReader::~SampleReader() = default;
std::vector<TelemetrySample> EthernetReceiveInterface::SampleReader::take(
    std::chrono::nanoseconds max_wait, std::size_t min_samples, const std::function<void()>& poll) {
  std::vector<TelemetrySample> taken;
  store_->take(next_, missed_, taken, max_wait, min_samples, poll, kWaitPollInterval);
  return taken;
}
TelemetryCounters EthernetReceiveInterface::counters() const { return impl_->counters(); }
EthernetReceiveInterface::RecordingId EthernetReceiveInterface::startRecording(
    const std::string& path) {
  return impl_->startRecording(path);
}
void EthernetReceiveInterface::stopRecording(RecordingId recording) {
  impl_->stopRecording(recording);
}
void EthernetReceiveInterface::markRecording(const std::string& text, RecordingId recording) {
  impl_->markRecording(text, recording);
}
bool EthernetReceiveInterface::isRecording() const { return impl_->isRecording(); }

}  // namespace epson
