#include "km7d/AccountSignIn.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <istream>
#include <ostream>
#include <strings.h>

#include "alarms/MailSession.h"
#include "platform/DataProtection.h"
#include "platform/SecureWipe.h"
#include "platform/Text.h"
#include "platform/XdgPaths.h"
#include "smtp/OAuthAccount.h"
#include "smtp/OAuthSignIn.h"

namespace km7d {

namespace {

namespace oauth = km7::oauth;

// Set by SIGINT, SIGTERM or SIGHUP while the sign-in waits.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void OnStopSignal(int) { g_stop.store(true); }

// Ctrl-C ends the wait (and a request under way) rather than the process,
// so the terminal is left as it was and nothing half-stored remains.
class StopOnSignals {
 public:
  StopOnSignals() {
    g_stop.store(false);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    ::sigemptyset(&action.sa_mask);
    for (int i = 0; i < kCount; ++i) ::sigaction(kSignals[i], &action, &old_[i]);
  }
  ~StopOnSignals() {
    for (int i = 0; i < kCount; ++i) ::sigaction(kSignals[i], &old_[i], nullptr);
  }
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

 private:
  static constexpr int kCount = 3;
  static constexpr int kSignals[kCount] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction old_[kCount] {};
};

// What the provider sent, fit for a terminal: printable ASCII only, so no
// escape sequence of a server's reaches it; bounded.
std::string Shown(const std::string& text) {
  constexpr std::size_t kMaxShown = 1024;
  std::string shown;
  for (const char c : text.substr(0, kMaxShown)) shown += (c >= 0x20 && c < 0x7f) ? c : '?';
  return shown;
}

bool ReadClientSecret(const AccountRequest& r, std::istream& in, std::ostream& err, std::string& secret) {
  if (r.clientSecretFile == "-") return ReadSecret(in, err, "Client secret: ", secret);
  std::ifstream file(r.clientSecretFile, std::ios::binary);
  if (!file) {
    err << "km7d: cannot read the client secret file " << r.clientSecretFile << ": " << std::strerror(errno) << '\n';
    return false;
  }
  std::getline(file, secret);
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  if (secret.empty()) err << "km7d: the client secret file " << r.clientSecretFile << " holds no secret\n";
  return !secret.empty();
}

// The provider of the request, with its client secret; false after saying why.
bool ProviderOf(const AccountRequest& r, std::istream& in, std::ostream& err, oauth::Provider& provider) {
  oauth::Provider given;
  given.deviceUrl = r.deviceUrl;
  given.tokenUrl = r.tokenUrl;
  given.scope = r.scope;
  given.clientId = r.clientId;
  provider = oauth::ProviderFor(r.provider, given);
  if (const std::string missing = oauth::MissingForSignIn(provider); !missing.empty()) {
    err << "km7d: the sign-in lacks " << missing << '\n';
    return false;
  }
  return r.clientSecretFile.empty() || ReadClientSecret(r, in, err, provider.clientSecret);
}

// Prints the codes and waits for the user. 0, or the exit status.
int RunDeviceFlow(const AccountRequest& r, oauth::Account& account, std::ostream& out, std::ostream& err) {
  StopOnSignals stop;
  oauth::HttpOptions http;
  http.caFile = r.caFile;
  http.stop = &g_stop;
  try {
    const oauth::DeviceAuthorization device = oauth::StartDeviceAuthorization(account.provider, http);
    out << "To sign in as " << Shown(r.user) << ", open " << Shown(device.verificationUri) << "\nand enter the code "
        << Shown(device.userCode) << '\n';
    if (!device.verificationUriComplete.empty()) out << "(or open " << Shown(device.verificationUriComplete) << ")\n";
    out << "Waiting for the sign-in";
    if (device.expiresIn > 0) out << " (the code is valid for " << (device.expiresIn + 59) / 60 << " min)";
    out << "; Ctrl-C stops...\n" << std::flush;
    oauth::CompleteSignIn(account, device, http, &g_stop);
  } catch (const oauth::OAuthError& e) {
    if (g_stop.load() || e.kind() == oauth::OAuthError::Kind::Cancelled) {
      err << "km7d: the sign-in was stopped; nothing is stored\n";
      return 130;
    }
    err << "km7d: the sign-in failed: " << e.what() << '\n';
    return 1;
  }
  return 0;
}

// Whether a record of the accounts file (other than the one just dropped)
// still names the account file `name`.
bool NamedByARecord(const std::string& accountsFile, const std::string& name) {
  std::ifstream in(accountsFile, std::ios::binary);
  const std::string prefix = ProfileStore::ValueName(km7::profile::OAuth2Account.pattern, "");
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto eq = line.find('=');
    if (eq == std::string::npos || eq < prefix.size()) continue;
    if (::strncasecmp(line.c_str(), prefix.c_str(), prefix.size()) == 0 && line.substr(eq + 1) == name) return true;
  }
  return false;
}

// The sensor's records: the address sealed, no password, the account file.
bool WriteRecords(ProfileStore& accounts, const std::string& folder, const std::string& suffix,
                  const std::string& user, const std::string& name) {
  const std::string nameValue = ProfileStore::ValueName(km7::profile::OAuth2Account.pattern, suffix);
  const std::string before = accounts.ReadText(nameValue, "");
  if (!before.empty() && before != name && !ForgetServiceOAuth(accounts, folder, suffix)) return false;
  using km7::profile::PasswordE;
  using km7::profile::UsernameE;
  std::string address = km7::Utf8ToCp1252(user);
  const bool ok = accounts.WriteProtectedText(ProfileStore::ValueName(UsernameE.pattern, suffix), address) &&
                  accounts.WriteBinary(ProfileStore::ValueName(PasswordE.pattern, suffix), nullptr, 0) &&
                  accounts.WriteText(nameValue, name);
  km7::Wipe(address);
  return ok;
}

}  // namespace

bool ForgetServiceOAuth(ProfileStore& accounts, const std::string& folder, const std::string& suffix) {
  const std::string nameValue = ProfileStore::ValueName(km7::profile::OAuth2Account.pattern, suffix);
  const std::string name = accounts.ReadText(nameValue, "");
  if (name.empty()) return true;
  if (!accounts.WriteText(nameValue, "")) return false;
  // Another sensor may send with the same address, hence the same file.
  // Only a file of our own folder: the record is ours, but take no chances.
  const bool ours = name.rfind("oauth2/", 0) == 0 && name.find('/', 7) == std::string::npos;
  if (ours && !NamedByARecord(accounts.FilePath(), name)) ::unlink((folder + "/" + name).c_str());
  return true;
}

int SignIn(const AccountRequest& r, const std::string& folder, std::istream& in, std::ostream& out,
           std::ostream& err) {
  oauth::Account account;
  account.user = r.user;
  if (!ProviderOf(r, in, err, account.provider)) return 2;
  if (!km7::MakeFolders(folder, 0700)) {
    err << "km7d: cannot make the state folder " << folder << '\n';
    return 1;
  }
  if (const int status = RunDeviceFlow(r, account, out, err); status != 0) return status;

  const std::string name = km7::alarms::ServiceOAuthAccountName(r.user);
  const std::string path = folder + "/" + name;
  const km7::DataProtector key = km7::DataProtector::ForFolder(folder);
  std::string error;
  if (!oauth::SaveAccount(path, key, account, error)) {
    err << "km7d: signed in, but the account could not be stored: " << error << '\n';
    return 1;
  }
  const std::string file = km7::alarms::ServiceAccountsFile(folder);
  ProfileStore accounts(file, key);
  // Written under any umask: the file is the service user's alone.
  if (!WriteRecords(accounts, folder, km7::Utf8ToCp1252(r.sensor), r.user, name) ||
      ::chmod(file.c_str(), 0600) != 0) {
    err << "km7d: signed in, but the account of " << r.sensor << " could not be recorded in " << file << '\n';
    return 1;
  }
  out << "km7d: signed in; " << r.sensor << " sends as " << Shown(r.user) << " with the account stored in " << path
      << '\n';
  return 0;
}

}  // namespace km7d
