#include "datalog/DataLogWriter.h"

#include "platform/Text.h"
#include "platform/TextFileWriter.h"

namespace km7 {

bool DataLogWriter::AppendToFile(const std::string& path, const std::string& text) {
  return AppendTextFile(Cp1252ToUtf8(path), text);
}

RowOutcome DataLogWriter::AppendRowIfDue(std::time_t now, const LogValues& values) {
  const auto t = static_cast<std::uint32_t>(now);
  if (t <= lastLogSecond) return RowOutcome::NotDue;
  ++logTickCount;
  lastLogSecond = t;
  // 64-bit: an interval of INT32_MIN must not overflow.
  if (static_cast<std::int64_t>(logTickCount) <= static_cast<std::int64_t>(loggingInterval) - 1)
    return RowOutcome::NotDue;
  logTickCount = 0;
  if (AppendToFile(logFilePath, LogRow(now, values))) {
    failedRows_ = 0;
    inFailureRun_ = false;
    return RowOutcome::Written;
  }
  ++failedRows_;
  if (inFailureRun_) return RowOutcome::Failed;
  inFailureRun_ = true;
  return RowOutcome::FailedFirst;
}

bool DataLogWriter::StartFile() {
  if (!AppendToFile(logFilePath, LogHeaderLine())) {
    inFailureRun_ = true;
    return false;
  }
  inFailureRun_ = false;
  failedRows_ = 0;
  return true;
}

bool DataLogWriter::Sync() const { return !logFilePath.empty() && SyncFile(Cp1252ToUtf8(logFilePath)); }

}  // namespace km7
