#pragma once
// The modes of km7d after its options are read: run as a service, --list and
// --once. Each returns the process's exit status.
#include "km7d/Options.h"

namespace km7d {

int RunMode(const LoadResult& loaded);

}  // namespace km7d
