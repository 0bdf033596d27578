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

constexpr char kMagic[] = "km7-outbox 1\n";
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
  if (in.substr(0, sizeof kMagic - 1) != kMagic) return std::nullopt;
  in.remove_prefix(sizeof kMagic - 1);
  OutboxMessage m;
  std::string created;
  if (!GetField(in, "created", created) || created.empty() || created.size() > 18) return std::nullopt;
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
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
  if (fd < 0) return errno == ENOENT ? Result::Gone : Result::Failed;
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
