#include "km7d/Commands.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>
#include <vector>

#include "km7d/ModuleList.h"
#include "km7d/SteadyClock.h"
#include "monitor/SensorSession.h"
#include "platform/Clock.h"
#include "platform/Text.h"

namespace km7d {

namespace {

bool Wanted(const Options& options, const std::string& utf8) {
  if (options.sensors.empty()) return true;
  for (const std::string& name : options.sensors)
    if (name == utf8) return true;
  return false;
}

std::string UtcNow() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// The sensor resolves 0.01 degree and 0.01 percent; never "-0.0".
double Hundredths(double value) {
  const double r = std::round(value * 100) / 100;
  return r == 0 ? 0.0 : r;
}

// One line of the --once output: a module, or a name asked for.
struct OnceEntry {
  std::string name;  // UTF-8
  std::string description;  // as listed (Windows-1252)
  std::unique_ptr<km7::monitor::SensorSession> session;
  std::string error;
};

// The listed modules that are wanted, then the names asked for that are not
// attached, then (when none were named) the modules open elsewhere.
std::vector<OnceEntry> OnceEntries(const Options& options, const ModuleListing& listing,
                                   const std::shared_ptr<const D2xxLibrary>& lib) {
  std::vector<OnceEntry> entries;
  for (const std::string& description : listing.descriptions) {
    const std::string name = km7::Cp1252ToUtf8(description);
    if (!Wanted(options, name)) continue;
    bool duplicate = false;
    for (const OnceEntry& e : entries) duplicate = duplicate || e.name == name;
    if (duplicate) continue;
    entries.push_back(
        {name, description, std::make_unique<km7::monitor::SensorSession>(lib, km7::monitor::Holder::Service), {}});
  }
  for (const std::string& name : options.sensors) {
    bool found = false;
    for (const OnceEntry& e : entries) found = found || e.name == name;
    if (!found) entries.push_back({name, {}, nullptr, "not attached"});
  }
  for (unsigned i = 0; i < listing.inUseElsewhere && options.sensors.empty(); ++i)
    entries.push_back({"", {}, nullptr, "open in another program"});
  return entries;
}

// All modules measure side by side; the wait is one bound for all.
void OpenAndWait(const Options& options, std::vector<OnceEntry>& entries) {
  for (OnceEntry& e : entries) {
    if (!e.session) continue;
    using km7::monitor::OpenResult;
    switch (e.session->Open(e.description)) {
      case OpenResult::Opened: break;
      case OpenResult::InUse: e.error = "open in another program"; break;
      case OpenResult::BitBangFailed: e.error = "could not enable bit-bang mode"; break;
      case OpenResult::Failed: e.error = "could not be opened"; break;
    }
  }
  const std::int64_t deadline = SteadyNowMs() + options.onceTimeoutSeconds * 1000LL;
  for (OnceEntry& e : entries) {
    if (!e.session || !e.error.empty()) continue;
    const std::int64_t left = deadline - SteadyNowMs();
    e.session->Acquisition().WaitForFirstReading(static_cast<unsigned>(std::max<std::int64_t>(left, 0)));
  }
}

// The JSON line of one entry; a module without a good reading gets its error.
nlohmann::json OnceLine(const Options& options, OnceEntry& e) {
  nlohmann::json line;
  // A module held elsewhere cannot tell its name.
  line["sensor"] = e.name.empty() ? nlohmann::json(nullptr) : nlohmann::json(e.name);
  if (e.session) line["serial"] = km7::Cp1252ToUtf8(e.session->Serial());
  if (e.error.empty()) {
    const km7::Reading r = e.session->Acquisition().Read();
    const auto health = e.session->Acquisition().Health();
    if (health.goodReadings > 0 && r.current) {
      line["ok"] = true;
      line["time"] = UtcNow();
      line["temperature_celsius"] = Hundredths(r.temperature);
      line["relative_humidity_percent"] = Hundredths(r.relativeHumidity);
      line["dew_point_celsius"] = Hundredths(r.dewPoint);
      line["crc_errors"] = health.crcErrors;
    } else {
      e.error = std::string("no good reading within ") + std::to_string(options.onceTimeoutSeconds) +
                " s (" + km7::ReadingFaultName(health.lastFault) + ")";
    }
  }
  if (!e.error.empty()) {
    line["ok"] = false;
    line["error"] = e.error;
  }
  return line;
}

}  // namespace

int ListModulesCommand(const Options& options, const D2xxLibrary& lib) {
  const ModuleListing listing = ListModules(lib);
  if (listing.failed) {
    std::cerr << "km7d: the driver library could not list the modules\n";
    return 1;
  }
  for (const std::string& description : listing.descriptions) {
    const std::string name = km7::Cp1252ToUtf8(description);
    if (Wanted(options, name)) std::cout << km7::EscapeControls(name) << '\n';
  }
  if (listing.inUseElsewhere > 0)
    std::cout << "(" << listing.inUseElsewhere
              << (listing.inUseElsewhere == 1 ? " module" : " modules")
              << " open in another program)\n";
  if (listing.descriptions.empty() && listing.inUseElsewhere == 0)
    std::cerr << "km7d: no module attached\n";
  return 0;
}

int OnceCommand(const Options& options, std::shared_ptr<const D2xxLibrary> lib) {
  const ModuleListing listing = ListModules(*lib);
  if (listing.failed) {
    std::cerr << "km7d: the driver library could not list the modules\n";
    return 1;
  }
  std::vector<OnceEntry> entries = OnceEntries(options, listing, lib);
  if (entries.empty()) {
    std::cerr << "km7d: no module attached\n";
    return 1;
  }
  OpenAndWait(options, entries);
  int status = 0;
  for (OnceEntry& e : entries) {
    const nlohmann::json line = OnceLine(options, e);
    if (!e.error.empty()) status = 1;
    if (e.session) e.session->RequestStop();
    std::cout << line.dump() << '\n';
  }
  std::cout.flush();
  for (OnceEntry& e : entries)
    if (e.session) e.session->Close(km7::monitor::SensorSession::kStopWaitMs);
  return status;
}

}  // namespace km7d
