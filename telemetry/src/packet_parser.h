#pragma once

// Pure logic of the telemetry stream: no sockets, no locks, no clocks. The receiver's Impl
// calls these on its receive thread; tests and benchmarks call them directly.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <epson/controller_status.h>
#include <epson/telemetry_sample.h>

namespace epson {
namespace telemetry {

// Key text to value. Ordered, so that iteration (and a repeated key's "later wins") is
// deterministic.
using FieldMap = std::map<std::string, double, std::less<>>;

// Largest packet the receiver buffers, terminator included. A peer that streams more than
// this without a carriage return has its data dropped up to the next carriage return.
constexpr std::size_t kMaxPacketBytes = 64 * 1024;

// Pose keys in sample order; joint keys are "J1agl" .. "J6agl".
constexpr std::array<const char*, 6> kTcpKeys = {"X", "Y", "Z", "U", "V", "W"};
constexpr std::array<const char*, 6> kJointKeys = {"J1agl", "J2agl", "J3agl",
                                                   "J4agl", "J5agl", "J6agl"};

// Packet key to status-map key, in the order the status map is built.
struct StatusKey {
  const char* packet_key;
  const char* status_key;
};
constexpr std::array<StatusKey, 5> kStatusKeys = {{{"STAT", "stat"},
                                                   {"SYSERR", "system_error"},
                                                   {"CTRLDEV", "control_device"},
                                                   {"ROBOTINFO", "robot_info"},
                                                   {"CTRLINFO", "ctrl_info"}}};

// True for the classic white-space set: blank, \t, \n, \v, \f, \r. Deliberately not
// std::isspace, whose answer depends on the process locale (Python may change it).
constexpr bool isKeySpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The key with every white-space character removed, wherever it stands.
std::string stripKeyWhitespace(std::string_view key);

// std::stod semantics: skips leading white space, converts the longest numeric prefix
// (decimal, hexadecimal, inf, nan) and ignores the rest. Throws std::invalid_argument("stod")
// when there is no number, std::out_of_range("stod") when it does not fit a double.
double parseValue(std::string_view text);

// Splits a packet (terminator removed) into key/value fields. Fields without "=" and keys
// that are empty after white-space removal are skipped without converting their value. A
// repeated key keeps its last value. Throws as parseValue does; nothing is returned then.
FieldMap parseFields(std::string_view packet);

// Truncates a status value toward zero. Throws std::out_of_range for NaN, infinities and
// values whose truncation lies outside the signed 64-bit range, where a cast would be
// undefined.
std::int64_t statusValueToInt(double value);

// A packet that holds "STAT" is a status packet, whether or not it is complete.
bool isStatusPacket(const FieldMap& fields);

// The eight-key status map of a status packet, or nothing when one of the five packet keys
// is missing. Throws std::out_of_range as statusValueToInt does.
std::optional<ControllerStatus> decodeStatus(const FieldMap& fields);

// Collects sample fields across packets until all twelve are present.
//
// Not thread-safe: it belongs to the receive thread.
class SampleAssembler {
 public:
  // Merges the fields of one non-status packet. A packet holding "X" first discards what was
  // collected. Returns the sample, and starts over, once all twelve keys are present.
  std::optional<TelemetrySample> add(const FieldMap& fields);
  void clear() { pending_.clear(); }
  const FieldMap& pending() const { return pending_; }

 private:
  FieldMap pending_;
};

}  // namespace telemetry
}  // namespace epson
