#pragma once
// The simulated module loaded by path, a temporary configuration file, and a
// bit-banging bus master that works the pins the way the program does.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "km7sim.h"

namespace simtest {

using FT_HANDLE = void*;
using DWORD = uint32_t;
using UCHAR = uint8_t;
using Status = unsigned long;

constexpr DWORD kListNumberOnly = 0x80000000;
constexpr DWORD kListAllByDescription = 0x20000002;
constexpr DWORD kOpenByDescription = 2;
constexpr UCHAR kClock = 0;  // pin indices
constexpr UCHAR kData = 1;

// Entry points of one loaded copy of the library.
struct SimLib {
  void* dl = nullptr;
  Status (*Write)(FT_HANDLE, void*, DWORD, DWORD*) = nullptr;
  Status (*OpenEx)(void*, DWORD, FT_HANDLE*) = nullptr;
  Status (*ListDevices)(void*, void*, DWORD) = nullptr;
  Status (*Close)(FT_HANDLE) = nullptr;
  Status (*ResetDevice)(FT_HANDLE) = nullptr;
  Status (*SetBitMode)(FT_HANDLE, UCHAR, UCHAR) = nullptr;
  Status (*GetBitMode)(FT_HANDLE, UCHAR*) = nullptr;
  Status (*EeRead)(FT_HANDLE, km7sim_program_data*) = nullptr;
  Status (*EeProgram)(FT_HANDLE, km7sim_program_data*) = nullptr;
  km7sim_call_count_fn callCount = nullptr;
  km7sim_reset_call_count_fn resetCallCount = nullptr;
  km7sim_replug_fn replug = nullptr;
  km7sim_readings_fn readings = nullptr;

  template <typename F>
  void Bind(F& f, const char* name) {
    f = reinterpret_cast<F>(dlsym(dl, name));
  }

  // The main library, loaded once per process by its full path.
  static SimLib& Main() {
    static SimLib lib = [] {
      SimLib l;
      l.dl = dlopen(KM7_SIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
      if (l.dl == nullptr) return l;
      l.Bind(l.Write, "FT_Write");
      l.Bind(l.OpenEx, "FT_OpenEx");
      l.Bind(l.ListDevices, "FT_ListDevices");
      l.Bind(l.Close, "FT_Close");
      l.Bind(l.ResetDevice, "FT_ResetDevice");
      l.Bind(l.SetBitMode, "FT_SetBitMode");
      l.Bind(l.GetBitMode, "FT_GetBitMode");
      l.Bind(l.EeRead, "FT_EE_Read");
      l.Bind(l.EeProgram, "FT_EE_Program");
      l.Bind(l.callCount, "km7sim_call_count");
      l.Bind(l.resetCallCount, "km7sim_reset_call_count");
      l.Bind(l.replug, "km7sim_replug");
      l.Bind(l.readings, "km7sim_readings");
      return l;
    }();
    return lib;
  }

  bool Complete() const {
    return dl && Write && OpenEx && ListDevices && Close && ResetDevice && SetBitMode &&
           GetBitMode && EeRead && EeProgram && callCount && resetCallCount && replug && readings;
  }
};

// A configuration file of its own, named by KM7_SIM_CONFIG while it lives.
class ConfigFile {
 public:
  explicit ConfigFile(const std::string& text) {
    const char* dir = std::getenv("TMPDIR");
    path_ = std::string(dir && *dir ? dir : "/tmp") + "/km7sim-test-XXXXXX";
    const int fd = mkstemp(path_.data());
    if (fd >= 0) close(fd);
    std::ofstream(path_) << text;
    setenv("KM7_SIM_CONFIG", path_.c_str(), 1);
  }
  ~ConfigFile() {
    unsetenv("KM7_SIM_CONFIG");
    std::remove(path_.c_str());
  }
  // Replaces the file with a new one of this text, as an editor or a test
  // script would: written beside it, then renamed over it.
  bool Rewrite(const std::string& text) {
    const std::string fresh = path_ + ".new";
    std::ofstream(fresh) << text;
    return std::rename(fresh.c_str(), path_.c_str()) == 0;
  }
  ConfigFile(const ConfigFile&) = delete;
  ConfigFile& operator=(const ConfigFile&) = delete;

 private:
  std::string path_;
};

struct Reading {
  uint8_t msb = 0, lsb = 0, check = 0;
  uint16_t raw() const { return static_cast<uint16_t>(msb << 8 | lsb); }
};

// CRC-8 (0x31, MSB first, register from 0), written out independently of the
// simulator's own.
inline uint8_t Crc(std::initializer_list<uint8_t> bytes) {
  uint8_t crc = 0;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = static_cast<uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x31 : crc << 1);
  }
  return crc;
}

inline uint8_t Reverse(uint8_t b) {
  uint8_t r = 0;
  for (int i = 0; i < 8; ++i) r = static_cast<uint8_t>(r | ((b >> i) & 1) << (7 - i));
  return r;
}

// Drives the bus as the program does: every pin change is one FT_Write of the
// whole shadow byte, the data line is released by making its pin an input.
class BusMaster {
 public:
  BusMaster(SimLib& lib, FT_HANDLE handle) : lib_(lib), h_(handle) {}

  Status SetPin(int level, int pin) {
    if (pin < 8) shadow_ = static_cast<uint8_t>(level ? shadow_ | 1 << pin : shadow_ & ~(1 << pin));
    DWORD written = 0;
    return lib_.Write(h_, &shadow_, 1, &written);
  }

  void SetData(int level) {
    if (level == 1) {
      lib_.SetBitMode(h_, 0xFD, 1);
    } else {
      lib_.SetBitMode(h_, 0xFF, 1);
      SetPin(0, kData);
    }
  }

  void Idle() {
    SetData(1);
    SetPin(0, kClock);
  }

  void Start() {
    SetPin(1, kClock);
    SetData(0);
    SetPin(0, kClock);
    SetPin(1, kClock);
    SetData(1);
    SetPin(0, kClock);
  }

  UCHAR Pins() {
    UCHAR pins = 0;
    lib_.GetBitMode(h_, &pins);
    return pins;
  }

  // Returns true when the sensor pulled the data line low on the ninth clock.
  bool WriteByte(uint8_t value) {
    for (int bit = 7; bit >= 0; --bit) {
      SetData((value >> bit) & 1);
      SetPin(1, kClock);
      SetPin(0, kClock);
    }
    SetData(1);
    SetPin(1, kClock);
    const bool ack = (Pins() & 0x02) == 0;
    SetPin(0, kClock);
    return ack;
  }

  uint8_t ReadByte(bool acknowledge) {
    uint8_t value = 0;
    for (int bit = 0; bit < 8; ++bit) {
      SetPin(1, kClock);
      value = static_cast<uint8_t>(value << 1 | ((Pins() >> 1) & 1));
      SetPin(0, kClock);
    }
    if (acknowledge) SetData(0);
    SetPin(1, kClock);
    SetPin(0, kClock);
    SetData(1);
    return value;
  }

  // Polls the data line until the sensor pulls it low, keeping the levels as
  // the program's shadow does.
  bool WaitReady(std::chrono::milliseconds bound = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + bound;
    for (;;) {
      lib_.GetBitMode(h_, &shadow_);
      if ((shadow_ & 0x02) == 0) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  std::optional<Reading> Measure(uint8_t command) {
    Start();
    if (!WriteByte(command)) return std::nullopt;
    if (!WaitReady()) return std::nullopt;
    Reading r;
    r.msb = ReadByte(true);
    r.lsb = ReadByte(true);
    r.check = ReadByte(false);
    return r;
  }

  uint8_t shadow() const { return shadow_; }

 private:
  SimLib& lib_;
  FT_HANDLE h_;
  uint8_t shadow_ = 0;
};

// Loads the library, writes the configuration and plugs the modules in again.
class SimTest : public ::testing::Test {
 protected:
  void Plug(const std::string& config) {
    config_.emplace(config);
    sim.replug();
  }
  void SetUp() override { ASSERT_TRUE(sim.Complete()) << "cannot load " << KM7_SIM_LIBRARY; }
  void TearDown() override { config_.reset(); }

  FT_HANDLE Open(const char* description) {
    FT_HANDLE h = nullptr;
    EXPECT_EQ(sim.OpenEx(const_cast<char*>(description), kOpenByDescription, &h), 0u);
    return h;
  }

  // Opens the module and brings the port to the bus idle state.
  FT_HANDLE OpenForBus(const char* description) {
    FT_HANDLE h = Open(description);
    EXPECT_EQ(sim.SetBitMode(h, 0xFF, 1), 0u);
    BusMaster(sim, h).Idle();
    return h;
  }

  SimLib& sim = SimLib::Main();
  std::optional<ConfigFile> config_;
};

}  // namespace simtest
