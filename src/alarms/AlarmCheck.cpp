#include "alarms/AlarmCheck.h"

namespace km7::alarms {

BandAlarms CheckAlarmBand(double value, const AlarmBand& band, BandLatches& latches, bool canSend) {
  BandAlarms fired;
  if (band.highActive) {
    const double high = band.high;
    if (value > high && latches.high == 0 && canSend) {
      fired.high = true;
      latches.high = 1;
    }
    if (high - kAlarmHysteresis > value) latches.high = 0;
  }
  if (band.lowActive) {
    const double low = band.low;
    if (low > value && latches.low == 0 && canSend) {
      fired.low = true;
      latches.low = 1;
    }
    if (low + kAlarmHysteresis < value) latches.low = 0;
  }
  return fired;
}

FiredAlarms CheckAlarms(const AlarmBands& bands, const AlarmValues& values, AlarmSwitches on,
                        AlarmLatches& latches, bool canSend) {
  FiredAlarms fired;
  if (!values.current) return fired;
  if (on.temperature)
    fired.temperature = CheckAlarmBand(values.temperature, bands.temperature, latches.temperature, canSend);
  if (on.humidity)
    fired.humidity = CheckAlarmBand(values.humidity, bands.humidity, latches.humidity, canSend);
  return fired;
}

}  // namespace km7::alarms
