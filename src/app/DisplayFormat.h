#pragma once
// The texts the display tick puts into the value boxes. Results are
// Windows-1252 bytes (the degree sign is 0xB0). Numbers always use a decimal
// point, whatever locale the toolkit has switched the C library to.
#include <string>

#include "settings/DisplayUnit.h"

namespace km7 {

// "%.1f" without the locale.
std::string FormatOneDecimal(double value);

// "%.1f °C " or "%.1f °F   " (three trailing blanks); empty for any other unit.
std::string FormatTemperatureText(double celsius, int unitChoice);
// "%.1f °C " or "%.1f °F "; empty for any other unit.
std::string FormatDewPointText(double celsius, int unitChoice);
// "%.1f % ".
std::string FormatHumidityText(double percent);
// What every value box shows while no current reading is at hand.
inline constexpr char kNoCurrentValue[] = "--";

// "bad reading (%d)".
std::string FormatBadReading(int count);

}  // namespace km7
