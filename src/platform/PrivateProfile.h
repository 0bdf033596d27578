#pragma once
// An INI-style settings file ("[section]" lines and "name=value" lines), read
// and written with the rules of the original platform's private-profile
// functions:
// - section and value names are compared without regard to letter case;
// - a value is returned without surrounding blanks, and a default without
//   trailing blanks; a read returns at most 4095 characters;
// - an absent file, section or value gives the reader's default;
// - nothing is cached: every read reads the file, every write replaces it at
//   once (atomically: a crash leaves the old file or the new one).
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
  // Larger files are not read (every read reads the whole file).
  static constexpr std::size_t kMaxFileSize = 16u << 20;

  // `path` is a file-system path; the file need not exist.
  explicit PrivateProfile(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }

  // The value, cut at kMaxValueLength; nullopt when the file, the section or
  // the value is absent, the file cannot be read or the name is invalid.
  std::optional<std::string> Find(std::string_view section, std::string_view name) const;

  // The value, or `defaultValue` without trailing blanks; either cut at
  // kMaxValueLength.
  std::string GetString(std::string_view section, std::string_view name,
                        std::string_view defaultValue) const;

  // Sets the value, creating the file, the section or the value as needed.
  // False, and the file unchanged, when the write is refused (read-only file
  // or folder, unreadable file, invalid name, full disk, ...).
  bool WriteString(std::string_view section, std::string_view name, std::string_view value);

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
