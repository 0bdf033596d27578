#include "AlarmTestSupport.h"

#include <stdlib.h>

#include <filesystem>

namespace km7::test {
namespace {

namespace fs = std::filesystem;
fs::path g_root;

// Before any QApplication exists; a platform given from outside wins.
[[maybe_unused]] const int g_platform = setenv("QT_QPA_PLATFORM", "offscreen", 0);

class FoldersEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "km7-alarms-test-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) FAIL() << "no temporary folder";
    g_root = templ;
    for (const char* sub : {"config", "data", "state"}) fs::create_directories(g_root / sub);
    setenv("XDG_CONFIG_HOME", (g_root / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (g_root / "data").c_str(), 1);
    setenv("XDG_STATE_HOME", (g_root / "state").c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(g_root, ec);
  }
};
[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new FoldersEnvironment);

}  // namespace

std::string AlarmTestRoot() { return g_root.string(); }

}  // namespace km7::test
