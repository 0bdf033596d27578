#include "smtp/Ntlm.h"

#include <cstring>
#include <stdexcept>

#include "platform/SecureWipe.h"
#include "platform/Text.h"
#include "smtp/MD5.h"
#include "smtp/NtlmWire.h"

namespace km7::ntlm {
namespace {

using km7::Wipe;

// HMAC-MD5 over the concatenation of two pieces.
Key16 HmacMd5(const Key16& key, std::string_view a, std::string_view b = {}) {
  std::string data;
  data.reserve(a.size() + b.size());
  data.append(a);
  data.append(b);
  Key16 out{};
  CZRKMD5 md5;
  const bool ok = md5.HMAC(data.data(), data.size(), key.data(), key.size(), out.data());
  Wipe(data);
  if (!ok) throw std::runtime_error("HMAC-MD5 failed");
  return out;
}

// Upper case as the Windows up-case table has it for the characters that
// Windows-1252 can hold.
char16_t UpperChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  switch (c) {
    case 0xFF: return 0x178;
    case 0x161: return 0x160;
    case 0x153: return 0x152;
    case 0x17E: return 0x17D;
    default: return c;
  }
}

std::string ToUtf16Le(std::string_view cp1252, bool upper) {
  std::string utf8 = km7::Cp1252ToUtf8(cp1252);
  std::string out;
  out.reserve(cp1252.size() * 2);
  // Every Windows-1252 character lies in the basic plane: one to three
  // UTF-8 bytes, one UTF-16 unit.
  for (size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    char32_t cp = b;
    size_t n = 1;
    if (b >= 0xE0 && i + 2 < utf8.size()) {
      cp = ((b & 0x0Fu) << 12) | ((static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu) << 6) |
           (static_cast<unsigned char>(utf8[i + 2]) & 0x3Fu);
      n = 3;
    } else if (b >= 0xC0 && i + 1 < utf8.size()) {
      cp = ((b & 0x1Fu) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu);
      n = 2;
    }
    char16_t unit = static_cast<char16_t>(cp > 0xFFFF ? u'?' : cp);
    if (upper) unit = UpperChar(unit);
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
    i += n;
  }
  Wipe(utf8);
  return out;
}

// MD4 (RFC 1320).
struct Md4State {
  uint32_t a = 0x67452301, b = 0xefcdab89, c = 0x98badcfe, d = 0x10325476;

  static uint32_t Rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

  void Block(const uint8_t* p) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = Get32(p + 4 * i);
    uint32_t aa = a, bb = b, cc = c, dd = d;
    auto f = [](uint32_t x1, uint32_t y, uint32_t z) { return (x1 & y) | (~x1 & z); };
    auto g = [](uint32_t x1, uint32_t y, uint32_t z) { return (x1 & y) | (x1 & z) | (y & z); };
    auto h = [](uint32_t x1, uint32_t y, uint32_t z) { return x1 ^ y ^ z; };
    static constexpr int kR1[4] = {3, 7, 11, 19};
    for (int i = 0; i < 16; ++i) {
      const uint32_t t = aa + f(bb, cc, dd) + x[i];
      aa = dd; dd = cc; cc = bb; bb = Rotl(t, kR1[i % 4]);
    }
    static constexpr int kR2[4] = {3, 5, 9, 13};
    static constexpr int kOrder2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
    for (int i = 0; i < 16; ++i) {
      const uint32_t t = aa + g(bb, cc, dd) + x[kOrder2[i]] + 0x5a827999u;
      aa = dd; dd = cc; cc = bb; bb = Rotl(t, kR2[i % 4]);
    }
    static constexpr int kR3[4] = {3, 9, 11, 15};
    static constexpr int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    for (int i = 0; i < 16; ++i) {
      const uint32_t t = aa + h(bb, cc, dd) + x[kOrder3[i]] + 0x6ed9eba1u;
      aa = dd; dd = cc; cc = bb; bb = Rotl(t, kR3[i % 4]);
    }
    a += aa; b += bb; c += cc; d += dd;
    km7::SecureZero(x, sizeof x);
  }
};

}  // namespace

Key16 Md4(const void* data, size_t length) {
  Md4State state;
  const auto* p = static_cast<const uint8_t*>(data);
  size_t rest = length;
  for (; rest >= 64; rest -= 64, p += 64) state.Block(p);
  uint8_t tail[128] = {};
  if (rest > 0) std::memcpy(tail, p, rest);
  tail[rest] = 0x80;
  const size_t tailLength = rest < 56 ? 64 : 128;
  const uint64_t bits = static_cast<uint64_t>(length) * 8;
  for (int i = 0; i < 8; ++i) tail[tailLength - 8 + i] = static_cast<uint8_t>(bits >> (8 * i));
  state.Block(tail);
  if (tailLength == 128) state.Block(tail + 64);
  km7::SecureZero(tail, sizeof tail);
  Key16 out{};
  const uint32_t words[4] = {state.a, state.b, state.c, state.d};
  for (int w = 0; w < 4; ++w) {
    for (int i = 0; i < 4; ++i) out[4 * w + i] = static_cast<uint8_t>(words[w] >> (8 * i));
  }
  km7::SecureZero(&state, sizeof state);
  return out;
}

std::string Cp1252ToUtf16Le(std::string_view text) { return ToUtf16Le(text, false); }
std::string UpperCp1252ToUtf16Le(std::string_view text) { return ToUtf16Le(text, true); }

Key16 NtowfV2(std::string_view password, std::string_view user, std::string_view domain) {
  std::string unicodePassword = Cp1252ToUtf16Le(password);
  Key16 ntHash = Md4(unicodePassword.data(), unicodePassword.size());
  Wipe(unicodePassword);
  std::string identity = UpperCp1252ToUtf16Le(user) + Cp1252ToUtf16Le(domain);
  Key16 out = HmacMd5(ntHash, identity);
  km7::SecureZero(ntHash.data(), ntHash.size());
  Wipe(identity);
  return out;
}

V2Responses::~V2Responses() {
  km7::SecureZero(sessionBaseKey.data(), sessionBaseKey.size());
  Wipe(lmResponse);
}

std::string MakeBlob(uint64_t fileTime, const Challenge8& clientChallenge,
                     std::string_view targetInfo) {
  std::string blob;
  blob.reserve(32 + targetInfo.size());
  blob += '\x01';  // response version
  blob += '\x01';  // highest response version understood
  blob.append(6, '\0');
  Put64(blob, fileTime);
  blob.append(reinterpret_cast<const char*>(clientChallenge.data()), clientChallenge.size());
  blob.append(4, '\0');
  blob.append(targetInfo);
  blob.append(4, '\0');
  return blob;
}

V2Responses ComputeV2(const Key16& ntowfv2, const Challenge8& serverChallenge,
                      const Challenge8& clientChallenge, uint64_t fileTime,
                      std::string_view targetInfo) {
  const std::string_view server(reinterpret_cast<const char*>(serverChallenge.data()),
                                serverChallenge.size());
  const std::string_view client(reinterpret_cast<const char*>(clientChallenge.data()),
                                clientChallenge.size());
  V2Responses r;
  const std::string blob = MakeBlob(fileTime, clientChallenge, targetInfo);
  r.ntProofStr = HmacMd5(ntowfv2, server, blob);
  r.ntResponse.assign(reinterpret_cast<const char*>(r.ntProofStr.data()), r.ntProofStr.size());
  r.ntResponse += blob;
  const Key16 lm = HmacMd5(ntowfv2, server, client);
  r.lmResponse.assign(reinterpret_cast<const char*>(lm.data()), lm.size());
  r.lmResponse += client;
  r.sessionBaseKey = HmacMd5(
      ntowfv2, std::string_view(reinterpret_cast<const char*>(r.ntProofStr.data()), 16));
  return r;
}

}  // namespace km7::ntlm
