// The control that gets the focus when a dialog opens, and what typing does
// to an edit box's text there.
#include <QLineEdit>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/Dialog.h"
#include "ui/MessageBox.h"
#include "ui/QtTestEnvironment.h"
#include "ui/DialogDriver.h"

namespace km7::ui {
namespace {

constexpr int kFirst = 1001;
constexpr int kSecond = 1002;

class FocusDialog : public CDialog {
 public:
  FocusDialog(std::vector<ControlTemplate> controls, int gotoId)
      : CDialog(DialogTemplate{.caption = "Focus", .width = 160, .height = 60, .controls = std::move(controls)}),
        gotoId_(gotoId) {}
  void DoDataExchange(CDataExchange& dx) override {
    DDX_Text(dx, kFirst, first);
    if (HasItem(kSecond)) DDX_Text(dx, kSecond, second);
  }
  bool OnInitDialog() override {
    CDialog::OnInitDialog();
    if (gotoId_ != 0) {
      GotoDlgCtrl(gotoId_);
      return false;
    }
    return true;
  }
  int first = 1;
  std::string second = "old";

 private:
  int gotoId_;
};

TEST(InitialFocus, TypingReplacesTheTextOfTheEditThatGetsTheFocus) {
  const ControlTemplate okButton{IDOK, Kind::PushButton, "OK", 103, 7, 50, 14, kDefault};
  const ControlTemplate firstEdit{kFirst, Kind::Edit, "", 7, 7, 60, 14, 0};
  const ControlTemplate secondEdit{kSecond, Kind::Edit, "", 7, 25, 60, 14, 0};
  const ControlTemplate label{IDC_STATIC, Kind::Static, "Interval:", 7, 43, 60, 8, 0};
  auto with = [](ControlTemplate t, std::uint32_t flags) {
    t.flags |= flags;
    return t;
  };
  struct Case {
    const char* name;
    std::vector<ControlTemplate> controls;
    int gotoId;
    int focusId;
    std::string typed;
    int first;
    std::string second;
  };
  const Case cases[] = {
      {"first edit, as in the logging-interval dialog", {label, firstEdit, okButton}, 0, kFirst, "10", 10, "old"},
      {"a label before it takes no focus", {label, firstEdit, secondEdit, okButton}, 0, kFirst, "7", 7, "old"},
      {"a disabled edit is passed over", {with(firstEdit, kDisabled), secondEdit, okButton}, 0, kSecond, "new", 1, "new"},
      {"a hidden edit is passed over", {with(firstEdit, kHidden), secondEdit, okButton}, 0, kSecond, "x", 1, "x"},
      {"the dialog chose the second edit", {firstEdit, secondEdit, okButton}, kSecond, kSecond, "ab", 1, "ab"},
      {"a button first keeps the edits as they were", {okButton, firstEdit, secondEdit}, 0, IDOK, "99", 1, "old"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FocusDialog d(c.controls, c.gotoId);
    int focusId = 0;
    ScopedModalHook hook([&](CDialog& dlg) {
      // As a person would: the window has come up and taken the keyboard.
      km7::test::RunEventsUntil([&] { return dlg.Widget()->isActiveWindow(); }, 5000);
      QWidget* focus = dlg.Widget()->focusWidget();
      for (int id : {kFirst, kSecond, IDOK}) {
        if (focus != nullptr && focus == dlg.GetDlgItem(id)) focusId = id;
      }
      EXPECT_TRUE(DialogDriver(dlg).TypeKeys(c.typed));
      DialogDriver(dlg).PressButton(IDOK);
      return IDCANCEL;
    });
    EXPECT_EQ(d.DoModal(), IDOK);
    EXPECT_EQ(focusId, c.focusId);
    EXPECT_EQ(d.first, c.first);
    EXPECT_EQ(d.second, c.second);
  }
  km7::test::FlushDeferredDeletes();
}

// A text the program puts in later is not selected: the selection belongs to
// the moment the dialog opened.
TEST(InitialFocus, OnlyTheOpeningSelects) {
  FocusDialog d({{kFirst, Kind::Edit, "", 7, 7, 60, 14, 0}, {IDOK, Kind::PushButton, "OK", 103, 7, 50, 14, kDefault}}, 0);
  d.first = 123;
  ASSERT_TRUE(d.Create());
  auto* edit = qobject_cast<QLineEdit*>(d.GetDlgItem(kFirst));
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->selectedText(), QStringLiteral("123"));
  d.SetDlgItemText(kFirst, "456");
  EXPECT_FALSE(edit->hasSelectedText());
  ASSERT_TRUE(DialogDriver(d).TypeKeys("7"));
  EXPECT_EQ(d.GetDlgItemText(kFirst), "7456");  // the caret is at the start, as SetDlgItemText leaves it
  d.DestroyWindow();
  km7::test::FlushDeferredDeletes();
}

}  // namespace
}  // namespace km7::ui
