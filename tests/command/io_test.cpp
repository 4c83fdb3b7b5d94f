// Cell I/O against the scripted controller: what goes on the wire, a refusal's code, and the
// waits, which run as a motion does (abort, interrupt and heartbeat reach them).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>

#include <epson/brevacon.h>
#include <epson/interrupt.h>

#include "fake_controller.h"
#include "session_fixture.h"

namespace epson {
namespace {

using namespace std::chrono_literals;
using test::exec;
using test::printed;
using test::thrownText;

const std::string kWaitOn = exec("Wait Sw(8) = On, 2.5");
const std::string kTimedOut = exec("Print TW");

class CellIo : public test::LoggedInSession {
 protected:
  std::future<bool> startWait() {
    auto wait = std::async(std::launch::async, [this] { return robot_.waitInput(8, true, 2.5s); });
    EXPECT_TRUE(fake_.waitForLines(2, 5s));  // the login, then the wait
    return wait;
  }
};

TEST_F(CellIo, OperationsSendTheirStatementsAndReadTheirValues) {
  fake_.respond(exec("On 8"), "#Execute")
      .respond(exec("Print Oport(8)"), printed("-1"))
      .respond(exec("Print Sw(8)"), printed("Off"))
      .respond(exec("Out 1,15"), "#Execute")
      .respond(exec("Print Out(1)"), printed("15"))
      .respond(exec("Print In(1)"), printed(" 3"))
      .respond(exec("OutW 1,255"), "#Execute")
      .respond(exec("Print OutW(1)"), printed("255"))
      .respond(exec("Print InW(1)"), printed("65535"))
      .respond(exec("MemOff 3"), "#Execute")
      .respond(exec("Print MemSw(3)"), printed("True"));
  robot_.setOutput(8, true);
  EXPECT_TRUE(robot_.getOutput(8));
  EXPECT_FALSE(robot_.getInput(8));
  robot_.setOutputByte(1, 15);
  EXPECT_EQ(robot_.getOutputByte(1), 15);
  EXPECT_EQ(robot_.getInputByte(1), 3);
  robot_.setOutputWord(1, 255);
  EXPECT_EQ(robot_.getOutputWord(1), 255);
  EXPECT_EQ(robot_.getInputWord(1), 65535);
  robot_.setMemoryBit(3, false);
  EXPECT_TRUE(robot_.getMemoryBit(3));
  // Refused before anything is written.
  EXPECT_THROW(robot_.setOutputByte(1, 256), std::invalid_argument);
  EXPECT_THROW(robot_.waitMemoryBit(3, true, 0s), std::invalid_argument);
  expectNothingSentBefore();
}

TEST_F(CellIo, ARefusalCarriesItsCodeAndAWeirdValueIsQuoted) {
  fake_.respond(exec("On 9999"), "!Execute,2200").respond(exec("Print In(0)"), printed("x"));
  try {
    robot_.setOutput(9999, true);
    ADD_FAILURE() << "no error";
  } catch (const ControllerError& e) {
    EXPECT_EQ(e.code(), 2200);
  }
  EXPECT_EQ(thrownText<std::runtime_error>([&] { robot_.getInputByte(0); }),
            "Failed to parse Epson controller I/O byte value: \"x\"");
  EXPECT_TRUE(robot_.isLoggedIn());
}

TEST_F(CellIo, AWaitThatHoldsAndOneThatTimesOut) {
  fake_.expect(kWaitOn).wait(1200ms).reply("#Execute").respond(kTimedOut, printed("False"));
  fake_.respond(exec("Wait MemSw(3) = Off, 0.5"), "#Execute").respond(kTimedOut, printed("True"));
  auto held = startWait();
  EXPECT_TRUE(held.get());
  EXPECT_FALSE(fake_.heartbeats().empty());  // a second passed: the heartbeat ran as in a motion
  EXPECT_FALSE(robot_.waitMemoryBit(3, false, 500ms));
  expectNothingSentBefore();
}

TEST_F(CellIo, AbortAndAnInterruptReachAWaitAsTheyReachAMotion) {
  fake_.expect(kWaitOn).expect("$Abort").reply("#Abort,0").reply("!Execute,36");
  auto aborted = startWait();
  EXPECT_TRUE(robot_.abortMotion());
  EXPECT_THROW(aborted.get(), MotionAbortedError);

  std::atomic<bool> stop{false};
  setInterruptCheck([&] { return stop.load(); });
  fake_.expect(kWaitOn).expect("$Abort").reply("#Abort,0").reply("!Execute,36");
  auto interrupted =
      std::async(std::launch::async, [this] { return robot_.waitInput(8, true, 2.5s); });
  ASSERT_TRUE(fake_.waitForLines(4, 5s));  // the login, a wait, its abort, the next wait
  stop = true;
  EXPECT_THROW(interrupted.get(), InterruptedError);
  stop = false;
  EXPECT_TRUE(robot_.isLoggedIn());
  expectNothingSentBefore();
}

}  // namespace
}  // namespace epson
