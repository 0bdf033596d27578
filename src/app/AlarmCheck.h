#pragma once
// The alarm check of the display tick: one band (an upper and a lower trip
// point) against one value, with a latch per limit so that one excursion sends
// one mail. A latch re-arms only when the value is back inside the band by
// more than the hysteresis.
#include <functional>

#include "settings/OpenSensor.h"

namespace km7 {

inline constexpr double kAlarmHysteresis = 1.0;

struct BandLatches {
  int high = 0;
  int low = 0;
};

// canSend is asked just before each possible send (a send may run a dispatch
// that changes what it answers); send runs the dispatch. Comparisons are
// strict, so a value that is not a number neither fires nor re-arms.
void CheckAlarmBand(double value, const AlarmBand& band, BandLatches& latches,
                    const std::function<bool()>& canSend, const std::function<void()>& send);

}  // namespace km7
