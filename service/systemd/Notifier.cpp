#include "systemd/Notifier.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>

namespace km7::systemd {

Notifier::Notifier() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  enabled_ = socket != nullptr && *socket != '\0';
  std::uint64_t usec = 0;
  // Checks WATCHDOG_PID too: a watchdog meant for a parent is not ours.
  if (sd_watchdog_enabled(0, &usec) > 0) watchdogPeriod_ = std::chrono::microseconds(usec);
}

bool Notifier::Send(const std::string& lines) {
  if (!enabled_) return false;
  return sd_notify(0, lines.c_str()) > 0;
}

bool Notifier::Ready() { return Send("READY=1"); }

bool Notifier::Status(const std::string& text) {
  // A status is one line: a newline would start another assignment.
  std::string line = "STATUS=";
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  return Send(line);
}

bool Notifier::KeepAlive() { return Send("WATCHDOG=1"); }

bool Notifier::Reloading() { return Send("RELOADING=1"); }

bool Notifier::Stopping() { return Send("STOPPING=1"); }

}  // namespace km7::systemd
