// The mechanisms that log in with a password: LOGIN, PLAIN, CRAM-MD5 and
// NTLM's token exchange.
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "platform/SecureWipe.h"
#include "smtp/Encoding.h"
#include "smtp/ErrorMessages.h"
#include "smtp/MD5.h"
#include "platform/Text.h"
#include "smtp/SMTPConnection.h"
#include "smtp/WipeOnExit.h"

using km7::FACILITY_ITF;
using km7::FACILITY_WIN32;
using km7::Wipe;
using km7::smtp::WipeOnExit;

void CZRKSMTPConnection::WarnIfClear(std::string_view mechanism) {
  if (m_clearTextWarning && !IsSecure()) m_clearTextWarning(mechanism);
}

void CZRKSMTPConnection::AuthLogin(std::string_view userName, std::string_view password) {
  std::string user(userName);
  std::string pass(password);
  WipeOnExit wipeUser(user);
  WipeOnExit wipePass(pass);

  WarnIfClear("LOGIN");
  Command("AUTH LOGIN\r\n", 334, km7::IDS_UNEXPECTED_AUTH_LOGIN_RESPONSE);
  if (!km7::EqualsIgnoringCase(DecodedChallenge(), "username:")) {
    Fail(km7::IDS_UNEXPECTED_AUTH_LOGIN_USERNAME_REQUEST);
  }
  std::string encoded = km7::Base64Encode(user, km7::BASE64_NO_LINE_BREAKS);
  Wipe(user);
  SendSecret(encoded);
  if (!ExpectReply(334)) Fail(km7::IDS_UNEXPECTED_AUTH_LOGIN_USERNAME_RESPONSE);

  if (!km7::EqualsIgnoringCase(DecodedChallenge(), "password:")) {
    Fail(km7::IDS_UNEXPECTED_AUTH_LOGIN_PASSWORD_REQUEST);
  }
  encoded = km7::Base64Encode(pass, km7::BASE64_NO_LINE_BREAKS);
  Wipe(pass);
  SendSecret(encoded);
  if (!ExpectReply(235)) Fail(km7::IDS_UNEXPECTED_AUTH_LOGIN_PASSWORD_RESPONSE);
}

void CZRKSMTPConnection::AuthPlain(std::string_view userName, std::string_view password) {
  WarnIfClear("PLAIN");
  Command("AUTH PLAIN\r\n", 334, km7::IDS_UNEXPECTED_AUTH_PLAIN_RESPONSE);
  // Empty authorisation identity, then user name and password, each after a
  // zero byte.
  std::string credential;
  try {
    credential.reserve(userName.size() + password.size() + 2);
  } catch (const std::bad_alloc&) {
    throw CZRKSMTPException(FACILITY_WIN32, km7::ERROR_OUTOFMEMORY, std::string());
  }
  WipeOnExit wipeCredential(credential);
  credential += '\0';
  credential += userName;
  credential += '\0';
  credential += password;
  std::string encoded = km7::Base64Encode(credential, km7::BASE64_NO_LINE_BREAKS);
  Wipe(credential);
  SendSecret(encoded);
  if (!ExpectReply(235)) Fail(km7::IDS_UNEXPECTED_AUTH_PLAIN_RESPONSE);
}

void CZRKSMTPConnection::AuthCramMd5(std::string_view userName, std::string_view password) {
  std::string pass(password);
  WipeOnExit wipePass(pass);

  Command("AUTH CRAM-MD5\r\n", 334, km7::IDS_UNEXPECTED_CRAM_MD5_RESPONSE);
  const std::string challenge = DecodedChallenge();
  uint8_t digest[CZRKMD5::kDigestSize];
  CZRKMD5 md5;
  errno = 0;
  const bool hashed = md5.HMAC(challenge, pass, digest);
  const int hashErrno = errno;
  Wipe(pass);
  if (!hashed) throw CZRKSMTPException(FACILITY_WIN32, km7::SystemErrorFromErrno(hashErrno), std::string());

  std::string response(userName);
  response += ' ';
  response += CZRKMD5::ToHex(digest, false);
  km7::SecureZero(digest, sizeof digest);
  std::string encoded = km7::Base64Encode(response, km7::BASE64_NO_LINE_BREAKS);
  Wipe(response);
  SendSecret(encoded);
  if (!ExpectReply(235)) Fail(km7::IDS_UNEXPECTED_CRAM_MD5_DIGEST_RESPONSE);
}

int32_t CZRKSMTPConnection::SendFirstToken(const uint8_t* token, uint32_t length) {
  std::string command = "AUTH NTLM ";
  command += km7::Base64Encode(std::string_view(reinterpret_cast<const char*>(token), length),
                               km7::BASE64_NO_LINE_BREAKS);
  command += "\r\n";
  SendRaw(command);
  return 0;
}

int32_t CZRKSMTPConnection::ReceiveChallenge(uint8_t* buffer, uint32_t bufferSize, uint32_t& length) {
  if (!ExpectReply(334)) Fail(km7::IDS_UNEXPECTED_AUTH_NTLM_RESPONSE);
  const std::string challenge = DecodedChallenge();
  if (challenge.size() >= bufferSize) return static_cast<int32_t>(km7::SEC_E_INSUFFICIENT_MEMORY);
  std::memcpy(buffer, challenge.data(), challenge.size());
  length = static_cast<uint32_t>(challenge.size());
  return 0;
}

int32_t CZRKSMTPConnection::SendNextToken(const uint8_t* token, uint32_t length) {
  std::string command = km7::Base64Encode(std::string_view(reinterpret_cast<const char*>(token), length),
                                          km7::BASE64_NO_LINE_BREAKS);
  // The token proves knowledge of the password: do not leave it in memory.
  SendSecret(command);
  if (!ExpectReply(235)) Fail(km7::IDS_UNEXPECTED_AUTH_NTLM_RESPONSE);
  return 0;
}
