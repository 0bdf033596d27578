#pragma once
// What the mail worker's tests share: the events the worker reports, a
// server on loopback by its port, and a scripted server started by the test.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"
#include "alarms/MailWorker.h"

namespace km7::test {

// Every event the worker told, in order, waited for with a bound.
class MailEvents {
 public:
  using MailEvent = km7::alarms::MailEvent;
  using Type = MailEvent::Type;
  km7::alarms::MailWorker::Notify Sink() {
    return [this](const MailEvent& e) {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(e);
      changed_.notify_all();
    };
  }
  std::size_t Count(Type t) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountLocked(t);
  }
  std::vector<MailEvent> Of(Type t) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<MailEvent> out;
    for (const MailEvent& e : events_)
      if (e.type == t) out.push_back(e);
    return out;
  }
  std::vector<MailEvent> All() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  bool WaitFor(Type t, std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return CountLocked(t) >= n; });
  }

 private:
  std::size_t CountLocked(Type t) const {
    std::size_t n = 0;
    for (const MailEvent& e : events_) n += e.type == t;
    return n;
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<MailEvent> events_;
};

inline km7::alarms::MailAccount Server(int port) {
  km7::alarms::MailAccount a;
  a.server.server = "127.0.0.1";
  a.server.port = port;
  return a;
}

// Starts scripted_smtp.py in `mode` from `dir`; its port once it listens.
inline bool StartScripted(km7::it::Daemon& d, const std::filesystem::path& dir, const std::string& name,
                          const std::string& mode, int& port) {
  const std::filesystem::path portFile = dir / (name + ".port");
  if (!d.Start({km7::it::Python(), KM7_SCRIPTED_SMTP, "--mode", mode, "--port-file", portFile.string()}, dir, name))
    return false;
  for (int i = 0; i < 600 && !std::filesystem::exists(portFile); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (!std::filesystem::exists(portFile)) return false;
  port = std::stoi(km7::it::ReadFile(portFile));
  return true;
}

}  // namespace km7::test
