// One full paint of the chart with 1000 buckets at 1920 x 1080: into an image
// with the painter alone, and through the chart window itself (controls
// included). Goal: under 2 ms.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <cmath>
#include <filesystem>
#include <string>

#include "chart/Chart.h"
#include "chart/ChartPainter.h"
#include "ui/DialogDriver.h"
#include "ui/DialogUnits.h"

namespace {

using namespace km7::chart;

void FillHistory(History& h) {
  for (int i = 0; i < kBucketCount; ++i) {
    const double t = 22 + 6 * std::sin(i / 50.0);
    h.tempMin[i] = t - 0.4;
    h.tempMax[i] = t + 0.4;
    h.humMin[i] = 50 + 20 * std::cos(i / 70.0);
    h.humMax[i] = h.humMin[i] + 1.5;
    h.dewMin[i] = t - 9;
    h.dewMax[i] = t - 8.5;
    h.time[i] = 1700000000 + i;
  }
  h.historyIndex = kBucketCount - 1;  // every bucket but the current one is drawn
}

// Argument: the buckets drawn (0: everything but the curves).
void BM_PaintImage(benchmark::State& state) {
  History h;
  FillHistory(h);
  h.historyIndex = static_cast<int>(state.range(0));
  QImage image(1920, 1080, QImage::Format_ARGB32_Premultiplied);
  ChartPaintInput in;
  in.clientWidth = 1920;
  in.clientHeight = 1080;
  in.tempScale = 1;
  in.showDewPoint = true;
  in.pointerBucket = 500;
  for (auto _ : state) {
    QPainter p(&image);
    p.setFont(km7::ui::TemplateFont("MS Sans Serif", 8));
    benchmark::DoNotOptimize(PaintChart(p, in, h));
  }
}
BENCHMARK(BM_PaintImage)->Arg(0)->Arg(kBucketCount - 1)->Unit(benchmark::kMillisecond);

void BM_RepaintWindow(benchmark::State& state) {
  History history;
  FillHistory(history);
  ChartWindowHolder chartWindow(history);
  CChart& c = chartWindow.Open(nullptr);
  c.KillTimer(kAdvanceTimerId);
  km7::ui::DialogDriver(c).PressButton(IDC_SHOW_DEW_POINT);
  c.SetWindowSize(1920, 1080);
  QApplication::processEvents();
  for (auto _ : state) c.UpdateWindow();
  state.counters["width"] = c.GetClientRect().width();
  state.counters["height"] = c.GetClientRect().height();
  chartWindow.Close();
}
BENCHMARK(BM_RepaintWindow)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // Settings the chart window reads and writes stay out of the user's own.
  std::string dir = (std::filesystem::temp_directory_path() / "km7-chart-bench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return 2;
  setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  {
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
