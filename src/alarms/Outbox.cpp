#include "alarms/Outbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/TextFileWriter.h"
#include "platform/XdgPaths.h"

namespace km7::alarms {
namespace {

constexpr char kMagicV1[] = "km7-outbox 1\n";
constexpr char kMagic[] = "km7-outbox 2\n";
// The time waited: a field of fixed width right after the magic, so that it
// is rewritten in place while the file is locked.
constexpr char kWaitedHead[] = "waited 20\n";
constexpr std::size_t kWaitedDigits = 20;
constexpr std::size_t kWaitedAt = sizeof kMagic - 1 + sizeof kWaitedHead - 1;
constexpr char kSuffix[] = ".mail";
constexpr unsigned kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

// Each field: name, blank, decimal length, line feed, the bytes, line feed.
void PutField(std::string& out, const char* name, std::string_view value) {
  out += name;
  out += ' ';
  out += std::to_string(value.size());
  out += '\n';
  out.append(value);
  out += '\n';
}

bool GetField(std::string_view& in, const char* name, std::string& value) {
  const std::string prefix = std::string(name) + ' ';
  if (in.substr(0, prefix.size()) != prefix) return false;
  in.remove_prefix(prefix.size());
  const auto eol = in.find('\n');
  if (eol == std::string_view::npos || eol == 0 || eol > 9) return false;
  if (eol > 1 && in[0] == '0') return false;  // one way to write each length
  std::size_t length = 0;
  for (char c : in.substr(0, eol)) {
    if (c < '0' || c > '9') return false;
    length = length * 10 + std::size_t(c - '0');
  }
  in.remove_prefix(eol + 1);
  if (in.size() < length + 1 || in[length] != '\n') return false;
  value.assign(in.substr(0, length));
  in.remove_prefix(length + 1);
  return true;
}

bool IsMessageName(const char* name) {
  const std::size_t n = std::strlen(name);
  const std::size_t s = sizeof kSuffix - 1;
  return name[0] != '.' && n > s && std::strcmp(name + n - s, kSuffix) == 0;
}

std::string WaitedDigits(std::int64_t ms) {
  char digits[kWaitedDigits + 1];
  std::snprintf(digits, sizeof digits, "%020lld", static_cast<long long>(ms < 0 ? 0 : ms));
  return digits;
}

// Ours alone: owned by this user and writable by nobody else.
bool Trusted(const struct stat& st) { return st.st_uid == ::geteuid() && (st.st_mode & 022) == 0; }

std::string NewName() {
  static std::atomic<unsigned> counter{0};
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  char name[96];
  std::snprintf(name, sizeof name, "%020lld-%d-%u%s", static_cast<long long>(ns), int(::getpid()),
                counter.fetch_add(1), kSuffix);
  return name;
}

}  // namespace

std::string SerializeOutboxMessage(const OutboxMessage& m) {
  std::string out = kMagic;
  out += kWaitedHead;
  out += WaitedDigits(m.waitedMs);
  out += '\n';
  PutField(out, "created", std::to_string(static_cast<long long>(m.created)));
  PutField(out, "sensor", m.sensor);
  PutField(out, "kind", m.kind);
  PutField(out, "to", m.to);
  PutField(out, "from", m.from);
  PutField(out, "cc", m.cc);
  PutField(out, "subject", m.subject);
  PutField(out, "body", m.body);
  out += "end\n";
  return out;
}

std::optional<OutboxMessage> ParseOutboxMessage(std::string_view in) {
  OutboxMessage m;
  if (in.substr(0, sizeof kMagicV1 - 1) == kMagicV1) {
    in.remove_prefix(sizeof kMagicV1 - 1);
  } else if (in.substr(0, sizeof kMagic - 1) == kMagic) {
    in.remove_prefix(sizeof kMagic - 1);
    std::string waited;
    if (!GetField(in, "waited", waited) || waited.size() != kWaitedDigits) return std::nullopt;
    // Two leading zeros keep the sum well inside 64 bits.
    if (waited[0] != '0' || waited[1] != '0') return std::nullopt;
    for (char c : waited) {
      if (c < '0' || c > '9') return std::nullopt;
      m.waitedMs = m.waitedMs * 10 + (c - '0');
    }
  } else {
    return std::nullopt;
  }
  std::string created;
  if (!GetField(in, "created", created) || created.empty() || created.size() > 18) return std::nullopt;
  if (created.size() > 1 && created[0] == '0') return std::nullopt;
  for (char c : created)
    if (c < '0' || c > '9') return std::nullopt;
  m.created = static_cast<std::time_t>(std::stoll(created));
  if (!GetField(in, "sensor", m.sensor) || !GetField(in, "kind", m.kind) || !GetField(in, "to", m.to) ||
      !GetField(in, "from", m.from) || !GetField(in, "cc", m.cc) || !GetField(in, "subject", m.subject) ||
      !GetField(in, "body", m.body))
    return std::nullopt;
  if (in != "end\n") return std::nullopt;
  return m;
}

Outbox::Outbox(std::string folder, std::size_t capacity) : folder_(std::move(folder)), capacity_(capacity) {}

std::string Outbox::DefaultFolder() {
  const std::string state = StateHome();
  return state.empty() ? std::string() : state + "/km7/outbox";
}

bool Outbox::Prepare(std::string& why) {
  if (folder_.empty()) {
    why = "no home folder is known for this user";
    return false;
  }
  if (!MakeFolders(folder_, kFolderMode)) {
    why = folder_ + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::lstat(folder_.c_str(), &st) != 0) {
    why = folder_ + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode) || !Trusted(st)) {
    why = folder_ + ": not a folder of this user's own that only it may write; refused";
    return false;
  }
  return true;
}

bool Outbox::Add(const OutboxMessage& message, std::string& path, std::string& why,
                 std::vector<std::string>& dropped) {
  if (!Prepare(why)) return false;
  std::vector<std::string> files = List();
  // Room for the new one: the oldest go first.
  for (std::size_t i = 0; files.size() - i >= capacity_ && i < files.size(); ++i) {
    if (::unlink(files[i].c_str()) == 0 || errno == ENOENT) dropped.push_back(files[i]);
  }
  path = folder_ + "/" + NewName();
  if (!ReplaceFileAtomically(path, SerializeOutboxMessage(message), kFileMode)) {
    why = path + ": " + std::strerror(errno);
    path.clear();
    return false;
  }
  return true;
}

std::vector<std::string> Outbox::List() const {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder_.c_str());
  if (dir == nullptr) return names;
  while (const dirent* e = ::readdir(dir))
    if (IsMessageName(e->d_name)) names.emplace_back(e->d_name);
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (std::string& n : names) n = folder_ + "/" + n;
  return names;
}

std::string Outbox::MoveAside(const std::string& path) const {
  const std::string bad = folder_ + "/bad";
  if (!MakeFolders(bad, kFolderMode)) return {};
  const std::string target = bad + path.substr(path.find_last_of('/'));
  if (::rename(path.c_str(), target.c_str()) != 0) return {};
  return target;
}

OutboxLock::~OutboxLock() { Release(); }

OutboxLock::Result OutboxLock::Acquire(const std::string& path) {
  Release();
  constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
  int fd = ::open(path.c_str(), O_RDWR | kFlags);
  // A read-only disk still lets the mail go; only the time waited is not kept.
  if (fd < 0 && (errno == EROFS || errno == EACCES)) fd = ::open(path.c_str(), O_RDONLY | kFlags);
  if (fd < 0) {
    if (errno == ENOENT) return Result::Gone;
    return errno == ELOOP ? Result::Refused : Result::Failed;
  }
  struct stat own {};
  if (::fstat(fd, &own) != 0 || !S_ISREG(own.st_mode) || !Trusted(own)) {
    ::close(fd);
    return Result::Refused;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    ::close(fd);
    return e == EWOULDBLOCK ? Result::Busy : Result::Failed;
  }
  // Sent and removed by another process between the open and the lock.
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_nlink == 0) {
    ::close(fd);
    return Result::Gone;
  }
  fd_ = fd;
  path_ = path;
  return Result::Locked;
}

bool OutboxLock::Read(std::string& bytes) const {
  bytes.clear();
  if (fd_ < 0) return false;
  char buf[8192];
  off_t at = 0;
  for (;;) {
    const ssize_t n = ::pread(fd_, buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    bytes.append(buf, std::size_t(n));
    at += n;
    if (bytes.size() > (64u << 20)) return false;  // no mail of ours is this large
  }
}

bool OutboxLock::WriteWaited(std::int64_t waitedMs) const {
  if (fd_ < 0) return false;
  char head[kWaitedAt];
  if (::pread(fd_, head, sizeof head, 0) != ssize_t(sizeof head) ||
      std::string_view(head, sizeof head) != std::string(kMagic) + kWaitedHead)
    return false;  // a file of the first format keeps its form
  const std::string digits = WaitedDigits(waitedMs);
  return ::pwrite(fd_, digits.data(), digits.size(), off_t(kWaitedAt)) == ssize_t(digits.size());
}

bool OutboxLock::RemoveAndRelease() {
  const bool removed = fd_ >= 0 && (::unlink(path_.c_str()) == 0 || errno == ENOENT);
  Release();
  return removed;
}

void OutboxLock::Release() {
  if (fd_ >= 0) ::close(fd_);  // closing drops the lock
  fd_ = -1;
  path_.clear();
}

}  // namespace km7::alarms
