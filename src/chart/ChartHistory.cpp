#include "chart/ChartHistory.h"

#include <algorithm>

km7::chart::History ChartHistory;

namespace km7::chart {
namespace {

void Widen(double v, double& min, double& max) {
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

bool History::Advance(const Reading& r) {
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
  tempMin[i] = tempMax[i] = Single(r.temperature);
  humMin[i] = humMax[i] = Single(r.humidity);
  dewMin[i] = dewMax[i] = Single(r.dewPoint);
  return dropped;
}

void History::Clear() { *this = History{}; }

}  // namespace km7::chart
