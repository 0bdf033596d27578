// The sensor behind the simulated bridge, driven at the pin level.
#include <chrono>
#include <cmath>

#include "SimSupport.h"

namespace simtest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string Module(const std::string& lines) {
  return "temperature_conversion_ms = 5\nhumidity_conversion_ms = 5\nreset_ms = 1\n"
         "[module]\ndescription = ORV-KM7 Lab\n" + lines;
}

double Humidity(uint16_t so, double celsius) {
  return -2.8e-6 * so * so + 0.0405 * so - 4.0 + (0.00008 * so + 0.01) * (celsius - 25.0);
}

class SimSensor : public SimTest {
 protected:
  BusMaster& Bus(const std::string& lines) {
    Plug(Module(lines));
    handle_ = OpenForBus("ORV-KM7 Lab");
    bus_.emplace(sim, handle_);
    return *bus_;
  }
  void TearDown() override {
    if (handle_ != nullptr) sim.Close(handle_);
    SimTest::TearDown();
  }
  FT_HANDLE handle_ = nullptr;
  std::optional<BusMaster> bus_;
};

TEST_F(SimSensor, ReadingsCarryTheirCheckByteBitReversed) {
  BusMaster& bus = Bus("raw_temperature = 6000\nraw_humidity = 0\n");
  const auto t = bus.Measure(0x03);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->msb, 0x17);
  EXPECT_EQ(t->lsb, 0x70);
  EXPECT_EQ(t->check, 0x4F);  // register 0xF2
  const auto rh = bus.Measure(0x05);
  ASSERT_TRUE(rh);
  EXPECT_EQ(rh->raw(), 0);
  EXPECT_EQ(rh->check, 0xF6);  // register 0x6F
  EXPECT_EQ(sim.readings("ORV-KM7 Lab"), 2u);

  sim.Close(handle_);
  const auto zero = Bus("raw_temperature = 0\n").Measure(0x03);
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->raw(), 0);
  EXPECT_EQ(zero->check, 0x53);  // register 0xCA
}

TEST_F(SimSensor, PhysicalValuesBecomeTheRawCountsTheProgramConvertsBack) {
  BusMaster& bus = Bus("temperature = 20.0\nhumidity = 49.419\n");
  auto t = bus.Measure(0x03);
  auto rh = bus.Measure(0x05);
  ASSERT_TRUE(t && rh);
  EXPECT_EQ(t->raw(), 6000);
  EXPECT_EQ(rh->raw(), 1488);
  EXPECT_EQ(rh->check, Reverse(Crc({0x05, rh->msb, rh->lsb})));

  sim.Close(handle_);
  BusMaster& hot = Bus("temperature = 31.25\nhumidity = 62.0\n");
  t = hot.Measure(0x03);
  rh = hot.Measure(0x05);
  ASSERT_TRUE(t && rh);
  const double celsius = t->raw() * 0.01 - 40.0;
  EXPECT_NEAR(celsius, 31.25, 0.006);
  EXPECT_NEAR(Humidity(rh->raw(), celsius), 62.0, 0.05);

  // Beyond the curve's reach the count stays at its end.
  sim.Close(handle_);
  BusMaster& wet = Bus("temperature = 20\nhumidity = 150\n");
  ASSERT_TRUE(wet.Measure(0x03));
  rh = wet.Measure(0x05);
  ASSERT_TRUE(rh);
  EXPECT_EQ(rh->raw(), 4095);
}

TEST_F(SimSensor, DriftMovesTheValuesSlowlyAroundTheirCentre) {
  BusMaster& bus = Bus("temperature = 25.0\nhumidity = 50.0\ndrift = 0.5\n");
  double lo = 1e9, hi = -1e9, last = 25.0;
  for (int i = 0; i < 12; ++i) {
    const auto t = bus.Measure(0x03);
    ASSERT_TRUE(t);
    const double c = t->raw() * 0.01 - 40.0;
    EXPECT_LE(std::fabs(c - last), 0.2) << "the drift is slow";
    lo = std::min(lo, c);
    hi = std::max(hi, c);
    last = c;
  }
  EXPECT_GE(lo, 24.49);
  EXPECT_LE(hi, 25.51);
  EXPECT_GT(hi - lo, 0.05) << "the values do drift";
}

TEST_F(SimSensor, ConversionTakesItsConfiguredTime) {
  BusMaster& bus = Bus("raw_temperature = 6000\ntemperature_conversion_ms = 150\n");
  bus.Start();
  const auto before = Clock::now();
  ASSERT_TRUE(bus.WriteByte(0x03));
  EXPECT_NE(bus.Pins() & 0x02, 0) << "the line is high while converting";
  ASSERT_TRUE(bus.WaitReady());
  EXPECT_GE(Clock::now() - before, 150ms);
  EXPECT_EQ(bus.ReadByte(true), 0x17);
}

TEST_F(SimSensor, SoftResetIsAcknowledgedAndKeepsTheSensorBusy) {
  BusMaster& bus = Bus("raw_temperature = 6000\nreset_ms = 400\n");
  bus.Start();
  ASSERT_TRUE(bus.WriteByte(0x1E));
  const auto acknowledged = Clock::now();
  bus.Start();
  EXPECT_FALSE(bus.WriteByte(0x03)) << "no answer during the reset";
  // Asked again and again, the sensor answers only once the reset is over.
  bool answered = false;
  while (!answered && Clock::now() - acknowledged < 60s) {
    bus.Start();
    answered = bus.WriteByte(0x03);
  }
  ASSERT_TRUE(answered);
  EXPECT_GE(Clock::now() - acknowledged, 400ms);
  ASSERT_TRUE(bus.WaitReady());
  EXPECT_EQ(bus.ReadByte(true), 0x17);
}

TEST_F(SimSensor, UnknownCommandIsNotAcknowledged) {
  BusMaster& bus = Bus("raw_temperature = 6000\n");
  bus.Start();
  EXPECT_FALSE(bus.WriteByte(0x07));
  EXPECT_NE(bus.Pins() & 0x02, 0);
  // A byte without a transmission start is not a command either.
  EXPECT_FALSE(bus.WriteByte(0x03));
  const auto t = bus.Measure(0x03);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->raw(), 6000);
}

TEST_F(SimSensor, NoAcknowledgeAfterTheFirstByteEndsTheTransfer) {
  BusMaster& bus = Bus("raw_temperature = 6000\n");
  bus.Start();
  ASSERT_TRUE(bus.WriteByte(0x03));
  ASSERT_TRUE(bus.WaitReady());
  EXPECT_EQ(bus.ReadByte(false), 0x17);
  for (int i = 0; i < 8; ++i) {  // further clocks shift nothing out
    EXPECT_EQ(bus.ReadByte(false), 0xFF);
  }
  EXPECT_EQ(sim.readings("ORV-KM7 Lab"), 0u) << "a reading without its second byte is not complete";
  // Stopping after both data bytes, without the check byte, completes it.
  bus.Start();
  ASSERT_TRUE(bus.WriteByte(0x03));
  ASSERT_TRUE(bus.WaitReady());
  EXPECT_EQ(bus.ReadByte(true), 0x17);
  EXPECT_EQ(bus.ReadByte(false), 0x70);
  EXPECT_EQ(sim.readings("ORV-KM7 Lab"), 1u);
}

TEST_F(SimSensor, MasterThatGaveUpCanStartOver) {
  BusMaster& bus = Bus("raw_temperature = 6000\nraw_humidity = 1488\n"
                       "temperature_conversion_ms = 100000\n");
  bus.Start();
  ASSERT_TRUE(bus.WriteByte(0x03));  // converting for a long time
  const auto rh = bus.Measure(0x05);
  ASSERT_TRUE(rh);
  EXPECT_EQ(rh->raw(), 1488);

  // Given up in the middle of the data bytes.
  bus.Start();
  ASSERT_TRUE(bus.WriteByte(0x05));
  ASSERT_TRUE(bus.WaitReady());
  bus.ReadByte(true);
  const auto again = bus.Measure(0x05);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->raw(), 1488);
  EXPECT_EQ(again->check, Reverse(Crc({0x05, 0x05, 0xD0})));
}

TEST_F(SimSensor, PinLevelsFollowDirectionLatchAndSensor) {
  Bus("raw_temperature = 6000\n");
  // All outputs: the other pins show the latch.
  ASSERT_EQ(sim.SetBitMode(handle_, 0xFF, 1), 0u);
  UCHAR byte = 0xA4;
  DWORD written = 0;
  ASSERT_EQ(sim.Write(handle_, &byte, 1, &written), 0u);
  EXPECT_EQ(written, 1u);
  UCHAR pins = 0;
  ASSERT_EQ(sim.GetBitMode(handle_, &pins), 0u);
  EXPECT_EQ(pins, 0xA4);
  // Inputs read high through their pull-ups; so does the released data line.
  ASSERT_EQ(sim.SetBitMode(handle_, 0x01, 1), 0u);
  ASSERT_EQ(sim.GetBitMode(handle_, &pins), 0u);
  EXPECT_EQ(pins, 0xFE);

  // A whole command in one write with the data pin an output: each byte is one
  // pin state. Start, then 0x03 MSB first.
  ASSERT_EQ(sim.SetBitMode(handle_, 0xFF, 1), 0u);
  std::vector<UCHAR> states = {0x02, 0x03, 0x01, 0x00, 0x01, 0x03, 0x02};
  for (int bit = 7; bit >= 0; --bit) {
    const UCHAR d = (0x03 >> bit) & 1 ? 0x02 : 0x00;
    states.insert(states.end(), {d, static_cast<UCHAR>(d | 1), d});
  }
  states.insert(states.end(), {0x02, 0x03});  // ninth clock high, data driven high
  ASSERT_EQ(sim.Write(handle_, states.data(), static_cast<DWORD>(states.size()), &written), 0u);
  EXPECT_EQ(written, states.size());
  ASSERT_EQ(sim.GetBitMode(handle_, &pins), 0u);
  EXPECT_EQ(pins & 0x03, 0x01) << "driven high, pulled low by the acknowledging sensor";
  byte = 0x02;
  ASSERT_EQ(sim.Write(handle_, &byte, 1, &written), 0u);
  ASSERT_EQ(sim.GetBitMode(handle_, &pins), 0u);
  EXPECT_EQ(pins & 0x03, 0x02) << "released after the ninth clock";
}

TEST_F(SimSensor, WritesOutsideBitBangModeMoveNoPins) {
  Bus("raw_temperature = 6000\n");
  ASSERT_EQ(sim.SetBitMode(handle_, 0x00, 0), 0u);
  UCHAR byte = 0x01;
  DWORD written = 0;
  ASSERT_EQ(sim.Write(handle_, &byte, 1, &written), 0u);
  EXPECT_EQ(written, 1u);
  UCHAR pins = 0;
  ASSERT_EQ(sim.GetBitMode(handle_, &pins), 0u);
  EXPECT_EQ(pins & 0x01, 0) << "clock not driven";
  EXPECT_NE(sim.SetBitMode(handle_, 0xFF, 2), 0u) << "only reset and asynchronous bit-bang";
}

using SimFaults = SimSensor;

TEST_F(SimFaults, EveryThirdReadingHasAWrongCheckByte) {
  BusMaster& bus = Bus("raw_temperature = 6000\nraw_humidity = 1488\ncorrupt_crc_every = 3\n");
  for (int i = 1; i <= 6; ++i) {
    const uint8_t command = i % 2 ? 0x03 : 0x05;
    const auto r = bus.Measure(command);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->raw(), command == 0x03 ? 6000 : 1488) << "the data bytes stay right";
    const bool good = r->check == Reverse(Crc({command, r->msb, r->lsb}));
    EXPECT_EQ(good, i % 3 != 0) << "reading " << i;
  }
}

TEST_F(SimFaults, UnpluggedAfterTwoReadings) {
  BusMaster& bus = Bus("raw_temperature = 6000\nraw_humidity = 1488\nunplug_after = 2\n");
  ASSERT_TRUE(bus.Measure(0x03));
  EXPECT_EQ(sim.readings("ORV-KM7 Lab"), 1u);
  ASSERT_TRUE(bus.Measure(0x05));
  EXPECT_EQ(sim.readings("ORV-KM7 Lab"), 2u);

  UCHAR pins = 0x5A;
  EXPECT_EQ(sim.GetBitMode(handle_, &pins), 4u);
  EXPECT_EQ(pins, 0xFF) << "a gone bridge reads every level high";
  UCHAR byte = 0x01;
  DWORD written = 0;
  EXPECT_EQ(sim.Write(handle_, &byte, 1, &written), 4u);
  EXPECT_EQ(sim.SetBitMode(handle_, 0xFF, 1), 4u);
  EXPECT_EQ(sim.Close(handle_), 4u);
  DWORD count = 9;
  ASSERT_EQ(sim.ListDevices(&count, nullptr, kListNumberOnly), 0u);
  EXPECT_EQ(count, 0u);
  FT_HANDLE h = nullptr;
  EXPECT_NE(sim.OpenEx(const_cast<char*>("ORV-KM7 Lab"), kOpenByDescription, &h), 0u);

  // Plugged in again, it is back.
  sim.replug();
  handle_ = OpenForBus("ORV-KM7 Lab");
  BusMaster fresh(sim, handle_);
  ASSERT_TRUE(fresh.Measure(0x03));
}

TEST_F(SimFaults, BitBangModeThatCannotBeEnabled) {
  Plug(Module("bitbang_fails = 1\n"));
  handle_ = Open("ORV-KM7 Lab");
  EXPECT_EQ(sim.SetBitMode(handle_, 0xFF, 1), 4u);
  EXPECT_EQ(sim.SetBitMode(handle_, 0x00, 0), 0u);
  UCHAR pins = 0;
  EXPECT_EQ(sim.GetBitMode(handle_, &pins), 0u);
  EXPECT_EQ(pins & 0x01, 0) << "the clock was never driven";
}

}  // namespace
}  // namespace simtest
