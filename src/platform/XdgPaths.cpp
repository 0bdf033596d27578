#include "platform/XdgPaths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace km7 {
namespace {

std::string BaseDir(const char* variable, const char* fallbackBelowHome) {
  const char* value = std::getenv(variable);
  // Relative values are invalid and must be ignored.
  if (value != nullptr && value[0] == '/') return value;
  std::string home = HomeDir();
  if (home.empty()) return {};
  return home + fallbackBelowHome;
}

}  // namespace

std::string HomeDir() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr)
    return found->pw_dir;
  return {};
}

std::string ConfigHome() { return BaseDir("XDG_CONFIG_HOME", "/.config"); }

std::string DataHome() { return BaseDir("XDG_DATA_HOME", "/.local/share"); }

std::string StateHome() { return BaseDir("XDG_STATE_HOME", "/.local/state"); }

bool MakeFolders(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  std::string::size_type slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash), mode))
    return false;
  if (mkdir(path.c_str(), mode) == 0) return true;
  // Another process may have made it meanwhile.
  return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace km7
