#include "log.h"

#include <epson/log.h>

#include <iostream>
#include <memory>
#include <mutex>

namespace epson {
namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

// Null for the default. Held by shared pointer so a line in flight keeps its sink alive while
// another thread replaces it.
std::shared_ptr<const LogSink>& currentSink() {
  static std::shared_ptr<const LogSink> sink;
  return sink;
}

void writeDefault(LogLevel level, const std::string& line) {
  static std::mutex stream_mutex;  // lines from several threads never interleave
  std::lock_guard<std::mutex> lock(stream_mutex);
  std::ostream& out = level == LogLevel::kInfo ? std::cout : std::cerr;
  out << line << '\n' << std::flush;
}

void emit(LogLevel level, const std::string& line) {
  std::shared_ptr<const LogSink> sink;
  {
    std::lock_guard<std::mutex> lock(sinkMutex());
    sink = currentSink();
  }
  // Called without the lock: a sink may take locks of its own (an interpreter's, say).
  if (sink) {
    (*sink)(level, line);
  } else {
    writeDefault(level, line);
  }
}

}  // namespace

void setLogSink(LogSink sink) {
  std::shared_ptr<const LogSink> next;
  if (sink) next = std::make_shared<const LogSink>(std::move(sink));
  {
    std::lock_guard<std::mutex> lock(sinkMutex());
    currentSink().swap(next);
  }
  // `next` now holds the previous sink, released here outside the lock.
}

namespace log {

void info(const std::string& line) { emit(LogLevel::kInfo, line); }
void error(const std::string& line) { emit(LogLevel::kError, line); }

}  // namespace log
}  // namespace epson
