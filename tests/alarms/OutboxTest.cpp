// The outbox's files: their form, their permissions, the limit on their
// number, and the lock that keeps two processes from sending one file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Harness.h"
#include "alarms/EmailErrorLog.h"
#include "alarms/Outbox.h"
#include "platform/TextFileWriter.h"

namespace km7::alarms {
namespace {

namespace fs = std::filesystem;

OutboxMessage Sample(const std::string& subject = "Lab too warm") {
  OutboxMessage m;
  m.sensor = "Lab Module";
  m.kind = "Temperature";
  m.to = "oncall@example.org";
  m.from = "km7@example.org";
  m.cc = "";
  m.subject = subject;
  m.body = "Sensor: Lab\n\nline with end\n\n\xB0" "C and bytes \r\n";
  m.created = 1765000000;
  return m;
}

unsigned Mode(const fs::path& p) {
  struct stat st {};
  stat(p.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(Outbox, MessageSurvivesTheRoundTripAndNoTruncationParses) {
  const std::string bytes = SerializeOutboxMessage(Sample());
  const auto back = ParseOutboxMessage(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->sensor, "Lab Module");
  EXPECT_EQ(back->body, Sample().body);
  EXPECT_EQ(back->created, 1765000000);
  // Every shorter file, and every file with one byte changed in a length or
  // a marker, is refused.
  for (std::size_t n = 0; n < bytes.size(); ++n) EXPECT_FALSE(ParseOutboxMessage(bytes.substr(0, n))) << n;
  EXPECT_FALSE(ParseOutboxMessage(bytes + "x"));
  std::string altered = bytes;
  altered[altered.find("subject 12")] = 'S';
  EXPECT_FALSE(ParseOutboxMessage(altered));
  altered = bytes;
  altered.replace(altered.find("subject 12"), 10, "subject 13");
  EXPECT_FALSE(ParseOutboxMessage(altered));
  EXPECT_FALSE(ParseOutboxMessage("garbage"));
}

TEST(Outbox, PrivateFolderPrivateFilesOldestFirst) {
  it::TempDir tmp;
  Outbox box((tmp / "state/km7/outbox").string());
  std::vector<std::string> paths;
  for (int i = 0; i < 3; ++i) {
    std::string path, why;
    std::vector<std::string> dropped;
    ASSERT_TRUE(box.Add(Sample("n" + std::to_string(i)), path, why, dropped)) << why;
    EXPECT_TRUE(dropped.empty());
    paths.push_back(path);
  }
  EXPECT_EQ(Mode(tmp / "state/km7/outbox"), 0700u);
  for (const auto& p : paths) EXPECT_EQ(Mode(p), 0600u);
  EXPECT_EQ(box.List(), paths);
  // No temporary file is left beside them.
  std::size_t files = 0;
  for (const auto& e : fs::directory_iterator(tmp / "state/km7/outbox")) files += e.is_regular_file();
  EXPECT_EQ(files, 3u);
}

TEST(Outbox, FullOutboxDropsTheOldest) {
  it::TempDir tmp;
  Outbox box((tmp / "outbox").string(), 3);
  std::vector<std::string> paths, dropped;
  for (int i = 0; i < 5; ++i) {
    std::string path, why;
    ASSERT_TRUE(box.Add(Sample("n" + std::to_string(i)), path, why, dropped));
    paths.push_back(path);
  }
  EXPECT_EQ(dropped, (std::vector<std::string>{paths[0], paths[1]}));
  EXPECT_EQ(box.List(), (std::vector<std::string>{paths[2], paths[3], paths[4]}));
}

TEST(Outbox, FolderThatCannotBeMadeIsNamed) {
  it::TempDir tmp;
  it::WriteFile(tmp / "plain", "a file, not a folder");
  Outbox box((tmp / "plain/outbox").string());
  std::string path, why;
  std::vector<std::string> dropped;
  EXPECT_FALSE(box.Add(Sample(), path, why, dropped));
  EXPECT_NE(why.find("plain/outbox"), std::string::npos) << why;
  EXPECT_TRUE(path.empty());
}

TEST(Outbox, LockKeepsASecondSenderOffAndSeesRemoval) {
  it::TempDir tmp;
  Outbox box((tmp / "outbox").string());
  std::string path, why;
  std::vector<std::string> dropped;
  ASSERT_TRUE(box.Add(Sample(), path, why, dropped));
  OutboxLock first, second;
  ASSERT_EQ(first.Acquire(path), OutboxLock::Result::Locked);
  EXPECT_EQ(second.Acquire(path), OutboxLock::Result::Busy);
  std::string bytes;
  ASSERT_TRUE(first.Read(bytes));
  EXPECT_TRUE(ParseOutboxMessage(bytes));
  EXPECT_TRUE(first.RemoveAndRelease());
  EXPECT_EQ(second.Acquire(path), OutboxLock::Result::Gone);
  EXPECT_TRUE(box.List().empty());
}

TEST(Outbox, MoveAsideKeepsTheFileInBad) {
  it::TempDir tmp;
  Outbox box((tmp / "outbox").string());
  fs::create_directories(tmp / "outbox");
  it::WriteFile(tmp / "outbox/00000000000000000001-1-0.mail", "km7-outbox 1\ncreated 3\n12");
  const auto files = box.List();
  ASSERT_EQ(files.size(), 1u);
  const std::string aside = box.MoveAside(files[0]);
  EXPECT_EQ(aside, (tmp / "outbox/bad/00000000000000000001-1-0.mail").string());
  EXPECT_TRUE(box.List().empty());
  EXPECT_EQ(it::ReadFile(aside), "km7-outbox 1\ncreated 3\n12");
}

TEST(Outbox, FoldersAndFilesNotOursAloneAreRefused) {
  it::TempDir tmp;
  Outbox box((tmp / "outbox").string());
  std::string path, why;
  std::vector<std::string> dropped;
  ASSERT_TRUE(box.Add(Sample(), path, why, dropped)) << why;
  OutboxLock lock;
  // A file others may write could hold anybody's recipients and text.
  fs::permissions(path, fs::perms::others_write, fs::perm_options::add);
  EXPECT_EQ(lock.Acquire(path), OutboxLock::Result::Refused);
  fs::permissions(path, fs::perms::others_write, fs::perm_options::remove);
  ASSERT_EQ(lock.Acquire(path), OutboxLock::Result::Locked);
  lock.Release();
  if (::geteuid() == 0) {
    // Written by another account (as root the test can make one).
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    EXPECT_EQ(lock.Acquire(path), OutboxLock::Result::Refused);
    ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
  }
  // A link in a file's place is not followed.
  fs::create_symlink(path, tmp / "outbox/00000000000000000000-1-9.mail");
  EXPECT_EQ(lock.Acquire((tmp / "outbox/00000000000000000000-1-9.mail").string()), OutboxLock::Result::Refused);
  // A folder others may write is not used at all.
  fs::permissions(tmp / "outbox", fs::perms::group_write, fs::perm_options::add);
  EXPECT_FALSE(box.Prepare(why));
  EXPECT_NE(why.find("refused"), std::string::npos) << why;
  EXPECT_FALSE(box.Add(Sample(), path, why, dropped));
}

TEST(Outbox, TheTimeWaitedIsRewrittenInPlaceAndFilesOfTheFirstFormStillRead) {
  it::TempDir tmp;
  Outbox box((tmp / "outbox").string());
  std::string path, why;
  std::vector<std::string> dropped;
  ASSERT_TRUE(box.Add(Sample(), path, why, dropped)) << why;
  OutboxLock lock;
  ASSERT_EQ(lock.Acquire(path), OutboxLock::Result::Locked);
  ASSERT_TRUE(lock.WriteWaited(86399999));
  std::string bytes;
  ASSERT_TRUE(lock.Read(bytes));
  const auto back = ParseOutboxMessage(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->waitedMs, 86399999);
  EXPECT_EQ(back->body, Sample().body);
  lock.Release();
  // A file that cannot be written is still sent; only its time is not kept.
  if (::geteuid() != 0) {
    fs::permissions(path, fs::perms::owner_read, fs::perm_options::replace);
    ASSERT_EQ(lock.Acquire(path), OutboxLock::Result::Locked);
    EXPECT_FALSE(lock.WriteWaited(5));
    lock.Release();
  }
  // Written by the version before: no time waited in it.
  std::string v1 = SerializeOutboxMessage(Sample());
  v1.replace(0, 13 + 10 + 21, "km7-outbox 1\n");
  const auto old = ParseOutboxMessage(v1);
  ASSERT_TRUE(old) << v1;
  EXPECT_EQ(old->waitedMs, 0);
  EXPECT_EQ(old->subject, Sample().subject);
  // A time too large to add to is no message of ours.
  std::string huge = SerializeOutboxMessage(Sample());
  huge.replace(huge.find("waited 20\n") + 10, 2, "99");
  EXPECT_FALSE(ParseOutboxMessage(huge));
}

// The diagnostic log is never written through a link put in its place.
TEST(EmailErrorLog, ALinkInPlaceOfTheLogIsRefusedAndSaidSo) {
  it::TempDir tmp;
  fs::create_directories(tmp / "state/km7");
  it::WriteFile(tmp / "elsewhere", "precious\n");
  fs::create_symlink(tmp / "elsewhere", tmp / "state/km7/emailerrstream.txt");
  const char* old = std::getenv("XDG_STATE_HOME");
  const std::string saved = old != nullptr ? old : "";
  setenv("XDG_STATE_HOME", (tmp / "state").c_str(), 1);
  TextFileWriter log;
  std::string why;
  EXPECT_FALSE(OpenEmailErrorLog(log, &why));
  if (old != nullptr) setenv("XDG_STATE_HOME", saved.c_str(), 1); else unsetenv("XDG_STATE_HOME");
  EXPECT_NE(why.find("is a symbolic link"), std::string::npos) << why;
  EXPECT_EQ(it::ReadFile(tmp / "elsewhere"), "precious\n");
}

TEST(EmailErrorLog, ServerTextIsShownNotObeyed) {
  EXPECT_EQ(VisibleServerText("421 \x1b]52;c;ZXZp\x07 bye\rforged\nline\x9d\r\n"),
            "421 \\x1B]52;c;ZXZp\\x07 bye\\x0Dforged\\x0Aline\\x9D");
  EXPECT_EQ(VisibleServerText("250 OK \xB0\r\n"), "250 OK \xB0");
}

}  // namespace
}  // namespace km7::alarms
