#include "datalog/DataLog.h"

#include <cstdio>

#include "settings/ProfileStore.h"
#include "datalog/LogFileDialog.h"
#include "datalog/SkipReadingsDlg.h"
#include "platform/Clock.h"
#include "platform/Text.h"
#include "platform/TextFileWriter.h"
#include "ui/MessageBox.h"

namespace km7 {
namespace {

std::string WithPath(const char* format, const std::string& path) {
  // The path is an argument, never part of the format.
  const int n = std::snprintf(nullptr, 0, format, path.c_str());
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  std::snprintf(out.data(), out.size() + 1, format, path.c_str());
  return out;
}

constexpr char kCouldNotOpen[] = "The log file %s could not be opened.";
constexpr char kCouldNotOpenAtStart[] =
    "The log file %s could not be opened.  Make sure a ORV-KM7 device is attached.";

}  // namespace

DataLog::DataLog() : store_(&ProfileStore::Instance()) {}

bool DataLog::AppendToFile(const std::string& path, const std::string& text) {
  return AppendTextFile(Cp1252ToUtf8(path), text);
}

bool DataLog::AppendLogRowIfDue(DataLogHost& host) {
  if (!host.LoggingOn()) return true;
  const std::time_t now = NowSeconds();
  const auto t = static_cast<std::uint32_t>(now);
  if (t <= lastLogSecond) return true;
  ++logTickCount;
  lastLogSecond = t;
  // 64-bit: an interval of INT32_MIN must not overflow.
  if (static_cast<std::int64_t>(logTickCount) <= static_cast<std::int64_t>(loggingInterval) - 1)
    return true;
  logTickCount = 0;
  if (AppendToFile(logFilePath, LogRow(now, host.CurrentValues()))) {
    failedRows_ = 0;
    inFailureRun_ = false;
    return true;
  }
  ++failedRows_;
  // One message per run of failures: the timer keeps ticking while the box is
  // up, and every due row would otherwise stack another box on top.
  if (!inFailureRun_) {
    inFailureRun_ = true;
    ui::ShowMessage(WithPath(kCouldNotOpen, logFilePath), ui::MessageIcon::Warning);
    host.StartDisplayTimer();
  }
  return false;
}

bool DataLog::CloseFiles() {
  return !logFilePath.empty() && SyncFile(Cp1252ToUtf8(logFilePath));
}

int DataLog::RestartLoggingAtStartup(DataLogHost& host) {
  host.SaveControls();
  host.StopDisplayTimer();
  if (host.LoggingOn()) {
    ProfileStore& store = *store_;
    const std::string name = host.SettingsName();
    logFilePath = store.ReadText(profile::LogFilePath, name);
    if (!AppendToFile(logFilePath, LogHeaderLine())) {
      inFailureRun_ = true;
      ui::ShowMessage(WithPath(kCouldNotOpenAtStart, logFilePath), ui::MessageIcon::Warning);
      host.StartDisplayTimer();
      return -1;
    }
    loggingInterval = store.ReadInt(profile::LoggingInterval, name);
  }
  host.StartDisplayTimer();
  return 0;
}

void DataLog::OnLoggingClicked(DataLogHost& host) {
  host.SaveControls();
  host.StopDisplayTimer();
  ProfileStore& store = *store_;
  if (!host.LoggingOn()) {
    store.WriteInt(profile::Logging, profile::kFixedSuffix, 0);
    host.StartDisplayTimer();
    return;
  }

  const std::string offered = DefaultLogFileName(host.NameText(), NowSeconds());
  const std::optional<std::string> chosen = AskLogFilePath(offered, logFilePath);
  if (!chosen) {
    host.SetLoggingOn(false);
    host.LoadControls();
    ui::ShowMessage("No datafile selected, logging disabled.", ui::MessageIcon::Information);
    host.StartDisplayTimer();
    return;
  }

  CSkipReadings dialog;
  dialog.interval = loggingInterval != 0 ? loggingInterval : 1;
  if (dialog.DoModal() == ui::IDOK) loggingInterval = dialog.interval;

  logFilePath = *chosen;
  const std::string name = host.SettingsName();
  store.WriteText(profile::LogFilePath, name, logFilePath);
  store.WriteInt(profile::LoggingInterval, name, loggingInterval);

  if (!AppendToFile(logFilePath, LogHeaderLine())) {
    inFailureRun_ = true;
    ui::ShowMessage(WithPath(kCouldNotOpen, logFilePath), ui::MessageIcon::Warning);
    host.StartDisplayTimer();
    return;
  }
  inFailureRun_ = false;
  failedRows_ = 0;
  store.WriteInt(profile::Logging, profile::kFixedSuffix, 1);
  host.StartDisplayTimer();
}

}  // namespace km7
