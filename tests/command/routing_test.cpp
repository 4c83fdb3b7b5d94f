// Which command a reply reaches: lines that arrived before a command was written, control replies
// during a motion, late replies of a control command that gave up, and replies nobody expects.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
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
using test::thrownText;

const std::string kGo = exec("Go P1");
const std::string kPauseTimeout = "Timed out waiting for Epson response to $Pause";

class ReplyRouting : public test::LoggedInSession {
 protected:
  std::future<void> startGo() {
    auto motion = std::async(std::launch::async, [this] { goP1(); });
    EXPECT_TRUE(fake_.waitForLines(2, 5s));  // the login and the Go
    return motion;
  }
  std::future<void> startPause() {
    return std::async(std::launch::async, [this] { robot_.pause(); });
  }
};

TEST_F(ReplyRouting, LineSentWhileIdleFailsTheNextCommandBeforeItIsWritten) {
  fake_.send("#Execute,\"0,0,0\"\r\n");
  ASSERT_TRUE(fake_.waitUntilDone());
  std::this_thread::sleep_for(50ms);  // the line sits in the client's socket, unread
  fake_.expectClose();
  EXPECT_EQ(thrownText<ConnectionLostError>([this] { robot_.motorOn(); }),
            "Unexpected Epson response received before $Execute,\"Motor On\" was sent: "
            "#Execute,\"0,0,0\"" +
                test::kOutOfStep);
  EXPECT_FALSE(robot_.isConnected());
  fake_.verify();
  EXPECT_EQ(fake_.texts(), std::vector<std::string>{"$Login,"});
}

TEST_F(ReplyRouting, MotionErrorStaysWithTheMotionWhilePauseWaits) {
  fake_.expect(kGo).expect("$Pause").reply("!Execute,36").wait(100ms).reply("#Pause");
  auto motion = startGo();
  auto pause = startPause();
  EXPECT_EQ(thrownText([&] { motion.get(); }),
            "Remote command failed: !Execute,36 (command: " + kGo + ")");
  EXPECT_NO_THROW(pause.get());
  EXPECT_TRUE(robot_.isLoggedIn());
}

TEST_F(ReplyRouting, ControlSlotKeepsItsFirstReply) {
  // The second error has nobody left to take it: the session is out of step.
  fake_.expect(kGo).expect("$Pause").send("!Pause,4\r\n!Pause,5\r\n").expectClose();
  auto motion = startGo();
  auto pause = startPause();
  EXPECT_EQ(thrownText([&] { pause.get(); }), "Remote command failed: !Pause,4 (command: $Pause)");
  EXPECT_EQ(thrownText([&] { motion.get(); }),
            "Unexpected Epson response while waiting for #Execute: !Pause,5" + test::kOutOfStep);
  EXPECT_FALSE(robot_.isConnected());
}

TEST_F(ReplyRouting, LateControlReplyIsDiscardedAndTheNextPauseGetsItsOwn) {
  fake_.expect(kGo).expect("$Pause").wait(5300ms).reply("#Pause");
  auto motion = startGo();
  EXPECT_EQ(thrownText([this] { robot_.pause(); }), kPauseTimeout);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(fake_.waitUntilDone());
  std::this_thread::sleep_for(100ms);  // the motion's reader meets the late reply
  fake_.expect("$Pause").reply("#Pause").reply("#Execute").respond(exec("Motor Off"), "#Execute");
  EXPECT_NO_THROW(robot_.pause());
  EXPECT_NO_THROW(motion.get());
  EXPECT_NO_THROW(robot_.motorOff());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Discarded the late Epson Remote Ethernet reply to $Pause: \"#Pause\"\n");
}

TEST_F(ReplyRouting, UnansweredPauseHoldsAFinishedMotionOnlyUntilThePauseDeadline) {
  fake_.expect(kGo).expect("$Pause").wait(300ms).reply("#Execute");
  auto motion = startGo();
  const auto called = Clock::now();
  auto pause = startPause();
  EXPECT_NO_THROW(motion.get());  // its own result, not a closed session
  EXPECT_LT(Clock::now() - called, 5500ms);
  EXPECT_EQ(thrownText([&] { pause.get(); }), kPauseTimeout);
  EXPECT_TRUE(robot_.isLoggedIn());

  // The pause's reply, when it finally comes, answers nothing.
  fake_.reply("#Pause").respond(exec("Reset"), "!Execute,2");
  testing::internal::CaptureStderr();
  EXPECT_EQ(thrownText([this] { robot_.resetController(); }),
            "Remote command failed: !Execute,2 (command: " + exec("Reset") + ")");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("late Epson Remote Ethernet reply"),
            std::string::npos);
}

TEST(ReplyRoutingAtLogin, UnexpectedReplyFailsTheAttemptLikeALostConnection) {
  FakeController fake;
  fake.expect("$Login,pw").reply("#Logout").expectClose().login("pw");
  Brevacon robot;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ConnectOptions quick;
  quick.retry_pause = std::chrono::milliseconds(100);
  EXPECT_NO_THROW(robot.connect("127.0.0.1", fake.port(), "pw", quick));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Epson Remote Ethernet login attempt 1 failed; retrying in 0.1 seconds\n");
  EXPECT_EQ(fake.connections(), 2);
  EXPECT_TRUE(robot.isLoggedIn());
}

}  // namespace
}  // namespace epson
