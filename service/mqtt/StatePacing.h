#pragma once
// Which state messages go out: one when the state changed beyond the sensor's
// resolution, and one at least every refresh period, so that a steady value
// costs one message a period and the home automation system never marks it
// stale.
#include <chrono>
#include <optional>

#include "status/SensorSnapshot.h"

namespace km7::mqtt {

// Whether `next` differs from `sent` by more than the resolution in a value,
// or in anything else the state message carries but the time of the reading.
bool StateChanged(const status::SensorSnapshot& sent, const status::SensorSnapshot& next);

// Whether `next` is to be sent now, `sent` being the last state sent at
// `sentAt` (none yet: due).
bool StateDue(const std::optional<status::SensorSnapshot>& sent, std::chrono::steady_clock::time_point sentAt,
              const status::SensorSnapshot& next, std::chrono::steady_clock::time_point now,
              std::chrono::milliseconds refresh);

}  // namespace km7::mqtt
