// The data log's rows without any window: when a row is due and what each
// write came to, against real files.
#include "datalog/DataLogWriter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;
using km7::DataLogWriter;
using km7::RowOutcome;

namespace {

std::string CrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

class DataLogWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    dir_ = fs::temp_directory_path() /
           ("km7-writer-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    writer_.logFilePath = (dir_ / "log.txt").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Contents() const {
    std::ifstream in(writer_.logFilePath, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path dir_;
  DataLogWriter writer_;
  const km7::LogValues values_{21.5, 40.0, 7.6};
  std::time_t now_ = 1796575992;  // Sun Dec 06 16:53:12 2026 UTC
};

TEST_F(DataLogWriterTest, ARowIsDueOnEveryIntervalthNewSecondOnly) {
  writer_.loggingInterval = 3;
  const std::time_t start = now_;
  std::vector<RowOutcome> seen;
  for (int second = 1; second <= 6; ++second) {
    ++now_;
    seen.push_back(writer_.AppendRowIfDue(now_, values_));
    seen.push_back(writer_.AppendRowIfDue(now_, values_));  // same second again
  }
  const auto N = RowOutcome::NotDue, W = RowOutcome::Written;
  EXPECT_EQ(seen, (std::vector<RowOutcome>{N, N, N, N, W, N, N, N, N, N, W, N}));
  EXPECT_EQ(Contents(), CrLf(km7::LogRow(start + 3, values_) + km7::LogRow(start + 6, values_)));
}

TEST_F(DataLogWriterTest, OnlyTheFirstFailureOfARunAsksToBeReported) {
  writer_.loggingInterval = 1;
  writer_.logFilePath = (dir_ / "missing" / "log.txt").string();
  EXPECT_EQ(writer_.AppendRowIfDue(++now_, values_), RowOutcome::FailedFirst);
  EXPECT_EQ(writer_.AppendRowIfDue(++now_, values_), RowOutcome::Failed);
  EXPECT_EQ(writer_.failedRows(), 2);
  // A header that cannot be written continues the run.
  EXPECT_FALSE(writer_.StartFile());
  EXPECT_EQ(writer_.AppendRowIfDue(++now_, values_), RowOutcome::Failed);

  // A good write ends it; the next failure begins a new run.
  writer_.logFilePath = (dir_ / "log.txt").string();
  EXPECT_EQ(writer_.AppendRowIfDue(++now_, values_), RowOutcome::Written);
  EXPECT_EQ(writer_.failedRows(), 0);
  writer_.logFilePath = (dir_ / "missing" / "log.txt").string();
  EXPECT_EQ(writer_.AppendRowIfDue(++now_, values_), RowOutcome::FailedFirst);
}

TEST_F(DataLogWriterTest, AStartedFileGetsTheHeaderAndEndsAFailureRun) {
  writer_.loggingInterval = 1;
  const std::string good = writer_.logFilePath;
  writer_.logFilePath = (dir_ / "missing" / "log.txt").string();
  EXPECT_EQ(writer_.AppendRowIfDue(++now_, values_), RowOutcome::FailedFirst);
  writer_.logFilePath = good;
  EXPECT_TRUE(writer_.StartFile());
  EXPECT_EQ(writer_.failedRows(), 0);
  EXPECT_EQ(Contents(), "\tTemp \xB0" "C\t\xB0" "F\tHumidity %\tDew Point \xB0" "C\t\xB0" "F \r\n");
  writer_.logFilePath = (dir_ / "missing" / "log.txt").string();
  EXPECT_EQ(writer_.AppendRowIfDue(++now_, values_), RowOutcome::FailedFirst);
}

TEST_F(DataLogWriterTest, ResetTimingCountsTheIntervalAfresh) {
  writer_.loggingInterval = 2;
  EXPECT_EQ(writer_.AppendRowIfDue(++now_, values_), RowOutcome::NotDue);
  writer_.ResetTiming();
  EXPECT_EQ(writer_.AppendRowIfDue(++now_, values_), RowOutcome::NotDue);
  EXPECT_EQ(writer_.AppendRowIfDue(++now_, values_), RowOutcome::Written);
  EXPECT_TRUE(writer_.Sync());
  writer_.logFilePath.clear();
  EXPECT_FALSE(writer_.Sync());
}

}  // namespace
