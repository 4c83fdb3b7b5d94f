// Controller status, Emergency Stop, reset, motors and power mode against the scripted fake.

#include <gtest/gtest.h>

#include <cstdint>
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

// Names parameterised cases after their `name` member.
const char kStatusQuery[] =
    "Print Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)";

class StatusTest : public test::LoggedInSession {};

// --- getControllerStatus ------------------------------------------------------------------------

struct StatusCase {
  const char* name;
  const char* result;
  std::vector<std::int64_t> values;  // in query order; empty when an error is expected
  const char* error;
};

class StatusParseTest : public StatusTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusParseTest, ParsesOrRejectsTheQueryResult) {
  const StatusCase& c = GetParam();
  fake_.respond(exec(kStatusQuery), printed(c.result));
  if (c.values.empty()) {
    EXPECT_EQ(thrownText([&] { robot_.getControllerStatus(); }), c.error);
    EXPECT_TRUE(robot_.isLoggedIn()) << "a parse failure must leave the session alone";
    return;
  }
  const ControllerStatus status = robot_.getControllerStatus();
  const std::vector<std::string> keys = {"stat",           "system_error", "emergency_stopped",
                                         "safeguard_open", "teach_mode",   "control_device",
                                         "robot_info",     "ctrl_info"};
  ASSERT_EQ(status.size(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(status.count(keys[i]), 1u) << keys[i];
    EXPECT_EQ(status.at(keys[i]), c.values[i]) << keys[i];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, StatusParseTest,
    ::testing::Values(
        StatusCase{"PlainCommas", "1,2,3,4,5,6,7,8", {1, 2, 3, 4, 5, 6, 7, 8}, ""},
        StatusCase{"BlanksAroundCommas", " 1 , 2,3 ,4,  5,6,7,8 ", {1, 2, 3, 4, 5, 6, 7, 8}, ""},
        StatusCase{"BlanksOnly", "1 2 3 4 5 6 7 8", {1, 2, 3, 4, 5, 6, 7, 8}, ""},
        StatusCase{"AdjacentCommas", "1,,2,3,4,5,6,7,,8", {1, 2, 3, 4, 5, 6, 7, 8}, ""},
        StatusCase{"WordsAndBases",
                   "True,FALSE,0x10,-2,010,0,9223372036854775807,-1",
                   {1, 0, 16, -2, 8, 0, INT64_MAX, -1},
                   ""},
        StatusCase{"SevenValues",
                   "1,2,3,4,5,6,7",
                   {},
                   "Failed to parse controller status. Expected 8 values, received 7: "
                   "\"1,2,3,4,5,6,7\""},
        StatusCase{"NineValues",
                   "1, 2,3,4,5,6,7,8,9",
                   {},
                   "Failed to parse controller status. Expected 8 values, received 9: "
                   "\"1, 2,3,4,5,6,7,8,9\""},
        StatusCase{"Empty",
                   "",
                   {},
                   "Failed to parse controller status. Expected 8 values, received 0: \"\""},
        StatusCase{"NotANumber",
                   "1,2,3,4,5,yes,7,8",
                   {},
                   "Failed to parse controller status value as an integer: \"yes\""},
        StatusCase{"Fraction",
                   "1,2,3,4,5,6,7,1.5",
                   {},
                   "Failed to parse controller status value as an integer: \"1.5\""}),
    CaseName());

TEST_F(StatusTest, StatusErrorReplyPassesThroughAndKeepsTheSession) {
  fake_.respond(exec(kStatusQuery), "!Execute,99");
  EXPECT_EQ(thrownText([&] { robot_.getControllerStatus(); }),
            "Remote command failed: !Execute,99 (Epson Remote Ethernet error 99: system error or "
            "communication error; no motion error code was returned) (command: " +
                exec(kStatusQuery) + ")");
  EXPECT_TRUE(robot_.isConnected());
  expectNothingSentBefore();
}

// --- isEmergencyStopped -------------------------------------------------------------------------

struct EStopCase {
  const char* name;
  const char* result;
  std::optional<bool> stopped;  // nullopt: parse failure quoting the result
};

class EStopTest : public StatusTest, public ::testing::WithParamInterface<EStopCase> {};

TEST_P(EStopTest, ReadsEStopOn) {
  const EStopCase& c = GetParam();
  fake_.respond(exec("Print EStopOn"), printed(c.result));
  if (c.stopped) {
    EXPECT_EQ(robot_.isEmergencyStopped(), *c.stopped);
  } else {
    EXPECT_EQ(thrownText([&] { robot_.isEmergencyStopped(); }),
              std::string("Failed to parse EStopOn response as a Boolean: \"") + c.result + "\"");
  }
}

INSTANTIATE_TEST_SUITE_P(Replies, EStopTest,
                         ::testing::Values(EStopCase{"One", "1", true},
                                           EStopCase{"MinusOne", "-1", true},
                                           EStopCase{"Zero", "0", false},
                                           EStopCase{"PaddedZero", "  0 ", false},
                                           EStopCase{"PaddedTrue", " True ", true},
                                           EStopCase{"UpperFalse", "FALSE", false},
                                           EStopCase{"Yes", "yes", std::nullopt},
                                           EStopCase{"Fraction", "1.5", std::nullopt},
                                           EStopCase{"TwoValues", "1 0", std::nullopt},
                                           EStopCase{"Empty", "", std::nullopt}),
                         CaseName());

// --- reset and motors -----------------------------------------------------------------------

TEST_F(StatusTest, ResetSendsResetAndAnErrorReplyKeepsTheSession) {
  fake_.respond(exec("Reset"), "#Execute").respond(exec("Reset"), "!Execute,2");
  EXPECT_NO_THROW(robot_.resetController());
  EXPECT_EQ(thrownText([&] { robot_.resetController(); }),
            "Remote command failed: !Execute,2 (command: $Execute,\"Reset\")");
  EXPECT_TRUE(robot_.isLoggedIn());
}

TEST_F(StatusTest, MotorOnErrorFollowsOnlyMotorOn) {
  const std::string refused =
      "Remote command failed: !Execute,4001 (command: $Execute,\"Motor On\")";
  fake_.respond(exec("Motor On"), "!Execute,4001")
      .respond(exec("Motor Off"), "#Execute")
      .respond(exec("Motor Off"), "!Execute,2")
      .respond(exec("Motor On"), "#Execute");

  EXPECT_EQ(robot_.motorOnError(), "");
  EXPECT_EQ(thrownText([&] { robot_.motorOn(); }), refused);
  EXPECT_EQ(robot_.motorOnError(), refused);
  robot_.motorOff();
  EXPECT_EQ(robot_.motorOnError(), refused) << "motorOff must not touch the motor-on error";
  EXPECT_THROW(robot_.motorOff(), std::runtime_error);
  EXPECT_EQ(robot_.motorOnError(), refused) << "a failed motorOff must not touch it either";
  robot_.motorOn();
  EXPECT_EQ(robot_.motorOnError(), "");
}

TEST_F(StatusTest, MotorOnErrorIsEmptiedByANewConnect) {
  fake_.respond(exec("Motor On"), "!Execute,4001").expectClose().login();
  EXPECT_THROW(robot_.motorOn(), std::runtime_error);
  ASSERT_FALSE(robot_.motorOnError().empty());
  robot_.connect("127.0.0.1", fake_.port());
  EXPECT_EQ(robot_.motorOnError(), "");
}

// Which motor commands ran in the session decides whether disconnect switches the motors off.
struct MotorHistoryCase {
  const char* name;
  std::vector<const char*> steps;  // "on", "off", "on-fails"
  bool motorOffAtDisconnect;
};

class DisconnectMotorTest : public StatusTest,
                            public ::testing::WithParamInterface<MotorHistoryCase> {};

TEST_P(DisconnectMotorTest, SendsMotorOffBeforeLogoutOnlyWhenSwitchedOnHere) {
  const MotorHistoryCase& c = GetParam();
  for (const std::string step : c.steps) {
    if (step == "on") {
      fake_.respond(exec("Motor On"), "#Execute");
      robot_.motorOn();
    } else if (step == "on-fails") {
      fake_.respond(exec("Motor On"), "!Execute,4001");
      EXPECT_THROW(robot_.motorOn(), std::runtime_error);
    } else {
      fake_.respond(exec("Motor Off"), "#Execute");
      robot_.motorOff();
    }
  }
  if (c.motorOffAtDisconnect) fake_.respond(exec("Motor Off"), "#Execute");
  fake_.logout().expectClose();
  robot_.disconnect();
  // The script is strict: an extra or missing "Motor Off" before "$Logout" fails it.
  fake_.verify();
}

INSTANTIATE_TEST_SUITE_P(
    Histories, DisconnectMotorTest,
    ::testing::Values(MotorHistoryCase{"Never", {}, false}, MotorHistoryCase{"On", {"on"}, true},
                      MotorHistoryCase{"OnThenOff", {"on", "off"}, false},
                      MotorHistoryCase{"OffThenOn", {"off", "on"}, true},
                      MotorHistoryCase{"FailedOn", {"on-fails"}, false},
                      MotorHistoryCase{"OnThenFailedOn", {"on", "on-fails"}, true},
                      MotorHistoryCase{"OnlyOff", {"off"}, false}),
    CaseName());

TEST_F(StatusTest, MotorsSwitchedOnInAnEarlierSessionAreNotSwitchedOffByTheNextDisconnect) {
  fake_.respond(exec("Motor On"), "#Execute").expectClose().login().logout().expectClose();
  robot_.motorOn();
  robot_.connect("127.0.0.1", fake_.port());  // a new session without logging out of the old
  robot_.disconnect();
}

TEST_F(StatusTest, FailedMotorOffAtDisconnectIsReportedAndLogoutStillRuns) {
  fake_.respond(exec("Motor On"), "#Execute")
      .respond(exec("Motor Off"), "!Execute,2")
      .logout()
      .expectClose();
  robot_.motorOn();
  ::testing::internal::CaptureStderr();
  EXPECT_NO_THROW(robot_.disconnect());
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Failed to turn off motor: Remote command failed: !Execute,2 (command: "
                     "$Execute,\"Motor Off\")\n"),
            std::string::npos)
      << err;
  EXPECT_FALSE(robot_.isConnected());
}

// --- power mode -----------------------------------------------------------------------------

struct PowerReadCase {
  const char* name;
  const char* result;
  std::optional<EpsonPowerMode> mode;
  const char* error;
};

class PowerReadTest : public StatusTest, public ::testing::WithParamInterface<PowerReadCase> {};

TEST_P(PowerReadTest, ReadsPower) {
  const PowerReadCase& c = GetParam();
  fake_.respond(exec("Print Power"), printed(c.result));
  if (c.mode) {
    EXPECT_EQ(robot_.getPowerMode(), *c.mode);
  } else {
    EXPECT_EQ(thrownText([&] { robot_.getPowerMode(); }), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, PowerReadTest,
    ::testing::Values(PowerReadCase{"Zero", "0", EpsonPowerMode::LOW, ""},
                      PowerReadCase{"One", "1", EpsonPowerMode::HIGH, ""},
                      PowerReadCase{"Word", " true ", EpsonPowerMode::HIGH, ""},
                      PowerReadCase{"Two", "2", std::nullopt,
                                    "Epson controller returned an invalid Power mode value: 2"},
                      PowerReadCase{"Negative", "-1", std::nullopt,
                                    "Epson controller returned an invalid Power mode value: -1"},
                      PowerReadCase{
                          "Text", "High", std::nullopt,
                          "Failed to parse controller status value as an integer: \"High\""}),
    CaseName());

struct PowerSetCase {
  const char* name;
  EpsonPowerMode mode;
  const char* statement;
  const char* readBack;
  const char* error;  // empty: success
};

class PowerSetTest : public StatusTest, public ::testing::WithParamInterface<PowerSetCase> {};

TEST_P(PowerSetTest, SendsThenReadsBack) {
  const PowerSetCase& c = GetParam();
  fake_.respond(exec(c.statement), "#Execute").respond(exec("Print Power"), printed(c.readBack));
  EXPECT_EQ(thrownText([&] { robot_.setPowerMode(c.mode); }),
            *c.error ? c.error : "<no exception>");
}

INSTANTIATE_TEST_SUITE_P(
    ReadBacks, PowerSetTest,
    ::testing::Values(PowerSetCase{"LowConfirmed", EpsonPowerMode::LOW, "Power Low", "0", ""},
                      PowerSetCase{"HighConfirmed", EpsonPowerMode::HIGH, "Power High", "1", ""},
                      PowerSetCase{"HighStaysLow", EpsonPowerMode::HIGH, "Power High", "0",
                                   "Epson controller did not enter Power High mode"},
                      PowerSetCase{"LowStaysHigh", EpsonPowerMode::LOW, "Power Low", "1",
                                   "Epson controller did not enter Power Low mode"},
                      PowerSetCase{"ReadBackOutOfRange", EpsonPowerMode::HIGH, "Power High", "7",
                                   "Epson controller returned an invalid Power mode value: 7"},
                      PowerSetCase{"ReadBackGarbage", EpsonPowerMode::LOW, "Power Low", "",
                                   "Failed to parse controller status value as an integer: \"\""}),
    CaseName());

TEST_F(StatusTest, RejectedPowerStatementSkipsTheReadBack) {
  fake_.respond(exec("Power High"), "!Execute,2");
  EXPECT_EQ(thrownText([&] { robot_.setPowerMode(EpsonPowerMode::HIGH); }),
            "Remote command failed: !Execute,2 (command: $Execute,\"Power High\")");
  expectNothingSentBefore();
}

TEST_F(StatusTest, PowerModeOutsideTheEnumerationSendsNothing) {
  try {
    robot_.setPowerMode(static_cast<EpsonPowerMode>(2));
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Unknown Epson power mode");
  }
  expectNothingSentBefore();
}

// --- AccelMax -------------------------------------------------------------------------------

struct AccelCase {
  const char* name;
  const char* result;
  std::int32_t accel;  // 0: the AccelMax parse failure is expected
  std::int32_t decel;
};

class AccelMaxTest : public StatusTest, public ::testing::WithParamInterface<AccelCase> {};

TEST_P(AccelMaxTest, ReadsBothLimits) {
  const AccelCase& c = GetParam();
  fake_.respond(exec("Print AccelMax(1),AccelMax(2)"), printed(c.result));
  if (c.accel == 0) {
    EXPECT_EQ(thrownText([&] { robot_.getPtpMotionLimits(); }),
              std::string("Failed to parse positive AccelMax limits from Epson controller: \"") +
                  c.result + "\"");
    return;
  }
  const PtpMotionLimits limits = robot_.getPtpMotionLimits();
  EXPECT_EQ(limits.speed_percent, 100);
  EXPECT_EQ(limits.acceleration_percent, c.accel);
  EXPECT_EQ(limits.deceleration_percent, c.decel);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, AccelMaxTest,
    ::testing::Values(
        AccelCase{"Typical", "120,120", 120, 120}, AccelCase{"Blanks", " 120 , 80 ", 120, 80},
        AccelCase{"LowestBoth", "1,1", 1, 1},
        AccelCase{"HighestBoth", "2147483647,2147483647", 2147483647, 2147483647},
        AccelCase{"ZeroAccel", "0,120", 0, 0}, AccelCase{"ZeroDecel", "120,0", 0, 0},
        AccelCase{"Negative", "-5,120", 0, 0}, AccelCase{"AboveInt32", "2147483648,120", 0, 0},
        AccelCase{"AboveInt64", "99999999999999999999,1", 0, 0}, AccelCase{"Single", "120", 0, 0},
        AccelCase{"Three", "120,120,120", 0, 0}, AccelCase{"TrailingWord", "120,120 pct", 0, 0},
        AccelCase{"Fraction", "120.5,120", 0, 0}, AccelCase{"Empty", "", 0, 0}),
    CaseName());

}  // namespace
}  // namespace epson
