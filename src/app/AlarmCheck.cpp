#include "app/AlarmCheck.h"

namespace km7 {

void CheckAlarmBand(double value, const AlarmBand& band, BandLatches& latches,
                    const std::function<bool()>& canSend, const std::function<void()>& send) {
  if (band.highActive) {
    const double high = band.high;
    if (value > high && latches.high == 0 && canSend()) {
      send();
      latches.high = 1;  // also after a failed dispatch: no retry until re-armed
    }
    if (high - kAlarmHysteresis > value) latches.high = 0;
  }
  if (band.lowActive) {
    const double low = band.low;
    if (low > value && latches.low == 0 && canSend()) {
      send();
      latches.low = 1;
    }
    if (low + kAlarmHysteresis < value) latches.low = 0;
  }
}

}  // namespace km7
