#include "platform/PrivateProfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>

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

// Reads the file into `out`. A file over the size cap is read up to the last
// line end within the cap (Ok, with status TooLarge). Never blocks: a FIFO or
// a device is refused after its type was seen.
ReadResult ReadWholeFile(const std::string& path, std::string& out, PrivateProfile::Status& status) {
  auto failed = [&status](PrivateProfile::Problem problem, int error) {
    status = {problem, error};
    errno = error;
    return ReadResult::Failed;
  };
  if (LinksToForeignFile(path)) return failed(PrivateProfile::Problem::ForeignLink, EPERM);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENOENT) return ReadResult::Absent;
    return failed(PrivateProfile::Problem::Unreadable, errno);
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    int saved = errno;
    ::close(fd);
    return failed(PrivateProfile::Problem::Unreadable, saved);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return failed(PrivateProfile::Problem::NotRegularFile, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  }
  const bool tooLarge = static_cast<std::size_t>(st.st_size) > PrivateProfile::kMaxFileSize;
  out.resize(tooLarge ? PrivateProfile::kMaxFileSize : static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  while (got < out.size()) {
    ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int saved = errno;
      ::close(fd);
      out.clear();
      return failed(PrivateProfile::Problem::Unreadable, saved);
    }
    if (n == 0) break;  // shrank meanwhile
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  ::close(fd);
  if (tooLarge) {
    // A line cut at the cap would read as a wrong value: drop it.
    std::size_t lastLineEnd = out.find_last_of('\n');
    out.resize(lastLineEnd == std::string::npos ? 0 : lastLineEnd + 1);
    status = {PrivateProfile::Problem::TooLarge, EFBIG};
  }
  return ReadResult::Ok;
}

// The advisory lock around one read-modify-replace: flock on "<file>.lock".
// A lock file that cannot be made (read-only folder) leaves the write
// unlocked; it fails on its own then. Waits at most kLockWaitMs.
class WriteLock {
 public:
  explicit WriteLock(const std::string& path) {
    do {
      fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) return;
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    for (int waited = 0;; waited += kStepMs) {
      if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        held_ = true;
        return;
      }
      if (errno != EWOULDBLOCK && errno != EINTR) return;  // no locks here: go on without
      if (waited >= PrivateProfile::kLockWaitMs) {
        timedOut_ = true;
        return;
      }
      ::usleep(kStepMs * 1000);
    }
  }
  ~WriteLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;
  bool TimedOut() const { return timedOut_; }

 private:
  static constexpr int kStepMs = 5;
  int fd_ = -1;
  bool held_ = false;
  bool timedOut_ = false;
};

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

std::optional<std::string> PrivateProfile::Find(std::string_view section, std::string_view name,
                                                Status* status) const {
  Status ignored;
  Status& st = status != nullptr ? *status : ignored;
  st = {};
  if (!IsValidName(name)) return std::nullopt;
  std::string text;
  if (ReadWholeFile(path_, text, st) != ReadResult::Ok) return std::nullopt;
  Location loc = Locate(text, Trim(section), Trim(name));
  if (!loc.valueFound) return std::nullopt;
  return Cut(DecodeValue(loc.stored));
}

std::string PrivateProfile::GetString(std::string_view section, std::string_view name,
                                      std::string_view defaultValue, Status* status) const {
  if (std::optional<std::string> value = Find(section, name, status)) return std::move(*value);
  while (!defaultValue.empty() && IsBlank(defaultValue.back())) defaultValue.remove_suffix(1);
  return Cut(std::string(defaultValue));
}

bool PrivateProfile::WriteString(std::string_view section, std::string_view name,
                                 std::string_view value, Status* status) {
  Status ignored;
  Status& st = status != nullptr ? *status : ignored;
  st = {};
  auto refused = [&st](Problem problem, int error) {
    st = {problem, error};
    errno = error;
    return false;
  };
  section = Trim(section);
  name = Trim(name);
  if (!IsValidName(name) || !IsValidName(section) || section.find(']') != std::string_view::npos)
    return refused(Problem::WriteRefused, EINVAL);

  std::string::size_type slash = path_.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(path_.substr(0, slash), 0700))
    return refused(Problem::WriteRefused, errno != 0 ? errno : ENOTDIR);
  if (LinksToForeignFile(path_)) return refused(Problem::ForeignLink, EPERM);
  WriteLock lock(path_);
  if (lock.TimedOut()) return refused(Problem::Locked, EWOULDBLOCK);

  std::string text;
  ReadResult read = ReadWholeFile(path_, text, st);
  // Never replace a file we could not read whole: it would lose its content.
  if (read == ReadResult::Failed) return false;
  if (st.problem == Problem::TooLarge) {
    errno = EFBIG;
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
  if (!ReplaceFileAtomically(path_, out)) return refused(Problem::WriteRefused, errno);
  return true;
}

int PrivateProfile::RemoveStaleTemporaries(const std::string& path, int minAgeSeconds) {
  std::string target = path;
  if (char* real = realpath(path.c_str(), nullptr)) {
    target = real;
    std::free(real);
  }
  const std::string::size_type slash = target.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  const std::string prefix = (slash == std::string::npos ? target : target.substr(slash + 1)) + ".tmp-";
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return 0;
  const int dirFd = ::dirfd(dir);
  const std::time_t now = std::time(nullptr);
  int removed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    // mkostemp's six characters, nothing more: never another program's file.
    if (name.size() != prefix.size() + 6 || name.substr(0, prefix.size()) != prefix) continue;
    const std::string_view tail = name.substr(prefix.size());
    if (!std::all_of(tail.begin(), tail.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }))
      continue;
    struct stat st {};
    if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) continue;
    if (now - st.st_mtime <= minAgeSeconds) continue;
    if (::unlinkat(dirFd, entry->d_name, 0) == 0) ++removed;
  }
  ::closedir(dir);
  return removed;
}

}  // namespace km7
