// Pure protocol logic: framing rules, value and reply parsing, number formatting, statements.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "decimal_comma_locale.h"
#include "protocol.h"
#include "reply_stream.h"

namespace epson::protocol {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

template <typename Exception, typename F>
std::string messageOf(F&& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.what();
  }
  ADD_FAILURE() << "expected an exception";
  return {};
}

TEST(Framing, ExpectedPrefixAndRedaction) {
  EXPECT_EQ(expectedPrefix("$Login,secret"), "#Login");
  EXPECT_EQ(expectedPrefix("$Logout"), "#Logout");
  EXPECT_EQ(expectedPrefix("$Execute,\"Go P1, CP\""), "#Execute");
  EXPECT_EQ(expectedPrefix("$Pause"), "#Pause");
  EXPECT_EQ(shownCommand("$Login,secret"), "$Login,<redacted>");
  EXPECT_EQ(shownCommand("$Login,"), "$Login,<redacted>");
  EXPECT_EQ(shownCommand("$Logout"), "$Logout");
}

ConnectOptions connectOptions(std::chrono::milliseconds attempt_timeout, int attempts,
                              std::chrono::milliseconds retry_pause) {
  ConnectOptions options;
  options.attempt_timeout = attempt_timeout;
  options.attempts = attempts;
  options.retry_pause = retry_pause;
  return options;
}

TEST(ConnectOptionsCheck, DefaultsAndBoundsAreAccepted) {
  const ConnectOptions defaults;
  EXPECT_EQ(defaults.attempt_timeout, Brevacon::kConnectAttemptTimeout);
  EXPECT_EQ(defaults.attempts, Brevacon::kConnectAttempts);
  EXPECT_EQ(defaults.retry_pause, Brevacon::kRetryPause);
  using std::chrono::milliseconds;
  for (const ConnectOptions& options :
       {defaults, connectOptions(milliseconds(1), 1, milliseconds(0)),
        connectOptions(Brevacon::kMaxConnectWait, std::numeric_limits<int>::max(),
                       Brevacon::kMaxConnectWait)}) {
    EXPECT_NO_THROW(checkConnectOptions(options));
  }
}

TEST(ConnectOptionsCheck, OutOfRangeNamesTheField) {
  using std::chrono::milliseconds;
  const milliseconds too_long = Brevacon::kMaxConnectWait + milliseconds(1);
  const std::string timeout = "attempt_timeout must be more than 0 s and at most 86400 s";
  const std::string pause = "retry_pause must be at least 0 s and at most 86400 s";
  const struct {
    ConnectOptions options;
    std::string message;
  } cases[] = {
      {connectOptions(milliseconds(1000), 0, milliseconds(0)), "attempts must be at least 1"},
      {connectOptions(milliseconds(1000), std::numeric_limits<int>::min(), milliseconds(0)),
       "attempts must be at least 1"},
      {connectOptions(milliseconds(0), 1, milliseconds(0)), timeout},
      {connectOptions(milliseconds(-1), 1, milliseconds(0)), timeout},
      {connectOptions(too_long, 1, milliseconds(0)), timeout},
      {connectOptions(milliseconds::max(), 1, milliseconds(0)), timeout},
      {connectOptions(milliseconds(1000), 1, milliseconds(-1)), pause},
      {connectOptions(milliseconds(1000), 1, too_long), pause},
      {connectOptions(milliseconds(1000), 1, milliseconds::min()), pause},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(messageOf<std::invalid_argument>([&] { checkConnectOptions(c.options); }), c.message);
  }
}

TEST(Replies, ErrorMessagesCarryCodeNoteAndShownCommand) {
  const std::string note =
      " (Epson Remote Ethernet error 99: system error or communication error; no motion error "
      "code was returned)";
  EXPECT_EQ(errorReplyMessage("!Execute,99", "$Execute,\"Go P1\""),
            "Remote command failed: !Execute,99" + note + " (command: $Execute,\"Go P1\")");
  EXPECT_EQ(errorReplyMessage("!Execute,99,detail", "$Pause"),
            "Remote command failed: !Execute,99,detail" + note + " (command: $Pause)");
  EXPECT_EQ(errorReplyMessage("!Execute,2", "$Pause"),
            "Remote command failed: !Execute,2 (command: $Pause)");
  EXPECT_EQ(errorReplyMessage("!Execute", "$Pause"),
            "Remote command failed: !Execute (command: $Pause)");
  EXPECT_EQ(errorReplyMessage("!Execute,199", "$Pause"),
            "Remote command failed: !Execute,199 (command: $Pause)");
  EXPECT_EQ(errorReplyMessage("!Login,11", "$Login,hunter2"),
            "Remote command failed: !Login,11 (command: $Login,<redacted>)");
}

TEST(Replies, ErrorCodeIsTheNumberAfterTheFirstComma) {
  EXPECT_EQ(errorCode("!Execute,31"), 31);
  EXPECT_EQ(errorCode("!Execute,99,detail"), 99);
  EXPECT_EQ(errorCode("!Execute"), std::nullopt);
  EXPECT_EQ(errorCode("!Execute,"), std::nullopt);
  EXPECT_EQ(errorCode("!Execute,E-stop"), std::nullopt);
  EXPECT_EQ(errorCode("!Execute,99999999999"), std::nullopt);
}

TEST(Replies, ClassificationAndExecuteResult) {
  EXPECT_EQ(classifyReply(""), ReplyKind::kEmpty);
  EXPECT_EQ(classifyReply("#Execute"), ReplyKind::kSuccess);
  EXPECT_EQ(classifyReply("!Execute,1"), ReplyKind::kError);
  EXPECT_EQ(classifyReply("Execute"), ReplyKind::kInvalid);
  EXPECT_EQ(extractExecuteResult("#Execute,\"1 2 3\""), "1 2 3");
  EXPECT_EQ(extractExecuteResult("#Execute,\"\""), "");
  EXPECT_EQ(extractExecuteResult("#Execute,\"a\nb\""), "a\nb");
  EXPECT_EQ(extractExecuteResult("#Execute,\"say \"hi\"\""), "say \"hi\"");
  EXPECT_EQ(messageOf<std::runtime_error>([] { extractExecuteResult("#Execute,1"); }),
            "Unexpected Execute response: #Execute,1");
  EXPECT_EQ(messageOf<std::runtime_error>([] { extractExecuteResult("#Execute,\"1"); }),
            "Unexpected Execute response: #Execute,\"1");
}

struct IntCase {
  const char* text;
  std::int64_t value;
};
class StatusValueAccepts : public ::testing::TestWithParam<IntCase> {};
TEST_P(StatusValueAccepts, Converts) {
  EXPECT_EQ(parseControllerStatusValue(GetParam().text), GetParam().value);
}
INSTANTIATE_TEST_SUITE_P(
    Examples, StatusValueAccepts,
    ::testing::Values(IntCase{" 1 ", 1}, IntCase{"TRUE", 1}, IntCase{"True", 1},
                      IntCase{"FALSE", 0}, IntCase{"-2", -2}, IntCase{"0x10", 16},
                      IntCase{"0X1F", 31}, IntCase{"010", 8}, IntCase{"1 2", 12}, IntCase{" 7", 7},
                      IntCase{"+5", 5}, IntCase{"0", 0}, IntCase{"-0x10", -16},
                      IntCase{"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
                      IntCase{"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
                      IntCase{"\t1\r\n", 1}));

class StatusValueRejects : public ::testing::TestWithParam<const char*> {};
TEST_P(StatusValueRejects, QuotesTheTextAsReceived) {
  const std::string text = GetParam();
  EXPECT_EQ(messageOf<std::runtime_error>([&] { parseControllerStatusValue(text); }),
            "Failed to parse controller status value as an integer: \"" + text + "\"");
}
INSTANTIATE_TEST_SUITE_P(Examples, StatusValueRejects,
                         ::testing::Values("", "   ", "abc", "1.0", "1.5", "12a", "0x", "08", "-",
                                           "9223372036854775808", "-9223372036854775809", "yes"));

TEST(StatusMap, ParsesEightValuesInQueryOrder) {
  const ControllerStatus expected = {
      {"stat", 1},       {"system_error", 0},    {"emergency_stopped", 1}, {"safeguard_open", 0},
      {"teach_mode", 0}, {"control_device", 21}, {"robot_info", 3},        {"ctrl_info", 16}};
  EXPECT_EQ(parseControllerStatus("1,0,True,False,0,21,3,0x10"), expected);
  EXPECT_EQ(parseControllerStatus("1, 0 , TRUE,,false,0,21,3,16"), expected);
  EXPECT_EQ(parseControllerStatus(" 1 0 1 0 0 21 3 16 "), expected);
}

TEST(StatusMap, WrongCountQuotesReplyWithCommas) {
  EXPECT_EQ(messageOf<std::runtime_error>([] { parseControllerStatus("1,0,0,0,0,21,3"); }),
            "Failed to parse controller status. Expected 8 values, received 7: "
            "\"1,0,0,0,0,21,3\"");
  EXPECT_EQ(messageOf<std::runtime_error>([] { parseControllerStatus("1,0,0,0,0,21,3,0,9"); }),
            "Failed to parse controller status. Expected 8 values, received 9: "
            "\"1,0,0,0,0,21,3,0,9\"");
  EXPECT_EQ(messageOf<std::runtime_error>([] { parseControllerStatus("1,0,0,x,0,21,3,0"); }),
            "Failed to parse controller status value as an integer: \"x\"");
}

TEST(RemoteStatusWord, ElevenOrTenFlagsThenTheCode) {
  const RemoteStatus full = parseRemoteStatus("#GetStatus,10100010100,4100");
  EXPECT_TRUE(full.test_mode && full.auto_mode && full.emergency_stop && full.paused);
  EXPECT_FALSE(full.teach || full.warning || full.severe_error || full.safeguard || full.error ||
               full.running || full.ready);
  EXPECT_EQ(full.code, 4100);
  // Older firmware: no Test flag, the others in order.
  const RemoteStatus ten = parseRemoteStatus("#GetStatus,0100000011,0000");
  EXPECT_FALSE(ten.test_mode);
  EXPECT_TRUE(ten.auto_mode && ten.running && ten.ready);
  EXPECT_FALSE(ten.teach || ten.paused);
  EXPECT_EQ(ten.code, 0);
  for (const char* bad :
       {"#GetStatus", "#GetStatus,0010000001,", "#GetStatus,001000000111,0000",
        "#GetStatus,0010000a011,0000", "#GetStatus,00100000011,12", "#GetStatus,00100000011,0x10",
        "#Execute,00100000011,0000", "#GetStatus,00100000011;0000"}) {
    EXPECT_THROW(parseRemoteStatus(bad), std::runtime_error) << bad;
  }
  try {
    parseRemoteStatus("#GetStatus,\x01\n");
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Malformed reply to $GetStatus: \"#GetStatus,\\x01\\x0a\"");
  }
}

TEST(PauseByAbortPolicy, MotionsThatWouldGoElsewhereOrRepeatTheirIoAreNotWrittenAgain) {
  for (const auto& [text, function] :
       std::vector<std::pair<std::string, std::string>>{{"P1", ""},
                                                        {"XY(1,2,3,4,5,6) /R /A", ""},
                                                        {"Here +Z(10)", "Here"},
                                                        {"here -X(5)", "Here"},
                                                        {"CURPOS", "CurPos"},
                                                        {"RealPos +Z(1)", "RealPos"},
                                                        {"P1 +Z(CZ(FindPos))", "FindPos"},
                                                        {"Hereafter", ""},
                                                        {"P_Here", ""},
                                                        {"TillPos", "TillPos"}}) {
    EXPECT_EQ(currentPositionFunction(text), function) << text;
  }
  const auto plan = [](const std::string& destination, std::optional<std::string> parallel) {
    return planGo(destination, false, false, std::nullopt, std::nullopt, parallel, false,
                  std::nullopt, std::nullopt, std::nullopt);
  };
  EXPECT_EQ(plan("P1", std::nullopt).pause, PauseByAbort::kRewrite);
  EXPECT_EQ(plan("Here +Z(5)", std::nullopt).pause_refusal,
            "its destination depends on where the arm is (Here), so written again it would go "
            "elsewhere");
  EXPECT_EQ(plan("P1", "On 1").pause, PauseByAbort::kRefuse);
}

TEST(EmergencyStop, IntegersAndWords) {
  EXPECT_TRUE(parseEmergencyStop("1"));
  EXPECT_TRUE(parseEmergencyStop("-1"));
  EXPECT_TRUE(parseEmergencyStop(" True "));
  EXPECT_FALSE(parseEmergencyStop("0"));
  EXPECT_FALSE(parseEmergencyStop("FALSE"));
  EXPECT_EQ(messageOf<std::runtime_error>([] { parseEmergencyStop("yes"); }),
            "Failed to parse EStopOn response as a Boolean: \"yes\"");
  EXPECT_THROW(parseEmergencyStop("1 2"), std::runtime_error);
  EXPECT_THROW(parseEmergencyStop("99999999999"), std::runtime_error);
}

TEST(PowerMode, ValuesMapToModes) {
  EXPECT_EQ(powerModeFromValue(0), EpsonPowerMode::LOW);
  EXPECT_EQ(powerModeFromValue(1), EpsonPowerMode::HIGH);
  EXPECT_EQ(messageOf<std::runtime_error>([] { powerModeFromValue(2); }),
            "Epson controller returned an invalid Power mode value: 2");
  EXPECT_EQ(messageOf<std::runtime_error>([] { powerModeFromValue(-1); }),
            "Epson controller returned an invalid Power mode value: -1");
}

TEST(AccelMax, BoundsAndShape) {
  const PtpMotionLimits limits = parseAccelMax("120, 80");
  EXPECT_EQ(limits.speed_percent, 100);
  EXPECT_EQ(limits.acceleration_percent, 120);
  EXPECT_EQ(limits.deceleration_percent, 80);
  EXPECT_EQ(parseAccelMax("2147483647 1").acceleration_percent, 2147483647);
  for (const char* bad :
       {"0,120", "120", "120,120,120", "2147483648,1", "-5,10", "120,x", "120,120 units", ""}) {
    EXPECT_EQ(messageOf<std::runtime_error>([&] { parseAccelMax(bad); }),
              std::string("Failed to parse positive AccelMax limits from Epson controller: \"") +
                  bad + "\"")
        << bad;
  }
}

TEST(State, TwelveValuesWithAnySeparator) {
  const std::vector<double> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_EQ(parseState("1,2,3,4,5,6,7,8,9,10,11,12"), expected);
  EXPECT_EQ(parseState("1 2 3 4 5 6 7 8 9 10 11 12"), expected);
  EXPECT_EQ(parseState("1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12"), expected);
  EXPECT_EQ(messageOf<std::runtime_error>([] { parseState("1,2,3,4,5,6,7,8,9,10,11"); }),
            "Failed to parse robot state. Expected 12 values, received 11: "
            "\"1,2,3,4,5,6,7,8,9,10,11\"");
  EXPECT_EQ(messageOf<std::runtime_error>([] { parseState("1,2,3,4,5,6,7,8,9,10,11,12,13"); }),
            "Failed to parse robot state. Expected 12 values, received 13: "
            "\"1,2,3,4,5,6,7,8,9,10,11,12,13\"");
  EXPECT_EQ(messageOf<std::runtime_error>([] { parseState("1,2,3,x,5,6,7,8,9,10,11,12"); }),
            "Failed to parse robot state. Expected 12 values, received 3: "
            "\"1,2,3,x,5,6,7,8,9,10,11,12\"");
}

TEST(InverseKinematics, JointValueParsing) {
  EXPECT_DOUBLE_EQ(parseIkJoint("12.5", 1), 12.5);
  EXPECT_DOUBLE_EQ(parseIkJoint("  -12.5  ", 2), -12.5);
  EXPECT_EQ(messageOf<std::runtime_error>([] { parseIkJoint("12.5 deg", 3); }),
            "Failed to parse Epson controller IK response for joint 3: \"12.5 deg\"");
  EXPECT_THROW(parseIkJoint("", 1), std::runtime_error);
  EXPECT_THROW(parseIkJoint("1e999", 1), std::runtime_error);
}

TEST(InverseKinematics, PointExpressions) {
  const std::vector<double> pose = {400, 0, 300, 0, 90, 180};
  EXPECT_EQ(buildIkPoint(pose, false, std::nullopt), "XY(400,0,300,0,90,180)");
  EXPECT_EQ(buildIkPoint(pose, true, std::nullopt), "LJM(XY(400,0,300,0,90,180),Here)");
  EXPECT_EQ(buildIkPoint(pose, true, std::vector<double>(6, 0.0)),
            "LJM(XY(400,0,300,0,90,180),AglToPls(0,0,0,0,0,0))");
  EXPECT_EQ(buildIkPoint({0.1, -90, 1e-5, 1e17, 123.456, -0.0}, false, std::nullopt),
            "XY(0.10000000000000001,-90,1.0000000000000001e-05,1e+17,123.456,-0)");
}

TEST(InverseKinematics, ValidationOrderAndTexts) {
  const std::vector<double> ok = {400, 0, 300, 0, 90, 180};
  const auto ik = [](std::vector<double> pose, bool ljm, std::optional<std::vector<double>> ref) {
    return messageOf<std::invalid_argument>([&] { buildIkPoint(pose, ljm, ref); });
  };
  EXPECT_EQ(ik({1, 2, 3, 4, 5}, true, std::nullopt),
            "cartesian_pose must contain exactly 6 values [X, Y, Z, U, V, W]");
  EXPECT_EQ(ik({1, 2, 3, 4, 5}, false, std::vector<double>(7, 0.0)),
            "cartesian_pose must contain exactly 6 values [X, Y, Z, U, V, W]");
  EXPECT_EQ(ik({1, 2, kNaN, 4, 5, 6}, true, std::nullopt),
            "cartesian_pose must contain only finite values");
  EXPECT_EQ(ik({1, 2, 3, 4, 5, -kInf}, true, std::nullopt),
            "cartesian_pose must contain only finite values");
  EXPECT_EQ(ik(ok, false, std::vector<double>(7, 0.0)),
            "reference_joint_positions requires least_joint_motion");
  EXPECT_EQ(ik(ok, true, std::vector<double>(7, 0.0)),
            "reference_joint_positions must contain exactly 6 values");
  EXPECT_EQ(ik(ok, true, std::vector<double>{0, 0, kInf, 0, 0, 0}),
            "reference_joint_positions must contain only finite values");
}

TEST(Formatting, MatchesPrintfInTheClassicLocale) {
  EXPECT_EQ(formatG15(100), "100");
  EXPECT_EQ(formatG15(0.1), "0.1");
  EXPECT_EQ(formatG15(1e-05), "1e-05");
  EXPECT_EQ(formatG15(-0.0), "-0");
  EXPECT_EQ(formatG15(123.456789012345678), "123.456789012346");
  EXPECT_EQ(formatG17(0.1), "0.10000000000000001");
  EXPECT_EQ(formatG17(-90), "-90");
  EXPECT_EQ(formatG17(1e16), "10000000000000000");
  EXPECT_EQ(formatG17(1e17), "1e+17");
  EXPECT_EQ(formatG17(0.0001), "0.0001");
  EXPECT_EQ(formatG17(0.00001), "1.0000000000000001e-05");
  EXPECT_EQ(formatFixed17(250), "250.00000000000000000");
  EXPECT_EQ(formatFixed17(0.1), "0.10000000000000001");
  EXPECT_EQ(formatToolPoint({10, -20, 150, 45, 0, 90}), "XY(10,-20,150,45,0,90)");
}

TEST(Formatting, IgnoresTheProcessLocale) {
  const test::DecimalCommaLocale comma;
  EXPECT_EQ(formatG15(0.5), "0.5");
  EXPECT_EQ(formatFixed17(1.5), "1.50000000000000000");
  EXPECT_EQ(secondsText(std::chrono::milliseconds(250)), "0.25");  // connect's retry log line
  EXPECT_EQ(parseState("1.5,2,3,4,5,6,7,8,9,10,11,12.25").back(), 12.25);
  if (!comma.active()) GTEST_SKIP() << "no locale with a decimal comma is installed";
}

TEST(Tools, RangesAndConversions) {
  EXPECT_NO_THROW(validateToolNumber(0, true));
  EXPECT_NO_THROW(validateToolNumber(15, false));
  EXPECT_EQ(messageOf<std::out_of_range>([] { validateToolNumber(0, false); }),
            "Tool number must be between 1 and 15");
  EXPECT_EQ(messageOf<std::out_of_range>([] { validateToolNumber(16, true); }),
            "Tool number must be between 0 and 15");
  EXPECT_EQ(messageOf<std::out_of_range>([] { validateToolNumber(-1, true); }),
            "Tool number must be between 0 and 15");
  const std::vector<double> native = tcpToNative({0.01, -0.02, 0.15, 90, 0, 45});
  EXPECT_EQ(formatToolPoint(native), "XY(10,-20,150,45,0,90)");
  const std::vector<double> back = nativeToTcp(native);
  const std::vector<double> tcp = {0.01, -0.02, 0.15, 90, 0, 45};
  for (std::size_t i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(back[i], tcp[i]);
  EXPECT_EQ(toolDefinitionQuery(2),
            "Print CX(TLSet(2)),CY(TLSet(2)),CZ(TLSet(2)),CU(TLSet(2)),CV(TLSet(2)),"
            "CW(TLSet(2))");
}

TEST(Tools, DefinitionParsing) {
  EXPECT_EQ(parseToolDefinition("1,2,3,4,5,6"), (std::vector<double>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(parseToolDefinition("1 2 3 4 5 6 mm"), (std::vector<double>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(messageOf<std::runtime_error>([] { parseToolDefinition("1,2,3,4,5"); }),
            "Failed to parse TLSet definition. Expected 6 values, received 5: \"1,2,3,4,5\"");
  EXPECT_EQ(messageOf<std::runtime_error>([] { parseToolDefinition("1,2,3,4,5,6,7"); }),
            "Failed to parse TLSet definition. Expected 6 values, received 7: "
            "\"1,2,3,4,5,6,7\"");
}

TEST(Motion, GoStatementsAndSettings) {
  MotionPlan plan = planGo("P1", false, false, std::nullopt, std::nullopt, std::nullopt, false,
                           std::nullopt, std::nullopt, std::nullopt);
  EXPECT_TRUE(plan.settings.empty());
  EXPECT_EQ(plan.motion, "$Execute,\"Go P1\"");
  plan =
      planGo("P1", true, true, 1, std::string("S"), std::string("Q"), true, 50, 30, std::nullopt);
  EXPECT_EQ(plan.motion, "$Execute,\"Go P1 CP LJM 1 S !Q! SYNC\"");
  EXPECT_EQ(plan.settings,
            (std::vector<std::string>{"$Execute,\"Speed 50\"", "$Execute,\"Accel 30, 30\""}));
  plan = planGo("P1", false, false, std::nullopt, std::nullopt, std::nullopt, false, std::nullopt,
                30, 20);
  EXPECT_EQ(plan.settings, (std::vector<std::string>{"$Execute,\"Accel 30, 20\""}));
}

TEST(Motion, MoveStatementsAndSettings) {
  MotionPlan plan = planMove("P2", true, true, true, std::nullopt, std::nullopt, false, 250, 0.1);
  EXPECT_EQ(plan.motion, "$Execute,\"Move P2 ROT ECP CP\"");
  EXPECT_EQ(plan.settings, (std::vector<std::string>{"$Execute,\"SpeedS 250.00000000000000000\"",
                                                     "$Execute,\"AccelS 0.10000000000000001\""}));
}

TEST(Motion, ValidationOrder) {
  using O = std::optional<int>;
  using S = std::optional<std::string>;
  const auto go = [](const std::string& dest, bool ljm, O orient, S search, S parallel, O speed,
                     O accel, O decel) {
    return messageOf<std::invalid_argument>(
        [&] { planGo(dest, false, ljm, orient, search, parallel, false, speed, accel, decel); });
  };
  EXPECT_EQ(go("", false, 1, "", "", 0, 0, 0), "Go destination must not be empty");
  EXPECT_EQ(go("P1", false, 1, std::nullopt, std::nullopt, 0, std::nullopt, std::nullopt),
            "orientation_flag can only be used when LJM is enabled");
  EXPECT_EQ(go("P1", true, 1, std::nullopt, std::nullopt, 101, std::nullopt, std::nullopt),
            "speed_percent must be between 1 and 100");
  EXPECT_EQ(go("P1", true, std::nullopt, std::nullopt, std::nullopt, 0, 0, 0),
            "speed_percent must be at least 1");
  EXPECT_EQ(go("P1", true, std::nullopt, std::nullopt, std::nullopt, 100, 0, 0),
            "acceleration_percent must be at least 1");
  EXPECT_EQ(go("P1", true, std::nullopt, std::nullopt, std::nullopt, 1, std::nullopt, 0),
            "deceleration_percent must be at least 1");
  EXPECT_EQ(go("P1", true, std::nullopt, std::nullopt, std::nullopt, 1, std::nullopt, 5),
            "deceleration_percent requires acceleration_percent");
  EXPECT_EQ(go("P1", true, std::nullopt, "", "", std::nullopt, std::nullopt, std::nullopt),
            "search_expression must not be empty");
  EXPECT_EQ(
      go("P1", true, std::nullopt, std::nullopt, "", std::nullopt, std::nullopt, std::nullopt),
      "parallel_processing must not be empty");
  // Text that would close the quoted statement or start a new line is refused last.
  EXPECT_EQ(
      go("P1\"", true, std::nullopt, "", std::nullopt, std::nullopt, std::nullopt, std::nullopt),
      "search_expression must not be empty");
  EXPECT_EQ(go("P1\"", true, std::nullopt, "S\n", "Q", std::nullopt, std::nullopt, std::nullopt),
            "destination must not contain quotes or line endings");
  EXPECT_EQ(go("P1", true, std::nullopt, "S\r", "Q", std::nullopt, std::nullopt, std::nullopt),
            "search_expression must not contain quotes or line endings");
  EXPECT_EQ(go("P1", true, std::nullopt, "S", "Q\"", std::nullopt, std::nullopt, std::nullopt),
            "parallel_processing must not contain quotes or line endings");

  const auto move = [](const std::string& dest, std::optional<double> speed,
                       std::optional<double> accel) {
    return messageOf<std::invalid_argument>([&] {
      planMove(dest, false, false, false, std::nullopt, std::nullopt, false, speed, accel);
    });
  };
  EXPECT_EQ(move("", -1.0, -1.0), "Move destination must not be empty");
  for (double bad : {0.0, -1.0, kNaN, kInf}) {
    EXPECT_EQ(move("P2", bad, -1.0), "speed_mm_s must be finite and positive");
    EXPECT_EQ(move("P2", 1.0, bad), "acceleration_mm_s2 must be finite and positive");
  }
  // A positive value that 17 decimals would write as 0 is not what the caller asked for.
  EXPECT_EQ(move("P2", 4e-18, 1.0),
            "speed_mm_s is too small to send: it rounds to 0 at 17 decimals");
  EXPECT_EQ(move("P2", 1.0, 3e-20),
            "acceleration_mm_s2 is too small to send: it rounds to 0 at 17 decimals");
  EXPECT_EQ(
      planMove("P2", false, false, false, std::nullopt, std::nullopt, false, 6e-18, 1e-17).settings,
      (std::vector<std::string>{"$Execute,\"SpeedS 0.00000000000000001\"",
                                "$Execute,\"AccelS 0.00000000000000001\""}));
  EXPECT_EQ(move("P2\r\nMotor Off", 1.0, 1.0),
            "destination must not contain quotes or line endings");
}

TEST(Workspace, ValidationAndStatement) {
  EXPECT_EQ(buildXYLimStatement({-500, -400, 0}, {500, 400, 600}), "XYLim -500,500,-400,400,0,600");
  EXPECT_EQ(buildXYLimStatement({0.1, 0, 0}, {1, 1, 1}), "XYLim 0.10000000000000001,1,0,1,0,1");
  const std::string shape = "Safety cuboid corners must each have 3 coordinates";
  const std::string order =
      "Safety cuboid corners must be finite and strictly ordered on every axis";
  EXPECT_EQ(messageOf<std::invalid_argument>([] { validateCuboid({0, 0}, {1, 1, 1}); }), shape);
  EXPECT_EQ(messageOf<std::invalid_argument>([] {
              validateCuboid({0, 0, 0}, {1, 1, 1, 1});
            }),
            shape);
  EXPECT_EQ(messageOf<std::invalid_argument>([] { validateCuboid({0, 0, 1}, {1, 1, 1}); }), order);
  EXPECT_EQ(messageOf<std::invalid_argument>([] { validateCuboid({2, 0, 0}, {1, 1, 1}); }), order);
  EXPECT_EQ(messageOf<std::invalid_argument>([] {
              validateCuboid({kNaN, 0, 0}, {1, 1, 1});
            }),
            order);
  EXPECT_EQ(messageOf<std::invalid_argument>([] {
              validateCuboid({0, 0, 0}, {1, kInf, 1});
            }),
            order);
}

TEST(Workspace, ReadBackVerification) {
  const std::vector<double> want = {-500, 500, -400, 400, 0, 600};
  EXPECT_NO_THROW(verifyXYLimMode("1"));
  EXPECT_NO_THROW(verifyXYLimMode(" 1 "));
  for (const char* bad : {"0", "1.5", "1 strict", ""}) {
    EXPECT_EQ(messageOf<std::runtime_error>([&] { verifyXYLimMode(bad); }),
              std::string("Epson controller did not verify XYLIM_STRICT: \"") + bad + "\"");
  }
  EXPECT_NO_THROW(verifyXYLimBounds("-500,500,-400,400,0,600", want));
  EXPECT_NO_THROW(verifyXYLimBounds("-500.004 500.004 -400 400 0.004 600", want));
  EXPECT_NO_THROW(verifyXYLimBounds("-500,500,-400,400,0.005,600", want));
  EXPECT_EQ(messageOf<std::runtime_error>(
                [&] { verifyXYLimBounds("-500,500,-400,400,0.006,600", want); }),
            "Epson controller did not verify XYLim bounds: \"-500,500,-400,400,0.006,600\"");
  EXPECT_EQ(messageOf<std::runtime_error>([&] { verifyXYLimBounds("-500,500,-400,400,0", want); }),
            "Epson controller did not verify XYLim bounds: \"-500,500,-400,400,0\"");
  EXPECT_EQ(
      messageOf<std::runtime_error>([&] { verifyXYLimBounds("-500,500,-400,400,0,600,7", want); }),
      "Epson controller returned extra XYLim bounds: \"-500,500,-400,400,0,600,7\"");
}

// --- Reply stream: framing and routing -----------------------------------------------------------

TEST(ReplyFramer, EndsAtALineFeedOutsideQuotesScanningEachByteOnce) {
  ReplyFramer framer;
  std::string stream = "#Execute,\"a";
  EXPECT_EQ(framer.scan(stream), 0U);
  stream += "\r\nb\"";
  EXPECT_EQ(framer.scan(stream), 0U);  // the line feed is inside the quotes
  stream += "\r\n#Logout\r\n";
  const std::size_t length = framer.scan(stream);
  EXPECT_EQ(stream.substr(0, length), "#Execute,\"a\r\nb\"\r\n");
  EXPECT_EQ(replyText(stream.substr(0, length)), "#Execute,\"a\nb\"");
  EXPECT_EQ(replyText("#Pause\r\r\n"), "#Pause\r");  // one CR per line end
  EXPECT_EQ(replyText("#Pause\n"), "#Pause");
}

struct RouteCase {
  const char* name;
  std::string reply;
  std::size_t index;  // into the queue below; kAnswersNothing when out of step
};

class Routing : public testing::TestWithParam<RouteCase> {};

// Oldest first: a pause that gave up (its reply still due), the motion, a newer pause, a status.
const std::vector<std::string> kQueue = {"Pause", "Execute", "Pause", "GetStatus"};

TEST_P(Routing, AReplyGoesToTheOldestCommandOfItsName) {
  const auto index = answeredIndex(
      GetParam().reply, kQueue, [](const std::string& name) { return name; },
      [](const std::string&) { return false; });
  EXPECT_EQ(index, GetParam().index);
}

struct RouteName {
  std::string operator()(const testing::TestParamInfo<RouteCase>& info) const {
    return info.param.name;
  }
};

constexpr std::size_t kNone = kAnswersNothing;
INSTANTIATE_TEST_SUITE_P(
    Replies, Routing,
    testing::Values(RouteCase{"Success", "#Execute,\"1\"", 1}, RouteCase{"Error", "!Execute,31", 1},
                    RouteCase{"DueBeforeNewerOfTheSameName", "#Pause", 0},
                    RouteCase{"RefusalToo", "!Pause,99", 0}, RouteCase{"Status", "#GetStatus,1", 3},
                    RouteCase{"ErrorNamingNoCommandGoesToTheOldest", "!99", 0},
                    RouteCase{"BareBang", "!", 0}, RouteCase{"CommaFirst", "!,3", 0},
                    RouteCase{"NameIsWholeWord", "#PauseX", kNone},
                    RouteCase{"UnknownName", "#Login", kNone},
                    RouteCase{"NeitherHashNorBang", "Execute", kNone},
                    RouteCase{"SuccessNamingNothing", "#,3", kNone}, RouteCase{"Empty", "", kNone}),
    RouteName{});

TEST(Routing, SkippedEntriesAndAnEmptyQueueAnswerNothing) {
  const auto name = [](const std::string& n) { return n; };
  const auto skip_execute = [](const std::string& n) { return n == "Execute"; };
  EXPECT_EQ(answeredIndex("#Execute", kQueue, name, skip_execute), kNone);
  EXPECT_EQ(answeredIndex("!99", std::vector<std::string>{"Execute"}, name, skip_execute), kNone);
  EXPECT_EQ(answeredIndex("!99", std::vector<std::string>{}, name, skip_execute), kNone);
}

// --- Hostile bytes
// --------------------------------------------------------------------------------

TEST(HostileBytes, EscapedWhereverControllerTextIsQuoted) {
  EXPECT_EQ(escapeText("caf\xc3\xa9 \xe2\x82\xac"), "caf\xc3\xa9 \xe2\x82\xac");  // valid UTF-8
  EXPECT_EQ(escapeText(std::string("a\0b\xff\xc3", 5)), "a\\x00b\\xff\\xc3");
  EXPECT_EQ(escapeText("\xed\xa0\x80\xc0\xaf"),
            "\\xed\\xa0\\x80\\xc0\\xaf");                                // surrogate, overlong
  EXPECT_EQ(escapeText("a\nb\tc\r\x1b[2J"), "a\nb\\x09c\\x0d\\x1b[2J");  // no terminal control
  EXPECT_EQ(escapeText("a\nb\tc", true), "a\\x0ab\\x09c");
  EXPECT_EQ(errorReplyMessage(std::string("!Execute,2,\0\xfe", 13), "$Execute,\"Reset\""),
            "Remote command failed: !Execute,2,\\x00\\xfe (command: $Execute,\"Reset\")");
  EXPECT_EQ(messageOf<std::runtime_error>([] { parseControllerStatusValue("\xff"); }),
            "Failed to parse controller status value as an integer: \"\\xff\"");
}

TEST(HostileBytes, PasswordEchoedInAReplyIsRedacted) {
  EXPECT_EQ(redact("$Login,hunter2 and hunter2", "hunter2"), "$Login,<redacted> and <redacted>");
  EXPECT_EQ(redact("#Login", ""), "#Login");
  EXPECT_EQ(errorReplyMessage("!Login,11,bad password hunter2", "$Login,hunter2", "hunter2"),
            "Remote command failed: !Login,11,bad password <redacted> (command: "
            "$Login,<redacted>)");
}

}  // namespace
}  // namespace epson::protocol
