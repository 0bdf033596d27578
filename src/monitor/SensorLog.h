#pragma once
// One sensor's data log without a window: the desktop program's rows (the data log's
// own writer) in the file its settings name, one every loggingInterval new
// seconds. The file is opened for each row and closed again, so a log rotated
// away is simply started anew, with its header line.
#include <cstdint>
#include <ctime>
#include <string>

#include "acquisition/Reading.h"
#include "datalog/DataLogWriter.h"
#include "monitor/SensorSettings.h"

namespace km7::monitor {

class SensorLog {
 public:
  // New settings (at attach and on SIGHUP). With logging on, the header
  // line is written when the file is new to this run.
  void Configure(const SensorSettings& settings);
  // On every tick with a current reading; writes the row when one is due.
  // Returns a message when writing starts failing or works again, else "".
  std::string Tick(std::time_t now, const Reading& reading);
  // Pushes the rows written so far to the disk.
  void Flush();

 private:
  DataLogWriter writer_;
  bool active_ = false;
  std::string headed_;  // the file whose header this run wrote
  std::time_t lastLook_ = 0;
  bool failing_ = false;
};

}  // namespace km7::monitor
