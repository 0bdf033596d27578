#include "Eeprom.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace km7sim {
namespace {

constexpr const char* kVariable = "KM7_SIM_PROGRAMMED";

// Hex keeps every field free of the separators, whatever bytes it holds.
std::string Hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

std::string Hex(const std::string& s) {
  return Hex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

bool Unhex(const std::string& hex, std::string& out) {
  if (hex.size() % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int v = 0;
    for (size_t k = i; k < i + 2; ++k) {
      const char c = hex[k];
      const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (d < 0) return false;
      v = v * 16 + d;
    }
    out += static_cast<char>(v);
  }
  return true;
}

template <size_t N>
bool UnhexArray(const std::string& hex, std::array<uint8_t, N>& out) {
  std::string bytes;
  if (!Unhex(hex, bytes) || bytes.size() != N) return false;
  for (size_t i = 0; i < N; ++i) out[i] = static_cast<uint8_t>(bytes[i]);
  return true;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(s);
  while (std::getline(in, part, sep)) parts.push_back(part);
  return parts;
}

}  // namespace

std::string EncodeProgrammed(const ProgrammedMemories& memories) {
  std::string out;
  for (const auto& [key, e] : memories) {
    if (!out.empty()) out += ';';
    const uint8_t ids[4] = {static_cast<uint8_t>(e.vendorId >> 8), static_cast<uint8_t>(e.vendorId),
                            static_cast<uint8_t>(e.productId >> 8), static_cast<uint8_t>(e.productId)};
    out += Hex(key) + ',' + Hex(ids, 4) + ',' + Hex(e.manufacturer) + ',' + Hex(e.manufacturerId) +
           ',' + Hex(e.description) + ',' + Hex(e.serial) + ',' + Hex(e.more.data(), e.more.size()) +
           ',' + Hex(e.userArea.data(), e.userArea.size());
  }
  return out;
}

ProgrammedMemories DecodeProgrammed(const std::string& text) {
  ProgrammedMemories memories;
  for (const std::string& entry : Split(text, ';')) {
    const auto f = Split(entry, ',');
    if (f.size() != 8) continue;
    std::string key, ids;
    Eeprom e;
    if (!Unhex(f[0], key) || !Unhex(f[1], ids) || ids.size() != 4 || !Unhex(f[2], e.manufacturer) ||
        !Unhex(f[3], e.manufacturerId) || !Unhex(f[4], e.description) || !Unhex(f[5], e.serial) ||
        !UnhexArray(f[6], e.more) || !UnhexArray(f[7], e.userArea)) {
      continue;
    }
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(ids[i]); };
    e.vendorId = static_cast<uint16_t>(byte(0) << 8 | byte(1));
    e.productId = static_cast<uint16_t>(byte(2) << 8 | byte(3));
    memories[key] = e;
  }
  return memories;
}

void KeepProgrammed(const ProgrammedMemories& memories) {
  setenv(kVariable, EncodeProgrammed(memories).c_str(), 1);
}

ProgrammedMemories RestoreProgrammed() {
  const char* text = std::getenv(kVariable);
  return text == nullptr ? ProgrammedMemories{} : DecodeProgrammed(text);
}

}  // namespace km7sim
