#include "log.h"

#include <iostream>
#include <mutex>

namespace epson::log {
namespace {

std::mutex& streamMutex() {
  static std::mutex m;
  return m;
}

void writeLine(std::ostream& out, const std::string& line) {
  std::lock_guard<std::mutex> lock(streamMutex());
  out << line << '\n' << std::flush;
}

}  // namespace

void info(const std::string& line) { writeLine(std::cout, line); }
void error(const std::string& line) { writeLine(std::cerr, line); }

}  // namespace epson::log
