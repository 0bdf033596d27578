#include "platform/PrivateProfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <vector>

#include "platform/TempDir.h"
#include "platform/TextFileWriter.h"

namespace {

using km7::PrivateProfile;
using km7::ReplaceStep;
using km7::test::ReadFile;
using km7::test::TempDir;
using km7::test::WriteFile;

constexpr char kSection[] = "MyORVKM7Ap";

class PrivateProfileTest : public ::testing::Test {
 protected:
  void TearDown() override { km7::SetReplaceFaultHook(nullptr); }

  std::string Ini() const { return dir_ / "km7.INI"; }
  // Files other than the writers' lock file, which stays beside the settings.
  std::size_t FilesInDir() const {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
      n += entry.path().filename() != "km7.INI.lock";
    return n;
  }

  TempDir dir_;
};

const char kMixedFile[] =
    "; settings of the lab machine\r\n"
    "[Other]\r\n"
    "ORVKM7CFmode_Lab=7\r\n"
    "\r\n"
    "[myorvkm7ap]\r\n"
    "ORVKM7CFmode_Lab=0\r\n"
    "; a comment inside\r\n"
    "  ORVKM7Logging_Computer Room  =  1  \n"
    "\r\n"
    "[Last]\n"
    "Key=value";

TEST_F(PrivateProfileTest, ReadsTheRightSectionWhateverTheSpacingAndCase) {
  WriteFile(Ini(), kMixedFile);
  PrivateProfile ini(Ini());
  EXPECT_EQ(ini.GetString(kSection, "orvkm7cfmode_lab", "d"), "0");
  EXPECT_EQ(ini.GetString(kSection, "ORVKM7Logging_Computer Room", "d"), "1");
  EXPECT_EQ(ini.GetString("Other", "ORVKM7CFmode_Lab", "d"), "7");
  EXPECT_EQ(ini.GetString("Last", "KEY", "d"), "value");
  EXPECT_EQ(ini.GetString(kSection, "Key", "d"), "d");          // other section's value
  EXPECT_EQ(ini.GetString(kSection, "; a comment inside", "d"), "d");
  EXPECT_EQ(ini.GetString("Missing", "Key", "d  "), "d");
  EXPECT_FALSE(ini.Find(kSection, "Nothing"));
}

TEST_F(PrivateProfileTest, WriteKeepsEveryOtherLineByteForByte) {
  WriteFile(Ini(), kMixedFile);
  PrivateProfile ini(Ini());
  ASSERT_TRUE(ini.WriteString(kSection, "ORVKM7CFMODE_LAB", "1"));
  ASSERT_TRUE(ini.WriteString(kSection, "ORVKM7Device_Computer Room", "KM7 Lab"));
  ASSERT_TRUE(ini.WriteString("Last", "New", "x"));
  // The existing spelling of a name stays; new values go after the last line
  // of their section, before the blank line that separates it.
  EXPECT_EQ(ReadFile(Ini()),
            "; settings of the lab machine\r\n"
            "[Other]\r\n"
            "ORVKM7CFmode_Lab=7\r\n"
            "\r\n"
            "[myorvkm7ap]\r\n"
            "ORVKM7CFmode_Lab=1\r\n"
            "; a comment inside\r\n"
            "  ORVKM7Logging_Computer Room  =  1  \n"
            "ORVKM7Device_Computer Room=KM7 Lab\r\n"
            "\r\n"
            "[Last]\n"
            "Key=value\r\n"
            "New=x\r\n");
}

TEST_F(PrivateProfileTest, FileAndSectionComeWithTheFirstWrite) {
  PrivateProfile ini(dir_ / "new/folder/km7.INI");
  EXPECT_EQ(ini.GetString(kSection, "A", "default"), "default");
  ASSERT_TRUE(ini.WriteString(kSection, "A", "1"));
  EXPECT_EQ(ReadFile(ini.Path()), "[MyORVKM7Ap]\r\nA=1\r\n");
  EXPECT_EQ(km7::test::Mode(ini.Path()), 0600u);

  WriteFile(Ini(), "[Other]\r\nB=2");  // no line end at the end
  PrivateProfile other(Ini());
  ASSERT_TRUE(other.WriteString(kSection, "A", "1"));
  EXPECT_EQ(ReadFile(Ini()), "[Other]\r\nB=2\r\n[MyORVKM7Ap]\r\nA=1\r\n");
}

TEST_F(PrivateProfileTest, EveryReadReadsTheFile) {
  PrivateProfile ini(Ini());
  ASSERT_TRUE(ini.WriteString(kSection, "A", "first"));
  EXPECT_EQ(ini.GetString(kSection, "A", ""), "first");
  WriteFile(Ini(), "[MyORVKM7Ap]\r\nA=changed outside\r\n");
  EXPECT_EQ(ini.GetString(kSection, "A", ""), "changed outside");
  ASSERT_EQ(unlink(Ini().c_str()), 0);
  EXPECT_EQ(ini.GetString(kSection, "A", "gone"), "gone");
}

TEST_F(PrivateProfileTest, StoredFormsAndHandWrittenQuotes) {
  EXPECT_EQ(PrivateProfile::EncodeValue("plain C:\\path"), "plain C:\\path");
  EXPECT_EQ(PrivateProfile::EncodeValue(" lead"), "\" lead\"");
  EXPECT_EQ(PrivateProfile::EncodeValue("a\r\nb\\"), "\"a\\r\\nb\\\\\"");
  EXPECT_EQ(PrivateProfile::EncodeValue("\"q\""), "\"\"q\"\"");
  // Quotes around a hand-written value are dropped, as the original
  // functions do; unknown escapes stay as written.
  EXPECT_EQ(PrivateProfile::DecodeValue("  \"C:\\temp\\x\"  "), "C:\\temp\\x");
  EXPECT_EQ(PrivateProfile::DecodeValue("'single'"), "single");
  EXPECT_EQ(PrivateProfile::DecodeValue("\"unbalanced"), "\"unbalanced");
  EXPECT_EQ(PrivateProfile::DecodeValue("\"\""), "");
  EXPECT_EQ(PrivateProfile::DecodeValue("\"ends in \\\""), "ends in \\");
}

// A letter and a number, built by appending: GCC 12's optimiser reports a
// false -Wrestrict on the operator+ of a literal and a temporary string.
std::string ValueName(char letter, std::size_t number) {
  std::string name(1, letter);
  name += std::to_string(number);
  return name;
}

TEST_F(PrivateProfileTest, RandomValuesOfEveryByteReadBackExactly) {
  std::mt19937 random(20261207);
  std::vector<std::string> values;
  PrivateProfile ini(Ini());
  for (int i = 0; i < 150; ++i) {
    std::string v(random() % 40, '\0');
    for (char& c : v) c = static_cast<char>(random() % 256);
    if (i % 3 == 0 && !v.empty()) v[random() % v.size()] = "\r\n\"' \\="[random() % 7];
    values.push_back(v);
    ASSERT_TRUE(ini.WriteString(kSection, ValueName('V', i), v));
  }
  for (std::size_t i = 0; i < values.size(); ++i)
    EXPECT_EQ(ini.Find(kSection, ValueName('v', i)), values[i]) << i;
  // Still one line per value, each ended by CR LF.
  std::string file = ReadFile(Ini());
  std::size_t crlf = 0;
  for (std::size_t p = file.find("\r\n"); p != std::string::npos; p = file.find("\r\n", p + 2)) ++crlf;
  std::size_t lf = 0;
  for (char c : file) lf += c == '\n';
  EXPECT_EQ(crlf, values.size() + 1);
  EXPECT_EQ(lf, values.size() + 1);
}

TEST_F(PrivateProfileTest, NamesTheFileCannotHoldAreRefused) {
  PrivateProfile ini(Ini());
  for (const char* bad : {"", "  ", "a=b", "line\nbreak", "[section", ";comment"}) {
    EXPECT_FALSE(PrivateProfile::IsValidName(bad)) << bad;
    EXPECT_FALSE(ini.WriteString(kSection, bad, "v")) << bad;
    EXPECT_EQ(ini.GetString(kSection, bad, "d"), "d");
  }
  EXPECT_FALSE(ini.WriteString("Bad]Section", "A", "v"));
  EXPECT_NE(access(Ini().c_str(), F_OK), 0);
}

TEST_F(PrivateProfileTest, ReadOnlyFileOrFolderKeepsTheOldValue) {
  PrivateProfile ini(Ini());
  ASSERT_TRUE(ini.WriteString(kSection, "A", "old"));
  // A file without write bits is refused by the writer itself, so this holds
  // when the tests run as root.
  ASSERT_EQ(chmod(Ini().c_str(), 0444), 0);
  EXPECT_FALSE(ini.WriteString(kSection, "A", "new"));
  EXPECT_EQ(ini.GetString(kSection, "A", ""), "old");
  ASSERT_EQ(chmod(Ini().c_str(), 0644), 0);

  ASSERT_EQ(chmod(dir_.Path().c_str(), 0555), 0);
  EXPECT_FALSE(ini.WriteString(kSection, "A", "new"));
  EXPECT_EQ(ini.GetString(kSection, "A", ""), "old");
  ASSERT_EQ(chmod(dir_.Path().c_str(), 0700), 0);
  EXPECT_EQ(FilesInDir(), 1u);
}

// Sets or clears the immutable flag (what chattr +i does); false where the
// file system or the rights do not allow it.
bool SetImmutable(const std::string& path, bool on) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return ok;
}

// The file system itself refusing the write, whatever the permission bits.
TEST_F(PrivateProfileTest, ImmutableFileOrFolderKeepsTheOldValue) {
  PrivateProfile ini(Ini());
  ASSERT_TRUE(ini.WriteString(kSection, "A", "old"));
  if (!SetImmutable(Ini(), true)) GTEST_SKIP() << "no immutable flag here";
  EXPECT_FALSE(ini.WriteString(kSection, "A", "new"));
  SetImmutable(Ini(), false);
  EXPECT_EQ(ini.GetString(kSection, "A", ""), "old");
  EXPECT_EQ(FilesInDir(), 1u);

  ASSERT_TRUE(SetImmutable(dir_.Path(), true));
  EXPECT_FALSE(ini.WriteString(kSection, "A", "new"));
  SetImmutable(dir_.Path(), false);
  EXPECT_EQ(ini.GetString(kSection, "A", ""), "old");
  EXPECT_EQ(FilesInDir(), 1u);
}

TEST_F(PrivateProfileTest, FolderReplacedByAFileOrUnreadableFileFails) {
  WriteFile(dir_ / "config", "not a folder");
  PrivateProfile underFile(dir_ / "config/km7.INI");
  EXPECT_FALSE(underFile.WriteString(kSection, "A", "v"));
  EXPECT_EQ(underFile.GetString(kSection, "A", "d"), "d");
  EXPECT_EQ(ReadFile(dir_ / "config"), "not a folder");

  // A folder in the file's place: never replaced, reads give defaults.
  ASSERT_EQ(mkdir((dir_ / "km7.INI").c_str(), 0700), 0);
  PrivateProfile isDir(Ini());
  EXPECT_FALSE(isDir.WriteString(kSection, "A", "v"));
  EXPECT_EQ(isDir.GetString(kSection, "A", "d"), "d");
}

TEST_F(PrivateProfileTest, EveryFailingStepLeavesTheOldFileAndNoLeftovers) {
  PrivateProfile ini(Ini());
  ASSERT_TRUE(ini.WriteString(kSection, "A", "old"));
  const std::string before = ReadFile(Ini());
  static ReplaceStep failing;
  for (ReplaceStep step : {ReplaceStep::CreateTemp, ReplaceStep::WriteTemp, ReplaceStep::SyncTemp,
                           ReplaceStep::Rename}) {
    failing = step;
    km7::SetReplaceFaultHook([](ReplaceStep s) { return s == failing ? ENOSPC : 0; });
    EXPECT_FALSE(ini.WriteString(kSection, "A", "new")) << int(step);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(ReadFile(Ini()), before);
    EXPECT_EQ(FilesInDir(), 1u) << int(step);
  }
  km7::SetReplaceFaultHook(nullptr);
  ASSERT_TRUE(ini.WriteString(kSection, "A", "new"));
  EXPECT_EQ(ini.GetString(kSection, "A", ""), "new");
}

using PrivateProfileDeathTest = PrivateProfileTest;

TEST_F(PrivateProfileDeathTest, CrashBeforeTheRenameLeavesTheOldFile) {
  // The child must share this test's folder: fork without re-running the test.
  GTEST_FLAG_SET(death_test_style, "fast");
  PrivateProfile ini(Ini());
  ASSERT_TRUE(ini.WriteString(kSection, "A", "old"));
  ASSERT_TRUE(ini.WriteString(kSection, "B", std::string(100000, 'b')));
  const std::string before = ReadFile(Ini());
  // The child process writes the whole temporary file and dies just before
  // the rename, as a crash or power cut at that moment would.
  EXPECT_EXIT(
      {
        km7::SetReplaceFaultHook([](ReplaceStep s) {
          if (s == ReplaceStep::Rename) _exit(42);
          return 0;
        });
        ini.WriteString(kSection, "A", "new");
      },
      ::testing::ExitedWithCode(42), "");
  EXPECT_EQ(ReadFile(Ini()), before);
  EXPECT_EQ(ini.GetString(kSection, "A", ""), "old");
  // The abandoned temporary file is there, complete, and in nobody's way.
  ASSERT_EQ(FilesInDir(), 2u);
  for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
    if (entry.path().filename() == "km7.INI" || entry.path().filename() == "km7.INI.lock") continue;
    EXPECT_NE(ReadFile(entry.path()).find("A=new"), std::string::npos);
  }
  ASSERT_TRUE(ini.WriteString(kSection, "A", "newer"));
  EXPECT_EQ(ini.GetString(kSection, "A", ""), "newer");
  EXPECT_EQ(ini.GetString(kSection, "B", "").size(), 4095u);
}

TEST_F(PrivateProfileTest, LinkedFileStaysALinkAndKeepsItsMode) {
  ASSERT_EQ(mkdir((dir_ / "real").c_str(), 0700), 0);
  WriteFile(dir_ / "real/km7.INI", "[MyORVKM7Ap]\r\nA=1\r\n");
  ASSERT_EQ(chmod((dir_ / "real/km7.INI").c_str(), 0640), 0);
  ASSERT_EQ(symlink("real/km7.INI", Ini().c_str()), 0);
  PrivateProfile ini(Ini());
  ASSERT_TRUE(ini.WriteString(kSection, "A", "2"));
  EXPECT_TRUE(std::filesystem::is_symlink(Ini()));
  EXPECT_EQ(ReadFile(dir_ / "real/km7.INI"), "[MyORVKM7Ap]\r\nA=2\r\n");
  EXPECT_EQ(km7::test::Mode(dir_ / "real/km7.INI"), 0640u);
}

TEST_F(PrivateProfileTest, OversizedFileIsReadAsFarAsItGoesButNeverReplaced) {
  // The value cut by the cap is not read at all rather than read cut.
  std::string big = "[MyORVKM7Ap]\r\nA=1\r\n";
  big.resize(PrivateProfile::kMaxFileSize - 10, ';');
  big += "\r\nB=" + std::string(100, 'b') + "\r\n";
  WriteFile(Ini(), big);
  PrivateProfile ini(Ini());
  PrivateProfile::Status status;
  EXPECT_EQ(ini.GetString(kSection, "A", "d", &status), "1");
  EXPECT_EQ(status.problem, PrivateProfile::Problem::TooLarge);
  EXPECT_EQ(ini.GetString(kSection, "B", "d"), "d");
  EXPECT_FALSE(ini.WriteString(kSection, "A", "2", &status));
  EXPECT_EQ(status.problem, PrivateProfile::Problem::TooLarge);
  EXPECT_EQ(std::filesystem::file_size(Ini()), big.size());
}

// What is in the file's place decides; none of these may block a read or a
// write (a FIFO without a writer would hang a plain open for good).
TEST_F(PrivateProfileTest, FifoDeviceOrFolderInTheFilesPlaceFailsAtOnce) {
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
  };
  const Case cases[] = {
      {"fifo", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
      {"device", [](const std::string& p) { ASSERT_EQ(symlink("/dev/null", p.c_str()), 0); }},
      {"folder", [](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = dir / "km7.INI";
    c.make(path);
    PrivateProfile ini(path);
    PrivateProfile::Status status;
    EXPECT_EQ(ini.GetString(kSection, "A", "d", &status), "d");
    EXPECT_EQ(status.problem, PrivateProfile::Problem::NotRegularFile);
    EXPECT_FALSE(ini.WriteString(kSection, "A", "v", &status));
    EXPECT_NE(status.problem, PrivateProfile::Problem::None);
  }
}

TEST_F(PrivateProfileTest, StatusSaysWhyAWriteWasRefused) {
  PrivateProfile ini(Ini());
  PrivateProfile::Status status;
  ASSERT_TRUE(ini.WriteString(kSection, "A", "old", &status));
  EXPECT_EQ(status.problem, PrivateProfile::Problem::None);
  km7::SetReplaceFaultHook([](ReplaceStep s) { return s == ReplaceStep::WriteTemp ? ENOSPC : 0; });
  EXPECT_FALSE(ini.WriteString(kSection, "A", "new", &status));
  km7::SetReplaceFaultHook(nullptr);
  EXPECT_EQ(status.problem, PrivateProfile::Problem::WriteRefused);
  EXPECT_EQ(status.error, ENOSPC);
}

void SetAge(const std::string& path, int seconds) {
  struct timeval times[2];
  gettimeofday(&times[0], nullptr);
  times[0].tv_sec -= seconds;
  times[1] = times[0];
  ASSERT_EQ(utimes(path.c_str(), times), 0);
}

TEST_F(PrivateProfileTest, OnlyOldTemporariesOfOurOwnPatternAreRemoved) {
  WriteFile(Ini(), "[MyORVKM7Ap]\r\nA=1\r\n");
  struct Case {
    const char* name;
    int ageSeconds;
    bool folder;
    bool removed;
  };
  const Case cases[] = {
      {"km7.INI.tmp-a1B2c3", 120, false, true},    // left by a crash
      {"km7.INI.tmp-Zz9yY8", 3600, false, true},
      {"km7.INI.tmp-young1", 5, false, false},     // maybe a write in progress
      {"km7.INI.tmp-abc1234", 120, false, false},  // not mkostemp's six
      {"km7.INI.tmp-ab.123", 120, false, false},
      {"km7.INI.tmp-", 120, false, false},
      {"other.INI.tmp-abc123", 120, false, false},
      {"km7.INI.tmp-dir123", 120, true, false},    // only files
      {"km7.INI", 120, false, false},
  };
  for (const Case& c : cases) {
    const std::string path = dir_ / c.name;
    if (c.folder) ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    else if (std::string(c.name) != "km7.INI") WriteFile(path, "x");
    SetAge(path, c.ageSeconds);
  }
  EXPECT_EQ(PrivateProfile::RemoveStaleTemporaries(Ini()), 2);
  for (const Case& c : cases)
    EXPECT_EQ(access((dir_ / c.name).c_str(), F_OK) != 0, c.removed) << c.name;
  EXPECT_EQ(PrivateProfile::RemoveStaleTemporaries(Ini()), 0);
}

TEST_F(PrivateProfileTest, TemporariesBesideALinkedFilesTargetAreRemoved) {
  ASSERT_EQ(mkdir((dir_ / "real").c_str(), 0700), 0);
  WriteFile(dir_ / "real/km7.INI", "[MyORVKM7Ap]\r\n");
  ASSERT_EQ(symlink("real/km7.INI", Ini().c_str()), 0);
  WriteFile(dir_ / "real/km7.INI.tmp-q1w2e3", "x");
  SetAge(dir_ / "real/km7.INI.tmp-q1w2e3", 120);
  EXPECT_EQ(PrivateProfile::RemoveStaleTemporaries(Ini()), 1);
}

// Four programs each writing forty values at once: every value is there.
TEST_F(PrivateProfileTest, WritersInSeveralProcessesLoseNothing) {
  constexpr int kProcesses = 4, kValues = 40;
  // Built by appending: GCC 12's optimiser reports a false overlap for a
  // literal plus a temporary string.
  const auto name = [](int p, int v) {
    std::string n = "P";
    n += std::to_string(p);
    n += 'V';
    n += std::to_string(v);
    return n;
  };
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      PrivateProfile ini(Ini());
      int failures = 0;
      for (int v = 0; v < kValues; ++v)
        failures += !ini.WriteString(kSection, name(p, v), std::to_string(p * 1000 + v));
      _exit(failures);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  PrivateProfile ini(Ini());
  int present = 0;
  for (int p = 0; p < kProcesses; ++p)
    for (int v = 0; v < kValues; ++v)
      present += ini.GetString(kSection, name(p, v), "") == std::to_string(p * 1000 + v);
  EXPECT_EQ(present, kProcesses * kValues);
}

TEST_F(PrivateProfileTest, ALockHeldTooLongFailsTheWriteInsteadOfHanging) {
  PrivateProfile ini(Ini());
  ASSERT_TRUE(ini.WriteString(kSection, "A", "old"));
  // Another open of the lock file is another holder, as another process is.
  int fd = open((Ini() + ".lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  PrivateProfile::Status status;
  EXPECT_FALSE(ini.WriteString(kSection, "A", "new", &status));
  EXPECT_EQ(status.problem, PrivateProfile::Problem::Locked);
  close(fd);
  EXPECT_TRUE(ini.WriteString(kSection, "A", "new"));
  EXPECT_EQ(ini.GetString(kSection, "A", ""), "new");
}

}  // namespace
