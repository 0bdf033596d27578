#include "Km7Program.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace km7::test {

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

void Km7Program::WriteSettings(int port, const std::string& more) {
  fs::create_directories(tmp_ / "config");
  const std::string s = "Lab Module";
  km7::it::WriteFile(tmp_ / "config/km7.INI",
                     "[MyORVKM7Ap]\r\n"
                     "ORVKM7Device_Computer Room=" + s + "\r\n"
                     "ORVKM7CFmode_" + s + "=1\r\n"
                     "ORVKM7TempEmailOnOff_" + s + "=1\r\n"
                     "ORVKM7EmailTempAbove_" + s + "=1\r\n"
                     "ORVKM7EmailTempAboveTemp_" + s + "=31.0\r\n"
                     "ORVKM7ServerName_" + s + "=127.0.0.1\r\n"
                     "ORVKM7PortNumber_" + s + "=" + std::to_string(port) + "\r\n"
                     "ORVKM7EmailTempTo_" + s + "=oncall@example.org\r\n"
                     "ORVKM7EmailTempFrom_" + s + "=km7@example.org\r\n"
                     "ORVKM7EmailTempSubject_" + s + "=Lab too warm\r\n" + more);
}

std::string Km7Program::DataLogSettings() const {
  return "ORVKM7Logging_Computer Room=1\r\nORVKM7LogFilePath_Lab Module=" + DataLogPath().string() +
         "\r\nORVKM7LoggingInterval_Lab Module=1\r\n";
}

void Km7Program::Sim(double temperature, double drift, const std::string& more) {
  km7::it::WriteFile(tmp_ / "sim.conf.new", "temperature_conversion_ms = 20\nhumidity_conversion_ms = 10\n"
                                            "[module]\ndescription = Lab Module\ntemperature = " +
                                                std::to_string(temperature) + "\nhumidity = 45.0\ndrift = " +
                                                std::to_string(drift) + "\n" + more);
  fs::rename(tmp_ / "sim.conf.new", tmp_ / "sim.conf");
}

void Km7Program::StartKm7(const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env = {
      "QT_QPA_PLATFORM=offscreen",
      std::string("LD_LIBRARY_PATH=") + KM7_SIM_DIR,
      "KM7_SIM_CONFIG=" + (tmp_ / "sim.conf").string(),
      "XDG_CONFIG_HOME=" + (tmp_ / "config").string(),
      "XDG_DATA_HOME=" + (tmp_ / "data").string(),
      "XDG_STATE_HOME=" + (tmp_ / "state").string(),
      "HOME=" + tmp_.path().string(),
  };
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char program[] = KM7_PROGRAM;
  char* argv[] = {program, nullptr};
  ASSERT_EQ(posix_spawn(&pid_, program, nullptr, nullptr, argv, envp.data()), 0);
}

void Km7Program::Kill(int signal) {
  if (pid_ <= 0) return;
  kill(pid_, signal);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

bool Km7Program::Alive() {
  int status = 0;
  return pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0;
}

bool Km7Program::WaitUntil(const std::function<bool()>& pred, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end || !Alive()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return true;
}

std::string Km7Program::Log() const {
  const fs::path p = tmp_ / "state/km7/emailerrstream.txt";
  return fs::exists(p) ? km7::it::ReadFile(p) : std::string();
}

std::size_t Km7Program::OutboxFiles() const {
  std::size_t n = 0;
  if (!fs::exists(tmp_ / "state/km7/outbox")) return 0;
  for (const auto& e : fs::directory_iterator(tmp_ / "state/km7/outbox")) n += e.path().extension() == ".mail";
  return n;
}

std::vector<Km7Program::Row> Km7Program::DataLogRows() const {
  std::vector<Row> rows;
  if (!fs::exists(DataLogPath())) return rows;
  const std::string text = km7::it::ReadFile(DataLogPath());
  std::size_t at = 0;
  while ((at = text.find("\r\n", at)) != std::string::npos) {
    at += 2;
    const std::string row = text.substr(at, text.find("\r\n", at) - at);
    std::tm t{};
    if (row.size() < 30 || strptime(row.c_str(), "%a %b %d %H:%M:%S %Y", &t) == nullptr) continue;
    t.tm_isdst = -1;
    rows.push_back({mktime(&t), row.substr(25, row.find('\t', 26) - 25)});
  }
  return rows;
}

SpooledMail Km7Program::Mail(const km7::it::MailServer& server, int index) {
  char name[16];
  std::snprintf(name, sizeof name, "%04d.eml", index);
  const km7::it::RunResult r = km7::it::RunProgram(
      {km7::it::Python(), "-c",
       "import email, email.header, sys\n"
       "m = email.message_from_binary_file(open(sys.argv[1], 'rb'))\n"
       "s = str(email.header.make_header(email.header.decode_header(m['Subject'])))\n"
       "sys.stdout.buffer.write(s.encode('cp1252') + b'\\n' + m.get_payload(decode=True))\n",
       (server.spool() / name).string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::string text;
  for (char c : r.out)
    if (c != '\r') text += c;
  const auto cut = text.find('\n');
  if (cut == std::string::npos) return {text, ""};
  return {text.substr(0, cut), text.substr(cut + 1)};
}

}  // namespace km7::test
