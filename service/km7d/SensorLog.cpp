#include "km7d/SensorLog.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "datalog/LogFormat.h"
#include "platform/Text.h"
#include "platform/TextFileWriter.h"

namespace km7d {

void SensorLog::Configure(const SensorSettings& settings) {
  active_ = settings.logging && settings.HasLogFile();
  path_ = settings.logFilePath;
  interval_ = settings.loggingInterval;
  if (active_ && pathHeaded_ != path_) {
    Append(km7::LogHeaderLine());
    pathHeaded_ = path_;
  }
}

std::string SensorLog::Append(const std::string& text) {
  const std::string path = km7::Cp1252ToUtf8(path_);
  // A file rotated away (or removed) starts again with its header line.
  struct stat st {};
  std::string bytes = text;
  if (text != km7::LogHeaderLine() && (::stat(path.c_str(), &st) != 0 || st.st_size == 0))
    bytes = km7::LogHeaderLine() + text;
  if (km7::AppendTextFile(path, bytes)) {
    if (!failing_) return {};
    failing_ = false;
    return "the data log " + path + " is written again";
  }
  const std::string reason = std::strerror(errno);
  if (failing_) return {};
  failing_ = true;
  return "the data log " + path + " could not be written (" + reason + "); rows are lost until it can";
}

std::string SensorLog::Tick(std::time_t now, const km7::Reading& reading) {
  if (!active_ || !reading.current) return {};
  // A row every interval new calendar seconds, as the desktop program counts.
  if (now <= lastSecond_) return {};
  lastSecond_ = now;
  if (++tickCount_ < interval_) return {};
  tickCount_ = 0;
  km7::LogValues v{reading.temperature, reading.relativeHumidity, reading.dewPoint};
  std::string message = Append(km7::LogRow(now, v));
  if (!failing_) ++rowsWritten_;
  return message;
}

void SensorLog::Flush() {
  if (!path_.empty()) km7::SyncFile(km7::Cp1252ToUtf8(path_));
}

}  // namespace km7d
