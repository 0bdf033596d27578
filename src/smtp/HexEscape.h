#pragma once
// "=XX" escapes shared by quoted-printable and the encoded header words.
#include <string>

namespace km7 {

inline constexpr char kHexDigits[] = "0123456789ABCDEF";

inline void AppendHexEscape(std::string& out, unsigned char c) {
  out += '=';
  out += kHexDigits[c >> 4];
  out += kHexDigits[c & 0x0F];
}

}  // namespace km7
