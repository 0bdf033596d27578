// Choosing the mechanism: the one asked for, or the offered ones in turn.
#include <algorithm>
#include <optional>
#include <vector>

#include "smtp/ErrorMessages.h"
#include "smtp/SMTPConnection.h"

SMTPAuthMethod CZRKSMTPConnection::ChooseAuthenticationMethod() {
  return km7::smtp::DetectAuthMethod(m_lastResponse);
}

void CZRKSMTPConnection::CancelSasl() {
  if (m_link != Link::Open || m_lastResponseCode != 334) return;
  // The server waits for a response to its challenge: anything but "*"
  // would be taken for one (RFC 4954).
  try {
    SendRaw("*\r\n");
    ExpectReply(501);
  } catch (const CZRKSMTPException&) {
    // The failure that led here is the one worth reporting.
  }
}

void CZRKSMTPConnection::AuthenticateWith(SMTPAuthMethod method, std::string_view userName,
                                          std::string_view password) {
  try {
    switch (method) {
      case SMTPAuthMethod::CramMd5:
        AuthCramMd5(userName, password);
        break;
      case SMTPAuthMethod::Login:
        AuthLogin(userName, password);
        break;
      case SMTPAuthMethod::Plain:
        AuthPlain(userName, password);
        break;
      case SMTPAuthMethod::Ntlm: {
        const int32_t status = Authenticate(userName, password);
        if (status < 0) throw CZRKSMTPException(static_cast<uint32_t>(status), m_lastResponse);
        break;
      }
      case SMTPAuthMethod::XOAuth2:
        AuthXOAuth2(userName, password);
        break;
      case SMTPAuthMethod::OAuthBearer:
        AuthOAuthBearer(userName, password);
        break;
      default:
        break;
    }
  } catch (const CZRKSMTPException&) {
    CancelSasl();
    throw;
  }
}

void CZRKSMTPConnection::AutoAuthenticate(std::string_view userName, std::string_view password) {
  if (m_credentialIsToken) {
    AutoAuthenticateWithToken(userName, password);
    return;
  }
  const SMTPAuthMethod chosen = ChooseAuthenticationMethod();
  std::vector<SMTPAuthMethod> offered = km7::smtp::OfferedAuthMethods(m_lastResponse);
  // A derived class's choice goes first; the rest follow in their order.
  if (chosen != SMTPAuthMethod::None) {
    offered.erase(std::remove(offered.begin(), offered.end(), chosen), offered.end());
    offered.insert(offered.begin(), chosen);
  }
  if (chosen == SMTPAuthMethod::None) {
    // Nothing to log in with although an account was given: going on would
    // only fail later at MAIL FROM with a less telling reply.
    if (offered.empty() && !userName.empty()) Fail(km7::IDS_NO_AUTH_OFFERED);
    return;
  }
  std::optional<CZRKSMTPException> refusal;
  bool challengeResponseRefused = false;
  for (const SMTPAuthMethod method : offered) {
    // Without TLS, a refused challenge-response login never turns into one
    // that sends the password readable on the line.
    if (challengeResponseRefused && !IsSecure() && !km7::smtp::IsChallengeResponse(method)) break;
    try {
      AuthenticateWith(method, userName, password);
      return;
    } catch (const CZRKSMTPException& e) {
      // Only a final refusal leaves the server ready for the next AUTH; any
      // other failure (a time-out, a malformed exchange) ends the attempt.
      const int code = m_lastResponseCode;
      if (m_link == Link::Broken || (code != 535 && code != 534 && code != 504)) throw;
      refusal.emplace(e.GetErrorCode(), e.GetLastResponse());
      challengeResponseRefused = challengeResponseRefused || km7::smtp::IsChallengeResponse(method);
    }
  }
  throw *refusal;
}
