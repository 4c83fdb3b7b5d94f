#include "protocol.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace epson::protocol {
namespace {

constexpr const char* kLoginPrefix = "$Login,";

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string quoted(const std::string& text) { return "\"" + escapeText(text) + "\""; }

// Length of the valid UTF-8 sequence that starts at text[i], or 0 when none does (a stray
// continuation byte, an overlong form, a surrogate, a code point above U+10FFFF, a cut sequence).
std::size_t utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&text](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

// Streams are imbued with the classic locale so that a process locale with a decimal comma
// (set by the host application, for example through Python's locale module) changes nothing.
std::istringstream classicStream(const std::string& text) {
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  return in;
}

std::string commasToBlanks(std::string text) {
  for (char& c : text) {
    if (c == ',') c = ' ';
  }
  return text;
}

bool onlySpaceLeft(std::istringstream& in) {
  in >> std::ws;
  return in.eof() || in.peek() == std::char_traits<char>::eof();
}

std::string formatWith(double value, std::chars_format format, int precision) {
  std::array<char, 512> buffer{};
  auto [end, ec] =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, format, precision);
  if (ec != std::errc()) throw std::runtime_error("Failed to format number");
  return std::string(buffer.data(), end);
}

std::string joinWith(const std::vector<double>& values, std::string (*format)(double)) {
  std::string out;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out += ',';
    out += format(values[i]);
  }
  return out;
}

}  // namespace

std::string expectedPrefix(const std::string& command) {
  const std::string rest = command.empty() ? std::string() : command.substr(1);
  return "#" + rest.substr(0, rest.find(','));
}

std::string shownCommand(const std::string& command) {
  if (command.rfind(kLoginPrefix, 0) == 0) return "$Login,<redacted>";
  return escapeText(command);
}

std::string shownCommandBrief(const std::string& command, std::size_t limit) {
  if (command.size() <= limit) return shownCommand(command);
  return shownCommand(command.substr(0, limit)) + "... (" + std::to_string(command.size()) +
         " bytes)";
}

std::string escapeText(std::string_view text, bool one_line) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // A line feed may stand in a multi-line result; every other control byte (a carriage
    // return, an escape sequence) is shown, never passed to whoever prints the message.
    const bool control = byte < 0x20 || byte == 0x7F;
    const bool escaped = control && (one_line || byte != '\n');
    const std::size_t length = escaped ? 0 : utf8SequenceLength(text, i);
    if (length == 0) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
      ++i;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string redact(std::string_view text, std::string_view secret) {
  std::string out(text);
  if (secret.empty()) return out;
  constexpr std::string_view kRedacted = "<redacted>";
  for (std::size_t at = out.find(secret); at != std::string::npos;
       at = out.find(secret, at + kRedacted.size())) {
    out.replace(at, secret.size(), kRedacted);
  }
  return out;
}

ReplyKind classifyReply(const std::string& reply) {
  if (reply.empty()) return ReplyKind::kEmpty;
  if (reply[0] == '#') return ReplyKind::kSuccess;
  if (reply[0] == '!') return ReplyKind::kError;
  return ReplyKind::kInvalid;
}

namespace {

// The text between the first and the second comma of a reply, empty when it has no comma.
std::string_view codeText(std::string_view reply) {
  const auto comma = reply.find(',');
  if (comma == std::string_view::npos) return {};
  const auto next = reply.find(',', comma + 1);
  return reply.substr(comma + 1, next == std::string_view::npos ? next : next - comma - 1);
}

}  // namespace

std::string errorReplyMessage(const std::string& reply, const std::string& command,
                              std::string_view secret) {
  std::string message = "Remote command failed: " + escapeText(redact(reply, secret));
  if (codeText(reply) == "99") {
    message +=
        " (Epson Remote Ethernet error 99: system error or communication error; no motion error "
        "code was returned)";
  }
  message += " (command: " + shownCommand(command) + ")";
  return message;
}

std::optional<int> errorCode(const std::string& reply) {
  const std::string_view text = codeText(reply);
  int code = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), code);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return code;
}

std::string extractExecuteResult(const std::string& reply) {
  const auto first = reply.find('"');
  const auto last = reply.rfind('"');
  if (first == std::string::npos || first >= last) {
    throw std::runtime_error("Unexpected Execute response: " + escapeText(reply));
  }
  return reply.substr(first + 1, last - first - 1);
}

std::int64_t parseControllerStatusValue(const std::string& text) {
  std::string norm;
  norm.reserve(text.size());
  for (char c : text) {
    if (isSpace(c)) continue;
    norm += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  if (norm == "true") return 1;
  if (norm == "false") return 0;

  const auto fail = [&text]() {
    return std::runtime_error("Failed to parse controller status value as an integer: " +
                              quoted(text));
  };
  std::size_t pos = 0;
  bool negative = false;
  if (pos < norm.size() && (norm[pos] == '+' || norm[pos] == '-')) {
    negative = norm[pos] == '-';
    ++pos;
  }
  int base = 10;
  if (norm.size() - pos >= 2 && norm[pos] == '0' && norm[pos + 1] == 'x') {
    base = 16;
    pos += 2;
  } else if (norm.size() - pos >= 2 && norm[pos] == '0') {
    base = 8;
    pos += 1;
  }
  if (pos >= norm.size()) throw fail();
  const char* first = norm.data() + pos;
  const char* last = norm.data() + norm.size();
  std::uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(first, last, magnitude, base);
  if (ec != std::errc() || end != last) throw fail();
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (negative) {
    if (magnitude > kMax + 1) throw fail();
    return magnitude == kMax + 1 ? std::numeric_limits<std::int64_t>::min()
                                 : -static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > kMax) throw fail();
  return static_cast<std::int64_t>(magnitude);
}

ControllerStatus parseControllerStatus(const std::string& result) {
  static const std::array<const char*, 8> kKeys = {
      "stat",       "system_error",   "emergency_stopped", "safeguard_open",
      "teach_mode", "control_device", "robot_info",        "ctrl_info"};
  auto in = classicStream(commasToBlanks(result));
  std::vector<std::string> tokens;
  for (std::string token; in >> token;) tokens.push_back(token);
  if (tokens.size() != kKeys.size()) {
    throw std::runtime_error("Failed to parse controller status. Expected 8 values, received " +
                             std::to_string(tokens.size()) + ": " + quoted(result));
  }
  ControllerStatus status;
  for (std::size_t i = 0; i < kKeys.size(); ++i) {
    status[kKeys[i]] = parseControllerStatusValue(tokens[i]);
  }
  return status;
}

RemoteStatus parseRemoteStatus(const std::string& reply) {
  const auto malformed = [&reply]() -> RemoteStatus {
    throw std::runtime_error("Malformed reply to $GetStatus: \"" + escapeText(reply, true) + "\"");
  };
  constexpr std::string_view kPrefix = "#GetStatus,";
  const std::string_view text(reply);
  if (text.substr(0, kPrefix.size()) != kPrefix) return malformed();
  const std::string_view rest = text.substr(kPrefix.size());
  const std::size_t comma = rest.find(',');
  if (comma == std::string_view::npos) return malformed();
  const std::string_view flags = rest.substr(0, comma);
  const std::string_view code = rest.substr(comma + 1);
  if ((flags.size() != 11 && flags.size() != 10) || code.size() != 4 ||
      flags.find_first_not_of("01") != std::string_view::npos ||
      code.find_first_not_of("0123456789") != std::string_view::npos) {
    return malformed();
  }
  RemoteStatus status;
  const std::array<bool*, 11> order = {
      &status.test_mode,    &status.teach,     &status.auto_mode,      &status.warning,
      &status.severe_error, &status.safeguard, &status.emergency_stop, &status.error,
      &status.paused,       &status.running,   &status.ready};
  // Older firmware leaves out the first flag, Test.
  const std::size_t first = order.size() - flags.size();
  for (std::size_t i = 0; i < flags.size(); ++i) *order[first + i] = flags[i] == '1';
  std::from_chars(code.data(), code.data() + code.size(), status.code);
  return status;
}

bool parseEmergencyStop(const std::string& result) {
  auto in = classicStream(result);
  std::int32_t value = 0;
  if (in >> value && onlySpaceLeft(in)) return value != 0;
  std::string norm;
  for (char c : result) {
    if (!isSpace(c)) norm += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  if (norm == "true") return true;
  if (norm == "false") return false;
  throw std::runtime_error("Failed to parse EStopOn response as a Boolean: " + quoted(result));
}

EpsonPowerMode powerModeFromValue(std::int64_t value) {
  if (value == 0) return EpsonPowerMode::LOW;
  if (value == 1) return EpsonPowerMode::HIGH;
  throw std::runtime_error("Epson controller returned an invalid Power mode value: " +
                           std::to_string(value));
}

PtpMotionLimits parseAccelMax(const std::string& result) {
  auto in = classicStream(commasToBlanks(result));
  std::int64_t accel = 0;
  std::int64_t decel = 0;
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  if (!(in >> accel) || !(in >> decel) || !onlySpaceLeft(in) || accel < 1 || accel > kMax ||
      decel < 1 || decel > kMax) {
    throw std::runtime_error("Failed to parse positive AccelMax limits from Epson controller: " +
                             quoted(result));
  }
  PtpMotionLimits limits;
  limits.speed_percent = 100;
  limits.acceleration_percent = static_cast<std::int32_t>(accel);
  limits.deceleration_percent = static_cast<std::int32_t>(decel);
  return limits;
}

std::vector<double> extractDoubles(const std::string& text) {
  auto in = classicStream(commasToBlanks(text));
  std::vector<double> values;
  values.reserve(12);
  for (double v; in >> v;) values.push_back(v);
  return values;
}

namespace {

// The numbers of a result that must hold exactly `count` of them; `what` names the result in the
// message ("robot state").
std::vector<double> exactlyDoubles(const std::string& result, std::size_t count, const char* what) {
  std::vector<double> values = extractDoubles(result);
  if (values.size() != count) {
    throw std::runtime_error(std::string("Failed to parse ") + what + ". Expected " +
                             std::to_string(count) + " values, received " +
                             std::to_string(values.size()) + ": " + quoted(result));
  }
  return values;
}

}  // namespace

std::vector<double> parseState(const std::string& result) {
  return exactlyDoubles(result, 12, "robot state");
}

double parseIkJoint(const std::string& result, int joint) {
  auto in = classicStream(result);
  double value = 0.0;
  if (!(in >> value) || !onlySpaceLeft(in) || !std::isfinite(value)) {
    throw std::runtime_error("Failed to parse Epson controller IK response for joint " +
                             std::to_string(joint) + ": " + quoted(result));
  }
  return value;
}

std::vector<double> parseToolDefinition(const std::string& result) {
  return exactlyDoubles(result, 6, "TLSet definition");
}

bool withinTolerance(double value, double expected, double tolerance) {
  const double slack =
      4 * std::numeric_limits<double>::epsilon() * std::max(std::fabs(value), std::fabs(expected));
  return std::fabs(value - expected) <= tolerance + slack;
}

void verifyXYLimMode(const std::string& result) {
  auto in = classicStream(result);
  long long mode = 0;
  if (!(in >> mode) || !onlySpaceLeft(in) || mode != 1) {
    throw std::runtime_error("Epson controller did not verify XYLIM_STRICT: " + quoted(result));
  }
}

void verifyXYLimBounds(const std::string& result, const std::vector<double>& expected) {
  auto in = classicStream(commasToBlanks(result));
  for (double want : expected) {
    double got = 0.0;
    if (!(in >> got) || !std::isfinite(got) || !withinTolerance(got, want, 0.005)) {
      throw std::runtime_error("Epson controller did not verify XYLim bounds: " + quoted(result));
    }
  }
  if (!onlySpaceLeft(in)) {
    throw std::runtime_error("Epson controller returned extra XYLim bounds: " + quoted(result));
  }
}

std::string formatG15(double value) { return formatWith(value, std::chars_format::general, 15); }
std::string secondsText(std::chrono::milliseconds duration) {
  return formatG15(static_cast<double>(duration.count()) / 1000.0);
}
std::string formatG17(double value) { return formatWith(value, std::chars_format::general, 17); }
std::string formatFixed17(double value) { return formatWith(value, std::chars_format::fixed, 17); }
std::string joinG15(const std::vector<double>& values) { return joinWith(values, &formatG15); }
std::string joinG17(const std::vector<double>& values) { return joinWith(values, &formatG17); }

}  // namespace epson::protocol
