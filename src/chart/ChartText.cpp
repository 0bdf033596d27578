#include "chart/ChartText.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "chart/ChartGeometry.h"
#include "platform/Text.h"

namespace km7::chart {
namespace {

constexpr const char* kCelsiusTitles[kTempScaleCount] = {
    "T/H/D Chart (-55\xB0" "C to +125\xB0" "C)  ",
    "T/H/D Chart (-10\xB0" "C to +85\xB0" "C)  ",
    "T/H/D Chart (0\xB0" "C to +30\xB0" "C)  ",
};
constexpr const char* kFahrenheitTitles[kTempScaleCount] = {
    "T/H/D Chart (-67\xB0" "F to +257\xB0" "F)  ",
    "T/H/D Chart (+14\xB0" "F to +185\xB0" "F)  ",
    "T/H/D Chart (+32\xB0" "F to +86\xB0" "F)  ",
};
constexpr const char* kCelsiusCaptions[kTempScaleCount] = {
    "-55 to 125\xB0" "C", "-10 to 85\xB0" "C", "0 to 30\xB0" "C"};
constexpr const char* kFahrenheitCaptions[kTempScaleCount] = {
    "-67\xB0 to 257\xB0" "F", "14\xB0 to 185\xB0" "F", "32\xB0 to 86\xB0" "F"};

int Scale(int s) { return std::clamp(s, 0, kTempScaleCount - 1); }

template <class... A>
std::string Format(const char* format, A... args) {
  char buf[128];
  const int n = std::snprintf(buf, sizeof buf, format, args...);
  return std::string(buf, static_cast<std::size_t>(std::clamp(n, 0, static_cast<int>(sizeof buf) - 1)));
}

double Fahrenheit(double c) { return c * 9 / 5 + 32; }

}  // namespace

std::string ChartTitle(int tempScale, int unit, const std::string& sensorName) {
  return std::string(unit == 0 ? kFahrenheitTitles[Scale(tempScale)] : kCelsiusTitles[Scale(tempScale)]) + sensorName;
}

std::string ScaleCaption(int tempScale, int unit) {
  return unit == 0 ? kFahrenheitCaptions[Scale(tempScale)] : kCelsiusCaptions[Scale(tempScale)];
}

std::string CtimeText(std::int64_t seconds) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) return {};
  if (tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11) return {};
  return Format("%s %s %02d %02d:%02d:%02d %d ", kDays[tm.tm_wday], kMonths[tm.tm_mon], tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
}

ReadoutTexts FormatReadout(const History& h, int bucket) {
  const int i = std::clamp(bucket, 0, kBucketCount - 1);
  std::string when = h.time[i] != 0 && h.HasValues(i) ? CtimeText(h.time[i]) : std::string();
  if (when.empty()) return {"No Data", "--", "--", "--"};
  // A decimal point whatever the locale, as everywhere else in the program.
  auto both = [](double c) { return FormatFixed(c, 1) + "\xB0" "C  " + FormatFixed(Fahrenheit(c), 1) + "\xB0" "F"; };
  return {when, "Temp: " + both(h.tempMin[i]) + " ", "Hum: " + FormatFixed(h.humMin[i], 1) + "%",
          "Dew Pt: " + both(h.dewMin[i])};
}

}  // namespace km7::chart
