#pragma once
// The worker thread that measures temperature and humidity once per cycle
// and leaves the results in SensorSample. It never touches the user interface.
#include <atomic>
#include <climits>
#include <cstdint>
#include <thread>

#include "acquisition/D2xxLibrary.h"
#include "acquisition/Reading.h"
#include "platform/Clock.h"

// Written only by the acquisition thread. Each value is atomic, so a reader
// sees it either before or after an update; the temperature may be of a newer
// cycle than the humidity and dew point.
struct SensorSampleValues {
  std::atomic<double> temperature{0.0};       // °C
  std::atomic<double> relativeHumidity{0.0};  // percent, not clamped
  std::atomic<double> dewPoint{0.0};          // °C, not finite when humidity <= 0
  std::atomic<std::int32_t> crcErrorCount{0};
  // When the last measurement with a good check was stored (milliseconds of
  // km7::SteadyMs); kNoGoodReading before any, and again once the thread was
  // stopped: a stopped thread's values are the past, not the present.
  static constexpr std::int64_t kNoGoodReading = INT64_MIN;
  std::atomic<std::int64_t> lastGoodReadingMs{kNoGoodReading};

  // The values, each read once, and whether they are current: a good reading
  // arrived within the last km7::kStaleAfterMs.
  km7::Reading Read() const;
};
extern SensorSampleValues SensorSample;

// The thread loops while this is nonzero; every measurement step gives up as
// soon as it reads 0.
extern std::atomic<int> AcquisitionRunning;
// Measurements are made only while this is nonzero.
extern std::atomic<int> AutoReadEnabled;

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

// Raw temperature count (0..65535) to °C.
double RawToCelsius(unsigned raw);
// Humidity count SO with the temperature t (°C) of the same cycle, to percent.
double RelativeHumidity(unsigned so, double t);
// Dew point (°C) from t (°C) and rh (percent); not finite when rh <= 0.
double DewPoint(double t, double rh);
}  // namespace km7

// What the thread tells the one that started it, and how it is woken.
struct AcquisitionEvents {
  km7::Event wake;          // raised by stopping: cuts the cycle pause short
  km7::Event firstReading;  // raised once temperature and humidity are stored
  km7::Event ended;         // raised when the loop has ended
};

class AcquisitionThread {
 public:
  explicit AcquisitionThread(D2xxLibrary& lib) : lib_(lib) {}
  AcquisitionThread(const AcquisitionThread&) = delete;
  AcquisitionThread& operator=(const AcquisitionThread&) = delete;
  // Ends a thread still running and joins it.
  ~AcquisitionThread();

  // Sets AcquisitionRunning to 1 and starts the thread. A thread still
  // running is ended first (AcquisitionRunning cleared, joined).
  void Start();
  // Clears AutoReadEnabled and AcquisitionRunning and wakes the thread from
  // its pause; it ends within one ready poll. Returns at once.
  void RequestStop();
  // RequestStop, then waits until the thread has ended (at most maxWaitMs)
  // and joins it. False when it had not ended within maxWaitMs; it is joined
  // all the same, so no thread outlives the device it reads.
  bool Stop(unsigned maxWaitMs);
  // Waits until the thread started last has stored its first complete
  // reading, at most maxWaitMs. True when it has.
  bool WaitForFirstReading(unsigned maxWaitMs);
  // Joins the thread if there is one; the flags must already be clear.
  void Join();
  bool Joinable() const { return thread_.joinable(); }

  // The thread procedure: soft reset, then measure while the flags allow.
  // Returns 0 when the loop ends.
  static int Run(D2xxLibrary& lib, AcquisitionEvents& events);
  static int Run(D2xxLibrary& lib);

  // The steps, each working only through the bus. A measurement returns true
  // when it stored its values (also after a failed check, which it counts; a
  // good check also stamps lastGoodReadingMs). It returns false, leaving the
  // values as they were, when it gave up because AcquisitionRunning was
  // cleared, or, counted in crcErrorCount, when a bridge call of its transfer
  // failed before the last bit of the check byte was in, or the sensor did
  // not signal ready in time.
  static void SoftReset(D2xxLibrary& lib);
  static bool MeasureTemperature(D2xxLibrary& lib);
  static bool MeasureHumidity(D2xxLibrary& lib);
  // Polls the data line every 10 ms until the sensor pulls it low.
  enum class Poll {
    Ready,
    Stopped,   // AcquisitionRunning was cleared meanwhile
    Failed,    // a bridge call failed: the module is gone or not open
    TimedOut,  // no ready within kReadyTimeoutMs
  };
  static Poll ReadyPoll(D2xxLibrary& lib);

 private:
  D2xxLibrary& lib_;
  std::thread thread_;
  AcquisitionEvents events_;
};
