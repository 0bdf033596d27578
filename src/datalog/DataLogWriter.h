#pragma once
// The data log's file without any window: when a row is due (one every
// loggingInterval new calendar seconds), the header and the rows, and their
// writing. The file is opened, appended to and closed for every write, so
// no file is held open between rows.
#include <cstdint>
#include <ctime>
#include <string>

#include "datalog/LogFormat.h"

namespace km7 {

// What a display tick's row came to.
enum class RowOutcome {
  NotDue,        // nothing to write this time
  Written,
  Failed,        // not written; the failure was reported before in this run
  FailedFirst,   // not written, and the first failure since a write worked
};

class DataLogWriter {
 public:
  std::string logFilePath;
  std::int32_t loggingInterval = 0;
  std::int32_t logTickCount = 0;
  std::uint32_t lastLogSecond = 1;

  // Rows that could not be written since the last one that could.
  std::int64_t failedRows() const { return failedRows_; }

  // Counts a new second of `now` and writes a row of `values` when one is
  // due. Call it on every tick while logging is on.
  RowOutcome AppendRowIfDue(std::time_t now, const LogValues& values);

  // Appends the header line to logFilePath: true when it was written. A
  // start that worked ends a run of failures; one that did not begins one.
  bool StartFile();

  // The counting of seconds starts anew (the next new second counts).
  void ResetTiming() {
    logTickCount = 0;
    lastLogSecond = 1;
  }

  // Pushes the rows written so far to the disk. False when no file was
  // chosen or it failed.
  bool Sync() const;

  // Appends text (line ends made "\r\n") to the file named by the program
  // text path; false when it cannot be opened or written whole (a partial
  // write is taken back, so no row is left without its line end).
  static bool AppendToFile(const std::string& path, const std::string& text);

 private:
  std::int64_t failedRows_ = 0;
  // A failure was reported and no write has worked since.
  bool inFailureRun_ = false;
};

}  // namespace km7
