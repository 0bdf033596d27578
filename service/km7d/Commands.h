#pragma once
// km7d --list and km7d --once: each returns the exit status.
#include <memory>

#include "km7d/Options.h"

class D2xxLibrary;

namespace km7d {

// The attached modules, one name per line; a line for those open elsewhere.
int ListModulesCommand(const Options& options, const D2xxLibrary& lib);
// One reading per module (or per --sensor name) as a JSON line: 0 when every
// one was read, 1 when one was not (or no module is attached).
int OnceCommand(const Options& options, std::shared_ptr<const D2xxLibrary> lib);

}  // namespace km7d
