#pragma once

// Recording a run to CSV: the row format (pure, testable) and the writer that keeps the disk off
// the receive thread.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <epson/controller_status.h>
#include <epson/telemetry_sample.h>

namespace epson::telemetry {

// One row: a sample, or a status (its five packet words), with its publication time.
struct RecordRow {
  bool is_status = false;
  TelemetrySample sample;
  std::array<std::int64_t, 5> status{};  // stat, system_error, control_device, robot_info,
                                         // ctrl_info
};

RecordRow statusRow(const ControllerStatus& status, double host_time);

// "host_time,sequence,J1,...,J6,X,...,W,stat,system_error,control_device,robot_info,ctrl_info"
// and a line feed.
std::string csvHeader();
// Appends one row and its line feed. A sample row leaves the status columns empty, a status row
// the sequence and pose columns. Numbers are the shortest text that reads back to the same
// double, as the "C" locale writes it; host_time has nanosecond resolution.
void appendCsvRow(std::string& out, const RecordRow& row);

// Writes rows to a file on a thread of its own. push() only appends to a bounded queue under a
// short lock: it never waits for the disk. The writer wakes every kWritePeriod (or sooner when the
// queue fills up), formats what is queued and writes it in one call.
class CsvRecorder {
 public:
  static constexpr std::size_t kQueueCapacity = 1 << 16;  // rows: a minute at 1 kHz

  // Opens (truncates) the file and writes the header. Throws std::runtime_error when the file
  // cannot be opened.
  explicit CsvRecorder(const std::string& path);
  // Stops as stop() does, swallowing its error.
  ~CsvRecorder();
  CsvRecorder(const CsvRecorder&) = delete;
  CsvRecorder& operator=(const CsvRecorder&) = delete;

  // False when the queue is full: the row is not recorded.
  bool push(const RecordRow& row);
  // Writes what is queued, joins the writer and closes the file. Throws std::runtime_error when
  // a write failed. Later calls do nothing.
  void stop();

 private:
  void writeLoop_();

  std::string path_;
  std::FILE* file_ = nullptr;
  std::mutex mutex_;  // guards queue_, stopping_
  std::condition_variable wake_;
  std::vector<RecordRow> queue_;
  bool stopping_ = false;
  bool writeFailed_ = false;  // writer thread only, read after the join
  std::thread writer_;
};

}  // namespace epson::telemetry
