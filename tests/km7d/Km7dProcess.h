#pragma once
// km7d run as a child process against simulated modules: its own folders for
// settings, state and logs, the simulated library on the loader path, output
// in files; stopped by its PID.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Harness.h"
#include "support/HttpClient.h"

namespace km7d_test {

using km7::it::Eventually;
using km7::it::ReadFile;
using km7::it::TempDir;
using km7::it::WriteFile;

// "[module]" sections for the simulated library, one per (description, °C).
std::string SimModules(const std::vector<std::pair<std::string, double>>& modules,
                       const std::string& extra = {});

class Km7dProcess {
 public:
  // The settings file (km7.INI) and km7d's folders live in `dir`; the
  // simulated modules are those of `simConfig`.
  Km7dProcess(const std::filesystem::path& dir, const std::string& simConfig);
  ~Km7dProcess();
  Km7dProcess(const Km7dProcess&) = delete;
  Km7dProcess& operator=(const Km7dProcess&) = delete;

  // More environment for the child (NOTIFY_SOCKET, WATCHDOG_USEC, ...).
  std::map<std::string, std::string> env;

  // Starts build/km7d with these arguments (--settings is added).
  bool Start(const std::vector<std::string>& args);
  // Starts km7d as Start does, with core dumps allowed, in the test's folder;
  // after `after`, SIGQUIT: whether the kernel wrote a core (nullopt: it
  // had ended before).
  std::optional<bool> DumpsCoreOnQuit(const std::vector<std::string>& args, std::chrono::milliseconds after);
  // Runs to the end, at most `timeout`; the exit status, -1 on a signal or
  // time-out (then killed).
  int Run(const std::vector<std::string>& args, std::chrono::milliseconds timeout = std::chrono::seconds(60));
  void Signal(int sig);
  // The exit status once it ended within `timeout`; -1 otherwise, or when a
  // signal ended it.
  int Wait(std::chrono::milliseconds timeout);
  bool Running();
  pid_t pid() const { return pid_; }

  std::string Out() const;
  std::string Err() const;
  // Waits until standard error holds `text`; false after `timeout` or when
  // the process ended first.
  bool WaitForErr(const std::string& text, std::chrono::milliseconds timeout);
  // The port of "metrics on http://HOST:PORT/metrics"; 0 when not (yet) said.
  int MetricsPort(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  std::filesystem::path SettingsFile() const { return dir_ / "km7.INI"; }
  std::filesystem::path SimConfigFile() const { return dir_ / "sim.conf"; }

 private:
  std::map<std::string, std::string> Environment() const;

  std::filesystem::path dir_;
  pid_t pid_ = -1;
  int status_ = -1;
};

// The body of GET path from 127.0.0.1:port; empty when no connection or no
// answer within `timeout`.
inline std::string HttpGet(int port, const std::string& path,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  return km7::test::HttpGet(port, path, timeout).body;
}

// A km7.INI line set in the desktop program's format.
void WriteSettings(const std::filesystem::path& file, const std::vector<std::string>& lines);

}  // namespace km7d_test
