#pragma once
// The readings of one module as its thread publishes them: each cycle's
// values at once, under a lock, with the counters a monitor needs.
#include <cstdint>
#include <mutex>

#include "acquisition/Reading.h"

namespace km7 {

// Why the last cycle gave no good reading.
enum class ReadingFault : std::uint8_t {
  None,       // the last cycle was good (or none ran yet)
  Unplugged,  // a bridge call failed: the module is gone or not open
  NoAnswer,   // the sensor never signalled the end of its conversion
  BadCheck,   // a check byte did not match (CRC failure)
};

// A short lower-case text for messages and logs: "unplugged",
// "no answer", "CRC failure", "none".
const char* ReadingFaultName(ReadingFault fault);
// A sentence that says what was seen, for the user.
const char* ReadingFaultText(ReadingFault fault);

struct AcquisitionHealth {
  std::uint64_t goodReadings = 0;    // cycles whose values and checks were all good
  std::uint64_t failedReadings = 0;  // cycles that gave no good reading
  std::uint64_t crcErrors = 0;       // check bytes that did not match
  // Steady milliseconds (km7::SteadyMs) of the last reading that made the
  // values current (see Publish);
  // kNoGoodReading before any and after a stop.
  std::int64_t lastGoodSteadyMs = 0;
  // The same as milliseconds since the epoch; 0 before any.
  // Kept across stops.
  std::int64_t lastGoodWallMs = 0;
  ReadingFault lastFault = ReadingFault::None;
  bool current = false;  // as Reading::current
};

// One measurement cycle, as the thread hands it over.
struct CycleResult {
  bool temperatureStored = false;  // a value arrived (good check or not)
  bool humidityStored = false;
  double temperature = 0.0;
  double relativeHumidity = 0.0;
  double dewPoint = 0.0;
  int goodChecks = 0;                       // check bytes that matched
  ReadingFault fault = ReadingFault::None;  // the first thing that went wrong
};

class ReadingStore {
 public:
  static constexpr std::int64_t kNoGoodReading = INT64_MIN;

  // The whole reading; current when a good one arrived within kStaleAfterMs.
  Reading Read() const;
  AcquisitionHealth Health() const;

  // Publishes a cycle: its values only when both arrived, and then stamped
  // current when at least one check byte matched (a sensor that answers is
  // there); the counters take a cycle with any fault as a failed reading.
  void Publish(const CycleResult& cycle);
  // One measurement that failed or whose check did not match (the window's
  // error count counts both).
  void CountLostMeasurement();
  void CountBadCheck();
  // Nothing measures any more: what is held is the past.
  void MarkStopped();

  // Puts a whole reading in place as if measured (tests, replays): values
  // and error count as given, the good stamp at lastGoodSteadyMs.
  void Put(const Reading& reading, std::int64_t lastGoodSteadyMs);
  // Sets the steady stamp of the last good reading alone.
  void SetLastGoodSteadyMs(std::int64_t ms);

 private:
  mutable std::mutex mutex_;
  Reading reading_;
  AcquisitionHealth health_{0, 0, 0, kNoGoodReading, 0, ReadingFault::None, false};
};

}  // namespace km7
