#include "smtp/TokenCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "platform/SecureWipe.h"
#include "smtp/OAuthResponses.h"

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

namespace {

// Starts argv in a process group of its own with stdout and stderr into the
// pipes; the pid, or -1 with errno-style code in `spawnError`.
pid_t Spawn(const std::vector<std::string>& argv, Pipe& out, Pipe& err, int& spawnError) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.fds[1], STDERR_FILENO);
  // A group of its own, so that the command is ended with whatever it
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
  spawnError = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  out.CloseWrite();
  err.CloseWrite();
  return spawnError == 0 ? pid : -1;
}

// True once the process has ended; it stays unreaped (a zombie), so its
// group id cannot be taken by another process before the group is ended.
bool HasEnded(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

enum class Collected { Ended, TimedOut, TooLarge };

// Reads what the pipes hold now; a pipe at its end becomes -1. False when
// stdout has passed the limit (stderr, only for a message, is cut there).
bool ReadAvailable(int (&fds)[2], std::string& output, std::string& errors, char (&buffer)[4096]) {
  for (int i = 0; i < 2; ++i) {
    std::string& into = i == 0 ? output : errors;
    while (fds[i] >= 0) {
      const ssize_t n = ::read(fds[i], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) break;
      if (n <= 0) {
        fds[i] = -1;
        break;
      }
      if (i == 1 && into.size() >= kMaxCommandOutput) continue;
      into.append(buffer, static_cast<size_t>(n));
      if (i == 0 && into.size() > kMaxCommandOutput) return false;
    }
  }
  return true;
}

// Reads stdout and stderr until the command itself has ended (a child it
// left holding the pipes is no reason to wait), the deadline or too much
// output. All that the command wrote before it ended is read.
Collected Collect(pid_t pid, int outFd, int errFd, Clock::time_point deadline, std::string& output,
                  std::string& errors) {
  const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  int fds[2] = {outFd, errFd};
  for (int fd : fds) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  char buffer[4096];
  Collected result = Collected::TimedOut;
  for (bool ended = false;;) {
    if (!ReadAvailable(fds, output, errors, buffer)) {
      result = Collected::TooLarge;
      break;
    }
    if (ended) {
      result = Collected::Ended;
      break;
    }
    ended = HasEnded(pid);
    if (ended) continue;  // one more pass reads what it wrote last
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    // Without a pidfd (an old kernel) the end of the process is looked for
    // every 50 ms.
    pollfd p[3] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}, {pidFd, POLLIN, 0}};
    const long long wait = pidFd >= 0 ? left : std::min<long long>(left, 50);
    ::poll(p, 3, static_cast<int>(std::min<long long>(wait, INT_MAX)));
  }
  km7::SecureZero(buffer, sizeof buffer);
  if (pidFd >= 0) ::close(pidFd);
  return result;
}

}  // namespace

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
  int spawnError = 0;
  const pid_t pid = Spawn(argv, out, err, spawnError);
  if (pid < 0) {
    outcome.error = "cannot run the token command " + Quoted(argv) + ": " + std::strerror(spawnError);
    return outcome;
  }
  std::string output;
  std::string errors;
  const Collected collected =
      Collect(pid, out.fds[0], err.fds[0], Clock::now() + std::chrono::milliseconds(timeoutMs), output, errors);
  // Whatever is left of the group goes: a child it started and left behind
  // (holding our pipes or not), or all of it at the deadline.
  ::kill(-pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (collected != Collected::Ended) {
    km7::Wipe(output);
    outcome.error = collected == Collected::TooLarge
                        ? "the token command " + Quoted(argv) + " printed more than " +
                              std::to_string(kMaxCommandOutput / 1024) + " KB; a token is one line of text"
                        : "the token command " + Quoted(argv) + " did not finish within " +
                              std::to_string((timeoutMs + 999) / 1000) + " s and was stopped";
    if (!errors.empty()) outcome.error += "; it said:\n" + Shown(errors);
    return outcome;
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
  if (!IsTokenText(outcome.token)) {
    km7::Wipe(outcome.token);
    outcome.token.clear();
    outcome.error = "the token command " + Quoted(argv) +
                    " printed a token with a control character, a blank or a non-ASCII byte in it";
    return outcome;
  }
  outcome.ok = true;
  return outcome;
}

}  // namespace km7::oauth
