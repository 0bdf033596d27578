// The alarm e-mail dialog's account: which fields the authentication method
// asks for, and the OAuth 2.0 sign-in that takes the password's place.
#include "alarms/AlarmEmailDlg.h"
#include "alarms/AlarmEmailFields.h"
#include "alarms/OAuthSignInDlg.h"
#include "smtp/OAuthAccount.h"
#include "ui/MessageBox.h"

namespace km7::alarms {

void CAlarmEmail::ApplyAuthRule() {
  // No selection (an unknown method) counts as not "None".
  const int sel = ComboGetCurSel(IDC_AUTH);
  const bool enable = serverEditMode == 1 && sel != 0;
  // An access token takes the password's place: the sign-in gets it.
  const bool token = sel >= 0 && UsesAccessToken(static_cast<int>(ComboGetItemData(IDC_AUTH, sel)));
  EnableItem(IDC_USERNAME, enable);
  EnableItem(IDC_PASSWORD, enable);
  ShowItem(IDC_PASSWORD_LABEL, !token);
  ShowItem(IDC_PASSWORD, !token);
  ShowItem(IDC_SIGN_IN, token);
  EnableItem(IDC_SIGN_IN, token && enable);
}

void CAlarmEmail::OnAuthChange() { ApplyAuthRule(); }

std::string CAlarmEmail::OAuthAccountShown() const {
  return oauthAccount.empty() ? km7::oauth::DefaultAccountPath(userName) : oauthAccount;
}

void CAlarmEmail::OnSignIn() {
  userName = email::Trimmed(GetDlgItemText(IDC_USERNAME));
  if (userName.empty()) {
    ui::ShowMessage(kMsgSignInNeedsUser, ui::MessageIcon::Warning);
    GotoDlgCtrl(IDC_USERNAME);
    return;
  }
  // A file chosen elsewhere stays; otherwise the account's own place.
  const std::string path = OAuthAccountShown();
  COAuthSignIn signIn(userName, path, this);
  if (signIn.DoModal() != ui::IDOK) return;
  ui::ShowMessage("Signed in as " + userName + ". The account is stored in " + path +
                      "; press Save to send the alarm mail with it.",
                  ui::MessageIcon::Information);
}

}  // namespace km7::alarms
