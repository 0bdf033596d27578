// The values of km7-mail's options, each on its own.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>

#include "MailOptions.h"

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

}  // namespace

bool ParsePort(std::string_view text, uint16_t& port) {
  return ParseUnsigned<uint16_t>(text, port, 1, 65535);
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

bool ParseTimeout(std::string_view text, uint32_t& ms) {
  return ParseUnsigned<uint32_t>(text, ms, 1, 24u * 3600u * 1000u);
}

bool ParseCount(std::string_view text, long& count) { return ParseUnsigned<long>(text, count, 1, kMaxCount); }

bool ParseProvider(std::string_view text, std::string& provider) {
  std::string name = Lower(text);
  if (name != "microsoft" && name != "google") return false;
  provider = std::move(name);
  return true;
}

}  // namespace km7::mail
