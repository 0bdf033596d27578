#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "RecordingBridge.h"
#include "acquisition/AcquisitionThread.h"
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
void RecordWait(unsigned ms) {
  waits.push_back(ms);
  int polls = 0, pauses = 0;
  for (unsigned w : waits) {
    polls += w == km7::kReadyPollMs;
    pauses += w == km7::kCyclePauseMs;
  }
  if ((ms == km7::kReadyPollMs && polls == clearRunningAtPoll) ||
      (ms == km7::kCyclePauseMs && pauses == clearRunningAtPause))
    AcquisitionRunning.store(0);
}

class AcquisitionMeasurement : public ::testing::Test {
 protected:
  void SetUp() override {
    recording::Install(lib);
    PinShadow.store(0);
    SensorSample.temperature.store(0.0);
    SensorSample.relativeHumidity.store(0.0);
    SensorSample.dewPoint.store(0.0);
    SensorSample.crcErrorCount.store(0);
    AcquisitionRunning.store(1);
    AutoReadEnabled.store(1);
    waits.clear();
    clearRunningAtPoll = clearRunningAtPause = 0;
    km7::SetSleepHook(&RecordWait);
  }
  void TearDown() override {
    km7::SetSleepHook(nullptr);
    AcquisitionRunning.store(0);
    AutoReadEnabled.store(0);
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
    CrcRegister.store(0);
    SensorBus::CrcUpdate(cmd);
    SensorBus::CrcUpdate(msb);
    return SensorBus::ReverseBits(SensorBus::CrcUpdate(lsb));
  }
  static int Count(const std::string& call) {
    int n = 0;
    for (const auto& c : recording::calls) n += c == call;
    return n;
  }
  D2xxLibrary lib;
};

TEST_F(AcquisitionMeasurement, TemperatureAndHumidityFromTheWire) {
  Answer(3, 0x17, 0x70, 0x4F);
  ASSERT_TRUE(AcquisitionThread::MeasureTemperature(lib));
  EXPECT_DOUBLE_EQ(SensorSample.temperature.load(), 6000 * 0.01 - 40.0);
  EXPECT_EQ(SensorSample.crcErrorCount.load(), 0);
  // Four polls, each followed by its 10 ms wait, including the one that found the line low.
  EXPECT_EQ(waits, (std::vector<unsigned>(4, km7::kReadyPollMs)));
  EXPECT_EQ(Count("read"), 4 + 24);

  Answer(0, 0x05, 0xD0, WireCheck(0x05, 0x05, 0xD0));
  ASSERT_TRUE(AcquisitionThread::MeasureHumidity(lib));
  EXPECT_NEAR(SensorSample.relativeHumidity.load(), 49.419, 0.0005);
  EXPECT_NEAR(SensorSample.dewPoint.load(), 9.08, 0.005);
  EXPECT_EQ(SensorSample.crcErrorCount.load(), 0);
}

TEST_F(AcquisitionMeasurement, CommandGoesOutAfterATransmissionStart) {
  Answer(0, 0, 0, WireCheck(0x03, 0, 0));
  ASSERT_TRUE(AcquisitionThread::MeasureTemperature(lib));
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
  ASSERT_TRUE(AcquisitionThread::MeasureTemperature(lib));
  EXPECT_EQ(SensorSample.crcErrorCount.load(), 1);
  EXPECT_DOUBLE_EQ(SensorSample.temperature.load(), 20.0);
  Answer(0, 0x05, 0xD0, static_cast<std::uint8_t>(WireCheck(0x05, 0x05, 0xD0) ^ 0x80));
  ASSERT_TRUE(AcquisitionThread::MeasureHumidity(lib));
  EXPECT_EQ(SensorSample.crcErrorCount.load(), 2);
  EXPECT_NEAR(SensorSample.relativeHumidity.load(), 49.419, 0.0005);
}

TEST_F(AcquisitionMeasurement, ZeroCountsStoreANonFiniteDewPoint) {
  Answer(0, 0, 0, WireCheck(0x03, 0, 0));
  ASSERT_TRUE(AcquisitionThread::MeasureTemperature(lib));
  Answer(0, 0, 0, WireCheck(0x05, 0, 0));
  ASSERT_TRUE(AcquisitionThread::MeasureHumidity(lib));
  EXPECT_DOUBLE_EQ(SensorSample.temperature.load(), -40.0);
  EXPECT_NEAR(SensorSample.relativeHumidity.load(), -4.0 + 0.01 * (-65.0), 1e-12);
  EXPECT_FALSE(std::isfinite(SensorSample.dewPoint.load()));
  EXPECT_EQ(SensorSample.crcErrorCount.load(), 0);
}

TEST_F(AcquisitionMeasurement, FailedBridgeCallsCountAndStoreNothing) {
  SensorSample.temperature.store(21.5);
  SensorSample.relativeHumidity.store(40.0);
  SensorSample.dewPoint.store(7.5);
  recording::status = 4;  // the module is gone: every call fails, nothing is read
  EXPECT_FALSE(AcquisitionThread::MeasureTemperature(lib));
  EXPECT_FALSE(AcquisitionThread::MeasureHumidity(lib));
  EXPECT_EQ(SensorSample.crcErrorCount.load(), 2);
  EXPECT_DOUBLE_EQ(SensorSample.temperature.load(), 21.5);
  EXPECT_DOUBLE_EQ(SensorSample.relativeHumidity.load(), 40.0);
  EXPECT_DOUBLE_EQ(SensorSample.dewPoint.load(), 7.5);
  // The next good transfer is used again.
  recording::status = 0;
  Answer(0, 0x17, 0x70, 0x4F);
  EXPECT_TRUE(AcquisitionThread::MeasureTemperature(lib));
  EXPECT_DOUBLE_EQ(SensorSample.temperature.load(), 20.0);
  EXPECT_EQ(SensorSample.crcErrorCount.load(), 2);
}

TEST_F(AcquisitionMeasurement, ReadyPollGivesUpWithinOnePollWhenStopped) {
  SensorSample.temperature.store(12.5);
  recording::pins = [] { return UCHAR{0x02}; };  // never ready
  clearRunningAtPoll = 3;
  EXPECT_FALSE(AcquisitionThread::MeasureTemperature(lib));
  // Transmission start and the command, then exactly three polls: no byte read.
  EXPECT_EQ(Count("read"), 3);
  EXPECT_EQ(recording::calls.back(), "read");
  EXPECT_EQ(waits, (std::vector<unsigned>(3, km7::kReadyPollMs)));
  EXPECT_DOUBLE_EQ(SensorSample.temperature.load(), 12.5);
  EXPECT_EQ(SensorSample.crcErrorCount.load(), 0);
}

TEST_F(AcquisitionMeasurement, ReadyPollLeavesThePortLevelsInTheShadow) {
  recording::pins = [] { return UCHAR{0xF0}; };
  ASSERT_EQ(AcquisitionThread::ReadyPoll(lib), AcquisitionThread::Poll::Ready);
  EXPECT_EQ(PinShadow.load(), 0xF0);
  SensorBus::SetPin(lib, 1, SensorBus::kClockPin);
  EXPECT_EQ(recording::calls.back(), "write F1");
}

TEST_F(AcquisitionMeasurement, StoppedBeforeTheThreadLoopOnlyResets) {
  AcquisitionRunning.store(0);
  EXPECT_EQ(AcquisitionThread::Run(lib), 0);
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
  EXPECT_EQ(AcquisitionThread::Run(lib), 0);
  EXPECT_EQ(waits, (std::vector<unsigned>{12, 10, 10, 1000}));
  EXPECT_DOUBLE_EQ(SensorSample.temperature.load(), 20.0);
  EXPECT_NEAR(SensorSample.relativeHumidity.load(), 49.419, 0.0005);
  EXPECT_EQ(SensorSample.crcErrorCount.load(), 0);
}

TEST_F(AcquisitionMeasurement, NoTrafficWhileAutoReadIsOff) {
  AutoReadEnabled.store(0);
  clearRunningAtPause = 3;
  EXPECT_EQ(AcquisitionThread::Run(lib), 0);
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
    recording::Install(lib);
    SensorSample.temperature.store(-1.0);
    SensorSample.crcErrorCount.store(0);
    SensorSample.lastGoodReadingMs.store(SensorSampleValues::kNoGoodReading);
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
    EXPECT_EQ(AcquisitionThread::MeasureTemperature(lib), c.kept);
    EXPECT_EQ(reads, c.readsMade);
    EXPECT_EQ(SensorSample.temperature.load(), c.kept ? 20.0 : -1.0);
    EXPECT_EQ(SensorSample.crcErrorCount.load(), c.kept ? 0 : 1);
    EXPECT_EQ(SensorSample.Read().current, c.kept);
  }
}

// A sensor that never signals ready: the poll gives up after 2 s worth of
// polls, and the measurement counts as a failed reading.
TEST_F(AcquisitionMeasurement, ReadyPollGivesUpAfterItsBound) {
  SensorSample.temperature.store(12.5);
  recording::pins = [] { return UCHAR{0x02}; };  // data high for ever
  EXPECT_EQ(AcquisitionThread::ReadyPoll(lib), AcquisitionThread::Poll::TimedOut);
  EXPECT_EQ(Count("read"), static_cast<int>(km7::kReadyPollLimit));
  EXPECT_EQ(km7::kReadyPollLimit * km7::kReadyPollMs, 2000u);
  recording::calls.clear();
  EXPECT_FALSE(AcquisitionThread::MeasureTemperature(lib));
  EXPECT_EQ(Count("read"), static_cast<int>(km7::kReadyPollLimit));
  EXPECT_DOUBLE_EQ(SensorSample.temperature.load(), 12.5);
  EXPECT_EQ(SensorSample.crcErrorCount.load(), 1);
}

// A failed read of the pins says nothing about the data line.
TEST_F(AcquisitionMeasurement, ReadyPollStopsAtAFailedRead) {
  recording::pins = [] { return UCHAR{0x00}; };  // would look ready
  recording::status = 4;
  EXPECT_EQ(AcquisitionThread::ReadyPoll(lib), AcquisitionThread::Poll::Failed);
  EXPECT_EQ(Count("read"), 1);
}

// Current means a good reading within the last 5 s; a bad check byte stores
// the values but does not make them current; stopping makes them the past.
TEST_F(AcquisitionMeasurement, CurrentMeansAGoodReadingWithinFiveSeconds) {
  SensorSample.lastGoodReadingMs.store(SensorSampleValues::kNoGoodReading);
  EXPECT_FALSE(SensorSample.Read().current);
  Answer(0, 0x17, 0x70, 0x00);  // wrong check byte
  ASSERT_TRUE(AcquisitionThread::MeasureTemperature(lib));
  EXPECT_FALSE(SensorSample.Read().current);
  Answer(0, 0x17, 0x70, 0x4F);
  ASSERT_TRUE(AcquisitionThread::MeasureTemperature(lib));
  EXPECT_TRUE(SensorSample.Read().current);
  SensorSample.lastGoodReadingMs.store(km7::SteadyMs() - km7::kStaleAfterMs + 500);
  EXPECT_TRUE(SensorSample.Read().current);
  SensorSample.lastGoodReadingMs.store(km7::SteadyMs() - km7::kStaleAfterMs - 1);
  EXPECT_FALSE(SensorSample.Read().current);
  SensorSample.lastGoodReadingMs.store(km7::SteadyMs());
  AcquisitionThread thread(lib);
  thread.Stop(0);
  EXPECT_FALSE(SensorSample.Read().current);
}

}  // namespace
