#include "Sensor.h"

#include <algorithm>
#include <cmath>

namespace km7sim {
namespace {
constexpr double kPi = 3.14159265358979323846;
// Drift period in readings: slow against the program's two readings a second.
constexpr double kDriftPeriod = 120.0;
constexpr double kMaxHumidityCount = 4095.0;
}  // namespace

uint8_t Crc8(uint8_t crc, uint8_t byte) {
  crc ^= byte;
  for (int i = 0; i < 8; ++i) {
    crc = (crc & 0x80) ? static_cast<uint8_t>((crc << 1) ^ 0x31) : static_cast<uint8_t>(crc << 1);
  }
  return crc;
}

uint8_t ReverseBits(uint8_t b) {
  uint8_t r = 0;
  for (int i = 0; i < 8; ++i) {
    r = static_cast<uint8_t>((r << 1) | ((b >> i) & 1));
  }
  return r;
}

uint16_t RawTemperature(double celsius) {
  const double raw = std::round((celsius + 40.0) / 0.01);
  return static_cast<uint16_t>(std::clamp(raw, 0.0, 65535.0));
}

// Solves RH = -2.8e-6*SO^2 + 0.0405*SO - 4 + (0.00008*SO + 0.01)*(T - 25) for SO.
uint16_t RawHumidity(double percent, double celsius) {
  const double a = -2.8e-6;
  const double b = 0.0405 + 0.00008 * (celsius - 25.0);
  const double c = -4.0 + 0.01 * (celsius - 25.0) - percent;
  const double disc = b * b - 4.0 * a * c;
  if (disc < 0) return static_cast<uint16_t>(kMaxHumidityCount);  // above the curve's peak
  const double root = std::sqrt(disc);
  // a < 0: (-b + root) / 2a is the lower root, on the rising part of the curve.
  double so = (-b + root) / (2.0 * a);
  if (so < 0.0 || so > kMaxHumidityCount) {
    const double other = (-b - root) / (2.0 * a);
    if (other >= 0.0 && other <= kMaxHumidityCount) so = other;
  }
  return static_cast<uint16_t>(std::clamp(std::round(so), 0.0, kMaxHumidityCount));
}

Sensor::Sensor(const ModuleConfig& config) : config_(config) {}

void Sensor::ResetInterface(bool clock, bool data) {
  phase_ = Phase::Idle;
  clock_ = clock;
  data_ = data;
  pull_ = false;
  startStep_ = 0;
  bits_ = 0;
  command_ = 0;
}

void Sensor::Advance(Clock::time_point now) {
  if (phase_ == Phase::Resetting && now >= deadline_) {
    phase_ = Phase::Idle;
    startStep_ = 0;
  } else if (phase_ == Phase::Converting && now >= deadline_) {
    phase_ = Phase::Ready;
    pull_ = true;  // conversion done
  }
}

bool Sensor::PullsDataLow(Clock::time_point now) {
  Advance(now);
  return pull_;
}

void Sensor::ClockChanged(bool high, Clock::time_point now) {
  Advance(now);
  clock_ = high;
  switch (phase_) {
    case Phase::Idle:
      // Start: data falls (clock high), clock low, clock high, data rises, clock low.
      if (high) {
        startStep_ = startStep_ == 2 ? 3 : 0;
      } else if (startStep_ == 1) {
        startStep_ = 2;
      } else if (startStep_ == 4) {
        phase_ = Phase::Command;
        startStep_ = 0;
        bits_ = 0;
        command_ = 0;
      } else {
        startStep_ = 0;
      }
      break;
    case Phase::Command:
      if (high) {
        command_ = static_cast<uint8_t>((command_ << 1) | (data_ ? 1 : 0));
        ++bits_;
      } else if (bits_ == 8) {
        if (command_ == kCmdTemperature || command_ == kCmdHumidity || command_ == kCmdSoftReset) {
          pull_ = true;  // acknowledge during the ninth clock
          ackClockHigh_ = false;
          phase_ = Phase::CommandAck;
        } else {
          phase_ = Phase::Idle;  // unknown command: no acknowledge
          startStep_ = 0;
        }
      }
      break;
    case Phase::CommandAck:
      if (high) {
        ackClockHigh_ = true;
      } else if (ackClockHigh_) {
        pull_ = false;
        BeginConversion(now);
      }
      break;
    case Phase::Resetting:
    case Phase::Converting:
      break;  // busy: the bus is ignored
    case Phase::Ready:
      if (high) {
        phase_ = Phase::Readout;
        byte_ = 0;
        bits_ = 0;
        pull_ = !(out_[0] & 0x80);
      }
      break;
    case Phase::Readout:
      if (high) {
        if (bits_ < 8) {
          pull_ = !((out_[byte_] >> (7 - bits_)) & 1);
        } else {
          masterAck_ = !data_;
        }
      } else if (bits_ < 8) {
        if (++bits_ == 8) pull_ = false;  // let the master acknowledge
      } else if (masterAck_ && byte_ < 2) {
        ++byte_;
        bits_ = 0;
      } else {
        EndTransfer();
      }
      break;
  }
}

void Sensor::DataChanged(bool high, Clock::time_point now) {
  Advance(now);
  data_ = high;
  if (!clock_) {
    // Data moving while the clock is low is ordinary bit setup.
    if (phase_ == Phase::Idle) startStep_ = 0;
    return;
  }
  if (!high) {
    // The master never moves data while the clock is high except to begin a
    // transmission start, so this abandons whatever was going on: a master
    // that gave up in the middle of a reading can always start over. Only a
    // soft reset in progress is not interrupted.
    if (phase_ == Phase::Resetting) return;
    phase_ = Phase::Idle;
    pull_ = false;
    startStep_ = 1;
  } else if (phase_ == Phase::Idle) {
    startStep_ = startStep_ == 3 ? 4 : 0;
  } else if (phase_ == Phase::Command) {
    phase_ = Phase::Idle;  // not a valid bit: wait for the next start
    startStep_ = 0;
  }
}

void Sensor::BeginConversion(Clock::time_point now) {
  if (command_ == kCmdSoftReset) {
    phase_ = Phase::Resetting;
    deadline_ = now + std::chrono::milliseconds(config_.resetMs);
    return;
  }
  const uint64_t index = ++started_;
  uint16_t raw = 0;
  unsigned ms = 0;
  if (command_ == kCmdTemperature) {
    raw = config_.rawTemperature ? *config_.rawTemperature : RawTemperature(CurrentTemperature());
    ms = config_.temperatureMs;
  } else {
    raw = config_.rawHumidity ? *config_.rawHumidity
                              : RawHumidity(CurrentHumidity(), CurrentTemperature());
    ms = config_.humidityMs;
  }
  out_[0] = static_cast<uint8_t>(raw >> 8);
  out_[1] = static_cast<uint8_t>(raw & 0xFF);
  const uint8_t crc = Crc8(Crc8(Crc8(0, command_), out_[0]), out_[1]);
  out_[2] = ReverseBits(crc);
  if (config_.corruptCrcEvery != 0 && index % config_.corruptCrcEvery == 0) out_[2] ^= 0xFF;
  phase_ = Phase::Converting;
  deadline_ = now + std::chrono::milliseconds(ms);
}

void Sensor::EndTransfer() {
  // The reading counts once both data bytes went out, with or without the check byte.
  if (byte_ >= 1) ++completed_;
  phase_ = Phase::Idle;
  pull_ = false;
  startStep_ = 0;
  bits_ = 0;
}

double Sensor::DriftFactor() const {
  return std::sin(2.0 * kPi * static_cast<double>(started_) / kDriftPeriod);
}

double Sensor::CurrentTemperature() const {
  if (config_.rawTemperature) return *config_.rawTemperature * 0.01 - 40.0;
  return config_.temperature + config_.drift * DriftFactor();
}

double Sensor::CurrentHumidity() const { return config_.humidity + config_.drift * DriftFactor(); }

}  // namespace km7sim
