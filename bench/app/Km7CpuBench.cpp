// Starts km7 with one simulated module that it reopens at start-up, lets it
// settle, and reports the processor time it uses over the measured interval
// as a share of one core. Offscreen unless QT_QPA_PLATFORM names another
// platform; measured as a desktop runs it under Xvfb with xcb. Target: below
// 0.2 % (the chart closed).
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/TempDir.h"
#include "settings/ProfileStore.h"

namespace fs = std::filesystem;

namespace {

// utime + stime from a /proc stat file, in seconds.
double CpuSeconds(const std::string& statPath) {
  std::ifstream in(statPath);
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double CpuSeconds(pid_t pid) { return CpuSeconds("/proc/" + std::to_string(pid) + "/stat"); }

// Processor time of every thread but the main one: the acquisition thread
// (and whatever the toolkit starts).
double WorkerCpuSeconds(pid_t pid) {
  double sum = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    if (task.path().filename() == std::to_string(pid)) continue;
    const double s = CpuSeconds((task.path() / "stat").string());
    if (s > 0) sum += s;
  }
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  const int settle = 5;
  const km7::test::TempDir scratch;
  const fs::path root = scratch.Path();
  fs::create_directories(root / "config");
  std::ofstream(root / "sim.conf") << "[module]\ndescription = Bench\ndrift = 0.3\n";
  // The program reopens the remembered module at start-up.
  setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
  setenv("XDG_DATA_HOME", root.c_str(), 1);
  ProfileStore::Instance().WriteText(km7::profile::Device, km7::profile::kFixedSuffix, "Bench");

  const pid_t pid = fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    // A platform given from outside (xcb on a display) wins.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("LD_LIBRARY_PATH", KM7_SIM_LIB_DIR, 1);
    setenv("KM7_SIM_CONFIG", (root / "sim.conf").c_str(), 1);
    execl(KM7_EXE, "km7", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::seconds(settle));
  const auto t0 = std::chrono::steady_clock::now();
  const double c0 = CpuSeconds(pid);
  const double w0 = WorkerCpuSeconds(pid);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double c1 = CpuSeconds(pid);
  const double w1 = WorkerCpuSeconds(pid);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  if (c0 < 0 || c1 < 0) {
    std::fprintf(stderr, "km7 ended early\n");
    return 1;
  }
  const double share = 100.0 * (c1 - c0) / wall;
  std::printf("km7 with a module open: %.2f s of processor time in %.1f s = %.2f %% of one core (target < 0.2 %%)\n",
              c1 - c0, wall, share);
  std::printf("  of which the worker threads (acquisition and simulated bus): %.2f s\n", w1 - w0);
  // A module that did not open leaves the acquisition thread asleep.
  if (w1 - w0 <= 0) {
    std::fprintf(stderr, "no acquisition traffic: the module was not opened\n");
    return 1;
  }
  return share < 0.2 ? 0 : 1;
}
