// Two threads on the simulated module at once, as the program's acquisition
// and user-interface threads are.
#include <atomic>
#include <thread>

#include "SimSupport.h"

namespace simtest {
namespace {

using SimThreads = SimTest;

TEST_F(SimThreads, MeasuringWhileAnotherThreadListsAndCounts) {
  Plug("temperature_conversion_ms = 2\nhumidity_conversion_ms = 2\n"
       "[module]\ndescription = ORV-KM7 Lab\nraw_temperature = 6000\nraw_humidity = 1488\n"
       "[module]\ndescription = ORV-KM7 Office\n");
  FT_HANDLE lab = OpenForBus("ORV-KM7 Lab");
  sim.resetCallCount();

  std::atomic<bool> done{false};
  std::atomic<uint64_t> otherCalls{0};
  std::thread other([&] {
    FT_HANDLE office = nullptr;
    while (!done.load()) {
      DWORD count = 0;
      sim.ListDevices(&count, nullptr, kListNumberOnly);
      UCHAR pins = 0;
      sim.GetBitMode(lab, &pins);  // polling the other thread's module too
      sim.OpenEx(const_cast<char*>("ORV-KM7 Office"), kOpenByDescription, &office);
      sim.Close(office);
      otherCalls += 4;
      (void)sim.readings("ORV-KM7 Lab");
    }
  });

  BusMaster bus(sim, lab);
  int good = 0;
  for (int i = 0; i < 10; ++i) {
    const auto r = bus.Measure(i % 2 ? 0x05 : 0x03);
    if (r && r->raw() == (i % 2 ? 1488 : 6000)) ++good;
  }
  const uint64_t afterMeasuring = sim.callCount();
  done = true;
  other.join();
  EXPECT_EQ(good, 10);
  EXPECT_EQ(sim.readings("ORV-KM7 Lab"), 10u);
  // Nothing lost in the count: both threads' calls are in it.
  EXPECT_GE(afterMeasuring, 10u * 27);
  EXPECT_GE(sim.callCount() - otherCalls.load(), 10u * 27);
  sim.Close(lab);
}

}  // namespace
}  // namespace simtest
