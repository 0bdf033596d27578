#include "smtp/SMTPConnection.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/SecureWipe.h"
#include "smtp/Encoding.h"
#include "smtp/ErrorMessages.h"
#include "smtp/MD5.h"
#include "smtp/MessageStream.h"
#include "smtp/SMTPMessage.h"

using km7::FACILITY_ITF;
using km7::FACILITY_WIN32;

namespace km7::smtp {

namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

}  // namespace

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool ReplyComplete(std::string_view text, int& code) {
  if (text.size() < 5 || text.substr(text.size() - 2) != "\r\n") return false;
  // The last line starts after the "\r\n" before the final one.
  const size_t previous = text.rfind("\r\n", text.size() - 3);
  const size_t start = previous == std::string_view::npos ? 0 : previous + 2;
  const std::string_view last = text.substr(start);
  // "250\r\n" is a whole final line as well: the text after the code is
  // optional.
  const bool codeOnly = last.size() == 5 && IsDigit(last[0]) && IsDigit(last[1]) && IsDigit(last[2]);
  if (!codeOnly && (last.size() < 6 || last[3] != ' ')) return false;
  // The first three characters read as a decimal number, as atoi would.
  char digits[4] = {last[0], last[1], last[2], '\0'};
  code = static_cast<int>(std::strtol(digits, nullptr, 10));
  return true;
}

void ReplyAssembler::Append(const char* data, size_t length) {
  for (size_t i = 0; i < length;) {
    const void* zero = std::memchr(data + i, '\0', length - i);
    const size_t end = zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - data) : length;
    m_text.append(data + i, end - i);
    i = end + 1;
  }
  int code = 0;
  m_complete = ReplyComplete(m_text, code);
  if (m_complete) m_code = code;
}

namespace {

// The parameters of a capability line when its first word is keyword (any
// case; "AUTH=" counts as "AUTH "), else nothing.
std::optional<std::string_view> CapabilityParams(std::string_view line, std::string_view keyword) {
  if (line.size() < 4) return std::nullopt;
  line.remove_prefix(4);  // the code and its separator
  if (line.size() < keyword.size() || !EqualsIgnoringCase(line.substr(0, keyword.size()), keyword)) {
    return std::nullopt;
  }
  const std::string_view rest = line.substr(keyword.size());
  if (rest.empty()) return rest;
  if (rest[0] != ' ' && rest[0] != '=') return std::nullopt;
  return rest.substr(1);
}

// Calls f with each line of an EHLO reply after the first (which names the
// server), without its line end.
template <typename F>
void ForEachCapabilityLine(std::string_view reply, F&& f) {
  size_t at = reply.find("\r\n");
  while (at != std::string_view::npos) {
    const size_t start = at + 2;
    at = reply.find("\r\n", start);
    f(reply.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
  }
}

}  // namespace

bool EhloOffers(std::string_view ehloResponse, std::string_view keyword, std::string* params) {
  bool found = false;
  ForEachCapabilityLine(ehloResponse, [&](std::string_view line) {
    if (found) return;
    if (const auto rest = CapabilityParams(line, keyword)) {
      found = true;
      if (params != nullptr) *params = std::string(*rest);
    }
  });
  return found;
}

std::vector<SMTPAuthMethod> OfferedAuthMethods(std::string_view ehloResponse) {
  // Every AUTH line counts: servers that still speak to old clients repeat
  // the list as "AUTH=".
  std::vector<std::string> words;
  ForEachCapabilityLine(ehloResponse, [&](std::string_view line) {
    const auto params = CapabilityParams(line, "AUTH");
    if (!params) return;
    std::string word;
    for (size_t i = 0; i <= params->size(); ++i) {
      const char c = i < params->size() ? (*params)[i] : ' ';
      if (c == ' ' || c == '\t' || c == '=') {
        if (!word.empty()) words.push_back(word);
        word.clear();
      } else {
        word += Upper(c);
      }
    }
  });
  std::vector<SMTPAuthMethod> offered;
  static constexpr std::pair<std::string_view, SMTPAuthMethod> kOrder[] = {
      {"NTLM", SMTPAuthMethod::Ntlm},
      {"CRAM-MD5", SMTPAuthMethod::CramMd5},
      {"LOGIN", SMTPAuthMethod::Login},
      {"PLAIN", SMTPAuthMethod::Plain},
  };
  for (const auto& [name, method] : kOrder) {
    if (std::find(words.begin(), words.end(), name) != words.end()) offered.push_back(method);
  }
  return offered;
}

SMTPAuthMethod DetectAuthMethod(std::string_view ehloResponse) {
  const std::vector<SMTPAuthMethod> offered = OfferedAuthMethods(ehloResponse);
  return offered.empty() ? SMTPAuthMethod::None : offered.front();
}

bool IsChallengeResponse(SMTPAuthMethod method) {
  return method == SMTPAuthMethod::Ntlm || method == SMTPAuthMethod::CramMd5;
}

std::string NotifyList(int32_t dsnFlags) {
  std::string list;
  auto add = [&list](const char* word) {
    if (!list.empty()) list += ',';
    list += word;
  };
  if (dsnFlags & 1) add("SUCCESS");
  if (dsnFlags & 2) add("FAILURE");
  if (dsnFlags & 4) add("DELAY");
  return list.empty() ? std::string("NEVER") : list;
}

std::string MailFromCommand(std::string_view address, int32_t dsnFlags, bool returnFull,
                            std::string_view envelopeId, bool eightBitBody) {
  std::string command = "MAIL FROM:<";
  if (address != "<>") command += address;
  command += '>';
  if (eightBitBody) command += " BODY=8BITMIME";
  if (dsnFlags != -1) {
    command += returnFull ? " RET=FULL ENVID=" : " RET=HDRS ENVID=";
    command += envelopeId;
  }
  command += "\r\n";
  return command;
}

std::string RcptToCommand(std::string_view address, int32_t dsnFlags) {
  std::string command = "RCPT TO:<";
  command += address;
  command += '>';
  if (dsnFlags != -1) {
    command += " NOTIFY=";
    command += NotifyList(dsnFlags);
  }
  command += "\r\n";
  return command;
}

bool OffersExtension(std::string_view ehloReply, std::string_view keyword) {
  return EhloOffers(ehloReply, keyword);
}

bool HasLineBreak(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

}  // namespace km7::smtp

namespace {

using km7::Wipe;

// Wipes a working copy of a credential when it goes out of scope.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::string& s) : m_s(s) {}
  ~WipeOnExit() { Wipe(m_s); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  std::string& m_s;
};

// The detail (what a proxy answered, what TLS reported) travels as the last
// response, so it reaches the user beside the error's text.
[[noreturn]] void ThrowSocketError(const CWSocketException& e) {
  throw CZRKSMTPException(FACILITY_WIN32, e.GetErrorCode(), e.GetDetail());
}

// The server's challenge: the last response without its code and the
// separator after it, decoded from Base64.
std::string DecodeChallenge(const std::string& lastResponse) {
  return km7::Base64Decode(lastResponse.size() > 4 ? std::string_view(lastResponse).substr(4) : std::string_view());
}

}  // namespace

CZRKSMTPConnection::CZRKSMTPConnection() { SetHeloHostName("auto"); }

CZRKSMTPConnection::~CZRKSMTPConnection() {
  if (m_connected) {
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

void CZRKSMTPConnection::Fail(uint32_t id) const {
  // A reply that never came is no unexpected reply.
  throw CZRKSMTPException(FACILITY_ITF, m_timedOut ? km7::IDS_NO_ANSWER : id, m_lastResponse);
}

void CZRKSMTPConnection::SendRaw(const void* data, size_t length) {
  if (m_transcript && !m_quietSend) m_transcript(true, std::string_view(static_cast<const char*>(data), length));
  try {
    m_socket.Send(data, length);
  } catch (const CWSocketException& e) {
    m_broken = true;
    ThrowSocketError(e);
  }
}

void CZRKSMTPConnection::SendSecret(std::string& text) {
  // A fresh buffer of the right size, so no reallocation leaves a copy behind.
  std::string line;
  line.reserve(text.size() + 2);
  line += text;
  line += "\r\n";
  Wipe(text);
  if (m_transcript) m_transcript(true, "(credentials, " + std::to_string(line.size() - 2) + " characters)\r\n");
  m_quietSend = true;
  try {
    SendRaw(line);
  } catch (...) {
    m_quietSend = false;
    Wipe(line);
    throw;
  }
  m_quietSend = false;
  Wipe(line);
}

bool CZRKSMTPConnection::ReadReply(std::string& response) {
  km7::smtp::ReplyAssembler reply;
  reply.Append(response.data(), response.size());
  char buffer[km7::smtp::kReceiveChunk];
  // One bound for the whole reply: a server that trickles a byte at a time
  // must not hold the caller for longer than the time-out.
  const auto deadline = km7::tls::Clock::now() + std::chrono::milliseconds(m_timeoutMs);
  m_timedOut = false;
  while (!reply.Complete()) {
    bool readable = false;
    size_t received = 0;
    try {
      readable = m_socket.WaitReadableUntil(deadline) && reply.Text().size() <= km7::smtp::kMaxReplyLength;
      if (readable) received = m_socket.Receive(buffer, sizeof buffer);
    } catch (const CWSocketException& e) {
      m_broken = true;
      ThrowSocketError(e);
    }
    if (!readable) {
      m_broken = true;
      m_timedOut = reply.Text().size() <= km7::smtp::kMaxReplyLength;
      response = reply.Text();
      m_lastResponse = response;
      if (m_transcript) m_transcript(false, response);
      return false;
    }
    if (received == 0) {
      m_broken = true;
      response = reply.Text();
      m_lastResponse = response;
      if (m_transcript) m_transcript(false, response);
      throw CZRKSMTPException(FACILITY_ITF, km7::IDS_GRACEFUL_DISCONNECT, m_lastResponse);
    }
    reply.Append(buffer, received);
  }
  response = reply.Text();
  m_lastResponse = response;
  m_lastResponseCode = reply.Code();
  if (m_transcript) m_transcript(false, response);
  return true;
}

bool CZRKSMTPConnection::ExpectReply(int expectedCode) {
  std::string response;
  return ReadReply(response) && m_lastResponseCode == expectedCode;
}

bool CZRKSMTPConnection::ExpectReply(int codeA, int codeB) {
  std::string response;
  return ReadReply(response) && (m_lastResponseCode == codeA || m_lastResponseCode == codeB);
}

void CZRKSMTPConnection::Command(std::string_view command, int expectedCode, uint32_t id) {
  SendRaw(command);
  if (!ExpectReply(expectedCode)) Fail(id);
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

  m_lastResponse.clear();
  m_lastResponseCode = 0;
  m_broken = false;
  m_ehloReply.clear();
  try {
    OpenTransport(host, port);
  } catch (const CWSocketException& e) {
    const uint32_t code = e.GetErrorCode();
    m_broken = true;
    try {
      Disconnect(true);
    } catch (const CZRKSMTPException&) {
      // Not yet connected: Disconnect only closes.
    }
    throw CZRKSMTPException(FACILITY_WIN32, code, e.GetDetail());
  }
  m_connected = true;

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
  Command("HELO " + m_heloHostName + "\r\n", 250, km7::IDS_UNEXPECTED_HELO_RESPONSE);
}

SMTPAuthMethod CZRKSMTPConnection::ChooseAuthenticationMethod() {
  return km7::smtp::DetectAuthMethod(m_lastResponse);
}

void CZRKSMTPConnection::StartTlsHandshake(const std::string& host) {
  using Kind = km7::tls::HandshakeError::Kind;
  try {
    m_socket.StartTls(host, m_tlsOptions, m_timeoutMs);
  } catch (const km7::tls::HandshakeError& e) {
    // Half a handshake leaves nothing either side could read: no QUIT.
    m_broken = true;
    uint32_t id = km7::IDS_SSL_CONNECT_FAILED;
    if (e.kind() == Kind::Untrusted) {
      id = km7::IDS_TLS_CERTIFICATE_UNTRUSTED;
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
    m_broken = true;
    ThrowSocketError(e);
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

void CZRKSMTPConnection::AuthenticateWith(SMTPAuthMethod method, std::string_view userName,
                                          std::string_view password) {
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
    default:
      break;
  }
}

void CZRKSMTPConnection::AutoAuthenticate(std::string_view userName, std::string_view password) {
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
      if (m_broken || (code != 535 && code != 534 && code != 504)) throw;
      refusal.emplace(e.GetErrorCode(), e.GetLastResponse());
      challengeResponseRefused = challengeResponseRefused || km7::smtp::IsChallengeResponse(method);
    }
  }
  throw *refusal;
}

void CZRKSMTPConnection::AuthLogin(std::string_view userName, std::string_view password) {
  std::string user(userName);
  std::string pass(password);
  WipeOnExit wipeUser(user);
  WipeOnExit wipePass(pass);

  Command("AUTH LOGIN\r\n", 334, km7::IDS_UNEXPECTED_AUTH_LOGIN_RESPONSE);
  if (!km7::smtp::EqualsIgnoringCase(DecodeChallenge(m_lastResponse), "username:")) {
    Fail(km7::IDS_UNEXPECTED_AUTH_LOGIN_USERNAME_REQUEST);
  }
  std::string encoded = km7::Base64Encode(user, km7::BASE64_NO_LINE_BREAKS);
  Wipe(user);
  SendSecret(encoded);
  if (!ExpectReply(334)) Fail(km7::IDS_UNEXPECTED_AUTH_LOGIN_USERNAME_RESPONSE);

  if (!km7::smtp::EqualsIgnoringCase(DecodeChallenge(m_lastResponse), "password:")) {
    Fail(km7::IDS_UNEXPECTED_AUTH_LOGIN_PASSWORD_REQUEST);
  }
  encoded = km7::Base64Encode(pass, km7::BASE64_NO_LINE_BREAKS);
  Wipe(pass);
  SendSecret(encoded);
  if (!ExpectReply(235)) Fail(km7::IDS_UNEXPECTED_AUTH_LOGIN_PASSWORD_RESPONSE);
}

void CZRKSMTPConnection::AuthPlain(std::string_view userName, std::string_view password) {
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
  const std::string challenge = DecodeChallenge(m_lastResponse);
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
  const std::string challenge = DecodeChallenge(m_lastResponse);
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

bool CZRKSMTPConnection::ServerOffers(std::string_view keyword) const {
  return km7::smtp::OffersExtension(m_ehloReply, keyword);
}

std::string CZRKSMTPConnection::FormMailFromCommand(CZRKSMTPMessage& message) {
  // Servers refuse parameters of extensions they do not offer.
  const int32_t flags = ServerOffers("DSN") ? message.GetDSNFlags() : CZRKSMTPMessage::DSN_NONE;
  if (flags != CZRKSMTPMessage::DSN_NONE && message.GetEnvelopeId().empty()) {
    message.SetEnvelopeId(km7::MakeEnvelopeId());
  }
  const bool offers8Bit = ServerOffers("8BITMIME");
  const bool eightBit = offers8Bit && message.NeedsEightBitBody(message.PlainTextEncoding(offers8Bit));
  return km7::smtp::MailFromCommand(message.GetFrom().GetEmailAddress(), flags, message.GetDSNReturnFull(),
                                    message.GetEnvelopeId(), eightBit);
}

void CZRKSMTPConnection::SendRCPTForRecipient(int32_t dsnFlags, const std::string& emailAddress) {
  SendRaw(km7::smtp::RcptToCommand(emailAddress, dsnFlags));
  if (!ExpectReply(250, 251)) Fail(km7::IDS_UNEXPECTED_RCPT_TO_RESPONSE);
}

void CZRKSMTPConnection::SendBodyPart(const CZRKSMTPBodyPart& part, bool root) {
  const km7::smtp::OpenedAttachments none;
  km7::smtp::SendPartTree(part, root, m_attachments != nullptr ? *m_attachments : none,
                          [this](std::string_view piece) { SendContent(piece); });
}

void CZRKSMTPConnection::SendContent(std::string_view piece) {
  m_contentBytes += piece.size();
  SendRaw(piece);
}

void CZRKSMTPConnection::Abandon() {
  m_connected = false;
  m_socket.Close();
}

void CZRKSMTPConnection::SendMessage(CZRKSMTPMessage& message) {
  // Refuse before anything is sent: a line break inside an envelope address
  // would start a command of its own.
  auto refuse = [](const std::string& what) {
    throw CZRKSMTPException(FACILITY_ITF, km7::IDS_INVALID_ADDRESS, what);
  };
  if (km7::smtp::HasLineBreak(message.GetFrom().GetEmailAddress())) refuse(message.GetFrom().GetEmailAddress());
  for (const CZRKSMTPAddressArray* list : {&message.GetTo(), &message.GetCc(), &message.GetBcc()}) {
    for (const CZRKSMTPAddress& address : *list) {
      if (km7::smtp::HasLineBreak(address.GetEmailAddress())) refuse(address.GetEmailAddress());
    }
  }
  if (km7::smtp::HasLineBreak(message.GetEnvelopeId())) refuse(message.GetEnvelopeId());
  message.Validate();

  // An attachment that cannot be read fails the message before the server
  // hears of it.
  const km7::smtp::OpenedAttachments files =
      message.HasPreparedContent() ? km7::smtp::OpenedAttachments() : km7::smtp::OpenedAttachments(message.GetRootPart());
  const auto travel = message.PlainTextEncoding(ServerOffers("8BITMIME"));

  SendRaw(FormMailFromCommand(message));
  if (!ExpectReply(250)) Fail(km7::IDS_UNEXPECTED_MAIL_FROM_RESPONSE);

  const int32_t flags = ServerOffers("DSN") ? message.GetDSNFlags() : CZRKSMTPMessage::DSN_NONE;
  for (const CZRKSMTPAddressArray* list : {&message.GetTo(), &message.GetCc(), &message.GetBcc()}) {
    for (const CZRKSMTPAddress& address : *list) SendRCPTForRecipient(flags, address.GetEmailAddress());
  }

  Command("DATA\r\n", 354, km7::IDS_UNEXPECTED_DATA_RESPONSE);

  // From here until the end-of-data mark every byte is message text: after
  // a failure nothing more may be sent, not even QUIT.
  try {
    // The content is no dialogue: the transcript gets its size.
    m_quietSend = true;
    m_contentBytes = 0;
    auto send = [this](std::string_view piece) { SendContent(piece); };
    if (message.HasPreparedContent()) {
      km7::smtp::SendPreparedContent(message.GetPreparedContent(), send);
    } else {
      send(message.GetHeader(travel) + "\r\n");
      if (message.IsPlain()) {
        km7::smtp::SendPlainText(message.GetRootPart().GetText(), travel, send);
      } else {
        m_attachments = &files;
        SendBodyPart(message.GetRootPart(), true);
        m_attachments = nullptr;
      }
    }
    m_quietSend = false;
    if (m_transcript) m_transcript(true, "(message content, " + std::to_string(m_contentBytes) + " bytes)\r\n");
    SendRaw("\r\n.\r\n");
  } catch (...) {
    m_quietSend = false;
    m_attachments = nullptr;
    Abandon();
    throw;
  }

  // A server that does not answer the end of data may still be reading it.
  bool answered = false;
  try {
    std::string reply;
    answered = ReadReply(reply);
  } catch (...) {
    Abandon();
    throw;
  }
  if (!answered) {
    Abandon();
    Fail(km7::IDS_UNEXPECTED_END_OF_MESSAGE_RESPONSE);
  }
  if (m_lastResponseCode != 250) Fail(km7::IDS_UNEXPECTED_END_OF_MESSAGE_RESPONSE);
}

void CZRKSMTPConnection::Disconnect(bool sendQuit) {
  std::optional<CZRKSMTPException> failure;
  if (m_connected && sendQuit && !m_broken) {
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
  m_connected = false;
  m_broken = false;
  m_socket.Close();
  if (failure) throw *failure;
}
