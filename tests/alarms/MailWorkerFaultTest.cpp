// The mail worker when the wall clock jumps, when a server stays down for
// many messages, and when a recipient is refused: real servers on loopback,
// the wall clock through the program's clock seam.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "Harness.h"
#include "MailWorkerTestSupport.h"
#include "alarms/MailWorker.h"
#include "platform/Clock.h"

namespace km7::alarms {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Type = MailEvent::Type;

std::atomic<std::time_t> g_offset{0};
std::time_t ShiftedNow() { return std::time(nullptr) + g_offset.load(); }

using Seen = test::MailEvents;
using test::Server;

OutboxMessage Message(const std::string& subject, const std::string& cc = "") {
  OutboxMessage m;
  m.sensor = "Lab";
  m.kind = "Temperature";
  m.to = "oncall@example.org";
  m.from = "km7@example.org";
  m.cc = cc;
  m.subject = subject;
  m.body = "Sensor: Lab\n";
  return m;
}


class MailWorkerFault : public ::testing::Test {
 protected:
  void TearDown() override {
    SetNowHook(nullptr);
    g_offset = 0;
  }
  MailWorker::Options Options() {
    MailWorker::Options o;
    o.outboxFolder = (tmp_ / "outbox").string();
    o.logPath = (tmp_ / "emailerrstream.txt").string();
    o.schedule.pauses = {100ms, 200ms};
    o.schedule.every = 300ms;
    o.schedule.probeEvery = 200ms;
    o.timeoutMs = 5000;
    return o;
  }
  std::size_t Files() { return Outbox((tmp_ / "outbox").string()).List().size(); }
  std::string Log() { return it::ReadFile(tmp_ / "emailerrstream.txt"); }
  void StartServer(it::MailServer& s, it::MailServerOptions opt = {}) {
    std::string why;
    fs::create_directories(tmp_ / "srv");
    ASSERT_TRUE(s.Start(tmp_ / "srv", opt, why)) << why;
  }
  bool StartScripted(it::Daemon& d, const std::string& mode, int& port) {
    return test::StartScripted(d, tmp_.path(), "scripted", mode, port);
  }
  it::TempDir tmp_;
};

TEST_F(MailWorkerFault, ADayForwardAndBackNeitherGivesUpNorDoublesTheMessage) {
  SetNowHook(&ShiftedNow);
  const int port = it::FreePort();
  Seen seen;
  MailWorker worker(Options(), seen.Sink());
  worker.SetServer("Lab", Server(port));
  worker.Start();
  worker.Enqueue(Message("clock"));
  ASSERT_TRUE(seen.WaitFor(Type::Failed, 2));
  g_offset = 25 * 3600;  // network time sets the clock a day ahead
  ASSERT_TRUE(seen.WaitFor(Type::Failed, 4));
  g_offset = 0;  // and back
  ASSERT_TRUE(seen.WaitFor(Type::Failed, 6));
  EXPECT_EQ(seen.Count(Type::GivenUp), 0u) << Log();
  it::MailServerOptions opt;
  opt.port = port;
  it::MailServer server;
  StartServer(server, opt);
  ASSERT_TRUE(seen.WaitFor(Type::Sent, 1)) << Log();
  std::this_thread::sleep_for(1s);
  worker.Stop();
  EXPECT_EQ(server.MessageCount(), 1u);
  EXPECT_EQ(seen.Count(Type::GivenUp), 0u);
  EXPECT_EQ(Files(), 0u);
}

TEST_F(MailWorkerFault, TheTimeWaitedIsKeptInTheFileAcrossRuns) {
  const int port = it::FreePort();
  Outbox box((tmp_ / "outbox").string());
  std::string path, why;
  std::vector<std::string> dropped;
  // Written two days "ago" by a clock that was wrong: not old at all.
  OutboxMessage young = Message("young");
  young.created = std::time(nullptr) - 2 * 86400;
  ASSERT_TRUE(box.Add(young, path, why, dropped)) << why;
  {
    Seen seen;
    MailWorker::Options o = Options();
    o.schedule.giveUpAfter = 2s;
    MailWorker worker(o, seen.Sink());
    worker.SetServer("Lab", Server(port));
    worker.Start();
    ASSERT_TRUE(seen.WaitFor(Type::Failed, 2));
    EXPECT_EQ(seen.Count(Type::GivenUp), 0u) << Log();
    worker.Stop();
  }
  ASSERT_EQ(Files(), 1u);
  const auto waited = ParseOutboxMessage(it::ReadFile(box.List().front()));
  ASSERT_TRUE(waited);
  EXPECT_GT(waited->waitedMs, 50);
  EXPECT_LT(waited->waitedMs, 2000);
  // The next run goes on from there and gives up once the sum is reached.
  Seen seen;
  MailWorker::Options o = Options();
  o.schedule.giveUpAfter = std::chrono::milliseconds(waited->waitedMs + 600);
  MailWorker worker(o, seen.Sink());
  worker.SetServer("Lab", Server(port));
  const auto start = std::chrono::steady_clock::now();
  worker.Start();
  ASSERT_TRUE(seen.WaitFor(Type::GivenUp, 1, 30s)) << Log();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  worker.Stop();
  EXPECT_EQ(Files(), 0u);
}

TEST_F(MailWorkerFault, ADownServerIsKnockedOnOncePerPauseAndToldOnce) {
  const int port = it::FreePort();
  Seen seen;
  MailWorker::Options o = Options();
  o.failingReportEvery = 2s;
  MailWorker worker(o, seen.Sink());
  worker.SetServer("Lab", Server(port));
  worker.Start();
  for (int i = 0; i < 40; ++i) worker.Enqueue(Message("many " + std::to_string(i)));
  std::this_thread::sleep_for(3s);
  const std::string log = Log();
  std::size_t connects = 0;
  for (auto at = log.find("Connecting to"); at != std::string::npos; at = log.find("Connecting to", at + 1)) ++connects;
  // Per message it would be 40 a round; per server it is about one.
  EXPECT_LT(connects, 40u) << log;
  // Said when it began, then again while it lasts, with what waits.
  const std::vector<MailEvent> failing = seen.Of(Type::ServerFailing);
  ASSERT_GE(failing.size(), 2u);
  EXPECT_LE(failing.size(), 3u);
  EXPECT_EQ(failing[0].text.find("still"), std::string::npos) << failing[0].text;
  EXPECT_NE(failing[1].text.find("still cannot be reached (since "), std::string::npos) << failing[1].text;
  EXPECT_EQ(failing[1].waiting, 40u);
  EXPECT_EQ(worker.OnDisk()["Lab"], 40u);
  it::MailServerOptions opt;
  opt.port = port;
  it::MailServer server;
  StartServer(server, opt);
  ASSERT_TRUE(seen.WaitFor(Type::Sent, 40)) << Log();
  EXPECT_EQ(seen.Count(Type::ServerBack), 1u);
  worker.Stop();
  EXPECT_EQ(server.MessageCount(), 40u);
  EXPECT_EQ(seen.Count(Type::GivenUp), 0u);
}

TEST_F(MailWorkerFault, ARefusedCcIsLoggedAndTheMailStillGoesToTheOthers) {
  it::MailServerOptions opt;
  opt.refusedRecipients = {"boss@example.org"};
  it::MailServer server;
  StartServer(server, opt);
  Seen seen;
  MailWorker worker(Options(), seen.Sink());
  worker.SetServer("Lab", Server(server.port()));
  worker.Start();
  worker.Enqueue(Message("refused cc", "boss@example.org, deputy@example.org"));
  // The settings' placeholder is no recipient.
  worker.Enqueue(Message("placeholder cc", "Enter email address or name here."));
  ASSERT_TRUE(seen.WaitFor(Type::Sent, 2)) << Log();
  worker.Stop();
  EXPECT_EQ(seen.Count(Type::GivenUp), 0u);
  EXPECT_EQ(server.MessageCount(), 2u);
  const std::string log = Log();
  EXPECT_NE(log.find("the server refused the recipient boss@example.org"), std::string::npos) << log;
  EXPECT_EQ(log.find("refused the recipient Enter"), std::string::npos) << log;
  std::string spool;
  for (const auto& e : fs::recursive_directory_iterator(server.spool()))
    if (e.is_regular_file()) spool += it::ReadFile(e.path());
  EXPECT_NE(spool.find("deputy@example.org"), std::string::npos) << spool;
  EXPECT_EQ(spool.find("Enter email address"), std::string::npos) << spool;
}

}  // namespace
}  // namespace km7::alarms

namespace km7::alarms {
namespace {

TEST_F(MailWorkerFault, AFileNotOursAloneIsNeverSentAndSaidOnce) {
  it::MailServer server;
  StartServer(server);
  Outbox box((tmp_ / "outbox").string());
  std::vector<std::string> planted;
  for (int i = 0; i < 2; ++i) {
    std::string path, why;
    std::vector<std::string> dropped;
    ASSERT_TRUE(box.Add(Message("planted " + std::to_string(i)), path, why, dropped)) << why;
    fs::permissions(path, fs::perms::others_write | fs::perms::group_write, fs::perm_options::add);
    planted.push_back(path);
  }
  Seen seen;
  MailWorker worker(Options(), seen.Sink());
  worker.SetServer("Lab", Server(server.port()));
  worker.Start();
  worker.Enqueue(Message("ours"));
  ASSERT_TRUE(seen.WaitFor(Type::Sent, 1)) << Log();
  std::this_thread::sleep_for(1s);
  worker.Stop();
  EXPECT_EQ(server.MessageCount(), 1u);
  EXPECT_EQ(seen.Count(Type::OutboxProblem), 1u);
  for (const std::string& p : planted) EXPECT_TRUE(fs::exists(p)) << p;
  EXPECT_NE(Log().find("is not this user's own or others may write it; not sent"), std::string::npos) << Log();
}

}  // namespace
}  // namespace km7::alarms

namespace km7::alarms {
namespace {

// A fault that took the reply to the end of data as delivery would pass
// every other test: the message must stay for a retry.
TEST_F(MailWorkerFault, ATemporaryReplyToTheEndOfDataKeepsTheMessage) {
  it::Daemon scripted;
  int port = 0;
  ASSERT_TRUE(StartScripted(scripted, "data451", port));
  Seen seen;
  MailWorker worker(Options(), seen.Sink());
  worker.SetServer("Lab", Server(port));
  worker.Start();
  worker.Enqueue(Message("deferred"));
  ASSERT_TRUE(seen.WaitFor(Type::Failed, 2)) << Log();
  worker.Stop();
  EXPECT_EQ(seen.Count(Type::Sent), 0u);
  EXPECT_EQ(seen.Count(Type::GivenUp), 0u);
  EXPECT_EQ(Files(), 1u);
  EXPECT_NE(Log().find("451 4.3.0 try again later"), std::string::npos) << Log();
  for (const MailEvent& e : seen.Of(Type::Failed)) EXPECT_FALSE(e.connectFailed);
}

}  // namespace
}  // namespace km7::alarms

namespace km7::alarms {
namespace {

TEST_F(MailWorkerFault, EveryDropIsToldAndTheFiguresAreTheFilesOnDisk) {
  fs::create_directories(tmp_ / "outbox");
  fs::permissions(tmp_ / "outbox", fs::perms::owner_all, fs::perm_options::replace);
  it::WriteFile(tmp_ / "outbox/00000000000000000001-1-0.mail", "km7-outbox 2\nwaited");
  fs::permissions(tmp_ / "outbox/00000000000000000001-1-0.mail", fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace);
  Seen seen;
  MailWorker::Options o = Options();
  o.capacity = 2;
  MailWorker worker(o, seen.Sink());
  worker.SetServer("Lab", Server(it::FreePort()));
  worker.Start();
  for (int i = 0; i < 3; ++i) worker.Enqueue(Message("full " + std::to_string(i)));
  ASSERT_TRUE(seen.WaitFor(Type::Dropped, 2)) << Log();
  ASSERT_TRUE(seen.WaitFor(Type::Failed, 1)) << Log();
  worker.Stop();
  const std::vector<MailEvent> drops = seen.Of(Type::Dropped);
  ASSERT_EQ(drops.size(), 2u);
  // The unreadable file first: nobody's sensor; then the oldest of the full outbox.
  EXPECT_TRUE(drops[0].sensor.empty());
  EXPECT_NE(drops[0].text.find("cannot be read; moved to"), std::string::npos) << drops[0].text;
  EXPECT_EQ(drops[1].sensor, "Lab");
  EXPECT_NE(drops[1].text.find("outbox is full (2 messages)"), std::string::npos) << drops[1].text;
  EXPECT_EQ(Files(), 2u);
  EXPECT_EQ(worker.OnDisk()["Lab"], 2u);
}

}  // namespace
}  // namespace km7::alarms
