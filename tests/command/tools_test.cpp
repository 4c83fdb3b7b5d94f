// Native Tool operations and the TCP override through slot 15, against the scripted fake.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <epson/brevacon.h>

#include "fake_controller.h"
#include "session_fixture.h"

namespace epson {
namespace {

using test::CaseName;
using test::exec;
using test::FakeController;
using test::printed;
using test::thrownText;

std::string definitionQuery(int slot) {
  const std::string n = std::to_string(slot);
  return "Print CX(TLSet(" + n + ")),CY(TLSet(" + n + ")),CZ(TLSet(" + n + ")),CU(TLSet(" + n +
         ")),CV(TLSet(" + n + ")),CW(TLSet(" + n + "))";
}

class ToolsTest : public test::LoggedInSession {
 protected:
  FakeController& query(const std::string& statement, const std::string& result) {
    return fake_.respond(exec(statement), printed(result));
  }
  FakeController& statement(const std::string& text) {
    return fake_.respond(exec(text), "#Execute");
  }
  // The TLDef check and the coordinate query of a defined slot.
  void definitionRead(int slot, const std::string& values) {
    query("Print TLDef(" + std::to_string(slot) + ")", "1");
    query(definitionQuery(slot), values);
  }
};

void expectPose(const std::vector<double>& got, const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_DOUBLE_EQ(got[i], want[i]) << "index " << i;
}

// --- native Tool operations ---------------------------------------------------------------------

struct RangeCase {
  const char* name;
  std::function<void(Brevacon&)> call;
  const char* message;
};

class ToolRangeTest : public ToolsTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(ToolRangeTest, OutOfRangeSendsNothing) {
  const RangeCase& c = GetParam();
  try {
    c.call(robot_);
    ADD_FAILURE() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), c.message);
  }
  expectNothingSentBefore();
}

const char kOneTo15[] = "Tool number must be between 1 and 15";
const char kZeroTo15[] = "Tool number must be between 0 and 15";

INSTANTIATE_TEST_SUITE_P(
    Numbers, ToolRangeTest,
    ::testing::Values(
        RangeCase{"TlSetZero", [](Brevacon& r) { r.tlSet(0, "P1"); }, kOneTo15},
        RangeCase{"TlSetSixteen", [](Brevacon& r) { r.tlSet(16, "P1"); }, kOneTo15},
        // The range is checked before the point expression.
        RangeCase{"TlSetZeroEmpty", [](Brevacon& r) { r.tlSet(0, ""); }, kOneTo15},
        RangeCase{"TlClearZero", [](Brevacon& r) { r.tlClear(0); }, kOneTo15},
        RangeCase{"TlClearSixteen", [](Brevacon& r) { r.tlClear(16); }, kOneTo15},
        RangeCase{"IsDefinedZero", [](Brevacon& r) { r.isToolDefined(0); }, kOneTo15},
        RangeCase{"DefinitionZero", [](Brevacon& r) { r.getToolDefinition(0); }, kOneTo15},
        RangeCase{"DefinitionMinInt",
                  [](Brevacon& r) { r.getToolDefinition(std::numeric_limits<int>::min()); },
                  kOneTo15},
        RangeCase{"SetToolSixteen", [](Brevacon& r) { r.setTool(16); }, kZeroTo15},
        RangeCase{"SetToolMinusOne", [](Brevacon& r) { r.setTool(-1); }, kZeroTo15}),
    CaseName());

TEST_F(ToolsTest, StatementsAtTheEdgesOfTheRange) {
  statement("Tool 0");
  statement("Tool 15");
  statement("TLClr 1");
  statement("TLClr 15");
  statement("TLSet 3, P10");
  statement("TLSet 15,   XY(1,2,3,0,0,0) ");
  robot_.setTool(0);
  robot_.setTool(15);
  robot_.tlClear(1);
  robot_.tlClear(15);
  robot_.tlSet(3, "P10");
  robot_.tlSet(15, "  XY(1,2,3,0,0,0) ");  // blanks are the caller's business: sent unchanged
}

struct PointCase {
  const char* name;
  const char* point;
  const char* message;
};

class TlSetPointTest : public ToolsTest, public ::testing::WithParamInterface<PointCase> {};

TEST_P(TlSetPointTest, RejectsPointsThatCannotBeQuoted) {
  const PointCase& c = GetParam();
  try {
    robot_.tlSet(3, c.point);
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), c.message);
  }
  expectNothingSentBefore();
}

const char kQuotes[] = "TLSet tool_def_point must not contain quotes or line endings";

INSTANTIATE_TEST_SUITE_P(
    Points, TlSetPointTest,
    ::testing::Values(PointCase{"Empty", "", "TLSet tool_def_point must not be empty"},
                      PointCase{"Quote", "P1\" : Motor On : \"", kQuotes},
                      PointCase{"CarriageReturn", "P1\r", kQuotes},
                      PointCase{"LineFeed", "P1\n$Execute,\"Motor On\"", kQuotes},
                      PointCase{"OnlyLineEnd", "\r\n", kQuotes}),
    CaseName());

struct ToolNumberCase {
  const char* name;
  const char* result;
  std::optional<int> tool;
  const char* error;
};

class GetToolTest : public ToolsTest, public ::testing::WithParamInterface<ToolNumberCase> {};

TEST_P(GetToolTest, ReadsTheSelection) {
  const ToolNumberCase& c = GetParam();
  query("Print Tool", c.result);
  if (c.tool) {
    EXPECT_EQ(robot_.getTool(), *c.tool);
  } else {
    EXPECT_EQ(thrownText([&] { robot_.getTool(); }), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, GetToolTest,
    ::testing::Values(ToolNumberCase{"Flange", "0", 0, ""},
                      ToolNumberCase{"Fifteen", " 15 ", 15, ""},
                      ToolNumberCase{"Hex", "0xF", 15, ""},
                      ToolNumberCase{"Sixteen", "16", std::nullopt,
                                     "Controller returned an invalid Tool number: 16"},
                      ToolNumberCase{"MinusOne", "-1", std::nullopt,
                                     "Controller returned an invalid Tool number: -1"},
                      ToolNumberCase{"Huge", "4294967299", std::nullopt,
                                     "Controller returned an invalid Tool number: 4294967299"},
                      ToolNumberCase{
                          "Word", "none", std::nullopt,
                          "Failed to parse controller status value as an integer: \"none\""}),
    CaseName());

TEST_F(ToolsTest, IsToolDefinedIsAnyNonZeroValue) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"0", false}, {"1", true}, {"-1", true}, {"True", true}, {" false ", false}};
  for (const auto& [result, defined] : cases) {
    query("Print TLDef(7)", result);
    EXPECT_EQ(robot_.isToolDefined(7), defined) << result;
  }
}

struct DefinitionCase {
  const char* name;
  const char* result;
  std::vector<double> pose;  // empty: the count error is expected
  int count;
};

class DefinitionTest : public ToolsTest, public ::testing::WithParamInterface<DefinitionCase> {};

TEST_P(DefinitionTest, ParsesSixValues) {
  const DefinitionCase& c = GetParam();
  query("Print TLDef(2)", "1");
  query("Print CX(TLSet(2)),CY(TLSet(2)),CZ(TLSet(2)),CU(TLSet(2)),CV(TLSet(2)),CW(TLSet(2))",
        c.result);
  if (c.pose.empty()) {
    EXPECT_EQ(thrownText([&] { robot_.getToolDefinition(2); }),
              "Failed to parse TLSet definition. Expected 6 values, received " +
                  std::to_string(c.count) + ": \"" + c.result + "\"");
  } else {
    expectPose(robot_.getToolDefinition(2), c.pose);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, DefinitionTest,
    ::testing::Values(
        DefinitionCase{"Commas", "10,-20,150.5,45,0,90", {10, -20, 150.5, 45, 0, 90}, 6},
        DefinitionCase{"Blanks", " 1 2  3 4 5 6 ", {1, 2, 3, 4, 5, 6}, 6},
        DefinitionCase{"Exponents", "1e-3,2E2,-0,4,5,6", {0.001, 200, 0, 4, 5, 6}, 6},
        DefinitionCase{"TrailingWord", "1,2,3,4,5,6 mm", {1, 2, 3, 4, 5, 6}, 6},
        DefinitionCase{"Five", "1,2,3,4,5", {}, 5}, DefinitionCase{"Seven", "1,2,3,4,5,6,7", {}, 7},
        DefinitionCase{"StopsAtWord", "1,2,x,4,5,6", {}, 2}, DefinitionCase{"Empty", "", {}, 0}),
    CaseName());

TEST_F(ToolsTest, UndefinedSlotFailsBeforeTheCoordinateQuery) {
  query("Print TLDef(4)", "0");
  EXPECT_EQ(thrownText([&] { robot_.getToolDefinition(4); }), "Tool 4 is not defined");
  expectNothingSentBefore();
}

// --- getTcpOffset -------------------------------------------------------------------------------

TEST_F(ToolsTest, TcpOffsetOfTheFlangeIsZeroWithoutADefinitionQuery) {
  query("Print Tool", "0");
  expectPose(robot_.getTcpOffset(), {0, 0, 0, 0, 0, 0});
  expectNothingSentBefore();
}

TEST_F(ToolsTest, TcpOffsetConvertsTheSelectedDefinition) {
  query("Print Tool", "3");
  definitionRead(3, "10,-20,150,45,30,90");  // X Y Z in mm, U V W in degrees
  expectPose(robot_.getTcpOffset(), {0.01, -0.02, 0.15, 90, 30, 45});
}

TEST_F(ToolsTest, TcpOffsetOfAnUndefinedSelectedTool) {
  query("Print Tool", "3");
  query("Print TLDef(3)", "0");
  EXPECT_EQ(thrownText([&] { robot_.getTcpOffset(); }), "Tool 3 is not defined");
  expectNothingSentBefore();
}

// --- setTcpOffset and restore -------------------------------------------------------------------

class TcpOverrideTest : public ToolsTest {
 protected:
  // The part of an override after the saving step: define, select, verify.
  // `selected` is the reply to the final Tool check; a definition that already failed the
  // comparison leaves that check out (nullptr).
  void defineAndVerify(const std::string& point, const std::string& readBack,
                       const char* selected = "15") {
    statement("TLSet 15, " + point);
    statement("Tool 15");
    definitionRead(15, readBack);
    if (selected) query("Print Tool", selected);
  }
  // Saving step of the first override.
  void save(const std::string& tool, const std::optional<std::string>& slot15) {
    query("Print Tool", tool);
    query("Print TLDef(15)", slot15 ? "1" : "0");
    if (slot15) definitionRead(15, *slot15);
  }
};

TEST_F(TcpOverrideTest, FirstOverrideWithSlot15DefinedThenRestore) {
  save("3", "1.5,2,3,0.1,0,90");
  defineAndVerify("XY(10,-20,150,45,0,90)", "10,-20,150,45,0,90");
  robot_.setTcpOffset({0.01, -0.02, 0.15, 90, 0, 45});

  query("Print Tool", "15");
  definitionRead(15, "10,-20,150,45,0,90");
  expectPose(robot_.getTcpOffset(), {0.01, -0.02, 0.15, 90, 0, 45});

  statement("TLSet 15, XY(1.5,2,3,0.1,0,90)");
  statement("Tool 3");
  robot_.restoreTcpOffset();
  robot_.restoreTcpOffset();  // nothing left to restore
  expectNothingSentBefore();
}

TEST_F(TcpOverrideTest, SecondOverrideKeepsTheFirstSavedState) {
  save("0", std::nullopt);
  defineAndVerify("XY(0,0,100,0,0,0)", "0,0,100,0,0,0");
  robot_.setTcpOffset({0, 0, 0.1, 0, 0, 0});
  defineAndVerify("XY(0,0,200,0,0,0)", "0,0,200,0,0,0");
  robot_.setTcpOffset({0, 0, 0.2, 0, 0, 0});

  query("Print TLDef(15)", "1");
  statement("TLClr 15");
  statement("Tool 0");
  robot_.restoreTcpOffset();
  expectNothingSentBefore();
}

TEST_F(TcpOverrideTest, ConnectToAnotherControllerForgetsTheSavedToolState) {
  save("3", std::nullopt);
  defineAndVerify("XY(0,0,100,0,0,0)", "0,0,100,0,0,0");
  robot_.setTcpOffset({0, 0, 0.1, 0, 0, 0});
  FakeController other;
  other.login().logout();  // no Tool restore: the saved state belongs to the first controller
  robot_.connect("127.0.0.1", other.port());
  robot_.disconnect();
  other.verify();
}

// What the restore does to slot 15 depends on what it held before the first override and on
// whether it is defined now.
struct RestoreCase {
  const char* name;
  std::optional<std::string> savedSlot15;
  const char* definedNow;  // reply to the restore's TLDef query, when it asks
  std::vector<std::string> slotStatements;
};

class RestoreTest : public TcpOverrideTest, public ::testing::WithParamInterface<RestoreCase> {};

TEST_P(RestoreTest, PutsSlot15AndTheSelectionBack) {
  const RestoreCase& c = GetParam();
  save("7", c.savedSlot15);
  defineAndVerify("XY(1,2,3,0,0,0)", "1,2,3,0,0,0");
  robot_.setTcpOffset({0.001, 0.002, 0.003, 0, 0, 0});

  if (!c.savedSlot15) query("Print TLDef(15)", c.definedNow);
  for (const std::string& s : c.slotStatements) statement(s);
  statement("Tool 7");
  robot_.restoreTcpOffset();
  expectNothingSentBefore();
}

INSTANTIATE_TEST_SUITE_P(
    Slot15, RestoreTest,
    ::testing::Values(RestoreCase{"WasDefined",
                                  "-0.5,1e-05,123.456789012345678,0,-90,180",
                                  "",
                                  {"TLSet 15, XY(-0.5,1e-05,123.456789012346,0,-90,180)"}},
                      RestoreCase{"WasUndefinedNowDefined", std::nullopt, "1", {"TLClr 15"}},
                      RestoreCase{"WasUndefinedStillUndefined", std::nullopt, "0", {}}),
    CaseName());

TEST_F(TcpOverrideTest, RestoreWithoutOverrideSendsNothingEvenWhenDisconnected) {
  robot_.restoreTcpOffset();
  expectNothingSentBefore();
  fake_.logout();
  robot_.disconnect();
  EXPECT_NO_THROW(robot_.restoreTcpOffset());
}

TEST_F(TcpOverrideTest, FailedRestoreKeepsTheSavedStateForAnotherTry) {
  save("2", "1,1,1,0,0,0");
  defineAndVerify("XY(5,5,5,0,0,0)", "5,5,5,0,0,0");
  robot_.setTcpOffset({0.005, 0.005, 0.005, 0, 0, 0});

  statement("TLSet 15, XY(1,1,1,0,0,0)");
  fake_.respond(exec("Tool 2"), "!Execute,2");
  EXPECT_EQ(thrownText([&] { robot_.restoreTcpOffset(); }),
            "Remote command failed: !Execute,2 (command: $Execute,\"Tool 2\")");
  statement("TLSet 15, XY(1,1,1,0,0,0)");
  statement("Tool 2");
  robot_.restoreTcpOffset();
  expectNothingSentBefore();
}

TEST_F(TcpOverrideTest, FailedSavingReadLeavesTheOverrideInactive) {
  fake_.respond(exec("Print Tool"), "!Execute,2");
  EXPECT_THROW(robot_.setTcpOffset({0, 0, 0, 0, 0, 0}), std::runtime_error);
  robot_.restoreTcpOffset();  // nothing saved, so nothing to restore
  // The next override saves again from the start.
  save("4", std::nullopt);
  defineAndVerify("XY(0,0,0,0,0,0)", "0,0,0,0,0,0");
  robot_.setTcpOffset({0, 0, 0, 0, 0, 0});
}

struct TcpValidationCase {
  const char* name;
  std::vector<double> pose;
  const char* message;
};

class TcpValidationTest : public TcpOverrideTest,
                          public ::testing::WithParamInterface<TcpValidationCase> {};

TEST_P(TcpValidationTest, RejectsBeforeAnyCommandAndSavesNothing) {
  const TcpValidationCase& c = GetParam();
  try {
    robot_.setTcpOffset(c.pose);
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), c.message);
  }
  robot_.restoreTcpOffset();
  expectNothingSentBefore();
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const char kSix[] = "TCP offset must contain exactly 6 values";
const char kFinite[] = "TCP offset values must be finite";

INSTANTIATE_TEST_SUITE_P(
    Poses, TcpValidationTest,
    ::testing::Values(TcpValidationCase{"Empty", {}, kSix},
                      TcpValidationCase{"Five", {0, 0, 0, 0, 0}, kSix},
                      TcpValidationCase{"Seven", {0, 0, 0, 0, 0, 0, 0}, kSix},
                      TcpValidationCase{"FiveWithNaN", {kNaN, 0, 0, 0, 0}, kSix},
                      TcpValidationCase{"NaN", {0, 0, 0, 0, 0, kNaN}, kFinite},
                      TcpValidationCase{"Infinity", {kInf, 0, 0, 0, 0, 0}, kFinite},
                      TcpValidationCase{"MinusInfinity", {0, 0, 0, -kInf, 0, 0}, kFinite}),
    CaseName());

// Read-backs around the 0.0001 tolerance, and the final Tool check.
struct VerifyCase {
  const char* name;
  const char* readBack;
  const char* selected;
  bool verified;
};

class TcpVerifyTest : public TcpOverrideTest, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(TcpVerifyTest, ComparesTheReadBackWithTheUnroundedValues) {
  const VerifyCase& c = GetParam();
  save("1", std::nullopt);
  // 1/3 mm is sent rounded to 15 digits; the comparison uses the unrounded value.
  defineAndVerify("XY(0.333333333333333,0,100,30,20,10)", c.readBack, c.selected);
  const std::vector<double> pose = {1.0 / 3000.0, 0, 0.1, 10, 20, 30};
  if (c.verified) {
    EXPECT_NO_THROW(robot_.setTcpOffset(pose));
  } else {
    EXPECT_EQ(thrownText([&] { robot_.setTcpOffset(pose); }),
              "Failed to verify the Epson controller TCP offset");
  }
  // Verified or not, the override is active and the restore returns to Tool 1.
  query("Print TLDef(15)", "1");
  statement("TLClr 15");
  statement("Tool 1");
  robot_.restoreTcpOffset();
}

INSTANTIATE_TEST_SUITE_P(
    ReadBacks, TcpVerifyTest,
    ::testing::Values(
        VerifyCase{"AsSent", "0.333333333333333,0,100,30,20,10", "15", true},
        VerifyCase{"ShortPrint", "0.3333,0,100,30,20,10", "15", true},
        VerifyCase{"WithinOnAngle", "0.333333333333333,0,100,30,20,10.00009", "15", true},
        // Exactly 0.0001 away in decimal, a hair more in binary.
        VerifyCase{"ExactlyAtTolerance", "0.333333333333333,0,100.0001,30,19.9999,10", "15", true},
        VerifyCase{"OffOnX", "0.3332,0,100,30,20,10", nullptr, false},
        VerifyCase{"OffOnZ", "0.333333333333333,0,100.00011,30,20,10", nullptr, false},
        VerifyCase{"AnglesSwapped", "0.333333333333333,0,100,10,20,30", nullptr, false},
        VerifyCase{"OtherToolSelected", "0.333333333333333,0,100,30,20,10", "0", false}),
    CaseName());

TEST_F(TcpOverrideTest, VerifyingReadOfAnUndefinedSlotFails) {
  save("0", std::nullopt);
  statement("TLSet 15, XY(0,0,0,0,0,0)");
  statement("Tool 15");
  query("Print TLDef(15)", "0");
  EXPECT_EQ(thrownText([&] { robot_.setTcpOffset({0, 0, 0, 0, 0, 0}); }), "Tool 15 is not defined");
}

// Each value of the point expression is written like printf "%.15g" in the C locale.
struct FormatCase {
  const char* name;
  std::vector<double> pose;  // TCP units
  const char* point;
};

class ToolPointFormatTest : public TcpOverrideTest,
                            public ::testing::WithParamInterface<FormatCase> {};

TEST_P(ToolPointFormatTest, WritesFifteenSignificantDigits) {
  const FormatCase& c = GetParam();
  save("0", std::nullopt);
  const std::string point = c.point;
  defineAndVerify(point, point.substr(3, point.size() - 4));
  robot_.setTcpOffset(c.pose);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ToolPointFormatTest,
    ::testing::Values(FormatCase{"Whole", {0.01, -0.02, 0.15, 90, 0, 45}, "XY(10,-20,150,45,0,90)"},
                      FormatCase{"Examples",
                                 {0.0001, 0, 0.1, -0.0, 1e-05, 123.456789012345678},
                                 "XY(0.1,0,100,123.456789012346,1e-05,-0)"},
                      FormatCase{"LargeAndTiny",
                                 {1234.5, -2e-8, 0, 1e16, -1e-20, 0.5},
                                 "XY(1234500,-2e-05,0,0.5,-1e-20,1e+16)"},
                      FormatCase{"FifteenDigitsExactly",
                                 {0.123456789012345, 0, 0, 0, 0, 99.9999999999999},
                                 "XY(123.456789012345,0,0,99.9999999999999,0,0)"}),
    CaseName());

// --- restore at disconnect ----------------------------------------------------------------------

TEST_F(TcpOverrideTest, DisconnectRestoresThenSwitchesMotorsOffThenLogsOut) {
  statement("Motor On");
  robot_.motorOn();
  save("5", "9,9,9,0,0,0");
  defineAndVerify("XY(0,0,50,0,0,0)", "0,0,50,0,0,0");
  robot_.setTcpOffset({0, 0, 0.05, 0, 0, 0});

  statement("TLSet 15, XY(9,9,9,0,0,0)");
  statement("Tool 5");
  statement("Motor Off");
  fake_.logout().expectClose();
  robot_.disconnect();
}

TEST_F(TcpOverrideTest, FailedRestoreAtDisconnectIsReportedAndLogoutStillRuns) {
  save("5", std::nullopt);
  defineAndVerify("XY(0,0,50,0,0,0)", "0,0,50,0,0,0");
  robot_.setTcpOffset({0, 0, 0.05, 0, 0, 0});

  fake_.respond(exec("Print TLDef(15)"), "!Execute,2");
  fake_.logout().expectClose();
  ::testing::internal::CaptureStderr();
  EXPECT_NO_THROW(robot_.disconnect());
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Failed to restore Epson TCP state: Remote command failed: !Execute,2 "
                     "(command: $Execute,\"Print TLDef(15)\")\n"),
            std::string::npos)
      << err;
  EXPECT_FALSE(robot_.isConnected());
}

TEST_F(TcpOverrideTest, LostConnectionDiscardsTheSavedState) {
  save("5", std::nullopt);
  defineAndVerify("XY(0,0,50,0,0,0)", "0,0,50,0,0,0");
  robot_.setTcpOffset({0, 0, 0.05, 0, 0, 0});
  fake_.expect(exec("Print Tool")).close().login();
  EXPECT_THROW(robot_.getTool(), std::runtime_error);
  ASSERT_FALSE(robot_.isConnected());

  robot_.connect("127.0.0.1", fake_.port());
  robot_.restoreTcpOffset();  // the override died with the old connection
  expectNothingSentBefore();
}

}  // namespace
}  // namespace epson
