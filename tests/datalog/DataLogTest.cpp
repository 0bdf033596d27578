#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QStandardPaths>
#include <sys/stat.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "settings/ProfileStore.h"
#include "datalog/DataLog.h"
#include "datalog/LogFileDialog.h"
#include "datalog/SkipReadingsDlg.h"
#include "platform/Clock.h"
#include "ui/Dialog.h"
#include "ui/MessageBox.h"
#include "ui/DialogDriver.h"

using km7::ui::DialogDriver;

namespace fs = std::filesystem;

namespace {

std::time_t g_now = 0;
std::time_t FakeNow() { return g_now; }

struct FakeHost : km7::DataLogHost {
  bool loggingOn = false;
  std::string nameText = "Lab";
  km7::LogValues values{22.5, 45.3, 10.2};
  int saves = 0, loads = 0;

  void SaveControls() override { ++saves; }
  void LoadControls() override { ++loads; }
  bool LoggingOn() const override { return loggingOn; }
  void SetLoggingOn(bool on) override { loggingOn = on; }
  std::string NameText() const override { return nameText; }
  std::string SettingsName() const override { return nameText; }
  km7::LogValues CurrentValues() const override { return values; }
};

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class DataLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    dir_ = fs::temp_directory_path() /
           ("km7-datalog-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    setenv("XDG_DATA_HOME", dir_.c_str(), 1);
    store_ = std::make_unique<ProfileStore>((dir_ / "km7.INI").string());
    g_now = 1796575992;  // Sun Dec 06 16:53:12 2026 UTC
    km7::SetNowHook(FakeNow);
    km7::ui::SetMessageHook([this](const std::string& text, km7::ui::MessageIcon, const std::string&) {
      messages_.push_back(text);
    });
    log_ = std::make_unique<km7::DataLog>(*store_);
    log_->logFilePath = (dir_ / "log.txt").string();
  }

  void TearDown() override {
    km7::SetNowHook(nullptr);
    km7::ui::SetMessageHook(nullptr);
    km7::SetLogFileDialogHook(nullptr);
    km7::ui::SetModalHook(nullptr);
    km7::ui::SetQuestionHook(nullptr);
    fs::remove_all(dir_);
  }

  // Four display ticks in each of `seconds` new seconds; returns the rows written.
  std::vector<std::string> RunSeconds(int seconds) {
    std::vector<std::string> rows;
    for (int s = 0; s < seconds; ++s) {
      ++g_now;
      for (int tick = 0; tick < 4; ++tick) log_->AppendLogRowIfDue(host_);
    }
    if (!fs::is_regular_file(log_->logFilePath)) return rows;  // /dev/full reads endless zeros
    std::istringstream in(ReadFile(log_->logFilePath));
    for (std::string line; std::getline(in, line);) rows.push_back(line);
    return rows;
  }

  fs::path dir_;
  std::unique_ptr<ProfileStore> store_;
  FakeHost host_;
  std::unique_ptr<km7::DataLog> log_;
  std::vector<std::string> messages_;
};

TEST_F(DataLogTest, IntervalTenWritesOnTheTenthNewSecondThenEveryTen) {
  host_.loggingOn = true;
  log_->loggingInterval = 10;
  const std::time_t start = g_now;
  auto rows = RunSeconds(9);
  EXPECT_TRUE(rows.empty());
  rows = RunSeconds(1);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], km7::LogRow(start + 10, host_.values).substr(0, rows[0].size() - 1) + "\r");
  rows = RunSeconds(20);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2].substr(0, 24), km7::LogTimeText(start + 30));
}

TEST_F(DataLogTest, IntervalsOfOneZeroAndNegativeWriteOneRowPerSecond) {
  for (int interval : {1, 0, -3, INT32_MIN}) {
    SCOPED_TRACE(interval);
    fs::remove(log_->logFilePath);
    host_.loggingOn = true;
    log_->loggingInterval = interval;
    const auto rows = RunSeconds(5);
    ASSERT_EQ(rows.size(), 5u);
    for (size_t i = 1; i < rows.size(); ++i) EXPECT_NE(rows[i].substr(0, 24), rows[i - 1].substr(0, 24));
  }
}

TEST_F(DataLogTest, SwitchingOffAndOnKeepsTheCount) {
  host_.loggingOn = true;
  log_->loggingInterval = 10;
  RunSeconds(7);
  host_.loggingOn = false;
  RunSeconds(30);  // not counted while off
  host_.loggingOn = true;
  auto rows = RunSeconds(2);
  EXPECT_TRUE(rows.empty());
  rows = RunSeconds(1);
  EXPECT_EQ(rows.size(), 1u);
}

TEST_F(DataLogTest, RowsEndInCarriageReturnLineFeed) {
  host_.loggingOn = true;
  log_->loggingInterval = 1;
  RunSeconds(2);
  const std::string bytes = ReadFile(log_->logFilePath);
  EXPECT_EQ(Count(bytes, "\r\n"), 2u);
  EXPECT_EQ(Count(bytes, "\n"), 2u);
}

TEST_F(DataLogTest, EachStartAppendsAHeaderToTheRestoredFile) {
  store_->WriteText(km7::profile::LogFilePath, "Lab", log_->logFilePath);
  store_->WriteInt(km7::profile::LoggingInterval, "Lab", 7);
  host_.loggingOn = true;
  for (int start = 0; start < 2; ++start) {
    km7::DataLog fresh(*store_);
    EXPECT_EQ(fresh.RestartLoggingAtStartup(host_), 0);
    EXPECT_EQ(fresh.loggingInterval, 7);
    EXPECT_EQ(fresh.logFilePath, log_->logFilePath);
  }
  const std::string header = "\tTemp \xB0" "C\t\xB0" "F\tHumidity %\tDew Point \xB0" "C\t\xB0" "F \r\n";
  EXPECT_EQ(ReadFile(log_->logFilePath), header + header);
  EXPECT_TRUE(messages_.empty());
}

TEST_F(DataLogTest, RestoredPathThatCannotBeOpenedIsReportedAndLoggingStaysOn) {
  const std::string bad = (dir_ / "no-such-folder" / "log.txt").string();
  store_->WriteText(km7::profile::LogFilePath, "Lab", bad);
  host_.loggingOn = true;
  km7::DataLog fresh(*store_);
  fresh.loggingInterval = 3;
  EXPECT_EQ(fresh.RestartLoggingAtStartup(host_), -1);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "The log file " + bad +
                              " could not be opened.  Make sure a ORV-KM7 device is attached.");
  EXPECT_TRUE(host_.loggingOn);
  EXPECT_EQ(fresh.loggingInterval, 3);
}

TEST_F(DataLogTest, NoStoredPathNamesAnEmptyPath) {
  host_.loggingOn = true;
  km7::DataLog fresh(*store_);
  EXPECT_EQ(fresh.RestartLoggingAtStartup(host_), -1);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "The log file  could not be opened.  Make sure a ORV-KM7 device is attached.");
}

TEST_F(DataLogTest, FullDiskIsReportedOncePerRunOfFailures) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  host_.loggingOn = true;
  log_->loggingInterval = 1;
  log_->logFilePath = "/dev/full";
  RunSeconds(5);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "The log file /dev/full could not be opened.");
  EXPECT_EQ(log_->failedRows(), 5);

  // A good file ends the run; the next failure is a new run with its own message.
  log_->logFilePath = (dir_ / "log.txt").string();
  EXPECT_EQ(RunSeconds(1).size(), 1u);
  EXPECT_EQ(log_->failedRows(), 0);
  log_->logFilePath = "/dev/full";
  RunSeconds(2);
  EXPECT_EQ(messages_.size(), 2u);
}

TEST_F(DataLogTest, NoRowsWhileOffAndNoValuesStoredZeroRowsWhenNoModule) {
  host_.values = {};
  host_.loggingOn = true;
  log_->loggingInterval = 1;
  const auto rows = RunSeconds(1);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].substr(24), "\t 0.00\t32.00\t0.00\t0.00\t32.00\r");
}

TEST_F(DataLogTest, CancellingTheFileDialogClearsTheBoxAndWritesNothing) {
  host_.loggingOn = true;
  std::string offered;
  km7::SetLogFileDialogHook([&](const std::string& name) -> std::optional<std::string> {
    offered = name;
    return std::nullopt;
  });
  log_->OnLoggingClicked(host_);
  EXPECT_EQ(offered, "Lab_1262026-165312");
  EXPECT_FALSE(host_.loggingOn);
  EXPECT_EQ(host_.loads, 1);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "No datafile selected, logging disabled.");
  EXPECT_FALSE(fs::exists(dir_ / "km7.INI"));
}

TEST_F(DataLogTest, ConfirmingStoresPathIntervalAndSwitchAndWritesTheHeader) {
  host_.loggingOn = true;
  const std::string chosen = (dir_ / "chosen.txt").string();
  { std::ofstream(chosen, std::ios::binary) << "old content\r\n"; }
  km7::SetLogFileDialogHook([&](const std::string&) -> std::optional<std::string> { return chosen; });
  std::vector<std::string> questions;
  km7::ui::SetQuestionHook([&](const std::string& text) {
    questions.push_back(text);
    return true;
  });
  int shownWith = -1;
  km7::ui::SetModalHook([&](km7::ui::CDialog& dlg) {
    shownWith = dlg.GetDlgItemInt(CSkipReadings::IDC_INTERVAL);
    dlg.SetDlgItemText(CSkipReadings::IDC_INTERVAL, "15");
    dlg.OnOK();
    return dlg.Result();
  });
  log_->OnLoggingClicked(host_);
  EXPECT_EQ(shownWith, 1);  // interval 0 offers 1
  EXPECT_EQ(log_->loggingInterval, 15);
  EXPECT_EQ(log_->logFilePath, chosen);
  EXPECT_EQ(store_->ReadText(km7::profile::LogFilePath, "Lab"), chosen);
  EXPECT_EQ(store_->ReadInt(km7::profile::LoggingInterval, "Lab"), 15);
  EXPECT_EQ(store_->ReadInt(km7::profile::Logging, "Computer Room"), 1);
  EXPECT_EQ(ReadFile(chosen), "old content\r\n" + std::string("\tTemp \xB0" "C\t\xB0" "F\tHumidity %\tDew Point \xB0" "C\t\xB0" "F \r\n"));
  EXPECT_TRUE(messages_.empty());
  // The existing file was appended to only after the user agreed to exactly that.
  EXPECT_EQ(questions, std::vector<std::string>{
                           chosen + " already exists. New rows will be appended to it; nothing in "
                                    "it is replaced. Do you want to log to this file?"});

  // Clearing the box stores the switch only.
  host_.loggingOn = false;
  log_->OnLoggingClicked(host_);
  EXPECT_EQ(store_->ReadInt(km7::profile::Logging, "Computer Room"), 0);
  EXPECT_EQ(store_->ReadText(km7::profile::LogFilePath, "Lab"), chosen);
}

TEST_F(DataLogTest, IntervalDialogRefusesANonIntegerAndCancelKeepsTheInterval) {
  host_.loggingOn = true;
  log_->loggingInterval = 4;
  km7::SetLogFileDialogHook([&](const std::string&) -> std::optional<std::string> {
    return (dir_ / "x.txt").string();
  });
  bool stayedOpen = false;
  km7::ui::SetModalHook([&](km7::ui::CDialog& dlg) {
    EXPECT_EQ(dlg.GetDlgItemInt(CSkipReadings::IDC_INTERVAL), 4);
    dlg.SetDlgItemText(CSkipReadings::IDC_INTERVAL, "ten");
    dlg.OnOK();
    stayedOpen = dlg.IsWindowVisible();
    dlg.OnCancel();
    return dlg.Result();
  });
  log_->OnLoggingClicked(host_);
  EXPECT_TRUE(stayedOpen);
  ASSERT_FALSE(messages_.empty());
  EXPECT_EQ(messages_[0], "Please enter an integer.");
  EXPECT_EQ(log_->loggingInterval, 4);
}

TEST_F(DataLogTest, TypingAnIntervalReplacesTheOfferedOne) {
  host_.loggingOn = true;
  km7::SetLogFileDialogHook([&](const std::string&) -> std::optional<std::string> {
    return (dir_ / "typed.txt").string();
  });
  std::string offered;
  km7::ui::SetModalHook([&](km7::ui::CDialog& dlg) {
    offered = dlg.GetDlgItemText(CSkipReadings::IDC_INTERVAL);
    DialogDriver(dlg).TypeKeys("10");  // at the keyboard, straight after the dialog opened
    DialogDriver(dlg).PressKey(Qt::Key_Return);
    return dlg.Result();
  });
  log_->OnLoggingClicked(host_);
  EXPECT_EQ(offered, "1");
  EXPECT_EQ(log_->loggingInterval, 10);  // not 101
}

TEST_F(DataLogTest, ChosenFileThatCannotBeOpenedKeepsTheBoxCheckedAndTheSwitchUnwritten) {
  host_.loggingOn = true;
  const std::string bad = (dir_ / "missing" / "x.txt").string();
  km7::SetLogFileDialogHook([&](const std::string&) -> std::optional<std::string> { return bad; });
  km7::ui::SetModalHook([&](km7::ui::CDialog& dlg) { dlg.OnOK(); return dlg.Result(); });
  log_->OnLoggingClicked(host_);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "The log file " + bad + " could not be opened.");
  EXPECT_TRUE(host_.loggingOn);
  EXPECT_EQ(store_->ReadInt(km7::profile::Logging, "Computer Room"), 0);
}

}  // namespace

namespace {

TEST_F(DataLogTest, IntervalDialogScreenshotShowsEveryTextWhole) {
  const fs::path png = fs::path(KM7_SCREENSHOT_DIR) / "skip_readings.png";
  bool grabbed = false;
  km7::ui::SetModalHook([&](km7::ui::CDialog& dlg) {
    grabbed = dlg.Grab(png);
    // Every label and button is at least as wide as its text needs.
    for (QWidget* w : dlg.Widget()->findChildren<QWidget*>()) {
      if (auto* label = qobject_cast<QLabel*>(w)) {
        EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
      } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        EXPECT_GT(button->width(), button->fontMetrics().horizontalAdvance(button->text()));
      }
    }
    dlg.OnCancel();
    return dlg.Result();
  });
  CSkipReadings dlg;
  dlg.interval = 10;
  EXPECT_EQ(dlg.DoModal(), km7::ui::IDCANCEL);
  EXPECT_TRUE(grabbed);
  EXPECT_TRUE(fs::exists(png));
}

}  // namespace

namespace {

// "No" to appending brings the dialog back; a new file needs no question.
TEST_F(DataLogTest, DecliningToAppendAsksForAnotherFile) {
  host_.loggingOn = true;
  const std::string existing = (dir_ / "existing.txt").string();
  const std::string fresh = (dir_ / "fresh.txt").string();
  { std::ofstream(existing, std::ios::binary) << "keep\r\n"; }
  int dialogs = 0;
  km7::SetLogFileDialogHook([&](const std::string&) -> std::optional<std::string> {
    return ++dialogs == 1 ? existing : fresh;
  });
  int questions = 0;
  km7::ui::SetQuestionHook([&](const std::string&) {
    ++questions;
    return false;
  });
  km7::ui::SetModalHook([&](km7::ui::CDialog& dlg) { dlg.OnOK(); return dlg.Result(); });
  log_->OnLoggingClicked(host_);
  EXPECT_EQ(dialogs, 2);
  EXPECT_EQ(questions, 1);
  EXPECT_EQ(log_->logFilePath, fresh);
  EXPECT_EQ(ReadFile(existing), "keep\r\n");
  EXPECT_TRUE(host_.loggingOn);
}

// A FIFO, a folder or a device as the log path: reported as a file that could
// not be opened, at start-up and for rows, and nothing waits for a reader.
TEST_F(DataLogTest, FifoFolderOrDeviceAsTheLogPathIsAFailureToOpen) {
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  fs::create_directory(dir_ / "folder");
  for (const std::string& path : {(dir_ / "fifo").string(), (dir_ / "folder").string(), std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    messages_.clear();
    store_->WriteText(km7::profile::LogFilePath, "Lab", path);
    host_.loggingOn = true;
    km7::DataLog fresh(*store_);
    EXPECT_EQ(fresh.RestartLoggingAtStartup(host_), -1);
    fresh.loggingInterval = 1;
    for (int second = 0; second < 3; ++second) {
      ++g_now;
      EXPECT_EQ(fresh.AppendLogRowIfDue(host_), km7::RowOutcome::Failed);
    }
    ASSERT_EQ(messages_.size(), 1u);  // the run of failures began at start-up
    EXPECT_EQ(messages_[0],
              "The log file " + path + " could not be opened.  Make sure a ORV-KM7 device is attached.");
    EXPECT_EQ(fresh.failedRows(), 3);
    EXPECT_FALSE(fresh.CloseFiles());
  }
}

TEST_F(DataLogTest, ExitPushesTheRowsToTheDisk) {
  host_.loggingOn = true;
  log_->loggingInterval = 1;
  RunSeconds(1);
  EXPECT_TRUE(log_->CloseFiles());
  km7::DataLog none(*store_);
  EXPECT_FALSE(none.CloseFiles());  // no file chosen: nothing to do
}

TEST_F(DataLogTest, FileDialogStartsBesideThePreviousLogElseInTheDocuments) {
  fs::create_directories(dir_ / "logs");
  EXPECT_EQ(km7::LogFileStartFolder((dir_ / "logs" / "old.txt").string()), (dir_ / "logs").string());
  const std::string fallback = km7::LogFileStartFolder("");
  EXPECT_EQ(km7::LogFileStartFolder((dir_ / "gone" / "old.txt").string()), fallback);
  EXPECT_EQ(km7::LogFileStartFolder("relative.txt"), fallback);
  EXPECT_NE(fallback, fs::current_path().string());
  const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  EXPECT_TRUE(fallback == documents.toStdString() || fallback == QDir::homePath().toStdString()) << fallback;
}

}  // namespace
