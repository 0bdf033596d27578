// Building a dialog's window and controls from its template, and fitting the
// controls to their captions.
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QValidator>
#include <algorithm>
#include <vector>

#include "ui/ControlFit.h"
#include "ui/ControlText.h"
#include "ui/Dialog.h"
#include "ui/DialogWindow.h"
#include "ui/QtText.h"

namespace km7::ui {
namespace {

class EditValidator final : public QValidator {
 public:
  EditValidator(QLineEdit* edit, bool digitsOnly, bool fitWidth)
      : QValidator(edit), edit_(edit), digitsOnly_(digitsOnly), fitWidth_(fitWidth) {}
  State validate(QString& input, int&) const override {
    if (digitsOnly_) {
      for (const QChar ch : input) {
        if (ch < QLatin1Char('0') || ch > QLatin1Char('9')) return Invalid;
      }
    }
    if (fitWidth_) {
      const int frame = edit_->hasFrame() ? edit_->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, edit_) : 0;
      const QMargins m = edit_->textMargins();
      const int room = edit_->contentsRect().width() - 2 * frame - 4 - m.left() - m.right();
      if (edit_->fontMetrics().horizontalAdvance(input) > room) return Invalid;
    }
    return Acceptable;
  }

 private:
  QLineEdit* edit_;
  bool digitsOnly_;
  bool fitWidth_;
};

// One maker per kind of control. notify(code) gives the slot that hands the
// dialog a notification of the control.
template <class NotifyFn>
QPushButton* MakePushButton(const ControlTemplate& t, DialogWindow* w, const QFontMetrics& fm, int width,
                            NotifyFn notify) {
  auto* b = new QPushButton(w);
  b->setAutoDefault(false);
  if (t.flags & kDefault) b->setDefault(true);
  if (t.flags & kMultiLine) {
    b->setText(WrapWords(ToQString(t.text), fm, width - 8));
  } else {
    b->setText(ToQString(t.text));
  }
  QObject::connect(b, &QAbstractButton::clicked, w, notify(Notify::Clicked));
  return b;
}

template <class Button, class NotifyFn>
Button* MakeTickButton(const ControlTemplate& t, DialogWindow* w, NotifyFn notify) {
  auto* b = new Button(ToQString(t.text), w);
  QObject::connect(b, &QAbstractButton::clicked, w, notify(Notify::Clicked));
  return b;
}

Qt::Alignment HorizontalAlignment(const ControlTemplate& t) {
  Qt::Alignment align = Qt::AlignLeft;
  if (t.flags & kCenter) align = Qt::AlignHCenter;
  if (t.flags & kRight) align = Qt::AlignRight;
  return align;
}

template <class NotifyFn>
QWidget* MakeEdit(const ControlTemplate& t, DialogWindow* w, NotifyFn notify) {
  if (t.flags & kMultiLine) {
    auto* e = new QPlainTextEdit(w);
    e->setPlainText(ToEditLines(t.text));
    e->setReadOnly((t.flags & kReadOnly) != 0);
    if (t.flags & kNoBorder) e->setFrameShape(QFrame::NoFrame);
    QObject::connect(e, &QPlainTextEdit::textChanged, w, notify(Notify::EditChange));
    return e;
  }
  auto* e = new QLineEdit(w);
  e->setText(ToQString(t.text));
  e->setCursorPosition(0);
  e->setAlignment(HorizontalAlignment(t) | Qt::AlignVCenter);
  e->setReadOnly((t.flags & kReadOnly) != 0);
  if (t.flags & kNoBorder) e->setFrame(false);
  if (t.flags & kPassword) e->setEchoMode(QLineEdit::Password);
  if (t.flags & (kNumber | kNoHScroll)) {
    e->setValidator(new EditValidator(e, (t.flags & kNumber) != 0, (t.flags & kNoHScroll) != 0));
  }
  QObject::connect(e, &QLineEdit::textChanged, w, notify(Notify::EditChange));
  return e;
}

QLabel* MakeStatic(const ControlTemplate& t, DialogWindow* w) {
  auto* l = new QLabel(w);
  l->setTextFormat(Qt::PlainText);
  l->setText(StripMnemonic(ToQString(t.text)));
  l->setWordWrap((t.flags & kNoWrap) == 0);
  l->setAlignment(HorizontalAlignment(t) | Qt::AlignTop);
  return l;
}

template <class NotifyFn>
QListWidget* MakeListBox(DialogWindow* w, NotifyFn notify) {
  auto* l = new QListWidget(w);
  l->setSelectionMode(QAbstractItemView::SingleSelection);
  QObject::connect(l, &QListWidget::currentRowChanged, w, notify(Notify::SelChange));
  QObject::connect(l, &QListWidget::itemDoubleClicked, w, notify(Notify::DoubleClick));
  return l;
}

template <class NotifyFn>
QComboBox* MakeComboBox(const ControlTemplate& t, DialogWindow* w, QRect& rect, NotifyFn notify) {
  auto* cb = new QComboBox(w);
  cb->setEditable((t.flags & kDropDownList) == 0);
  cb->setInsertPolicy(QComboBox::NoInsert);
  QObject::connect(cb, &QComboBox::activated, w, notify(Notify::SelChange));
  if (cb->lineEdit() != nullptr) {
    QObject::connect(cb->lineEdit(), &QLineEdit::textEdited, w, notify(Notify::EditChange));
  }
  // The template's height is the dropped-down list's; the box itself is one line.
  rect.setHeight(cb->sizeHint().height());
  return cb;
}

QLabel* MakeIcon(const ControlTemplate& t, DialogWindow* w, QRect& rect) {
  auto* l = new QLabel(w);
  const int size = 32;  // the system icon size, whatever the template says
  rect.setSize(QSize(size, size));
  const QIcon icon = LookupIcon(t.text);
  if (!icon.isNull()) l->setPixmap(icon.pixmap(size, size));
  return l;
}

}  // namespace

bool CDialog::Build(bool modal) {
  if (QApplication::instance() == nullptr) return false;
  font_ = TemplateFont(template_.font, template_.pointSize);
  units_ = ComputeBaseUnits(font_);

  QWidget* parent = owner_ != nullptr ? owner_->Widget() : nullptr;
  const std::uint32_t style = template_.style;
  Qt::WindowFlags flags;
  const bool frameless = (style & kCaption) == 0;
  if (!frameless) {
    flags = (parent != nullptr ? Qt::Dialog : Qt::Window) | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (style & kSysMenu) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (style & kMinimizeBox) flags |= Qt::WindowMinimizeButtonHint;
  } else {
    flags = Qt::Tool | Qt::FramelessWindowHint;
  }
  window_ = new DialogWindow(this, parent, flags, frameless);
  if (frameless) window_->setAttribute(Qt::WA_ShowWithoutActivating);
  window_->setAutoFillBackground(true);
  window_->setMouseTracking(true);
  window_->setFont(font_);
  window_->setWindowTitle(ToQString(template_.caption));
  if (!icon_.isNull()) window_->setWindowIcon(icon_);
  window_->resize(DluToPixelsX(units_, template_.width), DluToPixelsY(units_, template_.height));

  controls_.clear();
  radioGroups_.clear();
  timers_.clear();
  defaultId_ = 0;
  modal_ = modal;
  ended_ = false;
  result_ = -1;
  initialised_ = false;
  suppressNotify_ = 0;

  QButtonGroup* buttonGroup = nullptr;
  bool lastWasRadio = false;
  for (const ControlTemplate& t : template_.controls) {
    BuildControl(t);
    Control& c = *controls_.back();
    if (t.kind == Kind::RadioButton) {
      // A group runs from a radio button marked kGroup (or following any
      // other control) over the radio buttons after it.
      if (!lastWasRadio || (t.flags & kGroup) != 0) {
        radioGroups_.emplace_back();
        buttonGroup = new QButtonGroup(window_);
        buttonGroup->setExclusive(true);
      }
      c.group = static_cast<int>(radioGroups_.size()) - 1;
      radioGroups_.back().push_back(&c);
      buttonGroup->addButton(qobject_cast<QAbstractButton*>(c.widget.data()));
      lastWasRadio = true;
    } else {
      lastWasRadio = false;
    }
  }
  for (auto& c : controls_) {
    if (c->t.kind == Kind::GroupBox && c->widget) c->widget->lower();  // frames stay behind
  }
  return true;
}

void CDialog::BuildControl(const ControlTemplate& t) {
  auto c = std::make_unique<Control>();
  c->t = t;
  c->text = t.text;
  c->templateRect = km7::ui::MapDialogRect(units_, t.x, t.y, t.w, t.h);
  DialogWindow* w = window_;
  const int id = t.id;
  auto notify = [w, id](Notify code) {
    return [w, id, code] {
      if (CDialog* o = w->Owner()) o->Dispatch(id, code);
    };
  };
  QWidget* widget = nullptr;
  switch (t.kind) {
    case Kind::PushButton:
      widget = MakePushButton(t, w, QFontMetrics(font_), c->templateRect.width(), notify);
      if ((t.flags & kDefault) && defaultId_ == 0) defaultId_ = id;
      break;
    case Kind::CheckBox: widget = MakeTickButton<QCheckBox>(t, w, notify); break;
    case Kind::RadioButton: widget = MakeTickButton<QRadioButton>(t, w, notify); break;
    case Kind::Edit: widget = MakeEdit(t, w, notify); break;
    case Kind::Static: widget = MakeStatic(t, w); break;
    case Kind::GroupBox: widget = new QGroupBox(ToQString(t.text), w); break;
    case Kind::ListBox: widget = MakeListBox(w, notify); break;
    case Kind::ComboBox: widget = MakeComboBox(t, w, c->templateRect, notify); break;
    case Kind::Icon: widget = MakeIcon(t, w, c->templateRect); break;
  }
  widget->setGeometry(c->templateRect);
  if (t.flags & kHidden) widget->hide();
  if (t.flags & kDisabled) widget->setEnabled(false);
  c->widget = widget;
  controls_.push_back(std::move(c));
  UpdateReadOnlyLook(*controls_.back());
}

// Measures what each control's caption needs; ControlFit does the arithmetic.
void CDialog::FitControls() {
  std::vector<Control*> fitted;
  std::vector<FitItem> items;
  const QFontMetrics fm(font_);
  for (auto& c : controls_) {
    QWidget* wd = c->widget;
    if (wd == nullptr) continue;
    FitItem it;
    it.rect = wd->geometry();
    it.hidden = wd->isHidden();  // invisible default buttons push nothing
    it.frame = c->t.kind == Kind::GroupBox;
    switch (c->t.kind) {
      case Kind::CheckBox:
      case Kind::RadioButton:
        // Their indicators are wider here than where the templates were drawn.
        it.need = wd->sizeHint();
        it.growAboutMiddle = true;
        break;
      case Kind::PushButton:
        if ((c->t.flags & kMultiLine) == 0) {
          it.need.setWidth(fm.horizontalAdvance(StripMnemonic(qobject_cast<QPushButton*>(wd)->text())) + 8);
        }
        break;
      case Kind::Static: {
        const QString text = qobject_cast<QLabel*>(wd)->text();
        if (text.contains(QLatin1Char('\n'))) break;
        it.need.setHeight(fm.height());  // no clipped descenders
        const int oneLine = fm.horizontalAdvance(text) + 1;
        if ((c->t.flags & kNoWrap) != 0) {
          it.need.setWidth(oneLine);
        } else {
          const int height = std::max(it.rect.height(), fm.height());
          const QRect wrapped = fm.boundingRect(QRect(0, 0, it.rect.width(), 100000), Qt::TextWordWrap, text);
          if (wrapped.height() > height + 1) it.need.setWidth(oneLine);
        }
        break;
      }
      default:
        break;
    }
    fitted.push_back(c.get());
    items.push_back(it);
  }
  const FitResult fit = km7::ui::FitControls(items, window_->size());
  for (size_t i = 0; i < fitted.size(); ++i) {
    if (fit.rects[i] != items[i].rect) fitted[i]->widget->setGeometry(fit.rects[i]);
  }
  if (fit.client != window_->size()) window_->resize(fit.client);
}

}  // namespace km7::ui
