#include "metrics/Exposition.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <regex>
#include <sstream>

#include "Harness.h"
#include "MetricsTestData.h"

namespace km7::metrics {
namespace {

TEST(ExpositionTest, LabelValuesAreEscapedAndMadeUtf8) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"Lab 1", "Lab 1"},
      {"a\\b", "a\\\\b"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"two\nlines", "two\\nlines"},
      {"tab\tkept", "tab\tkept"},
      {"20\xC2\xB0" "C", "20\xC2\xB0" "C"},                // UTF-8 degree sign kept
      {"20\xB0" "C", "20\xEF\xBF\xBD" "C"},                // a lone 8-bit byte replaced
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},            // overlong form
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"cut \xE2\x82", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},    // sequence cut short
      {"\xF0\x9F\x8C\xA1", "\xF0\x9F\x8C\xA1"},            // four-byte sequence kept
      {std::string("nul\0x", 5), std::string("nul\0x", 5)},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeLabelValue(c.in), c.out) << c.in;
}

TEST(ExpositionTest, SampleValuesReadBackExactlyInAnyLocale) {
  std::locale::global(std::locale::classic());
  for (double v : {0.0, 21.5, -12.25, 0.455, 1e-7, 1765000000.0, 1765000000.125, 123456789012.0}) {
    std::string text = FormatSampleValue(v);
    EXPECT_EQ(text.find(','), std::string::npos);
    double back = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), back);
    EXPECT_EQ(r.ptr, text.data() + text.size()) << text;
    EXPECT_EQ(back, v) << text;
  }
  EXPECT_EQ(FormatSampleValue(std::nan("")), "NaN");
  EXPECT_EQ(FormatSampleValue(INFINITY), "+Inf");
  EXPECT_EQ(FormatSampleValue(-INFINITY), "-Inf");
}

// Readings carry the noise of the arithmetic that made them; the page shows
// what the sensor resolves (0.01 degree, 0.01 % = 0.0001 as a ratio).
TEST(ExpositionTest, ReadingsAreShownToTheSensorsResolution) {
  status::SensorList sensors{test::UpSensor("Lab", "KM7A01", 45.205839600000004, 40.123456)};
  sensors[0].dewPointC = -0.0049;
  const std::string text = RenderExposition(sensors);
  const std::string a = "{sensor=\"Lab\",serial=\"KM7A01\"} ";
  for (const std::string& expected : {"km7_temperature_celsius" + a + "45.21\n",
                                     "km7_relative_humidity_ratio" + a + "0.4012\n",
                                     "km7_dew_point_celsius" + a + "0\n"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

TEST(ExpositionTest, EveryFamilyHasHelpAndTypeAndSensorsThatAreNotUpShowNoValues) {
  status::SensorList sensors{test::UpSensor("Rack \"A\"", "KM7A01", 21.5, 45.5)};
  status::SensorSnapshot down = test::UpSensor("Cellar", "KM7B02", 11, 80);
  down.up = false;
  down.alarms = {{status::kAlarmSensorLost, true}};
  down.mailsGivenUpTotal = 5;
  down.mailsDroppedTotal = 1;
  sensors.push_back(down);
  const std::string text = RenderExposition(sensors);

  const std::string a = "{sensor=\"Rack \\\"A\\\"\",serial=\"KM7A01\"}";
  const std::string b = "{sensor=\"Cellar\",serial=\"KM7B02\"}";
  for (const std::string& expected : std::vector<std::string>{
           "km7_temperature_celsius" + a + " 21.5",
           "km7_relative_humidity_ratio" + a + " 0.455",
           "km7_dew_point_celsius" + a + " 10.6",
           "km7_sensor_up" + a + " 1",
           "km7_sensor_up" + b + " 0",
           "km7_last_good_reading_timestamp_seconds" + a + " " + FormatSampleValue(1765000000),
           "km7_crc_errors_total" + b + " 3",
           "km7_readings_failed_total" + a + " 4",
           "km7_alarm_firing{sensor=\"Rack \\\"A\\\"\",serial=\"KM7A01\",alarm=\"temperature_high\"} 1",
           "km7_alarm_firing{sensor=\"Rack \\\"A\\\"\",serial=\"KM7A01\",alarm=\"sensor_lost\"} 0",
           "km7_alarm_firing{sensor=\"Cellar\",serial=\"KM7B02\",alarm=\"sensor_lost\"} 1",
           "km7_mail_outbox_messages" + a + " 2",
           "km7_mails_sent_total" + b + " 7",
           "km7_mails_given_up_total" + b + " 5",
           "km7_mails_dropped_total" + b + " 1",
           "km7_mails_dropped_total" + a + " 0",
       }) {
    EXPECT_NE(text.find(expected + "\n"), std::string::npos) << expected << "\n" << text;
  }
  for (const char* family : {"km7_temperature_celsius", "km7_relative_humidity_ratio", "km7_dew_point_celsius"})
    EXPECT_EQ(text.find(std::string(family) + b), std::string::npos) << family;

  // One HELP and one TYPE per family, before its samples; every sample line
  // is NAME{sensor,serial[,alarm]} VALUE with no timestamp.
  const std::regex sample(R"(^(km7_[a-z_]+)\{sensor="(?:[^"\\]|\\.)*",serial="(?:[^"\\]|\\.)*"(?:,alarm="[a-z_]+")?\} \S+$)");
  std::map<std::string, int> helps, types;
  std::string current;
  for (const auto& line : Lines(text)) {
    std::smatch m;
    if (line.rfind("# HELP ", 0) == 0) {
      current = line.substr(7, line.find(' ', 7) - 7);
      ++helps[current];
    } else if (line.rfind("# TYPE ", 0) == 0) {
      EXPECT_EQ(line.substr(7, line.find(' ', 7) - 7), current);
      ++types[current];
    } else if (line.rfind("km7_mails_unreadable_total ", 0) == 0) {
      // The process's own: no sensor to name.
      EXPECT_EQ(line, "km7_mails_unreadable_total 0");
      EXPECT_EQ(current, "km7_mails_unreadable_total");
    } else if (line.rfind("km7_build_info{", 0) == 0) {
      EXPECT_EQ(line, "km7_build_info{version=\"" KM7_VERSION "\"} 1");
      EXPECT_EQ(current, "km7_build_info");
    } else {
      ASSERT_TRUE(std::regex_match(line, m, sample)) << line;
      EXPECT_EQ(m[1], current) << "sample outside its family: " << line;
    }
  }
  EXPECT_EQ(helps.size(), 14u);
  for (const auto& [name, n] : helps) {
    EXPECT_EQ(n, 1) << name;
    EXPECT_EQ(types[name], 1) << name;
  }
  EXPECT_NE(text.find("# TYPE km7_crc_errors_total counter\n"), std::string::npos);
  EXPECT_NE(text.find("# TYPE km7_temperature_celsius gauge\n"), std::string::npos);
}

TEST(ExpositionTest, PromtoolAcceptsThePage) {
  const std::string promtool = it::FindProgram("promtool");
  if (promtool.empty()) GTEST_SKIP() << "promtool is not installed";
  status::SensorList sensors{test::UpSensor("Lab\n\"1\"\\", "KM7A01", -3.5, 99.9),
                             test::UpSensor("Lab \xB0 2", "KM7A02", 30, 5)};
  sensors[1].up = false;
  it::RunResult r = it::RunProgram({promtool, "check", "metrics"}, RenderExposition(sensors));
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  // An empty list still gives a valid page.
  r = it::RunProgram({promtool, "check", "metrics"}, RenderExposition({}));
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

}  // namespace
}  // namespace km7::metrics
