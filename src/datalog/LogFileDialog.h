#pragma once
// The file dialog of the Logging box: "Select a datafile (.txt)", txt files
// or all files, the offered name, a question before rows are appended to an
// existing file.
#include <functional>
#include <optional>
#include <string>

namespace km7 {

// The chosen path as program text, or nothing when the user cancelled. An
// existing file is taken only after the user agreed that rows are appended
// to it; otherwise the dialog comes again. The dialog starts in the folder of
// `previousPath` (the log chosen before), else in the documents folder.
std::optional<std::string> AskLogFilePath(const std::string& offeredName,
                                          const std::string& previousPath = std::string());

// The folder the dialog starts in (file-system text).
std::string LogFileStartFolder(const std::string& previousPath);
// The question asked before rows are appended to an existing file.
std::string AppendQuestion(const std::string& path);

// Test seam: while set, called instead of showing the dialog.
using LogFileDialogHook = std::function<std::optional<std::string>(const std::string& offeredName)>;
void SetLogFileDialogHook(LogFileDialogHook hook);

}  // namespace km7
