// Motion targets as SPEL+ points, Jump and Jump3, and the point table: texts, checks and parses.

#include <array>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol.h"

namespace epson::protocol {

namespace {

std::vector<double> values(const Pose& p) { return {p.x, p.y, p.z, p.u, p.v, p.w}; }
std::vector<double> values(const Joints& j) { return {j.j1, j.j2, j.j3, j.j4, j.j5, j.j6}; }

bool allFinite(const std::vector<double>& numbers) {
  for (const double value : numbers) {
    if (!std::isfinite(value)) return false;
  }
  return true;
}

std::string quotedResult(const std::string& result) {
  return "\"" + escapeText(result, true) + "\"";
}

// Exactly six finite numbers.
std::vector<double> sixNumbers(const std::string& result, const char* what) {
  std::vector<double> numbers = extractDoubles(result);
  if (numbers.size() != 6 || !allFinite(numbers)) {
    throw std::runtime_error(std::string("Expected six finite numbers for ") + what +
                             ", received " + quotedResult(result));
  }
  return numbers;
}

// One of SPEL+'s arch settings, C0 to C7.
void checkArch(std::optional<int> arch) {
  if (arch && (*arch < 0 || *arch > 7)) {
    throw std::invalid_argument("arch must be from 0 to 7, not " + std::to_string(*arch));
  }
}

void appendArch(std::string& statement, std::optional<int> arch) {
  if (arch) statement += " C" + std::to_string(*arch);
}

std::string pointsFileStatement(const char* verb, const std::string& file) {
  if (file.empty()) throw std::invalid_argument("file must not be empty");
  for (const char c : file) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || byte < 0x20 || byte == 0x7f) {
      throw std::invalid_argument(
          "file must not contain quotes, line endings or other control characters");
    }
  }
  return std::string(verb) + " \"" + file + "\"";
}

}  // namespace

Posture parsePosture(const std::string& result) {
  const std::vector<double> numbers = extractDoubles(result);
  Posture posture;
  const std::array<int*, 5> fields = {&posture.hand, &posture.elbow, &posture.wrist,
                                      &posture.j4_flag, &posture.j6_flag};
  const std::array<std::pair<int, int>, 5> ranges = {{{1, 2}, {1, 2}, {1, 2}, {0, 1}, {0, 127}}};
  bool valid = numbers.size() == fields.size();
  for (std::size_t i = 0; valid && i < fields.size(); ++i) {
    const double value = numbers[i];
    valid = std::isfinite(value) && value == std::floor(value) && value >= ranges[i].first &&
            value <= ranges[i].second;
    if (valid) *fields[i] = static_cast<int>(value);
  }
  if (!valid) {
    throw std::runtime_error(
        "Failed to read the arm's posture (Hand, Elbow, Wrist, J4Flag, "
        "J6Flag) from " +
        quotedResult(result));
  }
  return posture;
}

std::string postureFlags(const Posture& posture) {
  return std::string(posture.hand == 2 ? "/L" : "/R") + (posture.elbow == 2 ? " /B" : " /A") +
         (posture.wrist == 2 ? " /F" : " /NF") + " /J4F" + std::to_string(posture.j4_flag) +
         " /J6F" + std::to_string(posture.j6_flag);
}

void validateTarget(const Target& target, const std::string& name) {
  // A point's text is checked by the statement that writes it, in its own order.
  if (std::holds_alternative<std::string>(target)) return;
  const std::vector<double> numbers = std::holds_alternative<Pose>(target)
                                          ? values(std::get<Pose>(target))
                                          : values(std::get<Joints>(target));
  if (!allFinite(numbers)) {
    throw std::invalid_argument(name + " must contain only finite values");
  }
}

bool isPose(const Target& target) { return std::holds_alternative<Pose>(target); }

std::string targetText(const Target& target, const std::optional<Posture>& posture) {
  if (const auto* point = std::get_if<std::string>(&target)) return *point;
  if (const auto* joints = std::get_if<Joints>(&target)) {
    return "AglToPls(" + joinG17(values(*joints)) + ")";
  }
  std::string text = "XY(" + joinG17(values(std::get<Pose>(target))) + ")";
  if (posture) text += " " + postureFlags(*posture);
  return text;
}

MotionPlan planJump(const std::string& destination, std::optional<int> arch,
                    std::optional<double> lim_z,
                    const std::optional<std::string>& search_expression,
                    const std::optional<std::string>& parallel_processing,
                    std::optional<int> speed_percent, std::optional<int> acceleration_percent,
                    std::optional<int> deceleration_percent) {
  if (destination.empty()) throw std::invalid_argument("Jump destination must not be empty");
  checkArch(arch);
  if (lim_z && !std::isfinite(*lim_z)) throw std::invalid_argument("lim_z must be finite");
  MotionPlan plan;
  plan.settings = ptpSettings(speed_percent, acceleration_percent, deceleration_percent);
  std::string statement = "Jump " + destination;
  appendArch(statement, arch);
  if (lim_z) statement += " LimZ " + formatG17(*lim_z);
  appendCommonTail(statement, search_expression, parallel_processing, false);
  requireSafeMotionTexts(destination, search_expression, parallel_processing);
  plan.motion = executeCommand(statement);
  choosePauseByAbort(plan, destination, parallel_processing);
  return plan;
}

MotionPlan planJump3(const std::string& depart, const std::string& approach,
                     const std::string& destination, std::optional<int> arch,
                     const std::optional<std::string>& search_expression,
                     const std::optional<std::string>& parallel_processing,
                     std::optional<int> speed_percent, std::optional<int> acceleration_percent,
                     std::optional<int> deceleration_percent) {
  if (depart.empty() || approach.empty() || destination.empty()) {
    throw std::invalid_argument("Jump3 depart, approach and destination must not be empty");
  }
  checkArch(arch);
  MotionPlan plan;
  plan.settings = ptpSettings(speed_percent, acceleration_percent, deceleration_percent);
  std::string statement = "Jump3 " + depart + ", " + approach + ", " + destination;
  appendArch(statement, arch);
  appendCommonTail(statement, search_expression, parallel_processing, false);
  requireSingleLineUnquoted("depart", depart);
  requireSingleLineUnquoted("approach", approach);
  requireSafeMotionTexts(destination, search_expression, parallel_processing);
  plan.motion = executeCommand(statement);
  // Its depart point is where it goes first: a depart from Here goes elsewhere written again.
  choosePauseByAbort(plan, depart + " " + approach + " " + destination, parallel_processing);
  return plan;
}

void validatePointNumber(int number) {
  if (number < 0 || number > kMaxPointNumber) {
    throw std::out_of_range("Point number must be between 0 and " +
                            std::to_string(kMaxPointNumber) + ", not " + std::to_string(number));
  }
}

std::string setPointStatement(int number, const Pose& pose) {
  validatePointNumber(number);
  validateTarget(pose, "pose");
  return "P" + std::to_string(number) + " = " + targetText(pose, std::nullopt);
}

std::string teachPointStatement(int number) {
  validatePointNumber(number);
  return "P" + std::to_string(number) + " = Here";
}

std::string pointQuery(int number) {
  validatePointNumber(number);
  const std::string point = "P" + std::to_string(number);
  std::string query = "Print ";
  for (const char axis : {'X', 'Y', 'Z', 'U', 'V', 'W'}) {
    if (axis != 'X') query += ",";
    query += std::string("C") + axis + "(" + point + ")";
  }
  return query;
}

Pose parsePose(const std::string& result) {
  const std::vector<double> n = sixNumbers(result, "a pose");
  return Pose{n[0], n[1], n[2], n[3], n[4], n[5]};
}

Joints parseJoints(const std::string& result) {
  const std::vector<double> n = sixNumbers(result, "joint angles");
  return Joints{n[0], n[1], n[2], n[3], n[4], n[5]};
}

std::string savePointsStatement(const std::string& file) {
  return pointsFileStatement("SavePoints", file);
}

std::string loadPointsStatement(const std::string& file) {
  return pointsFileStatement("LoadPoints", file);
}

}  // namespace epson::protocol
