#pragma once
// An access token printed by a command of the user's (a helper of their own,
// as other mail programs use): run without a shell, bounded in time.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace km7::oauth {

// Splits a command line into words as a shell would for simple cases:
// blanks separate words, '...' and "..." quote, a backslash escapes the next
// character (outside single quotes). No expansion of any kind. False with a
// reason for an unfinished quote or an empty line.
bool SplitCommandLine(std::string_view line, std::vector<std::string>& words, std::string& error);

struct CommandOutcome {
  bool ok = false;
  std::string token;  // the first line of its output, blanks trimmed
  std::string error;  // why not, with the command's stderr when it said something
};

// Largest output taken from the command (stdout and stderr each).
inline constexpr size_t kMaxCommandOutput = 64 * 1024;

// Runs argv[0] (looked up in PATH) with the arguments, standard input from
// /dev/null. A command still running after timeoutMs is stopped (its whole
// process group) and reported.
CommandOutcome RunTokenCommand(const std::vector<std::string>& argv, uint32_t timeoutMs);

}  // namespace km7::oauth
