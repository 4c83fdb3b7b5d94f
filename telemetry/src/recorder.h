#pragma once

// Recording a run to CSV: the row format (pure, testable) and the writer that keeps the disk off
// the receive thread.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <epson/controller_status.h>
#include <epson/telemetry_sample.h>

namespace epson::telemetry {

// One row: a sample, a status (its five packet words) or an event the application marked, with
// its time (sample.host_time).
struct RecordRow {
  enum class Kind : std::uint8_t { kSample, kStatus, kEvent };
  Kind kind = Kind::kSample;
  TelemetrySample sample;
  std::array<std::int64_t, 5> status{};  // stat, system_error, control_device, robot_info,
                                         // ctrl_info
  std::string event;
};

RecordRow statusRow(const ControllerStatus& status, double host_time);
RecordRow eventRow(std::string_view text, double host_time);

// "host_time,sequence,J1,...,J6,X,...,W,stat,system_error,control_device,robot_info,ctrl_info,
// event" and a line feed.
std::string csvHeader();
// Appends one row and its line feed. Each kind fills only its own columns beside host_time.
// Numbers are the shortest text that reads back to the same double, as the "C" locale writes
// it; host_time has nanosecond resolution. An event's text is always quoted, with quotes doubled
// and line breaks turned into spaces, so every row stays one line any CSV reader splits alike.
void appendCsvRow(std::string& out, const RecordRow& row);

// Writes rows to a file on a thread of its own. push() only appends to a bounded queue under a
// short lock: it never waits for the disk. The writer wakes every kWritePeriod (or sooner when the
// queue fills up), formats what is queued, writes it in one call and flushes, so a full disk is
// found within a period rather than at close. The first failed write ends the recording: nothing
// more is written or queued, and failure() says why.
class CsvRecorder {
 public:
  static constexpr std::size_t kQueueCapacity = 1 << 16;  // rows: a minute at 1 kHz

  // Called on the writer thread, never under the recorder's own lock: `written` rows reached
  // the file; then, once, the failure that ended the recording.
  struct Listener {
    std::function<void(std::uint64_t written)> written;
    std::function<void(const std::string& failure)> failed;
  };

  // Opens (truncates) the file and writes the header. Throws std::runtime_error when the file
  // cannot be opened.
  CsvRecorder(const std::string& path, Listener listener);
  // Stops as stop() does, swallowing its error.
  ~CsvRecorder();
  CsvRecorder(const CsvRecorder&) = delete;
  CsvRecorder& operator=(const CsvRecorder&) = delete;

  // False when the queue is full or the recording has failed: the row is not recorded.
  bool push(const RecordRow& row);
  // Writes what is queued, joins the writer and closes the file. Throws std::runtime_error with
  // failure() when a write failed. Later calls do nothing.
  void stop();

  const std::string& path() const { return path_; }
  bool failed() const { return failed_.load(); }
  // Why the recording failed, naming the file; empty while it has not.
  std::string failure() const;

 private:
  void writeLoop_();
  bool write_(const std::string& text);  // false, with the failure recorded, when it fails
  void fail_(const std::string& what);

  std::string path_;
  Listener listener_;
  std::FILE* file_ = nullptr;
  mutable std::mutex mutex_;  // guards queue_, stopping_, failure_
  std::condition_variable wake_;
  std::vector<RecordRow> queue_;
  bool stopping_ = false;
  std::string failure_;
  std::atomic<bool> failed_{false};
  std::thread writer_;
};

}  // namespace epson::telemetry
