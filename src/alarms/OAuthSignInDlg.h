#pragma once
// The OAuth 2.0 sign-in of the alarm setup dialog: the provider and client,
// then the address and code the user takes to a browser, while the provider
// is asked on a thread of its own whether the sign-in is done. On success
// the account (with its refresh token, protected) is stored in its file.
#include <memory>
#include <string>

#include "alarms/DialogMailTask.h"
#include "ui/Dialog.h"

namespace km7::alarms {

inline constexpr int kOAuthSignInTemplateId = 133;
inline constexpr int IDC_SI_ACCOUNT = 1200;
inline constexpr int IDC_SI_PROVIDER = 1201;
inline constexpr int IDC_SI_CLIENT_ID = 1202;
inline constexpr int IDC_SI_SECRET = 1203;
inline constexpr int IDC_SI_DEVICE_URL = 1204;
inline constexpr int IDC_SI_TOKEN_URL = 1205;
inline constexpr int IDC_SI_SCOPE = 1206;
inline constexpr int IDC_SI_START = 1207;
inline constexpr int IDC_SI_ADDRESS = 1208;
inline constexpr int IDC_SI_CODE = 1209;
inline constexpr int IDC_SI_STATUS = 1210;

// The provider list: the two presets, then any other.
enum class SignInProvider { Microsoft = 0, Google = 1, Other = 2 };

inline constexpr char kSignInReady[] = "Choose the provider, enter the client id and press Sign in.";
inline constexpr char kSignInAsking[] = "Asking the provider for a code...";

ui::DialogTemplate OAuthSignInTemplate();

class COAuthSignIn : public ui::CDialog {
 public:
  // user: the mail address signed in for; path: the account file written.
  COAuthSignIn(std::string user, std::string path, ui::CDialog* owner = nullptr);
  ~COAuthSignIn() override;

  bool OnInitDialog() override;
  void DoDataExchange(ui::CDataExchange& dx) override;
  void OnCancel() override;
  void OnProviderChange();
  void OnSignIn();
  // The provider is being asked (the codes, or whether the user is done).
  bool Waiting() const { return task_.Running(); }

  std::string user, path;
  int provider = static_cast<int>(SignInProvider::Microsoft);
  std::string clientId, clientSecret, deviceUrl, tokenUrl, scope;

  struct Job;

 private:
  void SetInputsEnabled(bool enabled);
  void Failed(const std::string& why);
  void ShowCodes(const Job& job);

  std::shared_ptr<Job> job_;
  DialogMailTask task_;
};

}  // namespace km7::alarms
