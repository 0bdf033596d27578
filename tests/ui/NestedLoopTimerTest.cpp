// Window timers keep firing while one of their own handlers waits in a nested
// event loop: a message box or a modal dialog opened from a tick.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ui/Dialog.h"
#include "ui/MessageBox.h"
#include "ui/QtTestEnvironment.h"

namespace km7::ui {
namespace {

constexpr int kTick = 1;
constexpr int kShown = 1001;
constexpr int kTicksWanted = 5;

// Counts its ticks and shows the count; the second tick opens something that
// waits for the user. The handler guards itself against running twice, as
// the program's handlers do, but every tick still does its work.
class TickingWindow : public CDialog {
 public:
  explicit TickingWindow(std::function<void(TickingWindow&)> open)
      : CDialog(DialogTemplate{.caption = "Ticking",
                               .width = 80,
                               .height = 30,
                               .controls = {{kShown, Kind::Static, "0", 7, 7, 60, 10, 0}}}),
        open_(std::move(open)) {}
  void OnTimer(int id) override {
    if (id != kTick) return;
    ++ticks;
    SetDlgItemText(kShown, std::to_string(ticks));
    if (open) {
      ++ticksWhileOpen;
      return;
    }
    if (ticks == 2) {
      open = true;
      open_(*this);
      open = false;
      ++boxesClosed;
    }
  }
  // Ticks seen while the box is up, and the text the window showed meanwhile.
  bool Enough() const { return ticksWhileOpen >= kTicksWanted; }

  int ticks = 0;
  int ticksWhileOpen = 0;
  int boxesClosed = 0;
  bool open = false;
  std::string shownWhileOpen;

 private:
  std::function<void(TickingWindow&)> open_;
};

class Question : public CDialog {
 public:
  explicit Question(CDialog* owner) : CDialog(DialogTemplate{.caption = "Asks", .width = 80, .height = 30}, owner) {}
};

struct Case {
  const char* name;
  // Sets up whatever answers the box, then opens it from the tick.
  std::function<void(TickingWindow&)> open;
};

// The seams run a real nested event loop, as a person reading the box would.
void WaitInNestedLoop(TickingWindow& w) {
  km7::test::RunEventsUntil([&] { return w.Enough(); }, 20000);
  w.shownWhileOpen = w.GetDlgItemText(kShown);
}

TEST(NestedLoopTimer, TicksKeepComingWhileATickWaitsForTheUser) {
  const Case cases[] = {
      {"message box seam",
       [](TickingWindow& w) {
         SetMessageHook([&w](const std::string&, MessageIcon, const std::string&) { WaitInNestedLoop(w); });
         ShowMessage("Could not open the log file.", MessageIcon::Warning);
         SetMessageHook(nullptr);
       }},
      {"modal dialog",
       [](TickingWindow& w) {
         Question asks(&w);
         ScopedModalHook hook([&w](CDialog&) {
           WaitInNestedLoop(w);
           return IDOK;
         });
         EXPECT_EQ(asks.DoModal(), IDOK);
       }},
      {"real message box",
       [](TickingWindow& w) {
         SetMessageHook(nullptr);
         QTimer closer;
         QObject::connect(&closer, &QTimer::timeout, [&w] {
           auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
           if (box == nullptr || !w.Enough()) return;
           w.shownWhileOpen = w.GetDlgItemText(kShown);
           box->button(QMessageBox::Ok)->click();
         });
         closer.start(10);
         // Bound, should the ticks never come.
         QTimer::singleShot(20000, &closer, [] {
           if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->close();
         });
         ShowMessage("The disk is full.", MessageIcon::Warning);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TickingWindow w(c.open);
    ASSERT_TRUE(w.Create());
    ASSERT_TRUE(w.SetTimer(kTick, 15));
    ASSERT_TRUE(km7::test::RunEventsUntil([&] { return w.boxesClosed == 1; }, 30000));
    EXPECT_GE(w.ticksWhileOpen, kTicksWanted);
    // The window's own work went on: it showed the ticks as they came.
    EXPECT_GE(std::stoi(w.shownWhileOpen), 2 + kTicksWanted);
    // And the timer still runs once the box is gone.
    const int after = w.ticks;
    EXPECT_TRUE(km7::test::RunEventsUntil([&] { return w.ticks >= after + 2; }, 20000));
    EXPECT_TRUE(w.HasTimer(kTick));
    w.DestroyWindow();
    km7::test::FlushDeferredDeletes();
  }
}

// A handler may kill or restart its own timer while it runs; the fresh timer
// each tick gets must not bring a killed timer back.
TEST(NestedLoopTimer, AHandlerThatKillsItsTimerStaysKilled) {
  struct Killer : CDialog {
    Killer() : CDialog(DialogTemplate{.caption = "Once", .width = 60, .height = 30}) {}
    void OnTimer(int id) override {
      ++ticks;
      KillTimer(id);
    }
    int ticks = 0;
  } w;
  ASSERT_TRUE(w.Create());
  ASSERT_TRUE(w.SetTimer(kTick, 10));
  ASSERT_TRUE(km7::test::RunEventsUntil([&] { return w.ticks >= 1; }, 20000));
  km7::test::RunEventsUntil([] { return false; }, 150);
  EXPECT_EQ(w.ticks, 1);
  EXPECT_FALSE(w.HasTimer(kTick));
}

}  // namespace
}  // namespace km7::ui
