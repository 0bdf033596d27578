#include "Km7dProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace km7d_test {

std::string SimModules(const std::vector<std::pair<std::string, double>>& modules,
                       const std::string& extra) {
  std::string text = "temperature_conversion_ms = 20\nhumidity_conversion_ms = 10\n";
  int n = 0;
  for (const auto& [description, celsius] : modules) {
    text += "[module]\ndescription = " + description + "\nserial = KM7T000" + std::to_string(++n) +
            "\ntemperature = " + std::to_string(celsius) + "\nhumidity = 40\ndrift = 0\n" + extra;
  }
  return text;
}

void WriteSettings(const fs::path& file, const std::vector<std::string>& lines) {
  std::string text = "[MyORVKM7Ap]\r\n";
  for (const std::string& l : lines) text += l + "\r\n";
  WriteFile(file, text);
}

Km7dProcess::Km7dProcess(const fs::path& dir, const std::string& simConfig) : dir_(dir) {
  WriteFile(SimConfigFile(), simConfig);
  if (!fs::exists(SettingsFile())) WriteSettings(SettingsFile(), {});
  for (const char* sub : {"config", "state", "data"}) fs::create_directories(dir_ / sub);
}

Km7dProcess::~Km7dProcess() {
  if (pid_ > 0 && Running()) {
    ::kill(pid_, SIGKILL);
    Wait(5s);
  }
}

std::map<std::string, std::string> Km7dProcess::Environment() const {
  std::map<std::string, std::string> all{
      {"LD_LIBRARY_PATH", KM7_SIM_DIR},
      {"KM7_SIM_CONFIG", SimConfigFile().string()},
      {"XDG_CONFIG_HOME", (dir_ / "config").string()},
      {"XDG_STATE_HOME", (dir_ / "state").string()},
      {"XDG_DATA_HOME", (dir_ / "data").string()},
      {"HOME", dir_.string()},
  };
  for (const auto& [k, v] : env) all[k] = v;
  return all;
}

std::optional<bool> Km7dProcess::DumpsCoreOnQuit(const std::vector<std::string>& args,
                                                 std::chrono::milliseconds after) {
  std::vector<std::string> argv{KM7D_PROGRAM, "--settings", SettingsFile().string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return km7::it::DumpsCoreOnQuit(argv, dir_, after, Environment());
}

bool Km7dProcess::Start(const std::vector<std::string>& args) {
  std::vector<std::string> argv{KM7D_PROGRAM, "--settings", SettingsFile().string()};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::map<std::string, std::string> all = Environment();
  const std::string out = (dir_ / "km7d.out").string(), err = (dir_ / "km7d.err").string();
  pid_ = ::fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    // Only what the test sets decides: no inherited service variables.
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");
    ::unsetenv("DISPLAY");
    for (const auto& [k, v] : all) ::setenv(k.c_str(), v.c_str(), 1);
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int n = ::open("/dev/null", O_RDONLY);
    ::dup2(n, 0);
    ::dup2(o, 1);
    ::dup2(e, 2);
    // The test's blocked signals must not be km7d's.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    ::execv(cargv[0], cargv.data());
    ::_exit(127);
  }
  status_ = -1;
  return true;
}

int Km7dProcess::Run(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
  if (!Start(args)) return -1;
  const int code = Wait(timeout);
  if (Running()) {
    ::kill(pid_, SIGKILL);
    Wait(5s);
    return -1;
  }
  return code;
}

void Km7dProcess::Signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

bool Km7dProcess::Running() {
  if (pid_ <= 0) return false;
  int st = 0;
  const pid_t r = ::waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    pid_ = -pid_;  // reaped; keep it for messages
    return false;
  }
  return r == 0;
}

int Km7dProcess::Wait(std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (Running()) {
    if (std::chrono::steady_clock::now() >= end) return -1;
    std::this_thread::sleep_for(5ms);
  }
  return status_;
}

std::string Km7dProcess::Out() const { return ReadFile(dir_ / "km7d.out"); }
std::string Km7dProcess::Err() const { return ReadFile(dir_ / "km7d.err"); }

bool Km7dProcess::WaitForErr(const std::string& text, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (Err().find(text) != std::string::npos) return true;
    if (!Running() || std::chrono::steady_clock::now() >= end) return Err().find(text) != std::string::npos;
    std::this_thread::sleep_for(20ms);
  }
}

int Km7dProcess::MetricsPort(std::chrono::milliseconds timeout) {
  static const std::regex re(R"(metrics on http://[^ ]*:(\d+)/metrics)");
  if (!WaitForErr("/metrics", timeout)) return 0;
  std::smatch m;
  const std::string err = Err();
  return std::regex_search(err, m, re) ? std::stoi(m[1]) : 0;
}

}  // namespace km7d_test
