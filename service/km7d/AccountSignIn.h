#pragma once
// km7d account sign-in: the service's own OAuth 2.0 account of a sensor. The
// device authorization grant runs in the terminal; the account file (refresh
// token and client secret sealed under the state folder's key) goes to the
// state folder, where the service can store a rotated refresh token, and the
// accounts file records that the sensor logs in with it.
#include <iosfwd>
#include <string>

#include "settings/ProfileStore.h"

namespace km7d {

// What "km7d account ..." was asked to do.
struct AccountRequest {
  std::string action;  // set, sign-in or remove
  std::string sensor;  // UTF-8
  std::string user;
  std::string stateDir;
  // sign-in only, named as km7-mail's options are
  std::string provider;
  std::string deviceUrl;
  std::string tokenUrl;
  std::string scope;
  std::string clientId;
  std::string clientSecretFile;  // "-": standard input
  std::string caFile;
};

// A secret typed at the terminal without echo (after `prompt`), else the
// first line of `in`. False when there is none. Shared by the account
// commands.
bool ReadSecret(std::istream& in, std::ostream& err, const char* prompt, std::string& secret);

// Drops the sensor's OAuth 2.0 record from the service's accounts, and its
// account file when no other sensor's record names it. False when the
// record could not be written.
bool ForgetServiceOAuth(ProfileStore& accounts, const std::string& folder, const std::string& suffix);

// Runs the sign-in for r.sensor and stores the account in `folder`. Returns
// the exit status: 0 stored, 1 failed, 2 bad input, 130 stopped by a signal
// (Ctrl-C); nothing is stored unless the sign-in completed.
int SignIn(const AccountRequest& r, const std::string& folder, std::istream& in, std::ostream& out,
           std::ostream& err);

}  // namespace km7d
