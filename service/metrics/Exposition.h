#pragma once
// The Prometheus text exposition format (version 0.0.4) of the modules'
// snapshots.
#include <cstdint>
#include <string>
#include <string_view>

#include "status/SensorSnapshot.h"

namespace km7::metrics {

inline constexpr const char* kExpositionContentType = "text/plain; version=0.0.4; charset=utf-8";

// A label value as the format wants it: backslash, double quote and line
// feed escaped; bytes that are not UTF-8 become U+FFFD, since a scraper
// rejects the whole page for one bad byte.
std::string EscapeLabelValue(std::string_view value);

// A sample value: shortest text that reads back to the same double,
// independent of the locale; NaN and infinities as the format spells them.
std::string FormatSampleValue(double value);

// Every metric family with HELP and TYPE, no timestamps. A sensor that is
// not up has no temperature, humidity or dew point sample.
// mailsUnreadable: outbox files set aside unread, which belong to no sensor.
std::string RenderExposition(const status::SensorList& sensors, std::uint64_t mailsUnreadable = 0);

}  // namespace km7::metrics
