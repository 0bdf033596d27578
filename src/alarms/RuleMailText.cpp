#include "alarms/RuleMailText.h"

#include <algorithm>
#include <cstdio>

#include "alarms/AlarmMessage.h"
#include "alarms/EmailErrorLog.h"
#include "platform/Text.h"
#include "settings/ProfileStore.h"

namespace km7::alarms {
namespace {

namespace values = km7::profile;

std::string ReadForDispatch(const values::Value& value, const std::string& suffix) {
  const char* fallback = value.dispatchDefault != nullptr ? value.dispatchDefault : value.defaultText;
  return ProfileStore::Instance().ReadText(ProfileStore::ValueName(value.pattern, suffix), fallback);
}

bool IsTemperature(const RuleMail& m) { return m.quantity == Quantity::Temperature; }

// A value of the mail's quantity in the display unit, with its unit.
std::string ValueText(const RuleMail& m, double value, int unit) {
  if (!IsTemperature(m)) return FormatFixed(value, 1) + "%";
  const double shown = unit == 1 ? value : ToFahrenheit(value);
  return FormatFixed(shown, 1) + "\xB0" + (unit == 1 ? "C" : "F");
}

std::string SuppressedLine(const RuleMail& m, const RuleSettings& s) {
  if (m.suppressed <= 0) return {};
  return std::to_string(m.suppressed) + (m.suppressed == 1 ? " more excursion" : " more excursions") +
         " since " + LogTimestamp(m.suppressedSince) + " not mailed (at most one mail in " +
         std::to_string(s.minGapMinutes) + " min).\n";
}

std::string AlarmLineFor(const RuleMail& m, int unit) {
  AlarmBand band;
  if (m.limit == Limit::High) {
    band.highActive = 1;
    band.high = static_cast<float>(m.limitValue);
  } else {
    band.lowActive = 1;
    band.low = static_cast<float>(m.limitValue);
  }
  // The line of a limit the value is past; for a repeat whose value has
  // come back within the margin, the limit is still named.
  const double probe = m.limit == Limit::High ? std::max(m.valueNow, m.limitValue + 1.0)
                                              : std::min(m.valueNow, m.limitValue - 1.0);
  return AlarmLine(IsTemperature(m) ? AlarmKind::Temperature : AlarmKind::Humidity, probe, band, unit);
}

}  // namespace

MailTexts ReadMailTexts(const std::string& suffix) {
  MailTexts t;
  ProfileStore& s = ProfileStore::Instance();
  t.from = s.ReadText(values::EmailTempFrom, suffix);
  t.to = ReadForDispatch(values::EmailTempTo, suffix);
  t.cc = ReadForDispatch(values::EmailTempCC, suffix);
  t.subject[0] = ReadForDispatch(values::EmailTempSubject, suffix);
  t.subject[1] = ReadForDispatch(values::EmailHumSubject, suffix);
  const values::Value* lines[2][3] = {
      {&values::EmailTempBodyL2, &values::EmailTempBodyL3, &values::EmailTempBodyL4},
      {&values::EmailHumBodyL2, &values::EmailHumBodyL3, &values::EmailHumBodyL4}};
  for (int q = 0; q < 2; ++q)
    for (int i = 0; i < 3; ++i) t.lines[q][i] = ReadForDispatch(*lines[q][i], suffix);
  return t;
}

RuleOptions ReadRuleOptions(const std::string& suffix) {
  ProfileStore& s = ProfileStore::Instance();
  RuleOptions o;
  o.sensorLost = s.ReadInt(values::SensorLostOnOff, suffix) == 1;
  o.sensorLostSeconds = std::max(1, s.ReadInt(values::SensorLostSeconds, suffix));
  o.backToNormal = s.ReadInt(values::BackToNormalOnOff, suffix) == 1;
  o.repeatMinutes = std::max(0, s.ReadInt(values::RepeatMinutes, suffix));
  o.minGapMinutes = std::max(0, s.ReadInt(values::MinGapMinutes, suffix));
  return o;
}

bool WriteRuleOptions(const std::string& suffix, const RuleOptions& o) {
  ProfileStore& s = ProfileStore::Instance();
  bool ok = s.WriteInt(values::SensorLostOnOff, suffix, o.sensorLost ? 1 : 0);
  ok = s.WriteInt(values::SensorLostSeconds, suffix, o.sensorLostSeconds) && ok;
  ok = s.WriteInt(values::BackToNormalOnOff, suffix, o.backToNormal ? 1 : 0) && ok;
  ok = s.WriteInt(values::RepeatMinutes, suffix, o.repeatMinutes) && ok;
  ok = s.WriteInt(values::MinGapMinutes, suffix, o.minGapMinutes) && ok;
  return ok;
}

void ApplyRuleOptions(const RuleOptions& o, RuleSettings& s) {
  s.sensorLostSeconds = o.sensorLost ? o.sensorLostSeconds : 0;
  s.backToNormal = o.backToNormal;
  s.repeatMinutes = o.repeatMinutes;
  s.minGapMinutes = o.minGapMinutes;
}

std::string DurationText(long long seconds) {
  if (seconds < 0) seconds = 0;
  char buf[48];
  if (seconds >= 3600)
    std::snprintf(buf, sizeof buf, "%lld h %02lld min", seconds / 3600, seconds % 3600 / 60);
  else if (seconds >= 60)
    std::snprintf(buf, sizeof buf, "%lld min %02lld s", seconds / 60, seconds % 60);
  else
    std::snprintf(buf, sizeof buf, "%lld s", seconds);
  return buf;
}

std::string MailKindName(const RuleMail& m) {
  const std::string what = IsTemperature(m) ? "Temperature" : "Humidity";
  switch (m.kind) {
    case MailKind::Alarm:
    case MailKind::Suppressed: return what;
    case MailKind::Repeat: return what + " repeat";
    case MailKind::BackToNormal: return what + " back to normal";
    case MailKind::SensorLost: return "Sensor lost";
    case MailKind::SensorBack: return "Sensor back";
  }
  return what;
}

OutboxMessage ComposeRuleMail(const RuleMail& m, const std::string& sensor, const MailTexts& t,
                              const RuleSettings& settings, int unit) {
  OutboxMessage out;
  out.sensor = sensor;
  out.kind = MailKindName(m);
  out.to = t.to;
  out.from = t.from;
  out.cc = t.cc;
  out.created = m.now;
  const int q = IsTemperature(m) ? 0 : 1;
  const std::string what = IsTemperature(m) ? "Temperature" : "Humidity";
  const SensorValues values{m.reading.temperature, m.reading.humidity, m.reading.dewPoint};
  const std::string lines = t.lines[q][0] + "\n" + t.lines[q][1] + "\n" + t.lines[q][2] + "\n\n";
  std::string body;
  switch (m.kind) {
    case MailKind::Alarm:
      out.subject = t.subject[q];
      body = ReadingLine(sensor, values, unit) + "\n" + AlarmLineFor(m, unit) + SuppressedLine(m, settings) + lines;
      break;
    case MailKind::Repeat:
      out.subject = t.subject[q] + " (still out of band)";
      body = ReadingLine(sensor, values, unit) + "\n" + AlarmLineFor(m, unit) + what +
             " has been out of band for " + DurationText(m.now - m.firedAt) + " (since " +
             LogTimestamp(m.firedAt) + "), peak " + ValueText(m, m.peak, unit) + ".\n" + lines;
      break;
    case MailKind::BackToNormal:
      out.subject = t.subject[q] + " (back to normal)";
      body = ReadingLine(sensor, values, unit) + "\n" + what + " is back to normal.\nFired " +
             LogTimestamp(m.firedAt) + ", peak " + ValueText(m, m.peak, unit) + ", lasted " +
             DurationText(m.now - m.firedAt) + ", now " + ValueText(m, m.valueNow, unit) + ".\n" + lines;
      break;
    case MailKind::Suppressed:
      out.subject = t.subject[q] + " (excursions not mailed)";
      body = ReadingLine(sensor, values, unit) + "\n" + SuppressedLine(m, settings) + lines;
      break;
    case MailKind::SensorLost: {
      out.subject = "sensor lost: " + sensor;
      std::string seen = ProblemText(m.problem);
      if (m.crcErrors > 0) seen += ", " + std::to_string(m.crcErrors) + " CRC failures";
      body = "Sensor: " + sensor + " - sensor lost.\nLast good reading: " +
             (m.lastGoodAt != 0 ? LogTimestamp(m.lastGoodAt) : std::string("none since km7 started")) +
             ".\nSeen: " + seen + ".\n\n";
      break;
    }
    case MailKind::SensorBack:
      out.subject = "sensor back: " + sensor;
      body = ReadingLine(sensor, values, unit) + "\nSensor back at " + LogTimestamp(m.now) +
             "; no reading since " +
             (m.lastGoodAt != 0 ? LogTimestamp(m.lastGoodAt) : std::string("km7 started")) + ".\n\n";
      break;
  }
  out.body = body;
  return out;
}

}  // namespace km7::alarms
