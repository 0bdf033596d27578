#pragma once
// Our own NTLM client: the NEGOTIATE (type 1), CHALLENGE (type 2) and
// AUTHENTICATE (type 3) messages with NTLMv2 responses. Time and client
// challenge are injectable so the computation can be checked against the
// published vectors.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace km7::ntlm {

using Key16 = std::array<uint8_t, 16>;
using Challenge8 = std::array<uint8_t, 8>;

// Negotiate flags we use.
inline constexpr uint32_t NEGOTIATE_UNICODE = 0x00000001;
inline constexpr uint32_t NEGOTIATE_OEM = 0x00000002;
inline constexpr uint32_t REQUEST_TARGET = 0x00000004;
inline constexpr uint32_t NEGOTIATE_NTLM = 0x00000200;
inline constexpr uint32_t NEGOTIATE_ALWAYS_SIGN = 0x00008000;
inline constexpr uint32_t NEGOTIATE_EXTENDED_SESSIONSECURITY = 0x00080000;
inline constexpr uint32_t NEGOTIATE_TARGET_INFO = 0x00800000;
inline constexpr uint32_t NEGOTIATE_128 = 0x20000000;
inline constexpr uint32_t NEGOTIATE_56 = 0x80000000;

// AV pair ids of the target information.
inline constexpr uint16_t MsvAvEOL = 0;
inline constexpr uint16_t MsvAvNbComputerName = 1;
inline constexpr uint16_t MsvAvNbDomainName = 2;
inline constexpr uint16_t MsvAvFlags = 6;
inline constexpr uint16_t MsvAvTimestamp = 7;

// Security-service statuses of the token contract (signed, as returned).
inline constexpr int32_t SEC_E_OK = 0;
inline constexpr int32_t SEC_I_CONTINUE_NEEDED = 0x00090312;
inline constexpr int32_t SEC_I_COMPLETE_NEEDED = 0x00090313;
inline constexpr int32_t SEC_I_COMPLETE_AND_CONTINUE = 0x00090314;
inline constexpr int32_t SEC_E_INSUFFICIENT_MEMORY = static_cast<int32_t>(0x80090300u);
inline constexpr int32_t SEC_E_UNSUPPORTED_FUNCTION = static_cast<int32_t>(0x80090302u);
inline constexpr int32_t SEC_E_INTERNAL_ERROR = static_cast<int32_t>(0x80090304u);
inline constexpr int32_t SEC_E_INVALID_TOKEN = static_cast<int32_t>(0x80090308u);
inline constexpr int32_t SEC_E_NO_CREDENTIALS = static_cast<int32_t>(0x8009030Eu);

// MD4 (RFC 1320).
Key16 Md4(const void* data, size_t length);

// Windows-1252 bytes -> UTF-16LE bytes; UpperUtf16 upper-cases the Latin
// letters of that range as the Windows up-case table does.
std::string Cp1252ToUtf16Le(std::string_view text);
std::string UpperCp1252ToUtf16Le(std::string_view text);

// NtowfV2 and ComputeV2 raise std::runtime_error when the crypto library
// fails to hash.

// NT one-way function, version 2:
// HMAC-MD5(MD4(UTF-16LE password), UTF-16LE(upper(user) + domain)).
Key16 NtowfV2(std::string_view password, std::string_view user, std::string_view domain);

// The NTLMv2 responses for one challenge.
struct V2Responses {
  Key16 ntProofStr{};
  std::string ntResponse;  // NTProofStr followed by the blob
  std::string lmResponse;  // 24 bytes: HMAC of both challenges + client challenge
  Key16 sessionBaseKey{};
  ~V2Responses();  // wipes the key material
};

// The blob hashed with the server challenge: version 1.1, the time
// (100-ns ticks since 1601), the client challenge, the target information
// (AV pairs ending in MsvAvEOL) and four zero bytes.
std::string MakeBlob(uint64_t fileTime, const Challenge8& clientChallenge,
                     std::string_view targetInfo);

V2Responses ComputeV2(const Key16& ntowfv2, const Challenge8& serverChallenge,
                      const Challenge8& clientChallenge, uint64_t fileTime,
                      std::string_view targetInfo);

// A parsed CHALLENGE message.
struct ChallengeMessage {
  uint32_t flags = 0;
  Challenge8 serverChallenge{};
  std::string targetName;  // raw bytes as sent
  std::string targetInfo;  // raw AV pairs as sent
};

// False when the bytes are not a well-formed CHALLENGE message (signature,
// type, field bounds, AV-pair list structure).
bool ParseChallenge(const uint8_t* data, size_t length, ChallengeMessage& out);

// Finds an AV pair's value in target information; false when absent.
bool FindAvPair(std::string_view targetInfo, uint16_t id, std::string& value);

std::string MakeNegotiateMessage();

// The AUTHENTICATE message with these flags and fields (no workstation, no
// session key, no version); false when a field is too long for its length.
bool MakeAuthenticateMessage(uint32_t flags, std::string_view lmResponse, std::string_view ntResponse,
                             std::string_view domain, std::string_view user, std::string& out);

// The client side of one exchange, following the token contract: the first
// Step (no input) gives NEGOTIATE and SEC_I_CONTINUE_NEEDED; the second (the
// server's CHALLENGE) gives AUTHENTICATE and SEC_E_OK, which completes it.
class ClientContext {
 public:
  using Clock = std::function<uint64_t()>;            // FILETIME ticks
  using Random = std::function<void(Challenge8&)>;    // client challenge

  ClientContext(std::string_view user, std::string_view domain, std::string_view password,
                Clock clock = {}, Random random = {});
  ~ClientContext();  // wipes password copy and keys
  ClientContext(const ClientContext&) = delete;
  ClientContext& operator=(const ClientContext&) = delete;

  // Writes the next token into out (at most outSize bytes). done is set when
  // the exchange needs no further token. Negative statuses are failures:
  // SEC_E_INVALID_TOKEN for a malformed challenge, SEC_E_INSUFFICIENT_MEMORY
  // when the token does not fit, SEC_E_INTERNAL_ERROR when called again
  // after completion.
  int32_t Step(const uint8_t* in, size_t inLength, uint8_t* out, size_t outSize,
               size_t& outLength, bool& done);

 private:
  std::string m_user;
  std::string m_domain;
  std::string m_password;
  Clock m_clock;
  Random m_random;
  std::string m_negotiate;  // kept for the message integrity code
  int m_state = 0;
};

// Current time as FILETIME ticks.
uint64_t CurrentFileTime();

}  // namespace km7::ntlm
