// The configuration memory of a module, and where programmed memories are
// kept so that a new load of the library in the same process finds them.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

namespace km7sim {

struct Eeprom {
  uint16_t vendorId = 0x4B4D;
  uint16_t productId = 0x0007;
  std::string manufacturer = "ORV";
  std::string manufacturerId = "OR";
  std::string description;
  std::string serial;
  std::array<uint8_t, 16> more{};
  std::array<uint8_t, 64> userArea{};
};

using ProgrammedMemories = std::map<std::string, Eeprom>;

// The memories live in the process environment (KM7_SIM_PROGRAMMED), which
// outlasts an unloaded library: loading it again is plugging the modules in
// again, and they must still carry what was programmed.
void KeepProgrammed(const ProgrammedMemories& memories);
ProgrammedMemories RestoreProgrammed();

// The text form kept in the environment; Decode ignores anything malformed.
std::string EncodeProgrammed(const ProgrammedMemories& memories);
ProgrammedMemories DecodeProgrammed(const std::string& text);

}  // namespace km7sim
