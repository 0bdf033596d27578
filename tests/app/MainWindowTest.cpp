// The main window against the simulated module: start-up, reopening the
// remembered module, the Open button with its chooser, the exit sequence and
// the unit kept under the fixed name.
#include <QApplication>
#include <QEvent>
#include <QIcon>
#include <QImage>
#include <QWidget>

#include "AppTestSupport.h"
#include "app/AboutDlg.h"
#include "app/Km7App.h"
#include "settings/ProfileStore.h"
#include "settings/OpenSensor.h"
#include "datalog/LogFileDialog.h"
#include "devices/Search.h"
#include "ui/DialogDriver.h"

using km7::ui::DialogDriver;

namespace km7::test {
namespace {

namespace values = km7::profile;
using ui::CDialog;

constexpr char kLab[] =
    "[module]\ndescription = Lab\nraw_temperature = 6000\nraw_humidity = 1488\n";
constexpr char kLabAndBusyCellar[] =
    "[module]\ndescription = Lab\nraw_temperature = 6000\nraw_humidity = 1488\n"
    "[module]\ndescription = Cellar\nin_use = 1\n";

ProfileStore& Settings() { return ProfileStore::Instance(); }
void Remember(const std::string& description) {
  Settings().WriteText(values::Device, kDefaultSensorName, description);
}

std::vector<std::string> ListLines(CDialog& d) {
  std::vector<std::string> lines;
  for (int i = 0; i < d.ListGetCount(IDC_DEVICE_LIST); ++i) lines.push_back(d.ListGetText(IDC_DEVICE_LIST, i));
  return lines;
}

using MainWindowTest = AppTest;

TEST_F(MainWindowTest, FirstStartWithoutSettingsShowsCelsiusClearBoxesAndTheFailedReopen) {
  ConfigureSim(kLab);
  CKm7Dlg& w = StartMainWindow();

  EXPECT_EQ(w.IsDlgButtonChecked(IDC_CELSIUS), 1);
  EXPECT_EQ(w.IsDlgButtonChecked(IDC_FAHRENHEIT), 0);
  for (int id : {IDC_CHARTING, IDC_LOGGING, IDC_TEMP_EMAIL, IDC_HUM_EMAIL})
    EXPECT_EQ(w.IsDlgButtonChecked(id), 0) << id;
  EXPECT_FALSE(w.IsItemVisible(IDC_DEW_EMAIL));
  // Bound, then the reopen of a module never remembered: FT_OpenEx fails
  // silently with that description in the name box.
  EXPECT_EQ(nameHistory, (std::vector<std::string>{"Computer Room", "Drivers Ready", "Closed", "NoDevicePresent"}));
  EXPECT_EQ(DriversLoaded.load(), 1);
  EXPECT_TRUE(messages.empty());
  EXPECT_FALSE(w.HasTimer(kDisplayTimerId));
  EXPECT_FALSE(w.IsItemEnabled(IDC_RENAME));
  EXPECT_EQ(FixedWaits(), std::vector<unsigned>{kCloseWaitMs});
  EXPECT_EQ(SettingsText(), "");  // start-up only reads
  EXPECT_EQ(w.GetWindowText(), "ORV-KM7 T/H/D Sensor");
  EXPECT_FALSE(w.Icon().isNull());
}

TEST_F(MainWindowTest, TheWindowShowsBeforeTheRememberedModuleIsReopened) {
  ConfigureSim(kLab);
  Remember("Lab");
  CKm7Dlg* window = nullptr;
  int visibleAtReopen = -1;
  // Painted, not only mapped: the reopen blocks the window's thread.
  struct PaintCounter : QObject {
    bool eventFilter(QObject*, QEvent* e) override {
      paints += e->type() == QEvent::Paint;
      return false;
    }
    int paints = 0;
  } painted;
  int paintsAtReopen = -1;
  SetFixedWaitProbe([&](unsigned ms) {
    if (ms == kCloseWaitMs && window != nullptr && visibleAtReopen < 0) {
      visibleAtReopen = window->IsWindowVisible();
      paintsAtReopen = painted.paints;
    }
  });
  CKm7Dlg& w = StartMainWindow(/*finishStartup=*/false);
  window = &w;
  w.Widget()->installEventFilter(&painted);
  // Initialised and shown: bound, the idle thread started, nothing reopened.
  EXPECT_TRUE(w.IsWindowVisible());
  EXPECT_FALSE(w.StartupDone());
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "Drivers Ready");
  EXPECT_TRUE(FixedWaits().empty());
  EXPECT_TRUE(w.acquisition.ThreadAlive());

  ASSERT_TRUE(WaitFor([&] { return w.StartupDone(); }));
  EXPECT_EQ(visibleAtReopen, 1);
  EXPECT_GE(paintsAtReopen, 1);
  w.Widget()->removeEventFilter(&painted);
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "Lab");
  EXPECT_TRUE(w.HasTimer(kDisplayTimerId));
  // It runs once only.
  w.FinishStartup();
  EXPECT_EQ(FixedWaits(), (std::vector<unsigned>{kCloseWaitMs, kStartWaitMs}));
}

TEST_F(MainWindowTest, RemembersModuleReopenedWithItsUnitEmailBoxesAndAlarmBands) {
  ConfigureSim(kLab);
  Remember("Lab");
  Settings().WriteInt(values::CFmode, "Lab", 0);
  Settings().WriteInt(values::TempEmailOnOff, "Lab", 1);
  Settings().WriteInt(values::HumEmailOnOff, "Lab", 1);
  Settings().WriteInt(values::EmailTempAbove, "Lab", 1);
  Settings().WriteText(values::EmailTempAboveTemp, "Lab", "31.5");
  Settings().WriteInt(values::EmailHumBelow, "Lab", 1);
  Settings().WriteText(values::EmailHumBelowTemp, "Lab", "20");
  // Bands under the fixed name must not win over the module's own.
  Settings().WriteInt(values::EmailTempAbove, kDefaultSensorName, 1);
  Settings().WriteText(values::EmailTempAboveTemp, kDefaultSensorName, "99");
  Settings().WriteInt(values::EmailTempBelow, kDefaultSensorName, 1);
  Settings().WriteText(values::EmailTempBelowTemp, kDefaultSensorName, "-5");

  CKm7Dlg& w = StartMainWindow();

  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "Lab");
  EXPECT_EQ(w.openSensor.name, "Lab");
  EXPECT_EQ(w.IsDlgButtonChecked(IDC_FAHRENHEIT), 1);
  EXPECT_EQ(w.openSensor.unit, 0);
  EXPECT_EQ(w.IsDlgButtonChecked(IDC_TEMP_EMAIL), 1);
  EXPECT_EQ(w.IsDlgButtonChecked(IDC_HUM_EMAIL), 1);
  EXPECT_EQ(w.openSensor.bands.temperature.highActive, 1);
  EXPECT_EQ(w.openSensor.bands.temperature.high, 31.5f);
  EXPECT_EQ(w.openSensor.bands.temperature.lowActive, 0);
  EXPECT_EQ(w.openSensor.bands.humidity.lowActive, 1);
  EXPECT_EQ(w.openSensor.bands.humidity.low, 20.0f);
  EXPECT_TRUE(w.IsItemEnabled(IDC_RENAME));
  EXPECT_TRUE(w.HasTimer(kDisplayTimerId));
  EXPECT_EQ(FixedWaits(), (std::vector<unsigned>{kCloseWaitMs, kStartWaitMs}));
  EXPECT_TRUE(messages.empty());
  // Readings arrive and are shown in Fahrenheit.
  EXPECT_TRUE(WaitFor([&] { return w.GetDlgItemText(IDC_TEMPERATURE) == "68.0 \xB0" "F   "; }))
      << w.GetDlgItemText(IDC_TEMPERATURE);
  EXPECT_GT(Readings("Lab"), 0u);
}

TEST_F(MainWindowTest, NoModuleAttachedShowsSoAndRunsNoTimer) {
  ConfigureSim("");
  CKm7Dlg& w = StartMainWindow();
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "No devices attached");
  EXPECT_FALSE(w.HasTimer(kDisplayTimerId));
  EXPECT_FALSE(w.IsItemEnabled(IDC_RENAME));
  EXPECT_TRUE(messages.empty());

  // The Open button says the same and opens no chooser.
  int modalRuns = 0;
  ui::ScopedModalHook hook([&](CDialog&) { ++modalRuns; return ui::IDCANCEL; });
  DialogDriver(w).PressButton(IDC_OPEN);
  EXPECT_EQ(modalRuns, 0);
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "No devices attached");
  EXPECT_EQ(w.GetDlgItemText(IDC_TEMPERATURE), " ");
  EXPECT_EQ(w.GetDlgItemText(IDC_HUMIDITY), " ");
  EXPECT_EQ(w.GetDlgItemText(IDC_DEW_POINT), " ");
  EXPECT_FALSE(w.HasTimer(kDisplayTimerId));
}

TEST_F(MainWindowTest, FailingBitBangEnableShowsOneMessageAndNoReadings) {
  ConfigureSim("[module]\ndescription = Lab\nbitbang_fails = 1\n");
  Remember("Lab");
  CKm7Dlg& w = StartMainWindow();
  EXPECT_EQ(messages, std::vector<std::string>{"Could not enable Bit-Bang mode.  Autoread function disabled."});
  EXPECT_FALSE(w.IsItemEnabled(IDC_RENAME));
  EXPECT_FALSE(w.HasTimer(kDisplayTimerId));
  EXPECT_FALSE(w.acquisition.AutoRead());
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "Lab");
  WaitFor([] { return false; }, 600);
  EXPECT_EQ(Readings("Lab"), 0u);
  EXPECT_EQ(w.GetDlgItemText(IDC_HUMIDITY), "");
  EXPECT_EQ(messages.size(), 1u);
}

TEST_F(MainWindowTest, ChooserRefusesCurrentlyActiveAndOpensTheFreeModule) {
  ConfigureSim(kLabAndBusyCellar);
  CKm7Dlg& w = StartMainWindow();
  ClearFixedWaits();

  std::vector<std::string> lines;
  std::string firstSelected;
  bool stayedOpen = false;
  int runs = 0;
  ui::ScopedModalHook hook([&](CDialog& d) {
    ++runs;
    EXPECT_NE(dynamic_cast<CSearch*>(&d), nullptr);
    EXPECT_EQ(d.GetWindowText(), "Select Device to Open and Click OK");
    lines = ListLines(d);
    firstSelected = d.ListGetText(IDC_DEVICE_LIST, d.ListGetCurSel(IDC_DEVICE_LIST));
    DialogDriver(d).PressButton(ui::IDOK);  // "Currently Active" is selected
    stayedOpen = d.IsWindowVisible();
    DialogDriver(d).SelectListItem(IDC_DEVICE_LIST, d.ListFindStringExact(IDC_DEVICE_LIST, "Lab"));
    DialogDriver(d).PressButton(ui::IDOK);
    return ui::IDCANCEL;
  });
  DialogDriver(w).PressButton(IDC_OPEN);

  EXPECT_EQ(runs, 1);
  EXPECT_EQ(lines, (std::vector<std::string>{"2 device(s) attached:", "Currently Active", "Lab"}));
  EXPECT_EQ(firstSelected, "Currently Active");
  EXPECT_TRUE(stayedOpen);
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "Lab");
  EXPECT_EQ(Settings().ReadText(values::Device, kDefaultSensorName), "Lab");
  EXPECT_TRUE(w.HasTimer(kDisplayTimerId));
  EXPECT_TRUE(w.IsItemEnabled(IDC_RENAME));
  // The failed reopen at start-up left no thread running: closing had none
  // to wait for.
  EXPECT_EQ(FixedWaits(), (std::vector<unsigned>{kStartWaitMs}));
  // The refusal says why.
  EXPECT_EQ(messages, std::vector<std::string>{
                          "This module is in use by another program, which must close it before "
                          "km7 can open it. Choose another module, or close that program and "
                          "press Open again."});
  EXPECT_TRUE(WaitFor([] { return Readings("Lab") >= 2; }));
}

TEST_F(MainWindowTest, DoubleClickOnAModuleOpensIt) {
  ConfigureSim(kLabAndBusyCellar);
  CKm7Dlg& w = StartMainWindow();
  bool busyStayed = false;
  ui::ScopedModalHook hook([&](CDialog& d) {
    ui::DialogDriver(d).DoubleClickListItem(IDC_DEVICE_LIST, d.ListFindStringExact(IDC_DEVICE_LIST, "Currently Active"));
    busyStayed = d.IsWindowVisible();
    ui::DialogDriver(d).DoubleClickListItem(IDC_DEVICE_LIST, d.ListFindStringExact(IDC_DEVICE_LIST, "Lab"));
    return d.IsWindowVisible() ? ui::IDCANCEL : d.Result();
  });
  ui::DialogDriver(w).PressButton(IDC_OPEN);
  EXPECT_TRUE(busyStayed);
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "Lab");
  EXPECT_EQ(Settings().ReadText(values::Device, kDefaultSensorName), "Lab");
  EXPECT_EQ(messages.size(), 1u);
  EXPECT_TRUE(WaitFor([] { return Readings("Lab") >= 1; }));
}

// Rename needs an open module: disabled at start with none, enabled by an
// open, disabled again while closed for another open that fails.
TEST_F(MainWindowTest, RenameIsEnabledOnlyWhileAModuleIsOpen) {
  ConfigureSim(kLabAndBusyCellar);
  CKm7Dlg& w = StartMainWindow();
  EXPECT_FALSE(w.IsItemEnabled(IDC_RENAME));
  {
    ui::ScopedModalHook hook([&](CDialog& d) {
      ui::DialogDriver(d).SelectListItem(IDC_DEVICE_LIST, d.ListFindStringExact(IDC_DEVICE_LIST, "Lab"));
      ui::DialogDriver(d).PressButton(ui::IDOK);
      return d.Result();
    });
    ui::DialogDriver(w).PressButton(IDC_OPEN);
  }
  EXPECT_TRUE(w.IsItemEnabled(IDC_RENAME));
  {
    // The header line is accepted as a description, and that open fails.
    ui::ScopedModalHook hook([&](CDialog& d) {
      ui::DialogDriver(d).SelectListItem(IDC_DEVICE_LIST, 0);
      ui::DialogDriver(d).PressButton(ui::IDOK);
      return d.Result();
    });
    ui::DialogDriver(w).PressButton(IDC_OPEN);
  }
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "2 device(s) attached:");
  EXPECT_FALSE(w.IsItemEnabled(IDC_RENAME));
}

TEST_F(MainWindowTest, CancelledChooserReopensThePreviousModuleAndWritesNothing) {
  ConfigureSim(kLabAndBusyCellar);
  Remember("Lab");
  CKm7Dlg& w = StartMainWindow();
  ASSERT_EQ(w.GetDlgItemText(IDC_NAME), "Lab");
  ASSERT_TRUE(WaitFor([] { return Readings("Lab") >= 1; }));
  const std::string before = SettingsText();
  nameHistory.clear();

  ui::ScopedModalHook hook([&](CDialog& d) {
    DialogDriver(d).PressKey(Qt::Key_Escape);
    return ui::IDCANCEL;
  });
  DialogDriver(w).PressButton(IDC_OPEN);

  EXPECT_EQ(nameHistory, (std::vector<std::string>{"Closed", "Lab"}));
  EXPECT_EQ(SettingsText(), before);
  EXPECT_TRUE(w.HasTimer(kDisplayTimerId));
  const auto readings = Readings("Lab");
  EXPECT_TRUE(WaitFor([&] { return Readings("Lab") > readings; }));
}

TEST_F(MainWindowTest, ChoosingTheHeaderLineRemembersItAndFailsToOpenSilently) {
  ConfigureSim(kLab);
  Remember("Lab");
  CKm7Dlg& w = StartMainWindow();
  ASSERT_TRUE(w.HasTimer(kDisplayTimerId));

  ui::ScopedModalHook hook([&](CDialog& d) {
    DialogDriver(d).SelectListItem(IDC_DEVICE_LIST, 0);
    DialogDriver(d).PressButton(ui::IDOK);
    return ui::IDCANCEL;
  });
  DialogDriver(w).PressButton(IDC_OPEN);

  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "1 device(s) attached:");
  EXPECT_EQ(Settings().ReadText(values::Device, kDefaultSensorName), "1 device(s) attached:");
  EXPECT_FALSE(w.HasTimer(kDisplayTimerId));
  EXPECT_TRUE(messages.empty());
  const auto readings = Readings("Lab");
  WaitFor([] { return false; }, 400);
  EXPECT_EQ(Readings("Lab"), readings);
}

TEST_F(MainWindowTest, OpeningTheSameModuleAgainGoesThroughClosed) {
  ConfigureSim(kLab);
  Remember("Lab");
  CKm7Dlg& w = StartMainWindow();
  nameHistory.clear();
  ui::ScopedModalHook hook([&](CDialog& d) {
    DialogDriver(d).PressButton(ui::IDOK);  // the line at index 1: the module
    return ui::IDCANCEL;
  });
  DialogDriver(w).PressButton(IDC_OPEN);
  EXPECT_EQ(nameHistory, (std::vector<std::string>{"Closed", "Lab"}));
  EXPECT_EQ(FixedWaits(), (std::vector<unsigned>{kCloseWaitMs, kStartWaitMs, kCloseWaitMs, kStartWaitMs}));
  EXPECT_TRUE(w.HasTimer(kDisplayTimerId));
  EXPECT_TRUE(messages.empty());
}

// The data log leaves the timer to the window: it stands still while the
// file dialog is up and runs again afterwards.
TEST_F(MainWindowTest, TheDisplayTimerPausesForTheLoggingDialogs) {
  ConfigureSim(kLab);
  Remember("Lab");
  CKm7Dlg& w = StartMainWindow();
  ASSERT_TRUE(w.HasTimer(kDisplayTimerId));
  int dialogs = 0;
  bool timerDuringDialog = true;
  SetLogFileDialogHook([&](const std::string&) -> std::optional<std::string> {
    ++dialogs;
    timerDuringDialog = w.HasTimer(kDisplayTimerId);
    return std::nullopt;
  });
  DialogDriver(w).PressButton(IDC_LOGGING);
  SetLogFileDialogHook(nullptr);
  EXPECT_EQ(dialogs, 1);
  EXPECT_FALSE(timerDuringDialog);
  EXPECT_TRUE(w.HasTimer(kDisplayTimerId));
  EXPECT_EQ(w.IsDlgButtonChecked(IDC_LOGGING), 0);
  EXPECT_EQ(messages, std::vector<std::string>{"No datafile selected, logging disabled."});
}

TEST_F(MainWindowTest, ExitStopsEverythingInOrderAndEndsTheWindow) {
  ConfigureSim(kLab);
  Remember("Lab");
  CKm7Dlg& w = StartMainWindow();
  ASSERT_TRUE(WaitFor([] { return Readings("Lab") >= 1; }));
  w.CheckDlgButton(IDC_CHARTING, 1);
  w.CheckDlgButton(IDC_LOGGING, 1);
  ClearFixedWaits();

  struct Seen {
    std::string name;
    bool timer = true;
    int running = -1, autoRead = -1, charting = -1, logging = -1;
  } seen;
  SetFixedWaitProbe([&](unsigned ms) {
    if (ms != kExitWaitMs) return;
    seen.name = w.GetDlgItemText(IDC_NAME);
    seen.timer = w.HasTimer(kDisplayTimerId);
    seen.running = w.acquisition.Running() ? 1 : 0;
    seen.autoRead = w.acquisition.AutoRead() ? 1 : 0;
    seen.charting = w.IsDlgButtonChecked(IDC_CHARTING);
    seen.logging = w.IsDlgButtonChecked(IDC_LOGGING);
  });
  DialogDriver(w).PressKey(Qt::Key_Escape);

  EXPECT_EQ(FixedWaits(), std::vector<unsigned>{kExitWaitMs});
  EXPECT_EQ(seen.name, "Terminating thread");
  EXPECT_FALSE(seen.timer);
  EXPECT_EQ(seen.running, 0);
  EXPECT_EQ(seen.autoRead, 0);
  EXPECT_EQ(seen.charting, 0);
  EXPECT_EQ(seen.logging, 0);
  EXPECT_EQ(w.Result(), ui::IDOK);
  EXPECT_FALSE(w.acquisition.ThreadAlive());  // the thread did not outlive the window
  const auto readings = Readings("Lab");
  WaitFor([] { return false; }, 400);
  EXPECT_EQ(Readings("Lab"), readings);
  // Esc does not save the unit.
  EXPECT_EQ(SettingsText().find("CFmode_Computer Room"), std::string::npos);
}

TEST_F(MainWindowTest, UnitSavedUnderTheFixedNameOnCloseIsRestoredWithNoModule) {
  ConfigureSim(kLab);
  Remember("Lab");
  {
    CKm7Dlg& w = StartMainWindow();
    ASSERT_EQ(w.IsDlgButtonChecked(IDC_CELSIUS), 1);
    DialogDriver(w).PressButton(IDC_FAHRENHEIT);
    EXPECT_EQ(w.openSensor.unit, 0);
    EXPECT_EQ(Settings().ReadInt(values::CFmode, "Lab"), 0);
    w.OnClose();  // the close box
    EXPECT_EQ(w.Result(), ui::IDOK);
    EXPECT_EQ(Settings().ReadInt(values::CFmode, kDefaultSensorName), 0);
  }
  DestroyMainWindow();

  ConfigureSim("");
  CKm7Dlg& again = StartMainWindow();
  EXPECT_EQ(again.GetDlgItemText(IDC_NAME), "No devices attached");
  EXPECT_EQ(again.IsDlgButtonChecked(IDC_FAHRENHEIT), 1);
  EXPECT_EQ(again.IsDlgButtonChecked(IDC_CELSIUS), 0);
}

TEST_F(MainWindowTest, AboutItemOpensTheAboutBoxModally) {
  ConfigureSim("");
  CKm7Dlg& w = StartMainWindow();
  const auto& menu = w.SystemMenu();
  ASSERT_FALSE(menu.empty());
  EXPECT_EQ(menu.back(), (std::pair<int, std::string>{IDM_ABOUTBOX, "&About km7..."}));

  std::string caption;
  bool isAbout = false;
  ui::ScopedModalHook hook([&](CDialog& d) {
    isAbout = dynamic_cast<CAboutDlg*>(&d) != nullptr;
    caption = d.GetWindowText();
    d.Grab(ScreenshotPath("about.png"));
    DialogDriver(d).PressButton(ui::IDOK);
    return ui::IDCANCEL;
  });
  w.OnSysCommand(IDM_ABOUTBOX);
  EXPECT_TRUE(isAbout);
  EXPECT_EQ(caption, "About km7");
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "No devices attached");

  isAbout = false;
  w.OnSysCommand(IDM_ABOUTBOX + 1);  // low four bits are ignored
  EXPECT_TRUE(isAbout);
}

TEST_F(MainWindowTest, ApplicationRunsTheMainWindowModallyAndReturnsFalse) {
  ConfigureSim("");
  int argc = 1;
  char name[] = "km7";
  char* argv[] = {name, nullptr};
  CKm7App app(argc, argv);
  std::string seenName;
  bool wasMainWindow = false;
  ui::ScopedModalHook hook([&](CDialog& d) {
    wasMainWindow = &d == app.mainWindow;
    // The modal run's event loop finishes the start-up.
    EXPECT_TRUE(WaitFor([&] { return static_cast<CKm7Dlg&>(d).StartupDone(); }));
    seenName = d.GetDlgItemText(IDC_NAME);
    static_cast<CKm7Dlg&>(d).OnClose();
    return ui::IDCANCEL;
  });
  EXPECT_FALSE(app.InitInstance());
  EXPECT_TRUE(wasMainWindow);
  EXPECT_EQ(seenName, "No devices attached");
  EXPECT_EQ(app.mainWindow, nullptr);
  EXPECT_EQ(Settings().ReadInt(values::CFmode, kDefaultSensorName), 1);
}

}  // namespace
}  // namespace km7::test

namespace km7::test {
namespace {

// Run only by the ctest entry app_NoDriverLibrary, whose loader path holds no
// driver library.
TEST_F(MainWindowTest, DISABLED_WithoutTheDriverLibraryTheNameBoxSaysSoAndOpenIsRefused) {
  ConfigureSim("[module]\ndescription = Lab\n");
  ProfileStore::Instance().WriteText(profile::Device, kDefaultSensorName, "Lab");
  CKm7Dlg& w = StartMainWindow();
  EXPECT_EQ(DriversLoaded.load(), 0);
  EXPECT_FALSE(w.acquisition.Running());
  EXPECT_FALSE(w.acquisition.ThreadAlive());
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "DLL Drivers Not Found");
  EXPECT_EQ(messages, std::vector<std::string>{"The DLL USB drivers are not loaded on this system."});
  EXPECT_FALSE(w.IsItemEnabled(IDC_RENAME));
  EXPECT_TRUE(FixedWaits().empty());

  int modalRuns = 0;
  ui::ScopedModalHook hook([&](CDialog&) { ++modalRuns; return ui::IDCANCEL; });
  DialogDriver(w).PressButton(IDC_OPEN);
  EXPECT_EQ(modalRuns, 0);
  EXPECT_EQ(messages.size(), 2u);
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "DLL Drivers Not Found");

  // Leaving does not touch the missing library (no "is not valid!" box).
  DialogDriver(w).PressKey(Qt::Key_Escape);
  EXPECT_EQ(messages.size(), 2u);
  EXPECT_EQ(w.Result(), ui::IDOK);
}

}  // namespace
}  // namespace km7::test
