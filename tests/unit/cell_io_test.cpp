// The texts of cell I/O and the parses of their printed values: every accepted and rejected form.

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "decimal_comma_locale.h"
#include "protocol.h"

namespace epson::protocol {
namespace {

using namespace std::chrono_literals;
constexpr auto kLimit = std::chrono::milliseconds(300000);

TEST(CellIoTexts, EveryStatementAndQuery) {
  EXPECT_EQ(outputBitStatement(8, true), "On 8");
  EXPECT_EQ(outputBitStatement(0, false), "Off 0");
  EXPECT_EQ(memoryBitStatement(3, true), "MemOn 3");
  EXPECT_EQ(memoryBitStatement(511, false), "MemOff 511");
  EXPECT_EQ(outputByteStatement(1, 15), "Out 1,15");
  EXPECT_EQ(outputByteStatement(0, 255), "Out 0,255");
  EXPECT_EQ(outputWordStatement(1, 255), "OutW 1,255");
  EXPECT_EQ(outputWordStatement(2, 65535), "OutW 2,65535");
  EXPECT_EQ(ioQuery(IoRead::kOutputBit, 8), "Print Oport(8)");
  EXPECT_EQ(ioQuery(IoRead::kInputBit, 8), "Print Sw(8)");
  EXPECT_EQ(ioQuery(IoRead::kMemoryBit, 3), "Print MemSw(3)");
  EXPECT_EQ(ioQuery(IoRead::kOutputByte, 1), "Print Out(1)");
  EXPECT_EQ(ioQuery(IoRead::kInputByte, 1), "Print In(1)");
  EXPECT_EQ(ioQuery(IoRead::kOutputWord, 1), "Print OutW(1)");
  EXPECT_EQ(ioQuery(IoRead::kInputWord, 1), "Print InW(1)");
}

TEST(CellIoTexts, WaitsWriteTheirTimeoutInPlainMillisecondsWhateverTheLocale) {
  const test::DecimalCommaLocale comma;
  for (const auto& [seconds, text] :
       std::vector<std::pair<double, std::string>>{{2.5, "2.5"},
                                                   {6, "6"},
                                                   {0.1, "0.1"},
                                                   {0.001, "0.001"},
                                                   {300, "300"},
                                                   {0.0015, "0.002"},
                                                   {1.23449, "1.234"},
                                                   {12.05, "12.05"}}) {
    EXPECT_EQ(waitStatement(IoWait::kInputBit, 8, true, seconds, kLimit),
              "Wait Sw(8) = On, " + text)
        << seconds;
  }
  EXPECT_EQ(waitStatement(IoWait::kMemoryBit, 3, false, 6, kLimit), "Wait MemSw(3) = Off, 6");
  EXPECT_EQ(waitReplyTimeout(2.5, 5000ms), 7500ms);
  EXPECT_EQ(waitReplyTimeout(0.0014, 5000ms), 5001ms);  // the wait the statement says
}

TEST(CellIoTexts, OutOfRangeArgumentsAreRefusedNamingThem) {
  const auto message = [](auto build) -> std::string {
    try {
      build();
    } catch (const std::invalid_argument& e) {
      return e.what();
    }
    return "accepted";
  };
  EXPECT_EQ(message([] { outputBitStatement(-1, true); }), "bit must be 0 or more, not -1");
  EXPECT_EQ(message([] { ioQuery(IoRead::kInputWord, -2); }), "port must be 0 or more, not -2");
  EXPECT_EQ(message([] { outputByteStatement(1, 256); }), "value must be 0 to 255, not 256");
  EXPECT_EQ(message([] { outputByteStatement(1, -1); }), "value must be 0 to 255, not -1");
  EXPECT_EQ(message([] { outputWordStatement(1, 65536); }), "value must be 0 to 65535, not 65536");
  EXPECT_EQ(message([] { outputWordStatement(-1, 0); }), "port must be 0 or more, not -1");
  EXPECT_EQ(message([] { memoryBitStatement(-1, false); }), "bit must be 0 or more, not -1");
  EXPECT_EQ(message([] { waitStatement(IoWait::kMemoryBit, -1, true, 1, kLimit); }),
            "bit must be 0 or more, not -1");
  for (const double timeout :
       {0.0, -1.0, 1e-9, 0.000999, 300.001, std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_EQ(message([&] {
                waitStatement(IoWait::kInputBit, 1, true, timeout, kLimit);
              }).rfind("timeout must be a number of seconds from 0.001 to 300, not ", 0),
              0U)
        << timeout;
  }
}

TEST(CellIoValues, BitValuesInEveryAcceptedSpelling) {
  for (const char* on : {"1", "-1", "True", "TRUE", "true", "On", "ON", "on", " 1 ", "True\r\n"}) {
    EXPECT_TRUE(parseBitValue(on)) << on;
  }
  for (const char* off : {"0", "False", "false", "Off", "OFF", "\t0"}) {
    EXPECT_FALSE(parseBitValue(off)) << off;
  }
  for (const char* bad : {"", " ", "2", "01", "+1", "-0", "yes", "Onn", "1 1", "1,0", "T"}) {
    try {
      parseBitValue(bad);
      ADD_FAILURE() << "accepted \"" << bad << "\"";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("Failed to parse Epson controller I/O bit value: \"") + bad + "\"");
    }
  }
}

TEST(CellIoValues, BytesAndWordsAreDecimalIntegersInRange) {
  EXPECT_EQ(parseIoValue("0", kMaxByteValue), 0);
  EXPECT_EQ(parseIoValue(" 255\r\n", kMaxByteValue), 255);
  EXPECT_EQ(parseIoValue("65535", kMaxWordValue), 65535);
  EXPECT_EQ(parseIoValue("-0", kMaxByteValue), 0);
  for (const char* bad : {"", "256", "-1", "0x10", "1.0", "1e2", "12a", "1 2", "99999999999"}) {
    EXPECT_THROW(parseIoValue(bad, kMaxByteValue), std::runtime_error) << bad;
  }
  EXPECT_THROW(parseIoValue("65536", kMaxWordValue), std::runtime_error);
}

}  // namespace
}  // namespace epson::protocol
