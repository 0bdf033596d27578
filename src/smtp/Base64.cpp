#include "smtp/Encoding.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "smtp/ErrorMessages.h"
#include "smtp/SMTPException.h"

namespace km7 {
namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 19 groups of 3 bytes make one 76-character line.
constexpr size_t kGroupsPerLine = 19;

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Every pair of 6-bit values as its two characters: one table look-up
// writes half a group.
struct PairTable {
  char chars[4096 * 2];
  constexpr PairTable() : chars() {
    for (int i = 0; i < 4096; ++i) {
      chars[2 * i] = kAlphabet[i >> 6];
      chars[2 * i + 1] = kAlphabet[i & 63];
    }
  }
};
constexpr PairTable kPairs;

}  // namespace

size_t Base64EncodedLength(size_t byteCount, int flags) {
  const size_t groups = byteCount / 3;
  const size_t rest = byteCount % 3;
  size_t length = groups * 4;
  if (rest != 0) length += (flags & BASE64_NO_PADDING) ? rest + 1 : 4;
  if (!(flags & BASE64_NO_LINE_BREAKS)) length += groups / kGroupsPerLine * 2;
  return length;
}

void Base64EncodeAppend(std::string_view bytes, int flags, std::string& out) {
  const size_t start = out.size();
  // Sized once and written through a pointer: appending one character at a
  // time costs more than the encoding itself.
  out.resize(start + Base64EncodedLength(bytes.size(), flags));
  char* o = out.data() + start;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t groups = bytes.size() / 3;
  const bool breaks = !(flags & BASE64_NO_LINE_BREAKS);
  for (size_t done = 0; done < groups;) {
    const size_t line = breaks ? std::min(kGroupsPerLine, groups - done) : groups - done;
    for (size_t k = 0; k < line; ++k, p += 3, o += 4) {
      const uint32_t v = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
      std::memcpy(o, &kPairs.chars[2 * (v >> 12)], 2);
      std::memcpy(o + 2, &kPairs.chars[2 * (v & 0xFFF)], 2);
    }
    done += line;
    if (breaks && line == kGroupsPerLine) {
      *o++ = '\r';
      *o++ = '\n';
    }
  }
  const size_t rest = bytes.size() % 3;
  if (rest != 0) {
    const uint32_t v = (uint32_t{p[0]} << 16) | (rest == 2 ? uint32_t{p[1]} << 8 : 0);
    *o++ = kAlphabet[(v >> 18) & 63];
    *o++ = kAlphabet[(v >> 12) & 63];
    if (rest == 2) *o++ = kAlphabet[(v >> 6) & 63];
    if (!(flags & BASE64_NO_PADDING)) {
      *o++ = '=';
      if (rest == 1) *o++ = '=';
    }
  }
}

std::string Base64Encode(std::string_view bytes, int flags) {
  try {
    std::string out;
    Base64EncodeAppend(bytes, flags, out);
    return out;
  } catch (const std::bad_alloc&) {
    throw CZRKSMTPException(FACILITY_ITF, IDS_BASE64_ENCODE_FAILED);
  }
}

std::string Base64Decode(std::string_view text) {
  try {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    uint32_t acc = 0;
    int count = 0;
    for (char ch : text) {
      if (ch == '\0') break;
      const int v = Base64Value(static_cast<unsigned char>(ch));
      if (v < 0) continue;
      acc = (acc << 6) | static_cast<uint32_t>(v);
      if (++count == 4) {
        out += static_cast<char>((acc >> 16) & 0xFF);
        out += static_cast<char>((acc >> 8) & 0xFF);
        out += static_cast<char>(acc & 0xFF);
        acc = 0;
        count = 0;
      }
    }
    if (count == 2) {
      out += static_cast<char>((acc >> 4) & 0xFF);
    } else if (count == 3) {
      out += static_cast<char>((acc >> 10) & 0xFF);
      out += static_cast<char>((acc >> 2) & 0xFF);
    }
    return out;
  } catch (const std::bad_alloc&) {
    throw CZRKSMTPException(FACILITY_ITF, IDS_BASE64_DECODE_FAILED);
  }
}

}  // namespace km7
