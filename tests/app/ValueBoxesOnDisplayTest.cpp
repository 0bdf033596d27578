// The main window's value boxes as a person sees them: on an X display (a
// private Xvfb, the xcb platform), after the display tick has changed them a
// few times. The tick repaints only what changed, so what the X server holds
// must equal what the boxes hold.
#include <QEvent>
#include <QImage>
#include <QObject>
#include <QWidget>
#include <set>

#include "AppTestSupport.h"
#include "settings/ProfileStore.h"
#include "settings/OpenSensor.h"
#include "support/XvfbDisplay.h"

namespace km7::test {
namespace {

class PaintCounter : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) ++paints;
    return false;
  }
  int paints = 0;
};

class ValueBoxesOnDisplayTest : public AppTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(XvfbRunning());
    AppTest::SetUp();
    ProfileStore::Instance().WriteText(profile::Device, kDefaultSensorName, "Lab");
  }
};

TEST_F(ValueBoxesOnDisplayTest, TheScreenShowsWhatTheBoxesHoldAfterTicks) {
  ConfigureSim("[module]\ndescription = Lab\ntemperature = 22.5\nhumidity = 45.0\ndrift = 2\n");
  CKm7Dlg& w = StartMainWindow();
  std::set<std::string> seen;
  ASSERT_TRUE(WaitFor([&] {
    seen.insert(w.GetDlgItemText(IDC_TEMPERATURE));
    return seen.size() >= 4;
  }));
  // Still, so that the comparison sees one state.
  w.StopDisplayTimer();
  WaitFor([] { return false; }, 300);
  const QImage screen = PixelsOnDisplay(w.Widget());
  screen.save(QString::fromStdString(ScreenshotPath("main-window-on-display.png")));
  for (const int id : {IDC_TEMPERATURE, IDC_HUMIDITY, IDC_DEW_POINT, IDC_NAME}) {
    QWidget* box = w.GetDlgItem(id);
    const QRect place(box->mapTo(w.Widget(), QPoint(0, 0)), box->size());
    const QImage shown = screen.copy(place);
    const QImage fresh = box->grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shown, fresh) << "box " << id << " holds \"" << w.GetDlgItemText(id) << "\"";
  }
}

TEST_F(ValueBoxesOnDisplayTest, AnUnchangedValueIsNotRepainted) {
  ConfigureSim("[module]\ndescription = Lab\ntemperature = 22.5\nhumidity = 45.0\ndrift = 0\n");
  CKm7Dlg& w = StartMainWindow();
  ASSERT_TRUE(WaitFor([&] { return w.GetDlgItemText(IDC_TEMPERATURE).rfind("22.", 0) == 0; }));
  WaitFor([] { return false; }, 500);
  PaintCounter window, box;
  w.Widget()->installEventFilter(&window);
  w.GetDlgItem(IDC_TEMPERATURE)->installEventFilter(&box);
  // Eight ticks or so, all with the same texts.
  WaitFor([] { return false; }, 2000);
  EXPECT_EQ(box.paints, 0);
  EXPECT_EQ(window.paints, 0);
  w.Widget()->removeEventFilter(&window);
  w.GetDlgItem(IDC_TEMPERATURE)->removeEventFilter(&box);
}

}  // namespace
}  // namespace km7::test
