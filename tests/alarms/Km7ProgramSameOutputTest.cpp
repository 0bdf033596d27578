// What km7 writes for its user (the data log, the alarm mails, the
// diagnostic log) stays what it was before the modules' work moved into one
// monitoring session shared with km7d: a run of this build is compared with a
// recorded run of the build before that move, times, dates and durations
// blanked. KM7_RECORD=path writes this build's run there instead of comparing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "Km7Program.h"

using namespace std::chrono_literals;

namespace km7::test {
namespace {

std::string Blank(std::string text) {
  static const std::regex kStamps[] = {
      std::regex(R"(/\S*/outbox/\S+\.mail)"),
      std::regex(R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) +\d+)"),
      std::regex(R"(\d{4}-\d\d-\d\d)"),
      std::regex(R"(\d{1,2}/\d{1,2}/\d{2,4})"),
      std::regex(R"(\d{1,2}:\d\d(:\d\d)?( ?[AP]M)?)"),
      std::regex(R"(\b\d+ (h|min|s)\b)"),
      std::regex(R"(\b(19|20)\d\d\b)"),
  };
  for (const std::regex& r : kStamps) text = std::regex_replace(text, r, "#");
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  return out;
}

// Lines of text, each once, in their first order: how many rows a run of a
// few seconds writes depends on the machine, what a row says does not.
std::string Distinct(const std::string& text) {
  std::istringstream in(text);
  std::string line, out;
  std::vector<std::string> seen;
  while (std::getline(in, line)) {
    if (std::find(seen.begin(), seen.end(), line) != seen.end()) continue;
    seen.push_back(line);
    out += line + "\n";
  }
  return out;
}

class Km7ProgramSameOutput : public Km7Program {};

TEST_F(Km7ProgramSameOutput, DataLogMailsAndDiagnosticLogMatchTheRecordedRun) {
  km7::it::MailServer server;
  km7::it::MailServerOptions opt;
  opt.port = km7::it::FreePort();
  std::string why;
  ASSERT_TRUE(server.Start(tmp_ / "srv", opt, why)) << why;
  Sim(35.0);
  WriteSettings(opt.port, DataLogSettings() + "ORVKM7BackToNormalOnOff_Lab Module=1\r\n");
  StartKm7();
  ASSERT_TRUE(WaitUntil([&] { return server.MessageCount() >= 1 && DataLogRows().size() >= 3; }, 90s)) << Log();
  // The rows of the excursion; those after it depend on when km7 ends.
  const std::string rows = km7::it::ReadFile(DataLogPath());
  // Back in band by more than the re-arm margin: one back-to-normal mail.
  Sim(25.0);
  ASSERT_TRUE(WaitUntil([&] { return server.MessageCount() >= 2; }, 90s)) << Log();
  ASSERT_TRUE(WaitUntil([&] { return Count(Log(), "sent") >= 2; }, 30s)) << Log();
  Kill();

  std::string run = "== data log\n" + Distinct(Blank(rows));
  for (int i = 1; i <= 2; ++i) {
    const SpooledMail mail = Mail(server, i);
    run += "== mail " + std::to_string(i) + "\n" + Blank(mail.subject) + "\n" + Blank(mail.body);
  }
  run += "== diagnostic log\n" + Blank(Log());

  if (const char* record = std::getenv("KM7_RECORD")) {
    std::ofstream(record) << run;
    return;
  }
  EXPECT_EQ(run, km7::it::ReadFile(KM7_RECORDED_RUN));
}

}  // namespace
}  // namespace km7::test
