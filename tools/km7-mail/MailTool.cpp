#include "MailTool.h"

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

bool ReadWholeFile(const std::string& path, std::string& data, std::string& error) {
  if (IsFolder(path)) {
    error = "cannot read \"" + path + "\": it is a folder";
    return false;
  }
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    error = "cannot read \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  std::ostringstream ss;
  ss << f.rdbuf();
  if (f.bad()) {
    error = "cannot read \"" + path + "\"";
    return false;
  }
  data = ss.str();
  return true;
}

// First line of the password source, without its line end.
bool ReadPassword(const std::string& source, std::istream& in, std::string& password, std::string& error) {
  std::string line;
  if (source == "-") {
    if (!std::getline(in, line) && line.empty()) {
      error = "no password on standard input";
      return false;
    }
  } else {
    if (IsFolder(source)) {
      error = "cannot read password file \"" + source + "\": it is a folder";
      return false;
    }
    std::ifstream f(source, std::ios::binary);
    if (!f) {
      error = "cannot read password file \"" + source + "\": " + std::strerror(errno);
      return false;
    }
    std::getline(f, line);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  password = std::move(line);
  Wipe(line);
  return true;
}

std::string ToTerminal(std::string_view cp1252) {
  std::string s = km7::Cp1252ToUtf8(cp1252);
  std::string out;
  out.reserve(s.size());
  for (char c : s)
    if (c != '\r') out += c;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

const char* ProxyName(SMTPConnectionType t) {
  switch (t) {
    case SMTPConnectionType::Socks4: return "SOCKS4";
    case SMTPConnectionType::Socks5: return "SOCKS5";
    case SMTPConnectionType::HttpProxy: return "HTTP";
    default: return "direct";
  }
}

// Delivery-status notifications are an ESMTP extension: servers refuse their
// parameters after HELO. A run that asks for them introduces itself with EHLO
// even when it does not authenticate.
class MailSession : public CZRKSMTPConnection {
 public:
  MailSession(bool extended, std::ostream& err) : m_extended(extended), m_err(err) {}

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
    if (m_extended) {
      ConnectESMTP({}, {}, SMTPAuthMethod::None);
    } else {
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

  bool m_extended;
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
  m.GetRootPart().SetCharset(ChooseCharset({o.subject, bodyText}));
  m.SetFrom(CZRKSMTPAddress(std::string_view(o.from)));
  if (m.GetFrom().GetEmailAddress().empty()) {
    error = "no address in --from";
    return false;
  }
  if (CZRKSMTPMessage::ParseAddressList(o.to, m.GetTo()) == 0) {
    error = "no address in --to";
    return false;
  }
  if (!o.cc.empty()) CZRKSMTPMessage::ParseAddressList(o.cc, m.GetCc());
  if (!o.bcc.empty()) CZRKSMTPMessage::ParseAddressList(o.bcc, m.GetBcc());
  m.SetSubject(o.subject);
  m.SetDSNFlags(o.dsnFlags);
  m.SetMime(o.mime);
  if (!bodyText.empty()) m.AddTextBody(bodyText);
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
    m.AddAttachment(cp);
  }
  std::string unsafe = m.FindUnsafeField();
  if (!unsafe.empty()) {
    error = "line break in " + unsafe;
    return false;
  }
  return true;
}

int RunMail(const MailOptions& o, std::istream& in, std::ostream& err) {
  std::string error;
  std::string password;
  if (!o.passwordFile.empty() && !ReadPassword(o.passwordFile, in, password, error)) {
    err << kProgram << error << "\n";
    return kExitUsage;
  }
  if (!o.caFile.empty()) {
    std::string ignored;
    if (!ReadWholeFile(o.caFile, ignored, error)) {
      Wipe(password);
      err << kProgram << error << "\n";
      return kExitUsage;
    }
  }
  std::string body = o.body;
  if (!o.bodyFile.empty() && !ReadWholeFile(o.bodyFile, body, error)) {
    Wipe(password);
    err << kProgram << error << "\n";
    return kExitUsage;
  }
  const auto started = std::chrono::steady_clock::now();
  try {
    CZRKSMTPMessage message;
    if (!BuildMessage(o, body, message, error)) {
      Wipe(password);
      err << kProgram << error << "\n";
      return kExitUsage;
    }
    MailSession session(o.dsnFlags != -1, err);
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
        session.SetProxyPassword(o.proxy.password);
      }
    }
    if (o.verbose) {
      err << "connecting to " << o.server << ":" << o.port << " (" << ProxyName(o.proxy.type);
      if (o.proxy.type != SMTPConnectionType::Direct) err << " via " << o.proxy.host << ":" << o.proxy.port;
      err << (o.security == SMTPSecurity::Tls ? ", TLS" : o.security == SMTPSecurity::StartTls ? ", STARTTLS" : "")
          << ")\n";
    }
    try {
      session.Connect(o.server, o.auth, o.user, password, o.port);
    } catch (...) {
      Wipe(password);
      throw;
    }
    Wipe(password);
    if (o.verbose) {
      if (const km7::tls::Info* tls = session.GetTlsInfo()) err << "TLS: " << DescribeTls(*tls) << "\n";
      err << "connected: " << ToTerminal(session.GetLastResponseText()) << "\n";
    }
    for (long i = 1; i <= o.count; ++i) {
      // Each message of a run gets an envelope id of its own.
      message.SetEnvelopeId({});
      try {
        session.SendMessage(message);
      } catch (const CZRKSMTPException& e) {
        // After a transport failure the session may be in the middle of DATA,
        // where a QUIT would only be read as text: close without it.
        const bool transport = km7::SMTPErrorFacility(e.GetErrorCode()) == km7::FACILITY_WIN32;
        try {
          session.Disconnect(!transport);
        } catch (const CZRKSMTPException&) {
          // The first failure is the one worth reporting.
        }
        throw;
      }
      if (o.verbose)
        err << "message " << i << "/" << o.count << ": " << ToTerminal(session.GetLastResponseText()) << "\n";
    }
    session.Disconnect(true);
    if (o.verbose) {
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      err << "sent " << o.count << (o.count == 1 ? " message" : " messages") << " in " << std::fixed
          << std::setprecision(3) << s << " s\n";
    }
  } catch (const CZRKSMTPException& e) {
    err << FormatFailure(e);
    return kExitSmtpFailure;
  } catch (const std::exception& e) {
    err << kProgram << "error: " << e.what() << "\n";
    return kExitSmtpFailure;
  }
  return kExitOk;
}

}  // namespace km7::mail
