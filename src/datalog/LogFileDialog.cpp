#include "datalog/LogFileDialog.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>

#include "platform/Text.h"

namespace km7 {
namespace {
LogFileDialogHook g_hook;
}

void SetLogFileDialogHook(LogFileDialogHook hook) { g_hook = std::move(hook); }

std::optional<std::string> AskLogFilePath(const std::string& offeredName) {
  if (g_hook) return g_hook(offeredName);
  QFileDialog dialog(QApplication::activeWindow(), QStringLiteral("Select a datafile (.txt)"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);  // asks before an existing file is chosen
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters({QStringLiteral("txt Files (*.txt)"), QStringLiteral("All Files (*.*)")});
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  dialog.setDirectory(QDir::currentPath());
  dialog.selectFile(QString::fromStdString(Cp1252ToUtf8(offeredName)));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return Utf8ToCp1252(dialog.selectedFiles().first().toStdString());
}

}  // namespace km7
