#pragma once
// The chart's texts: window titles, scale captions and the pointer readout's
// lines. Windows-1252 bytes; the degree sign is 0xB0.
#include <cstdint>
#include <string>

#include "chart/ChartHistory.h"

namespace km7::chart {

// "T/H/D Chart (-55°C to +125°C)  " and the sensor's name (taken as text,
// never as a format).
std::string ChartTitle(int tempScale, int unit, const std::string& sensorName);
// The scale button's caption in the display unit (1 Celsius, 0 Fahrenheit).
std::string ScaleCaption(int tempScale, int unit);

// The classic ctime text of a time in local time, "Wed Jan 02 02:03:55 1980",
// with a blank where its line feed was. Empty when the time cannot be shown.
std::string CtimeText(std::int64_t secondsSince1970);

struct ReadoutTexts {
  std::string time, temperature, humidity, dewPoint;
  bool operator==(const ReadoutTexts&) const = default;
};
// What the readout shows for a bucket: its time and minima in both units, or
// "No Data" and "--" for a bucket no tick has touched.
ReadoutTexts FormatReadout(const History& history, int bucket);

}  // namespace km7::chart
