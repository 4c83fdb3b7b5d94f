// pause()/continueMotion() while a go()/move() holds the connection: the control line reaches
// the controller at once and its reply is handed over by the motion's reader.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

#include <epson/brevacon.h>

#include "fake_controller.h"

namespace epson {
namespace {

using namespace std::chrono_literals;
using test::Clock;
using test::FakeController;

const std::string kGo = "$Execute,\"Go P1\"";

std::future<void> startGo(Brevacon& robot) {
  return std::async(std::launch::async, [&robot] {
    robot.go("P1", false, false, std::nullopt, std::nullopt, std::nullopt, false);
  });
}

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

class MotionControl : public ::testing::Test {
 protected:
  void SetUp() override { fake.login("pw"); }
  void connect() { robot.connect("127.0.0.1", fake.port(), "pw"); }
  // Waits until the fake has received `count` lines (login included).
  void awaitLines(std::size_t count) { ASSERT_TRUE(fake.waitForLines(count, 5s)); }

  FakeController fake;
  Brevacon robot;
};

TEST_F(MotionControl, PauseDuringGoIsSentAtOnceAndAnsweredThroughTheMotionReader) {
  fake.expect(kGo).expect("$Pause").reply("#Pause").wait(300ms).reply("#Execute").logout();
  connect();
  auto motion = startGo(robot);
  awaitLines(2);

  const auto called = Clock::now();
  robot.pause();
  const auto returned = Clock::now();
  // The motion is still waiting for its own reply when the pause has its answer.
  EXPECT_EQ(motion.wait_for(0ms), std::future_status::timeout);
  motion.get();

  const auto lines = fake.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2].text, "$Pause");
  // Generous bounds for loaded sanitizer runs; queued behind the motion it would never arrive.
  EXPECT_LT(lines[2].arrival - called, 200ms);
  const auto latency =
      std::chrono::duration_cast<std::chrono::microseconds>(lines[2].arrival - called);
  RecordProperty("pause_latency_us", static_cast<int>(latency.count()));
  std::cout << "pause latency during motion: " << latency.count() << " us\n";
  EXPECT_LT(returned - called, 1s);
  robot.disconnect();
}

TEST_F(MotionControl, StatusWordDuringAMotionIsReadBesideIt) {
  fake.expect(kGo).wait(500ms).reply("#Execute").logout();  // $GetStatus answered beside
  connect();
  auto motion = startGo(robot);
  awaitLines(2);
  const RemoteStatus status = robot.getRemoteStatus();
  EXPECT_EQ(motion.wait_for(0ms), std::future_status::timeout);  // not queued behind the motion
  EXPECT_TRUE(status.auto_mode && status.running && status.ready);
  EXPECT_FALSE(status.test_mode || status.paused || status.error);
  motion.get();
  robot.disconnect();
}

TEST_F(MotionControl, ContinueDuringMoveUsesTheSamePath) {
  fake.expect("$Execute,\"Move P2\"").expect("$Continue").reply("#Continue").reply("#Execute");
  fake.logout();
  connect();
  auto motion = std::async(std::launch::async, [this] {
    robot.move("P2", false, false, false, std::nullopt, std::nullopt, false);
  });
  awaitLines(2);
  robot.continueMotion();
  motion.get();
  robot.disconnect();
}

TEST_F(MotionControl, PauseWhileContinueWaitsIsWrittenAtOnceAndEachGetsItsOwnReply) {
  fake.expect(kGo).expect("$Continue").expect("$Pause").wait(200ms);
  fake.reply("!Continue,20").reply("#Pause").reply("#Execute").logout();
  connect();
  auto motion = startGo(robot);
  awaitLines(2);
  auto first = std::async(std::launch::async, [this] { robot.continueMotion(); });
  awaitLines(3);
  EXPECT_NO_THROW(robot.pause());
  EXPECT_EQ(errorOf([&] { first.get(); }),
            "Remote command failed: !Continue,20 (command: $Continue)");
  motion.get();
  robot.disconnect();
}

TEST_F(MotionControl, ErrorReplyWhilePauseIsPendingGoesToThePause) {
  fake.expect(kGo).expect("$Pause").reply("!Pause,4").wait(100ms).reply("#Execute").logout();
  connect();
  auto motion = startGo(robot);
  awaitLines(2);
  EXPECT_EQ(errorOf([this] { robot.pause(); }),
            "Remote command failed: !Pause,4 (command: $Pause)");
  EXPECT_NO_THROW(motion.get());
  EXPECT_TRUE(robot.isLoggedIn());
  robot.disconnect();
}

TEST_F(MotionControl, PauseRegisteredAsTheMotionEndsStillGetsItsReply) {
  // The motion's reply comes first; the pause reply follows after the motion's reader would
  // otherwise have left. It must reach the pause and must not be left for the next command.
  fake.expect(kGo).expect("$Pause").reply("#Execute").wait(150ms).reply("#Pause");
  fake.respond("$Execute,\"Reset\"", "#Execute").logout();
  connect();
  auto motion = startGo(robot);
  awaitLines(2);
  const auto called = Clock::now();
  EXPECT_NO_THROW(robot.pause());
  EXPECT_LT(Clock::now() - called, 2s);
  EXPECT_NO_THROW(motion.get());
  EXPECT_NO_THROW(robot.resetController());
  robot.disconnect();
}

TEST_F(MotionControl, PauseWithoutMotionIsAnOrdinaryExchange) {
  fake.respond("$Pause", "#Pause").respond("$Continue", "!Continue,2").logout();
  connect();
  EXPECT_NO_THROW(robot.pause());
  EXPECT_EQ(errorOf([this] { robot.continueMotion(); }),
            "Remote command failed: !Continue,2 (command: $Continue)");
  robot.disconnect();
}

TEST_F(MotionControl, PauseWaitsForANonMotionOperationThenExchanges) {
  fake.expect("$Execute,\"Reset\"").wait(300ms).reply("#Execute");
  fake.respond("$Pause", "#Pause").logout();
  connect();
  auto reset = std::async(std::launch::async, [this] { robot.resetController(); });
  awaitLines(2);
  EXPECT_NO_THROW(robot.pause());
  reset.get();
  robot.disconnect();
}

TEST_F(MotionControl, UnansweredPauseTimesOutAfterFiveSeconds) {
  fake.expect(kGo).expect("$Pause").wait(5500ms).reply("#Execute").logout();
  connect();
  auto motion = startGo(robot);
  awaitLines(2);
  const auto called = Clock::now();
  EXPECT_EQ(errorOf([this] { robot.pause(); }), "Timed out waiting for Epson response to $Pause");
  const auto waited = Clock::now() - called;
  EXPECT_GE(waited, 4900ms);
  EXPECT_LT(waited, 6000ms);
  EXPECT_NO_THROW(motion.get());
  robot.disconnect();
}

TEST_F(MotionControl, GetStateDuringMotionFailsAtOnceWithoutSending) {
  fake.expect(kGo).wait(300ms).reply("#Execute").logout();
  connect();
  auto motion = startGo(robot);
  awaitLines(2);
  const auto called = Clock::now();
  EXPECT_EQ(errorOf([this] { robot.getState(); }),
            "getState() skipped: a motion command is in progress and holds the connection until "
            "the move completes");
  EXPECT_LT(Clock::now() - called, 100ms);  // not the 250 ms lock wait, nor the motion
  motion.get();
  robot.disconnect();
}

TEST_F(MotionControl, ManyPausesAndContinuesDuringOneMotion) {
  fake.expect(kGo);
  constexpr int kRounds = 20;
  for (int i = 0; i < kRounds; ++i) {
    fake.expect("$Pause").reply("#Pause").expect("$Continue").reply("#Continue");
  }
  fake.reply("#Execute").logout();
  connect();
  auto motion = startGo(robot);
  awaitLines(2);
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_NO_THROW(robot.pause());
    ASSERT_NO_THROW(robot.continueMotion());
  }
  motion.get();
  robot.disconnect();
}

}  // namespace
}  // namespace epson
