#include "acquisition/AcquisitionThread.h"

#include <cmath>

#include "acquisition/SensorBus.h"
#include "platform/Clock.h"

SensorSampleValues SensorSample;
std::atomic<int> AcquisitionRunning{0};
std::atomic<int> AutoReadEnabled{0};

namespace km7 {

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

// Steps 3 to 6 of both measurements: wait for the conversion, then the two
// data bytes and the check byte, giving up when the thread is being stopped.
bool ReadResult(D2xxLibrary& lib, RawReading& r) {
  if (!AcquisitionThread::ReadyPoll(lib)) return false;
  r.msb = SensorBus::ReadByte(lib, 0);
  if (!Running()) return false;
  r.lsb = SensorBus::ReadByte(lib, 0);
  if (!Running()) return false;
  r.check = SensorBus::ReadByte(lib, 1);
  return Running();
}

// The check of a reading. A transfer in which a bridge call failed (module
// unplugged, handle not open) counts as a failed check and is not used: its
// bytes are not the sensor's, and storing them would report -40 degrees.
bool CheckAndCount(D2xxLibrary& lib, std::uint64_t failedBefore, std::uint8_t command, const RawReading& r) {
  const bool transferred = lib.FailedCalls() == failedBefore;
  if (!transferred || !SensorBus::CheckReading(command, r.msb, r.lsb, r.check))
    SensorSample.crcErrorCount.fetch_add(1);
  return transferred;
}

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

bool AcquisitionThread::ReadyPoll(D2xxLibrary& lib) {
  bool dataHigh = true;
  do {
    if (!Running()) return false;
    // Straight into the shadow: later pin changes start from these levels.
    UCHAR pins = PinShadow.load();
    lib.FT_GetBitMode(&pins);
    PinShadow.store(pins);
    dataHigh = (pins >> SensorBus::kDataPin) & 1u;
    km7::SleepMs(km7::kReadyPollMs);
  } while (dataHigh);
  return true;
}

bool AcquisitionThread::MeasureTemperature(D2xxLibrary& lib) {
  const std::uint64_t failedBefore = lib.FailedCalls();
  SensorBus::TransmissionStart(lib);
  SensorBus::WriteByte(lib, km7::kCmdMeasureTemperature);
  if (!Running()) return false;
  RawReading r;
  if (!ReadResult(lib, r)) return false;
  if (!CheckAndCount(lib, failedBefore, km7::kCmdMeasureTemperature, r)) return false;
  // Stored even when the check failed; the count tells.
  SensorSample.temperature.store(km7::RawToCelsius(r.Raw()));
  return true;
}

bool AcquisitionThread::MeasureHumidity(D2xxLibrary& lib) {
  const std::uint64_t failedBefore = lib.FailedCalls();
  SensorBus::TransmissionStart(lib);
  if (!Running()) return false;
  SensorBus::WriteByte(lib, km7::kCmdMeasureHumidity);
  if (!Running()) return false;
  RawReading r;
  if (!ReadResult(lib, r)) return false;
  if (!CheckAndCount(lib, failedBefore, km7::kCmdMeasureHumidity, r)) return false;
  const double t = SensorSample.temperature.load();
  const double rh = km7::RelativeHumidity(r.Raw(), t);
  SensorSample.relativeHumidity.store(rh);
  SensorSample.dewPoint.store(km7::DewPoint(t, rh));
  return true;
}
