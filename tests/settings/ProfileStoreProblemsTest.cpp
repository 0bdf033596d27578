// What the settings store tells the user when its file or its key cannot
// be used, and that it says nothing while everything works.
#include "settings/ProfileStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <climits>
#include <cctype>
#include <cstdlib>
#include <set>

#include "platform/TempDir.h"
#include "settings/ProfileStoreFixture.h"
#include "platform/TextFileWriter.h"
#include "platform/Reporter.h"

namespace {

namespace profile = km7::profile;
using km7::test::ReadFile;
using km7::test::WriteFile;

// Records what the store tells the user.
class ProblemsTest : public km7::test::ProfileStoreTest {
 protected:
  void SetUp() override {
    km7::SetReporter([this](const std::string& text) { told.push_back(text); });
  }
  void TearDown() override {
    km7::SetReporter(nullptr);
    km7::SetReplaceFaultHook(nullptr);
  }
  std::vector<std::string> told;
};

// Each way of failing to save: one message naming the file and the reason,
// however many writes fail in a row; a success ends the run, so the next
// failure is told again. The old values are kept throughout.
TEST_F(ProblemsTest, ARefusedSaveIsToldOncePerRunOfFailures) {
  struct Case {
    const char* what;
    std::function<void(const std::string& ini)> breakIt, mendIt;
    std::string reason;
  };
  static int hookError = 0;
  const Case cases[] = {
      {"read-only file", [](const std::string& ini) { chmod(ini.c_str(), 0444); },
       [](const std::string& ini) { chmod(ini.c_str(), 0644); }, "Permission denied"},
      {"full disk",
       [](const std::string&) {
         hookError = ENOSPC;
         km7::SetReplaceFaultHook([](km7::ReplaceStep s) { return s == km7::ReplaceStep::WriteTemp ? hookError : 0; });
       },
       [](const std::string&) { km7::SetReplaceFaultHook(nullptr); }, "No space left on device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    told.clear();
    ProfileStore store = Store();
    ASSERT_TRUE(store.WriteInt(profile::CFmode, profile::kFixedSuffix, 1));
    c.breakIt(IniPath());
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(store.WriteInt(profile::CFmode, profile::kFixedSuffix, 0));
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0], "The settings could not be saved in " + IniPath() + " (" + c.reason +
                           "). Until this is mended, settings changed now are lost when km7 ends.");
    EXPECT_EQ(store.ReadInt(profile::CFmode, profile::kFixedSuffix), 1);
    c.mendIt(IniPath());
    EXPECT_TRUE(store.WriteInt(profile::Logging, profile::kFixedSuffix, 1));
    c.breakIt(IniPath());
    EXPECT_FALSE(store.WriteInt(profile::CFmode, profile::kFixedSuffix, 0));
    EXPECT_EQ(told.size(), 2u);
    c.mendIt(IniPath());
  }
}

TEST_F(ProblemsTest, AFileOverTheCapIsReadAsFarAsItGoesAndToldOnce) {
  std::string big = "[MyORVKM7Ap]\r\nORVKM7CFmode_Computer Room=0\r\n";
  big.resize(km7::PrivateProfile::kMaxFileSize + 1000, ';');
  WriteFile(IniPath(), big);
  ProfileStore store = Store();
  EXPECT_EQ(store.ReadInt(profile::CFmode, profile::kFixedSuffix), 0);  // not the default 1
  EXPECT_EQ(store.ReadInt(profile::CFmode, profile::kFixedSuffix), 0);
  const std::string tooLarge = "The settings file " + IniPath() +
                               " is larger than 16 MB. km7 reads only its first 16 MB and saves "
                               "nothing to it until it is made smaller or moved away.";
  EXPECT_EQ(told, std::vector<std::string>{tooLarge});
  EXPECT_FALSE(store.WriteInt(profile::CFmode, profile::kFixedSuffix, 1));
  EXPECT_FALSE(store.WriteInt(profile::CFmode, profile::kFixedSuffix, 1));
  EXPECT_EQ(told, (std::vector<std::string>{tooLarge, tooLarge}));  // once for reading, once for saving
  EXPECT_EQ(std::filesystem::file_size(IniPath()), big.size());
}

TEST_F(ProblemsTest, AFifoAsTheSettingsFileGivesDefaultsAndIsTold) {
  ASSERT_EQ(mkfifo(IniPath().c_str(), 0600), 0);
  ProfileStore store = Store();
  EXPECT_EQ(store.ReadInt(profile::CFmode, profile::kFixedSuffix), 1);
  EXPECT_EQ(store.ReadText(profile::Device, profile::kFixedSuffix), "NoDevicePresent");
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0], "The settings file " + IniPath() +
                         " could not be read (it is not a regular file). km7 uses the default "
                         "settings until it can be read.");
}

// A settings file linked elsewhere is followed only to a file of the user
// who runs the program: a dotfile repository of one's own works, while a
// link to another user's file (perhaps planted, perhaps run as root) is
// neither read nor replaced, and the message names the link.
TEST_F(ProblemsTest, ALinkIsFollowedOnlyToTheUsersOwnFile) {
  const std::string target = dir_ / "dotfiles-km7.INI";
  WriteFile(target, "[MyORVKM7Ap]\r\nORVKM7CFmode_Computer Room=0\r\n");
  ASSERT_EQ(symlink(target.c_str(), IniPath().c_str()), 0);
  {
    ProfileStore store = Store();
    EXPECT_EQ(store.ReadInt(profile::CFmode, profile::kFixedSuffix), 0);
    EXPECT_TRUE(store.WriteInt(profile::Logging, profile::kFixedSuffix, 1));
    EXPECT_TRUE(std::filesystem::is_symlink(IniPath()));
    EXPECT_NE(ReadFile(target).find("ORVKM7Logging_Computer Room=1"), std::string::npos);
    EXPECT_TRUE(told.empty());
  }
  // Another user's file: only root can make one to test with.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the target to another user";
  ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
  const std::string before = ReadFile(target);
  ProfileStore store = Store();
  EXPECT_EQ(store.ReadInt(profile::CFmode, profile::kFixedSuffix), 1);  // the default: not read
  EXPECT_FALSE(store.WriteInt(profile::CFmode, profile::kFixedSuffix, 1));
  EXPECT_EQ(ReadFile(target), before);
  struct stat st {};
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  const std::string reason =
      "it is a symbolic link to a file that belongs to another user, which km7 does not follow";
  EXPECT_EQ(told, (std::vector<std::string>{
                      "The settings file " + IniPath() + " could not be read (" + reason +
                          "). km7 uses the default settings until it can be read.",
                      "The settings could not be saved in " + IniPath() + " (" + reason +
                          "). Until this is mended, settings changed now are lost when km7 ends."}));
  // Not even the generic replace follows it.
  EXPECT_FALSE(km7::ReplaceFileAtomically(IniPath(), "x"));
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(ReadFile(target), before);
}

TEST_F(ProblemsTest, AKeyOthersMayReadIsExplainedWithTheFix) {
  ProfileStore store = Store();
  ASSERT_TRUE(store.WriteProtectedText("ORVKM7UsernameE_Lab", "alice"));
  const std::string key = dir_ / "keys/me.key";
  ASSERT_EQ(chmod(key.c_str(), 0640), 0);
  std::string text = "before";
  EXPECT_FALSE(store.ReadProtectedText("ORVKM7UsernameE_Lab", text));
  EXPECT_FALSE(store.ReadProtectedText("ORVKM7UsernameE_Lab", text));
  EXPECT_FALSE(store.WriteProtectedText("ORVKM7UsernameE_Lab", "bob"));
  EXPECT_EQ(text, "before");
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0], "The key file " + key +
                         " that protects the stored mail account may be read by other users, so "
                         "km7 does not use it: the stored account can be neither read nor saved. "
                         "Make the file private with the command\n\nchmod 600 '" + key + "'");
  // The fix told works, and nothing was lost meanwhile.
  ASSERT_EQ(chmod(key.c_str(), 0600), 0);
  EXPECT_TRUE(store.ReadProtectedText("ORVKM7UsernameE_Lab", text));
  EXPECT_EQ(text, "alice");
  // A key that is damaged is told in its own words.
  WriteFile(key, "short");
  EXPECT_FALSE(store.ReadProtectedText("ORVKM7UsernameE_Lab", text));
  ASSERT_EQ(told.size(), 2u);
  EXPECT_EQ(told[1], "The key file " + key +
                         " that protects the stored mail account cannot be used (it is damaged): "
                         "the stored account can be neither read nor saved. Move the file away "
                         "and enter the account again.");
}

TEST_F(ProblemsTest, NoMessageWhileEverythingWorks) {
  ProfileStore store = Store();
  EXPECT_EQ(store.ReadInt(profile::CFmode, "Lab"), 1);  // no file yet
  ASSERT_TRUE(store.WriteInt(profile::CFmode, "Lab", 0));
  ASSERT_TRUE(store.WriteProtectedText("ORVKM7UsernameE_Lab", "alice"));
  std::string text;
  ASSERT_TRUE(store.ReadProtectedText("ORVKM7UsernameE_Lab", text));
  EXPECT_FALSE(store.ReadProtectedText("ORVKM7PasswordE_Lab", text));  // absent is no problem
  EXPECT_TRUE(told.empty());
}

TEST(ProfileStoreMessages, FillMessageInsertsTextsAsTheyAre) {
  EXPECT_EQ(profile::FillMessage("a %s b %s c", "%s", "100%"), "a %s b 100% c");
  EXPECT_EQ(profile::FillMessage("only %s", "x"), "only x");
  EXPECT_EQ(profile::FillMessage("%s%s%s", "1", "2"), "12%s");
}

}  // namespace
