#include "InputSources.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "platform/SecureWipe.h"

namespace km7::mail {
namespace {

using km7::Wipe;

// A folder opens like a file and reads as nothing; pipes (such as <(...))
// are fine for the body and the password.
bool IsFolder(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

// Reads a stream to its end straight into data (no second copy on the way).
bool ReadStream(std::istream& in, std::string& data) {
  data.clear();
  char buffer[64 * 1024];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) data.append(buffer, static_cast<size_t>(in.gcount()));
  return !in.bad();
}

// Turns the terminal's echo off while a password is typed, and back on.
class EchoOff {
 public:
  EchoOff() {
    if (::tcgetattr(STDIN_FILENO, &m_saved) != 0) return;
    termios quiet = m_saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    m_active = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (m_active) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_saved);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  termios m_saved{};
  bool m_active = false;
};

}  // namespace

bool ReadWholeFile(const std::string& path, std::istream& in, std::string& data, std::string& error) {
  if (path == "-") {
    if (!ReadStream(in, data)) {
      error = "cannot read standard input";
      return false;
    }
    return true;
  }
  if (IsFolder(path)) {
    error = "cannot read \"" + path + "\": it is a folder";
    return false;
  }
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    error = "cannot read \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  // Sized once when the size is known (a pipe such as <(...) has none).
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (!ec) data.reserve(static_cast<size_t>(size));
  if (!ReadStream(f, data)) {
    error = "cannot read \"" + path + "\"";
    return false;
  }
  return true;
}

// First line of the password source, without its line end. what names the
// password in messages ("password", "proxy password").
bool ReadPassword(const std::string& source, std::istream& in, bool inIsTerminal, const char* what,
                  std::string& password, std::string& error, std::string* warning) {
  std::string line;
  if (source == "-") {
    bool got = false;
    if (inIsTerminal) {
      std::cerr << (std::string(1, static_cast<char>(std::toupper(what[0]))) + (what + 1)) << ": " << std::flush;
      EchoOff quiet;
      got = static_cast<bool>(std::getline(in, line));
      std::cerr << "\n";
    } else {
      got = static_cast<bool>(std::getline(in, line));
    }
    if (!got && line.empty()) {
      error = std::string("no ") + what + " on standard input";
      return false;
    }
  } else {
    if (IsFolder(source)) {
      error = std::string("cannot read ") + what + " file \"" + source + "\": it is a folder";
      return false;
    }
    std::ifstream f(source, std::ios::binary);
    if (!f) {
      error = std::string("cannot read ") + what + " file \"" + source + "\": " + std::strerror(errno);
      return false;
    }
    std::getline(f, line);
    struct stat st {};
    if (warning != nullptr && ::stat(source.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      *warning = std::string("the ") + what + " file \"" + source + "\" can be read by other users (mode " + mode +
                 "); make it private with chmod 600";
    }
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  password = line;
  Wipe(line);
  return true;
}

}  // namespace km7::mail
