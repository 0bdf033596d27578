// Cost of one measurement cycle of the acquisition thread: bridge calls and
// the processor time the thread spends outside its waits.
//
//   LD_LIBRARY_PATH=<build>/sim acquisition_bench [cycles]
//
// Against the simulated module the time includes the simulator's own work,
// which runs on the calling thread; a second run against a do-nothing bridge
// gives the program's share alone.
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/Acquisition.h"
#include "acquisition/Measurement.h"
#include "acquisition/SensorBus.h"
#include "platform/Clock.h"

namespace {

std::uint64_t (*simCallCount)() = nullptr;
std::atomic<std::uint64_t> nullCalls{0};

struct Cycle {
  double cpuUs;
  std::uint64_t calls;
};

std::mutex cyclesMutex;
std::vector<Cycle> cycles;
std::atomic<int> cyclesWanted{0};
std::atomic<km7::Acquisition*> running{nullptr};  // stopped by the hook
double lastCpuUs = -1;
std::uint64_t lastCalls = 0;

double ThreadCpuUs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

std::uint64_t Calls() { return simCallCount ? simCallCount() : nullCalls.load(); }

// Runs on the acquisition thread: each cycle pause closes one cycle. Sleeping
// costs no processor time, so the difference between two pauses is the work.
void BenchSleep(unsigned ms) {
  if (ms == km7::kCyclePauseMs) {
    const double cpu = ThreadCpuUs();
    const std::uint64_t calls = Calls();
    {
      std::lock_guard lock(cyclesMutex);
      if (lastCpuUs >= 0) cycles.push_back({cpu - lastCpuUs, calls - lastCalls});
      if (static_cast<int>(cycles.size()) >= cyclesWanted.load()) {
        running.load()->RequestStop();
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lastCpuUs = ThreadCpuUs();
    lastCalls = Calls();
    return;
  }
  // Polls and the reset wait stay real against the module (it converts in
  // real time); against the do-nothing bridge the line is low at once.
  if (simCallCount) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void Report(const char* title) {
  std::lock_guard lock(cyclesMutex);
  if (cycles.empty()) {
    std::printf("%s: no cycles\n", title);
    return;
  }
  std::vector<double> cpu;
  std::uint64_t minCalls = UINT64_MAX, maxCalls = 0, sumCalls = 0;
  for (const Cycle& c : cycles) {
    cpu.push_back(c.cpuUs);
    minCalls = std::min(minCalls, c.calls);
    maxCalls = std::max(maxCalls, c.calls);
    sumCalls += c.calls;
  }
  std::sort(cpu.begin(), cpu.end());
  double sum = 0;
  for (double v : cpu) sum += v;
  std::printf("%s: %zu cycles\n", title, cycles.size());
  std::printf("  bridge calls per cycle: mean %.1f, min %llu, max %llu\n",
              static_cast<double>(sumCalls) / cycles.size(), static_cast<unsigned long long>(minCalls),
              static_cast<unsigned long long>(maxCalls));
  std::printf("  thread CPU per cycle:   mean %.1f us, median %.1f us, max %.1f us\n", sum / cpu.size(),
              cpu[cpu.size() / 2], cpu.back());
}

void Reset(int wanted) {
  std::lock_guard lock(cyclesMutex);
  cycles.clear();
  cyclesWanted = wanted;
  lastCpuUs = -1;
}

void RunCycles(km7::Acquisition& acquisition) {
  running = &acquisition;
  acquisition.SetAutoRead(true);
  acquisition.Start();
  // The sleep hook stops it after enough cycles.
  while (acquisition.ThreadAlive()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  acquisition.Stop(1000);
  running = nullptr;
}

// The do-nothing bridge: every call succeeds; the data line always reads low.
FT_STATUS NullWrite(FT_HANDLE, void*, DWORD len, DWORD* written) {
  nullCalls.fetch_add(1, std::memory_order_relaxed);
  *written = len;
  return 0;
}
FT_STATUS NullSetBitMode(FT_HANDLE, UCHAR, UCHAR) {
  nullCalls.fetch_add(1, std::memory_order_relaxed);
  return 0;
}
FT_STATUS NullGetBitMode(FT_HANDLE, UCHAR* pins) {
  nullCalls.fetch_add(1, std::memory_order_relaxed);
  *pins = 0;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int wanted = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
  km7::SetSleepHook(&BenchSleep);

  // Against the simulated module.
  const char* tmp = std::getenv("TMPDIR");
  std::string config = std::string(tmp && *tmp ? tmp : "/tmp") + "/km7-acq-bench-XXXXXX";
  const int fd = mkstemp(config.data());
  if (fd >= 0) close(fd);
  {
    std::ofstream out(config);
    out << "[module]\ndescription = ORV-KM7 Bench\ntemperature = 22.5\nhumidity = 45.0\n";
  }
  setenv("KM7_SIM_CONFIG", config.c_str(), 1);
  auto simLib = std::make_shared<D2xxLibrary>();
  km7::Acquisition sim(simLib);
  if (simLib->Bind() != 0) {
    std::fprintf(stderr, "no simulated libftd2xx.so: set LD_LIBRARY_PATH to the build's sim folder\n");
  } else if (void* h = dlopen("libftd2xx.so", RTLD_NOLOAD | RTLD_NOW)) {
    simCallCount = reinterpret_cast<std::uint64_t (*)()>(dlsym(h, "km7sim_call_count"));
    auto replug = reinterpret_cast<void (*)()>(dlsym(h, "km7sim_replug"));
    dlclose(h);
    if (simCallCount && replug) {
      replug();
      if (sim.Device().FT_OpenEx("ORV-KM7 Bench", kFtOpenByDescription) == 0 &&
          sim.Device().FT_SetBitMode(SensorBus::kAllOutputs, kFtBitModeAsyncBitBang) == 0) {
        SensorBus::SetDataLine(sim.Port(), 1);
        SensorBus::SetPin(sim.Port(), 0, SensorBus::kClockPin);
        Reset(wanted);
        const auto t0 = std::chrono::steady_clock::now();
        RunCycles(sim);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        Report("simulated module (80 ms / 30 ms conversions)");
        std::printf("  wall time per cycle without the 1000 ms pause: %.1f ms\n", ms / (wanted + 1));
        const km7::Reading r = sim.Read();
        std::printf("  last values: %.2f C, %.2f %%, dew point %.2f C, CRC errors %d\n", r.temperature,
                    r.relativeHumidity, r.dewPoint, r.crcErrorCount);
      } else {
        std::fprintf(stderr, "could not open the simulated module\n");
      }
    }
  }
  std::remove(config.c_str());

  // The program's own share.
  simCallCount = nullptr;
  auto nullLib = std::make_shared<D2xxLibrary>();
  nullLib->entry.FT_Write = &NullWrite;
  nullLib->entry.FT_SetBitMode = &NullSetBitMode;
  nullLib->entry.FT_GetBitMode = &NullGetBitMode;
  km7::Acquisition null(nullLib);
  Reset(wanted * 25);
  RunCycles(null);
  Report("do-nothing bridge (program only)");
  km7::SetSleepHook(nullptr);
  return 0;
}
