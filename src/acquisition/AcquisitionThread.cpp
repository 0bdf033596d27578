#include "acquisition/AcquisitionThread.h"

#include <chrono>
#include <cmath>

#include "acquisition/SensorBus.h"
#include "platform/Clock.h"

SensorSampleValues SensorSample;

km7::Reading SensorSampleValues::Read() const {
  const std::int64_t good = lastGoodReadingMs.load();
  km7::Reading r{temperature.load(), relativeHumidity.load(), dewPoint.load(), crcErrorCount.load()};
  r.current = good != kNoGoodReading && km7::SteadyMs() - good <= km7::kStaleAfterMs;
  return r;
}
std::atomic<int> AcquisitionRunning{0};
std::atomic<int> AutoReadEnabled{0};

namespace km7 {

std::int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
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

}  // namespace km7

namespace {

bool Running() { return AcquisitionRunning.load() != 0; }

struct RawReading {
  std::uint8_t msb = 0, lsb = 0, check = 0;
  unsigned Raw() const { return msb * 256u + lsb; }
};

enum class Outcome { Stopped, Lost, Good, BadCheck };

// A measurement that did not reach the sensor, or whose sensor never became
// ready, is a failed reading: counted, and nothing is stored.
Outcome Lost() {
  SensorSample.crcErrorCount.fetch_add(1);
  return Outcome::Lost;
}

// Everything after the command byte of both measurements: wait for the
// conversion, read the two data bytes and the check byte, check them. A
// transfer in which a bridge call failed (module unplugged, handle not open)
// is lost: its bytes are not the sensor's, and storing them would report
// -40 degrees. Calls that fail only after the last bit of the check byte was
// in (its ninth clock, the release of the line) change none of the bytes: that
// reading is whole and kept.
Outcome ReadResult(D2xxLibrary& lib, std::uint64_t failedBefore, std::uint8_t command, RawReading& r) {
  if (!Running()) return Outcome::Stopped;
  // The command never reached the sensor: no conversion to wait for.
  if (lib.FailedCalls() != failedBefore) return Lost();
  switch (AcquisitionThread::ReadyPoll(lib)) {
    case AcquisitionThread::Poll::Ready: break;
    case AcquisitionThread::Poll::Stopped: return Outcome::Stopped;
    case AcquisitionThread::Poll::Failed:
    case AcquisitionThread::Poll::TimedOut: return Lost();
  }
  r.msb = SensorBus::ReadByte(lib, 0);
  if (!Running()) return Outcome::Stopped;
  r.lsb = SensorBus::ReadByte(lib, 0);
  if (!Running()) return Outcome::Stopped;
  std::uint64_t failedAtLastBit = 0;
  r.check = SensorBus::ReadByte(lib, 1, &failedAtLastBit);
  if (!Running()) return Outcome::Stopped;
  if (failedAtLastBit != failedBefore) return Lost();
  if (SensorBus::CheckReading(command, r.msb, r.lsb, r.check)) return Outcome::Good;
  SensorSample.crcErrorCount.fetch_add(1);
  return Outcome::BadCheck;
}

void StampGoodReading() { SensorSample.lastGoodReadingMs.store(km7::SteadyMs()); }

}  // namespace

AcquisitionThread::~AcquisitionThread() {
  if (thread_.joinable()) {
    RequestStop();
    thread_.join();
  }
}

void AcquisitionThread::Start() {
  if (thread_.joinable()) {
    // Never two threads on one bus: end the old one first. AutoReadEnabled
    // stays as the caller set it for the new thread.
    AcquisitionRunning.store(0);
    events_.wake.Set();
    thread_.join();
  }
  events_.wake.Clear();
  events_.firstReading.Clear();
  events_.ended.Clear();
  AcquisitionRunning.store(1);
  thread_ = std::thread([&lib = lib_, &events = events_] { Run(lib, events); });
}

void AcquisitionThread::RequestStop() {
  AutoReadEnabled.store(0);
  AcquisitionRunning.store(0);
  events_.wake.Set();
}

bool AcquisitionThread::Stop(unsigned maxWaitMs) {
  RequestStop();
  // With no thread there is nothing to wait for, and no wait is made.
  const bool ended = !thread_.joinable() || events_.ended.WaitMs(maxWaitMs);
  Join();
  // Nothing measures now: what is held is no longer current.
  SensorSample.lastGoodReadingMs.store(SensorSampleValues::kNoGoodReading);
  return ended;
}

bool AcquisitionThread::WaitForFirstReading(unsigned maxWaitMs) {
  return events_.firstReading.WaitMs(maxWaitMs);
}

void AcquisitionThread::Join() {
  if (thread_.joinable()) thread_.join();
}

int AcquisitionThread::Run(D2xxLibrary& lib) {
  AcquisitionEvents events;
  return Run(lib, events);
}

int AcquisitionThread::Run(D2xxLibrary& lib, AcquisitionEvents& events) {
  SoftReset(lib);
  if (Running()) {
    do {
      if (AutoReadEnabled.load() != 0) {
        const bool temperature = MeasureTemperature(lib);
        if (AutoReadEnabled.load() != 0 && MeasureHumidity(lib) && temperature) events.firstReading.Set();
      }
      // Stopping raises wake, so the loop ends without sitting out the pause.
      if (Running()) events.wake.WaitMs(km7::kCyclePauseMs);
    } while (Running());
  }
  events.ended.Set();
  return 0;
}

void AcquisitionThread::SoftReset(D2xxLibrary& lib) {
  SensorBus::TransmissionStart(lib);
  SensorBus::WriteByte(lib, km7::kCmdSoftReset);
  km7::SleepMs(km7::kSoftResetWaitMs);
}

AcquisitionThread::Poll AcquisitionThread::ReadyPoll(D2xxLibrary& lib) {
  const std::int64_t start = km7::SteadyMs();
  bool dataHigh = true;
  unsigned polls = 0;
  do {
    if (!Running()) return Poll::Stopped;
    if (polls == km7::kReadyPollLimit || km7::SteadyMs() - start >= km7::kReadyTimeoutMs)
      return Poll::TimedOut;
    ++polls;
    // Straight into the shadow: later pin changes start from these levels.
    UCHAR pins = PinShadow.load();
    // A failed read says nothing about the line (a gone bridge reads 0xFF).
    if (lib.FT_GetBitMode(&pins) != kFtOk) return Poll::Failed;
    PinShadow.store(pins);
    dataHigh = (pins >> SensorBus::kDataPin) & 1u;
    km7::SleepMs(km7::kReadyPollMs);
  } while (dataHigh);
  return Poll::Ready;
}

bool AcquisitionThread::MeasureTemperature(D2xxLibrary& lib) {
  const std::uint64_t failedBefore = lib.FailedCalls();
  SensorBus::TransmissionStart(lib);
  SensorBus::WriteByte(lib, km7::kCmdMeasureTemperature);
  RawReading r;
  const Outcome outcome = ReadResult(lib, failedBefore, km7::kCmdMeasureTemperature, r);
  if (outcome == Outcome::Stopped || outcome == Outcome::Lost) return false;
  // Stored even when the check failed; the count tells.
  SensorSample.temperature.store(km7::RawToCelsius(r.Raw()));
  if (outcome == Outcome::Good) StampGoodReading();
  return true;
}

bool AcquisitionThread::MeasureHumidity(D2xxLibrary& lib) {
  const std::uint64_t failedBefore = lib.FailedCalls();
  SensorBus::TransmissionStart(lib);
  if (!Running()) return false;
  SensorBus::WriteByte(lib, km7::kCmdMeasureHumidity);
  RawReading r;
  const Outcome outcome = ReadResult(lib, failedBefore, km7::kCmdMeasureHumidity, r);
  if (outcome == Outcome::Stopped || outcome == Outcome::Lost) return false;
  const double t = SensorSample.temperature.load();
  const double rh = km7::RelativeHumidity(r.Raw(), t);
  SensorSample.relativeHumidity.store(rh);
  SensorSample.dewPoint.store(km7::DewPoint(t, rh));
  if (outcome == Outcome::Good) StampGoodReading();
  return true;
}
