// The log sink: every line reaches the installed sink with its level, from several threads at
// once, and an empty sink restores the plain default lines.

#include <epson/log.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log.h"

namespace epson {
namespace {

TEST(LogSink, ReceivesEveryLineWithItsLevelFromAnyThreadThenRestoresTheDefault) {
  std::mutex mutex;
  std::vector<std::pair<LogLevel, std::string>> lines;
  setLogSink([&](LogLevel level, const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.emplace_back(level, line);
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 250; ++i) {
        log::info("Connected to " + std::to_string(t));
        log::error("Failed " + std::to_string(t));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(lines.size(), 2000U);
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       std::make_pair(LogLevel::kInfo, std::string("Connected to 2"))),
            250);

  setLogSink(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  log::info("Connected to robot:5000");
  log::error("Failed to log out of controller: boom");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Connected to robot:5000\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to log out of controller: boom\n");
  EXPECT_EQ(lines.size(), 2000U);
}

}  // namespace
}  // namespace epson
