#include "km7d/Service.h"

#include <algorithm>
#include <chrono>
#include <iostream>

#include "acquisition/D2xxLibrary.h"
#include "platform/Reporter.h"
#include "km7d/Commands.h"
#include "km7d/Monitor.h"
#include "km7d/Signals.h"
#include "metrics/MetricsServer.h"
#include "metrics/Textfile.h"
#include "platform/Clock.h"
#include "platform/Text.h"
#include "settings/ProfileStore.h"
#include "systemd/Notifier.h"

namespace km7d {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The display tick: values are taken, logged and checked this often.
constexpr milliseconds kTick{250};
constexpr milliseconds kTextfileEvery{1000};
// Readiness is not held back longer than this by a module without readings.
constexpr milliseconds kReadyAtLatest{10000};

// Module names and serials come from the hardware: an escape sequence in one
// must not reach the terminal or the journal. A message of several lines
// (a mail server's answer) goes on indented, so no line passes for our own.
void SayLine(const std::string& line) {
  std::string shown;
  std::size_t from = 0;
  for (std::size_t nl; (nl = line.find('\n', from)) != std::string::npos; from = nl + 1)
    shown += km7::EscapeControls(std::string_view(line).substr(from, nl - from)) + "\n    ";
  shown += km7::EscapeControls(std::string_view(line).substr(from));
  std::cerr << "km7d: " << shown << std::endl;
}

// Messages of the lower layers are Windows-1252.
void SayCp1252(const std::string& text) { SayLine(km7::Cp1252ToUtf8(text)); }

// Serves the metrics when asked to; false when the address cannot be had.
bool StartMetrics(const Options& options, Monitor& monitor, std::unique_ptr<km7::metrics::MetricsServer>& server) {
  if (!options.metricsListen) return true;
  server = std::make_unique<km7::metrics::MetricsServer>(monitor.Store());
  std::string error;
  if (!server->Start(*options.metricsListen, error)) {
    SayLine("cannot serve metrics: " + error);
    return false;
  }
  km7::metrics::ListenAddress bound = *options.metricsListen;
  bound.port = server->port();  // the one the system chose for port 0
  SayLine("metrics on http://" + bound.ToString() + "/metrics");
  return true;
}

// What the main loop does when, and what it told the manager last.
struct Schedule {
  explicit Schedule(Clock::time_point at, milliseconds keepAliveEvery)
      : start(at), nextPoll(at), nextTick(at), nextTextfile(at), nextKeepAlive(at), keepAlive(keepAliveEvery) {}
  Clock::time_point start;
  Clock::time_point nextPoll;
  Clock::time_point nextTick;
  Clock::time_point nextTextfile;
  Clock::time_point nextKeepAlive;
  milliseconds keepAlive;
  bool ready = false;
  std::string status;
  std::string textfileError;
};

void WriteTextfileDue(const Options& options, Monitor& monitor, Schedule& due, Clock::time_point now) {
  std::string error;
  if (!km7::metrics::WriteTextfile(options.textfileDir, *monitor.Store().Current(), error,
                                   monitor.Store().UnreadableMails())) {
    if (error != due.textfileError) SayLine("cannot write the textfile: " + error);
  } else if (!due.textfileError.empty()) {
    SayLine("the textfile is written again");
  }
  due.textfileError = error;
  due.nextTextfile = now + kTextfileEvery;
}

// Everything that is due at now.
void RunDueWork(const Options& options, Monitor& monitor, km7::systemd::Notifier& notifier, Schedule& due,
                Clock::time_point now) {
  if (now >= due.nextPoll) {
    monitor.Poll();
    due.nextPoll = now + std::chrono::seconds(options.devicePollSeconds);
  }
  if (now >= due.nextTick) {
    monitor.Tick();
    due.nextTick += kTick;
    if (due.nextTick <= now) due.nextTick = now + kTick;  // fell behind: no burst of ticks
  }
  if (!options.textfileDir.empty() && now >= due.nextTextfile) WriteTextfileDue(options, monitor, due, now);
  if (!due.ready && (monitor.FirstReadingsIn() || now - due.start >= kReadyAtLatest)) {
    due.ready = true;
    notifier.Ready();
  }
  if (const std::string line = monitor.StatusLine(); line != due.status) {
    due.status = line;
    notifier.Status(due.status);
  }
  if (due.keepAlive.count() > 0 && now >= due.nextKeepAlive) {
    // Silence makes the manager restart us when a module's thread is stuck.
    if (monitor.AllThreadsHealthy()) notifier.KeepAlive();
    due.nextKeepAlive = now + due.keepAlive;
  }
}

// Milliseconds until the next thing is due, at most a second.
int WaitBeforeDue(const Options& options, const Schedule& due) {
  auto wake = std::min(due.nextPoll, due.nextTick);
  if (!options.textfileDir.empty()) wake = std::min(wake, due.nextTextfile);
  if (due.keepAlive.count() > 0) wake = std::min(wake, due.nextKeepAlive);
  // Rounded up: rounded down, the last part of a millisecond before each
  // wake-up would be spent polling with no wait at all.
  const auto wait = std::chrono::ceil<milliseconds>(wake - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(wait, 0, 1000));
}

int RunService(const LoadResult& loaded, std::shared_ptr<const D2xxLibrary> lib, Signals& signals) {
  const Options& options = loaded.options;
  km7::systemd::Notifier notifier;
  Monitor monitor(options, lib, SayLine);

  std::unique_ptr<km7::metrics::MetricsServer> server;
  if (!StartMetrics(options, monitor, server)) return 1;
  if (!loaded.configFileUsed.empty()) SayLine("options read from " + loaded.configFileUsed);

  Schedule due(Clock::now(), std::chrono::duration_cast<milliseconds>(notifier.KeepAliveInterval()));
  for (;;) {
    RunDueWork(options, monitor, notifier, due, Clock::now());
    const SignalEvent event = signals.Wait(WaitBeforeDue(options, due));
    if (event == SignalEvent::Stop) break;
    if (event == SignalEvent::Reload) {
      notifier.Reloading();
      SayLine("SIGHUP: reading the settings again and reopening the log files");
      monitor.Reload();
      notifier.Ready();
    }
  }
  notifier.Stopping();
  if (server) server->Stop();
  monitor.Stop();
  if (!options.textfileDir.empty()) {
    // The collector would go on reporting the last values as current.
    std::string error;
    if (!km7::metrics::WriteTextfileDown(options.textfileDir, *monitor.Store().Current(), error))
      SayLine("cannot mark the sensors down in the textfile: " + error);
  }
  SayLine("stopped");
  return 0;
}

}  // namespace

int RunMode(const LoadResult& loaded) {
  // Before any thread starts: the signals are then taken by the descriptor
  // alone, in every thread.
  Signals signals;
  if (!signals.Open()) {
    SayLine("cannot watch for signals");
    return 1;
  }
  km7::SetReporter(SayCp1252);
  if (!loaded.options.settingsFile.empty()) ProfileStore::SetInstanceFile(loaded.options.settingsFile);
  auto lib = std::make_shared<D2xxLibrary>();
  if (lib->Bind() != 0) return 1;  // the library said why
  switch (loaded.options.mode) {
    case Mode::List: return ListModulesCommand(loaded.options, *lib);
    case Mode::Once: return OnceCommand(loaded.options, lib);
    default: return RunService(loaded, lib, signals);
  }
}

}  // namespace km7d
