#pragma once
// The alarm rules of one sensor as a pure function: given the state so far,
// one reading and the time, say what the state is now and which mails to
// send. Knows nothing of windows, threads, settings files or mail servers, so
// the desktop program and the service drive one engine per sensor alike.
//
// The rules: a band per quantity (temperature, humidity) with a latch per
// limit, re-armed when the value is back inside by more than 1.0; and, each
// off by default, "sensor lost", "back to normal", "repeat" and "minimum gap".
#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace km7::alarms {

inline constexpr double kRearmMargin = 1.0;
inline constexpr int kDefaultSensorLostSeconds = 120;

enum class Quantity { Temperature = 0, Humidity = 1 };
enum class Limit { High = 0, Low = 1 };

// The alarms' names where programs show them (exports, status lines).
inline constexpr const char* kAlarmTemperatureHigh = "temperature_high";
inline constexpr const char* kAlarmTemperatureLow = "temperature_low";
inline constexpr const char* kAlarmHumidityHigh = "humidity_high";
inline constexpr const char* kAlarmHumidityLow = "humidity_low";
inline constexpr const char* kAlarmSensorLost = "sensor_lost";

// One band: a limit counts only while it is switched on.
struct RuleBand {
  bool highOn = false;
  double high = 0.0;
  bool lowOn = false;
  double low = 0.0;
};

struct RuleSettings {
  // The Email box of each quantity: off means no check at all for it.
  bool temperatureOn = false;
  bool humidityOn = false;
  RuleBand temperature;  // °C
  RuleBand humidity;     // percent
  int sensorLostSeconds = 0;  // 0: off
  bool backToNormal = false;
  int repeatMinutes = 0;  // 0: never
  int minGapMinutes = 0;  // 0: no gap
};

// What went wrong while no reading came, as the acquisition saw it.
enum class SensorProblem { None, Unplugged, NoAnswer, CrcFailures };

struct RuleReading {
  bool current = false;  // a good, recent reading
  double temperature = 0.0;  // °C
  double humidity = 0.0;
  double dewPoint = 0.0;
  SensorProblem problem = SensorProblem::None;
  std::int32_t crcErrors = 0;
  // When a current reading's values were measured (0: at the step's time).
  // A reading stays current for a few seconds after the sensor went quiet;
  // the sensor's silence counts from here.
  std::time_t measuredAt = 0;
};

// One limit's memory.
struct LimitState {
  bool fired = false;        // latched: out of band since firedAt
  bool mailed = false;       // this excursion's alarm mail went out
  std::time_t firedAt = 0;
  double peak = 0.0;         // furthest value past the limit in this excursion
  std::time_t lastMailAt = 0;  // last mail of this alarm (0: none yet)
  int suppressed = 0;        // excursions not mailed because of the gap
  std::time_t suppressedSince = 0;
  bool backPending = false;  // back inside, its mail held until the gap ends
};

struct RuleState {
  bool started = false;
  std::time_t startedAt = 0;
  std::time_t lastGoodAt = 0;  // when the last good reading was measured; 0: none yet
  bool lost = false;           // the "sensor lost" mail was asked for
  SensorProblem lastProblem = SensorProblem::None;
  std::int32_t crcErrors = 0;
  std::array<std::array<LimitState, 2>, 2> limits{};  // [quantity][limit]

  LimitState& At(Quantity q, Limit l) { return limits[int(q)][int(l)]; }
  const LimitState& At(Quantity q, Limit l) const { return limits[int(q)][int(l)]; }
};

enum class MailKind {
  Alarm,         // the value left its band
  Repeat,        // still out of band
  BackToNormal,  // re-armed after a mailed excursion
  Suppressed,    // the gap ended with excursions that were not mailed
  SensorLost,
  SensorBack,
};

// A mail to send, with everything its text needs.
struct RuleMail {
  MailKind kind = MailKind::Alarm;
  Quantity quantity = Quantity::Temperature;
  Limit limit = Limit::High;
  double limitValue = 0.0;
  double valueNow = 0.0;
  double peak = 0.0;
  std::time_t firedAt = 0;
  std::time_t now = 0;
  int suppressed = 0;  // excursions not mailed since suppressedSince
  std::time_t suppressedSince = 0;
  std::time_t lastGoodAt = 0;  // sensor mails: 0 when none was ever seen
  SensorProblem problem = SensorProblem::None;
  std::int32_t crcErrors = 0;
  RuleReading reading;  // the reading of this step (values of a lost sensor are the past)
};

struct RuleStep {
  RuleState state;
  std::vector<RuleMail> mails;
};

RuleStep StepRules(const RuleState& state, const RuleSettings& settings, const RuleReading& reading,
                   std::time_t now);

const char* ProblemText(SensorProblem problem);

}  // namespace km7::alarms
