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

// What the run reads before it connects. The passwords are wiped on every
// way out.
struct Inputs {
  std::string password;
  std::string proxyPassword;
  std::string body;
  std::unique_ptr<km7::oauth::TokenSource> tokens;
  Inputs() = default;
  Inputs(const Inputs&) = delete;
  Inputs& operator=(const Inputs&) = delete;
  ~Inputs() {
    Wipe(password);
    Wipe(proxyPassword);
  }
};

// The password files, the token source, the CA file and the body; false
// with error when one of them cannot be had.
bool ReadInputs(const MailOptions& o, std::istream& in, std::ostream& err, bool inIsTerminal, Inputs& inputs,
                std::string& error) {
  inputs.proxyPassword = o.proxy.password;
  for (const auto& [source, what, into] :
       {std::tuple{&o.passwordFile, "password", &inputs.password},
        std::tuple{&o.proxyPasswordFile, "proxy password", &inputs.proxyPassword}}) {
    std::string warning;
    if (!source->empty() && !ReadPassword(*source, in, inIsTerminal, what, *into, error, &warning)) return false;
    if (!warning.empty()) err << kProgram << "warning: " << warning << "\n";
  }
  if (UsesToken(o)) {
    inputs.tokens = MakeTokenSource(o, err, error);
    if (!inputs.tokens) return false;
  }
  if (!o.proxy.password.empty()) {
    err << kProgram << "warning: the proxy password given in --proxy can be seen by other users (ps); "
        << "use --proxy-password-file\n";
  }
  if (!o.caFile.empty()) {
    std::string ignored;
    if (!ReadWholeFile(o.caFile, in, ignored, error)) return false;
  }
  inputs.body = o.body;
  const std::string& bodySource = o.dataFile.empty() ? o.bodyFile : o.dataFile;
  return bodySource.empty() || ReadWholeFile(bodySource, in, inputs.body, error);
}

// Everything the session needs before it connects; the proxy password is
// wiped once the session holds it.
void SetUpSession(const MailOptions& o, std::string& proxyPassword, CZRKSMTPConnection& session, std::ostream& err) {
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
}

// The access token as the session's credential; kExitOk, or the exit code
// when none could be had.
int TakeAccessToken(const MailOptions& o, km7::oauth::TokenSource& tokens, std::string& password,
                    CZRKSMTPConnection& session, std::ostream& err) {
  try {
    password = tokens.AccessToken();
  } catch (const km7::oauth::OAuthError& e) {
    err << kProgram << "error: no access token: " << e.what() << "\n";
    return ExitCodeFor(e);
  }
  session.SetCredentialIsToken(true);
  if (o.verbose) {
    err << "access token from " << (o.tokenCommand.empty() ? "the stored account" : "the token command")
        << " (" << password.size() << " characters)\n";
  }
  return kExitOk;
}

// Sends the message o.count times; accepted counts the ones the server took.
void SendAll(const MailOptions& o, CZRKSMTPMessage& message, CZRKSMTPConnection& session, std::ostream& err,
             long& accepted) {
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
}

// QUIT after every message went through.
void EndSession(const MailOptions& o, CZRKSMTPConnection& session, std::ostream& err) {
  try {
    session.Disconnect(true);
  } catch (const CZRKSMTPException& e) {
    // Everything was accepted: a retry would only send it twice.
    err << kProgram << "warning: " << (o.count == 1 ? "the message was" : "all messages were")
        << " accepted, but ending the session failed:\n"
        << FormatFailure(e);
  }
}

}  // namespace

int RunMail(const MailOptions& o, std::istream& in, std::ostream& err, bool inIsTerminal) {
  std::string error;
  Inputs inputs;
  if (!ReadInputs(o, in, err, inIsTerminal, inputs, error)) {
    err << kProgram << error << "\n";
    return kExitUsage;
  }
  const auto started = std::chrono::steady_clock::now();
  long accepted = 0;
  try {
    CZRKSMTPMessage message;
    if (!BuildMessage(o, inputs.body, message, error)) {
      err << kProgram << error << "\n";
      return kExitUsage;
    }
    // The message holds its own copy: a large text need not be held twice.
    std::string().swap(inputs.body);
    CZRKSMTPConnection session;
    SetUpSession(o, inputs.proxyPassword, session, err);
    if (inputs.tokens) {
      const int code = TakeAccessToken(o, *inputs.tokens, inputs.password, session, err);
      if (code != kExitOk) return code;
    }
    session.Connect(o.server, o.auth, o.user, inputs.password, o.port);
    Wipe(inputs.password);
    if (o.verbose) {
      if (const km7::tls::Info* tls = session.GetTlsInfo()) err << "TLS: " << DescribeTls(*tls) << "\n";
      err << "connected: " << SafeServerText(session.GetLastResponseText()) << "\n";
    }
    if (o.verbose && o.dsnFlags != -1 && !session.ServerOffers("DSN")) {
      err << "the server does not offer DSN: --dsn is left out\n";
    }
    SendAll(o, message, session, err, accepted);
    EndSession(o, session, err);
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
