#include "devices/Rename.h"

#include "devices/DeviceManager.h"
#include "settings/OpenSensor.h"
#include "ui/MessageBox.h"

namespace km7 {

ui::DialogTemplate RenameTemplate() {
  using namespace km7::ui;
  DialogTemplate t;
  t.caption = "Rename Current Sensor";
  t.width = 200;
  t.height = 78;
  t.pointSize = 8;
  t.style = kCaption | kSysMenu | kCentered;
  t.controls = {
      {IDC_STATIC, Kind::Static, "Current Name: ", 7, 9, 50, 8, kNoWrap},
      {IDC_CURRENT_NAME, Kind::Edit, "", 58, 7, 135, 12, kReadOnly},
      {IDC_STATIC, Kind::Static, "Enter new name for this sensor and click OK", 7, 26, 186, 8, kNoWrap},
      {IDC_NEW_NAME, Kind::Edit, "", 7, 37, 186, 12, 0},
      {IDOK, Kind::PushButton, "OK", 41, 57, 50, 14, kDefault},
      {IDCANCEL, Kind::PushButton, "Cancel", 109, 57, 50, 14, 0},
  };
  return t;
}

}  // namespace km7

CRename::CRename(km7::ui::CDialog* owner) : CDialog(km7::RenameTemplate(), owner) {}

bool CRename::OnInitDialog() {
  currentName = currentSensorName;
  CDialog::OnInitDialog();
  GotoDlgCtrl(km7::IDC_NEW_NAME);
  return false;  // the focus is set
}

void CRename::DoDataExchange(km7::ui::CDataExchange& dx) {
  km7::ui::DDX_Text(dx, km7::IDC_NEW_NAME, newName);
  km7::ui::DDX_Text(dx, km7::IDC_CURRENT_NAME, currentName);
}

void CRename::OnOK() {
  if (!UpdateData(true)) return;
  if (newName.size() < km7::kMinNameLength) {
    km7::ui::ShowMessage(km7::kMsgNameTooShort, km7::ui::MessageIcon::Warning);
    return;
  }
  currentSensorName = newName;
  EndDialog(km7::ui::IDOK);
}
