#include "recorder.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace epson::telemetry {
namespace {

constexpr auto kWritePeriod = std::chrono::milliseconds(100);
constexpr const char* kStatusColumns[] = {"stat", "system_error", "control_device", "robot_info",
                                          "ctrl_info"};

template <typename Number>
void appendNumber(std::string& out, Number value) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  if (ec == std::errc()) out.append(text, end);
}

void appendHostTime(std::string& out, double seconds) {
  char text[40];
  const auto [end, ec] =
      std::to_chars(text, text + sizeof text, seconds, std::chars_format::fixed, 9);
  if (ec == std::errc()) out.append(text, end);
}

}  // namespace

RecordRow statusRow(const ControllerStatus& status, double host_time) {
  RecordRow row;
  row.kind = RecordRow::Kind::kStatus;
  row.sample.host_time = host_time;
  for (std::size_t i = 0; i < row.status.size(); ++i) {
    const auto it = status.find(kStatusColumns[i]);
    if (it != status.end()) row.status[i] = it->second;
  }
  return row;
}

RecordRow eventRow(std::string_view text, double host_time) {
  RecordRow row;
  row.kind = RecordRow::Kind::kEvent;
  row.sample.host_time = host_time;
  row.event = text;
  return row;
}

std::string csvHeader() {
  std::string header = "host_time,sequence,J1,J2,J3,J4,J5,J6,X,Y,Z,U,V,W";
  for (const char* column : kStatusColumns) header += std::string(",") + column;
  return header + ",event\n";
}

void appendCsvRow(std::string& out, const RecordRow& row) {
  using Kind = RecordRow::Kind;
  appendHostTime(out, row.sample.host_time);
  out += ',';
  if (row.kind == Kind::kSample) appendNumber(out, row.sample.sequence);
  for (const auto* values : {&row.sample.joints, &row.sample.pose}) {
    for (double value : *values) {
      out += ',';
      if (row.kind == Kind::kSample) appendNumber(out, value);
    }
  }
  for (std::int64_t word : row.status) {
    out += ',';
    if (row.kind == Kind::kStatus) appendNumber(out, word);
  }
  out += ',';
  if (row.kind == Kind::kEvent) {
    out += '"';
    for (char c : row.event) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '"') {
        out += "\"\"";
      } else {
        out += byte < 0x20 || byte == 0x7f ? ' ' : c;
      }
    }
    out += '"';
  }
  out += '\n';
}

CsvRecorder::CsvRecorder(const std::string& path, Listener listener)
    : path_(path), listener_(std::move(listener)) {
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) {
    throw std::runtime_error("Cannot open the telemetry recording file " + path + ": " +
                             std::strerror(errno));
  }
  writer_ = std::thread([this] { writeLoop_(); });
}

CsvRecorder::~CsvRecorder() {
  try {
    stop();
  } catch (...) {
    // Nothing to report to from a destructor; stop() tells a caller that asks.
  }
}

bool CsvRecorder::push(const RecordRow& row) {
  bool full_soon = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_ || queue_.size() >= kQueueCapacity) return false;
    queue_.push_back(row);
    full_soon = queue_.size() == kQueueCapacity / 2;
  }
  if (full_soon) wake_.notify_one();
  return true;
}

std::string CsvRecorder::failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

void CsvRecorder::fail_(const std::string& what) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return;
    failure_ = "Failed to write the telemetry recording file " + path_ + ": " + what +
               "; the recording ended";
    failed_ = true;
    queue_.clear();
  }
  if (listener_.failed) listener_.failed(failure());
}

bool CsvRecorder::write_(const std::string& text) {
  // Flushed at once: stdio would otherwise hold a full disk's error until the file is closed,
  // and the rows would be counted as written meanwhile.
  if (std::fwrite(text.data(), 1, text.size(), file_) == text.size() && std::fflush(file_) == 0) {
    return true;
  }
  fail_(std::strerror(errno));
  return false;
}

void CsvRecorder::writeLoop_() {
  std::vector<RecordRow> rows;
  std::string text = csvHeader();
  for (bool last = false; !last;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, kWritePeriod,
                     [this] { return stopping_ || queue_.size() >= kQueueCapacity / 2; });
      last = stopping_;
      rows.swap(queue_);
    }
    for (const RecordRow& row : rows) appendCsvRow(text, row);
    const std::uint64_t count = rows.size();
    rows.clear();
    if (text.empty()) continue;
    if (!write_(text)) return;
    text.clear();
    if (count != 0 && listener_.written) listener_.written(count);
  }
}

void CsvRecorder::stop() {
  if (file_ == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (writer_.joinable()) writer_.join();
  if (std::fclose(file_) != 0) fail_(std::strerror(errno));
  file_ = nullptr;
  if (failed_) throw std::runtime_error(failure());
}

}  // namespace epson::telemetry
