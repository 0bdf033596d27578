#pragma once
// The measurement sequence of one module: soft reset, temperature, humidity,
// the check of each, the conversions, and the cycle that repeats them. It runs
// on the module's acquisition thread and never touches the user interface.
#include <atomic>
#include <cstdint>

#include "acquisition/ReadingStore.h"
#include "acquisition/SensorBus.h"
#include "platform/Clock.h"

namespace km7 {

// Sensor commands.
inline constexpr std::uint8_t kCmdMeasureTemperature = 0x03;
inline constexpr std::uint8_t kCmdMeasureHumidity = 0x05;
inline constexpr std::uint8_t kCmdSoftReset = 0x1E;

// Fixed waits of the thread, in milliseconds.
inline constexpr unsigned kSoftResetWaitMs = 12;
inline constexpr unsigned kReadyPollMs = 10;
inline constexpr unsigned kCyclePauseMs = 1000;
// The ready poll gives up after this long without the sensor signalling the
// end of its conversion: ten times its longest conversion (320 ms at 14 bits,
// rounded up). A module without a working sensor would otherwise be polled
// for ever. The count bounds it where the waits are made shorter.
inline constexpr unsigned kReadyTimeoutMs = 2000;
inline constexpr unsigned kReadyPollLimit = kReadyTimeoutMs / kReadyPollMs;
// Values older than this are not shown, logged or checked as current.
inline constexpr std::int64_t kStaleAfterMs = 5000;

// Milliseconds of a steady clock (never set back); only differences count.
std::int64_t SteadyMs();
// Milliseconds since the epoch.
std::int64_t WallMs();

// Raw temperature count (0..65535) to °C.
double RawToCelsius(unsigned raw);
// Humidity count SO with the temperature t (°C) of the same cycle, to percent.
double RelativeHumidity(unsigned so, double t);
// Dew point (°C) from t (°C) and rh (percent); not finite when rh <= 0.
double DewPoint(double t, double rh);

// One thread's measurements on one module. The flags are the thread's own
// run flag and the module's auto-read flag; every step gives up as soon as
// the run flag reads 0.
class Measurement {
 public:
  Measurement(SensorPort& port, ReadingStore& store, const std::atomic<int>& running,
              const std::atomic<int>& autoRead)
      : port_(port), store_(store), running_(running), autoRead_(autoRead) {}

  // Soft reset, then one cycle per pause while the run flag is set; a cycle
  // measures only while auto-read is on. `wake` cuts a pause short;
  // `firstReading` is raised once a whole reading was published.
  void Run(Event& wake, Event& firstReading);

  void SoftReset();
  // Each measurement returns true when its value arrived (also after a failed
  // check, which it counts) and keeps it for the cycle. It returns false,
  // keeping nothing, when it gave up because the run flag was cleared, or,
  // counted as a lost measurement, when a bridge call of its transfer failed
  // before the last bit of the check byte was in, or the sensor did not
  // signal ready in time. Humidity is computed with the cycle's temperature,
  // or the last published one when this cycle has none.
  bool MeasureTemperature();
  bool MeasureHumidity();
  // Hands the cycle to the store (unless a stop cut it short before anything
  // went wrong) and starts a new one. True when it published a whole reading.
  bool FinishCycle();
  const CycleResult& Cycle() const { return cycle_; }

  // Polls the data line every 10 ms until the sensor pulls it low.
  enum class Poll {
    Ready,
    Stopped,   // the run flag was cleared meanwhile
    Failed,    // a bridge call failed: the module is gone or not open
    TimedOut,  // no ready within kReadyTimeoutMs
  };
  Poll ReadyPoll();

 private:
  struct RawReading {
    std::uint8_t msb = 0, lsb = 0, check = 0;
    unsigned Raw() const { return msb * 256u + lsb; }
  };
  enum class Outcome { Stopped, Lost, Good, BadCheck };

  bool Running() const { return running_.load() != 0; }
  Outcome Lost(ReadingFault why);
  Outcome ReadResult(std::uint64_t failedBefore, std::uint8_t command, RawReading& r);
  void Note(ReadingFault fault);

  SensorPort& port_;
  ReadingStore& store_;
  const std::atomic<int>& running_;
  const std::atomic<int>& autoRead_;
  CycleResult cycle_;
};

}  // namespace km7
