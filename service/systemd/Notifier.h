#pragma once
// Notifications to the service manager: readiness, a status line, watchdog
// keep-alives and stopping. Outside a service (no NOTIFY_SOCKET) every call
// does nothing, so the program runs the same from a terminal.
#include <chrono>
#include <string>

namespace km7::systemd {

class Notifier {
 public:
  // Reads the manager's environment once: whether notifications are wanted
  // and the watchdog period (WATCHDOG_USEC, for this process only).
  Notifier();

  bool Enabled() const { return enabled_; }
  // The watchdog period the manager expects; zero when it watches nothing.
  std::chrono::microseconds WatchdogPeriod() const { return watchdogPeriod_; }
  // How often to send WATCHDOG=1: half the period, as the manager advises.
  std::chrono::microseconds KeepAliveInterval() const { return watchdogPeriod_ / 2; }

  // Each returns false when the message could not be sent (or there is no
  // manager to send it to).
  bool Ready();
  bool Status(const std::string& text);
  bool KeepAlive();
  bool Reloading();
  bool Stopping();
  // Any notification lines ("KEY=value", newline separated).
  bool Send(const std::string& lines);

 private:
  bool enabled_ = false;
  std::chrono::microseconds watchdogPeriod_{0};
};

}  // namespace km7::systemd
