#include "EximServer.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <thread>

namespace km7::it {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The account exim works as. Started by root with -C, exim takes up the
// configured exim_user (the package's own account), so every file it touches
// must belong to that account. Started by anyone else, a configuration given
// with -C is not in exim's trusted list, so exim gives up its set-uid
// privilege and runs as the caller: then the caller's own account is right.
// The trusted list is a system file; a test has no business changing it, and
// an unprivileged exim on a port above 1024 is all a test needs.
struct RunAs {
  std::string user, group;
  uid_t uid = 0;
  gid_t gid = 0;
};

bool FindRunAs(RunAs& r, std::string& why) {
  const passwd* pw = nullptr;
  if (geteuid() == 0) {
    for (const char* name : {"Debian-exim", "exim"})
      if ((pw = getpwnam(name)) != nullptr) break;
    if (!pw) {
      why = "running as root, but exim's own account (Debian-exim) does not exist";
      return false;
    }
  } else {
    pw = getpwuid(getuid());
    if (!pw) {
      why = "the current user has no account entry";
      return false;
    }
  }
  r.user = pw->pw_name;
  r.uid = pw->pw_uid;
  r.gid = pw->pw_gid;
  const group* gr = getgrgid(r.gid);
  if (!gr) {
    why = "the group of " + r.user + " has no entry";
    return false;
  }
  r.group = gr->gr_name;
  return true;
}

// The authenticator for one mechanism; its name shows in the log ("A=name:user").
std::string Authenticator(const std::string& mech, const std::string& user, const std::string& password) {
  const std::string secret = "${if eq{$auth1}{" + user + "}{" + password + "}fail}";
  std::string a = EximServer::AuthenticatorName(mech) + ":\n  public_name = " + mech + "\n";
  if (mech == "NTLM") {
    a += "  driver = spa\n  server_password = " + secret + "\n";
  } else if (mech == "CRAM-MD5") {
    a += "  driver = cram_md5\n  server_secret = " + secret + "\n";
  } else if (mech == "LOGIN") {
    a += "  driver = plaintext\n  server_prompts = Username:: : Password::\n"
         "  server_condition = ${if and{{eq{$auth1}{" + user + "}}{eq{$auth2}{" + password + "}}}}\n";
  } else if (mech == "PLAIN") {
    a += "  driver = plaintext\n  server_prompts = :\n"
         "  server_condition = ${if and{{eq{$auth2}{" + user + "}}{eq{$auth3}{" + password + "}}}}\n";
    return a + "  server_set_id = $auth2\n";
  } else {
    return {};
  }
  return a + "  server_set_id = $auth1\n";
}

std::string Config(const fs::path& root, const RunAs& as, const EximOptions& opt, int port, int tlsPort) {
  const auto at = [&](const char* name) { return (root / name).string(); };
  std::string c =
      "primary_hostname = localhost\n"
      "exim_user = " + as.user + "\nexim_group = " + as.group + "\n"
      "spool_directory = " + at("spool") + "\n"
      "log_file_path = " + at("log") + "/%slog\n"
      "pid_file_path = " + at("exim.pid") + "\n"
      "local_interfaces = 127.0.0.1\n"
      "daemon_smtp_ports = " + std::to_string(port) + (tlsPort ? " : " + std::to_string(tlsPort) : "") + "\n"
      // No DNS, no ident: loopback only.
      "host_lookup =\nrfc1413_hosts =\nkeep_environment =\n";
  if (tlsPort) {
    c += "tls_on_connect_ports = " + std::to_string(tlsPort) + "\n"
         "tls_advertise_hosts = *\n"
         "tls_certificate = " + at("cert.pem") + "\ntls_privatekey = " + at("key.pem") + "\n";
  } else {
    // Without this exim makes up a certificate and offers STARTTLS anyway.
    c += "tls_advertise_hosts =\n";
  }
  if (opt.authOnlyUnderTls) c += "auth_advertise_hosts = ${if eq{$tls_in_cipher}{}{}{*}}\n";
  c += "acl_smtp_rcpt = check_rcpt\n"
       "begin acl\n"
       "check_rcpt:\n  accept authenticated = *\n  deny message = authentication required\n"
       "begin routers\n"
       "all:\n  driver = accept\n  transport = to_maildir\n"
       "begin transports\n"
       "to_maildir:\n  driver = appendfile\n  directory = " + at("mail") + "\n  maildir_format\n"
       "  user = " + as.user + "\n  group = " + as.group + "\n"
       "begin authenticators\n";
  for (const auto& m : opt.mechanisms) c += Authenticator(m, opt.user, opt.password);
  return c;
}

// Whether a live process runs with this configuration: the daemon's
// connection handlers are forks of it, and deliveries re-run exim with -C.
bool AnyProcessUses(const fs::path& conf) {
  std::error_code ec;
  for (auto& e : fs::directory_iterator("/proc", ec)) {
    const std::string pid = e.path().filename().string();
    if (pid.empty() || !std::isdigit(static_cast<unsigned char>(pid[0])) || pid == std::to_string(getpid()))
      continue;
    // A zombie's command line reads empty.
    const std::string cmdline = ReadFile(e.path() / "cmdline");
    if (cmdline.find(conf.string() + '\0') != std::string::npos) return true;
  }
  return false;
}

void ChownTree(const fs::path& root, const RunAs& as) {
  if (geteuid() != 0) return;
  std::error_code ec;
  if (chown(root.c_str(), as.uid, as.gid) != 0) return;
  for (auto& e : fs::recursive_directory_iterator(root, ec))
    if (chown(e.path().c_str(), as.uid, as.gid) != 0) return;
}

}  // namespace

std::string EximServer::AuthenticatorName(const std::string& mechanism) {
  std::string name = mechanism;
  for (char& c : name) c = c == '-' ? '_' : char(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

std::string EximServer::Binary() {
  std::string bin = FindProgram("exim4");
  return bin.empty() ? FindProgram("exim") : bin;
}

bool EximServer::Start(const fs::path& dir, const EximOptions& opt, std::string& why) {
  const std::string bin = Binary();
  if (bin.empty()) {
    why = "exim is not installed";
    return false;
  }
  for (const auto& m : opt.mechanisms)
    if (Authenticator(m, opt.user, opt.password).empty()) {
      why = "no authenticator for " + m;
      return false;
    }
  RunAs as;
  if (!FindRunAs(as, why)) return false;

  root_ = dir / "exim";
  fs::create_directories(root_ / "spool");
  fs::create_directories(root_ / "log");
  fs::create_directories(root_ / "mail");
  if (!opt.tlsCert.empty()) {
    // Copies: the daemon reads them as its own account.
    fs::copy_file(opt.tlsCert, root_ / "cert.pem", fs::copy_options::overwrite_existing);
    fs::copy_file(opt.tlsKey, root_ / "key.pem", fs::copy_options::overwrite_existing);
  }
  ChownTree(root_, as);
  // Outside the folder exim owns: started by root, exim accepts only a
  // configuration that belongs to root and that others cannot write to.
  conf_ = dir / "exim.conf";
  const fs::path& conf = conf_;

  constexpr int kAttempts = 3;  // a free port may be taken before exim binds it
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    port_ = FreePort();
    tlsPort_ = 0;
    if (!opt.tlsCert.empty())
      do tlsPort_ = FreePort();
      while (tlsPort_ == port_);
    WriteFile(conf, Config(root_, as, opt, port_, tlsPort_));
    chmod(conf.c_str(), 0644);
    // -bdf: the daemon stays in the foreground, so it is ours to stop by PID.
    if (d_.Start({bin, "-C", conf.string(), "-bdf"}, dir, "exim") && WaitForPort(port_, d_) &&
        (tlsPort_ == 0 || WaitForPort(tlsPort_, d_)))
      return true;
    why = "exim did not come up\n" + Log();
    d_.Stop();
  }
  return false;
}

void EximServer::Stop() {
  d_.Stop();
  if (conf_.empty()) return;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (AnyProcessUses(conf_) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(50ms);
}

std::vector<std::string> EximServer::Delivered() const {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(root_ / "mail" / "new", ec)) out.push_back(ReadFile(e.path()));
  return out;
}

std::size_t EximServer::DeliveredCount() const {
  std::size_t n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator(root_ / "mail" / "new", ec); !ec && it != fs::directory_iterator(); ++it)
    ++n;
  return n;
}

std::size_t EximServer::WaitForDelivered(std::size_t n, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t have = DeliveredCount();
  while (have < n && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
    have = DeliveredCount();
  }
  return have;
}

std::string EximServer::Log() const {
  std::error_code ec;
  std::string log;
  if (fs::exists(root_ / "log" / "mainlog", ec)) log = ReadFile(root_ / "log" / "mainlog");
  return "--- mainlog:\n" + log + d_.Logs();
}

}  // namespace km7::it
