#include "packet_parser.h"

#include <locale.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "decimal_comma_locale.h"

namespace epson::telemetry {
namespace {

constexpr const char* kFullSample =
    "X=1;Y=2;Z=3;U=4;V=5;W=6;J1agl=11;J2agl=12;J3agl=13;J4agl=14;J5agl=15;J6agl=16";

// The recognised fields of a packet that converts.
PacketFields fieldsOf(std::string_view packet) {
  PacketFields fields;
  EXPECT_EQ(readFields(packet, fields), ValueError::kNone) << packet;
  return fields;
}

struct CaseName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& param_info) const {
    return param_info.param.name;
  }
};

// --- Field splitting and value conversion ---------------------------------------------------

struct FieldsCase {
  const char* name;
  std::string packet;
  FieldMap expected;
};

class ParseFieldsTest : public ::testing::TestWithParam<FieldsCase> {};

TEST_P(ParseFieldsTest, ProducesExpectedFields) {
  EXPECT_EQ(parseFields(GetParam().packet), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Packets, ParseFieldsTest,
    ::testing::Values(
        FieldsCase{"Empty", "", {}}, FieldsCase{"OnlySeparator", ";", {}},
        FieldsCase{"EmptyFieldsAndTrailingSeparator", ";;X=1;;", {{"X", 1}}},
        FieldsCase{"BlanksAroundKeyAndSign", " X = 2.5", {{"X", 2.5}}},
        FieldsCase{"WhiteSpaceInsideKey", "J 1\tagl\v=4", {{"J1agl", 4}}},
        FieldsCase{"LineFeedOfCrLfEndsLandsInFirstKey", "\nJ1agl=3;X=1", {{"J1agl", 3}, {"X", 1}}},
        FieldsCase{"KeysAreCaseSensitive", "x=1", {{"x", 1}}},
        FieldsCase{"LaterDuplicateWins", "X=1;Y=7;X=2", {{"X", 2}, {"Y", 7}}},
        FieldsCase{"FieldWithoutEqualsIgnored", "hello;X=1", {{"X", 1}}},
        // An empty key is skipped before its value is looked at, so "abc" does not fail.
        FieldsCase{"EmptyKeyValueNotConverted", " \t=abc;X=1", {{"X", 1}}},
        FieldsCase{"SuffixAfterNumberIgnored", "X=1.5mm", {{"X", 1.5}}},
        FieldsCase{"ValueSplitAtFirstEquals", "A=3=4", {{"A", 3}}},
        FieldsCase{"HexadecimalValue", "X=0x10", {{"X", 16}}},
        FieldsCase{"ExponentAndSign", "X=-1.25e2", {{"X", -125}}},
        FieldsCase{"Infinity", "X=-inf", {{"X", -std::numeric_limits<double>::infinity()}}}),
    CaseName{});

TEST(ParseFields, NanSpellingIsAValue) {
  const FieldMap fields = parseFields("X=nan");
  ASSERT_EQ(fields.count("X"), 1U);
  EXPECT_TRUE(std::isnan(fields.at("X")));
}

struct FailureCase {
  const char* name;
  std::string packet;
  bool out_of_range;  // otherwise invalid_argument
};

class ParseFieldsFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ParseFieldsFailureTest, ThrowsStodError) {
  const auto& param = GetParam();
  try {
    parseFields(param.packet);
    FAIL() << "no exception for " << param.packet;
  } catch (const std::out_of_range& e) {
    EXPECT_TRUE(param.out_of_range);
    EXPECT_STREQ(e.what(), "stod");
  } catch (const std::invalid_argument& e) {
    EXPECT_FALSE(param.out_of_range);
    EXPECT_STREQ(e.what(), "stod");
  }
}

INSTANTIATE_TEST_SUITE_P(Packets, ParseFieldsFailureTest,
                         ::testing::Values(FailureCase{"Letters", "Y=abc", false},
                                           FailureCase{"BadValueAfterGoodOnes", "X=1;Y=2;Z=oops",
                                                       false},
                                           FailureCase{"EmptyValue", "X=", false},
                                           FailureCase{"BlankValue", "X=  ;Y=1", false},
                                           FailureCase{"Overflow", "X=1e999", true},
                                           FailureCase{"NegativeOverflow", "J1agl=-1e400", true}),
                         CaseName{});

// --- Status values ----------------------------------------------------------------------------

struct StatusValueCase {
  double value;
  std::int64_t expected;
};

class StatusValueTest : public ::testing::TestWithParam<StatusValueCase> {};

TEST_P(StatusValueTest, TruncatesTowardZero) {
  EXPECT_EQ(statusValueToInt(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, StatusValueTest,
    ::testing::Values(StatusValueCase{1.9, 1}, StatusValueCase{-1.9, -1}, StatusValueCase{-0.5, 0},
                      StatusValueCase{524288.0, 524288},
                      // Largest double below 2^63, and -2^63 itself, are the range ends.
                      StatusValueCase{9223372036854774784.0, 9223372036854774784LL},
                      StatusValueCase{-9223372036854775808.0,
                                      std::numeric_limits<std::int64_t>::min()}));

class StatusValueOutOfRangeTest : public ::testing::TestWithParam<double> {};

TEST_P(StatusValueOutOfRangeTest, Throws) {
  EXPECT_THROW(statusValueToInt(GetParam()), std::out_of_range);
}

INSTANTIATE_TEST_SUITE_P(Values, StatusValueOutOfRangeTest,
                         ::testing::Values(9223372036854775808.0, -9223372036854777856.0, 1e300,
                                           std::numeric_limits<double>::infinity(),
                                           -std::numeric_limits<double>::infinity(),
                                           std::numeric_limits<double>::quiet_NaN()));

// --- Status packets -------------------------------------------------------------------------

TEST(DecodeStatus, DecodesBitsOfStatAndCtrlInfo) {
  const auto status =
      decodeStatus(fieldsOf("STAT=524288;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=768"));
  ASSERT_TRUE(status.has_value());
  const ControllerStatus expected = {
      {"stat", 524288},   {"system_error", 0},      {"control_device", 21}, {"robot_info", 0},
      {"ctrl_info", 768}, {"emergency_stopped", 1}, {"safeguard_open", 1},  {"teach_mode", 1}};
  EXPECT_EQ(*status, expected);
}

TEST(DecodeStatus, CtrlInfo256SetsOnlyEmergencyStop) {
  const auto status =
      decodeStatus(fieldsOf("STAT=0;SYSERR=7.9;CTRLDEV=21;ROBOTINFO=3;CTRLINFO=256"));
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->at("emergency_stopped"), 1);
  EXPECT_EQ(status->at("safeguard_open"), 0);
  EXPECT_EQ(status->at("teach_mode"), 0);
  EXPECT_EQ(status->at("system_error"), 7);
}

TEST(DecodeStatus, NegativeWordsDecodeByTwosComplementBits) {
  const auto status =
      decodeStatus(fieldsOf("STAT=-1;SYSERR=0;CTRLDEV=0;ROBOTINFO=0;CTRLINFO=-512"));
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->at("teach_mode"), 1);
  EXPECT_EQ(status->at("emergency_stopped"), 0);  // -512 has bits 0..8 clear
  EXPECT_EQ(status->at("safeguard_open"), 1);
}

class IncompleteStatusTest : public ::testing::TestWithParam<const char*> {};

TEST_P(IncompleteStatusTest, GivesNothing) {
  const PacketFields fields = fieldsOf(GetParam());
  EXPECT_TRUE(fields.isStatus());
  EXPECT_FALSE(decodeStatus(fields).has_value());
}

INSTANTIATE_TEST_SUITE_P(MissingKey, IncompleteStatusTest,
                         ::testing::Values("STAT=1;CTRLDEV=0;ROBOTINFO=0;CTRLINFO=0",
                                           "STAT=1;SYSERR=0;ROBOTINFO=0;CTRLINFO=0",
                                           "STAT=1;SYSERR=0;CTRLDEV=0;CTRLINFO=0",
                                           "STAT=1;SYSERR=0;CTRLDEV=0;ROBOTINFO=0",
                                           // Lower case is another key.
                                           "STAT=1;SYSERR=0;CTRLDEV=0;ROBOTINFO=0;ctrlinfo=0"));

TEST(DecodeStatus, NonFiniteValueThrows) {
  EXPECT_THROW(decodeStatus(fieldsOf("STAT=nan;SYSERR=0;CTRLDEV=0;ROBOTINFO=0;CTRLINFO=0")),
               std::out_of_range);
  EXPECT_THROW(decodeStatus(fieldsOf("STAT=0;SYSERR=0;CTRLDEV=0;ROBOTINFO=0;CTRLINFO=1e19")),
               std::out_of_range);
}

// --- Sample assembly --------------------------------------------------------------------------

TEST(SampleAssembler, OnePacketGivesOneSampleInFieldOrder) {
  SampleAssembler assembler;
  const auto sample = assembler.add(fieldsOf(kFullSample));
  ASSERT_TRUE(sample.has_value());
  EXPECT_EQ(sample->pose, (std::array<double, 6>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(sample->joints, (std::array<double, 6>{11, 12, 13, 14, 15, 16}));
  EXPECT_TRUE(assembler.pending().empty());
}

TEST(SampleAssembler, SplitSampleCompletesOnSecondPacket) {
  SampleAssembler assembler;
  EXPECT_FALSE(assembler.add(fieldsOf("X=1;Y=2;Z=3;U=4;V=5;W=6;J1agl=11")));
  EXPECT_EQ(assembler.pending().size(), 7U);
  const auto sample = assembler.add(fieldsOf("J2agl=12;J3agl=13;J4agl=14;J5agl=15;J6agl=16"));
  ASSERT_TRUE(sample.has_value());
  EXPECT_EQ(sample->joints[0], 11);
  EXPECT_TRUE(assembler.pending().empty());
}

TEST(SampleAssembler, PacketWithXDiscardsIncompleteSample) {
  SampleAssembler assembler;
  EXPECT_FALSE(assembler.add(fieldsOf("X=1;J1agl=11;J2agl=12;J3agl=13;J4agl=14;J5agl=15")));
  // A new "X" drops the old joints: the rest alone is not enough.
  EXPECT_FALSE(assembler.add(fieldsOf("X=9;Y=2;Z=3;U=4;V=5;W=6;J6agl=16")));
  EXPECT_EQ(assembler.pending().size(), 7U);
  EXPECT_EQ(assembler.pending().count("J1agl"), 0U);
  const auto sample = assembler.add(fieldsOf("J1agl=21;J2agl=22;J3agl=23;J4agl=24;J5agl=25"));
  ASSERT_TRUE(sample.has_value());
  EXPECT_EQ(sample->pose[0], 9);
  EXPECT_EQ(sample->joints[0], 21);
}

TEST(SampleAssembler, LaterPacketOverwritesPendingValue) {
  SampleAssembler assembler;
  EXPECT_FALSE(assembler.add(fieldsOf("X=1;Y=2;Z=3;U=4;V=5;W=6")));
  EXPECT_FALSE(assembler.add(fieldsOf("Y=20;J1agl=11;J2agl=12")));
  const auto sample = assembler.add(fieldsOf("J3agl=13;J4agl=14;J5agl=15;J6agl=16"));
  ASSERT_TRUE(sample.has_value());
  EXPECT_EQ(sample->pose[1], 20);
}

TEST(SampleAssembler, UnknownKeysAreCarriedWithoutEffect) {
  SampleAssembler assembler;
  const auto sample = assembler.add(fieldsOf(std::string(kFullSample) + ";TOOL=3;x=99"));
  ASSERT_TRUE(sample.has_value());
  EXPECT_EQ(sample->pose[0], 1);
}

// --- Locale-independent conversion ------------------------------------------------------------

// Texts of every form the conversion must read as C-locale strtod does: signs, white space,
// decimal and hexadecimal forms, exponents (complete or not), inf/nan spellings, subnormals,
// overflow and underflow, and trailing text.
std::vector<std::string> conversionTexts() {
  std::vector<std::string> texts = {"",
                                    " ",
                                    "+",
                                    "-",
                                    ".",
                                    "+-1",
                                    "- 1",
                                    "e5",
                                    "x",
                                    "0x",
                                    "0x.",
                                    "0xg",
                                    "0X.8",
                                    "0x.8p1",
                                    "0x1p",
                                    "0x1.8p3",
                                    "0X1P-3",
                                    "0x1p-1074",
                                    "0x1p-1075",
                                    "0x1.fffffffffffffp1023",
                                    "0x1p1024",
                                    "0x1p-99999",
                                    "0x1p99999",
                                    "1e",
                                    "1e+",
                                    "1E-2",
                                    "1.5mm",
                                    "1,5",
                                    "10.25",
                                    ".5",
                                    "5.",
                                    "-.5e1",
                                    "\t\n\v\f\r 7",
                                    "00012",
                                    "1e-310",
                                    "4.9e-324",
                                    "2.4e-324",
                                    "2.5e-324",
                                    "1e-400",
                                    "0e-999",
                                    "1e308",
                                    "1.8e308",
                                    "-1e999",
                                    "2.2250738585072011e-308",
                                    "0.1000000000000000055511151231257827021181583404541015625",
                                    "123456789012345678901234567890",
                                    "inf",
                                    "-INF",
                                    "Infinity",
                                    "infinit",
                                    "nan",
                                    "-NaN",
                                    "nan(123)",
                                    "nan(",
                                    "nanx"};
  // Round-trip forms of a spread of doubles, written in the C locale.
  double value = 1.0;
  for (int i = 0; i < 200; ++i) {
    value = value * -7.3 + 1e-3 * i;
    if (!std::isfinite(value)) value = 1e-300 * i;
    char text[64];
    std::snprintf(text, sizeof text, i % 2 == 0 ? "%.17g" : "%a", value);
    texts.emplace_back(text);
  }
  return texts;
}

TEST(ValueConversion, AgreesWithCLocaleStrtodOnEveryForm) {
  const locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
  ASSERT_NE(c_locale, nullptr);
  for (const std::string& text : conversionTexts()) {
    errno = 0;
    char* end = nullptr;
    const double expected = strtod_l(text.c_str(), &end, c_locale);
    const bool range_error = errno == ERANGE && (expected == 0.0 || std::isinf(expected));
    double value = -12345.0;
    const ValueError error = toDouble(text, value);
    if (end == text.c_str()) {
      EXPECT_EQ(error, ValueError::kNoNumber) << text;
    } else if (range_error) {
      EXPECT_EQ(error, ValueError::kOutOfRange) << text;
    } else if (std::isnan(expected)) {
      ASSERT_EQ(error, ValueError::kNone) << text;
      EXPECT_TRUE(std::isnan(value)) << text;
      EXPECT_EQ(std::signbit(value), std::signbit(expected)) << text;
    } else {
      ASSERT_EQ(error, ValueError::kNone) << text;
      // Bit-identical, subnormals included (strtod flags those with ERANGE, but they are values).
      EXPECT_EQ(std::memcmp(&value, &expected, sizeof value), 0)
          << text << ": " << value << " != " << expected;
    }
  }
  freelocale(c_locale);
}

TEST(ValueConversion, IgnoresADecimalCommaLocale) {
  const test::DecimalCommaLocale comma;
  if (!comma.active()) GTEST_SKIP() << "no locale with a decimal comma is installed";
  EXPECT_EQ(parseValue("10.25"), 10.25);
  PacketStream stream;
  const PacketEffect effect = stream.feed(std::string(kFullSample) + ";J1agl=10.25");
  ASSERT_EQ(effect.outcome, PacketEffect::Outcome::kSample);
  EXPECT_EQ(effect.sample.joints[0], 10.25);
}

// --- The whole packet rule
// ------------------------------------------------------------------------

TEST(PacketStream, IncompleteStatusBetweenSampleHalvesChangesNothing) {
  PacketStream stream;
  EXPECT_EQ(stream.feed("X=1;Y=2;Z=3;U=4;V=5;W=6;J1agl=11").outcome,
            PacketEffect::Outcome::kPending);
  // Not converted at all: its NaN would otherwise fail the packet and clear the pending half.
  EXPECT_EQ(stream.feed("STAT=nan;SYSERR=0").outcome, PacketEffect::Outcome::kIncompleteStatus);
  const PacketEffect effect = stream.feed("J2agl=12;J3agl=13;J4agl=14;J5agl=15;J6agl=99");
  ASSERT_EQ(effect.outcome, PacketEffect::Outcome::kSample);
  EXPECT_EQ(effect.sample.pose[0], 1);
  EXPECT_EQ(effect.sample.joints, (std::array<double, 6>{11, 12, 13, 14, 15, 99}));
  EXPECT_EQ(stream.feed("STAT=nan;SYSERR=0;CTRLDEV=0;ROBOTINFO=0;CTRLINFO=0").outcome,
            PacketEffect::Outcome::kBadValue);
}

TEST(PacketStream, KeepsOnlyTheTwelveSampleKeysPending) {
  PacketStream stream;
  std::string packet = "X=1;J1agl=2";
  for (int i = 0; i < 10000; ++i) packet += ";K" + std::to_string(i) + "=1";
  EXPECT_EQ(stream.feed(packet).outcome, PacketEffect::Outcome::kPending);
  EXPECT_EQ(stream.assembler().pending(), (FieldMap{{"J1agl", 2}, {"X", 1}}));
}

TEST(PacketStream, SubnormalValueIsASampleANonFiniteOneIsNot) {
  PacketStream stream;
  const PacketEffect effect = stream.feed(std::string(kFullSample) + ";X=1e-310");
  ASSERT_EQ(effect.outcome, PacketEffect::Outcome::kSample);
  EXPECT_EQ(effect.sample.pose[0], 1e-310);
  for (const char* value : {"J1agl=nan", "W=-inf", "J6agl=infinity"}) {
    EXPECT_EQ(stream.feed(std::string(kFullSample) + ";" + value).outcome,
              PacketEffect::Outcome::kNonFinite)
        << value;
    EXPECT_TRUE(stream.assembler().pending().empty()) << value;  // starts over, as a sample does
  }
}

}  // namespace
}  // namespace epson::telemetry
