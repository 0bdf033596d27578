// One ReadText and one WriteText on a settings file of 200 values. Every read
// reads the whole file and every write replaces it (with fsync), so these are
// the costs the program pays per access.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "platform/TempDir.h"
#include "settings/ProfileStore.h"

namespace {

class SettingsFile {
 public:
  SettingsFile() {
    store_ = std::make_unique<ProfileStore>(dir_ / "km7.INI");
    // 37 values for each of five modules plus the shared ones: 200 in all.
    int written = 0;
    for (int module = 0; written < 200; ++module) {
      std::string suffix = "KM7 Sensor " + std::to_string(module);
      for (const km7::profile::Value* v : km7::profile::kAllValues) {
        if (written == 200) break;
        std::string name = ProfileStore::ValueName(v->pattern, suffix);
        if (v->kind == km7::profile::Kind::Integer) store_->WriteInt(name, module);
        else store_->WriteText(name, "Typical text of a setting, e.g. ops@example.org");
        ++written;
      }
    }
  }
  ProfileStore& Store() { return *store_; }

 private:
  km7::test::TempDir dir_;
  std::unique_ptr<ProfileStore> store_;
};

SettingsFile& File() {
  static SettingsFile file;
  return file;
}

void BM_ReadText_LastOf200(benchmark::State& state) {
  ProfileStore& store = File().Store();
  const std::string name = ProfileStore::ValueName("ORVKM7EmailHumBodyL4_%s", "KM7 Sensor 4");
  for (auto _ : state) benchmark::DoNotOptimize(store.ReadText(name, "missing"));
}
BENCHMARK(BM_ReadText_LastOf200)->Unit(benchmark::kMicrosecond);

void BM_ReadText_Absent(benchmark::State& state) {
  ProfileStore& store = File().Store();
  for (auto _ : state) benchmark::DoNotOptimize(store.ReadText("ORVKM7NotThere_X", "missing"));
}
BENCHMARK(BM_ReadText_Absent)->Unit(benchmark::kMicrosecond);

void BM_WriteText_Of200(benchmark::State& state) {
  ProfileStore& store = File().Store();
  const std::string name = ProfileStore::ValueName("ORVKM7EmailTempSubject_%s", "KM7 Sensor 2");
  int i = 0;
  for (auto _ : state) store.WriteText(name, "Subject " + std::to_string(i++));
}
BENCHMARK(BM_WriteText_Of200)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
