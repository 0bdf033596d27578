#include "Simulator.h"

namespace km7sim {
namespace {

constexpr uint8_t kModeReset = 0;
constexpr uint8_t kModeAsyncBitbang = 1;
constexpr uint8_t kClockBit = 0x01;
constexpr uint8_t kDataBit = 0x02;

}  // namespace

bool Simulator::MasterClock(const Module& m) {
  // Undriven, the clock input of the sensor sits low.
  return m.bitbang && (m.mask & kClockBit) ? (m.latch & kClockBit) != 0 : false;
}

bool Simulator::MasterData(const Module& m) {
  // Undriven, the pull-up holds the data line high.
  return m.bitbang && (m.mask & kDataBit) ? (m.latch & kDataBit) != 0 : true;
}

void Simulator::ResetPort(Module& m) {
  m.bitbang = false;
  m.mask = 0;
  m.latch = 0;
  m.clockSeen = MasterClock(m);
  m.dataSeen = MasterData(m);
  m.sensor->ResetInterface(m.clockSeen, m.dataSeen);
}

// Hands the sensor the line changes since the last look. When clock and data
// change together the data is taken to change while the clock is low: before
// a rising clock edge, after a falling one.
void Simulator::Settle(Module& m) {
  const auto now = Sensor::Clock::now();
  const bool clock = MasterClock(m);
  const bool data = MasterData(m);
  const bool dataChanged = data != m.dataSeen;
  if (clock != m.clockSeen) {
    if (clock) {
      if (dataChanged) m.sensor->DataChanged(data, now);
      m.sensor->ClockChanged(true, now);
    } else {
      m.sensor->ClockChanged(false, now);
      if (dataChanged) m.sensor->DataChanged(data, now);
    }
  } else if (dataChanged) {
    m.sensor->DataChanged(data, now);
  }
  m.clockSeen = clock;
  m.dataSeen = data;
  if (m.config.unplugAfter != 0 && m.sensor->completedReadings() >= m.config.unplugAfter) {
    m.gone = true;
  }
}

uint8_t Simulator::Pins(Module& m) {
  uint8_t pins = 0;
  for (int bit = 2; bit < 8; ++bit) {
    const uint8_t b = static_cast<uint8_t>(1u << bit);
    // Inputs read high through their pull-ups.
    const bool level = m.bitbang && (m.mask & b) ? (m.latch & b) != 0 : true;
    if (level) pins |= b;
  }
  if (MasterClock(m)) pins |= kClockBit;
  // With no sensor behind the bridge nothing ever pulls the data line low.
  if (MasterData(m) && !(m.config.sensorPresent && m.sensor->PullsDataLow(Sensor::Clock::now())))
    pins |= kDataBit;
  return pins;
}

Status Simulator::SetBitMode(void* handle, uint8_t mask, uint8_t mode) {
  return OnHandle(handle, [&](Module* m, Handle*) -> Status {
    if (mode == kModeReset) {
      m->bitbang = false;
      m->mask = 0;
    } else if (mode == kModeAsyncBitbang) {
      if (m->config.bitbangFails) return KM7SIM_IO_ERROR;
      m->bitbang = true;
      m->mask = mask;
    } else {
      return KM7SIM_INVALID_PARAMETER;
    }
    Settle(*m);
    return KM7SIM_OK;
  });
}

Status Simulator::GetBitMode(void* handle, uint8_t* pins) {
  const Status s = OnHandle(handle, [&](Module* m, Handle*) -> Status {
    if (pins == nullptr) return KM7SIM_INVALID_PARAMETER;
    *pins = Pins(*m);
    return KM7SIM_OK;
  });
  // A bridge that is gone answers with all levels high, as a real one's
  // failed read does.
  if (s == KM7SIM_IO_ERROR && pins != nullptr) *pins = 0xFF;
  return s;
}

Status Simulator::Write(void* handle, const void* buffer, uint32_t length, uint32_t* written) {
  return OnHandle(handle, [&](Module* m, Handle*) -> Status {
    if (buffer == nullptr && length != 0) return KM7SIM_INVALID_PARAMETER;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    uint32_t done = 0;
    if (m->bitbang) {
      // Each byte is one state of the output pins, applied in turn.
      while (done < length && !m->gone) {
        m->latch = bytes[done++];
        Settle(*m);
      }
    } else {
      done = length;  // no serial side to this module: the bytes go nowhere
    }
    if (written != nullptr) *written = done;
    return KM7SIM_OK;
  });
}

Status Simulator::Read(void* handle, void* buffer, uint32_t length, uint32_t* got) {
  return OnHandle(handle, [&](Module*, Handle*) -> Status {
    if ((buffer == nullptr && length != 0) || got == nullptr) return KM7SIM_INVALID_PARAMETER;
    *got = 0;  // nothing ever arrives
    return KM7SIM_OK;
  });
}

}  // namespace km7sim
