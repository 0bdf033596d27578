#pragma once
// A mosquitto broker on a free loopback port for the tests, with an optional
// password file, plus the command-line clients to watch it.
#include <string>
#include <thread>

#include "Harness.h"

namespace km7::test {

class MqttBroker {
 public:
  // Empty user: anonymous clients are allowed. port 0: a free one.
  // `listenerExtra`: more lines for the listener (TLS files).
  bool Start(const it::TempDir& dir, std::string& why, const std::string& user = {},
             const std::string& password = {}, int port = 0, const std::string& listenerExtra = {}) {
    const std::string broker = it::FindProgram("mosquitto");
    sub_ = it::FindProgram("mosquitto_sub");
    pub_ = it::FindProgram("mosquitto_pub");
    if (broker.empty() || sub_.empty() || pub_.empty()) {
      why = "mosquitto or its clients are not installed";
      return false;
    }
    std::string auth = "allow_anonymous true\n";
    if (!user.empty()) {
      const std::string passwd = it::FindProgram("mosquitto_passwd");
      auto r = it::RunProgram({passwd, "-b", "-c", (dir / "passwd").string(), user, password});
      if (r.exitCode != 0) {
        why = "mosquitto_passwd failed: " + r.out + r.err;
        return false;
      }
      auth = "allow_anonymous false\npassword_file " + (dir / "passwd").string() + "\n";
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = port ? port : it::FreePort();
      // "user root": started as root, the broker keeps its user and can read
      // the test's files; otherwise the line is ignored.
      it::WriteFile(dir / "mosquitto.conf", "listener " + std::to_string(port_) +
                                                " 127.0.0.1\n" + listenerExtra +
                                                "persistence false\nuser root\n" + auth);
      if (d_.Start({broker, "-c", (dir / "mosquitto.conf").string()}, dir.path(), "mosquitto") &&
          it::WaitForPort(port_, d_))
        return true;
      why = "mosquitto did not come up\n" + d_.Logs();
      d_.Stop();
      if (port) break;
    }
    return false;
  }
  int port() const { return port_; }
  it::Daemon& daemon() { return d_; }

  std::vector<std::string> Client(const std::string& program, const std::vector<std::string>& args,
                                  const std::string& user = {}, const std::string& password = {}) const {
    std::vector<std::string> argv{program, "-h", "127.0.0.1", "-p", std::to_string(port_)};
    if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", password});
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
  std::vector<std::string> Sub(const std::vector<std::string>& args, const std::string& user = {},
                               const std::string& password = {}) const {
    return Client(sub_, args, user, password);
  }
  // The retained message of `topic`, "" when none arrives within 5 s.
  std::string Retained(const std::string& topic, const std::string& user = {},
                       const std::string& password = {}) const {
    auto r = it::RunProgram(Sub({"-t", topic, "-C", "1", "-W", "5", "--retained-only"}, user, password));
    std::string out = r.out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
  }
  bool Publish(const std::string& topic, const std::string& payload, const std::string& user = {},
               const std::string& password = {}) const {
    return it::RunProgram(Client(pub_, {"-t", topic, "-m", payload}, user, password)).exitCode == 0;
  }

 private:
  it::Daemon d_;
  int port_ = 0;
  std::string sub_, pub_;
};

using it::Eventually;

}  // namespace km7::test
