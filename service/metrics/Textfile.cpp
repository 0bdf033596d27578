#include "metrics/Textfile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "metrics/Exposition.h"

namespace km7::metrics {

namespace {

// ".km7.prom.<16 random hex digits>.tmp": a name the collector ignores (it
// reads *.prom only) and another account cannot guess to plant a link.
std::string TemporaryName() {
  static constexpr char kHex[] = "0123456789abcdef";
  unsigned char random[8] = {};
  std::size_t got = 0;
  while (got < sizeof random) {
    const ssize_t n = ::getrandom(random + got, sizeof random - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  // Appended piece by piece: GCC 12 at -O3 takes a chain of + for an
  // overlapping copy (-Wrestrict).
  std::string name = ".";
  name += kTextfileName;
  name += '.';
  for (unsigned char b : random) {
    name += kHex[b >> 4];
    name += kHex[b & 0xF];
  }
  name += ".tmp";
  return name;
}

}  // namespace

bool WriteTextfile(const std::filesystem::path& dir, const status::SensorList& sensors, std::string& error,
                   std::uint64_t mailsUnreadable) {
  const std::string text = RenderExposition(sensors, mailsUnreadable);
  const std::filesystem::path target = dir / kTextfileName;
  std::filesystem::path temp;
  auto fail = [&](const std::string& what, int err) {
    error = what + ": " + std::strerror(err);
    return false;
  };
  // A new file of our own, never one that is there already: another account
  // that may write the folder could have put a link in our way.
  int fd = -1;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    temp = dir / TemporaryName();
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
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

bool WriteTextfileDown(const std::filesystem::path& dir, status::SensorList sensors, std::string& error) {
  for (auto& s : sensors) s.up = false;
  return WriteTextfile(dir, sensors, error);
}

}  // namespace km7::metrics
