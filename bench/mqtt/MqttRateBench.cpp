// km7d with two simulated modules publishing to a mosquitto broker of its
// own on a loopback port: the MQTT messages per module per minute, counted
// by mosquitto_sub, with steady values (drift 0) or drifting ones.
//
//   run as  build/bench/mqtt/bench_mqtt_rate [seconds (120)] [drift in degrees (0)]
//
// Goal: at most 2 messages per module per minute with a steady value.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kModules = 2;

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

bool Listening(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// Runs argv with stdout and stderr into `out`; its PID.
pid_t Spawn(const std::vector<std::string>& argv, const fs::path& out,
            const std::map<std::string, std::string>& env = {}) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
  const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(fd, 1);
  ::dup2(fd, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

void Stop(pid_t pid) {
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 120;
  const double drift = argc > 2 ? std::atof(argv[2]) : 0.0;
  char tmpl[] = "/tmp/km7d-mqtt-bench-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  const int port = FreePort();
  std::ofstream(dir / "mosquitto.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous true\n"
                                        << "persistence false\n";
  const pid_t broker = Spawn({"mosquitto", "-c", (dir / "mosquitto.conf").string()}, dir / "mosquitto.log");
  for (int i = 0; i < 100 && !Listening(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (!Listening(port)) {
    std::fprintf(stderr, "mosquitto did not start (is it installed?)\n");
    Stop(broker);
    return 1;
  }
  const std::string p = std::to_string(port);
  const pid_t sub = Spawn({"mosquitto_sub", "-h", "127.0.0.1", "-p", p, "-v", "-t", "km7/#", "-t", "homeassistant/#"},
                          dir / "sub.out");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  std::string sim = "temperature_conversion_ms = 80\nhumidity_conversion_ms = 30\n";
  for (int i = 1; i <= kModules; ++i)
    sim += "[module]\ndescription = Bench " + std::to_string(i) + "\nserial = BENCH" + std::to_string(i) +
           "\ntemperature = " + std::to_string(18 + i) + "\nhumidity = 45\ndrift = " + std::to_string(drift) + "\n";
  std::ofstream(dir / "sim.conf") << sim;
  std::ofstream(dir / "km7.INI") << "[MyORVKM7Ap]\r\n";
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t km7d = Spawn({KM7D_PROGRAM, "--settings", (dir / "km7.INI").string(), "--metrics-listen", "off",
                            "--mqtt", "mqtt://127.0.0.1:" + p},
                           dir / "km7d.err",
                           {{"LD_LIBRARY_PATH", KM7_SIM_DIR},
                            {"KM7_SIM_CONFIG", (dir / "sim.conf").string()},
                            {"XDG_CONFIG_HOME", dir.string()},
                            {"XDG_STATE_HOME", dir.string()},
                            {"XDG_DATA_HOME", dir.string()}});
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double minutes = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / 60;
  Stop(km7d);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Stop(sub);
  Stop(broker);

  // Per module: state, status and discovery messages, the stop's included.
  std::map<std::string, std::map<std::string, int>> counts;
  int service = 0;
  std::ifstream in(dir / "sub.out");
  for (std::string line; std::getline(in, line);) {
    const std::string topic = line.substr(0, line.find(' '));
    if (topic == "km7/status") {
      ++service;
      continue;
    }
    for (int i = 1; i <= kModules; ++i) {
      const std::string id = "BENCH" + std::to_string(i);
      if (topic == "km7/" + id + "/state") ++counts[id]["state"];
      if (topic == "km7/" + id + "/status") ++counts[id]["status"];
      if (topic == "homeassistant/device/km7_" + id + "/config") ++counts[id]["discovery"];
    }
  }
  std::printf("km7d, %d simulated modules (drift %.2f), %.1f minutes, counted by mosquitto_sub\n", kModules, drift,
              minutes);
  for (auto& [id, c] : counts) {
    const int all = c["state"] + c["status"] + c["discovery"];
    std::printf("%s: %d state, %d status, %d discovery: %.2f messages a minute, %.2f of them state\n", id.c_str(),
                c["state"], c["status"], c["discovery"], all / minutes, c["state"] / minutes);
  }
  std::printf("service status messages: %d (goal: at most 2 messages per module per minute)\n", service);
  fs::remove_all(dir);
  return counts.size() == kModules ? 0 : 1;
}
