// The mail worker against real servers on loopback (aiosmtpd, and scripted
// servers for silence and refusals): every message is sent once, kept until
// then, tried again on the schedule (shortened here), given up when that is
// all that is left, and picked up again by the next worker.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <array>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Harness.h"
#include "MailWorkerTestSupport.h"
#include "alarms/MailWorker.h"
#include "support/RefusingPort.h"

namespace km7::alarms {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Type = MailEvent::Type;

using Events = test::MailEvents;
using test::Server;

OutboxMessage Message(const std::string& subject) {
  OutboxMessage m;
  m.sensor = "Lab";
  m.kind = "Temperature";
  m.to = "oncall@example.org";
  m.from = "km7@example.org";
  m.subject = subject;
  m.body = "Sensor: Lab   Temp: 31.0\xB0" "C\n";
  return m;
}


std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class MailWorkerTest : public ::testing::Test {
 protected:
  MailWorker::Options Options() {
    MailWorker::Options o;
    o.outboxFolder = (tmp_ / "outbox").string();
    o.logPath = (tmp_ / "emailerrstream.txt").string();
    o.schedule.pauses = {100ms, 200ms};
    o.schedule.every = 300ms;
    o.timeoutMs = 5000;
    return o;
  }
  std::size_t OutboxFiles() { return Outbox((tmp_ / "outbox").string()).List().size(); }
  std::string Log() { return fs::exists(tmp_ / "emailerrstream.txt") ? it::ReadFile(tmp_ / "emailerrstream.txt") : ""; }
  bool StartServer(it::MailServer& s, const fs::path& dir, it::MailServerOptions opt = {}) {
    std::string why;
    fs::create_directories(dir);
    const bool ok = s.Start(dir, opt, why);
    EXPECT_TRUE(ok) << why;
    return ok;
  }
  bool StartScripted(it::Daemon& d, const std::string& mode, int& port) {
    return test::StartScripted(d, tmp_.path(), "scripted" + std::to_string(++scripted_), mode, port);
  }

  it::TempDir tmp_;
  int scripted_ = 0;
};

// One worker, one kind of server, a few messages: what the worker told, what
// the server got, what the outbox kept and what the log says.
enum class Peer { Aiosmtpd, AiosmtpdRefusing, Refusing, Escapes, Blackhole };

struct LogExpectation {
  const char* text;
  int count;  // -1: at least once; 0: never
};

struct Case {
  const char* name;
  Peer peer;
  std::function<void(MailWorker::Options&, MailAccount&, const fs::path& dir)> tweak;
  int messages;
  Type until;
  std::size_t untilCount;
  // Events of each type [Sent, Failed, GivenUp, OutboxProblem]: exact, or at
  // least when negative (-3: three or more).
  std::array<int, 4> events;
  int serverMessages;  // -1: no aiosmtpd
  std::size_t outboxFiles;
  std::vector<LogExpectation> log;
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"each message is sent once and the outbox emptied", Peer::Aiosmtpd, nullptr, 2, Type::Sent, 2,
       {2, 0, 0, 0}, 2, 0,
       {{" Queued Temperature alarm mail of Lab in ", 2},
        {" Attempt 1 of Temperature alarm mail of Lab: sent\r\n", 2},
        {" Emailed a message\r\n", 2},
        {" Temperature Alarm... Connecting to 127.0.0.1\r\n", 2}}},
      {"a permanent refusal gives up at once", Peer::AiosmtpdRefusing, nullptr, 1, Type::GivenUp, 1,
       {0, 0, 1, 0}, 0, 0,
       {{"Attempt 1 of Temperature alarm mail of Lab: failed, giving up", 1},
        {"Gave up Temperature alarm mail of Lab: the server refused it for good", 1}}},
      {"temporary failures give up when the time is over", Peer::Refusing,
       [](MailWorker::Options& o, MailAccount&, const fs::path&) { o.schedule.giveUpAfter = 1500ms; }, 1, Type::GivenUp, 1,
       {0, -3, 1, 0}, -1, 0, {{"no success within a day", 1}}},
      {"a temporary reply is tried again and the server's text is made visible", Peer::Escapes, nullptr, 1,
       Type::Failed, 2, {0, -2, 0, 0}, -1, 1,
       {{"\x1b", 0}, {"\rforged", 0}, {"\\x1B]52;c;ZXZpbA==\\x07\\x1B[31mred\\x0Dforged\\x0Aline", -1}}},
      {"an outbox that cannot be written is told once and the mail still goes", Peer::Aiosmtpd,
       [](MailWorker::Options& o, MailAccount&, const fs::path& dir) {
         it::WriteFile(dir / "plain", "not a folder");
         o.outboxFolder = (dir / "plain/outbox").string();
       },
       2, Type::Sent, 2,
       {2, 0, 0, 1}, 2, 0, {{"Outbox: cannot store the message", 2}}},
      {"an account that cannot be opened is never an empty login, and given up at once", Peer::Aiosmtpd,
       [](MailWorker::Options&, MailAccount& a, const fs::path&) {
         a.server.authMethod = 2;
         a.problem = "The stored account for Lab cannot be opened: the key file k is missing.";
       },
       1, Type::GivenUp, 1, {0, 0, 1, 0}, 0, 0,
       {{"-1 - The stored account for Lab cannot be opened", -1}, {"next attempt", 0}}},
      {"a silent server is said not to answer in time", Peer::Blackhole,
       [](MailWorker::Options& o, MailAccount&, const fs::path&) { o.timeoutMs = 1000; }, 1, Type::Failed, 1,
       {0, -1, 0, 0}, -1, 1,
       {{"did not answer within the time-out", -1}, {"Unexpected SMTP Login response", 0}}},
  };
  return cases;
}

TEST_F(MailWorkerTest, Table) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    it::TempDir dir;
    MailWorker::Options o = Options();
    o.outboxFolder = (dir / "outbox").string();
    o.logPath = (dir / "emailerrstream.txt").string();
    it::MailServer server;
    it::Daemon scripted;
    std::optional<test::RefusingPort> refusing;
    int port = 0;
    switch (c.peer) {
      case Peer::Aiosmtpd:
      case Peer::AiosmtpdRefusing: {
        it::MailServerOptions opt;
        if (c.peer == Peer::AiosmtpdRefusing) opt.refusedRecipients = {"oncall@example.org"};
        ASSERT_TRUE(StartServer(server, dir / "srv", opt));
        port = server.port();
        break;
      }
      case Peer::Refusing: port = refusing.emplace().port(); break;
      case Peer::Escapes: ASSERT_TRUE(StartScripted(scripted, "escape", port)); break;
      case Peer::Blackhole: ASSERT_TRUE(StartScripted(scripted, "blackhole", port)); break;
    }
    MailAccount account = Server(port);
    if (c.tweak) c.tweak(o, account, dir.path());
    Events events;
    MailWorker worker(o, events.Sink());
    worker.SetServer("Lab", account);
    worker.Start();
    for (int i = 0; i < c.messages; ++i) worker.Enqueue(Message("message " + std::to_string(i)));
    ASSERT_TRUE(events.WaitFor(c.until, c.untilCount));
    if (c.until == Type::Sent) std::this_thread::sleep_for(300ms);  // nothing more goes out
    worker.Stop();

    const Type types[] = {Type::Sent, Type::Failed, Type::GivenUp, Type::OutboxProblem};
    for (int t = 0; t < 4; ++t) {
      const int want = c.events[std::size_t(t)];
      if (want >= 0) {
        EXPECT_EQ(events.Count(types[t]), std::size_t(want)) << "event " << t;
      } else {
        EXPECT_GE(events.Count(types[t]), std::size_t(-want)) << "event " << t;
      }
    }
    if (c.serverMessages >= 0) {
      EXPECT_EQ(server.MessageCount(), std::size_t(c.serverMessages));
    }
    if (c.serverMessages == 0) {
      // Nobody connected: the server saw no session at all.
      EXPECT_EQ(server.daemon().Logs().find("EHLO"), std::string::npos);
    }
    if (fs::is_directory(dir / "outbox")) {
      EXPECT_EQ(Outbox((dir / "outbox").string()).List().size(), c.outboxFiles);
    }
    const std::string log = fs::exists(dir / "emailerrstream.txt") ? it::ReadFile(dir / "emailerrstream.txt") : "";
    for (const LogExpectation& e : c.log) {
      if (e.count < 0) {
        EXPECT_NE(log.find(e.text), std::string::npos) << e.text << "\n" << log;
      } else {
        EXPECT_EQ(Count(log, e.text), std::size_t(e.count)) << e.text << "\n" << log;
      }
    }
  }
}

TEST_F(MailWorkerTest, ServerDownAtFirstIsSentOnceWhenItComesUp) {
  const int port = it::FreePort();
  Events events;
  MailWorker worker(Options(), events.Sink());
  worker.SetServer("Lab", Server(port));
  worker.Start();
  worker.Enqueue(Message("while down"));
  ASSERT_TRUE(events.WaitFor(Type::Failed, 3));
  EXPECT_EQ(OutboxFiles(), 1u);
  const std::string log = Log();
  // The cause is in the log, not only in a box.
  EXPECT_NE(log.find("Status of connect to 127.0.0.1: -1 - An error occured connecting to the server"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("failed, next attempt in 100 ms"), std::string::npos) << log;
  EXPECT_NE(log.find("failed, next attempt in 200 ms"), std::string::npos) << log;
  EXPECT_NE(log.find("failed, next attempt in 300 ms"), std::string::npos) << log;

  it::MailServerOptions opt;
  opt.port = port;
  it::MailServer server;
  ASSERT_TRUE(StartServer(server, tmp_ / "srv", opt));
  ASSERT_TRUE(events.WaitFor(Type::Sent, 1));
  std::this_thread::sleep_for(1s);  // nothing more goes out
  worker.Stop();
  EXPECT_EQ(server.MessageCount(), 1u);
  EXPECT_EQ(events.Count(Type::Sent), 1u);
  EXPECT_EQ(OutboxFiles(), 0u);
}

TEST_F(MailWorkerTest, AServerBackIsNoticedLongBeforeTheNextPauseEnds) {
  const int port = it::FreePort();
  Events events;
  MailWorker::Options o = Options();
  o.schedule.pauses = {};
  o.schedule.every = std::chrono::minutes(10);
  o.schedule.probeEvery = 200ms;
  MailWorker worker(o, events.Sink());
  worker.SetServer("Lab", Server(port));
  worker.Start();
  worker.Enqueue(Message("probe"));
  ASSERT_TRUE(events.WaitFor(Type::Failed, 1));
  EXPECT_NE(Log().find("failed, next attempt in 10 min"), std::string::npos) << Log();
  it::MailServerOptions opt;
  opt.port = port;
  it::MailServer server;
  ASSERT_TRUE(StartServer(server, tmp_ / "srv", opt));
  const auto up = std::chrono::steady_clock::now();
  ASSERT_TRUE(events.WaitFor(Type::Sent, 1, 60s)) << Log() << server.daemon().Logs();
  EXPECT_LT(std::chrono::steady_clock::now() - up, 30s);
  worker.Stop();
  EXPECT_EQ(server.MessageCount(), 1u);
  EXPECT_EQ(events.Count(Type::Failed), 1u);
}

TEST_F(MailWorkerTest, LeftoverMessagesGoOutWithTheNextWorkerOnce) {
  test::RefusingPort refusing;
  {
    Events events;
    MailWorker first(Options(), events.Sink());
    first.SetServer("Lab", Server(refusing.port()));
    first.Start();
    first.Enqueue(Message("left over"));
    ASSERT_TRUE(events.WaitFor(Type::Failed, 1));
    first.Stop();
  }
  ASSERT_EQ(OutboxFiles(), 1u);
  it::MailServer server;
  ASSERT_TRUE(StartServer(server, tmp_ / "srv"));
  Events events;
  MailWorker next(Options(), events.Sink());
  next.Start();
  // It asks for the sensor's server, as the program answers on its thread.
  ASSERT_TRUE(events.WaitFor(Type::NeedServer, 1));
  next.SetServer("Lab", Server(server.port()));
  ASSERT_TRUE(events.WaitFor(Type::Sent, 1));
  std::this_thread::sleep_for(500ms);
  next.Stop();
  EXPECT_EQ(server.MessageCount(), 1u);
  EXPECT_EQ(OutboxFiles(), 0u);
}

TEST_F(MailWorkerTest, TwoWorkersOnOneOutboxNeverSendAFileTwice) {
  Outbox box((tmp_ / "outbox").string());
  for (int i = 0; i < 8; ++i) {
    std::string path, why;
    std::vector<std::string> dropped;
    ASSERT_TRUE(box.Add(Message("m" + std::to_string(i)), path, why, dropped));
  }
  it::MailServer server;
  ASSERT_TRUE(StartServer(server, tmp_ / "srv"));
  Events a, b;
  MailWorker one(Options(), a.Sink()), two(Options(), b.Sink());
  one.SetServer("Lab", Server(server.port()));
  two.SetServer("Lab", Server(server.port()));
  one.Start();
  two.Start();
  for (int i = 0; i < 600 && OutboxFiles() > 0; ++i) std::this_thread::sleep_for(100ms);
  std::this_thread::sleep_for(1s);
  one.Stop();
  two.Stop();
  EXPECT_EQ(OutboxFiles(), 0u);
  EXPECT_EQ(server.MessageCount(), 8u);
  EXPECT_EQ(a.Count(Type::Sent) + b.Count(Type::Sent), 8u);
}

TEST_F(MailWorkerTest, DamagedFilesAreMovedAsideAndTheOthersSent) {
  Outbox box((tmp_ / "outbox").string());
  std::string path, why;
  std::vector<std::string> dropped;
  ASSERT_TRUE(box.Add(Message("good"), path, why, dropped));
  const std::string good = SerializeOutboxMessage(Message("cut short"));
  it::WriteFile(tmp_ / "outbox/00000000000000000001-1-0.mail", good.substr(0, good.size() / 2));
  it::WriteFile(tmp_ / "outbox/00000000000000000002-1-0.mail", "\x7f" "ELF garbage");
  it::MailServer server;
  ASSERT_TRUE(StartServer(server, tmp_ / "srv"));
  Events events;
  MailWorker worker(Options(), events.Sink());
  worker.SetServer("Lab", Server(server.port()));
  worker.Start();
  ASSERT_TRUE(events.WaitFor(Type::Sent, 1));
  worker.Stop();
  EXPECT_EQ(server.MessageCount(), 1u);
  EXPECT_EQ(OutboxFiles(), 0u);
  EXPECT_TRUE(fs::exists(tmp_ / "outbox/bad/00000000000000000001-1-0.mail"));
  EXPECT_TRUE(fs::exists(tmp_ / "outbox/bad/00000000000000000002-1-0.mail"));
  EXPECT_EQ(Count(Log(), "cannot be read; moved to "), 2u) << Log();
}

// Stop cancels the attempt in progress: the worker's thread ends at once,
// though the server never answers and the time-out is a minute.
TEST_F(MailWorkerTest, StopCancelsAnAttemptOnASilentServer) {
  it::Daemon scripted;
  int port = 0;
  ASSERT_TRUE(StartScripted(scripted, "blackhole", port));
  Events events;
  MailWorker::Options o = Options();
  o.timeoutMs = 60000;
  auto worker = std::make_unique<MailWorker>(o, events.Sink());
  worker->SetServer("Lab", Server(port));
  worker->Start();
  worker->Enqueue(Message("into the void"));
  for (int i = 0; i < 200 && Log().find("Connecting") == std::string::npos; ++i) std::this_thread::sleep_for(50ms);
  ASSERT_NE(Log().find("Connecting"), std::string::npos);
  std::this_thread::sleep_for(300ms);
  const auto start = std::chrono::steady_clock::now();
  // Waits for the thread's end as long as it takes within the bound: only
  // the cancel ends it sooner than the server's time-out.
  worker->Stop(30000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  worker.reset();
  EXPECT_EQ(OutboxFiles(), 1u);  // kept for the next start
  EXPECT_EQ(events.Count(Type::Sent), 0u);
  const std::string log = Log();
  EXPECT_NE(log.find("Status of connect to 127.0.0.1: -1"), std::string::npos) << log;
  EXPECT_NE(log.find("cancelled"), std::string::npos) << log;
  EXPECT_NE(log.find("Attempt 1 of Temperature alarm mail of Lab: cancelled, the program is closing"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("next attempt"), std::string::npos) << log;
}

}  // namespace
}  // namespace km7::alarms
