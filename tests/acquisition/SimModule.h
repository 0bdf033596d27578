#pragma once
// Test helpers around the simulated module: its configuration file, its
// control exports, and opening a module the way the main window does.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "acquisition/D2xxLibrary.h"
#include "acquisition/SensorBus.h"

namespace simmodule {

inline const char* const kDescription = "ORV-KM7 Lab";

// Writes the configuration (module lines under [module]) to a file of its own
// and points KM7_SIM_CONFIG at it. Returns the file name.
inline std::string WriteConfig(const std::string& moduleLines) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/km7-acq-sim-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) return {};
  close(fd);
  std::ofstream out(path);
  out << "[module]\n"
      << "description = " << kDescription << "\n"
      << moduleLines;
  out.close();
  setenv("KM7_SIM_CONFIG", path.c_str(), 1);
  return path;
}

// The simulator's own exports, found on the library the binding loaded.
struct Controls {
  uint64_t (*callCount)() = nullptr;
  void (*resetCallCount)() = nullptr;
  void (*replug)() = nullptr;
  uint64_t (*readings)(const char*) = nullptr;

  bool Load() {
    void* h = dlopen("libftd2xx.so", RTLD_NOLOAD | RTLD_NOW);
    if (h == nullptr) return false;
    callCount = reinterpret_cast<uint64_t (*)()>(dlsym(h, "km7sim_call_count"));
    resetCallCount = reinterpret_cast<void (*)()>(dlsym(h, "km7sim_reset_call_count"));
    replug = reinterpret_cast<void (*)()>(dlsym(h, "km7sim_replug"));
    readings = reinterpret_cast<uint64_t (*)(const char*)>(dlsym(h, "km7sim_readings"));
    dlclose(h);  // drops only the reference NOLOAD took
    return callCount && resetCallCount && replug && readings;
  }
};

// Opens the module by description, switches the port to bit-bang and brings
// the bus to idle, as the device opening does.
inline ::testing::AssertionResult OpenModule(km7::SensorPort& port, const char* description = kDescription) {
  if (const FT_STATUS s = port.device.FT_OpenEx(description, kFtOpenByDescription); s != 0)
    return ::testing::AssertionFailure() << "FT_OpenEx failed: " << s;
  if (const FT_STATUS s = port.device.FT_SetBitMode(SensorBus::kAllOutputs, kFtBitModeAsyncBitBang); s != 0)
    return ::testing::AssertionFailure() << "FT_SetBitMode failed: " << s;
  SensorBus::SetDataLine(port, 1);
  SensorBus::SetPin(port, 0, SensorBus::kClockPin);
  return ::testing::AssertionSuccess();
}

// Polls a condition with a generous bound (the machine may be busy).
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds bound = std::chrono::seconds(60)) {
  const auto end = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace simmodule
