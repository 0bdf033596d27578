#include <QApplication>
#include <QImage>
#include <gtest/gtest.h>

#include "ui/Dialog.h"
#include "ui/MessageBox.h"
#include "ui/QtTestEnvironment.h"

namespace km7::ui {
namespace {

DialogTemplate SampleMainWindow() {
  DialogTemplate t;
  t.caption = "ORV-KM7 T/H/D Sensor";
  t.width = 86;
  t.height = 81;
  t.pointSize = 14;
  t.style = kCaption | kSysMenu | kMinimizeBox | kCentered;
  t.controls = {
      {1009, Kind::Edit, "", 7, 0, 78, 12, kReadOnly | kNoBorder},
      {1008, Kind::CheckBox, "Charting", 9, 11, 34, 8, 0},
      {1031, Kind::CheckBox, "Logging", 9, 19, 37, 8, 0},
      {1006, Kind::RadioButton, "\xB0" "F", 7, 28, 16, 8, kGroup},
      {1007, Kind::RadioButton, "\xB0" "C", 24, 28, 16, 8, 0},
      {1010, Kind::PushButton, "Open", 50, 13, 30, 9, kDefault},
      {1012, Kind::PushButton, "Rename", 50, 24, 30, 10, 0},
      {IDC_STATIC, Kind::Static, "T", 8, 38, 8, 8, 0},
      {1001, Kind::Edit, "", 16, 36, 26, 12, kReadOnly},
      {1000, Kind::CheckBox, "Email", 44, 38, 26, 10, 0},
      {IDC_STATIC, Kind::Static, "H", 8, 52, 8, 8, 0},
      {1003, Kind::Edit, "", 16, 50, 26, 12, kReadOnly},
      {1002, Kind::CheckBox, "Email", 44, 52, 26, 10, 0},
      {IDC_STATIC, Kind::Static, "D", 8, 66, 8, 8, 0},
      {1005, Kind::Edit, "", 16, 64, 26, 12, kReadOnly},
      {1004, Kind::CheckBox, "Email", 44, 66, 26, 10, kHidden},
  };
  return t;
}

TEST(Screenshot, SampleMainWindow) {
  CDialog d(SampleMainWindow());
  ASSERT_TRUE(d.Create());
  d.SetDlgItemText(1009, "Computer Room");
  d.SetDlgItemText(1001, "22.5\xB0" "C");
  d.SetDlgItemText(1003, "45.3%");
  d.SetDlgItemText(1005, "10.2\xB0" "C");
  d.CheckDlgButton(1007, 1);
  ASSERT_TRUE(d.Grab("ui_sample_main.png"));
  d.DestroyWindow();
}

}  // namespace
}  // namespace km7::ui
