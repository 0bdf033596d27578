// The simulated bridge driver: attached modules, open handles, the bit-bang
// port of each module and its configuration memory. One instance per process,
// guarded by one mutex; every entry point of the library lands here.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Config.h"
#include "Eeprom.h"
#include "Sensor.h"
#include "km7sim.h"

namespace km7sim {

using Status = unsigned long;

class Simulator {
 public:
  static Simulator& Instance();
  Simulator();  // reads the configuration; the library holds the one instance

  void CountCall() { calls_.fetch_add(1, std::memory_order_relaxed); }
  uint64_t Calls() const { return calls_.load(std::memory_order_relaxed); }
  void ResetCalls() { calls_.store(0, std::memory_order_relaxed); }

  void Replug();
  uint64_t Readings(const char* description);

  Status ListDevices(void* arg1, void* arg2, uint32_t flags);
  Status OpenEx(void* arg, uint32_t flags, void** handle);
  Status OpenByIndex(int index, void** handle);
  Status Close(void* handle);

  Status SetBitMode(void* handle, uint8_t mask, uint8_t mode);
  Status GetBitMode(void* handle, uint8_t* pins);
  Status Write(void* handle, const void* buffer, uint32_t length, uint32_t* written);
  Status Read(void* handle, void* buffer, uint32_t length, uint32_t* got);

  Status EeRead(void* handle, km7sim_program_data* data);
  Status EeProgram(void* handle, const km7sim_program_data* data);
  Status UaSize(void* handle, uint32_t* size);
  Status UaRead(void* handle, uint8_t* buffer, uint32_t length, uint32_t* got);
  Status UaWrite(void* handle, const uint8_t* buffer, uint32_t length);

  Status SetLatencyTimer(void* handle, uint8_t ms);
  Status GetLatencyTimer(void* handle, uint8_t* ms);

  // Entry points without an effect here: they only check the handle.
  Status Check(void* handle);

 private:
  struct Module {
    ModuleConfig config;
    std::string key;               // identity across re-plugging
    std::string listed;            // description reported when plugged in
    std::string listedSerial;
    Eeprom eeprom;
    bool gone = false;             // unplugged: unplug_after, present = 0, or left the file
    unsigned generation = 0;       // counts pluggings-in; older handles are dead
    uintptr_t openHandle = 0;
    // Bit-bang port.
    bool bitbang = false;
    uint8_t mask = 0;
    uint8_t latch = 0;
    bool clockSeen = false;
    bool dataSeen = true;
    std::unique_ptr<Sensor> sensor;
  };
  struct Handle {
    size_t module = 0;
    uint8_t latency = 16;
    unsigned generation = 0;
  };

  void PlugLocked();
  // Re-reads the configuration file when it changed since it was read last;
  // `always` skips the pause between two looks at the file.
  void RefreshLocked(bool always);
  void ApplyLocked(const Config& config);
  std::unique_ptr<Module> MakeModule(const ModuleConfig& config, size_t index, const std::string& source);
  void PlugBack(Module& m);
  // Every call on a handle: under the lock, looks the handle up and runs
  // call(module, handle record), or returns the status that refuses it.
  template <class Call>
  Status OnHandle(void* handle, Call&& call);
  static bool MasterClock(const Module& m);
  static bool MasterData(const Module& m);
  void Settle(Module& m);
  void ResetPort(Module& m);
  uint8_t Pins(Module& m);

  std::atomic<uint64_t> calls_{0};
  std::mutex mutex_;
  unsigned descriptionLimit_ = 64;
  std::vector<std::unique_ptr<Module>> modules_;
  std::map<uintptr_t, Handle> handles_;
  uintptr_t nextHandle_ = 0x4B370001;
  ProgrammedMemories programmed_;  // by module key; survives re-plugging and reloading
  // The configuration file as read last, and when it was looked at.
  std::string configPath_;
  FileStamp configStamp_;
  std::chrono::steady_clock::time_point lastLook_{};
};

// Here, not in a source file: the calls on a handle live in several files.
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

}  // namespace km7sim
