// Number texts must not follow the process locale. The harness runs in a locale with a decimal
// comma (de_DE.UTF-8, when installed) and holds each double of the input (8 bytes each, at most
// 16 of them) to:
// - formatG15/G17/Fixed17 equal to printf "%.15g"/"%.17g"/"%.17f" in the "C" locale;
// - formatG17 reading back through strtod in the "C" locale to the same double, bit for bit
//   (any NaN of the same sign for a NaN);
// - a joined list of finite values reading back through the reply parser's extractDoubles.

#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "protocol.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* locale = std::setlocale(LC_ALL, "de_DE.UTF-8");
  if (locale == nullptr) locale = std::setlocale(LC_ALL, "de_DE.utf8");
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 0.5);
  if (locale == nullptr || std::strcmp(probe, "0,5") != 0) {
    std::fprintf(stderr,
                 "number_format: no locale with a decimal comma is installed; checking "
                 "in the C locale only\n");
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace epson::fuzz;
  namespace p = epson::protocol;
  ByteReader in(data, size);
  std::vector<double> finite;
  for (int i = 0; i < 16 && in.left() > 0; ++i) {
    const double value = in.raw<double>();
    const std::string shown = showDouble(value);
    const std::string g15 = p::formatG15(value);
    const std::string g17 = p::formatG17(value);
    const std::string fixed = p::formatFixed17(value);
    FUZZ_CHECK(g15 == cFormat("%.15g", value), g15 + " is not %.15g of " + shown);
    FUZZ_CHECK(g17 == cFormat("%.17g", value), g17 + " is not %.17g of " + shown);
    FUZZ_CHECK(fixed == cFormat("%.17f", value), fixed + " is not %.17f of " + shown);
    const CStrtod back = cStrtod(g17);
    FUZZ_CHECK(back.end == g17.size() && sameDouble(back.value, value),
               g17 + " reads back as " + showDouble(back.value) + ", not " + shown);
    if (std::isfinite(value)) finite.push_back(value);
  }
  // The parsers read with the classic locale: the joined list comes back whole.
  const std::string list = p::joinG17(finite);
  const std::vector<double> parsed = p::extractDoubles(list);
  FUZZ_CHECK(parsed.size() == finite.size(), "extractDoubles read " +
                                                 std::to_string(parsed.size()) + " of " +
                                                 std::to_string(finite.size()) + " in " + list);
  for (std::size_t i = 0; i < parsed.size(); ++i) {
    FUZZ_CHECK(sameDouble(parsed[i], finite[i]),
               "extractDoubles read " + showDouble(parsed[i]) + " for " + showDouble(finite[i]));
  }
  return 0;
}
