#include "Simulator.h"

#include <iostream>

#include "CallerBuffers.h"

namespace km7sim {
namespace {

constexpr uint32_t kListNumberOnly = 0x80000000;
constexpr uint32_t kListAllByDescription = 0x20000002;
constexpr uint32_t kOpenBySerial = 1;
constexpr uint32_t kOpenByDescription = 2;

Simulator g_simulator;  // built at library load: reads the configuration

}  // namespace

Simulator& Simulator::Instance() { return g_simulator; }

Simulator::Simulator() {
  std::lock_guard lock(mutex_);
  programmed_ = RestoreProgrammed();
  PlugLocked();
}

std::unique_ptr<Simulator::Module> Simulator::MakeModule(const ModuleConfig& config, size_t index,
                                                       const std::string& source) {
  auto m = std::make_unique<Module>();
  m->config = config;
  if (m->config.serial.empty()) {
    std::string number = std::to_string(index + 1);
    m->config.serial = "KM7S" + std::string(number.size() < 4 ? 4 - number.size() : 0, '0') + number;
  }
  // The same module of the same configuration file keeps what was programmed.
  m->key = source + '\n' + m->config.serial;
  const auto stored = programmed_.find(m->key);
  if (stored != programmed_.end()) {
    m->eeprom = stored->second;
  } else {
    m->eeprom.description = m->config.description;
    m->eeprom.serial = m->config.serial;
  }
  m->listed = m->eeprom.description;
  m->listedSerial = m->eeprom.serial;
  m->gone = !m->config.present;
  m->sensor = std::make_unique<Sensor>(m->config);
  ResetPort(*m);
  return m;
}

void Simulator::PlugLocked() {
  configPath_ = ConfigPath();
  // Stamped before reading: a change made meanwhile is read at the next look.
  configStamp_ = StampOf(configPath_);
  lastLook_ = std::chrono::steady_clock::now();
  const Config config = LoadConfig(std::cerr);
  descriptionLimit_ = config.descriptionLimit;
  modules_.clear();
  handles_.clear();
  for (size_t i = 0; i < config.modules.size(); ++i) {
    modules_.push_back(MakeModule(config.modules[i], i, config.source));
  }
}

// Handle calls come by the hundred per reading: they look at the file at
// most this often. Listing and opening always look.
constexpr auto kLookInterval = std::chrono::milliseconds(50);

void Simulator::RefreshLocked(bool always) {
  const auto now = std::chrono::steady_clock::now();
  if (!always && now - lastLook_ < kLookInterval) return;
  lastLook_ = now;
  // Only the file read last is watched; another one counts from a replug.
  if (configPath_.empty() || ConfigPath() != configPath_) return;
  const FileStamp stamp = StampOf(configPath_);
  // A file that is gone for a moment (being replaced) changes nothing.
  if (!stamp.exists || stamp == configStamp_) return;
  configStamp_ = stamp;
  ApplyLocked(LoadConfig(std::cerr));
}

// A re-read configuration: modules are matched by their serial number. What
// it says of values, faults, in_use and present applies at once; a module
// that is new in the file is plugged in, one that left it is unplugged.
void Simulator::ApplyLocked(const Config& config) {
  descriptionLimit_ = config.descriptionLimit;
  std::vector<bool> listed(modules_.size(), false);
  for (size_t i = 0; i < config.modules.size(); ++i) {
    std::unique_ptr<Module> fresh = MakeModule(config.modules[i], i, config.source);
    size_t at = modules_.size();
    for (size_t j = 0; j < modules_.size(); ++j) {
      if (modules_[j]->key == fresh->key) at = j;
    }
    if (at == modules_.size()) {
      modules_.push_back(std::move(fresh));
      listed.push_back(true);
      continue;
    }
    listed[at] = true;
    Module& m = *modules_[at];
    const bool wasPresent = m.config.present;
    ModuleConfig c = fresh->config;
    c.description = m.config.description;  // the description is the memory's business
    m.config = c;
    m.sensor->Reconfigure(c);
    if (wasPresent && !c.present) m.gone = true;
    if (!wasPresent && c.present) PlugBack(m);
  }
  for (size_t j = 0; j < modules_.size(); ++j) {
    if (listed[j]) continue;
    modules_[j]->config.present = false;
    modules_[j]->gone = true;
  }
}

// Plugged in again: listed anew, with what its memory says, and open only
// through a new handle; the old handles stay dead.
void Simulator::PlugBack(Module& m) {
  m.gone = false;
  ++m.generation;
  m.openHandle = 0;
  m.listed = m.eeprom.description;
  m.listedSerial = m.eeprom.serial;
  m.sensor = std::make_unique<Sensor>(m.config);
  ResetPort(m);
}

void Simulator::Replug() {
  std::lock_guard lock(mutex_);
  PlugLocked();
}

uint64_t Simulator::Readings(const char* description) {
  if (description == nullptr) return 0;
  std::lock_guard lock(mutex_);
  for (const auto& m : modules_) {
    if (m->listed == description) return m->sensor->completedReadings();
  }
  return 0;
}

Status Simulator::ListDevices(void* arg1, void* arg2, uint32_t flags) {
  std::lock_guard lock(mutex_);
  RefreshLocked(true);
  if (flags == kListNumberOnly) {
    if (arg1 == nullptr) return KM7SIM_INVALID_PARAMETER;
    uint32_t count = 0;
    for (const auto& m : modules_) count += m->gone ? 0 : 1;
    *static_cast<uint32_t*>(arg1) = count;
    return KM7SIM_OK;
  }
  if (flags == kListAllByDescription) {
    if (arg1 == nullptr || arg2 == nullptr) return KM7SIM_INVALID_PARAMETER;
    char** table = static_cast<char**>(arg1);
    uint32_t slot = 0;
    for (const auto& m : modules_) {
      if (m->gone) continue;
      // The caller ends its table with a null slot; a module attached since its
      // count has no buffer.
      if (table[slot] == nullptr) break;
      // A module open in another program cannot be asked for its description.
      if (!m->config.inUse) CopyOut(m->listed, table[slot], kDescriptionSize);
      ++slot;
    }
    *static_cast<uint32_t*>(arg2) = slot;
    return KM7SIM_OK;
  }
  return KM7SIM_INVALID_PARAMETER;
}

Status Simulator::OpenEx(void* arg, uint32_t flags, void** handle) {
  if (arg == nullptr || handle == nullptr) return KM7SIM_INVALID_PARAMETER;
  if (flags != kOpenByDescription && flags != kOpenBySerial) return KM7SIM_INVALID_PARAMETER;
  const char* wanted = static_cast<const char*>(arg);
  std::lock_guard lock(mutex_);
  RefreshLocked(true);
  for (size_t i = 0; i < modules_.size(); ++i) {
    Module& m = *modules_[i];
    if (m.gone) continue;
    const std::string& name = flags == kOpenByDescription ? m.listed : m.listedSerial;
    if (name != wanted) continue;
    if (m.config.inUse || m.openHandle != 0) return KM7SIM_DEVICE_NOT_OPENED;
    const uintptr_t id = nextHandle_++;
    handles_[id] = Handle{i, 16, m.generation};
    m.openHandle = id;
    ResetPort(m);
    *handle = reinterpret_cast<void*>(id);
    return KM7SIM_OK;
  }
  return KM7SIM_DEVICE_NOT_FOUND;
}

Status Simulator::OpenByIndex(int index, void** handle) {
  if (handle == nullptr || index < 0) return KM7SIM_INVALID_PARAMETER;
  std::string description;
  {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& m : modules_) {
      if (m->gone) continue;
      if (n++ == index) {
        if (m->config.inUse || m->openHandle != 0) return KM7SIM_DEVICE_NOT_OPENED;
        description = m->listedSerial;
        break;
      }
    }
  }
  if (description.empty()) return KM7SIM_DEVICE_NOT_FOUND;
  return OpenEx(description.data(), kOpenBySerial, handle);
}

Status Simulator::Close(void* handle) {
  {
    // A handle from before the module was plugged in again is dead: closing
    // it fails, and forgets it.
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (it != handles_.end() && it->second.generation != modules_[it->second.module]->generation) {
      handles_.erase(it);
      return KM7SIM_IO_ERROR;
    }
  }
  return OnHandle(handle, [&](Module* m, Handle*) -> Status {
    ResetPort(*m);
    m->openHandle = 0;
    handles_.erase(reinterpret_cast<uintptr_t>(handle));
    return KM7SIM_OK;
  });
}

Status Simulator::SetLatencyTimer(void* handle, uint8_t ms) {
  return OnHandle(handle, [&](Module*, Handle* h) -> Status {
    if (ms < 1) return KM7SIM_INVALID_PARAMETER;
    h->latency = ms;
    return KM7SIM_OK;
  });
}

Status Simulator::GetLatencyTimer(void* handle, uint8_t* ms) {
  return OnHandle(handle, [&](Module*, Handle* h) -> Status {
    if (ms == nullptr) return KM7SIM_INVALID_PARAMETER;
    *ms = h->latency;
    return KM7SIM_OK;
  });
}

Status Simulator::Check(void* handle) {
  return OnHandle(handle, [](Module*, Handle*) { return KM7SIM_OK; });
}

}  // namespace km7sim
