#include "platform/Version.h"

#ifndef KM7_VERSION
#error "KM7_VERSION comes from the build (src/platform/CMakeLists.txt)"
#endif

namespace km7 {

const char* Version() { return KM7_VERSION; }

}  // namespace km7
