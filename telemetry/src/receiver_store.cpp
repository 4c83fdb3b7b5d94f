// What the receive thread publishes from each packet, and everything a caller reads: the latest
// sample and status, the waits for the next sample, the counters and the recording.

#include <limits>
#include <optional>
#include <stdexcept>

#include "log.h"
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
    // This thread is sequence_'s only writer, so it reads it unlocked. Counted (and queued for a
    // recording) before it is published: a row an application marks once it has seen the
    // sample then follows the sample's row in the file.
    effect.sample.sequence = sequence_ + 1;
    effect.sample.host_time = steadySeconds(now);
  }
  count_(effect, now);
  if (effect.outcome == Outcome::kSample) {
    {
      std::lock_guard<std::mutex> lock(sampleMutex_);
      sequence_ = effect.sample.sequence;
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
    case Outcome::kNonFinite:
      ++counters_.dropped_non_finite;
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
  if (!recorder_ || recorder_->failed() ||
      (effect.outcome != Outcome::kSample && effect.outcome != Outcome::kStatus)) {
    return;
  }
  telemetry::RecordRow row;
  if (effect.outcome == Outcome::kSample) {
    row.sample = effect.sample;
  } else {
    row = telemetry::statusRow(effect.status, steadySeconds(now));
  }
  // recorded_rows grows as the writer reaches the disk, not here.
  if (!recorder_->push(row)) ++counters_.recording_dropped;
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

EthernetReceiveInterface::RecordingId EthernetReceiveInterface::Impl::startRecording(
    const std::string& path) {
  const char* const running = "An Epson telemetry recording is already running";
  std::unique_ptr<telemetry::CsvRecorder> ended;  // one that failed and was never stopped
  {
    std::lock_guard<std::mutex> lock(countersMutex_);
    if (recorder_ && !recorder_->failed()) throw std::runtime_error(running);
    ended = std::move(recorder_);
  }
  if (ended) {
    try {
      ended->stop();
    } catch (const std::exception& e) {
      log::error(e.what());  // its handle's stop() now finds nothing to tell
    }
  }
  telemetry::CsvRecorder::Listener listener;
  listener.written = [this](std::uint64_t rows) {
    std::lock_guard<std::mutex> lock(countersMutex_);
    counters_.recorded_rows += rows;
  };
  listener.failed = [this](const std::string& failure) {
    std::lock_guard<std::mutex> lock(countersMutex_);
    counters_.recording_error = failure;
  };
  // Opened outside the lock: the receive thread never waits for a file to open.
  auto recorder = std::make_unique<telemetry::CsvRecorder>(path, std::move(listener));
  {
    std::lock_guard<std::mutex> lock(countersMutex_);
    if (!recorder_) {
      recorder_ = std::move(recorder);
      recordingId_ = ++recordings_;
      counters_.recording_error.clear();
      return recordingId_;
    }
  }
  // Another caller's recording won the race; ours is stopped outside the lock.
  recorder.reset();
  throw std::runtime_error(running);
}

void EthernetReceiveInterface::Impl::stopRecording(RecordingId recording) {
  std::unique_ptr<telemetry::CsvRecorder> recorder;
  {
    std::lock_guard<std::mutex> lock(countersMutex_);
    if (recording != kAnyRecording && recording != recordingId_) return;
    recorder = std::move(recorder_);
  }
  // Joined outside the lock: the receive thread goes on while the writer drains.
  if (recorder) recorder->stop();
}

void EthernetReceiveInterface::Impl::markRecording(const std::string& text, RecordingId recording) {
  const double now = steadySeconds(Clock::now());
  std::lock_guard<std::mutex> lock(countersMutex_);
  if (!recorder_ || (recording != kAnyRecording && recording != recordingId_)) {
    throw std::runtime_error(recording == kAnyRecording
                                 ? "No Epson telemetry recording is running"
                                 : "This Epson telemetry recording has ended");
  }
  if (recorder_->failed()) throw std::runtime_error(recorder_->failure());
  if (!recorder_->push(telemetry::eventRow(text, now))) {
    ++counters_.recording_dropped;
    throw std::runtime_error("The telemetry recording to " + recorder_->path() +
                             " is behind the stream: the mark was not recorded");
  }
}

bool EthernetReceiveInterface::Impl::isRecording() const {
  std::lock_guard<std::mutex> lock(countersMutex_);
  return recorder_ != nullptr && !recorder_->failed();
}

}  // namespace epson
