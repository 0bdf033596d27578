// km7 itself with the simulated module, sending its alarm mail through an
// OAuth 2.0 account stored beforehand: aiosmtpd takes only access tokens
// (the XOAUTH2 and OAUTHBEARER authenticators of mail_server.py, over
// STARTTLS), and km7 gets one from the HTTPS token endpoint of
// oauth_token_server.py with the account's refresh token. The test's CA is
// the trust store of both, through SSL_CERT_FILE.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "Km7Program.h"
#include "TokenServer.h"
#include "settings/ProfileStore.h"
#include "smtp/OAuthAccount.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace km7::test {
namespace {

class Km7ProgramOAuth : public Km7Program {
 protected:
  void SetUp() override {
    ASSERT_TRUE(certs_.error.empty()) << certs_.error;
    // The account is sealed with the key km7 will find: the same folders.
    setenv("XDG_CONFIG_HOME", (tmp_ / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (tmp_ / "data").c_str(), 1);
    fs::create_directories(tmp_ / "config");
    fs::create_directories(tmp_ / "oauth");
    std::string why;
    ASSERT_TRUE(tokens_.Start(tmp_ / "oauth", certs_, {"--rotate", "--refresh-token", "rt-initial"}, why)) << why;
    km7::it::MailServerOptions o;
    o.tlsCert = certs_.good;
    o.tlsKey = certs_.key;
    o.tokenFile = tokens_.TokenFile().string();
    ASSERT_TRUE(mail_.Start(tmp_.path(), o, why)) << why;

    account_ = km7::oauth::DefaultAccountPath(km7::it::kTokenServerUser);
    km7::oauth::Account account;
    account.user = km7::it::kTokenServerUser;
    account.provider.tokenUrl = tokens_.Url("/token");
    account.provider.clientId = km7::it::kTokenServerClient;
    account.refreshToken = "rt-initial";
    ASSERT_TRUE(km7::oauth::SaveAccount(account_, account, why)) << why;

    // 30.0 °C drifting by 2.0: above 31.0 after about five seconds.
    Sim(30.0, 2.0);
    const std::string s = "Lab Module";
    ProfileStore store((tmp_ / "config/km7.INI").string());
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"ORVKM7Device_Computer Room", s},
             {"ORVKM7CFmode_Computer Room", "1"},
             {"ORVKM7TempEmailOnOff_" + s, "1"},
             {"ORVKM7EmailTempAbove_" + s, "1"},
             {"ORVKM7EmailTempAboveTemp_" + s, "31.0"},
             {"ORVKM7ServerName_" + s, "localhost"},
             {"ORVKM7PortNumber_" + s, std::to_string(mail_.port())},
             {"ORVKM7MailSecurity_" + s, "1"},
             {"ORVKM7Authenticate_" + s, "8"},  // OAuth 2.0
             {"ORVKM7OAuth2Account_" + s, account_},
             {"ORVKM7EmailTempTo_" + s, "oncall@example.org"},
             {"ORVKM7EmailTempCC_" + s, "boss@example.org"},
             {"ORVKM7EmailTempFrom_" + s, km7::it::kTokenServerUser},
             {"ORVKM7EmailTempSubject_" + s, "Lab too warm"},
         })
      ASSERT_TRUE(store.WriteText(name, value)) << name;
    ASSERT_TRUE(store.WriteProtectedText("ORVKM7UsernameE_" + s, km7::it::kTokenServerUser));
  }

  // Runs km7 until the server holds `messages` messages or the time is up.
  void RunKm7Until(size_t messages, std::chrono::seconds limit) {
    StartKm7({"SSL_CERT_FILE=" + certs_.ca});
    WaitUntil([&] { return mail_.MessageCount() >= messages; }, limit);
    ASSERT_TRUE(Alive()) << "km7 ended by itself";
    Kill();
  }

  km7::it::TestCertificates certs_;
  km7::it::TokenServer tokens_;
  km7::it::MailServer mail_;
  std::string account_;
};

TEST_F(Km7ProgramOAuth, TheAlarmMailGoesOutAuthenticatedByAnAccessTokenFromTheStoredAccount) {
  const std::string before = km7::it::ReadFile(account_);
  RunKm7Until(1, 150s);
  const std::string log = Log();
  ASSERT_GE(mail_.MessageCount(), 1u) << log << "\n" << mail_.daemon().Logs() << "\n" << tokens_.Log();

  // The server let in only a valid token of the account's user, over TLS.
  const std::string envelope = km7::it::ReadFile(mail_.spool() / "0001.json");
  EXPECT_NE(envelope.find("\"login\": \"alice@km7.test\""), std::string::npos) << envelope;
  EXPECT_NE(envelope.find("\"tls\": true"), std::string::npos) << envelope;
  EXPECT_NE(envelope.find("oncall@example.org"), std::string::npos) << envelope;
  const std::string mail = km7::it::ReadFile(mail_.spool() / "0001.eml");
  EXPECT_NE(mail.find("Subject: =?iso-8859-1?Q?Lab=20too=20warm?="), std::string::npos) << mail;
  EXPECT_NE(mail.find("Sensor: Lab Module   Temp: 3"), std::string::npos) << mail;

  // The token came from the refresh grant; the provider rotated the refresh
  // token and km7 stored the new one, sealed.
  EXPECT_GE(Count(tokens_.Log(), "\"grant_type\": \"refresh_token\""), 1u) << tokens_.Log();
  const std::string after = km7::it::ReadFile(account_);
  EXPECT_NE(after, before);
  EXPECT_EQ(after.find("rt-"), std::string::npos) << after;
  // No token in the diagnostic log (the test server's start "at-" and "rt-").
  EXPECT_NE(log.find(" Emailed a message\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("at-"), std::string::npos) << log;
  EXPECT_EQ(log.find("rt-"), std::string::npos) << log;
}

}  // namespace
}  // namespace km7::test
