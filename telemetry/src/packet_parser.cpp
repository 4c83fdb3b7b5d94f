#include "packet_parser.h"

#include <cmath>
#include <stdexcept>

namespace epson {
namespace telemetry {

std::string stripKeyWhitespace(std::string_view key) {
  std::string stripped;
  stripped.reserve(key.size());
  for (char c : key) {
    if (!isKeySpace(c)) stripped.push_back(c);
  }
  return stripped;
}

double parseValue(std::string_view text) {
  // std::stod needs a terminated string; values are short, so this copy stays in the
  // small-string buffer.
  return std::stod(std::string(text));
}

FieldMap parseFields(std::string_view packet) {
  FieldMap fields;
  std::size_t begin = 0;
  while (begin <= packet.size()) {
    std::size_t end = packet.find(';', begin);
    if (end == std::string_view::npos) end = packet.size();
    const std::string_view field = packet.substr(begin, end - begin);
    begin = end + 1;

    const std::size_t eq = field.find('=');
    if (eq == std::string_view::npos) continue;
    std::string key = stripKeyWhitespace(field.substr(0, eq));
    if (key.empty()) continue;
    // Convert before inserting, so a failure leaves no half-built entry behind.
    const double value = parseValue(field.substr(eq + 1));
    fields.insert_or_assign(std::move(key), value);
  }
  return fields;
}

std::int64_t statusValueToInt(double value) {
  // 2^63 is exact in a double; every truncated value in [-2^63, 2^63) fits. NaN fails both
  // comparisons.
  constexpr double kLimit = 9223372036854775808.0;
  const double truncated = std::trunc(value);
  if (!(truncated >= -kLimit && truncated < kLimit)) {
    throw std::out_of_range("Epson telemetry status value does not fit a 64-bit integer");
  }
  return static_cast<std::int64_t>(truncated);
}

bool isStatusPacket(const FieldMap& fields) { return fields.count("STAT") != 0; }

std::optional<ControllerStatus> decodeStatus(const FieldMap& fields) {
  std::array<std::int64_t, kStatusKeys.size()> values{};
  for (std::size_t i = 0; i < kStatusKeys.size(); ++i) {
    const auto it = fields.find(kStatusKeys[i].packet_key);
    if (it == fields.end()) return std::nullopt;
    values[i] = statusValueToInt(it->second);
  }
  ControllerStatus status;
  for (std::size_t i = 0; i < kStatusKeys.size(); ++i) {
    status.emplace(kStatusKeys[i].status_key, values[i]);
  }
  // Bit tests on the unsigned image, so a negative word decodes by its two's-complement bits.
  const auto bit = [](std::int64_t word, unsigned n) -> std::int64_t {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(word) >> n) & 1U);
  };
  const std::int64_t ctrl_info = status.at("ctrl_info");
  status.emplace("emergency_stopped", bit(ctrl_info, 8));
  status.emplace("safeguard_open", bit(ctrl_info, 9));
  status.emplace("teach_mode", bit(status.at("stat"), 19));
  return status;
}

std::optional<TelemetrySample> SampleAssembler::add(const FieldMap& fields) {
  if (fields.count("X") != 0) pending_.clear();
  for (const auto& [key, value] : fields) pending_.insert_or_assign(key, value);

  TelemetrySample sample;
  for (std::size_t i = 0; i < kJointKeys.size(); ++i) {
    const auto joint = pending_.find(kJointKeys[i]);
    if (joint == pending_.end()) return std::nullopt;
    const auto pose = pending_.find(kTcpKeys[i]);
    if (pose == pending_.end()) return std::nullopt;
    sample.joints[i] = joint->second;
    sample.pose[i] = pose->second;
  }
  pending_.clear();
  return sample;
}

}  // namespace telemetry
}  // namespace epson
