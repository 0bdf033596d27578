#include "mqtt/StatePacing.h"

#include <cmath>

#include "mqtt/MqttPayloads.h"

namespace km7::mqtt {

namespace {

// A step of one unit of resolution is the sensor's noise; more is a change.
bool Moved(double a, double b) {
  if (std::isfinite(a) != std::isfinite(b)) return true;
  if (!std::isfinite(a)) return false;
  return std::fabs(RoundToResolution(a) - RoundToResolution(b)) > kResolution * 1.5;
}

}  // namespace

bool StateChanged(const status::SensorSnapshot& sent, const status::SensorSnapshot& next) {
  if (sent.up != next.up || sent.name != next.name || sent.serial != next.serial) return true;
  if (sent.lastGoodReading.has_value() != next.lastGoodReading.has_value()) return true;
  if (sent.crcErrorsTotal != next.crcErrorsTotal || sent.readingsFailedTotal != next.readingsFailedTotal ||
      sent.mailOutboxMessages != next.mailOutboxMessages || sent.mailsSentTotal != next.mailsSentTotal ||
      sent.alarms != next.alarms)
    return true;
  if (!next.up) return false;
  return Moved(sent.temperatureC, next.temperatureC) || Moved(sent.humidityPercent, next.humidityPercent) ||
         Moved(sent.dewPointC, next.dewPointC);
}

bool StateDue(const std::optional<status::SensorSnapshot>& sent, std::chrono::steady_clock::time_point sentAt,
              const status::SensorSnapshot& next, std::chrono::steady_clock::time_point now,
              std::chrono::milliseconds refresh) {
  if (!sent) return true;
  if (now - sentAt >= refresh) return true;
  return StateChanged(*sent, next);
}

}  // namespace km7::mqtt
