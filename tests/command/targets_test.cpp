// Motions to poses and joint angles, Jump3, the point table and motion handles, against the
// scripted fake: what reaches the wire, in which order, and what does not.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

#include <epson/brevacon.h>

#include "fake_controller.h"
#include "session_fixture.h"

namespace epson {
namespace {

using namespace std::chrono_literals;
using test::exec;
using test::printed;
using test::thrownText;

const std::string kPosture =
    exec("Print Hand(Here),Elbow(Here),Wrist(Here),J4Flag(Here),J6Flag(Here)");
const Pose kAbove{400, 0, 300, 0, 90, 180};

class Targets : public test::LoggedInSession {};

TEST_F(Targets, APoseKeepsThePostureReadOnceAndJointsNeedNone) {
  fake_.respond(kPosture, printed("1 2 1 0 3"))
      .respond(exec("Go XY(400,0,300,0,90,180) /R /B /NF /J4F0 /J6F3"), "#Execute,0");
  robot_.go(kAbove);
  fake_.respond(exec("Go XY(400,0,300,0,90,180) LJM"), "#Execute,0");  // the least joint motion
  robot_.go(kAbove, false, true);
  fake_.respond(exec("Move AglToPls(0,10,0,0,80,0)"), "#Execute,0");
  robot_.move(Joints{0, 10, 0, 0, 80, 0});
  fake_.respond(kPosture, printed("2 1 2 1 0"))
      .respond(exec("Jump3 XY(400,0,300,0,90,180) /L /A /F /J4F1 /J6F0, P2 +Z(50), "
                    "XY(1,2,3,4,5,6) /L /A /F /J4F1 /J6F0 C3"),
               "#Execute,0");
  robot_.jump3(kAbove, "P2 +Z(50)", Pose{1, 2, 3, 4, 5, 6}, 3);
  expectNothingSentBefore();
}

TEST_F(Targets, BadTargetsSendNothingAndAJumpIsAControllerRefusalOnASixAxisArm) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(robot_.go(Pose{nan, 0, 0, 0, 0, 0}), std::invalid_argument);
  EXPECT_THROW(robot_.jump3("P1", Joints{0, 0, 0, 0, 0, nan}, "P2"), std::invalid_argument);
  EXPECT_THROW(robot_.jump("P1", 9), std::invalid_argument);
  EXPECT_THROW(robot_.getPoint(1000), std::out_of_range);
  EXPECT_THROW(robot_.savePoints("a\"b"), std::invalid_argument);
  fake_.respond(exec("Jump P1 C2 LimZ -20"), "!Execute,7");
  EXPECT_THROW(robot_.jump("P1", 2, -20.0), ControllerError);
  expectNothingSentBefore();
}

TEST_F(Targets, PointTableAndTheCurrentPosition) {
  fake_.respond(exec("P12 = XY(1,2,3,4,5,6)"), "#Execute,0")
      .respond(exec("Print CX(P12),CY(P12),CZ(P12),CU(P12),CV(P12),CW(P12)"),
               printed("1 2 3 4 5 6"))
      .respond(exec("P0 = Here"), "#Execute,0")
      .respond(exec("SavePoints \"cell.pts\""), "#Execute,0")
      .respond(exec("LoadPoints \"cell.pts\""), "#Execute,0")
      .respond(exec("Print CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),CW(Here)"),
               printed("400 0 300 0 90 180"))
      .respond(exec("Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6)"), printed("0 0 0 0 90 0"));
  robot_.setPoint(12, Pose{1, 2, 3, 4, 5, 6});
  EXPECT_EQ(robot_.getPoint(12), (Pose{1, 2, 3, 4, 5, 6}));
  robot_.teachPoint(0);
  robot_.savePoints("cell.pts");
  robot_.loadPoints("cell.pts");
  EXPECT_EQ(robot_.here(), kAbove);
  EXPECT_EQ(robot_.hereJoints(), (Joints{0, 0, 0, 0, 90, 0}));
  expectNothingSentBefore();
}

class Handles : public test::LoggedInSession {};

TEST_F(Handles, AStartedMotionReturnsOnceWrittenAndIsWaitedFor) {
  fake_.respond(exec("Speed 20"), "#Execute,0").expect(exec("Go P1")).wait(300ms);
  fake_.reply("#Execute,0");
  Motion motion =
      robot_.startGo("P1", false, false, std::nullopt, std::nullopt, std::nullopt, false, 20);
  // Written before it returned; the peer reads it on a thread of its own, so it may still be on
  // its way there.
  ASSERT_TRUE(fake_.waitForLines(3, 5s));  // the login, the setting, the motion
  EXPECT_EQ(fake_.texts().back(), exec("Go P1"));
  EXPECT_EQ(motion.statement(), exec("Go P1"));
  EXPECT_FALSE(motion.done());
  EXPECT_EQ(thrownText<std::runtime_error>([this] { robot_.startMove("P2"); }),
            "A motion is running on this session: " + exec("Go P1") +
                "; wait for it or abort it before starting another");
  EXPECT_FALSE(motion.wait(50ms));
  EXPECT_TRUE(robot_.getRemoteStatus().auto_mode);  // beside the running motion
  EXPECT_TRUE(motion.wait(5s));
  EXPECT_NO_THROW(motion.get());
  EXPECT_FALSE(motion.abort());  // ended: nothing sent
  expectNothingSentBefore();
}

TEST_F(Handles, AbortAndARefusedSettingReachTheCaller) {
  fake_.respond(exec("Speed 20"), "!Execute,2");
  EXPECT_THROW(
      robot_.startGo("P1", false, false, std::nullopt, std::nullopt, std::nullopt, false, 20),
      ControllerError);  // raised by the start, before anything runs
  fake_.expect(exec("Go P1")).expect("$Abort").reply("#Abort,0").reply("!Execute,36");
  Motion motion = robot_.startGo("P1");
  EXPECT_TRUE(motion.abort());
  try {
    motion.get();
    ADD_FAILURE() << "the motion ended normally";
  } catch (const MotionAbortedError& e) {
    EXPECT_EQ(e.code(), 36);
  }
  expectNothingSentBefore();
}

TEST_F(Handles, AHandleDroppedWhileItsMotionRunsAbortsIt) {
  fake_.expect(exec("Go P1")).expect("$Abort").reply("#Abort,0").reply("!Execute,36");
  { Motion motion = robot_.startGo("P1"); }
  expectNothingSentBefore();
}

}  // namespace
}  // namespace epson
