// The paths that used to leave a robot moving or misreport a stop: calls from inside the motion's
// own wait (a signal handler), replies read late, replies that never come, the motion's deadline,
// a Ctrl-C between the settings and the statement, and a thread's bound on waiting for the
// session.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
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
const std::string kWait = exec("Wait Sw(3) = On, 0.2");

class StopPaths : public test::LoggedInSession {
 protected:
  // Runs `inside` once from the interrupt check of the waiting thread, as a signal handler runs,
  // once the fake has seen `lines` lines; the check then answers `interrupt`.
  void fromInsideTheWait(std::size_t lines, std::function<void()> inside, bool interrupt = false) {
    auto ran = std::make_shared<std::atomic<bool>>(false);
    setInterruptCheck([this, lines, ran, inside = std::move(inside), interrupt] {
      if (ran->load() || fake_.lines().size() < lines) return false;
      *ran = true;
      inside();
      return interrupt;
    });
  }
};

TEST_F(StopPaths, AbortFromInsideTheMotionsOwnWaitIsReadByThatThread) {
  fake_.expect(kGo).expect("$Abort").reply("#Abort,0").reply("!Execute,36");
  std::atomic<bool> aborted{false};
  Clock::duration took{};
  fromInsideTheWait(2, [&] {
    const auto start = Clock::now();
    aborted = robot_.abortMotion();
    took = Clock::now() - start;
  });
  try {
    goP1();
    ADD_FAILURE() << "the go returned";
  } catch (const MotionAbortedError& e) {
    EXPECT_EQ(e.code(), 36);
  }
  EXPECT_TRUE(aborted.load());
  EXPECT_LT(took, 1s);
  expectNothingSentBefore();
}

TEST_F(StopPaths, ALockingCallFromInsideTheWaitFailsAtOnceAndTheMotionIsAborted) {
  fake_.expect(kGo).expect("$Abort").reply("#Abort,0").reply("!Execute,36");
  std::string refused;
  fromInsideTheWait(
      2, [&] { refused = thrownText<std::runtime_error>([this] { robot_.motorOff(); }); },
      /*interrupt=*/true);  // the handler's exception ends the wait, as Ctrl-C does
  EXPECT_NE(thrownText<InterruptedError>([this] { goP1(); }).find("was aborted with $Abort"),
            std::string::npos);
  EXPECT_NE(refused.find("from inside another operation of the same session"), std::string::npos);
  EXPECT_TRUE(robot_.isLoggedIn());
  expectNothingSentBefore();
}

TEST_F(StopPaths, RepliesReceivedWhileTheReaderWasHeldCountBeforeTheHeartbeatIsJudged) {
  // The heartbeat is answered 0.2 s after it is written, while the reader is held 2.5 s (past
  // the heartbeat's deadline) by what runs inside its wait.
  const std::string status = "#GetStatus,00100000011,0000";
  fake_.answerHeartbeats(std::nullopt);
  fake_.expect(kGo).expect("$GetStatus").wait(200ms).reply(status);
  fake_.expect("$GetStatus").reply(status).reply("#Execute,0");
  fromInsideTheWait(3, [] { std::this_thread::sleep_for(2500ms); });
  EXPECT_NO_THROW(goP1());
  EXPECT_TRUE(robot_.isConnected());
  expectNothingSentBefore();
}

TEST_F(StopPaths, AHeartbeatStillUnansweredAfterTheMotionEndsTearsDownBeforeTheNextWrite) {
  fake_.answerHeartbeats(std::nullopt);
  fake_.expect(kGo).expect("$GetStatus").reply("#Execute,0").expectClose();
  goP1();
  std::this_thread::sleep_for(2100ms);  // past the heartbeat's deadline
  EXPECT_NE(thrownText<ConnectionLostError>([this] {
              robot_.motorOn();
            }).find("did not answer $GetStatus within 2000 ms"),
            std::string::npos);
  EXPECT_FALSE(robot_.isConnected());
}

TEST_F(StopPaths, AStatusReplyAfterTheMotionIsTakenQuietlyByTheNextCommand) {
  fake_.answerHeartbeats(std::nullopt);
  fake_.expect(kGo).expect("$GetStatus").reply("#Execute,0").wait(50ms);
  fake_.reply("#GetStatus,00100000001,0000");
  goP1();
  std::this_thread::sleep_for(100ms);
  testing::internal::CaptureStderr();
  expectNothingSentBefore();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(StopPaths, AnAbortUnansweredPastItsDeadlineEndsTheSession) {
  fake_.expect(kGo).expect("$Abort").expectClose();  // heartbeats are still answered
  auto motion = startGo();
  EXPECT_NE(thrownText<TimeoutError>([this] { robot_.abortMotion(); }).find("state is unknown"),
            std::string::npos);
  EXPECT_NE(thrownText<ConnectionLostError>([&] { motion.get(); }).find("$Abort"),
            std::string::npos);
  EXPECT_FALSE(robot_.isConnected());
}

TEST_F(StopPaths, AMotionErrorBeforeTheAbortReplyIsStillAnAbort) {
  fake_.expect(kGo).expect("$Abort").reply("!Execute,36").wait(100ms).reply("#Abort,0");
  auto motion = startGo();
  EXPECT_TRUE(robot_.abortMotion());
  try {
    motion.get();
    ADD_FAILURE() << "the go returned";
  } catch (const MotionAbortedError& e) {
    EXPECT_EQ(e.code(), 36);
  }
  expectNothingSentBefore();
}

TEST_F(StopPaths, ALongStatementPastItsDeadlineIsAbortedNotAbandoned) {
  // A Wait's reply is due 0.2 s + 5 s after it is written: then $Abort, and its own reply.
  fake_.expect(kWait).expect("$Abort").reply("#Abort,0").reply("!Execute,36");
  const auto start = Clock::now();
  const std::string error = thrownText<TimeoutError>([this] { robot_.waitInput(3, true, 0.2s); });
  EXPECT_EQ(error, "The motion " + kWait +
                       " did not end within 5200 ms: it was aborted at its deadline with $Abort "
                       "and ended with !Execute,36");
  EXPECT_GE(Clock::now() - start, 5200ms);
  EXPECT_TRUE(robot_.isLoggedIn());
  expectNothingSentBefore();
}

TEST_F(StopPaths, AnInterruptDuringTheSettingsKeepsTheMotionFromBeingWritten) {
  setInterruptCheck([] { return true; });
  fake_.respond(exec("Speed 50"), "#Execute,0");
  EXPECT_EQ(thrownText<InterruptedError>([this] {
              robot_.go("P1", false, false, std::nullopt, std::nullopt, std::nullopt, false, 50);
            }),
            "Interrupted before " + kGo + " was sent; the robot was not moved");
  setInterruptCheck(nullptr);
  expectNothingSentBefore();
}

TEST_F(StopPaths, AWaitLimitRefusesDuringAMotionAndBoundsAWaitForTheLock) {
  fake_.expect(kGo).wait(300ms).reply("#Execute,0");
  auto motion = startGo();
  {
    const SessionWaitLimit limit(250ms);
    const auto start = Clock::now();
    EXPECT_EQ(thrownText<SessionBusyError>([this] { robot_.motorOn(); }),
              "The Epson session is busy: the motion " + kGo + " is running; nothing was sent");
    EXPECT_LT(Clock::now() - start, 100ms);
  }
  motion.get();

  fake_.expect(exec("Motor On")).wait(600ms).reply("#Execute,0");
  auto slow = std::async(std::launch::async, [this] { robot_.motorOn(); });
  ASSERT_TRUE(fake_.waitForLines(3, 5s));
  const SessionWaitLimit limit(100ms);
  EXPECT_EQ(thrownText<SessionBusyError>([this] { robot_.motorOff(); }),
            "The Epson session was held by another operation for 100 ms; nothing was sent");
  slow.get();
  expectNothingSentBefore();
}

}  // namespace
}  // namespace epson

namespace epson {
namespace {

TEST(LostSession, MotorsLeftOnAreSwitchedOffOverANewConnection) {
  test::FakeController fake;
  fake.answerHeartbeats("#GetStatus,00100000001,0000");  // Auto, Ready: nothing runs
  fake.login("pw").respond(exec("Motor On"), "#Execute,0").expect(exec("Reset")).close();
  fake.login("pw").respond("$Abort", "!Abort,20").respond(exec("Motor Off"), "#Execute,0");
  fake.logout().expectClose();
  Brevacon robot;
  robot.keepCredentials(true);
  robot.connect("127.0.0.1", fake.port(), "pw");
  robot.motorOn();
  EXPECT_THROW(robot.resetController(), ConnectionLostError);
  const std::optional<std::string> done = robot.secureAfterLostSession(2s);
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(*done, "The session was lost with the motors on: reconnected to 127.0.0.1:" +
                       std::to_string(fake.port()) +
                       ", wrote $Abort, switched the motors off and logged out");
  EXPECT_FALSE(robot.isConnected());
  EXPECT_FALSE(robot.secureAfterLostSession(2s).has_value());  // nothing left to do
  fake.verify();
  EXPECT_EQ(fake.connections(), 2);
}

TEST(LostSession, NothingIsKeptOrDoneUnlessAsked) {
  test::FakeController fake;
  fake.login("pw").respond(exec("Motor On"), "#Execute,0").expect(exec("Reset")).close();
  Brevacon robot;
  robot.connect("127.0.0.1", fake.port(), "pw");
  robot.motorOn();
  EXPECT_THROW(robot.resetController(), ConnectionLostError);
  EXPECT_FALSE(robot.secureAfterLostSession(2s).has_value());
  fake.verify();
  EXPECT_EQ(fake.connections(), 1);
}

}  // namespace
}  // namespace epson
