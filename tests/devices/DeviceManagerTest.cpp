// The device operations in the order they touch the window, the thread and
// the bridge: the main window is a recording stand-in, the bridge the
// simulated module with its calls recorded on the way.
#include "devices/DeviceManager.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/Acquisition.h"
#include "acquisition/Measurement.h"
#include "settings/ProfileStore.h"
#include "settings/OpenSensor.h"
#include "devices/Rename.h"
#include "devices/Search.h"
#include "platform/Clock.h"
#include "ui/Dialog.h"
#include "ui/MessageBox.h"
#include "ui/DialogDriver.h"

using km7::ui::DialogDriver;

namespace fs = std::filesystem;

namespace km7 {
namespace {

// What the user-interface thread does; the acquisition thread's own bus
// traffic is not part of the sequence.
std::vector<std::string> g_log;
const std::thread::id g_mainThread = std::this_thread::get_id();
void Log(const std::string& s) {
  if (std::this_thread::get_id() == g_mainThread) g_log.push_back(s);
}

std::string Hex(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v);
  return buf;
}

// The library's own entry points, called through by the recorders.
d2xx::FT_OpenEx_t realOpenEx;
d2xx::FT_Close_t realClose;
d2xx::FT_ResetDevice_t realReset;
d2xx::FT_SetBitMode_t realSetBitMode;
d2xx::FT_EE_Read_t realEeRead;
d2xx::FT_EE_Program_t realEeProgram;

FT_STATUS RecOpenEx(void* arg, DWORD flags, FT_HANDLE* h) {
  Log(std::string("FT_OpenEx(") + static_cast<const char*>(arg) + ")");
  return realOpenEx(arg, flags, h);
}
FT_STATUS RecClose(FT_HANDLE h) {
  Log("FT_Close");
  return realClose(h);
}
FT_STATUS RecReset(FT_HANDLE h) {
  Log("FT_ResetDevice");
  return realReset(h);
}
FT_STATUS RecSetBitMode(FT_HANDLE h, UCHAR mask, UCHAR mode) {
  Log("FT_SetBitMode(" + Hex(mask) + "," + std::to_string(mode) + ")");
  return realSetBitMode(h, mask, mode);
}
FT_STATUS RecEeRead(FT_HANDLE h, D2xxProgramData* d) {
  Log("FT_EE_Read");
  return realEeRead(h, d);
}
FT_STATUS RecEeProgram(FT_HANDLE h, D2xxProgramData* d) {
  Log(std::string("FT_EE_Program(") + d->Description + ")");
  return realEeProgram(h, d);
}

// The acquisition of the running test, whose flags the log shows.
Acquisition* g_acquisition = nullptr;
int RunFlag() { return g_acquisition != nullptr && g_acquisition->Running() ? 1 : 0; }
int AutoReadFlag() { return g_acquisition != nullptr && g_acquisition->AutoRead() ? 1 : 0; }

// The waits for the thread are logged with the thread's flag at that moment
// and take no time; the thread's own pauses are cut short.
void RecordSleep(unsigned ms) {
  if (std::this_thread::get_id() != g_mainThread) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms >= kCyclePauseMs ? 5 : ms));
    return;
  }
  if (ms == kCloseWaitMs || ms == kStartWaitMs || ms == kExitWaitMs)
    Log("Sleep(" + std::to_string(ms) + ",running=" + std::to_string(RunFlag()) + ")");
}

class RecordingHost : public DeviceHost {
 public:
  MainWindowValues values;
  MainWindowValues& Values() override { return values; }
  ui::CDialog* DialogParent() override { return nullptr; }
  void SaveControls() override { Log("Save"); }
  void LoadControls() override { Log("Load[" + values.nameText + "]"); }
  void StopDisplayTimer() override { Log("StopTimer"); }
  void EnableRenameButton(bool enable) override { Log(enable ? "EnableRename" : "DisableRename"); }
};

fs::path g_root;

// Before any QApplication exists; a platform given from outside wins.
[[maybe_unused]] const int g_platform = setenv("QT_QPA_PLATFORM", "offscreen", 0);

class DeviceManagerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string templ = (fs::temp_directory_path() / "km7-devices-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    g_root = templ;
    setenv("XDG_CONFIG_HOME", g_root.c_str(), 1);
    setenv("XDG_DATA_HOME", g_root.c_str(), 1);
    const fs::path sim = g_root / "sim.conf";
    std::ofstream(sim) << "[module]\ndescription = Lab\n[module]\ndescription = Cellar\nin_use = 1\n";
    setenv("KM7_SIM_CONFIG", sim.c_str(), 1);
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(g_root, ec);
  }

  void SetUp() override {
    std::error_code ec;
    fs::remove(ProfileStore::Instance().FilePath(), ec);
    g_log.clear();
    g_acquisition = &acquisition;
    SetSleepHook(&RecordSleep);
    ui::SetMessageHook([](const std::string& text, ui::MessageIcon, const std::string&) { Log("Message(" + text + ")"); });
    ASSERT_EQ(lib->Bind(), 0);
    realOpenEx = lib->entry.FT_OpenEx;
    realClose = lib->entry.FT_Close;
    realReset = lib->entry.FT_ResetDevice;
    realSetBitMode = lib->entry.FT_SetBitMode;
    realEeRead = lib->entry.FT_EE_Read;
    realEeProgram = lib->entry.FT_EE_Program;
    lib->entry.FT_OpenEx = &RecOpenEx;
    lib->entry.FT_Close = &RecClose;
    lib->entry.FT_ResetDevice = &RecReset;
    lib->entry.FT_SetBitMode = &RecSetBitMode;
    lib->entry.FT_EE_Read = &RecEeRead;
    lib->entry.FT_EE_Program = &RecEeProgram;
  }
  void TearDown() override {
    acquisition.Stop(0);
    if (devices.DeviceOpen()) realClose(acquisition.Device().Handle());
    ui::SetModalHook(nullptr);
    ui::SetMessageHook(nullptr);
    SetSleepHook(nullptr);
    g_acquisition = nullptr;
  }

  // Reopens "Lab" as at start-up and forgets what that logged.
  void OpenLab() {
    ProfileStore::Instance().WriteText(profile::Device, kDefaultSensorName, "Lab");
    ASSERT_EQ(devices.ReopenRemembered(), DeviceOutcome::Measuring);
    ASSERT_TRUE(devices.DeviceOpen());
    g_log.clear();
  }

  std::shared_ptr<D2xxLibrary> lib = std::make_shared<D2xxLibrary>();
  RecordingHost host;
  monitor::SensorSession session{lib, monitor::Holder::Window};
  Acquisition& acquisition = session.Acquisition();
  DeviceManager devices{host, *lib, session};
};

using Log_t = std::vector<std::string>;

TEST_F(DeviceManagerTest, ReopenClosesListsAndOpensTheRememberedModuleWithPortBitsCleared) {
  ProfileStore::Instance().WriteText(profile::Device, kDefaultSensorName, "Lab");
  // The window starts the display once told that the module is measured.
  EXPECT_EQ(devices.ReopenRemembered(), DeviceOutcome::Measuring);
  // No thread runs yet, so closing waits for none.
  EXPECT_EQ(g_log, (Log_t{"StopTimer", "Save", "Load[Closed]", "DisableRename", "Save", "Load[Lab]", "FT_OpenEx(Lab)",
                          "FT_SetBitMode(0xFF,1)", "FT_SetBitMode(0xFD,1)", "EnableRename", "Load[Lab]",
                          "Sleep(500,running=1)"}));
  EXPECT_TRUE(acquisition.ThreadAlive());
  EXPECT_EQ(host.values.temperatureText, " ");
  EXPECT_EQ(host.values.humidityText, "");  // only the Open button blanks it
  EXPECT_EQ(session.Settings().name, "Lab");
  EXPECT_EQ(AutoReadFlag(), 1);
  // Data released, clock low, bits 2, 4 and 6 low.
  UCHAR pins = 0xFF;
  acquisition.Device().FT_GetBitMode(&pins);
  EXPECT_EQ(pins & 0x57, 0x02);
}

TEST_F(DeviceManagerTest, OpenButtonClosesTheOpenDeviceBeforeListingAndBlanksAllValues) {
  OpenLab();
  host.values.humidityText = "49.4 % ";
  host.values.dewPointText = "9.1 C ";
  ui::ScopedModalHook hook([](ui::CDialog& d) {
    Log("Chooser");
    DialogDriver(d).PressButton(ui::IDOK);
    return ui::IDCANCEL;
  });
  EXPECT_EQ(devices.OnOpenButton(), DeviceOutcome::Measuring);
  EXPECT_EQ(g_log, (Log_t{"StopTimer", "Save", "Load[Closed]", "Sleep(1400,running=0)", "DisableRename",
                          "FT_ResetDevice", "FT_Close", "Chooser",
                          // OK on "Currently Active", which is refused with a reason
                          "Message(" + std::string(kMsgModuleInUse) + ")", "Save", "Load[Lab]", "FT_OpenEx(Lab)", "FT_SetBitMode(0xFF,1)",
                          "FT_SetBitMode(0xFD,1)", "EnableRename", "Load[Lab]", "Sleep(500,running=1)"}));
  EXPECT_EQ(host.values.humidityText, " ");
  EXPECT_EQ(host.values.dewPointText, " ");
}

// The main window's exit sequence ends with these steps.
TEST_F(DeviceManagerTest, ExitResetsThePortAfterTheThreadEndedAndKeepsTheHandle) {
  OpenLab();
  acquisition.RequestStop();
  acquisition.Stop(kExitWaitMs);
  devices.ResetPortForExit();
  EXPECT_EQ(g_log, (Log_t{"Sleep(1500,running=0)", "FT_SetBitMode(0x00,0)"}));
  EXPECT_FALSE(acquisition.ThreadAlive());  // ended and joined before the port reset
  EXPECT_TRUE(devices.DeviceOpen());  // the handle is not closed
}

TEST_F(DeviceManagerTest, ExitWithNoDeviceOpenLeavesTheBridgeAlone) {
  devices.ResetPortForExit();
  for (const auto& entry : g_log) EXPECT_EQ(entry.rfind("FT_", 0), std::string::npos) << entry;
}

TEST_F(DeviceManagerTest, DriversNotLoadedIsReportedAndNothingElseHappens) {
  DriversLoaded.store(0);
  EXPECT_EQ(devices.ReopenRemembered(), DeviceOutcome::Unchanged);
  EXPECT_EQ(devices.OnOpenButton(), DeviceOutcome::Unchanged);
  DriversLoaded.store(1);
  EXPECT_EQ(g_log, (Log_t{"Message(The DLL USB drivers are not loaded on this system.)",
                          "Message(The DLL USB drivers are not loaded on this system.)"}));
}

TEST_F(DeviceManagerTest, RenameProgramsTheNewDescriptionAfterTheThreadStopped) {
  OpenLab();
  ui::ScopedModalHook hook([](ui::CDialog& d) {
    DialogDriver(d).TypeText(IDC_NEW_NAME, "Attic");
    DialogDriver(d).PressButton(ui::IDOK);
    return ui::IDCANCEL;
  });
  devices.OnRenameButton();
  ASSERT_GE(g_log.size(), 8u);
  EXPECT_EQ(g_log, (Log_t{"DisableRename", "Save", "Save", "Load[Closed]", "Sleep(1400,running=0)", "FT_EE_Read",
                          "FT_EE_Program(Attic)", g_log[7], "FT_Close"}));
  EXPECT_FALSE(acquisition.ThreadAlive());
  EXPECT_EQ(g_log[7].rfind("Message(The new description string was successfully written.", 0), 0u);
  EXPECT_FALSE(devices.DeviceOpen());
}

TEST_F(DeviceManagerTest, RenameOnAClosedDeviceReportsEeReadFailed) {
  OpenLab();
  ui::ScopedModalHook hook([](ui::CDialog& d) {
    DialogDriver(d).TypeText(IDC_NEW_NAME, "Attic");
    DialogDriver(d).PressButton(ui::IDOK);
    return ui::IDCANCEL;
  });
  devices.OnRenameButton();
  g_log.clear();
  // The device was closed by the first rename, which left the button
  // disabled; called anyway, the read fails.
  devices.OnRenameButton();
  EXPECT_EQ(g_log, (Log_t{"DisableRename", "Save", "Save", "Load[Closed]", "FT_EE_Read",
                          "Message(EE_Read FAILED!)"}));
}

}  // namespace
}  // namespace km7
