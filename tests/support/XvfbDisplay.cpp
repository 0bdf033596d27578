// Linked into a test program that checks what a window shows on a display:
// before main it starts a private X server (Xvfb) on a display number the
// server picks itself, free at that moment, points DISPLAY at it and selects
// the xcb platform; when the program ends it stops that server again. The
// window is then drawn, a part at a time, as a person's desktop draws it, and
// the test reads back what the server holds.
#include "support/XvfbDisplay.h"

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace km7::test {
namespace {

pid_t g_server = -1;
std::string g_display;

void StopServer() {
  if (g_server <= 0) return;
  kill(g_server, SIGTERM);
  int status = 0;
  waitpid(g_server, &status, 0);
  g_server = -1;
}

// The server writes its display number to the pipe once it accepts clients.
bool StartServer() {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // Never outlive the test program, whatever ends it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    close(fds[0]);
    const std::string fd = std::to_string(fds[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  g_server = pid;
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  // Generous: a busy machine starts it in well under a second.
  while (poll(&p, 1, 20000) > 0) {
    char c = 0;
    if (read(fds[0], &c, 1) != 1 || c == '\n') break;
    number += c;
  }
  close(fds[0]);
  if (number.empty()) {
    std::fprintf(stderr, "Xvfb did not start (is it installed?)\n");
    StopServer();
    return false;
  }
  g_display = ":" + number;
  setenv("DISPLAY", g_display.c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  std::atexit(StopServer);
  return true;
}

const bool g_started = StartServer();

}  // namespace

bool XvfbRunning() { return g_started; }
const std::string& XvfbDisplayName() { return g_display; }

}  // namespace km7::test
