#pragma once
// The attached modules as the driver library lists them, by description.
#include <string>
#include <vector>

class D2xxLibrary;

namespace km7d {

struct ModuleListing {
  bool failed = false;  // the library refused to count
  // Descriptions in Windows-1252, in the library's order.
  std::vector<std::string> descriptions;
  // Modules counted but not described: another program has them open.
  unsigned inUseElsewhere = 0;
};

ModuleListing ListModules(const D2xxLibrary& lib);

}  // namespace km7d
