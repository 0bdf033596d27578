#pragma once
// What the exports (Prometheus, MQTT) know of each module: plain values that
// the service fills after every reading and the exports read. Texts are UTF-8.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "alarms/AlarmRules.h"

namespace km7::status {

// Alarm names as the exports show them: the rules' own.
using km7::alarms::kAlarmHumidityHigh;
using km7::alarms::kAlarmHumidityLow;
using km7::alarms::kAlarmSensorLost;
using km7::alarms::kAlarmTemperatureHigh;
using km7::alarms::kAlarmTemperatureLow;

struct SensorSnapshot {
  std::string name;    // the name the user gave the sensor
  std::string serial;  // the bridge's serial number; identifies the module
  // The latest reading is current. When false, the three values below are
  // not shown anywhere.
  bool up = false;
  double temperatureC = 0;
  double humidityPercent = 0;  // relative humidity, 0-100
  double dewPointC = 0;
  // Wall-clock time of the last good reading; empty before the first one.
  std::optional<std::chrono::system_clock::time_point> lastGoodReading;
  std::uint64_t crcErrorsTotal = 0;
  std::uint64_t readingsFailedTotal = 0;
  // Alarm name (the constants above) -> firing now.
  std::map<std::string, bool> alarms;
  // This sensor's alarm mail: messages waiting in the outbox, mails sent.
  std::uint64_t mailOutboxMessages = 0;
  std::uint64_t mailsSentTotal = 0;
  // Mails given up (refused for good, or a day of failures) and dropped
  // (outbox full, file unreadable).
  std::uint64_t mailsGivenUpTotal = 0;
  std::uint64_t mailsDroppedTotal = 0;
};

using SensorList = std::vector<SensorSnapshot>;

// The latest snapshot of every module. Writers (acquisition threads, the
// mail worker) replace a whole entry; readers get an immutable copy, so a
// reader never waits on a sensor or on mail, only on a pointer copy.
class SnapshotStore {
 public:
  // Adds the sensor or replaces the entry with the same serial.
  void Publish(SensorSnapshot sensor);
  // Sets the mail figures of the sensor with this serial, if present.
  void UpdateMail(const std::string& serial, std::uint64_t outboxMessages, std::uint64_t mailsSentTotal);
  // Forgets the sensor with this serial (a module that is no longer watched).
  void Remove(const std::string& serial);
  // All sensors, ordered by serial. Never null.
  std::shared_ptr<const SensorList> Current() const;
  // Outbox files that could not be read: no sensor to count them under.
  void CountUnreadableMail() { ++unreadableMails_; }
  std::uint64_t UnreadableMails() const { return unreadableMails_.load(); }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const SensorList> sensors_ = std::make_shared<const SensorList>();
  std::atomic<std::uint64_t> unreadableMails_{0};
};

}  // namespace km7::status
