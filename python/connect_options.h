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

// The keepalive in seconds: 0 (off), or from kMinKeepalive; checked here, in seconds, so that a
// value just below the minimum is never rounded up into it.
inline std::chrono::milliseconds keepaliveFromSeconds(double keepalive) {
  const double min_s = std::chrono::duration<double>(epson::Brevacon::kMinKeepalive).count();
  const double max_s = std::chrono::duration<double>(epson::Brevacon::kMaxConnectWait).count();
  if (keepalive == 0.0) return std::chrono::milliseconds(0);
  if (!std::isfinite(keepalive) || keepalive < min_s || keepalive > max_s) {
    throw std::invalid_argument("keepalive must be 0 (off) or a number of seconds from " +
                                std::string(py::str(py::float_(min_s))) + " to " +
                                std::string(py::str(py::float_(max_s))) + ", not " +
                                std::string(py::str(py::float_(keepalive))));
  }
  return std::chrono::milliseconds(std::llround(keepalive * 1000.0));
}

inline epson::ConnectOptions connectOptions(double attempt_timeout, const py::int_& attempts,
                                            double retry_pause, double keepalive) {
  epson::ConnectOptions options;
  options.keepalive = keepaliveFromSeconds(keepalive);
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
