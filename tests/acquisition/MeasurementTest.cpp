#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <vector>

#include "RecordingBridge.h"
#include "acquisition/Measurement.h"
#include "acquisition/SensorBus.h"
#include "platform/Clock.h"

namespace {

using Calls = std::vector<std::string>;

TEST(AcquisitionConversions, TemperatureHumidityAndDewPoint) {
  EXPECT_NEAR(km7::RawToCelsius(6000), 20.00, 1e-9);
  EXPECT_NEAR(km7::RawToCelsius(0), -40.00, 1e-9);
  EXPECT_NEAR(km7::RawToCelsius(65535), 615.35, 1e-9);
  const double rh = km7::RelativeHumidity(1488, 20.0);
  EXPECT_NEAR(rh, 49.419, 0.0005);
  EXPECT_NEAR(km7::DewPoint(20.0, rh), 9.08, 0.005);
  // Temperature compensation: same count, warmer air, higher reading.
  EXPECT_GT(km7::RelativeHumidity(1488, 40.0), rh);
  // Saturated air: the dew point is the temperature.
  EXPECT_NEAR(km7::DewPoint(15.0, 100.0), 15.0, 1e-9);
}

TEST(AcquisitionConversions, ZeroCountsGiveMinusFortyAndANonFiniteDewPoint) {
  const double t = km7::RawToCelsius(0);
  const double rh = km7::RelativeHumidity(0, t);
  EXPECT_NEAR(rh, -4.0 + 0.01 * (t - 25.0), 1e-12);
  EXPECT_FALSE(std::isfinite(km7::DewPoint(t, rh)));
  EXPECT_FALSE(std::isfinite(km7::DewPoint(20.0, 0.0)));
}

// Waits made through the sleep seam; they take no time here.
std::vector<unsigned> waits;
int clearRunningAtPoll = 0;  // clear AcquisitionRunning during this 10 ms wait
int clearRunningAtPause = 0;  // ... during this 1000 ms wait
std::atomic<int> running{0};  // the thread's run flag
void RecordWait(unsigned ms) {
  waits.push_back(ms);
  int polls = 0, pauses = 0;
  for (unsigned w : waits) {
    polls += w == km7::kReadyPollMs;
    pauses += w == km7::kCyclePauseMs;
  }
  if ((ms == km7::kReadyPollMs && polls == clearRunningAtPoll) ||
      (ms == km7::kCyclePauseMs && pauses == clearRunningAtPause))
    running.store(0);
}

class AcquisitionMeasurement : public ::testing::Test {
 protected:
  void SetUp() override {
    recording::Install(*lib);
    running.store(1);
    autoRead.store(1);
    waits.clear();
    clearRunningAtPoll = clearRunningAtPause = 0;
    km7::SetSleepHook(&RecordWait);
  }
  void TearDown() override {
    km7::SetSleepHook(nullptr);
    running.store(0);
    autoRead.store(0);
  }
  // The sensor's answer: busy for `busyPolls` reads, then the line low, then
  // the three bytes.
  static void Answer(int busyPolls, unsigned msb, unsigned lsb, unsigned check) {
    std::deque<bool> bits(busyPolls, true);
    bits.push_back(false);
    for (bool b : recording::BitsOf({msb, lsb, check})) bits.push_back(b);
    recording::ScriptBytes(bits);
  }
  static std::uint8_t WireCheck(std::uint8_t cmd, std::uint8_t msb, std::uint8_t lsb) {
    km7::SensorPort scratch{nullptr};
    SensorBus::CrcUpdate(scratch, cmd);
    SensorBus::CrcUpdate(scratch, msb);
    return SensorBus::ReverseBits(SensorBus::CrcUpdate(scratch, lsb));
  }
  // The thread's loop; returns 0 once the run flag was cleared.
  int RunLoop() {
    km7::Event wake, firstReading;
    measurement.Run(wake, firstReading);
    return 0;
  }
  const km7::CycleResult& Cycle() const { return measurement.Cycle(); }
  km7::Reading Published() const { return store.Read(); }
  static int Count(const std::string& call) {
    int n = 0;
    for (const auto& c : recording::calls) n += c == call;
    return n;
  }
  std::shared_ptr<D2xxLibrary> lib = std::make_shared<D2xxLibrary>();
  km7::SensorPort port{lib};
  km7::ReadingStore store;
  std::atomic<int> autoRead{1};
  km7::Measurement measurement{port, store, running, autoRead};
};

TEST_F(AcquisitionMeasurement, TemperatureAndHumidityFromTheWire) {
  Answer(3, 0x17, 0x70, 0x4F);
  ASSERT_TRUE(measurement.MeasureTemperature());
  EXPECT_DOUBLE_EQ(Cycle().temperature, 6000 * 0.01 - 40.0);
  EXPECT_EQ(Published().crcErrorCount, 0);
  // Four polls, each followed by its 10 ms wait, including the one that found the line low.
  EXPECT_EQ(waits, (std::vector<unsigned>(4, km7::kReadyPollMs)));
  EXPECT_EQ(Count("read"), 4 + 24);

  Answer(0, 0x05, 0xD0, WireCheck(0x05, 0x05, 0xD0));
  ASSERT_TRUE(measurement.MeasureHumidity());
  EXPECT_NEAR(Cycle().relativeHumidity, 49.419, 0.0005);
  EXPECT_NEAR(Cycle().dewPoint, 9.08, 0.005);
  EXPECT_EQ(Published().crcErrorCount, 0);
  // Published whole, once the cycle is done.
  EXPECT_EQ(Published().temperature, 0.0);
  ASSERT_TRUE(measurement.FinishCycle());
  EXPECT_DOUBLE_EQ(Published().temperature, 20.0);
  EXPECT_NEAR(Published().relativeHumidity, 49.419, 0.0005);
  EXPECT_NEAR(Published().dewPoint, 9.08, 0.005);
  EXPECT_TRUE(Published().current);
}

TEST_F(AcquisitionMeasurement, CommandGoesOutAfterATransmissionStart) {
  Answer(0, 0, 0, WireCheck(0x03, 0, 0));
  ASSERT_TRUE(measurement.MeasureTemperature());
  const Calls& c = recording::calls;
  ASSERT_GT(c.size(), 7u + 33u);
  EXPECT_EQ(Calls(c.begin(), c.begin() + 7), (Calls{"write 01", "mask FF", "write 01", "write 00", "write 01",
                                                    "mask FD", "write 00"}));
  // 0x03: six zero bits (4 calls each), two one bits (3 each), acknowledge clock (3).
  EXPECT_EQ(c[7 + 6 * 4], "mask FD");
  EXPECT_EQ(c[7 + 33], "read");  // the ready poll follows at once
}

TEST_F(AcquisitionMeasurement, BadCheckByteIsCountedAndTheValuesAreStillStored) {
  Answer(0, 0x17, 0x70, 0x4E);
  ASSERT_TRUE(measurement.MeasureTemperature());
  EXPECT_EQ(Published().crcErrorCount, 1);
  EXPECT_DOUBLE_EQ(Cycle().temperature, 20.0);
  Answer(0, 0x05, 0xD0, static_cast<std::uint8_t>(WireCheck(0x05, 0x05, 0xD0) ^ 0x80));
  ASSERT_TRUE(measurement.MeasureHumidity());
  EXPECT_EQ(Published().crcErrorCount, 2);
  EXPECT_EQ(Published().crcFailureCount, 2);
  EXPECT_EQ(Published().lostMeasurementCount, 0);
  EXPECT_NEAR(Cycle().relativeHumidity, 49.419, 0.0005);
  // Published, but not as a good reading.
  ASSERT_TRUE(measurement.FinishCycle());
  EXPECT_DOUBLE_EQ(Published().temperature, 20.0);
  EXPECT_FALSE(Published().current);
  const km7::AcquisitionHealth h = store.Health();
  EXPECT_EQ(h.crcErrors, 2u);
  EXPECT_EQ(h.failedReadings, 1u);
  EXPECT_EQ(h.goodReadings, 0u);
  EXPECT_EQ(h.lastFault, km7::ReadingFault::BadCheck);
}

TEST_F(AcquisitionMeasurement, ZeroCountsStoreANonFiniteDewPoint) {
  Answer(0, 0, 0, WireCheck(0x03, 0, 0));
  ASSERT_TRUE(measurement.MeasureTemperature());
  Answer(0, 0, 0, WireCheck(0x05, 0, 0));
  ASSERT_TRUE(measurement.MeasureHumidity());
  ASSERT_TRUE(measurement.FinishCycle());
  EXPECT_DOUBLE_EQ(Published().temperature, -40.0);
  EXPECT_NEAR(Published().relativeHumidity, -4.0 + 0.01 * (-65.0), 1e-12);
  EXPECT_FALSE(std::isfinite(Published().dewPoint));
  EXPECT_EQ(Published().crcErrorCount, 0);
}

TEST_F(AcquisitionMeasurement, FailedBridgeCallsCountAndStoreNothing) {
  Answer(0, 0x17, 0x70, 0x4F);
  ASSERT_TRUE(measurement.MeasureTemperature());
  Answer(0, 0x05, 0xD0, WireCheck(0x05, 0x05, 0xD0));
  ASSERT_TRUE(measurement.MeasureHumidity());
  ASSERT_TRUE(measurement.FinishCycle());
  recording::status = 4;  // the module is gone: every call fails, nothing is read
  EXPECT_FALSE(measurement.MeasureTemperature());
  EXPECT_FALSE(measurement.MeasureHumidity());
  EXPECT_EQ(Published().crcErrorCount, 2);
  // Lost, not failed checks: what the mail and the metrics name as CRC
  // failures stays at zero.
  EXPECT_EQ(Published().crcFailureCount, 0);
  EXPECT_EQ(Published().lostMeasurementCount, 2);
  EXPECT_FALSE(measurement.FinishCycle());
  EXPECT_DOUBLE_EQ(Published().temperature, 20.0);
  EXPECT_NEAR(Published().relativeHumidity, 49.419, 0.0005);
  EXPECT_NEAR(Published().dewPoint, 9.08, 0.005);
  EXPECT_EQ(store.Health().lastFault, km7::ReadingFault::Unplugged);
  EXPECT_EQ(store.Health().failedReadings, 1u);
  EXPECT_EQ(store.Health().crcErrors, 0u) << "no check byte was wrong";
  // The next good transfer is used again.
  recording::status = 0;
  Answer(0, 0x17, 0x70, 0x4F);
  EXPECT_TRUE(measurement.MeasureTemperature());
  EXPECT_DOUBLE_EQ(Cycle().temperature, 20.0);
  EXPECT_EQ(Published().crcErrorCount, 2);
}

TEST_F(AcquisitionMeasurement, ReadyPollGivesUpWithinOnePollWhenStopped) {
  recording::pins = [] { return UCHAR{0x02}; };  // never ready
  clearRunningAtPoll = 3;
  EXPECT_FALSE(measurement.MeasureTemperature());
  // Transmission start and the command, then exactly three polls: no byte read.
  EXPECT_EQ(Count("read"), 3);
  EXPECT_EQ(recording::calls.back(), "read");
  EXPECT_EQ(waits, (std::vector<unsigned>(3, km7::kReadyPollMs)));
  EXPECT_FALSE(Cycle().temperatureStored);
  EXPECT_EQ(Published().crcErrorCount, 0);
  // A stop is no fault: nothing is published.
  EXPECT_FALSE(measurement.FinishCycle());
  EXPECT_EQ(store.Health().failedReadings, 0u);
}

TEST_F(AcquisitionMeasurement, ReadyPollLeavesThePortLevelsInTheShadow) {
  recording::pins = [] { return UCHAR{0xF0}; };
  ASSERT_EQ(measurement.ReadyPoll(), km7::Measurement::Poll::Ready);
  EXPECT_EQ(port.pinShadow.load(), 0xF0);
  SensorBus::SetPin(port, 1, SensorBus::kClockPin);
  EXPECT_EQ(recording::calls.back(), "write F1");
}

TEST_F(AcquisitionMeasurement, StoppedBeforeTheThreadLoopOnlyResets) {
  running.store(0);
  EXPECT_EQ(RunLoop(), 0);
  EXPECT_EQ(waits, (std::vector<unsigned>{km7::kSoftResetWaitMs}));
  EXPECT_EQ(Count("read"), 0);
  // Transmission start and 0x1E: 7 + (4 zero bits x 4 + 4 one bits x 3 + 3).
  EXPECT_EQ(recording::calls.size(), 7u + 31u);
}

TEST_F(AcquisitionMeasurement, OneCycleMeasuresTemperatureThenHumidityThenPauses) {
  std::deque<bool> bits{false};
  for (bool b : recording::BitsOf({0x17, 0x70, 0x4F})) bits.push_back(b);
  bits.push_back(false);
  for (bool b : recording::BitsOf({0x05, 0xD0, WireCheck(0x05, 0x05, 0xD0)})) bits.push_back(b);
  recording::ScriptBytes(bits);
  clearRunningAtPause = 1;
  EXPECT_EQ(RunLoop(), 0);
  EXPECT_EQ(waits, (std::vector<unsigned>{12, 10, 10, 1000}));
  EXPECT_DOUBLE_EQ(Published().temperature, 20.0);
  EXPECT_NEAR(Published().relativeHumidity, 49.419, 0.0005);
  EXPECT_EQ(store.Health().goodReadings, 1u);
  EXPECT_EQ(Published().crcErrorCount, 0);
}

TEST_F(AcquisitionMeasurement, NoTrafficWhileAutoReadIsOff) {
  autoRead.store(0);
  clearRunningAtPause = 3;
  EXPECT_EQ(RunLoop(), 0);
  EXPECT_EQ(waits, (std::vector<unsigned>{12, 1000, 1000, 1000}));
  EXPECT_EQ(recording::calls.size(), 7u + 31u);  // the soft reset only
}

// Where in a temperature transfer the module goes away decides: a reading
// whose every bit came in is kept, whatever fails after its last bit (the
// ninth clock, the release of the line); a failure before that loses it,
// counted as a failed reading, with nothing stored.
TEST_F(AcquisitionMeasurement, AReadingIsKeptOnlyWhenEveryBitCameIn) {
  struct Case {
    const char* what;
    int failFromRead;      // this pin read and every call after it fail (0: none)
    int failAfterRead;     // every call after this pin read fails (0: none)
    bool failCommand;      // every call fails from the transmission start on
    bool kept;
    int readsMade;         // pin reads the measurement made
  };
  // One ready read, then 24 bit reads.
  const Case cases[] = {
      {"all well", 0, 0, false, true, 25},
      {"gone after the last bit: only the ninth clock and release fail", 0, 25, false, true, 25},
      {"the last bit's own read fails", 25, 0, false, false, 25},
      {"gone in the middle of the data", 12, 0, false, false, 25},
      {"the ready poll's read fails", 1, 0, false, false, 1},
      {"the command never reaches the sensor", 0, 0, true, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    recording::Install(*lib);
    km7::ReadingStore fresh;
    km7::Measurement m{port, fresh, running, autoRead};
    Answer(0, 0x17, 0x70, 0x4F);
    int reads = 0;
    bool failing = c.failCommand;
    recording::statusOfCall = [&]() -> FT_STATUS {
      const bool isRead = recording::calls.back() == "read";
      if (isRead) ++reads;
      if (isRead && reads == c.failFromRead) failing = true;
      if (!isRead && c.failAfterRead != 0 && reads >= c.failAfterRead) failing = true;
      return failing ? 4 : 0;
    };
    EXPECT_EQ(m.MeasureTemperature(), c.kept);
    EXPECT_EQ(reads, c.readsMade);
    EXPECT_EQ(m.Cycle().temperatureStored, c.kept);
    EXPECT_EQ(m.Cycle().temperature, c.kept ? 20.0 : 0.0);
    EXPECT_EQ(fresh.Read().crcErrorCount, c.kept ? 0 : 1);
    EXPECT_EQ(m.Cycle().fault, c.kept ? km7::ReadingFault::None : km7::ReadingFault::Unplugged);
  }
}

// A sensor that never signals ready: the poll gives up after 2 s worth of
// polls, and the measurement counts as a failed reading.
TEST_F(AcquisitionMeasurement, ReadyPollGivesUpAfterItsBound) {
  recording::pins = [] { return UCHAR{0x02}; };  // data high for ever
  EXPECT_EQ(measurement.ReadyPoll(), km7::Measurement::Poll::TimedOut);
  EXPECT_EQ(Count("read"), static_cast<int>(km7::kReadyPollLimit));
  EXPECT_EQ(km7::kReadyPollLimit * km7::kReadyPollMs, 2000u);
  recording::calls.clear();
  EXPECT_FALSE(measurement.MeasureTemperature());
  EXPECT_EQ(Count("read"), static_cast<int>(km7::kReadyPollLimit));
  EXPECT_FALSE(Cycle().temperatureStored);
  EXPECT_EQ(Published().crcErrorCount, 1);
  EXPECT_EQ(Cycle().fault, km7::ReadingFault::NoAnswer);
}

// A failed read of the pins says nothing about the data line.
TEST_F(AcquisitionMeasurement, ReadyPollStopsAtAFailedRead) {
  recording::pins = [] { return UCHAR{0x00}; };  // would look ready
  recording::status = 4;
  EXPECT_EQ(measurement.ReadyPoll(), km7::Measurement::Poll::Failed);
  EXPECT_EQ(Count("read"), 1);
}

// Current means a good reading within the last 5 s; a bad check byte
// publishes the values but does not make them current; stopping makes them
// the past.
TEST_F(AcquisitionMeasurement, CurrentMeansAGoodReadingWithinFiveSeconds) {
  auto cycle = [&](std::uint8_t temperatureCheck, std::uint8_t humidityCheck) {
    Answer(0, 0x17, 0x70, temperatureCheck);
    EXPECT_TRUE(measurement.MeasureTemperature());
    Answer(0, 0x05, 0xD0, humidityCheck);
    EXPECT_TRUE(measurement.MeasureHumidity());
    EXPECT_TRUE(measurement.FinishCycle());
  };
  const std::uint8_t goodHumidity = WireCheck(0x05, 0x05, 0xD0);
  EXPECT_FALSE(Published().current);
  cycle(0x00, 0x00);  // both check bytes wrong
  EXPECT_DOUBLE_EQ(Published().temperature, 20.0);
  EXPECT_FALSE(Published().current);
  // One good check: the sensor is there and answering; the bad one is counted.
  cycle(0x00, goodHumidity);
  EXPECT_TRUE(Published().current);
  EXPECT_EQ(store.Health().lastFault, km7::ReadingFault::BadCheck);
  store.MarkStopped();
  cycle(0x4F, goodHumidity);
  EXPECT_TRUE(Published().current);
  EXPECT_EQ(store.Health().lastFault, km7::ReadingFault::None);
  EXPECT_EQ(store.Health().goodReadings, 1u);
  EXPECT_EQ(store.Health().failedReadings, 2u);
  store.SetLastGoodSteadyMs(km7::SteadyMs() - km7::kStaleAfterMs + 500);
  EXPECT_TRUE(Published().current);
  store.SetLastGoodSteadyMs(km7::SteadyMs() - km7::kStaleAfterMs - 1);
  EXPECT_FALSE(Published().current);
  store.SetLastGoodSteadyMs(km7::SteadyMs());
  store.MarkStopped();
  EXPECT_FALSE(Published().current);
  EXPECT_GT(store.Health().lastGoodWallMs, 0) << "the wall time of the last good reading stays";
}

}  // namespace
