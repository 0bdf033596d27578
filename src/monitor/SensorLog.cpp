#include "monitor/SensorLog.h"

#include <sys/stat.h>

#include "platform/Text.h"

namespace km7::monitor {

void SensorLog::Configure(const SensorSettings& settings) {
  active_ = settings.logging && settings.HasLogFile();
  writer_.logFilePath = settings.logFilePath;
  writer_.loggingInterval = settings.loggingInterval;
  if (active_ && headed_ != writer_.logFilePath) {
    writer_.StartFile();
    headed_ = writer_.logFilePath;
  }
}

std::string SensorLog::Tick(std::time_t now, const Reading& reading) {
  if (!active_ || !reading.current) return {};
  const std::string path = km7::Cp1252ToUtf8(writer_.logFilePath);
  if (now != lastLook_) {
    lastLook_ = now;
    // Rotated away or emptied: the file starts again with its header.
    struct stat st {};
    if ((::stat(path.c_str(), &st) != 0 || st.st_size == 0) && !writer_.StartFile() && !failing_) {
      failing_ = true;
      return "the data log " + path + " could not be written; rows are lost until it can";
    }
  }
  const km7::RowOutcome outcome =
      writer_.AppendRowIfDue(now, {reading.temperature, reading.relativeHumidity, reading.dewPoint});
  switch (outcome) {
    case km7::RowOutcome::Written:
      if (!failing_) return {};
      failing_ = false;
      return "the data log " + path + " is written again";
    case km7::RowOutcome::FailedFirst:
      failing_ = true;
      return "the data log " + path + " could not be written; rows are lost until it can";
    case km7::RowOutcome::Failed:
    case km7::RowOutcome::NotDue:
      break;
  }
  return {};
}

void SensorLog::Flush() {
  if (active_) writer_.Sync();
}

}  // namespace km7::monitor
