#include "packet_parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

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

}  // namespace
}  // namespace epson::telemetry
