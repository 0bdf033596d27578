// km7-mail over TLS against aiosmtpd on loopback, with a test CA and server
// certificates from the harness (TestCertificates): STARTTLS and TLS from
// the first byte, the certificate checks, AUTH offered only after STARTTLS,
// TLS through a SOCKS5 proxy; and the server behaviours the reply and
// authentication rules are for (AUTH on the last line, NTLM refused, IPv6).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Harness.h"
#include "smtp/ErrorMessages.h"
#include "smtp/SMTPConnection.h"
#include "smtp/SMTPMessage.h"

namespace km7::it {
namespace {

const char* const kUser = "alice";
const char* const kPassword = "tls-s3cret";

// The certificates of one test program run, in a folder of their own.
using Certificates = TestCertificates;

class MailToolTlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { certs_ = new Certificates(); }
  static void TearDownTestSuite() {
    delete certs_;
    certs_ = nullptr;
  }
  void SetUp() override {
    if (!certs_->error.empty()) GTEST_FAIL() << certs_->error;
    bodyFile_ = tmp_ / "body.txt";
    WriteFile(bodyFile_, "Temperature above the limit.\n.\n.leading dot\nlast line");
    passwordFile_ = tmp_ / "password";
    WriteFile(passwordFile_, std::string(kPassword) + "\n");
    std::filesystem::permissions(passwordFile_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }

  void StartServer(const MailServerOptions& opt) {
    std::string why;
    ASSERT_TRUE(server_.Start(tmp_.path(), opt, why)) << why;
  }

  static MailServerOptions Tls(const std::string& cert, bool implicit) {
    MailServerOptions o;
    o.tlsCert = cert;
    o.tlsKey = certs_->key;
    o.implicitTls = implicit;
    return o;
  }

  std::vector<std::string> Args(const std::string& server, int port, std::vector<std::string> more = {}) {
    std::vector<std::string> argv = {Km7MailPath(), "--server", server, "--port", std::to_string(port),
                                     "--timeout", "30000", "--from", "sensor@km7.test", "--to", "ops@km7.test",
                                     "--subject", "over TLS", "--body-file", bodyFile_.string()};
    argv.insert(argv.end(), more.begin(), more.end());
    return argv;
  }
  std::vector<std::string> Login() {
    return {"--user", kUser, "--password-file", passwordFile_.string()};
  }

  // Empty when message `index` arrived as sent (and over TLS when tls).
  std::string Check(bool tls, std::vector<std::string> more = {}) {
    std::vector<std::string> argv = {Python(), ScriptDir() + "/check_message.py", "--spool",
                                     server_.spool().string(), "--count", "1", "--tls", tls ? "yes" : "no",
                                     "--subject", "over TLS", "--body-file", bodyFile_.string(),
                                     "--mail-from", "sensor@km7.test", "--rcpt", "ops@km7.test"};
    argv.insert(argv.end(), more.begin(), more.end());
    RunResult r = RunProgram(argv);
    if (r.exitCode == 0) return {};
    return "check_message.py exit " + std::to_string(r.exitCode) + ":\n" + r.out + r.err;
  }

  static std::string Describe(const RunResult& r) {
    return "exit " + std::to_string(r.exitCode) + (r.timedOut ? " (timed out)" : "") + "\nstderr:\n" + r.err;
  }

  static Certificates* certs_;
  TempDir tmp_;
  MailServer server_;
  std::filesystem::path bodyFile_, passwordFile_;
};

Certificates* MailToolTlsTest::certs_ = nullptr;

// ---- certificate checks ------------------------------------------------

struct CertCase {
  const char* name;
  std::string Certificates::*cert;
  bool implicit;
  const char* server;      // as given to --server
  bool trustTestCa;        // --cafile with the test CA
  bool insecure;           // --insecure
  const char* errorCode;   // nullptr: delivered
  const char* reason;      // in the error text
};

class MailToolCertTest : public MailToolTlsTest, public ::testing::WithParamInterface<CertCase> {};

TEST_P(MailToolCertTest, DeliversOnlyWhenTheCertificateChecksOut) {
  const CertCase& c = GetParam();
  StartServer(Tls(certs_->*c.cert, c.implicit));
  std::vector<std::string> more = {c.implicit ? "--tls" : "--starttls", "--verbose"};
  if (c.trustTestCa) more.insert(more.end(), {"--cafile", certs_->ca});
  if (c.insecure) more.push_back("--insecure");
  const RunResult r = RunProgram(Args(c.server, server_.port(), more));
  if (c.errorCode == nullptr) {
    ASSERT_EQ(r.exitCode, 0) << Describe(r) << server_.daemon().Logs();
    EXPECT_EQ(Check(true), "");
    // --verbose names the version, the cipher and the subject.
    EXPECT_NE(r.err.find("TLS: TLSv1."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(", cipher "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("CN=localhost"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("warning: --insecure") != std::string::npos, c.insecure) << r.err;
  } else {
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_NE(r.err.find(std::string("km7-mail: error ") + c.errorCode + ": "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    EXPECT_EQ(server_.MessageCount(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, MailToolCertTest,
    ::testing::Values(
        CertCase{"starttls_trusted", &Certificates::good, false, "127.0.0.1", true, false, nullptr, ""},
        CertCase{"implicit_trusted", &Certificates::good, true, "127.0.0.1", true, false, nullptr, ""},
        CertCase{"starttls_by_name", &Certificates::good, false, "localhost", true, false, nullptr, ""},
        // The test CA is not in the system's store.
        CertCase{"unknown_ca", &Certificates::good, false, "127.0.0.1", false, false, "8004023A",
                 "not trusted: unable to get local issuer certificate"},
        CertCase{"self_signed", &Certificates::selfSigned, false, "127.0.0.1", true, false, "8004023A",
                 "self"},
        CertCase{"implicit_self_signed", &Certificates::selfSigned, true, "127.0.0.1", true, false, "8004023A",
                 "self"},
        CertCase{"other_host", &Certificates::otherHost, false, "localhost", true, false, "8004023A",
                 "the certificate is not for \"localhost\""},
        CertCase{"other_address", &Certificates::otherHost, true, "127.0.0.1", true, false, "8004023A",
                 "the certificate is not for \"127.0.0.1\""},
        CertCase{"expired", &Certificates::expired, false, "127.0.0.1", true, false, "8004023A",
                 "certificate has expired"},
        CertCase{"insecure_self_signed", &Certificates::selfSigned, false, "127.0.0.1", false, true, nullptr, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- STARTTLS and authentication ---------------------------------------

TEST_F(MailToolTlsTest, StartTlsRequiredButNotOfferedIsRefusedBeforeAnythingIsSent) {
  MailServerOptions opt;  // no certificate: no STARTTLS offered
  opt.users = {{kUser, kPassword}};
  StartServer(opt);
  auto argv = Args("127.0.0.1", server_.port(), {"--starttls"});
  const auto login = Login();
  argv.insert(argv.end(), login.begin(), login.end());
  const RunResult r = RunProgram(argv);
  EXPECT_EQ(r.exitCode, 1) << Describe(r);
  EXPECT_NE(r.err.find("km7-mail: error 8004023B: The server does not offer STARTTLS"), std::string::npos)
      << r.err;
  EXPECT_EQ(server_.MessageCount(), 0u);
  EXPECT_EQ(r.err.find("warning: AUTH"), std::string::npos) << "no AUTH was tried: " << r.err;
}

TEST_F(MailToolTlsTest, AuthOfferedOnlyAfterStartTlsIsUsed) {
  MailServerOptions opt = Tls(certs_->good, false);
  opt.users = {{kUser, kPassword}};
  opt.authAfterTls = true;
  StartServer(opt);
  for (const char* method : {"auto", "login", "plain"}) {
    auto argv = Args("127.0.0.1", server_.port(), {"--starttls", "--cafile", certs_->ca, "--auth", method});
    const auto login = Login();
    argv.insert(argv.end(), login.begin(), login.end());
    const RunResult r = RunProgram(argv);
    ASSERT_EQ(r.exitCode, 0) << method << ": " << Describe(r) << server_.daemon().Logs();
    // Under TLS, LOGIN and PLAIN draw no warning.
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << method << ": " << r.err;
  }
  EXPECT_EQ(server_.MessageCount(), 3u);
  EXPECT_EQ(Check(true, {"--count", "3", "--index", "3", "--login", kUser}), "");

  // Without STARTTLS the same server offers no AUTH: the error says so.
  auto argv = Args("127.0.0.1", server_.port(), {"--auth", "auto"});
  const auto login = Login();
  argv.insert(argv.end(), login.begin(), login.end());
  const RunResult r = RunProgram(argv);
  EXPECT_EQ(r.exitCode, 1) << Describe(r);
  EXPECT_NE(r.err.find("8004023D: The server offers no authentication method"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("STARTTLS"), std::string::npos) << r.err;
}

TEST_F(MailToolTlsTest, LoginAndPlainInTheClearDrawAWarning) {
  MailServerOptions opt;
  opt.users = {{kUser, kPassword}};
  StartServer(opt);
  struct Case {
    const char* method;
    bool warns;
  };
  for (const Case& c : {Case{"login", true}, Case{"plain", true}, Case{"cram-md5", false}}) {
    auto argv = Args("127.0.0.1", server_.port(), {"--auth", c.method});
    const auto login = Login();
    argv.insert(argv.end(), login.begin(), login.end());
    const RunResult r = RunProgram(argv);
    ASSERT_EQ(r.exitCode, 0) << c.method << ": " << Describe(r);
    EXPECT_EQ(r.err.find("warning: AUTH") != std::string::npos, c.warns) << c.method << ": " << r.err;
  }
}

TEST_F(MailToolTlsTest, TlsThroughTheProxies) {
  // TLS runs inside the tunnel: the proxy sees only the encrypted stream.
  enum class Kind { Microsocks5, Dante4, Tinyproxy };
  struct Case {
    const char* name;
    Kind kind;
    const char* scheme;
    bool implicit;
  };
  for (const Case& c : {Case{"SOCKS5 (microsocks), STARTTLS", Kind::Microsocks5, "socks5", false},
                        Case{"SOCKS5 (microsocks), TLS", Kind::Microsocks5, "socks5", true},
                        Case{"SOCKS4 (dante), STARTTLS", Kind::Dante4, "socks4", false},
                        Case{"HTTP (tinyproxy), TLS", Kind::Tinyproxy, "http", true}}) {
    TempDir dir;
    MailServer server;
    std::string why;
    ASSERT_TRUE(server.Start(dir.path(), Tls(certs_->good, c.implicit), why)) << why;
    Daemon proxy;
    int proxyPort = 0;
    bool started = false;
    switch (c.kind) {
      case Kind::Microsocks5: started = StartMicrosocks(proxy, dir.path(), proxyPort, "", "", why); break;
      case Kind::Dante4: started = StartDante(proxy, dir.path(), proxyPort, why); break;
      case Kind::Tinyproxy: started = StartTinyproxy(proxy, dir.path(), proxyPort, server.port(), "", "", why); break;
    }
    ASSERT_TRUE(started) << c.name << ": " << why;
    const RunResult r = RunProgram(Args("127.0.0.1", server.port(),
                                        {c.implicit ? "--tls" : "--starttls", "--cafile", certs_->ca, "--proxy",
                                         std::string(c.scheme) + "://127.0.0.1:" + std::to_string(proxyPort)}));
    EXPECT_EQ(r.exitCode, 0) << c.name << ": " << Describe(r) << proxy.Logs();
    EXPECT_EQ(server.MessageCount(), 1u) << c.name;
  }
}

TEST_F(MailToolTlsTest, AServerThatVanishesMidSessionIsAnErrorNotASignal) {
  StartServer(Tls(certs_->good, false));
  CZRKSMTPConnection session;
  session.SetTimeout(30000);
  session.SetSecurity(SMTPSecurity::StartTls);
  session.SetCaFile(certs_->ca);
  session.Connect("127.0.0.1", SMTPAuthMethod::None, {}, {}, static_cast<uint16_t>(server_.port()));
  ASSERT_TRUE(session.IsSecure());
  ASSERT_NE(session.GetTlsInfo(), nullptr);
  EXPECT_EQ(session.GetTlsInfo()->version.rfind("TLSv1.", 0), 0u);
  server_.daemon().Stop();  // the peer goes away with the connection open

  CZRKSMTPMessage message;
  message.SetFrom(CZRKSMTPAddress("", "sensor@km7.test"));
  message.GetTo().push_back(CZRKSMTPAddress("", "ops@km7.test"));
  message.AddTextBody(std::string(256 * 1024, 'x'));  // more than the socket buffers take
  // Writing to the dead connection must raise, not end the test program
  // with SIGPIPE (this program does not ignore it, as km7 and km7-mail do).
  int raised = 0;
  for (int i = 0; i < 3; ++i) {
    try {
      session.SendMessage(message);
    } catch (const CZRKSMTPException&) {
      ++raised;
    }
  }
  EXPECT_EQ(raised, 3);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NO_THROW(session.Disconnect(true));  // no QUIT on a broken connection
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(session.IsSecure()) << "the TLS state goes with the connection";
}

// ---- servers the reply and authentication rules are for ------------------

TEST_F(MailToolTlsTest, AuthListedOnTheFinalLineIsFound) {
  MailServerOptions opt;
  opt.users = {{kUser, kPassword}};
  opt.authLast = true;
  StartServer(opt);
  auto argv = Args("127.0.0.1", server_.port());
  const auto login = Login();
  argv.insert(argv.end(), login.begin(), login.end());  // --auth defaults to auto with --user
  const RunResult r = RunProgram(argv);
  ASSERT_EQ(r.exitCode, 0) << Describe(r) << server_.daemon().Logs();
  EXPECT_EQ(Check(false, {"--login", kUser}), "");
}

TEST_F(MailToolTlsTest, AutoTriesTheNextMechanismWhenNtlmIsRefused) {
  MailServerOptions opt;
  opt.users = {{kUser, kPassword}};
  opt.refuseNtlm = true;  // as servers that check only NTLMv1 answers
  StartServer(opt);
  auto argv = Args("127.0.0.1", server_.port(), {"--auth", "auto"});
  const auto login = Login();
  argv.insert(argv.end(), login.begin(), login.end());
  const RunResult r = RunProgram(argv);
  ASSERT_EQ(r.exitCode, 0) << Describe(r) << server_.daemon().Logs();
  EXPECT_EQ(Check(false, {"--login", kUser}), "");
  // CRAM-MD5 took over: no password went out readable.
  EXPECT_EQ(r.err.find("warning: AUTH"), std::string::npos) << r.err;
}

bool LoopbackIPv6() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

TEST_F(MailToolTlsTest, IPv6Loopback) {
  if (!LoopbackIPv6()) GTEST_SKIP() << "no IPv6 on the loopback interface";
  MailServerOptions opt = Tls(certs_->good, false);
  opt.host = "::1";
  StartServer(opt);
  const RunResult r = RunProgram(Args("::1", server_.port(), {"--starttls", "--cafile", certs_->ca}));
  ASSERT_EQ(r.exitCode, 0) << Describe(r) << server_.daemon().Logs();
  EXPECT_EQ(Check(true), "");
}

}  // namespace
}  // namespace km7::it
