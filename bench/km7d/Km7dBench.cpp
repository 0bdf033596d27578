// km7d as a whole with one simulated module and then with four: processor
// share per module (measured with no scrapes, so nothing else is counted),
// resident memory, and the latency of /metrics while the modules measure.
// One module shows what a fixed cost per process hides when divided by four.
//
//   LD_LIBRARY_PATH is set here; run as  build/bench/km7d/bench_km7d [seconds]
//
// Goals: under 0.2 % of one core for one module and per module of four,
// under 20 MB resident, /metrics under 2 ms at the 99th percentile.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Processor time of all the process's threads, in nanoseconds: the
// scheduler's own account (/proc/PID/task/*/schedstat), far finer than the
// clock ticks of /proc/PID/stat, which at 0.1 % of a core count a few ticks a
// minute.
long long CpuNanos(pid_t pid) {
  long long total = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::istringstream in(ReadAll(task.path() / "schedstat"));
    long long ns = 0;
    if (in >> ns) total += ns;
  }
  return total;
}

long StatusKb(pid_t pid, const std::string& key) {
  std::istringstream in(ReadAll("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  return -1;
}

// One GET /metrics on a fresh connection; the time to the whole answer in
// microseconds, -1 on failure.
double ScrapeMicros(int port) {
  const auto start = Clock::now();
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  double result = -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    const std::string req = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    std::string answer;
    char buf[16384];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<size_t>(n));
    if (answer.rfind("HTTP/1.1 200", 0) == 0 && answer.find("km7_sensor_up") != std::string::npos)
      result = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  }
  ::close(fd);
  return result;
}

struct Run {
  int modules = 0;
  double cpuPercent = 0;  // of one core, all modules
  long rssKb = 0, hwmKb = 0;
  std::vector<double> latencies;  // microseconds, sorted
  int failed = 0;
  int exitStatus = -1;
};

// Starts km7d with `modules` simulated modules in `dir`; its pid and the
// port of /metrics, pid -1 when it did not start.
pid_t StartKm7d(const fs::path& dir, int modules, int& port) {
  std::string sim = "temperature_conversion_ms = 80\nhumidity_conversion_ms = 30\n";
  std::string settings = "[MyORVKM7Ap]\r\nORVKM7Logging_Computer Room=1\r\n";
  for (int i = 1; i <= modules; ++i) {
    const std::string name = "Bench " + std::to_string(i);
    sim += "[module]\ndescription = " + name + "\ntemperature = " + std::to_string(18 + i) + "\ndrift = 0.05\n";
    settings += "ORVKM7LogFilePath_" + name + "=" + (dir / ("log" + std::to_string(i) + ".txt")).string() + "\r\n";
  }
  std::ofstream(dir / "sim.conf") << sim;
  std::ofstream(dir / "km7.INI") << settings;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("LD_LIBRARY_PATH", KM7_SIM_DIR, 1);
    ::setenv("KM7_SIM_CONFIG", (dir / "sim.conf").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    ::setenv("XDG_STATE_HOME", dir.c_str(), 1);
    ::setenv("XDG_DATA_HOME", dir.c_str(), 1);
    const int err = ::open((dir / "km7d.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(err, 2);
    ::execl(KM7D_PROGRAM, KM7D_PROGRAM, "--settings", (dir / "km7.INI").c_str(), "--metrics-listen",
            "127.0.0.1:0", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  port = 0;
  static const std::regex re(R"(metrics on http://[^ ]*:(\d+)/metrics)");
  for (int i = 0; i < 200 && port == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::smatch m;
    const std::string err = ReadAll(dir / "km7d.err");
    if (std::regex_search(err, m, re)) port = std::stoi(m[1]);
  }
  if (port == 0) {
    std::fprintf(stderr, "km7d did not start:\n%s", ReadAll(dir / "km7d.err").c_str());
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
  }
  return pid;
}

bool Measure(int modules, int seconds, Run& run) {
  char tmpl[] = "/tmp/km7d-bench-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  run.modules = modules;
  int port = 0;
  const pid_t pid = StartKm7d(dir, modules, port);
  if (pid < 0) return false;
  // Let every module settle into its cycle before measuring.
  std::this_thread::sleep_for(std::chrono::seconds(3));

  // The processor share with nothing but the modules to serve.
  const long long cpu0 = CpuNanos(pid);
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double wall = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
  run.cpuPercent = 100.0 * static_cast<double>(CpuNanos(pid) - cpu0) / wall;

  // Ten scrapes a second, far more than any scraper asks, spread evenly.
  const auto t1 = Clock::now();
  while (Clock::now() - t1 < std::chrono::seconds(std::max(5, seconds / 2))) {
    const double us = ScrapeMicros(port);
    if (us < 0) {
      ++run.failed;
    } else {
      run.latencies.push_back(us);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  run.rssKb = StatusKb(pid, "VmRSS");
  run.hwmKb = StatusKb(pid, "VmHWM");
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::sort(run.latencies.begin(), run.latencies.end());
  fs::remove_all(dir);
  return true;
}

void Report(const Run& run, int seconds) {
  auto pct = [&](double p) {
    if (run.latencies.empty()) return 0.0;
    return run.latencies[std::min(run.latencies.size() - 1,
                                  static_cast<size_t>(p * (run.latencies.size() - 1) + 0.5))];
  };
  std::printf("km7d, %d simulated module%s, %d s quiet, then %zu scrapes (%d failed)\n", run.modules,
              run.modules == 1 ? "" : "s", seconds, run.latencies.size(), run.failed);
  std::printf("  processor: %.3f %% of one core in all, %.3f %% per module (goal < 0.2 %%)\n", run.cpuPercent,
              run.cpuPercent / run.modules);
  std::printf("  resident memory: %.1f MB now, %.1f MB at most (goal < 20 MB)\n", run.rssKb / 1024.0,
              run.hwmKb / 1024.0);
  std::printf("  /metrics latency: p50 %.2f ms, p99 %.2f ms, max %.2f ms (goal p99 < 2 ms)\n", pct(0.5) / 1000,
              pct(0.99) / 1000, run.latencies.empty() ? 0.0 : run.latencies.back() / 1000);
  std::printf("  exit status after SIGTERM: %d\n", run.exitStatus);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 60;
  for (int modules : {1, 4}) {
    Run run;
    if (!Measure(modules, seconds, run)) return 1;
    Report(run, seconds);
  }
  return 0;
}
