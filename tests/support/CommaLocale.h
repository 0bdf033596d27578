#pragma once
// Switches the C library to a comma-decimal locale for the scope, as the
// toolkit does for a German or French user, and back at its end. Active() is
// false when the machine has no such locale installed.
#include <clocale>
#include <string>

namespace km7::test {

class CommaLocale {
 public:
  explicit CommaLocale(int category = LC_NUMERIC) : category_(category) {
    const char* old = std::setlocale(category_, nullptr);
    saved_ = old != nullptr ? old : "C";
    active_ = std::setlocale(category_, "de_DE.UTF-8") != nullptr ||
              std::setlocale(category_, "fr_FR.UTF-8") != nullptr;
  }
  ~CommaLocale() { std::setlocale(category_, saved_.c_str()); }
  CommaLocale(const CommaLocale&) = delete;
  CommaLocale& operator=(const CommaLocale&) = delete;
  bool Active() const { return active_; }

 private:
  int category_;
  std::string saved_;
  bool active_ = false;
};

}  // namespace km7::test
