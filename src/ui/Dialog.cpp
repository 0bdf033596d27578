#include "ui/Dialog.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QScreen>
#include <QTimerEvent>
#include <QValidator>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "ui/MessageBox.h"
#include "ui/NumberText.h"
#include "ui/QtText.h"

namespace km7::ui {

// ---------------------------------------------------------------- helpers
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

// "&&" shows one ampersand, "&x" underlines x where the toolkit supports it;
// labels show the plain text.
QString StripMnemonic(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == QLatin1Char('&') && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

// Word wrap for push buttons whose caption may take several lines.
QString WrapWords(const QString& text, const QFontMetrics& fm, int width) {
  QStringList lines;
  for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
    QString line;
    for (const QString& word : paragraph.split(QLatin1Char(' '))) {
      const QString candidate = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
      if (!line.isEmpty() && fm.horizontalAdvance(StripMnemonic(candidate)) > width) {
        lines << line;
        line = word;
      } else {
        line = candidate;
      }
    }
    lines << line;
  }
  return lines.join(QLatin1Char('\n'));
}

// Multi-line edits hold "\r\n" line ends in program text.
QString ToEditLines(const std::string& text) {
  QString q = ToQString(text);
  q.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return q;
}
std::string FromEditLines(QString q) {
  q.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  return FromQString(q);
}

// Digits only (kNumber) and "only what fits" (kNoHScroll) for line edits.
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

int InsertSorted(const QStringList& items, const QString& text) {
  int i = 0;
  while (i < items.size() && QString::compare(items[i], text, Qt::CaseInsensitive) <= 0) ++i;
  return i;
}

}  // namespace

// ---------------------------------------------------------------- window

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

// ---------------------------------------------------------------- data exchange

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

// ---------------------------------------------------------------- lifecycle

CDialog::CDialog(DialogTemplate dialogTemplate, CDialog* owner)
    : template_(std::move(dialogTemplate)), owner_(owner) {}

CDialog::~CDialog() { DestroyWindow(); }

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
  const QFontMetrics fm(font_);

  switch (t.kind) {
    case Kind::PushButton: {
      auto* b = new QPushButton(w);
      b->setAutoDefault(false);
      if (t.flags & kDefault) {
        b->setDefault(true);
        if (defaultId_ == 0) defaultId_ = id;
      }
      if (t.flags & kMultiLine) {
        b->setText(WrapWords(ToQString(t.text), fm, c->templateRect.width() - 8));
      } else {
        b->setText(ToQString(t.text));
      }
      QObject::connect(b, &QAbstractButton::clicked, w, notify(Notify::Clicked));
      widget = b;
      break;
    }
    case Kind::CheckBox: {
      auto* b = new QCheckBox(ToQString(t.text), w);
      QObject::connect(b, &QAbstractButton::clicked, w, notify(Notify::Clicked));
      widget = b;
      break;
    }
    case Kind::RadioButton: {
      auto* b = new QRadioButton(ToQString(t.text), w);
      QObject::connect(b, &QAbstractButton::clicked, w, notify(Notify::Clicked));
      widget = b;
      break;
    }
    case Kind::Edit: {
      Qt::Alignment align = Qt::AlignLeft;
      if (t.flags & kCenter) align = Qt::AlignHCenter;
      if (t.flags & kRight) align = Qt::AlignRight;
      if (t.flags & kMultiLine) {
        auto* e = new QPlainTextEdit(w);
        e->setPlainText(ToEditLines(t.text));
        e->setReadOnly((t.flags & kReadOnly) != 0);
        if (t.flags & kNoBorder) e->setFrameShape(QFrame::NoFrame);
        QObject::connect(e, &QPlainTextEdit::textChanged, w, notify(Notify::EditChange));
        widget = e;
      } else {
        auto* e = new QLineEdit(w);
        e->setText(ToQString(t.text));
        e->setCursorPosition(0);
        e->setAlignment(align | Qt::AlignVCenter);
        e->setReadOnly((t.flags & kReadOnly) != 0);
        if (t.flags & kNoBorder) e->setFrame(false);
        if (t.flags & kPassword) e->setEchoMode(QLineEdit::Password);
        if (t.flags & (kNumber | kNoHScroll)) {
          e->setValidator(new EditValidator(e, (t.flags & kNumber) != 0, (t.flags & kNoHScroll) != 0));
        }
        QObject::connect(e, &QLineEdit::textChanged, w, notify(Notify::EditChange));
        widget = e;
      }
      break;
    }
    case Kind::Static: {
      auto* l = new QLabel(w);
      l->setTextFormat(Qt::PlainText);
      l->setText(StripMnemonic(ToQString(t.text)));
      l->setWordWrap((t.flags & kNoWrap) == 0);
      Qt::Alignment align = Qt::AlignLeft;
      if (t.flags & kCenter) align = Qt::AlignHCenter;
      if (t.flags & kRight) align = Qt::AlignRight;
      l->setAlignment(align | Qt::AlignTop);
      widget = l;
      break;
    }
    case Kind::GroupBox: {
      widget = new QGroupBox(ToQString(t.text), w);
      break;
    }
    case Kind::ListBox: {
      auto* l = new QListWidget(w);
      l->setSelectionMode(QAbstractItemView::SingleSelection);
      QObject::connect(l, &QListWidget::currentRowChanged, w, notify(Notify::SelChange));
      QObject::connect(l, &QListWidget::itemDoubleClicked, w, notify(Notify::DoubleClick));
      widget = l;
      break;
    }
    case Kind::ComboBox: {
      auto* cb = new QComboBox(w);
      cb->setEditable((t.flags & kDropDownList) == 0);
      cb->setInsertPolicy(QComboBox::NoInsert);
      QObject::connect(cb, &QComboBox::activated, w, notify(Notify::SelChange));
      if (cb->lineEdit() != nullptr) {
        QObject::connect(cb->lineEdit(), &QLineEdit::textEdited, w, notify(Notify::EditChange));
      }
      // The template's height is the dropped-down list's; the box itself is one line.
      c->templateRect.setHeight(cb->sizeHint().height());
      widget = cb;
      break;
    }
    case Kind::Icon: {
      auto* l = new QLabel(w);
      const int size = 32;  // the system icon size, whatever the template says
      c->templateRect.setSize(QSize(size, size));
      const QIcon icon = LookupIcon(t.text);
      if (!icon.isNull()) l->setPixmap(icon.pixmap(size, size));
      widget = l;
      break;
    }
  }
  widget->setGeometry(c->templateRect);
  if (t.flags & kHidden) widget->hide();
  if (t.flags & kDisabled) widget->setEnabled(false);
  c->widget = widget;
  controls_.push_back(std::move(c));
  UpdateReadOnlyLook(*controls_.back());
}

// Captions that do not fit their template width (check box and radio
// indicators are wider here than where the templates were drawn) widen their
// control; controls to the right on the same row move along, and the dialog
// grows by what its controls grew.
void CDialog::FitControls() {
  struct Item {
    Control* c;
    QRect orig;
    QRect cur;
  };
  std::vector<Item> items;
  for (auto& c : controls_) {
    if (c->widget) items.push_back({c.get(), c->widget->geometry(), c->widget->geometry()});
  }
  const QFontMetrics fm(font_);
  for (Item& it : items) {
    QWidget* wd = it.c->widget;
    if (wd->isHidden()) continue;  // hidden controls (invisible default buttons) push nothing
    int need = 0;
    switch (it.c->t.kind) {
      case Kind::CheckBox:
      case Kind::RadioButton: {
        const QSize hint = wd->sizeHint();
        need = hint.width();
        if (hint.height() > it.cur.height()) {  // grow about the middle
          const int grow = hint.height() - it.cur.height();
          it.cur.adjust(0, -grow / 2, 0, grow - grow / 2);
        }
        break;
      }
      case Kind::PushButton:
        if ((it.c->t.flags & kMultiLine) == 0) {
          need = fm.horizontalAdvance(StripMnemonic(qobject_cast<QPushButton*>(wd)->text())) + 8;
        }
        break;
      case Kind::Static: {
        const QString text = qobject_cast<QLabel*>(wd)->text();
        if (text.contains(QLatin1Char('\n'))) break;
        const int oneLine = fm.horizontalAdvance(text) + 1;
        if (it.cur.height() < fm.height()) it.cur.setHeight(fm.height());  // no clipped descenders
        if ((it.c->t.flags & kNoWrap) != 0) {
          need = oneLine;
        } else {
          const QRect wrapped = fm.boundingRect(QRect(0, 0, it.cur.width(), 100000), Qt::TextWordWrap, text);
          if (wrapped.height() > it.cur.height() + 1) need = oneLine;
        }
        break;
      }
      default:
        break;
    }
    if (need > it.cur.width()) it.cur.setWidth(need);
  }

  // Move right-hand neighbours along (in order of their left edges, so moves cascade).
  std::vector<Item*> byLeft;
  for (Item& it : items) byLeft.push_back(&it);
  std::stable_sort(byLeft.begin(), byLeft.end(), [](const Item* a, const Item* b) { return a->orig.left() < b->orig.left(); });
  auto rowsOverlap = [](const QRect& a, const QRect& b) { return a.top() < b.bottom() && b.top() < a.bottom(); };
  for (size_t i = 0; i < byLeft.size(); ++i) {
    Item* a = byLeft[i];
    if (a->cur.right() <= a->orig.right() && a->cur.left() == a->orig.left()) continue;
    const int aEnd = a->orig.left() + a->orig.width();
    for (size_t j = i + 1; j < byLeft.size(); ++j) {
      Item* b = byLeft[j];
      if (b->orig.left() < aEnd || !rowsOverlap(a->orig, b->orig)) continue;
      const int gap = std::min(b->orig.left() - aEnd, 3);
      const int needLeft = a->cur.left() + a->cur.width() + gap;
      if (b->cur.left() < needLeft) b->cur.moveLeft(needLeft);
    }
  }
  // Frames grow around what they held.
  for (Item& box : items) {
    if (box.c->t.kind != Kind::GroupBox) continue;
    for (const Item& it : items) {
      if (&it == &box || !box.orig.contains(it.orig)) continue;
      const int margin = (box.orig.left() + box.orig.width()) - (it.orig.left() + it.orig.width());
      const int needEnd = it.cur.left() + it.cur.width() + margin;
      if (box.cur.left() + box.cur.width() < needEnd) box.cur.setWidth(needEnd - box.cur.left());
    }
  }

  const int w0 = window_->width();
  const int h0 = window_->height();
  int w = w0;
  int h = h0;
  for (Item& it : items) {
    if (it.cur == it.orig) continue;
    it.c->widget->setGeometry(it.cur);
    // The last control of a row keeps its margin to the dialog's edge; those
    // before it were accounted for by moving it.
    const int end = it.orig.left() + it.orig.width();
    const bool lastInRow = std::none_of(items.begin(), items.end(), [&](const Item& b) {
      return &b != &it && b.orig.left() >= end && rowsOverlap(it.orig, b.orig);
    });
    if (!lastInRow) continue;
    const int rightMargin = std::max(0, w0 - end);
    const int bottomMargin = std::max(0, h0 - (it.orig.top() + it.orig.height()));
    w = std::max(w, it.cur.left() + it.cur.width() + rightMargin);
    h = std::max(h, it.cur.top() + it.cur.height() + bottomMargin);
  }
  if (w != w0 || h != h0) window_->resize(w, h);
}

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

bool CDialog::UpdateData(bool save) {
  if (!window_) return false;
  CDataExchange dx(*this, save);
  DoDataExchange(dx);
  return !dx.Failed();
}

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

// ---------------------------------------------------------------- controls

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
    case Kind::Static:
      c->text = text;
      qobject_cast<QLabel*>(w)->setText(StripMnemonic(ToQString(text)));
      break;
    case Kind::GroupBox:
      qobject_cast<QGroupBox*>(w)->setTitle(ToQString(text));
      break;
    case Kind::Edit:
      if (auto* le = qobject_cast<QLineEdit*>(w)) {
        le->setText(ToQString(text));
        le->setCursorPosition(0);  // show the beginning of a long text
      } else {
        qobject_cast<QPlainTextEdit*>(w)->setPlainText(ToEditLines(text));
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
    cb->setCheckState(checked == 2 ? Qt::PartiallyChecked : (checked != 0 ? Qt::Checked : Qt::Unchecked));
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

// ---------------------------------------------------------------- list boxes

namespace {
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

// ---------------------------------------------------------------- test drivers

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
