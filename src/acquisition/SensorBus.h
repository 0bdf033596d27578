#pragma once
// The sensor's two-wire bus, bit-banged on the bridge's port: bit 0 is the
// clock, bit 1 the data line. Every pin change is one USB write; the bus has
// no timing of its own.
#include <array>
#include <atomic>
#include <cstdint>

#include <memory>

#include "acquisition/D2xxDevice.h"

namespace km7 {

// One module's end of the bus: its bridge device and what the bit-banging
// keeps of its port. Shared by the owner (opening, idling the bus) and the
// acquisition thread, one at a time.
struct SensorPort {
  explicit SensorPort(std::shared_ptr<const D2xxLibrary> lib) : device(std::move(lib)) {}
  D2xxDevice device;
  // Level last written to the port's output pins; the only source of what the
  // port outputs. The ready poll overwrites it with the levels read back.
  std::atomic<std::uint8_t> pinShadow{0};
  // Running CRC-8 of the reading being checked.
  std::atomic<std::uint8_t> crcRegister{0};
};

}  // namespace km7

namespace SensorBus {

inline constexpr unsigned kClockPin = 0;
inline constexpr unsigned kDataPin = 1;
// Direction masks for FT_SetBitMode (bit set = output).
inline constexpr UCHAR kAllOutputs = 0xFF;
inline constexpr UCHAR kDataInput = 0xFD;

// Operations return the status of their last bridge call (0 = success).

// level != 0 sets the pin's bit of the pin shadow, 0 clears it; then writes the
// whole byte. A pin above 7 changes nothing but the byte is still written.
FT_STATUS SetPin(km7::SensorPort& port, int level, unsigned pin);
// 1 releases the data line (it becomes an input held high by its pull-up);
// anything else drives it low.
FT_STATUS SetDataLine(km7::SensorPort& port, int level);
FT_STATUS TransmissionStart(km7::SensorPort& port);
// Most significant bit first, then a ninth clock whose acknowledge is not read.
FT_STATUS WriteByte(km7::SensorPort& port, std::uint8_t value);
// The data line must be released. noAck == 0 acknowledges the byte. Ends with
// the line released. `failedCallsAtLastBit`, when given, receives the
// device's failed-call count once the eighth bit was sampled: what fails
// after that (acknowledge, ninth clock, release) cannot change the byte.
std::uint8_t ReadByte(km7::SensorPort& port, int noAck, std::uint64_t* failedCallsAtLastBit = nullptr);

// CRC-8, polynomial x^8 + x^5 + x^4 + 1, most significant bit first.
inline constexpr std::array<std::uint8_t, 256> kCrcTable = [] {
  std::array<std::uint8_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80) ? ((crc << 1) ^ 0x31) : (crc << 1);
    table[i] = static_cast<std::uint8_t>(crc);
  }
  return table;
}();

// register = table[register ^ b]; returns the new register.
std::uint8_t CrcUpdate(km7::SensorPort& port, std::uint8_t b);
// The sensor sends its check byte with the bit order reversed.
std::uint8_t ReverseBits(std::uint8_t b);
// Resets the port's CRC register, runs the command and both data bytes through it and
// compares with the bit-reversed check byte.
bool CheckReading(km7::SensorPort& port, std::uint8_t command, std::uint8_t msb, std::uint8_t lsb, std::uint8_t check);

}  // namespace SensorBus
