#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <epson/controller_status.h>
#include <epson/errors.h>
#include <epson/export.h>
#include <epson/telemetry_sample.h>  // also TelemetryCounters

namespace epson {

namespace telemetry {
class SampleStore;
}

// Receiver of the telemetry stream a controller Background Task pushes (default port 2000).
//
// connect() starts one receive thread that parses packets, keeps the latest sample and
// controller status, and reconnects by itself, kReconnectPause after a loss. It also keeps the
// last kSampleRingCapacity samples in a ring, from which each SampleReader takes every sample in
// turn. The read operations may be called from any thread at any time, also before connect()
// and after disconnect(); they only copy under a short lock.
class EPSON_API EthernetReceiveInterface {
 public:
  static constexpr std::uint16_t kDefaultPort = 2000;
  // Samples the ring keeps: about 4 s at a controller's 1 kHz.
  static constexpr std::size_t kSampleRingCapacity = 4096;

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
  // How often a sample wait calls its poll function.
  static constexpr std::chrono::milliseconds kWaitPollInterval{50};

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

  // The first sample published after the call begins. Throws TimeoutError when none comes within
  // `timeout`, and ConnectionLostError when the receiver is not running or disconnect() is called
  // meanwhile. While it waits, `poll` (when given) is called about every kWaitPollInterval
  // without any lock held; an exception it throws ends the wait (the Python module checks for
  // Ctrl-C there).
  TelemetrySample waitForNextSample(std::chrono::nanoseconds timeout,
                                    const std::function<void()>& poll = {}) const;
  // The same for the first sample whose sequence is above `sequence`: the latest one at once when
  // it already is. A caller that falls behind gets the newest and sees the gap in the sequence
  // numbers (a SampleReader gets every sample instead). A `sequence` above the latest one (it came
  // from before a new connect()) waits for the next sample.
  TelemetrySample waitForSampleAfter(std::uint64_t sequence, std::chrono::nanoseconds timeout,
                                     const std::function<void()>& poll = {}) const;

  // Every sample, in order, for one consumer: its own cursor into the ring. The receive thread
  // never waits for a reader; a reader that falls more than kSampleRingCapacity samples behind
  // loses the oldest ones, and counts them. A reader is used by one thread at a time; make one
  // per consumer. It may outlive the receiver (take() then throws ConnectionLostError).
  class EPSON_API SampleReader {
   public:
    SampleReader(SampleReader&&) noexcept;
    SampleReader& operator=(SampleReader&&) noexcept;
    SampleReader(const SampleReader&) = delete;
    SampleReader& operator=(const SampleReader&) = delete;
    ~SampleReader();

    // Every sample published since the previous take() (since sampleReader(), for the first),
    // oldest first. Waits until at least `min_samples` are there, or `max_wait` passes, then
    // returns what is there: with the default 1, at least one if one comes in time, else an
    // empty vector. A consumer that takes batches (min_samples 2 at 1 kHz wakes once per 2 ms,
    // as the second sample of each batch arrives) costs the receive thread and itself one
    // wake-up per batch instead of one per sample. Samples published before a disconnect() are
    // still returned after it; once they are taken, throws ConnectionLostError while the
    // receiver is not running. Also throws it when the receiver stops or connect() restarts it
    // during the wait. A connect() does not end the reader: the next take() returns the samples
    // of the new connection, their sequence starting at 1 again. `poll` as for
    // waitForNextSample.
    std::vector<TelemetrySample> take(std::chrono::nanoseconds max_wait,
                                      std::size_t min_samples = 1,
                                      const std::function<void()>& poll = {});
    // Samples that left the ring before this reader took them.
    std::uint64_t missed() const { return missed_; }

   private:
    friend class EthernetReceiveInterface;
    explicit SampleReader(std::shared_ptr<const telemetry::SampleStore> store);

    std::shared_ptr<const telemetry::SampleStore> store_;
    std::uint64_t next_ = 0;  // ring position of the next sample to take
    std::uint64_t missed_ = 0;
  };
  // A reader whose first take() returns the samples published after this call.
  SampleReader sampleReader() const;

  bool hasControllerStatus() const;
  // Throws std::runtime_error before the first status packet.
  ControllerStatus getControllerStatus() const;
  double controllerStatusAgeSeconds() const;

  // Counters since connect(), taken together; those of the recording belong to the recording
  // and go on across connect() (startRecording() zeroes them).
  TelemetryCounters counters() const;

  // Names a recording in the calls that take one; kAnyRecording is whichever runs.
  using RecordingId = std::uint64_t;
  static constexpr RecordingId kAnyRecording = 0;

  // Writes every published sample and status to `path` as CSV rows, from a writer thread fed by a
  // bounded queue: the receive thread never waits on the disk, and rows that do not fit are
  // counted (counters().recording_dropped). Numbers are written as the "C" locale writes them.
  // The recording may begin before connect() and goes on across it; disconnect() and the
  // destructor end it. The first failed write ends it too: isRecording() turns false and
  // counters().recording_error says why. Returns the recording's id.
  // Throws std::runtime_error when the file cannot be opened or a recording already runs.
  RecordingId startRecording(const std::string& path);
  // Writes what is queued and closes the file; quiet when that recording is not running (a later
  // one is left alone). disconnect() logs what this would throw. Throws std::runtime_error, naming
  // the file, when it could not be written in full.
  void stopRecording(RecordingId recording = kAnyRecording);
  // The longest mark: 4096 characters from Python, whose UTF-8 takes at most four bytes each. A
  // bound keeps every row far below what CSV readers take in one field (Python's csv: 128 KiB).
  static constexpr std::size_t kMaxMarkCharacters = 4096;
  static constexpr std::size_t kMaxMarkBytes = 4 * kMaxMarkCharacters;
  // Writes an event row holding `text` (its host_time is now, on the samples' clock), so a plot
  // can show what the application did when. Throws std::invalid_argument when `text` is longer
  // than kMaxMarkBytes, std::runtime_error when that recording is not running, has failed, or
  // its queue is full.
  void markRecording(const std::string& text, RecordingId recording = kAnyRecording);
  bool isRecording() const;

 private:
  class EPSON_LOCAL Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace epson
