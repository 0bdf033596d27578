#pragma once
// A sensor's alarm bands as its settings store them: on/off flags and trip
// points kept as text (°C, percent), read as single precision like the
// windows show them. The one reader of these values for every program.
#include <string>

namespace km7 {

// One alarm band: an upper and a lower trip point, each with an active flag.
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

AlarmBand ReadTemperatureBand(const std::string& suffix);
AlarmBand ReadHumidityBand(const std::string& suffix);

}  // namespace km7
