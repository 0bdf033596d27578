#pragma once
// km7d account: the service's own mail account of a sensor, kept in its state
// folder and sealed under that folder's key, so that a service running as
// its own user can log in without the desktop user's key.
#include <iosfwd>
#include <string>

#include "km7d/Options.h"

namespace km7d {

// km7d's state folder: `given` (--state-dir) when set, else the first
// folder of $STATE_DIRECTORY (set by systemd for StateDirectory=), else
// $XDG_STATE_HOME/km7 (~/.local/state/km7). "" when none can be found.
std::string StateFolder(const std::string& given);

// "km7d account set SENSOR --user NAME [--state-dir DIR]" (the password from
// the terminal without echo, else the first line of standard input),
// "km7d account sign-in SENSOR --user ADDRESS ..." (OAuth 2.0, see
// AccountSignIn.h) and "km7d account remove SENSOR [--state-dir DIR]",
// which drops either kind. `argv` holds what follows
// "account". Returns the exit status; messages go to `out` and `err`.
int AccountCommand(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err);

// Before km7d runs: its messages name km7d and its manual page, the
// accounts of its state folder are used, and a missing settings file is
// said in one line.
void PrepareService(const Options& options, std::ostream& err);

}  // namespace km7d
