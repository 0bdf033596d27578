#pragma once
// One reading of the sensor's values, taken once per display tick and handed
// whole to everything the tick feeds (alarm check, display, chart, data log),
// so that they all see the same numbers.
#include <cstdint>

namespace km7 {

struct Reading {
  double temperature = 0.0;       // °C
  double relativeHumidity = 0.0;  // percent
  double dewPoint = 0.0;          // °C
  // The window's error count: failed checks and lost measurements together.
  std::int32_t crcErrorCount = 0;
  // Each on its own, for what names them (alarm mail, metrics).
  std::int32_t crcFailureCount = 0;
  std::int32_t lostMeasurementCount = 0;
  // False when no good reading arrived for a while (module unplugged, no
  // sensor, acquisition stopped): the values are then the past and must not
  // be shown, logged, charted or checked as if they were the present.
  bool current = true;
};

}  // namespace km7
