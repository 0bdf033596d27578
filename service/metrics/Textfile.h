#pragma once
// --textfile-dir DIR: km7.prom for a node agent's textfile collector.
#include <filesystem>
#include <string>

#include "status/SensorSnapshot.h"

namespace km7::metrics {

inline constexpr const char* kTextfileName = "km7.prom";

// Writes the exposition of `sensors` to DIR/km7.prom by a temporary file in
// the same folder and a rename, so a reader sees the old file or the new one,
// never half of one. The temporary file has a name no one can guess and is
// made new (a link planted in the folder is not followed). False with the
// reason in `error`; the old file is kept.
bool WriteTextfile(const std::filesystem::path& dir, const status::SensorList& sensors, std::string& error,
                   std::uint64_t mailsUnreadable = 0);

// The last textfile of a clean stop: every sensor down, so that the
// collector does not report the old values as current while km7d is away.
bool WriteTextfileDown(const std::filesystem::path& dir, status::SensorList sensors, std::string& error);

}  // namespace km7::metrics
