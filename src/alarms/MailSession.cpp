#include "alarms/MailSession.h"

#include <openssl/crypto.h>

#include <unistd.h>

#include <cctype>

#include "alarms/AccountTokens.h"
#include "platform/DataProtection.h"
#include "settings/ProfileStore.h"
#include "smtp/ErrorMessages.h"
#include "smtp/OAuthAccount.h"

namespace km7::alarms {
namespace {

namespace values = km7::profile;

void Wipe(std::string& secret) {
  if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
  secret.clear();
}

std::string KeyReason() {
  const DataProtector::KeyCheck check = DataProtector().CheckKey();
  using State = DataProtector::KeyState;
  switch (check.state) {
    case State::Missing: return "the key file " + check.path + " is missing";
    case State::Usable: return "it was stored with another key than " + check.path;
    default: return "the key file " + check.path + " cannot be used";
  }
}

std::string& ServiceFolder() {
  static std::string folder;
  return folder;
}

// The service's own account of the sensor, when it has one: true with
// `found` set; false (with the reason) when it is there but does not open.
// An OAuth 2.0 account has no password: `oauthFile` names its file.
bool ReadServiceAccount(const std::string& suffix, std::string& userName, std::string& password,
                        std::string& oauthFile, bool& found, std::string& problem) {
  found = false;
  const std::string& folder = ServiceFolder();
  if (folder.empty()) return true;
  const std::string file = ServiceAccountsFile(folder);
  if (::access(file.c_str(), F_OK) != 0) return true;
  const km7::DataProtector protector = km7::DataProtector::ForFolder(folder);
  const ProfileStore store(file, protector);
  const std::string userValue = ProfileStore::ValueName(values::UsernameE.pattern, suffix);
  const auto stored = store.ReadBinary(userValue);
  if (!stored || stored->empty()) return true;
  found = true;
  const std::string passwordValue = ProfileStore::ValueName(values::PasswordE.pattern, suffix);
  const std::string oauthName = store.ReadText(ProfileStore::ValueName(values::OAuth2Account.pattern, suffix), "");
  if (!oauthName.empty()) oauthFile = folder + "/" + oauthName;
  if (store.ReadProtectedText(userValue, userName) &&
      (!oauthName.empty() || store.ReadProtectedText(passwordValue, password)))
    return true;
  Wipe(userName);
  Wipe(password);
  const DataProtector::KeyCheck check = protector.CheckKey();
  problem = "The service's account for " + suffix + " in " + file + " cannot be opened: " +
            (check.state == DataProtector::KeyState::Usable ? "it was stored with another key than " + check.path
                                                           : "the key file " + check.path + " is missing or unusable") +
            ". Set it again with \"km7d account " + (oauthName.empty() ? "set" : "sign-in") + "\".";
  return false;
}

// The stored account, the service's own first; `serviceOAuth` is the file of
// the service's OAuth 2.0 account when that is the one.
bool ReadAccount(const std::string& suffix, std::string& userName, std::string& password, std::string& serviceOAuth,
                 std::string& problem) {
  bool found = false;
  if (!ReadServiceAccount(suffix, userName, password, serviceOAuth, found, problem)) return false;
  if (found) return true;
  ProfileStore& s = ProfileStore::Instance();
  bool ok = true;
  for (auto [value, text] : {std::pair{&values::UsernameE, &userName}, std::pair{&values::PasswordE, &password}}) {
    const std::string name = ProfileStore::ValueName(value->pattern, suffix);
    if (s.ReadProtectedText(name, *text)) continue;
    const auto stored = s.ReadBinary(name);
    if (stored && !stored->empty()) ok = false;
  }
  if (!ok) {
    Wipe(userName);
    Wipe(password);
    problem = "The stored account for " + suffix + " cannot be opened: " + KeyReason() +
              ". Enter the user name and password again.";
  }
  return ok;
}

// The reply code at the start of the last response, 0 when there is none.
int ReplyCode(const std::string& response) {
  if (response.size() < 3) return 0;
  for (int i = 0; i < 3; ++i)
    if (!std::isdigit(static_cast<unsigned char>(response[std::size_t(i)]))) return 0;
  return std::stoi(response.substr(0, 3));
}

}  // namespace

bool UsesAccessToken(int authMethod) {
  const auto method = static_cast<SMTPAuthMethod>(authMethod);
  return authMethod == kAuthOAuth2 || method == SMTPAuthMethod::XOAuth2 || method == SMTPAuthMethod::OAuthBearer;
}

MailAccount::~MailAccount() {
  Wipe(userName);
  Wipe(password);
}

CZRKSMTPException ConnectionFailed() {
  return CZRKSMTPException(FACILITY_ITF, IDS_CONNECTION_FAILED, std::string());
}

void ConnectSession(CZRKSMTPConnection& session, const ServerSettings& settings,
                    const std::string& userName, const std::string& password) {
  if (session.IsConnected()) session.Disconnect(true);
  if (settings.port < 1 || settings.port > 65535 || settings.security < 0 || settings.security > 2)
    throw CZRKSMTPException(FACILITY_WIN32, WSAEINVAL, std::string());
  session.SetSecurity(static_cast<SMTPSecurity>(settings.security));
  session.Connect(settings.server, static_cast<SMTPAuthMethod>(settings.authMethod), userName,
                  password, static_cast<uint16_t>(settings.port));
  if (!session.IsConnected()) throw ConnectionFailed();
}

void ConnectSession(CZRKSMTPConnection& session, const MailAccount& account) {
  if (!UsesAccessToken(account.server.authMethod)) {
    session.SetCredentialIsToken(false);
    ConnectSession(session, account.server, account.userName, account.password);
    return;
  }
  std::string error;
  const std::shared_ptr<km7::oauth::TokenSource> tokens =
      account.oauthKeyFolder.empty()
          ? AccountTokenSource(account.oauthAccount, error)
          : AccountTokenSource(account.oauthAccount, DataProtector::ForFolder(account.oauthKeyFolder), error);
  if (!tokens) throw CZRKSMTPException(FACILITY_ITF, IDS_NO_ACCESS_TOKEN, error);
  std::string token;
  try {
    token = tokens->AccessToken();
  } catch (const km7::oauth::OAuthError& e) {
    throw CZRKSMTPException(FACILITY_ITF, IDS_NO_ACCESS_TOKEN, e.what());
  }
  ServerSettings server = account.server;
  // "OAuth 2.0" leaves the choice of token mechanism to the server's offer.
  if (server.authMethod == kAuthOAuth2) server.authMethod = static_cast<int>(SMTPAuthMethod::AutoDetect);
  session.SetCredentialIsToken(true);
  try {
    ConnectSession(session, server, account.userName, token);
  } catch (const CZRKSMTPException& e) {
    Wipe(token);
    if ((e.GetErrorCode() & 0xffffu) == IDS_OAUTH_TOKEN_REFUSED) tokens->Forget();
    throw;
  }
  Wipe(token);
}

std::string ReadOAuthAccountSetting(const std::string& suffix, const std::string& userName) {
  const std::string path = ProfileStore::Instance().ReadText(values::OAuth2Account, suffix);
  return path.empty() ? km7::oauth::DefaultAccountPath(userName) : path;
}

int ReadSecuritySetting(const std::string& suffix) {
  return ProfileStore::Instance().ReadInt(values::MailSecurity, suffix);
}

void UseServiceAccounts(const std::string& folder) { ServiceFolder() = folder; }

std::string ServiceAccountsFile(const std::string& folder) { return folder + "/accounts.INI"; }

std::string ServiceOAuthAccountName(const std::string& user) {
  // Named as the user's own file is, in a folder of the service's.
  const std::string path = km7::oauth::DefaultAccountPath(user);
  return "oauth2/" + path.substr(path.rfind('/') + 1);
}

bool ReadStoredAccount(const std::string& suffix, std::string& userName, std::string& password,
                       std::string& problem) {
  std::string serviceOAuth;
  return ReadAccount(suffix, userName, password, serviceOAuth, problem);
}

MailAccount ReadMailAccount(const std::string& suffix) {
  ProfileStore& s = ProfileStore::Instance();
  MailAccount a;
  a.server.server = s.ReadText(values::ServerName, suffix);
  a.server.port = s.ReadInt(values::PortNumber, suffix);
  a.server.authMethod = s.ReadInt(values::Authenticate, suffix);
  a.server.security = ReadSecuritySetting(suffix);
  std::string serviceOAuth;
  ReadAccount(suffix, a.userName, a.password, serviceOAuth, a.problem);
  if (!serviceOAuth.empty()) {
    if (!UsesAccessToken(a.server.authMethod)) a.server.authMethod = kAuthOAuth2;
    a.oauthAccount = serviceOAuth;
    a.oauthKeyFolder = ServiceFolder();
  } else if (UsesAccessToken(a.server.authMethod)) {
    a.oauthAccount = ReadOAuthAccountSetting(suffix, a.userName);
  }
  return a;
}

bool SendsPasswordInClear(int authMethod, int security) {
  const auto method = static_cast<SMTPAuthMethod>(authMethod);
  return security == 0 && (method == SMTPAuthMethod::Login || method == SMTPAuthMethod::Plain);
}

bool IsTemporaryFailure(const CZRKSMTPException& e) {
  const uint32_t facility = SMTPErrorFacility(e.GetErrorCode());
  if (facility == FACILITY_WIN32) return true;  // refused, reset, unresolved, timed out
  const uint32_t id = e.GetErrorCode() & 0xffffu;
  if (id == IDS_INVALID_ADDRESS || id == IDS_INVALID_HELO_NAME) return false;
  const int code = ReplyCode(e.GetLastResponse());
  return code < 500;
}

}  // namespace km7::alarms
