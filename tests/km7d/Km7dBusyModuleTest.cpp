// A module that another program holds is named when km7d was asked for it,
// and the modules km7d holds itself are never counted as busy.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "Km7dProcess.h"

namespace {

using namespace km7d_test;
using namespace std::chrono_literals;

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Km7dBusyModule, TheBusyModuleIsNamedAndOnlyItIsCounted) {
  TempDir dir;
  // The last section is Cellar's: another program holds it.
  const std::string sim = SimModules({{"Lab", 21.0}, {"Cellar", 12.0}}) + "in_use = 1\n";
  Km7dProcess km7d(dir.path(), sim);
  ASSERT_TRUE(km7d.Start({"--sensor", "Lab", "--sensor", "Cellar", "--metrics-listen", "127.0.0.1:0"}));
  ASSERT_TRUE(km7d.WaitForErr("open in another program", 20s)) << km7d.Err();
  ASSERT_TRUE(km7d.WaitForErr("watching module \"Lab\"", 20s)) << km7d.Err();
  std::this_thread::sleep_for(3s);  // a few more looks at the list
  const std::string err = km7d.Err();
  EXPECT_NE(err.find("1 module is open in another program (\"Cellar\"): skipped until closed"), std::string::npos)
      << err;
  EXPECT_EQ(Count(err, "open in another program"), 1u) << err;
  km7d.Signal(SIGTERM);
  EXPECT_EQ(km7d.Wait(5s), 0) << km7d.Err();
}

}  // namespace
