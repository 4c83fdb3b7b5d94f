// Pausing on a controller that refuses $Pause while an $Execute runs: the motion is stopped by
// $Abort and written again on continue, line by line as the controller sees it.

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
using test::exec;
using test::thrownText;

const std::string kSpeed = exec("Speed 50");
const std::string kGo = exec("Go P1");

class PauseByAbort : public test::LoggedInSession {
 protected:
  // go P1 at Speed 50, paused by $Abort: the lines up to the stopped motion's reply.
  std::future<void> goPaused() {
    fake_.respond(kSpeed, "#Execute,0").expect(kGo);
    fake_.respond("$Pause", "!Pause,21").respond("$Abort", "#Abort,0").reply("!Execute,36");
    auto motion = std::async(std::launch::async, [this] {
      robot_.go("P1", false, false, std::nullopt, std::nullopt, std::nullopt, false, 50);
    });
    EXPECT_TRUE(fake_.waitForLines(3, 5s));
    robot_.pause();  // returns once #Abort came
    EXPECT_TRUE(fake_.waitUntilDone());
    EXPECT_EQ(motion.wait_for(100ms), std::future_status::timeout);  // paused, not ended
    return motion;
  }
};

TEST_F(PauseByAbort, ContinueWritesTheSettingsAndTheStatementAgain) {
  auto motion = goPaused();
  robot_.pause();  // paused already: nothing written
  fake_.respond(kSpeed, "#Execute,0").expect(kGo).wait(100ms).reply("#Execute,0");
  robot_.continueMotion();
  EXPECT_NO_THROW(motion.get());
  EXPECT_EQ(fake_.texts(),
            (std::vector<std::string>{"$Login,", kSpeed, kGo, "$Pause", "$Abort", kSpeed, kGo}));
  expectNothingSentBefore();
}

TEST_F(PauseByAbort, AbortWhilePausedWritesNothingAndEndsTheMotion) {
  auto motion = goPaused();
  EXPECT_TRUE(robot_.abortMotion());
  try {
    motion.get();
    ADD_FAILURE() << "the go returned";
  } catch (const MotionAbortedError& e) {
    EXPECT_EQ(e.code(), 36);
  }
  expectNothingSentBefore();
}

TEST_F(PauseByAbort, AnInterruptWhilePausedEndsTheMotionAtRest) {
  std::atomic<bool> interrupt{false};
  setInterruptCheck(
      [&interrupt] { return interrupt.load(); });  // a wait keeps the check it began with
  auto motion = goPaused();
  interrupt = true;
  EXPECT_EQ(thrownText<InterruptedError>([&] { motion.get(); }),
            "Interrupted while the motion " + kGo + " was paused; the robot is at rest");
  setInterruptCheck(nullptr);
  EXPECT_TRUE(robot_.isLoggedIn());
  expectNothingSentBefore();
}

TEST_F(PauseByAbort, AMotionThatCannotBeWrittenAgainIsNotPausedAndGoesOn) {
  const std::string go = exec("Go P1 !D10; On 1!");
  fake_.expect(go).respond("$Pause", "!Pause,21").wait(100ms).reply("#Execute,0");
  auto motion = std::async(std::launch::async, [this] {
    robot_.go("P1", false, false, std::nullopt, std::nullopt, "D10; On 1", false);
  });
  ASSERT_TRUE(fake_.waitForLines(2, 5s));
  try {
    robot_.pause();
    ADD_FAILURE() << "paused";
  } catch (const ControllerError& e) {
    EXPECT_EQ(e.code(), 21);
    EXPECT_NE(std::string(e.what()).find("its parallel processing would run again"),
              std::string::npos);
  }
  EXPECT_NO_THROW(motion.get());
  expectNothingSentBefore();
}

}  // namespace
}  // namespace epson
