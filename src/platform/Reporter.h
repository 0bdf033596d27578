#pragma once
// How the layers below the windows tell the user something (the driver
// binding's warnings, a settings file that cannot be read or saved): through
// one reporter that the application installs at start-up. Those layers know
// nothing of windows, and a reporter must never make the calling thread wait
// on the user-interface thread (the acquisition thread calls it too).
#include <functional>
#include <string>

namespace km7 {

// Text is Windows-1252 bytes: a warning for the user.
using Reporter = std::function<void(const std::string& text)>;

// Installs the reporter (nullptr: reports go nowhere).
void SetReporter(Reporter reporter);

// Hands the text to the installed reporter, if any.
void Report(const std::string& text);

}  // namespace km7
