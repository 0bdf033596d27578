#include "app/DisplayFormat.h"

#include "platform/Text.h"

namespace km7 {

namespace {
const char kDegree = '\xB0';
}

std::string FormatOneDecimal(double value) { return FormatFixed(value, 1); }

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
