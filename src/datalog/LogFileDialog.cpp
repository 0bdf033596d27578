#include "datalog/LogFileDialog.h"

#include <sys/stat.h>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>

#include "platform/Text.h"
#include "ui/MessageBox.h"

namespace km7 {
namespace {
LogFileDialogHook g_hook;

bool IsRegularFile(const std::string& cp1252Path) {
  struct stat st {};
  return stat(Cp1252ToUtf8(cp1252Path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::string> ShowDialog(const std::string& offeredName, const std::string& previousPath) {
  QFileDialog dialog(QApplication::activeWindow(), QStringLiteral("Select a datafile (.txt)"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  // Our own question follows: rows are appended, nothing is replaced.
  dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters({QStringLiteral("txt Files (*.txt)"), QStringLiteral("All Files (*.*)")});
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  dialog.setDirectory(QString::fromStdString(LogFileStartFolder(previousPath)));
  dialog.selectFile(QString::fromStdString(Cp1252ToUtf8(offeredName)));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return Utf8ToCp1252(dialog.selectedFiles().first().toStdString());
}

}  // namespace

void SetLogFileDialogHook(LogFileDialogHook hook) { g_hook = std::move(hook); }

std::string LogFileStartFolder(const std::string& previousPath) {
  if (!previousPath.empty()) {
    const QFileInfo previous(QString::fromStdString(Cp1252ToUtf8(previousPath)));
    if (previous.isAbsolute() && previous.dir().exists()) return previous.dir().absolutePath().toStdString();
  }
  // Never the current folder: under the start script that is the source tree.
  const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (!documents.isEmpty() && QDir(documents).exists()) return documents.toStdString();
  return QDir::homePath().toStdString();
}

std::string AppendQuestion(const std::string& path) {
  return path + " already exists. New rows will be appended to it; nothing in it is replaced. "
                "Do you want to log to this file?";
}

std::optional<std::string> AskLogFilePath(const std::string& offeredName, const std::string& previousPath) {
  for (;;) {
    std::optional<std::string> chosen = g_hook ? g_hook(offeredName) : ShowDialog(offeredName, previousPath);
    if (!chosen) return std::nullopt;
    if (!IsRegularFile(*chosen) || ui::AskYesNo(AppendQuestion(*chosen))) return chosen;
  }
}

}  // namespace km7
