#pragma once
// Every module km7d watches, found by looking at the device list now and
// then: new modules are opened, vanished ones reported and closed, returning
// ones opened again. Owns the exports' snapshot store and the per-module
// monitors; driven by the main loop, it starts no thread of its own.
#include <cstdint>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "km7d/Options.h"
#include "km7d/SensorMonitor.h"
#include "alarms/MailWorker.h"
#include "mqtt/MqttPublisher.h"
#include "status/SensorSnapshot.h"

namespace km7d {

class Monitor {
 public:
  Monitor(const Options& options, std::shared_ptr<const D2xxLibrary> lib, Say say);
  ~Monitor();

  // Reads the device list and acts on what changed.
  void Poll();
  // The display tick of every module.
  void Tick();
  // SIGHUP: settings read again, log files reopened.
  void Reload();
  // Stops every module at once, then waits for each (bounded).
  void Stop();

  km7::status::SnapshotStore& Store() { return store_; }
  // Modules found by the first look that are being watched and have no
  // reading yet: readiness waits for these.
  bool FirstReadingsIn() const;
  // Every watched module's thread is alive and making progress.
  bool AllThreadsHealthy() const;
  // "2 modules watched, 1 alarm firing" and the like.
  std::string StatusLine() const;

 private:
  bool Wanted(const std::string& description) const;
  std::string BusyText(unsigned elsewhere, const std::set<std::string>& listed) const;
  void OnMailEvent(const km7::alarms::MailEvent& event);

  const Options& options_;
  std::shared_ptr<const D2xxLibrary> lib_;
  Say say_;
  km7::status::SnapshotStore store_;
  // Shared by the modules: declared before them, so it outlives them.
  std::unique_ptr<km7::mqtt::MqttPublisher> mqtt_;
  std::map<std::string, std::unique_ptr<SensorMonitor>> modules_;  // by description
  std::set<std::string> firstLook_;
  bool looked_ = false;
  bool listFailing_ = false;
  unsigned inUseElsewhere_ = 0;
  std::set<std::string> missingNamed_;
  std::unique_ptr<km7::alarms::MailWorker> mail_;
  // Per sensor (Windows-1252 name): mails the server took, and mails given
  // up; written by the mail worker's thread.
  struct MailCounts {
    std::uint64_t sent = 0;
    std::uint64_t givenUp = 0;
    std::uint64_t dropped = 0;
  };
  std::mutex mailMutex_;
  std::map<std::string, MailCounts> mailCounts_;
  // Sensors whose waiting mail needs their server settings.
  std::set<std::string> needServer_;
};

}  // namespace km7d
