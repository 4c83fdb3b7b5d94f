#pragma once

// Switches the process to a locale with a decimal comma for the life of the object, as a host
// application (Qt, Python's locale module) may do, and restores the previous one afterwards.

#include <clocale>
#include <locale>
#include <stdexcept>
#include <string>

namespace epson::test {

class DecimalCommaLocale {
 public:
  DecimalCommaLocale() {
    const char* previous = std::setlocale(LC_ALL, nullptr);
    saved_ = previous != nullptr ? previous : "C";
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"}) {
      if (std::setlocale(LC_ALL, name) != nullptr) {
        active_ = true;
        break;
      }
    }
    try {
      std::locale::global(std::locale(""));
    } catch (const std::runtime_error&) {
    }
  }
  ~DecimalCommaLocale() {
    std::locale::global(std::locale::classic());
    std::setlocale(LC_ALL, saved_.c_str());
  }
  DecimalCommaLocale(const DecimalCommaLocale&) = delete;
  DecimalCommaLocale& operator=(const DecimalCommaLocale&) = delete;

  // False when no such locale is installed: the caller should skip.
  bool active() const { return active_; }

 private:
  std::string saved_;
  bool active_ = false;
};

}  // namespace epson::test
