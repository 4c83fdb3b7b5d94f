// The rows of a recording: column order, empty cells, and numbers as the "C" locale writes them,
// whatever the process locale.

#include "recorder.h"

#include <gtest/gtest.h>

#include <string>

#include "decimal_comma_locale.h"

namespace epson::telemetry {
namespace {

TEST(CsvRow, SampleAndStatusRowsUnderADecimalCommaLocale) {
  const test::DecimalCommaLocale comma;
  EXPECT_EQ(csvHeader(),
            "host_time,sequence,J1,J2,J3,J4,J5,J6,X,Y,Z,U,V,W,stat,system_error,control_device,"
            "robot_info,ctrl_info\n");
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
  EXPECT_EQ(text,
            "12.500000000,42,0.1,-2.5,3,4,5,1e-310,412.503,0,-0,90,1e+21,180,,,,,\n"
            "13.000000001,,,,,,,,,,,,,,524288,-1,21,0,768\n");
  if (!comma.active()) GTEST_SKIP() << "no locale with a decimal comma is installed";
}

}  // namespace
}  // namespace epson::telemetry
