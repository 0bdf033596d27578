// km7 with its settings file or its data log where no regular file can be:
// the window still appears and the user is told, once; a crash's leftover
// temporary files go at the next start.
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>

#include "AppTestSupport.h"
#include "settings/ProfileStore.h"
#include "ui/DialogDriver.h"

namespace km7::test {
namespace {

namespace fs = std::filesystem;
namespace values = km7::profile;

constexpr char kLab[] = "[module]\ndescription = Lab\nraw_temperature = 6000\nraw_humidity = 1488\n";

std::string Ini() { return ProfileStore::Instance().FilePath(); }
std::string Folder() { return fs::path(Ini()).parent_path().string(); }

class FilesFailLoudlyTest : public AppTest {
 protected:
  void TearDown() override {
    AppTest::TearDown();
    chmod(Folder().c_str(), 0700);
    std::error_code ec;
    fs::remove(Ini(), ec);
    fs::remove(Folder() + "/fifo.txt", ec);
  }
};

TEST_F(FilesFailLoudlyTest, FifoAsTheSettingsFileStillShowsTheWindowAndSaysSo) {
  ConfigureSim(kLab);
  ASSERT_EQ(mkfifo(Ini().c_str(), 0600), 0);
  CKm7Dlg& w = StartMainWindow();
  EXPECT_TRUE(w.IsWindowVisible());
  // Defaults everywhere: Celsius, and the remembered module is none.
  EXPECT_EQ(w.unitChoice, 1);
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "NoDevicePresent");
  const std::string cannotRead = "The settings file " + Ini() +
                                 " could not be read (it is not a regular file). km7 uses the "
                                 "default settings until it can be read.";
  EXPECT_EQ(messages, std::vector<std::string>{cannotRead});
  // Saving the unit fails too, and says so once.
  ui::DialogDriver(w).PressButton(IDC_FAHRENHEIT);
  ui::DialogDriver(w).PressButton(IDC_CELSIUS);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1], "The settings could not be saved in " + Ini() +
                             " (it is not a regular file). Until this is mended, settings changed "
                             "now are "
                             "lost when km7 ends.");
  struct stat st {};
  ASSERT_EQ(stat(Ini().c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(FilesFailLoudlyTest, FifoAsTheRestoredLogStillShowsTheWindowAndSaysSo) {
  ConfigureSim(kLab);
  const std::string fifo = Folder() + "/fifo.txt";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ProfileStore& settings = ProfileStore::Instance();
  settings.WriteText(values::Device, kDefaultSensorName, "Lab");
  settings.WriteInt(values::Logging, kDefaultSensorName, 1);
  settings.WriteText(values::LogFilePath, "Lab", fifo);
  CKm7Dlg& w = StartMainWindow();
  EXPECT_TRUE(w.IsWindowVisible());
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "Lab");
  EXPECT_EQ(messages, std::vector<std::string>{"The log file " + fifo +
                                               " could not be opened.  Make sure a ORV-KM7 "
                                               "device is attached."});
  // The rows that follow fail in the same run: no further box.
  ASSERT_TRUE(WaitFor([] { return Readings("Lab") >= 2; }));
  WaitFor([] { return false; }, 1500);
  EXPECT_EQ(messages.size(), 1u);
  EXPECT_TRUE(w.HasTimer(kDisplayTimerId));
}

TEST_F(FilesFailLoudlyTest, AReadOnlySettingsFolderIsToldOnceNotPerChange) {
  ConfigureSim(kLab);
  ProfileStore::Instance().WriteInt(values::CFmode, kDefaultSensorName, 1);
  CKm7Dlg& w = StartMainWindow();
  ASSERT_EQ(chmod(Folder().c_str(), 0500), 0);
  ui::DialogDriver(w).PressButton(IDC_FAHRENHEIT);
  ui::DialogDriver(w).PressButton(IDC_CELSIUS);
  ui::DialogDriver(w).PressButton(IDC_FAHRENHEIT);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "The settings could not be saved in " + Ini() +
                             " (Permission denied). Until this is mended, settings changed now are "
                             "lost when km7 ends.");
}

TEST_F(FilesFailLoudlyTest, TemporaryFilesOfACrashAreRemovedAtStart) {
  ConfigureSim(kLab);
  const std::string old = Ini() + ".tmp-Ab12Cd", young = Ini() + ".tmp-Ef34Gh";
  const std::string foreign = Folder() + "/notes.tmp-Ij56Kl";
  for (const std::string& path : {old, young, foreign}) {
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  struct timeval past[2];
  gettimeofday(&past[0], nullptr);
  past[0].tv_sec -= 600;
  past[1] = past[0];
  ASSERT_EQ(utimes(old.c_str(), past), 0);
  ASSERT_EQ(utimes(foreign.c_str(), past), 0);
  StartMainWindow();
  EXPECT_FALSE(fs::exists(old));
  EXPECT_TRUE(fs::exists(young));
  EXPECT_TRUE(fs::exists(foreign));
  fs::remove(young);
  fs::remove(foreign);
}

}  // namespace
}  // namespace km7::test
