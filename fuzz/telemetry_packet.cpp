// Feeds a sequence of telemetry packets (the input split at CR) to the parser's pieces and to a
// plain std::map model of the packet rule, and requires the same result packet by packet:
// - readFields and parseFields: which fields a packet has and their values, or which failure;
// - decodeStatus: the eight-key status of a packet with all five status keys;
// - PacketStream::feed: the outcome, the published sample or status, and the pending fields
//   (SampleAssembler) after every packet.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "packet_parser.h"
#include "telemetry_model.h"

namespace epson::fuzz {
namespace {

namespace t = epson::telemetry;
using Model = TelemetryModel;
using Kind = ReferenceValue::Kind;

// The recognised keys in field order: pose, joints, then the five status keys.
constexpr const char* kFieldNames[t::kFieldCount] = {
    "X",     "Y",     "Z",     "U",    "V",      "W",       "J1agl",     "J2agl",   "J3agl",
    "J4agl", "J5agl", "J6agl", "STAT", "SYSERR", "CTRLDEV", "ROBOTINFO", "CTRLINFO"};

template <typename A, typename B>
bool sameFields(const A& a, const B& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
           return x.first == y.first && sameDouble(x.second, y.second);
         });
}

void checkFields(std::string_view packet) {
  Model::Fields want;
  const Kind kind = Model::fieldsOf(packet, want);

  t::PacketFields fields;
  const t::ValueError error = t::readFields(packet, fields);
  const t::ValueError due = kind == Kind::kValue      ? t::ValueError::kNone
                            : kind == Kind::kNoNumber ? t::ValueError::kNoNumber
                                                      : t::ValueError::kOutOfRange;
  FUZZ_CHECK(error == due, "readFields error " + std::to_string(static_cast<int>(error)) + " for " +
                               printable(packet));
  try {
    FUZZ_CHECK(sameFields(t::parseFields(packet), want) && kind == Kind::kValue,
               "parseFields differs for " + printable(packet));
  } catch (const std::invalid_argument&) {
    FUZZ_CHECK(kind == Kind::kNoNumber, "parseFields: invalid_argument for " + printable(packet));
  } catch (const std::out_of_range&) {
    FUZZ_CHECK(kind == Kind::kOutOfRange, "parseFields: out_of_range for " + printable(packet));
  }
  if (kind != Kind::kValue) return;

  for (std::size_t i = 0; i < t::kFieldCount; ++i) {
    const auto it = want.find(kFieldNames[i]);
    FUZZ_CHECK(fields.has(i) == (it != want.end()) &&
                   (!fields.has(i) || sameDouble(fields.values[i], it->second)),
               std::string("field ") + kFieldNames[i] + " differs in " + printable(packet));
  }
  for (const auto& [key, value] : want) {
    const std::size_t index = t::fieldIndex(key);
    FUZZ_CHECK(index == t::kFieldCount ? std::find(std::begin(kFieldNames), std::end(kFieldNames),
                                                   key) == std::end(kFieldNames)
                                       : key == kFieldNames[index],
               "fieldIndex(" + printable(key) + ") = " + std::to_string(index));
  }
}

void checkStatus(std::string_view packet) {
  t::PacketFields fields;
  if (t::readFields(packet, fields) != t::ValueError::kNone) return;
  Model model;
  const Model::Effect want = model.feed(packet);
  std::optional<ControllerStatus> got;
  bool out_of_range = false;
  try {
    got = t::decodeStatus(fields);
  } catch (const std::out_of_range&) {
    out_of_range = true;
  }
  if (!fields.isStatus()) return;
  switch (want.outcome) {
    case Model::Outcome::kStatus:
      FUZZ_CHECK(got && *got == want.status, "decodeStatus differs for " + printable(packet));
      break;
    case Model::Outcome::kIncompleteStatus:
      FUZZ_CHECK(!got && !out_of_range, "incomplete status decoded: " + printable(packet));
      break;
    default:
      FUZZ_CHECK(out_of_range, "status value out of range not reported: " + printable(packet));
  }
}

const char* nameOf(Model::Outcome outcome) {
  static const char* const kNames[] = {
      "sample", "status", "pending", "incomplete status", "bad value", "non-finite sample"};
  return kNames[static_cast<int>(outcome)];
}

// The library's outcome, as the model names it.
Model::Outcome asModel(t::PacketEffect::Outcome outcome) {
  using O = t::PacketEffect::Outcome;
  switch (outcome) {
    case O::kSample:
      return Model::Outcome::kSample;
    case O::kStatus:
      return Model::Outcome::kStatus;
    case O::kPending:
      return Model::Outcome::kPending;
    case O::kIncompleteStatus:
      return Model::Outcome::kIncompleteStatus;
    case O::kNonFinite:
      return Model::Outcome::kNonFinite;
    case O::kBadValue:
      break;
  }
  return Model::Outcome::kBadValue;
}

}  // namespace
}  // namespace epson::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace epson::fuzz;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  epson::telemetry::PacketStream stream;
  Model model;
  std::size_t begin = 0;
  for (std::size_t number = 0; begin <= input.size(); ++number) {
    const std::size_t end = std::min(input.find('\r', begin), input.size());
    const std::string_view packet = input.substr(begin, end - begin);
    begin = end + 1;

    checkFields(packet);
    checkStatus(packet);
    const epson::telemetry::PacketEffect got = stream.feed(packet);
    const Model::Effect want = model.feed(packet);
    const std::string where = "packet " + std::to_string(number) + " " + printable(packet);
    FUZZ_CHECK(asModel(got.outcome) == want.outcome, std::string(nameOf(asModel(got.outcome))) +
                                                         " where the model has " +
                                                         nameOf(want.outcome) + ", " + where);
    if (want.outcome == Model::Outcome::kSample) {
      FUZZ_CHECK(sameSample(got.sample, want.sample), "different sample from " + where);
    }
    if (want.outcome == Model::Outcome::kStatus) {
      FUZZ_CHECK(got.status == want.status, "different status from " + where);
    }
    FUZZ_CHECK(sameFields(stream.assembler().pending(), model.pending()),
               "different pending fields after " + where);
  }
  return 0;
}
