// The humidity/temperature sensor chip behind the bridge, at the pin level.
// It sees the levels the master drives on the clock and data lines and answers
// by pulling the data line low (open drain, the line has a pull-up).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "Config.h"

namespace km7sim {

// CRC-8, polynomial 0x31, MSB first, not reflected, register starting at `crc`.
uint8_t Crc8(uint8_t crc, uint8_t byte);
uint8_t ReverseBits(uint8_t b);

// Physical values to the sensor's raw counts (inverse of the program's conversions).
uint16_t RawTemperature(double celsius);
uint16_t RawHumidity(double percent, double celsius);

enum : uint8_t {
  kCmdTemperature = 0x03,
  kCmdHumidity = 0x05,
  kCmdSoftReset = 0x1E,
};

class Sensor {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Sensor(const ModuleConfig& config);

  // Takes the values and faults of a re-read configuration; a reading in
  // progress goes on.
  void Reconfigure(const ModuleConfig& config) { config_ = config; }

  // Power-on state of the interface; `clock`/`data` are the master's levels now.
  void ResetInterface(bool clock, bool data);

  // One master-side line change each. Data changes are only meaningful to the
  // sensor in relation to the clock, so the caller orders simultaneous changes.
  void ClockChanged(bool high, Clock::time_point now);
  void DataChanged(bool high, Clock::time_point now);

  // True while the sensor pulls the data line low.
  bool PullsDataLow(Clock::time_point now);

  uint64_t completedReadings() const { return completed_; }
  uint64_t startedReadings() const { return started_; }

 private:
  enum class Phase { Idle, Command, CommandAck, Resetting, Converting, Ready, Readout };

  void Advance(Clock::time_point now);
  void BeginConversion(Clock::time_point now);
  void EndTransfer();
  double CurrentTemperature() const;
  double CurrentHumidity() const;
  double DriftFactor() const;

  ModuleConfig config_;
  Phase phase_ = Phase::Idle;
  bool clock_ = false;   // master's clock level as last seen
  bool data_ = true;     // master's data level as last seen
  bool pull_ = false;    // sensor pulls data low
  int startStep_ = 0;    // progress through the transmission start
  int bits_ = 0;         // command bits clocked in, or bit of the byte being shifted out
  uint8_t command_ = 0;
  bool ackClockHigh_ = false;
  Clock::time_point deadline_{};
  std::array<uint8_t, 3> out_{};  // MSB, LSB, check byte
  int byte_ = 0;
  bool masterAck_ = false;
  uint64_t started_ = 0;    // measurement commands accepted
  uint64_t completed_ = 0;  // readings shifted out completely
};

}  // namespace km7sim
