// km7-mail end to end: the real binary against aiosmtpd (with LOGIN, PLAIN,
// CRAM-MD5 and NTLMv2 checks of the credentials), through microsocks, dante
// and tinyproxy, all on loopback; what arrives is parsed back by Python's
// email package and compared with what was sent.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <regex>

#include "Harness.h"

namespace km7::it {
namespace {

using namespace std::chrono_literals;

const char* const kUser = "alice";
const char* const kPassword = "s3cret:pa ss";  // a colon and a space travel too

class MailToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every byte value, and the sequences that could end DATA early if the
    // content were not encoded.
    std::string bin;
    std::mt19937 rng(7);
    for (int i = 0; i < 256; ++i) bin += static_cast<char>(i);
    bin += "\r\n.\r\n\n.\n";
    for (int i = 0; i < 150000; ++i) bin += static_cast<char>(rng() & 0xFF);
    attachment_ = tmp_ / "sensor-log.bin";
    WriteFile(attachment_, bin);
    secondAttachment_ = tmp_ / "notes.txt";
    WriteFile(secondAttachment_, ".\r\nline after a lone dot\n..two dots\n");
    // A body that needs dot-stuffing, long lines and blank lines.
    std::string body =
        "Temperature above the limit.\n"
        ".\n"
        ".leading dot\n"
        "..two leading dots\n"
        "\n"
        "spaces at the end   \n"
        "tab\tinside\n" +
        std::string(200, 'x') + "\n=equals=3D and soft breaks=\nlast line";
    bodyFile_ = tmp_ / "body.txt";
    WriteFile(bodyFile_, body);
  }

  void StartServer(MailServerOptions opt = {}) {
    std::string why;
    ASSERT_TRUE(server_.Start(tmp_.path(), opt, why)) << why;
  }
  void StartAuthServer() { StartServer(Users({{kUser, kPassword}})); }
  static MailServerOptions Users(std::vector<std::pair<std::string, std::string>> users,
                                 std::vector<std::string> exclude = {}) {
    MailServerOptions o;
    o.users = std::move(users);
    o.excludeMechanisms = std::move(exclude);
    return o;
  }

  std::string PasswordFile() {
    auto p = tmp_ / "password";
    WriteFile(p, std::string(kPassword) + "\n");
    return p.string();
  }

  // A message with everything: To, Cc, Bcc, subject, body, attachments.
  std::vector<std::string> FullArgs(int port) {
    return {Km7MailPath(),
            "--server", "127.0.0.1",
            "--port", std::to_string(port),
            "--timeout", "30000",
            "--helo", "probe.km7.test",
            "--from", "Sensor Room <sensor@km7.test>",
            "--to", "ops@km7.test; \"Doe, Jane\" <jane@km7.test>",
            "--cc", "boss@km7.test,audit@km7.test",
            "--bcc", "archive@km7.test",
            "--subject", "ORV-KM7 alarm: Computer Room above 30.0 C",
            "--body-file", bodyFile_.string(),
            "--attach", attachment_.string(),
            "--attach", secondAttachment_.string()};
  }

  std::vector<std::string> FullChecks() {
    return {"--from", "sensor@km7.test",
            "--from-name", "Sensor Room",
            "--to", "ops@km7.test,jane@km7.test",
            "--cc", "boss@km7.test,audit@km7.test",
            "--mail-from", "sensor@km7.test",
            "--rcpt", "ops@km7.test,jane@km7.test,boss@km7.test,audit@km7.test,archive@km7.test",
            "--subject", "ORV-KM7 alarm: Computer Room above 30.0 C",
            "--body-file", bodyFile_.string(),
            "--multipart", "yes",
            "--attach", attachment_.string(),
            "--attach", secondAttachment_.string()};
  }

  // Runs check_message.py; an empty result means the message is as sent.
  std::string Check(std::vector<std::string> checks, int index = 1) {
    std::vector<std::string> argv = {Python(), ScriptDir() + "/check_message.py", "--spool",
                                     server_.spool().string(), "--index", std::to_string(index)};
    argv.insert(argv.end(), checks.begin(), checks.end());
    RunResult r = RunProgram(argv);
    if (r.exitCode == 0) return {};
    return "check_message.py exit " + std::to_string(r.exitCode) + ":\n" + r.out + r.err;
  }

  static std::string Describe(const RunResult& r) {
    return "exit " + std::to_string(r.exitCode) + (r.timedOut ? " (timed out)" : "") + "\nstdout:\n" + r.out +
           "\nstderr:\n" + r.err;
  }

  TempDir tmp_;
  MailServer server_;
  std::filesystem::path attachment_, secondAttachment_, bodyFile_;
};

// ---- command line -------------------------------------------------------

// A core dump of km7-mail while it reads a password would hold it. That
// this system writes core dumps at all is shown by a plain program first.
TEST(MailToolSecretsTest, NoCoreDumpWhileItHoldsAPassword) {
  TempDir dir;
  if (!DumpsCoreOnQuit({"sleep", "30"}, dir.path(), 200ms).value_or(false))
    GTEST_SKIP() << "this system writes no core dumps";
  const auto dumped = DumpsCoreOnQuit({Km7MailPath(), "--server", "127.0.0.1", "--port", "1", "--user", "u",
                                       "--password-file", "-", "--from", "a@km7.test", "--to", "b@km7.test",
                                       "--subject", "s", "--body", "b"},
                                      dir.path(), 1500ms);
  ASSERT_TRUE(dumped.has_value()) << "km7-mail ended before the signal";
  EXPECT_FALSE(*dumped);
}

TEST_F(MailToolTest, HelpPrintsUsageAndSucceeds) {
  RunResult r = RunProgram({Km7MailPath(), "--help"});
  EXPECT_EQ(r.exitCode, 0) << Describe(r);
  EXPECT_NE(r.out.find("Usage: km7-mail --server HOST"), std::string::npos);
  EXPECT_NE(r.out.find("--password-file"), std::string::npos);
  EXPECT_EQ(r.err, "");
}

TEST_F(MailToolTest, BadCommandLineExitsTwoWithoutConnecting) {
  StartServer();
  for (std::vector<std::string> extra : std::vector<std::vector<std::string>>{
           {"--auth", "kerberos"}, {"--port", "70000"}, {"--proxy", "ftp://h:1"}, {"--dsn", "sometimes"},
           {"--count", "0"}, {"--body", "x", "--body-file", "y"}, {"--password", "s3cret"}}) {
    std::vector<std::string> argv = {Km7MailPath(), "--server", "127.0.0.1", "--port",
                                     std::to_string(server_.port()), "--from", "a@km7.test", "--to", "b@km7.test"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    RunResult r = RunProgram(argv);
    EXPECT_EQ(r.exitCode, 2) << extra[0] << "\n" << Describe(r);
    EXPECT_NE(r.err.find("km7-mail: "), std::string::npos);
  }
  EXPECT_EQ(server_.MessageCount(), 0u);
}

TEST_F(MailToolTest, MissingAttachmentIsRefusedBeforeConnecting) {
  StartServer();
  auto argv = FullArgs(server_.port());
  argv.push_back("--attach");
  argv.push_back((tmp_ / "no-such-file").string());
  RunResult r = RunProgram(argv);
  EXPECT_EQ(r.exitCode, 2) << Describe(r);
  EXPECT_NE(r.err.find("no-such-file"), std::string::npos);

  argv = FullArgs(server_.port());
  argv.insert(argv.end(), {"--attach", tmp_.path().string()});
  r = RunProgram(argv);
  EXPECT_EQ(r.exitCode, 2) << Describe(r);
  EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
  EXPECT_EQ(server_.MessageCount(), 0u);
}

TEST_F(MailToolTest, FolderAsBodyOrPasswordFileIsRefused) {
  StartServer();
  for (const char* option : {"--body-file", "--password-file"}) {
    RunResult r = RunProgram({Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(server_.port()),
                              "--from", "a@km7.test", "--to", "b@km7.test", "--user", kUser, option,
                              tmp_.path().string()});
    EXPECT_EQ(r.exitCode, 2) << option << "\n" << Describe(r);
    EXPECT_NE(r.err.find("it is a folder"), std::string::npos) << r.err;
  }
  EXPECT_EQ(server_.MessageCount(), 0u);
}

TEST_F(MailToolTest, LineBreakInAnAddressIsRefused) {
  StartServer();
  RunResult r = RunProgram({Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(server_.port()), "--from",
                     "a@km7.test", "--to", "b@km7.test\r\nRCPT TO:<evil@km7.test>"});
  EXPECT_EQ(r.exitCode, 2) << Describe(r);
  EXPECT_EQ(server_.MessageCount(), 0u);
}

// ---- direct delivery ----------------------------------------------------

TEST_F(MailToolTest, DirectMessageWithCcBccAndAttachmentsArrivesIntact) {
  StartServer();
  RunResult r = RunProgram(FullArgs(server_.port()));
  ASSERT_EQ(r.exitCode, 0) << Describe(r);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");  // silent without --verbose
  auto checks = FullChecks();
  checks.insert(checks.end(), {"--count", "1", "--helo", "probe.km7.test", "--login", ""});
  EXPECT_EQ(Check(checks), "");
}

TEST_F(MailToolTest, PlainTextMessageWithDotLinesArrivesIntact) {
  StartServer();
  RunResult r = RunProgram({Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(server_.port()), "--from",
                     "sensor@km7.test", "--to", "ops@km7.test", "--subject", "", "--body-file", bodyFile_.string()});
  ASSERT_EQ(r.exitCode, 0) << Describe(r);
  EXPECT_EQ(Check({"--multipart", "no", "--body-file", bodyFile_.string(), "--subject", "", "--rcpt",
                   "ops@km7.test", "--cc", ""}),
            "");
}

TEST_F(MailToolTest, MimeWithoutAttachmentAndUtf8Texts) {
  StartServer();
  const std::string subject = "Alarm \xC3\xBC" "ber 30 \xC2\xB0" "C \xE2\x80\x93 Serverraum";
  auto body = tmp_ / "utf8.txt";
  WriteFile(body, "Gr\xC3\xBC\xC3\x9F" "e aus dem Serverraum\n\xE2\x82\xAC 12\n");
  RunResult r = RunProgram({Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(server_.port()), "--from",
                     "sensor@km7.test", "--to", "ops@km7.test", "--subject", subject, "--body-file", body.string(),
                     "--mime"});
  ASSERT_EQ(r.exitCode, 0) << Describe(r);
  EXPECT_EQ(Check({"--multipart", "yes", "--subject", subject, "--body-file", body.string()}), "");
}

TEST_F(MailToolTest, LongSubjectIsFoldedAndDecodesWhole) {
  StartServer();
  std::string subject;
  for (int i = 0; i < 12; ++i) subject += "word" + std::to_string(i) + " ";
  subject += "end of a long subject line";
  RunResult r = RunProgram({Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(server_.port()), "--from",
                     "sensor@km7.test", "--to", "ops@km7.test", "--subject", subject, "--body", "short"});
  ASSERT_EQ(r.exitCode, 0) << Describe(r);
  EXPECT_EQ(Check({"--subject", subject}), "");
}

TEST_F(MailToolTest, CountSendsEveryMessageOverOneConnection) {
  StartServer();
  auto argv = FullArgs(server_.port());
  argv.insert(argv.end(), {"--count", "5"});
  RunResult r = RunProgram(argv);
  ASSERT_EQ(r.exitCode, 0) << Describe(r);
  for (int i = 1; i <= 5; ++i) {
    auto checks = FullChecks();
    checks.insert(checks.end(), {"--count", "5", "--one-connection"});
    EXPECT_EQ(Check(checks, i), "") << "message " << i;
  }
}

TEST_F(MailToolTest, VerboseReportsEachStepOnStandardError) {
  StartServer();
  RunResult r = RunProgram({Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(server_.port()), "--from",
                     "a@km7.test", "--to", "b@km7.test", "--body", "hi", "--count", "2", "--verbose"});
  ASSERT_EQ(r.exitCode, 0) << Describe(r);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("connected: 250"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("message 1/2: 250 OK message 1 queued"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("message 2/2: 250 OK message 2 queued"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("sent 2 messages in"), std::string::npos) << r.err;
}

TEST_F(MailToolTest, DsnParametersReachTheServerWithAFreshEnvelopeIdPerMessage) {
  StartServer();
  RunResult r = RunProgram({Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(server_.port()), "--from",
                     "a@km7.test", "--to", "b@km7.test,c@km7.test", "--body", "hi", "--dsn", "failure,success",
                     "--count", "2"});
  ASSERT_EQ(r.exitCode, 0) << Describe(r);
  EXPECT_EQ(Check({"--mail-option", "RET=HDRS", "--rcpt-option", "NOTIFY=SUCCESS,FAILURE"}, 1), "");
  // The ENVID values: 32 upper-case hexadecimal digits, different per message.
  std::regex envid("ENVID=([0-9A-F]{32})\"");
  std::smatch m1, m2;
  std::string j1 = ReadFile(server_.spool() / "0001.json"), j2 = ReadFile(server_.spool() / "0002.json");
  ASSERT_TRUE(std::regex_search(j1, m1, envid)) << j1;
  ASSERT_TRUE(std::regex_search(j2, m2, envid)) << j2;
  EXPECT_NE(m1[1].str(), m2[1].str());

  RunResult never = RunProgram({Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(server_.port()),
                         "--from", "a@km7.test", "--to", "b@km7.test", "--body", "hi", "--dsn", "never"});
  ASSERT_EQ(never.exitCode, 0) << Describe(never);
  EXPECT_EQ(Check({"--rcpt-option", "NOTIFY=NEVER", "--mail-option", "RET=HDRS"}, 3), "");
}

TEST_F(MailToolTest, BindToLoopbackAddress) {
  StartServer();
  RunResult r = RunProgram({Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(server_.port()), "--bind",
                     "127.0.0.1", "--from", "a@km7.test", "--to", "b@km7.test", "--body", "bound"});
  EXPECT_EQ(r.exitCode, 0) << Describe(r);
  EXPECT_EQ(server_.MessageCount(), 1u);
}

TEST_F(MailToolTest, BindToAnAddressThisHostDoesNotHaveFails) {
  StartServer();
  // 192.0.2.1 is a documentation address: the bind fails locally, nothing is sent.
  RunResult r = RunProgram({Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(server_.port()),
                            "--bind", "192.0.2.1", "--from", "a@km7.test", "--to", "b@km7.test", "--body", "x"});
  EXPECT_EQ(r.exitCode, 1) << Describe(r);
  EXPECT_NE(r.err.find("km7-mail: error 80072741: "), std::string::npos) << r.err;  // WSAEADDRNOTAVAIL
  EXPECT_EQ(server_.MessageCount(), 0u);
}

TEST_F(MailToolTest, RefusedRecipientStopsTheMessageAndIsReported) {
  MailServerOptions opt;
  opt.refusedRecipients = {"boss@km7.test"};
  StartServer(opt);
  RunResult r = RunProgram(FullArgs(server_.port()));
  EXPECT_EQ(r.exitCode, 1) << Describe(r);
  EXPECT_NE(r.err.find("km7-mail: error 8004020C: Unexpected RCPT TO response"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("  550 5.1.1 <boss@km7.test>: Recipient address rejected"), std::string::npos) << r.err;
  EXPECT_EQ(server_.MessageCount(), 0u);
}

TEST_F(MailToolTest, MessageOverTheServersSizeLimitIsReported) {
  MailServerOptions opt;
  opt.sizeLimit = 64 * 1024;  // the 150 KB attachment does not fit
  StartServer(opt);
  RunResult r = RunProgram(FullArgs(server_.port()));
  EXPECT_EQ(r.exitCode, 1) << Describe(r);
  EXPECT_NE(r.err.find("km7-mail: error 80040209: Unexpected End of Message response"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("  552 "), std::string::npos) << r.err;
  EXPECT_EQ(server_.MessageCount(), 0u);
}

// ---- authentication against the server's own credential checks ----------

struct AuthCase {
  const char* method;
  const char* user;      // as given to km7-mail
  const char* login;     // as the server records it
  const char* failCode;  // error code on a wrong password
};

class MailToolAuthTest : public MailToolTest, public ::testing::WithParamInterface<AuthCase> {};

TEST_P(MailToolAuthTest, RightPasswordDeliversWrongPasswordFailsWithTheStepsCode) {
  const AuthCase& c = GetParam();
  StartServer(Users({{"alice", kPassword}, {"KM7\\alice", kPassword}}));
  auto argv = FullArgs(server_.port());
  argv.insert(argv.end(), {"--auth", c.method, "--user", c.user, "--password-file", PasswordFile()});
  RunResult r = RunProgram(argv);
  ASSERT_EQ(r.exitCode, 0) << Describe(r) << server_.daemon().Logs();
  auto checks = FullChecks();
  checks.insert(checks.end(), {"--login", c.login});
  EXPECT_EQ(Check(checks), "");

  auto wrong = tmp_ / "wrong";
  WriteFile(wrong, "not-the-password\n");
  argv = FullArgs(server_.port());
  argv.insert(argv.end(), {"--auth", c.method, "--user", c.user, "--password-file", wrong.string()});
  r = RunProgram(argv);
  EXPECT_EQ(r.exitCode, 1) << Describe(r);
  EXPECT_NE(r.err.find(std::string("km7-mail: error ") + c.failCode + ": "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("535 5.7.8 Authentication credentials invalid"), std::string::npos) << r.err;
  EXPECT_EQ(server_.MessageCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Mechanisms, MailToolAuthTest,
    ::testing::Values(AuthCase{"login", "alice", "alice", "80040211"},
                      AuthCase{"plain", "alice", "alice", "80040212"},
                      AuthCase{"cram-md5", "alice", "alice", "80040218"},
                      AuthCase{"ntlm", "alice", "alice", "8004021A"},
                      AuthCase{"ntlm", "KM7\\alice", "KM7\\alice", "8004021A"},
                      // auto takes NTLM first among CRAM-MD5 LOGIN NTLM PLAIN; on a
                      // refusal it tries CRAM-MD5, and stops there without TLS
                      AuthCase{"auto", "alice", "alice", "80040218"}),
    [](const auto& info) {
      std::string n = std::string(info.param.method) + (std::string(info.param.user).find('\\') != std::string::npos
                                                            ? "_domain"
                                                            : "");
      for (char& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

TEST_F(MailToolTest, AutoPicksCramMd5WhenNtlmIsNotOffered) {
  StartServer(Users({{kUser, kPassword}}, {"NTLM"}));
  auto argv = FullArgs(server_.port());
  argv.insert(argv.end(), {"--user", kUser, "--password-file", PasswordFile(), "--verbose"});
  RunResult r = RunProgram(argv);
  ASSERT_EQ(r.exitCode, 0) << Describe(r);
  EXPECT_EQ(Check({"--login", kUser}), "");
  // A wrong password shows which mechanism was picked: CRAM-MD5's digest step.
  auto wrong = tmp_ / "wrong";
  WriteFile(wrong, "nope\n");
  argv = FullArgs(server_.port());
  argv.insert(argv.end(), {"--user", kUser, "--password-file", wrong.string()});
  r = RunProgram(argv);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("error 80040218"), std::string::npos) << r.err;
}

TEST_F(MailToolTest, PasswordFromStandardInput) {
  StartAuthServer();
  auto argv = FullArgs(server_.port());
  argv.insert(argv.end(), {"--auth", "plain", "--user", kUser, "--password-file", "-"});
  RunResult r = RunProgram(argv, std::string(kPassword) + "\r\n");
  ASSERT_EQ(r.exitCode, 0) << Describe(r);
  EXPECT_EQ(Check({"--login", kUser}), "");
}

TEST_F(MailToolTest, ServerRequiringAuthRefusesAnUnauthenticatedSender) {
  StartAuthServer();
  RunResult r = RunProgram({Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(server_.port()), "--from",
                     "a@km7.test", "--to", "b@km7.test", "--body", "x", "--auth", "auto"});
  EXPECT_EQ(r.exitCode, 1) << Describe(r);
  // No user: auto still picks NTLM, which has no credentials to offer.
  EXPECT_NE(r.err.find("km7-mail: error "), std::string::npos) << r.err;
  EXPECT_EQ(server_.MessageCount(), 0u);
}

// ---- transport failures ---------------------------------------------------

TEST_F(MailToolTest, RefusedConnectionReportsTheSocketError) {
  int port = FreePort();
  RunResult r = RunProgram({Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(port), "--from", "a@km7.test",
                     "--to", "b@km7.test", "--body", "x"});
  EXPECT_EQ(r.exitCode, 75) << Describe(r);
  EXPECT_NE(r.err.find("km7-mail: error 8007274D: "), std::string::npos) << r.err;  // 10061
  EXPECT_NE(r.err.find("server's last response: (none)"), std::string::npos) << r.err;
}

TEST_F(MailToolTest, SilentServerFailsAfterTheTimeout) {
  // A listening socket that never answers: the connection completes in the
  // kernel's backlog, the greeting never comes.
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(s, 4), 0);
  ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&a), &len), 0);
  RunResult r = RunProgram({Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(ntohs(a.sin_port)),
                     "--timeout", "300", "--from", "a@km7.test", "--to", "b@km7.test", "--body", "x"},
                    {}, 60s);
  close(s);
  EXPECT_EQ(r.exitCode, 75) << Describe(r);
  EXPECT_NE(r.err.find("km7-mail: error 80040244: The server did not answer within the time-out"), std::string::npos)
      << r.err;
}

// ---- proxies ----------------------------------------------------------------

enum class ProxyKind { MicrosocksOpen, MicrosocksAuth, DanteSocks4, DanteSocks5, TinyproxyOpen, TinyproxyAuth };

struct ProxyCase {
  const char* name;
  ProxyKind kind;
};

class MailToolProxyTest : public MailToolTest, public ::testing::WithParamInterface<ProxyCase> {
 protected:
  // The proxy's program, or empty when it is not installed (./test.sh
  // installs them all; elsewhere such tests are skipped).
  static std::string ProxyProgram(ProxyKind kind) {
    switch (kind) {
      case ProxyKind::MicrosocksOpen:
      case ProxyKind::MicrosocksAuth: return FindProgram("microsocks");
      case ProxyKind::DanteSocks4:
      case ProxyKind::DanteSocks5: return FindProgram("danted");
      default: return FindProgram("tinyproxy");
    }
  }

  // Starts the proxy; returns the --proxy URL (with credentials when
  // `password` is given) or an empty text after a failure.
  std::string StartProxy(ProxyKind kind, const std::string& password) {
    std::string why;
    int port = 0;
    bool ok = false;
    std::string url;
    switch (kind) {
      case ProxyKind::MicrosocksOpen:
        ok = StartMicrosocks(proxy_, tmp_.path(), port, "", "", why);
        url = "socks5://127.0.0.1:";
        break;
      case ProxyKind::MicrosocksAuth:
        ok = StartMicrosocks(proxy_, tmp_.path(), port, "proxyuser", "proxy-pw", why);
        url = "socks5://proxyuser:" + password + "@127.0.0.1:";
        break;
      case ProxyKind::DanteSocks4:
        ok = StartDante(proxy_, tmp_.path(), port, why);
        url = "socks4://127.0.0.1:";
        break;
      case ProxyKind::DanteSocks5:
        ok = StartDante(proxy_, tmp_.path(), port, why);
        url = "socks5://127.0.0.1:";
        break;
      case ProxyKind::TinyproxyOpen:
        ok = StartTinyproxy(proxy_, tmp_.path(), port, server_.port(), "", "", why);
        url = "http://127.0.0.1:";
        break;
      case ProxyKind::TinyproxyAuth:
        ok = StartTinyproxy(proxy_, tmp_.path(), port, server_.port(), "proxyuser", "proxy-pw", why);
        url = "http://proxyuser:" + password + "@127.0.0.1:";
        break;
    }
    if (!ok) {
      ADD_FAILURE() << why;
      return {};
    }
    return url + std::to_string(port);
  }

  Daemon proxy_;
};

TEST_P(MailToolProxyTest, MessageArrivesIntactThroughTheProxy) {
  StartAuthServer();
  if (ProxyProgram(GetParam().kind).empty()) GTEST_SKIP() << "proxy program not installed (scripts/install-deps.sh installs it)";
  std::string url = StartProxy(GetParam().kind, "proxy-pw");
  ASSERT_FALSE(url.empty());
  auto argv = FullArgs(server_.port());
  argv.insert(argv.end(), {"--proxy", url, "--user", kUser, "--password-file", PasswordFile(), "--auth", "login",
                           "--count", "2"});
  RunResult r = RunProgram(argv);
  ASSERT_EQ(r.exitCode, 0) << Describe(r) << "\nproxy:\n" << proxy_.Logs();
  for (int i = 1; i <= 2; ++i) {
    auto checks = FullChecks();
    checks.insert(checks.end(), {"--login", kUser, "--count", "2", "--one-connection"});
    EXPECT_EQ(Check(checks, i), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Proxies, MailToolProxyTest,
                         ::testing::Values(ProxyCase{"MicrosocksSocks5", ProxyKind::MicrosocksOpen},
                                           ProxyCase{"MicrosocksSocks5WithPassword", ProxyKind::MicrosocksAuth},
                                           ProxyCase{"DanteSocks4", ProxyKind::DanteSocks4},
                                           ProxyCase{"DanteSocks5", ProxyKind::DanteSocks5},
                                           ProxyCase{"TinyproxyConnect", ProxyKind::TinyproxyOpen},
                                           ProxyCase{"TinyproxyConnectWithBasicAuth", ProxyKind::TinyproxyAuth}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MailToolProxyTest, Socks5WrongProxyPasswordIsAccessDenied) {
  StartServer();
  if (ProxyProgram(ProxyKind::MicrosocksAuth).empty()) GTEST_SKIP() << "proxy program not installed (scripts/install-deps.sh installs it)";
  std::string url = StartProxy(ProxyKind::MicrosocksAuth, "wrong-pw");
  ASSERT_FALSE(url.empty());
  RunResult r = RunProgram({Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(server_.port()), "--proxy",
                     url, "--from", "a@km7.test", "--to", "b@km7.test", "--body", "x"});
  EXPECT_EQ(r.exitCode, 1) << Describe(r);
  EXPECT_NE(r.err.find("km7-mail: error 80070005: "), std::string::npos) << r.err;  // ERROR_ACCESS_DENIED
  EXPECT_EQ(server_.MessageCount(), 0u);
}

TEST_F(MailToolProxyTest, HttpProxyWrongPasswordIsConnectionRefused) {
  StartServer();
  if (ProxyProgram(ProxyKind::TinyproxyAuth).empty()) GTEST_SKIP() << "proxy program not installed (scripts/install-deps.sh installs it)";
  std::string url = StartProxy(ProxyKind::TinyproxyAuth, "wrong-pw");
  ASSERT_FALSE(url.empty());
  RunResult r = RunProgram({Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(server_.port()), "--proxy",
                     url, "--from", "a@km7.test", "--to", "b@km7.test", "--body", "x"});
  EXPECT_TRUE(r.exitCode == 1 || r.exitCode == 75) << Describe(r);
  EXPECT_NE(r.err.find("km7-mail: error 800704C9: "), std::string::npos) << r.err;  // 1225
  EXPECT_EQ(server_.MessageCount(), 0u);
}

TEST_F(MailToolProxyTest, Socks4ToAClosedPortIsABadNetworkResponse) {
  StartServer();  // only for the folder layout; the target below is closed
  if (ProxyProgram(ProxyKind::DanteSocks4).empty()) GTEST_SKIP() << "proxy program not installed (scripts/install-deps.sh installs it)";
  std::string url = StartProxy(ProxyKind::DanteSocks4, "");
  ASSERT_FALSE(url.empty());
  RunResult r = RunProgram({Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(FreePort()), "--proxy", url,
                     "--from", "a@km7.test", "--to", "b@km7.test", "--body", "x"});
  EXPECT_EQ(r.exitCode, 75) << Describe(r);
  EXPECT_NE(r.err.find("km7-mail: error 8007003A: "), std::string::npos) << r.err;  // ERROR_BAD_NET_RESP
}

}  // namespace
}  // namespace km7::it
