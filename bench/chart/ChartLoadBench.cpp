// The main window with a simulated module open, measured in its own process:
// first for a while without the chart, then as long with the chart open at
// "5 Min". Reports the processor share of one core and the resident memory
// of each phase. Goals, measured under Xvfb with xcb (QT_QPA_PLATFORM; offscreen
// when unset): under 0.2 % of one core without the chart, under 0.3 % with it,
// at most 40 MB.
//
// The driver library is found through the loader path, which the loader reads
// only at start: the program starts itself again with the simulated module's
// folder on it.
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/Km7Dlg.h"
#include "chart/Chart.h"
#include "settings/ProfileStore.h"
#include "ui/DialogDriver.h"

namespace fs = std::filesystem;

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A line of /proc/self/status in MB ("VmRSS", "VmHWM").
double StatusMb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::atof(line.c_str() + std::strlen(key) + 1) / 1024.0;
  }
  return -1;
}

// The event loop, as the program runs it, for a while.
void RunFor(int seconds) {
  QEventLoop loop;
  QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
  loop.exec();
}

struct Phase {
  double share, rssMb;
};

Phase Measure(int seconds) {
  const double c0 = CpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  RunFor(seconds);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return {100.0 * (CpuSeconds() - c0) / wall, StatusMb("VmRSS:")};
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
  if (getenv("KM7_CHART_BENCH_CHILD") == nullptr) {
    std::string templ = (fs::temp_directory_path() / "km7-chart-load-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) return 2;
    const fs::path root = templ;
    fs::create_directories(root / "config");
    std::ofstream(root / "sim.conf") << "[module]\ndescription = Bench\ndrift = 0.3\n";
    setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", root.c_str(), 1);
    setenv("XDG_STATE_HOME", root.c_str(), 1);
    ProfileStore::Instance().WriteText(km7::profile::Device, km7::profile::kFixedSuffix, "Bench");
    setenv("QT_QPA_PLATFORM", "offscreen", 0);  // a platform given from outside wins
    setenv("LD_LIBRARY_PATH", KM7_SIM_LIB_DIR, 1);
    setenv("KM7_SIM_CONFIG", (root / "sim.conf").c_str(), 1);
    setenv("KM7_CHART_BENCH_CHILD", root.c_str(), 1);
    execv("/proc/self/exe", argv);
    return 127;
  }

  QApplication app(argc, argv);
  int rc = 0;
  {
    CKm7Dlg window;
    window.Create();
    // The remembered module is reopened from the event loop once the window shows.
    for (int i = 0; i < 100 && !window.StartupDone(); ++i) RunFor(0);
    RunFor(1);
    if (!window.HasTimer(km7::kDisplayTimerId)) {
      std::fprintf(stderr, "the simulated module did not open\n");
      rc = 1;
    } else {
      RunFor(5);  // settle
      const Phase without = Measure(seconds);
      km7::ui::DialogDriver(window).PressButton(km7::IDC_CHARTING);
      if (window.chartWindow.Get() == nullptr || window.chartWindow.Get()->timeBase != 0) {
        std::fprintf(stderr, "no chart at 5 Min\n");
        rc = 1;
      } else {
        RunFor(2);
        const Phase with = Measure(seconds);
        std::printf("without the chart: %.2f %% of one core, %.1f MB resident\n", without.share, without.rssMb);
        std::printf("chart open at 5 Min: %.2f %% of one core, %.1f MB resident (peak %.1f MB)\n", with.share,
                    with.rssMb, StatusMb("VmHWM:"));
        std::printf("goals: under 0.2 %% without the chart, under 0.3 %% with it, at most 40 MB (%s)\n",
                    QApplication::platformName().toUtf8().constData());
      }
      km7::ui::DialogDriver(window).PressButton(km7::IDC_CHARTING);
    }
    window.DestroyWindow();
  }
  std::error_code ec;
  fs::remove_all(getenv("KM7_CHART_BENCH_CHILD"), ec);
  return rc;
}
