#pragma once
// The chart's history: 1000 buckets, each with the lowest and highest
// temperature, humidity and dew point seen during its time and the time it was
// last touched. The display tick folds every reading into the current bucket;
// the chart window's timer moves to the next one.
#include <array>
#include <cstdint>
#include <optional>

namespace km7::chart {

inline constexpr int kBucketCount = 1000;
// When the store is full this many of the oldest buckets are dropped at once.
inline constexpr int kDroppedWhenFull = 200;

struct Reading {
  double temperature = 0;  // °C
  double humidity = 0;     // percent
  double dewPoint = 0;     // °C
};

class History {
 public:
  // Widens the current bucket's minima and maxima by the reading (an empty
  // bucket starts at it) and stamps it with now (seconds since 1970, UTC).
  void Record(const Reading& reading, std::int64_t now);
  // Moves to the next bucket and starts its minima and maxima at the reading,
  // rounded to single precision; without a reading (none is current) the
  // bucket starts empty, a gap in the curves. Returns true when the store was
  // full and the oldest buckets were dropped, so the whole chart must be
  // redrawn.
  bool Advance(const std::optional<Reading>& reading);
  // Whether the bucket holds values: not one started without a reading that
  // no reading has filled since.
  bool HasValues(int bucket) const;
  // Every bucket zero, index 0; bucket 0 empty until the first reading.
  History();
  void Clear();

  // Seconds since 1970 of the last tick that touched the bucket; 0: no data.
  // 64 bits, so that times after January 2038 stay right.
  std::array<std::int64_t, kBucketCount> time{};
  std::array<double, kBucketCount> tempMax{}, tempMin{};
  std::array<double, kBucketCount> humMax{}, humMin{};
  std::array<double, kBucketCount> dewMax{}, dewMin{};
  int historyIndex = 0;  // the current bucket, 0 to 999
};

}  // namespace km7::chart
