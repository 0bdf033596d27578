#pragma once
// How the settings store tells the user that settings cannot be read or
// saved: through a reporter that the application installs at start-up. The
// store knows nothing of windows.
#include <functional>
#include <string>

namespace km7::settings {

// Text is Windows-1252 bytes: a warning for the user.
using ProblemReporter = std::function<void(const std::string& text)>;

// Installs the reporter (nullptr: problems go unreported).
void SetProblemReporter(ProblemReporter reporter);

// Hands the text to the installed reporter, if any.
void ReportProblem(const std::string& text);

}  // namespace km7::settings
