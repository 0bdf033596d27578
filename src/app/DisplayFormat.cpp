#include "app/DisplayFormat.h"

#include <charconv>
#include <cmath>

namespace km7 {

namespace {
const char kDegree = '\xB0';
}

double ToFahrenheit(double celsius) { return celsius * 9 / 5 + 32; }

std::string FormatOneDecimal(double value) {
  // glibc prints non-finite values as "nan", "-nan", "inf", "-inf".
  if (std::isnan(value)) return std::signbit(value) ? "-nan" : "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[400];  // the widest double in fixed notation fits easily
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 1);
  return std::string(buf, res.ptr);
}

std::string FormatTemperatureText(double celsius, int unitChoice) {
  if (unitChoice == kUnitCelsius) return FormatOneDecimal(celsius) + " " + kDegree + "C ";
  if (unitChoice == kUnitFahrenheit)
    return FormatOneDecimal(ToFahrenheit(celsius)) + " " + kDegree + "F   ";
  return std::string();
}

std::string FormatDewPointText(double celsius, int unitChoice) {
  if (unitChoice == kUnitCelsius) return FormatOneDecimal(celsius) + " " + kDegree + "C ";
  if (unitChoice == kUnitFahrenheit)
    return FormatOneDecimal(ToFahrenheit(celsius)) + " " + kDegree + "F ";
  return std::string();
}

std::string FormatHumidityText(double percent) { return FormatOneDecimal(percent) + " % "; }

std::string FormatBadReading(int count) { return "bad reading (" + std::to_string(count) + ")"; }

}  // namespace km7
