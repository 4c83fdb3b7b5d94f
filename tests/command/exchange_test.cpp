// One command and its reply: framing, reply assembly, error replies, stray lines, and the
// teardown after a failed reply wait. Driven through public operations with known command lines
// (resetController sends a statement, getPowerMode and getControllerStatus send queries).

#include <epson/brevacon.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_controller.h"
#include "session_fixture.h"

namespace epson {
namespace {

using namespace std::chrono_literals;
using test::canned;
using test::Clock;
using test::FakeController;
using test::thrownText;

const std::string kReset = "$Execute,\"Reset\"";
const std::string kPrintPower = "$Execute,\"Print Power\"";
const std::string kPrintStatus =
    "$Execute,\"Print Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)\"";
const std::string kReadFailure = "Failed while waiting for an Epson Remote Ethernet response: ";
const std::string kNotConnected = "command() was called but socket not connected";
constexpr std::size_t kMiB = 1024 * 1024;

// A Brevacon logged in (empty password) to a fresh fake controller; tests append the rest of the
// script. The robot goes first, so its socket is closed before the fake checks its script.
struct LoggedIn {
  LoggedIn() {
    fake.login();
    testing::internal::CaptureStdout();
    robot.connect("127.0.0.1", fake.port());
    testing::internal::GetCapturedStdout();
  }
  FakeController fake;
  Brevacon robot;
};

std::chrono::milliseconds since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

struct StatementCase {
  std::string reply;
  std::string message;     // empty: the statement succeeds
  bool tearsDown = false;  // a reply that is nobody's: the session is out of step
};

class StatementReply : public testing::TestWithParam<StatementCase> {};

TEST_P(StatementReply, GivesResultAndKeepsSessionOnlyWhenInStep) {
  LoggedIn s;
  s.fake.respond(kReset, GetParam().reply);
  if (!GetParam().tearsDown) s.fake.respond(kReset, canned("execute_ok"));
  const std::string text = thrownText<std::runtime_error>([&] { s.robot.resetController(); });
  EXPECT_EQ(text, GetParam().message.empty() ? "<no exception>" : GetParam().message);
  EXPECT_EQ(s.robot.isConnected(), !GetParam().tearsDown);
  EXPECT_EQ(s.robot.isLoggedIn(), !GetParam().tearsDown);
  if (GetParam().tearsDown) {
    EXPECT_EQ(thrownText<std::runtime_error>([&] { s.robot.resetController(); }), kNotConnected);
  } else {
    EXPECT_NO_THROW(s.robot.resetController());
  }
}

const std::string kNote99 =
    " (Epson Remote Ethernet error 99: system error or communication error; no motion error code "
    "was returned)";
const std::string kShownReset = " (command: " + kReset + ")";

INSTANTIATE_TEST_SUITE_P(
    Replies, StatementReply,
    testing::Values(
        StatementCase{"#Execute", ""}, StatementCase{"#Execute,\"done\"", ""},
        StatementCase{"!Execute,99", "Remote command failed: !Execute,99" + kNote99 + kShownReset},
        StatementCase{
            "!Execute,99,Motion interrupted",
            "Remote command failed: !Execute,99,Motion interrupted" + kNote99 + kShownReset},
        StatementCase{"!Execute,2", "Remote command failed: !Execute,2" + kShownReset},
        StatementCase{"!Execute,990", "Remote command failed: !Execute,990" + kShownReset},
        StatementCase{"!Execute", "Remote command failed: !Execute" + kShownReset},
        StatementCase{"!99", "Remote command failed: !99" + kShownReset},
        StatementCase{"", "Empty response from Epson controller" + test::kOutOfStep, true},
        StatementCase{
            "#Pause",
            "Unexpected Epson response while waiting for #Execute: #Pause" + test::kOutOfStep,
            true},
        StatementCase{
            "!Pause,2",
            "Unexpected Epson response while waiting for #Execute: !Pause,2" + test::kOutOfStep,
            true},
        StatementCase{
            "Execute",
            "Unexpected Epson response while waiting for #Execute: Execute" + test::kOutOfStep,
            true}));

TEST(Exchange, StrayLineAheadOfReplyTearsTheSessionDown) {
  LoggedIn s;
  // Both lines in one segment: the #Execute after a reply nobody expected cannot be trusted to
  // be this command's answer.
  s.fake.expect(kReset).send(canned("stray_pause_then_ok")).expectClose();
  EXPECT_EQ(thrownText<std::runtime_error>([&] { s.robot.resetController(); }),
            "Unexpected Epson response while waiting for #Execute: #Pause" + test::kOutOfStep);
  EXPECT_FALSE(s.robot.isLoggedIn());
  EXPECT_EQ(thrownText<std::runtime_error>([&] { s.robot.resetController(); }), kNotConnected);
}

// A peer that answers twice: the second reply names the same command, so only the next command
// can tell. It fails before anything is written, since its reply could not be told apart.
TEST(Exchange, SecondReplyInOneSegmentFailsTheNextCommandBeforeItIsWritten) {
  LoggedIn s;
  s.fake.expect(kPrintPower).send(canned("two_execute_replies")).expectClose();
  EXPECT_EQ(s.robot.getPowerMode(), EpsonPowerMode::HIGH);
  EXPECT_EQ(thrownText<ConnectionLostError>([&] { s.robot.getPowerMode(); }),
            "Unexpected Epson response received before " + kPrintPower +
                " was sent: " + "#Execute,\"0\"" + test::kOutOfStep);
  EXPECT_FALSE(s.robot.isConnected());
  s.fake.verify();
  EXPECT_EQ(s.fake.texts(), (std::vector<std::string>{"$Login,", kPrintPower}));
}

TEST(Exchange, QuotedLineBreakWaitsForTheClosingQuote) {
  LoggedIn s;
  s.fake.expect(kPrintStatus)
      .send("#Execute,\"first line\r\n")
      .wait(300ms)
      .send("second line\"\r\n")
      .expect(kPrintStatus)
      .send("#Execute,\"1 0 0\r\n0 0 0x10\r\n1 2\"\r\n");
  const auto start = Clock::now();
  EXPECT_EQ(thrownText<std::runtime_error>([&] { s.robot.getControllerStatus(); }),
            "Failed to parse controller status. Expected 8 values, received 4: \"first "
            "line\nsecond line\"");
  EXPECT_GE(since(start), 300ms);

  const ControllerStatus status = s.robot.getControllerStatus();
  EXPECT_EQ(status.at("stat"), 1);
  EXPECT_EQ(status.at("control_device"), 16);
  EXPECT_EQ(status.at("ctrl_info"), 2);
}

TEST(Exchange, ErrorReplyIsAControllerErrorWithItsCode) {
  LoggedIn s;
  s.fake.respond(kReset, "!Execute,31,E-stop").respond(kReset, "!Execute");
  const auto refusal = [&s]() -> std::optional<ControllerError> {
    try {
      s.robot.resetController();
    } catch (const ControllerError& e) {
      return e;
    }
    return std::nullopt;
  };
  const auto first = refusal();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->code(), 31);
  EXPECT_EQ(first->command(), kReset);
  EXPECT_EQ(first->reply(), "!Execute,31,E-stop");
  const auto second = refusal();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->code(), std::nullopt);
  EXPECT_TRUE(s.robot.isLoggedIn());
}

struct QueryCase {
  std::string reply;
  std::string message;
};

class QueryResult : public testing::TestWithParam<QueryCase> {};

// The parse failure quotes the result text exactly as it came between the outer quotes.
TEST_P(QueryResult, IsTheTextBetweenFirstAndLastQuote) {
  LoggedIn s;
  s.fake.respond(kPrintStatus, GetParam().reply);
  EXPECT_EQ(thrownText<std::runtime_error>([&] { s.robot.getControllerStatus(); }),
            GetParam().message);
  EXPECT_TRUE(s.robot.isLoggedIn());
}

const std::string kStatusCount = "Failed to parse controller status. Expected 8 values, received ";

INSTANTIATE_TEST_SUITE_P(
    Replies, QueryResult,
    testing::Values(QueryCase{canned("print_three_values"), kStatusCount + "3: \"1 2 3\""},
                    QueryCase{canned("print_empty"), kStatusCount + "0: \"\""},
                    QueryCase{"#Execute,\"\"1 2\"\"", kStatusCount + "2: \"\"1 2\"\""},
                    QueryCase{canned("print_unquoted"),
                              "Unexpected Execute response: #Execute,1"}));

TEST(Exchange, SilentControllerTimesOutAndTearsDown) {
  LoggedIn s;
  s.fake.expect(kReset).expectClose();
  const auto start = Clock::now();
  EXPECT_EQ(
      thrownText<TimeoutError>([&] { s.robot.resetController(); }),
      "Timed out waiting for an Epson Remote Ethernet response to " + kReset + " after 5000 ms");
  const auto elapsed = since(start);
  EXPECT_GE(elapsed, 5000ms);
  EXPECT_LT(elapsed, 6000ms);
  EXPECT_FALSE(s.robot.isConnected());
  EXPECT_FALSE(s.robot.isLoggedIn());

  // Nothing more reaches the fake: the next command fails before writing, and disconnect has
  // no session left to close.
  const auto again = Clock::now();
  EXPECT_EQ(thrownText<std::runtime_error>([&] { s.robot.resetController(); }), kNotConnected);
  EXPECT_LT(since(again), 1s);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  s.robot.disconnect();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Exchange, ClosedConnectionTearsDown) {
  LoggedIn s;
  s.fake.expect(kReset).close();
  EXPECT_EQ(thrownText<ConnectionLostError>([&] { s.robot.resetController(); }),
            kReadFailure + "End of file");
  EXPECT_FALSE(s.robot.isConnected());
  EXPECT_FALSE(s.robot.isLoggedIn());
  EXPECT_EQ(thrownText<ConnectionLostError>([&] { s.robot.getPowerMode(); }), kNotConnected);
}

TEST(Exchange, ReplyLineOverOneMebibyteTearsDown) {
  LoggedIn s;
  s.fake.expect(kReset).send(std::string(kMiB + 16, 'x')).expectClose();
  const auto start = Clock::now();
  const std::string text = thrownText<std::runtime_error>([&] { s.robot.resetController(); });
  EXPECT_EQ(text.rfind(kReadFailure, 0), 0u) << text;
  EXPECT_NE(text.find("too long"), std::string::npos) << text;
  EXPECT_LT(since(start), 3s);  // not the 5 s deadline
  EXPECT_FALSE(s.robot.isConnected());
  EXPECT_FALSE(s.robot.isLoggedIn());
}

TEST(Exchange, LongReplyLineUnderTheCapIsAccepted) {
  LoggedIn s;
  std::string reply = "#Execute,\"1 2 3 4 5 6 7 8";
  reply += std::string(kMiB - 64 - reply.size(), ' ') + "\"";
  s.fake.respond(kPrintStatus, reply);
  const ControllerStatus status = s.robot.getControllerStatus();
  EXPECT_EQ(status.at("stat"), 1);
  EXPECT_EQ(status.at("ctrl_info"), 8);
}

TEST(Exchange, NeverConnectedObjectSendsNothing) {
  Brevacon robot;
  EXPECT_EQ(thrownText<std::runtime_error>([&] { robot.resetController(); }), kNotConnected);
  EXPECT_EQ(thrownText<std::runtime_error>([&] { robot.getPowerMode(); }), kNotConnected);
}

}  // namespace
}  // namespace epson
