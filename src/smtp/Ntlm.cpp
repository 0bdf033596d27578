#include "smtp/Ntlm.h"

#include <openssl/rand.h>

#include <chrono>
#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/SecureWipe.h"
#include "smtp/NtlmWire.h"

namespace km7::ntlm {
namespace {

// FILETIME of the Unix epoch.
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;

using km7::Wipe;

}  // namespace

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
    if (!MakeAuthenticateMessage(flags, responses.lmResponse, responses.ntResponse, domain, user, token)) {
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
