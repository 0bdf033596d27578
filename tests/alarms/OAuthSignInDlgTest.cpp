// The "OAuth 2.0" method of the alarm setup dialog and its sign-in, driven as
// a user would (offscreen) against the HTTPS token and device-authorization
// endpoint of oauth_token_server.py and aiosmtpd taking only its tokens: the
// codes shown while the dialog answers, the account stored, the settings
// saved and the connection test logging in with the token; Cancel stopping
// the polling at once; screenshots.
#include <gtest/gtest.h>

#include <QApplication>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>

#include "AlarmTestSupport.h"
#include "Harness.h"
#include "TokenServer.h"
#include "alarms/AlarmEmailDlg.h"
#include "alarms/OAuthSignInDlg.h"
#include "settings/OpenSensor.h"
#include "settings/ProfileStore.h"
#include "smtp/OAuthAccount.h"
#include "ui/DialogDriver.h"
#include "ui/MessageBox.h"
#include "ui/QtTestEnvironment.h"

namespace km7::alarms {
namespace {

namespace values = km7::profile;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr SensorValues kLatest{20.0, 49.419, 9.08};
constexpr int kOAuthIndex = 6;  // "OAuth 2.0" in the method list

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class OAuthSignInDlgTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { certs_ = new it::TestCertificates(); }
  static void TearDownTestSuite() {
    delete certs_;
    certs_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(certs_->error.empty()) << certs_->error;
    // The token endpoint's and the mail server's certificates come from the
    // test's CA; the store of the environment is given back afterwards.
    if (const char* store = std::getenv("SSL_CERT_FILE")) savedStore_ = store;
    setenv("SSL_CERT_FILE", certs_->ca.c_str(), 1);
    std::error_code ec;
    fs::remove(ProfileStore::Instance().FilePath(), ec);
    fs::remove(oauth::DefaultAccountPath(it::kTokenServerUser), ec);
    sensor = OpenSensor{"Lab", kUnitCelsius, {}};
    ui::SetMessageHook([this](const std::string& text, ui::MessageIcon, const std::string&) {
      messages.push_back(text);
    });
  }
  void TearDown() override {
    ui::SetMessageHook(nullptr);
    if (savedStore_)
      setenv("SSL_CERT_FILE", savedStore_->c_str(), 1);
    else
      unsetenv("SSL_CERT_FILE");
  }
  void StartTokens(const std::vector<std::string>& more) {
    std::string why;
    fs::create_directories(tmp_ / "oauth");
    ASSERT_TRUE(tokens_.Start(tmp_ / "oauth", *certs_, more, why)) << why;
  }
  // Fills in the provider as a user would for one that is not a preset.
  void EnterProvider(ui::CDialog& s) {
    ui::DialogDriver drive(s);
    EXPECT_TRUE(drive.SelectListItem(IDC_SI_PROVIDER, static_cast<int>(SignInProvider::Other)));
    EXPECT_EQ(s.GetDlgItemText(IDC_SI_DEVICE_URL), "");
    drive.TypeText(IDC_SI_CLIENT_ID, it::kTokenServerClient);
    drive.TypeText(IDC_SI_DEVICE_URL, tokens_.Url("/device"));
    drive.TypeText(IDC_SI_TOKEN_URL, tokens_.Url("/token"));
    drive.TypeText(IDC_SI_SCOPE, "smtp offline");
  }
  // Waits (with the events running, as the window's thread would) until
  // the sign-in dialog shows its code.
  static bool WaitForCode(ui::CDialog& s) {
    return test::RunEventsUntil([&] { return s.GetDlgItemText(IDC_SI_CODE) == "KM7-TEST"; }, 60000);
  }

  static it::TestCertificates* certs_;
  std::optional<std::string> savedStore_;
  it::TempDir tmp_;
  it::TokenServer tokens_;
  it::MailServer mail_;
  std::vector<std::string> messages;
  OpenSensor sensor;
};

it::TestCertificates* OAuthSignInDlgTest::certs_ = nullptr;

TEST_F(OAuthSignInDlgTest, SignInStoresTheAccountAndSaveLogsInWithItsToken) {
  StartTokens({});
  it::MailServerOptions o;
  o.tlsCert = certs_->good;
  o.tlsKey = certs_->key;
  o.tokenFile = tokens_.TokenFile().string();
  std::string why;
  ASSERT_TRUE(mail_.Start(tmp_.path(), o, why)) << why;
  const std::string account = oauth::DefaultAccountPath(it::kTokenServerUser);

  ui::ScopedModalHook hook([&](ui::CDialog& dialog) {
    if (auto* s = dynamic_cast<COAuthSignIn*>(&dialog)) {
      EXPECT_EQ(s->GetDlgItemText(IDC_SI_ACCOUNT), it::kTokenServerUser);
      EnterProvider(*s);
      EXPECT_TRUE(ui::DialogDriver(*s).PressButton(IDC_SI_START));
      EXPECT_TRUE(WaitForCode(*s)) << s->GetDlgItemText(IDC_SI_STATUS);
      // Waiting for the user: the window answers, only Cancel is left to press.
      EXPECT_EQ(s->GetDlgItemText(IDC_SI_ADDRESS), "https://login.km7.test/device");
      EXPECT_NE(s->GetDlgItemText(IDC_SI_STATUS).find("Waiting for the sign-in"), std::string::npos);
      EXPECT_FALSE(s->IsItemEnabled(IDC_SI_START));
      EXPECT_TRUE(s->IsItemEnabled(ui::IDCANCEL));
      fs::create_directories(KM7_SCREENSHOT_DIR);
      EXPECT_TRUE(s->Grab(std::string(KM7_SCREENSHOT_DIR) + "/oauth_sign_in_waiting.png"));
      // The server lets the user in at the second poll.
      EXPECT_TRUE(test::RunEventsUntil([&] { return !s->IsWindow() || s->Result() == ui::IDOK; }, 60000));
      return ui::IDCANCEL;
    }
    auto& d = dynamic_cast<CAlarmEmail&>(dialog);
    ui::DialogDriver drive(d);
    drive.PressButton(IDC_UPDATE);
    drive.TypeText(IDC_SERVER, "localhost");
    drive.TypeText(IDC_PORT, std::to_string(mail_.port()));
    drive.SelectListItem(IDC_SECURITY, 1);
    EXPECT_FALSE(d.IsItemVisible(IDC_SIGN_IN));
    drive.SelectListItem(IDC_AUTH, kOAuthIndex);
    // The sign-in takes the password's place.
    EXPECT_TRUE(d.IsItemVisible(IDC_SIGN_IN));
    EXPECT_TRUE(d.IsItemEnabled(IDC_SIGN_IN));
    EXPECT_FALSE(d.IsItemVisible(IDC_PASSWORD));
    EXPECT_FALSE(d.IsItemVisible(IDC_PASSWORD_LABEL));
    // Without a user name nothing starts.
    drive.TypeText(IDC_USERNAME, "");
    drive.PressButton(IDC_SIGN_IN);
    EXPECT_EQ(messages, std::vector<std::string>{kMsgSignInNeedsUser});
    drive.TypeText(IDC_USERNAME, it::kTokenServerUser);
    drive.PressButton(IDC_SIGN_IN);
    EXPECT_EQ(messages.size(), 2u);
    EXPECT_NE(messages.back().find("Signed in as alice@km7.test"), std::string::npos) << messages.back();
    // Save, then the connection test on the dialog's task thread.
    drive.PressButton(IDC_UPDATE);
    EXPECT_TRUE(test::RunEventsUntil([&] { return !d.TestRunning(); }, 60000));
    return ui::IDCANCEL;
  });
  CAlarmEmail dlg(AlarmKind::Temperature, kLatest, sensor);
  dlg.DoModal();

  // Only the sign-in message: the connection test logged in.
  EXPECT_EQ(messages.size(), 2u) << (messages.empty() ? "" : messages.back());
  ASSERT_TRUE(fs::exists(account));
  EXPECT_EQ(it::ReadFile(account).find("rt-"), std::string::npos);
  EXPECT_EQ(ProfileStore::Instance().ReadInt(values::Authenticate, "Lab"), kAuthOAuth2);
  const MailAccount stored = ReadMailAccount("Lab");
  EXPECT_EQ(stored.oauthAccount, account);
  EXPECT_EQ(stored.userName, it::kTokenServerUser);
  // The device flow, then the refresh grant of the connection test.
  const std::string log = tokens_.Log();
  EXPECT_EQ(Count(log, "\"path\": \"/device\""), 1u) << log;
  EXPECT_EQ(Count(log, "\"grant_type\": \"refresh_token\""), 1u) << log;
  const std::string emailLog = it::ReadFile(EmailErrorLogPath());
  EXPECT_NE(emailLog.find("which is OK"), std::string::npos) << emailLog;
}

TEST_F(OAuthSignInDlgTest, CancelWhileWaitingClosesAtOnceAndStopsThePolling) {
  StartTokens({"--pending-polls", "1000"});
  size_t pollsAtCancel = 0;
  int result = 0;
  ui::ScopedModalHook hook([&](ui::CDialog& dialog) {
    auto& s = dynamic_cast<COAuthSignIn&>(dialog);
    EnterProvider(s);
    ui::DialogDriver(s).PressButton(IDC_SI_START);
    EXPECT_TRUE(WaitForCode(s));
    // A poll or two while the dialog waits.
    EXPECT_TRUE(test::RunEventsUntil([&] { return Count(tokens_.Log(), "device_code\"") >= 2; }, 60000));
    pollsAtCancel = Count(tokens_.Log(), "device_code\"");
    ui::DialogDriver(s).PressButton(ui::IDCANCEL);
    EXPECT_FALSE(s.IsWindowVisible());
    return ui::IDCANCEL;
  });
  {
    COAuthSignIn signIn(it::kTokenServerUser, (tmp_ / "account.json").string());
    result = signIn.DoModal();
  }
  EXPECT_EQ(result, ui::IDCANCEL);
  // At one poll a second, four seconds would bring four more.
  std::this_thread::sleep_for(4s);
  EXPECT_LE(Count(tokens_.Log(), "device_code\""), pollsAtCancel + 1) << tokens_.Log();
  EXPECT_FALSE(fs::exists(tmp_ / "account.json"));
  EXPECT_TRUE(messages.empty()) << messages.front();
}

TEST_F(OAuthSignInDlgTest, ScreenshotsOfTheOAuthMethodInBothUnitsAndOfAPresetSignIn) {
  const std::string dir = KM7_SCREENSHOT_DIR;
  fs::create_directories(dir);
  sensor.name = "ORV-KM7 Server Room";
  ProfileStore::Instance().WriteInt(values::Authenticate, sensor.name, kAuthOAuth2);
  ProfileStore::Instance().WriteInt(values::MailSecurity, sensor.name, 1);
  for (int unit : {1, 0}) {
    sensor.unit = unit;
    ui::ScopedModalHook hook([&](ui::CDialog& dialog) {
      if (auto* s = dynamic_cast<COAuthSignIn*>(&dialog)) {
        // A preset fills in its endpoints.
        EXPECT_EQ(s->GetDlgItemText(IDC_SI_TOKEN_URL), "https://login.microsoftonline.com/common/oauth2/v2.0/token");
        EXPECT_TRUE(s->Grab(dir + "/oauth_sign_in.png"));
        return ui::IDCANCEL;
      }
      auto& d = dynamic_cast<CAlarmEmail&>(dialog);
      ui::DialogDriver(d).PressButton(IDC_UPDATE);
      ui::DialogDriver(d).TypeText(IDC_USERNAME, "alarms@example.com");
      EXPECT_TRUE(d.IsItemVisible(IDC_SIGN_IN));
      EXPECT_TRUE(d.Grab(dir + (unit ? "/alarm_email_oauth_celsius.png" : "/alarm_email_oauth_fahrenheit.png")));
      if (unit == 1) ui::DialogDriver(d).PressButton(IDC_SIGN_IN);
      return ui::IDCANCEL;
    });
    CAlarmEmail dlg(AlarmKind::Temperature, kLatest, sensor);
    dlg.DoModal();
  }
  EXPECT_TRUE(messages.empty()) << messages.front();
}

}  // namespace
}  // namespace km7::alarms
