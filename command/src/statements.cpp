#include "protocol.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <stdexcept>
#include <string>
#include <string_view>

// Every command line and SPEL+ statement the client sends, with the checks of what goes into it.
// A rejected argument throws before any text exists, so nothing is ever sent for it.

namespace epson::protocol {
namespace {

constexpr double kTcpVerifyTolerance = 0.0001;  // mm for X, Y, Z; degrees for U, V, W

bool allFinite(const std::vector<double>& values) {
  for (double v : values) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

}  // namespace

// --- Command lines ------------------------------------------------------------------------------

std::string executeCommand(const std::string& statement) {
  return "$Execute,\"" + statement + "\"";
}

std::string loginCommand(const std::string& password) {
  if (password.find_first_of("\r\n") != std::string::npos) {
    throw std::invalid_argument("password must not contain line endings");
  }
  return "$Login," + password;
}

void checkConnectOptions(const ConnectOptions& options) {
  const std::string limit = secondsText(Brevacon::kMaxConnectWait) + " s";
  if (options.attempts < 1) {
    throw std::invalid_argument("attempts must be at least 1");
  }
  if (options.attempt_timeout <= std::chrono::milliseconds::zero() ||
      options.attempt_timeout > Brevacon::kMaxConnectWait) {
    throw std::invalid_argument("attempt_timeout must be more than 0 s and at most " + limit);
  }
  if (options.retry_pause < std::chrono::milliseconds::zero() ||
      options.retry_pause > Brevacon::kMaxConnectWait) {
    throw std::invalid_argument("retry_pause must be at least 0 s and at most " + limit);
  }
  if (options.keepalive != std::chrono::milliseconds::zero() &&
      (options.keepalive < Brevacon::kMinKeepalive ||
       options.keepalive > Brevacon::kMaxConnectWait)) {
    throw std::invalid_argument("keepalive must be 0 (off) or from " +
                                secondsText(Brevacon::kMinKeepalive) + " s to " + limit);
  }
}

void requireSingleLineUnquoted(const std::string& name, const std::string& value) {
  if (value.find_first_of("\"\r\n") != std::string::npos) {
    throw std::invalid_argument(name + " must not contain quotes or line endings");
  }
}

// --- Power
// ----------------------------------------------------------------------------------------

namespace {

const char* powerWord(EpsonPowerMode mode) {
  switch (mode) {
    case EpsonPowerMode::LOW:
      return "Low";
    case EpsonPowerMode::HIGH:
      return "High";
  }
  throw std::invalid_argument("Unknown Epson power mode");
}

}  // namespace

std::string powerStatement(EpsonPowerMode mode) { return std::string("Power ") + powerWord(mode); }

void verifyPowerMode(EpsonPowerMode requested, EpsonPowerMode reported) {
  if (reported != requested) {
    throw std::runtime_error(std::string("Epson controller did not enter Power ") +
                             powerWord(requested) + " mode");
  }
}

// --- Tools and TCP offset
// -------------------------------------------------------------------------

void validateToolNumber(int tool_num, bool allow_zero) {
  const int lowest = allow_zero ? 0 : 1;
  if (tool_num < lowest || tool_num > kMaxToolNumber) {
    throw std::out_of_range("Tool number must be between " + std::to_string(lowest) + " and " +
                            std::to_string(kMaxToolNumber));
  }
}

std::string tlSetStatement(int tool_num, const std::string& tool_def_point) {
  validateToolNumber(tool_num, false);
  if (tool_def_point.empty()) throw std::invalid_argument("TLSet tool_def_point must not be empty");
  requireSingleLineUnquoted("TLSet tool_def_point", tool_def_point);
  return "TLSet " + std::to_string(tool_num) + ", " + tool_def_point;
}

std::string tlClearStatement(int tool_num) {
  validateToolNumber(tool_num, false);
  return "TLClr " + std::to_string(tool_num);
}

std::string toolStatement(int tool_num) {
  validateToolNumber(tool_num, true);
  return "Tool " + std::to_string(tool_num);
}

std::string toolDefinedQuery(int tool_num) {
  validateToolNumber(tool_num, false);
  return "Print TLDef(" + std::to_string(tool_num) + ")";
}

std::string toolDefinitionQuery(int tool_num) {
  validateToolNumber(tool_num, false);
  const std::string n = std::to_string(tool_num);
  std::string query = "Print ";
  const char* axes[] = {"CX", "CY", "CZ", "CU", "CV", "CW"};
  for (int i = 0; i < 6; ++i) {
    if (i != 0) query += ',';
    query += std::string(axes[i]) + "(TLSet(" + n + "))";
  }
  return query;
}

int parseToolNumber(std::int64_t value) {
  if (value < 0 || value > kMaxToolNumber) {
    throw std::runtime_error("Controller returned an invalid Tool number: " +
                             std::to_string(value));
  }
  return static_cast<int>(value);
}

void requireToolDefined(int tool_num, bool defined) {
  if (!defined) throw std::runtime_error("Tool " + std::to_string(tool_num) + " is not defined");
}

std::string formatToolPoint(const std::vector<double>& values) {
  return "XY(" + joinG15(values) + ")";
}

std::vector<double> tcpToNative(const std::vector<double>& tcp) {
  return {tcp[0] * 1000.0, tcp[1] * 1000.0, tcp[2] * 1000.0, tcp[5], tcp[4], tcp[3]};
}

std::vector<double> nativeToTcp(const std::vector<double>& native) {
  return {native[0] / 1000.0, native[1] / 1000.0, native[2] / 1000.0,
          native[5],          native[4],          native[3]};
}

void validateTcpOffset(const std::vector<double>& pose) {
  if (pose.size() != 6) throw std::invalid_argument("TCP offset must contain exactly 6 values");
  if (!allFinite(pose)) throw std::invalid_argument("TCP offset values must be finite");
}

namespace {

[[noreturn]] void failTcpVerification() {
  throw std::runtime_error("Failed to verify the Epson controller TCP offset");
}

}  // namespace

void verifyTcpDefinition(const std::vector<double>& read_back, const std::vector<double>& sent) {
  if (read_back.size() != sent.size()) failTcpVerification();
  for (std::size_t i = 0; i < sent.size(); ++i) {
    if (!withinTolerance(read_back[i], sent[i], kTcpVerifyTolerance)) failTcpVerification();
  }
}

void verifyTcpSelection(int selected_tool) {
  if (selected_tool != kReservedToolSlot) failTcpVerification();
}

// --- Inverse kinematics
// ---------------------------------------------------------------------------

std::string buildIkPoint(const std::vector<double>& cartesian_pose, bool least_joint_motion,
                         const std::optional<std::vector<double>>& reference_joint_positions) {
  if (cartesian_pose.size() != 6) {
    throw std::invalid_argument("cartesian_pose must contain exactly 6 values [X, Y, Z, U, V, W]");
  }
  if (!allFinite(cartesian_pose)) {
    throw std::invalid_argument("cartesian_pose must contain only finite values");
  }
  if (reference_joint_positions) {
    if (!least_joint_motion) {
      throw std::invalid_argument("reference_joint_positions requires least_joint_motion");
    }
    if (reference_joint_positions->size() != 6) {
      throw std::invalid_argument("reference_joint_positions must contain exactly 6 values");
    }
    if (!allFinite(*reference_joint_positions)) {
      throw std::invalid_argument("reference_joint_positions must contain only finite values");
    }
  }
  std::string base = "XY(" + joinG17(cartesian_pose) + ")";
  if (!least_joint_motion) return base;
  const std::string reference = reference_joint_positions
                                    ? "AglToPls(" + joinG17(*reference_joint_positions) + ")"
                                    : std::string("Here");
  return "LJM(" + base + "," + reference + ")";
}

std::string ikQuery(const std::string& point, int joint) {
  return "Print PAgl(" + point + "," + std::to_string(joint) + ")";
}

std::string ikFailureMessage(int joint, const std::string& query, const std::string& cause) {
  return "Epson controller IK query failed for joint " + std::to_string(joint) + " (" + query +
         "): " + cause;
}

// --- Motion
// ---------------------------------------------------------------------------------------

void appendCommonTail(std::string& statement, const std::optional<std::string>& search_expression,
                      const std::optional<std::string>& parallel_processing, bool sync) {
  if (search_expression) {
    if (search_expression->empty()) {
      throw std::invalid_argument("search_expression must not be empty");
    }
    statement += " " + *search_expression;
  }
  if (parallel_processing) {
    if (parallel_processing->empty()) {
      throw std::invalid_argument("parallel_processing must not be empty");
    }
    statement += " !" + *parallel_processing + "!";
  }
  if (sync) statement += " SYNC";
}

// Caller texts are inserted verbatim into a quoted statement; a quote or line ending would end
// it early or smuggle in a second command line.
void requireSafeMotionTexts(const std::string& destination,
                            const std::optional<std::string>& search_expression,
                            const std::optional<std::string>& parallel_processing) {
  requireSingleLineUnquoted("destination", destination);
  if (search_expression) requireSingleLineUnquoted("search_expression", *search_expression);
  if (parallel_processing) requireSingleLineUnquoted("parallel_processing", *parallel_processing);
}

namespace {

// A linear speed or acceleration goes out with 17 decimals; a positive value below about 5e-18
// would read 0 on the controller, which is not what the caller asked for.
void requireSendablePositive(const std::string& name, double value) {
  if (!(std::isfinite(value) && value > 0.0)) {
    throw std::invalid_argument(name + " must be finite and positive");
  }
  if (formatFixed17(value).find_first_not_of("0.") == std::string::npos) {
    throw std::invalid_argument(name + " is too small to send: it rounds to 0 at 17 decimals");
  }
}

}  // namespace

std::vector<std::string> ptpSettings(std::optional<int> speed_percent,
                                     std::optional<int> acceleration_percent,
                                     std::optional<int> deceleration_percent) {
  if (speed_percent && *speed_percent > 100) {
    throw std::invalid_argument("speed_percent must be between 1 and 100");
  }
  if (speed_percent && *speed_percent < 1) {
    throw std::invalid_argument("speed_percent must be at least 1");
  }
  if (acceleration_percent && *acceleration_percent < 1) {
    throw std::invalid_argument("acceleration_percent must be at least 1");
  }
  if (deceleration_percent && *deceleration_percent < 1) {
    throw std::invalid_argument("deceleration_percent must be at least 1");
  }
  if (deceleration_percent && !acceleration_percent) {
    throw std::invalid_argument("deceleration_percent requires acceleration_percent");
  }
  std::vector<std::string> settings;
  if (speed_percent) settings.push_back(executeCommand("Speed " + std::to_string(*speed_percent)));
  if (acceleration_percent) {
    const int decel = deceleration_percent ? *deceleration_percent : *acceleration_percent;
    settings.push_back(executeCommand("Accel " + std::to_string(*acceleration_percent) + ", " +
                                      std::to_string(decel)));
  }
  return settings;
}

MotionPlan planGo(const std::string& destination, bool cp, bool ljm,
                  std::optional<int> orientation_flag,
                  const std::optional<std::string>& search_expression,
                  const std::optional<std::string>& parallel_processing, bool sync,
                  std::optional<int> speed_percent, std::optional<int> acceleration_percent,
                  std::optional<int> deceleration_percent) {
  if (destination.empty()) throw std::invalid_argument("Go destination must not be empty");
  if (orientation_flag && !ljm) {
    throw std::invalid_argument("orientation_flag can only be used when LJM is enabled");
  }
  const std::vector<std::string> settings =
      ptpSettings(speed_percent, acceleration_percent, deceleration_percent);
  std::string statement = "Go " + destination;
  if (cp) statement += " CP";
  if (ljm) statement += " LJM";
  if (ljm && orientation_flag) statement += " " + std::to_string(*orientation_flag);
  appendCommonTail(statement, search_expression, parallel_processing, sync);
  requireSafeMotionTexts(destination, search_expression, parallel_processing);

  MotionPlan plan;
  plan.settings = settings;
  plan.motion = executeCommand(statement);
  choosePauseByAbort(plan, destination, parallel_processing);
  return plan;
}

MotionPlan planMove(const std::string& destination, bool rot, bool ecp, bool cp,
                    const std::optional<std::string>& search_expression,
                    const std::optional<std::string>& parallel_processing, bool sync,
                    std::optional<double> speed_mm_s, std::optional<double> acceleration_mm_s2) {
  if (destination.empty()) throw std::invalid_argument("Move destination must not be empty");
  if (speed_mm_s) requireSendablePositive("speed_mm_s", *speed_mm_s);
  if (acceleration_mm_s2) requireSendablePositive("acceleration_mm_s2", *acceleration_mm_s2);
  std::string statement = "Move " + destination;
  if (rot) statement += " ROT";
  if (ecp) statement += " ECP";
  if (cp) statement += " CP";
  appendCommonTail(statement, search_expression, parallel_processing, sync);
  requireSafeMotionTexts(destination, search_expression, parallel_processing);

  MotionPlan plan;
  if (speed_mm_s) plan.settings.push_back(executeCommand("SpeedS " + formatFixed17(*speed_mm_s)));
  if (acceleration_mm_s2) {
    plan.settings.push_back(executeCommand("AccelS " + formatFixed17(*acceleration_mm_s2)));
  }
  plan.motion = executeCommand(statement);
  choosePauseByAbort(plan, destination, parallel_processing);
  return plan;
}

std::string currentPositionFunction(const std::string& text) {
  static constexpr std::array<const char*, 5> kFunctions = {"Here", "CurPos", "RealPos", "FindPos",
                                                            "TillPos"};
  const auto word_char = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$';
  };
  // Words as SPEL+ reads them: letters, digits, _ and a trailing $, in any case.
  for (std::size_t start = 0; start < text.size();) {
    if (!word_char(text[start])) {
      ++start;
      continue;
    }
    std::size_t end = start;
    while (end < text.size() && word_char(text[end])) ++end;
    const std::string_view word(text.data() + start, end - start);
    for (const char* function : kFunctions) {
      const std::string_view name(function);
      if (word.size() == name.size() &&
          std::equal(word.begin(), word.end(), name.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
          })) {
        return function;
      }
    }
    start = end;
  }
  return std::string();
}

void choosePauseByAbort(MotionPlan& plan, const std::string& destination,
                        const std::optional<std::string>& parallel_processing) {
  if (parallel_processing) {
    plan.pause = PauseByAbort::kRefuse;
    plan.pause_refusal =
        "its parallel processing would run again, repeating its I/O, if it were written again";
    return;
  }
  const std::string function = currentPositionFunction(destination);
  if (!function.empty()) {
    plan.pause = PauseByAbort::kRefuse;
    plan.pause_refusal = "its destination depends on where the arm is (" + function +
                         "), so written again it would go elsewhere";
  }
}

// --- Workspace limit
// ------------------------------------------------------------------------------

void validateCuboid(const std::vector<double>& min_corner, const std::vector<double>& max_corner) {
  if (min_corner.size() != 3 || max_corner.size() != 3) {
    throw std::invalid_argument("Safety cuboid corners must each have 3 coordinates");
  }
  for (std::size_t axis = 0; axis < 3; ++axis) {
    const double lo = min_corner[axis];
    const double hi = max_corner[axis];
    if (!std::isfinite(lo) || !std::isfinite(hi) || !(lo < hi)) {
      throw std::invalid_argument(
          "Safety cuboid corners must be finite and strictly ordered on every axis");
    }
  }
}

std::vector<double> cuboidBounds(const std::vector<double>& min_corner,
                                 const std::vector<double>& max_corner) {
  return {min_corner[0], max_corner[0], min_corner[1], max_corner[1], min_corner[2], max_corner[2]};
}

std::string buildXYLimStatement(const std::vector<double>& min_corner,
                                const std::vector<double>& max_corner) {
  return "XYLim " + joinG17(cuboidBounds(min_corner, max_corner));
}

}  // namespace epson::protocol
