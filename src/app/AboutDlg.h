#pragma once
// The About box: the program's icon, version, what it is and its licence.
#include "ui/Dialog.h"

namespace km7 {
inline constexpr int kAboutTemplateId = 100;
ui::DialogTemplate AboutTemplate();
}  // namespace km7

class CAboutDlg : public km7::ui::CDialog {
 public:
  explicit CAboutDlg(km7::ui::CDialog* owner = nullptr);
};
