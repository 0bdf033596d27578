// How long a person waits for km7 with the simulated module: from the
// program's start until the first value shows, from pressing Open until the
// chooser appears, and from closing the window until the program could exit.
// Each is measured over several runs of the real main window (offscreen);
// the median and the worst run are printed beside the goal.
//   <build>/bench/app/bench_km7_waits [runs]
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/Km7Dlg.h"
#include "devices/Search.h"
#include "km7sim.h"
#include "platform/TempDir.h"
#include "settings/ProfileStore.h"
#include "ui/Dialog.h"
#include "ui/DialogDriver.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Runs the event loop until done() holds, at most 30 s.
bool Pump(const std::function<bool()>& done) {
  const auto end = Clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (Clock::now() > end) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool ShowsValue(const CKm7Dlg& w) {
  const std::string t = w.GetDlgItemText(km7::IDC_TEMPERATURE);
  return !t.empty() && t != " ";
}

// Exit leaves the handle open, as the program ends with it; the next run's
// window finds the module free again only after it was plugged in anew.
void Replug() {
  void* lib = dlopen("libftd2xx.so", RTLD_NOW | RTLD_NOLOAD);
  if (lib == nullptr) return;
  if (auto replug = reinterpret_cast<km7sim_replug_fn>(dlsym(lib, "km7sim_replug"))) replug();
  dlclose(lib);
}

struct Run {
  double firstValue = -1, chooser = -1, exit = -1;
};

// One life of the main window: start, first value, Open with the chooser
// answered, a value again, close.
bool MeasureOnce(Run& run, Clock::time_point start) {
  Clock::time_point openPressed, chooserShown, closePressed;
  bool ok = true;
  km7::ui::SetModalHook([&](km7::ui::CDialog& d) {
    auto* w = dynamic_cast<CKm7Dlg*>(&d);
    if (w == nullptr) return km7::ui::IDCANCEL;
    ok = Pump([&] { return ShowsValue(*w); });
    run.firstValue = Seconds(start, Clock::now());
    // The chooser: note when it shows, choose the module.
    km7::ui::SetModalHook([&](km7::ui::CDialog& chooser) {
      chooserShown = Clock::now();
      km7::ui::DialogDriver drive(chooser);
      drive.SelectListItem(km7::IDC_DEVICE_LIST, chooser.ListFindStringExact(km7::IDC_DEVICE_LIST, "Bench"));
      drive.PressButton(km7::ui::IDOK);
      return km7::ui::IDOK;
    });
    w->SetDlgItemText(km7::IDC_TEMPERATURE, " ");
    openPressed = Clock::now();
    km7::ui::DialogDriver(*w).PressButton(km7::IDC_OPEN);
    run.chooser = Seconds(openPressed, chooserShown);
    ok = ok && Pump([&] { return ShowsValue(*w); });
    closePressed = Clock::now();
    w->OnClose();
    return km7::ui::IDOK;
  });
  {
    CKm7Dlg dlg;
    dlg.DoModal();
  }  // the window and its thread are gone: the program could exit now
  run.exit = Seconds(closePressed, Clock::now());
  km7::ui::SetModalHook(nullptr);
  Replug();
  return ok;
}

void Report(const char* what, std::vector<double> values, double goal) {
  std::sort(values.begin(), values.end());
  const double median = values[values.size() / 2];
  std::printf("%-34s median %.3f s, worst %.3f s (goal %.1f s)%s\n", what, median, values.back(), goal,
              median <= goal ? "" : "  MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  const auto start = Clock::now();
  // The loader reads its path only at process start: come back with the
  // simulated module's folder on it.
  const char* path = std::getenv("LD_LIBRARY_PATH");
  if (path == nullptr || std::strstr(path, KM7_SIM_LIB_DIR) == nullptr) {
    std::string p = KM7_SIM_LIB_DIR;
    if (path && *path) p += std::string(":") + path;
    setenv("LD_LIBRARY_PATH", p.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("execv");
    return 2;
  }
  const int runs = std::max(1, argc > 1 ? std::atoi(argv[1]) : 5);

  km7::test::TempDir root;
  setenv("XDG_CONFIG_HOME", root.Path().c_str(), 1);
  setenv("XDG_DATA_HOME", root.Path().c_str(), 1);
  setenv("XDG_STATE_HOME", root.Path().c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  km7::test::WriteFile(root / "sim.conf", "[module]\ndescription = Bench\n");
  setenv("KM7_SIM_CONFIG", (root / "sim.conf").c_str(), 1);
  ProfileStore::Instance().WriteText(km7::profile::Device, km7::profile::kFixedSuffix, "Bench");

  QApplication app(argc, argv);
  std::vector<double> firstValue, chooser, exitTimes;
  for (int i = 0; i < runs; ++i) {
    Run run;
    if (!MeasureOnce(run, i == 0 ? start : Clock::now())) {
      std::fprintf(stderr, "no value appeared: is the simulated module on the loader path?\n");
      return 1;
    }
    firstValue.push_back(run.firstValue);
    chooser.push_back(run.chooser);
    exitTimes.push_back(run.exit);
  }
  std::printf("km7 with the simulated module, %d runs (the first from the program's start):\n", runs);
  Report("start to the first value shown:", firstValue, 0.5);
  Report("Open to the chooser:", chooser, 0.2);
  Report("close to exit:", exitTimes, 0.3);
  return 0;
}
