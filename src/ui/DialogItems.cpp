// Controls by id: their text, numbers, checks, state and focus.
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "ui/ControlText.h"
#include "ui/Dialog.h"
#include "ui/DialogWindow.h"
#include "ui/QtText.h"

namespace km7::ui {
namespace {

void SetRadio(QAbstractButton* b, bool on) {
  if (b->isChecked() == on) return;
  if (on) {
    b->setChecked(true);
    return;
  }
  // An exclusive group refuses to clear its checked button; "none checked"
  // is a valid state here.
  QButtonGroup* g = b->group();
  if (g != nullptr) g->setExclusive(false);
  b->setChecked(false);
  if (g != nullptr) g->setExclusive(true);
}

}  // namespace

CDialog::Control* CDialog::Find(int id) {
  for (auto& c : controls_) {
    if (c->t.id == id && c->widget) return c.get();
  }
  return nullptr;
}

const CDialog::Control* CDialog::Find(int id) const {
  for (const auto& c : controls_) {
    if (c->t.id == id && c->widget) return c.get();
  }
  return nullptr;
}

QWidget* CDialog::GetDlgItem(int id) const {
  const Control* c = Find(id);
  return c != nullptr ? c->widget.data() : nullptr;
}

std::string CDialog::GetDlgItemText(int id) const {
  const Control* c = Find(id);
  if (c == nullptr) return std::string();
  QWidget* w = c->widget;
  switch (c->t.kind) {
    case Kind::PushButton:
      if (c->t.flags & kMultiLine) return c->text;
      return FromQString(qobject_cast<QPushButton*>(w)->text());
    case Kind::CheckBox:
    case Kind::RadioButton:
      return FromQString(qobject_cast<QAbstractButton*>(w)->text());
    case Kind::Static:
      return c->text;
    case Kind::GroupBox:
      return FromQString(qobject_cast<QGroupBox*>(w)->title());
    case Kind::Edit:
      if (auto* le = qobject_cast<QLineEdit*>(w)) return FromQString(le->text());
      return FromEditLines(qobject_cast<QPlainTextEdit*>(w)->toPlainText());
    case Kind::ComboBox:
      return FromQString(qobject_cast<QComboBox*>(w)->currentText());
    case Kind::ListBox:
    case Kind::Icon:
      break;
  }
  return std::string();
}

void CDialog::SetDlgItemText(int id, const std::string& text) {
  Control* c = Find(id);
  if (c == nullptr) return;
  QWidget* w = c->widget;
  switch (c->t.kind) {
    case Kind::PushButton:
      c->text = text;
      if (c->t.flags & kMultiLine) {
        qobject_cast<QPushButton*>(w)->setText(WrapWords(ToQString(text), QFontMetrics(font_), w->width() - 8));
      } else {
        qobject_cast<QPushButton*>(w)->setText(ToQString(text));
      }
      break;
    case Kind::CheckBox:
    case Kind::RadioButton:
      qobject_cast<QAbstractButton*>(w)->setText(ToQString(text));
      break;
    case Kind::Static: {
      // A text set at run time (a sensor's name) is shown as it is: only the
      // template's fixed captions carry mnemonics. An unchanged text is left
      // alone, so that a periodic load repaints nothing.
      if (c->text == text) break;
      c->text = text;
      qobject_cast<QLabel*>(w)->setText(ToQString(text));
      break;
    }
    case Kind::GroupBox:
      qobject_cast<QGroupBox*>(w)->setTitle(ToQString(text));
      break;
    case Kind::Edit:
      if (auto* le = qobject_cast<QLineEdit*>(w)) {
        const QString q = ToQString(text);
        if (le->text() == q) break;  // nothing to repaint
        le->setText(q);
        le->setCursorPosition(0);  // show the beginning of a long text
      } else {
        auto* pe = qobject_cast<QPlainTextEdit*>(w);
        const QString q = ToEditLines(text);
        if (pe->toPlainText() != q) pe->setPlainText(q);
      }
      break;
    case Kind::ComboBox: {
      auto* cb = qobject_cast<QComboBox*>(w);
      if (cb->isEditable()) {
        cb->setEditText(ToQString(text));
      } else {
        ++suppressNotify_;
        cb->setCurrentIndex(cb->findText(ToQString(text), Qt::MatchFixedString));
        --suppressNotify_;
      }
      break;
    }
    case Kind::ListBox:
    case Kind::Icon:
      break;
  }
}

int CDialog::GetDlgItemInt(int id, bool* ok) const {
  const std::string text = GetDlgItemText(id);
  const char* s = text.c_str();
  while (*s == ' ' || *s == '\t') ++s;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(s, &end, 10);
  const bool good = end != s && errno != ERANGE && v >= INT_MIN && v <= INT_MAX;
  if (ok != nullptr) *ok = good;
  return good ? static_cast<int>(v) : 0;
}

void CDialog::SetDlgItemInt(int id, int value) { SetDlgItemText(id, std::to_string(value)); }

int CDialog::IsDlgButtonChecked(int id) const {
  const Control* c = Find(id);
  if (c == nullptr) return 0;
  if (auto* cb = qobject_cast<QCheckBox*>(c->widget.data())) {
    switch (cb->checkState()) {
      case Qt::Checked: return 1;
      case Qt::PartiallyChecked: return 2;
      default: return 0;
    }
  }
  if (auto* b = qobject_cast<QAbstractButton*>(c->widget.data())) return b->isChecked() ? 1 : 0;
  return 0;
}

void CDialog::CheckDlgButton(int id, int checked) {
  Control* c = Find(id);
  if (c == nullptr) return;
  if (auto* cb = qobject_cast<QCheckBox*>(c->widget.data())) {
    if (checked == 2) cb->setTristate(true);
    const Qt::CheckState state = checked == 2 ? Qt::PartiallyChecked : (checked != 0 ? Qt::Checked : Qt::Unchecked);
    // The toolkit repaints the box even when its state stays.
    if (cb->checkState() != state) cb->setCheckState(state);
  } else if (auto* rb = qobject_cast<QRadioButton*>(c->widget.data())) {
    SetRadio(rb, checked != 0);
  }
}

void CDialog::CheckRadioButton(int firstId, int lastId, int checkId) {
  for (auto& c : controls_) {
    if (c->t.kind != Kind::RadioButton || !c->widget || c->t.id < firstId || c->t.id > lastId) continue;
    if (c->t.id != checkId) SetRadio(qobject_cast<QAbstractButton*>(c->widget.data()), false);
  }
  if (Control* c = Find(checkId); c != nullptr && c->t.kind == Kind::RadioButton) {
    SetRadio(qobject_cast<QAbstractButton*>(c->widget.data()), true);
  }
}

int CDialog::RadioGroupOf(int id) const {
  const Control* c = Find(id);
  return c != nullptr ? c->group : -1;
}

void CDialog::SetRadioChecked(int group, int indexInGroup) {
  if (group < 0 || group >= static_cast<int>(radioGroups_.size())) return;
  const auto& g = radioGroups_[static_cast<size_t>(group)];
  for (size_t i = 0; i < g.size(); ++i) {
    if (static_cast<int>(i) != indexInGroup) SetRadio(qobject_cast<QAbstractButton*>(g[i]->widget.data()), false);
  }
  if (indexInGroup >= 0 && indexInGroup < static_cast<int>(g.size())) {
    SetRadio(qobject_cast<QAbstractButton*>(g[static_cast<size_t>(indexInGroup)]->widget.data()), true);
  }
}

void CDialog::EnableItem(int id, bool enable) {
  if (QWidget* w = GetDlgItem(id)) w->setEnabled(enable);
}

bool CDialog::IsItemEnabled(int id) const {
  QWidget* w = GetDlgItem(id);
  return w != nullptr && w->isEnabled();
}

void CDialog::ShowItem(int id, bool show) {
  if (QWidget* w = GetDlgItem(id)) w->setVisible(show);
}

bool CDialog::IsItemVisible(int id) const {
  QWidget* w = GetDlgItem(id);
  return w != nullptr && !w->isHidden();
}

void CDialog::UpdateReadOnlyLook(Control& c) {
  if (c.t.kind != Kind::Edit || !c.widget || !window_) return;
  bool readOnly = false;
  if (auto* le = qobject_cast<QLineEdit*>(c.widget.data())) readOnly = le->isReadOnly();
  if (auto* pe = qobject_cast<QPlainTextEdit*>(c.widget.data())) readOnly = pe->isReadOnly();
  // Read-only fields show the dialog's face, as on the original platform.
  QPalette pal = window_->palette();
  if (readOnly) pal.setColor(QPalette::Base, pal.color(QPalette::Window));
  c.widget->setPalette(pal);
}

void CDialog::SetItemReadOnly(int id, bool readOnly) {
  Control* c = Find(id);
  if (c == nullptr) return;
  if (auto* le = qobject_cast<QLineEdit*>(c->widget.data())) le->setReadOnly(readOnly);
  if (auto* pe = qobject_cast<QPlainTextEdit*>(c->widget.data())) pe->setReadOnly(readOnly);
  UpdateReadOnlyLook(*c);
}

void CDialog::SetDlgItemIcon(int id, const QIcon& icon) {
  Control* c = Find(id);
  if (c == nullptr || c->t.kind != Kind::Icon) return;
  auto* l = qobject_cast<QLabel*>(c->widget.data());
  l->setPixmap(icon.pixmap(l->size()));
}

namespace {
// Typing into an edit that got the focus from the dialog replaces its text.
void SelectAllIfEdit(QWidget* w) {
  if (auto* le = qobject_cast<QLineEdit*>(w)) {
    le->selectAll();
  } else if (auto* cb = qobject_cast<QComboBox*>(w); cb != nullptr && cb->lineEdit() != nullptr) {
    cb->lineEdit()->selectAll();
  }
}
}  // namespace

void CDialog::GotoDlgCtrl(int id) {
  QWidget* w = GetDlgItem(id);
  if (w == nullptr) return;
  w->setFocus(Qt::OtherFocusReason);
  SelectAllIfEdit(w);
}

void CDialog::SetInitialFocus() {
  if (window_->focusWidget() != nullptr) return;  // OnInitDialog chose
  for (const auto& c : controls_) {
    QWidget* w = c->widget;
    if (w == nullptr || w->isHidden() || !w->isEnabled()) continue;
    if ((w->focusPolicy() & Qt::TabFocus) != Qt::TabFocus) continue;
    w->setFocus(Qt::TabFocusReason);
    SelectAllIfEdit(w);
    return;
  }
}

}  // namespace km7::ui
