#pragma once
// A settings store of its own for each test: a file and a protection key in
// a fresh folder.
#include <gtest/gtest.h>

#include <string>

#include "platform/TempDir.h"
#include "settings/ProfileStore.h"

namespace km7::test {

class ProfileStoreTest : public ::testing::Test {
 protected:
  std::string IniPath() const { return dir_ / "km7.INI"; }
  km7::DataProtector Me() const { return km7::DataProtector(dir_ / "keys/me.key", "machine-1", 1000); }
  ProfileStore Store() const { return ProfileStore(IniPath(), Me()); }

  TempDir dir_;
};

}  // namespace km7::test
