#pragma once
// The data log of the main window: its writer, the Logging box with its file
// and interval dialogs, and the messages about files that cannot be opened.
// It never touches the window's timer: the window stops it around the
// handlers that run dialogs, and acts on what a row came to.
#include <string>

#include "datalog/DataLogWriter.h"

class ProfileStore;

namespace km7 {

// What the data log needs of the main window. The main window implements it;
// tests implement it with plain members.
class DataLogHost {
 public:
  virtual ~DataLogHost() = default;
  virtual void SaveControls() = 0;   // controls -> members
  virtual void LoadControls() = 0;   // members -> controls, and repaint
  virtual bool LoggingOn() const = 0;
  virtual void SetLoggingOn(bool on) = 0;
  // The text of the name box, for the offered file name.
  virtual std::string NameText() const = 0;
  // The name the per-sensor settings are stored under (the open sensor's
  // name while one is open, else the name box).
  virtual std::string SettingsName() const = 0;
  virtual LogValues CurrentValues() const = 0;
};

class DataLog : public DataLogWriter {
 public:
  // The settings go to the program's store unless another is given.
  DataLog();
  explicit DataLog(ProfileStore& store) : store_(&store) {}

  // On every display tick. The first failure of a run is reported in a
  // message box before this returns.
  RowOutcome AppendLogRowIfDue(DataLogHost& host);

  // Once at start-up when logging was restored as on: 0, or -1 when the
  // restored file cannot be opened.
  int RestartLoggingAtStartup(DataLogHost& host);

  // The Logging box was clicked.
  void OnLoggingClicked(DataLogHost& host);

  // Exit: no file is held open between rows, but the rows written so far are
  // pushed to the disk before the program ends. False when there was nothing
  // to push or it failed.
  bool CloseFiles() { return Sync(); }

 private:
  ProfileStore* store_;
};

}  // namespace km7
