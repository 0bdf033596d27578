// Screenshots of the main window, the chooser and the rename dialog, and the
// checks that go with them: every control where its template puts it, and
// no text wider than its control.
#include <QAbstractButton>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QWidget>

#include "AppTestSupport.h"
#include "app/AboutDlg.h"
#include "settings/ProfileStore.h"
#include "devices/Rename.h"
#include "devices/Search.h"
#include "ui/QtText.h"
#include "ui/DialogDriver.h"

using km7::ui::DialogDriver;

namespace km7::test {
namespace {

namespace values = km7::profile;
using ui::CDialog;

// Each control starts where its template puts it and is at least as large;
// a caption or a value text fits its control.
void ExpectLaidOutAsTemplated(const CDialog& d) {
  for (const auto& c : d.Template().controls) {
    if (c.id == ui::IDC_STATIC) continue;
    QWidget* widget = d.GetDlgItem(c.id);
    ASSERT_NE(widget, nullptr) << c.id;
    const QRect want = d.MapDialogRect(c.x, c.y, c.w, c.h);
    // A check box or radio button that needs more room than its template
    // gives grows about its middle and pushes its right-hand neighbour along
    // by a pixel or two.
    EXPECT_NEAR(widget->x(), want.x(), 2) << "control " << c.id;
    EXPECT_NEAR(widget->geometry().center().y(), want.center().y(), 1) << "control " << c.id;
    EXPECT_GE(widget->width(), want.width()) << "control " << c.id;
    EXPECT_GE(widget->height(), want.height()) << "control " << c.id;
  }
  for (QWidget* child : d.Widget()->findChildren<QWidget*>()) {
    if (!child->isVisibleTo(d.Widget())) continue;
    if (auto* push = qobject_cast<QPushButton*>(child)) {
      EXPECT_LE(push->fontMetrics().horizontalAdvance(push->text().remove('&')) + 8, push->width())
          << push->text().toStdString();
    } else if (auto* button = qobject_cast<QAbstractButton*>(child)) {
      // Indicator and caption.
      EXPECT_LE(button->sizeHint().width(), button->width()) << button->text().toStdString();
    } else if (auto* label = qobject_cast<QLabel*>(child)) {
      if (label->pixmap().isNull()) {
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width())
            << label->text().toStdString();
      }
    } else if (auto* edit = qobject_cast<QLineEdit*>(child)) {
      QStyleOptionFrame option;
      option.initFrom(edit);
      const QRect textArea = edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit)
                                 .marginsRemoved(edit->textMargins());
      // Trailing blanks may run off the edge; the characters must not.
      const QString text = edit->text().trimmed();
      EXPECT_LE(edit->fontMetrics().horizontalAdvance(text) + 4, textArea.width())
          << text.toStdString();
    }
  }
}

constexpr char kSim[] =
    "[module]\ndescription = Computer Room North\ntemperature = 100\nhumidity = 100\n"
    "[module]\ndescription = Lab\ntemperature = -40\nhumidity = 5\n"
    "[module]\ndescription = Cellar\nin_use = 1\n";

using ScreenshotTest = AppTest;

TEST_F(ScreenshotTest, MainWindowInBothUnits) {
  ConfigureSim(kSim);
  ProfileStore::Instance().WriteText(values::Device, kDefaultSensorName, "Computer Room North");
  CKm7Dlg& w = StartMainWindow();
  ASSERT_TRUE(WaitFor([&] { return w.GetDlgItemText(IDC_TEMPERATURE).find("100.0") == 0; }))
      << w.GetDlgItemText(IDC_TEMPERATURE);
  ExpectLaidOutAsTemplated(w);
  EXPECT_TRUE(w.Grab(ScreenshotPath("main-celsius.png")));
  // The degree sign reaches the widget as the one character U+00B0.
  auto* radio = qobject_cast<QAbstractButton*>(w.GetDlgItem(IDC_CELSIUS));
  ASSERT_NE(radio, nullptr);
  EXPECT_EQ(radio->text(), QString::fromUtf8("\xC2\xB0" "C"));

  DialogDriver(w).PressButton(IDC_FAHRENHEIT);
  ASSERT_TRUE(WaitFor([&] { return w.GetDlgItemText(IDC_TEMPERATURE) == "212.0 \xB0" "F   "; }));
  ExpectLaidOutAsTemplated(w);
  EXPECT_TRUE(w.Grab(ScreenshotPath("main-fahrenheit.png")));
}

TEST_F(ScreenshotTest, MainWindowWithTheLowestTemperature) {
  ConfigureSim(kSim);
  ProfileStore::Instance().WriteText(values::Device, kDefaultSensorName, "Lab");
  ProfileStore::Instance().WriteInt(values::CFmode, "Lab", 0);
  CKm7Dlg& w = StartMainWindow();
  ASSERT_TRUE(WaitFor([&] { return w.GetDlgItemText(IDC_TEMPERATURE) == "-40.0 \xB0" "F   "; }))
      << w.GetDlgItemText(IDC_TEMPERATURE);
  // About -65 °C at 5 % and -40 °C.
  ASSERT_TRUE(WaitFor([&] { return w.GetDlgItemText(IDC_DEW_POINT).find("-8") == 0; }))
      << w.GetDlgItemText(IDC_DEW_POINT);
  ExpectLaidOutAsTemplated(w);
  EXPECT_TRUE(w.Grab(ScreenshotPath("main-lowest.png")));
}

TEST_F(ScreenshotTest, StatusWordsFitTheNameBox) {
  ConfigureSim("");
  CKm7Dlg& w = StartMainWindow();
  ASSERT_EQ(w.GetDlgItemText(IDC_NAME), "No devices attached");
  ExpectLaidOutAsTemplated(w);
  EXPECT_TRUE(w.Grab(ScreenshotPath("main-no-module.png")));
  for (const char* word : {"DLL Drivers Not Found", "Terminating thread", "bad reading (123456)", "Drivers Ready"}) {
    w.SetDlgItemText(IDC_NAME, word);
    ExpectLaidOutAsTemplated(w);
  }
}

TEST_F(ScreenshotTest, ChooserAndRenameDialog) {
  ConfigureSim(kSim);
  ProfileStore::Instance().WriteText(values::Device, kDefaultSensorName, "Computer Room North");
  CKm7Dlg& w = StartMainWindow();
  {
    ui::ScopedModalHook hook([&](CDialog& d) {
      ExpectLaidOutAsTemplated(d);
      EXPECT_TRUE(d.Grab(ScreenshotPath("chooser.png")));
      DialogDriver(d).PressKey(Qt::Key_Escape);
      return ui::IDCANCEL;
    });
    DialogDriver(w).PressButton(IDC_OPEN);
  }
  {
    ui::ScopedModalHook hook([&](CDialog& d) {
      DialogDriver(d).TypeText(IDC_NEW_NAME, "Greenhouse North");
      ExpectLaidOutAsTemplated(d);
      EXPECT_TRUE(d.Grab(ScreenshotPath("rename.png")));
      DialogDriver(d).PressButton(ui::IDCANCEL);
      return ui::IDCANCEL;
    });
    DialogDriver(w).PressButton(IDC_RENAME);
  }
  {
    ui::ScopedModalHook hook([&](CDialog& d) {
      ExpectLaidOutAsTemplated(d);
      EXPECT_TRUE(d.Grab(ScreenshotPath("about.png")));
      DialogDriver(d).PressButton(ui::IDOK);
      return ui::IDCANCEL;
    });
    w.OnSysCommand(IDM_ABOUTBOX);
  }
}

}  // namespace
}  // namespace km7::test
