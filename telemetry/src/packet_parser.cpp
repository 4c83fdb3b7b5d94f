#include "packet_parser.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <system_error>

namespace epson {
namespace telemetry {
namespace {

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Where the hexadecimal number that starts at `digits` may end. libstdc++'s from_chars reads an
// exponent "p+-3" as "p-3", where strtod stops before the "p": an exponent marker not followed
// by at most one sign and then a digit is cut off here.
const char* hexExponentEnd(const char* digits, const char* last) {
  const char* p = digits;
  while (p != last && (isHexDigit(*p) || *p == '.')) ++p;
  if (p == last || (*p != 'p' && *p != 'P')) return last;
  const char* exponent = p + 1;
  if (exponent != last && (*exponent == '+' || *exponent == '-')) ++exponent;
  return exponent != last && *exponent >= '0' && *exponent <= '9' ? last : p;
}

// std::from_chars reads the C locale's forms, but takes neither a leading "+" nor the "0x" of a
// hexadecimal number; those are handled here.
ValueError unsignedToDouble(const char* first, const char* last, double& value) {
  if (first == last || *first == '+' || *first == '-') return ValueError::kNoNumber;
  if (last - first >= 2 && first[0] == '0' && (first[1] == 'x' || first[1] == 'X')) {
    const char* digits = first + 2;
    const bool hex_number =
        digits != last &&
        (isHexDigit(*digits) || (*digits == '.' && digits + 1 != last && isHexDigit(digits[1])));
    if (hex_number) {
      const auto result =
          std::from_chars(digits, hexExponentEnd(digits, last), value, std::chars_format::hex);
      if (result.ec == std::errc::result_out_of_range) return ValueError::kOutOfRange;
      return result.ec == std::errc() ? ValueError::kNone : ValueError::kNoNumber;
    }
    // "0x" without hexadecimal digits is the number 0 followed by text.
    value = 0.0;
    return ValueError::kNone;
  }
  const auto result = std::from_chars(first, last, value);
  if (result.ec == std::errc::result_out_of_range) return ValueError::kOutOfRange;
  return result.ec == std::errc() ? ValueError::kNone : ValueError::kNoNumber;
}

}  // namespace

std::string stripKeyWhitespace(std::string_view key) {
  std::string stripped;
  stripped.reserve(key.size());
  for (char c : key) {
    if (!isKeySpace(c)) stripped.push_back(c);
  }
  return stripped;
}

ValueError toDouble(std::string_view text, double& value) {
  const char* first = text.data();
  const char* last = first + text.size();
  while (first != last && isKeySpace(*first)) ++first;
  bool negative = false;
  if (first != last && (*first == '+' || *first == '-')) {
    negative = *first == '-';
    ++first;
  }
  double magnitude = 0.0;
  const ValueError error = unsignedToDouble(first, last, magnitude);
  if (error == ValueError::kNone) value = negative ? -magnitude : magnitude;
  return error;
}

double parseValue(std::string_view text) {
  double value = 0.0;
  switch (toDouble(text, value)) {
    case ValueError::kNone:
      return value;
    case ValueError::kOutOfRange:
      throw std::out_of_range("stod");
    case ValueError::kNoNumber:
      break;
  }
  throw std::invalid_argument("stod");
}

std::size_t fieldIndex(std::string_view key) {
  switch (key.size()) {
    case 1:
      for (std::size_t i = 0; i < kTcpKeys.size(); ++i) {
        if (key[0] == kTcpKeys[i][0]) return kFirstPoseField + i;
      }
      break;
    case 5:
      if (key[0] == 'J' && key[1] >= '1' && key[1] <= '6' && key.substr(2) == "agl") {
        return kFirstJointField + static_cast<std::size_t>(key[1] - '1');
      }
      break;
    default:
      for (std::size_t i = 0; i < kStatusKeys.size(); ++i) {
        if (key == kStatusKeys[i].packet_key) return kFirstStatusField + i;
      }
      break;
  }
  return kFieldCount;
}

ValueError readFields(std::string_view packet, PacketFields& fields) {
  return forEachField(packet, [&fields](std::string_view key, double value) {
    const std::size_t index = fieldIndex(key);
    if (index == kFieldCount) return;
    fields.values[index] = value;
    fields.present |= 1U << index;
  });
}

FieldMap parseFields(std::string_view packet) {
  FieldMap fields;
  const ValueError error = forEachField(packet, [&fields](std::string_view key, double value) {
    fields.insert_or_assign(std::string(key), value);
  });
  if (error == ValueError::kOutOfRange) throw std::out_of_range("stod");
  if (error == ValueError::kNoNumber) throw std::invalid_argument("stod");
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

std::optional<ControllerStatus> decodeStatus(const PacketFields& fields) {
  for (std::size_t i = 0; i < kStatusKeys.size(); ++i) {
    if (!fields.has(kFirstStatusField + i)) return std::nullopt;
  }
  std::array<std::int64_t, kStatusKeys.size()> values{};
  for (std::size_t i = 0; i < kStatusKeys.size(); ++i) {
    values[i] = statusValueToInt(fields.values[kFirstStatusField + i]);
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

std::optional<TelemetrySample> SampleAssembler::add(const PacketFields& fields) {
  constexpr std::uint32_t kSampleMask = (1U << 12) - 1;
  if (fields.has(kFirstPoseField)) present_ = 0;  // "X" starts a new sample
  const std::uint32_t incoming = fields.present & kSampleMask;
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if ((incoming >> i & 1U) != 0) values_[i] = fields.values[i];
  }
  present_ |= incoming;
  if (present_ != kSampleMask) return std::nullopt;
  TelemetrySample sample;
  for (std::size_t i = 0; i < 6; ++i) {
    sample.pose[i] = values_[kFirstPoseField + i];
    sample.joints[i] = values_[kFirstJointField + i];
  }
  present_ = 0;
  return sample;
}

FieldMap SampleAssembler::pending() const {
  FieldMap fields;
  for (std::size_t i = 0; i < 6; ++i) {
    if ((present_ >> (kFirstPoseField + i) & 1U) != 0) {
      fields.emplace(kTcpKeys[i], values_[kFirstPoseField + i]);
    }
    if ((present_ >> (kFirstJointField + i) & 1U) != 0) {
      fields.emplace(kJointKeys[i], values_[kFirstJointField + i]);
    }
  }
  return fields;
}

PacketEffect PacketStream::feed(std::string_view packet) {
  PacketEffect effect;
  PacketFields fields;
  if (readFields(packet, fields) != ValueError::kNone) {
    assembler_.clear();
    effect.outcome = PacketEffect::Outcome::kBadValue;
    return effect;
  }
  if (fields.isStatus()) {
    // A status packet never contributes to a sample, complete or not.
    std::optional<ControllerStatus> status;
    try {
      status = decodeStatus(fields);
    } catch (const std::out_of_range&) {
      assembler_.clear();
      effect.outcome = PacketEffect::Outcome::kBadValue;
      return effect;
    }
    if (!status) {
      effect.outcome = PacketEffect::Outcome::kIncompleteStatus;
      return effect;
    }
    effect.outcome = PacketEffect::Outcome::kStatus;
    effect.status = std::move(*status);
    return effect;
  }
  if (auto sample = assembler_.add(fields)) {
    // "nan" and "inf" convert like any number, but no robot stands at them: a consumer that
    // commands from the sample must never be handed one.
    const auto finite = [](const std::array<double, 6>& values) {
      return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
    };
    if (!finite(sample->joints) || !finite(sample->pose)) {
      effect.outcome = PacketEffect::Outcome::kNonFinite;
      return effect;
    }
    effect.outcome = PacketEffect::Outcome::kSample;
    effect.sample = *sample;
  }
  return effect;
}

}  // namespace telemetry
}  // namespace epson
