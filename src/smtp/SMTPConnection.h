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
#include "smtp/SMTPException.h"
#include "smtp/Socket.h"

class CZRKSMTPMessage;
class CZRKSMTPBodyPart;
namespace km7::smtp {
class OpenedAttachments;
}

enum class SMTPConnectionType : int32_t { Direct = 0, Socks4 = 1, Socks5 = 2, HttpProxy = 3 };

enum class SMTPAuthMethod : int32_t { None = 0, CramMd5 = 1, Login = 2, Plain = 3, Ntlm = 4, AutoDetect = 5 };

// How the session is protected: not at all, STARTTLS after the greeting
// (required: the session fails when the server does not offer or refuses
// it), or TLS from the first byte. The values are the stored setting's.
enum class SMTPSecurity : int32_t { None = 0, StartTls = 1, Tls = 2 };

namespace km7::smtp {

// Largest reply accepted; a server that keeps sending beyond it is treated
// like one that stops answering (the command fails with its own id).
inline constexpr size_t kMaxReplyLength = 1024 * 1024;
// Size of each receive of a reply.
inline constexpr size_t kReceiveChunk = 4095;

// Gathers the pieces of one server reply. A reply is complete when it ends
// with "\r\n" and its last line is either a code, a space and text, or a
// code of three digits alone; the code is the number in that line's first
// three characters. Zero bytes are dropped wherever they fall, so the text
// does not depend on how the network cut the reply.
class ReplyAssembler {
 public:
  // Appends a received piece without its zero bytes.
  void Append(const char* data, size_t length);
  bool Complete() const { return m_complete; }
  int Code() const { return m_code; }
  const std::string& Text() const { return m_text; }

 private:
  std::string m_text;
  bool m_complete = false;
  int m_code = 0;
};

// Completeness test of a gathered reply text; code is set when complete.
bool ReplyComplete(std::string_view text, int& code);

// True when a line of an EHLO reply after the first names the keyword (any
// case) as its first word; params receives the rest of that line. "AUTH=" is
// read as "AUTH ", the form of old servers.
bool EhloOffers(std::string_view ehloResponse, std::string_view keyword, std::string* params = nullptr);

// The mechanisms an EHLO reply offers on any of its AUTH lines, in the order
// they are tried: NTLM, CRAM-MD5, LOGIN, PLAIN.
std::vector<SMTPAuthMethod> OfferedAuthMethods(std::string_view ehloResponse);

// The first of OfferedAuthMethods; None when nothing known is offered.
SMTPAuthMethod DetectAuthMethod(std::string_view ehloResponse);

// True for the mechanisms that never send the password itself.
bool IsChallengeResponse(SMTPAuthMethod method);

// "SUCCESS", "FAILURE", "DELAY" joined by ",", or "NEVER" when no bit is set.
std::string NotifyList(int32_t dsnFlags);
// The sender and recipient commands (dsnFlags -1: no DSN parameters). An
// empty address or "<>" is the null sender "<>". eightBitBody adds
// BODY=8BITMIME.
std::string MailFromCommand(std::string_view address, int32_t dsnFlags, bool returnFull,
                            std::string_view envelopeId, bool eightBitBody = false);
std::string RcptToCommand(std::string_view address, int32_t dsnFlags);

// True when an EHLO reply lists the extension keyword (any case) on one of
// its lines after the first, alone or followed by parameters.
bool OffersExtension(std::string_view ehloReply, std::string_view keyword);

// True when text holds CR, LF or a zero byte (any of which would end a
// command line early and let the rest act as a command of its own).
bool HasLineBreak(std::string_view text);

}  // namespace km7::smtp

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
  bool IsConnected() const { return m_connected; }
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

  std::string GetLastResponseText() const { return m_lastResponse; }
  int GetLastResponseCode() const { return m_lastResponseCode; }

  // Settings, each to be set before Connect.
  void SetTimeout(uint32_t milliseconds) { m_timeoutMs = milliseconds; }
  uint32_t GetTimeout() const { return m_timeoutMs; }
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
  virtual std::string FormMailFromCommand(CZRKSMTPMessage& message);
  virtual void SendRCPTForRecipient(int32_t dsnFlags, const std::string& emailAddress);
  virtual void SendBodyPart(const CZRKSMTPBodyPart& part, bool root);

 private:
  // Sends text + "\r\n" and wipes both, also when the send fails.
  void SendSecret(std::string& text);
  // Raises id in FACILITY_ITF with the last response.
  [[noreturn]] void Fail(uint32_t id) const;
  // Sends a command and raises id unless the reply carries expectedCode.
  void Command(std::string_view command, int expectedCode, uint32_t id);
  void OpenTransport(const std::string& host, uint16_t port);
  // The TLS handshake on the open connection; failures raise the TLS ids.
  void StartTlsHandshake(const std::string& host);
  // EHLO, STARTTLS and the handshake; the caller introduces itself again.
  void NegotiateStartTls(const std::string& host);
  // Tries the offered mechanisms in turn while the server refuses them.
  void AutoAuthenticate(std::string_view userName, std::string_view password);
  // Closes the socket without QUIT; the session is then not connected.
  void Abandon();
  // One piece of the message content (counted for the transcript).
  void SendContent(std::string_view piece);

  CWSocket m_socket;
  bool m_connected = false;
  std::string m_lastResponse;
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
  // Set when a reply did not come in time or the connection broke: a QUIT
  // would only wait for a second time-out, or go out on a dead line.
  bool m_broken = false;
  // Set when the last reply did not come within the time-out.
  bool m_timedOut = false;
  // The reply to this session's EHLO: the extensions the server offers.
  std::string m_ehloReply;
  Transcript m_transcript;
  // Set while a secret or the message content is being sent: the transcript
  // gets a summary instead of the bytes.
  bool m_quietSend = false;
  uint64_t m_contentBytes = 0;
  // The message's attachment files while SendMessage runs.
  const km7::smtp::OpenedAttachments* m_attachments = nullptr;
};
