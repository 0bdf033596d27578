// km7d with an account of its own: set with "km7d account set" by a user who
// is not the one of the desktop program's settings, sealed under the key of
// km7d's state folder, and used to send an alarm mail with LOGIN.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>

#include "Km7dProcess.h"
#include "TokenServer.h"
#include "platform/DataProtection.h"
#include "smtp/OAuthAccount.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace km7d_test;
namespace it = km7::it;

constexpr uid_t kServiceUser = 65534;  // nobody: neither root nor the settings' owner

// The folders of the service as its unit lays them out: settings in etc/,
// state (key, accounts, outbox) in lib/km7, owned by the service's user.
struct ServiceTree {
  TempDir dir;
  fs::path etc = dir / "etc";
  fs::path lib = dir / "lib";
  fs::path state = lib / "km7";

  ServiceTree() {
    fs::create_directories(etc);
    fs::create_directories(state);
    ::chmod(dir.path().c_str(), 0711);
    ::chmod(lib.c_str(), 0755);
    EXPECT_EQ(::chown(state.c_str(), kServiceUser, kServiceUser), 0);
    ::chmod(state.c_str(), 0700);
  }

  // argv running `program args` as the service's user with only the
  // environment the unit gives it.
  std::vector<std::string> AsService(const std::vector<std::string>& args,
                                     const std::vector<std::string>& moreEnv = {}) const {
    std::vector<std::string> argv{it::FindProgram("setpriv"), "--reuid=" + std::to_string(kServiceUser),
                                  "--regid=" + std::to_string(kServiceUser), "--clear-groups", it::FindProgram("env"), "-i",
                                  "HOME=/nonexistent", "STATE_DIRECTORY=" + state.string(),
                                  "XDG_STATE_HOME=" + lib.string(), "XDG_DATA_HOME=" + lib.string(),
                                  "XDG_CONFIG_HOME=" + etc.string(), std::string("LD_LIBRARY_PATH=") + KM7_SIM_DIR,
                                  "KM7_SIM_CONFIG=" + (etc / "sim.conf").string()};
    // The sanitizer builds' settings go along.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
      if (const char* value = std::getenv(name)) argv.push_back(std::string(name) + "=" + value);
    argv.insert(argv.end(), moreEnv.begin(), moreEnv.end());
    argv.push_back(KM7D_PROGRAM);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
};

bool OwnedAndPrivate(const fs::path& file, std::string& why, unsigned mode = 0600) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) {
    why = file.string() + " is missing";
    return false;
  }
  why = file.string() + ": owner " + std::to_string(st.st_uid) + ", mode " + std::to_string(st.st_mode & 0777);
  return st.st_uid == kServiceUser && (st.st_mode & 0777) == mode;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

class Km7dAccountTest : public testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "running km7d as another user needs root";
    if (it::FindProgram("setpriv").empty()) GTEST_SKIP() << "setpriv is not installed";
    it::MailServerOptions opt;
    opt.users = {{"alarms@example.org", "pa ss:word"}};
    std::string why;
    fs::create_directories(tree_.dir / "smtp");
    ASSERT_TRUE(server_.Start(tree_.dir / "smtp", opt, why)) << why;
    // The desktop program's settings: server, LOGIN, an alarm that fires (Lab
    // at 21 °C over 20 °C), and no account of its own.
    WriteSettings(tree_.etc / "km7.INI",
                  {"ORVKM7TempEmailOnOff_Lab=1", "ORVKM7EmailTempAbove_Lab=1", "ORVKM7EmailTempAboveTemp_Lab=20.0",
                   "ORVKM7ServerName_Lab=127.0.0.1", "ORVKM7PortNumber_Lab=" + std::to_string(server_.port()),
                   "ORVKM7Authenticate_Lab=2", "ORVKM7EmailTempTo_Lab=ops@example.org",
                   "ORVKM7EmailTempFrom_Lab=km7@example.org"});
    WriteFile(tree_.etc / "sim.conf", SimModules({{"Lab", 21.0}}));
  }

  it::RunResult SetAccount(const std::string& password) {
    return it::RunProgram(tree_.AsService({"account", "set", "Lab", "--user", "alarms@example.org"}), password);
  }

  ServiceTree tree_;
  it::MailServer server_;
};

TEST_F(Km7dAccountTest, AccountSetByTheServiceUserSendsTheAlarmMail) {
  const it::RunResult set = SetAccount("pa ss:word\n");
  ASSERT_EQ(set.exitCode, 0) << set.out << set.err;
  EXPECT_NE(set.out.find("the account of Lab is stored in " + (tree_.state / "accounts.INI").string()),
            std::string::npos)
      << set.out;
  std::string why;
  EXPECT_TRUE(OwnedAndPrivate(tree_.state / "accounts.INI", why)) << why;
  EXPECT_TRUE(OwnedAndPrivate(tree_.state / "protect.key", why)) << why;
  // Sealed: neither the user name nor the password stands in the file.
  const std::string stored = ReadFile(tree_.state / "accounts.INI");
  EXPECT_EQ(stored.find("alarms@example.org"), std::string::npos) << stored;
  EXPECT_EQ(stored.find("pa ss"), std::string::npos) << stored;

  it::Daemon km7d;
  ASSERT_TRUE(km7d.Start(tree_.AsService({"--settings", (tree_.etc / "km7.INI").string(), "--metrics-listen", "off"}),
                         tree_.dir.path(), "km7d"));
  EXPECT_TRUE(Eventually([&] { return server_.MessageCount() >= 1; }, 60s)) << km7d.Logs() << server_.daemon().Logs();
  km7d.Stop();
  EXPECT_EQ(km7d.Logs().find("given up"), std::string::npos) << km7d.Logs();
}

TEST_F(Km7dAccountTest, AnAccountThatDoesNotOpenIsGivenUpAtOnceAndSaidOnce) {
  ASSERT_EQ(SetAccount("pa ss:word\n").exitCode, 0);
  // Another key: the stored account no longer opens (a copied state folder).
  fs::remove(tree_.state / "protect.key");
  ASSERT_EQ(it::RunProgram(tree_.AsService({"account", "set", "Other", "--user", "x"}), "y\n").exitCode, 0);

  it::Daemon km7d;
  ASSERT_TRUE(km7d.Start(tree_.AsService({"--settings", (tree_.etc / "km7.INI").string(), "--metrics-listen", "off"}),
                         tree_.dir.path(), "km7d"));
  EXPECT_TRUE(Eventually([&] { return km7d.Logs().find("was given up") != std::string::npos; }, 60s))
      << km7d.Logs();
  std::this_thread::sleep_for(3s);  // a retry would show by now
  km7d.Stop();
  const std::string logs = km7d.Logs();
  const std::regex said("was given up: The service's account for Lab in [^\n]* cannot be opened");
  EXPECT_EQ(std::distance(std::sregex_iterator(logs.begin(), logs.end(), said), std::sregex_iterator()), 1) << logs;
  EXPECT_EQ(logs.find("not sent yet"), std::string::npos) << logs;
  EXPECT_EQ(server_.MessageCount(), 0u);
}

TEST_F(Km7dAccountTest, NoPasswordNoWordOnTheCommandLineAndBadArguments) {
  const struct {
    std::vector<std::string> args;
    std::string input;
    int status;
    const char* said;
  } cases[] = {
      {{"account", "set", "Lab", "--user", "a@example.org"}, "", 1, "no password given"},
      {{"account", "set", "Lab", "--user", "a@example.org"}, "\n", 1, "no password given"},
      {{"account", "set", "Lab"}, "pw\n", 2, "set needs --user NAME"},
      {{"account", "set", "Lab", "--password", "pw"}, "", 2, "unknown option --password"},
      {{"account", "frob", "Lab"}, "", 2, "unknown action \"frob\""},
      {{"account"}, "", 2, "expected an action and a sensor name"},
      {{"account", "sign-in", "Lab", "--user", "a@example.org"}, "", 2, "sign-in needs --client-id"},
      {{"account", "sign-in", "Lab", "--user", "a@example.org", "--client-id", "c"}, "", 2,
       "sign-in needs --oauth2-provider"},
      {{"account", "sign-in", "Lab", "--user", "a@example.org", "--client-id", "c", "--oauth2-provider", "yahoo"}, "",
       2, "bad --oauth2-provider \"yahoo\""},
      {{"account", "set", "Lab", "--user", "a@example.org", "--client-id", "c"}, "pw\n", 2,
       "set takes no OAuth 2.0 options"},
  };
  for (const auto& c : cases) {
    const it::RunResult r = it::RunProgram(tree_.AsService(c.args), c.input);
    EXPECT_EQ(r.exitCode, c.status) << c.said << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(tree_.state / "accounts.INI"));
  // Removal leaves no account: the desktop program's settings decide again.
  ASSERT_EQ(SetAccount("pw\n").exitCode, 0);
  const it::RunResult removed = it::RunProgram(tree_.AsService({"account", "remove", "Lab"}));
  EXPECT_EQ(removed.exitCode, 0) << removed.err;
  const std::string left = ReadFile(tree_.state / "accounts.INI");
  EXPECT_FALSE(std::regex_search(left, std::regex("(UsernameE|PasswordE)_Lab=[^\r\n]"))) << left;
}

// The same with an OAuth 2.0 account: signed in with the device flow of the
// test's token server, and used with a token-only mail server over STARTTLS
// although the settings name LOGIN. The provider rotates the refresh token
// with each use; km7d must store the new one where it can write.
class Km7dOAuthAccountTest : public testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "running km7d as another user needs root";
    if (it::FindProgram("setpriv").empty()) GTEST_SKIP() << "setpriv is not installed";
    ASSERT_TRUE(certs_.error.empty()) << certs_.error;
    // The service's user reads the test's CA from the settings folder.
    fs::copy_file(certs_.ca, ca_);
    ::chmod(ca_.c_str(), 0644);
    std::string why;
    fs::create_directories(tree_.dir / "oauth");
    ASSERT_TRUE(tokens_.Start(tree_.dir / "oauth", certs_, {"--rotate", "--pending-polls", "2"}, why)) << why;
    it::MailServerOptions opt;
    opt.tlsCert = certs_.good;
    opt.tlsKey = certs_.key;
    opt.tokenFile = tokens_.TokenFile().string();
    fs::create_directories(tree_.dir / "smtp");
    ASSERT_TRUE(mail_.Start(tree_.dir / "smtp", opt, why)) << why;
    WriteSettings(tree_.etc / "km7.INI",
                  {"ORVKM7TempEmailOnOff_Lab=1", "ORVKM7EmailTempAbove_Lab=1", "ORVKM7EmailTempAboveTemp_Lab=20.0",
                   "ORVKM7ServerName_Lab=localhost", "ORVKM7PortNumber_Lab=" + std::to_string(mail_.port()),
                   "ORVKM7MailSecurity_Lab=1", "ORVKM7Authenticate_Lab=2", "ORVKM7EmailTempTo_Lab=ops@example.org",
                   "ORVKM7EmailTempFrom_Lab=km7@example.org"});
    WriteFile(tree_.etc / "sim.conf", SimModules({{"Lab", 21.0}}));
  }

  std::vector<std::string> SignInArgs() const {
    return {"account", "sign-in", "Lab", "--user", it::kTokenServerUser, "--client-id", it::kTokenServerClient,
            "--oauth2-device-url", tokens_.Url("/device"), "--oauth2-token-url", tokens_.Url("/token"),
            "--cafile", ca_.string()};
  }

  // The refresh token stored for the service, opened with its folder's key
  // as its user (the key opens for its owner only).
  std::string StoredRefreshToken() const {
    km7::oauth::Account account;
    std::string why;
    if (::setegid(kServiceUser) != 0 || ::seteuid(kServiceUser) != 0) ADD_FAILURE() << "cannot become the service user";
    const bool loaded = km7::oauth::LoadAccount(account_.string(), km7::DataProtector::ForFolder(tree_.state.string()),
                                                account, why);
    if (::seteuid(0) != 0 || ::setegid(0) != 0) std::abort();
    EXPECT_TRUE(loaded) << why;
    return account.refreshToken;
  }

  ServiceTree tree_;
  it::TestCertificates certs_;
  fs::path ca_ = tree_.etc / "ca.pem";
  fs::path account_ = tree_.state / "oauth2" / (std::string(it::kTokenServerUser) + ".json");
  it::TokenServer tokens_;
  it::MailServer mail_;
};

TEST_F(Km7dOAuthAccountTest, SignedInByTheServiceUserSendsWithTokensAndKeepsTheRotatedRefreshToken) {
  const it::RunResult signIn = it::RunProgram(tree_.AsService(SignInArgs()), {}, 120s);
  ASSERT_EQ(signIn.exitCode, 0) << signIn.out << signIn.err << tokens_.Log();
  EXPECT_NE(signIn.out.find("open https://login.km7.test/device\nand enter the code KM7-TEST"), std::string::npos)
      << signIn.out;
  EXPECT_EQ(Count(tokens_.Log(), "device_code"), 3u) << tokens_.Log();  // two pending, then the tokens
  std::string why;
  EXPECT_TRUE(OwnedAndPrivate(account_, why)) << why;
  EXPECT_TRUE(OwnedAndPrivate(tree_.state / "oauth2", why, 0700)) << why;
  EXPECT_TRUE(OwnedAndPrivate(tree_.state / "accounts.INI", why)) << why;
  const std::string first = StoredRefreshToken();
  ASSERT_EQ(first.rfind("rt-", 0), 0u) << first;
  EXPECT_EQ(ReadFile(account_).find(first), std::string::npos) << "the refresh token is stored in the clear";

  it::Daemon km7d;
  ASSERT_TRUE(km7d.Start(tree_.AsService({"--settings", (tree_.etc / "km7.INI").string(), "--metrics-listen", "off"},
                                         {"SSL_CERT_FILE=" + ca_.string()}),
                         tree_.dir.path(), "km7d"));
  EXPECT_TRUE(Eventually([&] { return mail_.MessageCount() >= 1; }, 90s))
      << km7d.Logs() << mail_.daemon().Logs() << tokens_.Log();
  km7d.Stop();
  const std::string envelope = ReadFile(mail_.spool() / "0001.json");
  EXPECT_NE(envelope.find("\"login\": \"alice@km7.test\""), std::string::npos) << envelope;
  EXPECT_NE(envelope.find("\"tls\": true"), std::string::npos) << envelope;

  // The provider rotated the refresh token; km7d stored the new one, sealed,
  // in the same file, still the service user's alone.
  EXPECT_GE(Count(tokens_.Log(), "\"grant_type\": \"refresh_token\""), 1u) << tokens_.Log();
  const std::string rotated = StoredRefreshToken();
  EXPECT_EQ(rotated.rfind("rt-", 0), 0u) << rotated;
  EXPECT_NE(rotated, first);
  EXPECT_TRUE(OwnedAndPrivate(account_, why)) << why;

  // No token in anything km7d said: neither refresh token nor any access
  // token the server issued.
  std::vector<std::string> secrets{first, rotated};
  std::istringstream issued(ReadFile(tokens_.TokenFile()));
  for (std::string user, token, expiry; issued >> user >> token >> expiry;) secrets.push_back(token);
  ASSERT_GE(secrets.size(), 4u);
  for (const std::string& secret : secrets) {
    EXPECT_EQ(km7d.Logs().find(secret), std::string::npos) << km7d.Logs();
    EXPECT_EQ((signIn.out + signIn.err).find(secret), std::string::npos) << signIn.out << signIn.err;
  }

  // A second sensor signed in with the same address shares the file; the
  // file goes with the last record that names it.
  std::vector<std::string> other = SignInArgs();
  other[2] = "Hall";
  const it::RunResult second = it::RunProgram(tree_.AsService(other), {}, 120s);
  ASSERT_EQ(second.exitCode, 0) << second.out << second.err;
  for (const char* sensor : {"Lab", "Hall"}) {
    EXPECT_TRUE(fs::exists(account_)) << "gone before " << sensor << " was removed";
    const it::RunResult removed = it::RunProgram(tree_.AsService({"account", "remove", sensor}));
    EXPECT_EQ(removed.exitCode, 0) << removed.err;
  }
  EXPECT_FALSE(fs::exists(account_));
  EXPECT_EQ(ReadFile(tree_.state / "accounts.INI").find("oauth2/"), std::string::npos);
}

TEST_F(Km7dOAuthAccountTest, CtrlCWhileWaitingForTheSignInStoresNothing) {
  it::TokenServer slow;  // never done: the user does not sign in
  std::string why;
  fs::create_directories(tree_.dir / "slow");
  ASSERT_TRUE(slow.Start(tree_.dir / "slow", certs_, {"--pending-polls", "100000"}, why)) << why;
  std::vector<std::string> args = SignInArgs();
  args[8] = slow.Url("/device");
  args[10] = slow.Url("/token");
  it::Daemon signIn;
  ASSERT_TRUE(signIn.Start(tree_.AsService(args), tree_.dir.path(), "sign-in"));
  ASSERT_TRUE(Eventually([&] { return Count(slow.Log(), "device_code") >= 1; }, 60s)) << signIn.Logs();
  ASSERT_EQ(::kill(signIn.pid(), SIGINT), 0);
  EXPECT_TRUE(Eventually([&] { return !signIn.Running(); }, 20s)) << signIn.Logs();
  EXPECT_NE(signIn.Logs().find("the sign-in was stopped; nothing is stored"), std::string::npos) << signIn.Logs();
  EXPECT_FALSE(fs::exists(account_));
  EXPECT_FALSE(fs::exists(tree_.state / "accounts.INI"));
}

}  // namespace
