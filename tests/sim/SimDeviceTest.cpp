// Listing, opening, closing and the configuration memory of the simulated module.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "SimSupport.h"

namespace simtest {
namespace {

const char* const kTwoModules =
    "temperature_conversion_ms = 5\nhumidity_conversion_ms = 5\nreset_ms = 1\n"
    "[module]\ndescription = ORV-KM7 Lab\nserial = KM7A0001\n"
    "[module]\ndescription = ORV-KM7 Office\nserial = KM7A0002\nin_use = 1\n";

// The table the program builds: "Currently Active" in every buffer, a null
// slot after the last.
struct Table {
  explicit Table(size_t n) : buffers(n, std::vector<char>(64)), slots(n + 1, nullptr) {
    for (size_t i = 0; i < n; ++i) {
      std::strcpy(buffers[i].data(), "Currently Active");
      slots[i] = buffers[i].data();
    }
  }
  std::string at(size_t i) const { return buffers[i].data(); }
  std::vector<std::vector<char>> buffers;
  std::vector<char*> slots;
};

using SimListing = SimTest;

TEST_F(SimListing, ModuleInUseIsCountedButNotDescribedNorOpened) {
  Plug(kTwoModules);
  DWORD count = 99;
  ASSERT_EQ(sim.ListDevices(&count, nullptr, kListNumberOnly), 0u);
  EXPECT_EQ(count, 2u);

  Table table(count);
  ASSERT_EQ(sim.ListDevices(table.slots.data(), &count, kListAllByDescription), 0u);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(table.at(0), "ORV-KM7 Lab");
  EXPECT_EQ(table.at(1), "Currently Active");

  FT_HANDLE h = nullptr;
  EXPECT_NE(sim.OpenEx(const_cast<char*>("ORV-KM7 Office"), kOpenByDescription, &h), 0u);
  EXPECT_EQ(h, nullptr);
  h = Open("ORV-KM7 Lab");
  EXPECT_NE(h, nullptr);
  EXPECT_EQ(sim.Close(h), 0u);
}

TEST_F(SimListing, ListingNeverWritesPastTheNullSlot) {
  Plug("[module]\ndescription = A1\n[module]\ndescription = B2\n[module]\ndescription = C3\n");
  Table table(1);  // as if two modules were attached after the count
  DWORD count = 0;
  ASSERT_EQ(sim.ListDevices(table.slots.data(), &count, kListAllByDescription), 0u);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(table.at(0), "A1");
  EXPECT_EQ(table.slots[1], nullptr);
}

TEST_F(SimListing, OtherFlagsAndMissingArgumentsFail) {
  Plug(kTwoModules);
  DWORD count = 7;
  EXPECT_NE(sim.ListDevices(&count, nullptr, 0x40000000), 0u);
  EXPECT_NE(sim.ListDevices(&count, nullptr, 0x20000001), 0u);
  EXPECT_NE(sim.ListDevices(&count, nullptr, 0), 0u);
  EXPECT_EQ(count, 7u);
  EXPECT_NE(sim.ListDevices(nullptr, nullptr, kListNumberOnly), 0u);
  Table table(2);
  EXPECT_NE(sim.ListDevices(table.slots.data(), nullptr, kListAllByDescription), 0u);
}

TEST_F(SimListing, OpenByDescriptionOnly) {
  Plug(kTwoModules);
  FT_HANDLE h = nullptr;
  EXPECT_NE(sim.OpenEx(const_cast<char*>("ORV-KM7"), kOpenByDescription, &h), 0u);
  EXPECT_NE(sim.OpenEx(const_cast<char*>("2 device(s) attached:"), kOpenByDescription, &h), 0u);
  EXPECT_NE(sim.OpenEx(const_cast<char*>("ORV-KM7 Lab"), 4, &h), 0u);  // by location
  EXPECT_NE(sim.OpenEx(nullptr, kOpenByDescription, &h), 0u);
  EXPECT_NE(sim.OpenEx(const_cast<char*>("ORV-KM7 Lab"), kOpenByDescription, nullptr), 0u);
  EXPECT_EQ(h, nullptr);

  h = Open("ORV-KM7 Lab");
  FT_HANDLE second = nullptr;
  EXPECT_NE(sim.OpenEx(const_cast<char*>("ORV-KM7 Lab"), kOpenByDescription, &second), 0u)
      << "a module is open once at a time";
  EXPECT_EQ(sim.Close(h), 0u);
  second = Open("ORV-KM7 Lab");
  EXPECT_NE(second, h) << "a closed handle is not handed out again";
  EXPECT_EQ(sim.Close(second), 0u);
}

TEST_F(SimListing, CallsOnClosedOrUnknownHandlesFail) {
  Plug(kTwoModules);
  FT_HANDLE h = OpenForBus("ORV-KM7 Lab");
  ASSERT_EQ(sim.Close(h), 0u);
  UCHAR pins = 0x5A;
  UCHAR byte = 0x01;
  DWORD written = 0;
  EXPECT_NE(sim.GetBitMode(h, &pins), 0u);
  EXPECT_EQ(pins, 0x5A);
  EXPECT_NE(sim.Write(h, &byte, 1, &written), 0u);
  EXPECT_NE(sim.SetBitMode(h, 0xFF, 1), 0u);
  EXPECT_NE(sim.Close(h), 0u);
  EXPECT_NE(sim.ResetDevice(h), 0u);  // the program resets right after closing
  EXPECT_NE(sim.GetBitMode(nullptr, &pins), 0u);

  // Plugging in again ends every open handle.
  h = Open("ORV-KM7 Lab");
  EXPECT_EQ(sim.ResetDevice(h), 0u);
  sim.replug();
  EXPECT_NE(sim.GetBitMode(h, &pins), 0u);
  h = Open("ORV-KM7 Lab");
  EXPECT_EQ(sim.Close(h), 0u);
}

TEST_F(SimListing, ConfigurationWithoutModulesMeansNoneAttached) {
  Plug("temperature_conversion_ms = 5\n");
  DWORD count = 5;
  ASSERT_EQ(sim.ListDevices(&count, nullptr, kListNumberOnly), 0u);
  EXPECT_EQ(count, 0u);
}

TEST_F(SimListing, WithoutConfigurationOneModuleAtRoomValues) {
  unsetenv("KM7_SIM_CONFIG");
  sim.replug();
  DWORD count = 0;
  ASSERT_EQ(sim.ListDevices(&count, nullptr, kListNumberOnly), 0u);
  ASSERT_EQ(count, 1u);
  Table table(1);
  ASSERT_EQ(sim.ListDevices(table.slots.data(), &count, kListAllByDescription), 0u);
  EXPECT_EQ(table.at(0), "ORV-KM7 Sensor");

  BusMaster bus(sim, OpenForBus("ORV-KM7 Sensor"));
  const auto t = bus.Measure(0x03);
  const auto rh = bus.Measure(0x05);
  ASSERT_TRUE(t && rh);
  const double celsius = t->raw() * 0.01 - 40.0;
  EXPECT_NEAR(celsius, 22.5, 1.0);
  const double so = rh->raw();
  const double percent = -2.8e-6 * so * so + 0.0405 * so - 4.0 + (0.00008 * so + 0.01) * (celsius - 25);
  EXPECT_NEAR(percent, 45.0, 1.0);
}

// Captures what the library writes to standard error while `f` runs.
template <typename F>
std::string CaptureStderr(F f) {
  std::fflush(stderr);
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/km7sim-stderr-XXXXXX";
  const int fd = mkstemp(path.data());
  const int saved = dup(2);
  dup2(fd, 2);
  f();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(fd);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::remove(path.c_str());
  return text.str();
}

TEST_F(SimListing, BadConfigurationLinesAreReportedAndIgnored) {
  const std::string err = CaptureStderr([&] {
    Plug(
        "colour = blue\n"
        "temperature_conversion_ms = 5\n"
        "humidity_conversion_ms = 5\n"
        "[module]\n"
        "description = ORV-KM7 Lab   # inline comment\n"
        "raw_temperature = 6000\n"
        "raw_temperature = 70000\n"  // out of range: the 6000 stays
        "in_use = maybe\n"
        "just some words\n");
  });
  int lines = 0;
  for (char c : err) lines += c == '\n';
  EXPECT_EQ(lines, 4) << err;
  EXPECT_NE(err.find("colour"), std::string::npos) << err;
  EXPECT_NE(err.find("70000"), std::string::npos) << err;
  EXPECT_NE(err.find("maybe"), std::string::npos) << err;

  // The good lines took effect: found by its description, the raw value, not in use.
  BusMaster bus(sim, OpenForBus("ORV-KM7 Lab"));
  const auto t = bus.Measure(0x03);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->raw(), 6000);
}

using SimEeprom = SimTest;

struct Record {
  Record() {
    data.Manufacturer = manufacturer;
    data.ManufacturerId = manufacturerId;
    data.Description = description;
    data.SerialNumber = serial;
  }
  char manufacturer[32] = {};
  char manufacturerId[16] = {};
  char description[64] = {};
  char serial[16] = {};
  km7sim_program_data data{};
};

std::vector<std::string> Listed(SimLib& sim) {
  DWORD count = 0;
  sim.ListDevices(&count, nullptr, kListNumberOnly);
  Table table(count);
  sim.ListDevices(table.slots.data(), &count, kListAllByDescription);
  std::vector<std::string> names;
  for (DWORD i = 0; i < count; ++i) names.push_back(table.at(i));
  return names;
}

TEST_F(SimEeprom, NewDescriptionShowsOnlyAfterReplug) {
  Plug(kTwoModules);
  FT_HANDLE h = Open("ORV-KM7 Lab");
  Record rec;
  ASSERT_EQ(sim.EeRead(h, &rec.data), 0u);
  EXPECT_STREQ(rec.description, "ORV-KM7 Lab");
  EXPECT_STREQ(rec.serial, "KM7A0001");
  rec.data.more[3] = 0x42;  // the rest of the record travels back unchanged

  char newName[] = "Greenhouse";
  rec.data.Description = newName;
  ASSERT_EQ(sim.EeProgram(h, &rec.data), 0u);

  Record back;
  ASSERT_EQ(sim.EeRead(h, &back.data), 0u);
  EXPECT_STREQ(back.description, "Greenhouse");
  EXPECT_STREQ(back.serial, "KM7A0001");
  EXPECT_EQ(back.data.more[3], 0x42);
  EXPECT_EQ(sim.Close(h), 0u);

  // Still the old name until the module is plugged in again.
  EXPECT_EQ(Listed(sim), (std::vector<std::string>{"ORV-KM7 Lab", "Currently Active"}));
  FT_HANDLE other = nullptr;
  EXPECT_NE(sim.OpenEx(newName, kOpenByDescription, &other), 0u);

  sim.replug();
  EXPECT_EQ(Listed(sim), (std::vector<std::string>{"Greenhouse", "Currently Active"}));
  EXPECT_NE(sim.OpenEx(const_cast<char*>("ORV-KM7 Lab"), kOpenByDescription, &other), 0u);
  h = Open("Greenhouse");
  EXPECT_NE(h, nullptr);
  EXPECT_EQ(sim.Close(h), 0u);
}

TEST_F(SimEeprom, NewDescriptionShowsWhenTheLibraryIsLoadedAgain) {
  Plug(kTwoModules);
  FT_HANDLE h = Open("ORV-KM7 Lab");
  Record rec;
  ASSERT_EQ(sim.EeRead(h, &rec.data), 0u);
  char newName[] = "Cold Store";
  rec.data.Description = newName;
  ASSERT_EQ(sim.EeProgram(h, &rec.data), 0u);
  sim.Close(h);

  // A second copy of the library file is a fresh load of the same driver.
  const std::string copy = std::string(KM7_SIM_VARIANTS_DIR) + "/../reload-test-" +
                           std::to_string(getpid()) + ".so";
  std::filesystem::copy_file(KM7_SIM_LIBRARY, copy, std::filesystem::copy_options::overwrite_existing);
  void* dl = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  std::filesystem::remove(copy);
  ASSERT_NE(dl, nullptr) << dlerror();
  SimLib fresh;
  fresh.dl = dl;
  fresh.Bind(fresh.ListDevices, "FT_ListDevices");
  ASSERT_NE(fresh.ListDevices, nullptr);
  EXPECT_EQ(Listed(fresh), (std::vector<std::string>{"Cold Store", "Currently Active"}));
  dlclose(dl);
  EXPECT_EQ(Listed(sim), (std::vector<std::string>{"ORV-KM7 Lab", "Currently Active"}))
      << "this load was not plugged in again";
}

TEST_F(SimEeprom, DescriptionLongerThanTheMemoryFailsAndChangesNothing) {
  Plug("description_limit = 16\n[module]\ndescription = ORV-KM7 Lab\n");
  FT_HANDLE h = Open("ORV-KM7 Lab");
  Record rec;
  ASSERT_EQ(sim.EeRead(h, &rec.data), 0u);

  std::string tooLong(16, 'x');  // 16 characters and the terminator: 17 bytes
  rec.data.Description = tooLong.data();
  EXPECT_NE(sim.EeProgram(h, &rec.data), 0u);
  char empty[] = "";
  rec.data.Description = empty;
  EXPECT_NE(sim.EeProgram(h, &rec.data), 0u);
  rec.data.Description = nullptr;
  EXPECT_NE(sim.EeProgram(h, &rec.data), 0u);
  EXPECT_NE(sim.EeProgram(h, nullptr), 0u);

  Record back;
  ASSERT_EQ(sim.EeRead(h, &back.data), 0u);
  EXPECT_STREQ(back.description, "ORV-KM7 Lab");

  std::string fits(15, 'y');
  rec.data.Description = fits.data();
  EXPECT_EQ(sim.EeProgram(h, &rec.data), 0u);
  ASSERT_EQ(sim.EeRead(h, &back.data), 0u);
  EXPECT_EQ(std::string(back.description), fits);
  sim.Close(h);
}

TEST_F(SimEeprom, DefaultLimitKeepsNamesWithinTheListingBuffer) {
  Plug("[module]\ndescription = ORV-KM7 Lab\n");
  FT_HANDLE h = Open("ORV-KM7 Lab");
  Record rec;
  ASSERT_EQ(sim.EeRead(h, &rec.data), 0u);
  std::string name(64, 'n');
  rec.data.Description = name.data();
  EXPECT_NE(sim.EeProgram(h, &rec.data), 0u) << "64 characters do not fit a 64-byte buffer";
  name.pop_back();
  rec.data.Description = name.data();
  EXPECT_EQ(sim.EeProgram(h, &rec.data), 0u);
  sim.Close(h);
  sim.replug();
  EXPECT_EQ(Listed(sim), std::vector<std::string>{name});
}

TEST_F(SimEeprom, ClosedHandleCannotReadOrProgram) {
  Plug(kTwoModules);
  FT_HANDLE h = Open("ORV-KM7 Lab");
  sim.Close(h);
  Record rec;
  EXPECT_NE(sim.EeRead(h, &rec.data), 0u);
  char name[] = "Greenhouse";
  rec.data.Description = name;
  EXPECT_NE(sim.EeProgram(h, &rec.data), 0u);
}

using SimCalls = SimTest;

TEST_F(SimCalls, EveryEntryPointCallCounts) {
  Plug(kTwoModules);
  sim.resetCallCount();
  EXPECT_EQ(sim.callCount(), 0u);
  DWORD count = 0;
  sim.ListDevices(&count, nullptr, kListNumberOnly);
  FT_HANDLE h = Open("ORV-KM7 Lab");
  UCHAR pins = 0;
  sim.GetBitMode(h, &pins);
  sim.GetBitMode(nullptr, &pins);  // failures count too
  sim.Close(h);
  EXPECT_EQ(sim.callCount(), 5u);
  sim.readings("ORV-KM7 Lab");  // the control calls do not
  sim.replug();
  EXPECT_EQ(sim.callCount(), 5u);
  sim.resetCallCount();
  EXPECT_EQ(sim.callCount(), 0u);
}

// The names in the order the program binds them.
const char* const kEntryPoints[] = {
    "FT_Write", "FT_Read", "FT_Open", "FT_OpenEx", "FT_ListDevices", "FT_Close",
    "FT_ResetDevice", "FT_Purge", "FT_SetTimeouts", "FT_GetQueueStatus", "FT_GetStatus",
    "FT_SetLatencyTimer", "FT_GetLatencyTimer", "FT_EE_Read", "FT_EE_Program", "FT_EE_UARead",
    "FT_EE_UAWrite", "FT_EE_UASize", "FT_SetUSBParameters", "FT_SetBaudRate", "FT_SetDivisor",
    "FT_SetDataCharacteristics", "FT_SetFlowControl", "FT_SetDtr", "FT_ClrDtr", "FT_SetRts",
    "FT_ClrRts", "FT_GetModemStatus", "FT_SetChars", "FT_SetBreakOn", "FT_SetBreakOff",
    "FT_SetWaitMask", "FT_WaitOnMask", "FT_SetBitMode", "FT_GetBitMode"};

TEST(SimVariants, MainLibraryExportsEveryEntryPoint) {
  void* dl = dlopen(KM7_SIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(dl, nullptr) << dlerror();
  for (const char* name : kEntryPoints) EXPECT_NE(dlsym(dl, name), nullptr) << name;
  dlclose(dl);
}

TEST(SimVariants, EachVariantLacksExactlyItsEntryPoint) {
  std::stringstream names(KM7_SIM_VARIANTS);
  std::string missing;
  int variants = 0;
  while (std::getline(names, missing, ';')) {
    const std::string path = std::string(KM7_SIM_VARIANTS_DIR) + "/no_" + missing + "/libftd2xx.so";
    void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(dl, nullptr) << dlerror();
    ++variants;
    for (const char* name : kEntryPoints) {
      if (missing == name) {
        EXPECT_EQ(dlsym(dl, name), nullptr) << path;
      } else {
        EXPECT_NE(dlsym(dl, name), nullptr) << path << " lacks " << name;
      }
    }
    EXPECT_NE(dlsym(dl, "km7sim_replug"), nullptr);
    dlclose(dl);
  }
  EXPECT_GE(variants, 4);
}

TEST(SimVariants, LibraryWithoutGetBitModeStillWorksOtherwise) {
  const std::string path = std::string(KM7_SIM_VARIANTS_DIR) + "/no_FT_GetBitMode/libftd2xx.so";
  void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(dl, nullptr) << dlerror();
  EXPECT_EQ(dlsym(dl, "FT_GetBitMode"), nullptr);
  auto list = reinterpret_cast<Status (*)(void*, void*, DWORD)>(dlsym(dl, "FT_ListDevices"));
  ASSERT_NE(list, nullptr);
  DWORD count = 0;
  EXPECT_EQ(list(&count, nullptr, kListNumberOnly), 0u);
  EXPECT_GE(count, 1u);
  dlclose(dl);
}

}  // namespace
}  // namespace simtest
