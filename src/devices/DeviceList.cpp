#include "devices/DeviceList.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace km7 {

DeviceListing ListDevices(const D2xxLibrary& lib) {
  DeviceListing result;
  DWORD count = 0;
  if (lib.FT_ListDevices(&count, nullptr, kFtListNumberOnly) != kFtOk) {
    result.outcome = DeviceListing::Outcome::CountFailed;
    return result;
  }
  if (count == 0) {
    result.outcome = DeviceListing::Outcome::NoneAttached;
    return result;
  }
  const unsigned buffers = std::min<unsigned>(count, kMaxListedDevices);
  std::vector<std::array<char, kDescriptionSize>> storage(buffers);
  std::array<char*, kMaxListedDevices + 1> table{};
  for (unsigned i = 0; i < buffers; ++i) {
    std::memset(storage[i].data(), 0, kDescriptionSize);
    std::strcpy(storage[i].data(), kCurrentlyActive);
    table[i] = storage[i].data();
  }
  // Status not examined: a module the library cannot describe keeps its
  // "Currently Active".
  lib.FT_ListDevices(table.data(), &count, kFtListAllByDescription);
  if (count == 0) {
    result.outcome = DeviceListing::Outcome::NoneAvailable;
    return result;
  }
  result.outcome = DeviceListing::Outcome::Listed;
  result.count = std::min<unsigned>(count, buffers);
  for (unsigned i = 0; i < result.count; ++i) {
    storage[i][kDescriptionSize - 1] = '\0';  // a library that filled the buffer
    result.descriptions.emplace_back(storage[i].data());
  }
  return result;
}

}  // namespace km7
