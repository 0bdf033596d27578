#include "metrics/Textfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "metrics/Exposition.h"

namespace km7::metrics {

bool WriteTextfile(const std::filesystem::path& dir, const status::SensorList& sensors, std::string& error) {
  const std::string text = RenderExposition(sensors);
  const std::filesystem::path target = dir / kTextfileName;
  // A name the collector ignores (it reads *.prom only), unique per process.
  // Appended piece by piece: GCC 12 at -O3 takes a chain of + for an
  // overlapping copy (-Wrestrict).
  std::string name = ".";
  name += kTextfileName;
  name += '.';
  name += std::to_string(getpid());
  name += ".tmp";
  const std::filesystem::path temp = dir / name;
  auto fail = [&](const std::string& what, int err) {
    error = what + ": " + std::strerror(err);
    return false;
  };
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail("cannot write " + temp.string(), errno);
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      ::close(fd);
      ::unlink(temp.c_str());
      return fail("cannot write " + temp.string(), err);
    }
    done += static_cast<std::size_t>(n);
  }
  // fchmod: the umask must not make the file unreadable to the collector.
  if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0) {
    int err = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    return fail("cannot write " + temp.string(), err);
  }
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    return fail("cannot write " + temp.string(), err);
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    return fail("cannot replace " + target.string(), err);
  }
  error.clear();
  return true;
}

}  // namespace km7::metrics
