#pragma once
// Listing the attached modules by their description strings.
#include <string>
#include <vector>

#include "acquisition/D2xxLibrary.h"

namespace km7 {

// The description table has 64 slots: at most 63 modules and a null slot,
// which tells the library where the table ends.
inline constexpr unsigned kMaxListedDevices = 63;
inline constexpr unsigned kDescriptionSize = 64;
// What stays in a slot the library cannot describe (a module another program
// has open).
inline constexpr char kCurrentlyActive[] = "Currently Active";

struct DeviceListing {
  enum class Outcome {
    Listed,         // descriptions holds one text per counted module
    CountFailed,    // the count query returned nonzero
    NoneAttached,   // the count query found no module
    NoneAvailable,  // the description query left the count at 0
  };
  Outcome outcome = Outcome::CountFailed;
  unsigned count = 0;  // as the description query left it, at most 63
  std::vector<std::string> descriptions;
};

// Counts the modules, then asks for all their descriptions. Messages are the
// caller's business.
DeviceListing ListDevices(const D2xxLibrary& lib);

}  // namespace km7
