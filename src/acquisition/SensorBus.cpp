#include "acquisition/SensorBus.h"

std::atomic<std::uint8_t> PinShadow{0};
std::atomic<std::uint8_t> CrcRegister{0};

namespace SensorBus {

FT_STATUS SetPin(D2xxLibrary& lib, int level, unsigned pin) {
  std::uint8_t shadow = PinShadow.load();
  if (pin <= 7) {
    const auto bit = static_cast<std::uint8_t>(1u << pin);
    shadow = level != 0 ? static_cast<std::uint8_t>(shadow | bit)
                        : static_cast<std::uint8_t>(shadow & ~bit);
    PinShadow.store(shadow);
  }
  DWORD written = 0;
  return lib.FT_Write(&shadow, 1, &written);
}

FT_STATUS SetDataLine(D2xxLibrary& lib, int level) {
  if (level == 1) return lib.FT_SetBitMode(kDataInput, kFtBitModeAsyncBitBang);
  // Direction first: for that instant the pin outputs bit 1 of the shadow.
  lib.FT_SetBitMode(kAllOutputs, kFtBitModeAsyncBitBang);
  return SetPin(lib, 0, kDataPin);
}

FT_STATUS TransmissionStart(D2xxLibrary& lib) {
  // Data falls while the clock is high and rises in the next high phase.
  SetPin(lib, 1, kClockPin);
  SetDataLine(lib, 0);
  SetPin(lib, 0, kClockPin);
  SetPin(lib, 1, kClockPin);
  SetDataLine(lib, 1);
  return SetPin(lib, 0, kClockPin);
}

FT_STATUS WriteByte(D2xxLibrary& lib, std::uint8_t value) {
  for (int bit = 7; bit >= 0; --bit) {
    SetDataLine(lib, (value >> bit) & 1 ? 1 : 0);
    SetPin(lib, 1, kClockPin);
    SetPin(lib, 0, kClockPin);
  }
  SetDataLine(lib, 1);
  SetPin(lib, 1, kClockPin);
  return SetPin(lib, 0, kClockPin);
}

std::uint8_t ReadByte(D2xxLibrary& lib, int noAck, std::uint64_t* failedCallsAtLastBit) {
  unsigned value = 0;
  for (int bit = 0; bit < 8; ++bit) {
    SetPin(lib, 1, kClockPin);
    UCHAR pins = 0;  // a failed read counts as a low line
    lib.FT_GetBitMode(&pins);
    value = (value << 1) | ((pins >> kDataPin) & 1u);
    if (bit == 7 && failedCallsAtLastBit != nullptr) *failedCallsAtLastBit = lib.FailedCalls();
    SetPin(lib, 0, kClockPin);
  }
  if (noAck == 0) SetDataLine(lib, 0);
  SetPin(lib, 1, kClockPin);
  SetPin(lib, 0, kClockPin);
  SetDataLine(lib, 1);
  return static_cast<std::uint8_t>(value);
}

std::uint8_t CrcUpdate(std::uint8_t b) {
  const std::uint8_t crc = kCrcTable[CrcRegister.load() ^ b];
  CrcRegister.store(crc);
  return crc;
}

std::uint8_t ReverseBits(std::uint8_t b) {
  std::uint8_t r = 0;
  for (int i = 0; i < 8; ++i) r = static_cast<std::uint8_t>(r | (((b >> i) & 1u) << (7 - i)));
  return r;
}

bool CheckReading(std::uint8_t command, std::uint8_t msb, std::uint8_t lsb, std::uint8_t check) {
  CrcRegister.store(0);
  CrcUpdate(command);
  CrcUpdate(msb);
  return CrcUpdate(lsb) == ReverseBits(check);
}

}  // namespace SensorBus
