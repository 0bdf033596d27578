// Boxes for trouble that goes on: one per kind, updated in place while it is
// open, a new one only once the user closed the last.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>

#include "ui/MessageBox.h"
#include "ui/QtTestEnvironment.h"

namespace km7::ui {
namespace {

std::vector<QMessageBox*> OpenBoxes() {
  std::vector<QMessageBox*> boxes;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(w); box != nullptr && box->isVisible()) boxes.push_back(box);
  return boxes;
}

TEST(StatusMessage, OneBoxPerKindTakesTheLatestTextAndANewOneComesOnlyAfterClosing) {
  ShowStatusMessage("given up", "1 alarm mail was given up");
  ShowStatusMessage("given up", "2 alarm mails were given up");
  ShowStatusMessage("outbox", "the outbox is full");
  ShowStatusMessage("given up", "3 alarm mails were given up");
  std::vector<QMessageBox*> boxes = OpenBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  QStringList texts;
  for (QMessageBox* b : boxes) texts << b->text();
  texts.sort();
  EXPECT_EQ(texts, (QStringList{"3 alarm mails were given up", "the outbox is full"}));
  for (QMessageBox* b : boxes) b->close();
  km7::test::RunEventsUntil([] { return OpenBoxes().empty(); }, 5000);
  ASSERT_TRUE(OpenBoxes().empty());
  // Closed by the user: the next trouble of that kind is told again.
  ShowStatusMessage("given up", "4 alarm mails were given up");
  boxes = OpenBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0]->text(), "4 alarm mails were given up");
  boxes[0]->close();
}

}  // namespace
}  // namespace km7::ui
