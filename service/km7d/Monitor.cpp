#include "km7d/Monitor.h"

#include <future>

#include "alarms/MailSession.h"
#include "km7d/ModuleList.h"
#include "km7d/SteadyClock.h"
#include "platform/Clock.h"
#include "platform/Text.h"

namespace km7d {

namespace {
// Stopping must end within a second altogether.
constexpr unsigned kMailStopWaitMs = 600;
}  // namespace

Monitor::Monitor(const Options& options, std::shared_ptr<const D2xxLibrary> lib, Say say)
    : options_(options), lib_(std::move(lib)), say_(std::move(say)) {
  if (options_.mqtt) {
    km7::mqtt::MqttSettings m;
    m.broker = *options_.mqtt;
    m.cafile = options_.mqttCafile;
    m.user = options_.mqttUser;
    m.passwordFile = options_.mqttPasswordFile;
    m.prefix = options_.mqttPrefix;
    m.discoveryPrefix = options_.mqttDiscoveryPrefix;
    m.softwareVersion = KM7_VERSION;
    m.report = [say = say_](const std::string& text) { say("MQTT: " + text); };
    mqtt_ = std::make_unique<km7::mqtt::MqttPublisher>(m);
    std::string error;
    if (!mqtt_->Start(error)) {
      say_("no MQTT: " + error);
      mqtt_.reset();
    }
  }
  for (const std::string& name : options_.sensors) missingNamed_.insert(name);
  // Alarm mail waits in the outbox and goes out on the worker's thread; mail
  // left there by a previous run goes first.
  mail_ = std::make_unique<km7::alarms::MailWorker>(km7::alarms::MailWorker::Options{},
                                                    [this](const km7::alarms::MailEvent& e) { OnMailEvent(e); });
  mail_->Start();
}

void Monitor::OnMailEvent(const km7::alarms::MailEvent& e) {
  using Type = km7::alarms::MailEvent::Type;
  const std::string sensor = km7::Cp1252ToUtf8(e.sensor);
  switch (e.type) {
    case Type::Sent: {
      std::lock_guard lock(mailMutex_);
      ++mailCounts_[e.sensor].sent;
      break;
    }
    case Type::GivenUp: {
      {
        std::lock_guard lock(mailMutex_);
        ++mailCounts_[e.sensor].givenUp;
      }
      say_("the " + km7::Cp1252ToUtf8(e.kind) + " alarm mail of " + sensor + " was given up: " +
           km7::Cp1252ToUtf8(e.text));
      break;
    }
    case Type::Failed:
      // A server that cannot be reached is told per server (ServerFailing).
      if (!e.connectFailed)
        say_("alarm mail of " + sensor + " not sent yet (tried again later): " + km7::Cp1252ToUtf8(e.text));
      break;
    case Type::Dropped:
      if (!e.sensor.empty()) {
        std::lock_guard lock(mailMutex_);
        ++mailCounts_[e.sensor].dropped;
      } else {
        store_.CountUnreadableMail();
      }
      say_((e.sensor.empty() ? std::string() : sensor + ": ") + km7::Cp1252ToUtf8(e.text));
      break;
    case Type::ServerFailing:
      say_(km7::Cp1252ToUtf8(e.text) + " (" + std::to_string(e.waiting) +
           (e.waiting == 1 ? " message" : " messages") + " waiting)");
      break;
    case Type::ServerBack:
    case Type::OutboxProblem:
    case Type::LogProblem:
      say_(km7::Cp1252ToUtf8(e.text));
      break;
    case Type::NeedServer: {
      // Settings are read on the main thread only: the next tick hands them
      // over; until then the mail waits.
      std::lock_guard lock(mailMutex_);
      needServer_.insert(e.sensor);
      break;
    }
  }
}

Monitor::~Monitor() { Stop(); }

// "1 module is open in another program ("Lab"?)": the modules that may be
// the busy ones are those asked for or watched before that are not listed.
std::string Monitor::BusyText(unsigned elsewhere, const std::set<std::string>& listed) const {
  std::set<std::string> listedNames, maybe;
  for (const std::string& description : listed) listedNames.insert(km7::Cp1252ToUtf8(description));
  for (const std::string& name : missingNamed_)
    if (listedNames.count(name) == 0) maybe.insert(name);
  for (const auto& [description, module] : modules_)
    if (module->State() != ModuleState::Watching && listed.count(description) == 0)
      maybe.insert(km7::Cp1252ToUtf8(description));
  std::string text = std::to_string(elsewhere) + (elsewhere == 1 ? " module is" : " modules are") +
                     " open in another program";
  if (!maybe.empty()) {
    text += " (";
    const char* sep = "";
    for (const std::string& name : maybe) text += std::string(sep) + "\"" + name + "\"", sep = ", ";
    text += maybe.size() == elsewhere ? ")" : " among them?)";
  }
  return text + ": skipped until closed";
}

bool Monitor::Wanted(const std::string& description) const {
  if (options_.sensors.empty()) return true;
  const std::string utf8 = km7::Cp1252ToUtf8(description);
  for (const std::string& name : options_.sensors)
    if (name == utf8) return true;
  return false;
}

void Monitor::Poll() {
  const ModuleListing listing = ListModules(*lib_);
  if (listing.failed) {
    if (!listFailing_) say_("the driver library could not list the modules; trying again");
    listFailing_ = true;
  } else {
    listFailing_ = false;
  }
  std::set<std::string> listed(listing.descriptions.begin(), listing.descriptions.end());
  // The driver cannot describe a module that is open, ours included: the
  // blank slots of modules km7d holds are not another program's.
  unsigned ours = 0;
  for (const auto& [description, module] : modules_)
    ours += module->State() == ModuleState::Watching && listed.count(description) == 0 ? 1 : 0;
  const unsigned elsewhere = listing.inUseElsewhere > ours ? listing.inUseElsewhere - ours : 0;
  if (elsewhere != inUseElsewhere_ && elsewhere > 0) say_(BusyText(elsewhere, listed));
  inUseElsewhere_ = elsewhere;

  // Modules whose bridge failed are closed first; if listed they come back
  // below, in this same look (a quick unplug and plug).
  for (auto& [description, module] : modules_) {
    if (module->State() != ModuleState::Watching) continue;
    if (module->LostBridge()) {
      module->Detach("vanished (its bridge stopped answering)");
    } else if (!listing.failed && listed.count(description) == 0 &&
               !module->Current()) {
      module->Detach("vanished (no longer listed)");
    }
  }
  std::set<std::string> seen;
  for (const std::string& description : listing.descriptions) {
    if (!seen.insert(description).second) {
      say_("two modules are called \"" + km7::Cp1252ToUtf8(description) +
           "\": only one is watched; rename the other in km7");
      continue;
    }
    if (!Wanted(description)) continue;
    missingNamed_.erase(km7::Cp1252ToUtf8(description));
    auto it = modules_.find(description);
    if (it == modules_.end()) {
      it = modules_.emplace(description, std::make_unique<SensorMonitor>(lib_, description, store_, say_)).first;
      it->second->SetMailWorker(mail_.get());
    }
    SensorMonitor& module = *it->second;
    if (module.State() != ModuleState::Watching) {
      module.Attach(mqtt_.get());
      if (!looked_ && module.State() == ModuleState::Watching) firstLook_.insert(description);
    }
  }
  if (!looked_) {
    for (const std::string& name : missingNamed_) say_("module \"" + name + "\" is not attached; waiting for it");
    if (modules_.empty() && missingNamed_.empty() && !listing.failed)
      say_("no module attached; waiting for one");
  }
  looked_ = true;
}

void Monitor::Tick() {
  std::set<std::string> needServer;
  {
    std::lock_guard lock(mailMutex_);
    needServer.swap(needServer_);
  }
  for (const std::string& sensor : needServer) mail_->SetServer(sensor, km7::alarms::ReadMailAccount(sensor));
  const std::map<std::string, std::size_t> onDisk = mail_->OnDisk();
  for (auto& [description, module] : modules_) {
    MailCounts counts;
    {
      std::lock_guard lock(mailMutex_);
      counts = mailCounts_[description];
    }
    const auto files = onDisk.find(description);
    module->SetMailFigures(files == onDisk.end() ? 0 : files->second, counts.sent, counts.givenUp, counts.dropped);
    module->Tick();
  }
}

void Monitor::Reload() {
  for (auto& [description, module] : modules_) module->Reload();
  // Changed server settings count for the mail that waits, now.
  for (auto& [description, module] : modules_)
    mail_->SetServer(description, km7::alarms::ReadMailAccount(description));
  mail_->RetryNow();
}

void Monitor::Stop() {
  for (auto& [description, module] : modules_) module->RequestStop();
  // Each module's stop waits for its own thread and broker; side by side,
  // the slowest one bounds the whole.
  std::vector<std::future<void>> stops;
  for (auto& [description, module] : modules_)
    stops.push_back(std::async(std::launch::async, [m = module.get()] { m->Stop(); }));
  // A mail being sent is left to finish on its own; it stays in the outbox.
  if (mail_) stops.push_back(std::async(std::launch::async, [m = mail_.get()] { m->Stop(kMailStopWaitMs); }));
  if (mqtt_) stops.push_back(std::async(std::launch::async, [m = mqtt_.get()] { m->Stop(); }));
  for (auto& s : stops) s.wait();
}

bool Monitor::FirstReadingsIn() const {
  for (const std::string& description : firstLook_) {
    auto it = modules_.find(description);
    if (it != modules_.end() && !it->second->HasFirstReading()) return false;
  }
  return looked_;
}

bool Monitor::AllThreadsHealthy() const {
  const std::int64_t now = SteadyNowMs();
  for (const auto& [description, module] : modules_)
    if (!module->ThreadHealthy(now)) return false;
  return true;
}

std::string Monitor::StatusLine() const {
  unsigned watching = 0, away = 0;
  int alarms = 0;
  for (const auto& [description, module] : modules_) {
    if (module->State() == ModuleState::Watching) {
      ++watching;
    } else {
      ++away;
    }
    alarms += module->AlarmsFiring();
  }
  std::string s = std::to_string(watching) + (watching == 1 ? " module" : " modules") + " watched";
  if (away > 0) s += ", " + std::to_string(away) + " away";
  s += ", " + std::to_string(alarms) + (alarms == 1 ? " alarm" : " alarms") + " firing";
  return s;
}

}  // namespace km7d
