#include "platform/PrivateProfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/TextFileWriter.h"
#include "platform/XdgPaths.h"

namespace km7 {
namespace {

constexpr std::string_view kBlanks = " \t\v\f\r\n";

bool IsBlank(char c) { return kBlanks.find(c) != std::string_view::npos; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Letter case of Windows-1252: ASCII, the Latin-1 letters and S/Z/OE carons.
unsigned char FoldCase(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 32);
  if (c == 0x9A || c == 0x9C || c == 0x9E) return static_cast<unsigned char>(c - 16);
  if (c == 0xFF) return 0x9F;
  return c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldCase(static_cast<unsigned char>(a[i])) != FoldCase(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

enum class ReadResult { Ok, Absent, Failed };

ReadResult ReadWholeFile(const std::string& path, std::string& out) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno == ENOENT ? ReadResult::Absent : ReadResult::Failed;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > PrivateProfile::kMaxFileSize) {
    ::close(fd);
    errno = EINVAL;
    return ReadResult::Failed;
  }
  out.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  while (got < out.size()) {
    ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int saved = errno;
      ::close(fd);
      errno = saved;
      return ReadResult::Failed;
    }
    if (n == 0) break;  // shrank meanwhile
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  ::close(fd);
  return ReadResult::Ok;
}

// Where a value is, or where it would go, in the file's text.
struct Location {
  bool sectionFound = false;
  // Offset just after the section's last non-blank line (insertion point).
  std::size_t sectionEnd = 0;
  bool valueFound = false;
  std::size_t lineStart = 0, lineEnd = 0;  // lineEnd after the line end
  std::string_view storedName;             // as spelled in the file
  std::string_view stored;                 // text after '='
};

Location Locate(std::string_view text, std::string_view section, std::string_view name) {
  Location loc;
  bool inSection = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    std::size_t next = nl == std::string_view::npos ? text.size() : nl + 1;
    std::string_view line = Trim(text.substr(pos, next - pos));
    if (!line.empty() && line.front() == '[') {
      std::size_t close = line.rfind(']');
      if (close != std::string_view::npos) {
        if (inSection) return loc;  // the section ended without the value
        if (SameName(Trim(line.substr(1, close - 1)), section)) {
          inSection = true;
          loc.sectionFound = true;
          loc.sectionEnd = next;
        }
        pos = next;
        continue;
      }
    }
    if (inSection && !line.empty()) {
      loc.sectionEnd = next;
      if (line.front() != ';') {
        std::size_t eq = line.find('=');
        std::string_view key = Trim(line.substr(0, eq));
        if (SameName(key, name)) {
          loc.valueFound = true;
          loc.lineStart = pos;
          loc.lineEnd = next;
          loc.storedName = key;
          loc.stored = eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1);
          return loc;
        }
      }
    }
    pos = next;
  }
  return loc;
}

bool NeedsQuoting(std::string_view value) {
  if (value.empty()) return false;
  if (IsBlank(value.front()) || IsBlank(value.back())) return true;
  if (value.front() == '"' || value.front() == '\'') return true;
  return value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string Cut(std::string s) {
  if (s.size() > PrivateProfile::kMaxValueLength) s.resize(PrivateProfile::kMaxValueLength);
  return s;
}

}  // namespace

bool PrivateProfile::IsValidName(std::string_view name) {
  name = Trim(name);
  if (name.empty() || name.front() == '[' || name.front() == ';') return false;
  return name.find_first_of(std::string_view("=\r\n\0", 4)) == std::string_view::npos;
}

std::string PrivateProfile::EncodeValue(std::string_view value) {
  if (!NeedsQuoting(value)) return std::string(value);
  std::string out = "\"";
  for (char c : value) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default: out += c;
    }
  }
  out += '"';
  return out;
}

std::string PrivateProfile::DecodeValue(std::string_view stored) {
  stored = Trim(stored);
  if (stored.size() >= 2 && stored.front() == '\'' && stored.back() == '\'')
    return std::string(stored.substr(1, stored.size() - 2));
  if (stored.size() < 2 || stored.front() != '"' || stored.back() != '"')
    return std::string(stored);
  std::string_view inner = stored.substr(1, stored.size() - 2);
  std::string out;
  out.reserve(inner.size());
  for (std::size_t i = 0; i < inner.size(); ++i) {
    char c = inner[i];
    if (c == '\\' && i + 1 < inner.size()) {
      char e = inner[i + 1];
      char decoded = e == '\\' ? '\\' : e == 'r' ? '\r' : e == 'n' ? '\n' : e == '0' ? '\0' : 'x';
      if (decoded != 'x') {
        out += decoded;
        ++i;
        continue;
      }
    }
    out += c;  // anything else stays as written by hand
  }
  return out;
}

std::optional<std::string> PrivateProfile::Find(std::string_view section,
                                                std::string_view name) const {
  if (!IsValidName(name)) return std::nullopt;
  std::string text;
  if (ReadWholeFile(path_, text) != ReadResult::Ok) return std::nullopt;
  Location loc = Locate(text, Trim(section), Trim(name));
  if (!loc.valueFound) return std::nullopt;
  return Cut(DecodeValue(loc.stored));
}

std::string PrivateProfile::GetString(std::string_view section, std::string_view name,
                                      std::string_view defaultValue) const {
  if (std::optional<std::string> value = Find(section, name)) return std::move(*value);
  while (!defaultValue.empty() && IsBlank(defaultValue.back())) defaultValue.remove_suffix(1);
  return Cut(std::string(defaultValue));
}

bool PrivateProfile::WriteString(std::string_view section, std::string_view name,
                                 std::string_view value) {
  section = Trim(section);
  name = Trim(name);
  if (!IsValidName(name) || !IsValidName(section) || section.find(']') != std::string_view::npos) {
    errno = EINVAL;
    return false;
  }
  std::string text;
  ReadResult read = ReadWholeFile(path_, text);
  // Never replace a file we could not read: it would lose its content.
  if (read == ReadResult::Failed) return false;
  if (read == ReadResult::Absent) {
    std::string::size_type slash = path_.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path_.substr(0, slash), 0700))
      return false;
  }

  const std::string encoded = EncodeValue(value);
  Location loc = Locate(text, section, name);
  std::string out;
  out.reserve(text.size() + name.size() + encoded.size() + section.size() + 8);
  if (loc.valueFound) {
    out.append(text, 0, loc.lineStart);
    out.append(loc.storedName).append("=").append(encoded).append("\r\n");
    out.append(text, loc.lineEnd, std::string::npos);
  } else if (loc.sectionFound) {
    out.append(text, 0, loc.sectionEnd);
    if (!out.empty() && out.back() != '\n') out += "\r\n";
    out.append(name).append("=").append(encoded).append("\r\n");
    out.append(text, loc.sectionEnd, std::string::npos);
  } else {
    out = text;
    if (!out.empty() && out.back() != '\n') out += "\r\n";
    out.append("[").append(section).append("]\r\n");
    out.append(name).append("=").append(encoded).append("\r\n");
  }
  return ReplaceFileAtomically(path_, out);
}

}  // namespace km7
