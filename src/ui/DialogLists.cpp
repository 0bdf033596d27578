// List boxes and combo boxes.
#include <QComboBox>
#include <QListWidget>
#include <QStringList>

#include "ui/Dialog.h"
#include "ui/DialogWindow.h"
#include "ui/QtText.h"

namespace km7::ui {
namespace {

int InsertSorted(const QStringList& items, const QString& text) {
  int i = 0;
  while (i < items.size() && QString::compare(items[i], text, Qt::CaseInsensitive) <= 0) ++i;
  return i;
}

QListWidget* AsList(QWidget* w) { return qobject_cast<QListWidget*>(w); }
QComboBox* AsCombo(QWidget* w) { return qobject_cast<QComboBox*>(w); }

}  // namespace

int CDialog::ListAddString(int id, const std::string& text) {
  const Control* c = Find(id);
  if (c == nullptr || c->t.kind != Kind::ListBox) return -1;
  QListWidget* l = AsList(c->widget);
  int index = l->count();
  if (c->t.flags & kSorted) {
    QStringList items;
    for (int i = 0; i < l->count(); ++i) items << l->item(i)->text();
    index = InsertSorted(items, ToQString(text));
  }
  ++suppressNotify_;
  l->insertItem(index, ToQString(text));
  --suppressNotify_;
  return index;
}

int CDialog::ListInsertString(int id, int index, const std::string& text) {
  QListWidget* l = AsList(GetDlgItem(id));
  if (l == nullptr || index > l->count()) return -1;
  if (index < 0) index = l->count();
  ++suppressNotify_;
  l->insertItem(index, ToQString(text));
  --suppressNotify_;
  return index;
}

int CDialog::ListDeleteString(int id, int index) {
  QListWidget* l = AsList(GetDlgItem(id));
  if (l == nullptr || index < 0 || index >= l->count()) return -1;
  ++suppressNotify_;
  delete l->takeItem(index);
  --suppressNotify_;
  return l->count();
}

void CDialog::ListResetContent(int id) {
  QListWidget* l = AsList(GetDlgItem(id));
  if (l == nullptr) return;
  ++suppressNotify_;
  l->clear();
  --suppressNotify_;
}

int CDialog::ListGetCount(int id) const {
  QListWidget* l = AsList(GetDlgItem(id));
  return l != nullptr ? l->count() : -1;
}

int CDialog::ListGetCurSel(int id) const {
  QListWidget* l = AsList(GetDlgItem(id));
  if (l == nullptr) return -1;
  const auto selected = l->selectedItems();
  return selected.isEmpty() ? -1 : l->row(selected.first());
}

bool CDialog::ListSetCurSel(int id, int index) {
  QListWidget* l = AsList(GetDlgItem(id));
  if (l == nullptr) return false;
  ++suppressNotify_;
  const bool valid = index >= 0 && index < l->count();
  if (valid) {
    l->setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
  } else {
    l->clearSelection();
    l->setCurrentRow(-1);
  }
  --suppressNotify_;
  return valid;
}

std::string CDialog::ListGetText(int id, int index) const {
  QListWidget* l = AsList(GetDlgItem(id));
  if (l == nullptr || index < 0 || index >= l->count()) return std::string();
  return FromQString(l->item(index)->text());
}

int CDialog::ListFindStringExact(int id, const std::string& text) const {
  QListWidget* l = AsList(GetDlgItem(id));
  if (l == nullptr) return -1;
  const QString want = ToQString(text);
  for (int i = 0; i < l->count(); ++i) {
    if (QString::compare(l->item(i)->text(), want, Qt::CaseInsensitive) == 0) return i;
  }
  return -1;
}

// ---------------------------------------------------------------- combo boxes

int CDialog::ComboAddString(int id, const std::string& text) {
  const Control* c = Find(id);
  if (c == nullptr || c->t.kind != Kind::ComboBox) return -1;
  QComboBox* cb = AsCombo(c->widget);
  int index = cb->count();
  if (c->t.flags & kSorted) {
    QStringList items;
    for (int i = 0; i < cb->count(); ++i) items << cb->itemText(i);
    index = InsertSorted(items, ToQString(text));
  }
  ++suppressNotify_;
  const QString keep = cb->currentText();
  const int before = cb->currentIndex();
  cb->insertItem(index, ToQString(text));
  // Adding a line never selects it: an empty box stays without selection.
  if (before < 0) {
    cb->setCurrentIndex(-1);
    if (cb->isEditable()) cb->setEditText(keep);
  }
  --suppressNotify_;
  return index;
}

void CDialog::ComboResetContent(int id) {
  QComboBox* cb = AsCombo(GetDlgItem(id));
  if (cb == nullptr) return;
  ++suppressNotify_;
  cb->clear();
  --suppressNotify_;
}

int CDialog::ComboGetCount(int id) const {
  QComboBox* cb = AsCombo(GetDlgItem(id));
  return cb != nullptr ? cb->count() : -1;
}

int CDialog::ComboGetCurSel(int id) const {
  QComboBox* cb = AsCombo(GetDlgItem(id));
  return cb != nullptr ? cb->currentIndex() : -1;
}

bool CDialog::ComboSetCurSel(int id, int index) {
  QComboBox* cb = AsCombo(GetDlgItem(id));
  if (cb == nullptr) return false;
  const bool valid = index >= 0 && index < cb->count();
  ++suppressNotify_;
  cb->setCurrentIndex(valid ? index : -1);
  --suppressNotify_;
  return valid;
}

std::string CDialog::ComboGetLBText(int id, int index) const {
  QComboBox* cb = AsCombo(GetDlgItem(id));
  if (cb == nullptr || index < 0 || index >= cb->count()) return std::string();
  return FromQString(cb->itemText(index));
}

bool CDialog::ComboSetItemData(int id, int index, std::intptr_t data) {
  QComboBox* cb = AsCombo(GetDlgItem(id));
  if (cb == nullptr || index < 0 || index >= cb->count()) return false;
  cb->setItemData(index, QVariant::fromValue(static_cast<qlonglong>(data)));
  return true;
}

std::intptr_t CDialog::ComboGetItemData(int id, int index) const {
  QComboBox* cb = AsCombo(GetDlgItem(id));
  if (cb == nullptr || index < 0 || index >= cb->count()) return 0;
  return static_cast<std::intptr_t>(cb->itemData(index).toLongLong());
}

}  // namespace km7::ui
