#include "alarms/EmailErrorLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/XdgPaths.h"

namespace km7::alarms {
namespace {

constexpr unsigned kLogFolderMode = 0700;
constexpr mode_t kLogFileMode = 0600;

std::string FolderOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

}  // namespace

std::string EmailErrorLogPath() {
  const std::string state = StateHome();
  if (state.empty()) return {};
  return state + "/km7/" + kEmailLogFileName;
}

bool OpenEmailErrorLog(TextFileWriter& log, std::string* why) {
  const std::string path = EmailErrorLogPath();
  auto fail = [&](const std::string& reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  if (path.empty()) return fail("no home folder is known for this user");
  const std::string folder = FolderOf(path);
  if (!MakeFolders(folder, kLogFolderMode))
    return fail(folder + ": " + std::strerror(errno));
  if (!log.Open(path, kLogFileMode, true)) {
    if (errno == ELOOP) return fail(path + " is a symbolic link; km7 does not write its log through a link");
    return fail(path + ": " + std::strerror(errno));
  }
  return true;
}

std::string VisibleServerText(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

std::string LogTimestamp(std::time_t when) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm t{};
  localtime_r(&when, &t);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s %s %02d %02d:%02d:%02d %d", kDays[t.tm_wday % 7],
                kMonths[t.tm_mon % 12], t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_year + 1900);
  return buf;
}

namespace logline {

namespace {
std::string Join(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) out.append(p);
  return out;
}
}  // namespace

std::string Header() { return Join({"\n\nLogFile version ", kEmailLogVersion, "\n"}); }

std::string TestHeader(std::string_view time) {
  return Join({"\n\nLogFile version ", kEmailLogVersion, "\n", time, "\n"});
}

std::string Connecting(std::string_view time, AlarmKind kind, std::string_view server) {
  const char* what = kind == AlarmKind::Temperature ? " Temperature" : " Humidity";
  return Join({time, what, " Alarm... Connecting to ", server, "\n"});
}

std::string Connecting(std::string_view time, std::string_view kind, std::string_view server) {
  return Join({time, " ", kind, " Alarm... Connecting to ", server, "\n"});
}

std::string ConnectStatus(std::string_view time, std::string_view server, int status) {
  return Join({time, " Status of connect to ", server, ": ", std::to_string(status), "\n"});
}

std::string ConnectFailed(std::string_view time, std::string_view server, int status,
                          std::string_view error) {
  return Join({time, " Status of connect to ", server, ": ", std::to_string(status), " - ", error, "\n"});
}

std::string Queued(std::string_view time, std::string_view kind, std::string_view sensor,
                   std::string_view where) {
  return Join({time, " Queued ", kind, " alarm mail of ", sensor, " in ", where, "\n"});
}

std::string Attempt(std::string_view time, int number, std::string_view kind,
                    std::string_view sensor, std::string_view outcome) {
  return Join({time, " Attempt ", std::to_string(number), " of ", kind, " alarm mail of ", sensor, ": ",
               outcome, "\n"});
}

std::string GivenUp(std::string_view time, std::string_view kind, std::string_view sensor,
                    std::string_view why) {
  return Join({time, " Gave up ", kind, " alarm mail of ", sensor, ": ", why, "\n"});
}

std::string Outbox(std::string_view time, std::string_view what) {
  return Join({time, " Outbox: ", what, "\n"});
}

std::string SendFailed(std::string_view time, int status, std::string_view error) {
  return Join({time, " Email failed with error code ", std::to_string(status), " - ", error, "\n"});
}

std::string Sent(std::string_view time, std::string_view to, std::string_view cc,
                 std::string_view subject, std::string_view body) {
  return Join({time, " Emailed a message\n",            //
               time, " To:", to, "\n",                  //
               time, " Cc:", cc, "\n",                  //
               time, " Subject:", subject, "\n",        //
               time, " Message below\n", body, "\n"});
}

std::string TestClicked(std::string_view time) { return Join({time, " Email Test button clicked\n"}); }

std::string TestConnectStatus(std::string_view time, std::string_view server, int status) {
  return Join({time, " Status of connect to ", server, ": ", std::to_string(status), " (0 is OK)\n"});
}

std::string ServerChange(std::string_view time, std::string_view server, int status,
                         std::string_view outcome) {
  return Join({time, " Status of connect to ", server, " during server change: ",
               std::to_string(status), ", ", outcome, ".\n"});
}

}  // namespace logline
}  // namespace km7::alarms
