#include "devices/Search.h"

#include <cstdio>

#include "settings/ProfileStore.h"
#include "devices/DeviceList.h"
#include "settings/OpenSensor.h"
#include "ui/MessageBox.h"

namespace km7 {

ui::DialogTemplate SearchTemplate() {
  using namespace km7::ui;
  DialogTemplate t;
  t.caption = "Select Device to Open and Click OK";
  t.width = 186;
  t.height = 95;
  t.pointSize = 8;
  t.style = kCaption | kSysMenu | kCentered;
  t.controls = {
      {IDC_DEVICE_LIST, Kind::ListBox, "", 7, 7, 172, 62, kSorted},
      {IDOK, Kind::PushButton, "OK", 68, 74, 50, 14, kDefault},
  };
  return t;
}

}  // namespace km7

CSearch::CSearch(unsigned count, std::vector<std::string> descriptions, km7::ui::CDialog* owner)
    : CDialog(km7::SearchTemplate(), owner), count_(count), descriptions_(std::move(descriptions)) {
  // A double click on a line is the line chosen and OK pressed.
  Bind(km7::ui::Notify::DoubleClick, km7::IDC_DEVICE_LIST, [this] { OnOK(); });
}

bool CSearch::OnInitDialog() {
  CDialog::OnInitDialog();
  char header[64];
  std::snprintf(header, sizeof header, "%d device(s) attached:", static_cast<int>(count_));
  ListAddString(km7::IDC_DEVICE_LIST, header);
  for (unsigned i = 0; i < count_ && i < descriptions_.size(); ++i)
    ListAddString(km7::IDC_DEVICE_LIST, descriptions_[i]);
  ListSetCurSel(km7::IDC_DEVICE_LIST, 1);
  return true;
}

void CSearch::OnOK() {
  const int index = ListGetCurSel(km7::IDC_DEVICE_LIST);
  if (index < 0) return;  // nothing chosen: stay open
  std::string line = ListGetText(km7::IDC_DEVICE_LIST, index);
  if (line.find(km7::kCurrentlyActive) != std::string::npos) {
    km7::ui::ShowMessage(km7::kMsgModuleInUse, km7::ui::MessageIcon::Information);
    return;
  }
  chosen = line;
  ProfileStore::Instance().WriteText(km7::profile::Device, km7::kDefaultSensorName, chosen);
  EndDialog(km7::ui::IDOK);
}
