// Fitting a dialog to captions that need more room than their templates gave.
#include <gtest/gtest.h>

#include <vector>

#include "ui/ControlFit.h"

namespace km7::ui {
namespace {

FitItem Item(QRect rect, QSize need = QSize(), bool aboutMiddle = false) {
  FitItem it;
  it.rect = rect;
  it.need = need;
  it.growAboutMiddle = aboutMiddle;
  return it;
}

FitItem Hidden(QRect rect, QSize need) {
  FitItem it = Item(rect, need);
  it.hidden = true;
  return it;
}

FitItem Frame(QRect rect) {
  FitItem it = Item(rect);
  it.frame = true;
  return it;
}

struct Case {
  const char* name;
  std::vector<FitItem> items;
  QSize client;
  std::vector<QRect> rects;
  QSize grown;
};

TEST(ControlFit, ControlsWidenPushTheirRowAndTheDialogGrows) {
  const QSize client(200, 100);
  const Case cases[] = {
      {"everything fits: nothing moves",
       {Item({10, 10, 50, 12}, {40, 10}), Item({70, 10, 50, 12})},
       client,
       {{10, 10, 50, 12}, {70, 10, 50, 12}},
       client},
      {"a wider caption pushes its neighbour, which keeps a gap of 3, and the dialog its margin",
       {Item({10, 10, 50, 12}, {80, 0}), Item({70, 10, 50, 12})},
       client,
       {{10, 10, 80, 12}, {93, 10, 50, 12}},
       {223, 100}},
      {"a neighbour closer than 3 keeps its own gap",
       {Item({10, 10, 50, 12}, {80, 0}), Item({61, 10, 50, 12})},
       client,
       {{10, 10, 80, 12}, {91, 10, 50, 12}},
       {230, 100}},
      {"controls on another row stay; the widened one keeps its own margin",
       {Item({10, 10, 50, 12}, {80, 0}), Item({70, 30, 50, 12})},
       client,
       {{10, 10, 80, 12}, {70, 30, 50, 12}},
       {230, 100}},
      {"moves cascade along the row and the dialog keeps its right margin",
       {Item({10, 10, 50, 12}, {90, 0}), Item({70, 10, 50, 12}), Item({130, 10, 60, 12})},
       client,
       {{10, 10, 90, 12}, {103, 10, 50, 12}, {156, 10, 60, 12}},
       {226, 100}},
      {"a control left of a wide one stays where it is",
       {Item({10, 10, 50, 12}), Item({70, 10, 50, 12}, {140, 0})},
       client,
       {{10, 10, 50, 12}, {70, 10, 140, 12}},
       {290, 100}},
      {"a hidden control never widens",
       {Hidden({10, 10, 50, 12}, {150, 30}), Item({70, 10, 50, 12})},
       client,
       {{10, 10, 50, 12}, {70, 10, 50, 12}},
       client},
      {"a taller indicator grows about the middle",
       {Item({10, 10, 50, 10}, {50, 16}, true)},
       client,
       {{10, 7, 50, 16}},
       {200, 103}},
      {"a taller label grows downwards, and the dialog keeps its bottom margin",
       {Item({10, 80, 50, 10}, {0, 16})},
       client,
       {{10, 80, 50, 16}},
       {200, 106}},
      {"a frame grows around what it holds",
       {Frame({5, 5, 120, 40}), Item({10, 15, 50, 12}, {130, 0})},
       client,
       {{5, 5, 200, 40}, {10, 15, 130, 12}},
       {280, 100}},
      {"the pushed last control makes the dialog wider",
       {Item({10, 10, 100, 12}, {150, 0}), Item({120, 10, 70, 12})},
       client,
       {{10, 10, 150, 12}, {163, 10, 70, 12}},
       {243, 100}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FitResult r = FitControls(c.items, c.client);
    EXPECT_EQ(r.rects, c.rects);
    EXPECT_EQ(r.client, c.grown);
  }
}

TEST(ControlFit, NoControls) {
  const FitResult r = FitControls({}, QSize(120, 40));
  EXPECT_TRUE(r.rects.empty());
  EXPECT_EQ(r.client, QSize(120, 40));
}

}  // namespace
}  // namespace km7::ui
