#include "devices/Rename.h"

#include <set>

#include "devices/DeviceManager.h"
#include "settings/OpenSensor.h"
#include "settings/ProfileStore.h"
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

std::string BadNameCharacter(std::string_view name) {
  for (char c : name) {
    if (!ProfileStore::CannotHoldInName(c)) continue;
    if (c == '=') return "\"=\"";
    static const char kHex[] = "0123456789ABCDEF";
    const auto u = static_cast<unsigned char>(c);
    return std::string("the control character 0x") + kHex[u >> 4] + kHex[u & 0xF];
  }
  return {};
}

std::string RenameRefusal(std::string_view name) {
  if (const std::string bad = BadNameCharacter(name); !bad.empty())
    return profile::FillMessage(kMsgNameBadCharacter, bad);
  if (name.find_first_not_of(" \t") == std::string_view::npos) return kMsgNameAllBlank;
  return {};
}

std::string EscapedNameNoticeOnce(const std::string& name) {
  const std::string bad = BadNameCharacter(name);
  if (bad.empty()) return {};
  static std::set<std::string> told;
  if (!told.insert(name).second) return {};
  // Three blanks, filled in order; the name is never read as a format.
  const std::string_view format = kMsgNameStoredEscaped;
  const std::string fills[] = {bad, name, ProfileStore::EscapedSuffix(name)};
  std::string text;
  std::size_t next = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's' && next < 3) {
      text += fills[next++];
      ++i;
    } else {
      text += format[i];
    }
  }
  return text;
}

}  // namespace km7

CRename::CRename(std::string& sensorName, km7::ui::CDialog* owner)
    : CDialog(km7::RenameTemplate(), owner), sensorName_(sensorName) {}

bool CRename::OnInitDialog() {
  currentName = sensorName_;
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
  // The module would take it, but from then on none of its settings could
  // be stored.
  if (const std::string refusal = km7::RenameRefusal(newName); !refusal.empty()) {
    km7::ui::ShowMessage(refusal, km7::ui::MessageIcon::Warning);
    return;
  }
  sensorName_ = newName;
  EndDialog(km7::ui::IDOK);
}
