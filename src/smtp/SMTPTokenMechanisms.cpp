// The mechanisms that log in with an OAuth 2.0 access token: OAUTHBEARER and
// XOAUTH2, and the choice between them.
#include <string>
#include <vector>

#include "platform/SecureWipe.h"
#include "smtp/Encoding.h"
#include "smtp/ErrorMessages.h"
#include "smtp/OAuthSasl.h"
#include "smtp/SMTPConnection.h"

using km7::FACILITY_ITF;
using km7::Wipe;

void CZRKSMTPConnection::AuthenticateWithToken(std::string_view mechanism, std::string response,
                                               std::string_view errorAnswer) {
  std::string encoded = km7::Base64Encode(response, km7::BASE64_NO_LINE_BREAKS);
  Wipe(response);
  // The initial response rides on the AUTH line; the transcript shows the
  // command and only the length of what follows it.
  WarnIfClear(mechanism);
  SendSecret(encoded, "AUTH " + std::string(mechanism) + " ");

  std::string reply;
  if (!ReadReply(reply)) Fail(km7::IDS_UNEXPECTED_AUTH_TOKEN_RESPONSE);
  if (m_lastResponseCode == 235) return;
  if (m_lastResponseCode == 334) {
    // The token was refused; the challenge says why, as JSON. The exchange
    // ends with the answer the mechanism defines, then the final reply.
    const km7::oauth::BearerError error = km7::oauth::ParseBearerError(DecodedChallenge());
    SendRaw(std::string(errorAnswer) + "\r\n");
    std::string final;
    if (!ReadReply(final)) Fail(km7::IDS_UNEXPECTED_AUTH_TOKEN_RESPONSE);
    throw CZRKSMTPException(FACILITY_ITF, km7::IDS_OAUTH_TOKEN_REFUSED,
                            km7::oauth::DescribeBearerError(error) + "\r\n" + m_lastResponse);
  }
  if (m_lastResponseCode == 535 || m_lastResponseCode == 534) Fail(km7::IDS_OAUTH_TOKEN_REFUSED);
  Fail(km7::IDS_UNEXPECTED_AUTH_TOKEN_RESPONSE);
}

void CZRKSMTPConnection::AuthXOAuth2(std::string_view userName, std::string_view token) {
  // The providers' documentation: an empty response ends a refused exchange.
  AuthenticateWithToken("XOAUTH2", km7::oauth::XOAuth2Response(userName, token), "");
}

void CZRKSMTPConnection::AuthOAuthBearer(std::string_view userName, std::string_view token) {
  // RFC 7628: a refused client answers the error challenge with a single
  // ^A, sent Base64-encoded like every SASL response in SMTP.
  AuthenticateWithToken("OAUTHBEARER", km7::oauth::OAuthBearerResponse(userName, m_host, m_port, token),
                        km7::Base64Encode(std::string_view("\x01", 1), km7::BASE64_NO_LINE_BREAKS));
}

void CZRKSMTPConnection::AutoAuthenticateWithToken(std::string_view userName, std::string_view token) {
  const std::vector<SMTPAuthMethod> offered = km7::smtp::OfferedTokenMethods(m_lastResponse);
  if (offered.empty()) Fail(km7::IDS_NO_TOKEN_MECHANISM_OFFERED);
  for (size_t i = 0; i < offered.size(); ++i) {
    try {
      AuthenticateWith(offered[i], userName, token);
      return;
    } catch (const CZRKSMTPException&) {
      // Only a mechanism the server turns down as such (504) makes way for
      // the next; a refused token is refused by both, and a password is
      // never tried in its place.
      if (m_link == Link::Broken || m_lastResponseCode != 504 || i + 1 == offered.size()) throw;
    }
  }
}
