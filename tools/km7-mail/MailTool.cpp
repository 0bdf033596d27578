#include "MailTool.h"

#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "platform/SecureWipe.h"
#include "platform/Text.h"
#include "smtp/ErrorMessages.h"
#include "smtp/SMTPConnection.h"
#include "smtp/SMTPException.h"
#include "smtp/SMTPMessage.h"

namespace km7::mail {
namespace {

const char* const kProgram = "km7-mail: ";

using km7::Wipe;

bool ValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 99;
    if (n == 99 || (n == 1 && c < 0xC2) || i + n >= s.size()) return false;
    for (size_t k = 1; k <= n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n + 1;
  }
  return true;
}

// A folder opens like a file and reads as nothing; pipes (such as <(...))
// are fine for the body and the password.
bool IsFolder(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

// Reads a stream to its end straight into data (no second copy on the way).
bool ReadStream(std::istream& in, std::string& data) {
  data.clear();
  char buffer[64 * 1024];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) data.append(buffer, static_cast<size_t>(in.gcount()));
  return !in.bad();
}

bool ReadWholeFile(const std::string& path, std::istream& in, std::string& data, std::string& error) {
  if (path == "-") {
    if (!ReadStream(in, data)) {
      error = "cannot read standard input";
      return false;
    }
    return true;
  }
  if (IsFolder(path)) {
    error = "cannot read \"" + path + "\": it is a folder";
    return false;
  }
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    error = "cannot read \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  // Sized once when the size is known (a pipe such as <(...) has none).
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (!ec) data.reserve(static_cast<size_t>(size));
  if (!ReadStream(f, data)) {
    error = "cannot read \"" + path + "\"";
    return false;
  }
  return true;
}

// Turns the terminal's echo off while a password is typed, and back on.
class EchoOff {
 public:
  EchoOff() {
    if (::tcgetattr(STDIN_FILENO, &m_saved) != 0) return;
    termios quiet = m_saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    m_active = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (m_active) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_saved);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  termios m_saved{};
  bool m_active = false;
};

// First line of the password source, without its line end. what names the
// password in messages ("password", "proxy password").
bool ReadPassword(const std::string& source, std::istream& in, bool inIsTerminal, const char* what,
                  std::string& password, std::string& error) {
  std::string line;
  if (source == "-") {
    bool got = false;
    if (inIsTerminal) {
      std::cerr << (std::string(1, static_cast<char>(std::toupper(what[0]))) + (what + 1)) << ": " << std::flush;
      EchoOff quiet;
      got = static_cast<bool>(std::getline(in, line));
      std::cerr << "\n";
    } else {
      got = static_cast<bool>(std::getline(in, line));
    }
    if (!got && line.empty()) {
      error = std::string("no ") + what + " on standard input";
      return false;
    }
  } else {
    if (IsFolder(source)) {
      error = std::string("cannot read ") + what + " file \"" + source + "\": it is a folder";
      return false;
    }
    std::ifstream f(source, std::ios::binary);
    if (!f) {
      error = std::string("cannot read ") + what + " file \"" + source + "\": " + std::strerror(errno);
      return false;
    }
    std::getline(f, line);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  password = line;
  Wipe(line);
  return true;
}

std::string ToTerminal(std::string_view cp1252) { return SafeServerText(cp1252); }

// Prints the dialogue, one "> " (client) or "< " (server) line per line.
void PrintDialogue(std::ostream& err, bool fromClient, std::string_view text) {
  std::istringstream lines(SafeServerText(text));
  for (std::string line; std::getline(lines, line);) err << (fromClient ? "> " : "< ") << line << "\n";
}

const char* ProxyName(SMTPConnectionType t) {
  switch (t) {
    case SMTPConnectionType::Socks4: return "SOCKS4";
    case SMTPConnectionType::Socks5: return "SOCKS5";
    case SMTPConnectionType::HttpProxy: return "HTTP";
    default: return "direct";
  }
}

// Introduces itself with EHLO even when it does not authenticate, so the
// server's extensions can be used: delivery-status notifications, and
// 8BITMIME for 8-bit text that would otherwise go quoted-printable. A server
// that refuses EHLO gets HELO.
class MailSession : public CZRKSMTPConnection {
 public:
  explicit MailSession(std::ostream& err) : m_err(err) {}

 protected:
  // The two mechanisms that send the password itself say so when nothing
  // protects the line.
  void AuthLogin(std::string_view userName, std::string_view password) override {
    WarnIfClear("LOGIN");
    CZRKSMTPConnection::AuthLogin(userName, password);
  }
  void AuthPlain(std::string_view userName, std::string_view password) override {
    WarnIfClear("PLAIN");
    CZRKSMTPConnection::AuthPlain(userName, password);
  }

  void ConnectSMTP() override {
    try {
      ConnectESMTP({}, {}, SMTPAuthMethod::None);
    } catch (const CZRKSMTPException& e) {
      int code = 0;
      const bool refused = km7::SMTPErrorFacility(e.GetErrorCode()) == km7::FACILITY_ITF &&
                           (e.GetErrorCode() & 0xFFFF) == km7::IDS_UNEXPECTED_EHLO_RESPONSE &&
                           km7::smtp::ReplyComplete(e.GetLastResponse(), code) && code >= 500;
      if (!refused) throw;
      CZRKSMTPConnection::ConnectSMTP();
    }
  }

 private:
  void WarnIfClear(const char* mechanism) {
    if (!IsSecure()) {
      m_err << kProgram << "warning: AUTH " << mechanism
            << " sends the password readable by anyone on the way: the connection is not encrypted "
               "(see --starttls and --tls)\n";
    }
  }

  std::ostream& m_err;
};

// "TLSv1.3, TLS_AES_256_GCM_SHA384, certificate /CN=mail.example.org"
std::string DescribeTls(const km7::tls::Info& info) {
  return info.version + ", cipher " + info.cipher + ", certificate subject " +
         (info.subject.empty() ? std::string("(none)") : info.subject);
}

}  // namespace

std::string ChooseCharset(std::initializer_list<std::string_view> texts) {
  bool high = false;
  for (auto t : texts) {
    for (char c : t) high |= static_cast<unsigned char>(c) >= 0x80;
    if (!ValidUtf8(t)) return "iso-8859-1";
  }
  return high ? "utf-8" : "iso-8859-1";
}

std::string SafeServerText(std::string_view text, size_t maxShown) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string_view shown = text.substr(0, maxShown);
  std::string visible;
  visible.reserve(shown.size());
  for (size_t i = 0; i < shown.size(); ++i) {
    const auto c = static_cast<unsigned char>(shown[i]);
    if (c == '\r' && i + 1 < shown.size() && shown[i + 1] == '\n') {
      visible += '\n';
      ++i;
    } else if (c < 0x20 || c == 0x7F || c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D) {
      // Control characters (a lone line feed too, which could forge a line)
      // and the bytes Windows-1252 leaves undefined (they would become C1
      // controls) are shown, not obeyed.
      visible += "\\x";
      visible += kHex[c >> 4];
      visible += kHex[c & 0x0F];
    } else {
      visible += static_cast<char>(c);
    }
  }
  std::string out = km7::Cp1252ToUtf8(visible);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  if (text.size() > shown.size()) {
    out += "\n[" + std::to_string(text.size() - shown.size()) + " more bytes not shown]";
  }
  return out;
}

int ExitCodeFor(const CZRKSMTPException& e) {
  const uint32_t facility = km7::SMTPErrorFacility(e.GetErrorCode());
  const uint32_t code = e.GetErrorCode() & 0xFFFF;
  if (facility == km7::FACILITY_WIN32) {
    switch (code) {
      case km7::WSAENETDOWN: case km7::WSAENETUNREACH: case km7::WSAENETRESET: case km7::WSAECONNABORTED:
      case km7::WSAECONNRESET: case km7::WSAENOBUFS: case km7::WSAETIMEDOUT: case km7::WSAECONNREFUSED:
      case km7::WSAEHOSTDOWN: case km7::WSAEHOSTUNREACH: case km7::WSATRY_AGAIN: case km7::ERROR_TIMEOUT:
      case km7::ERROR_CONNECTION_REFUSED: case km7::ERROR_GRACEFUL_DISCONNECT: case km7::ERROR_BAD_NET_RESP:
        return kExitTemporary;
      default:
        return kExitSmtpFailure;
    }
  }
  if (facility != km7::FACILITY_ITF) return kExitSmtpFailure;
  switch (code) {
    // A connection that could not be made or broke.
    case km7::IDS_CONNECTION_FAILED: case km7::IDS_GRACEFUL_DISCONNECT: case km7::IDS_SSL_SEND_FAILED:
    case km7::IDS_SSL_RECEIVE_FAILED:
      return kExitTemporary;
    // A reply that was awaited: its code decides.
    case km7::IDS_UNEXPECTED_LOGIN_RESPONSE: case km7::IDS_UNEXPECTED_EHLO_RESPONSE:
    case km7::IDS_UNEXPECTED_HELO_RESPONSE: case km7::IDS_UNEXPECTED_QUIT_RESPONSE:
    case km7::IDS_UNEXPECTED_MAIL_FROM_RESPONSE: case km7::IDS_UNEXPECTED_DATA_RESPONSE:
    case km7::IDS_UNEXPECTED_END_OF_MESSAGE_RESPONSE: case km7::IDS_UNEXPECTED_RCPT_TO_RESPONSE:
    case km7::IDS_UNEXPECTED_AUTH_LOGIN_RESPONSE: case km7::IDS_UNEXPECTED_AUTH_LOGIN_USERNAME_REQUEST:
    case km7::IDS_UNEXPECTED_AUTH_LOGIN_USERNAME_RESPONSE: case km7::IDS_UNEXPECTED_AUTH_LOGIN_PASSWORD_REQUEST:
    case km7::IDS_UNEXPECTED_AUTH_LOGIN_PASSWORD_RESPONSE: case km7::IDS_UNEXPECTED_AUTH_PLAIN_RESPONSE:
    case km7::IDS_UNEXPECTED_CRAM_MD5_RESPONSE: case km7::IDS_UNEXPECTED_CRAM_MD5_DIGEST_RESPONSE:
    case km7::IDS_UNEXPECTED_AUTH_NTLM_RESPONSE: case km7::IDS_UNEXPECTED_STARTTLS_RESPONSE: {
      int replyCode = 0;
      // No complete reply: it never came (a time-out), or the server hung up.
      if (!km7::smtp::ReplyComplete(e.GetLastResponse(), replyCode)) return kExitTemporary;
      return replyCode >= 400 && replyCode < 500 ? kExitTemporary : kExitSmtpFailure;
    }
    default:
      // Refusals made here (bad input, untrusted certificate, nothing offered).
      return kExitSmtpFailure;
  }
}

std::string FormatFailure(const CZRKSMTPException& e) {
  std::ostringstream s;
  std::string text = e.GetErrorMessage();
  s << kProgram << "error " << std::hex << std::uppercase << std::setw(8) << std::setfill('0')
    << e.GetErrorCode() << ": " << (text.empty() ? "(no text for this code)" : ToTerminal(text)) << "\n";
  const std::string response = ToTerminal(e.GetLastResponse());
  if (response.empty()) {
    s << "server's last response: (none)\n";
  } else {
    s << "server's last response:\n";
    std::istringstream lines(response);
    for (std::string line; std::getline(lines, line);) s << "  " << line << "\n";
  }
  return s.str();
}

bool BuildMessage(const MailOptions& o, const std::string& bodyText, CZRKSMTPMessage& m, std::string& error) {
  m.SetXMailer("km7-mail");
  const CZRKSMTPAddress from{std::string_view(o.from)};
  m.GetRootPart().SetCharset(ChooseCharset({o.subject, bodyText, from.GetFriendlyName(), o.to, o.cc}));
  m.SetFrom(from);
  if (m.GetFrom().GetEmailAddress().empty()) {
    error = "no address in --from (\"<>\" for none)";
    return false;
  }
  if (CZRKSMTPMessage::ParseAddressList(o.to, m.GetTo()) == 0) {
    error = "no address in --to";
    return false;
  }
  if (!o.cc.empty()) CZRKSMTPMessage::ParseAddressList(o.cc, m.GetCc());
  if (!o.bcc.empty()) CZRKSMTPMessage::ParseAddressList(o.bcc, m.GetBcc());
  m.SetDSNFlags(o.dsnFlags);
  if (!o.dataFile.empty()) {
    // The header and body are the prepared text's own.
    m.SetPreparedContent(bodyText);
  } else {
    m.SetSubject(o.subject);
    m.SetMime(o.mime);
    if (!bodyText.empty()) m.AddTextBody(bodyText);
  }
  for (const std::string& path : o.attachments) {
    // The library takes paths as program text (Windows-1252).
    std::string cp = km7::Utf8ToCp1252(path);
    if (km7::Cp1252ToUtf8(cp) != path) {
      error = "cannot attach \"" + path + "\": its name has characters outside Windows-1252";
      return false;
    }
    std::ifstream probe(path, std::ios::binary);
    if (!probe) {
      error = "cannot read attachment \"" + path + "\": " + std::strerror(errno);
      return false;
    }
    // A folder opens like a file but reads as nothing: it would go out as
    // an empty attachment.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
      error = "cannot attach \"" + path + "\": not a regular file";
      return false;
    }
    // The name goes out as the terminal gave it, labelled UTF-8 when it is not ASCII.
    const std::string title = std::filesystem::path(path).filename().string();
    m.AddAttachment(cp, title);
    CZRKSMTPBodyPart& part = *m.GetRootPart().GetChildBodyPart(m.GetRootPart().GetNumberOfChildBodyParts() - 1);
    part.SetCharset(ChooseCharset({title}));
  }
  std::string unsafe = m.FindUnsafeField();
  if (!unsafe.empty()) {
    error = "line break in " + unsafe;
    return false;
  }
  return true;
}

int RunMail(const MailOptions& o, std::istream& in, std::ostream& err, bool inIsTerminal) {
  std::string error;
  std::string password;
  std::string proxyPassword = o.proxy.password;
  struct WipeBoth {
    std::string& a;
    std::string& b;
    ~WipeBoth() {
      Wipe(a);
      Wipe(b);
    }
  } wipe{password, proxyPassword};
  if (!o.passwordFile.empty() && !ReadPassword(o.passwordFile, in, inIsTerminal, "password", password, error)) {
    err << kProgram << error << "\n";
    return kExitUsage;
  }
  if (!o.proxyPasswordFile.empty() &&
      !ReadPassword(o.proxyPasswordFile, in, inIsTerminal, "proxy password", proxyPassword, error)) {
    err << kProgram << error << "\n";
    return kExitUsage;
  }
  if (!o.proxy.password.empty()) {
    err << kProgram << "warning: the proxy password given in --proxy can be seen by other users (ps); "
        << "use --proxy-password-file\n";
  }
  if (!o.caFile.empty()) {
    std::string ignored;
    if (!ReadWholeFile(o.caFile, in, ignored, error)) {
      err << kProgram << error << "\n";
      return kExitUsage;
    }
  }
  std::string body = o.body;
  const std::string& bodySource = o.dataFile.empty() ? o.bodyFile : o.dataFile;
  if (!bodySource.empty() && !ReadWholeFile(bodySource, in, body, error)) {
    err << kProgram << error << "\n";
    return kExitUsage;
  }
  const auto started = std::chrono::steady_clock::now();
  long accepted = 0;
  try {
    CZRKSMTPMessage message;
    if (!BuildMessage(o, body, message, error)) {
      err << kProgram << error << "\n";
      return kExitUsage;
    }
    // The message holds its own copy: a large text need not be held twice.
    std::string().swap(body);
    MailSession session(err);
    session.SetTimeout(o.timeoutMs);
    session.SetSecurity(o.security);
    if (!o.caFile.empty()) session.SetCaFile(o.caFile);
    if (o.insecure) {
      session.SetVerifyCertificate(false);
      err << kProgram << "warning: --insecure: the server's certificate is not checked; anyone on the way "
                         "can read and change the session\n";
    }
    session.SetHeloHostName(o.helo);
    if (!o.bindAddress.empty()) session.SetBindAddress(o.bindAddress);
    if (o.proxy.type != SMTPConnectionType::Direct) {
      session.SetConnectionType(o.proxy.type);
      session.SetProxyServer(o.proxy.host);
      session.SetProxyPort(o.proxy.port);
      if (!o.proxy.user.empty()) {
        session.SetProxyUserName(o.proxy.user);
        session.SetProxyPassword(proxyPassword);
      }
    }
    Wipe(proxyPassword);
    if (o.verbose) {
      err << "connecting to " << o.server << ":" << o.port << " (" << ProxyName(o.proxy.type);
      if (o.proxy.type != SMTPConnectionType::Direct) err << " via " << o.proxy.host << ":" << o.proxy.port;
      err << (o.security == SMTPSecurity::Tls ? ", TLS" : o.security == SMTPSecurity::StartTls ? ", STARTTLS" : "")
          << ")\n";
      session.SetTranscript([&err](bool fromClient, std::string_view text) { PrintDialogue(err, fromClient, text); });
    }
    session.Connect(o.server, o.auth, o.user, password, o.port);
    Wipe(password);
    if (o.verbose) {
      if (const km7::tls::Info* tls = session.GetTlsInfo()) err << "TLS: " << DescribeTls(*tls) << "\n";
      err << "connected: " << ToTerminal(session.GetLastResponseText()) << "\n";
    }
    if (o.verbose && o.dsnFlags != -1 && !session.ServerOffers("DSN")) {
      err << "the server does not offer DSN: --dsn is left out\n";
    }
    for (long i = 1; i <= o.count; ++i) {
      // Each message of a run gets an envelope id of its own.
      message.SetEnvelopeId({});
      try {
        session.SendMessage(message);
      } catch (const CZRKSMTPException&) {
        // The session has closed a connection it could not leave clean;
        // otherwise it is between messages and takes a QUIT.
        try {
          session.Disconnect(true);
        } catch (const CZRKSMTPException&) {
          // The first failure is the one worth reporting.
        }
        throw;
      }
      ++accepted;
      if (o.verbose)
        err << "message " << i << "/" << o.count << ": " << ToTerminal(session.GetLastResponseText()) << "\n";
    }
    try {
      session.Disconnect(true);
    } catch (const CZRKSMTPException& e) {
      // Everything was accepted: a retry would only send it twice.
      err << kProgram << "warning: " << (o.count == 1 ? "the message was" : "all messages were")
          << " accepted, but ending the session failed:\n"
          << FormatFailure(e);
    }
    if (o.verbose) {
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      err << "sent " << o.count << (o.count == 1 ? " message" : " messages") << " in " << std::fixed
          << std::setprecision(3) << s << " s\n";
    }
  } catch (const CZRKSMTPException& e) {
    err << FormatFailure(e);
    if (accepted > 0) err << accepted << " of " << o.count << " messages were accepted before the failure\n";
    return ExitCodeFor(e);
  } catch (const std::exception& e) {
    err << kProgram << "error: " << e.what() << "\n";
    return kExitSmtpFailure;
  }
  return kExitOk;
}

}  // namespace km7::mail
