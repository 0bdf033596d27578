#pragma once
// Program-wide values that the main window, the device operations and the
// alarm windows share. All of them are used on the user-interface thread only.
#include <string>

// The open sensor's name as the alarm windows and renaming use it
// (Windows-1252).
extern std::string currentSensorName;

// Display unit: 1 = Celsius, 0 = Fahrenheit. Followed by the chart, the alarm
// mail and the alarm setup dialog; the display tick follows the radio buttons.
extern int DisplayUnit;

namespace km7 {

inline constexpr char kDefaultSensorName[] = "Computer Room";

// One alarm band: an upper and a lower trip point, each with an active flag.
// Trip points are single precision, as they are stored.
struct AlarmBand {
  int highActive = 0;
  float high = 0.0f;
  int lowActive = 0;
  float low = 0.0f;
};

struct AlarmBands {
  AlarmBand temperature;  // °C
  AlarmBand humidity;     // percent
};

// Reads the four temperature (or humidity) values stored for the sensor
// suffix into AlarmTripPoints.
void LoadTemperatureTripPoints(const std::string& suffix);
void LoadHumidityTripPoints(const std::string& suffix);

// The leading decimal number of a text, 0 when there is none; always with a
// decimal point, whatever the C library's locale.
double AtofC(const std::string& text);

}  // namespace km7

extern km7::AlarmBands AlarmTripPoints;

