// Motion targets, Jump and Jump3, and the point table: the texts the client writes and reads.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "decimal_comma_locale.h"
#include "protocol.h"

namespace epson::protocol {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Targets, PointsAreWrittenAsSpelPlusPointsWhateverTheLocale) {
  const test::DecimalCommaLocale comma;
  const Pose pose{400.5, -0.1, 300, 0, 90, 180};
  EXPECT_EQ(targetText(Target(std::string("P3 +Z(50)")), std::nullopt), "P3 +Z(50)");
  EXPECT_EQ(targetText(pose, std::nullopt), "XY(400.5,-0.10000000000000001,300,0,90,180)");
  EXPECT_EQ(targetText(pose, Posture{2, 2, 2, 1, 127}),
            "XY(400.5,-0.10000000000000001,300,0,90,180) /L /B /F /J4F1 /J6F127");
  EXPECT_EQ(targetText(Joints{0, 1.5, -2, 0, 90, 0}, Posture{}), "AglToPls(0,1.5,-2,0,90,0)");
  EXPECT_EQ(postureFlags(Posture{}), "/R /A /NF /J4F0 /J6F0");
  EXPECT_THROW(validateTarget(Pose{0, 0, kInf, 0, 0, 0}, "depart"), std::invalid_argument);
  EXPECT_THROW(validateTarget(Joints{0, 0, 0, 0, std::nan(""), 0}, "x"), std::invalid_argument);
  EXPECT_NO_THROW(validateTarget(Target(std::string("P1")), "destination"));
}

TEST(Targets, PostureIsFiveValuesInTheirRanges) {
  const Posture posture = parsePosture(" 2 1 2 0 5 ");
  EXPECT_EQ(postureFlags(posture), "/L /A /F /J4F0 /J6F5");
  for (const char* bad : {"1 1 1 0", "1 1 1 0 0 0", "3 1 1 0 0", "1 1 1 2 0", "1 1 1 0 128",
                          "1 1 1 0 1.5", "a b c d e"}) {
    EXPECT_THROW(parsePosture(bad), std::runtime_error) << bad;
  }
}

TEST(Jumps, StatementsSettingsAndChecks) {
  const MotionPlan jump =
      planJump("P1", 2, -10.5, "Till Sw(1) = On", std::nullopt, 30, 40, std::nullopt);
  EXPECT_EQ(jump.motion, "$Execute,\"Jump P1 C2 LimZ -10.5 Till Sw(1) = On\"");
  EXPECT_EQ(jump.settings,
            (std::vector<std::string>{"$Execute,\"Speed 30\"", "$Execute,\"Accel 40, 40\""}));
  const MotionPlan jump3 = planJump3("Here +Z(50)", "P2 +Z(50)", "P2", 0, std::nullopt,
                                     std::nullopt, std::nullopt, std::nullopt, std::nullopt);
  EXPECT_EQ(jump3.motion, "$Execute,\"Jump3 Here +Z(50), P2 +Z(50), P2 C0\"");
  EXPECT_EQ(jump3.pause, PauseByAbort::kRefuse);  // a depart from Here goes elsewhere again
  EXPECT_EQ(planJump3("P1", "P2", "P3", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                      std::nullopt, std::nullopt)
                .pause,
            PauseByAbort::kRewrite);
  const auto none = std::nullopt;
  EXPECT_THROW(planJump("P1", 8, none, none, none, none, none, none), std::invalid_argument);
  EXPECT_THROW(planJump("P1", -1, none, none, none, none, none, none), std::invalid_argument);
  EXPECT_THROW(planJump("P1", none, kInf, none, none, none, none, none), std::invalid_argument);
  EXPECT_THROW(planJump("P1", none, none, none, none, 0, none, none), std::invalid_argument);
  EXPECT_THROW(planJump3("P1", "", "P3", none, none, none, none, none, none),
               std::invalid_argument);
  EXPECT_THROW(planJump3("P1", "P\"2", "P3", none, none, none, none, none, none),
               std::invalid_argument);
}

TEST(PointTable, StatementsQueriesAndTheirChecks) {
  const test::DecimalCommaLocale comma;
  EXPECT_EQ(setPointStatement(0, Pose{1.5, 2, 3, 4, 5, 6}), "P0 = XY(1.5,2,3,4,5,6)");
  EXPECT_EQ(teachPointStatement(999), "P999 = Here");
  EXPECT_EQ(pointQuery(12), "Print CX(P12),CY(P12),CZ(P12),CU(P12),CV(P12),CW(P12)");
  for (const int bad : {-1, 1000}) {
    EXPECT_THROW(setPointStatement(bad, Pose{}), std::out_of_range);
    EXPECT_THROW(teachPointStatement(bad), std::out_of_range);
    EXPECT_THROW(pointQuery(bad), std::out_of_range);
  }
  EXPECT_THROW(setPointStatement(1, Pose{kInf, 0, 0, 0, 0, 0}), std::invalid_argument);
  EXPECT_EQ(savePointsStatement("cell.pts"), "SavePoints \"cell.pts\"");
  EXPECT_EQ(loadPointsStatement("cell.pts"), "LoadPoints \"cell.pts\"");
  for (const char* bad : {"", "a\"b", "a\rb", "a\nb", "a\tb"}) {
    EXPECT_THROW(savePointsStatement(bad), std::invalid_argument) << bad;
  }
  EXPECT_EQ(parsePose("1 2 3 4 5 6"), (Pose{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(parseJoints("-1,0,0,0,90,0"), (Joints{-1, 0, 0, 0, 90, 0}));
  EXPECT_THROW(parsePose("1 2 3 4 5"), std::runtime_error);
  EXPECT_THROW(parseJoints("1 2 3 4 5 nan"), std::runtime_error);
}

}  // namespace
}  // namespace epson::protocol
