#pragma once
// One attempt's worth of mail-server knowledge: the server settings and the
// account a sensor's mail is sent with, opening a session on them, and
// whether a failure is worth another try. Read on the thread that owns the
// settings store; the snapshot then travels to whichever thread sends.
#include <string>

#include "smtp/SMTPConnection.h"
#include "smtp/SMTPException.h"

namespace km7::alarms {

// The server settings a connection uses, as stored for one sensor.
struct ServerSettings {
  std::string server;
  int port = 25;
  int authMethod = 0;  // SMTPAuthMethod, or kAuthOAuth2
  int security = 0;    // SMTPSecurity: 0 none, 1 STARTTLS, 2 TLS
};

// The stored method "OAuth 2.0": an access token in place of the password,
// with the token mechanism the server offers.
inline constexpr int kAuthOAuth2 = 8;
// The method logs in with an access token (OAuth 2.0, XOAUTH2, OAUTHBEARER).
bool UsesAccessToken(int authMethod);

// The server settings with the account. The credentials are wiped when the
// snapshot goes.
struct MailAccount {
  ServerSettings server;
  std::string userName;
  std::string password;
  // The OAuth 2.0 account file the access token comes from.
  std::string oauthAccount;
  // The folder whose key seals that file (a service's own); "": the user's.
  std::string oauthKeyFolder;
  // Not empty when a stored account exists but cannot be opened: why. Such
  // an account is never replaced by an empty login.
  std::string problem;

  MailAccount() = default;
  MailAccount(const MailAccount& other) = default;
  MailAccount& operator=(const MailAccount& other) = default;
  ~MailAccount();
};

// The connection failure a session reports when Connect returned without
// being connected (0x80040066, "Connection failed").
CZRKSMTPException ConnectionFailed();

// Opens session: disconnects it first when it is still connected, connects,
// and raises ConnectionFailed() when it is not connected afterwards. A port
// outside 1..65535, or a security mode this program does not know, is refused
// without a connection attempt: an unknown mode must not fall back to
// sending the password in the clear.
void ConnectSession(CZRKSMTPConnection& session, const ServerSettings& settings,
                    const std::string& userName, const std::string& password);

// The same with the whole account: a method that uses an access token gets
// one from the account's token source first (on the calling thread, which
// may wait for the provider); a token that cannot be had raises
// IDS_NO_ACCESS_TOKEN with the cause, and one the server refuses is renewed
// for the next attempt.
void ConnectSession(CZRKSMTPConnection& session, const MailAccount& account);

// The OAuth 2.0 account file stored for the sensor; absent: the default
// place for the user name.
std::string ReadOAuthAccountSetting(const std::string& suffix, const std::string& userName);

// The security mode stored for the sensor (absent: none).
int ReadSecuritySetting(const std::string& suffix);

// A service's own accounts (km7d account set): the file accounts.INI in the
// service's state folder, sealed under that folder's key. Once set (at
// start-up, before any thread reads an account), a sensor's account there
// takes the place of the one in the settings file; "" turns it off.
void UseServiceAccounts(const std::string& folder);
std::string ServiceAccountsFile(const std::string& folder);
// A service's OAuth 2.0 account of `user` (km7d account sign-in): the file's
// name relative to the state folder, as the accounts file records it for a
// sensor, so that the folder may be reached by another path.
std::string ServiceOAuthAccountName(const std::string& user);

// The stored account of the sensor. Returns false (with `problem`) when a
// stored user name or password exists but cannot be opened.
bool ReadStoredAccount(const std::string& suffix, std::string& userName, std::string& password,
                       std::string& problem);

// Everything a sensor's mail is sent with, from the settings store. A
// service's own OAuth 2.0 account makes the mail log in with its tokens,
// whatever method the settings name.
MailAccount ReadMailAccount(const std::string& suffix);

// A password would go over an unprotected connection.
bool SendsPasswordInClear(int authMethod, int security);

// A failure that may pass: a 4xx reply, no answer in time, a refused or
// broken connection, a name that could not be resolved. A 5xx reply is
// permanent; so is a message the client itself refuses.
bool IsTemporaryFailure(const CZRKSMTPException& e);

}  // namespace km7::alarms
