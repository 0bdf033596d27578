#include "AppTestSupport.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "settings/ProfileStore.h"
#include "settings/OpenSensor.h"
#include "km7sim.h"
#include "platform/Clock.h"
#include "ui/MessageBox.h"
#include "ui/QtTestEnvironment.h"

namespace fs = std::filesystem;

namespace km7::test {
namespace {

fs::path g_root;

// Before any QApplication exists; a platform given from outside wins.
[[maybe_unused]] const int g_platform = setenv("QT_QPA_PLATFORM", "offscreen", 0);

class FoldersEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "km7-app-test-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) FAIL() << "no temporary folder";
    g_root = templ;
    fs::create_directories(g_root / "config");
    fs::create_directories(g_root / "data");
    fs::create_directories(g_root / "sim");
    setenv("XDG_CONFIG_HOME", (g_root / "config").c_str(), 1);
    // The e-mail diagnostic log goes below it.
    setenv("XDG_STATE_HOME", (g_root / "state").c_str(), 1);
    setenv("XDG_DATA_HOME", (g_root / "data").c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(g_root, ec);
  }
};
[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new FoldersEnvironment);

std::mutex g_mutex;
std::condition_variable g_cv;
std::vector<unsigned> g_waits;
std::function<void(unsigned)> g_probe;
bool g_hold = false;
unsigned g_pauses = 0;

void TestSleep(unsigned ms) {
  using namespace std::chrono;
  if (ms == kCloseWaitMs || ms == kStartWaitMs || ms == kExitWaitMs) {
    std::function<void(unsigned)> probe;
    {
      std::lock_guard lock(g_mutex);
      g_waits.push_back(ms);
      probe = g_probe;
    }
    if (probe) probe(ms);
    std::this_thread::sleep_for(milliseconds(ms / 10));
    return;
  }
  if (ms == km7::kCyclePauseMs) {
    std::unique_lock lock(g_mutex);
    ++g_pauses;
    const auto until = steady_clock::now() + seconds(20);
    while (g_hold && Acquisition::ThisThreadRunning() && steady_clock::now() < until)
      g_cv.wait_for(lock, milliseconds(20));
    lock.unlock();
    std::this_thread::sleep_for(milliseconds(100));
    return;
  }
  std::this_thread::sleep_for(milliseconds(ms));
}

void* SimLibrary() { return dlopen("libftd2xx.so", RTLD_NOW | RTLD_NOLOAD); }

}  // namespace

std::vector<unsigned> FixedWaits() {
  std::lock_guard lock(g_mutex);
  return g_waits;
}

void ClearFixedWaits() {
  std::lock_guard lock(g_mutex);
  g_waits.clear();
}

void SetFixedWaitProbe(std::function<void(unsigned)> probe) {
  std::lock_guard lock(g_mutex);
  g_probe = std::move(probe);
}

void HoldCyclePause(bool hold) {
  std::lock_guard lock(g_mutex);
  g_hold = hold;
  g_cv.notify_all();
}

unsigned CyclePauses(bool reset) {
  std::lock_guard lock(g_mutex);
  const unsigned n = g_pauses;
  if (reset) g_pauses = 0;
  return n;
}

void AppTest::SetUp() {
  std::error_code ec;
  fs::remove(ProfileStore::Instance().FilePath(), ec);
  ClearFixedWaits();
  SetFixedWaitProbe(nullptr);
  HoldCyclePause(false);
  km7::SetSleepHook(&TestSleep);
  ui::SetMessageHook([this](const std::string& text, ui::MessageIcon, const std::string&) {
    messages.push_back(text);
  });
}

void AppTest::TearDown() {
  HoldCyclePause(false);
  SetFixedWaitProbe(nullptr);
  DestroyMainWindow();
  ui::SetModalHook(nullptr);
  ui::SetMessageHook(nullptr);
  km7::SetSleepHook(nullptr);
}

void AppTest::ConfigureSim(const std::string& text) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const fs::path path = g_root / "sim" / (std::string(info->test_suite_name()) + "." + info->name() + ".conf");
  {
    std::ofstream out(path, std::ios::trunc);
    out << text;
  }
  setenv("KM7_SIM_CONFIG", path.c_str(), 1);
  Replug();
}

void AppTest::Replug() {
  void* lib = SimLibrary();
  if (lib == nullptr) return;  // the first binding reads the configuration
  auto replug = reinterpret_cast<km7sim_replug_fn>(dlsym(lib, "km7sim_replug"));
  if (replug) replug();
  dlclose(lib);
}

std::uint64_t AppTest::Readings(const std::string& description) {
  void* lib = SimLibrary();
  if (lib == nullptr) return 0;
  auto readings = reinterpret_cast<km7sim_readings_fn>(dlsym(lib, "km7sim_readings"));
  const std::uint64_t n = readings ? readings(description.c_str()) : 0;
  dlclose(lib);
  return n;
}

CKm7Dlg& AppTest::StartMainWindow(bool finishStartup) {
  DestroyMainWindow();
  dlg = std::make_unique<CKm7Dlg>();
  CKm7Dlg* window = dlg.get();
  window->Bind(ui::Notify::EditChange, IDC_NAME, [this, window] {
    nameHistory.push_back(window->GetDlgItemText(IDC_NAME));
  });
  window->Create();
  if (finishStartup) {
    EXPECT_TRUE(WaitFor([window] { return window->StartupDone(); }));
  }
  return *window;
}

void AppTest::DestroyMainWindow() {
  if (!dlg) return;
  dlg->DestroyWindow();
  dlg.reset();
  FlushDeferredDeletes();
}

bool AppTest::WaitFor(const std::function<bool()>& pred, int ms) { return RunEventsUntil(pred, ms); }

std::string AppTest::SettingsText() {
  std::ifstream in(ProfileStore::Instance().FilePath(), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string AppTest::ScreenshotPath(const std::string& name) {
  // Beside the test program's working folder (the build folder under ctest)
  // unless KM7_SCREENSHOT_DIR names another.
  const char* dir = std::getenv("KM7_SCREENSHOT_DIR");
  fs::path folder = dir && *dir ? fs::path(dir) : fs::current_path() / "screenshots";
  fs::create_directories(folder);
  return (folder / name).string();
}

}  // namespace km7::test
