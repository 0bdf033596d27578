#include "smtp/Ntlm.h"

#include <cstring>

#include "smtp/NtlmWire.h"

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

std::string_view AsText(const uint8_t* p, size_t n) {
  return {reinterpret_cast<const char*>(p), n};
}

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

bool MakeAuthenticateMessage(uint32_t flags, std::string_view lmResponse, std::string_view ntResponse,
                             std::string_view domain, std::string_view user, std::string& out) {
  std::string token(kSignature, sizeof kSignature);
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
  if (!putField(12, lmResponse) || !putField(20, ntResponse) || !putField(28, domain) ||
      !putField(36, user) || !putField(44, {}) || !putField(52, {})) {
    return false;
  }
  out = std::move(token);
  return true;
}

}  // namespace km7::ntlm
