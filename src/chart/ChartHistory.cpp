#include "chart/ChartHistory.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace km7::chart {
namespace {

constexpr double kEmpty = std::numeric_limits<double>::quiet_NaN();

void Widen(double v, double& min, double& max) {
  // An empty bucket starts at the value.
  if (std::isnan(min) || std::isnan(max)) {
    min = max = v;
    return;
  }
  // A value equal to a bound leaves it; a value that is not a number widens nothing.
  if (v > max) max = v;
  if (v < min) min = v;
}

double Single(double v) { return static_cast<double>(static_cast<float>(v)); }

template <class T>
void DropOldest(std::array<T, kBucketCount>& a) {
  std::copy(a.begin() + kDroppedWhenFull, a.end(), a.begin());
  std::fill(a.end() - kDroppedWhenFull, a.end(), T{});
}

}  // namespace

void History::Record(const Reading& r, std::int64_t now) {
  const int i = historyIndex;
  Widen(r.temperature, tempMin[i], tempMax[i]);
  Widen(r.humidity, humMin[i], humMax[i]);
  Widen(r.dewPoint, dewMin[i], dewMax[i]);
  time[i] = now;
}

bool History::Advance(const std::optional<Reading>& r) {
  bool dropped = false;
  historyIndex += 1;
  if (historyIndex > kBucketCount - 1) {
    DropOldest(time);
    DropOldest(tempMax);
    DropOldest(tempMin);
    DropOldest(humMax);
    DropOldest(humMin);
    DropOldest(dewMax);
    DropOldest(dewMin);
    historyIndex = kBucketCount - kDroppedWhenFull;
    dropped = true;
  }
  const int i = historyIndex;
  // Never the last good values for a time without readings: that would draw
  // the past as if it went on.
  tempMin[i] = tempMax[i] = r ? Single(r->temperature) : kEmpty;
  humMin[i] = humMax[i] = r ? Single(r->humidity) : kEmpty;
  dewMin[i] = dewMax[i] = r ? Single(r->dewPoint) : kEmpty;
  if (!r) time[i] = 0;
  return dropped;
}

bool History::HasValues(int bucket) const {
  if (bucket < 0 || bucket >= kBucketCount) return false;
  return !std::isnan(tempMin[bucket]) && !std::isnan(tempMax[bucket]);
}

History::History() {
  // The first bucket starts like any other: empty, not at 0 °C and 0 %.
  tempMin[0] = tempMax[0] = humMin[0] = humMax[0] = dewMin[0] = dewMax[0] = kEmpty;
}

void History::Clear() { *this = History{}; }

}  // namespace km7::chart
