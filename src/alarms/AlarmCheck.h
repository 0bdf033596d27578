#pragma once
// The alarm check: each band (an upper and a lower trip point) against its
// value, with a latch per trip point so that one excursion is reported once.
// A latch re-arms only when the value is back inside the band by more than
// the hysteresis. It sends nothing: the caller sends what it returns.
#include "alarms/AlarmKind.h"
#include "settings/OpenSensor.h"

namespace km7::alarms {

inline constexpr double kAlarmHysteresis = 1.0;

// Set while an excursion past that trip point has been reported.
struct BandLatches {
  int high = 0;
  int low = 0;
};

struct AlarmLatches {
  BandLatches temperature;
  BandLatches humidity;
};

// The trip points a value has gone past, newly: each one is one alarm to send.
struct BandAlarms {
  bool high = false;
  bool low = false;
  bool Any() const { return high || low; }
};

struct FiredAlarms {
  BandAlarms temperature;
  BandAlarms humidity;
};

// The values one check looks at. Values that are not current (no good
// reading for a while) are the past: they neither fire nor re-arm.
struct AlarmValues {
  double temperature = 0.0;  // °C
  double humidity = 0.0;     // percent
  bool current = true;
};

// Which kinds the user has switched on. A kind that is off neither fires nor
// re-arms.
struct AlarmSwitches {
  bool temperature = false;
  bool humidity = false;
};

// One band against one value. An active trip point fires when the value is
// past it, its latch is clear and canSend holds (false while a dispatch is
// still running: the alarm waits for a later check); firing sets the latch,
// also when the send fails later, so there is no retry until it re-arms.
// Comparisons are strict, so a value that is not a number neither fires nor
// re-arms.
BandAlarms CheckAlarmBand(double value, const AlarmBand& band, BandLatches& latches, bool canSend);

// Both kinds: temperature, then humidity.
FiredAlarms CheckAlarms(const AlarmBands& bands, const AlarmValues& values, AlarmSwitches on,
                        AlarmLatches& latches, bool canSend);

}  // namespace km7::alarms
