// The layout of the alarm e-mail setup dialog.
#include <cstdint>

#include "alarms/AlarmEmailDlg.h"

namespace km7::alarms {
namespace {

constexpr char kHintServer1[] = "Ex: smtp.example.com";
constexpr char kHintServer2[] = "mail.example.org";

}  // namespace

ui::DialogTemplate AlarmEmailTemplate() {
  using namespace km7::ui;
  DialogTemplate t;
  t.caption = "Alarm email setup dialog";
  t.width = 309;
  t.height = 300;
  t.pointSize = 8;
  t.style = kCaption | kSysMenu | kCentered;
  constexpr std::uint32_t kLabel = kReadOnly | kNoBorder;
  t.controls = {
      {IDOK, Kind::PushButton, "OK", 252, 7, 50, 14, 0},
      {IDCANCEL, Kind::PushButton, "Cancel", 252, 24, 50, 14, 0},
      {IDC_RULES, Kind::PushButton, "Alarm rules...", 252, 41, 50, 14, 0},
      // A label of two lines, so that a sensor name of any length shows whole.
      {IDC_TITLE, Kind::Static, "", 34, 9, 214, 20, 0},
      {IDC_PROMPT, Kind::Edit, "", 3, 45, 84, 14, kLabel | kRight},
      {IDC_ABOVE, Kind::CheckBox, "above", 89, 38, 35, 10, 0},
      {IDC_BELOW, Kind::CheckBox, "below", 89, 53, 34, 10, 0},
      {IDC_ABOVE_VALUE, Kind::Edit, "", 127, 34, 24, 14, 0},
      {IDC_BELOW_VALUE, Kind::Edit, "", 127, 49, 24, 14, 0},
      {IDC_ABOVE_UNIT, Kind::Edit, "", 154, 39, 10, 14, kLabel},
      {IDC_BELOW_UNIT, Kind::Edit, "", 154, 54, 11, 14, kLabel},
      {IDC_STATIC, Kind::Static, "send email :", 168, 44, 46, 8, kNoWrap},
      {IDC_STATIC, Kind::Static, "TO:", 7, 78, 38, 8, kNoWrap},
      {IDC_TO, Kind::Edit, "", 47, 76, 162, 14, 0},
      {IDC_TEST_MAIL, Kind::PushButton, kTestMailCaption, 214, 76, 82, 33, kMultiLine},
      {IDC_STATIC, Kind::Static, "CC:", 7, 97, 38, 8, kNoWrap},
      {IDC_CC, Kind::Edit, "", 47, 95, 162, 14, 0},
      {IDC_STATIC, Kind::Static, "NOTE: Multiple CC: recipients separated by commas.", 50, 110, 171, 8, kNoWrap},
      {IDC_STATIC, Kind::Static, "FROM: ", 7, 124, 38, 8, kNoWrap},
      {IDC_FROM, Kind::Edit, "", 47, 122, 162, 14, 0},
      {IDC_STATIC, Kind::Static, "SUBJECT: ", 7, 142, 38, 8, kNoWrap},
      {IDC_SUBJECT, Kind::Edit, "", 47, 140, 162, 14, 0},
      {IDC_STATIC, Kind::Static, "BODY: ", 7, 160, 30, 8, kNoWrap},
      {IDC_STATIC, Kind::Static, "Line 1:", 47, 160, 29, 8, kNoWrap},
      // Generated: scrolls, so that a long sensor name cuts nothing off.
      {IDC_BODY1, Kind::Edit, "", 78, 158, 213, 14, kReadOnly},
      {IDC_STATIC, Kind::Static, "Line 2:", 47, 178, 29, 8, kNoWrap},
      {IDC_BODY2, Kind::Edit, "", 78, 176, 213, 14, kNoHScroll},
      {IDC_STATIC, Kind::Static, "Line 3:", 47, 196, 29, 8, kNoWrap},
      {IDC_BODY3, Kind::Edit, "", 78, 194, 213, 14, kNoHScroll},
      {IDC_STATIC, Kind::Static, "Line 4:", 47, 214, 29, 8, kNoWrap},
      {IDC_BODY4, Kind::Edit, "", 78, 212, 213, 14, kNoHScroll},
      {IDC_STATIC, Kind::Static, "Server:", 7, 227, 60, 8, kNoWrap},
      {IDC_SERVER, Kind::Edit, "", 7, 236, 121, 14, kReadOnly},
      {IDC_STATIC, Kind::Static, "Port: ", 135, 227, 40, 8, kNoWrap},
      {IDC_PORT, Kind::Edit, "", 135, 236, 40, 14, kReadOnly},
      {IDC_UPDATE, Kind::PushButton, "Update", 180, 236, 50, 14, 0},
      {IDC_VIEW_LOG, Kind::PushButton, "View Log", 235, 236, 50, 14, 0},
      {IDC_HINT1, Kind::Static, kHintServer1, 11, 254, 107, 8, kNoWrap},
      {IDC_HINT2, Kind::Static, kHintServer2, 23, 262, 96, 8, kNoWrap},
      {IDC_STATIC, Kind::Static, "Authentication:", 135, 251, 61, 8, kNoWrap},
      // Six units wider than 61, so that "AUTH LOGIN" shows whole beside the arrow.
      {IDC_AUTH, Kind::ComboBox, "", 135, 260, 67, 70, kDisabled},
      {IDC_STATIC, Kind::Static, "Username", 204, 261, 33, 8, kNoWrap | kRight},
      {IDC_USERNAME, Kind::Edit, "", 239, 258, 63, 14, kDisabled},
      {IDC_PASSWORD_LABEL, Kind::Static, "Password", 204, 280, 33, 8, kNoWrap | kRight},
      {IDC_PASSWORD, Kind::Edit, "", 239, 277, 63, 14, kDisabled | kPassword},
      // In the password's place while the method is OAuth 2.0.
      {IDC_SIGN_IN, Kind::PushButton, "Sign in...", 239, 277, 63, 14, kHidden | kDisabled},
      // Under the server name, where only the hidden buttons are.
      {IDC_STATIC, Kind::Static, "Security:", 7, 280, 32, 8, kNoWrap},
      {IDC_SECURITY, Kind::ComboBox, "", 41, 278, 72, 60, kDisabled},
      {IDC_TEST_MAIL_HIDDEN, Kind::PushButton, "Send test email ", 7, 278, 61, 14, kHidden},
      {IDC_INVISIBLE_DEFAULT, Kind::PushButton, "invisible Default", 75, 278, 72, 14, kHidden | kDefault},
  };
  return t;
}

}  // namespace km7::alarms
