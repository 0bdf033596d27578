#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ui/Dialog.h"
#include "ui/MessageBox.h"
#include "ui/QtTestEnvironment.h"
#include "ui/DialogDriver.h"

namespace km7::ui {
namespace {

using Log = std::vector<std::string>;

struct Message {
  std::string text;
  MessageIcon icon;
  std::string caption;
};

// Every test sees the message boxes instead of a person, and leaves no hook behind.
class UiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMessageHook([this](const std::string& text, MessageIcon icon, const std::string& caption) {
      messages.push_back({text, icon, caption});
    });
  }
  void TearDown() override {
    SetMessageHook(nullptr);
    SetModalHook(nullptr);
    km7::test::FlushDeferredDeletes();
  }
  std::vector<Message> messages;
};

DialogTemplate FormTemplate() {
  DialogTemplate t;
  t.caption = "Form";
  t.width = 200;
  t.height = 120;
  t.controls = {
      {IDOK, Kind::PushButton, "OK", 143, 7, 50, 14, kDefault},
      {IDCANCEL, Kind::PushButton, "Cancel", 143, 24, 50, 14, 0},
      {1001, Kind::Edit, "", 7, 7, 100, 14, 0},
      {1002, Kind::Edit, "", 7, 24, 40, 14, 0},
      {1003, Kind::Edit, "", 50, 24, 40, 14, 0},
      {1004, Kind::CheckBox, "On", 7, 42, 60, 10, 0},
      {1005, Kind::RadioButton, "A", 7, 55, 20, 10, kGroup},
      {1006, Kind::RadioButton, "B", 30, 55, 20, 10, 0},
      {1007, Kind::RadioButton, "C", 53, 55, 20, 10, 0},
      {1008, Kind::RadioButton, "X", 7, 68, 20, 10, kGroup},
      {1009, Kind::RadioButton, "Y", 30, 68, 20, 10, 0},
      {1010, Kind::ListBox, "", 100, 42, 90, 40, kSorted},
      {1011, Kind::ComboBox, "", 100, 85, 90, 60, kDropDownList},
      {1012, Kind::PushButton, "Apply", 7, 90, 40, 14, 0},
      {1013, Kind::PushButton, "Reset", 50, 90, 40, 14, 0},
  };
  return t;
}

class FormDialog : public CDialog {
 public:
  explicit FormDialog(CDialog* owner = nullptr) : CDialog(FormTemplate(), owner) {
    SetMessageTable<FormDialog>({
        {Notify::Clicked, 1012, &FormDialog::OnApply},
        {Notify::Clicked, 1013, &FormDialog::OnReset},
        {Notify::EditChange, 1001, &FormDialog::OnNameChange},
        {Notify::SelChange, 1010, &FormDialog::OnListSel},
        {Notify::DoubleClick, 1010, &FormDialog::OnListDouble},
    });
  }
  void DoDataExchange(CDataExchange& dx) override {
    DDX_Text(dx, 1001, name);
    DDX_Text(dx, 1002, count);
    DDX_Text(dx, 1003, ratio);
    DDX_Check(dx, 1004, on);
    DDX_Radio(dx, 1005, letter);
    DDX_Radio(dx, 1008, axis);
  }
  bool OnInitDialog() override {
    CDialog::OnInitDialog();
    log.push_back("init");
    return true;
  }
  void OnOK() override {
    log.push_back("ok");
    CDialog::OnOK();
  }
  void OnCancel() override {
    log.push_back("cancel");
    CDialog::OnCancel();
  }

  std::string name = "start";
  int count = 5;
  double ratio = 1.0;
  int on = 0;
  int letter = 0;
  int axis = -1;
  Log log;

 private:
  void OnApply() { log.push_back("apply"); }
  void OnReset() { log.push_back("reset"); }
  void OnNameChange() { log.push_back("name:" + GetDlgItemText(1001)); }
  void OnListSel() { log.push_back("sel:" + std::to_string(ListGetCurSel(1010))); }
  void OnListDouble() { log.push_back("dbl:" + ListGetText(1010, ListGetCurSel(1010))); }
};

QString Edit(const CDialog& d, int id) { return qobject_cast<QLineEdit*>(d.GetDlgItem(id))->text(); }

// ------------------------------------------------------------ data exchange

TEST_F(UiTest, LoadShowsMembersWithTheDegreeSignAsUnicode) {
  FormDialog d;
  d.name = "22.5\xB0" "C \x80 caf\xE9";
  d.count = -42;
  d.ratio = 0.125;
  d.on = 1;
  d.letter = 2;
  d.axis = -1;
  ASSERT_TRUE(d.Create());  // OnInitDialog loads
  EXPECT_EQ(Edit(d, 1001), QString::fromUtf8("22.5\u00B0C \u20AC caf\u00E9"));
  EXPECT_EQ(Edit(d, 1002), QStringLiteral("-42"));
  EXPECT_EQ(Edit(d, 1003), QStringLiteral("0.125"));
  EXPECT_EQ(d.IsDlgButtonChecked(1004), 1);
  EXPECT_EQ(d.IsDlgButtonChecked(1005), 0);
  EXPECT_EQ(d.IsDlgButtonChecked(1007), 1);
  EXPECT_EQ(d.IsDlgButtonChecked(1008), 0);
  EXPECT_EQ(d.IsDlgButtonChecked(1009), 0);
}

TEST_F(UiTest, SaveReadsControlsBackAsWindows1252) {
  FormDialog d;
  ASSERT_TRUE(d.Create());
  qobject_cast<QLineEdit*>(d.GetDlgItem(1001))->setText(QString::fromUtf8("30.0\u00B0F \u20AC \u03A9"));
  ASSERT_TRUE(DialogDriver(d).TypeText(1002, "  17 "));
  ASSERT_TRUE(DialogDriver(d).TypeText(1003, "2.5e1"));
  ASSERT_TRUE(DialogDriver(d).PressButton(1004));
  ASSERT_TRUE(DialogDriver(d).PressButton(1006));
  ASSERT_TRUE(DialogDriver(d).PressButton(1009));
  ASSERT_TRUE(d.UpdateData(true));
  EXPECT_EQ(d.name, "30.0\xB0" "F \x80 ?");  // no Windows-1252 omega: '?'
  EXPECT_EQ(d.count, 17);
  EXPECT_DOUBLE_EQ(d.ratio, 25.0);
  EXPECT_EQ(d.on, 1);
  EXPECT_EQ(d.letter, 1);
  EXPECT_EQ(d.axis, 1);

  // Load what was saved: the same texts come back.
  ASSERT_TRUE(d.UpdateData(false));
  EXPECT_EQ(d.GetDlgItemText(1001), "30.0\xB0" "F \x80 ?");
  EXPECT_EQ(Edit(d, 1002), QStringLiteral("17"));
  EXPECT_TRUE(messages.empty());
}

TEST_F(UiTest, BadNumbersStopTheExchangeWithTheFrameworkMessage) {
  FormDialog d;
  ASSERT_TRUE(d.Create());
  for (const char* bad : {"12abc", "", "  ", "4 2", "99999999999", "-"}) {
    SCOPED_TRACE(bad);
    messages.clear();
    d.name = "kept";
    d.count = 5;
    d.ratio = 1.0;
    d.SetDlgItemText(1001, "new");
    d.SetDlgItemText(1002, bad);
    d.SetDlgItemText(1003, "3");
    EXPECT_FALSE(d.UpdateData(true));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Please enter an integer.");
    EXPECT_EQ(messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(d.name, "new");   // exchanged before the bad field
    EXPECT_EQ(d.count, 5);      // the bad field's member keeps its value
    EXPECT_EQ(d.ratio, 1.0);    // nothing after it is exchanged
  }
  messages.clear();
  d.SetDlgItemText(1002, "+7");
  d.SetDlgItemText(1003, "1.2.3");
  EXPECT_FALSE(d.UpdateData(true));
  EXPECT_EQ(d.count, 7);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Please enter a number.");
  EXPECT_EQ(d.GetDlgItem(1003)->window()->focusWidget(), d.GetDlgItem(1003));
}

TEST_F(UiTest, DefaultOnOkDoesNotEndWhenTheExchangeFails) {
  FormDialog d;
  ASSERT_TRUE(d.Create());
  d.SetDlgItemText(1002, "ten");
  ASSERT_TRUE(DialogDriver(d).PressButton(IDOK));
  EXPECT_TRUE(d.IsWindowVisible());
  EXPECT_EQ(d.Result(), -1);
  d.SetDlgItemText(1002, "10");
  ASSERT_TRUE(DialogDriver(d).PressButton(IDOK));
  EXPECT_EQ(d.Result(), IDOK);
  EXPECT_FALSE(d.IsWindowVisible());
  EXPECT_EQ(d.count, 10);
}

// ------------------------------------------------------------ radio groups

TEST_F(UiTest, RadioGroupsAreIndependentAndMayHaveNoneChecked) {
  FormDialog d;
  d.letter = 0;
  d.axis = 0;
  ASSERT_TRUE(d.Create());
  ASSERT_TRUE(DialogDriver(d).PressButton(1006));
  EXPECT_EQ(d.IsDlgButtonChecked(1005), 0);
  EXPECT_EQ(d.IsDlgButtonChecked(1006), 1);
  EXPECT_EQ(d.IsDlgButtonChecked(1008), 1);  // the other group is untouched
  ASSERT_TRUE(DialogDriver(d).PressButton(1009));
  EXPECT_EQ(d.IsDlgButtonChecked(1006), 1);
  ASSERT_TRUE(d.UpdateData(true));
  EXPECT_EQ(d.letter, 1);
  EXPECT_EQ(d.axis, 1);

  d.letter = -1;
  ASSERT_TRUE(d.UpdateData(false));
  for (int id : {1005, 1006, 1007}) EXPECT_EQ(d.IsDlgButtonChecked(id), 0) << id;
  EXPECT_EQ(d.IsDlgButtonChecked(1009), 1);
  ASSERT_TRUE(d.UpdateData(true));
  EXPECT_EQ(d.letter, -1);

  d.CheckRadioButton(1005, 1007, 1007);
  EXPECT_EQ(d.IsDlgButtonChecked(1007), 1);
  d.CheckDlgButton(1007, 0);
  ASSERT_TRUE(d.UpdateData(true));
  EXPECT_EQ(d.letter, -1);
}

TEST_F(UiTest, ARadioGroupAlsoEndsAtAnyOtherControl) {
  DialogTemplate t;
  t.width = 100;
  t.height = 40;
  t.controls = {
      {2001, Kind::RadioButton, "One", 5, 5, 30, 10, kGroup},
      {2002, Kind::RadioButton, "Two", 40, 5, 30, 10, 0},
      {IDC_STATIC, Kind::Static, "Scale:", 5, 18, 20, 8, 0},
      {2003, Kind::RadioButton, "Three", 5, 28, 30, 10, 0},
      {2004, Kind::RadioButton, "Four", 40, 28, 30, 10, 0},
  };
  CDialog d(t);
  ASSERT_TRUE(d.Create());
  ASSERT_TRUE(DialogDriver(d).PressButton(2002));
  ASSERT_TRUE(DialogDriver(d).PressButton(2004));
  EXPECT_EQ(d.IsDlgButtonChecked(2002), 1);
  EXPECT_EQ(d.IsDlgButtonChecked(2004), 1);
  ASSERT_TRUE(DialogDriver(d).PressButton(2003));
  EXPECT_EQ(d.IsDlgButtonChecked(2004), 0);
  EXPECT_EQ(d.IsDlgButtonChecked(2002), 1);
}

// ------------------------------------------------------------ message table

TEST_F(UiTest, AClickRunsTheHandlerMappedToThatIdOnly) {
  FormDialog d;
  ASSERT_TRUE(d.Create());
  d.log.clear();
  ASSERT_TRUE(DialogDriver(d).PressButton(1012));
  EXPECT_EQ(d.log, Log({"apply"}));
  ASSERT_TRUE(DialogDriver(d).PressButton(1013));
  EXPECT_EQ(d.log, Log({"apply", "reset"}));
  ASSERT_TRUE(DialogDriver(d).PressButton(1004));  // unmapped: toggles, runs nothing
  EXPECT_EQ(d.log.size(), 2u);
  EXPECT_EQ(d.IsDlgButtonChecked(1004), 1);

  d.EnableItem(1012, false);
  EXPECT_FALSE(DialogDriver(d).PressButton(1012));
  EXPECT_EQ(d.log.size(), 2u);
  EXPECT_FALSE(DialogDriver(d).PressButton(4711));  // no such control

  std::vector<int> ranged;
  d.BindRange(Notify::Clicked, 1005, 1009, [&](int id) { ranged.push_back(id); });
  ASSERT_TRUE(DialogDriver(d).PressButton(1006));
  ASSERT_TRUE(DialogDriver(d).PressButton(1008));
  EXPECT_EQ(ranged, std::vector<int>({1006, 1008}));
  EXPECT_TRUE(d.SendNotify(1013));
  EXPECT_EQ(d.log.back(), "reset");
  EXPECT_FALSE(d.SendNotify(1004));
}

TEST_F(UiTest, CheckingByProgramDoesNotNotifyButAUserClickDoes) {
  FormDialog d;
  ASSERT_TRUE(d.Create());
  int clicks = 0;
  d.Bind(Notify::Clicked, 1004, [&] { ++clicks; });
  d.CheckDlgButton(1004, 1);
  EXPECT_EQ(clicks, 0);
  ASSERT_TRUE(DialogDriver(d).PressButton(1004));
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(d.IsDlgButtonChecked(1004), 0);
}

TEST_F(UiTest, EditAndListNotifications) {
  FormDialog d;
  ASSERT_TRUE(d.Create());
  d.log.clear();
  ASSERT_TRUE(DialogDriver(d).TypeText(1001, "Lab"));
  EXPECT_EQ(d.log, Log({"name:Lab"}));

  d.log.clear();
  d.ListAddString(1010, "beta");
  d.ListAddString(1010, "alpha");
  d.ListSetCurSel(1010, 0);  // by program: no notification
  EXPECT_TRUE(d.log.empty());
  ASSERT_TRUE(DialogDriver(d).SelectListItem(1010, 1));
  EXPECT_EQ(d.log, Log({"sel:1"}));
  ASSERT_TRUE(DialogDriver(d).DoubleClickListItem(1010, 0));
  EXPECT_EQ(d.log, Log({"sel:1", "sel:0", "dbl:alpha"}));
  EXPECT_FALSE(DialogDriver(d).SelectListItem(1010, 5));
}

// ------------------------------------------------------------ list and combo boxes

TEST_F(UiTest, SortedListBoxKeepsOrderIgnoringCase) {
  FormDialog d;
  ASSERT_TRUE(d.Create());
  EXPECT_EQ(d.ListAddString(1010, "Lab"), 0);
  EXPECT_EQ(d.ListAddString(1010, "Currently Active"), 0);
  EXPECT_EQ(d.ListAddString(1010, "2 device(s) attached:"), 0);
  EXPECT_EQ(d.ListAddString(1010, "basement"), 1);
  EXPECT_EQ(d.ListGetCount(1010), 4);
  EXPECT_EQ(d.ListGetText(1010, 1), "basement");
  EXPECT_EQ(d.ListGetText(1010, 3), "Lab");
  EXPECT_EQ(d.ListFindStringExact(1010, "LAB"), 3);
  EXPECT_EQ(d.ListFindStringExact(1010, "La"), -1);
  EXPECT_EQ(d.ListGetCurSel(1010), -1);
  EXPECT_TRUE(d.ListSetCurSel(1010, 1));
  EXPECT_EQ(d.ListGetCurSel(1010), 1);
  EXPECT_FALSE(d.ListSetCurSel(1010, 9));
  EXPECT_EQ(d.ListGetCurSel(1010), -1);
  EXPECT_EQ(d.ListDeleteString(1010, 0), 3);
  EXPECT_EQ(d.ListGetText(1010, 0), "basement");
  EXPECT_EQ(d.ListGetText(1010, 7), "");
  d.ListResetContent(1010);
  EXPECT_EQ(d.ListGetCount(1010), 0);
  EXPECT_EQ(d.ListGetCount(1001), -1);  // not a list box
}

TEST_F(UiTest, ComboBoxesCarryItemDataAndMayShowTextOfTheirOwn) {
  DialogTemplate t;
  t.width = 120;
  t.height = 40;
  t.controls = {{1033, Kind::ComboBox, "", 5, 5, 61, 70, 0}};
  CDialog d(t);
  ASSERT_TRUE(d.Create());
  const char* names[] = {"None", "CRAM MD5", "AUTH LOGIN"};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(d.ComboAddString(1033, names[i]), i);
    ASSERT_TRUE(d.ComboSetItemData(1033, i, i * 10));
  }
  EXPECT_EQ(d.ComboGetCurSel(1033), -1);  // adding selects nothing
  EXPECT_EQ(d.ComboGetItemData(1033, 2), 20);
  EXPECT_EQ(d.ComboGetItemData(1033, 3), 0);
  EXPECT_TRUE(d.ComboSetCurSel(1033, 1));
  EXPECT_EQ(d.GetDlgItemText(1033), "CRAM MD5");
  d.ComboSetCurSel(1033, -1);
  d.SetDlgItemText(1033, "???");
  EXPECT_EQ(d.ComboGetCurSel(1033), -1);
  EXPECT_EQ(d.GetDlgItemText(1033), "???");
  EXPECT_LT(d.GetDlgItem(1033)->height(), d.MapDialogRect(0, 0, 61, 70).height());  // one line, not the list
  int changes = 0;
  d.Bind(Notify::SelChange, 1033, [&] { ++changes; });
  ASSERT_TRUE(DialogDriver(d).SelectListItem(1033, 2));
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(d.ComboGetItemData(1033, d.ComboGetCurSel(1033)), 20);
}

class ChooserDialog : public CDialog {
 public:
  ChooserDialog()
      : CDialog(DialogTemplate{.caption = "Select Device to Open and Click OK",
                               .width = 160,
                               .height = 90,
                               .controls = {{IDOK, Kind::PushButton, "OK", 105, 7, 50, 14, kDefault},
                                            {1011, Kind::ListBox, "", 7, 7, 90, 60, kSorted},
                                            {1033, Kind::ComboBox, "", 7, 70, 90, 60, 0}}}) {}
  bool OnInitDialog() override {
    for (const char* s : {"Lab", "2 device(s) attached:", "Currently Active"}) ListAddString(1011, s);
    for (const char* s : {"None", "NTLM"}) ComboAddString(1033, s);
    return CDialog::OnInitDialog();
  }
  void DoDataExchange(CDataExchange& dx) override {
    DDX_LBIndex(dx, 1011, index);
    DDX_LBString(dx, 1011, text);
    DDX_CBString(dx, 1033, method);
    DDX_CBIndex(dx, 1033, methodIndex);
  }
  int index = 1;
  std::string text;
  std::string method = "ntlm";
  int methodIndex = -1;
};

TEST_F(UiTest, ListAndComboSelectionsExchangeBothWays) {
  ChooserDialog d;
  ASSERT_TRUE(d.Create());
  // Loading: the index selects line 1, then the string selects the first line
  // it prefixes (the empty text prefixes all); "ntlm" selects "NTLM", and the
  // index -1 after it clears the selection again.
  EXPECT_EQ(d.ListGetCurSel(1011), 0);
  EXPECT_EQ(d.ComboGetCurSel(1033), -1);
  ASSERT_TRUE(DialogDriver(d).SelectListItem(1011, 2));
  ASSERT_TRUE(DialogDriver(d).SelectListItem(1033, 1));
  ASSERT_TRUE(d.UpdateData(true));
  EXPECT_EQ(d.index, 2);
  EXPECT_EQ(d.text, "Lab");
  EXPECT_EQ(d.method, "NTLM");
  EXPECT_EQ(d.methodIndex, 1);

  d.index = -1;
  d.text = "curr";  // a prefix selects, ignoring case
  d.method = "Auto Detect";  // no such line: the editable box shows the text
  d.methodIndex = -5;
  ASSERT_TRUE(d.UpdateData(false));
  EXPECT_EQ(d.ListGetCurSel(1011), 1);
  EXPECT_EQ(d.ListGetText(1011, 1), "Currently Active");
  EXPECT_EQ(d.ComboGetCurSel(1033), -1);

  d.methodIndex = 0;
  ASSERT_TRUE(d.UpdateData(false));
  EXPECT_EQ(d.GetDlgItemText(1033), "None");
  d.SetWindowText("Other title");
  EXPECT_EQ(d.GetWindowText(), "Other title");
  d.DestroyWindow();
  EXPECT_EQ(d.GetWindowText(), "Select Device to Open and Click OK");  // the template's again
}

// ------------------------------------------------------------ edits and captions

TEST_F(UiTest, EditFlagsLimitWhatCanBeTyped) {
  DialogTemplate t;
  t.width = 150;
  t.height = 60;
  t.controls = {
      {1, Kind::Edit, "", 5, 5, 30, 14, kNoHScroll},
      {2, Kind::Edit, "", 5, 22, 60, 14, kNumber},
      {3, Kind::Edit, "", 5, 39, 60, 14, kReadOnly},
      {4, Kind::Edit, "", 70, 5, 60, 14, kPassword},
  };
  CDialog d(t);
  ASSERT_TRUE(d.Create());
  EXPECT_TRUE(DialogDriver(d).TypeText(1, "abc"));
  EXPECT_FALSE(DialogDriver(d).TypeText(1, "a line much longer than thirty dialog units"));
  EXPECT_EQ(d.GetDlgItemText(1), "abc");
  EXPECT_TRUE(DialogDriver(d).TypeText(2, "0123"));
  EXPECT_FALSE(DialogDriver(d).TypeText(2, "12a"));
  EXPECT_FALSE(DialogDriver(d).TypeText(3, "x"));
  d.SetItemReadOnly(3, false);
  EXPECT_TRUE(DialogDriver(d).TypeText(3, "x"));
  EXPECT_TRUE(DialogDriver(d).TypeText(4, "secret"));
  EXPECT_EQ(d.GetDlgItemText(4), "secret");
  EXPECT_EQ(qobject_cast<QLineEdit*>(d.GetDlgItem(4))->echoMode(), QLineEdit::Password);

  // Programs set long texts too; the beginning shows, as it would have.
  d.SetDlgItemText(2, "123456789012345678901234567890");
  EXPECT_EQ(qobject_cast<QLineEdit*>(d.GetDlgItem(2))->cursorPosition(), 0);
  bool ok = true;
  EXPECT_EQ(d.GetDlgItemInt(2, &ok), 0);
  EXPECT_FALSE(ok);  // out of range
  d.SetDlgItemInt(2, -25);
  EXPECT_EQ(d.GetDlgItemInt(2, &ok), -25);
  EXPECT_TRUE(ok);
}

TEST_F(UiTest, ClippedCheckBoxWidensAndPushesItsRowAndTheDialog) {
  DialogTemplate t;
  t.width = 90;
  t.height = 50;
  t.controls = {
      {1, Kind::CheckBox, "A caption far too long", 5, 5, 20, 10, 0},
      {2, Kind::PushButton, "Go", 30, 4, 30, 12, 0},
      {3, Kind::Static, "below", 30, 25, 30, 8, 0},
      {4, Kind::CheckBox, "Fits", 5, 35, 60, 10, 0},
      {5, Kind::PushButton, "Hidden default, never widened", 70, 35, 6, 10, kDefault | kHidden},
  };
  CDialog d(t);
  ASSERT_TRUE(d.Create());
  QWidget* box = d.GetDlgItem(1);
  EXPECT_GE(box->width(), box->sizeHint().width());
  EXPECT_GT(box->width(), d.MapDialogRect(5, 5, 20, 10).width());
  const QRect go = d.GetDlgItem(2)->geometry();
  EXPECT_GE(go.left(), box->geometry().left() + box->width());  // moved along, no overlap
  EXPECT_EQ(go.width(), d.MapDialogRect(30, 4, 30, 12).width());
  EXPECT_EQ(d.GetDlgItem(3)->geometry(), d.MapDialogRect(30, 25, 30, 8));  // other row: stays
  EXPECT_EQ(d.GetDlgItem(4)->geometry().width(), d.MapDialogRect(5, 35, 60, 10).width());
  EXPECT_EQ(d.GetDlgItem(5)->geometry(), d.MapDialogRect(70, 35, 6, 10));
  // The dialog grew by the row's growth and kept the button's right margin.
  const int margin = d.MapDialogRect(0, 0, 90, 1).width() - (d.MapDialogRect(30, 4, 30, 12).right() + 1);
  EXPECT_EQ(d.GetClientRect().width(), go.right() + 1 + margin);
  // And the caption is not clipped: the whole text fits beside the indicator.
  EXPECT_GE(box->width(), box->fontMetrics().horizontalAdvance(QStringLiteral("A caption far too long")));
}

TEST_F(UiTest, MultiLineButtonsWrapTheirCaptionInsteadOfWidening) {
  DialogTemplate t;
  t.width = 120;
  t.height = 50;
  const std::string caption = "Send test email to\nall TO: and CC: addresses listed";
  t.controls = {{1015, Kind::PushButton, caption, 5, 5, 82, 33, kMultiLine}};
  CDialog d(t);
  ASSERT_TRUE(d.Create());
  auto* b = qobject_cast<QPushButton*>(d.GetDlgItem(1015));
  EXPECT_EQ(b->width(), d.MapDialogRect(5, 5, 82, 33).width());
  EXPECT_GE(b->text().count(QLatin1Char('\n')), 2);
  for (const QString& line : b->text().split(QLatin1Char('\n'))) {
    EXPECT_LE(b->fontMetrics().horizontalAdvance(line), b->width() - 8) << line.toStdString();
  }
  EXPECT_EQ(d.GetDlgItemText(1015), caption);
  d.SetDlgItemText(1015, "Sending email...");
  EXPECT_EQ(d.GetDlgItemText(1015), "Sending email...");
}

TEST_F(UiTest, LabelsShowAmpersandsTheWayTheyWereMeant) {
  DialogTemplate t;
  t.width = 120;
  t.height = 30;
  t.controls = {{7, Kind::Static, "Salt && &Pepper <b>", 5, 5, 110, 8, 0}};
  CDialog d(t);
  ASSERT_TRUE(d.Create());
  EXPECT_EQ(qobject_cast<QLabel*>(d.GetDlgItem(7))->text(), QStringLiteral("Salt & Pepper <b>"));
  EXPECT_EQ(d.GetDlgItemText(7), "Salt && &Pepper <b>");
  // A text set at run time is data (a sensor's name): shown as it is.
  for (const char* text : {"R&D \"Lab\" <1>", "Salt && &Pepper", "&", "Salt && &Pepper <b>"}) {
    d.SetDlgItemText(7, text);
    EXPECT_EQ(qobject_cast<QLabel*>(d.GetDlgItem(7))->text(), QString::fromLatin1(text)) << text;
    EXPECT_EQ(d.GetDlgItemText(7), text);
  }
}

TEST_F(UiTest, IconControlsShowRegisteredIcons) {
  QPixmap pm(32, 32);
  pm.fill(Qt::blue);
  RegisterIcon("128", QIcon(pm));
  DialogTemplate t;
  t.width = 100;
  t.height = 40;
  t.controls = {{IDC_STATIC, Kind::Icon, "128", 11, 17, 20, 20, 0}, {9, Kind::Icon, "none", 40, 5, 0, 0, 0}};
  CDialog d(t);
  d.SetIcon(QIcon(pm));
  ASSERT_TRUE(d.Create());
  EXPECT_FALSE(d.Widget()->windowIcon().isNull());
  auto* icon = qobject_cast<QLabel*>(d.Widget()->childAt(d.MapDialogRect(11, 17, 1, 1).topLeft()));
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->size(), QSize(32, 32));
  EXPECT_FALSE(icon->pixmap().isNull());
  EXPECT_TRUE(qobject_cast<QLabel*>(d.GetDlgItem(9))->pixmap().isNull());
  d.SetDlgItemIcon(9, QIcon(pm));
  EXPECT_FALSE(qobject_cast<QLabel*>(d.GetDlgItem(9))->pixmap().isNull());
}

// ------------------------------------------------------------ timers

class TimerDialog : public CDialog {
 public:
  TimerDialog() : CDialog(DialogTemplate{.caption = "Timers", .width = 60, .height = 30}) {}
  void OnTimer(int id) override {
    fired.push_back(id);
    if (id == oneShot) KillTimer(id);
  }
  int Count(int id) const { return static_cast<int>(std::count(fired.begin(), fired.end(), id)); }
  std::vector<int> fired;
  int oneShot = 0;
};

TEST_F(UiTest, TimersFireByIdUntilKilled) {
  TimerDialog d;
  EXPECT_FALSE(d.SetTimer(100, 20));  // no window yet
  ASSERT_TRUE(d.Create());
  ASSERT_TRUE(d.SetTimer(100, 20));
  ASSERT_TRUE(d.SetTimer(300, 35));
  d.oneShot = 7;
  ASSERT_TRUE(d.SetTimer(7, 15));
  ASSERT_TRUE(km7::test::RunEventsUntil([&] { return d.Count(100) >= 3 && d.Count(300) >= 2; }, 20000));
  EXPECT_EQ(d.Count(7), 1);  // killed itself in its handler
  EXPECT_FALSE(d.HasTimer(7));

  ASSERT_TRUE(d.KillTimer(100));
  EXPECT_FALSE(d.KillTimer(100));
  EXPECT_FALSE(d.KillTimer(12345));
  const int after = d.Count(100);
  const int base300 = d.Count(300);
  ASSERT_TRUE(km7::test::RunEventsUntil([&] { return d.Count(300) >= base300 + 3; }, 20000));
  EXPECT_EQ(d.Count(100), after);

  // Setting an id again restarts it; it does not add a second timer.
  ASSERT_TRUE(d.SetTimer(300, 10000));
  ASSERT_TRUE(d.SetTimer(300, 10000));
  const int now300 = d.Count(300);
  ASSERT_TRUE(d.SetTimer(5, 30));
  ASSERT_TRUE(km7::test::RunEventsUntil([&] { return d.Count(5) >= 2; }, 20000));
  EXPECT_EQ(d.Count(300), now300);

  d.DestroyWindow();
  EXPECT_FALSE(d.HasTimer(5));
  EXPECT_FALSE(d.KillTimer(5));
}

// ------------------------------------------------------------ modal runs

TEST_F(UiTest, ModalHookFillsTheDialogAndAnswersOk) {
  FormDialog d;
  d.name = "old";
  bool sawInitialised = false;
  ScopedModalHook hook([&](CDialog& dlg) {
    sawInitialised = dlg.GetDlgItemText(1001) == "old" && dlg.IsWindowVisible();
    DialogDriver(dlg).TypeText(1001, "new \xB0");
    DialogDriver(dlg).TypeText(1002, "12");
    DialogDriver(dlg).PressButton(IDOK);
    return 99;  // ignored: the dialog was ended
  });
  EXPECT_EQ(d.DoModal(), IDOK);
  EXPECT_TRUE(sawInitialised);
  EXPECT_EQ(d.name, "new \xB0");
  EXPECT_EQ(d.count, 12);
  // Loading a text is a change too, as typing is.
  EXPECT_EQ(d.log, Log({"name:old", "init", "name:new \xB0", "ok"}));
  EXPECT_FALSE(d.IsWindow());
  EXPECT_FALSE(d.IsModal());
}

TEST_F(UiTest, ModalHookAnswersCancelAndNothingIsSaved) {
  FormDialog d;
  ScopedModalHook hook([](CDialog& dlg) {
    DialogDriver(dlg).TypeText(1001, "typed");
    DialogDriver(dlg).PressButton(IDCANCEL);
    return IDOK;
  });
  EXPECT_EQ(d.DoModal(), IDCANCEL);
  EXPECT_EQ(d.name, "start");
  EXPECT_EQ(d.log, Log({"name:start", "init", "name:typed", "cancel"}));
}

class PickyDialog : public FormDialog {
 public:
  void OnOK() override {
    if (!UpdateData(true)) return;
    if (name.size() < 2) {
      ShowMessage("New description strings must be at least 2 characters in length.");
      return;
    }
    EndDialog(IDOK);
  }
};

TEST_F(UiTest, RefusingOnOkKeepsTheModalDialogOpenUntilEscape) {
  PickyDialog d;
  bool stillOpen = false;
  ScopedModalHook hook([&](CDialog& dlg) {
    DialogDriver(dlg).TypeText(1001, "x");
    DialogDriver(dlg).PressButton(IDOK);
    stillOpen = dlg.IsWindowVisible() && dlg.GetDlgItemText(1001) == "x";
    DialogDriver(dlg).PressKey(Qt::Key_Escape);
    return 0;
  });
  EXPECT_EQ(d.DoModal(), IDCANCEL);
  EXPECT_TRUE(stillOpen);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "New description strings must be at least 2 characters in length.");
}

TEST_F(UiTest, AHookThatDoesNotEndTheDialogDecidesTheResult) {
  FormDialog d;
  ScopedModalHook hook([](CDialog&) { return 7; });
  EXPECT_EQ(d.DoModal(), 7);
  EXPECT_EQ(d.log.back(), "init");  // neither OnOK nor OnCancel
  EXPECT_FALSE(d.IsWindow());
}

TEST_F(UiTest, NestedModalRunsCallTheHookAgain) {
  FormDialog outer;
  FormDialog inner;
  int innerResult = 0;
  outer.Bind(Notify::Clicked, 1012, [&] { innerResult = inner.DoModal(); });
  Log order;
  ScopedModalHook hook([&](CDialog& dlg) {
    if (&dlg == &outer) {
      order.push_back("outer");
      DialogDriver(dlg).PressButton(1012);
      order.push_back("outer again");
      DialogDriver(dlg).PressButton(IDOK);
    } else {
      order.push_back("inner");
      DialogDriver(dlg).PressButton(IDCANCEL);
    }
    return 0;
  });
  EXPECT_EQ(outer.DoModal(), IDOK);
  EXPECT_EQ(innerResult, IDCANCEL);
  EXPECT_EQ(order, Log({"outer", "inner", "outer again"}));
}

class EndsAtOnce : public FormDialog {
 public:
  bool OnInitDialog() override {
    FormDialog::OnInitDialog();
    EndDialog(42);
    return true;
  }
};

TEST_F(UiTest, EndDialogDuringInitialisationReturnsWithoutARun) {
  EndsAtOnce d;
  bool hookRan = false;
  ScopedModalHook hook([&](CDialog&) {
    hookRan = true;
    return 0;
  });
  EXPECT_EQ(d.DoModal(), 42);
  EXPECT_FALSE(hookRan);
}

TEST_F(UiTest, WithoutAHookTheRealModalLoopRunsUntilEndDialog) {
  FormDialog d;
  int timersSeen = 0;
  TimerDialog ticking;  // window timers keep running inside a modal loop
  ASSERT_TRUE(ticking.Create());
  ASSERT_TRUE(ticking.SetTimer(1, 10));
  QTimer press;
  QObject::connect(&press, &QTimer::timeout, [&] {
    if (!d.IsWindowVisible()) return;
    timersSeen = ticking.Count(1);
    if (timersSeen >= 2) DialogDriver(d).PressButton(IDOK);
  });
  press.start(20);
  QTimer::singleShot(20000, [&] { d.EndDialog(-99); });  // bound, should the press never come
  EXPECT_EQ(d.DoModal(), IDOK);
  EXPECT_GE(timersSeen, 2);
}

// ------------------------------------------------------------ modeless windows

TEST_F(UiTest, ModelessCreateDestroyAndCreateAgain) {
  FormDialog d;
  ASSERT_TRUE(d.Create());
  EXPECT_TRUE(d.IsWindow());
  EXPECT_TRUE(d.IsWindowVisible());
  EXPECT_FALSE(d.IsModal());
  EXPECT_FALSE(d.Create());  // one window at a time
  d.DestroyWindow();
  EXPECT_FALSE(d.IsWindow());
  EXPECT_EQ(d.GetDlgItem(1001), nullptr);
  EXPECT_EQ(d.GetDlgItemText(1001), "");
  d.SetDlgItemText(1001, "ignored");  // harmless without a window
  EXPECT_FALSE(d.UpdateData(true));
  d.DestroyWindow();  // twice is harmless
  d.name = "again";
  ASSERT_TRUE(d.Create());
  EXPECT_EQ(d.GetDlgItemText(1001), "again");
  EXPECT_EQ(d.log, Log({"name:start", "init", "name:again", "init"}));

  DialogTemplate hidden = FormTemplate();
  hidden.style |= kInvisible;
  CDialog h(hidden);
  ASSERT_TRUE(h.Create());
  EXPECT_FALSE(h.IsWindowVisible());
  h.ShowWindow(true);
  EXPECT_TRUE(h.IsWindowVisible());
}

TEST_F(UiTest, AWindowMayDestroyItselfFromItsOwnHandlers) {
  FormDialog d;
  ASSERT_TRUE(d.Create());
  d.Bind(Notify::Clicked, 1012, [&] { d.DestroyWindow(); });
  d.Bind(Notify::Clicked, IDCANCEL, [&] { d.DestroyWindow(); });
  ASSERT_TRUE(DialogDriver(d).PressButton(1012));
  EXPECT_FALSE(d.IsWindow());
  km7::test::FlushDeferredDeletes();

  ASSERT_TRUE(d.Create());
  d.GotoDlgCtrl(1001);
  DialogDriver(d).PressKey(Qt::Key_Escape);  // from inside the window's key handling
  EXPECT_FALSE(d.IsWindow());
  km7::test::FlushDeferredDeletes();

  // Destroyed by someone else while its handler runs an event loop (as a
  // modal run does): the widget outlives the handler.
  ASSERT_TRUE(d.Create());
  bool handlerFinished = false;
  d.Bind(Notify::Clicked, 1012, [&] {
    QTimer::singleShot(0, [&] { d.DestroyWindow(); });
    km7::test::RunEventsUntil([&] { return !d.IsWindow(); }, 5000);
    km7::test::RunEventsUntil([] { return false; }, 30);  // deferred deletions get their chance
    handlerFinished = true;
  });
  ASSERT_TRUE(DialogDriver(d).PressButton(1012));
  EXPECT_TRUE(handlerFinished);
  EXPECT_FALSE(d.IsWindow());
  km7::test::FlushDeferredDeletes();

  // Even the dialog object may go from inside its handler.
  auto* heap = new FormDialog;
  ASSERT_TRUE(heap->Create());
  heap->Bind(Notify::Clicked, 1013, [heap] { delete heap; });
  ASSERT_TRUE(DialogDriver(*heap).PressButton(1013));
  km7::test::FlushDeferredDeletes();
}

TEST_F(UiTest, OwnedWindowsSitAtTheirTemplatePlaceAndGoWithTheirOwner) {
  FormDialog owner;
  ASSERT_TRUE(owner.Create());
  DialogTemplate t;
  t.caption = "Readout";
  t.x = 30;
  t.y = -35;
  t.width = 190;
  t.height = 28;
  t.pointSize = 12;
  t.style = 0;  // no title bar
  t.controls = {{1001, Kind::Edit, "", 8, 2, 85, 12, kReadOnly | kNoBorder}};
  CDialog popup(t);
  ASSERT_TRUE(popup.Create(&owner));
  EXPECT_EQ(popup.Owner(), &owner);
  EXPECT_EQ(popup.Widget()->parentWidget(), owner.Widget());
  EXPECT_TRUE(popup.Widget()->windowFlags() & Qt::FramelessWindowHint);
  const QPoint origin = owner.Widget()->mapToGlobal(QPoint(0, 0));
  const QPoint expected = origin + popup.MapDialogRect(30, -35, 0, 0).topLeft();
  const QRect screen = owner.Widget()->screen()->availableGeometry();
  if (screen.contains(QRect(expected, popup.Widget()->size()))) {
    EXPECT_EQ(popup.Widget()->pos(), expected);
  }
  ASSERT_TRUE(popup.SetTimer(300, 1000));
  owner.DestroyWindow();
  EXPECT_FALSE(popup.IsWindow());
  EXPECT_FALSE(popup.HasTimer(300));
  popup.DestroyWindow();
}

// ------------------------------------------------------------ keys and the close box

TEST_F(UiTest, EnterIsOkAndEscapeIsCancel) {
  FormDialog d;
  ASSERT_TRUE(d.Create());
  d.GotoDlgCtrl(1001);
  DialogDriver(d).PressKey(Qt::Key_Return);
  EXPECT_EQ(d.log.back(), "ok");
  EXPECT_EQ(d.Result(), IDOK);
  d.DestroyWindow();

  ASSERT_TRUE(d.Create());
  d.GotoDlgCtrl(1002);
  DialogDriver(d).PressKey(Qt::Key_Escape);
  EXPECT_EQ(d.log.back(), "cancel");
  EXPECT_EQ(d.Result(), IDCANCEL);
  d.DestroyWindow();

  ASSERT_TRUE(d.Create());  // a focused push button takes Enter for itself
  d.GotoDlgCtrl(1012);
  DialogDriver(d).PressKey(Qt::Key_Enter);
  EXPECT_EQ(d.log.back(), "apply");
  EXPECT_EQ(d.Result(), -1);
}

TEST_F(UiTest, AHiddenDefaultButtonSwallowsEnter) {
  DialogTemplate t = FormTemplate();
  t.controls[0].flags = 0;  // OK is no longer the default
  t.controls.push_back({1026, Kind::PushButton, "invisible Default", 75, 100, 72, 14, kDefault | kHidden});
  FormDialog d;
  CDialog withHidden(t);
  int defaults = 0;
  withHidden.Bind(Notify::Clicked, 1026, [&] { ++defaults; });
  ASSERT_TRUE(withHidden.Create());
  EXPECT_EQ(withHidden.DefaultId(), 1026);
  withHidden.GotoDlgCtrl(1001);
  DialogDriver(withHidden).PressKey(Qt::Key_Return);
  EXPECT_EQ(defaults, 1);
  EXPECT_TRUE(withHidden.IsWindowVisible());
  EXPECT_EQ(withHidden.Result(), -1);

  withHidden.EnableItem(1026, false);  // a disabled default button: Enter does nothing
  DialogDriver(withHidden).PressKey(Qt::Key_Return);
  EXPECT_EQ(defaults, 1);
  EXPECT_EQ(withHidden.Result(), -1);

  DialogTemplate none = FormTemplate();
  none.controls[0].flags = 0;  // no default button at all: Enter means OK
  CDialog plain(none);
  ASSERT_TRUE(plain.Create());
  plain.GotoDlgCtrl(1001);
  DialogDriver(plain).PressKey(Qt::Key_Return);
  EXPECT_EQ(plain.Result(), IDOK);
}

TEST_F(UiTest, TheCloseBoxCancelsUnlessCancelIsDisabled) {
  FormDialog d;
  ASSERT_TRUE(d.Create());
  d.EnableItem(IDCANCEL, false);
  d.Widget()->close();
  EXPECT_TRUE(d.IsWindowVisible());
  EXPECT_EQ(d.log.back(), "init");
  d.EnableItem(IDCANCEL, true);
  d.Widget()->close();
  EXPECT_FALSE(d.IsWindowVisible());
  EXPECT_EQ(d.log.back(), "cancel");
}

class ClosingDialog : public FormDialog {
 public:
  void OnClose() override {
    log.push_back("close");
    FormDialog::OnClose();
  }
};

TEST_F(UiTest, OnCloseRunsBeforeCancelForTheCloseBoxOnly) {
  ClosingDialog d;
  ASSERT_TRUE(d.Create());
  d.log.clear();
  DialogDriver(d).PressKey(Qt::Key_Escape);
  EXPECT_EQ(d.log, Log({"cancel"}));
  d.log.clear();
  d.DestroyWindow();
  ASSERT_TRUE(d.Create());
  d.Widget()->close();
  EXPECT_EQ(d.log, Log({"name:start", "init", "close", "cancel"}));
}

// ------------------------------------------------------------ painting, pointer, size, menu

class DrawingDialog : public CDialog {
 public:
  DrawingDialog()
      : CDialog(DialogTemplate{.caption = "Chart",
                               .width = 200,
                               .height = 100,
                               .style = kCaption | kSizing,
                               .controls = {{1000, Kind::CheckBox, "Show Dew Point", 150, 1, 67, 10, 0}}}) {}
  void OnPaint(QPainter& p) override {
    ++paints;
    p.fillRect(GetClientRect(), QColor(214, 211, 206));
    p.fillRect(QRect(30, 46, 50, 30), Qt::white);
    p.setPen(QColor(255, 0, 0));
    p.drawLine(31, 60, 78, 60);
  }
  void OnMouseMove(int x, int y) override { moves.emplace_back(x, y); }
  void OnSize(int w, int h) override { sizes.emplace_back(w, h); }
  void OnSysCommand(int command) override { commands.push_back(command); }
  int paints = 0;
  std::vector<std::pair<int, int>> moves;
  std::vector<std::pair<int, int>> sizes;
  std::vector<int> commands;
};

TEST_F(UiTest, PaintMouseAndSizeReachTheDialog) {
  DrawingDialog d;
  ASSERT_TRUE(d.Create());
  ASSERT_TRUE(d.Grab("ui_drawing.png"));
  EXPECT_GT(d.paints, 0);
  const QImage img = d.Widget()->grab().toImage();
  EXPECT_EQ(img.pixelColor(5, 90), QColor(214, 211, 206));
  EXPECT_EQ(img.pixelColor(40, 50), QColor(Qt::white));
  EXPECT_EQ(img.pixelColor(50, 60), QColor(255, 0, 0));

  QMouseEvent move(QEvent::MouseMove, QPointF(120, 70), d.Widget()->mapToGlobal(QPointF(120, 70)), Qt::NoButton,
                   Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(d.Widget(), &move);
  ASSERT_EQ(d.moves.size(), 1u);
  EXPECT_EQ(d.moves[0], std::make_pair(120, 70));

  d.sizes.clear();
  d.SetWindowSize(420 + d.GetWindowRect().width() - d.GetClientRect().width(),
                  300 + d.GetWindowRect().height() - d.GetClientRect().height());
  km7::test::RunEventsUntil([&] { return !d.sizes.empty(); }, 5000);
  ASSERT_FALSE(d.sizes.empty());
  EXPECT_EQ(d.sizes.back(), std::make_pair(420, 300));
  EXPECT_EQ(d.GetClientRect(), QRect(0, 0, 420, 300));

  int before = d.paints;
  d.Invalidate();
  EXPECT_TRUE(km7::test::RunEventsUntil([&] { return d.paints > before; }, 5000));
  before = d.paints;
  d.UpdateWindow();  // at once, without the event loop
  EXPECT_GT(d.paints, before);
}

TEST_F(UiTest, SystemMenuItemsOpenOnARightClick) {
  DrawingDialog d;
  d.AppendSystemMenu(0, "");
  d.AppendSystemMenu(16, "&About km7...");
  ASSERT_EQ(d.SystemMenu().size(), 2u);
  ASSERT_TRUE(d.Create());
  bool menuSeen = false;
  QTimer::singleShot(0, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (menu == nullptr) return;
    menuSeen = true;
    for (QAction* a : menu->actions()) {
      if (a->text() == QStringLiteral("&About km7...")) menu->setActiveAction(a);
    }
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(menu, &enter);
  });
  QTimer::singleShot(20000, [] {  // bound
    if (QWidget* p = QApplication::activePopupWidget()) p->close();
  });
  QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 50), d.Widget()->mapToGlobal(QPoint(5, 50)));
  QCoreApplication::sendEvent(d.Widget(), &click);
  EXPECT_TRUE(menuSeen);
  EXPECT_EQ(d.commands, std::vector<int>({16}));
}

TEST_F(UiTest, WaitCursorLastsItsScope) {
  ASSERT_EQ(QApplication::overrideCursor(), nullptr);
  {
    ScopedWaitCursor busy;
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  }
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// ------------------------------------------------------------ message boxes

TEST_F(UiTest, MessageBoxesHaveAnOkButtonAndTheirIcon) {
  SetMessageHook(nullptr);  // the real box this time
  struct Seen {
    QString text;
    QMessageBox::Icon icon;
    int buttons;
    QString title;
  };
  std::vector<Seen> seen;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    seen.push_back({box->text(), box->icon(), static_cast<int>(box->buttons().size()), box->windowTitle()});
    box->button(QMessageBox::Ok)->click();
  });
  closer.start(10);
  ShowMessage("Could not enable Bit-Bang mode.", MessageIcon::Information);
  ShowMessage("Email deactivated for Temperature alarms.", MessageIcon::Warning, "km7");
  ShowMessage("30\xB0" "C <b>not bold</b>", MessageIcon::Error);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].icon, QMessageBox::Information);
  EXPECT_EQ(seen[1].icon, QMessageBox::Warning);
  EXPECT_EQ(seen[1].title, QStringLiteral("km7"));
  EXPECT_EQ(seen[2].icon, QMessageBox::Critical);
  EXPECT_EQ(seen[2].text, QString::fromUtf8("30\u00B0C <b>not bold</b>"));
  for (const Seen& s : seen) EXPECT_EQ(s.buttons, 1);
}

// ------------------------------------------------------------ screenshots

DialogTemplate SampleMainWindow() {
  DialogTemplate t;
  t.caption = "ORV-KM7 T/H/D Sensor";
  t.width = 86;
  t.height = 81;
  t.pointSize = 14;
  t.style = kCaption | kSysMenu | kMinimizeBox | kCentered;
  t.controls = {
      {1009, Kind::Edit, "", 7, 0, 78, 12, kReadOnly | kNoBorder},
      {1008, Kind::CheckBox, "Charting", 9, 11, 34, 8, 0},
      {1031, Kind::CheckBox, "Logging", 9, 19, 37, 8, 0},
      {1006, Kind::RadioButton, "\xB0" "F", 7, 28, 16, 8, kGroup},
      {1007, Kind::RadioButton, "\xB0" "C", 24, 28, 16, 8, 0},
      {1010, Kind::PushButton, "Open", 50, 13, 30, 9, kDefault},
      {1012, Kind::PushButton, "Rename", 50, 24, 30, 10, 0},
      {IDC_STATIC, Kind::Static, "T", 8, 38, 8, 8, 0},
      {1001, Kind::Edit, "", 16, 36, 26, 12, kReadOnly},
      {1000, Kind::CheckBox, "Email", 44, 38, 26, 10, 0},
      {IDC_STATIC, Kind::Static, "H", 8, 52, 8, 8, 0},
      {1003, Kind::Edit, "", 16, 50, 26, 12, kReadOnly},
      {1002, Kind::CheckBox, "Email", 44, 52, 26, 10, 0},
      {IDC_STATIC, Kind::Static, "D", 8, 66, 8, 8, 0},
      {1005, Kind::Edit, "", 16, 64, 26, 12, kReadOnly},
      {1004, Kind::CheckBox, "Email", 44, 66, 26, 10, kHidden},
  };
  return t;
}

DialogTemplate SampleSetupDialog() {
  DialogTemplate t;
  t.caption = "Alarm email setup dialog";
  t.width = 309;
  t.height = 130;
  t.controls = {
      {IDOK, Kind::PushButton, "OK", 252, 7, 50, 14, 0},
      {IDCANCEL, Kind::PushButton, "Cancel", 252, 24, 50, 14, 0},
      {1016, Kind::Edit, "", 34, 11, 208, 14, kReadOnly | kNoBorder},
      {1023, Kind::Edit, "", 7, 45, 78, 14, kReadOnly | kNoBorder},
      {1000, Kind::CheckBox, "above", 89, 38, 35, 10, 0},
      {1002, Kind::CheckBox, "below", 89, 53, 34, 10, 0},
      {1017, Kind::Edit, "", 127, 34, 24, 14, 0},
      {1018, Kind::Edit, "", 127, 49, 24, 14, 0},
      {1024, Kind::Edit, "", 154, 39, 10, 14, kReadOnly | kNoBorder},
      {1025, Kind::Edit, "", 154, 54, 11, 14, kReadOnly | kNoBorder},
      {IDC_STATIC, Kind::Static, "send email :", 168, 44, 46, 8, 0},
      {IDC_STATIC, Kind::Static, "TO:", 7, 79, 30, 8, 0},
      {1005, Kind::Edit, "", 47, 76, 162, 14, 0},
      {1015, Kind::PushButton, "Send test email to\nall TO: and CC: addresses listed", 214, 76, 82, 33, kMultiLine},
      {IDC_STATIC, Kind::Static, "CC:", 7, 98, 30, 8, 0},
      {1006, Kind::Edit, "", 47, 95, 162, 14, 0},
      {IDC_STATIC, Kind::Static, "NOTE: Multiple CC: recipients separated by commas.", 50, 110, 171, 8, 0},
      {1033, Kind::ComboBox, "", 47, 114, 61, 70, kDisabled},
      {1026, Kind::PushButton, "invisible Default", 75, 278, 72, 14, kDefault | kHidden},
  };
  return t;
}

TEST_F(UiTest, ScreenshotsOfSampleDialogs) {
  CDialog main(SampleMainWindow());
  ASSERT_TRUE(main.Create());
  main.SetDlgItemText(1009, "Computer Room");
  main.SetDlgItemText(1001, "22.5\xB0" "C");
  main.SetDlgItemText(1003, "45.3%");
  main.SetDlgItemText(1005, "10.2\xB0" "C");
  main.CheckDlgButton(1007, 1);
  main.CheckDlgButton(1008, 1);
  ASSERT_TRUE(main.Grab("ui_sample_main.png"));
  // Nothing overlaps on the unit row after widening.
  EXPECT_LE(main.GetDlgItem(1006)->geometry().right(), main.GetDlgItem(1007)->geometry().left());
  EXPECT_LE(main.GetDlgItem(1000)->geometry().right(), main.GetClientRect().right());

  CDialog setup(SampleSetupDialog());
  ASSERT_TRUE(setup.Create());
  setup.SetDlgItemText(1016, "Temperature alarm setup screen for sensor: Computer Room");
  setup.SetDlgItemText(1023, "       If temperature goes");
  setup.SetDlgItemText(1017, "--");
  setup.SetDlgItemText(1018, "--");
  setup.SetDlgItemText(1024, "\xB0" "C");
  setup.SetDlgItemText(1025, "\xB0" "C");
  setup.SetDlgItemText(1005, "Enter email recipient's address here (one address).");
  setup.ComboAddString(1033, "None");
  setup.ComboSetCurSel(1033, 0);
  ASSERT_TRUE(setup.Grab("ui_sample_setup.png"));
  const QImage img(QStringLiteral("ui_sample_setup.png"));
  EXPECT_EQ(img.size(), setup.GetClientRect().size());
}

}  // namespace
}  // namespace km7::ui
