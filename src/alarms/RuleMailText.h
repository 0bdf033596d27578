#pragma once
// What the mail of an alarm rule says, and the rules' settings as stored for
// a sensor. Rule mail goes to the temperature alarm's recipients from its
// sender, as the humidity alarm's mail does.
#include <string>

#include "alarms/AlarmRules.h"
#include "alarms/Outbox.h"

namespace km7::alarms {

// The stored texts a sensor's mail is made of.
struct MailTexts {
  std::string to, from, cc;
  std::string subject[2];  // [Quantity]
  std::string lines[2][3];  // [Quantity] body lines 2 to 4
};

// Reads the texts as the alarm mail always did (the dispatch's defaults).
MailTexts ReadMailTexts(const std::string& suffix);

// The rule settings stored for the sensor, on the band and Email-box state
// given.
struct RuleOptions {
  bool sensorLost = false;
  int sensorLostSeconds = kDefaultSensorLostSeconds;
  bool backToNormal = false;
  int repeatMinutes = 0;
  int minGapMinutes = 0;
};
RuleOptions ReadRuleOptions(const std::string& suffix);
bool WriteRuleOptions(const std::string& suffix, const RuleOptions& options);
void ApplyRuleOptions(const RuleOptions& options, RuleSettings& settings);

// The log's name for the mail ("Temperature", "Sensor lost", ...).
std::string MailKindName(const RuleMail& mail);

// The whole message; unit 1 is Celsius, else Fahrenheit.
OutboxMessage ComposeRuleMail(const RuleMail& mail, const std::string& sensor, const MailTexts& texts,
                              const RuleSettings& settings, int unit);

// "2 h 05 min", "12 min 30 s", "45 s".
std::string DurationText(long long seconds);

}  // namespace km7::alarms
