#pragma once
// The client side of one SMTP session: greeting, HELO/EHLO, authentication
// (LOGIN, PLAIN, CRAM-MD5, NTLM or detected from the EHLO reply), MAIL FROM /
// RCPT TO / DATA, and QUIT. Every failure is raised as CZRKSMTPException:
// protocol failures in FACILITY_ITF with the string-table id and the server's
// last response, transport failures in FACILITY_WIN32 with the socket error.
//
// Typical use:
//   CZRKSMTPConnection session;
//   session.Connect("mail.example.org", SMTPAuthMethod::AutoDetect, user, password, 25);
//   session.SendMessage(message);
//   session.Disconnect(true);
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "smtp/NTLMClientAuth.h"
#include "smtp/SMTPCapabilities.h"
#include "smtp/SMTPCommands.h"
#include "smtp/SMTPException.h"
#include "smtp/SMTPOptions.h"
#include "smtp/SMTPReply.h"
#include "smtp/Socket.h"

class CZRKSMTPMessage;
class CZRKSMTPBodyPart;
namespace km7::smtp {
class OpenedAttachments;
}

class CZRKSMTPConnection : public CNTLMClientAuth {
 public:
  static constexpr uint32_t kDefaultTimeoutMs = 60000;
  static constexpr uint16_t kDefaultProxyPort = 1080;

  CZRKSMTPConnection();
  ~CZRKSMTPConnection() override;
  CZRKSMTPConnection(const CZRKSMTPConnection&) = delete;
  CZRKSMTPConnection& operator=(const CZRKSMTPConnection&) = delete;

  // Opens the session: TCP connection (direct or through the configured
  // proxy), greeting, HELO (method None) or EHLO plus authentication. On any
  // failure the session sends QUIT where it can, closes, and raises; it is
  // then not connected. The copies of the credentials are wiped.
  void Connect(const std::string& host, SMTPAuthMethod method = SMTPAuthMethod::None,
               std::string_view userName = {}, std::string_view password = {}, uint16_t port = 25);
  bool IsConnected() const { return m_link != Link::Closed; }
  // Sends QUIT (when connected and sendQuit) and closes the socket in every
  // case; raises afterwards when the QUIT exchange failed.
  void Disconnect(bool sendQuit = true);
  // MAIL FROM, RCPT TO for To, Cc and Bcc, DATA, header, body, end of data.
  // A message whose envelope or header texts hold line breaks, or whose
  // attachments cannot be opened, is refused before anything is sent.
  // Delivery-status parameters go only to a server that offers DSN; a plain
  // text that is not 7-bit goes as 8bit with BODY=8BITMIME to a server that
  // offers it, else quoted-printable. A failure while the content is being
  // sent, or no reply to its end, closes the connection without another
  // word (the server would take it for message text). Writes back the
  // envelope id it makes.
  void SendMessage(CZRKSMTPMessage& message);
  // True when the EHLO reply of this session lists the extension (never
  // after HELO).
  bool ServerOffers(std::string_view keyword) const;

  // With this on, only the first recipient must be accepted: a refused Cc or
  // further To is noted (RefusedRecipients) and the message goes to the rest.
  void SetOptionalRecipients(bool on) { m_optionalRecipients = on; }
  struct RefusedRecipient {
    std::string address;
    std::string reply;
  };
  const std::vector<RefusedRecipient>& RefusedRecipients() const { return m_refusedRecipients; }

  std::string GetLastResponseText() const { return m_lastResponse; }
  int GetLastResponseCode() const { return m_lastResponseCode; }

  // Settings, each to be set before Connect.
  void SetTimeout(uint32_t milliseconds) { m_timeoutMs = milliseconds; }
  uint32_t GetTimeout() const { return m_timeoutMs; }
  // Raising the token from another thread ends whatever the session waits
  // for at once: the call in progress raises WSAECANCELLED (FACILITY_WIN32),
  // and no QUIT is waited for afterwards.
  void SetCancelToken(km7::smtp::SharedCancelToken token) { m_socket.SetCancelToken(std::move(token)); }
  void SetConnectionType(SMTPConnectionType type) { m_connectionType = type; }
  SMTPConnectionType GetConnectionType() const { return m_connectionType; }
  void SetProxyServer(std::string server) { m_proxyServer = std::move(server); }
  const std::string& GetProxyServer() const { return m_proxyServer; }
  void SetProxyPort(uint16_t port) { m_proxyPort = port; }
  uint16_t GetProxyPort() const { return m_proxyPort; }
  void SetBindAddress(std::string address) { m_bindAddress = std::move(address); }
  const std::string& GetBindAddress() const { return m_bindAddress; }
  void SetProxyUserName(std::string userName) { m_proxyUserName = std::move(userName); }
  const std::string& GetProxyUserName() const { return m_proxyUserName; }
  // The stored proxy password is wiped when replaced and at destruction.
  void SetProxyPassword(std::string_view password);
  void SetUserAgent(std::string userAgent) { m_userAgent = std::move(userAgent); }
  const std::string& GetUserAgent() const { return m_userAgent; }
  // "auto" (exactly) asks the system for the local host name; any other
  // text is used unchanged.
  void SetHeloHostName(std::string_view name);
  const std::string& GetHeloHostName() const { return m_heloHostName; }
  void SetSecurity(SMTPSecurity security) { m_security = security; }
  SMTPSecurity GetSecurity() const { return m_security; }
  // A PEM file of CAs trusted beside the system's store.
  void SetCaFile(std::string path) { m_tlsOptions.caFile = std::move(path); }
  // false skips the certificate and host-name checks.
  void SetVerifyCertificate(bool verify) { m_tlsOptions.verifyPeer = verify; }
  // True once TLS protects the session.
  bool IsSecure() const { return m_socket.IsTls(); }
  // The negotiated TLS version, cipher and certificate subject; nullptr when
  // the session is not protected.
  const km7::tls::Info* GetTlsInfo() const { return m_socket.GetTlsInfo(); }

  // Receives the dialogue as it happens: each command the client sends and
  // each reply (or the part of one that came before a time-out or close).
  // Credentials are replaced by a note of their length, and the message
  // content by one line with its size.
  using Transcript = std::function<void(bool fromClient, std::string_view text)>;
  void SetTranscript(Transcript transcript) { m_transcript = std::move(transcript); }

  // true: a session without authentication introduces itself with EHLO too,
  // so the server's extensions (DSN, 8BITMIME) can be used; a server that
  // refuses EHLO with a 5xx reply gets HELO. false (the default): HELO.
  void SetEhloWithoutAuthentication(bool ehlo) { m_ehloWithoutAuth = ehlo; }
  // true: the password given to Connect is an OAuth 2.0 access token. "auto"
  // then tries only the token mechanisms the server offers (OAUTHBEARER,
  // then XOAUTH2) and never falls back to one that sends a password.
  void SetCredentialIsToken(bool token) { m_credentialIsToken = token; }
  bool CredentialIsToken() const { return m_credentialIsToken; }
  // Called with the mechanism's name ("LOGIN", "PLAIN") just before a
  // mechanism sends the password itself over a connection TLS does not
  // protect.
  using ClearTextWarning = std::function<void(std::string_view mechanism)>;
  void SetClearTextWarning(ClearTextWarning warning) { m_clearTextWarning = std::move(warning); }

  // Low-level operations, also used by the authentication exchanges.
  // One send of every byte; a socket failure raises FACILITY_WIN32.
  void SendRaw(const void* data, size_t length);
  void SendRaw(std::string_view text) { SendRaw(text.data(), text.size()); }
  // Reads one complete reply into response (which should start empty): true
  // when complete, false when the time-out passed first (it bounds the whole
  // reply; the text so far becomes the last response). A close by the server
  // raises 548.
  virtual bool ReadReply(std::string& response);
  virtual bool ExpectReply(int expectedCode);
  virtual bool ExpectReply(int codeA, int codeB);

  // NTLM token exchange.
  int32_t SendFirstToken(const uint8_t* token, uint32_t length) override;
  int32_t ReceiveChallenge(uint8_t* buffer, uint32_t bufferSize, uint32_t& length) override;
  int32_t SendNextToken(const uint8_t* token, uint32_t length) override;

 protected:
  virtual void AuthCramMd5(std::string_view userName, std::string_view password);
  virtual void ConnectESMTP(std::string_view userName, std::string_view password, SMTPAuthMethod method);
  virtual void ConnectSMTP();
  virtual SMTPAuthMethod ChooseAuthenticationMethod();
  // Runs one mechanism's exchange.
  virtual void AuthenticateWith(SMTPAuthMethod method, std::string_view userName, std::string_view password);
  virtual void AuthLogin(std::string_view userName, std::string_view password);
  virtual void AuthPlain(std::string_view userName, std::string_view password);
  virtual void AuthXOAuth2(std::string_view userName, std::string_view token);
  virtual void AuthOAuthBearer(std::string_view userName, std::string_view token);
  // dsnFlags as the server takes them (DSN_NONE when it does not offer DSN).
  virtual std::string FormMailFromCommand(CZRKSMTPMessage& message, int32_t dsnFlags, bool eightBitBody);
  virtual void SendRCPTForRecipient(int32_t dsnFlags, const std::string& emailAddress);
  virtual void SendBodyPart(const CZRKSMTPBodyPart& part, bool root);

 private:
  // Sends shown + text + "\r\n" and wipes text and the line, also when the
  // send fails; the transcript gets shown and the length of text.
  void SendSecret(std::string& text, std::string_view shown = {});
  // Raises id in FACILITY_ITF with the last response.
  [[noreturn]] void Fail(uint32_t id) const;
  // A transport failure as the session's exception; the detail (what a
  // proxy answered, what TLS reported) travels as the last response.
  [[noreturn]] static void RaiseSocketError(const CWSocketException& e);
  // The server's challenge: the last response without its code and the
  // separator after it, decoded from Base64.
  std::string DecodedChallenge() const;
  // Warns through the clear-text warning when TLS does not protect the line.
  void WarnIfClear(std::string_view mechanism);
  // Sends a command and raises id unless the reply carries expectedCode.
  void Command(std::string_view command, int expectedCode, uint32_t id);
  void OpenTransport(const std::string& host, uint16_t port);
  // The TLS handshake on the open connection; failures raise the TLS ids.
  void StartTlsHandshake(const std::string& host);
  // EHLO, STARTTLS and the handshake; the caller introduces itself again.
  void NegotiateStartTls(const std::string& host);
  // Tries the offered mechanisms in turn while the server refuses them.
  void AutoAuthenticate(std::string_view userName, std::string_view password);
  // The same for an access token: the token mechanisms only.
  void AutoAuthenticateWithToken(std::string_view userName, std::string_view token);
  // One token mechanism's exchange: the initial response on the AUTH line,
  // and on a 334 error challenge the answer that ends the exchange.
  void AuthenticateWithToken(std::string_view mechanism, std::string response, std::string_view errorAnswer);
  // After a failed or garbled step while the server waits for a response
  // to its 334: cancels the exchange with "*" and reads the 501.
  void CancelSasl();
  // Closes the socket without QUIT; the session is then not connected.
  void Abandon();
  // One piece of the message content (counted for the transcript).
  void SendContent(std::string_view piece);

  // Open: the session may talk. Broken: a reply did not come in time or the
  // connection broke, so a QUIT would only wait for a second time-out, or go
  // out on a dead line. Closed: the socket is closed.
  enum class Link { Closed, Open, Broken };
  // The one place the link changes (and the socket closes with it).
  void SetLink(Link next);

  CWSocket m_socket;
  Link m_link = Link::Closed;
  std::string m_lastResponse;
  bool m_optionalRecipients = false;
  std::vector<RefusedRecipient> m_refusedRecipients;
  std::string m_heloHostName;
  uint32_t m_timeoutMs = kDefaultTimeoutMs;
  int m_lastResponseCode = 0;
  SMTPConnectionType m_connectionType = SMTPConnectionType::Direct;
  std::string m_proxyServer;
  uint16_t m_proxyPort = kDefaultProxyPort;
  std::string m_bindAddress;
  std::string m_proxyUserName;
  std::string m_proxyPassword;
  std::string m_userAgent;
  SMTPSecurity m_security = SMTPSecurity::None;
  km7::tls::Options m_tlsOptions;
  // Set when the last reply did not come within the time-out.
  bool m_timedOut = false;
  // The reply to this session's EHLO: the extensions the server offers.
  std::string m_ehloReply;
  Transcript m_transcript;
  ClearTextWarning m_clearTextWarning;
  bool m_ehloWithoutAuth = false;
  bool m_credentialIsToken = false;
  // Where this session went (OAUTHBEARER names it to the server).
  std::string m_host;
  uint16_t m_port = 0;
  // Set while a secret or the message content is being sent: the transcript
  // gets a summary instead of the bytes.
  bool m_quietSend = false;
  uint64_t m_contentBytes = 0;
  // The message's attachment files while SendMessage runs.
  const km7::smtp::OpenedAttachments* m_attachments = nullptr;
};
