#include "Simulator.h"

#include <cstring>
#include <string.h>
#include <iostream>

namespace km7sim {
namespace {

constexpr uint32_t kListNumberOnly = 0x80000000;
constexpr uint32_t kListAllByDescription = 0x20000002;
constexpr uint32_t kOpenBySerial = 1;
constexpr uint32_t kOpenByDescription = 2;
constexpr uint8_t kModeReset = 0;
constexpr uint8_t kModeAsyncBitbang = 1;
constexpr uint8_t kClockBit = 0x01;
constexpr uint8_t kDataBit = 0x02;

// Caller buffer sizes of the program-data record.
constexpr size_t kManufacturerSize = 32;
constexpr size_t kManufacturerIdSize = 16;
constexpr size_t kDescriptionSize = 64;
constexpr size_t kSerialSize = 16;

void CopyOut(const std::string& from, char* to, size_t size) {
  if (to == nullptr) return;
  const size_t n = std::min(from.size(), size - 1);
  std::memcpy(to, from.data(), n);
  to[n] = '\0';
}

// Checks a caller string against the memory it must fit, terminator included.
bool Fits(const char* s, size_t size) { return ::strnlen(s, size) < size; }

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

template <class Call>
Status Simulator::OnHandle(void* handle, Call&& call) {
  std::lock_guard lock(mutex_);
  RefreshLocked(false);
  const auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == handles_.end()) return KM7SIM_INVALID_HANDLE;
  Module* module = modules_[it->second.module].get();
  // An unplugged module fails every call on its handle, and so does a handle
  // from before it was plugged in again.
  if (module->gone || it->second.generation != module->generation) return KM7SIM_IO_ERROR;
  return call(module, &it->second);
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

bool Simulator::MasterClock(const Module& m) {
  // Undriven, the clock input of the sensor sits low.
  return m.bitbang && (m.mask & kClockBit) ? (m.latch & kClockBit) != 0 : false;
}

bool Simulator::MasterData(const Module& m) {
  // Undriven, the pull-up holds the data line high.
  return m.bitbang && (m.mask & kDataBit) ? (m.latch & kDataBit) != 0 : true;
}

void Simulator::ResetPort(Module& m) {
  m.bitbang = false;
  m.mask = 0;
  m.latch = 0;
  m.clockSeen = MasterClock(m);
  m.dataSeen = MasterData(m);
  m.sensor->ResetInterface(m.clockSeen, m.dataSeen);
}

// Hands the sensor the line changes since the last look. When clock and data
// change together the data is taken to change while the clock is low: before
// a rising clock edge, after a falling one.
void Simulator::Settle(Module& m) {
  const auto now = Sensor::Clock::now();
  const bool clock = MasterClock(m);
  const bool data = MasterData(m);
  const bool dataChanged = data != m.dataSeen;
  if (clock != m.clockSeen) {
    if (clock) {
      if (dataChanged) m.sensor->DataChanged(data, now);
      m.sensor->ClockChanged(true, now);
    } else {
      m.sensor->ClockChanged(false, now);
      if (dataChanged) m.sensor->DataChanged(data, now);
    }
  } else if (dataChanged) {
    m.sensor->DataChanged(data, now);
  }
  m.clockSeen = clock;
  m.dataSeen = data;
  if (m.config.unplugAfter != 0 && m.sensor->completedReadings() >= m.config.unplugAfter) {
    m.gone = true;
  }
}

uint8_t Simulator::Pins(Module& m) {
  uint8_t pins = 0;
  for (int bit = 2; bit < 8; ++bit) {
    const uint8_t b = static_cast<uint8_t>(1u << bit);
    // Inputs read high through their pull-ups.
    const bool level = m.bitbang && (m.mask & b) ? (m.latch & b) != 0 : true;
    if (level) pins |= b;
  }
  if (MasterClock(m)) pins |= kClockBit;
  // With no sensor behind the bridge nothing ever pulls the data line low.
  if (MasterData(m) && !(m.config.sensorPresent && m.sensor->PullsDataLow(Sensor::Clock::now())))
    pins |= kDataBit;
  return pins;
}

Status Simulator::SetBitMode(void* handle, uint8_t mask, uint8_t mode) {
  return OnHandle(handle, [&](Module* m, Handle*) -> Status {
    if (mode == kModeReset) {
      m->bitbang = false;
      m->mask = 0;
    } else if (mode == kModeAsyncBitbang) {
      if (m->config.bitbangFails) return KM7SIM_IO_ERROR;
      m->bitbang = true;
      m->mask = mask;
    } else {
      return KM7SIM_INVALID_PARAMETER;
    }
    Settle(*m);
    return KM7SIM_OK;
  });
}

Status Simulator::GetBitMode(void* handle, uint8_t* pins) {
  const Status s = OnHandle(handle, [&](Module* m, Handle*) -> Status {
    if (pins == nullptr) return KM7SIM_INVALID_PARAMETER;
    *pins = Pins(*m);
    return KM7SIM_OK;
  });
  // A bridge that is gone answers with all levels high, as a real one's
  // failed read does.
  if (s == KM7SIM_IO_ERROR && pins != nullptr) *pins = 0xFF;
  return s;
}

Status Simulator::Write(void* handle, const void* buffer, uint32_t length, uint32_t* written) {
  return OnHandle(handle, [&](Module* m, Handle*) -> Status {
    if (buffer == nullptr && length != 0) return KM7SIM_INVALID_PARAMETER;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    uint32_t done = 0;
    if (m->bitbang) {
      // Each byte is one state of the output pins, applied in turn.
      while (done < length && !m->gone) {
        m->latch = bytes[done++];
        Settle(*m);
      }
    } else {
      done = length;  // no serial side to this module: the bytes go nowhere
    }
    if (written != nullptr) *written = done;
    return KM7SIM_OK;
  });
}

Status Simulator::Read(void* handle, void* buffer, uint32_t length, uint32_t* got) {
  return OnHandle(handle, [&](Module*, Handle*) -> Status {
    if ((buffer == nullptr && length != 0) || got == nullptr) return KM7SIM_INVALID_PARAMETER;
    *got = 0;  // nothing ever arrives
    return KM7SIM_OK;
  });
}

Status Simulator::EeRead(void* handle, km7sim_program_data* data) {
  return OnHandle(handle, [&](Module* m, Handle*) -> Status {
    if (data == nullptr) return KM7SIM_INVALID_PARAMETER;
    const Eeprom& e = m->eeprom;
    data->VendorId = e.vendorId;
    data->ProductId = e.productId;
    CopyOut(e.manufacturer, data->Manufacturer, kManufacturerSize);
    CopyOut(e.manufacturerId, data->ManufacturerId, kManufacturerIdSize);
    CopyOut(e.description, data->Description, kDescriptionSize);
    CopyOut(e.serial, data->SerialNumber, kSerialSize);
    std::memcpy(data->more, e.more.data(), e.more.size());
    return KM7SIM_OK;
  });
}

Status Simulator::EeProgram(void* handle, const km7sim_program_data* data) {
  return OnHandle(handle, [&](Module* m, Handle*) -> Status {
    if (data == nullptr || data->Description == nullptr) return KM7SIM_INVALID_PARAMETER;
    // Nothing is written unless every string fits its place in the memory.
    if (data->Description[0] == '\0' || !Fits(data->Description, descriptionLimit_)) {
      return KM7SIM_INVALID_PARAMETER;
    }
    if ((data->Manufacturer != nullptr && !Fits(data->Manufacturer, kManufacturerSize)) ||
        (data->ManufacturerId != nullptr && !Fits(data->ManufacturerId, kManufacturerIdSize)) ||
        (data->SerialNumber != nullptr && !Fits(data->SerialNumber, kSerialSize))) {
      return KM7SIM_INVALID_PARAMETER;
    }
    Eeprom e = m->eeprom;
    e.vendorId = data->VendorId;
    e.productId = data->ProductId;
    if (data->Manufacturer != nullptr) e.manufacturer = data->Manufacturer;
    if (data->ManufacturerId != nullptr) e.manufacturerId = data->ManufacturerId;
    e.description = data->Description;
    if (data->SerialNumber != nullptr) e.serial = data->SerialNumber;
    std::memcpy(e.more.data(), data->more, e.more.size());
    // The listing keeps the old description until the module is plugged in again.
    m->eeprom = e;
    programmed_[m->key] = e;
    KeepProgrammed(programmed_);
    return KM7SIM_OK;
  });
}

Status Simulator::UaSize(void* handle, uint32_t* size) {
  return OnHandle(handle, [&](Module* m, Handle*) -> Status {
    if (size == nullptr) return KM7SIM_INVALID_PARAMETER;
    *size = static_cast<uint32_t>(m->eeprom.userArea.size());
    return KM7SIM_OK;
  });
}

Status Simulator::UaRead(void* handle, uint8_t* buffer, uint32_t length, uint32_t* got) {
  return OnHandle(handle, [&](Module* m, Handle*) -> Status {
    if (buffer == nullptr || got == nullptr || length > m->eeprom.userArea.size()) {
      return KM7SIM_INVALID_PARAMETER;
    }
    std::memcpy(buffer, m->eeprom.userArea.data(), length);
    *got = length;
    return KM7SIM_OK;
  });
}

Status Simulator::UaWrite(void* handle, const uint8_t* buffer, uint32_t length) {
  return OnHandle(handle, [&](Module* m, Handle*) -> Status {
    if (buffer == nullptr || length > m->eeprom.userArea.size()) return KM7SIM_INVALID_PARAMETER;
    std::memcpy(m->eeprom.userArea.data(), buffer, length);
    programmed_[m->key] = m->eeprom;
    KeepProgrammed(programmed_);
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
