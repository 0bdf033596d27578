#include "metrics/Exposition.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>

#include "platform/Version.h"

namespace km7::metrics {

namespace {

// Length of the valid UTF-8 sequence at the start of `s`, or 0 when the bytes
// there are not one (overlong forms, surrogates and values past U+10FFFF
// included).
std::size_t Utf8SequenceLength(std::string_view s) {
  auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  auto cont = [&](std::size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
  unsigned char c = b(0);
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if (c == 0xE0 && b(1) < 0xA0) return 0;  // overlong
    if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xF0 && b(1) < 0x90) return 0;  // overlong
    if (c == 0xF4 && b(1) >= 0x90) return 0;  // past U+10FFFF
    return 4;
  }
  return 0;
}

struct Family {
  const char* name;
  const char* type;
  const char* help;
};

constexpr Family kTemperature{"km7_temperature_celsius", "gauge", "Temperature of the sensor in degrees Celsius."};
constexpr Family kHumidity{"km7_relative_humidity_ratio", "gauge", "Relative humidity as a ratio from 0 to 1."};
constexpr Family kDewPoint{"km7_dew_point_celsius", "gauge", "Dew point computed from temperature and humidity, in degrees Celsius."};
constexpr Family kUp{"km7_sensor_up", "gauge", "1 when the sensor's latest reading is current, else 0."};
constexpr Family kLastGood{"km7_last_good_reading_timestamp_seconds", "gauge", "Unix time of the last good reading."};
constexpr Family kCrcErrors{"km7_crc_errors_total", "counter", "Readings rejected for a CRC mismatch."};
constexpr Family kFailed{"km7_readings_failed_total", "counter", "Readings that failed."};
constexpr Family kAlarm{"km7_alarm_firing", "gauge", "1 while the named alarm is firing, else 0."};
constexpr Family kOutbox{"km7_mail_outbox_messages", "gauge", "Alarm mails waiting in the outbox."};
constexpr Family kMailsSent{"km7_mails_sent_total", "counter", "Alarm mails sent."};
constexpr Family kMailsGivenUp{"km7_mails_given_up_total", "counter",
                               "Alarm mails given up: refused for good, or not sent within a day."};
constexpr Family kMailsDropped{"km7_mails_dropped_total", "counter",
                               "Alarm mails dropped before sending: the outbox was full."};
constexpr Family kMailsUnreadable{"km7_mails_unreadable_total", "counter",
                                  "Outbox files set aside because they could not be read."};
constexpr Family kBuildInfo{"km7_build_info", "gauge", "Always 1; the version of km7d in a label."};

// The sensor resolves 0.01 (degrees, percent): further digits are noise of
// the arithmetic, not of the air.
// A value that rounds to zero reads "0", never "-0".
double ToResolution(double value, double steps) {
  const double r = std::round(value * steps) / steps;
  return r == 0 ? 0.0 : r;
}

void Header(std::string& out, const Family& f) {
  out += "# HELP ";
  out += f.name;
  out += ' ';
  out += f.help;
  out += "\n# TYPE ";
  out += f.name;
  out += ' ';
  out += f.type;
  out += '\n';
}

void Sample(std::string& out, const Family& f, const status::SensorSnapshot& s, double value,
            const char* extraLabel = nullptr, const std::string& extraValue = {}) {
  out += f.name;
  out += "{sensor=\"";
  out += EscapeLabelValue(s.name);
  out += "\",serial=\"";
  out += EscapeLabelValue(s.serial);
  out += '"';
  if (extraLabel) {
    out += ',';
    out += extraLabel;
    out += "=\"";
    out += EscapeLabelValue(extraValue);
    out += '"';
  }
  out += "} ";
  out += FormatSampleValue(value);
  out += '\n';
}

double UnixSeconds(std::chrono::system_clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size();) {
    char c = value[i];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      std::size_t n = Utf8SequenceLength(value.substr(i));
      if (n == 0) {
        out += "\xEF\xBF\xBD";
        ++i;
        continue;
      }
      out.append(value.substr(i, n));
      i += n;
      continue;
    }
    ++i;
  }
  return out;
}

std::string FormatSampleValue(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

std::string RenderExposition(const status::SensorList& sensors, std::uint64_t mailsUnreadable) {
  std::string out;
  out.reserve(512 + sensors.size() * 1200);
  auto family = [&](const Family& f, const std::function<void(const status::SensorSnapshot&)>& each) {
    Header(out, f);
    for (const auto& s : sensors) each(s);
  };
  family(kTemperature, [&](const auto& s) {
    if (s.up) Sample(out, kTemperature, s, ToResolution(s.temperatureC, 100));
  });
  family(kHumidity, [&](const auto& s) {
    if (s.up) Sample(out, kHumidity, s, ToResolution(s.humidityPercent / 100.0, 10000));
  });
  family(kDewPoint, [&](const auto& s) {
    if (s.up) Sample(out, kDewPoint, s, ToResolution(s.dewPointC, 100));
  });
  family(kUp, [&](const auto& s) { Sample(out, kUp, s, s.up ? 1 : 0); });
  family(kLastGood, [&](const auto& s) {
    if (s.lastGoodReading) Sample(out, kLastGood, s, UnixSeconds(*s.lastGoodReading));
  });
  family(kCrcErrors, [&](const auto& s) { Sample(out, kCrcErrors, s, static_cast<double>(s.crcErrorsTotal)); });
  family(kFailed, [&](const auto& s) { Sample(out, kFailed, s, static_cast<double>(s.readingsFailedTotal)); });
  family(kAlarm, [&](const auto& s) {
    for (const auto& [alarm, firing] : s.alarms) Sample(out, kAlarm, s, firing ? 1 : 0, "alarm", alarm);
  });
  family(kOutbox, [&](const auto& s) { Sample(out, kOutbox, s, static_cast<double>(s.mailOutboxMessages)); });
  family(kMailsSent, [&](const auto& s) { Sample(out, kMailsSent, s, static_cast<double>(s.mailsSentTotal)); });
  family(kMailsGivenUp, [&](const auto& s) { Sample(out, kMailsGivenUp, s, static_cast<double>(s.mailsGivenUpTotal)); });
  family(kMailsDropped, [&](const auto& s) { Sample(out, kMailsDropped, s, static_cast<double>(s.mailsDroppedTotal)); });
  Header(out, kMailsUnreadable);
  out += kMailsUnreadable.name;
  out += ' ';
  out += FormatSampleValue(static_cast<double>(mailsUnreadable));
  out += '\n';
  Header(out, kBuildInfo);
  out += kBuildInfo.name;
  out += "{version=\"";
  out += EscapeLabelValue(km7::Version());
  out += "\"} 1\n";
  return out;
}

}  // namespace km7::metrics
