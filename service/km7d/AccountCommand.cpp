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
#include "platform/DataProtection.h"
#include "platform/Text.h"
#include "platform/XdgPaths.h"
#include "settings/ProfileStore.h"

namespace km7d {

namespace {

constexpr char kUsage[] =
    "Usage: km7d account set SENSOR --user NAME [--state-dir DIR]\n"
    "       km7d account remove SENSOR [--state-dir DIR]\n"
    "The password is read from the terminal without echo, or from the first line\n"
    "of standard input; never from the command line.\n";

struct Request {
  std::string action;
  std::string sensor;  // UTF-8
  std::string user;
  std::string stateDir;
};

// The problem with the arguments, "" when there is none.
std::string Parse(int argc, const char* const* argv, Request& r) {
  std::vector<std::string> words;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    std::string* value = nullptr;
    std::string name = a;
    const auto eq = a.find('=');
    if (a.rfind("--", 0) == 0 && eq != std::string::npos) name = a.substr(0, eq);
    if (name == "--user") value = &r.user;
    else if (name == "--state-dir") value = &r.stateDir;
    else if (a.rfind("--", 0) == 0) return "unknown option " + a;
    if (value == nullptr) {
      words.push_back(a);
      continue;
    }
    if (eq != std::string::npos) *value = a.substr(eq + 1);
    else if (i + 1 < argc) *value = argv[++i];
    if (value->empty()) return name + " needs a value";
  }
  if (words.size() != 2) return "expected an action and a sensor name";
  r.action = words[0];
  r.sensor = words[1];
  if (r.action != "set" && r.action != "remove") return "unknown action \"" + r.action + "\"";
  if (r.sensor.empty()) return "the sensor name is empty";
  if (r.action == "set" && r.user.empty()) return "set needs --user NAME";
  if (r.action == "remove" && !r.user.empty()) return "remove takes no --user";
  return {};
}

void Wipe(std::string& secret) {
  if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
  secret.clear();
}

// The password: typed at the terminal without echo, else the first line of
// standard input. False when there is none.
bool ReadPassword(std::istream& in, std::ostream& err, std::string& password) {
  const bool terminal = &in == &std::cin && ::isatty(STDIN_FILENO) == 1;
  termios saved{};
  if (terminal) {
    err << "Password: " << std::flush;
    if (::tcgetattr(STDIN_FILENO, &saved) == 0) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
  }
  const bool got = static_cast<bool>(std::getline(in, password));
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    err << '\n';
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return got && !password.empty();
}

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
    ok = store.WriteBinary(userValue, nullptr, 0) && store.WriteBinary(passwordValue, nullptr, 0);
  } else {
    std::string password;
    if (!ReadPassword(in, err, password)) {
      err << "km7d: no password given; nothing stored\n";
      return 1;
    }
    std::string user = km7::Utf8ToCp1252(r.user);
    std::string sealed = km7::Utf8ToCp1252(password);
    ok = store.WriteProtectedText(userValue, user) && store.WriteProtectedText(passwordValue, sealed);
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
    out << kUsage;
    return 0;
  }
  Request r;
  if (const std::string problem = Parse(argc, argv, r); !problem.empty()) {
    err << "km7d account: " << problem << '\n' << kUsage;
    return 2;
  }
  const std::string folder = StateFolder(r.stateDir);
  if (folder.empty()) {
    err << "km7d: no state folder: give --state-dir DIR\n";
    return 2;
  }
  // Neither the key nor the accounts may be readable by anyone else.
  const mode_t old = ::umask(077);
  const int status = Store(r, folder, in, out, err);
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
