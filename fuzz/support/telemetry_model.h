#pragma once

// A deliberately plain model of the telemetry packet rule, for the harnesses to hold the receiver
// against. It keeps every field by name in std::maps and converts values with the C library, so
// it shares no code with the parser it checks.

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include <epson/controller_status.h>
#include <epson/telemetry_sample.h>

#include "fuzz_support.h"

namespace epson::fuzz {

class TelemetryModel {
 public:
  enum class Outcome { kSample, kStatus, kPending, kIncompleteStatus, kBadValue, kNonFinite };
  struct Effect {
    Outcome outcome = Outcome::kPending;
    TelemetrySample sample;
    ControllerStatus status;
  };

  static constexpr const char* kPoseKeys[6] = {"X", "Y", "Z", "U", "V", "W"};
  static constexpr const char* kJointKeys[6] = {"J1agl", "J2agl", "J3agl",
                                                "J4agl", "J5agl", "J6agl"};

  using Fields = std::map<std::string, double>;

  // The fields of one packet by key, a later one replacing an earlier one. Returns kValue when
  // every value converted, else the kind of the first failure.
  static ReferenceValue::Kind fieldsOf(std::string_view packet, Fields& fields) {
    std::size_t begin = 0;
    for (bool last = false; !last;) {
      std::size_t end = packet.find(';', begin);
      last = end == std::string_view::npos;
      if (last) end = packet.size();
      const std::string_view field = packet.substr(begin, end - begin);
      begin = end + 1;
      const std::size_t eq = field.find('=');
      if (eq == std::string_view::npos) continue;
      std::string key;
      for (const char c : field.substr(0, eq)) {
        if (!isCSpace(c)) key += c;
      }
      if (key.empty()) continue;
      const ReferenceValue value = referenceValue(field.substr(eq + 1));
      if (value.kind != ReferenceValue::Kind::kValue) return value.kind;
      fields[key] = value.value;
    }
    return ReferenceValue::Kind::kValue;
  }

  Effect feed(std::string_view packet) {
    Effect effect;
    Fields fields;
    if (fieldsOf(packet, fields) != ReferenceValue::Kind::kValue) {
      pending_.clear();
      effect.outcome = Outcome::kBadValue;
      return effect;
    }
    if (fields.count("STAT") != 0) return statusPacket(fields);
    if (fields.count("X") != 0) pending_.clear();
    for (int i = 0; i < 6; ++i) {
      for (const char* key : {kPoseKeys[i], kJointKeys[i]}) {
        if (fields.count(key) != 0) pending_[key] = fields[key];
      }
    }
    if (pending_.size() == 12) {
      for (int i = 0; i < 6; ++i) {
        effect.sample.pose[i] = pending_[kPoseKeys[i]];
        effect.sample.joints[i] = pending_[kJointKeys[i]];
      }
      pending_.clear();
      effect.outcome = Outcome::kSample;
      for (int i = 0; i < 6; ++i) {
        if (!std::isfinite(effect.sample.pose[i]) || !std::isfinite(effect.sample.joints[i])) {
          effect = Effect{};
          effect.outcome = Outcome::kNonFinite;
        }
      }
    }
    return effect;
  }

  const Fields& pending() const { return pending_; }
  void clear() { pending_.clear(); }

 private:
  Effect statusPacket(const Fields& fields) {
    static const std::map<std::string, std::string> kStatusKeys = {{"STAT", "stat"},
                                                                   {"SYSERR", "system_error"},
                                                                   {"CTRLDEV", "control_device"},
                                                                   {"ROBOTINFO", "robot_info"},
                                                                   {"CTRLINFO", "ctrl_info"}};
    Effect effect;
    for (const auto& [packet_key, status_key] : kStatusKeys) {
      if (fields.count(packet_key) == 0) {
        effect.outcome = Outcome::kIncompleteStatus;
        return effect;
      }
    }
    for (const auto& [packet_key, status_key] : kStatusKeys) {
      // Truncation toward zero; a value outside the 64-bit range fails the packet like a value
      // that does not convert.
      const double value = fields.at(packet_key);
      if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0)) {
        pending_.clear();
        effect.outcome = Outcome::kBadValue;
        return effect;
      }
      effect.status[status_key] = static_cast<std::int64_t>(value);
    }
    const auto bit = [&effect](const char* key, int n) {
      return static_cast<std::int64_t>(static_cast<std::uint64_t>(effect.status[key]) >> n & 1U);
    };
    effect.status["emergency_stopped"] = bit("ctrl_info", 8);
    effect.status["safeguard_open"] = bit("ctrl_info", 9);
    effect.status["teach_mode"] = bit("stat", 19);
    effect.outcome = Outcome::kStatus;
    return effect;
  }

  Fields pending_;
};

inline bool sameSample(const TelemetrySample& a, const TelemetrySample& b) {
  for (int i = 0; i < 6; ++i) {
    if (!sameDouble(a.pose[i], b.pose[i]) || !sameDouble(a.joints[i], b.joints[i])) return false;
  }
  return true;
}

}  // namespace epson::fuzz
