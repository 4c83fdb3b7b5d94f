// The texts of cell I/O: standard outputs and inputs, their byte and word ports, memory bits, and
// the waits on an input or a memory bit; and the parses of their printed values.

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "protocol.h"

namespace epson::protocol {
namespace {

// Numbers are written as to_string writes an int: plain decimal, no locale involved.
std::string checkedNumber(int number, const char* name) {
  if (number < 0) {
    throw std::invalid_argument(std::string(name) + " must be 0 or more, not " +
                                std::to_string(number));
  }
  return std::to_string(number);
}

std::string checkedValue(int value, int max) {
  if (value < 0 || value > max) {
    throw std::invalid_argument("value must be 0 to " + std::to_string(max) + ", not " +
                                std::to_string(value));
  }
  return std::to_string(value);
}

// The classic white-space set, never the locale's.
bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool equalsIgnoringCase(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c =
        text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (c != word[i]) return false;
  }
  return true;
}

[[noreturn]] void unreadable(const char* what, const std::string& result) {
  throw std::runtime_error(std::string("Failed to parse Epson controller ") + what + ": \"" +
                           escapeText(result, true) + "\"");
}

}  // namespace

std::string ioQuery(IoRead read, int number) {
  switch (read) {
    case IoRead::kOutputBit:
      return "Print Oport(" + checkedNumber(number, "bit") + ")";
    case IoRead::kInputBit:
      return "Print Sw(" + checkedNumber(number, "bit") + ")";
    case IoRead::kMemoryBit:
      return "Print MemSw(" + checkedNumber(number, "bit") + ")";
    case IoRead::kOutputByte:
      return "Print Out(" + checkedNumber(number, "port") + ")";
    case IoRead::kInputByte:
      return "Print In(" + checkedNumber(number, "port") + ")";
    case IoRead::kOutputWord:
      return "Print OutW(" + checkedNumber(number, "port") + ")";
    case IoRead::kInputWord:
      return "Print InW(" + checkedNumber(number, "port") + ")";
  }
  throw std::invalid_argument("unknown I/O read");
}

std::string outputBitStatement(int bit, bool on) {
  return (on ? "On " : "Off ") + checkedNumber(bit, "bit");
}

std::string memoryBitStatement(int bit, bool on) {
  return (on ? "MemOn " : "MemOff ") + checkedNumber(bit, "bit");
}

std::string outputByteStatement(int port, int value) {
  const std::string number = checkedNumber(port, "port");
  return "Out " + number + "," + checkedValue(value, kMaxByteValue);
}

std::string outputWordStatement(int port, int value) {
  const std::string number = checkedNumber(port, "port");
  return "OutW " + number + "," + checkedValue(value, kMaxWordValue);
}

std::string waitStatement(IoWait wait, int bit, bool on, double timeout_s,
                          std::chrono::milliseconds limit) {
  const std::string number = checkedNumber(bit, "bit");
  const double limit_s = std::chrono::duration<double>(limit).count();
  if (!std::isfinite(timeout_s) || timeout_s < kMinWaitSeconds || timeout_s > limit_s) {
    throw std::invalid_argument("timeout must be a number of seconds from 0.001 to " +
                                formatG15(limit_s) + ", not " + formatG17(timeout_s));
  }
  const char* function = wait == IoWait::kInputBit ? "Sw(" : "MemSw(";
  // Milliseconds in plain decimal, as a controller program writes a time: never an exponent,
  // never the binary noise of a double (0.1 is "0.1").
  return std::string("Wait ") + function + number + ") = " + (on ? "On" : "Off") + ", " +
         secondsText(waitMilliseconds(timeout_s));
}

std::chrono::milliseconds waitMilliseconds(double timeout_s) {
  return std::chrono::milliseconds(std::llround(timeout_s * 1000));
}

std::chrono::milliseconds waitReplyTimeout(double timeout_s, std::chrono::milliseconds reply) {
  return waitMilliseconds(timeout_s) + reply;
}

bool parseBitValue(const std::string& result) {
  const std::string_view text = trimmed(result);
  for (const char* word : {"1", "-1", "true", "on"}) {
    if (equalsIgnoringCase(text, word)) return true;
  }
  for (const char* word : {"0", "false", "off"}) {
    if (equalsIgnoringCase(text, word)) return false;
  }
  unreadable("I/O bit value", result);
}

int parseIoValue(const std::string& result, int max) {
  const std::string_view text = trimmed(result);
  int value = -1;
  const char* const end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, value);
  // from_chars reads an optional minus sign; a "-0" is still no negative number.
  if (text.empty() || ec != std::errc() || stop != end || value < 0 || value > max) {
    unreadable(max == kMaxByteValue ? "I/O byte value" : "I/O word value", result);
  }
  return value;
}

}  // namespace epson::protocol
