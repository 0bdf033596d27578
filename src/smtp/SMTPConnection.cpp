// The session: opening the transport, greeting, TLS, introduction, and the
// end of the session.
#include "smtp/SMTPConnection.h"

#include <unistd.h>

#include <optional>
#include <utility>

#include "platform/SecureWipe.h"
#include "smtp/ErrorMessages.h"
#include "smtp/WipeOnExit.h"

using km7::FACILITY_ITF;
using km7::FACILITY_WIN32;
using km7::Wipe;
using km7::smtp::WipeOnExit;

CZRKSMTPConnection::CZRKSMTPConnection() { SetHeloHostName("auto"); }

CZRKSMTPConnection::~CZRKSMTPConnection() {
  if (IsConnected()) {
    try {
      Disconnect(true);
    } catch (const CZRKSMTPException&) {
      // Nothing to report to at destruction.
    }
  }
  m_socket.Close();
  Wipe(m_proxyPassword);
}

void CZRKSMTPConnection::SetProxyPassword(std::string_view password) {
  Wipe(m_proxyPassword);
  m_proxyPassword.assign(password);
}

void CZRKSMTPConnection::SetHeloHostName(std::string_view name) {
  if (name != "auto") {
    m_heloHostName.assign(name);
    return;
  }
  char buffer[260] = {};
  if (gethostname(buffer, sizeof buffer - 1) == 0) {
    m_heloHostName = buffer;
  } else {
    m_heloHostName = "auto";
  }
}

void CZRKSMTPConnection::OpenTransport(const std::string& host, uint16_t port) {
  m_socket.Create(false);
  // A server that stops reading must not block the caller for ever.
  m_socket.SetSendTimeout(m_timeoutMs);
  if (!m_bindAddress.empty()) m_socket.Bind(0, m_bindAddress.c_str());
  const bool proxyCredentials = !m_proxyUserName.empty();
  const char* proxyUser = proxyCredentials ? m_proxyUserName.c_str() : nullptr;
  const char* proxyPassword = proxyCredentials ? m_proxyPassword.c_str() : nullptr;
  switch (m_connectionType) {
    case SMTPConnectionType::Direct:
      m_socket.Connect(host.c_str(), port, m_timeoutMs);
      break;
    case SMTPConnectionType::Socks4:
      m_socket.ConnectThroughSocks4(host.c_str(), port, m_proxyServer.c_str(), m_proxyPort, m_timeoutMs);
      break;
    case SMTPConnectionType::Socks5:
      m_socket.ConnectThroughSocks5(host.c_str(), port, m_proxyServer.c_str(), m_proxyPort, proxyUser,
                                    proxyPassword, m_timeoutMs, false);
      break;
    case SMTPConnectionType::HttpProxy: {
      std::string reply;
      m_socket.ConnectThroughHttpProxy(host.c_str(), port, m_proxyServer.c_str(), m_proxyPort, reply, proxyUser,
                                       proxyPassword, m_timeoutMs,
                                       m_userAgent.empty() ? nullptr : m_userAgent.c_str());
      break;
    }
    default:
      // An unknown type opens no connection; the greeting read then fails.
      break;
  }
}

void CZRKSMTPConnection::Connect(const std::string& host, SMTPAuthMethod method, std::string_view userName,
                                 std::string_view password, uint16_t port) {
  std::string user(userName);
  std::string pass(password);
  WipeOnExit wipeUser(user);
  WipeOnExit wipePass(pass);

  // Texts that end up inside command lines must not carry line breaks of
  // their own: they would inject commands (or proxy request headers).
  if (km7::smtp::HasLineBreak(m_heloHostName)) {
    throw CZRKSMTPException(FACILITY_ITF, km7::IDS_INVALID_HELO_NAME, std::string());
  }
  if (km7::smtp::HasLineBreak(host) || km7::smtp::HasLineBreak(m_userAgent)) {
    throw CZRKSMTPException(FACILITY_WIN32, km7::ERROR_INVALID_PARAMETER, std::string());
  }

  m_host = host;
  m_port = port;
  m_lastResponse.clear();
  m_lastResponseCode = 0;
  m_ehloReply.clear();
  // A session still open is dropped without QUIT: the transport is made anew.
  SetLink(Link::Closed);
  try {
    OpenTransport(host, port);
  } catch (const CWSocketException& e) {
    const uint32_t code = e.GetErrorCode();
    try {
      Disconnect(true);
    } catch (const CZRKSMTPException&) {
      // Not yet connected: Disconnect only closes.
    }
    throw CZRKSMTPException(FACILITY_WIN32, code, e.GetDetail());
  }
  SetLink(Link::Open);

  try {
    // With TLS from the first byte, the greeting already comes encrypted.
    if (m_security == SMTPSecurity::Tls) StartTlsHandshake(host);
    if (!ExpectReply(220)) Fail(km7::IDS_UNEXPECTED_LOGIN_RESPONSE);
    if (m_security == SMTPSecurity::StartTls) NegotiateStartTls(host);
    if (method == SMTPAuthMethod::None) {
      ConnectSMTP();
    } else {
      ConnectESMTP(user, pass, method);
    }
  } catch (const CZRKSMTPException& e) {
    const CZRKSMTPException failure(e.GetErrorCode(), e.GetLastResponse());
    try {
      Disconnect(true);
    } catch (const CZRKSMTPException&) {
      // The first failure is the one worth reporting.
    }
    throw failure;
  }
}

void CZRKSMTPConnection::ConnectSMTP() {
  if (m_ehloWithoutAuth) {
    try {
      ConnectESMTP({}, {}, SMTPAuthMethod::None);
      return;
    } catch (const CZRKSMTPException& e) {
      // Only a refusal of EHLO itself: the server is then ready for HELO.
      int code = 0;
      const bool refused = km7::SMTPErrorFacility(e.GetErrorCode()) == FACILITY_ITF &&
                           (e.GetErrorCode() & 0xFFFF) == km7::IDS_UNEXPECTED_EHLO_RESPONSE &&
                           km7::smtp::ReplyComplete(e.GetLastResponse(), code) && code >= 500;
      if (!refused) throw;
    }
  }
  Command("HELO " + m_heloHostName + "\r\n", 250, km7::IDS_UNEXPECTED_HELO_RESPONSE);
}

void CZRKSMTPConnection::StartTlsHandshake(const std::string& host) {
  using Kind = km7::tls::HandshakeError::Kind;
  try {
    m_socket.StartTls(host, m_tlsOptions, m_timeoutMs);
  } catch (const km7::tls::HandshakeError& e) {
    // Half a handshake leaves nothing either side could read: no QUIT.
    SetLink(Link::Broken);
    uint32_t id = km7::IDS_SSL_CONNECT_FAILED;
    if (e.kind() == Kind::Untrusted) {
      id = km7::IDS_TLS_CERTIFICATE_UNTRUSTED;
    } else if (e.kind() == Kind::TimedOut) {
      id = km7::IDS_TLS_HANDSHAKE_TIMED_OUT;
    } else if (e.kind() == Kind::Setup) {
      id = km7::IDS_SSL_SOCKET_FAILED;
    } else if (m_connectionType == SMTPConnectionType::Socks4) {
      id = km7::IDS_SSL_SOCKS4_FAILED;
    } else if (m_connectionType == SMTPConnectionType::Socks5) {
      id = km7::IDS_SSL_SOCKS5_FAILED;
    } else if (m_connectionType == SMTPConnectionType::HttpProxy) {
      id = km7::IDS_SSL_HTTP_PROXY_FAILED;
    }
    throw CZRKSMTPException(FACILITY_ITF, id, e.what());
  } catch (const CWSocketException& e) {
    SetLink(Link::Broken);
    RaiseSocketError(e);
  }
}

void CZRKSMTPConnection::NegotiateStartTls(const std::string& host) {
  Command("EHLO " + m_heloHostName + "\r\n", 250, km7::IDS_UNEXPECTED_EHLO_RESPONSE);
  // Required, never optional: going on in the clear would hand the
  // credentials and the message to anyone who removes the offer.
  if (!km7::smtp::EhloOffers(m_lastResponse, "STARTTLS")) Fail(km7::IDS_STARTTLS_NOT_OFFERED);
  Command("STARTTLS\r\n", 220, km7::IDS_UNEXPECTED_STARTTLS_RESPONSE);
  StartTlsHandshake(host);
}

void CZRKSMTPConnection::ConnectESMTP(std::string_view userName, std::string_view password,
                                      SMTPAuthMethod method) {
  Command("EHLO " + m_heloHostName + "\r\n", 250, km7::IDS_UNEXPECTED_EHLO_RESPONSE);
  // The extensions of this EHLO (after STARTTLS, the second one) decide the
  // message's parameters.
  m_ehloReply = m_lastResponse;
  if (method == SMTPAuthMethod::AutoDetect) {
    AutoAuthenticate(userName, password);
  } else {
    AuthenticateWith(method, userName, password);
  }
}

void CZRKSMTPConnection::Disconnect(bool sendQuit) {
  std::optional<CZRKSMTPException> failure;
  if (m_link == Link::Open && sendQuit) {
    try {
      SendRaw("QUIT\r\n");
    } catch (const CZRKSMTPException& e) {
      failure.emplace(e.GetErrorCode(), e.GetLastResponse());
    }
    // The reply is read even after a failed send: it may still be there.
    try {
      if (!ExpectReply(221)) {
        failure.emplace(FACILITY_ITF, km7::IDS_UNEXPECTED_QUIT_RESPONSE, m_lastResponse);
      }
    } catch (const CZRKSMTPException& e) {
      failure.emplace(e.GetErrorCode(), e.GetLastResponse());
    }
  }
  SetLink(Link::Closed);
  if (failure) throw *failure;
}

void CZRKSMTPConnection::SetLink(Link next) {
  // A link that was never opened cannot break: it stays closed.
  if (next == Link::Broken && m_link == Link::Closed) return;
  m_link = next;
  if (next == Link::Closed) m_socket.Close();
}
