#pragma once
// One sensor's data log in km7d: the desktop program's rows in the file its
// settings name, one every loggingInterval new seconds. The file is opened
// for each row and closed again, so a log rotated away is simply started
// anew (with its header line).
#include <cstdint>
#include <ctime>
#include <string>

#include "acquisition/Reading.h"
#include "km7d/SensorSettings.h"

namespace km7d {

class SensorLog {
 public:
  // New settings (at attach and on SIGHUP). With logging on, the header
  // line is written when the file is new to this run.
  void Configure(const SensorSettings& settings);
  // On every tick with a current reading; writes the row when one is due.
  // Returns a message when writing starts failing or works again, else "".
  std::string Tick(std::time_t now, const km7::Reading& reading);
  // Pushes the rows written so far to the disk.
  void Flush();

  bool Active() const { return active_; }
  std::int64_t RowsWritten() const { return rowsWritten_; }

 private:
  std::string Append(const std::string& text);

  bool active_ = false;
  std::string path_;  // Windows-1252
  std::string pathHeaded_;
  int interval_ = 1;
  int tickCount_ = 0;
  std::time_t lastSecond_ = 0;
  bool failing_ = false;
  std::int64_t rowsWritten_ = 0;
};

}  // namespace km7d
