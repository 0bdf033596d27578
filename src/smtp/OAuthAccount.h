#pragma once
// An account that logs in with OAuth 2.0: the provider and client, and the
// refresh token km7 keeps for it. On disk the account is a small JSON file
// of mode 0600; the refresh token and the client secret in it are sealed
// with the user's data-protection key, so a copied file opens for nobody
// else.
#include <string>
#include <string_view>

#include "platform/DataProtection.h"
#include "smtp/OAuthClient.h"

namespace km7::oauth {

struct Account {
  std::string user;  // the mail address the token is for
  Provider provider;
  std::string refreshToken;
  Account() = default;
  Account(const Account&) = default;
  Account& operator=(const Account&) = default;
  ~Account();  // wipes the secrets
};

// $XDG_CONFIG_HOME/km7/oauth2/<user>.json (~/.config when unset); characters
// of the user name other than letters, digits and "@._+-" become "_".
std::string DefaultAccountPath(std::string_view user);

// Reads and opens the account. False with a reason (missing file, damaged
// JSON, a seal that does not open for this user).
bool LoadAccount(const std::string& path, Account& account, std::string& error);

// Writes the account (replacing the file atomically; the folders are made
// with mode 0700). False with a reason.
bool SaveAccount(const std::string& path, const Account& account, std::string& error);

// The JSON text of an account and back, sealing and opening the secrets
// (the file's content; for the tests and the fuzz target).
bool AccountToJson(const Account& account, std::string& json, std::string& error);
bool AccountFromJson(std::string_view json, Account& account, std::string& error);

// The same, sealed with another key than the user's (a service's own, from
// DataProtector::ForFolder).
bool LoadAccount(const std::string& path, const km7::DataProtector& protector, Account& account, std::string& error);
bool SaveAccount(const std::string& path, const km7::DataProtector& protector, const Account& account,
                 std::string& error);
bool AccountToJson(const Account& account, const km7::DataProtector& protector, std::string& json,
                   std::string& error);
bool AccountFromJson(std::string_view json, const km7::DataProtector& protector, Account& account,
                     std::string& error);

}  // namespace km7::oauth
