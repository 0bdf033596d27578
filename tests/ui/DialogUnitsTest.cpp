#include <QFontInfo>
#include <gtest/gtest.h>

#include "ui/Dialog.h"
#include "ui/DialogUnits.h"

namespace km7::ui {
namespace {

TEST(MulDiv, RoundsHalfAwayFromZero) {
  EXPECT_EQ(MulDiv(10, 6, 4), 15);
  EXPECT_EQ(MulDiv(1, 6, 4), 2);    // 1.5
  EXPECT_EQ(MulDiv(1, 5, 4), 1);    // 1.25
  EXPECT_EQ(MulDiv(-1, 6, 4), -2);  // -1.5
  EXPECT_EQ(MulDiv(-35, 13, 8), -57);  // -56.875
  EXPECT_EQ(MulDiv(7, 3, -2), -11);    // -10.5
  EXPECT_EQ(MulDiv(1, 1, 0), -1);
}

TEST(DialogUnits, TemplateFontIsLiberationSansInWholePixels) {
  const QFont f8 = TemplateFont("MS Sans Serif", 8);
  EXPECT_EQ(QFontInfo(f8).family(), QStringLiteral("Liberation Sans"));
  EXPECT_EQ(f8.pixelSize(), 11);  // 8 pt at 96 dpi, rounded as the original platform does
  EXPECT_EQ(TemplateFont("MS Sans Serif", 14).pixelSize(), 19);
  EXPECT_EQ(TemplateFont("", 0).pixelSize(), 11);  // no size: the dialog default
  EXPECT_EQ(TemplateFont("Liberation Serif", 8).family(), QStringLiteral("Liberation Serif"));
}

TEST(DialogUnits, BaseUnitsComeFromTheFontAndScaleWithIt) {
  const BaseUnits u8 = ComputeBaseUnits(TemplateFont("MS Sans Serif", 8));
  const BaseUnits u14 = ComputeBaseUnits(TemplateFont("MS Sans Serif", 14));
  // Close to the original dialog font's 6 x 13 at 8 points.
  EXPECT_GE(u8.x, 5);
  EXPECT_LE(u8.x, 7);
  EXPECT_GE(u8.y, 12);
  EXPECT_LE(u8.y, 14);
  EXPECT_GT(u14.x, u8.x);
  EXPECT_GT(u14.y, u8.y);

  const BaseUnits u{6, 13};
  EXPECT_EQ(DluToPixelsX(u, 4), 6);
  EXPECT_EQ(DluToPixelsX(u, 50), 75);
  EXPECT_EQ(DluToPixelsY(u, 8), 13);
  EXPECT_EQ(DluToPixelsY(u, 14), 23);  // 22.75
  // Edges are mapped, so a control ending where the next begins still touches it.
  const QRect a = MapDialogRect(u, 7, 28, 17, 8);
  const QRect b = MapDialogRect(u, 24, 28, 16, 8);
  EXPECT_EQ(a.left() + a.width(), b.left());
  EXPECT_EQ(MapDialogRect(u, 30, -35, 190, 28).top(), -57);
}

TEST(DialogUnits, DialogClientAreaIsTheTemplateSizeInPixels) {
  DialogTemplate t;
  t.caption = "Units";
  t.width = 186;
  t.height = 84;
  t.style = kCaption | kSysMenu;
  t.controls = {{1070, Kind::Edit, "", 7, 63, 78, 14, 0}};
  CDialog d(t);
  ASSERT_TRUE(d.Create());
  const BaseUnits u = d.Units();
  EXPECT_EQ(d.GetClientRect().size(), QSize(DluToPixelsX(u, 186), DluToPixelsY(u, 84)));
  EXPECT_EQ(d.GetDlgItem(1070)->geometry(), MapDialogRect(u, 7, 63, 78, 14));
  EXPECT_EQ(QFontInfo(d.GetDlgItem(1070)->font()).family(), QStringLiteral("Liberation Sans"));
  d.DestroyWindow();
}

}  // namespace
}  // namespace km7::ui
