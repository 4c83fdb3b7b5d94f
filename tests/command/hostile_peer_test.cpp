// A controller that sends hostile or broken bytes, replies without bound, or stops reading: every
// message stays a valid, password-free text, every reply and write has a bound, and a failed write
// ends the session as a failed read does.

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include <epson/brevacon.h>

#include "fake_controller.h"
#include "session_fixture.h"

namespace epson {
namespace {

using namespace std::chrono_literals;
using test::Clock;
using test::exec;
using test::FakeController;
using test::printed;
using test::thrownText;

const std::string kReset = exec("Reset");
const std::string kPrintPower = exec("Print Power");

std::chrono::milliseconds since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

class HostilePeer : public test::LoggedInSession {};

// --- Hostile bytes ----------------------------------------------------------------------------

TEST_F(HostilePeer, BytesThatAreNotUtf8AndNulAreEscapedInMessages) {
  fake_.respond(kReset, std::string("!Execute,2,\xff\0tail", 17));
  fake_.respond(kPrintPower, printed("\xc3("));
  EXPECT_EQ(thrownText([this] { robot_.resetController(); }),
            "Remote command failed: !Execute,2,\\xff\\x00tail (command: " + kReset + ")");
  EXPECT_EQ(thrownText([this] { robot_.getPowerMode(); }),
            "Failed to parse controller status value as an integer: \"\\xc3(\"");
}

TEST(HostilePeerAtLogin, PasswordInAReplyNeverReachesAMessage) {
  FakeController fake;
  fake.expect("$Login,hunter2").reply("!Login,11,rejected hunter2");
  Brevacon robot;
  EXPECT_EQ(thrownText([&] { robot.connect("127.0.0.1", fake.port(), "hunter2"); }),
            "Remote command failed: !Login,11,rejected <redacted> (command: $Login,<redacted>)");
}

TEST(HostilePeerAtLogin, LoginLineEchoedBackIsRedacted) {
  FakeController fake;
  for (int attempt = 0; attempt < 3; ++attempt) {
    fake.expect("$Login,hunter2").reply("$Login,hunter2").expectClose();
  }
  Brevacon robot;
  ConnectOptions quick;
  quick.retry_pause = std::chrono::milliseconds(50);
  testing::internal::CaptureStderr();
  EXPECT_EQ(thrownText([&] { robot.connect("127.0.0.1", fake.port(), "hunter2", quick); }),
            "Epson Remote Ethernet login failed after 3 attempts: Unexpected Epson response while "
            "waiting for #Login: $Login,<redacted>" +
                test::kOutOfStep);
  EXPECT_EQ(testing::internal::GetCapturedStderr().find("hunter2"), std::string::npos);
}

// --- Limits -------------------------------------------------------------------------------------

TEST_F(HostilePeer, CapCountsTheWholeReplyNotOneLine) {
  const std::string half(600 * 1024, '1');
  fake_.expect(kPrintPower).send("#Execute,\"" + half + "\r\n" + half + "\r\n").expectClose();
  const std::string text = thrownText([this] { robot_.getPowerMode(); });
  EXPECT_EQ(text,
            "Failed while waiting for an Epson Remote Ethernet response: reply too long (more "
            "than 1048576 bytes without a complete reply)");
  EXPECT_FALSE(robot_.isConnected());
}

TEST_F(HostilePeer, DeadlineCoversTheWholeReply) {
  // Each line comes 2 s after the one before; the reply as a whole would take longer than 5 s.
  fake_.expect(kPrintPower).send("#Execute,\"1\r\n").wait(2s).send(" \r\n").wait(2s);
  fake_.send(" \r\n").expectClose();
  const auto start = Clock::now();
  EXPECT_EQ(thrownText([this] { robot_.getPowerMode(); }),
            "Timed out waiting for an Epson Remote Ethernet response to " + kPrintPower +
                " after 5000 ms");
  EXPECT_LT(since(start), 5800ms);
  EXPECT_FALSE(robot_.isConnected());
}

TEST_F(HostilePeer, ReplyOfManyQuotedLineBreaksIsFramedInOnePass) {
  std::string reply = "#Execute,\"1";
  for (int i = 0; i < 65535; ++i) reply += "           \r\n";  // ~0.9 MiB
  fake_.respond(kPrintPower, reply + "\"");
  const auto start = Clock::now();
  EXPECT_EQ(robot_.getPowerMode(), EpsonPowerMode::HIGH);
  EXPECT_LT(since(start), 2s);
}

// --- Transport
// ------------------------------------------------------------------------------------

TEST_F(HostilePeer, FailedWriteEndsTheSession) {
  fake_.reset();
  ASSERT_TRUE(fake_.waitUntilDone());
  std::this_thread::sleep_for(100ms);  // the reset has reached the client
  const std::string text = thrownText<std::runtime_error>([this] { robot_.resetController(); });
  EXPECT_EQ(text.rfind("write: ", 0), 0U) << text;
  EXPECT_FALSE(robot_.isConnected());
  EXPECT_FALSE(robot_.isLoggedIn());
}

TEST_F(HostilePeer, WriteToAPeerThatStoppedReadingEndsAtTheDeadline) {
  fake_.stopReading();
  ASSERT_TRUE(fake_.waitUntilDone());
  const std::string point(16 * 1024 * 1024, 'P');  // more than both socket buffers hold
  const auto start = Clock::now();
  const std::string text = thrownText([&] { robot_.tlSet(1, point); });
  EXPECT_GE(since(start), 4900ms);
  EXPECT_LT(since(start), 10s);  // copying 16 MiB into the command line is slow under sanitizers
  EXPECT_EQ(text.rfind("Timed out writing $Execute,\"TLSet 1, PPP", 0), 0U) << text.substr(0, 80);
  EXPECT_NE(text.find(" to the Epson controller after 5000 ms"), std::string::npos);
  EXPECT_LT(text.size(), 512U);  // names the command without quoting megabytes of it
  EXPECT_FALSE(robot_.isConnected());
  const auto again = Clock::now();
  robot_.disconnect();
  EXPECT_LT(since(again), 1s);
}

}  // namespace
}  // namespace epson
