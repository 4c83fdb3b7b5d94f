// Docstrings that state a deadline name it through a placeholder such as {motion_timeout},
// filled from the native constant when the module is created, so the text never drifts from the
// value the code uses.

#pragma once

#include <chrono>
#include <initializer_list>
#include <string>
#include <utility>

namespace epson_python {

// "300 s" for whole seconds, "250 ms" otherwise.
template <class Rep, class Period>
std::string durationText(std::chrono::duration<Rep, Period> duration) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

inline std::string filled(std::string text,
                          std::initializer_list<std::pair<const char*, std::string>> values) {
  for (const auto& [placeholder, value] : values) {
    const std::string key = placeholder;
    for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
      text.replace(at, key.size(), value);
      at += value.size();
    }
  }
  return text;
}

}  // namespace epson_python
