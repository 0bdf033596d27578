// Numbers in edit boxes read and write with a decimal point, also under a
// comma-decimal locale.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>

#include "support/CommaLocale.h"
#include "ui/Dialog.h"
#include "ui/MessageBox.h"
#include "ui/NumberText.h"
#include "ui/QtTestEnvironment.h"

namespace km7::ui {
namespace {

using km7::test::CommaLocale;

struct ParseCase {
  const char* text;
  bool ok;
  double value;
};

const ParseCase kDoubles[] = {
    {"1.5", true, 1.5},       {"  -2.25 ", true, -2.25}, {"+3", true, 3.0},     {"1e3", true, 1000.0},
    {".5", true, 0.5},        {"7.", true, 7.0},         {"1,5", false, 0},     {"1.2.3", false, 0},
    {"", false, 0},           {"   ", false, 0},         {"abc", false, 0},     {"2 5", false, 0},
    {"1e999", false, 0},      {"-", false, 0},           {"12abc", false, 0},
};

void CheckDoubles() {
  for (const ParseCase& c : kDoubles) {
    SCOPED_TRACE(c.text);
    double v = -77;
    EXPECT_EQ(ParseWholeDouble(c.text, v), c.ok);
    EXPECT_EQ(v, c.ok ? c.value : -77);  // a refusal leaves the value alone
  }
}

struct FormatCase {
  double value;
  const char* text;
};

const FormatCase kFormats[] = {
    {2.25, "2.25"},      {-0.125, "-0.125"},        {1.0, "1"},           {0.1, "0.1"},
    {1e20, "1e+20"},     {123456789.5, "123456789.5"}, {1.0 / 3, "0.333333333333333"},
    {std::numeric_limits<double>::infinity(), "inf"},
};

void CheckFormats() {
  for (const FormatCase& c : kFormats) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FormatDouble(c.value), c.text);
  }
}

TEST(NumberText, DoublesReadAndWriteWithADecimalPoint) {
  CheckDoubles();
  CheckFormats();
  CommaLocale comma;
  if (!comma.Active()) GTEST_SKIP() << "no comma locale installed";
  CheckDoubles();
  CheckFormats();
}

TEST(NumberText, WholeNumbers) {
  const struct {
    const char* text;
    bool ok;
    int value;
  } cases[] = {
      {"42", true, 42},  {" -7 ", true, -7},      {"+8", true, 8},           {"2147483647", true, 2147483647},
      {"1.5", false, 0}, {"2147483648", false, 0}, {"99999999999", false, 0}, {"", false, 0},
      {"-", false, 0},   {"4 2", false, 0},        {"0x10", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    int v = -77;
    EXPECT_EQ(ParseWholeInt(c.text, v), c.ok);
    EXPECT_EQ(v, c.ok ? c.value : -77);
  }
}

// Through the dialog, as a German user types and sees.
class RatioDialog : public CDialog {
 public:
  RatioDialog()
      : CDialog(DialogTemplate{.caption = "Ratio",
                               .width = 120,
                               .height = 40,
                               .controls = {{1001, Kind::Edit, "", 7, 7, 60, 14, 0}}}) {}
  void DoDataExchange(CDataExchange& dx) override { DDX_Text(dx, 1001, ratio); }
  double ratio = 2.25;
};

TEST(NumberText, DialogExchangeUnderACommaLocale) {
  CommaLocale comma;
  if (!comma.Active()) GTEST_SKIP() << "no comma locale installed";
  std::vector<std::string> messages;
  SetMessageHook([&](const std::string& text, MessageIcon, const std::string&) { messages.push_back(text); });
  RatioDialog d;
  ASSERT_TRUE(d.Create());
  EXPECT_EQ(d.GetDlgItemText(1001), "2.25");
  d.SetDlgItemText(1001, "1.5");
  EXPECT_TRUE(d.UpdateData(true));
  EXPECT_EQ(d.ratio, 1.5);
  EXPECT_TRUE(messages.empty());
  d.SetDlgItemText(1001, "1,5");  // the comma is not a decimal point here either
  EXPECT_FALSE(d.UpdateData(true));
  EXPECT_EQ(d.ratio, 1.5);
  EXPECT_EQ(messages, std::vector<std::string>{"Please enter a number."});
  SetMessageHook(nullptr);
  d.DestroyWindow();
  km7::test::FlushDeferredDeletes();
}

}  // namespace
}  // namespace km7::ui
