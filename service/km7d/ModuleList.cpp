#include "km7d/ModuleList.h"

#include <algorithm>
#include <array>

#include "acquisition/D2xxLibrary.h"

namespace km7d {

namespace {
// 63 modules and the null slot that ends the table for the library.
constexpr unsigned kMaxModules = 63;
constexpr unsigned kDescriptionSize = 64;
}  // namespace

ModuleListing ListModules(const D2xxLibrary& lib) {
  ModuleListing result;
  DWORD count = 0;
  if (lib.FT_ListDevices(&count, nullptr, kFtListNumberOnly) != kFtOk) {
    result.failed = true;
    return result;
  }
  if (count == 0) return result;
  const unsigned slots = std::min<unsigned>(count, kMaxModules);
  std::vector<std::array<char, kDescriptionSize>> storage(slots);
  std::array<char*, kMaxModules + 1> table{};
  for (unsigned i = 0; i < slots; ++i) {
    storage[i].fill('\0');
    table[i] = storage[i].data();
  }
  DWORD listed = 0;
  // A module open elsewhere leaves its slot untouched (empty here).
  if (lib.FT_ListDevices(table.data(), &listed, kFtListAllByDescription) != kFtOk) {
    result.failed = true;
    return result;
  }
  for (unsigned i = 0; i < std::min<unsigned>(listed, slots); ++i) {
    storage[i][kDescriptionSize - 1] = '\0';
    if (storage[i][0] == '\0') {
      ++result.inUseElsewhere;
    } else {
      result.descriptions.emplace_back(storage[i].data());
    }
  }
  return result;
}

}  // namespace km7d
