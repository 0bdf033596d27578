#pragma once
// The data log: one tab-separated row of readings every loggingInterval new
// calendar seconds while the main window's Logging box is checked. The file is
// opened, appended to and closed for every write.
#include <cstdint>
#include <ctime>
#include <string>

#include "datalog/LogFormat.h"

class ProfileStore;

namespace km7 {

// What the data log needs of the main window. The main window implements it;
// tests implement it with plain members.
class DataLogHost {
 public:
  virtual ~DataLogHost() = default;
  virtual void SaveControls() = 0;   // controls -> members
  virtual void LoadControls() = 0;   // members -> controls, and repaint
  virtual void StopDisplayTimer() = 0;
  virtual void StartDisplayTimer() = 0;
  virtual bool LoggingOn() const = 0;
  virtual void SetLoggingOn(bool on) = 0;
  // The text of the name box, for the offered file name.
  virtual std::string NameText() const = 0;
  // The name the per-sensor settings are stored under (the open sensor's
  // name while one is open, else the name box).
  virtual std::string SettingsName() const = 0;
  virtual LogValues CurrentValues() const = 0;
};

class DataLog {
 public:
  // The settings go to the program's store unless another is given.
  DataLog();
  explicit DataLog(ProfileStore& store) : store_(&store) {}

  std::string logFilePath;
  std::int32_t loggingInterval = 0;
  std::int32_t logTickCount = 0;
  std::uint32_t lastLogSecond = 1;

  // Rows that could not be written since the last one that could.
  std::int64_t failedRows() const { return failedRows_; }

  // On every display tick. False after a row could not be written.
  bool AppendLogRowIfDue(DataLogHost& host);

  // Once at start-up when logging was restored as on: 0, or -1 when the
  // restored file cannot be opened.
  int RestartLoggingAtStartup(DataLogHost& host);

  // The Logging box was clicked.
  void OnLoggingClicked(DataLogHost& host);

  // Exit: no file is held open between rows, but the rows written so far are
  // pushed to the disk before the program ends. False when there was nothing
  // to push or it failed.
  bool CloseFiles();

  // Appends text (line ends made "\r\n") to the file named by the program
  // text path; false when it cannot be opened or written whole (a partial
  // write is taken back, so no row is left without its line end).
  static bool AppendToFile(const std::string& path, const std::string& text);

 private:
  ProfileStore* store_;
  std::int64_t failedRows_ = 0;
  // A "could not be opened" message was shown and no write has worked since.
  bool inFailureRun_ = false;
};

}  // namespace km7
