// getState and inverseKinematics against the scripted fake.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <epson/brevacon.h>

#include "fake_controller.h"
#include "session_fixture.h"

namespace epson {
namespace {

using std::chrono::milliseconds;
using test::CaseName;
using test::Clock;
using test::exec;
using test::FakeController;
using test::printed;
using test::thrownText;

const char kStateQuery[] =
    "Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),CX(Here),CY(Here),CZ(Here),CU(Here),"
    "CV(Here),CW(Here)";
const char kSkipped[] =
    "getState() skipped: a motion command is in progress and holds the connection until the "
    "move completes";

class StateIkTest : public test::LoggedInSession {};

// --- getState parsing ---------------------------------------------------------------------------

struct StateCase {
  const char* name;
  const char* result;
  int count;  // 12: success with the values 1..12
};

class StateParseTest : public StateIkTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(StateParseTest, ReadsTwelveValues) {
  const StateCase& c = GetParam();
  fake_.respond(exec(kStateQuery), printed(c.result));
  if (c.count != 12) {
    EXPECT_EQ(thrownText([&] { robot_.getState(); }),
              "Failed to parse robot state. Expected 12 values, received " +
                  std::to_string(c.count) + ": \"" + c.result + "\"");
    EXPECT_TRUE(robot_.isLoggedIn());
    return;
  }
  const std::vector<double> state = robot_.getState();
  ASSERT_EQ(state.size(), 12u);
  for (int i = 0; i < 12; ++i) EXPECT_DOUBLE_EQ(state[i], i + 1) << "value " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, StateParseTest,
    ::testing::Values(StateCase{"Commas", "1,2,3,4,5,6,7,8,9,10,11,12", 12},
                      StateCase{"Blanks", "1 2 3 4 5 6 7 8 9 10 11 12", 12},
                      StateCase{"CommasAndBlanks", " 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12 ", 12},
                      StateCase{"Decimals", "1.0,2.00,3,4,5,6,7e0,8,9,10,11,1.2e1", 12},
                      StateCase{"Eleven", "1,2,3,4,5,6,7,8,9,10,11", 11},
                      StateCase{"Thirteen", "1,2,3,4,5,6,7,8,9,10,11,12,13", 13},
                      StateCase{"WordInside", "1,2,3,x,5,6,7,8,9,10,11,12", 3},
                      StateCase{"Empty", "", 0}),
    CaseName());

TEST_F(StateIkTest, StateKeepsFullPrecisionAndSign) {
  fake_.respond(exec(kStateQuery),
                printed("-0.5,90,-179.999999999,0,1e-9,360,400.123456789012,-0,300,0,90,180"));
  const std::vector<double> state = robot_.getState();
  ASSERT_EQ(state.size(), 12u);
  EXPECT_DOUBLE_EQ(state[0], -0.5);
  EXPECT_DOUBLE_EQ(state[2], -179.999999999);
  EXPECT_DOUBLE_EQ(state[4], 1e-9);
  EXPECT_DOUBLE_EQ(state[6], 400.123456789012);
  EXPECT_TRUE(std::signbit(state[7]));
}

// --- getState and the session lock ----------------------------------------------------------

TEST_F(StateIkTest, StateDuringAMotionFailsAtOnceAndSendsNothing) {
  fake_.expect(exec("Go P1"));
  std::thread motion([&] { goP1(); });
  // The login and the motion: the flag is set by now. EXPECT, not ASSERT: the thread must
  // still be joined.
  EXPECT_TRUE(fake_.waitForLines(2));

  double worstMs = 0;
  for (int i = 0; i < 20; ++i) {
    const auto start = Clock::now();
    const std::string text = thrownText([&] { robot_.getState(); });
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    worstMs = std::max(worstMs, ms);
    EXPECT_EQ(text, kSkipped);
  }
  // Well under a millisecond in practice; the bound only guards against waiting for the lock.
  EXPECT_LT(worstMs, 50.0);
  std::cout << "getState refusal during a motion: worst of 20 calls " << worstMs << " ms\n";

  fake_.reply("#Execute");
  motion.join();
  fake_.respond(exec(kStateQuery), printed("1,2,3,4,5,6,7,8,9,10,11,12"));
  EXPECT_EQ(robot_.getState().size(), 12u) << "the flag must be clear after the motion";
}

// Another operation holds the session lock for `holdMs` while getState waits for it.
struct LockHoldCase {
  const char* name;
  int holdMs;
  bool timesOut;
};

class StateLockTest : public StateIkTest, public ::testing::WithParamInterface<LockHoldCase> {};

TEST_P(StateLockTest, WaitsAtMost250Milliseconds) {
  const LockHoldCase& c = GetParam();
  fake_.expect(exec("Print Tool")).wait(milliseconds(c.holdMs)).reply(printed("3"));
  std::thread holder([&] { EXPECT_EQ(robot_.getTool(), 3); });
  EXPECT_TRUE(fake_.waitForLines(2));  // not ASSERT: the thread must be joined

  if (!c.timesOut) fake_.respond(exec(kStateQuery), printed("1,2,3,4,5,6,7,8,9,10,11,12"));
  const auto start = Clock::now();
  const std::string text = thrownText([&] { robot_.getState(); });
  const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  holder.join();
  if (c.timesOut) {
    EXPECT_EQ(text, "getState() timed out waiting for the connection");
    EXPECT_GE(waited.count(), 245);
    EXPECT_LT(waited.count(), c.holdMs) << "gave up only when the holder finished";
    std::cout << "getState gave up after " << waited.count() << " ms\n";
    expectNothingSentBefore();
  } else {
    EXPECT_EQ(text, "<no exception>");
  }
}

INSTANTIATE_TEST_SUITE_P(Holds, StateLockTest,
                         ::testing::Values(LockHoldCase{"Short", 60, false},
                                           LockHoldCase{"Long", 700, true}),
                         CaseName());

// --- inverseKinematics validation ---------------------------------------------------------------

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const std::vector<double> kPose = {400, 0, 300, 0, 90, 180};
const std::vector<double> kZeros = {0, 0, 0, 0, 0, 0};

struct IkArgsCase {
  const char* name;
  std::vector<double> pose;
  bool ljm;
  std::optional<std::vector<double>> reference;
  const char* message;
};

class IkValidationTest : public StateIkTest, public ::testing::WithParamInterface<IkArgsCase> {};

TEST_P(IkValidationTest, RejectsInOrderAndSendsNothing) {
  const IkArgsCase& c = GetParam();
  try {
    robot_.inverseKinematics(c.pose, c.ljm, c.reference);
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), c.message);
  }
  expectNothingSentBefore();
}

const char kPoseSix[] = "cartesian_pose must contain exactly 6 values [X, Y, Z, U, V, W]";
const char kPoseFinite[] = "cartesian_pose must contain only finite values";
const char kRefNeedsLjm[] = "reference_joint_positions requires least_joint_motion";
const char kRefSix[] = "reference_joint_positions must contain exactly 6 values";
const char kRefFinite[] = "reference_joint_positions must contain only finite values";

INSTANTIATE_TEST_SUITE_P(
    Arguments, IkValidationTest,
    ::testing::Values(
        IkArgsCase{"FiveValues", {400, 0, 300, 0, 90}, true, std::nullopt, kPoseSix},
        IkArgsCase{"SevenValues", {400, 0, 300, 0, 90, 180, 0}, true, std::nullopt, kPoseSix},
        IkArgsCase{"FiveValuesBeatsBadReference", {0, 0, 0, 0, kNaN}, false, kZeros, kPoseSix},
        IkArgsCase{"NaN", {400, 0, kNaN, 0, 90, 180}, true, std::nullopt, kPoseFinite},
        IkArgsCase{"Infinity", {400, 0, 300, 0, 90, -kInf}, false, std::nullopt, kPoseFinite},
        IkArgsCase{
            "NaNBeatsReferenceWithoutLjm", {kNaN, 0, 0, 0, 0, 0}, false, kZeros, kPoseFinite},
        IkArgsCase{"ReferenceWithoutLjm", kPose, false, kZeros, kRefNeedsLjm},
        IkArgsCase{"ReferenceWithoutLjmBeatsLength", kPose, false, std::vector<double>{0, 0, 0},
                   kRefNeedsLjm},
        IkArgsCase{"ReferenceOfSeven", kPose, true, std::vector<double>{0, 0, 0, 0, 0, 0, 0},
                   kRefSix},
        IkArgsCase{"EmptyReference", kPose, true, std::vector<double>{}, kRefSix},
        IkArgsCase{"InfiniteReference", kPose, true, std::vector<double>{0, 0, kInf, 0, 0, 0},
                   kRefFinite},
        IkArgsCase{"NaNReference", kPose, true, std::vector<double>{0, 0, 0, 0, 0, kNaN},
                   kRefFinite}),
    CaseName());

TEST_F(StateIkTest, InvalidIkArgumentsStillWaitForARunningMotion) {
  fake_.expect(exec("Go P1")).wait(milliseconds(300)).reply("#Execute");
  std::thread motion([&] { goP1(); });
  EXPECT_TRUE(fake_.waitForLines(2));  // not ASSERT: the thread must be joined
  const auto start = Clock::now();
  EXPECT_THROW(robot_.inverseKinematics({1, 2, 3}), std::invalid_argument);
  EXPECT_GE(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count(), 150)
      << "validation runs under the session lock";
  motion.join();
}

// --- inverseKinematics queries ------------------------------------------------------------------

struct IkQueryCase {
  const char* name;
  std::vector<double> pose;
  bool ljm;
  std::optional<std::vector<double>> reference;
  const char* point;
};

class IkQueryTest : public StateIkTest, public ::testing::WithParamInterface<IkQueryCase> {};

TEST_P(IkQueryTest, AsksForEachJointInOrder) {
  const IkQueryCase& c = GetParam();
  for (int joint = 1; joint <= 6; ++joint) {
    fake_.respond(exec(std::string("Print PAgl(") + c.point + "," + std::to_string(joint) + ")"),
                  printed(std::to_string(joint * 10) + ".5"));
  }
  const std::vector<double> joints = robot_.inverseKinematics(c.pose, c.ljm, c.reference);
  ASSERT_EQ(joints.size(), 6u);
  for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(joints[i], (i + 1) * 10 + 0.5);
}

INSTANTIATE_TEST_SUITE_P(
    Points, IkQueryTest,
    ::testing::Values(
        IkQueryCase{"Plain", kPose, false, std::nullopt, "XY(400,0,300,0,90,180)"},
        IkQueryCase{"FromHere", kPose, true, std::nullopt, "LJM(XY(400,0,300,0,90,180),Here)"},
        IkQueryCase{"FromReference", kPose, true, kZeros,
                    "LJM(XY(400,0,300,0,90,180),AglToPls(0,0,0,0,0,0))"},
        IkQueryCase{"SeventeenDigits",
                    {0.1, -90, 1e-05, 123.456789012345678, -0.0, 1e17},
                    false,
                    std::nullopt,
                    "XY(0.10000000000000001,-90,1.0000000000000001e-05,123.45678901234568,-0,"
                    "1e+17)"},
        IkQueryCase{"ReferenceDigits", kPose, true,
                    std::vector<double>{0.1, -45.5, 90, 0.0001, 1.0 / 3, 180},
                    "LJM(XY(400,0,300,0,90,180),AglToPls(0.10000000000000001,-45.5,90,"
                    "0.0001,0.33333333333333331,180))"}),
    CaseName());

TEST_F(StateIkTest, RejectedJointQueryIsWrappedKeepingItsClassAndStopsTheQueries) {
  const std::string point = "LJM(XY(400,0,300,0,90,180),Here)";
  auto queryOf = [&](int j) { return "Print PAgl(" + point + "," + std::to_string(j) + ")"; };
  fake_.respond(exec(queryOf(1)), printed("1"))
      .respond(exec(queryOf(2)), printed("2"))
      .respond(exec(queryOf(3)), "!Execute,4023");
  try {
    robot_.inverseKinematics(kPose);
    ADD_FAILURE() << "no error";
  } catch (const ControllerError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Epson controller IK query failed for joint 3 (" + queryOf(3) +
                  "): Remote command failed: !Execute,4023 (command: " + exec(queryOf(3)) + ")");
    EXPECT_EQ(e.code(), 4023);
    EXPECT_EQ(e.reply(), "!Execute,4023");
  }
  expectNothingSentBefore();
}

TEST_F(StateIkTest, MalformedExecuteReplyIsWrappedToo) {
  const std::string query = "Print PAgl(XY(400,0,300,0,90,180),1)";
  fake_.respond(exec(query), "#Execute,12.5");
  EXPECT_EQ(thrownText([&] { robot_.inverseKinematics(kPose, false); }),
            "Epson controller IK query failed for joint 1 (" + query +
                "): Unexpected Execute response: #Execute,12.5");
}

// The first joint's result decides; a failure stops before the second query.
struct IkResultCase {
  const char* name;
  const char* result;
  std::optional<double> value;
};

class IkResultTest : public StateIkTest, public ::testing::WithParamInterface<IkResultCase> {};

TEST_P(IkResultTest, ParsesOneFiniteNumber) {
  const IkResultCase& c = GetParam();
  const std::string point = "XY(400,0,300,0,90,180)";
  fake_.respond(exec("Print PAgl(" + point + ",1)"), printed(c.result));
  if (!c.value) {
    EXPECT_EQ(thrownText([&] { robot_.inverseKinematics(kPose, false); }),
              std::string("Failed to parse Epson controller IK response for joint 1: \"") +
                  c.result + "\"");
    expectNothingSentBefore();
    return;
  }
  for (int joint = 2; joint <= 6; ++joint) {
    fake_.respond(exec("Print PAgl(" + point + "," + std::to_string(joint) + ")"), printed("0"));
  }
  EXPECT_DOUBLE_EQ(robot_.inverseKinematics(kPose, false).at(0), *c.value);
}

INSTANTIATE_TEST_SUITE_P(Replies, IkResultTest,
                         ::testing::Values(IkResultCase{"Plain", "12.5", 12.5},
                                           IkResultCase{"Padded", "  12.5  ", 12.5},
                                           IkResultCase{"Negative", "-179.75", -179.75},
                                           IkResultCase{"Exponent", "1.25e1", 12.5},
                                           IkResultCase{"TrailingWord", "12.5 deg", std::nullopt},
                                           IkResultCase{"TwoNumbers", "12.5 13", std::nullopt},
                                           IkResultCase{"CommaPair", "12.5,13", std::nullopt},
                                           IkResultCase{"Empty", "", std::nullopt},
                                           IkResultCase{"Word", "error", std::nullopt},
                                           IkResultCase{"Overflow", "1e999", std::nullopt}),
                         CaseName());

}  // namespace
}  // namespace epson
