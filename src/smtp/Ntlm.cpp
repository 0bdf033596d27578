#include "smtp/Ntlm.h"

// TODO(smtpmime): the NTLM computation is not written yet; every entry fails.

namespace km7::ntlm {

Key16 Md4(const void*, size_t) { return {}; }
std::string Cp1252ToUtf16Le(std::string_view) { return {}; }
std::string UpperCp1252ToUtf16Le(std::string_view) { return {}; }
Key16 NtowfV2(std::string_view, std::string_view, std::string_view) { return {}; }
V2Responses::~V2Responses() = default;
std::string MakeBlob(uint64_t, const Challenge8&, std::string_view) { return {}; }
V2Responses ComputeV2(const Key16&, const Challenge8&, const Challenge8&, uint64_t,
                      std::string_view) {
  return {};
}
bool ParseChallenge(const uint8_t*, size_t, ChallengeMessage&) { return false; }
bool FindAvPair(std::string_view, uint16_t, std::string&) { return false; }
std::string MakeNegotiateMessage() { return {}; }
ClientContext::ClientContext(std::string_view user, std::string_view domain,
                             std::string_view password, Clock clock, Random random)
    : m_user(user), m_domain(domain), m_password(password), m_clock(std::move(clock)),
      m_random(std::move(random)) {}
ClientContext::~ClientContext() = default;
int32_t ClientContext::Step(const uint8_t*, size_t, uint8_t*, size_t, size_t& outLength,
                            bool& done) {
  outLength = 0;
  done = true;
  return SEC_E_INTERNAL_ERROR;
}
uint64_t CurrentFileTime() { return 0; }

}  // namespace km7::ntlm
