#include "ui/MessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <map>
#include <mutex>

#include "ui/QtText.h"
#include "ui/UiCallQueue.h"

namespace km7::ui {
namespace {
std::mutex g_hookMutex;
MessageHook g_hook;
QuestionHook g_questionHook;

// The open status box of each kind (user-interface thread only).
std::map<std::string, QPointer<QMessageBox>> g_statusBoxes;

QMessageBox::Icon QtIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::None: break;
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::Warning: return QMessageBox::Warning;
    case MessageIcon::Error: return QMessageBox::Critical;
  }
  return QMessageBox::NoIcon;
}

void ShowNow(const std::string& text, MessageIcon icon, const std::string& caption) {
  const QMessageBox::Icon qicon = QtIcon(icon);
  const QString title = caption.empty() ? QApplication::applicationDisplayName() : ToQString(caption);
  QMessageBox box(qicon, title, QString(), QMessageBox::Ok, QApplication::activeWindow());
  // Texts carry mail addresses in angle brackets: never guess rich text.
  box.setTextFormat(Qt::PlainText);
  box.setText(ToQString(text));
  box.exec();
}
}  // namespace

void ShowMessage(const std::string& text, MessageIcon icon, const std::string& caption) {
  MessageHook hook;
  {
    std::lock_guard lock(g_hookMutex);
    hook = g_hook;
  }
  if (hook) {
    hook(text, icon, caption);
    return;
  }
  if (QApplication::instance() == nullptr) return;  // no toolkit: nobody to tell
  if (QThread::currentThread() != QApplication::instance()->thread()) {
    // Another thread never waits for the user: the box shows on the
    // user-interface thread when it next runs its events.
    PostToUiThread([text, icon, caption] { ShowNow(text, icon, caption); });
    return;
  }
  ShowNow(text, icon, caption);
}

void ShowStatusMessage(const std::string& kind, const std::string& text, MessageIcon icon) {
  MessageHook hook;
  {
    std::lock_guard lock(g_hookMutex);
    hook = g_hook;
  }
  if (hook) {
    hook(text, icon, std::string());
    return;
  }
  if (QApplication::instance() == nullptr) return;
  QPointer<QMessageBox>& open = g_statusBoxes[kind];
  if (open && open->isVisible()) {
    open->setText(ToQString(text));
    return;
  }
  auto* box = new QMessageBox(QtIcon(icon), QApplication::applicationDisplayName(), QString(), QMessageBox::Ok,
                              QApplication::activeWindow());
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setTextFormat(Qt::PlainText);
  box->setText(ToQString(text));
  box->setModal(false);
  box->show();
  open = box;
}

bool AskYesNo(const std::string& text, const std::string& caption) {
  QuestionHook hook;
  {
    std::lock_guard lock(g_hookMutex);
    hook = g_questionHook;
  }
  if (hook) return hook(text);
  if (QApplication::instance() == nullptr) return false;
  const QString title = caption.empty() ? QApplication::applicationDisplayName() : ToQString(caption);
  QMessageBox box(QMessageBox::Question, title, QString(), QMessageBox::Yes | QMessageBox::No,
                  QApplication::activeWindow());
  box.setTextFormat(Qt::PlainText);
  box.setText(ToQString(text));
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

void SetQuestionHook(QuestionHook hook) {
  std::lock_guard lock(g_hookMutex);
  g_questionHook = std::move(hook);
}

void SetMessageHook(MessageHook hook) {
  std::lock_guard lock(g_hookMutex);
  g_hook = std::move(hook);
}

}  // namespace km7::ui
