#pragma once
// The durable outbox: one file per alarm mail in $XDG_STATE_HOME/km7/outbox/
// (folder 0700, files 0600), each written whole (temporary file, fsync,
// rename) before the first attempt and removed only once the server took the
// message. Files are named by their creation time, so the oldest sort first.
// A file that cannot be read back as a message is moved into bad/ beside them.
// A folder or file that is not the user's own, or that others may write, is
// refused: its recipients and text could be anybody's.
// Plain files and POSIX calls only: usable from any thread and any program.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace km7::alarms {

inline constexpr std::size_t kOutboxCapacity = 1000;

// One composed mail, as stored.
struct OutboxMessage {
  std::string sensor;  // whose server settings send it
  std::string kind;    // what the log calls it: "Temperature", "Humidity", ...
  std::string to, from, cc, subject, body;
  std::time_t created = 0;
  // Real time spent waiting for delivery so far, summed over every run that
  // tried it (never the wall clock's difference, which jumps).
  std::int64_t waitedMs = 0;
};

// The file's bytes, and back. Parse returns nothing for anything that is not
// exactly what Serialize wrote (truncated, altered, another format). Files of
// the first format, without the time waited, are still read.
std::string SerializeOutboxMessage(const OutboxMessage& message);
std::optional<OutboxMessage> ParseOutboxMessage(std::string_view bytes);

class Outbox {
 public:
  explicit Outbox(std::string folder, std::size_t capacity = kOutboxCapacity);
  // $XDG_STATE_HOME/km7/outbox (else ~/.local/state/...); "" without a home.
  static std::string DefaultFolder();

  const std::string& Folder() const { return folder_; }

  // Makes the folder when missing. On failure `why` names the folder and
  // the reason. An existing folder must be a real folder of this user that
  // nobody else may write.
  bool Prepare(std::string& why);
  // Stores the message; its path in `path`. When the outbox is full the
  // oldest files go first; their names are added to `dropped`.
  bool Add(const OutboxMessage& message, std::string& path, std::string& why,
           std::vector<std::string>& dropped);
  // The message files, oldest first (full paths).
  std::vector<std::string> List() const;
  // Moves a file into bad/; returns its new path ("" on failure).
  std::string MoveAside(const std::string& path) const;

 private:
  std::string folder_;
  std::size_t capacity_;
};

// Holds one outbox file locked (flock) while it is being sent, so that two
// processes never send the same file.
class OutboxLock {
 public:
  // Refused: not this user's own file, or writable by others.
  enum class Result { Locked, Busy, Gone, Failed, Refused };
  OutboxLock() = default;
  ~OutboxLock();
  OutboxLock(const OutboxLock&) = delete;
  OutboxLock& operator=(const OutboxLock&) = delete;

  // Locks without waiting. Gone: the file was removed (sent by another
  // process) before or while the lock was taken.
  Result Acquire(const std::string& path);
  // The locked file's bytes.
  bool Read(std::string& bytes) const;
  // Records the time waited so far in the locked file, in place.
  bool WriteWaited(std::int64_t waitedMs) const;
  // Removes the file while still holding the lock, then releases it.
  bool RemoveAndRelease();
  void Release();

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace km7::alarms
