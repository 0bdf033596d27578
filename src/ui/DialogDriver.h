#pragma once
// Drives a dialog in tests as a user would, through the same paths as the
// mouse and the keyboard. Make the call on a driver for the dialog instead of
// on the dialog itself; the names and arguments are the same:
//
//   km7::ui::DialogDriver(dlg).PressButton(IDOK);
//   km7::ui::DialogDriver(dlg).TypeText(1001, "Lab");
//
//   km7::ui::DialogDriver drive(dlg);   // or keep one for several steps
//   drive.SelectListItem(1011, 1);
//   drive.PressKey(Qt::Key_Escape);
//
// A driver holds only a reference: make one wherever the dialog is at hand,
// also inside a ScopedModalHook's function.
#include <string>

#include "ui/Dialog.h"

namespace km7::ui {

class DialogDriver {
 public:
  explicit DialogDriver(CDialog& dialog) : d_(dialog) {}

  // Clicks an enabled button: toggles a check box, checks a radio button, then
  // notifies. False for a disabled or unknown button.
  bool PressButton(int id);
  // Selects a line of a list or combo box, then SelChange.
  bool SelectListItem(int id, int index);
  bool DoubleClickListItem(int id, int index);
  // Replaces an edit's (or an editable combo box's) text as if typed; what
  // its flags refuse (kNumber, kNoHScroll) is refused.
  bool TypeText(int id, const std::string& text);
  // Types characters at the keyboard into the control with the focus: what is
  // selected is replaced and the rest stays.
  bool TypeKeys(const std::string& text);
  // A key press and release on the control with the focus (else the window),
  // e.g. Qt::Key_Return, Qt::Key_Escape.
  void PressKey(int qtKey);

 private:
  CDialog& d_;
};

}  // namespace km7::ui
