// km7 itself, started with nobody at the keyboard, against the simulated
// module and aiosmtpd on loopback: the module's temperature drifts above the
// upper trip point, which sends exactly one mail; it drifts back below the
// trip point by more than 1.0 and out again, which sends the second one.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class Km7ProgramAlarm : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(server_.Start(tmp_.path(), {}, why)) << why;
    fs::create_directories(tmp_ / "config");
    // 30.0 °C with a sine of 2.0 over 120 readings (two per cycle): above
    // 31.0 after about five seconds, below 30.0 after about thirty, above
    // 31.0 again after about sixty-five.
    km7::it::WriteFile(tmp_ / "sim.conf",
                       "temperature_conversion_ms = 20\nhumidity_conversion_ms = 10\n"
                       "[module]\ndescription = Lab Module\ntemperature = 30.0\n"
                       "humidity = 45.0\ndrift = 2.0\n");
    const std::string s = "Lab Module";
    km7::it::WriteFile(tmp_ / "config/km7.INI",
                       "[MyORVKM7Ap]\r\n"
                       "ORVKM7Device_Computer Room=" + s + "\r\n"
                       "ORVKM7CFmode_Computer Room=1\r\n"
                       "ORVKM7CFmode_" + s + "=1\r\n"
                       "ORVKM7TempEmailOnOff_" + s + "=1\r\n"
                       "ORVKM7EmailTempAbove_" + s + "=1\r\n"
                       "ORVKM7EmailTempAboveTemp_" + s + "=31.0\r\n"
                       "ORVKM7ServerName_" + s + "=127.0.0.1\r\n"
                       "ORVKM7PortNumber_" + s + "=" + std::to_string(server_.port()) + "\r\n"
                       "ORVKM7EmailTempTo_" + s + "=oncall@example.org\r\n"
                       "ORVKM7EmailTempCC_" + s + "=boss@example.org\r\n"
                       "ORVKM7EmailTempFrom_" + s + "=km7@example.org\r\n"
                       "ORVKM7EmailTempSubject_" + s + "=Lab too warm\r\n"
                       "ORVKM7EmailTempBodyL2_" + s + "=line two\r\n"
                       "ORVKM7EmailTempBodyL3_" + s + "=line three\r\n"
                       "ORVKM7EmailTempBodyL4_" + s + "=line four\r\n");
  }

  // Runs km7 until the server holds `messages` messages (or the time is
  // up), then ends it.
  void RunKm7Until(size_t messages, std::chrono::seconds limit) {
    std::vector<std::string> env = {
        "QT_QPA_PLATFORM=offscreen",
        std::string("LD_LIBRARY_PATH=") + KM7_SIM_DIR,
        "KM7_SIM_CONFIG=" + (tmp_ / "sim.conf").string(),
        "XDG_CONFIG_HOME=" + (tmp_ / "config").string(),
        "XDG_DATA_HOME=" + (tmp_ / "data").string(),
        "XDG_STATE_HOME=" + (tmp_ / "state").string(),
        "HOME=" + tmp_.path().string(),
    };
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char program[] = KM7_PROGRAM;
    char* argv[] = {program, nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program, nullptr, nullptr, argv, envp.data()), 0);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (server_.MessageCount() < messages && std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) FAIL() << "km7 ended by itself, status " << status;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    // Long enough for a mail that should not come.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
  }

  // The text of spooled message `index`, as Python's email package decodes it.
  std::string Message(int index) const {
    char name[16];
    std::snprintf(name, sizeof name, "%04d.eml", index);
    const km7::it::RunResult r = km7::it::RunProgram(
        {km7::it::Python(), "-c",
         "import email, sys\n"
         "m = email.message_from_binary_file(open(sys.argv[1], 'rb'))\n"
         "sys.stdout.buffer.write(m.get_payload(decode=True))\n",
         (server_.spool() / name).string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::string text;
    for (char c : r.out)
      if (c != '\r') text += c;
    return text;
  }

  km7::it::TempDir tmp_;
  km7::it::MailServer server_;
};

TEST_F(Km7ProgramAlarm, OneMailPerExcursionAndASecondAfterReArming) {
  // Without the latch the first excursion alone (about twenty cycles above
  // 31.0) would send a mail at every tick.
  RunKm7Until(2, std::chrono::seconds(180));
  ASSERT_EQ(server_.MessageCount(), 2u);
  for (int index : {1, 2}) {
    const km7::it::RunResult check = km7::it::RunProgram(
        {km7::it::Python(), km7::it::ScriptDir() + "/check_message.py", "--spool",
         server_.spool().string(), "--index", std::to_string(index), "--count", "2", "--from",
         "km7@example.org", "--to", "oncall@example.org", "--cc", "boss@example.org", "--subject",
         "Lab too warm", "--multipart", "no"});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    const std::string m = Message(index);
    EXPECT_NE(m.find("Sensor: Lab Module   Temp: 3"), std::string::npos) << m;
    EXPECT_NE(m.find("Temperature has gone above 31.0\xB0"), std::string::npos) << m;
    EXPECT_NE(m.find("line two\nline three\nline four\n"), std::string::npos) << m;
    EXPECT_EQ(m.find("Sensor: Lab Module   Temp: 3"), 0u) << m;
  }
  const std::string log = km7::it::ReadFile(tmp_ / "state/km7/emailerrstream.txt");
  EXPECT_EQ(Count(log, " Temperature Alarm... Connecting to 127.0.0.1\r\n"), 2u) << log;
  EXPECT_EQ(Count(log, " Status of connect to 127.0.0.1: 0\r\n"), 2u) << log;
  EXPECT_EQ(Count(log, " Emailed a message\r\n"), 2u) << log;
  EXPECT_EQ(Count(log, "\r\n\r\nLogFile version 1.15\r\n"), 2u) << log;
}

}  // namespace
