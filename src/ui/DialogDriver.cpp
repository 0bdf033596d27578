#include "ui/DialogDriver.h"

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

bool DialogDriver::PressButton(int id) {
  auto* b = qobject_cast<QAbstractButton*>(d_.GetDlgItem(id));
  if (b == nullptr || !b->isEnabled()) return false;
  b->click();  // toggles a check box, checks a radio button, then notifies
  return true;
}

bool DialogDriver::SelectListItem(int id, int index) {
  QWidget* w = d_.GetDlgItem(id);
  if (w == nullptr || !w->isEnabled()) return false;
  if (AsList(w) != nullptr) {
    if (!d_.ListSetCurSel(id, index)) return false;
  } else if (AsCombo(w) != nullptr) {
    if (!d_.ComboSetCurSel(id, index)) return false;
  } else {
    return false;
  }
  d_.Dispatch(id, Notify::SelChange);
  return true;
}

bool DialogDriver::DoubleClickListItem(int id, int index) {
  QPointer<DialogWindow> w = d_.window_;
  if (AsList(d_.GetDlgItem(id)) == nullptr || !SelectListItem(id, index)) return false;
  if (w && w == d_.window_) d_.Dispatch(id, Notify::DoubleClick);
  return true;
}

bool DialogDriver::TypeText(int id, const std::string& text) {
  QWidget* w = d_.GetDlgItem(id);
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
    d_.Dispatch(id, Notify::EditChange);
    return true;
  }
  return false;
}

bool DialogDriver::TypeKeys(const std::string& text) {
  for (const char ch : text) {
    QPointer<QWidget> target = d_.window_ ? d_.window_->focusWidget() : nullptr;
    if (!target) return false;
    const QString q = ToQString(std::string(1, ch));
    const int key = q.at(0).toUpper().unicode();
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, q);
    QCoreApplication::sendEvent(target, &press);
    if (!target) continue;  // the key closed its window
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, q);
    QCoreApplication::sendEvent(target, &release);
  }
  return true;
}

void DialogDriver::PressKey(int qtKey) {
  if (!d_.window_) return;
  QPointer<QWidget> target = d_.window_->focusWidget();
  if (!target) target = d_.window_.data();
  QKeyEvent press(QEvent::KeyPress, qtKey, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &press);
  if (target) {
    QKeyEvent release(QEvent::KeyRelease, qtKey, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &release);
  }
}

}  // namespace km7::ui
