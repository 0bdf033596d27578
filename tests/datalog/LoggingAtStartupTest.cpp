// km7 itself, started with nobody at the keyboard, against the simulated
// module: logging restored from the settings writes a header and then one
// row per second; a second start appends a second header.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/Acquisition.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

const std::string kHeader = "\tTemp \xB0" "C\t\xB0" "F\tHumidity %\tDew Point \xB0" "C\t\xB0" "F \r";

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Fixed2(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

class LoggingAtStartup : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("km7-logstart-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "config");
    fs::create_directories(dir_ / "data");
    log_ = dir_ / "lab.txt";
    std::ofstream(dir_ / "sim.conf") << "temperature_conversion_ms = 20\n"
                                        "humidity_conversion_ms = 10\n"
                                        "[module]\n"
                                        "description = Lab Module\n"
                                        "raw_temperature = 6000\n"
                                        "raw_humidity = 1488\n"
                                        "drift = 0\n";
    // As the settings file stands after a run that had logging on.
    std::ofstream(dir_ / "config" / "km7.INI", std::ios::binary)
        << "[MyORVKM7Ap]\r\n"
           "ORVKM7Device_Computer Room=Lab Module\r\n"
           "ORVKM7Logging_Computer Room=1\r\n"
           "ORVKM7CFmode_Computer Room=1\r\n"
           "ORVKM7LogFilePath_Lab Module=" << log_.string() << "\r\n"
           "ORVKM7LoggingInterval_Lab Module=1\r\n";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs km7 until the log holds `lines` lines (or a minute has passed),
  // then ends it.
  void RunKm7Until(size_t lines) {
    std::vector<std::string> env = {
        "QT_QPA_PLATFORM=offscreen",
        std::string("LD_LIBRARY_PATH=") + KM7_SIM_DIR,
        "KM7_SIM_CONFIG=" + (dir_ / "sim.conf").string(),
        "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
        "XDG_DATA_HOME=" + (dir_ / "data").string(),
        "HOME=" + dir_.string(),
        "TZ=UTC",
    };
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char program[] = KM7_PROGRAM;
    char* argv[] = {program, nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program, nullptr, nullptr, argv, envp.data()), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Lines(ReadFile(log_)).size() < lines && std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) FAIL() << "km7 ended by itself, status " << status;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
  }

  fs::path dir_, log_;
};

TEST_F(LoggingAtStartup, HeaderThenOneRowPerSecondAndAHeaderPerStart) {
  RunKm7Until(5);
  std::vector<std::string> lines = Lines(ReadFile(log_));
  ASSERT_GE(lines.size(), 5u) << ReadFile(log_);
  EXPECT_EQ(lines[0], kHeader);

  const double t = 20.0;
  const double rh = km7::RelativeHumidity(1488, t);
  const double dew = km7::DewPoint(t, rh);
  const std::string values = "\t " + Fixed2(t) + "\t" + Fixed2(t * 9 / 5 + 32) + "\t" + Fixed2(rh) +
                             "\t" + Fixed2(dew) + "\t" + Fixed2(dew * 9 / 5 + 32) + "\r";
  // The first row may come before the first measurement has finished.
  for (size_t i = 2; i < lines.size(); ++i) {
    ASSERT_EQ(lines[i].size(), 24 + values.size()) << lines[i];
    EXPECT_EQ(lines[i].substr(24), values);
  }
  // Never two rows in one second, and in time order.
  for (size_t i = 2; i < lines.size(); ++i) EXPECT_NE(lines[i].substr(0, 24), lines[i - 1].substr(0, 24));

  const size_t before = lines.size();
  RunKm7Until(before + 3);
  lines = Lines(ReadFile(log_));
  ASSERT_GE(lines.size(), before + 2);
  EXPECT_EQ(lines[before], kHeader);
  size_t headers = 0;
  for (const auto& line : lines) headers += line == kHeader;
  EXPECT_EQ(headers, 2u);
}

}  // namespace
