#include "smtp/OAuthAccount.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "platform/DataProtection.h"
#include "platform/SecureWipe.h"
#include "platform/TextFileWriter.h"
#include "platform/XdgPaths.h"
#include "smtp/Encoding.h"

namespace km7::oauth {

namespace {

using nlohmann::json;

constexpr int kVersion = 1;

bool Seal(const km7::DataProtector& protector, const std::string& secret, std::string& sealed, std::string& error) {
  sealed.clear();
  if (secret.empty()) return true;
  std::vector<unsigned char> blob;
  if (!protector.Protect(reinterpret_cast<const unsigned char*>(secret.data()), secret.size(), blob)) {
    error = "cannot seal the secret with the data-protection key (" + protector.CheckKey().path + ")";
    return false;
  }
  sealed = km7::Base64Encode(std::string_view(reinterpret_cast<const char*>(blob.data()), blob.size()),
                             km7::BASE64_NO_LINE_BREAKS);
  return true;
}

bool Open(const km7::DataProtector& protector, const std::string& sealed, std::string& secret, const char* what,
          std::string& error) {
  km7::Wipe(secret);
  if (sealed.empty()) return true;
  const std::string blob = km7::Base64Decode(sealed);
  km7::SecretBytes plain;
  if (blob.empty() || !protector.Unprotect(reinterpret_cast<const unsigned char*>(blob.data()),
                                                       blob.size(), plain)) {
    error = std::string("the stored ") + what +
            " does not open for this user on this machine (damaged, or sealed for someone else)";
    return false;
  }
  secret.assign(reinterpret_cast<const char*>(plain.Data()), plain.Size());
  return true;
}

std::string Text(const json& object, const char* name) {
  const auto it = object.find(name);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

Account::~Account() {
  km7::Wipe(refreshToken);
  km7::Wipe(provider.clientSecret);
}

std::string DefaultAccountPath(std::string_view user) {
  std::string name;
  for (const char c : user) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '@' ||
                      c == '.' || c == '_' || c == '+' || c == '-';
    name += keep ? c : '_';
  }
  // "." and ".." would name folders.
  if (name.empty() || name.find_first_not_of('.') == std::string::npos) name = "_" + name;
  return km7::ConfigHome() + "/km7/oauth2/" + name + ".json";
}

bool AccountToJson(const Account& account, std::string& text, std::string& error) {
  return AccountToJson(account, km7::DataProtector(), text, error);
}

bool AccountToJson(const Account& account, const km7::DataProtector& protector, std::string& text,
                   std::string& error) {
  std::string refresh;
  std::string secret;
  if (!Seal(protector, account.refreshToken, refresh, error) ||
      !Seal(protector, account.provider.clientSecret, secret, error))
    return false;
  json value = {
      {"version", kVersion},
      {"user", account.user},
      {"device_url", account.provider.deviceUrl},
      {"token_url", account.provider.tokenUrl},
      {"client_id", account.provider.clientId},
      {"scope", account.provider.scope},
      {"client_secret_sealed", secret},
      {"refresh_token_sealed", refresh},
  };
  // Names and addresses as the user typed them; invalid UTF-8 is replaced.
  text = value.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  return true;
}

bool AccountFromJson(std::string_view text, Account& account, std::string& error) {
  return AccountFromJson(text, km7::DataProtector(), account, error);
}

bool AccountFromJson(std::string_view text, const km7::DataProtector& protector, Account& account,
                     std::string& error) {
  const json value = json::parse(text.begin(), text.end(), nullptr, false);
  if (value.is_discarded() || !value.is_object()) {
    error = "the account file is not a JSON object";
    return false;
  }
  const auto version = value.find("version");
  if (version == value.end() || !version->is_number_integer() || version->get<long long>() != kVersion) {
    error = "the account file has a version this program does not know";
    return false;
  }
  Account read;
  read.user = Text(value, "user");
  read.provider.deviceUrl = Text(value, "device_url");
  read.provider.tokenUrl = Text(value, "token_url");
  read.provider.clientId = Text(value, "client_id");
  read.provider.scope = Text(value, "scope");
  if (read.provider.tokenUrl.empty() || read.provider.clientId.empty()) {
    error = "the account file names no token endpoint or no client id";
    return false;
  }
  if (!Open(protector, Text(value, "refresh_token_sealed"), read.refreshToken, "refresh token", error) ||
      !Open(protector, Text(value, "client_secret_sealed"), read.provider.clientSecret, "client secret", error)) {
    return false;
  }
  account = read;
  return true;
}

bool LoadAccount(const std::string& path, Account& account, std::string& error) {
  return LoadAccount(path, km7::DataProtector(), account, error);
}

bool LoadAccount(const std::string& path, const km7::DataProtector& protector, Account& account,
                 std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = errno == ENOENT ? "no OAuth 2.0 account is stored in \"" + path + "\" (sign in first)"
                            : "cannot read \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!AccountFromJson(text.str(), protector, account, error)) {
    error = "\"" + path + "\": " + error;
    return false;
  }
  return true;
}

bool SaveAccount(const std::string& path, const Account& account, std::string& error) {
  return SaveAccount(path, km7::DataProtector(), account, error);
}

bool SaveAccount(const std::string& path, const km7::DataProtector& protector, const Account& account,
                 std::string& error) {
  std::string text;
  if (!AccountToJson(account, protector, text, error)) return false;
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !km7::MakeFolders(path.substr(0, slash), 0700)) {
    error = "cannot make the folder of \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  if (!km7::ReplaceFileAtomically(path, text, 0600)) {
    error = "cannot write \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  // An older file keeps its mode: make sure it is the owner's alone.
  ::chmod(path.c_str(), 0600);
  return true;
}

}  // namespace km7::oauth
