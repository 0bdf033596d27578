#include "TokenServer.h"

#include <chrono>
#include <thread>

namespace km7::it {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool TokenServer::Start(const fs::path& dir, const TestCertificates& certs, const std::vector<std::string>& more,
                        std::string& why) {
  dir_ = dir;
  const fs::path portFile = dir / "token.port";
  std::vector<std::string> argv = {Python(), "-W", "ignore", ScriptDir() + "/oauth_token_server.py",
                                   "--port-file", portFile.string(), "--cert", certs.good, "--key", certs.key,
                                   "--token-file", (dir / "tokens").string(), "--log", (dir / "token.log").string(),
                                   "--client-id", kTokenServerClient, "--user", kTokenServerUser};
  argv.insert(argv.end(), more.begin(), more.end());
  if (!d_.Start(argv, dir, "token_server")) {
    why = "cannot start oauth_token_server.py";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!fs::exists(portFile)) {
    if (!d_.Running() || std::chrono::steady_clock::now() > deadline) {
      why = "oauth_token_server.py did not come up:\n" + d_.Logs();
      return false;
    }
    std::this_thread::sleep_for(20ms);
  }
  port_ = std::stoi(ReadFile(portFile));
  return true;
}

std::string TokenServer::Url(const std::string& path) const {
  return "https://localhost:" + std::to_string(port_) + path;
}

std::string TokenServer::Log() const {
  return fs::exists(dir_ / "token.log") ? ReadFile(dir_ / "token.log") : std::string();
}

bool TokenServer::Control(const std::string& path, const std::string& ca) {
  const RunResult r = RunProgram({FindProgram("curl"), "-sS", "--cacert", ca, "-X", "POST", "-d", "x=1", Url(path)});
  return r.exitCode == 0;
}

}  // namespace km7::it
