// The caller's buffers of the listing and of the program-data record: their
// sizes, and copying into them and out of them safely.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string.h>

namespace km7sim {

inline constexpr size_t kManufacturerSize = 32;
inline constexpr size_t kManufacturerIdSize = 16;
inline constexpr size_t kDescriptionSize = 64;
inline constexpr size_t kSerialSize = 16;

// Cut to size, terminator included; nothing for a null buffer.
inline void CopyOut(const std::string& from, char* to, size_t size) {
  if (to == nullptr) return;
  const size_t n = std::min(from.size(), size - 1);
  std::memcpy(to, from.data(), n);
  to[n] = '\0';
}

// Checks a caller string against the memory it must fit, terminator included.
inline bool Fits(const char* s, size_t size) { return ::strnlen(s, size) < size; }

}  // namespace km7sim
