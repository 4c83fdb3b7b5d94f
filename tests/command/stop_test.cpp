// Stopping the robot: abortMotion(), the interrupt check, the heartbeat of a running motion, and
// the order in which replies reach outstanding commands.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <epson/brevacon.h>
#include <epson/interrupt.h>

#include "fake_controller.h"
#include "session_fixture.h"

namespace epson {
namespace {

using namespace std::chrono_literals;
using test::Clock;
using test::exec;
using test::thrownText;

const std::string kGo = exec("Go P1");
const std::string kMotorOn = exec("Motor On");

class Stop : public test::LoggedInSession {
 protected:
  std::optional<int> abortedCode(std::future<void>& motion) {
    try {
      motion.get();
    } catch (const MotionAbortedError& e) {
      return e.code();
    }
    return -1;
  }
};

TEST_F(Stop, AbortEndsARunningAndAPausedMotionWithItsCode) {
  fake_.expect(kGo).expect("$Abort").reply("#Abort,0").reply("!Execute,36");
  auto motion = startGo();
  EXPECT_TRUE(robot_.abortMotion());
  EXPECT_EQ(abortedCode(motion), 36);

  fake_.expect(kGo).respond("$Pause", "#Pause").expect("$Abort").reply("#Abort,0");
  fake_.reply("!Execute,36");
  motion = startGo(3);
  robot_.pause();
  EXPECT_TRUE(robot_.abortMotion());
  EXPECT_EQ(abortedCode(motion), 36);
  EXPECT_TRUE(robot_.isLoggedIn());
  expectNothingSentBefore();
}

TEST_F(Stop, AbortWithoutAMotionSendsNothing) {
  EXPECT_FALSE(robot_.abortMotion());
  expectNothingSentBefore();
}

TEST_F(Stop, RefusedAbortRaisesAndTheMotionGoesOn) {
  fake_.expect(kGo).expect("$Abort").reply("!Abort,20").wait(100ms).reply("!Execute,31");
  auto motion = startGo();
  try {
    robot_.abortMotion();
    ADD_FAILURE() << "no exception";
  } catch (const ControllerError& e) {
    EXPECT_EQ(e.code(), 20);
  }
  // Its own failure is no abort's doing.
  EXPECT_EQ(thrownText<ControllerError>([&] {
              try {
                motion.get();
              } catch (const MotionAbortedError&) {
                throw std::logic_error("taken for aborted");
              }
            }),
            "Remote command failed: !Execute,31 (command: " + kGo + ")");
}

TEST_F(Stop, MotionThatFinishedFirstReturnsNormally) {
  fake_.expect(kGo).expect("$Abort").reply("#Execute,0").reply("#Abort,0");
  auto motion = startGo();
  EXPECT_TRUE(robot_.abortMotion());
  EXPECT_NO_THROW(motion.get());
  expectNothingSentBefore();
}

TEST_F(Stop, InterruptAbortsTheMotionAndASecondClosesTheSession) {
  std::atomic<int> asked{0};
  std::atomic<bool> stop{false};
  setInterruptCheck([&] {
    ++asked;
    return stop.load();
  });
  fake_.expect(kGo).expect("$Abort").wait(300ms).reply("#Abort,0").reply("!Execute,36");
  auto motion = startGo();
  std::this_thread::sleep_for(150ms);
  const auto signalled = Clock::now();
  stop = true;
  ASSERT_TRUE(fake_.waitForLines(3, 5s));
  EXPECT_LT(fake_.lines()[2].arrival - signalled, 500ms);  // a slice, and slack for sanitizers
  stop = false;
  EXPECT_EQ(
      thrownText<InterruptedError>([&] { motion.get(); }),
      "Interrupted: the motion " + kGo + " was aborted with $Abort and ended with !Execute,36");
  EXPECT_GT(asked.load(), 0);
  EXPECT_TRUE(robot_.isLoggedIn());
  expectNothingSentBefore();

  // The abort goes unanswered; the second interrupt does not wait for it.
  fake_.expect(kGo).expect("$Abort").silence();
  motion = startGo(4);
  stop = true;
  ASSERT_TRUE(fake_.waitForLines(6, 5s));
  const auto second = Clock::now();
  EXPECT_NE(thrownText<InterruptedError>([&] { motion.get(); }).find("state is unknown"),
            std::string::npos);
  EXPECT_LT(Clock::now() - second, 1s);
  EXPECT_FALSE(robot_.isConnected());
}

TEST_F(Stop, SilentControllerIsNoticedMidMotion) {
  fake_.expect(kGo).silence();
  auto motion = startGo();
  const auto start = Clock::now();
  const std::string error = thrownText<ConnectionLostError>([&] { motion.get(); });
  EXPECT_EQ(error, "The Epson controller stopped answering during " + kGo +
                       ": no reply to $GetStatus within 2000 ms; the robot's state is unknown");
  EXPECT_LT(Clock::now() - start, 5s);  // 3 s, and slack for sanitizers
  EXPECT_GE(Clock::now() - start, 2900ms);
  EXPECT_FALSE(robot_.isConnected());
}

// --- Routing order --------------------------------------------------------------------------

class Order : public test::LoggedInSession {};

TEST_F(Order, ADueReplyIsNeverTakenByANewerCommandOfTheSameName) {
  fake_.expect(kGo).expect("$Pause").wait(5300ms).reply("#Pause").wait(100ms);
  fake_.respond("$Pause", "!Pause,99").reply("#Execute");
  auto motion = std::async(std::launch::async, [this] { goP1(); });
  ASSERT_TRUE(fake_.waitForLines(2, 5s));
  EXPECT_EQ(thrownText<TimeoutError>([this] { robot_.pause(); }),
            "Timed out waiting for Epson response to $Pause");
  testing::internal::CaptureStderr();
  try {
    robot_.pause();
    ADD_FAILURE() << "the due #Pause was taken as the refused pause's reply";
  } catch (const ControllerError& e) {
    EXPECT_EQ(e.code(), 99);
  }
  motion.get();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Discarded the late Epson Remote Ethernet reply to $Pause: \"#Pause\"\n");
}

TEST_F(Order, ADuplicateJustAfterTheWriteFailsTheNextCommand) {
  fake_.expect(kMotorOn).reply("#Execute,\"3\"").wait(1ms).reply("!Execute,31");
  EXPECT_NO_THROW(robot_.motorOn());  // the duplicate came first: nothing can tell yet
  std::this_thread::sleep_for(50ms);
  fake_.expectClose();
  EXPECT_NE(thrownText<ConnectionLostError>([this] {
              robot_.motorOff();
            }).find("received before $Execute,\"Motor Off\" was sent: !Execute,31"),
            std::string::npos);
  EXPECT_FALSE(robot_.isConnected());
}

TEST_F(Order, AFloodOfStaleRepliesFailsTheCommandBeforeItIsWritten) {
  std::string flood;
  while (flood.size() < 500 * 1024) flood += "#Execute,\"3\"\r\n";
  fake_.send(flood);
  ASSERT_TRUE(fake_.waitUntilDone());
  fake_.expectClose();
  EXPECT_NE(thrownText<ConnectionLostError>([this] {
              robot_.motorOn();
            }).find("received before " + kMotorOn + " was sent"),
            std::string::npos);
  fake_.verify();
  EXPECT_EQ(fake_.texts(), std::vector<std::string>{"$Login,"});
}

}  // namespace
}  // namespace epson
