#include "MailOptions.h"

#include "MailOptionTable.h"

namespace km7::mail {
namespace {

bool UsesStoredAccount(const MailOptions& o) { return UsesToken(o) && o.tokenCommand.empty(); }

// The sign-in needs an account to store and a provider to ask; it sends no
// mail.
bool CheckAuthorize(MailOptions& o, std::string& error) {
  if (o.user.empty()) {
    error = "--oauth2-authorize needs --user (the mail address to sign in as)";
    return false;
  }
  if (o.provider.empty() && (o.deviceUrl.empty() || o.tokenUrl.empty())) {
    error = "--oauth2-authorize needs --oauth2-provider microsoft|google, or --oauth2-device-url and "
            "--oauth2-token-url";
    return false;
  }
  if (o.clientId.empty()) {
    error = "--oauth2-authorize needs --client-id (the application registered with the provider)";
    return false;
  }
  if (!o.tokenCommand.empty() || !o.passwordFile.empty()) {
    error = "--oauth2-authorize stores a refresh token: --oauth2-token-command and --password-file do not apply";
    return false;
  }
  if (o.insecure) {
    error = "--oauth2-authorize always checks the server's certificate: --insecure does not apply";
    return false;
  }
  return true;
}

bool CheckToken(const MailOptions& o, std::string& error) {
  if (!o.tokenCommand.empty() && !o.accountFile.empty()) {
    error = "give --oauth2-token-command or --oauth2-account, not both";
    return false;
  }
  if (UsesToken(o)) {
    if (o.user.empty()) {
      error = "an access token needs --user (the mail address it is for)";
      return false;
    }
    if (!o.passwordFile.empty()) {
      error = "an access token takes the place of the password: --password-file does not apply";
      return false;
    }
  } else if (!o.tokenCommand.empty() || !o.accountFile.empty()) {
    error = "--oauth2-token-command and --oauth2-account need --auth xoauth2, oauthbearer or auto";
    return false;
  }
  return true;
}

}  // namespace

bool UsesToken(const MailOptions& o) {
  if (o.auth == SMTPAuthMethod::XOAuth2 || o.auth == SMTPAuthMethod::OAuthBearer) return true;
  return o.auth == SMTPAuthMethod::AutoDetect && (!o.tokenCommand.empty() || !o.accountFile.empty());
}

namespace {

// Splits "--name=value"; looks the name up; takes the value from the next
// argument when it was not given inline. Returns the option, or nullptr with
// the reason in error.
const MailOptionSpec* NextOption(const std::vector<std::string>& args, size_t& i, std::string& value,
                                 std::string& error) {
  std::string name = args[i];
  bool inlineValue = false;
  if (name.rfind("--", 0) == 0) {
    if (const auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      inlineValue = true;
    }
  }
  const MailOptionSpec* spec = FindMailOption(name);
  if (spec == nullptr) {
    error = "unknown option \"" + name + "\"";
    return nullptr;
  }
  const bool takesValue = spec->argName != nullptr;
  if (takesValue && !inlineValue) {
    if (i + 1 >= args.size()) {
      error = name + " needs a value";
      return nullptr;
    }
    value = args[++i];
  } else if (!takesValue && inlineValue) {
    error = name + " takes no value";
    return nullptr;
  }
  return spec;
}

bool CheckMessage(const OptionParse& p, std::string& error) {
  const MailOptions& o = p.options;
  if (o.server.empty()) {
    error = "--server is required";
    return false;
  }
  if (o.from.empty()) {
    error = "--from is required";
    return false;
  }
  if (o.to.empty()) {
    error = "--to is required";
    return false;
  }
  if (o.hasBody && p.bodyFileGiven) {
    error = "give --body or --body-file, not both";
    return false;
  }
  if (p.bodyFileGiven && o.bodyFile.empty()) {
    error = "--body-file needs a file name";
    return false;
  }
  if (!o.dataFile.empty() &&
      (!o.subject.empty() || o.hasBody || p.bodyFileGiven || !o.attachments.empty() || o.mime)) {
    error = "--data sends a prepared message: --subject, --body, --body-file, --attach and --mime do not apply";
    return false;
  }
  return true;
}

// Security and authentication; fills in what follows from the options given.
bool CheckSession(OptionParse& p, std::string& error) {
  MailOptions& o = p.options;
  if (p.startTlsGiven && p.tlsGiven) {
    error = "give --starttls or --tls, not both";
    return false;
  }
  if (p.startTlsGiven) o.security = SMTPSecurity::StartTls;
  if (p.tlsGiven) {
    o.security = SMTPSecurity::Tls;
    if (!p.portGiven) o.port = 465;  // the port of TLS from the first byte
  }
  if (!o.authGiven) {
    const bool tokenSource = !o.tokenCommand.empty() || !o.accountFile.empty();
    o.auth = o.user.empty() && !tokenSource ? SMTPAuthMethod::None : SMTPAuthMethod::AutoDetect;
  }
  if (!CheckToken(o, error)) return false;
  // A CA file may be for the token endpoint alone.
  if ((o.insecure || (!o.caFile.empty() && !UsesStoredAccount(o))) && o.security == SMTPSecurity::None) {
    error = std::string(o.insecure ? "--insecure" : "--cafile") + " needs --starttls or --tls";
    return false;
  }
  if (o.insecure && !o.caFile.empty()) {
    error = "give --cafile or --insecure, not both";
    return false;
  }
  if (o.helo.empty()) {
    error = "--helo needs a name";
    return false;
  }
  return true;
}

bool CheckInputs(const MailOptions& o, std::string& error) {
  if (!o.proxyPasswordFile.empty()) {
    if (o.proxy.user.empty()) {
      error = "--proxy-password-file needs a user name in --proxy (socks5://USER@H:P or http://USER@H:P)";
      return false;
    }
    if (!o.proxy.password.empty()) {
      error = "give the proxy password in --proxy or in --proxy-password-file, not both";
      return false;
    }
  }
  int fromStandardInput = 0;
  for (const std::string* source :
       {&o.passwordFile, &o.proxyPasswordFile, &o.dataFile, &o.bodyFile, &o.clientSecretFile}) {
    fromStandardInput += *source == "-" ? 1 : 0;
  }
  if (fromStandardInput > 1) {
    error = "only one of --password-file, --proxy-password-file, --client-secret-file, --data and --body-file "
            "can read standard input";
    return false;
  }
  return true;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, MailOptions& o, std::string& error) {
  o = MailOptions{};
  OptionParse parse{o};
  for (size_t i = 0; i < args.size(); ++i) {
    std::string value;
    const MailOptionSpec* spec = NextOption(args, i, value, error);
    if (spec == nullptr || !spec->apply(parse, value, error)) return false;
  }
  if (o.help || o.version) return true;
  if (o.authorize) return CheckAuthorize(o, error);
  return CheckMessage(parse, error) && CheckSession(parse, error) && CheckInputs(o, error);
}

}  // namespace km7::mail
