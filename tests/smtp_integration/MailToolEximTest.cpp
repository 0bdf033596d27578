// km7-mail against Debian's exim4 on loopback: the authentication mechanisms
// one by one and "auto" (exim refuses the client's NTLM, so auto must move on,
// but never to LOGIN or PLAIN in the clear), wrong passwords, and STARTTLS and
// TLS on connect with a certificate from the harness's test CA.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

#include "EximServer.h"
#include "Harness.h"

namespace km7::it {
namespace {

const char* const kUser = "alice";
const char* const kPassword = "ex1m-s3cret";
const char* const kSubject = "exim delivery";
const char* const kBody = "Temperature above the limit.\r\n.leading dot\r\nlast line";

enum class Security { None, StartTls, Tls };

struct EximCase {
  const char* name;
  std::vector<std::string> offered;  // mechanisms exim offers, in order
  Security security;
  const char* auth;                  // --auth
  bool wrongPassword;
  bool trustTestCa;                  // --cafile with the test CA
  int exitCode;
  const char* usedBy;                // authenticator exim logs for the accepted login; nullptr: none
  std::vector<std::string> inError;  // in km7-mail's stderr when it fails
  std::vector<std::string> notTried; // mechanisms that must never be started
  bool authOnlyUnderTls = false;
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const EximCase& c, std::ostream* os) { *os << c.name; }

class MailToolEximTest : public ::testing::TestWithParam<EximCase> {
 protected:
  static void SetUpTestSuite() {
    if (!EximServer::Binary().empty()) ca_ = new TestCertificates();
  }
  static void TearDownTestSuite() {
    delete ca_;
    ca_ = nullptr;
  }
  void SetUp() override {
    if (EximServer::Binary().empty()) GTEST_SKIP() << "exim4 is not installed (scripts/install-deps.sh installs it)";
    if (!ca_->error.empty()) GTEST_FAIL() << ca_->error;
  }

  static TestCertificates* ca_;
};

TestCertificates* MailToolEximTest::ca_ = nullptr;

std::string Describe(const RunResult& r) {
  return "exit " + std::to_string(r.exitCode) + (r.timedOut ? " (timed out)" : "") + "\nstderr:\n" + r.err;
}

TEST_P(MailToolEximTest, DeliversOnlyAsTheRulesAllow) {
  const EximCase& c = GetParam();
  TempDir tmp;
  EximOptions opt;
  opt.mechanisms = c.offered;
  opt.user = kUser;
  opt.password = kPassword;
  opt.authOnlyUnderTls = c.authOnlyUnderTls;
  if (c.security != Security::None || c.authOnlyUnderTls) {
    opt.tlsCert = ca_->good;
    opt.tlsKey = ca_->key;
  }
  EximServer exim;
  std::string why;
  ASSERT_TRUE(exim.Start(tmp.path(), opt, why)) << why;

  WriteFile(tmp / "body.txt", kBody);
  WriteFile(tmp / "password", std::string(c.wrongPassword ? "not-the-password" : kPassword) + "\n");
  std::vector<std::string> argv = {
      Km7MailPath(), "--server", "127.0.0.1", "--port",
      std::to_string(c.security == Security::Tls ? exim.tlsPort() : exim.port()), "--timeout", "30000",
      "--from", "sensor@km7.test", "--to", "ops@km7.test", "--subject", kSubject,
      "--body-file", (tmp / "body.txt").string(), "--user", kUser, "--password-file", (tmp / "password").string(),
      "--auth", c.auth, "--verbose"};
  if (c.security == Security::StartTls) argv.push_back("--starttls");
  if (c.security == Security::Tls) argv.push_back("--tls");
  if (c.trustTestCa) argv.insert(argv.end(), {"--cafile", ca_->ca});
  const RunResult r = RunProgram(argv);

  ASSERT_EQ(r.exitCode, c.exitCode) << Describe(r) << exim.Log();
  for (const auto& text : c.inError) EXPECT_NE(r.err.find(text), std::string::npos) << text << "\n" << r.err;
  for (const auto& mech : c.notTried) {
    EXPECT_EQ(r.err.find("> AUTH " + mech), std::string::npos) << mech << " was started:\n" << r.err;
    // exim logs a failed login under the authenticator's name.
    EXPECT_EQ(exim.Log().find(EximServer::AuthenticatorName(mech) + " authenticator"), std::string::npos)
        << exim.Log();
  }

  if (c.exitCode != 0) {
    EXPECT_EQ(exim.Log().find("<= "), std::string::npos) << "exim accepted a message:\n" << exim.Log();
    EXPECT_EQ(exim.DeliveredCount(), 0u);
    return;
  }
  ASSERT_EQ(exim.WaitForDelivered(1), 1u) << exim.Log();
  const std::string log = exim.Log();
  EXPECT_NE(log.find(std::string(" A=") + c.usedBy + ":" + kUser), std::string::npos) << log;
  // exim logs the cipher of a TLS session on the arrival line.
  EXPECT_EQ(log.find(" X=TLS") != std::string::npos, c.security != Security::None) << log;
  const std::string mail = exim.Delivered().at(0);
  EXPECT_NE(mail.find(c.security == Security::None ? "with esmtpa " : "with esmtpsa "), std::string::npos) << mail;
  const auto subjectAt = mail.find("\nSubject: ");
  ASSERT_NE(subjectAt, std::string::npos) << mail;
  // Sent as a Q encoded word, where a blank may be "_" or "=20".
  std::string subject = mail.substr(subjectAt + 1, mail.find('\n', subjectAt + 1) - subjectAt - 1);
  for (std::size_t at; (at = subject.find("=20")) != std::string::npos;) subject.replace(at, 3, " ");
  std::replace(subject.begin(), subject.end(), '_', ' ');
  EXPECT_NE(subject.find(std::string("?Q?") + kSubject + "?="), std::string::npos) << subject;
  EXPECT_NE(mail.find("for ops@km7.test"), std::string::npos) << mail;
  // Dot-stuffing undone by the server: the body arrives as written.
  EXPECT_NE(mail.find(std::string("\n\n") + "Temperature above the limit.\n.leading dot\nlast line"),
            std::string::npos)
      << mail;
}

const std::vector<std::string> kAll = {"NTLM", "CRAM-MD5", "LOGIN", "PLAIN"};
const std::vector<std::string> kNoCram = {"NTLM", "LOGIN", "PLAIN"};
const char* const kRefused = "535 Incorrect authentication data";
const char* const kUntrusted = "8004023A";

INSTANTIATE_TEST_SUITE_P(
    Exim, MailToolEximTest,
    ::testing::Values(
        // exim's NTLM takes only NTLMv1, which the client never sends: auto moves on.
        EximCase{"auto_moves_past_ntlm_to_cram_md5", kAll, Security::None, "auto", false, false, 0, "cram_md5", {},
                 {"LOGIN", "PLAIN"}},
        EximCase{"auto_no_cleartext_fallback", kNoCram, Security::None, "auto", false, false, 1, nullptr,
                 {kRefused}, {"LOGIN", "PLAIN"}},
        EximCase{"auto_wrong_password_no_cleartext_fallback", kAll, Security::None, "auto", true, false, 1,
                 nullptr, {kRefused}, {"LOGIN", "PLAIN"}},
        EximCase{"auto_falls_back_under_starttls", kNoCram, Security::StartTls, "auto", false, true, 0, "login",
                 {}, {}},
        EximCase{"login", kAll, Security::None, "login", false, false, 0, "login", {}, {}},
        EximCase{"plain", kAll, Security::None, "plain", false, false, 0, "plain", {}, {}},
        EximCase{"cram_md5", kAll, Security::None, "cram-md5", false, false, 0, "cram_md5", {}, {}},
        EximCase{"ntlm_refused", kAll, Security::None, "ntlm", false, false, 1, nullptr, {kRefused},
                 {"LOGIN", "PLAIN"}},
        EximCase{"login_wrong_password", kAll, Security::None, "login", true, false, 1, nullptr, {kRefused}, {}},
        EximCase{"plain_wrong_password", kAll, Security::None, "plain", true, false, 1, nullptr, {kRefused}, {}},
        EximCase{"cram_md5_wrong_password", kAll, Security::None, "cram-md5", true, false, 1, nullptr, {kRefused},
                 {}},
        EximCase{"starttls_trusted", kAll, Security::StartTls, "plain", false, true, 0, "plain", {}, {}},
        EximCase{"tls_on_connect_trusted", kAll, Security::Tls, "login", false, true, 0, "login", {}, {}},
        EximCase{"starttls_untrusted", kAll, Security::StartTls, "plain", false, false, 1, nullptr,
                 {kUntrusted, "not trusted"}, {"LOGIN", "PLAIN"}},
        EximCase{"tls_on_connect_untrusted", kAll, Security::Tls, "plain", false, false, 1, nullptr,
                 {kUntrusted, "not trusted"}, {"LOGIN", "PLAIN"}},
        // As many real servers: AUTH only after STARTTLS, and the second EHLO is what counts.
        EximCase{"auth_after_starttls", kAll, Security::StartTls, "auto", false, true, 0, "cram_md5", {}, {},
                 true},
        EximCase{"auth_after_starttls_asked_in_clear", kAll, Security::None, "auto", false, false, 1, nullptr,
                 {"8004023D: The server offers no authentication method", "STARTTLS"}, {"LOGIN", "PLAIN"},
                 true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace km7::it
