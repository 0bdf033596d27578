#pragma once
// The rename dialog: shows the sensor's current name and takes a new one.
#include <string>

#include "ui/Dialog.h"

namespace km7 {
inline constexpr int kRenameTemplateId = 130;
inline constexpr int IDC_NEW_NAME = 1001;
inline constexpr int IDC_CURRENT_NAME = 1003;
inline constexpr std::size_t kMinNameLength = 2;
ui::DialogTemplate RenameTemplate();
}  // namespace km7

class CRename : public km7::ui::CDialog {
 public:
  explicit CRename(km7::ui::CDialog* owner = nullptr);

  // Shows currentSensorName as the current name.
  bool OnInitDialog() override;
  void DoDataExchange(km7::ui::CDataExchange& dx) override;
  // Refuses a name shorter than two characters (the dialog stays open);
  // otherwise makes it currentSensorName and closes with OK.
  void OnOK() override;

  std::string currentName;
  std::string newName;
};
