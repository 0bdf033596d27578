// How a sensor's name goes into the names of its settings.
#include <string>
#include <string_view>

#include "settings/ProfileStore.h"

bool ProfileStore::CannotHoldInName(char c) {
  const auto u = static_cast<unsigned char>(c);
  return c == '=' || u < 0x20 || u == 0x7F;
}

bool ProfileStore::NeedsEscape(char c) { return c == '%' || CannotHoldInName(c); }

namespace {

// Either case: names in the file match without regard to case.
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string ProfileStore::NameBeforePercentEscape(std::string_view name) {
  std::string old;
  old.reserve(name.size());
  bool changed = false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name.substr(i, 3) == "%25") {
      old += '%';
      i += 2;
      changed = true;
    } else {
      old += name[i];
    }
  }
  if (!changed) return {};
  // An escape in the old name (say "%3D") could have come from another name
  // then ("="), and is what a name escapes into now: not this name's alone.
  for (std::size_t i = 0; i + 2 < old.size(); ++i) {
    if (old[i] != '%') continue;
    const int high = HexDigit(old[i + 1]), low = HexDigit(old[i + 2]);
    if (high >= 0 && low >= 0 && NeedsEscape(static_cast<char>(high * 16 + low))) return {};
  }
  return old;
}

std::string ProfileStore::EscapedSuffix(std::string_view suffix) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(suffix.size());
  for (char c : suffix) {
    if (!NeedsEscape(c)) {
      out += c;
      continue;
    }
    const auto u = static_cast<unsigned char>(c);
    out += '%';
    out += kHex[u >> 4];
    out += kHex[u & 0xF];
  }
  return out;
}

std::string ProfileStore::ValueName(std::string_view pattern, std::string_view suffix) {
  std::string name;
  name.reserve(pattern.size() + suffix.size());
  bool substituted = false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size()) {
      if (pattern[i + 1] == '%') {
        name += '%';
        ++i;
        continue;
      }
      if (pattern[i + 1] == 's' && !substituted) {
        name.append(EscapedSuffix(suffix));
        substituted = true;
        ++i;
        continue;
      }
    }
    name += pattern[i];
  }
  return name;
}
