// Acquisition objects, one per module: two side by side on two simulated
// modules, a module unplugged and plugged back from outside, a sensor that
// never answers, and a thread stuck in a driver call.
#include "acquisition/Acquisition.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimModule.h"
#include "acquisition/Measurement.h"
#include "platform/Clock.h"

namespace {

using namespace std::chrono_literals;

// The cycle pause made short, so that a test sees several cycles quickly.
unsigned ShortPause(unsigned ms) { return ms == km7::kCyclePauseMs ? 50 : ms; }

const char* const kGlobals = "temperature_conversion_ms = 20\nhumidity_conversion_ms = 10\nreset_ms = 1\n";

std::string TwoModules(const std::string& officeExtra) {
  return std::string(kGlobals) +
         "[module]\ndescription = Lab\nserial = KM7T0001\nraw_temperature = 6000\nraw_humidity = 1488\n"
         "[module]\ndescription = Office\nserial = KM7T0002\nraw_temperature = 7000\nraw_humidity = 1200\n" +
         officeExtra;
}

class AcquisitionObjects : public ::testing::Test {
 protected:
  void SetUp() override {
    km7::SetWaitLengthHook(&ShortPause);
    const char* dir = std::getenv("TMPDIR");
    path = std::string(dir && *dir ? dir : "/tmp") + "/km7-acquisition-XXXXXX";
    const int fd = mkstemp(path.data());
    ASSERT_GE(fd, 0);
    close(fd);
  }
  void TearDown() override {
    for (auto& a : acquisitions) a->Stop(5000);
    acquisitions.clear();
    km7::SetWaitLengthHook(nullptr);
    std::remove(path.c_str());
  }
  // Writes the configuration anew (beside it, then renamed over it): the
  // simulator reads it again, as when someone plugs or unplugs a module.
  void Configure(const std::string& text) {
    {
      std::ofstream(path + ".new") << text;
    }
    ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
  }
  void Load(const std::string& text) {
    Configure(text);
    setenv("KM7_SIM_CONFIG", path.c_str(), 1);
    ASSERT_EQ(lib->Bind(), 0) << "the simulated libftd2xx.so must be on LD_LIBRARY_PATH";
    ASSERT_TRUE(sim.Load());
    sim.replug();
  }
  km7::Acquisition& Measure(const char* description) {
    acquisitions.push_back(std::make_unique<km7::Acquisition>(lib));
    km7::Acquisition& a = *acquisitions.back();
    EXPECT_TRUE(simmodule::OpenModule(a.Port(), description));
    a.SetAutoRead(true);
    a.Start();
    return a;
  }
  static bool GoodReadings(const km7::Acquisition& a, std::uint64_t n) { return a.Health().goodReadings >= n; }

  std::shared_ptr<D2xxLibrary> lib = std::make_shared<D2xxLibrary>();
  simmodule::Controls sim;
  std::string path;
  std::vector<std::unique_ptr<km7::Acquisition>> acquisitions;
};

TEST_F(AcquisitionObjects, TwoModulesSideBySideEachWithItsOwnValues) {
  Load(TwoModules(""));
  km7::Acquisition& lab = Measure("Lab");
  km7::Acquisition& office = Measure("Office");
  ASSERT_TRUE(simmodule::WaitFor([&] { return GoodReadings(lab, 5) && GoodReadings(office, 5); }));

  const km7::Reading l = lab.Read(), o = office.Read();
  EXPECT_TRUE(l.current);
  EXPECT_TRUE(o.current);
  EXPECT_DOUBLE_EQ(l.temperature, 20.0);
  EXPECT_NEAR(l.relativeHumidity, km7::RelativeHumidity(1488, 20.0), 1e-9);
  EXPECT_NEAR(l.dewPoint, km7::DewPoint(20.0, l.relativeHumidity), 1e-9);
  EXPECT_DOUBLE_EQ(o.temperature, 30.0);
  EXPECT_NEAR(o.relativeHumidity, km7::RelativeHumidity(1200, 30.0), 1e-9);
  EXPECT_NEAR(o.dewPoint, km7::DewPoint(30.0, o.relativeHumidity), 1e-9);
  for (const km7::Acquisition* a : {&lab, &office}) {
    const km7::AcquisitionHealth h = a->Health();
    EXPECT_EQ(h.crcErrors, 0u);
    EXPECT_EQ(h.failedReadings, 0u);
    EXPECT_EQ(h.lastFault, km7::ReadingFault::None);
    EXPECT_NEAR(static_cast<double>(h.lastGoodWallMs), static_cast<double>(km7::WallMs()), 60000.0);
  }
  // Each bus is its own: neither module saw the other's traffic.
  EXPECT_GE(sim.readings("Lab"), 10u);
  EXPECT_GE(sim.readings("Office"), 10u);

  // Stopping one leaves the other measuring.
  EXPECT_TRUE(lab.Stop(5000));
  EXPECT_FALSE(lab.Read().current);
  const std::uint64_t before = office.Health().goodReadings;
  ASSERT_TRUE(simmodule::WaitFor([&] { return GoodReadings(office, before + 3); }));
  EXPECT_TRUE(office.Read().current);
}

// The whole reading is published at once: a reader never sees the
// temperature of one cycle with the humidity of another.
TEST_F(AcquisitionObjects, AReaderSeesOnlyWholeReadings) {
  Load(std::string(kGlobals) + "[module]\ndescription = Lab\ntemperature = 20\nhumidity = 50\ndrift = 5\n");
  km7::Acquisition& lab = Measure("Lab");
  ASSERT_TRUE(simmodule::WaitFor([&] { return GoodReadings(lab, 1); }));
  int checked = 0;
  const auto end = std::chrono::steady_clock::now() + 3s;
  while (std::chrono::steady_clock::now() < end || checked < 100) {
    const km7::Reading r = lab.Read();
    // The dew point is derived from the two values of its own cycle.
    ASSERT_NEAR(r.dewPoint, km7::DewPoint(r.temperature, r.relativeHumidity), 1e-9);
    ++checked;
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_GE(lab.Health().goodReadings, 2u);
}

TEST_F(AcquisitionObjects, UnpluggedFromOutsideThenPluggedBackAndOpenedAnew) {
  Load(TwoModules(""));
  km7::Acquisition& lab = Measure("Lab");
  km7::Acquisition& office = Measure("Office");
  ASSERT_TRUE(simmodule::WaitFor([&] { return GoodReadings(lab, 2) && GoodReadings(office, 2); }));

  Configure(TwoModules("present = 0\n"));
  ASSERT_TRUE(simmodule::WaitFor([&] { return office.Health().failedReadings >= 2; }));
  km7::AcquisitionHealth h = office.Health();
  EXPECT_EQ(h.lastFault, km7::ReadingFault::Unplugged);
  EXPECT_EQ(h.crcErrors, 0u);
  EXPECT_DOUBLE_EQ(office.Read().temperature, 30.0) << "the last good values are kept";
  // The other module goes on.
  const std::uint64_t labBefore = lab.Health().goodReadings;
  ASSERT_TRUE(simmodule::WaitFor([&] { return GoodReadings(lab, labBefore + 2); }));
  EXPECT_EQ(lab.Health().failedReadings, 0u);

  // Back again: the old handle stays dead, the module is opened anew.
  Configure(TwoModules("present = 1\n"));
  EXPECT_TRUE(office.Stop(5000));
  office.Device().FT_Close();
  ASSERT_TRUE(simmodule::OpenModule(office.Port(), "Office"));
  office.SetAutoRead(true);
  const std::uint64_t good = office.Health().goodReadings;
  office.Start();
  ASSERT_TRUE(simmodule::WaitFor([&] { return GoodReadings(office, good + 2); }));
  h = office.Health();
  EXPECT_EQ(h.lastFault, km7::ReadingFault::None);
  EXPECT_TRUE(h.current);
}

TEST_F(AcquisitionObjects, ASensorThatNeverAnswersIsReportedAsSuch) {
  Load(std::string(kGlobals) + "[module]\ndescription = Empty\nsensor = 0\n"
                               "[module]\ndescription = Bad\nraw_temperature = 6000\ncorrupt_crc_every = 1\n");
  km7::Acquisition& empty = Measure("Empty");
  km7::Acquisition& bad = Measure("Bad");
  ASSERT_TRUE(simmodule::WaitFor([&] { return empty.Health().failedReadings >= 1 && bad.Health().crcErrors >= 4; }));
  EXPECT_EQ(empty.Health().lastFault, km7::ReadingFault::NoAnswer);
  EXPECT_FALSE(empty.Read().current);
  const km7::AcquisitionHealth b = bad.Health();
  EXPECT_EQ(b.lastFault, km7::ReadingFault::BadCheck);
  EXPECT_EQ(b.goodReadings, 0u);
  EXPECT_GE(b.failedReadings, 2u);
  EXPECT_DOUBLE_EQ(bad.Read().temperature, 20.0) << "values with a bad check are still published";
  EXPECT_FALSE(bad.Read().current);
  EXPECT_STREQ(km7::ReadingFaultName(km7::ReadingFault::NoAnswer), "no answer");
}

// A stand-in bridge whose pin read blocks until the test lets it go: a
// driver call that hangs.
std::mutex g_stuckMutex;
std::condition_variable g_stuckCv;
bool g_release = false;
std::atomic<int> g_inside{0};

FT_STATUS FreeWrite(FT_HANDLE, void*, DWORD length, DWORD* written) {
  *written = length;
  return 0;
}
FT_STATUS FreeSetBitMode(FT_HANDLE, UCHAR, UCHAR) { return 0; }
FT_STATUS StuckGetBitMode(FT_HANDLE, UCHAR* pins) {
  ++g_inside;
  std::unique_lock lock(g_stuckMutex);
  g_stuckCv.wait(lock, [] { return g_release; });
  *pins = 0x02;  // not ready
  return 0;
}

TEST(AcquisitionStuck, StopHonoursItsLimitAndLeavesTheStuckThreadBehindSafely) {
  auto stub = std::make_shared<D2xxLibrary>();
  stub->entry.FT_Write = &FreeWrite;
  stub->entry.FT_SetBitMode = &FreeSetBitMode;
  stub->entry.FT_GetBitMode = &StuckGetBitMode;
  std::vector<std::string> reports;
  auto acquisition = std::make_unique<km7::Acquisition>(stub);
  acquisition->SetReporter([&](const std::string& text) { reports.push_back(text); });
  acquisition->SetLabel("Lab: ");
  acquisition->SetAutoRead(true);
  acquisition->Start();
  ASSERT_TRUE(simmodule::WaitFor([] { return g_inside.load() >= 1; }));

  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(acquisition->Stop(300));
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, 250ms);
  EXPECT_LT(took, 30s);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0],
            "Lab: The acquisition thread did not end within 300 ms: it is stuck in a call of the bridge "
            "driver and was left behind.");
  EXPECT_FALSE(acquisition->ThreadAlive());
  EXPECT_FALSE(acquisition->Read().current);

  // The object goes while its thread is still inside the driver; what the
  // thread uses stays alive until it comes out and ends.
  acquisition.reset();
  EXPECT_GT(stub.use_count(), 1) << "the stuck thread still holds the library";
  {
    std::lock_guard lock(g_stuckMutex);
    g_release = true;
  }
  g_stuckCv.notify_all();
  EXPECT_TRUE(simmodule::WaitFor([&] { return stub.use_count() == 1; }))
      << "the thread left behind did not end once its call returned";
}

}  // namespace
