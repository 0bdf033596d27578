// The dialog's life (modal and modeless runs), its message table, timers and
// window, and the framework's registries and seams.
#include "ui/Dialog.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <algorithm>
#include <cstdio>

#include "ui/DialogWindow.h"
#include "ui/QtText.h"

namespace km7::ui {
namespace {

ModalHook& GlobalModalHook() {
  static ModalHook hook;
  return hook;
}

std::map<std::string, QIcon>& IconRegistry() {
  // Never destroyed: icons must not outlive the application object's teardown.
  static auto* icons = new std::map<std::string, QIcon>;
  return *icons;
}

}  // namespace

// ---------------------------------------------------------------- lifecycle

CDialog::CDialog(DialogTemplate dialogTemplate, CDialog* owner)
    : template_(std::move(dialogTemplate)), owner_(owner) {}

CDialog::~CDialog() { DestroyWindow(); }

void CDialog::PlaceWindow() {
  const QSize size = window_->size();
  QWidget* ownerWidget = owner_ != nullptr ? owner_->Widget() : nullptr;
  QScreen* screen = ownerWidget != nullptr ? ownerWidget->screen() : QGuiApplication::primaryScreen();
  const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
  QPoint pos;
  if (template_.style & kCentered) {
    const QRect over = ownerWidget != nullptr && ownerWidget->isVisible() ? ownerWidget->frameGeometry() : area;
    pos = over.center() - QPoint(size.width() / 2, size.height() / 2);
  } else {
    const QPoint origin = ownerWidget != nullptr ? ownerWidget->mapToGlobal(QPoint(0, 0)) : area.topLeft();
    pos = origin + QPoint(DluToPixelsX(units_, template_.x), DluToPixelsY(units_, template_.y));
  }
  // Keep the window's top-left corner on the screen.
  pos.setX(std::clamp(pos.x(), area.left(), std::max(area.left(), area.right() - size.width())));
  pos.setY(std::clamp(pos.y(), area.top(), std::max(area.top(), area.bottom() - size.height())));
  window_->move(pos);
}

bool CDialog::InitAndShow() {
  QPointer<DialogWindow> w = window_;
  {
    DialogWindow::Guard g(w);
    OnInitDialog();
  }
  if (!w || window_ != w) return false;  // destroyed during initialisation
  initialised_ = true;
  SetInitialFocus();
  FitControls();
  PlaceWindow();
  if ((template_.style & kSizing) == 0) window_->setFixedSize(window_->size());
  return true;
}

int CDialog::DoModal() {
  if (window_) return -1;
  if (!Build(true)) return -1;
  QPointer<DialogWindow> w = window_;
  if (InitAndShow() && !ended_ && w) {
    const ModalHook hook = GlobalModalHook();  // a copy: the hook may replace itself
    if (hook) {
      w->show();
      const int r = hook(*this);
      if (!ended_ && w == window_ && w) {
        result_ = r;
        ended_ = true;
      }
    } else {
      if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        std::fprintf(stderr, "km7: modal dialog \"%s\" waits for a person (no modal hook set)\n",
                     template_.caption.c_str());
      }
      w->exec();
    }
  }
  const int result = ended_ ? result_ : IDCANCEL;
  if (window_ == w) DestroyWindow();
  modal_ = false;
  return result;
}

bool CDialog::Create(CDialog* owner) {
  if (window_) return false;
  if (owner != nullptr) owner_ = owner;
  if (!Build(false)) return false;
  if (!InitAndShow()) return false;
  if ((template_.style & kInvisible) == 0) window_->show();
  return true;
}

void CDialog::EndDialog(int result) {
  result_ = result;
  ended_ = true;
  if (window_) window_->hide();  // also ends a running modal loop
}

void CDialog::DestroyWindow() {
  if (!window_) {
    controls_.clear();
    radioGroups_.clear();
    timers_.clear();
    initialised_ = false;
    return;
  }
  DialogWindow* w = window_;
  window_ = nullptr;
  for (const auto& [id, slot] : timers_) w->killTimer(slot.qtId);
  timers_.clear();
  w->Detach();
  w->hide();
  controls_.clear();
  radioGroups_.clear();
  initialised_ = false;
  w->Destroy();
}

bool CDialog::IsWindow() const { return !window_.isNull(); }

// ---------------------------------------------------------------- overridables

bool CDialog::OnInitDialog() {
  UpdateData(false);
  return true;
}

void CDialog::DoDataExchange(CDataExchange&) {}

void CDialog::OnOK() {
  if (!UpdateData(true)) return;
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::OnClose() {
  const Control* cancel = Find(IDCANCEL);
  if (cancel != nullptr && cancel->widget && !cancel->widget->isEnabled()) return;
  SendNotify(IDCANCEL, Notify::Clicked);
}

void CDialog::OnTimer(int) {}
void CDialog::OnPaint(QPainter&) {}
void CDialog::OnMouseMove(int, int) {}
void CDialog::OnSize(int, int) {}
void CDialog::OnSysCommand(int) {}

// ---------------------------------------------------------------- messages

void CDialog::Bind(Notify code, int id, std::function<void()> handler) {
  bindings_.push_back({code, id, id, [h = std::move(handler)](int) { h(); }});
}

void CDialog::BindRange(Notify code, int firstId, int lastId, std::function<void(int)> handler) {
  bindings_.push_back({code, firstId, lastId, std::move(handler)});
}

void CDialog::Dispatch(int id, Notify code) {
  if (!window_) return;
  if (suppressNotify_ > 0 && (code == Notify::SelChange || code == Notify::DoubleClick)) return;
  SendNotify(id, code);
}

bool CDialog::SendNotify(int id, Notify code) {
  DialogWindow::Guard g(window_);
  // The latest entry wins: a derived class's table overrides its base's.
  for (auto it = bindings_.rbegin(); it != bindings_.rend(); ++it) {
    const Binding& b = *it;
    if (b.code == code && id >= b.first && id <= b.last) {
      const auto handler = b.handler;  // the handler may change the table, or delete us
      handler(id);
      return true;
    }
  }
  if (code == Notify::Clicked && id == IDOK) {
    OnOK();
    return true;
  }
  if (code == Notify::Clicked && id == IDCANCEL) {
    OnCancel();
    return true;
  }
  return false;
}

void CDialog::HandleEnterKey() {
  if (auto* focused = qobject_cast<QPushButton*>(window_->focusWidget())) {
    // A push button with the focus is the default button for the moment.
    if (focused->isEnabled() && focused->isVisible()) {
      focused->click();
      return;
    }
  }
  if (defaultId_ != 0) {
    const Control* c = Find(defaultId_);
    if (c != nullptr && c->widget) {
      if (c->widget->isEnabled()) SendNotify(defaultId_, Notify::Clicked);
      return;
    }
  }
  SendNotify(IDOK, Notify::Clicked);
}

void CDialog::HandleTimerEvent(int qtTimerId) {
  for (auto& [id, slot] : timers_) {
    if (slot.qtId != qtTimerId) continue;
    const int ours = id;
    // The toolkit never hands a timer to its handler again while that handler
    // still runs, so a tick that opens a message box or a modal dialog would
    // stop its own timer until the box closed. A fresh timer for every tick
    // keeps the ticks coming in the nested event loop; handlers that must not
    // run twice guard themselves.
    window_->killTimer(slot.qtId);
    slot.qtId = window_->startTimer(slot.milliseconds, Qt::PreciseTimer);
    if (slot.qtId == 0) timers_.erase(ours);
    OnTimer(ours);
    return;
  }
}

void CDialog::HandleContextMenu(const QPoint& globalPos) {
  QMenu menu;  // no parent: the window may go while the menu is open
  menu.setFont(font_);
  for (const auto& [command, text] : sysMenu_) {
    if (text.empty()) {
      menu.addSeparator();
    } else {
      menu.addAction(ToQString(text))->setData(command);
    }
  }
  QPointer<DialogWindow> w = window_;
  QAction* chosen = menu.exec(globalPos);
  if (chosen != nullptr && w) OnSysCommand(chosen->data().toInt());
}

// ---------------------------------------------------------------- timers

bool CDialog::SetTimer(int id, int milliseconds) {
  if (!window_) return false;
  KillTimer(id);
  const int interval = std::max(milliseconds, 10);
  const int qtId = window_->startTimer(interval, Qt::PreciseTimer);
  if (qtId == 0) return false;
  timers_[id] = {qtId, interval};
  return true;
}

bool CDialog::KillTimer(int id) {
  const auto it = timers_.find(id);
  if (it == timers_.end()) return false;
  if (window_) window_->killTimer(it->second.qtId);
  timers_.erase(it);
  return true;
}

bool CDialog::HasTimer(int id) const { return window_ && timers_.count(id) != 0; }

// ---------------------------------------------------------------- window

QWidget* CDialog::Widget() const { return window_.data(); }

void CDialog::SetWindowText(const std::string& text) {
  if (window_) window_->setWindowTitle(ToQString(text));
}

std::string CDialog::GetWindowText() const {
  return window_ ? FromQString(window_->windowTitle()) : template_.caption;
}

void CDialog::SetIcon(const QIcon& icon) {
  icon_ = icon;
  if (window_) window_->setWindowIcon(icon);
}

void CDialog::ShowWindow(bool show) {
  if (window_) window_->setVisible(show);
}

bool CDialog::IsWindowVisible() const { return window_ && window_->isVisible(); }

void CDialog::AppendSystemMenu(int command, const std::string& text) { sysMenu_.emplace_back(command, text); }

QRect CDialog::GetClientRect() const { return window_ ? window_->rect() : QRect(); }

QRect CDialog::GetWindowRect() const { return window_ ? window_->frameGeometry() : QRect(); }

void CDialog::MoveWindow(const QRect& outer) {
  if (!window_) return;
  const QSize frame = window_->frameGeometry().size() - window_->geometry().size();
  window_->move(outer.topLeft());
  window_->resize(outer.size() - frame);
}

void CDialog::SetWindowSize(int outerWidth, int outerHeight) {
  if (!window_) return;
  const QSize frame = window_->frameGeometry().size() - window_->geometry().size();
  window_->resize(QSize(outerWidth, outerHeight) - frame);
}

void CDialog::Invalidate() {
  if (window_) window_->update();
}

void CDialog::InvalidateRect(const QRect& r) {
  if (window_) window_->update(r.normalized());
}

void CDialog::UpdateWindow() {
  if (window_) window_->repaint();
}

QRect CDialog::MapDialogRect(int x, int y, int w, int h) const {
  return km7::ui::MapDialogRect(units_, x, y, w, h);
}

bool CDialog::Grab(const std::filesystem::path& pngPath) const { return window_ && GrabToPng(window_, pngPath); }

bool GrabToPng(QWidget* widget, const std::filesystem::path& pngPath) {
  if (widget == nullptr) return false;
  return widget->grab().save(QString::fromStdString(pngPath.string()), "PNG");
}

// ---------------------------------------------------------------- registries, seams

void RegisterIcon(const std::string& name, const QIcon& icon) { IconRegistry()[name] = icon; }

QIcon LookupIcon(const std::string& name) {
  const auto& icons = IconRegistry();
  const auto it = icons.find(name);
  return it != icons.end() ? it->second : QIcon();
}

void SetModalHook(ModalHook hook) { GlobalModalHook() = std::move(hook); }

ScopedWaitCursor::ScopedWaitCursor() {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  set_ = true;
}

ScopedWaitCursor::~ScopedWaitCursor() {
  if (set_) QApplication::restoreOverrideCursor();
}

}  // namespace km7::ui
