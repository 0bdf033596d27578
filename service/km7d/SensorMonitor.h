#pragma once
// One module as km7d watches it, from the moment it was first listed: its
// session (acquisition, settings, alarms, data log) and what km7d adds to
// it: the snapshot for the exports and its MQTT connection. The main loop
// drives it; it never waits on the network or on the module.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "monitor/SensorSession.h"
#include "status/SensorSnapshot.h"

namespace km7::mqtt {
class MqttPublisher;
}  // namespace km7::mqtt

namespace km7d {

using Say = std::function<void(const std::string& line)>;

enum class ModuleState {
  Watching,  // open, its thread measuring
  InUse,     // another program has it open
  Failed,    // could not be opened or switched to bit-bang mode
  Gone,      // vanished; picked up again when it is listed
};

class SensorMonitor {
 public:
  // description: as listed (Windows-1252).
  SensorMonitor(std::shared_ptr<const D2xxLibrary> lib, std::string description,
                km7::status::SnapshotStore& store, Say say);
  ~SensorMonitor();
  SensorMonitor(const SensorMonitor&) = delete;
  SensorMonitor& operator=(const SensorMonitor&) = delete;

  // Opens the module (again); tells what happened when it differs from the
  // last attempt. `mqtt`: the service's shared connection, or nullptr.
  ModuleState Attach(km7::mqtt::MqttPublisher* mqtt);
  // The module is no longer listed, or its bridge calls fail.
  void Detach(const std::string& why);
  // Whether the module's bridge has failed: it was unplugged.
  bool LostBridge() const;
  // Whether its reading is current.
  bool Current() const;

  // Every display tick: takes the latest reading, publishes the snapshot,
  // writes a data log row when one is due and checks the alarms.
  void Tick();
  // SIGHUP: the settings are read again.
  void Reload();

  void RequestStop();
  // Stops everything: thread, bridge.
  void Stop();

  ModuleState State() const { return state_; }
  const std::string& Description() const { return description_; }
  std::string NameUtf8() const;
  // The acquisition thread is running and made a cycle recently.
  bool ThreadHealthy(std::int64_t nowMs) const;
  // A first reading arrived since the module was opened.
  bool HasFirstReading() const;
  int AlarmsFiring() const { return session_.Alarms().FiringCount(); }
  // Alarm mails the rules asked for so far.
  std::uint64_t MailsQueued() const { return session_.Alarms().MailsQueued(); }
  // Where alarm mail goes (nullptr: none is sent), and the mail figures the
  // exports show for this sensor.
  void SetMailWorker(km7::alarms::MailWorker* worker) { worker_ = worker; }
  void SetMailFigures(std::uint64_t outbox, std::uint64_t sent, std::uint64_t givenUp = 0,
                      std::uint64_t dropped = 0) {
    mailOutbox_ = outbox;
    mailsSent_ = sent;
    mailsGivenUp_ = givenUp;
    mailsDropped_ = dropped;
  }

  // How long the thread may go without finishing a cycle before it counts as
  // stuck: several of its longest cycles (pause, two conversions, time-outs).
  static constexpr std::int64_t kStuckAfterMs = 15000;

 private:
  km7::status::SensorSnapshot Snapshot(const km7::monitor::SessionStep& step) const;

  std::string description_;
  km7::status::SnapshotStore& store_;
  Say say_;
  km7::monitor::SensorSession session_;
  km7::mqtt::MqttPublisher* mqtt_ = nullptr;  // owned by the Monitor
  ModuleState state_ = ModuleState::Gone;
  bool everAttached_ = false;
  std::string serial_;
  // Cycles seen at the last tick, and when they last changed.
  std::uint64_t cyclesSeen_ = 0;
  std::int64_t lastProgressMs_ = 0;
  km7::alarms::MailWorker* worker_ = nullptr;
  std::uint64_t mailOutbox_ = 0;
  std::uint64_t mailsSent_ = 0;
  std::uint64_t mailsGivenUp_ = 0;
  std::uint64_t mailsDropped_ = 0;
  // Counters of the acquisitions before the present one: the totals the
  // exports show never go down when a module comes back.
  std::uint64_t crcBase_ = 0;
  std::uint64_t failedBase_ = 0;
};

const char* ModuleStateName(ModuleState state);

}  // namespace km7d
