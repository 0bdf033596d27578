#include "platform/TextFileWriter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "platform/TempDir.h"

namespace {

using km7::test::ReadFile;
using km7::test::TempDir;
using km7::test::WriteFile;

TEST(TextFileWriter, EveryLineFeedBecomesCrLf) {
  EXPECT_EQ(km7::ToTextMode("a\nb\n"), "a\r\nb\r\n");
  EXPECT_EQ(km7::ToTextMode("Error\r\nDescription"), "Error\r\r\nDescription");
  EXPECT_EQ(km7::ToTextMode("\n\n"), "\r\n\r\n");
  EXPECT_EQ(km7::ToTextMode("no line end \xB0" "C"), "no line end \xB0" "C");
}

TEST(TextFileWriter, AppendCreatesAndAppends) {
  TempDir dir;
  ASSERT_TRUE(km7::AppendTextFile(dir / "log.txt", "Time\tTemp\n"));
  ASSERT_TRUE(km7::AppendTextFile(dir / "log.txt", "12:00\t21.5\xB0\n"));
  EXPECT_EQ(ReadFile(dir / "log.txt"), "Time\tTemp\r\n12:00\t21.5\xB0\r\n");
  EXPECT_FALSE(km7::AppendTextFile(dir / "missing/log.txt", "x\n"));
  EXPECT_FALSE(km7::AppendTextFile(dir.Path(), "x\n"));
}

TEST(TextFileWriter, StreamStaysOpenAcrossWrites) {
  TempDir dir;
  km7::TextFileWriter log;
  EXPECT_FALSE(log.IsOpen());
  EXPECT_FALSE(log.Write("nothing open\n"));
  ASSERT_TRUE(log.Open(dir / "emailerrstream.txt"));
  ASSERT_TRUE(log.Write("\n\nLogFile version 1.00\n"));
  ASSERT_TRUE(log.Write("run-on "));
  ASSERT_TRUE(log.Flush());
  km7::TextFileWriter moved = std::move(log);
  EXPECT_FALSE(log.IsOpen());
  ASSERT_TRUE(moved.Write("line\n"));
  moved.Close();
  EXPECT_FALSE(moved.IsOpen());
  EXPECT_EQ(ReadFile(dir / "emailerrstream.txt"), "\r\n\r\nLogFile version 1.00\r\nrun-on line\r\n");
}

// A FIFO (with or without a reader), a device or a folder as the file: the
// open fails at once instead of blocking, and nothing is written anywhere.
TEST(TextFileWriter, OnlyRegularFilesAreOpenedAndNothingBlocks) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((dir / "read-fifo").c_str(), 0600), 0);
  const int reader = open((dir / "read-fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(symlink("/dev/null", (dir / "device").c_str()), 0);
  ASSERT_EQ(mkdir((dir / "folder").c_str(), 0700), 0);
  for (const char* name : {"fifo", "read-fifo", "device", "folder"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(km7::AppendTextFile(dir / name, "row\n"));
    km7::TextFileWriter writer;
    EXPECT_FALSE(writer.Open(dir / name));
    EXPECT_FALSE(writer.IsOpen());
  }
  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0);  // nothing reached the reader
  close(reader);
}

// A write that the file system stops part-way (here: the file size limit,
// which binds root too) leaves the file as it was before the write.
TEST(TextFileWriter, FailedWriteLeavesNoPartialLine) {
  TempDir dir;
  const std::string path = dir / "log.txt";
  WriteFile(path, "row 1\r\n");
  WriteFile(dir / "km7.INI", "[MyORVKM7Ap]\r\nA=1\r\n");

  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool appended = km7::AppendTextFile(path, std::string(100, 'x') + "\n");
  km7::TextFileWriter stream;
  const bool opened = stream.Open(path);
  const bool streamed = stream.Write(std::string(100, 'y') + "\n");
  const bool fitting = stream.Write("row 2\n");
  const bool replaced = km7::ReplaceFileAtomically(dir / "km7.INI", std::string(100, 'z'));
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(appended);
  EXPECT_TRUE(opened);
  EXPECT_FALSE(streamed);
  EXPECT_TRUE(fitting);
  EXPECT_EQ(ReadFile(path), "row 1\r\nrow 2\r\n");
  EXPECT_FALSE(replaced);
  EXPECT_EQ(ReadFile(dir / "km7.INI"), "[MyORVKM7Ap]\r\nA=1\r\n");
}

TEST(TextFileWriter, ReplaceKeepsModeAndGivesNewFilesTheirs) {
  TempDir dir;
  ASSERT_TRUE(km7::ReplaceFileAtomically(dir / "new", "abc", 0640));
  EXPECT_EQ(km7::test::Mode(dir / "new"), 0640u);
  ASSERT_EQ(chmod((dir / "new").c_str(), 0604), 0);
  ASSERT_TRUE(km7::ReplaceFileAtomically(dir / "new", "def"));
  EXPECT_EQ(km7::test::Mode(dir / "new"), 0604u);
  EXPECT_EQ(ReadFile(dir / "new"), "def");
}

}  // namespace
