// The OAuth 2.0 account file's JSON: any text gives an account or a reason;
// an account read is complete and survives being written and read again.
// The data-protection key lives in a folder of the run's own.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "smtp/OAuthAccount.h"

namespace {

std::filesystem::path keyFolder;

void Check(bool condition) {
  if (!condition) std::abort();
}

void RemoveKeyFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(keyFolder, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string folder = (std::filesystem::temp_directory_path() / "km7-account-fuzz-XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr) std::abort();
  keyFolder = folder;
  ::setenv("XDG_DATA_HOME", folder.c_str(), 1);
  std::atexit(RemoveKeyFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  km7::oauth::Account account;
  std::string error;
  if (!km7::oauth::AccountFromJson(text, account, error)) {
    Check(!error.empty());
    return 0;
  }
  Check(!account.provider.tokenUrl.empty() && !account.provider.clientId.empty());
  std::string json;
  Check(km7::oauth::AccountToJson(account, json, error));
  km7::oauth::Account again;
  Check(km7::oauth::AccountFromJson(json, again, error));
  Check(again.user == account.user && again.refreshToken == account.refreshToken &&
        again.provider.tokenUrl == account.provider.tokenUrl && again.provider.clientId == account.provider.clientId &&
        again.provider.clientSecret == account.provider.clientSecret && again.provider.scope == account.provider.scope);
  return 0;
}
