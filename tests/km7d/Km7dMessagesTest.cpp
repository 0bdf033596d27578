// What km7d says when something it needs is not there: each in one line that
// names km7d and where to read on.
#include <gtest/gtest.h>

#include "Km7dProcess.h"

namespace {

using namespace km7d_test;
using namespace std::chrono_literals;

TEST(Km7dMessages, NoDriverLibraryNamesKm7dAndItsManualPage) {
  TempDir dir;
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.0}}));
  km7d.env["LD_LIBRARY_PATH"] = (dir / "no-driver-here").string();
  EXPECT_EQ(km7d.Run({"--list"}), 1) << km7d.Err();
  const std::string err = km7d.Err();
  EXPECT_EQ(err.rfind("km7d: the bridge driver library libftd2xx.so was not found (", 0), 0u) << err;
  EXPECT_NE(err.find("). The manual page km7d(8) says how to install it.\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("README"), std::string::npos) << err;
}

TEST(Km7dMessages, NoSettingsFileIsSaidInOneLineAndKm7dRunsWithDefaults) {
  TempDir dir;
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.0}}));
  const std::string missing = (dir / "etc" / "km7.INI").string();
  ASSERT_TRUE(km7d.Start({"--settings", missing, "--metrics-listen", "127.0.0.1:0"}));
  const int port = km7d.MetricsPort();
  ASSERT_GT(port, 0) << km7d.Err();
  // It reads the module all the same.
  EXPECT_TRUE(Eventually([&] { return HttpGet(port, "/metrics").find("sensor=\"Lab\"") != std::string::npos; }, 30s))
      << km7d.Err();
  km7d.Signal(SIGTERM);
  EXPECT_EQ(km7d.Wait(5s), 0) << km7d.Err();
  const std::string err = km7d.Err();
  const std::string line = "km7d: no settings file " + missing + "; running with the defaults\n";
  EXPECT_NE(err.find(line), std::string::npos) << err;
  EXPECT_EQ(err.find("no settings file"), err.rfind("no settings file")) << err;
  // A settings file that is there is not mentioned.
  std::filesystem::create_directories(dir / "other");
  Km7dProcess quiet(dir.path() / "other", SimModules({{"Lab", 21.0}}));
  EXPECT_EQ(quiet.Run({"--once"}), 0) << quiet.Err();
  EXPECT_EQ(quiet.Err().find("no settings file"), std::string::npos) << quiet.Err();
}

}  // namespace
