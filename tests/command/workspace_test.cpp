// addSafetyCuboid against the scripted fake: validation, command order and read-back checks.

#include <gtest/gtest.h>

#include <chrono>
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

using test::CaseName;
using test::Clock;
using test::exec;
using test::FakeController;
using test::printed;
using test::thrownText;

const char kBoundsQuery[] =
    "Print CX(XYLim(1)),CX(XYLim(2)),CY(XYLim(1)),CY(XYLim(2)),CZ(XYLim(1)),CZ(XYLim(2))";

class WorkspaceTest : public test::LoggedInSession {
 protected:
  // The two setting statements, accepted.
  void settings(const std::string& bounds) {
    fake_.respond(exec("XYLimMode 1"), "#Execute").respond(exec("XYLim " + bounds), "#Execute");
  }
};

const std::vector<double> kMin = {-500, -400, 0};
const std::vector<double> kMax = {500, 400, 600};

// --- validation ---------------------------------------------------------------------------------

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const char kThree[] = "Safety cuboid corners must each have 3 coordinates";
const char kOrdered[] = "Safety cuboid corners must be finite and strictly ordered on every axis";

struct CornerCase {
  const char* name;
  std::vector<double> min;
  std::vector<double> max;
  const char* message;
};

class CornerValidationTest : public WorkspaceTest,
                             public ::testing::WithParamInterface<CornerCase> {};

TEST_P(CornerValidationTest, RejectsBeforeSendingAnything) {
  const CornerCase& c = GetParam();
  try {
    robot_.addSafetyCuboid(c.min, c.max);
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), c.message);
  }
  expectNothingSentBefore();
}

INSTANTIATE_TEST_SUITE_P(
    Corners, CornerValidationTest,
    ::testing::Values(CornerCase{"TwoCoordinates", {0, 0}, {1, 1, 1}, kThree},
                      CornerCase{"FourCoordinates", {0, 0, 0}, {1, 1, 1, 1}, kThree},
                      CornerCase{"BothEmpty", {}, {}, kThree},
                      CornerCase{"CountBeforeValues", {kNaN, 0}, {1, 1, 1}, kThree},
                      CornerCase{"EqualOnX", {5, 0, 0}, {5, 1, 1}, kOrdered},
                      CornerCase{"ReversedOnY", {0, 2, 0}, {1, 1, 1}, kOrdered},
                      CornerCase{"EqualOnZ", {0, 0, -1}, {1, 1, -1}, kOrdered},
                      CornerCase{"NaNMin", {0, 0, kNaN}, {1, 1, 1}, kOrdered},
                      CornerCase{"NaNMax", {0, 0, 0}, {kNaN, 1, 1}, kOrdered},
                      CornerCase{"InfiniteMax", {0, 0, 0}, {1, kInf, 1}, kOrdered},
                      CornerCase{"MinusInfiniteMin", {-kInf, 0, 0}, {1, 1, 1}, kOrdered}),
    CaseName());

TEST_F(WorkspaceTest, BadCornersFailWithoutWaitingForARunningMotion) {
  fake_.expect(exec("Go P1")).wait(std::chrono::milliseconds(400)).reply("#Execute");
  std::thread motion(
      [&] { robot_.go("P1", false, false, std::nullopt, std::nullopt, std::nullopt, false); });
  EXPECT_TRUE(fake_.waitForLines(2));  // not ASSERT: the thread must be joined
  const auto start = Clock::now();
  EXPECT_THROW(robot_.addSafetyCuboid({0, 0, 0}, {0, 0, 0}), std::invalid_argument);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
            200)
      << "corners are checked before the session lock is taken";
  motion.join();
}

// --- sequence -----------------------------------------------------------------------------------

TEST_F(WorkspaceTest, ModeThenBoundsThenBothReadBacks) {
  fake_.respond(exec("XYLimMode 1"), "#Execute")
      .respond(exec("XYLim -500,500,-400,400,0,600"), "#Execute")
      .respond(exec("Print XYLimMode"), printed("1"))
      .respond(exec(kBoundsQuery), printed("-500,500,-400,400,0,600"));
  robot_.addSafetyCuboid(kMin, kMax);
  expectNothingSentBefore();
}

TEST_F(WorkspaceTest, BoundsUseSeventeenSignificantDigits) {
  settings(
      "0.10000000000000001,0.20000000000000001,-1.0000000000000001e-05,123.45678901234568,"
      "-1e+17,1e+17");
  fake_.respond(exec("Print XYLimMode"), printed("1"))
      .respond(exec(kBoundsQuery), printed("0.1,0.2,0,123.456789,-1e17,1e17"));
  robot_.addSafetyCuboid({0.1, -1e-05, -1e17}, {0.2, 123.456789012345678, 1e17});
}

TEST_F(WorkspaceTest, RejectedModeStopsTheSequence) {
  fake_.respond(exec("XYLimMode 1"), "!Execute,2");
  EXPECT_EQ(thrownText([&] { robot_.addSafetyCuboid(kMin, kMax); }),
            "Remote command failed: !Execute,2 (command: $Execute,\"XYLimMode 1\")");
  expectNothingSentBefore();
}

TEST_F(WorkspaceTest, RejectedBoundsSkipTheReadBacks) {
  fake_.respond(exec("XYLimMode 1"), "#Execute")
      .respond(exec("XYLim -500,500,-400,400,0,600"), "!Execute,2");
  EXPECT_THROW(robot_.addSafetyCuboid(kMin, kMax), std::runtime_error);
  expectNothingSentBefore();
}

// --- mode read-back -----------------------------------------------------------------------------

struct ModeCase {
  const char* name;
  const char* result;
  bool verified;
};

class ModeReadBackTest : public WorkspaceTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ModeReadBackTest, RequiresExactlyOne) {
  const ModeCase& c = GetParam();
  settings("-500,500,-400,400,0,600");
  fake_.respond(exec("Print XYLimMode"), printed(c.result));
  if (c.verified) {
    fake_.respond(exec(kBoundsQuery), printed("-500,500,-400,400,0,600"));
    EXPECT_NO_THROW(robot_.addSafetyCuboid(kMin, kMax));
  } else {
    EXPECT_EQ(thrownText([&] { robot_.addSafetyCuboid(kMin, kMax); }),
              std::string("Epson controller did not verify XYLIM_STRICT: \"") + c.result + "\"");
  }
  expectNothingSentBefore();
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ModeReadBackTest,
    ::testing::Values(ModeCase{"One", "1", true}, ModeCase{"PaddedOne", " 1 ", true},
                      ModeCase{"Zero", "0", false}, ModeCase{"Two", "2", false},
                      ModeCase{"Fraction", "1.5", false},
                      ModeCase{"OneThenText", "1 strict", false}, ModeCase{"Word", "True", false},
                      ModeCase{"Empty", "", false}),
    CaseName());

// --- bounds read-back ---------------------------------------------------------------------------

enum class Outcome { kVerified, kMismatch, kExtra };

struct BoundsCase {
  const char* name;
  std::vector<double> min;
  std::vector<double> max;
  const char* sentBounds;
  const char* result;
  Outcome outcome;
};

class BoundsReadBackTest : public WorkspaceTest,
                           public ::testing::WithParamInterface<BoundsCase> {};

TEST_P(BoundsReadBackTest, ComparesEachBoundWithinFiveMicrometres) {
  const BoundsCase& c = GetParam();
  settings(c.sentBounds);
  fake_.respond(exec("Print XYLimMode"), printed("1"))
      .respond(exec(kBoundsQuery), printed(c.result));
  const std::string text = thrownText([&] { robot_.addSafetyCuboid(c.min, c.max); });
  switch (c.outcome) {
    case Outcome::kVerified:
      EXPECT_EQ(text, "<no exception>");
      break;
    case Outcome::kMismatch:
      EXPECT_EQ(text,
                std::string("Epson controller did not verify XYLim bounds: \"") + c.result + "\"");
      break;
    case Outcome::kExtra:
      EXPECT_EQ(text,
                std::string("Epson controller returned extra XYLim bounds: \"") + c.result + "\"");
      break;
  }
  EXPECT_TRUE(robot_.isLoggedIn());
}

const char kSent[] = "-500,500,-400,400,0,600";

INSTANTIATE_TEST_SUITE_P(
    Replies, BoundsReadBackTest,
    ::testing::Values(
        BoundsCase{"Exact", kMin, kMax, kSent, "-500,500,-400,400,0,600", Outcome::kVerified},
        BoundsCase{"Blanks", kMin, kMax, kSent, " -500 , 500 -400,400,  0,600 ",
                   Outcome::kVerified},
        BoundsCase{"Off0004", kMin, kMax, kSent, "-499.996,500.004,-400.004,399.996,0.004,599.996",
                   Outcome::kVerified},
        BoundsCase{"Off0005", kMin, kMax, kSent, "-500.005,499.995,-399.995,400.005,-0.005,600.005",
                   Outcome::kVerified},
        // Decimal bounds whose difference of 0.005 is a hair above it in binary.
        BoundsCase{"Off0005OnDecimals",
                   {0.1, 1, -1},
                   {1, 123.456, 250.5},
                   "0.10000000000000001,1,1,123.456,-1,250.5",
                   "0.095,0.995,0.995,123.451,-0.995,250.495",
                   Outcome::kVerified},
        BoundsCase{"Off0006OnFirst", kMin, kMax, kSent, "-500.006,500,-400,400,0,600",
                   Outcome::kMismatch},
        BoundsCase{"Off0006OnLast", kMin, kMax, kSent, "-500,500,-400,400,0,599.994",
                   Outcome::kMismatch},
        BoundsCase{"Off0006OnDecimals",
                   {0.1, 1, -1},
                   {1, 123.456, 250.5},
                   "0.10000000000000001,1,1,123.456,-1,250.5",
                   "0.1,1,1,123.456,-1,250.506",
                   Outcome::kMismatch},
        BoundsCase{"SwappedPair", kMin, kMax, kSent, "500,-500,-400,400,0,600", Outcome::kMismatch},
        BoundsCase{"FiveValues", kMin, kMax, kSent, "-500,500,-400,400,0", Outcome::kMismatch},
        BoundsCase{"Infinite", kMin, kMax, kSent, "-500,500,-400,400,0,inf", Outcome::kMismatch},
        BoundsCase{"Empty", kMin, kMax, kSent, "", Outcome::kMismatch},
        BoundsCase{"SevenValues", kMin, kMax, kSent, "-500,500,-400,400,0,600,0", Outcome::kExtra},
        BoundsCase{"TrailingWord", kMin, kMax, kSent, "-500,500,-400,400,0,600 mm",
                   Outcome::kExtra}),
    CaseName());

}  // namespace
}  // namespace epson
