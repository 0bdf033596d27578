#include "MailOptions.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>

namespace km7::mail {
namespace {

std::string Lower(std::string_view s) {
  std::string r(s);
  std::transform(r.begin(), r.end(), r.begin(), [](unsigned char c) { return std::tolower(c); });
  return r;
}

template <typename T>
bool ParseUnsigned(std::string_view text, T& value, T min, T max) {
  if (text.empty() || text.size() > 19) return false;
  unsigned long long v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if (v < static_cast<unsigned long long>(min) || v > static_cast<unsigned long long>(max)) return false;
  value = static_cast<T>(v);
  return true;
}

enum class Opt {
  Help, Version, Verbose, Server, Port, Auth, User, PasswordFile, Proxy, ProxyPasswordFile, Bind, Timeout, Helo,
  StartTls, Tls, CaFile, Insecure,
  TokenCommand, Account, Authorize, Provider, DeviceUrl, TokenUrl, ClientId, ClientSecretFile, Scope,
  From, To, Cc, Bcc, Subject, Body, BodyFile, Attach, Mime, Dsn, Count, Data,
};

struct OptInfo {
  Opt id;
  bool takesValue;
};

const std::map<std::string, OptInfo, std::less<>>& Table() {
  static const std::map<std::string, OptInfo, std::less<>> table = {
      {"--help", {Opt::Help, false}},         {"-h", {Opt::Help, false}},
      {"--version", {Opt::Version, false}},
      {"--verbose", {Opt::Verbose, false}},   {"-v", {Opt::Verbose, false}},
      {"--server", {Opt::Server, true}},      {"--port", {Opt::Port, true}},
      {"--auth", {Opt::Auth, true}},          {"--user", {Opt::User, true}},
      {"--password-file", {Opt::PasswordFile, true}},
      {"--proxy", {Opt::Proxy, true}},        {"--bind", {Opt::Bind, true}},
      {"--timeout", {Opt::Timeout, true}},    {"--helo", {Opt::Helo, true}},
      {"--from", {Opt::From, true}},          {"--to", {Opt::To, true}},
      {"--cc", {Opt::Cc, true}},              {"--bcc", {Opt::Bcc, true}},
      {"--subject", {Opt::Subject, true}},    {"--body", {Opt::Body, true}},
      {"--body-file", {Opt::BodyFile, true}}, {"--attach", {Opt::Attach, true}},
      {"--mime", {Opt::Mime, false}},         {"--dsn", {Opt::Dsn, true}},
      {"--count", {Opt::Count, true}},
      {"--starttls", {Opt::StartTls, false}}, {"--tls", {Opt::Tls, false}},
      {"--cafile", {Opt::CaFile, true}},      {"--insecure", {Opt::Insecure, false}},
      {"--proxy-password-file", {Opt::ProxyPasswordFile, true}},
      {"--data", {Opt::Data, true}},
      {"--oauth2-token-command", {Opt::TokenCommand, true}},
      {"--oauth2-account", {Opt::Account, true}},
      {"--oauth2-authorize", {Opt::Authorize, false}},
      {"--oauth2-provider", {Opt::Provider, true}},
      {"--oauth2-device-url", {Opt::DeviceUrl, true}},
      {"--oauth2-token-url", {Opt::TokenUrl, true}},
      {"--client-id", {Opt::ClientId, true}},
      {"--client-secret-file", {Opt::ClientSecretFile, true}},
      {"--scope", {Opt::Scope, true}},
  };
  return table;
}

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

bool ParsePort(std::string_view text, uint16_t& port) {
  return ParseUnsigned<uint16_t>(text, port, 1, 65535);
}

bool UsesToken(const MailOptions& o) {
  if (o.auth == SMTPAuthMethod::XOAuth2 || o.auth == SMTPAuthMethod::OAuthBearer) return true;
  return o.auth == SMTPAuthMethod::AutoDetect && (!o.tokenCommand.empty() || !o.accountFile.empty());
}

bool ParseAuthMethod(std::string_view text, SMTPAuthMethod& method) {
  static const std::map<std::string, SMTPAuthMethod, std::less<>> names = {
      {"none", SMTPAuthMethod::None},   {"cram-md5", SMTPAuthMethod::CramMd5},
      {"login", SMTPAuthMethod::Login}, {"plain", SMTPAuthMethod::Plain},
      {"ntlm", SMTPAuthMethod::Ntlm},   {"auto", SMTPAuthMethod::AutoDetect},
      {"xoauth2", SMTPAuthMethod::XOAuth2}, {"oauthbearer", SMTPAuthMethod::OAuthBearer},
  };
  auto it = names.find(Lower(text));
  if (it == names.end()) return false;
  method = it->second;
  return true;
}

bool ParseProxyUrl(std::string_view url, ProxySpec& proxy, std::string& error) {
  ProxySpec p;
  auto sep = url.find("://");
  if (sep == std::string_view::npos) {
    error = "proxy must be socks4://HOST:PORT, socks5://[USER:PASSWORD@]HOST:PORT or http://[USER:PASSWORD@]HOST:PORT";
    return false;
  }
  std::string scheme = Lower(url.substr(0, sep));
  if (scheme == "socks4") {
    p.type = SMTPConnectionType::Socks4;
  } else if (scheme == "socks5") {
    p.type = SMTPConnectionType::Socks5;
  } else if (scheme == "http") {
    p.type = SMTPConnectionType::HttpProxy;
  } else {
    error = "unknown proxy scheme \"" + scheme + "\" (socks4, socks5 or http)";
    return false;
  }
  std::string_view rest = url.substr(sep + 3);
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  // The host part cannot hold "@", so the last one ends the credentials.
  auto at = rest.rfind('@');
  if (at != std::string_view::npos) {
    if (p.type == SMTPConnectionType::Socks4) {
      error = "a socks4 proxy takes no user name or password";
      return false;
    }
    std::string_view cred = rest.substr(0, at);
    auto colon = cred.find(':');
    p.user = std::string(cred.substr(0, colon));
    if (colon != std::string_view::npos) p.password = std::string(cred.substr(colon + 1));
    if (p.user.empty()) {
      error = "proxy user name is empty";
      return false;
    }
    rest = rest.substr(at + 1);
  }
  auto colon = rest.rfind(':');
  if (colon == std::string_view::npos || colon == 0) {
    error = "proxy needs HOST:PORT";
    return false;
  }
  p.host = std::string(rest.substr(0, colon));
  if (!ParsePort(rest.substr(colon + 1), p.port)) {
    error = "bad proxy port \"" + std::string(rest.substr(colon + 1)) + "\"";
    return false;
  }
  proxy = std::move(p);
  return true;
}

bool ParseDsn(std::string_view text, int32_t& flags, std::string& error) {
  std::string t = Lower(text);
  if (t == "never") {
    flags = 0;
    return true;
  }
  int32_t f = 0;
  size_t start = 0;
  for (;;) {
    size_t comma = t.find(',', start);
    std::string word = t.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (word == "success") {
      f |= CZRKSMTPMessage::DSN_SUCCESS;
    } else if (word == "failure") {
      f |= CZRKSMTPMessage::DSN_FAILURE;
    } else if (word == "delay") {
      f |= CZRKSMTPMessage::DSN_DELAY;
    } else {
      error = "bad --dsn \"" + std::string(text) + "\": use success,failure,delay (any of them) or never";
      return false;
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  flags = f;
  return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, MailOptions& o, std::string& error) {
  o = MailOptions{};
  bool bodyFileGiven = false;
  bool portGiven = false;
  bool startTlsGiven = false;
  bool tlsGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool inlineValue = false;
    if (name.rfind("--", 0) == 0) {
      auto eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
        inlineValue = true;
      }
    }
    auto it = Table().find(name);
    if (it == Table().end()) {
      error = "unknown option \"" + name + "\"";
      return false;
    }
    const OptInfo info = it->second;
    if (info.takesValue && !inlineValue) {
      if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return false;
      }
      value = args[++i];
    } else if (!info.takesValue && inlineValue) {
      error = name + " takes no value";
      return false;
    }
    switch (info.id) {
      case Opt::Help: o.help = true; break;
      case Opt::Version: o.version = true; break;
      case Opt::Verbose: o.verbose = true; break;
      case Opt::Server: o.server = value; break;
      case Opt::Port:
        if (!ParsePort(value, o.port)) {
          error = "bad --port \"" + value + "\" (1 to 65535)";
          return false;
        }
        portGiven = true;
        break;
      case Opt::StartTls: startTlsGiven = true; break;
      case Opt::Tls: tlsGiven = true; break;
      case Opt::CaFile:
        if (value.empty()) {
          error = "--cafile needs a file name";
          return false;
        }
        o.caFile = value;
        break;
      case Opt::Insecure: o.insecure = true; break;
      case Opt::Auth:
        if (!ParseAuthMethod(value, o.auth)) {
          error = "bad --auth \"" + value + "\" (none, cram-md5, login, plain, ntlm, xoauth2, oauthbearer or auto)";
          return false;
        }
        o.authGiven = true;
        break;
      case Opt::User: o.user = value; break;
      case Opt::PasswordFile: o.passwordFile = value; break;
      case Opt::Proxy:
        if (!ParseProxyUrl(value, o.proxy, error)) return false;
        break;
      case Opt::ProxyPasswordFile: o.proxyPasswordFile = value; break;
      case Opt::Data: o.dataFile = value; break;
      case Opt::Bind: o.bindAddress = value; break;
      case Opt::Timeout:
        if (!ParseUnsigned<uint32_t>(value, o.timeoutMs, 1, 24u * 3600u * 1000u)) {
          error = "bad --timeout \"" + value + "\" (milliseconds, 1 to 86400000)";
          return false;
        }
        break;
      case Opt::Helo: o.helo = value; break;
      case Opt::From: o.from = value; break;
      case Opt::To: o.to = value; break;
      case Opt::Cc: o.cc = value; break;
      case Opt::Bcc: o.bcc = value; break;
      case Opt::Subject: o.subject = value; break;
      case Opt::Body:
        o.body = value;
        o.hasBody = true;
        break;
      case Opt::BodyFile:
        o.bodyFile = value;
        bodyFileGiven = true;
        break;
      case Opt::Attach: o.attachments.push_back(value); break;
      case Opt::Mime: o.mime = true; break;
      case Opt::Dsn:
        if (!ParseDsn(value, o.dsnFlags, error)) return false;
        break;
      case Opt::TokenCommand: o.tokenCommand = value; break;
      case Opt::Account: o.accountFile = value; break;
      case Opt::Authorize: o.authorize = true; break;
      case Opt::Provider:
        if (Lower(value) != "microsoft" && Lower(value) != "google") {
          error = "bad --oauth2-provider \"" + value + "\" (microsoft or google; or give the endpoints)";
          return false;
        }
        o.provider = Lower(value);
        break;
      case Opt::DeviceUrl: o.deviceUrl = value; break;
      case Opt::TokenUrl: o.tokenUrl = value; break;
      case Opt::ClientId: o.clientId = value; break;
      case Opt::ClientSecretFile: o.clientSecretFile = value; break;
      case Opt::Scope: o.scope = value; break;
      case Opt::Count:
        if (!ParseUnsigned<long>(value, o.count, 1, kMaxCount)) {
          error = "bad --count \"" + value + "\" (1 to " + std::to_string(kMaxCount) + ")";
          return false;
        }
        break;
    }
  }
  if (o.help || o.version) return true;
  if (o.authorize) return CheckAuthorize(o, error);
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
  if (o.hasBody && bodyFileGiven) {
    error = "give --body or --body-file, not both";
    return false;
  }
  if (bodyFileGiven && o.bodyFile.empty()) {
    error = "--body-file needs a file name";
    return false;
  }
  if (startTlsGiven && tlsGiven) {
    error = "give --starttls or --tls, not both";
    return false;
  }
  if (startTlsGiven) o.security = SMTPSecurity::StartTls;
  if (tlsGiven) {
    o.security = SMTPSecurity::Tls;
    if (!portGiven) o.port = 465;  // the port of TLS from the first byte
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
  if (!o.dataFile.empty() &&
      (!o.subject.empty() || o.hasBody || bodyFileGiven || !o.attachments.empty() || o.mime)) {
    error = "--data sends a prepared message: --subject, --body, --body-file, --attach and --mime do not apply";
    return false;
  }
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
  if (o.helo.empty()) {
    error = "--helo needs a name";
    return false;
  }
  return true;
}

}  // namespace km7::mail
