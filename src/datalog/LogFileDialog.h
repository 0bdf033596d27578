#pragma once
// The file dialog of the Logging box: "Select a datafile (.txt)", txt files
// or all files, the offered name, a prompt before choosing an existing file.
#include <functional>
#include <optional>
#include <string>

namespace km7 {

// The chosen path as program text, or nothing when the user cancelled.
std::optional<std::string> AskLogFilePath(const std::string& offeredName);

// Test seam: while set, called instead of showing the dialog.
using LogFileDialogHook = std::function<std::optional<std::string>(const std::string& offeredName)>;
void SetLogFileDialogHook(LogFileDialogHook hook);

}  // namespace km7
