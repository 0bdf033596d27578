// Renaming the open module through the bridge's configuration memory.
#include "AppTestSupport.h"
#include "settings/ProfileStore.h"
#include "settings/OpenSensor.h"
#include "devices/Rename.h"
#include "devices/Search.h"
#include "ui/DialogDriver.h"

using km7::ui::DialogDriver;

namespace km7::test {
namespace {

namespace values = km7::profile;
using ui::CDialog;

constexpr char kLab[] = "[module]\ndescription = Lab\n";

class RenameTest : public AppTest {
 protected:
  CKm7Dlg& StartWithLab(const std::string& sim = kLab) {
    ConfigureSim(sim);
    ProfileStore::Instance().WriteText(values::Device, kDefaultSensorName, "Lab");
    CKm7Dlg& w = StartMainWindow();
    EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "Lab");
    EXPECT_TRUE(w.IsItemEnabled(IDC_RENAME));
    EXPECT_TRUE(WaitFor([] { return Readings("Lab") >= 1; }));
    ClearFixedWaits();
    return w;
  }
  // Runs Rename, typing name and pressing OK.
  void Rename(CKm7Dlg& w, const std::string& name) {
    ui::ScopedModalHook hook([&](CDialog& d) {
      DialogDriver(d).TypeText(IDC_NEW_NAME, name);
      DialogDriver(d).PressButton(ui::IDOK);
      return ui::IDCANCEL;
    });
    DialogDriver(w).PressButton(IDC_RENAME);
  }
  std::vector<std::string> Chooser(CKm7Dlg& w) {
    std::vector<std::string> lines;
    ui::ScopedModalHook hook([&](CDialog& d) {
      for (int i = 0; i < d.ListGetCount(IDC_DEVICE_LIST); ++i) lines.push_back(d.ListGetText(IDC_DEVICE_LIST, i));
      DialogDriver(d).PressKey(Qt::Key_Escape);
      return ui::IDCANCEL;
    });
    DialogDriver(w).PressButton(IDC_OPEN);
    return lines;
  }
};

TEST_F(RenameTest, OneCharacterIsRefusedAndCancelLeavesAcquisitionRunning) {
  CKm7Dlg& w = StartWithLab();
  std::string current, caption, kept;
  bool stayedOpen = false;
  bool renameDisabledMeanwhile = false;
  ui::ScopedModalHook hook([&](CDialog& d) {
    caption = d.GetWindowText();
    current = d.GetDlgItemText(IDC_CURRENT_NAME);
    renameDisabledMeanwhile = !w.IsItemEnabled(IDC_RENAME);
    DialogDriver(d).TypeText(IDC_NEW_NAME, "X");
    DialogDriver(d).PressButton(ui::IDOK);
    stayedOpen = d.IsWindowVisible();
    kept = d.GetDlgItemText(IDC_NEW_NAME);
    DialogDriver(d).PressButton(ui::IDCANCEL);
    return ui::IDCANCEL;
  });
  DialogDriver(w).PressButton(IDC_RENAME);

  EXPECT_EQ(caption, "Rename Current Sensor");
  EXPECT_EQ(current, "Lab");
  EXPECT_TRUE(renameDisabledMeanwhile);
  EXPECT_EQ(messages, std::vector<std::string>{"New description strings must be at least 2 characters in length."});
  EXPECT_TRUE(stayedOpen);
  EXPECT_EQ(kept, "X");
  EXPECT_TRUE(w.IsItemEnabled(IDC_RENAME));
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "Lab");
  EXPECT_EQ(w.openSensor.name, "Lab");
  EXPECT_TRUE(FixedWaits().empty());
  EXPECT_TRUE(w.HasTimer(kDisplayTimerId));
  const auto readings = Readings("Lab");
  EXPECT_TRUE(WaitFor([&] { return Readings("Lab") > readings; }));
}

TEST_F(RenameTest, SuccessStopsAcquisitionClosesTheDeviceAndExplainsTheReconnect) {
  CKm7Dlg& w = StartWithLab();
  Rename(w, "Cellar");

  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0],
            "The new description string was successfully written.  \n\n"
            "The description string is only read at power up.  You \n"
            "must terminate this program, disconnect and then \n"
            "reconnect the sensor before the new name \n"
            "will take effect.");
  EXPECT_EQ(w.openSensor.name, "Cellar");
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "Closed");
  // The device is closed: nothing to rename until the next open.
  EXPECT_FALSE(w.IsItemEnabled(IDC_RENAME));
  EXPECT_EQ(FixedWaits(), std::vector<unsigned>{kCloseWaitMs});
  EXPECT_FALSE(w.acquisition.Running());
  EXPECT_FALSE(w.acquisition.ThreadAlive());
  const auto readings = Readings("Lab");
  WaitFor([] { return false; }, 400);
  EXPECT_EQ(Readings("Lab"), readings);
  // The timer keeps running, but the stopped module's last values are not
  // shown as if they were live.
  EXPECT_TRUE(w.HasTimer(kDisplayTimerId));
  EXPECT_TRUE(WaitFor([&] { return w.GetDlgItemText(IDC_TEMPERATURE) == "--"; }));
  EXPECT_EQ(w.GetDlgItemText(IDC_HUMIDITY), "--");

  // Until it is plugged in again the module reports its old name.
  EXPECT_EQ(Chooser(w), (std::vector<std::string>{"1 device(s) attached:", "Lab"}));
  Replug();
  EXPECT_EQ(Chooser(w), (std::vector<std::string>{"1 device(s) attached:", "Cellar"}));
  EXPECT_EQ(messages.size(), 1u);
}

TEST_F(RenameTest, ANameTheMemoryCannotHoldReportsEeProgramFailed) {
  CKm7Dlg& w = StartWithLab("description_limit = 8\n[module]\ndescription = Lab\n");
  Rename(w, "Greenhouse North");
  EXPECT_EQ(messages, std::vector<std::string>{"EE_Program FAILED!"});
  EXPECT_FALSE(w.IsItemEnabled(IDC_RENAME));  // until a later open
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "Closed");
  EXPECT_EQ(w.openSensor.name, "Greenhouse North");
  Replug();
  EXPECT_EQ(Chooser(w), (std::vector<std::string>{"1 device(s) attached:", "Lab"}));
}

TEST_F(RenameTest, SettingsOfTheOldNameStayAndTheNewNameStartsWithDefaults) {
  CKm7Dlg& w = StartWithLab();
  DialogDriver(w).PressButton(IDC_FAHRENHEIT);
  Rename(w, "Cellar");
  Replug();
  ui::ScopedModalHook hook([&](CDialog& d) {
    DialogDriver(d).SelectListItem(IDC_DEVICE_LIST, d.ListFindStringExact(IDC_DEVICE_LIST, "Cellar"));
    DialogDriver(d).PressButton(ui::IDOK);
    return ui::IDCANCEL;
  });
  DialogDriver(w).PressButton(IDC_OPEN);
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "Cellar");
  EXPECT_EQ(w.IsDlgButtonChecked(IDC_CELSIUS), 1);
  EXPECT_EQ(ProfileStore::Instance().ReadInt(values::CFmode, "Lab"), 0);
  EXPECT_TRUE(WaitFor([] { return Readings("Cellar") >= 1; }));
}

// Names the module would take but the settings file could not use.
TEST_F(RenameTest, NamesTheSettingsCannotHoldAreRefusedNamingTheCharacter) {
  CKm7Dlg& w = StartWithLab();
  struct Case {
    std::string name, message;
  };
  const Case cases[] = {
      {"Lab=2", "A sensor's name cannot contain \"=\", which the settings file cannot hold in a setting's "
                "name: km7 would store that sensor's settings under another name. Please choose another name."},
      {"   ", "A sensor's name cannot consist of blanks only. Please choose another name."},
  };
  for (const Case& c : cases) {
    messages.clear();
    bool stayedOpen = false;
    ui::ScopedModalHook hook([&](CDialog& d) {
      DialogDriver(d).TypeText(IDC_NEW_NAME, c.name);
      DialogDriver(d).PressButton(ui::IDOK);
      stayedOpen = d.IsWindowVisible();
      DialogDriver(d).PressButton(ui::IDCANCEL);
      return ui::IDCANCEL;
    });
    DialogDriver(w).PressButton(IDC_RENAME);
    EXPECT_EQ(messages, std::vector<std::string>{c.message}) << c.name;
    EXPECT_TRUE(stayedOpen) << c.name;
    EXPECT_EQ(w.openSensor.name, "Lab");
  }
  // Nothing was written to the module.
  Replug();
  EXPECT_EQ(Chooser(w), (std::vector<std::string>{"1 device(s) attached:", "Lab"}));
}

// Named elsewhere: its settings are kept under an escaped name, and the user
// is told once.
TEST_F(RenameTest, AModuleAlreadyNamedSoKeepsItsSettingsUnderAnEscapedName) {
  ConfigureSim("[module]\ndescription = Lab=2\n");
  ProfileStore::Instance().WriteText(values::Device, kDefaultSensorName, "Lab=2");
  CKm7Dlg& w = StartMainWindow();
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "Lab=2");
  const std::vector<std::string> told{
      "This sensor's name contains \"=\", which the settings file cannot hold in a setting's name. The "
      "settings of \"Lab=2\" are stored under \"Lab%3D2\" instead. Rename the sensor to avoid this."};
  EXPECT_EQ(messages, told);
  DialogDriver(w).PressButton(IDC_FAHRENHEIT);
  EXPECT_NE(SettingsText().find("ORVKM7CFmode_Lab%3D2=0"), std::string::npos) << SettingsText();
  EXPECT_EQ(ProfileStore::Instance().ReadInt(values::CFmode, "Lab=2"), 0);
  // Started again in the same run: not told again.
  StartMainWindow();
  EXPECT_EQ(messages, told);
}

}  // namespace
}  // namespace km7::test
