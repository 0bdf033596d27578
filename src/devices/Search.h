#pragma once
// The chooser: lists the attached modules and lets the user pick the one to
// open. It has no Cancel button; its close box and Esc cancel it.
#include <string>
#include <vector>

#include "ui/Dialog.h"

namespace km7 {
inline constexpr int kSearchTemplateId = 129;
inline constexpr int IDC_DEVICE_LIST = 1011;
ui::DialogTemplate SearchTemplate();
// Shown when a module in use by another program is chosen; the chooser stays.
inline constexpr char kMsgModuleInUse[] =
    "This module is in use by another program, which must close it before km7 can open it. "
    "Choose another module, or close that program and press Open again.";
}  // namespace km7

class CSearch : public km7::ui::CDialog {
 public:
  CSearch(unsigned count, std::vector<std::string> descriptions, km7::ui::CDialog* owner = nullptr);

  bool OnInitDialog() override;
  // Refuses a line that names a module in use elsewhere (saying why);
  // otherwise remembers the line as the module to open and closes with OK.
  // A double click on a line does the same.
  void OnOK() override;

  // The accepted line (Windows-1252).
  std::string chosen;

 private:
  unsigned count_;
  std::vector<std::string> descriptions_;
};
