// Drivers for tests: act on a dialog as a user would, through the same paths.
#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QValidator>

#include "ui/ControlText.h"
#include "ui/Dialog.h"
#include "ui/DialogWindow.h"
#include "ui/QtText.h"

namespace km7::ui {

namespace {
QListWidget* AsList(QWidget* w) { return qobject_cast<QListWidget*>(w); }
QComboBox* AsCombo(QWidget* w) { return qobject_cast<QComboBox*>(w); }
}  // namespace

bool CDialog::PressButton(int id) {
  auto* b = qobject_cast<QAbstractButton*>(GetDlgItem(id));
  if (b == nullptr || !b->isEnabled()) return false;
  b->click();  // toggles a check box, checks a radio button, then notifies
  return true;
}

bool CDialog::SelectListItem(int id, int index) {
  QWidget* w = GetDlgItem(id);
  if (w == nullptr || !w->isEnabled()) return false;
  if (AsList(w) != nullptr) {
    if (!ListSetCurSel(id, index)) return false;
  } else if (AsCombo(w) != nullptr) {
    if (!ComboSetCurSel(id, index)) return false;
  } else {
    return false;
  }
  Dispatch(id, Notify::SelChange);
  return true;
}

bool CDialog::DoubleClickListItem(int id, int index) {
  QPointer<DialogWindow> w = window_;
  if (AsList(GetDlgItem(id)) == nullptr || !SelectListItem(id, index)) return false;
  if (w && w == window_) Dispatch(id, Notify::DoubleClick);
  return true;
}

bool CDialog::TypeText(int id, const std::string& text) {
  QWidget* w = GetDlgItem(id);
  if (w == nullptr || !w->isEnabled()) return false;
  QString q = ToQString(text);
  if (auto* le = qobject_cast<QLineEdit*>(w)) {
    if (le->isReadOnly()) return false;
    if (const QValidator* v = le->validator()) {
      int pos = 0;
      if (v->validate(q, pos) == QValidator::Invalid) return false;
    }
    le->setText(q);
    return true;
  }
  if (auto* pe = qobject_cast<QPlainTextEdit*>(w)) {
    if (pe->isReadOnly()) return false;
    pe->setPlainText(ToEditLines(text));
    return true;
  }
  if (auto* cb = AsCombo(w); cb != nullptr && cb->isEditable()) {
    cb->setEditText(q);
    Dispatch(id, Notify::EditChange);
    return true;
  }
  return false;
}

bool CDialog::TypeKeys(const std::string& text) {
  if (!window_) return false;
  for (const char ch : text) {
    QWidget* target = window_ ? window_->focusWidget() : nullptr;
    if (target == nullptr) return false;
    const QString q = ToQString(std::string(1, ch));
    const int key = q.at(0).toUpper().unicode();
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, q);
    QCoreApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, q);
    if (window_ && window_->focusWidget() == target) QCoreApplication::sendEvent(target, &release);
  }
  return true;
}

void CDialog::PressKey(int qtKey) {
  if (!window_) return;
  QPointer<QWidget> target = window_->focusWidget();
  if (!target) target = window_.data();
  QKeyEvent press(QEvent::KeyPress, qtKey, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &press);
  if (target) {
    QKeyEvent release(QEvent::KeyRelease, qtKey, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &release);
  }
}

}  // namespace km7::ui
