// What the receive thread publishes from each packet, and everything a caller reads: the latest
// sample and status, the waits for the next sample, the counters and the recording.

#include <limits>
#include <stdexcept>
#include <utility>

#include "log.h"
#include "receiver_impl.h"

namespace epson {
namespace {

using Clock = std::chrono::steady_clock;
using Outcome = telemetry::PacketEffect::Outcome;

double steadySeconds(Clock::time_point time) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch());
  return static_cast<double>(ns.count()) / 1e9;
}

}  // namespace

void EthernetReceiveInterface::Impl::resetStore_() {
  // The receive thread is not running: sequence_ and stream_ are ours.
  sequence_ = 0;
  stream_.clear();
  store_->open();
  {
    std::lock_guard<std::mutex> lock(statusMutex_);
    haveStatus_ = false;
  }
  std::lock_guard<std::mutex> lock(countersMutex_);
  // What the recording counted belongs to the recording, which goes on across connect().
  TelemetryCounters fresh;
  fresh.recorded_rows = counters_.recorded_rows;
  fresh.recording_dropped = counters_.recording_dropped;
  fresh.recording_error = std::move(counters_.recording_error);
  counters_ = std::move(fresh);
}

void EthernetReceiveInterface::Impl::parsePacket_(std::string_view packet) {
  telemetry::PacketEffect effect = stream_.feed(packet);
  const auto now = Clock::now();
  if (effect.outcome == Outcome::kSample) {
    // Counted (and queued for a recording) before it is published: a row an application marks
    // once it has seen the sample then follows the sample's row in the file.
    effect.sample.sequence = sequence_ + 1;
    effect.sample.host_time = steadySeconds(now);
  }
  count_(effect, now);
  if (effect.outcome == Outcome::kSample) {
    sequence_ = effect.sample.sequence;
    store_->publish(effect.sample, now);
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

bool EthernetReceiveInterface::Impl::hasControllerStatus() const {
  std::lock_guard<std::mutex> lock(statusMutex_);
  return haveStatus_;
}

ControllerStatus EthernetReceiveInterface::Impl::getControllerStatus() const {
  std::lock_guard<std::mutex> lock(statusMutex_);
  if (!haveStatus_) throw std::runtime_error("No Epson controller-status packet has been received");
  return status_;
}

double EthernetReceiveInterface::Impl::controllerStatusAgeSeconds() const {
  std::lock_guard<std::mutex> lock(statusMutex_);
  if (!haveStatus_) return std::numeric_limits<double>::infinity();
  return std::chrono::duration<double>(Clock::now() - statusTime_).count();
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
      counters_.recorded_rows = 0;
      counters_.recording_dropped = 0;
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
  if (text.size() > kMaxMarkBytes) {
    throw std::invalid_argument("A mark holds at most " + std::to_string(kMaxMarkBytes) +
                                " bytes; this one has " + std::to_string(text.size()));
  }
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
