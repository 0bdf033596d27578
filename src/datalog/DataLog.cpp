#include "datalog/DataLog.h"

#include <cstdio>

#include "datalog/LogFileDialog.h"
#include "datalog/SkipReadingsDlg.h"
#include "platform/Clock.h"
#include "settings/ProfileStore.h"
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

RowOutcome DataLog::AppendLogRowIfDue(DataLogHost& host) {
  if (!host.LoggingOn()) return RowOutcome::NotDue;
  const RowOutcome outcome = AppendRowIfDue(NowSeconds(), host.CurrentValues());
  // One message per run of failures: the timer keeps ticking while the box is
  // up, and every due row would otherwise stack another box on top.
  if (outcome == RowOutcome::FailedFirst)
    ui::ShowMessage(WithPath(kCouldNotOpen, logFilePath), ui::MessageIcon::Warning);
  return outcome;
}

int DataLog::RestartLoggingAtStartup(DataLogHost& host) {
  host.SaveControls();
  if (!host.LoggingOn()) return 0;
  ProfileStore& store = *store_;
  const std::string name = host.SettingsName();
  logFilePath = store.ReadText(profile::LogFilePath, name);
  if (!StartFile()) {
    ui::ShowMessage(WithPath(kCouldNotOpenAtStart, logFilePath), ui::MessageIcon::Warning);
    return -1;
  }
  loggingInterval = store.ReadInt(profile::LoggingInterval, name);
  return 0;
}

void DataLog::OnLoggingClicked(DataLogHost& host) {
  host.SaveControls();
  ProfileStore& store = *store_;
  if (!host.LoggingOn()) {
    store.WriteInt(profile::Logging, profile::kFixedSuffix, 0);
    return;
  }

  const std::string offered = DefaultLogFileName(host.NameText(), NowSeconds());
  const std::optional<std::string> chosen = AskLogFilePath(offered, logFilePath);
  if (!chosen) {
    host.SetLoggingOn(false);
    host.LoadControls();
    ui::ShowMessage("No datafile selected, logging disabled.", ui::MessageIcon::Information);
    return;
  }

  CSkipReadings dialog;
  dialog.interval = loggingInterval != 0 ? loggingInterval : 1;
  if (dialog.DoModal() == ui::IDOK) loggingInterval = dialog.interval;

  logFilePath = *chosen;
  const std::string name = host.SettingsName();
  store.WriteText(profile::LogFilePath, name, logFilePath);
  store.WriteInt(profile::LoggingInterval, name, loggingInterval);

  if (!StartFile()) {
    ui::ShowMessage(WithPath(kCouldNotOpen, logFilePath), ui::MessageIcon::Warning);
    return;
  }
  store.WriteInt(profile::Logging, profile::kFixedSuffix, 1);
}

}  // namespace km7
