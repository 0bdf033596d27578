#include "Harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace km7::it {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Polling step of the bounded waits below: short enough to keep tests quick,
// long enough not to busy the two cores.
constexpr auto kPollStep = 20ms;

struct ExecArgs {
  std::vector<std::string> storage;
  std::vector<char*> ptrs;
  explicit ExecArgs(const std::vector<std::string>& v) : storage(v) {
    for (auto& s : storage) ptrs.push_back(s.data());
    ptrs.push_back(nullptr);
  }
};

// fork + exec with stdin/stdout/stderr from the given descriptors. Everything
// the child needs is prepared before fork, so the child only calls
// async-signal-safe functions.
pid_t Spawn(const std::vector<std::string>& argv, int in, int out, int err,
            const std::map<std::string, std::string>& extraEnv) {
  ExecArgs args(argv);
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    auto eq = kv.find('=');
    if (eq != std::string::npos && extraEnv.count(kv.substr(0, eq))) continue;
    envStore.push_back(kv);
  }
  for (auto& [k, v] : extraEnv) envStore.push_back(k + "=" + v);
  ExecArgs env(envStore);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    setpgid(0, 0);
    execve(args.ptrs[0], args.ptrs.data(), env.ptrs.data());
    _exit(127);
  }
  return pid;
}

int OpenOrThrow(const fs::path& p, int flags) {
  int fd = open(p.c_str(), flags | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot open " + p.string() + ": " + std::strerror(errno));
  return fd;
}

// Waits for pid to end within timeout; returns true with its status.
bool WaitPid(pid_t pid, int& status, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) return true;  // already reaped
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollStep);
  }
}

void StopPid(pid_t pid) {
  int status = 0;
  kill(pid, SIGTERM);
  if (!WaitPid(pid, status, 10s)) {
    kill(pid, SIGKILL);
    WaitPid(pid, status, 10s);
  }
}

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/km7-mail-it-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
  // The proxies may drop privileges; let them write their logs here.
  chmod(path_.c_str(), 0777);
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!std::getenv("KM7_IT_KEEP")) fs::remove_all(path_, ec);
}

void WriteFile(const fs::path& p, const std::string& bytes) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + p.string());
}

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string FindProgram(const std::string& name) {
  std::vector<std::string> dirs;
  if (const char* path = std::getenv("PATH")) {
    std::stringstream ss(path);
    for (std::string d; std::getline(ss, d, ':');)
      if (!d.empty()) dirs.push_back(d);
  }
  for (const char* d : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) dirs.emplace_back(d);
  for (auto& d : dirs) {
    fs::path p = fs::path(d) / name;
    if (access(p.c_str(), X_OK) == 0) return p.string();
  }
  return {};
}

TestCertificates::TestCertificates() {
  const std::string openssl = FindProgram("openssl");
  if (openssl.empty()) {
    error = "openssl is not installed";
    return;
  }
  const auto at = [&](const char* name) { return (dir / name).string(); };
  ca = at("ca.pem");
  key = at("server.key");
  good = at("good.pem");
  expired = at("expired.pem");
  otherHost = at("other.pem");
  selfSigned = at("self.pem");
  fs::create_directories(dir / "issued");
  WriteFile(dir / "index.txt", "");
  WriteFile(dir / "serial", "01\n");
  WriteFile(dir / "ca.cnf",
            "[ca]\ndefault_ca = test\n[test]\ndatabase = " + at("index.txt") + "\nnew_certs_dir = " + at("issued") +
                "\nserial = " + at("serial") + "\ncertificate = " + ca + "\nprivate_key = " + at("ca.key") +
                "\ndefault_md = sha256\npolicy = any\nunique_subject = no\ncopy_extensions = none\n"
                "[any]\ncommonName = supplied\n"
                "[good]\nbasicConstraints = CA:FALSE\nsubjectAltName = DNS:localhost,IP:127.0.0.1,IP:::1\n"
                "[other]\nbasicConstraints = CA:FALSE\nsubjectAltName = DNS:other.km7.test\n");
  const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
  auto run = [&](std::vector<std::string> argv) {
    if (!error.empty()) return;
    argv.insert(argv.begin(), openssl);
    const RunResult r = RunProgram(argv);
    if (r.exitCode != 0) error = "openssl " + argv[1] + " failed:\n" + r.out + r.err;
  };
  auto withKey = [&](std::vector<std::string> argv) {
    argv.insert(argv.begin() + 2, ec.begin(), ec.end());
    return argv;
  };
  run(withKey({"req", "-x509", "-keyout", at("ca.key"), "-out", ca, "-days", "3", "-subj", "/CN=km7 test CA"}));
  run(withKey({"req", "-new", "-keyout", key, "-out", at("server.csr"), "-subj", "/CN=localhost"}));
  auto signed_ = [&](std::vector<std::string> more) {
    std::vector<std::string> argv = {"ca", "-batch", "-notext", "-config", at("ca.cnf"), "-in", at("server.csr")};
    argv.insert(argv.end(), more.begin(), more.end());
    return argv;
  };
  run(signed_({"-out", good, "-days", "2", "-extensions", "good"}));
  run(signed_({"-out", expired, "-startdate", "20200101000000Z", "-enddate", "20200102000000Z", "-extensions",
               "good"}));
  run(signed_({"-out", otherHost, "-days", "2", "-extensions", "other"}));
  run({"req", "-x509", "-key", key, "-out", selfSigned, "-days", "2", "-subj", "/CN=localhost", "-addext",
       "subjectAltName=DNS:localhost,IP:127.0.0.1"});
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::string& input,
              std::chrono::milliseconds timeout, const std::map<std::string, std::string>& extraEnv) {
  TempDir io;
  WriteFile(io / "in", input);
  int in = OpenOrThrow(io / "in", O_RDONLY);
  int out = OpenOrThrow(io / "out", O_WRONLY | O_CREAT | O_TRUNC);
  int err = OpenOrThrow(io / "err", O_WRONLY | O_CREAT | O_TRUNC);
  pid_t pid = Spawn(argv, in, out, err, extraEnv);
  close(in);
  close(out);
  close(err);
  RunResult r;
  if (pid < 0) {
    r.err = "fork failed";
    return r;
  }
  int status = 0;
  if (!WaitPid(pid, status, timeout)) {
    r.timedOut = true;
    kill(pid, SIGKILL);
    WaitPid(pid, status, 10s);
  } else if (WIFEXITED(status)) {
    r.exitCode = WEXITSTATUS(status);
  }
  r.out = ReadFile(io / "out");
  r.err = ReadFile(io / "err");
  return r;
}

Daemon::~Daemon() { Stop(); }

bool Daemon::Start(const std::vector<std::string>& argv, const fs::path& logDir, const std::string& logName) {
  Stop();
  out_ = logDir / (logName + ".out");
  err_ = logDir / (logName + ".err");
  int in = OpenOrThrow("/dev/null", O_RDONLY);
  int out = OpenOrThrow(out_, O_WRONLY | O_CREAT | O_TRUNC);
  int err = OpenOrThrow(err_, O_WRONLY | O_CREAT | O_TRUNC);
  pid_ = Spawn(argv, in, out, err, {});
  close(in);
  close(out);
  close(err);
  return pid_ > 0;
}

void Daemon::Stop() {
  if (pid_ > 0) StopPid(pid_);
  pid_ = -1;
}

bool Daemon::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  pid_ = -1;
  return false;
}

std::string Daemon::Logs() const {
  return "--- stdout:\n" + ReadFile(out_) + "--- stderr:\n" + ReadFile(err_);
}

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (s >= 0) close(s);
    throw std::runtime_error("no free port");
  }
  close(s);
  return ntohs(a.sin_port);
}

bool WaitForPort(int port, Daemon& d, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!d.Running()) return false;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    if (ok) return true;
    std::this_thread::sleep_for(kPollStep);
  }
  return false;
}

bool MailServer::Start(const fs::path& dir, const MailServerOptions& opt, std::string& why) {
  spool_ = dir / "spool";
  fs::create_directories(spool_);
  fs::path portFile = dir / "smtp.port";
  std::vector<std::string> argv = {Python(), "-W", "ignore", ScriptDir() + "/mail_server.py",
                                   "--port-file", portFile.string(), "--spool", spool_.string()};
  for (auto& [u, p] : opt.users) {
    argv.push_back("--user");
    argv.push_back(u + ":" + p);
  }
  for (auto& m : opt.excludeMechanisms) {
    argv.push_back("--exclude");
    argv.push_back(m);
  }
  for (auto& a : opt.refusedRecipients) {
    argv.push_back("--refuse-rcpt");
    argv.push_back(a);
  }
  if (opt.sizeLimit > 0) {
    argv.push_back("--size-limit");
    argv.push_back(std::to_string(opt.sizeLimit));
  }
  argv.insert(argv.end(), {"--host", opt.host});
  if (opt.port != 0) argv.insert(argv.end(), {"--port", std::to_string(opt.port)});
  if (!opt.tlsCert.empty()) {
    argv.insert(argv.end(), {"--tls-cert", opt.tlsCert, "--tls-key", opt.tlsKey, "--tls-mode",
                             opt.implicitTls ? "implicit" : "starttls"});
  }
  if (opt.authAfterTls) argv.push_back("--auth-after-tls");
  if (opt.authLast) argv.push_back("--auth-last");
  if (opt.refuseNtlm) argv.push_back("--refuse-ntlm");
  if (!opt.tokenFile.empty()) argv.insert(argv.end(), {"--token-file", opt.tokenFile});
  if (access(Python().c_str(), X_OK) != 0) {
    why = Python() + " is missing";
    return false;
  }
  if (!d_.Start(argv, dir, "mail_server")) {
    why = "cannot start mail_server.py";
    return false;
  }
  // The server writes its port once it listens (renamed into place whole).
  auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!fs::exists(portFile)) {
    if (!d_.Running() || std::chrono::steady_clock::now() > deadline) {
      why = "mail_server.py did not come up\n" + d_.Logs();
      return false;
    }
    std::this_thread::sleep_for(kPollStep);
  }
  port_ = std::atoi(ReadFile(portFile).c_str());
  return port_ > 0;
}

std::size_t MailServer::MessageCount() const {
  std::size_t n = 0;
  for (auto& e : fs::directory_iterator(spool_))
    if (e.path().extension() == ".eml") ++n;
  return n;
}

namespace {

// Starts a program that listens on a port chosen here. Another process may
// take a free port between our look and the program's bind; then the program
// exits, and a new port is tried.
bool StartOnFreePort(Daemon& d, const fs::path& dir, const std::string& name, int& port, std::string& why,
                     const std::function<std::vector<std::string>(int)>& argvForPort,
                     const fs::path& extraLog = {}) {
  constexpr int kAttempts = 3;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    port = FreePort();
    if (d.Start(argvForPort(port), dir, name) && WaitForPort(port, d)) return true;
    why = name + " did not come up\n" + d.Logs() + (extraLog.empty() ? "" : ReadFile(extraLog));
    d.Stop();
  }
  return false;
}

}  // namespace

bool StartMicrosocks(Daemon& d, const fs::path& dir, int& port, const std::string& user,
                     const std::string& password, std::string& why) {
  std::string bin = FindProgram("microsocks");
  if (bin.empty()) {
    why = "microsocks is not installed";
    return false;
  }
  return StartOnFreePort(d, dir, "microsocks", port, why, [&](int p) {
    std::vector<std::string> argv = {bin, "-i", "127.0.0.1", "-p", std::to_string(p)};
    if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", password});
    return argv;
  });
}

bool StartDante(Daemon& d, const fs::path& dir, int& port, std::string& why) {
  std::string bin = FindProgram("danted");
  if (bin.empty()) {
    why = "danted (dante-server) is not installed";
    return false;
  }
  fs::path conf = dir / "danted.conf";
  return StartOnFreePort(
      d, dir, "danted", port, why,
      [&](int p) {
        std::string text =
            "logoutput: " + (dir / "danted.log").string() + "\n"
            "internal: 127.0.0.1 port = " + std::to_string(p) + "\n"
            "external: 127.0.0.1\n"
            "clientmethod: none\n"
            "socksmethod: none\n";
        if (geteuid() == 0) text += "user.privileged: root\nuser.unprivileged: nobody\n";
        text +=
            "client pass {\n  from: 127.0.0.1/32 to: 0.0.0.0/0\n  log: error\n}\n"
            "socks pass {\n  from: 127.0.0.1/32 to: 127.0.0.0/8\n  command: connect\n"
            "  protocol: tcp\n  log: error connect\n}\n";
        WriteFile(conf, text);
        // One process is plenty for a test, and keeps the stop by PID complete.
        return std::vector<std::string>{bin, "-f", conf.string(), "-N", "1", "-p", (dir / "danted.pid").string()};
      },
      dir / "danted.log");
}

bool StartTinyproxy(Daemon& d, const fs::path& dir, int& port, int smtpPort, const std::string& user,
                    const std::string& password, std::string& why) {
  std::string bin = FindProgram("tinyproxy");
  if (bin.empty()) {
    why = "tinyproxy is not installed";
    return false;
  }
  fs::path conf = dir / "tinyproxy.conf";
  return StartOnFreePort(
      d, dir, "tinyproxy", port, why,
      [&](int p) {
        std::string text =
            "Port " + std::to_string(p) + "\n"
            "Listen 127.0.0.1\n"
            "Timeout 120\n"
            "MaxClients 20\n"
            "Allow 127.0.0.1\n"
            "ConnectPort " + std::to_string(smtpPort) + "\n"
            "LogFile \"" + (dir / "tinyproxy.log").string() + "\"\n"
            "LogLevel Info\n"
            "DisableViaHeader Yes\n";
        if (geteuid() == 0) text += "User nobody\nGroup nogroup\n";
        if (!user.empty()) text += "BasicAuth " + user + " " + password + "\n";
        WriteFile(conf, text);
        return std::vector<std::string>{bin, "-d", "-c", conf.string()};
      },
      dir / "tinyproxy.log");
}

std::string DecodedMessage(const std::string& mail) {
  const size_t end = mail.find("\r\n\r\n");
  if (end == std::string::npos ||
      mail.substr(0, end).find("Content-Transfer-Encoding: quoted-printable") == std::string::npos) {
    return mail;
  }
  std::string out = mail.substr(0, end + 4);
  for (size_t i = end + 4; i < mail.size(); ++i) {
    if (mail.compare(i, 3, "=\r\n") == 0) {
      i += 2;
    } else if (mail[i] == '=' && i + 2 < mail.size()) {
      out += static_cast<char>(std::stoi(mail.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += mail[i];
    }
  }
  return out;
}

std::optional<bool> DumpsCoreOnQuit(const std::vector<std::string>& argv, const std::filesystem::path& dir,
                                    std::chrono::milliseconds after,
                                    const std::map<std::string, std::string>& extraEnv) {
  int input[2];
  if (::pipe2(input, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(input[0], 0);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    ::setrlimit(RLIMIT_CORE, &unlimited);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGQUIT, SIG_DFL);
    for (const auto& [k, v] : extraEnv) ::setenv(k.c_str(), v.c_str(), 1);
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    std::vector<char*> cargv;
    for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    ::execvp(cargv[0], cargv.data());
    ::_exit(127);
  }
  ::close(input[0]);
  if (pid < 0) {
    ::close(input[1]);
    return std::nullopt;
  }
  std::this_thread::sleep_for(after);
  int status = 0;
  const bool ended = ::waitpid(pid, &status, WNOHANG) == pid;
  if (!ended) {
    ::kill(pid, SIGQUIT);
    // A core of a large program takes a while to write; then it is stopped.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (::waitpid(pid, &status, WNOHANG) != pid) {
      if (std::chrono::steady_clock::now() >= until) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ::close(input[1]);
  if (ended) return std::nullopt;
  return WIFSIGNALED(status) && WCOREDUMP(status);
}

std::string Km7MailPath() { return KM7_MAIL_PATH; }
std::string ScriptDir() { return KM7_IT_SCRIPT_DIR; }
std::string Python() { return "/usr/bin/python3"; }

}  // namespace km7::it
