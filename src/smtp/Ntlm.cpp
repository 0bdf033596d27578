#include "smtp/Ntlm.h"

#include <openssl/rand.h>

#include <chrono>
#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/SecureWipe.h"
#include "platform/Text.h"
#include "smtp/MD5.h"

namespace km7::ntlm {
namespace {

constexpr char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};
constexpr uint32_t kNegotiateType = 1;
constexpr uint32_t kChallengeType = 2;
constexpr uint32_t kAuthenticateType = 3;
// NEGOTIATE: signature, type, flags, two field descriptors and the version.
constexpr size_t kNegotiateLength = 40;
// CHALLENGE: the target-information field descriptor ends here; shorter
// messages (from old servers) carry no target information.
constexpr size_t kChallengeMinimum = 32;
constexpr size_t kChallengeWithInfo = 48;
// AUTHENTICATE: fixed part (six field descriptors and the flags), no
// version and no message integrity code.
constexpr size_t kAuthenticateHeader = 64;
// FILETIME of the Unix epoch.
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;

constexpr uint32_t kClientFlags = NEGOTIATE_UNICODE | NEGOTIATE_OEM | REQUEST_TARGET |
                                  NEGOTIATE_NTLM | NEGOTIATE_ALWAYS_SIGN |
                                  NEGOTIATE_EXTENDED_SESSIONSECURITY | NEGOTIATE_128 |
                                  NEGOTIATE_56;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
void Put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Put64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Set16(std::string& out, size_t at, uint16_t v) {
  out[at] = static_cast<char>(v & 0xFF);
  out[at + 1] = static_cast<char>(v >> 8);
}
void Set32(std::string& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

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

std::string_view AsText(const uint8_t* p, size_t n) {
  return {reinterpret_cast<const char*>(p), n};
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

bool FindAvPair(std::string_view info, uint16_t id, std::string& value) {
  const auto* p = reinterpret_cast<const uint8_t*>(info.data());
  size_t at = 0;
  while (at + 4 <= info.size()) {
    const uint16_t pairId = Get16(p + at);
    const uint16_t length = Get16(p + at + 2);
    if (at + 4 + length > info.size()) return false;
    if (pairId == MsvAvEOL) return false;
    if (pairId == id) {
      value.assign(info.substr(at + 4, length));
      return true;
    }
    at += 4 + size_t{length};
  }
  return false;
}

namespace {

// AV pairs must each fit and the list must end in MsvAvEOL.
bool AvListWellFormed(std::string_view info) {
  const auto* p = reinterpret_cast<const uint8_t*>(info.data());
  size_t at = 0;
  while (at + 4 <= info.size()) {
    const uint16_t id = Get16(p + at);
    const uint16_t length = Get16(p + at + 2);
    if (at + 4 + length > info.size()) return false;
    if (id == MsvAvEOL) return true;
    at += 4 + size_t{length};
  }
  return false;
}

// A field descriptor (length, maximum length, offset) inside a message.
bool ReadField(const uint8_t* data, size_t length, size_t at, std::string& out) {
  const uint16_t fieldLength = Get16(data + at);
  const uint32_t offset = Get32(data + at + 4);
  if (fieldLength == 0) {
    out.clear();
    return true;
  }
  if (offset > length || fieldLength > length - offset) return false;
  out.assign(AsText(data + offset, fieldLength));
  return true;
}

}  // namespace

bool ParseChallenge(const uint8_t* data, size_t length, ChallengeMessage& out) {
  if (data == nullptr || length < kChallengeMinimum) return false;
  if (std::memcmp(data, kSignature, sizeof kSignature) != 0) return false;
  if (Get32(data + 8) != kChallengeType) return false;
  ChallengeMessage msg;
  if (!ReadField(data, length, 12, msg.targetName)) return false;
  msg.flags = Get32(data + 20);
  std::memcpy(msg.serverChallenge.data(), data + 24, 8);
  if (length >= kChallengeWithInfo) {
    if (!ReadField(data, length, 40, msg.targetInfo)) return false;
    if (!msg.targetInfo.empty() && !AvListWellFormed(msg.targetInfo)) return false;
  }
  out = std::move(msg);
  return true;
}

std::string MakeNegotiateMessage() {
  std::string out(kSignature, sizeof kSignature);
  Put32(out, kNegotiateType);
  Put32(out, kClientFlags);
  // No domain and no workstation supplied: empty fields that point at the
  // end of the fixed part, as acceptors expect of every field.
  for (int field = 0; field < 2; ++field) {
    Put32(out, 0);
    Put32(out, static_cast<uint32_t>(kNegotiateLength));
  }
  out.append(8, '\0');  // version: zero, since we do not negotiate it
  return out;
}

uint64_t CurrentFileTime() {
  using namespace std::chrono;
  const auto ticks = duration_cast<duration<int64_t, std::ratio<1, 10000000>>>(
      system_clock::now().time_since_epoch());
  return kUnixEpochFileTime + static_cast<uint64_t>(ticks.count());
}

ClientContext::ClientContext(std::string_view user, std::string_view domain,
                             std::string_view password, Clock clock, Random random)
    : m_user(user), m_domain(domain), m_password(password), m_clock(std::move(clock)),
      m_random(std::move(random)) {}

ClientContext::~ClientContext() {
  Wipe(m_password);
  Wipe(m_user);
  Wipe(m_domain);
}

int32_t ClientContext::Step(const uint8_t* in, size_t inLength, uint8_t* out, size_t outSize,
                            size_t& outLength, bool& done) {
  outLength = 0;
  done = false;
  try {
    std::string token;
    if (m_state == 0) {
      token = MakeNegotiateMessage();
      if (token.size() > outSize) return SEC_E_INSUFFICIENT_MEMORY;
      m_negotiate = token;
      std::memcpy(out, token.data(), token.size());
      outLength = token.size();
      m_state = 1;
      return SEC_I_CONTINUE_NEEDED;
    }
    if (m_state != 1) return SEC_E_INTERNAL_ERROR;

    ChallengeMessage challenge;
    if (!ParseChallenge(in, inLength, challenge)) return SEC_E_INVALID_TOKEN;

    // A server time stamp is used instead of our clock, and then the LMv2
    // response is sent empty (24 zero bytes), as current clients do.
    std::string stamp;
    const bool serverTime = FindAvPair(challenge.targetInfo, MsvAvTimestamp, stamp) &&
                            stamp.size() == 8;
    uint64_t fileTime = 0;
    if (serverTime) {
      for (int i = 7; i >= 0; --i) fileTime = (fileTime << 8) | static_cast<uint8_t>(stamp[i]);
    } else {
      fileTime = m_clock ? m_clock() : CurrentFileTime();
    }
    Challenge8 clientChallenge{};
    if (m_random) {
      m_random(clientChallenge);
    } else if (RAND_bytes(clientChallenge.data(), static_cast<int>(clientChallenge.size())) != 1) {
      return SEC_E_INTERNAL_ERROR;
    }

    Key16 key = NtowfV2(m_password, m_user, m_domain);
    Wipe(m_password);
    V2Responses responses = ComputeV2(key, challenge.serverChallenge, clientChallenge, fileTime,
                                      challenge.targetInfo);
    km7::SecureZero(key.data(), key.size());
    if (serverTime) responses.lmResponse.assign(24, '\0');

    const bool unicode = (challenge.flags & NEGOTIATE_UNICODE) != 0;
    uint32_t flags = (challenge.flags & kClientFlags & ~(NEGOTIATE_UNICODE | NEGOTIATE_OEM)) |
                     NEGOTIATE_NTLM | (unicode ? NEGOTIATE_UNICODE : NEGOTIATE_OEM);
    const std::string domain = unicode ? Cp1252ToUtf16Le(m_domain) : m_domain;
    const std::string user = unicode ? Cp1252ToUtf16Le(m_user) : m_user;

    token.assign(kSignature, sizeof kSignature);
    Put32(token, kAuthenticateType);
    token.append(kAuthenticateHeader - token.size(), '\0');
    Set32(token, 60, flags);
    // Payload order: LM, NT, domain, user, workstation (empty), session key (empty).
    auto putField = [&token](size_t descriptor, std::string_view value) {
      if (value.size() > 0xFFFF) return false;
      Set16(token, descriptor, static_cast<uint16_t>(value.size()));
      Set16(token, descriptor + 2, static_cast<uint16_t>(value.size()));
      Set32(token, descriptor + 4, static_cast<uint32_t>(token.size()));
      token.append(value);
      return true;
    };
    if (!putField(12, responses.lmResponse) || !putField(20, responses.ntResponse) ||
        !putField(28, domain) || !putField(36, user) || !putField(44, {}) ||
        !putField(52, {})) {
      return SEC_E_INSUFFICIENT_MEMORY;
    }
    m_state = 2;
    if (token.size() > outSize) return SEC_E_INSUFFICIENT_MEMORY;
    std::memcpy(out, token.data(), token.size());
    outLength = token.size();
    done = true;
    return SEC_E_OK;
  } catch (const std::bad_alloc&) {
    return SEC_E_INSUFFICIENT_MEMORY;
  } catch (const std::runtime_error&) {
    return SEC_E_INTERNAL_ERROR;
  }
}

}  // namespace km7::ntlm
