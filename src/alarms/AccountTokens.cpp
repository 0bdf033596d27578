#include "alarms/AccountTokens.h"

#include <sys/stat.h>

#include <map>
#include <mutex>

#include "smtp/OAuthAccount.h"

namespace km7::alarms {
namespace {

// Which file a source was made from: the file is replaced, never edited in
// place, so a new sign-in shows as another inode or time.
struct FileStamp {
  bool exists = false;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  bool operator==(const FileStamp& o) const {
    return exists == o.exists && inode == o.inode && size == o.size && modified.tv_sec == o.modified.tv_sec &&
           modified.tv_nsec == o.modified.tv_nsec;
  }
};

FileStamp StampOf(const std::string& path) {
  struct stat st {};
  FileStamp stamp;
  if (::stat(path.c_str(), &st) != 0) return stamp;
  stamp.exists = true;
  stamp.inode = st.st_ino;
  stamp.size = st.st_size;
  stamp.modified = st.st_mtim;
  return stamp;
}

struct Entry {
  FileStamp stamp;
  std::shared_ptr<km7::oauth::TokenSource> source;
};

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, Entry>& Registry() {
  static std::map<std::string, Entry> entries;
  return entries;
}

}  // namespace

std::shared_ptr<km7::oauth::TokenSource> AccountTokenSource(const std::string& path, std::string& error) {
  return AccountTokenSource(path, km7::DataProtector(), error);
}

std::shared_ptr<km7::oauth::TokenSource> AccountTokenSource(const std::string& path,
                                                            const km7::DataProtector& protector, std::string& error) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  const FileStamp stamp = StampOf(path);
  const auto it = Registry().find(path);
  if (it != Registry().end() && stamp.exists && it->second.stamp == stamp) return it->second.source;
  km7::oauth::Account account;
  if (!km7::oauth::LoadAccount(path, protector, account, error)) return nullptr;
  // Called under the source's own lock, never under the registry's: a
  // rotated token is stored, and the file it went to stays this source's.
  auto store = [path, protector](const km7::oauth::Account& renewed, std::string& why) {
    if (!km7::oauth::SaveAccount(path, protector, renewed, why)) return false;
    std::lock_guard<std::mutex> g(RegistryMutex());
    const auto entry = Registry().find(path);
    if (entry != Registry().end()) entry->second.stamp = StampOf(path);
    return true;
  };
  auto source = std::make_shared<km7::oauth::RefreshTokenSource>(account, km7::oauth::HttpOptions{}, store);
  Registry()[path] = Entry{stamp, source};
  return source;
}

}  // namespace km7::alarms
