#include "app/AboutDlg.h"

#include "app/Km7Dlg.h"

namespace km7 {

ui::DialogTemplate AboutTemplate() {
  using namespace km7::ui;
  DialogTemplate t;
  t.caption = "About km7";
  t.width = 235;
  t.height = 55;
  t.pointSize = 8;
  t.style = kCaption | kSysMenu | kCentered;
  t.controls = {
      {IDC_STATIC, Kind::Icon, kIconName, 11, 17, 20, 20, 0},
      {IDC_STATIC, Kind::Static, "ORV-KM7 Version 1.2h", 40, 10, 119, 8, kNoWrap},
      {IDC_STATIC, Kind::Static, "Temperature and humidity monitor", 40, 22, 133, 8, kNoWrap},
      {IDC_STATIC, Kind::Static, "(c) 2026 The km7 developers, MIT License", 40, 34, 133, 8, kNoWrap},
      {IDOK, Kind::PushButton, "OK", 178, 7, 50, 14, kDefault},
  };
  return t;
}

}  // namespace km7

CAboutDlg::CAboutDlg(km7::ui::CDialog* owner) : CDialog(km7::AboutTemplate(), owner) {}
