#include "ui/NumberText.h"

#include <locale.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>

namespace km7::ui {
namespace {
locale_t CLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t{});
  return c;
}
}  // namespace

bool ParseWholeInt(const std::string& text, int& out) {
  const char* s = text.c_str();
  while (*s == ' ' || *s == '\t') ++s;
  const char* digits = s;
  if (*digits == '+' || *digits == '-') ++digits;
  if (*digits < '0' || *digits > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(s, &end, 10);
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') return false;
  out = static_cast<int>(v);
  return true;
}

bool ParseWholeDouble(const std::string& text, double& out) {
  const char* s = text.c_str();
  while (*s == ' ' || *s == '\t') ++s;
  if (*s == '\0') return false;
  errno = 0;
  char* end = nullptr;
  const double v = strtod_l(s, &end, CLocale());
  if (end == s || errno == ERANGE) return false;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') return false;
  out = v;
  return true;
}

std::string FormatDouble(double value) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  return std::string(buf, r.ptr);
}

}  // namespace km7::ui
