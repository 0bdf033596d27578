// Unplugging and plugging modules back from outside the process: the
// configuration file is read again whenever it changes.
#include <chrono>
#include <set>
#include <thread>

#include "SimSupport.h"

namespace simtest {
namespace {

std::string Modules(const std::string& labExtra, const std::string& officeExtra = "") {
  return "temperature_conversion_ms = 5\nhumidity_conversion_ms = 5\nreset_ms = 1\n"
         "[module]\ndescription = ORV-KM7 Lab\nserial = KM7A0001\nraw_temperature = 6000\n" +
         labExtra + "[module]\ndescription = ORV-KM7 Office\nserial = KM7A0002\nraw_temperature = 7000\n" +
         officeExtra;
}

class SimPlugging : public SimTest {
 protected:
  void Write(const std::string& text) { ASSERT_TRUE(config_->Rewrite(text)); }

  std::set<std::string> Listed() {
    DWORD count = 0;
    EXPECT_EQ(sim.ListDevices(&count, nullptr, kListNumberOnly), 0u);
    std::vector<std::vector<char>> buffers(count, std::vector<char>(64, '\0'));
    std::vector<char*> slots(count + 1, nullptr);
    for (DWORD i = 0; i < count; ++i) slots[i] = buffers[i].data();
    EXPECT_EQ(sim.ListDevices(slots.data(), &count, kListAllByDescription), 0u);
    std::set<std::string> names;
    for (DWORD i = 0; i < count; ++i) names.insert(buffers[i].data());
    return names;
  }

  static std::optional<uint16_t> Temperature(BusMaster& bus) {
    const auto r = bus.Measure(0x03);
    if (!r) return std::nullopt;
    return r->raw();
  }
};

TEST_F(SimPlugging, PresentZeroUnplugsAndOneBringsItBackUnderANewHandle) {
  Plug(Modules(""));
  FT_HANDLE lab = OpenForBus("ORV-KM7 Lab");
  FT_HANDLE office = OpenForBus("ORV-KM7 Office");
  BusMaster labBus(sim, lab), officeBus(sim, office);
  ASSERT_EQ(Temperature(labBus), 6000);

  Write(Modules("present = 0\n"));
  EXPECT_EQ(Listed(), std::set<std::string>{"ORV-KM7 Office"});
  // Every call on its handle fails as a gone bridge's does.
  UCHAR pins = 0;
  EXPECT_EQ(sim.GetBitMode(lab, &pins), 4u);
  EXPECT_EQ(pins, 0xFF);
  UCHAR byte = 0;
  DWORD written = 0;
  EXPECT_EQ(sim.Write(lab, &byte, 1, &written), 4u);
  FT_HANDLE h = nullptr;
  EXPECT_EQ(sim.OpenEx(const_cast<char*>("ORV-KM7 Lab"), kOpenByDescription, &h), 2u);
  // The other module goes on measuring.
  EXPECT_EQ(Temperature(officeBus), 7000);

  Write(Modules("present = 1\n"));
  EXPECT_EQ(Listed(), (std::set<std::string>{"ORV-KM7 Lab", "ORV-KM7 Office"}));
  // The old handle stays dead; a new one measures.
  EXPECT_EQ(sim.GetBitMode(lab, &pins), 4u);
  EXPECT_EQ(sim.Close(lab), 4u);
  EXPECT_EQ(sim.Close(lab), 1u) << "a dead handle is forgotten once closed";
  lab = OpenForBus("ORV-KM7 Lab");
  BusMaster fresh(sim, lab);
  EXPECT_EQ(Temperature(fresh), 6000);
  EXPECT_EQ(sim.readings("ORV-KM7 Lab"), 1u) << "plugged in again, its count starts over";
  EXPECT_EQ(sim.Close(lab), 0u);
  EXPECT_EQ(sim.Close(office), 0u);
}

TEST_F(SimPlugging, AModuleThatLeavesTheFileIsUnpluggedAndANewOneIsPluggedIn) {
  Plug(Modules(""));
  FT_HANDLE office = OpenForBus("ORV-KM7 Office");
  Write("[module]\ndescription = ORV-KM7 Lab\nserial = KM7A0001\n"
        "[module]\ndescription = ORV-KM7 Cellar\nserial = KM7A0003\n");
  EXPECT_EQ(Listed(), (std::set<std::string>{"ORV-KM7 Lab", "ORV-KM7 Cellar"}));
  UCHAR pins = 0;
  EXPECT_EQ(sim.GetBitMode(office, &pins), 4u);
  Write(Modules(""));
  EXPECT_EQ(Listed(), (std::set<std::string>{"ORV-KM7 Lab", "ORV-KM7 Office"}));
  office = Open("ORV-KM7 Office");
  EXPECT_EQ(sim.Close(office), 0u);
}

TEST_F(SimPlugging, ValuesAndFaultsApplyToTheOpenModule) {
  Plug(Modules(""));
  FT_HANDLE lab = OpenForBus("ORV-KM7 Lab");
  BusMaster bus(sim, lab);
  ASSERT_EQ(Temperature(bus), 6000);
  Write(Modules("raw_temperature = 6500\n"));
  Listed();  // listing always looks at the file
  EXPECT_EQ(Temperature(bus), 6500);
  Write(Modules("raw_temperature = 6500\ncorrupt_crc_every = 1\n"));
  Listed();
  const auto r = bus.Measure(0x03);
  ASSERT_TRUE(r);
  EXPECT_NE(r->check, Reverse(Crc({0x03, r->msb, r->lsb})));
  EXPECT_EQ(sim.Close(lab), 0u);
}

TEST_F(SimPlugging, CallsOnAnOpenHandleNoticeTheChangeWithoutAListing) {
  Plug(Modules(""));
  FT_HANDLE lab = OpenForBus("ORV-KM7 Lab");
  Write(Modules("present = 0\n"));
  UCHAR pins = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (sim.GetBitMode(lab, &pins) == 0u && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(sim.GetBitMode(lab, &pins), 4u);
}

TEST_F(SimPlugging, AModuleConfiguredAbsentIsNotListedUntilItIsPresent) {
  Plug(Modules("", "present = 0\n"));
  EXPECT_EQ(Listed(), std::set<std::string>{"ORV-KM7 Lab"});
  FT_HANDLE h = nullptr;
  EXPECT_EQ(sim.OpenEx(const_cast<char*>("ORV-KM7 Office"), kOpenByDescription, &h), 2u);
  Write(Modules(""));
  EXPECT_EQ(Listed(), (std::set<std::string>{"ORV-KM7 Lab", "ORV-KM7 Office"}));
  // A bad value is reported and ignored: the module stays as it was.
  Write(Modules("", "present = maybe\n"));
  EXPECT_EQ(Listed(), (std::set<std::string>{"ORV-KM7 Lab", "ORV-KM7 Office"}));
}

}  // namespace
}  // namespace simtest
