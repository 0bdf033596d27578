#include "datalog/LogFormat.h"

#include <cstdio>

#include "platform/Text.h"

namespace km7 {
namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::tm LocalTime(std::time_t t) {
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) tm = std::tm{};
  return tm;
}

}  // namespace

std::string LogHeaderLine() {
  return "\tTemp \xB0" "C\t\xB0" "F\tHumidity %\tDew Point \xB0" "C\t\xB0" "F \n";
}

std::string LogTimeText(std::time_t t) {
  const std::tm tm = LocalTime(t);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s %s %02d %02d:%02d:%02d %d", kDays[tm.tm_wday % 7],
                kMonths[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                tm.tm_year + 1900);
  return buf;
}

std::string LogRow(std::time_t t, const LogValues& v) {
  std::string row = LogTimeText(t);
  row += "\t ";
  row += FormatFixed(v.temperature, 2);
  row += '\t';
  row += FormatFixed(v.temperature * 9 / 5 + 32, 2);
  row += '\t';
  row += FormatFixed(v.humidity, 2);
  row += '\t';
  row += FormatFixed(v.dewPoint, 2);
  row += '\t';
  row += FormatFixed(v.dewPoint * 9 / 5 + 32, 2);
  row += '\n';
  return row;
}

std::string DefaultLogFileName(const std::string& nameText, std::time_t now) {
  std::string name;
  for (char c : nameText) {
    const auto u = static_cast<unsigned char>(c);
    // '/' and NUL cannot stand in a Linux file name; the others trouble the
    // file systems and shells the log is later copied to.
    const bool bad = u < 0x20 || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' ||
                     c == '"' || c == '<' || c == '>' || c == '|' || u == 0x7F;
    name += bad ? '_' : c;
  }
  const std::tm tm = LocalTime(now);
  char buf[64];
  std::snprintf(buf, sizeof buf, "_%d%d%d-%02d%02d%02d", tm.tm_mon + 1, tm.tm_mday,
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return name + buf;
}

}  // namespace km7
