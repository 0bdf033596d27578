#pragma once
// An INI-style settings file ("[section]" lines and "name=value" lines), read
// and written with the rules of the original platform's private-profile
// functions:
// - section and value names are compared without regard to letter case;
// - a value is returned without surrounding blanks, and a default without
//   trailing blanks; a read returns at most 4095 characters;
// - an absent file, section or value gives the reader's default;
// - nothing is cached: every read reads the file, every write replaces it at
//   once (atomically: a crash leaves the old file or the new one), under an
//   advisory lock (flock on "<file>.lock" beside it), so that two programs
//   writing at once lose none of each other's values.
//
// Stored form: a value is written plain ("name=value", "\r\n" line end) so
// that the original functions read it unchanged. Only a value they could not
// carry is written quoted: one with surrounding blanks, a leading quote, a
// line break or a NUL becomes "name=\"...\"" with "\\", "\r", "\n" and "\0"
// escaped inside the quotes. Every value reads back exactly as written. Lines
// the write does not concern (comments, other sections, their order and line
// ends) stay byte for byte as they were.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace km7 {

class PrivateProfile {
 public:
  static constexpr std::size_t kMaxValueLength = 4095;
  // Every read reads the whole file: of a larger one only the lines within
  // the first kMaxFileSize bytes are read, and it is never replaced (that
  // would cut its end off).
  static constexpr std::size_t kMaxFileSize = 16u << 20;
  // How long a write waits for another program's lock before it gives up.
  static constexpr int kLockWaitMs = 5000;

  // What went wrong with the file in an operation.
  enum class Problem {
    None,
    Unreadable,      // could not be opened or read (error: errno)
    NotRegularFile,  // a folder, a FIFO, a device, ...
    TooLarge,        // over kMaxFileSize: read in part, never replaced
    WriteRefused,    // the new file could not be put in place (error: errno)
    Locked,          // another program held the lock for kLockWaitMs
    ForeignLink,     // a symbolic link to a file of another user: neither read nor replaced
  };
  struct Status {
    Problem problem = Problem::None;
    int error = 0;
  };

  // `path` is a file-system path; the file need not exist.
  explicit PrivateProfile(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }

  // The value, cut at kMaxValueLength; nullopt when the file, the section or
  // the value is absent, the file cannot be read or the name is invalid.
  // `status`, when given, says what kept the file from being read.
  std::optional<std::string> Find(std::string_view section, std::string_view name,
                                  Status* status = nullptr) const;

  // The value, or `defaultValue` without trailing blanks; either cut at
  // kMaxValueLength.
  std::string GetString(std::string_view section, std::string_view name,
                        std::string_view defaultValue, Status* status = nullptr) const;

  // Sets the value, creating the file, the section or the value as needed.
  // False, and the file unchanged, when the write is refused (read-only file
  // or folder, unreadable file, invalid name, full disk, ...); `status`, when
  // given, says why.
  bool WriteString(std::string_view section, std::string_view name, std::string_view value,
                   Status* status = nullptr);

  // Removes the temporary files "<file>.tmp-XXXXXX" that a crash during a
  // write left beside `path` (or beside the file a link there points at):
  // only regular files of this user, of exactly that pattern, last changed
  // more than `minAgeSeconds` ago (a younger one may be another program's
  // write in progress). Returns how many were removed.
  static int RemoveStaleTemporaries(const std::string& path, int minAgeSeconds = 60);

  // A name the file can hold: after trimming surrounding blanks not empty, no
  // '=', no line break or NUL, and not starting with '[' or ';'.
  static bool IsValidName(std::string_view name);

  // The form a value is stored in (the text after "name=").
  static std::string EncodeValue(std::string_view value);
  // The value a stored text stands for (the text after "name=", blanks
  // around it included).
  static std::string DecodeValue(std::string_view stored);

 private:
  std::string path_;
};

}  // namespace km7
