#include "acquisition/SensorBus.h"

#include <gtest/gtest.h>

#include "RecordingBridge.h"

namespace {

using Calls = std::vector<std::string>;

// Bit by bit over the whole message, independent of the table.
std::uint8_t SlowCrc(std::initializer_list<std::uint8_t> bytes) {
  std::uint8_t crc = 0;
  for (std::uint8_t b : bytes) {
    for (int i = 7; i >= 0; --i) {
      const bool top = ((crc >> 7) ^ (b >> i)) & 1;
      crc = static_cast<std::uint8_t>(crc << 1);
      if (top) crc ^= 0x31;
    }
  }
  return crc;
}

TEST(SensorBusCrc, TableMatchesPolynomialAndKnownEntries) {
  for (unsigned i = 0; i < 256; ++i)
    ASSERT_EQ(SensorBus::kCrcTable[i], SlowCrc({static_cast<std::uint8_t>(i)})) << "entry " << i;
  EXPECT_EQ(SensorBus::kCrcTable[0x00], 0x00);
  EXPECT_EQ(SensorBus::kCrcTable[0x01], 0x31);
  EXPECT_EQ(SensorBus::kCrcTable[0x02], 0x62);
  EXPECT_EQ(SensorBus::kCrcTable[0x03], 0x53);
  EXPECT_EQ(SensorBus::kCrcTable[0x04], 0xC4);
  EXPECT_EQ(SensorBus::kCrcTable[0x05], 0xF5);
  EXPECT_EQ(SensorBus::kCrcTable[0x80], 0x7A);
  EXPECT_EQ(SensorBus::kCrcTable[0xFF], 0xAC);
}

TEST(SensorBusCrc, CheckByteExamples) {
  struct Case { std::uint8_t cmd, msb, lsb, reg, wire; };
  km7::SensorPort port{nullptr};  // the register only: no bridge calls
  for (const Case& c : {Case{0x03, 0x00, 0x00, 0xCA, 0x53}, Case{0x03, 0x17, 0x70, 0xF2, 0x4F},
                        Case{0x05, 0x00, 0x00, 0x6F, 0xF6}}) {
    port.crcRegister.store(0);
    SensorBus::CrcUpdate(port, c.cmd);
    SensorBus::CrcUpdate(port, c.msb);
    EXPECT_EQ(SensorBus::CrcUpdate(port, c.lsb), c.reg);
    EXPECT_EQ(port.crcRegister.load(), c.reg);
    EXPECT_EQ(SensorBus::ReverseBits(c.wire), c.reg);
    // A stale register from an earlier reading must not matter.
    port.crcRegister.store(0x5A);
    EXPECT_TRUE(SensorBus::CheckReading(port, c.cmd, c.msb, c.lsb, c.wire));
    EXPECT_FALSE(SensorBus::CheckReading(port, c.cmd, c.msb, c.lsb, static_cast<std::uint8_t>(c.wire ^ 0x01)));
    EXPECT_FALSE(SensorBus::CheckReading(port, c.cmd ^ 0x06, c.msb, c.lsb, c.wire));
    // The unreversed byte is not accepted.
    EXPECT_FALSE(SensorBus::CheckReading(port, c.cmd, c.msb, c.lsb, c.reg));
  }
  EXPECT_EQ(SensorBus::ReverseBits(0x01), 0x80);
  EXPECT_EQ(SensorBus::ReverseBits(0xC0), 0x03);
}

class SensorBusCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    recording::Install(*lib);
    port.pinShadow.store(0);
  }
  std::shared_ptr<D2xxLibrary> lib = std::make_shared<D2xxLibrary>();
  km7::SensorPort port{lib};
};

TEST_F(SensorBusCalls, SetPinEditsOneBitAndWritesTheShadow) {
  SensorBus::SetPin(port, 1, 0);
  EXPECT_EQ(port.pinShadow.load(), 0x01);
  port.pinShadow.store(0xFF);
  SensorBus::SetPin(port, 0, 1);
  EXPECT_EQ(port.pinShadow.load(), 0xFD);
  SensorBus::SetPin(port, 7, 6);  // any nonzero level sets
  EXPECT_EQ(port.pinShadow.load(), 0xFD);
  port.pinShadow.store(0x5A);
  SensorBus::SetPin(port, 1, 8);  // out of range: unchanged, still written
  EXPECT_EQ(port.pinShadow.load(), 0x5A);
  EXPECT_EQ(recording::calls, (Calls{"write 01", "write FD", "write FD", "write 5A"}));
}

TEST_F(SensorBusCalls, SetDataLineChangesDirectionBeforeDrivingLow) {
  port.pinShadow.store(0x03);
  SensorBus::SetDataLine(port, 1);
  EXPECT_EQ(port.pinShadow.load(), 0x03);  // releasing leaves the shadow alone
  SensorBus::SetDataLine(port, 0);
  EXPECT_EQ(port.pinShadow.load(), 0x01);
  SensorBus::SetDataLine(port, 2);  // anything but 1 drives low
  EXPECT_EQ(recording::calls,
            (Calls{"mask FD", "mask FF", "write 01", "mask FF", "write 01"}));
}

TEST_F(SensorBusCalls, TransmissionStartSequence) {
  SensorBus::TransmissionStart(port);
  EXPECT_EQ(recording::calls, (Calls{"write 01", "mask FF", "write 01", "write 00", "write 01",
                                     "mask FD", "write 00"}));
}

TEST_F(SensorBusCalls, WriteByteMostSignificantBitFirstWithNinthClock) {
  SensorBus::WriteByte(port, 0xA0);
  const Calls& c = recording::calls;
  ASSERT_EQ(c.size(), 2 * 3 + 6 * 4 + 3u);
  EXPECT_EQ(Calls(c.begin(), c.begin() + 7),
            (Calls{"mask FD", "write 01", "write 00", "mask FF", "write 00", "write 01", "write 00"}));
  EXPECT_EQ(Calls(c.begin() + 7, c.begin() + 10), (Calls{"mask FD", "write 01", "write 00"}));
  // Ends with the line released for the acknowledge clock, which is not read.
  EXPECT_EQ(Calls(c.end() - 3, c.end()), (Calls{"mask FD", "write 01", "write 00"}));
  EXPECT_EQ(port.pinShadow.load(), 0x00);
}

TEST_F(SensorBusCalls, ByteCostsBetween27And35Calls) {
  SensorBus::WriteByte(port, 0xFF);
  EXPECT_EQ(recording::calls.size(), 27u);
  recording::calls.clear();
  SensorBus::WriteByte(port, 0x00);
  EXPECT_EQ(recording::calls.size(), 35u);
  recording::calls.clear();
  SensorBus::ReadByte(port, 1);
  EXPECT_EQ(recording::calls.size(), 27u);
  recording::calls.clear();
  SensorBus::ReadByte(port, 0);
  EXPECT_EQ(recording::calls.size(), 29u);
}

TEST_F(SensorBusCalls, ReadByteSamplesWhileClockHighAndAcknowledges) {
  recording::ScriptBytes(recording::BitsOf({0x5C}));
  port.pinShadow.store(0x00);
  EXPECT_EQ(SensorBus::ReadByte(port, 0), 0x5C);
  const Calls& c = recording::calls;
  ASSERT_EQ(c.size(), 29u);
  for (int bit = 0; bit < 8; ++bit)
    EXPECT_EQ(Calls(c.begin() + 3 * bit, c.begin() + 3 * bit + 3), (Calls{"write 01", "read", "write 00"}));
  EXPECT_EQ(Calls(c.begin() + 24, c.end()), (Calls{"mask FF", "write 00", "write 01", "write 00", "mask FD"}));
  // The pin reads went to a scratch byte, not the shadow.
  EXPECT_EQ(port.pinShadow.load(), 0x00);
}

TEST_F(SensorBusCalls, ReadByteWithoutAcknowledgeLeavesLineReleased) {
  recording::ScriptBytes(recording::BitsOf({0xA5}));
  EXPECT_EQ(SensorBus::ReadByte(port, 1), 0xA5);
  const Calls& c = recording::calls;
  ASSERT_EQ(c.size(), 27u);
  EXPECT_EQ(Calls(c.begin() + 24, c.end()), (Calls{"write 01", "write 00", "mask FD"}));
}

TEST_F(SensorBusCalls, ReadByteIgnoresOtherPins) {
  // Every pin but the data pin high: reads as 0x00.
  recording::pins = [] { return UCHAR{0xFD}; };
  EXPECT_EQ(SensorBus::ReadByte(port, 1), 0x00);
  recording::pins = [] { return UCHAR{0x02}; };
  EXPECT_EQ(SensorBus::ReadByte(port, 1), 0xFF);
}

TEST_F(SensorBusCalls, CallsGoToTheOpenDevice) {
  static FT_HANDLE const kDevice = reinterpret_cast<FT_HANDLE>(0x1234);
  lib->entry.FT_OpenEx = [](void*, DWORD, FT_HANDLE* h) -> FT_STATUS {
    *h = kDevice;
    return 0;
  };
  ASSERT_EQ(port.device.FT_OpenEx("ORV-KM7 Lab", kFtOpenByDescription), 0u);
  SensorBus::SetPin(port, 1, 0);
  EXPECT_EQ(recording::lastHandle, kDevice);
  SensorBus::ReadByte(port, 1);
  EXPECT_EQ(recording::lastHandle, kDevice);
}

}  // namespace
