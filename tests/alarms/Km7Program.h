#pragma once
// km7 itself, started as a user starts it, with nobody at the keyboard: the
// simulated module as its driver library (its configuration file rewritten
// to change values or to unplug it), private settings, data and state
// folders, and what the tests read afterwards (the diagnostic log, the
// outbox, the data log, the mail a server spooled).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Harness.h"

namespace km7::test {

// Occurrences of what in text.
std::size_t Count(const std::string& text, const std::string& what);

// A spooled message: its subject and its decoded body, without CRs.
struct SpooledMail {
  std::string subject;
  std::string body;
};

class Km7Program : public ::testing::Test {
 protected:
  void TearDown() override { Kill(); }

  // The settings of the module "Lab Module": °C, an alarm above 31.0 °C
  // mailed to oncall@example.org from km7@example.org with the subject "Lab
  // too warm", through 127.0.0.1:port; then the lines in more ("\r\n" ended).
  void WriteSettings(int port, const std::string& more = "");
  // The same with a data log row every second in lab.txt.
  std::string DataLogSettings() const;
  // The one simulated module "Lab Module", replaced whole as the simulation
  // asks; more adds lines ("present = 0\n" unplugs it).
  void Sim(double temperature, double drift = 0.0, const std::string& more = "");

  // extraEnv: more variables of its environment ("NAME=value").
  void StartKm7(const std::vector<std::string>& extraEnv = {});
  void Kill(int signal = SIGTERM);
  bool Alive();
  // Waits until pred holds while km7 runs; false when the time ran out or
  // km7 ended.
  bool WaitUntil(const std::function<bool()>& pred, std::chrono::seconds limit);

  std::string Log() const;
  std::size_t OutboxFiles() const;
  std::filesystem::path DataLogPath() const { return tmp_ / "lab.txt"; }
  // The time stamps and temperature texts of the data log's rows.
  struct Row {
    std::time_t time;
    std::string temperature;
  };
  std::vector<Row> DataLogRows() const;
  // Message `index` (from 1) of the server's spool.
  static SpooledMail Mail(const km7::it::MailServer& server, int index);

  km7::it::TempDir tmp_;
  pid_t pid_ = -1;
};

}  // namespace km7::test
