// The keyword arguments that Brevacon.connect() and Tandrel() share, as an epson::ConnectOptions.
//
// Python gives the waits as seconds in a float and the count as an int of any size. A value the
// native field cannot hold (nan, inf, 1e300 s, -2**70 attempts) becomes one just outside the
// range the native check accepts, so that check rejects it with its own message, as ValueError.
// Only a count above INT_MAX is refused here.

#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <epson/brevacon.h>

namespace epson_python {

namespace py = pybind11;

// Rounded away from zero, so that neither a small positive nor a small negative wait turns into
// the 0 ms that would change what the check says about it.
inline std::chrono::milliseconds waitFromSeconds(double seconds) {
  const double outside =
      std::chrono::duration<double, std::milli>(epson::Brevacon::kMaxConnectWait).count() + 1.0;
  double ms = seconds * 1000.0;
  if (!(ms >= -outside)) {
    ms = -outside;  // nan too
  } else if (ms > outside) {
    ms = outside;
  }
  return std::chrono::milliseconds(
      static_cast<std::int64_t>(ms < 0 ? std::floor(ms) : std::ceil(ms)));
}

// A default for the signature: 20.0 for 20 s.
template <class Rep, class Period>
double seconds(std::chrono::duration<Rep, Period> duration) {
  return std::chrono::duration<double>(duration).count();
}

inline epson::ConnectOptions connectOptions(double attempt_timeout, const py::int_& attempts,
                                            double retry_pause) {
  epson::ConnectOptions options;
  options.attempt_timeout = waitFromSeconds(attempt_timeout);
  options.retry_pause = waitFromSeconds(retry_pause);
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(attempts.ptr(), &overflow);
  if (count == -1 && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  if (overflow > 0 || count > INT_MAX) {
    throw std::invalid_argument("attempts must be at most " + std::to_string(INT_MAX));
  }
  options.attempts = overflow < 0 || count < 0 ? 0 : static_cast<int>(count);
  return options;
}

}  // namespace epson_python
