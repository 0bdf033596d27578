#include "mqtt/MqttPassword.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace km7::mqtt {

namespace {

// A password line longer than this is not a password.
constexpr std::size_t kMaxPasswordFile = 4096;

std::string Mode(mode_t mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

}  // namespace

bool ReadPasswordFile(const std::filesystem::path& file, std::string& password, std::string& error,
                      std::string& warning) {
  warning.clear();
  const std::string name = file.string();
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = "cannot read the MQTT password file " + name + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    error = "cannot read the MQTT password file " + name + ": it is not a regular file";
    return false;
  }
  if ((st.st_mode & (S_IROTH | S_IWOTH)) != 0)
    warning = "warning: the MQTT password file " + name + " can be read or changed by every user of this machine (mode " +
              Mode(st.st_mode) + "): make it private with chmod o-rw";
  std::string text(kMaxPasswordFile + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  const std::size_t end = text.find('\n');
  if (end == std::string::npos && got > kMaxPasswordFile) {
    std::memset(text.data(), 0, text.size());
    error = "cannot read the MQTT password file " + name + ": its first line is too long";
    return false;
  }
  password.assign(text.data(), std::min(got, end));
  std::memset(text.data(), 0, text.size());
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) {
    error = "cannot read the MQTT password file " + name + ": it is empty";
    return false;
  }
  return true;
}

std::string ClearTextWarning(const BrokerUrl& broker) {
  if (broker.tls) return {};
  if (broker.host == "localhost" || broker.host == "::1" || broker.host.rfind("127.", 0) == 0) return {};
  return "warning: the MQTT password is sent readable by anyone on the way: " + broker.ToString() +
         " is not encrypted (see mqtts://)";
}

}  // namespace km7::mqtt
