// Fuzzes the pure command-protocol logic: the reply parsers with arbitrary reply text and the
// statement builders with arbitrary caller arguments. The first byte picks the function, the
// rest of the input holds its arguments.
//
// Properties checked:
// - only std::invalid_argument, std::out_of_range and std::runtime_error escape, and their texts
//   are valid UTF-8 without NUL and without control bytes, apart from line feeds that the input
//   itself held (a multi-line reply quoted in a message);
// - where the rule is short, a parser agrees with a reference built on the C library: integer
//   values with automatic base, the eight-value status, the Boolean, AccelMax, XYLimMode;
// - a builder rejects exactly the arguments its rules reject, and what it accepts becomes whole
//   $Execute lines: no CR or LF, quotes only around the statement, numbers that read back.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "fuzz_support.h"
#include "protocol.h"
#include "reply_stream.h"

namespace epson::fuzz {
namespace {

namespace p = epson::protocol;
using Numbers = std::vector<double>;

enum class Outcome { kReturned, kInvalidArgument, kOutOfRange, kRuntimeError };

const char* nameOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kReturned:
      return "returned";
    case Outcome::kInvalidArgument:
      return "invalid_argument";
    case Outcome::kOutOfRange:
      return "out_of_range";
    case Outcome::kRuntimeError:
      return "runtime_error";
  }
  return "?";
}

// `input` is all text the call was given: a line feed in a message must come from there.
void checkMessage(const std::string& message, std::string_view input) {
  FUZZ_CHECK(isValidUtf8(message), "message is not UTF-8: " + printable(message));
  for (const char c : message) {
    const auto byte = static_cast<unsigned char>(c);
    FUZZ_CHECK(byte != 0, "NUL in message: " + printable(message));
    if (c == '\n') {
      FUZZ_CHECK(input.find('\n') != std::string_view::npos,
                 "line feed in a message about a single line: " + printable(message));
    } else {
      FUZZ_CHECK(byte >= 0x20 && byte != 0x7F, "control byte in message: " + printable(message));
    }
  }
}

// Runs `call` and tells how it ended; any exception type other than the three documented ones
// fails the run.
template <typename Call>
Outcome run(Call&& call, std::string_view input) {
  try {
    call();
    return Outcome::kReturned;
  } catch (const std::invalid_argument& e) {
    checkMessage(e.what(), input);
    return Outcome::kInvalidArgument;
  } catch (const std::out_of_range& e) {
    checkMessage(e.what(), input);
    return Outcome::kOutOfRange;
  } catch (const std::runtime_error& e) {
    checkMessage(e.what(), input);
    return Outcome::kRuntimeError;
  } catch (const std::exception& e) {
    fail(__FILE__, __LINE__, "documented exception type",
         std::string(typeid(e).name()) + ": " + e.what() + " for " + printable(input));
  }
}

void expectOutcome(Outcome got, Outcome want, std::string_view input) {
  FUZZ_CHECK(got == want, std::string(nameOf(got)) + " where " + nameOf(want) + " was due, for " +
                              printable(input));
}

// --- References --------------------------------------------------------------------------------

std::string withoutWhiteSpaceLowered(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (!isCSpace(c)) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return out;
}

// "true", "false", or a whole signed 64-bit integer with automatic base, once white space is
// dropped and letters are lowered; strtoll with base 0 reads exactly those forms.
std::optional<std::int64_t> referenceStatusValue(const std::string& text) {
  const std::string norm = withoutWhiteSpaceLowered(text);
  if (norm == "true") return 1;
  if (norm == "false") return 0;
  char* end = nullptr;
  errno = 0;
  const long long value = strtoll_l(norm.c_str(), &end, 0, cLocale());
  if (norm.empty() || end != norm.c_str() + norm.size() || errno == ERANGE) return std::nullopt;
  return value;
}

// `count` decimal integers, each after optional white space, then only white space: what an
// istream in the classic locale reads.
std::optional<std::vector<long long>> referenceIntegers(std::string text, std::size_t count,
                                                        bool commas_are_blanks) {
  if (commas_are_blanks) std::replace(text.begin(), text.end(), ',', ' ');
  std::vector<long long> values;
  const char* at = text.c_str();
  const char* const end = at + text.size();
  for (std::size_t i = 0; i < count; ++i) {
    char* stop = nullptr;
    errno = 0;
    const long long value = strtoll_l(at, &stop, 10, cLocale());
    if (stop == at || errno == ERANGE) return std::nullopt;
    values.push_back(value);
    at = stop;
  }
  for (; at != end; ++at) {
    if (!isCSpace(*at)) return std::nullopt;
  }
  return values;
}

bool fitsInt32(long long value) {
  return value >= std::numeric_limits<std::int32_t>::min() &&
         value <= std::numeric_limits<std::int32_t>::max();
}

bool allFinite(const Numbers& values) {
  return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

// Text a builder inserts into a quoted statement must not end it or start a new line.
bool safeText(const std::string& text) { return text.find_first_of("\"\r\n") == std::string::npos; }

// A command line as the builders must produce it: $Execute,"<statement>" where the statement
// holds no quote and no line break. Returns the statement.
std::string statementOf(const std::string& line) {
  const std::string head = "$Execute,\"";
  FUZZ_CHECK(
      line.size() > head.size() && line.compare(0, head.size(), head) == 0 && line.back() == '"',
      "not an $Execute line: " + printable(line));
  const std::string statement = line.substr(head.size(), line.size() - head.size() - 1);
  FUZZ_CHECK(statement.find_first_of("\"\r\n") == std::string::npos,
             "quote or line break inside the statement: " + printable(line));
  return statement;
}

// The numbers of a comma-separated list; each must read back in full.
Numbers numberList(std::string_view list) {
  Numbers values;
  for (std::size_t start = 0;;) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    const std::string_view token = list.substr(start, comma - start);
    const CStrtod parsed = cStrtod(token);
    FUZZ_CHECK(!token.empty() && parsed.end == token.size(),
               "number does not read back: " + printable(token) + " in " + printable(list));
    values.push_back(parsed.value);
    if (comma == list.size()) return values;
    start = comma + 1;
  }
}

// `text` is head + list + tail; returns the list's numbers.
Numbers numbersBetween(std::string_view text, std::string_view head, std::string_view tail) {
  FUZZ_CHECK(text.size() >= head.size() + tail.size() && text.substr(0, head.size()) == head &&
                 text.substr(text.size() - tail.size()) == tail,
             printable(text) + " is not " + printable(head) + "..." + printable(tail));
  return numberList(text.substr(head.size(), text.size() - head.size() - tail.size()));
}

void expectSameNumbers(const Numbers& got, const Numbers& want, std::string_view text) {
  FUZZ_CHECK(got.size() == want.size(), "wrong count of numbers in " + printable(text));
  for (std::size_t i = 0; i < got.size(); ++i) {
    FUZZ_CHECK(sameDouble(got[i], want[i]), "number " + std::to_string(i) + " reads back as " +
                                                showDouble(got[i]) + ", not " +
                                                showDouble(want[i]) + ", in " + printable(text));
  }
}

// --- Reply parsers -------------------------------------------------------------------------------

void statusValue(ByteReader& in) {
  const std::string text = in.rest();
  std::int64_t got = 0;
  const Outcome outcome = run([&] { got = p::parseControllerStatusValue(text); }, text);
  const auto want = referenceStatusValue(text);
  expectOutcome(outcome, want ? Outcome::kReturned : Outcome::kRuntimeError, text);
  FUZZ_CHECK(!want || got == *want, std::to_string(got) + " for " + printable(text));
}

void controllerStatus(ByteReader& in) {
  static const char* const kKeys[] = {"stat",           "system_error", "emergency_stopped",
                                      "safeguard_open", "teach_mode",   "control_device",
                                      "robot_info",     "ctrl_info"};
  const std::string text = in.rest();
  std::vector<std::string> tokens(1);
  for (const char c : text) {
    if (isCSpace(c) || c == ',') {
      if (!tokens.back().empty()) tokens.emplace_back();
    } else {
      tokens.back() += c;
    }
  }
  if (tokens.back().empty()) tokens.pop_back();
  std::optional<ControllerStatus> want;
  if (tokens.size() == 8) {
    want.emplace();
    for (std::size_t i = 0; i < 8 && want; ++i) {
      const auto value = referenceStatusValue(tokens[i]);
      if (value) {
        (*want)[kKeys[i]] = *value;
      } else {
        want.reset();
      }
    }
  }
  ControllerStatus got;
  const Outcome outcome = run([&] { got = p::parseControllerStatus(text); }, text);
  expectOutcome(outcome, want ? Outcome::kReturned : Outcome::kRuntimeError, text);
  FUZZ_CHECK(!want || got == *want, "different status map for " + printable(text));
}

void emergencyStop(ByteReader& in) {
  const std::string text = in.rest();
  std::optional<bool> want;
  const auto integer = referenceIntegers(text, 1, false);
  const std::string word = withoutWhiteSpaceLowered(text);
  if (integer && fitsInt32(integer->front())) {
    want = integer->front() != 0;
  } else if (word == "true" || word == "false") {
    want = word == "true";
  }
  bool got = false;
  const Outcome outcome = run([&] { got = p::parseEmergencyStop(text); }, text);
  expectOutcome(outcome, want ? Outcome::kReturned : Outcome::kRuntimeError, text);
  FUZZ_CHECK(!want || got == *want, "wrong Boolean for " + printable(text));
}

void accelMax(ByteReader& in) {
  const std::string text = in.rest();
  auto want = referenceIntegers(text, 2, true);
  const auto positive = [](long long v) {
    return v >= 1 && v <= std::numeric_limits<std::int32_t>::max();
  };
  if (want && !(positive((*want)[0]) && positive((*want)[1]))) want.reset();
  PtpMotionLimits got;
  const Outcome outcome = run([&] { got = p::parseAccelMax(text); }, text);
  expectOutcome(outcome, want ? Outcome::kReturned : Outcome::kRuntimeError, text);
  FUZZ_CHECK(!want || (got.speed_percent == 100 && got.acceleration_percent == (*want)[0] &&
                       got.deceleration_percent == (*want)[1]),
             "wrong limits for " + printable(text));
}

// The state and the tool definition are the first doubles of the text, when there are exactly
// as many as they need.
void valueLists(ByteReader& in) {
  const std::string text = in.rest();
  Numbers all;
  expectOutcome(run([&] { all = p::extractDoubles(text); }, text), Outcome::kReturned, text);
  Numbers state;
  const Outcome state_outcome = run([&] { state = p::parseState(text); }, text);
  expectOutcome(state_outcome, all.size() == 12 ? Outcome::kReturned : Outcome::kRuntimeError,
                text);
  if (state_outcome == Outcome::kReturned) expectSameNumbers(state, all, text);
  Numbers tool;
  const Outcome tool_outcome = run([&] { tool = p::parseToolDefinition(text); }, text);
  expectOutcome(tool_outcome, all.size() == 6 ? Outcome::kReturned : Outcome::kRuntimeError, text);
  if (tool_outcome == Outcome::kReturned) expectSameNumbers(tool, all, text);
}

void ikJoint(ByteReader& in) {
  const int joint = in.raw<int>();
  const std::string text = in.rest();
  double got = 0.0;
  const Outcome outcome = run([&] { got = p::parseIkJoint(text, joint); }, text);
  FUZZ_CHECK(outcome == Outcome::kReturned || outcome == Outcome::kRuntimeError,
             nameOf(outcome) + std::string(" for ") + printable(text));
  FUZZ_CHECK(outcome != Outcome::kReturned || std::isfinite(got),
             "joint value not finite for " + printable(text));
}

void xyLimReadBack(ByteReader& in) {
  const Numbers expected = in.numbers(6);
  const std::string text = in.rest();
  const auto mode = referenceIntegers(text, 1, false);
  expectOutcome(run([&] { p::verifyXYLimMode(text); }, text),
                mode && mode->front() == 1 ? Outcome::kReturned : Outcome::kRuntimeError, text);
  const Outcome bounds = run([&] { p::verifyXYLimBounds(text, expected); }, text);
  FUZZ_CHECK(bounds == Outcome::kReturned || bounds == Outcome::kRuntimeError,
             nameOf(bounds) + std::string(" for ") + printable(text));
  // The statement's own numbers always verify.
  if (allFinite(expected)) {
    const std::string echo = p::joinG17(expected);
    expectOutcome(run([&] { p::verifyXYLimBounds(echo, expected); }, echo), Outcome::kReturned,
                  echo);
  }
}

void executeResult(ByteReader& in) {
  const std::string reply = in.rest();
  std::string got;
  const Outcome outcome = run([&] { got = p::extractExecuteResult(reply); }, reply);
  const std::size_t first = reply.find('"');
  const std::size_t last = reply.rfind('"');
  const bool quoted = first != std::string::npos && first < last;
  expectOutcome(outcome, quoted ? Outcome::kReturned : Outcome::kRuntimeError, reply);
  FUZZ_CHECK(!quoted || ("\"" + got + "\"" == reply.substr(first, last - first + 1)),
             "wrong result " + printable(got) + " of " + printable(reply));
}

void errorReply(ByteReader& in) {
  const std::string secret = in.text();
  const std::string command = in.text();
  const std::string reply = in.rest();
  std::string message;
  const std::string input = reply + command;
  expectOutcome(run([&] { message = p::errorReplyMessage(reply, command, secret); }, input),
                Outcome::kReturned, input);
  checkMessage(message, input);
  // The code is the text between the first comma and the next one, or the end.
  const std::size_t comma = reply.find(',');
  const bool code99 = comma != std::string::npos &&
                      reply.substr(comma + 1, reply.find(',', comma + 1) - comma - 1) == "99";
  const std::string shown =
      command.rfind("$Login,", 0) == 0 ? "$Login,<redacted>" : p::escapeText(command);
  const std::string want =
      "Remote command failed: " + p::escapeText(p::redact(reply, secret)) +
      (code99 ? " (Epson Remote Ethernet error 99: system error or communication error; no "
                "motion error code was returned)"
              : "") +
      " (command: " + shown + ")";
  FUZZ_CHECK(message == want, printable(message) + " is not " + printable(want));
}

void escapeAndRedact(ByteReader& in) {
  const std::string secret = in.text();
  const std::string text = in.rest();
  const std::string escaped = p::escapeText(text);
  const std::string line = p::escapeText(text, true);
  for (const std::string* out : {&escaped, &line}) {
    FUZZ_CHECK(isValidUtf8(*out) && out->find('\0') == std::string::npos,
               "escaped text not UTF-8 without NUL: " + printable(*out));
  }
  FUZZ_CHECK(std::none_of(line.begin(), line.end(),
                          [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }),
             "control byte in a one-line escape: " + printable(line));
  FUZZ_CHECK(std::none_of(escaped.begin(), escaped.end(),
                          [](char c) {
                            return c != '\n' && (static_cast<unsigned char>(c) < 0x20 || c == 0x7F);
                          }),
             "control byte other than a line feed in an escape: " + printable(escaped));
  // Text that needs no escape is left alone.
  const bool plain = std::none_of(text.begin(), text.end(), [](char c) {
    return c != '\n' && (static_cast<unsigned char>(c) < 0x20 || c == 0x7F);
  });
  if (plain && isValidUtf8(text)) {
    FUZZ_CHECK(escaped == text, "valid text changed by escaping: " + printable(text));
  }
  // Redaction replaces occurrences left to right, none overlapping.
  std::string want;
  for (std::size_t i = 0; i < text.size();) {
    if (!secret.empty() && text.compare(i, secret.size(), secret) == 0) {
      want += "<redacted>";
      i += secret.size();
    } else {
      want += text[i++];
    }
  }
  FUZZ_CHECK(p::redact(text, secret) == want, "redaction differs for " + printable(text));
}

void replyRouting(ByteReader& in) {
  std::vector<std::string> queue(in.byte() % 5);
  for (std::string& name : queue) name = in.text();
  const std::size_t skipped = in.byte() % 5;
  const std::string reply = in.rest();
  const std::size_t index = p::answeredIndex(
      reply, queue, [](const std::string& name) -> const std::string& { return name; },
      [&](const std::string& name) { return &name - queue.data() == static_cast<long>(skipped); });
  if (reply.empty() || (reply[0] != '#' && reply[0] != '!')) {
    FUZZ_CHECK(index == p::kAnswersNothing,
               "a line that is no reply was routed: " + printable(reply));
  }
  if (index == p::kAnswersNothing) return;
  FUZZ_CHECK(index < queue.size() && index != skipped, "routed outside the queue or to a skip");
  const std::optional<std::string_view> name = p::replyName(reply);
  FUZZ_CHECK(name.has_value(), "routed a line without a name");
  FUZZ_CHECK(name->empty() ? index == (skipped == 0 ? 1u : 0u) : queue[index] == *name,
             "routed to a command of another name, or not to the oldest");
  for (std::size_t i = 0; i < index; ++i) {
    FUZZ_CHECK(i == skipped || (!name->empty() && queue[i] != *name), "an older match was passed");
  }
}

// --- Builders ----------------------------------------------------------------------------------

template <typename T>
std::optional<T> optionalRaw(ByteReader& in, bool present) {
  return present ? std::optional<T>(in.raw<T>()) : std::nullopt;
}

std::optional<std::string> optionalText(ByteReader& in, bool present) {
  return present ? std::optional<std::string>(in.text()) : std::nullopt;
}

bool optionalSafe(const std::optional<std::string>& text) {
  return !text || (!text->empty() && safeText(*text));
}

void go(ByteReader& in) {
  const std::uint8_t f = in.byte();
  const std::uint8_t g = in.byte();
  const bool cp = f & 1, ljm = f & 2, sync = f & 4;
  const std::string destination = in.text();
  const auto orientation = optionalRaw<int>(in, f & 8);
  const auto search = optionalText(in, f & 16);
  const auto parallel = optionalText(in, f & 32);
  const auto speed = optionalRaw<int>(in, f & 64);
  const auto accel = optionalRaw<int>(in, f & 128);
  const auto decel = optionalRaw<int>(in, g & 1);
  const bool valid = !destination.empty() && safeText(destination) && (!orientation || ljm) &&
                     (!speed || (*speed >= 1 && *speed <= 100)) && (!accel || *accel >= 1) &&
                     (!decel || (*decel >= 1 && accel)) && optionalSafe(search) &&
                     optionalSafe(parallel);
  p::MotionPlan plan;
  const Outcome outcome = run(
      [&] {
        plan = p::planGo(destination, cp, ljm, orientation, search, parallel, sync, speed, accel,
                         decel);
      },
      destination);
  expectOutcome(outcome, valid ? Outcome::kReturned : Outcome::kInvalidArgument, destination);
  if (!valid) return;
  FUZZ_CHECK(statementOf(plan.motion).rfind("Go " + destination, 0) == 0,
             "motion does not go to the destination: " + printable(plan.motion));
  std::vector<long long> want;
  std::vector<std::string> settings;
  if (speed) {
    settings.push_back("Speed ");
    want.push_back(*speed);
  }
  if (accel) {
    settings.push_back("Accel ");
    want.push_back(*accel);
    want.push_back(decel ? *decel : *accel);
  }
  FUZZ_CHECK(plan.settings.size() == settings.size(), "wrong number of settings");
  std::vector<long long> got;
  for (std::size_t i = 0; i < settings.size(); ++i) {
    const std::string statement = statementOf(plan.settings[i]);
    FUZZ_CHECK(statement.rfind(settings[i], 0) == 0, "unexpected setting " + statement);
    const std::string values = statement.substr(settings[i].size());
    const auto read = referenceIntegers(values, settings[i] == "Speed " ? 1 : 2, true);
    FUZZ_CHECK(read.has_value(), "setting values do not read back: " + statement);
    got.insert(got.end(), read->begin(), read->end());
  }
  FUZZ_CHECK(got == want, "settings carry other values than asked");
}

// A linear speed or acceleration goes out as printf's %.17f, so it must not print as zero.
bool sendable(double value) {
  return std::isfinite(value) && value > 0.0 &&
         cFormat("%.17f", value).find_first_of("123456789") != std::string::npos;
}

void move(ByteReader& in) {
  const std::uint8_t f = in.byte();
  const bool rot = f & 1, ecp = f & 2, cp = f & 4, sync = f & 8;
  const std::string destination = in.text();
  const auto search = optionalText(in, f & 16);
  const auto parallel = optionalText(in, f & 32);
  const auto speed = optionalRaw<double>(in, f & 64);
  const auto accel = optionalRaw<double>(in, f & 128);
  const bool valid = !destination.empty() && safeText(destination) && optionalSafe(search) &&
                     optionalSafe(parallel) && (!speed || sendable(*speed)) &&
                     (!accel || sendable(*accel));
  p::MotionPlan plan;
  const Outcome outcome = run(
      [&] { plan = p::planMove(destination, rot, ecp, cp, search, parallel, sync, speed, accel); },
      destination);
  expectOutcome(outcome, valid ? Outcome::kReturned : Outcome::kInvalidArgument, destination);
  if (!valid) return;
  FUZZ_CHECK(statementOf(plan.motion).rfind("Move " + destination, 0) == 0,
             "motion does not move to the destination: " + printable(plan.motion));
  std::vector<std::string> want;
  if (speed) want.push_back("SpeedS " + cFormat("%.17f", *speed));
  if (accel) want.push_back("AccelS " + cFormat("%.17f", *accel));
  FUZZ_CHECK(plan.settings.size() == want.size(), "wrong number of settings");
  for (std::size_t i = 0; i < want.size(); ++i) {
    FUZZ_CHECK(statementOf(plan.settings[i]) == want[i],
               printable(plan.settings[i]) + " is not " + printable(want[i]));
  }
}

void ikPoint(ByteReader& in) {
  const std::uint8_t f = in.byte();
  const bool ljm = f & 1;
  const Numbers pose = in.numbers(f >> 1 & 7);
  std::optional<Numbers> reference;
  if (f & 16) reference = in.numbers(f >> 5 & 7);
  const bool valid = pose.size() == 6 && allFinite(pose) &&
                     (!reference || (ljm && reference->size() == 6 && allFinite(*reference)));
  std::string point;
  const Outcome outcome = run([&] { point = p::buildIkPoint(pose, ljm, reference); }, "");
  expectOutcome(outcome, valid ? Outcome::kReturned : Outcome::kInvalidArgument, "");
  if (!valid) return;
  if (!ljm) {
    expectSameNumbers(numbersBetween(point, "XY(", ")"), pose, point);
    return;
  }
  const std::size_t close = point.find(')');
  FUZZ_CHECK(close != std::string::npos, "no point in " + point);
  expectSameNumbers(numbersBetween(point.substr(0, close + 1), "LJM(XY(", ")"), pose, point);
  const std::string tail = point.substr(close + 1);
  if (reference) {
    expectSameNumbers(numbersBetween(tail, ",AglToPls(", "))"), *reference, point);
  } else {
    FUZZ_CHECK(tail == ",Here)", "LJM without a reference must end at Here: " + point);
  }
}

void xyLim(ByteReader& in) {
  const std::uint8_t f = in.byte();
  const Numbers lo = in.numbers(f % 5);
  const Numbers hi = in.numbers(f / 5 % 5);
  bool valid = lo.size() == 3 && hi.size() == 3;
  for (std::size_t axis = 0; valid && axis < 3; ++axis) {
    valid = std::isfinite(lo[axis]) && std::isfinite(hi[axis]) && lo[axis] < hi[axis];
  }
  expectOutcome(run([&] { p::validateCuboid(lo, hi); }, ""),
                valid ? Outcome::kReturned : Outcome::kInvalidArgument, "");
  if (!valid) return;
  const std::string statement = p::buildXYLimStatement(lo, hi);
  expectSameNumbers(numbersBetween(statement, "XYLim ", ""),
                    {lo[0], hi[0], lo[1], hi[1], lo[2], hi[2]}, statement);
}

void tools(ByteReader& in) {
  const int tool = in.raw<int>();
  const bool allow_zero = in.flag();
  const bool valid = tool >= (allow_zero ? 0 : 1) && tool <= 15;
  expectOutcome(run([&] { p::validateToolNumber(tool, allow_zero); }, ""),
                valid ? Outcome::kReturned : Outcome::kOutOfRange, "");
  // A slot's queries take 1 to 15 only, and refuse anything else before any text exists.
  const bool slot_number = tool >= 1 && tool <= 15;
  expectOutcome(run([&] { p::toolDefinitionQuery(tool); }, ""),
                slot_number ? Outcome::kReturned : Outcome::kOutOfRange, "");
  if (slot_number) {
    const std::string query = p::toolDefinitionQuery(tool);
    const std::string slot = "(TLSet(" + std::to_string(tool) + "))";
    std::size_t count = 0;
    for (std::size_t at = query.find(slot); at != std::string::npos;
         at = query.find(slot, at + 1)) {
      ++count;
    }
    FUZZ_CHECK(count == 6, "tool query does not name slot six times: " + query);
  }
  // The point goes out with 15 significant digits, the way printf writes them.
  const Numbers native = p::tcpToNative(in.numbers(6));
  const std::string point = p::formatToolPoint(native);
  std::string want = "XY(";
  for (std::size_t i = 0; i < native.size(); ++i) {
    want += (i == 0 ? "" : ",") + cFormat("%.15g", native[i]);
  }
  FUZZ_CHECK(point == want + ")", printable(point) + " is not " + printable(want + ")"));
  const std::string text = in.rest();
  expectOutcome(run([&] { p::requireSingleLineUnquoted("destination", text); }, text),
                safeText(text) ? Outcome::kReturned : Outcome::kInvalidArgument, text);
}

}  // namespace
}  // namespace epson::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace epson::fuzz;
  static void (*const kTargets[])(ByteReader&) = {
      statusValue, controllerStatus, emergencyStop, accelMax,
      valueLists,  ikJoint,          xyLimReadBack, executeResult,
      errorReply,  escapeAndRedact,  replyRouting,  go,
      move,        ikPoint,          xyLim,         tools};
  constexpr std::size_t kCount = sizeof kTargets / sizeof kTargets[0];
  ByteReader in(data, size);
  kTargets[in.byte() % kCount](in);
  return 0;
}
