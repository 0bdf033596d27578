// The acquisition thread against the simulated module, loaded as the driver
// library through LD_LIBRARY_PATH.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "SimModule.h"
#include "acquisition/Acquisition.h"
#include "acquisition/Measurement.h"
#include "platform/Clock.h"

namespace {

using namespace std::chrono_literals;

simmodule::Controls sim;
std::atomic<int> pauses{0};
std::atomic<int> polls{0};
// When nonzero: the thread is stopped from inside this ready-poll wait, and
// the simulator's call count at that moment is kept.
std::atomic<int> stopAtPoll{0};
std::atomic<std::uint64_t> callsAtStop{0};
// The acquisition under test, for the hook to stop.
std::atomic<km7::Acquisition*> current{nullptr};

void SimSleep(unsigned ms) {
  if (ms == km7::kReadyPollMs) {
    const int n = ++polls;
    if (n == stopAtPoll.load()) {
      current.load()->RequestStop();
      callsAtStop.store(sim.callCount());
    }
  }
  if (ms == km7::kCyclePauseMs) ++pauses;
  // The module converts in real time, so the short waits stay real; the cycle
  // pause and the stop waits are cut short.
  std::this_thread::sleep_for(std::chrono::milliseconds(ms >= km7::kCyclePauseMs ? 2 : ms));
}

class AcquisitionSimThread : public ::testing::Test {
 protected:
  void Start(const std::string& moduleLines, int autoRead = 1) {
    configPath = simmodule::WriteConfig(moduleLines);
    ASSERT_FALSE(configPath.empty());
    ASSERT_EQ(lib->Bind(), 0) << "the simulated libftd2xx.so must be on LD_LIBRARY_PATH";
    ASSERT_TRUE(sim.Load());
    sim.replug();  // this test's configuration, fresh modules
    // A fresh acquisition each time: nothing of an earlier one carries over.
    if (acq) acq->Stop(1500);
    current = nullptr;
    acq = std::make_unique<km7::Acquisition>(lib);
    current = acq.get();
    ASSERT_TRUE(simmodule::OpenModule(acq->Port()));
    acq->SetAutoRead(autoRead != 0);
    acq->Start();
  }
  void SetUp() override {
    pauses = 0;
    polls = 0;
    stopAtPoll = 0;
    km7::SetSleepHook(&SimSleep);
  }
  void TearDown() override {
    if (acq) acq->Stop(1500);
    km7::SetSleepHook(nullptr);
    km7::SetWaitLengthHook(nullptr);
    if (!configPath.empty()) std::remove(configPath.c_str());
  }
  bool HasExpectedValues() const {
    const km7::Reading r = acq->Read();
    return r.temperature == 6000 * 0.01 - 40.0 && std::fabs(r.relativeHumidity - 49.419) < 0.0005;
  }
  km7::Reading Read() const { return acq->Read(); }
  std::shared_ptr<D2xxLibrary> lib = std::make_shared<D2xxLibrary>();
  std::unique_ptr<km7::Acquisition> acq;
  std::string configPath;
};

TEST_F(AcquisitionSimThread, MeasuresTheModulesValues) {
  Start("raw_temperature = 6000\nraw_humidity = 1488\n");
  ASSERT_TRUE(simmodule::WaitFor([&] { return HasExpectedValues(); }));
  EXPECT_NEAR(Read().dewPoint, 9.08, 0.005);
  // A few more cycles: the values hold and every check passes.
  const int p = pauses.load();
  ASSERT_TRUE(simmodule::WaitFor([&] { return pauses.load() >= p + 3; }));
  EXPECT_TRUE(HasExpectedValues());
  EXPECT_EQ(Read().crcErrorCount, 0);
  EXPECT_GE(sim.readings(simmodule::kDescription), 6u);

  // Stop, then start again on the same open module.
  acq->Stop(1400);
  EXPECT_FALSE(acq->ThreadAlive());
  EXPECT_FALSE(acq->Running());
  const std::uint64_t before = sim.readings(simmodule::kDescription);
  acq->SetAutoRead(true);
  acq->Start();
  ASSERT_TRUE(simmodule::WaitFor([&] { return sim.readings(simmodule::kDescription) >= before + 2; }));
}

TEST_F(AcquisitionSimThread, StartingAgainReplacesTheRunningThread) {
  Start("raw_temperature = 6000\nraw_humidity = 1488\n");
  ASSERT_TRUE(simmodule::WaitFor([] { return sim.readings(simmodule::kDescription) >= 1; }));
  acq->Start();  // without a Stop: the old thread ends first
  EXPECT_TRUE(acq->Running());
  const std::uint64_t before = sim.readings(simmodule::kDescription);
  ASSERT_TRUE(simmodule::WaitFor([&] { return sim.readings(simmodule::kDescription) >= before + 4; }));
  EXPECT_TRUE(simmodule::WaitFor([&] { return HasExpectedValues(); }));
}

TEST_F(AcquisitionSimThread, PhysicalValuesComeBackThroughTheConversions) {
  Start("temperature = 31.25\nhumidity = 62.0\n");
  ASSERT_TRUE(simmodule::WaitFor([&] { return Read().relativeHumidity != 0.0; }));
  EXPECT_NEAR(Read().temperature, 31.25, 0.006);
  // One humidity count is worth about 0.04 % here.
  EXPECT_NEAR(Read().relativeHumidity, 62.0, 0.05);
  EXPECT_NEAR(Read().dewPoint, km7::DewPoint(31.25, 62.0), 0.05);
}

TEST_F(AcquisitionSimThread, FailedChecksAreCountedAndTheValuesStillStored) {
  Start("raw_temperature = 6000\nraw_humidity = 1488\ncorrupt_crc_every = 1\n");
  ASSERT_TRUE(simmodule::WaitFor([&] { return Read().crcErrorCount >= 4; }));
  EXPECT_TRUE(HasExpectedValues());
}

TEST_F(AcquisitionSimThread, EverySecondReadingCorrupt) {
  Start("raw_temperature = 6000\nraw_humidity = 1488\ncorrupt_crc_every = 2\n");
  ASSERT_TRUE(simmodule::WaitFor([] { return sim.readings(simmodule::kDescription) >= 6; }));
  acq->Stop(1400);
  // Readings 2, 4, 6, ... carry a bad check byte. The stop may have come
  // after the module sent the last reading but before it was checked.
  const auto readings = static_cast<std::int32_t>(sim.readings(simmodule::kDescription));
  const std::int32_t count = Read().crcErrorCount;
  EXPECT_TRUE(count == readings / 2 || count == (readings - 1) / 2) << count << " of " << readings;
}

TEST_F(AcquisitionSimThread, NoBusTrafficWhileAutoReadIsOff) {
  Start("raw_temperature = 6000\n", /*autoRead=*/0);
  // The soft reset is over once the loop's first pause began.
  ASSERT_TRUE(simmodule::WaitFor([] { return pauses.load() >= 1; }));
  sim.resetCallCount();
  const int p = pauses.load();
  ASSERT_TRUE(simmodule::WaitFor([&] { return pauses.load() >= p + 4; }));
  EXPECT_EQ(sim.callCount(), 0u);
  EXPECT_EQ(sim.readings(simmodule::kDescription), 0u);
  EXPECT_EQ(Read().temperature, 0.0);
}

TEST_F(AcquisitionSimThread, StopDuringTheReadyPollGivesUpWithinOnePoll) {
  // The conversion never ends while the test runs.
  stopAtPoll = 5;
  Start("raw_temperature = 6000\ntemperature_conversion_ms = 600000\n");
  ASSERT_TRUE(simmodule::WaitFor([&] { return !acq->Running(); }));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(acq->Stop(30000));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 30s);
  // Nothing touched the bus after the flags were cleared: no byte was read.
  EXPECT_EQ(sim.callCount(), callsAtStop.load());
  EXPECT_EQ(polls.load(), 5);
  EXPECT_EQ(Read().temperature, 0.0);
  EXPECT_EQ(Read().crcErrorCount, 0);
  EXPECT_EQ(sim.readings(simmodule::kDescription), 0u);
}

TEST_F(AcquisitionSimThread, UnpluggedModuleNeitherCrashesNorHangsTheThread) {
  // Gone right after the last bit of the fourth reading: only the calls
  // after it fail, so that reading is whole and kept.
  Start("raw_temperature = 6000\nraw_humidity = 1488\nunplug_after = 4\n");
  ASSERT_TRUE(simmodule::WaitFor(
      [&] { return HasExpectedValues() && sim.readings(simmodule::kDescription) >= 4; }));
  // Every call on the handle fails now; the loop goes on cycling, counts
  // each lost reading (the gone bridge's 0xFF levels never look ready) and
  // keeps the last good values, which soon stop being current.
  const int p = pauses.load();
  ASSERT_TRUE(simmodule::WaitFor([&] { return pauses.load() >= p + 3; }));
  EXPECT_GE(Read().crcErrorCount, 4);
  EXPECT_TRUE(HasExpectedValues());
  EXPECT_NEAR(Read().dewPoint, 9.08, 0.005);
  UCHAR pins = 0;
  EXPECT_NE(acq->Device().FT_GetBitMode(&pins), 0u);
  EXPECT_EQ(pins, 0xFF);
  const auto t0 = std::chrono::steady_clock::now();
  acq->Stop(1400);
  EXPECT_FALSE(acq->ThreadAlive());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 30s);
}

// The cycle pause lasts an hour here: only a stop that wakes the thread
// ends it within the close bound.
unsigned HourLongPause(unsigned ms) { return ms == km7::kCyclePauseMs ? 3600u * 1000u : ms; }

TEST_F(AcquisitionSimThread, StoppingWakesTheThreadFromItsPauseAndJoinsIt) {
  for (int autoRead : {0, 1}) {
    SCOPED_TRACE(autoRead ? "measuring" : "idle");
    km7::SetWaitLengthHook(&HourLongPause);
    Start("raw_temperature = 6000\nraw_humidity = 1488\n", autoRead);
    // Into the pause: after the soft reset (idle) or after the first reading.
    if (autoRead) {
      ASSERT_TRUE(acq->WaitForFirstReading(60000));
    }
    std::this_thread::sleep_for(100ms);
    auto stopped = std::async(std::launch::async, [&] { return acq->Stop(1400); });
    if (stopped.wait_for(60s) != std::future_status::ready) {
      ADD_FAILURE() << "stopping did not end the pause";
      std::_Exit(1);
    }
    EXPECT_TRUE(stopped.get()) << "the thread had not ended within the bound";
    EXPECT_FALSE(acq->ThreadAlive());
    EXPECT_FALSE(acq->Running());
    EXPECT_FALSE(acq->AutoRead());
    acq->Device().FT_Close();
  }
}

TEST_F(AcquisitionSimThread, FirstReadingIsAnnouncedOnceBothValuesAreStored) {
  struct Case {
    const char* what;
    const char* module;
    int autoRead;
    bool expectReading;
  };
  const Case cases[] = {
      {"measuring", "raw_temperature = 6000\nraw_humidity = 1488\n", 1, true},
      // A slow humidity conversion: the temperature alone is no reading.
      {"humidity still converting", "raw_temperature = 6000\nhumidity_conversion_ms = 600000\n", 1, false},
      {"idle", "raw_temperature = 6000\n", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start(c.module, c.autoRead);
    if (c.expectReading) {
      // The sleep hook stands in for the bound: ask until the answer comes.
      ASSERT_TRUE(simmodule::WaitFor([&] { return acq->WaitForFirstReading(0); }));
      EXPECT_TRUE(HasExpectedValues());
    } else {
      ASSERT_TRUE(simmodule::WaitFor([] { return pauses.load() >= 1 || polls.load() >= 20; }));
      EXPECT_FALSE(acq->WaitForFirstReading(500));
      EXPECT_EQ(Read().relativeHumidity, 0.0);
    }
    acq->Stop(1400);
    acq->Device().FT_Close();
  }
}

}  // namespace
