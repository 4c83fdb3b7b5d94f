// go and move: statement texts and order, validation, and the motion-pending flag afterwards.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <epson/brevacon.h>

#include "fake_controller.h"
#include "session_fixture.h"

namespace epson {
namespace {

using std::nullopt;
using test::CaseName;
using test::exec;
using test::FakeController;
using test::printed;
using test::thrownText;

const char kStateQuery[] =
    "Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),CX(Here),CY(Here),CZ(Here),CU(Here),"
    "CV(Here),CW(Here)";

class MotionTest : public test::LoggedInSession {
 protected:
  // getState as the next exchange: it is refused if the motion-pending flag was left set, and
  // the strict script fails if the call before it wrote anything.
  void expectIdleAndNothingSent() {
    fake_.respond(exec(kStateQuery), "#Execute,\"1,2,3,4,5,6,7,8,9,10,11,12\"");
    EXPECT_EQ(thrownText([&] { robot_.getState(); }), "<no exception>");
  }
};

// --- statements ---------------------------------------------------------------------------------

struct MotionCase {
  const char* name;
  std::function<void(Brevacon&)> call;
  std::vector<std::string> statements;  // settings first, the motion last
};

class MotionStatementTest : public MotionTest, public ::testing::WithParamInterface<MotionCase> {};

TEST_P(MotionStatementTest, SendsSettingsThenTheMotion) {
  const MotionCase& c = GetParam();
  for (const std::string& s : c.statements) fake_.respond(exec(s), "#Execute");
  c.call(robot_);
  expectIdleAndNothingSent();
}

INSTANTIATE_TEST_SUITE_P(
    Go, MotionStatementTest,
    ::testing::Values(
        MotionCase{"Plain",
                   [](Brevacon& r) { r.go("P1", false, false, nullopt, nullopt, nullopt, false); },
                   {"Go P1"}},
        MotionCase{"Everything",
                   [](Brevacon& r) { r.go("P1", true, true, 1, "S", "Q", true); },
                   {"Go P1 CP LJM 1 S !Q! SYNC"}},
        MotionCase{"LjmWithoutOrientation",
                   [](Brevacon& r) { r.go("P1", false, true, nullopt, nullopt, nullopt, false); },
                   {"Go P1 LJM"}},
        MotionCase{"AnyOrientationInteger",
                   [](Brevacon& r) { r.go("P(1)", false, true, -3, nullopt, nullopt, false); },
                   {"Go P(1) LJM -3"}},
        MotionCase{"SearchAndSync",
                   [](Brevacon& r) {
                     r.go("P1 +Z(10)", false, false, nullopt, "Till Sw(1) = On", nullopt, true);
                   },
                   {"Go P1 +Z(10) Till Sw(1) = On SYNC"}},
        MotionCase{
            "ParallelOnly",
            [](Brevacon& r) { r.go("P1", true, false, nullopt, nullopt, "D10; On 1", false); },
            {"Go P1 CP !D10; On 1!"}},
        MotionCase{
            "SpeedOnly",
            [](Brevacon& r) { r.go("P1", false, false, nullopt, nullopt, nullopt, false, 50); },
            {"Speed 50", "Go P1"}},
        MotionCase{
            "SpeedAndAcceleration",
            [](Brevacon& r) { r.go("P1", false, false, nullopt, nullopt, nullopt, false, 50, 30); },
            {"Speed 50", "Accel 30, 30", "Go P1"}},
        MotionCase{"AllThreeSettings",
                   [](Brevacon& r) {
                     r.go("P1", true, false, nullopt, nullopt, nullopt, false, 50, 30, 20);
                   },
                   {"Speed 50", "Accel 30, 20", "Go P1 CP"}},
        MotionCase{"AccelerationWithoutSpeed",
                   [](Brevacon& r) {
                     r.go("P1", false, false, nullopt, nullopt, nullopt, false, nullopt, 5000, 1);
                   },
                   {"Accel 5000, 1", "Go P1"}},
        MotionCase{
            "SpeedLowest",
            [](Brevacon& r) { r.go("P1", false, false, nullopt, nullopt, nullopt, false, 1); },
            {"Speed 1", "Go P1"}},
        MotionCase{
            "SpeedHighest",
            [](Brevacon& r) { r.go("P1", false, false, nullopt, nullopt, nullopt, false, 100); },
            {"Speed 100", "Go P1"}}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    Move, MotionStatementTest,
    ::testing::Values(
        MotionCase{"Plain",
                   [](Brevacon& r) { r.move("P2", false, false, false, nullopt, nullopt, false); },
                   {"Move P2"}},
        MotionCase{"RotCp",
                   [](Brevacon& r) { r.move("P2", true, false, true, nullopt, nullopt, false); },
                   {"Move P2 ROT CP"}},
        MotionCase{"ModifierOrder",
                   [](Brevacon& r) { r.move("P2", true, true, true, nullopt, nullopt, false); },
                   {"Move P2 ROT ECP CP"}},
        MotionCase{"Everything",
                   [](Brevacon& r) { r.move("P2", true, true, true, "Till Sw(2)", "Q", true); },
                   {"Move P2 ROT ECP CP Till Sw(2) !Q! SYNC"}},
        MotionCase{
            "SpeedS",
            [](Brevacon& r) { r.move("P2", false, false, false, nullopt, nullopt, false, 250.0); },
            {"SpeedS 250.00000000000000000", "Move P2"}},
        MotionCase{"AccelSOnly",
                   [](Brevacon& r) {
                     r.move("P2", false, false, false, nullopt, nullopt, false, nullopt, 0.1);
                   },
                   {"AccelS 0.10000000000000001", "Move P2"}},
        MotionCase{"BothSettings",
                   [](Brevacon& r) {
                     r.move("P2", false, true, false, nullopt, nullopt, false, 0.001, 1e20);
                   },
                   {"SpeedS 0.00100000000000000", "AccelS 100000000000000000000.00000000000000000",
                    "Move P2 ECP"}}),
    CaseName());

// --- validation ---------------------------------------------------------------------------------

struct RejectCase {
  const char* name;
  std::function<void(Brevacon&)> call;
  const char* message;
};

class MotionRejectTest : public MotionTest, public ::testing::WithParamInterface<RejectCase> {};

TEST_P(MotionRejectTest, RejectsSendsNothingAndClearsTheFlag) {
  const RejectCase& c = GetParam();
  try {
    c.call(robot_);
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), c.message);
  }
  expectIdleAndNothingSent();
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Go, MotionRejectTest,
    ::testing::Values(
        RejectCase{"EmptyDestination",
                   [](Brevacon& r) { r.go("", false, false, 1, "", "", false, 0, 0, 0); },
                   "Go destination must not be empty"},
        RejectCase{"OrientationWithoutLjm",
                   [](Brevacon& r) { r.go("P1", false, false, 1, nullopt, nullopt, false, 0); },
                   "orientation_flag can only be used when LJM is enabled"},
        RejectCase{
            "SpeedZero",
            [](Brevacon& r) { r.go("P1", false, false, nullopt, nullopt, nullopt, false, 0); },
            "speed_percent must be at least 1"},
        RejectCase{
            "SpeedNegative",
            [](Brevacon& r) { r.go("P1", false, false, nullopt, nullopt, nullopt, false, -5); },
            "speed_percent must be at least 1"},
        RejectCase{
            "SpeedAbove100",
            [](Brevacon& r) { r.go("P1", false, false, nullopt, nullopt, nullopt, false, 101, 0); },
            "speed_percent must be between 1 and 100"},
        RejectCase{"AccelerationZero",
                   [](Brevacon& r) {
                     r.go("P1", false, false, nullopt, nullopt, nullopt, false, 50, 0, 0);
                   },
                   "acceleration_percent must be at least 1"},
        RejectCase{"DecelerationZeroWithoutAcceleration",
                   [](Brevacon& r) {
                     r.go("P1", false, false, nullopt, nullopt, nullopt, false, nullopt, nullopt,
                          0);
                   },
                   "deceleration_percent must be at least 1"},
        RejectCase{"DecelerationWithoutAcceleration",
                   [](Brevacon& r) {
                     r.go("P1", false, false, nullopt, "", nullopt, false, nullopt, nullopt, 20);
                   },
                   "deceleration_percent requires acceleration_percent"},
        RejectCase{"EmptySearch",
                   [](Brevacon& r) { r.go("P1", false, false, nullopt, "", "", false); },
                   "search_expression must not be empty"},
        RejectCase{"EmptyParallel",
                   [](Brevacon& r) { r.go("P1", false, false, nullopt, "S\"", "", false); },
                   "parallel_processing must not be empty"},
        RejectCase{"EmptinessBeforeQuotes",
                   [](Brevacon& r) { r.go("P1\"", false, false, nullopt, "", nullopt, false); },
                   "search_expression must not be empty"},
        RejectCase{
            "RangeBeforeQuotes",
            [](Brevacon& r) { r.go("P1\"", false, false, nullopt, nullopt, nullopt, false, 0); },
            "speed_percent must be at least 1"},
        RejectCase{"QuoteInDestination",
                   [](Brevacon& r) {
                     r.go("P1\" : Motor Off : \"", false, false, nullopt, nullopt, nullopt, false);
                   },
                   "destination must not contain quotes or line endings"},
        RejectCase{"LineFeedInDestination",
                   [](Brevacon& r) {
                     r.go("P1\n$Execute,\"Motor On", false, false, nullopt, "S\r", nullopt, false);
                   },
                   "destination must not contain quotes or line endings"},
        RejectCase{"CarriageReturnInSearch",
                   [](Brevacon& r) { r.go("P1", false, false, nullopt, "S\r", "Q\"", false); },
                   "search_expression must not contain quotes or line endings"},
        RejectCase{
            "QuoteInParallel",
            [](Brevacon& r) { r.go("P1", false, false, nullopt, "S", "Print \"x\"", false); },
            "parallel_processing must not contain quotes or line endings"}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    Move, MotionRejectTest,
    ::testing::Values(
        RejectCase{"EmptyDestination",
                   [](Brevacon& r) { r.move("", false, false, false, "", "", false, kNaN, kNaN); },
                   "Move destination must not be empty"},
        RejectCase{
            "SpeedZero",
            [](Brevacon& r) { r.move("P2", false, false, false, nullopt, nullopt, false, 0.0); },
            "speed_mm_s must be finite and positive"},
        RejectCase{
            "SpeedNegative",
            [](Brevacon& r) { r.move("P2", false, false, false, nullopt, nullopt, false, -1.0); },
            "speed_mm_s must be finite and positive"},
        RejectCase{
            "SpeedNegativeZero",
            [](Brevacon& r) { r.move("P2", false, false, false, nullopt, nullopt, false, -0.0); },
            "speed_mm_s must be finite and positive"},
        RejectCase{"SpeedNaNBeforeAcceleration",
                   [](Brevacon& r) {
                     r.move("P2", false, false, false, nullopt, nullopt, false, kNaN, kNaN);
                   },
                   "speed_mm_s must be finite and positive"},
        RejectCase{
            "SpeedInfinite",
            [](Brevacon& r) { r.move("P2", false, false, false, nullopt, nullopt, false, kInf); },
            "speed_mm_s must be finite and positive"},
        RejectCase{
            "AccelerationNaN",
            [](Brevacon& r) { r.move("P2", false, false, false, "", nullopt, false, 250.0, kNaN); },
            "acceleration_mm_s2 must be finite and positive"},
        RejectCase{"AccelerationMinusInfinity",
                   [](Brevacon& r) {
                     r.move("P2", false, false, false, nullopt, nullopt, false, nullopt, -kInf);
                   },
                   "acceleration_mm_s2 must be finite and positive"},
        RejectCase{"EmptySearch",
                   [](Brevacon& r) { r.move("P2", true, false, false, "", nullopt, false); },
                   "search_expression must not be empty"},
        RejectCase{"EmptyParallel",
                   [](Brevacon& r) { r.move("P2\"", false, false, false, nullopt, "", false); },
                   "parallel_processing must not be empty"},
        RejectCase{"QuoteInDestination",
                   [](Brevacon& r) {
                     r.move("P2\"", false, false, false, nullopt, nullopt, false, 250.0);
                   },
                   "destination must not contain quotes or line endings"},
        RejectCase{"LineFeedInSearch",
                   [](Brevacon& r) { r.move("P2", false, false, false, "Till\n", nullopt, false); },
                   "search_expression must not contain quotes or line endings"},
        RejectCase{"CarriageReturnInParallel",
                   [](Brevacon& r) { r.move("P2", false, false, false, nullopt, "On 1\r", false); },
                   "parallel_processing must not contain quotes or line endings"}),
    CaseName());

// --- controller replies -------------------------------------------------------------------------

TEST_F(MotionTest, RejectedSettingStopsTheSequence) {
  fake_.respond(exec("Speed 50"), "#Execute").respond(exec("Accel 30, 20"), "!Execute,2");
  EXPECT_EQ(thrownText([&] {
              robot_.go("P1", false, false, nullopt, nullopt, nullopt, false, 50, 30, 20);
            }),
            "Remote command failed: !Execute,2 (command: $Execute,\"Accel 30, 20\")");
  expectIdleAndNothingSent();
}

TEST_F(MotionTest, RejectedSpeedSStopsTheSequence) {
  fake_.respond(exec("SpeedS 250.00000000000000000"), "!Execute,2");
  EXPECT_THROW(robot_.move("P2", false, false, false, nullopt, nullopt, false, 250.0, 1000.0),
               std::runtime_error);
  expectIdleAndNothingSent();
}

TEST_F(MotionTest, MotionErrorReplyNamesTheStatementAndClearsTheFlag) {
  fake_.respond(exec("Go P1 CP"), "!Execute,4001");
  EXPECT_EQ(thrownText([&] { robot_.go("P1", true, false, nullopt, nullopt, nullopt, false); }),
            "Remote command failed: !Execute,4001 (command: $Execute,\"Go P1 CP\")");
  EXPECT_TRUE(robot_.isLoggedIn());
  expectIdleAndNothingSent();
}

TEST_F(MotionTest, NotConnectedFailsAndClearsTheFlag) {
  fake_.logout();
  robot_.disconnect();
  EXPECT_EQ(thrownText([&] { robot_.move("P2", false, false, false, nullopt, nullopt, false); }),
            "command() was called but socket not connected");
  // getState now fails for the missing socket, not for a motion.
  EXPECT_EQ(thrownText([&] { robot_.getState(); }),
            "command() was called but socket not connected");
}

TEST_F(MotionTest, ConnectionLostDuringTheMotionClearsTheFlag) {
  fake_.expect(exec("Go P1")).close();
  EXPECT_EQ(thrownText([&] {
              robot_.go("P1", false, false, nullopt, nullopt, nullopt, false);
            }).rfind("Failed while waiting for an Epson Remote Ethernet response: ", 0),
            0u);
  EXPECT_FALSE(robot_.isConnected());
  EXPECT_EQ(thrownText([&] { robot_.getState(); }),
            "command() was called but socket not connected");
}

// The motion's reply may take far longer than the 5 s of every other exchange.
TEST_F(MotionTest, MotionReplyMayArriveAfterFiveSeconds) {
  fake_.expect(exec("Move P2")).wait(std::chrono::milliseconds(5300)).reply("#Execute");
  EXPECT_NO_THROW(robot_.move("P2", false, false, false, nullopt, nullopt, false));
  EXPECT_TRUE(robot_.isConnected());
  expectIdleAndNothingSent();
}

}  // namespace
}  // namespace epson
