#include "MailTool.h"

#include <chrono>
#include <memory>
#include <tuple>
#include <iomanip>
#include <ostream>

#include "InputSources.h"
#include "OAuthSetup.h"
#include "TerminalText.h"
#include "platform/SecureWipe.h"
#include "smtp/SMTPConnection.h"
#include "smtp/SMTPException.h"
#include "smtp/SMTPMessage.h"

namespace km7::mail {
namespace {

const char* const kProgram = "km7-mail: ";

using km7::Wipe;

const char* ProxyName(SMTPConnectionType t) {
  switch (t) {
    case SMTPConnectionType::Socks4: return "SOCKS4";
    case SMTPConnectionType::Socks5: return "SOCKS5";
    case SMTPConnectionType::HttpProxy: return "HTTP";
    default: return "direct";
  }
}

// "TLSv1.3, TLS_AES_256_GCM_SHA384, certificate /CN=mail.example.org"
std::string DescribeTls(const km7::tls::Info& info) {
  return info.version + ", cipher " + info.cipher + ", certificate subject " +
         (info.subject.empty() ? std::string("(none)") : info.subject);
}

}  // namespace

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
  for (const auto& [source, what, into] : {std::tuple{&o.passwordFile, "password", &password},
                                           std::tuple{&o.proxyPasswordFile, "proxy password", &proxyPassword}}) {
    std::string warning;
    if (!source->empty() && !ReadPassword(*source, in, inIsTerminal, what, *into, error, &warning)) {
      err << kProgram << error << "\n";
      return kExitUsage;
    }
    if (!warning.empty()) err << kProgram << "warning: " << warning << "\n";
  }
  std::unique_ptr<km7::oauth::TokenSource> tokens;
  if (UsesToken(o)) {
    tokens = MakeTokenSource(o, err, error);
    if (!tokens) {
      err << kProgram << error << "\n";
      return kExitUsage;
    }
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
    CZRKSMTPConnection session;
    // EHLO even without a login, for DSN and 8BITMIME; HELO for servers
    // that refuse it.
    session.SetEhloWithoutAuthentication(true);
    // The two mechanisms that send the password itself say so when nothing
    // protects the line.
    session.SetClearTextWarning([&err](std::string_view mechanism) {
      const bool token = mechanism == "XOAUTH2" || mechanism == "OAUTHBEARER";
      err << kProgram << "warning: AUTH " << mechanism << " sends the " << (token ? "access token" : "password")
          << " readable by anyone on the way: the connection is not encrypted (see --starttls and --tls)\n";
    });
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
    if (tokens) {
      try {
        password = tokens->AccessToken();
      } catch (const km7::oauth::OAuthError& e) {
        err << kProgram << "error: no access token: " << e.what() << "\n";
        return ExitCodeFor(e);
      }
      session.SetCredentialIsToken(true);
      if (o.verbose) {
        err << "access token from " << (o.tokenCommand.empty() ? "the stored account" : "the token command")
            << " (" << password.size() << " characters)\n";
      }
    }
    session.Connect(o.server, o.auth, o.user, password, o.port);
    Wipe(password);
    if (o.verbose) {
      if (const km7::tls::Info* tls = session.GetTlsInfo()) err << "TLS: " << DescribeTls(*tls) << "\n";
      err << "connected: " << SafeServerText(session.GetLastResponseText()) << "\n";
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
        err << "message " << i << "/" << o.count << ": " << SafeServerText(session.GetLastResponseText()) << "\n";
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
