#include "acquisition/Measurement.h"

#include <chrono>
#include <cmath>

namespace km7 {

std::int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t WallMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

double RawToCelsius(unsigned raw) { return raw * 0.01 - 40.0; }

double RelativeHumidity(unsigned so, double t) {
  const double s = so;
  return (-2.8e-6 * s * s + (0.0405 * s - 4.0)) + (0.00008 * s + 0.01) * (t - 25.0);
}

double DewPoint(double t, double rh) {
  const double x = 7.5 * t / (t + 237.7);
  const double e = 6.112 * std::pow(10.0, x) * rh / 100.0;  // vapour pressure, hPa
  const double l = std::log10(e / 6.112);
  return 237.7 * l / (7.5 - l);
}

void Measurement::Note(ReadingFault fault) {
  if (cycle_.fault == ReadingFault::None) cycle_.fault = fault;
}

// A measurement that did not reach the sensor, or whose sensor never became
// ready, is lost: counted, and nothing is kept.
Measurement::Outcome Measurement::Lost(ReadingFault why) {
  store_.CountLostMeasurement();
  Note(why);
  return Outcome::Lost;
}

// Everything after the command byte of both measurements: wait for the
// conversion, read the two data bytes and the check byte, check them. A
// transfer in which a bridge call failed (module unplugged, handle not open)
// is lost: its bytes are not the sensor's, and keeping them would report
// -40 degrees. Calls that fail only after the last bit of the check byte was
// in (its ninth clock, the release of the line) change none of the bytes: that
// reading is whole and kept.
Measurement::Outcome Measurement::ReadResult(std::uint64_t failedBefore, std::uint8_t command,
                                             RawReading& r) {
  if (!Running()) return Outcome::Stopped;
  // The command never reached the sensor: no conversion to wait for.
  if (port_.device.FailedCalls() != failedBefore) return Lost(ReadingFault::Unplugged);
  switch (ReadyPoll()) {
    case Poll::Ready: break;
    case Poll::Stopped: return Outcome::Stopped;
    case Poll::Failed: return Lost(ReadingFault::Unplugged);
    case Poll::TimedOut: return Lost(ReadingFault::NoAnswer);
  }
  r.msb = SensorBus::ReadByte(port_, 0);
  if (!Running()) return Outcome::Stopped;
  r.lsb = SensorBus::ReadByte(port_, 0);
  if (!Running()) return Outcome::Stopped;
  std::uint64_t failedAtLastBit = 0;
  r.check = SensorBus::ReadByte(port_, 1, &failedAtLastBit);
  if (!Running()) return Outcome::Stopped;
  if (failedAtLastBit != failedBefore) return Lost(ReadingFault::Unplugged);
  if (SensorBus::CheckReading(port_, command, r.msb, r.lsb, r.check)) {
    ++cycle_.goodChecks;
    return Outcome::Good;
  }
  store_.CountBadCheck();
  Note(ReadingFault::BadCheck);
  return Outcome::BadCheck;
}

void Measurement::Run(Event& wake, Event& firstReading) {
  SoftReset();
  while (Running()) {
    if (autoRead_.load() != 0) {
      MeasureTemperature();
      if (autoRead_.load() != 0) MeasureHumidity();
      if (FinishCycle()) firstReading.Set();
    }
    // Stopping raises wake, so the loop ends without sitting out the pause.
    if (Running()) wake.WaitMs(kCyclePauseMs);
  }
}

void Measurement::SoftReset() {
  SensorBus::TransmissionStart(port_);
  SensorBus::WriteByte(port_, kCmdSoftReset);
  SleepMs(kSoftResetWaitMs);
}

Measurement::Poll Measurement::ReadyPoll() {
  const std::int64_t start = SteadyMs();
  bool dataHigh = true;
  unsigned polls = 0;
  do {
    if (!Running()) return Poll::Stopped;
    if (polls == kReadyPollLimit || SteadyMs() - start >= kReadyTimeoutMs) return Poll::TimedOut;
    ++polls;
    // Straight into the shadow: later pin changes start from these levels.
    UCHAR pins = port_.pinShadow.load();
    // A failed read says nothing about the line (a gone bridge reads 0xFF).
    if (port_.device.FT_GetBitMode(&pins) != kFtOk) return Poll::Failed;
    port_.pinShadow.store(pins);
    dataHigh = (pins >> SensorBus::kDataPin) & 1u;
    SleepMs(kReadyPollMs);
  } while (dataHigh);
  return Poll::Ready;
}

bool Measurement::MeasureTemperature() {
  const std::uint64_t failedBefore = port_.device.FailedCalls();
  SensorBus::TransmissionStart(port_);
  SensorBus::WriteByte(port_, kCmdMeasureTemperature);
  RawReading r;
  const Outcome outcome = ReadResult(failedBefore, kCmdMeasureTemperature, r);
  if (outcome == Outcome::Stopped || outcome == Outcome::Lost) return false;
  // Kept even when the check failed; the count tells.
  cycle_.temperature = RawToCelsius(r.Raw());
  cycle_.temperatureStored = true;
  return true;
}

bool Measurement::MeasureHumidity() {
  const std::uint64_t failedBefore = port_.device.FailedCalls();
  SensorBus::TransmissionStart(port_);
  if (!Running()) return false;
  SensorBus::WriteByte(port_, kCmdMeasureHumidity);
  RawReading r;
  const Outcome outcome = ReadResult(failedBefore, kCmdMeasureHumidity, r);
  if (outcome == Outcome::Stopped || outcome == Outcome::Lost) return false;
  const double t = cycle_.temperatureStored ? cycle_.temperature : store_.Read().temperature;
  cycle_.relativeHumidity = RelativeHumidity(r.Raw(), t);
  cycle_.dewPoint = DewPoint(t, cycle_.relativeHumidity);
  cycle_.humidityStored = true;
  return true;
}

bool Measurement::FinishCycle() {
  const CycleResult done = cycle_;
  cycle_ = CycleResult{};
  const bool whole = done.temperatureStored && done.humidityStored;
  // A cycle cut short by a stop (or by auto-read going off) before anything
  // went wrong says nothing about the module.
  if (whole || done.fault != ReadingFault::None) store_.Publish(done);
  return whole;
}

}  // namespace km7
