// The rows of a recording: column order, empty cells, event text quoting, numbers as the "C"
// locale writes them whatever the process locale; and a writer that stops at the first failed
// write.

#include "recorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "decimal_comma_locale.h"

namespace epson::telemetry {
namespace {

TEST(CsvRow, SampleAndStatusRowsUnderADecimalCommaLocale) {
  const test::DecimalCommaLocale comma;
  EXPECT_EQ(csvHeader(),
            "host_time,sequence,J1,J2,J3,J4,J5,J6,X,Y,Z,U,V,W,stat,system_error,control_device,"
            "robot_info,ctrl_info,event\n");
  RecordRow sample;
  sample.sample.joints = {0.1, -2.5, 3, 4, 5, 1e-310};
  sample.sample.pose = {412.503, 0, -0.0, 90, 1e21, 180};
  sample.sample.sequence = 42;
  sample.sample.host_time = 12.5;
  std::string text;
  appendCsvRow(text, sample);
  appendCsvRow(text, statusRow({{"stat", 524288},
                                {"system_error", -1},
                                {"control_device", 21},
                                {"robot_info", 0},
                                {"ctrl_info", 768}},
                               13.000000001));
  appendCsvRow(text, eventRow("pause \"P1\",\r\nnow\t", 14.25));
  EXPECT_EQ(text,
            "12.500000000,42,0.1,-2.5,3,4,5,1e-310,412.503,0,-0,90,1e+21,180,,,,,,\n"
            "13.000000001,,,,,,,,,,,,,,524288,-1,21,0,768,\n"
            "14.250000000,,,,,,,,,,,,,,,,,,,\"pause \"\"P1\"\",  now \"\n");
  if (!comma.active()) GTEST_SKIP() << "no locale with a decimal comma is installed";
}

TEST(CsvRecorder, TheFirstFailedWriteEndsTheRecordingAndNamesTheFile) {
  std::mutex mutex;
  std::uint64_t written = 0;
  std::vector<std::string> failures;
  CsvRecorder::Listener listener;
  listener.written = [&](std::uint64_t rows) {
    std::lock_guard<std::mutex> lock(mutex);
    written += rows;
  };
  listener.failed = [&](const std::string& failure) {
    std::lock_guard<std::mutex> lock(mutex);
    failures.push_back(failure);
  };
  CsvRecorder recorder("/dev/full", listener);
  EXPECT_TRUE(recorder.push(eventRow("first", 1.0)));
  // The header's write fails on the writer's first wake, a period after the start.
  for (int i = 0; i < 200 && !recorder.failed(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(recorder.failed());
  EXPECT_FALSE(recorder.push(eventRow("after", 2.0)));
  try {
    recorder.stop();
    ADD_FAILURE() << "stop() hid the failed write";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/dev/full: No space left on device"), std::string::npos)
        << e.what();
  }
  EXPECT_NO_THROW(recorder.stop());  // told once
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(written, 0U);
  ASSERT_EQ(failures.size(), 1U);
  EXPECT_EQ(failures[0], recorder.failure());
}

}  // namespace
}  // namespace epson::telemetry
