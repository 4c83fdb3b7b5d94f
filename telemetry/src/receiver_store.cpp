// What the receive thread publishes from each packet, and everything a caller reads: the latest
// sample and status, the waits for the next sample, the counters and the recording.

#include <limits>
#include <optional>
#include <stdexcept>

#include "receiver_impl.h"

namespace epson {
namespace {

using Clock = std::chrono::steady_clock;
using Outcome = telemetry::PacketEffect::Outcome;

double secondsSince(Clock::time_point then) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - then);
  return static_cast<double>(ns.count()) / 1e9;
}

double steadySeconds(Clock::time_point time) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch());
  return static_cast<double>(ns.count()) / 1e9;
}

Clock::time_point deadlineAfter(std::chrono::nanoseconds timeout) {
  const auto now = Clock::now();
  return timeout >= Clock::time_point::max() - now ? Clock::time_point::max() : now + timeout;
}

// Whether a sample or status has been published since connect().
bool isPresent(std::mutex& mutex, const bool& present) {
  std::lock_guard<std::mutex> lock(mutex);
  return present;
}

// A copy of the latest sample or status, taken under its lock; `none` when there is none yet.
template <typename Value>
Value copyLatest(std::mutex& mutex, const bool& present, const Value& value, const char* none) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!present) throw std::runtime_error(none);
  return value;
}

// Seconds since the latest sample or status was published; +infinity when there is none.
double ageOfLatest(std::mutex& mutex, const bool& present, const Clock::time_point& time) {
  std::lock_guard<std::mutex> lock(mutex);
  return present ? secondsSince(time) : std::numeric_limits<double>::infinity();
}

std::string millisecondsText(std::chrono::nanoseconds duration) {
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count()) +
         " ms";
}

}  // namespace

void EthernetReceiveInterface::Impl::resetStore_() {
  {
    std::lock_guard<std::mutex> lock(sampleMutex_);
    haveSample_ = false;
    sequence_ = 0;
    ++runs_;
  }
  {
    std::lock_guard<std::mutex> lock(statusMutex_);
    haveStatus_ = false;
  }
  {
    std::lock_guard<std::mutex> lock(countersMutex_);
    counters_ = TelemetryCounters{};
  }
  stream_.clear();
}

void EthernetReceiveInterface::Impl::parsePacket_(std::string_view packet) {
  telemetry::PacketEffect effect = stream_.feed(packet);
  const auto now = Clock::now();
  if (effect.outcome == Outcome::kSample) {
    {
      std::lock_guard<std::mutex> lock(sampleMutex_);
      effect.sample.sequence = ++sequence_;
      effect.sample.host_time = steadySeconds(now);
      sample_ = effect.sample;
      sampleTime_ = now;
      haveSample_ = true;
    }
    sampleCv_.notify_all();
  } else if (effect.outcome == Outcome::kStatus) {
    std::lock_guard<std::mutex> lock(statusMutex_);
    status_ = effect.status;
    statusTime_ = now;
    haveStatus_ = true;
  }
  count_(effect, now);
}

void EthernetReceiveInterface::Impl::count_(const telemetry::PacketEffect& effect,
                                            Clock::time_point now) {
  std::lock_guard<std::mutex> lock(countersMutex_);
  ++counters_.packets_received;
  switch (effect.outcome) {
    case Outcome::kBadValue:
      ++counters_.dropped_parse_failure;
      return;
    case Outcome::kIncompleteStatus:
      ++counters_.dropped_incomplete_status;
      break;
    case Outcome::kSample:
      ++counters_.samples_published;
      break;
    case Outcome::kStatus:
      ++counters_.status_published;
      break;
    case Outcome::kPending:
      break;
  }
  ++counters_.packets_parsed;
  if (!recorder_ || (effect.outcome != Outcome::kSample && effect.outcome != Outcome::kStatus)) {
    return;
  }
  telemetry::RecordRow row;
  if (effect.outcome == Outcome::kSample) {
    row.sample = effect.sample;
  } else {
    row = telemetry::statusRow(effect.status, steadySeconds(now));
  }
  if (recorder_->push(row)) {
    ++counters_.recorded_rows;
  } else {
    ++counters_.recording_dropped;
  }
}

void EthernetReceiveInterface::Impl::countOversize_() {
  std::lock_guard<std::mutex> lock(countersMutex_);
  ++counters_.dropped_oversize;
}

void EthernetReceiveInterface::Impl::countConnection_(bool reconnected,
                                                      const std::string& failure) {
  std::lock_guard<std::mutex> lock(countersMutex_);
  if (reconnected) ++counters_.reconnections;
  if (!failure.empty()) counters_.last_connection_error = failure;
}

bool EthernetReceiveInterface::Impl::hasSample() const {
  return isPresent(sampleMutex_, haveSample_);
}

TelemetrySample EthernetReceiveInterface::Impl::getSample() const {
  return copyLatest(sampleMutex_, haveSample_, sample_,
                    "No complete Epson telemetry sample has been received");
}

double EthernetReceiveInterface::Impl::sampleAgeSeconds() const {
  return ageOfLatest(sampleMutex_, haveSample_, sampleTime_);
}

TelemetrySample EthernetReceiveInterface::Impl::waitForSample(
    bool after_latest, std::uint64_t sequence, std::chrono::nanoseconds timeout,
    const std::function<void()>& poll) const {
  const auto deadline = deadlineAfter(timeout);
  std::unique_lock<std::mutex> lock(sampleMutex_);
  // A sequence from before a new connect() is above every current one: take the next sample.
  const std::uint64_t after = after_latest || sequence > sequence_ ? sequence_ : sequence;
  const std::uint64_t run = runs_;
  for (;;) {
    if (haveSample_ && sequence_ > after) return sample_;
    if (stop_ || runs_ != run) {
      throw ConnectionLostError("The Epson telemetry receiver stopped while waiting for a sample");
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      throw TimeoutError("No Epson telemetry sample arrived within " + millisecondsText(timeout));
    }
    if (!poll) {
      sampleCv_.wait_until(lock, deadline);
      continue;
    }
    const auto slice_end = deadline - now > kWaitPollInterval ? now + kWaitPollInterval : deadline;
    if (sampleCv_.wait_until(lock, slice_end) == std::cv_status::timeout) {
      lock.unlock();
      poll();
      lock.lock();
    }
  }
}

bool EthernetReceiveInterface::Impl::hasControllerStatus() const {
  return isPresent(statusMutex_, haveStatus_);
}

ControllerStatus EthernetReceiveInterface::Impl::getControllerStatus() const {
  return copyLatest(statusMutex_, haveStatus_, status_,
                    "No Epson controller-status packet has been received");
}

double EthernetReceiveInterface::Impl::controllerStatusAgeSeconds() const {
  return ageOfLatest(statusMutex_, haveStatus_, statusTime_);
}

TelemetryCounters EthernetReceiveInterface::Impl::counters() const {
  std::lock_guard<std::mutex> lock(countersMutex_);
  return counters_;
}

void EthernetReceiveInterface::Impl::startRecording(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(countersMutex_);
    if (recorder_) throw std::runtime_error("An Epson telemetry recording is already running");
  }
  // Opened outside the lock: the receive thread never waits for a file to open.
  auto recorder = std::make_unique<telemetry::CsvRecorder>(path);
  std::lock_guard<std::mutex> lock(countersMutex_);
  if (recorder_) throw std::runtime_error("An Epson telemetry recording is already running");
  recorder_ = std::move(recorder);
}

void EthernetReceiveInterface::Impl::stopRecording() {
  std::unique_ptr<telemetry::CsvRecorder> recorder;
  {
    std::lock_guard<std::mutex> lock(countersMutex_);
    recorder = std::move(recorder_);
  }
  // Joined outside the lock: the receive thread goes on while the writer drains.
  if (recorder) recorder->stop();
}

bool EthernetReceiveInterface::Impl::isRecording() const {
  std::lock_guard<std::mutex> lock(countersMutex_);
  return recorder_ != nullptr;
}

}  // namespace epson
