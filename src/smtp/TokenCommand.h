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

// Largest output taken from the command: more on stdout fails (a token
// cut short would only fail later, at the server); stderr is cut there.
inline constexpr size_t kMaxCommandOutput = 64 * 1024;

// Runs argv[0] (looked up in PATH) with the arguments, standard input from
// /dev/null. Once the command has ended, what is left of its process group
// is ended too (a child holding its output is not waited for); a command
// still running after timeoutMs is stopped the same way and reported. A
// token with a control character, a blank or a non-ASCII byte is refused.
CommandOutcome RunTokenCommand(const std::vector<std::string>& argv, uint32_t timeoutMs);

}  // namespace km7::oauth
