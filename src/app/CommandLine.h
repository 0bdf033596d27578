#pragma once
// km7's own command-line options: --help and --version answer and end the
// program before a window opens. Every other argument is Qt's (-platform,
// -style, ...), as before.
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace km7 {

std::string Km7HelpText();

// The exit status when the arguments (without the program name) ask only for
// the help or the version, printed on `out`; nothing when km7 should start.
std::optional<int> AnswerInfoOptions(const std::vector<std::string>& args, std::ostream& out);

}  // namespace km7
