#pragma once
// The data log's texts: header line, rows and the offered file name. Pure
// functions of their inputs, so every byte of the file can be tested.
#include <ctime>
#include <string>

namespace km7 {

struct LogValues {
  double temperature = 0.0;  // degrees C
  double humidity = 0.0;     // percent
  double dewPoint = 0.0;     // degrees C
};

// "\tTemp °C\t°F\tHumidity %\tDew Point °C\t°F \n" (Windows-1252; the "\n"
// becomes "\r\n" when written).
std::string LogHeaderLine();

// The local time of t as "Sun Dec 06 16:53:12 2026" (24 characters, English
// names, day of month with a leading zero).
std::string LogTimeText(std::time_t t);

// "<time>\t <C>\t<F>\t<RH>\t<dew C>\t<dew F>\n", two decimals each, whatever
// the process's numeric locale.
std::string LogRow(std::time_t t, const LogValues& v);

// nameText + "_" + month day year "-" hhmmss, month and day without leading
// zeros ("Lab_1262026-165312"). Characters a file name cannot hold are
// replaced in the offered name only.
std::string DefaultLogFileName(const std::string& nameText, std::time_t now);

}  // namespace km7
