#pragma once
// Writing the program's files (data log, e-mail diagnostic log, settings
// file). They hold Windows-1252 bytes and text-mode line ends: every "\n"
// written becomes "\r\n", so a "\r\n" in a text becomes "\r\r\n".
//
// Paths here are file-system paths (UTF-8). Program text that names a file
// goes through Cp1252ToUtf8 first.
#include <sys/types.h>

#include <string>
#include <string_view>

namespace km7 {

// The text with every "\n" turned into "\r\n".
std::string ToTextMode(std::string_view text);

// Appends the text (line ends converted) to the file, creating it when it is
// missing, and closes it again. Only a regular file is written: a folder, a
// FIFO or a device fails at once (errno EISDIR or EINVAL), never blocking. All or nothing: a write that fails part-way
// is cut back off, so no partial line is left behind. False on failure.
bool AppendTextFile(const std::string& path, std::string_view text);

// Writes what the system holds of an existing regular file to the disk (the
// data log at exit: its rows were written, but maybe not yet stored). False
// when there is no such file or the sync fails.
bool SyncFile(const std::string& path);

// A file held open for appending (the e-mail diagnostic log stays open
// between dispatches). Each Write is all or nothing, as AppendTextFile.
class TextFileWriter {
 public:
  TextFileWriter() = default;
  ~TextFileWriter();
  TextFileWriter(const TextFileWriter&) = delete;
  TextFileWriter& operator=(const TextFileWriter&) = delete;
  TextFileWriter(TextFileWriter&& other) noexcept;
  TextFileWriter& operator=(TextFileWriter&& other) noexcept;

  // Opens for appending, creating the file with newFileMode (less the umask)
  // when it is missing. Closes any file opened before. With refuseLink a
  // symbolic link in the file's place fails with ELOOP.
  bool Open(const std::string& path, mode_t newFileMode = 0644, bool refuseLink = false);
  bool IsOpen() const { return fd_ >= 0; }
  bool Write(std::string_view text);
  // Writes the file's data to the disk.
  bool Flush();
  void Close();

 private:
  int fd_ = -1;
};

// Replaces the whole file with `bytes`, written as they are: a temporary file
// in the same folder, fsync, rename over the old file, fsync of the folder.
// Whatever fails, the old file stays as it was. A file or folder that has no
// write permission bit at all is treated as read-only and refused, also for
// root. An existing file keeps its permissions; a new one gets `newFileMode`.
// A symbolic link is followed and its target replaced, but only when that
// target belongs to the user who runs the program (EPERM otherwise). False on
// failure, with errno set.
bool ReplaceFileAtomically(const std::string& path, std::string_view bytes,
                           mode_t newFileMode = 0600);

// Whether path is a symbolic link to an existing file that belongs to another
// user than the one the program runs as. Such a link is never followed: a
// link planted in one's folder must not make the program (perhaps run as
// root) read or rewrite another user's file.
bool LinksToForeignFile(const std::string& path);

// Test seam for ReplaceFileAtomically: called before each step; a nonzero
// return fails the step with that errno. nullptr removes the hook.
enum class ReplaceStep { CreateTemp, WriteTemp, SyncTemp, Rename };
using ReplaceFaultHook = int (*)(ReplaceStep step);
void SetReplaceFaultHook(ReplaceFaultHook hook);

}  // namespace km7
