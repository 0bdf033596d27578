#include "acquisition/SensorBus.h"

namespace SensorBus {

FT_STATUS SetPin(km7::SensorPort& port, int level, unsigned pin) {
  std::uint8_t shadow = port.pinShadow.load();
  if (pin <= 7) {
    const auto bit = static_cast<std::uint8_t>(1u << pin);
    shadow = level != 0 ? static_cast<std::uint8_t>(shadow | bit)
                        : static_cast<std::uint8_t>(shadow & ~bit);
    port.pinShadow.store(shadow);
  }
  DWORD written = 0;
  return port.device.FT_Write(&shadow, 1, &written);
}

FT_STATUS SetDataLine(km7::SensorPort& port, int level) {
  if (level == 1) return port.device.FT_SetBitMode(kDataInput, kFtBitModeAsyncBitBang);
  // Direction first: for that instant the pin outputs bit 1 of the shadow.
  port.device.FT_SetBitMode(kAllOutputs, kFtBitModeAsyncBitBang);
  return SetPin(port, 0, kDataPin);
}

FT_STATUS TransmissionStart(km7::SensorPort& port) {
  // Data falls while the clock is high and rises in the next high phase.
  SetPin(port, 1, kClockPin);
  SetDataLine(port, 0);
  SetPin(port, 0, kClockPin);
  SetPin(port, 1, kClockPin);
  SetDataLine(port, 1);
  return SetPin(port, 0, kClockPin);
}

FT_STATUS WriteByte(km7::SensorPort& port, std::uint8_t value) {
  for (int bit = 7; bit >= 0; --bit) {
    SetDataLine(port, (value >> bit) & 1 ? 1 : 0);
    SetPin(port, 1, kClockPin);
    SetPin(port, 0, kClockPin);
  }
  SetDataLine(port, 1);
  SetPin(port, 1, kClockPin);
  return SetPin(port, 0, kClockPin);
}

std::uint8_t ReadByte(km7::SensorPort& port, int noAck, std::uint64_t* failedCallsAtLastBit) {
  unsigned value = 0;
  for (int bit = 0; bit < 8; ++bit) {
    SetPin(port, 1, kClockPin);
    UCHAR pins = 0;  // a failed read counts as a low line
    port.device.FT_GetBitMode(&pins);
    value = (value << 1) | ((pins >> kDataPin) & 1u);
    if (bit == 7 && failedCallsAtLastBit != nullptr) *failedCallsAtLastBit = port.device.FailedCalls();
    SetPin(port, 0, kClockPin);
  }
  if (noAck == 0) SetDataLine(port, 0);
  SetPin(port, 1, kClockPin);
  SetPin(port, 0, kClockPin);
  SetDataLine(port, 1);
  return static_cast<std::uint8_t>(value);
}

std::uint8_t CrcUpdate(km7::SensorPort& port, std::uint8_t b) {
  const std::uint8_t crc = kCrcTable[port.crcRegister.load() ^ b];
  port.crcRegister.store(crc);
  return crc;
}

std::uint8_t ReverseBits(std::uint8_t b) {
  std::uint8_t r = 0;
  for (int i = 0; i < 8; ++i) r = static_cast<std::uint8_t>(r | (((b >> i) & 1u) << (7 - i)));
  return r;
}

bool CheckReading(km7::SensorPort& port, std::uint8_t command, std::uint8_t msb, std::uint8_t lsb, std::uint8_t check) {
  port.crcRegister.store(0);
  CrcUpdate(port, command);
  CrcUpdate(port, msb);
  return CrcUpdate(port, lsb) == ReverseBits(check);
}

}  // namespace SensorBus
