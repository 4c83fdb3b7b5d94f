// Compares the telemetry value conversion with strtod in the "C" locale, over any text.
//
// toDouble must give strtod's value (NaN: any NaN of the same sign) wherever strtod converts
// without a range error. With a range error, a subnormal result is still the value, and a result
// that overflowed or came out zero fails as out of range. Text without a number fails as no
// number. A failed conversion leaves the target untouched, and parseValue throws the matching
// "stod" exception.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "fuzz_support.h"
#include "packet_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace epson::fuzz;
  namespace t = epson::telemetry;
  using Kind = ReferenceValue::Kind;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const ReferenceValue want = referenceValue(text);

  constexpr double kUntouched = 12345.678;
  double got = kUntouched;
  const t::ValueError error = t::toDouble(text, got);
  const t::ValueError due = want.kind == Kind::kValue      ? t::ValueError::kNone
                            : want.kind == Kind::kNoNumber ? t::ValueError::kNoNumber
                                                           : t::ValueError::kOutOfRange;
  FUZZ_CHECK(error == due, "error " + std::to_string(static_cast<int>(error)) + " where " +
                               std::to_string(static_cast<int>(due)) + " was due, for " +
                               printable(text) + " (strtod: " + showDouble(want.value) + ")");
  if (error == t::ValueError::kNone) {
    FUZZ_CHECK(sameDouble(got, want.value), showDouble(got) + " where strtod reads " +
                                                showDouble(want.value) + " in " + printable(text));
  } else {
    FUZZ_CHECK(sameDouble(got, kUntouched),
               "failed conversion changed the value: " + printable(text));
  }

  try {
    const double parsed = t::parseValue(text);
    FUZZ_CHECK(error == t::ValueError::kNone && sameDouble(parsed, got),
               "parseValue disagrees with toDouble for " + printable(text));
  } catch (const std::out_of_range& e) {
    FUZZ_CHECK(error == t::ValueError::kOutOfRange && std::string_view(e.what()) == "stod",
               "parseValue threw out_of_range for " + printable(text));
  } catch (const std::invalid_argument& e) {
    FUZZ_CHECK(error == t::ValueError::kNoNumber && std::string_view(e.what()) == "stod",
               "parseValue threw invalid_argument for " + printable(text));
  }
  return 0;
}
