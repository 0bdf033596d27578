#pragma once
// Inside the dialog framework only: the toolkit window behind a CDialog, and
// what the framework keeps for each control.
#include <QContextMenuEvent>
#include <QDialog>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QResizeEvent>
#include <QTimerEvent>
#include <string>

#include "ui/Dialog.h"

namespace km7::ui {

class DialogWindow final : public QDialog {
 public:
  DialogWindow(CDialog* owner, QWidget* parent, Qt::WindowFlags flags, bool frameless)
      : QDialog(parent, flags), owner_(owner), frameless_(frameless) {}

  CDialog* Owner() const { return owner_; }
  void Detach() { owner_ = nullptr; }
  // Deletes the window now, or, while one of its handlers runs, as soon as
  // the outermost one has returned (so a nested event loop inside a handler
  // cannot delete it under that handler either).
  void Destroy() {
    if (depth_ > 0) {
      destroyPending_ = true;
    } else {
      delete this;
    }
  }

  // Marks the window as running one of its owner's handlers, so the handler
  // may destroy it without pulling the stack from under itself.
  class Guard {
   public:
    explicit Guard(DialogWindow* w) : w_(w) {
      if (w_) ++w_->depth_;
    }
    ~Guard() {
      if (w_ && --w_->depth_ == 0 && w_->destroyPending_) w_->deleteLater();
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    QPointer<DialogWindow> w_;
  };

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    if (owner_ != nullptr) {
      Guard g(this);
      p.save();
      owner_->OnPaint(p);
      p.restore();
    }
    if (frameless_) {  // a window without a title bar still shows its edge
      p.setPen(palette().color(QPalette::Dark));
      p.setBrush(Qt::NoBrush);
      p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
  }
  void mouseMoveEvent(QMouseEvent* e) override {
    if (owner_ == nullptr) return;
    Guard g(this);
    const QPoint pt = e->position().toPoint();
    owner_->OnMouseMove(pt.x(), pt.y());
  }
  void resizeEvent(QResizeEvent* e) override {
    QDialog::resizeEvent(e);
    if (owner_ == nullptr || !owner_->initialised_) return;
    Guard g(this);
    owner_->OnSize(e->size().width(), e->size().height());
  }
  void keyPressEvent(QKeyEvent* e) override {
    if (owner_ == nullptr) return;
    const bool plain = (e->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (plain && (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter)) {
      Guard g(this);
      owner_->HandleEnterKey();
      return;
    }
    if (plain && e->key() == Qt::Key_Escape) {
      Guard g(this);
      owner_->SendNotify(IDCANCEL, Notify::Clicked);
      return;
    }
    QWidget::keyPressEvent(e);  // not QDialog's: Enter and Escape are ours
  }
  void timerEvent(QTimerEvent* e) override {
    if (owner_ == nullptr) return;
    Guard g(this);
    owner_->HandleTimerEvent(e->timerId());
  }
  void contextMenuEvent(QContextMenuEvent* e) override {
    if (owner_ == nullptr || owner_->sysMenu_.empty()) {
      e->ignore();
      return;
    }
    Guard g(this);
    owner_->HandleContextMenu(e->globalPos());
  }
  // The close box (QDialog routes it here).
  void reject() override {
    if (owner_ == nullptr) return;
    Guard g(this);
    owner_->OnClose();
  }
  void accept() override {}

 private:
  CDialog* owner_;
  bool frameless_;
  int depth_ = 0;
  bool destroyPending_ = false;
};

struct CDialog::Control {
  ControlTemplate t;
  QPointer<QWidget> widget;
  QRect templateRect;  // pixels, before fitting
  int group = -1;      // radio group
  std::string text;    // caption as given (labels and wrapped buttons show it altered)
};

}  // namespace km7::ui
