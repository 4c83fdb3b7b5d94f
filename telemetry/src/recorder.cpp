#include "recorder.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <stdexcept>

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
  row.is_status = true;
  row.sample.host_time = host_time;
  for (std::size_t i = 0; i < row.status.size(); ++i) {
    const auto it = status.find(kStatusColumns[i]);
    if (it != status.end()) row.status[i] = it->second;
  }
  return row;
}

std::string csvHeader() {
  std::string header = "host_time,sequence,J1,J2,J3,J4,J5,J6,X,Y,Z,U,V,W";
  for (const char* column : kStatusColumns) header += std::string(",") + column;
  return header + "\n";
}

void appendCsvRow(std::string& out, const RecordRow& row) {
  appendHostTime(out, row.sample.host_time);
  out += ',';
  if (!row.is_status) appendNumber(out, row.sample.sequence);
  for (const auto* values : {&row.sample.joints, &row.sample.pose}) {
    for (double value : *values) {
      out += ',';
      if (!row.is_status) appendNumber(out, value);
    }
  }
  for (std::int64_t word : row.status) {
    out += ',';
    if (row.is_status) appendNumber(out, word);
  }
  out += '\n';
}

CsvRecorder::CsvRecorder(const std::string& path) : path_(path) {
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) {
    throw std::runtime_error("Cannot open the telemetry recording file " + path + ": " +
                             std::strerror(errno));
  }
  const std::string header = csvHeader();
  if (std::fwrite(header.data(), 1, header.size(), file_) != header.size()) writeFailed_ = true;
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
    if (queue_.size() >= kQueueCapacity) return false;
    queue_.push_back(row);
    full_soon = queue_.size() == kQueueCapacity / 2;
  }
  if (full_soon) wake_.notify_one();
  return true;
}

void CsvRecorder::writeLoop_() {
  std::vector<RecordRow> rows;
  std::string text;
  for (bool last = false; !last;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, kWritePeriod,
                     [this] { return stopping_ || queue_.size() >= kQueueCapacity / 2; });
      last = stopping_;
      rows.swap(queue_);
    }
    text.clear();
    for (const RecordRow& row : rows) appendCsvRow(text, row);
    rows.clear();
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
      writeFailed_ = true;
    }
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
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (writeFailed_ || !closed) {
    throw std::runtime_error("Failed to write the telemetry recording file " + path_);
  }
}

}  // namespace epson::telemetry
