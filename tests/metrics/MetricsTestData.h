#pragma once
// Snapshots for the metrics tests.
#include <chrono>

#include "status/SensorSnapshot.h"

namespace km7::test {

inline status::SensorSnapshot UpSensor(const std::string& name, const std::string& serial, double t, double rh) {
  status::SensorSnapshot s;
  s.name = name;
  s.serial = serial;
  s.up = true;
  s.temperatureC = t;
  s.humidityPercent = rh;
  s.dewPointC = t - (100 - rh) / 5;
  s.lastGoodReading = std::chrono::system_clock::time_point(std::chrono::seconds(1765000000));
  s.crcErrorsTotal = 3;
  s.readingsFailedTotal = 4;
  s.alarms = {{status::kAlarmTemperatureHigh, true}, {status::kAlarmSensorLost, false}};
  s.mailOutboxMessages = 2;
  s.mailsSentTotal = 7;
  return s;
}

}  // namespace km7::test
