#include "km7d/AccountCommand.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <istream>
#include <ostream>
#include <vector>

#include <openssl/crypto.h>

#include "acquisition/D2xxLibrary.h"
#include "alarms/MailSession.h"
#include "km7d/AccountSignIn.h"
#include "platform/DataProtection.h"
#include "platform/Text.h"
#include "platform/XdgPaths.h"
#include "settings/ProfileStore.h"
#include "smtp/OAuthClient.h"

namespace km7d {

namespace {

// "set" and "sign-in" in a few words, after the synopsis.
constexpr char kAccountHow[] =
    "set reads the password from the terminal without echo, or from the first\n"
    "line of standard input; never from the command line. sign-in prints an\n"
    "address and a code to enter there, waits while you sign in with OAuth 2.0,\n"
    "and stores the refresh token for km7d.\n";

void Usage(std::ostream& out) {
  std::string synopsis = kAccountSynopsis;
  // "Usage:" in place of the first line's indent.
  synopsis.replace(0, 6, "Usage:");
  out << synopsis << kAccountHow;
}

using Request = AccountRequest;

struct OptionName {
  const char* name;
  std::string Request::*member;
  bool signInOnly;
};

constexpr OptionName kOptions[] = {
    {"--user", &Request::user, false},
    {"--state-dir", &Request::stateDir, false},
    {"--oauth2-provider", &Request::provider, true},
    {"--oauth2-device-url", &Request::deviceUrl, true},
    {"--oauth2-token-url", &Request::tokenUrl, true},
    {"--scope", &Request::scope, true},
    {"--client-id", &Request::clientId, true},
    {"--client-secret-file", &Request::clientSecretFile, true},
    {"--cafile", &Request::caFile, true},
};

// What the action lacks or has too much of, "" when nothing.
std::string CheckAction(const Request& r, bool signInOptions) {
  if (r.action != "set" && r.action != "sign-in" && r.action != "remove")
    return "unknown action \"" + r.action + "\"";
  if (r.sensor.empty()) return "the sensor name is empty";
  if (r.action == "remove" && !r.user.empty()) return "remove takes no --user";
  if (r.action != "sign-in" && signInOptions) return r.action + " takes no OAuth 2.0 options (they are sign-in's)";
  if (r.action == "set" && r.user.empty()) return "set needs --user NAME";
  if (r.action != "sign-in") return {};
  if (r.user.empty()) return "sign-in needs --user ADDRESS (the mail address to sign in as)";
  if (r.clientId.empty()) return "sign-in needs --client-id (the application registered with the provider)";
  if (!r.provider.empty()) {
    km7::oauth::Provider preset;
    if (!km7::oauth::ApplyPreset(r.provider, preset))
      return "bad --oauth2-provider \"" + r.provider + "\" (microsoft or google; or give the endpoints)";
  } else if (r.deviceUrl.empty() || r.tokenUrl.empty()) {
    return "sign-in needs --oauth2-provider microsoft|google, or --oauth2-device-url and --oauth2-token-url";
  }
  return {};
}

// The problem with the arguments, "" when there is none.
std::string Parse(int argc, const char* const* argv, Request& r) {
  std::vector<std::string> words;
  bool signInOptions = false;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    std::string name = a;
    const auto eq = a.find('=');
    if (a.rfind("--", 0) == 0 && eq != std::string::npos) name = a.substr(0, eq);
    const OptionName* option = nullptr;
    for (const OptionName& o : kOptions)
      if (name == o.name) option = &o;
    if (option == nullptr && a.rfind("--", 0) == 0) return "unknown option " + a;
    if (option == nullptr) {
      words.push_back(a);
      continue;
    }
    std::string& value = r.*(option->member);
    signInOptions = signInOptions || option->signInOnly;
    if (eq != std::string::npos) value = a.substr(eq + 1);
    else if (i + 1 < argc) value = argv[++i];
    if (value.empty()) return name + " needs a value";
  }
  if (words.size() != 2) return "expected an action and a sensor name";
  r.action = words[0];
  r.sensor = words[1];
  return CheckAction(r, signInOptions);
}

void Wipe(std::string& secret) {
  if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
  secret.clear();
}

}  // namespace

// The secret: typed at the terminal without echo, else the first line of
// standard input. False when there is none.
bool ReadSecret(std::istream& in, std::ostream& err, const char* prompt, std::string& secret) {
  const bool terminal = &in == &std::cin && ::isatty(STDIN_FILENO) == 1;
  termios saved{};
  if (terminal) {
    err << prompt << std::flush;
    if (::tcgetattr(STDIN_FILENO, &saved) == 0) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
  }
  const bool got = static_cast<bool>(std::getline(in, secret));
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    err << '\n';
  }
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  return got && !secret.empty();
}

namespace {

int Store(const Request& r, const std::string& folder, std::istream& in, std::ostream& out, std::ostream& err) {
  const std::string suffix = km7::Utf8ToCp1252(r.sensor);
  const std::string file = km7::alarms::ServiceAccountsFile(folder);
  if (!km7::MakeFolders(folder, 0700)) {
    err << "km7d: cannot make the state folder " << folder << '\n';
    return 1;
  }
  ProfileStore store(file, km7::DataProtector::ForFolder(folder));
  const std::string userValue = ProfileStore::ValueName(km7::profile::UsernameE.pattern, suffix);
  const std::string passwordValue = ProfileStore::ValueName(km7::profile::PasswordE.pattern, suffix);
  bool ok = false;
  if (r.action == "remove") {
    ok = store.WriteBinary(userValue, nullptr, 0) && store.WriteBinary(passwordValue, nullptr, 0) &&
         ForgetServiceOAuth(store, folder, suffix);
  } else {
    std::string password;
    if (!ReadSecret(in, err, "Password: ", password)) {
      err << "km7d: no password given; nothing stored\n";
      return 1;
    }
    std::string user = km7::Utf8ToCp1252(r.user);
    std::string sealed = km7::Utf8ToCp1252(password);
    ok = store.WriteProtectedText(userValue, user) && store.WriteProtectedText(passwordValue, sealed) &&
         ForgetServiceOAuth(store, folder, suffix);
    Wipe(password);
    Wipe(sealed);
    Wipe(user);
  }
  // Written under any umask: the file is the service user's alone.
  if (ok) ok = ::chmod(file.c_str(), 0600) == 0;
  if (!ok) {
    err << "km7d: the account of " << r.sensor << " could not be stored in " << file << '\n';
    return 1;
  }
  out << "km7d: the account of " << r.sensor << (r.action == "set" ? " is stored in " : " is removed from ")
      << file << '\n';
  return 0;
}

}  // namespace

std::string StateFolder(const std::string& given) {
  if (!given.empty()) return given;
  if (const char* systemd = std::getenv("STATE_DIRECTORY"); systemd != nullptr && systemd[0] == '/') {
    const std::string all = systemd;
    return all.substr(0, all.find(':'));
  }
  const std::string state = km7::StateHome();
  return state.empty() ? std::string() : state + "/km7";
}

int AccountCommand(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err) {
  if (argc == 1 && (std::string(argv[0]) == "--help" || std::string(argv[0]) == "-h")) {
    Usage(out);
    return 0;
  }
  Request r;
  if (const std::string problem = Parse(argc, argv, r); !problem.empty()) {
    err << "km7d account: " << problem << '\n';
    Usage(err);
    return 2;
  }
  const std::string folder = StateFolder(r.stateDir);
  if (folder.empty()) {
    err << "km7d: no state folder: give --state-dir DIR\n";
    return 2;
  }
  // Neither the key nor the accounts may be readable by anyone else.
  const mode_t old = ::umask(077);
  const int status = r.action == "sign-in" ? SignIn(r, folder, in, out, err) : Store(r, folder, in, out, err);
  ::umask(old);
  return status;
}

void PrepareService(const Options& options, std::ostream& err) {
  D2xxLibrary::SetProgram("km7d", "km7d(8)");
  km7::alarms::UseServiceAccounts(StateFolder(options.stateDir));
  if (options.mode == Mode::Run && !options.settingsFile.empty() && ::access(options.settingsFile.c_str(), F_OK) != 0)
    err << "km7d: no settings file " << options.settingsFile
        << "; running with the defaults\n";
}

}  // namespace km7d
