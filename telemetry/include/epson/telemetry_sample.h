#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace epson {

// One six-axis telemetry sample, values exactly as the controller sent them.
struct TelemetrySample {
  std::array<double, 6> joints{};  // J1..J6, degrees
  std::array<double, 6> pose{};    // native X, Y, Z (mm), U, V, W (degrees)
  // 1 for the first sample published after connect(), then 2, 3, ...: a gap between two samples
  // a reader took is the number of samples it missed.
  std::uint64_t sequence = 0;
  // When the sample was published: steady-clock seconds, the clock sampleAgeSeconds() uses
  // (CLOCK_MONOTONIC, Python's time.monotonic()).
  double host_time = 0.0;
};

// What the receiver has done since connect(): one consistent snapshot of its counters.
struct TelemetryCounters {
  std::uint64_t packets_received = 0;           // packets framed by their carriage return
  std::uint64_t packets_parsed = 0;             // of those, every value converted
  std::uint64_t dropped_parse_failure = 0;      // a value did not convert: packet dropped
  std::uint64_t dropped_oversize = 0;           // longer than the packet cap: dropped unread
  std::uint64_t dropped_incomplete_status = 0;  // a status packet missing a key: ignored
  std::uint64_t dropped_non_finite = 0;  // completed a sample holding NaN or an infinity: dropped
  std::uint64_t samples_published = 0;   // the latest sample's sequence, counted as it is published
  std::uint64_t status_published = 0;
  std::uint64_t reconnections = 0;      // connections re-established after a loss
  std::uint64_t recorded_rows = 0;      // rows written to the recording file
  std::uint64_t recording_dropped = 0;  // rows lost because the writer fell behind
  // Why the recording ended by itself (a write failed; it names the file); empty when it did not.
  std::string recording_error;
  std::string last_connection_error;  // of the latest failed attempt; empty when none failed
};

}  // namespace epson
