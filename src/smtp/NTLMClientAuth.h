#pragma once
// The NTLM token engine behind SMTP AUTH NTLM. A derived class (the SMTP
// session) carries the tokens to and from the server through the three
// exchange operations; Authenticate drives them.
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>

#include "smtp/Ntlm.h"

class CNTLMClientAuth {
 public:
  static constexpr uint32_t kMaxTokenSize = 16384;

  CNTLMClientAuth();
  CNTLMClientAuth(const CNTLMClientAuth&) = delete;
  CNTLMClientAuth& operator=(const CNTLMClientAuth&) = delete;

  // Token exchange, supplied by the session: 0 on success, negative on
  // failure, or a CZRKSMTPException.
  // Sends the NEGOTIATE token ("AUTH NTLM <base64>").
  virtual int32_t SendFirstToken(const uint8_t* token, uint32_t length) = 0;
  // Reads the server's challenge into buffer; SEC_E_INSUFFICIENT_MEMORY when
  // it would not fit.
  virtual int32_t ReceiveChallenge(uint8_t* buffer, uint32_t bufferSize, uint32_t& length) = 0;
  // Sends the AUTHENTICATE token and checks the server accepted it.
  virtual int32_t SendNextToken(const uint8_t* token, uint32_t length) = 0;

  virtual ~CNTLMClientAuth();

  // Runs the whole exchange. "DOMAIN\user" is split at the first backslash;
  // otherwise the domain is empty. Returns 0 when logged in, a negative
  // security status otherwise (SEC_E_NO_CREDENTIALS for an empty user name:
  // there is no logged-on user's NTLM identity to fall back on here).
  // Exceptions of the exchange operations pass through; the credential copies
  // are wiped either way.
  int32_t Authenticate(std::string_view userName, std::string_view password);

  // Test seams: the time stamp and client challenge of the NTLMv2 response.
  // Empty functions restore the real clock and random source.
  void SetNtlmClock(km7::ntlm::ClientContext::Clock clock) { m_clock = std::move(clock); }
  void SetNtlmRandom(km7::ntlm::ClientContext::Random random) { m_random = std::move(random); }

 private:
  km7::ntlm::ClientContext::Clock m_clock;
  km7::ntlm::ClientContext::Random m_random;
};
