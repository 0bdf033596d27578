#include "platform/TextFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

namespace km7 {
namespace {

std::atomic<ReplaceFaultHook> g_faultHook{nullptr};

int Fault(ReplaceStep step) {
  ReplaceFaultHook hook = g_faultHook.load();
  return hook != nullptr ? hook(step) : 0;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Appends to an O_APPEND descriptor; on a failed write the file is cut back
// to its old length so that no half row stays in it.
bool AppendAll(int fd, std::string_view bytes) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  if (WriteAll(fd, bytes)) return true;
  int saved = errno;
  if (ftruncate(fd, st.st_size) != 0) {
    // Nothing more can be done; the caller hears of the failure.
  }
  errno = saved;
  return false;
}

// Regular files only, and never blocking: a FIFO without a reader would hang
// a plain open for good, and a device or a FIFO is no place for a log.
int OpenForAppend(const std::string& path, mode_t newFileMode, int extraFlags = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | extraFlags,
                newFileMode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENXIO) errno = EINVAL;  // a FIFO nobody reads
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  // Writes to a regular file never wait anyway; keep them plain.
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

std::string FolderOf(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::string ToTextMode(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16 + 2);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

bool AppendTextFile(const std::string& path, std::string_view text) {
  TextFileWriter writer;
  return writer.Open(path) && writer.Write(text);
}

bool SyncFile(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st {};
  const bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

TextFileWriter::~TextFileWriter() { Close(); }

TextFileWriter::TextFileWriter(TextFileWriter&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

TextFileWriter& TextFileWriter::operator=(TextFileWriter&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

bool TextFileWriter::Open(const std::string& path, mode_t newFileMode, bool refuseLink) {
  Close();
  fd_ = OpenForAppend(path, newFileMode, refuseLink ? O_NOFOLLOW : 0);
  return fd_ >= 0;
}

bool TextFileWriter::Write(std::string_view text) {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  return AppendAll(fd_, ToTextMode(text));
}

bool TextFileWriter::Flush() { return fd_ >= 0 && ::fsync(fd_) == 0; }

void TextFileWriter::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void SetReplaceFaultHook(ReplaceFaultHook hook) { g_faultHook.store(hook); }

bool LinksToForeignFile(const std::string& path) {
  struct stat link {};
  if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return false;
  struct stat target {};
  // A dangling link names no one's file yet; the write creates it as ours.
  if (stat(path.c_str(), &target) != 0) return false;
  return target.st_uid != geteuid();
}

namespace {

// Where a replacement goes: a link to the user's own file is followed, and
// only a writable regular file (or none at all) may be replaced. exists
// tells whether st describes the file found.
bool ResolveReplaceTarget(std::string& path, struct stat& st, bool& exists) {
  exists = false;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (S_ISLNK(st.st_mode)) {
    // Keep a linked settings file a link: replace what it points at, when
    // it is the user's own.
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) return false;
    path = real;
    std::free(real);
    if (stat(path.c_str(), &st) != 0) return false;
    if (st.st_uid != geteuid()) {
      errno = EPERM;
      return false;
    }
  }
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  // Root ignores permission bits and rename ignores the file's own; a file
  // marked read-only is still meant to stay as it is.
  if ((st.st_mode & 0222) == 0) {
    errno = EACCES;
    return false;
  }
  exists = true;
  return true;
}

bool FolderTakesNewFiles(const std::string& folder) {
  struct stat folderStat {};
  if (stat(folder.c_str(), &folderStat) != 0) return false;
  if (!S_ISDIR(folderStat.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  if ((folderStat.st_mode & 0222) == 0) {
    errno = EACCES;
    return false;
  }
  return true;
}

// Writes bytes to a fresh file beside path, with the old file's mode and
// owner when there is one, and renames it over path.
bool WriteTempAndRename(const std::string& path, std::string_view bytes, const struct stat* old,
                        mode_t newFileMode) {
  if (int e = Fault(ReplaceStep::CreateTemp)) {
    errno = e;
    return false;
  }
  std::string temp = path + ".tmp-XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;

  auto fail = [&](int error) {
    ::close(fd);
    ::unlink(temp.c_str());
    errno = error;
    return false;
  };

  mode_t mode = old != nullptr ? (old->st_mode & 07777) : newFileMode;
  if (fchmod(fd, mode) != 0) return fail(errno);
  if (old != nullptr && (old->st_uid != geteuid() || old->st_gid != getegid())) {
    // Only succeeds for root; a normal user's own file needs nothing.
    if (fchown(fd, old->st_uid, old->st_gid) != 0) {
    }
  }
  if (int e = Fault(ReplaceStep::WriteTemp)) return fail(e);
  if (!WriteAll(fd, bytes)) return fail(errno);
  if (int e = Fault(ReplaceStep::SyncTemp)) return fail(e);
  if (::fsync(fd) != 0) return fail(errno);
  if (int e = Fault(ReplaceStep::Rename)) return fail(e);
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail(errno);
  ::close(fd);
  return true;
}

}  // namespace

bool ReplaceFileAtomically(const std::string& pathGiven, std::string_view bytes,
                           mode_t newFileMode) {
  std::string path = pathGiven;
  struct stat st {};
  bool exists = false;
  if (!ResolveReplaceTarget(path, st, exists)) return false;
  const std::string folder = FolderOf(path);
  if (!FolderTakesNewFiles(folder)) return false;
  if (!WriteTempAndRename(path, bytes, exists ? &st : nullptr, newFileMode)) return false;

  // Make the rename itself durable.
  int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

}  // namespace km7
