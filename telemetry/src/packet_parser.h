#pragma once

// Pure logic of the telemetry stream: no sockets, no locks, no clocks. The receiver's Impl
// calls these on its receive thread; tests, benchmarks and fuzzers call them directly.
//
// Nothing here reads the process locale: numbers convert as the "C" locale reads them, whatever
// a host application (Qt, Python's locale module) has set.

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

// Largest packet the receiver buffers, terminator included. A peer that streams more than
// this without a carriage return has its data dropped up to the next carriage return.
constexpr std::size_t kMaxPacketBytes = std::size_t{64} * 1024;

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
// std::isspace, whose answer depends on the process locale.
constexpr bool isKeySpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The key with every white-space character removed, wherever it stands.
std::string stripKeyWhitespace(std::string_view key);

// What strtod does in the "C" locale, without reading the process locale: skips leading white
// space, converts the longest numeric prefix (decimal, hexadecimal with 0x, inf, infinity, nan,
// an optional sign) and ignores the rest. Subnormal results are values. Fails when there is no
// number, or when its magnitude lies outside the range of a double (it overflows, or a nonzero
// number rounds to zero); `value` is then unchanged.
enum class ValueError { kNone, kNoNumber, kOutOfRange };
ValueError toDouble(std::string_view text, double& value);
// The same, throwing std::invalid_argument("stod") or std::out_of_range("stod").
double parseValue(std::string_view text);

// The fields the receiver uses, in this order: the pose (X..W), the joints (J1agl..J6agl), then
// the five status keys of kStatusKeys.
enum Field : std::uint8_t {
  kFirstPoseField = 0,
  kFirstJointField = 6,
  kFirstStatusField = 12,
  kStatField = kFirstStatusField,
  kFieldCount = 17,
};

// Index of a recognised key (white space already removed), or kFieldCount for any other key.
std::size_t fieldIndex(std::string_view key);

// The recognised fields of one packet. Other keys are converted (a bad value still fails the
// packet) but not kept.
struct PacketFields {
  std::array<double, kFieldCount> values{};
  std::uint32_t present = 0;  // bit i: field i was in the packet

  bool has(std::size_t field) const { return (present >> field & 1U) != 0; }
  bool isStatus() const { return has(kStatField); }
};

// Splits a packet (terminator removed) into key/value fields, as the receiver does, and calls
// visit(key, value) for each, in order. Fields without "=" and keys that are empty after
// white-space removal are skipped without converting their value. Stops at the first value that
// does not convert and returns its error.
template <typename Visit>
ValueError forEachField(std::string_view packet, Visit&& visit);

// The recognised fields of a packet; a repeated key keeps its last value.
ValueError readFields(std::string_view packet, PacketFields& fields);

// Every field of a packet, unknown keys included: for tests and diagnostics. Throws as parseValue.
using FieldMap = std::map<std::string, double, std::less<>>;
FieldMap parseFields(std::string_view packet);

// Truncates a status value toward zero. Throws std::out_of_range for NaN, infinities and
// values whose truncation lies outside the signed 64-bit range, where a cast would be
// undefined.
std::int64_t statusValueToInt(double value);

// The eight-key status map of a status packet, or nothing when one of the five packet keys is
// missing. Presence is checked before any value is converted, so an incomplete packet never
// fails. Throws std::out_of_range as statusValueToInt does.
std::optional<ControllerStatus> decodeStatus(const PacketFields& fields);

// Collects the twelve sample fields across packets until all are present.
//
// Not thread-safe: it belongs to the receive thread.
class SampleAssembler {
 public:
  // Merges the sample fields of one non-status packet. A packet holding "X" first discards what
  // was collected. Returns the sample, and starts over, once all twelve fields are present.
  std::optional<TelemetrySample> add(const PacketFields& fields);
  void clear() { present_ = 0; }
  // The pending fields by key: for tests and diagnostics.
  FieldMap pending() const;

 private:
  std::array<double, 12> values_{};
  std::uint32_t present_ = 0;
};

// What one packet changes.
struct PacketEffect {
  enum class Outcome {
    kSample,            // completed a sample
    kStatus,            // a complete status packet
    kPending,           // sample fields kept for later packets (or nothing recognised)
    kIncompleteStatus,  // a status packet missing a key: ignored, pending fields untouched
    kBadValue,          // a value did not convert: packet dropped, pending fields cleared
    kNonFinite,         // completed a sample holding NaN or an infinity: dropped, the last
                        // published sample stays
  };
  Outcome outcome = Outcome::kPending;
  TelemetrySample sample;
  ControllerStatus status;
};

// The whole packet rule of the receive thread: conversion, status decoding, sample assembly.
class PacketStream {
 public:
  PacketEffect feed(std::string_view packet);
  void clear() { assembler_.clear(); }
  const SampleAssembler& assembler() const { return assembler_; }

 private:
  SampleAssembler assembler_;
};

// --- Inline definitions ------------------------------------------------------------------------

template <typename Visit>
ValueError forEachField(std::string_view packet, Visit&& visit) {
  std::string scratch;  // only for keys that hold white space, which are rare
  std::size_t begin = 0;
  while (begin <= packet.size()) {
    std::size_t end = packet.find(';', begin);
    if (end == std::string_view::npos) end = packet.size();
    const std::string_view field = packet.substr(begin, end - begin);
    begin = end + 1;

    const std::size_t eq = field.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = field.substr(0, eq);
    for (char c : key) {
      if (isKeySpace(c)) {
        scratch = stripKeyWhitespace(key);
        key = scratch;
        break;
      }
    }
    if (key.empty()) continue;
    double value = 0.0;
    const ValueError error = toDouble(field.substr(eq + 1), value);
    if (error != ValueError::kNone) return error;
    visit(key, value);
  }
  return ValueError::kNone;
}

}  // namespace telemetry
}  // namespace epson
