#include "alarms/OAuthSignInDlg.h"

#include <atomic>
#include <utility>

#include "platform/SecureWipe.h"
#include "smtp/OAuthAccount.h"
#include "smtp/OAuthSignIn.h"
#include "ui/MessageBox.h"

namespace km7::alarms {

// What the provider's thread works on: copies, so the dialog may go at any
// time. The secrets are wiped with the account.
struct COAuthSignIn::Job {
  km7::oauth::Account account;
  std::string path;
  km7::oauth::DeviceAuthorization device;
  std::atomic<bool> stop{false};
  std::string error;  // empty: the step succeeded
};

namespace {

const char* PresetName(int provider) {
  switch (static_cast<SignInProvider>(provider)) {
    case SignInProvider::Microsoft: return "microsoft";
    case SignInProvider::Google: return "google";
    default: return "";
  }
}

// The preset the endpoints belong to, else Other.
int ProviderOf(const km7::oauth::Provider& p) {
  for (int i : {0, 1}) {
    km7::oauth::Provider preset;
    km7::oauth::ApplyPreset(PresetName(i), preset);
    if (preset.deviceUrl == p.deviceUrl && preset.tokenUrl == p.tokenUrl) return i;
  }
  return static_cast<int>(SignInProvider::Other);
}

// What the server sent, shown in a line of its own: no control characters.
std::string Shown(const std::string& text) {
  std::string shown;
  for (const char c : text) shown += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
  return shown;
}

}  // namespace

ui::DialogTemplate OAuthSignInTemplate() {
  using namespace km7::ui;
  DialogTemplate t;
  t.caption = "OAuth 2.0 sign-in";
  t.width = 262;
  t.height = 206;
  t.pointSize = 8;
  t.style = kCaption | kSysMenu | kCentered;
  t.controls = {
      {IDC_SI_START, Kind::PushButton, "Sign in", 205, 7, 50, 14, kDefault},
      {IDCANCEL, Kind::PushButton, "Cancel", 205, 24, 50, 14, 0},
      {IDC_STATIC, Kind::Static, "Account:", 7, 9, 58, 8, kNoWrap},
      {IDC_SI_ACCOUNT, Kind::Edit, "", 67, 7, 130, 14, kReadOnly},
      {IDC_STATIC, Kind::Static, "Provider:", 7, 27, 58, 8, kNoWrap},
      {IDC_SI_PROVIDER, Kind::ComboBox, "", 67, 25, 130, 60, kDropDownList},
      {IDC_STATIC, Kind::Static, "Client id:", 7, 45, 58, 8, kNoWrap},
      {IDC_SI_CLIENT_ID, Kind::Edit, "", 67, 43, 130, 14, 0},
      {IDC_STATIC, Kind::Static, "Client secret:", 7, 63, 58, 8, kNoWrap},
      {IDC_SI_SECRET, Kind::Edit, "", 67, 61, 130, 14, kPassword},
      {IDC_STATIC, Kind::Static, "(if any)", 201, 63, 40, 8, kNoWrap},
      {IDC_STATIC, Kind::Static, "Device address:", 7, 81, 58, 8, kNoWrap},
      {IDC_SI_DEVICE_URL, Kind::Edit, "", 67, 79, 188, 14, 0},
      {IDC_STATIC, Kind::Static, "Token address:", 7, 99, 58, 8, kNoWrap},
      {IDC_SI_TOKEN_URL, Kind::Edit, "", 67, 97, 188, 14, 0},
      {IDC_STATIC, Kind::Static, "Scope:", 7, 117, 58, 8, kNoWrap},
      {IDC_SI_SCOPE, Kind::Edit, "", 67, 115, 188, 14, 0},
      {IDC_STATIC, Kind::Static, "Open this address in a web browser:", 7, 139, 180, 8, kNoWrap},
      // Read-only edits, so that the address and the code can be copied.
      {IDC_SI_ADDRESS, Kind::Edit, "", 7, 149, 248, 14, kReadOnly},
      {IDC_STATIC, Kind::Static, "and enter the code:", 7, 169, 70, 8, kNoWrap},
      {IDC_SI_CODE, Kind::Edit, "", 80, 167, 100, 14, kReadOnly},
      {IDC_SI_STATUS, Kind::Static, kSignInReady, 7, 186, 248, 16, 0},
  };
  return t;
}

COAuthSignIn::COAuthSignIn(std::string account, std::string accountPath, ui::CDialog* owner)
    : CDialog(OAuthSignInTemplate(), owner), user(std::move(account)), path(std::move(accountPath)) {
  SetMessageTable<COAuthSignIn>({
      {ui::Notify::Clicked, IDC_SI_START, &COAuthSignIn::OnSignIn},
      {ui::Notify::SelChange, IDC_SI_PROVIDER, &COAuthSignIn::OnProviderChange},
  });
}

COAuthSignIn::~COAuthSignIn() {
  if (job_) job_->stop = true;
  km7::Wipe(clientSecret);
}

void COAuthSignIn::DoDataExchange(ui::CDataExchange& dx) {
  ui::DDX_Text(dx, IDC_SI_ACCOUNT, user);
  ui::DDX_CBIndex(dx, IDC_SI_PROVIDER, provider);
  ui::DDX_Text(dx, IDC_SI_CLIENT_ID, clientId);
  ui::DDX_Text(dx, IDC_SI_SECRET, clientSecret);
  ui::DDX_Text(dx, IDC_SI_DEVICE_URL, deviceUrl);
  ui::DDX_Text(dx, IDC_SI_TOKEN_URL, tokenUrl);
  ui::DDX_Text(dx, IDC_SI_SCOPE, scope);
}

bool COAuthSignIn::OnInitDialog() {
  for (const char* name : {"Microsoft 365", "Google", "Other"}) ComboAddString(IDC_SI_PROVIDER, name);
  // Signing in again: the provider and client of the stored account.
  km7::oauth::Account stored;
  std::string ignored;
  if (km7::oauth::LoadAccount(path, stored, ignored)) {
    provider = ProviderOf(stored.provider);
    clientId = stored.provider.clientId;
    clientSecret = stored.provider.clientSecret;
    deviceUrl = stored.provider.deviceUrl;
    tokenUrl = stored.provider.tokenUrl;
    scope = stored.provider.scope;
  } else if (deviceUrl.empty() && tokenUrl.empty()) {
    km7::oauth::Provider preset;
    km7::oauth::ApplyPreset(PresetName(provider), preset);
    deviceUrl = preset.deviceUrl;
    tokenUrl = preset.tokenUrl;
    scope = preset.scope;
  }
  CDialog::OnInitDialog();
  GotoDlgCtrl(IDC_SI_CLIENT_ID);
  return false;
}

void COAuthSignIn::OnProviderChange() {
  if (!UpdateData(true)) return;
  km7::oauth::Provider preset;
  if (km7::oauth::ApplyPreset(PresetName(provider), preset)) {
    deviceUrl = preset.deviceUrl;
    tokenUrl = preset.tokenUrl;
    scope = preset.scope;
  } else {
    deviceUrl.clear();
    tokenUrl.clear();
    scope.clear();
  }
  UpdateData(false);
}

void COAuthSignIn::SetInputsEnabled(bool enabled) {
  for (int id : {IDC_SI_PROVIDER, IDC_SI_CLIENT_ID, IDC_SI_SECRET, IDC_SI_DEVICE_URL, IDC_SI_TOKEN_URL, IDC_SI_SCOPE,
                 IDC_SI_START})
    EnableItem(id, enabled);
}

void COAuthSignIn::Failed(const std::string& why) {
  job_.reset();
  SetInputsEnabled(true);
  SetDlgItemText(IDC_SI_ADDRESS, "");
  SetDlgItemText(IDC_SI_CODE, "");
  SetDlgItemText(IDC_SI_STATUS, kSignInReady);
  ui::ShowMessage("The sign-in failed: " + why, ui::MessageIcon::Error);
}

void COAuthSignIn::ShowCodes(const Job& job) {
  SetDlgItemText(IDC_SI_ADDRESS, Shown(job.device.verificationUri));
  SetDlgItemText(IDC_SI_CODE, Shown(job.device.userCode));
  std::string status = "Waiting for the sign-in";
  if (job.device.expiresIn > 0) status += " (the code is valid for " + std::to_string((job.device.expiresIn + 59) / 60) + " min)";
  SetDlgItemText(IDC_SI_STATUS, status + "...");
}

void COAuthSignIn::OnSignIn() {
  if (job_ || !UpdateData(true)) return;
  km7::oauth::Provider given;
  given.clientId = clientId;
  given.clientSecret = clientSecret;
  given.deviceUrl = deviceUrl;
  given.tokenUrl = tokenUrl;
  given.scope = scope;
  auto job = std::make_shared<Job>();
  job->account.user = user;
  job->account.provider = km7::oauth::ProviderFor("", given);
  km7::Wipe(given.clientSecret);
  job->path = path;
  const std::string missing = km7::oauth::MissingForSignIn(job->account.provider);
  if (!missing.empty()) {
    ui::ShowMessage("Please enter " + missing + " the provider gave for this program.", ui::MessageIcon::Warning);
    GotoDlgCtrl(missing == "the client id" ? IDC_SI_CLIENT_ID
                                           : missing == "the token address" ? IDC_SI_TOKEN_URL : IDC_SI_DEVICE_URL);
    return;
  }
  job_ = job;
  SetInputsEnabled(false);
  SetDlgItemText(IDC_SI_STATUS, kSignInAsking);
  // Step one asks for the codes, step two waits for the user; each result
  // comes back here, and Cancel stops whichever is under way.
  task_.Run(
      [job] {
        try {
          km7::oauth::HttpOptions options;
          options.stop = &job->stop;
          job->device = km7::oauth::StartDeviceAuthorization(job->account.provider, options);
        } catch (const km7::oauth::OAuthError& e) {
          job->error = e.what();
        }
      },
      [this, job] {
        if (!job->error.empty()) return Failed(job->error);
        ShowCodes(*job);
        task_.Run(
            [job] {
              try {
                km7::oauth::CompleteSignIn(job->account, job->device, {}, &job->stop);
                if (!km7::oauth::SaveAccount(job->path, job->account, job->error))
                  job->error = "signed in, but the account could not be stored: " + job->error;
              } catch (const km7::oauth::OAuthError& e) {
                job->error = e.what();
              }
            },
            [this, job] {
              if (!job->error.empty()) return Failed(job->error);
              job_.reset();
              EndDialog(ui::IDOK);
            });
      });
}

void COAuthSignIn::OnCancel() {
  // The thread ends at its next look at the flag (a tenth of a second, or
  // at once inside a request); nothing of it comes back here.
  if (job_) job_->stop = true;
  task_.Cancel();
  job_.reset();
  CDialog::OnCancel();
}

}  // namespace km7::alarms
