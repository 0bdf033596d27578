// The publisher against a real mosquitto broker on loopback, watched by
// mosquitto_sub.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/MqttBroker.h"
#include "mqtt/MqttPassword.h"
#include "mqtt/MqttPayloads.h"
#include "mqtt/MqttPublisher.h"

namespace km7::mqtt {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// "topic payload" lines of a `mosquitto_sub -v` output, payload by topic.
std::vector<std::pair<std::string, std::string>> Messages(const std::string& out) {
  std::vector<std::pair<std::string, std::string>> list;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    auto space = line.find(' ');
    if (space != std::string::npos) list.emplace_back(line.substr(0, space), line.substr(space + 1));
  }
  return list;
}

int Count(const std::string& out, const std::string& topic, const std::string& payload = {}) {
  int n = 0;
  for (const auto& [t, p] : Messages(out))
    if (t == topic && (payload.empty() || p == payload)) ++n;
  return n;
}

std::string Last(const std::string& out, const std::string& topic) {
  std::string last;
  for (const auto& [t, p] : Messages(out))
    if (t == topic) last = p;
  return last;
}

class MqttBrokerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (it::FindProgram("mosquitto").empty()) GTEST_SKIP() << "mosquitto is not installed";
    ASSERT_TRUE(broker_.Start(dir_, why)) << why;
  }
  MqttSettings Settings() {
    MqttSettings s;
    s.broker.host = "127.0.0.1";
    s.broker.port = static_cast<std::uint16_t>(broker_.port());
    s.softwareVersion = "test";
    return s;
  }
  // A subscriber to everything the publisher sends; its output in sub.out.
  void Subscribe() {
    ASSERT_TRUE(sub_.Start(broker_.Sub({"-v", "-t", "km7/#", "-t", "homeassistant/#"}), dir_.path(), "sub"));
    // It is subscribed once it sees a probe.
    ASSERT_TRUE(test::Eventually([&] {
      broker_.Publish("km7/probe", "x");
      return Count(it::ReadFile(dir_ / "sub.out"), "km7/probe") > 0;
    })) << sub_.Logs();
  }
  std::string Seen() { return it::ReadFile(dir_ / "sub.out"); }

  it::TempDir dir_;
  test::MqttBroker broker_;
  it::Daemon sub_;
};

TEST_F(MqttBrokerTest, DiscoveryStateOnlineAndTheRetainedWillAfterSigkill) {
  Subscribe();
  if (HasFatalFailure()) return;
  it::Daemon fixture;
  ASSERT_TRUE(fixture.Start({KM7_MQTT_FIXTURE, "mqtt://127.0.0.1:" + std::to_string(broker_.port()), "KM7-A.01",
                             "Lab 1"},
                            dir_.path(), "fixture"));
  const std::string id = "KM7-A_2e01";
  EXPECT_TRUE(test::Eventually([&] { return Count(Seen(), "km7/" + id + "/state") >= 2; })) << Seen() << fixture.Logs();
  std::string seen = Seen();
  EXPECT_EQ(Count(seen, "km7/" + id + "/status", "online"), 1) << seen;
  EXPECT_EQ(Count(seen, "km7/status", "online"), 1) << seen;
  ASSERT_EQ(Count(seen, "homeassistant/device/km7_" + id + "/config"), 1) << seen;

  json discovery = json::parse(Last(seen, "homeassistant/device/km7_" + id + "/config"));
  EXPECT_EQ(discovery["components"].size(), 3u);
  EXPECT_EQ(discovery["state_topic"], "km7/" + id + "/state");
  EXPECT_EQ(discovery["origin"]["name"], "km7");
  for (const auto& [key, c] : discovery["components"].items()) EXPECT_GE(c["expire_after"].get<int>(), 3) << key;
  json state = json::parse(Last(seen, "km7/" + id + "/state"));
  EXPECT_EQ(state["temperature"], 21.5);
  EXPECT_EQ(state["sensor"], "Lab 1");
  EXPECT_EQ(state["serial"], "KM7-A.01");
  EXPECT_EQ(broker_.Retained("km7/" + id + "/status"), "online");
  EXPECT_EQ(broker_.Retained("km7/status"), "online");

  // The home automation system comes back: discovery again (at the latest
  // when the window that began with the connection ends).
  ASSERT_TRUE(broker_.Publish("homeassistant/status", "online"));
  EXPECT_TRUE(test::Eventually([&] { return Count(Seen(), "homeassistant/device/km7_" + id + "/config") == 2; }))
      << Seen();
  // Anything else on that topic does not.
  ASSERT_TRUE(broker_.Publish("homeassistant/status", "offline"));
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(Count(Seen(), "homeassistant/device/km7_" + id + "/config"), 2);

  ::kill(fixture.pid(), SIGKILL);
  fixture.Stop();
  // The service's Will; the discovery asks for both topics to be online.
  EXPECT_TRUE(test::Eventually([&] { return Count(Seen(), "km7/status", "offline") == 1; })) << Seen();
  // Retained: a subscriber that comes later sees it too.
  EXPECT_EQ(broker_.Retained("km7/status"), "offline");
}

TEST_F(MqttBrokerTest, ACleanStopSaysOfflineAndAReconnectSendsTheLastStateAgain) {
  Subscribe();
  if (HasFatalFailure()) return;
  std::vector<std::string> reports;
  std::mutex m;
  MqttSettings settings = Settings();
  settings.prefix = "km7/site";
  settings.report = [&](const std::string& t) {
    std::lock_guard lock(m);
    reports.push_back(t);
  };
  MqttPublisher p(settings);
  std::string error;
  ASSERT_TRUE(p.Start(error)) << error;
  status::SensorSnapshot s;
  s.name = "Cellar";
  s.serial = "C1";
  s.up = false;
  // PublishState never waits, connected or not.
  auto start = std::chrono::steady_clock::now();
  p.PublishState(s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_TRUE(test::Eventually([&] { return p.connection() == Connection::Connected; }));
  EXPECT_TRUE(test::Eventually([&] { return Count(Seen(), "km7/site/C1/state") == 1; })) << Seen();
  EXPECT_TRUE(json::parse(Last(Seen(), "km7/site/C1/state"))["temperature"].is_null());
  EXPECT_EQ(broker_.Retained("km7/site/C1/status"), "online");

  // The broker goes away and comes back on the same port.
  const int port = broker_.port();
  broker_.daemon().Stop();
  EXPECT_TRUE(test::Eventually([&] { return p.connection() != Connection::Connected; }));
  EXPECT_NE(p.LastError().find("lost the connection"), std::string::npos) << p.LastError();
  sub_.Stop();
  std::string why;
  ASSERT_TRUE(broker_.Start(dir_, why, {}, {}, port)) << why;
  Subscribe();
  if (HasFatalFailure()) return;
  EXPECT_TRUE(test::Eventually([&] { return p.connection() == Connection::Connected; }, 30s)) << p.LastError();
  EXPECT_TRUE(test::Eventually([&] { return Count(Seen(), "km7/site/C1/state") >= 1; })) << Seen();
  EXPECT_EQ(p.LastError(), "");
  {
    std::lock_guard lock(m);
    ASSERT_GE(reports.size(), 2u);
    EXPECT_NE(reports.front().find("lost the connection to the MQTT broker mqtt://127.0.0.1:"), std::string::npos);
    EXPECT_NE(reports.back().find("connected to the MQTT broker"), std::string::npos) << reports.back();
  }

  // Two more modules on the same connection; all go offline at the stop.
  for (const char* serial : {"C2", "C3"}) {
    s.serial = serial;
    p.PublishState(s);
    p.SetAvailable(serial, true);
  }
  EXPECT_TRUE(test::Eventually([&] { return Count(Seen(), "km7/site/C3/state") == 1; })) << Seen();
  auto stopStart = std::chrono::steady_clock::now();
  p.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopStart, 2s);
  EXPECT_EQ(p.connection(), Connection::Stopped);
  for (const char* serial : {"C1", "C2", "C3"})
    EXPECT_EQ(broker_.Retained("km7/site/" + std::string(serial) + "/status"), "offline") << serial << Seen();
  EXPECT_EQ(broker_.Retained("km7/site/status"), "offline");
}

TEST(MqttPublisherTest, ABrokerThatIsNotThereIsRetriedWithoutBlocking) {
  MqttSettings settings;
  settings.broker.host = "127.0.0.1";
  settings.broker.port = static_cast<std::uint16_t>(it::FreePort());
  std::atomic<int> reports{0};
  settings.report = [&](const std::string&) { ++reports; };
  MqttPublisher p(settings);
  std::string error;
  ASSERT_TRUE(p.Start(error)) << error;
  status::SensorSnapshot s;
  s.serial = "X1";
  for (int i = 0; i < 100; ++i) p.PublishState(s);
  EXPECT_TRUE(test::Eventually([&] { return !p.LastError().empty(); }));
  EXPECT_NE(p.LastError().find("cannot connect to the MQTT broker mqtt://127.0.0.1:"), std::string::npos);
  EXPECT_NE(p.LastError().find("refused"), std::string::npos) << p.LastError();
  std::this_thread::sleep_for(3500ms);  // pauses 1 s, 2 s: several attempts
  EXPECT_EQ(reports, 1);                // told once
  auto start = std::chrono::steady_clock::now();
  p.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(MqttPublisherTest, UnusableSettingsAreRefusedAtStart) {
  it::TempDir dir;
  struct Case {
    std::function<void(MqttSettings&)> change;
    const char* message;
  } cases[] = {
      {[](MqttSettings& s) { s.prefix = "km7/#"; }, "wildcards"},
      {[](MqttSettings& s) { s.prefix = ""; }, "prefix"},
      {[](MqttSettings& s) { s.prefix = "$SYS/km7"; }, "the broker's own"},
      {[](MqttSettings& s) { s.discoveryPrefix = "ha/+"; }, "wildcards"},
      {[&](MqttSettings& s) { s.passwordFile = dir / "pw"; }, "needs --mqtt-user"},
      {[&](MqttSettings& s) {
         s.user = "u";
         s.passwordFile = dir / "missing";
       },
       "cannot read the MQTT password file"},
      {[&](MqttSettings& s) {
         s.broker.tls = true;
         s.cafile = dir / "missing-ca.pem";
       },
       "cannot read the MQTT CA file"},
  };
  for (auto& c : cases) {
    MqttSettings s;
    s.broker.host = "127.0.0.1";
    c.change(s);
    MqttPublisher p(s);
    std::string error;
    EXPECT_FALSE(p.Start(error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(p.connection(), Connection::Stopped);
  }
}

TEST(MqttPasswordTest, ABrokerThatRefusesThePasswordIsAClearErrorToldOnce) {
  if (it::FindProgram("mosquitto").empty()) GTEST_SKIP() << "mosquitto is not installed";
  it::TempDir dir;
  test::MqttBroker broker;
  std::string why;
  ASSERT_TRUE(broker.Start(dir, why, "km7", "right horse")) << why;

  MqttSettings s;
  s.broker.host = "127.0.0.1";
  s.broker.port = static_cast<std::uint16_t>(broker.port());
  s.user = "km7";
  s.passwordFile = dir / "wrong";
  it::WriteFile(s.passwordFile, "wrong horse\n");
  ::chmod(s.passwordFile.c_str(), 0600);
  std::vector<std::string> reports;
  std::mutex m;
  s.report = [&](const std::string& t) {
    std::lock_guard lock(m);
    reports.push_back(t);
  };
  {
    MqttPublisher p(s);
    std::string error;
    ASSERT_TRUE(p.Start(error)) << error;
    EXPECT_TRUE(test::Eventually([&] { return p.connection() == Connection::Refused; })) << p.LastError();
    EXPECT_NE(p.LastError().find("refused the connection"), std::string::npos) << p.LastError();
    EXPECT_NE(p.LastError().find("--mqtt-password-file"), std::string::npos) << p.LastError();
    EXPECT_EQ(p.LastError().find("wrong horse"), std::string::npos);
    std::this_thread::sleep_for(3500ms);
    std::lock_guard lock(m);
    EXPECT_EQ(reports.size(), 1u) << testing::PrintToString(reports);
  }
  // Nothing was published under that name.
  EXPECT_EQ(broker.Retained("km7/status", "km7", "right horse"), "");

  // The right password, with a line end as editors leave it, in a private
  // file: no warning.
  it::WriteFile(dir / "right", "right horse\r\n");
  ::chmod((dir / "right").c_str(), 0600);
  s.passwordFile = dir / "right";
  {
    std::lock_guard lock(m);
    reports.clear();
  }
  MqttPublisher p(s);
  std::string error;
  ASSERT_TRUE(p.Start(error)) << error;
  EXPECT_TRUE(test::Eventually([&] { return p.connection() == Connection::Connected; })) << p.LastError();
  EXPECT_EQ(broker.Retained("km7/status", "km7", "right horse"), "online");
  std::lock_guard lock(m);
  for (const std::string& r : reports) EXPECT_EQ(r.find("warning"), std::string::npos) << r;
}

// A password file others can read is used, with one clear warning; so is a
// password that would cross the network unencrypted.
TEST(MqttPasswordTest, LoosePasswordFilesAndClearTextPasswordsAreWarnedAbout) {
  it::TempDir dir;
  it::WriteFile(dir / "pw", "secret\n");
  ::chmod((dir / "pw").c_str(), 0644);
  std::string password, error, warning;
  ASSERT_TRUE(ReadPasswordFile(dir / "pw", password, error, warning)) << error;
  EXPECT_EQ(password, "secret");
  EXPECT_NE(warning.find("can be read or changed by every user"), std::string::npos) << warning;
  EXPECT_NE(warning.find("0644"), std::string::npos) << warning;
  EXPECT_EQ(warning.find("secret"), std::string::npos);
  ::chmod((dir / "pw").c_str(), 0640);
  ASSERT_TRUE(ReadPasswordFile(dir / "pw", password, error, warning)) << error;
  EXPECT_EQ(warning, "");
  it::WriteFile(dir / "empty", "\n");
  EXPECT_FALSE(ReadPasswordFile(dir / "empty", password, error, warning));
  EXPECT_NE(error.find("it is empty"), std::string::npos) << error;
  EXPECT_FALSE(ReadPasswordFile(dir.path(), password, error, warning));

  struct Case {
    const char* url;
    bool warned;
  } cases[] = {{"mqtt://broker.lan", true}, {"mqtt://192.0.2.1:1884", true}, {"mqtts://broker.lan", false},
               {"mqtt://127.0.0.1", false}, {"mqtt://localhost", false}, {"mqtt://[::1]", false}};
  for (const auto& c : cases) {
    auto url = ParseBrokerUrl(c.url, error);
    ASSERT_TRUE(url) << error;
    const std::string w = ClearTextWarning(*url);
    EXPECT_EQ(!w.empty(), c.warned) << c.url << ": " << w;
    if (c.warned) {
      EXPECT_NE(w.find("readable by anyone on the way"), std::string::npos) << w;
    }
  }

  // Start says so once, through the report.
  MqttSettings s;
  s.broker.host = "broker.invalid";
  s.user = "u";
  s.passwordFile = dir / "pw";
  ::chmod((dir / "pw").c_str(), 0604);
  std::vector<std::string> reports;
  std::mutex m;
  s.report = [&](const std::string& t) {
    std::lock_guard lock(m);
    reports.push_back(t);
  };
  MqttPublisher p(s);
  ASSERT_TRUE(p.Start(error)) << error;
  p.Stop();
  std::lock_guard lock(m);
  int warnings = 0;
  for (const std::string& r : reports) warnings += r.rfind("warning: ", 0) == 0;
  EXPECT_EQ(warnings, 2);
}

}  // namespace
}  // namespace km7::mqtt

namespace km7::mqtt {
namespace {

using namespace std::chrono_literals;

// mqtts: the broker's certificate is checked against the CA file and the host.
TEST(MqttTlsTest, ConnectsWithTheRightCaAndRefusesAWrongCertificate) {
  if (it::FindProgram("mosquitto").empty()) GTEST_SKIP() << "mosquitto is not installed";
  it::TestCertificates certs;
  ASSERT_TRUE(certs.error.empty()) << certs.error;
  struct Case {
    std::string serverCert;
    std::string cafile;  // empty: the system's store
    bool connects;
  } cases[] = {{certs.good, certs.ca, true}, {certs.good, "", false}, {certs.otherHost, certs.ca, false}};
  for (const auto& c : cases) {
    it::TempDir dir;
    test::MqttBroker broker;
    std::string why;
    ASSERT_TRUE(broker.Start(dir, why, {}, {}, 0,
                             "certfile " + c.serverCert + "\nkeyfile " + certs.key + "\ncafile " + certs.ca + "\n"))
        << why;
    MqttSettings s;
    s.broker.tls = true;
    s.broker.host = "127.0.0.1";
    s.broker.port = static_cast<std::uint16_t>(broker.port());
    s.cafile = c.cafile;
    MqttPublisher p(s);
    std::string error;
    ASSERT_TRUE(p.Start(error)) << error;
    if (c.connects) {
      EXPECT_TRUE(test::Eventually([&] { return p.connection() == Connection::Connected; })) << p.LastError();
    } else {
      EXPECT_TRUE(test::Eventually([&] { return !p.LastError().empty(); })) << c.serverCert;
      EXPECT_NE(p.LastError().find("certificate verify failed"), std::string::npos) << p.LastError();
      std::this_thread::sleep_for(1s);
      EXPECT_NE(p.connection(), Connection::Connected) << c.serverCert;
    }
  }
}

}  // namespace
}  // namespace km7::mqtt
