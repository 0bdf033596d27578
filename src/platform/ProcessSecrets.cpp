#include "platform/ProcessSecrets.h"

#include <sys/prctl.h>

namespace km7 {

bool KeepSecretsOutOfCoreDumps() {
  // Also makes /proc/PID owned by root, so another process of the user
  // cannot attach to us and read the secrets either.
  return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

}  // namespace km7
