// Data exchange: members to controls and back (UpdateData and the bindings).
#include <QAbstractButton>
#include <QLineEdit>

#include "ui/Dialog.h"
#include "ui/DialogWindow.h"
#include "ui/MessageBox.h"
#include "ui/NumberText.h"
#include "ui/QtText.h"

namespace km7::ui {

void CDataExchange::Fail(int id, const std::string& message) {
  if (failed_) return;
  failed_ = true;
  ShowMessage(message, MessageIcon::Warning);
  dialog_.GotoDlgCtrl(id);
  if (auto* le = qobject_cast<QLineEdit*>(dialog_.GetDlgItem(id))) le->selectAll();
}

void DDX_Text(CDataExchange& dx, int id, std::string& value) {
  if (dx.Failed()) return;
  if (dx.Saving()) {
    value = dx.Dialog().GetDlgItemText(id);
  } else {
    dx.Dialog().SetDlgItemText(id, value);
  }
}

void DDX_Text(CDataExchange& dx, int id, int& value) {
  if (dx.Failed()) return;
  if (dx.Saving()) {
    int v = 0;
    if (!ParseWholeInt(dx.Dialog().GetDlgItemText(id), v)) {
      dx.Fail(id, "Please enter an integer.");
      return;
    }
    value = v;
  } else {
    dx.Dialog().SetDlgItemText(id, std::to_string(value));
  }
}

void DDX_Text(CDataExchange& dx, int id, double& value) {
  if (dx.Failed()) return;
  if (dx.Saving()) {
    double v = 0;
    if (!ParseWholeDouble(dx.Dialog().GetDlgItemText(id), v)) {
      dx.Fail(id, "Please enter a number.");
      return;
    }
    value = v;
  } else {
    dx.Dialog().SetDlgItemText(id, FormatDouble(value));
  }
}

void DDX_Check(CDataExchange& dx, int id, int& value) {
  if (dx.Failed()) return;
  if (dx.Saving()) {
    value = dx.Dialog().IsDlgButtonChecked(id);
  } else {
    dx.Dialog().CheckDlgButton(id, value);
  }
}

void DDX_Radio(CDataExchange& dx, int firstId, int& value) {
  if (dx.Failed()) return;
  CDialog& d = dx.Dialog();
  const int g = d.RadioGroupOf(firstId);
  if (g < 0) return;
  if (dx.Saving()) {
    value = -1;
    const auto& group = d.radioGroups_[static_cast<size_t>(g)];
    for (size_t i = 0; i < group.size(); ++i) {
      auto* b = qobject_cast<QAbstractButton*>(group[i]->widget.data());
      if (b != nullptr && b->isChecked()) {
        value = static_cast<int>(i);
        break;
      }
    }
  } else {
    d.SetRadioChecked(g, value);
  }
}

void DDX_LBIndex(CDataExchange& dx, int id, int& index) {
  if (dx.Failed()) return;
  if (dx.Saving()) {
    index = dx.Dialog().ListGetCurSel(id);
  } else {
    dx.Dialog().ListSetCurSel(id, index);
  }
}

void DDX_LBString(CDataExchange& dx, int id, std::string& value) {
  if (dx.Failed()) return;
  CDialog& d = dx.Dialog();
  if (dx.Saving()) {
    const int sel = d.ListGetCurSel(id);
    value = sel < 0 ? std::string() : d.ListGetText(id, sel);
    return;
  }
  // The first line starting with the value; no match keeps the selection.
  const QString want = ToQString(value);
  for (int i = 0; i < d.ListGetCount(id); ++i) {
    if (ToQString(d.ListGetText(id, i)).startsWith(want, Qt::CaseInsensitive)) {
      d.ListSetCurSel(id, i);
      return;
    }
  }
}

void DDX_CBIndex(CDataExchange& dx, int id, int& index) {
  if (dx.Failed()) return;
  if (dx.Saving()) {
    index = dx.Dialog().ComboGetCurSel(id);
  } else {
    dx.Dialog().ComboSetCurSel(id, index);
  }
}

void DDX_CBString(CDataExchange& dx, int id, std::string& value) {
  if (dx.Failed()) return;
  CDialog& d = dx.Dialog();
  if (dx.Saving()) {
    value = d.GetDlgItemText(id);
    return;
  }
  const QString want = ToQString(value);
  int prefix = -1;
  for (int i = 0; i < d.ComboGetCount(id); ++i) {
    const QString item = ToQString(d.ComboGetLBText(id, i));
    if (QString::compare(item, want, Qt::CaseInsensitive) == 0) {
      d.ComboSetCurSel(id, i);
      return;
    }
    if (prefix < 0 && item.startsWith(want, Qt::CaseInsensitive)) prefix = i;
  }
  if (prefix >= 0) {
    d.ComboSetCurSel(id, prefix);
  } else {
    d.SetDlgItemText(id, value);
  }
}


bool CDialog::UpdateData(bool save) {
  if (!window_) return false;
  CDataExchange dx(*this, save);
  DoDataExchange(dx);
  return !dx.Failed();
}

}  // namespace km7::ui
