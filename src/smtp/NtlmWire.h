#pragma once
// Little-endian fields of the NTLM messages and the flags this client asks
// for, shared by the message code, the hashes and the client context.
#include <cstddef>
#include <cstdint>
#include <string>

#include "smtp/Ntlm.h"

namespace km7::ntlm {

inline constexpr uint32_t kClientFlags = NEGOTIATE_UNICODE | NEGOTIATE_OEM | REQUEST_TARGET |
                                         NEGOTIATE_NTLM | NEGOTIATE_ALWAYS_SIGN |
                                         NEGOTIATE_EXTENDED_SESSIONSECURITY | NEGOTIATE_128 |
                                         NEGOTIATE_56;

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline void Put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline void Put64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline void Set16(std::string& out, size_t at, uint16_t v) {
  out[at] = static_cast<char>(v & 0xFF);
  out[at + 1] = static_cast<char>(v >> 8);
}
inline void Set32(std::string& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace km7::ntlm
