#pragma once
// Helpers for tests that run real programs on loopback: child processes
// stopped by their PID, temporary folders, free ports, and the servers and
// proxies the km7-mail tests talk to.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace km7::it {

// A folder under the system's temporary folder, removed on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

void WriteFile(const std::filesystem::path& p, const std::string& bytes);
std::string ReadFile(const std::filesystem::path& p);

// Full path of a program found on PATH or in the system binary folders;
// empty when it is not installed.
std::string FindProgram(const std::string& name);

struct RunResult {
  int exitCode = -1;  // -1: killed on time-out or by a signal
  bool timedOut = false;
  std::string out;
  std::string err;
};

// Runs a program to its end (at most `timeout`), feeding `input` on stdin.
RunResult RunProgram(const std::vector<std::string>& argv, const std::string& input = {},
              std::chrono::milliseconds timeout = std::chrono::seconds(120),
              const std::map<std::string, std::string>& extraEnv = {});

// Starts argv (looked up in PATH) in `dir` with core dumps allowed and
// standard input a pipe that stays open, sends SIGQUIT after `after`, and
// says whether the kernel wrote a core dump; nullopt when the program could
// not be started or had ended by then.
std::optional<bool> DumpsCoreOnQuit(const std::vector<std::string>& argv, const std::filesystem::path& dir,
                                    std::chrono::milliseconds after,
                                    const std::map<std::string, std::string>& extraEnv = {});

// A long-running program (server, proxy), stdout and stderr to files in
// `logDir`. Stopped by its PID (SIGTERM, then SIGKILL) on Stop or destruction.
class Daemon {
 public:
  Daemon() = default;
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Returns false when the program could not be started.
  bool Start(const std::vector<std::string>& argv, const std::filesystem::path& logDir,
             const std::string& logName);
  void Stop();
  bool Running();
  pid_t pid() const { return pid_; }
  // The program's output so far, for failure messages.
  std::string Logs() const;

 private:
  pid_t pid_ = -1;
  std::filesystem::path out_, err_;
};

// A test CA and server certificates signed by it, made with the openssl
// command line in a folder of their own. Every server certificate has the
// one key `key` and the subject CN=localhost.
struct TestCertificates {
  TempDir dir;
  std::string ca;          // the CA's certificate, to trust
  std::string key;         // the server key
  std::string good;        // for localhost, 127.0.0.1 and ::1, valid now
  std::string expired;     // the same names, valid only in 2020
  std::string otherHost;   // for other.km7.test only
  std::string selfSigned;  // for localhost and 127.0.0.1, signed by the server key itself
  std::string error;       // non-empty when they could not be made

  TestCertificates();
};

// Polls `pred` every 50 ms up to `timeout`; its last answer.
template <class Pred>
bool Eventually(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < until) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return pred();
}

// A port on 127.0.0.1 that was free a moment ago.
int FreePort();
// Waits until 127.0.0.1:port accepts connections or `d` dies or time runs out.
bool WaitForPort(int port, Daemon& d, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The aiosmtpd-based server of mail_server.py.
struct MailServerOptions {
  std::vector<std::pair<std::string, std::string>> users;  // empty: no AUTH
  std::vector<std::string> excludeMechanisms;
  std::vector<std::string> refusedRecipients;  // answered 550
  long sizeLimit = 0;                           // 0: the server's default
  std::string host = "127.0.0.1";               // address to listen on
  int port = 0;                                 // 0: a free one
  // With a certificate: STARTTLS required, or TLS from the first byte.
  std::string tlsCert, tlsKey;
  bool implicitTls = false;
  bool authAfterTls = false;  // AUTH offered only once TLS is on
  bool authLast = false;      // AUTH listed on the final EHLO line
  bool refuseNtlm = false;    // every NTLM answer refused with 535
  std::string tokenFile;      // access tokens taken by XOAUTH2 and OAUTHBEARER
};

class MailServer {
 public:
  // Empty optional with a reason in `why` when it could not be started.
  bool Start(const std::filesystem::path& dir, const MailServerOptions& opt, std::string& why);
  int port() const { return port_; }
  const std::filesystem::path& spool() const { return spool_; }
  std::size_t MessageCount() const;
  Daemon& daemon() { return d_; }

 private:
  Daemon d_;
  int port_ = 0;
  std::filesystem::path spool_;
};

// Proxies from Debian's packages, each with its own config in `dir`.
// Return false with a reason when the program is missing or does not come up.
bool StartMicrosocks(Daemon& d, const std::filesystem::path& dir, int& port, const std::string& user,
                     const std::string& password, std::string& why);
bool StartDante(Daemon& d, const std::filesystem::path& dir, int& port, std::string& why);
bool StartTinyproxy(Daemon& d, const std::filesystem::path& dir, int& port, int smtpPort,
                    const std::string& user, const std::string& password, std::string& why);

// A stored message with a quoted-printable body decoded, for byte checks of
// its text (a body with 8-bit text goes quoted-printable to a server that
// does not offer 8BITMIME); any other message unchanged.
std::string DecodedMessage(const std::string& mail);

// Paths given by the build.
std::string Km7MailPath();
std::string ScriptDir();
std::string Python();

}  // namespace km7::it
