#include "acquisition/ReadingStore.h"

#include "acquisition/Measurement.h"

namespace km7 {

const char* ReadingFaultName(ReadingFault fault) {
  switch (fault) {
    case ReadingFault::None: return "none";
    case ReadingFault::Unplugged: return "unplugged";
    case ReadingFault::NoAnswer: return "no answer";
    case ReadingFault::BadCheck: return "CRC failure";
  }
  return "none";
}

const char* ReadingFaultText(ReadingFault fault) {
  switch (fault) {
    case ReadingFault::None: return "The last reading was good.";
    case ReadingFault::Unplugged:
      return "The module did not answer on USB: it was unplugged or is no longer open.";
    case ReadingFault::NoAnswer:
      return "The module is there, but its sensor did not answer.";
    case ReadingFault::BadCheck:
      return "The sensor answered, but the check byte of its reading was wrong (CRC failure).";
  }
  return "";
}

namespace {
bool Fresh(std::int64_t lastGood) {
  return lastGood != ReadingStore::kNoGoodReading && SteadyMs() - lastGood <= kStaleAfterMs;
}
}  // namespace

Reading ReadingStore::Read() const {
  std::lock_guard lock(mutex_);
  Reading r = reading_;
  r.current = Fresh(health_.lastGoodSteadyMs);
  return r;
}

AcquisitionHealth ReadingStore::Health() const {
  std::lock_guard lock(mutex_);
  AcquisitionHealth h = health_;
  h.current = Fresh(h.lastGoodSteadyMs);
  return h;
}

void ReadingStore::Publish(const CycleResult& cycle) {
  std::lock_guard lock(mutex_);
  const bool whole = cycle.temperatureStored && cycle.humidityStored;
  if (whole) {
    reading_.temperature = cycle.temperature;
    reading_.relativeHumidity = cycle.relativeHumidity;
    reading_.dewPoint = cycle.dewPoint;
    if (cycle.goodChecks > 0) {
      health_.lastGoodSteadyMs = SteadyMs();
      health_.lastGoodWallMs = WallMs();
    }
  }
  health_.lastFault = cycle.fault;
  if (whole && cycle.fault == ReadingFault::None) {
    ++health_.goodReadings;
  } else {
    ++health_.failedReadings;
  }
}

void ReadingStore::CountLostMeasurement() {
  std::lock_guard lock(mutex_);
  ++reading_.crcErrorCount;
  ++reading_.lostMeasurementCount;
}

void ReadingStore::CountBadCheck() {
  std::lock_guard lock(mutex_);
  ++reading_.crcErrorCount;
  ++reading_.crcFailureCount;
  ++health_.crcErrors;
}

void ReadingStore::MarkStopped() {
  std::lock_guard lock(mutex_);
  health_.lastGoodSteadyMs = kNoGoodReading;
}

void ReadingStore::Put(const Reading& reading, std::int64_t lastGoodSteadyMs) {
  std::lock_guard lock(mutex_);
  reading_ = reading;
  health_.lastGoodSteadyMs = lastGoodSteadyMs;
}

void ReadingStore::SetLastGoodSteadyMs(std::int64_t ms) {
  std::lock_guard lock(mutex_);
  health_.lastGoodSteadyMs = ms;
}

}  // namespace km7
