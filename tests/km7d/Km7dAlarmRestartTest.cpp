// km7d killed and started again during one excursion: the alarm is mailed
// once, and its back-to-normal mail still comes when the value returns. With
// the mail server down the outbox's figures are the files on disk.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <thread>

#include "Harness.h"
#include "Km7dProcess.h"
#include "alarms/Outbox.h"

namespace {

using namespace km7d_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string Metric(const std::string& page, const std::string& name, const std::string& sensor) {
  const std::regex re(name + R"(\{[^}]*sensor=")" + sensor + R"("[^}]*\} (\S+))");
  std::smatch m;
  return std::regex_search(page, m, re) ? m[1].str() : "";
}

std::vector<std::string> Settings(int port) {
  return {"ORVKM7TempEmailOnOff_Lab=1", "ORVKM7EmailTempAbove_Lab=1", "ORVKM7EmailTempAboveTemp_Lab=20.0",
          "ORVKM7BackToNormalOnOff_Lab=1", "ORVKM7ServerName_Lab=127.0.0.1",
          "ORVKM7PortNumber_Lab=" + std::to_string(port), "ORVKM7EmailTempTo_Lab=ops@example.org",
          "ORVKM7EmailTempFrom_Lab=km7@example.org"};
}

std::string Spool(const fs::path& spool) {
  std::string all;
  for (const auto& e : fs::recursive_directory_iterator(spool))
    if (e.is_regular_file()) all += km7::it::ReadFile(e.path());
  return all;
}

TEST(Km7dAlarmRestart, TenKillsDuringOneExcursionMailItOnceThenBackToNormalOnce) {
  TempDir dir;
  km7::it::MailServer server;
  std::string why;
  fs::create_directories(dir / "srv");
  ASSERT_TRUE(server.Start(dir / "srv", {}, why)) << why;
  WriteSettings(dir / "km7.INI", Settings(server.port()));
  for (int run = 0; run < 11; ++run) {
    // The last run's words must not be taken for this one's.
    fs::remove(dir / "km7d.err");
    Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.0}}));
    ASSERT_TRUE(km7d.Start({"--metrics-listen", "127.0.0.1:0"}));
    const int port = km7d.MetricsPort();
    ASSERT_GT(port, 0) << km7d.Err();
    std::string page;
    ASSERT_TRUE(Eventually(
        [&] {
          page = HttpGet(port, "/metrics");
          return page.find("alarm=\"temperature_high\"} 1") != std::string::npos;
        },
        30s))
        << page << km7d.Err();
    if (run == 0) {
      ASSERT_TRUE(Eventually([&] { return server.MessageCount() == 1; }, 30s)) << km7d.Err();
    }
    std::this_thread::sleep_for(run == 10 ? 3s : 300ms);  // a few more readings
    km7d.Signal(SIGKILL);
    km7d.Wait(5s);
  }
  EXPECT_EQ(server.MessageCount(), 1u) << Spool(server.spool());

  // The value returns: one back-to-normal mail from the next run.
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 15.0}}));
  ASSERT_TRUE(km7d.Start({"--metrics-listen", "127.0.0.1:0"}));
  ASSERT_TRUE(Eventually([&] { return server.MessageCount() == 2; }, 30s)) << km7d.Err();
  std::this_thread::sleep_for(2s);
  km7d.Signal(SIGTERM);
  EXPECT_EQ(km7d.Wait(5s), 0) << km7d.Err();
  EXPECT_EQ(server.MessageCount(), 2u);
  const std::string spool = Spool(server.spool());
  EXPECT_NE(spool.find("(back=20to=20normal)"), std::string::npos) << spool;
  // No Cc is set: the settings' placeholder is no second recipient.
  EXPECT_EQ(spool.find("\"rcpt_tos\": [\"ops@example.org\", "), std::string::npos) << spool;
  EXPECT_NE(spool.find("\"rcpt_tos\": [\"ops@example.org\"]"), std::string::npos) << spool;
}

TEST(Km7dAlarmRestart, TheOutboxFigureIsTheFilesOnDiskAndAFullOutboxDropIsCounted) {
  TempDir dir;
  // Mail left over from before: 1,000 messages for a server that is down.
  km7::alarms::Outbox box((dir / "state" / "km7" / "outbox").string());
  std::string why;
  ASSERT_TRUE(box.Prepare(why)) << why;
  km7::alarms::OutboxMessage m;
  m.sensor = "Lab";
  m.kind = "Temperature";
  m.to = "ops@example.org";
  m.from = "km7@example.org";
  m.subject = "left over";
  m.body = "old\n";
  m.created = 1765000000;
  for (int i = 0; i < 1000; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/%020d-1-%d.mail", i, i);
    WriteFile(box.Folder() + name, km7::alarms::SerializeOutboxMessage(m));
    fs::permissions(box.Folder() + name, fs::perms::owner_read | fs::perms::owner_write);
  }
  WriteSettings(dir / "km7.INI", Settings(km7::it::FreePort()));
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 15.0}}));
  ASSERT_TRUE(km7d.Start({"--metrics-listen", "127.0.0.1:0"}));
  const int port = km7d.MetricsPort();
  ASSERT_GT(port, 0) << km7d.Err();
  EXPECT_TRUE(Eventually([&] { return Metric(HttpGet(port, "/metrics"), "km7_mail_outbox_messages", "Lab") == "1000"; },
                         60s))
      << HttpGet(port, "/metrics") << km7d.Err();
  EXPECT_TRUE(km7d.WaitForErr("cannot be reached", 30s)) << km7d.Err();
  km7d.Signal(SIGTERM);
  EXPECT_EQ(km7d.Wait(5s), 0) << km7d.Err();

  // Too warm now: its alarm makes room by dropping the oldest, which is told
  // in the journal and counted, and the figure stays the files on disk.
  fs::remove(dir / "km7d.err");
  Km7dProcess again(dir.path(), SimModules({{"Lab", 21.0}}));
  ASSERT_TRUE(again.Start({"--metrics-listen", "127.0.0.1:0"}));
  const int port2 = again.MetricsPort();
  ASSERT_GT(port2, 0) << again.Err();
  EXPECT_TRUE(Eventually([&] { return Metric(HttpGet(port2, "/metrics"), "km7_mails_dropped_total", "Lab") == "1"; },
                         60s))
      << HttpGet(port2, "/metrics") << again.Err();
  EXPECT_EQ(Metric(HttpGet(port2, "/metrics"), "km7_mail_outbox_messages", "Lab"), "1000");
  EXPECT_EQ(box.List().size(), 1000u);
  EXPECT_NE(again.Err().find("the oldest waiting alarm mail was dropped"), std::string::npos) << again.Err();
  // One line for the down server, not one per message.
  std::size_t lines = 0;
  const std::string err = again.Err();
  for (auto at = err.find("cannot be reached"); at != std::string::npos; at = err.find("cannot be reached", at + 1)) ++lines;
  EXPECT_LE(lines, 2u) << err;
  again.Signal(SIGTERM);
  EXPECT_EQ(again.Wait(5s), 0) << again.Err();
}

}  // namespace

// A message file nobody can read belongs to no sensor: it is set aside, told
// in the journal and counted on its own.
TEST(Km7dAlarmRestart, AnUnreadableOutboxFileIsToldAndCounted) {
  TempDir dir;
  km7::alarms::Outbox box((dir / "state" / "km7" / "outbox").string());
  std::string why;
  ASSERT_TRUE(box.Prepare(why)) << why;
  const std::string name = box.Folder() + "/00000000000000000001-1-1.mail";
  WriteFile(name, "not a message at all\n");
  fs::permissions(name, fs::perms::owner_read | fs::perms::owner_write);
  WriteSettings(dir / "km7.INI", Settings(km7::it::FreePort()));
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 15.0}}));
  ASSERT_TRUE(km7d.Start({"--metrics-listen", "127.0.0.1:0"}));
  const int port = km7d.MetricsPort();
  ASSERT_GT(port, 0) << km7d.Err();
  EXPECT_TRUE(Eventually(
      [&] { return HttpGet(port, "/metrics").find("\nkm7_mails_unreadable_total 1\n") != std::string::npos; }, 60s))
      << HttpGet(port, "/metrics") << km7d.Err();
  EXPECT_TRUE(km7d.WaitForErr("An alarm mail was lost", 30s)) << km7d.Err();
  km7d.Signal(SIGTERM);
  EXPECT_EQ(km7d.Wait(5s), 0) << km7d.Err();
}
