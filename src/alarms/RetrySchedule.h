#pragma once
// When a mail that could not be sent is tried again: after 30 s, 1, 2 and
// 5 min, then every 10 min, until a day has passed since it was written.
// The lengths are data, so tests run the same schedule in milliseconds.
#include <chrono>
#include <vector>

namespace km7::alarms {

struct RetrySchedule {
  using Duration = std::chrono::milliseconds;
  std::vector<Duration> pauses{std::chrono::seconds(30), std::chrono::minutes(1), std::chrono::minutes(2),
                               std::chrono::minutes(5)};
  Duration every = std::chrono::minutes(10);
  Duration giveUpAfter = std::chrono::hours(24);
  // While a message waits because its server could not be reached, the
  // server is knocked on (a connection opened and closed) this often, and
  // the message tried at once when it answers: a server back after a short
  // outage need not wait out a long pause.
  Duration probeEvery = std::chrono::seconds(30);

  // The pause after the n-th failed attempt (n from 1).
  Duration PauseAfter(int failures) const {
    if (failures < 1) return Duration::zero();
    const auto i = static_cast<std::size_t>(failures - 1);
    return i < pauses.size() ? pauses[i] : every;
  }
};

}  // namespace km7::alarms
