// km7-mail with OAuth 2.0 against real parts on loopback: aiosmtpd with the
// test's XOAUTH2 and OAUTHBEARER authenticators (mail_server.py), and an
// HTTPS token and device-authorization endpoint of the test's own
// (oauth_token_server.py) with a throwaway CA passed as --cafile.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "Harness.h"
#include "TokenServer.h"
#include "smtp/TokenSource.h"

namespace km7::it {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const kUser = kTokenServerUser;
const char* const kClient = kTokenServerClient;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class MailToolOAuthTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { certs_ = new TestCertificates(); }
  static void TearDownTestSuite() {
    delete certs_;
    certs_ = nullptr;
  }
  void SetUp() override {
    if (!certs_->error.empty()) GTEST_FAIL() << certs_->error;
    if (FindProgram("curl").empty()) GTEST_FAIL() << "curl is missing";
    env_ = {{"XDG_CONFIG_HOME", (tmp_ / "config").string()}, {"XDG_DATA_HOME", (tmp_ / "data").string()}};
  }

  // The mail server takes the tokens listed in tokenFile, over STARTTLS.
  void StartMail(const fs::path& tokenFile) {
    MailServerOptions o;
    o.tlsCert = certs_->good;
    o.tlsKey = certs_->key;
    o.tokenFile = tokenFile.string();
    o.users = {{"bob", "password-of-bob"}};  // LOGIN and PLAIN are offered beside the tokens
    std::string why;
    ASSERT_TRUE(mail_.Start(tmp_.path(), o, why)) << why;
  }
  void StartTokens(const std::vector<std::string>& more = {}) {
    std::string why;
    fs::create_directories(tmp_ / "oauth");
    ASSERT_TRUE(tokens_.Start(tmp_ / "oauth", *certs_, more, why)) << why;
  }

  RunResult Mail(std::vector<std::string> more, std::chrono::milliseconds limit = 120s) {
    std::vector<std::string> argv = {Km7MailPath(), "--server", "localhost", "--port", std::to_string(mail_.port()),
                                     "--starttls", "--cafile", certs_->ca, "--timeout", "30000", "--user", kUser,
                                     "--from", kUser, "--to", "ops@km7.test", "--subject", "token", "--body", "hi"};
    argv.insert(argv.end(), more.begin(), more.end());
    return RunProgram(argv, {}, limit, env_);
  }
  RunResult Authorize(std::vector<std::string> more = {}) {
    std::vector<std::string> argv = {Km7MailPath(), "--oauth2-authorize", "--user", kUser,
                                     "--oauth2-device-url", tokens_.Url("/device"),
                                     "--oauth2-token-url", tokens_.Url("/token"), "--client-id", kClient,
                                     "--scope", "smtp offline", "--cafile", certs_->ca, "--timeout", "30000"};
    argv.insert(argv.end(), more.begin(), more.end());
    return RunProgram(argv, {}, 120s, env_);
  }
  fs::path AccountFile() const { return tmp_ / "config" / "km7" / "oauth2" / (std::string(kUser) + ".json"); }
  static std::string Describe(const RunResult& r) {
    return "exit " + std::to_string(r.exitCode) + (r.timedOut ? " (timed out)" : "") + "\nstdout:\n" + r.out +
           "\nstderr:\n" + r.err;
  }

  static TestCertificates* certs_;
  TempDir tmp_;
  MailServer mail_;
  TokenServer tokens_;
  std::map<std::string, std::string> env_;
};

TestCertificates* MailToolOAuthTest::certs_ = nullptr;

TEST_F(MailToolOAuthTest, DeviceFlowStoresARefreshTokenAndLaterSendsRenewTheExpiredAccessToken) {
  StartTokens({"--rotate"});
  StartMail(tokens_.TokenFile());

  const RunResult signIn = Authorize();
  ASSERT_EQ(signIn.exitCode, 0) << Describe(signIn);
  EXPECT_NE(signIn.out.find("https://login.km7.test/device"), std::string::npos) << signIn.out;
  EXPECT_NE(signIn.out.find("KM7-TEST"), std::string::npos) << signIn.out;
  ASSERT_TRUE(fs::exists(AccountFile())) << signIn.out;
  struct stat st {};
  ASSERT_EQ(::stat(AccountFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string stored = ReadFile(AccountFile());
  // The refresh tokens of the test server start "rt-"; the file holds it sealed only.
  EXPECT_EQ(stored.find("rt-"), std::string::npos) << stored;
  EXPECT_NE(stored.find(tokens_.Url("/token")), std::string::npos) << stored;
  // The device flow polled through one "authorization_pending".
  EXPECT_EQ(Count(tokens_.Log(), "device_code\""), 2u) << tokens_.Log();

  // The access token of the sign-in has expired (it lived a second); each
  // send renews it with the refresh token, which rotates and is stored again.
  ASSERT_TRUE(tokens_.Control("/expire", certs_->ca));
  for (const char* mechanism : {"oauthbearer", "xoauth2"}) {
    const RunResult sent = Mail({"--auth", mechanism, "--verbose"});
    ASSERT_EQ(sent.exitCode, 0) << mechanism << "\n" << Describe(sent);
    EXPECT_NE(sent.err.find(std::string("AUTH ") + (std::string(mechanism) == "xoauth2" ? "XOAUTH2" : "OAUTHBEARER")),
              std::string::npos) << sent.err;
    // The token is masked in the dialogue: the test server's start "at-".
    EXPECT_EQ(sent.err.find("at-"), std::string::npos) << sent.err;
    EXPECT_NE(ReadFile(AccountFile()), stored) << "the rotated refresh token was not stored";
  }
  EXPECT_EQ(Count(tokens_.Log(), "\"refresh_token\""), 2u) << tokens_.Log();
  EXPECT_EQ(mail_.MessageCount(), 2u);
  EXPECT_NE(ReadFile(mail_.spool() / "0001.json").find(kUser), std::string::npos);
}

// A control character in a token would add fields to the SASL message.
TEST_F(MailToolOAuthTest, ATokenWithAControlCharacterFromTheEndpointIsRefused) {
  StartTokens({"--token-suffix", "\x01host=elsewhere"});
  const RunResult r = Authorize();
  EXPECT_EQ(r.exitCode, 1) << Describe(r);
  EXPECT_NE(r.err.find("control character"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(AccountFile()));
}

TEST_F(MailToolOAuthTest, RevokedRefreshTokenIsAClearErrorAndExit1) {
  StartTokens();
  StartMail(tokens_.TokenFile());
  ASSERT_EQ(Authorize().exitCode, 0);
  ASSERT_TRUE(tokens_.Control("/revoke", certs_->ca));
  const RunResult r = Mail({"--auth", "oauthbearer"});
  EXPECT_EQ(r.exitCode, 1) << Describe(r);
  EXPECT_NE(r.err.find("invalid_grant"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("revoked"), std::string::npos) << r.err;
  EXPECT_EQ(mail_.MessageCount(), 0u);
}

TEST_F(MailToolOAuthTest, DeclinedSignInAndUnreachableEndpointNameTheirCause) {
  StartTokens({"--deny"});
  const RunResult declined = Authorize();
  EXPECT_EQ(declined.exitCode, 1) << Describe(declined);
  EXPECT_NE(declined.err.find("declined"), std::string::npos) << declined.err;
  EXPECT_FALSE(fs::exists(AccountFile()));

  // Nothing listens on the token endpoint: worth a retry.
  const int closed = FreePort();
  const RunResult unreachable = RunProgram(
      {Km7MailPath(), "--oauth2-authorize", "--user", kUser, "--oauth2-device-url",
       "https://127.0.0.1:" + std::to_string(closed) + "/device", "--oauth2-token-url",
       "https://127.0.0.1:" + std::to_string(closed) + "/token", "--client-id", kClient, "--timeout", "10000"},
      {}, 60s, env_);
  EXPECT_EQ(unreachable.exitCode, 75) << Describe(unreachable);
  EXPECT_NE(unreachable.err.find("cannot be reached"), std::string::npos) << unreachable.err;

  // Plain HTTP is refused before anything is sent.
  const RunResult http = RunProgram({Km7MailPath(), "--oauth2-authorize", "--user", kUser, "--oauth2-device-url",
                                     "http://127.0.0.1:1/device", "--oauth2-token-url", "http://127.0.0.1:1/token",
                                     "--client-id", kClient},
                                    {}, 60s, env_);
  EXPECT_EQ(http.exitCode, 75) << Describe(http);
  EXPECT_NE(http.err.find("not an https:// address"), std::string::npos) << http.err;
}

TEST_F(MailToolOAuthTest, TokenCommandWorksAndAFailingOrHangingOneIsReportedWithinItsLimit) {
  const fs::path tokenFile = tmp_ / "command-tokens";
  WriteFile(tokenFile, std::string(kUser) + " tok-from-command 99999999999\n");
  StartMail(tokenFile);

  // No shell: the quotes group, nothing is expanded.
  const RunResult ok = Mail({"--oauth2-token-command", "printf '%s\\n' tok-from-command", "--verbose"});
  ASSERT_EQ(ok.exitCode, 0) << Describe(ok);
  EXPECT_EQ(ok.err.find("tok-from-command"), std::string::npos) << ok.err;
  // "auto" with a token went to OAUTHBEARER, never to LOGIN or PLAIN.
  EXPECT_NE(ok.err.find("AUTH OAUTHBEARER"), std::string::npos) << ok.err;
  EXPECT_EQ(ok.err.find("AUTH LOGIN"), std::string::npos) << ok.err;

  const RunResult wrong = Mail({"--oauth2-token-command", "printf wrong-token", "--verbose"});
  EXPECT_EQ(wrong.exitCode, 1) << Describe(wrong);
  EXPECT_NE(wrong.err.find("invalid_token"), std::string::npos) << wrong.err;
  EXPECT_EQ(wrong.err.find("AUTH PLAIN"), std::string::npos) << wrong.err;
  EXPECT_EQ(wrong.err.find("AUTH LOGIN"), std::string::npos) << wrong.err;
  // The server saw the ^A that ends a refused OAUTHBEARER exchange.
  EXPECT_NE(mail_.daemon().Logs().find("OAUTHBEARER error answer: b'\\x01'"), std::string::npos)
      << mail_.daemon().Logs();

  const RunResult failing =
      Mail({"--oauth2-token-command", "sh -c 'echo the vault is locked >&2; exit 4'", "--auth", "xoauth2"});
  EXPECT_EQ(failing.exitCode, 1) << Describe(failing);
  EXPECT_NE(failing.err.find("exit status 4"), std::string::npos) << failing.err;
  EXPECT_NE(failing.err.find("the vault is locked"), std::string::npos) << failing.err;

  const auto started = std::chrono::steady_clock::now();
  std::vector<std::string> hang = {"--oauth2-token-command", "sleep 60", "--timeout", "2000"};
  const RunResult hanging = Mail(hang, 50s);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(hanging.exitCode, 1) << Describe(hanging);
  EXPECT_NE(hanging.err.find("did not finish within 2 s"), std::string::npos) << hanging.err;
  EXPECT_LT(took, 30s);
  EXPECT_EQ(mail_.MessageCount(), 1u);
}

TEST_F(MailToolOAuthTest, TheAccessTokenIsKeptUntilShortlyBeforeItExpiresAndARotatedRefreshTokenIsStored) {
  StartTokens({"--rotate", "--refresh-token", "rt-initial", "--access-lifetime", "3600"});
  oauth::Account account;
  account.user = kUser;
  account.provider.tokenUrl = tokens_.Url("/token");
  account.provider.clientId = kClient;
  account.refreshToken = "rt-initial";
  int stores = 0;
  std::string stored;
  oauth::RefreshTokenSource source(account, oauth::HttpOptions{certs_->ca, 30000},
                                   [&](const oauth::Account& renewed, std::string&) {
                                     ++stores;
                                     stored = renewed.refreshToken;
                                     return true;
                                   });
  const std::string first = source.AccessToken();
  EXPECT_EQ(source.AccessToken(), first);
  EXPECT_EQ(Count(tokens_.Log(), "\"refresh_token\""), 1u) << tokens_.Log();
  EXPECT_EQ(stores, 1);
  EXPECT_EQ(stored.rfind("rt-", 0), 0u);
  EXPECT_NE(stored, "rt-initial");

  // Refused by the mail server: the next use gets a fresh one, with the
  // rotated refresh token.
  source.Forget();
  EXPECT_NE(source.AccessToken(), first);
  EXPECT_EQ(stores, 2);

  // Revoked: the cause is named.
  ASSERT_TRUE(tokens_.Control("/revoke", certs_->ca));
  source.Forget();
  try {
    source.AccessToken();
    ADD_FAILURE() << "a revoked refresh token gave an access token";
  } catch (const oauth::OAuthError& e) {
    EXPECT_EQ(e.kind(), oauth::OAuthError::Kind::InvalidGrant);
    EXPECT_NE(std::string(e.what()).find("revoked"), std::string::npos) << e.what();
  }
}

TEST_F(MailToolOAuthTest, AnAccessTokenAboutToExpireIsRenewedForEachUse) {
  // Thirty seconds is inside the renewal margin.
  StartTokens({"--refresh-token", "rt-initial", "--access-lifetime", "30"});
  oauth::Account account;
  account.provider.tokenUrl = tokens_.Url("/token");
  account.provider.clientId = kClient;
  account.refreshToken = "rt-initial";
  oauth::RefreshTokenSource source(account, oauth::HttpOptions{certs_->ca, 30000}, {});
  const std::string first = source.AccessToken();
  EXPECT_NE(source.AccessToken(), first);
  EXPECT_EQ(Count(tokens_.Log(), "\"refresh_token\""), 2u) << tokens_.Log();
}

}  // namespace
}  // namespace km7::it
