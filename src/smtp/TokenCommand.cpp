#include "smtp/TokenCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "platform/SecureWipe.h"

extern char** environ;

namespace km7::oauth {

namespace {

using Clock = std::chrono::steady_clock;

// The command's stderr for a message: control characters shown as "?", at
// most a few lines.
std::string Shown(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  if (text.size() > 1000) text = text.substr(0, 1000) + "...";
  for (char& c : text) {
    if (c == '\n') continue;
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return text;
}

std::string Quoted(const std::vector<std::string>& argv) { return "\"" + argv.front() + "\""; }

struct Pipe {
  int fds[2] = {-1, -1};
  ~Pipe() {
    for (int fd : fds) {
      if (fd >= 0) ::close(fd);
    }
  }
  bool Open() { return ::pipe2(fds, O_CLOEXEC) == 0; }
  void CloseWrite() {
    if (fds[1] >= 0) ::close(fds[1]);
    fds[1] = -1;
  }
};

}  // namespace

bool SplitCommandLine(std::string_view line, std::vector<std::string>& words, std::string& error) {
  words.clear();
  std::string word;
  bool inWord = false;
  char quote = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote == '\'') {
      if (c == '\'') {
        quote = 0;
      } else {
        word += c;
      }
      continue;
    }
    if (c == '\\' && i + 1 < line.size() && (quote == 0 || line[i + 1] == '"' || line[i + 1] == '\\')) {
      word += line[++i];
      inWord = true;
      continue;
    }
    if (quote == '"') {
      if (c == '"') {
        quote = 0;
      } else {
        word += c;
      }
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      inWord = true;
    } else if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quote != 0) {
    error = std::string("unfinished ") + (quote == '"' ? "double" : "single") + " quote in the command";
    return false;
  }
  if (inWord) words.push_back(word);
  if (words.empty()) {
    error = "the command is empty";
    return false;
  }
  return true;
}

CommandOutcome RunTokenCommand(const std::vector<std::string>& argv, uint32_t timeoutMs) {
  CommandOutcome outcome;
  if (argv.empty()) {
    outcome.error = "no token command";
    return outcome;
  }
  Pipe out;
  Pipe err;
  if (!out.Open() || !err.Open()) {
    outcome.error = std::string("cannot run the token command: ") + std::strerror(errno);
    return outcome;
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.fds[1], STDERR_FILENO);
  // A group of its own, so a command that hangs is stopped with whatever it
  // started; default signal handling, whatever the caller set.
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  out.CloseWrite();
  err.CloseWrite();
  if (spawned != 0) {
    outcome.error = "cannot run the token command " + Quoted(argv) + ": " + std::strerror(spawned);
    return outcome;
  }

  std::string output;
  std::string errors;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  bool outOpen = true;
  bool errOpen = true;
  bool timedOut = false;
  char buffer[4096];
  while (outOpen || errOpen) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p[2] = {{outOpen ? out.fds[0] : -1, POLLIN, 0}, {errOpen ? err.fds[0] : -1, POLLIN, 0}};
    const int rc = ::poll(p, 2, static_cast<int>(left > INT_MAX ? INT_MAX : left));
    if (rc < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (p[i].fd < 0 || (p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t n = ::read(p[i].fd, buffer, sizeof buffer);
      std::string& into = i == 0 ? output : errors;
      if (n > 0) {
        if (into.size() < kMaxCommandOutput) into.append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        (i == 0 ? outOpen : errOpen) = false;
      }
    }
  }
  km7::SecureZero(buffer, sizeof buffer);
  int status = 0;
  if (timedOut) {
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    km7::Wipe(output);
    outcome.error = "the token command " + Quoted(argv) + " did not finish within " +
                    std::to_string((timeoutMs + 999) / 1000) + " s and was stopped";
    if (!errors.empty()) outcome.error += "; it said:\n" + Shown(errors);
    return outcome;
  }
  // The output is complete; the command itself gets what is left of its time.
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    if (Clock::now() >= deadline) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      km7::Wipe(output);
      outcome.error = "the token command " + Quoted(argv) + " did not finish within " +
                      std::to_string((timeoutMs + 999) / 1000) + " s and was stopped";
      return outcome;
    }
    ::usleep(10000);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    km7::Wipe(output);
    outcome.error = "the token command " + Quoted(argv) +
                    (WIFEXITED(status) ? " failed with exit status " + std::to_string(WEXITSTATUS(status))
                                       : " was ended by signal " + std::to_string(WTERMSIG(status)));
    outcome.error += errors.empty() ? std::string(" and said nothing") : ":\n" + Shown(errors);
    return outcome;
  }
  const size_t end = output.find_first_of("\r\n");
  std::string token = output.substr(0, end);
  km7::Wipe(output);
  const size_t first = token.find_first_not_of(" \t");
  const size_t last = token.find_last_not_of(" \t");
  outcome.token = first == std::string::npos ? std::string() : token.substr(first, last - first + 1);
  km7::Wipe(token);
  if (outcome.token.empty()) {
    outcome.error = "the token command " + Quoted(argv) + " printed no token";
    if (!errors.empty()) outcome.error += ":\n" + Shown(errors);
    return outcome;
  }
  outcome.ok = true;
  return outcome;
}

}  // namespace km7::oauth
