// The display tick goes on while a data-log failure box it opened waits for
// the user: the display keeps showing readings, and the box is not repeated
// for the rows that fail meanwhile.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "AppTestSupport.h"
#include "settings/ProfileStore.h"
#include "ui/MessageBox.h"

namespace km7::test {
namespace {

namespace fs = std::filesystem;
namespace values = km7::profile;

// 20.00 °C, 49.419 %, dew point 9.08 °C.
constexpr char kLab[] =
    "[module]\ndescription = Lab\nraw_temperature = 6000\nraw_humidity = 1488\n";
constexpr char kShown[] = "20.0 \xB0" "C ";

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

using TickDuringMessageBoxTest = AppTest;

TEST_F(TickDuringMessageBoxTest, DisplayKeepsUpdatingWhileTheLogFailureBoxIsOpen) {
  const fs::path dir = fs::temp_directory_path() / ("km7-tickbox-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path log = dir / "lab.txt";
  ConfigureSim(kLab);
  ProfileStore& store = ProfileStore::Instance();
  store.WriteText(values::Device, kDefaultSensorName, "Lab");
  store.WriteInt(values::Logging, values::kFixedSuffix, 1);
  store.WriteText(values::LogFilePath, "Lab", log.string());
  store.WriteInt(values::LoggingInterval, "Lab", 1);

  CKm7Dlg& w = StartMainWindow();
  // A row after the header: logging runs.
  auto lines = [&] {
    const std::string text = ReadAll(log);
    return std::count(text.begin(), text.end(), '\n');
  };
  ASSERT_TRUE(WaitFor([&] { return lines() >= 2; })) << ReadAll(log);

  // The box waits in a nested event loop as a person reading it would. While
  // it is up, the tick must put the reading back over what is written here,
  // and further rows come due (and fail) for at least two seconds.
  int boxes = 0;
  bool refreshedWhileOpen = false;
  ui::SetMessageHook([&](const std::string& text, ui::MessageIcon, const std::string&) {
    messages.push_back(text);
    if (++boxes > 1) return;
    w.SetDlgItemText(IDC_TEMPERATURE, "stale");
    refreshedWhileOpen = WaitFor([&] { return w.GetDlgItemText(IDC_TEMPERATURE) == kShown; });
    WaitFor([] { return false; }, 2500);
  });
  fs::remove_all(dir);  // the disk is gone: the next row cannot be written
  ASSERT_TRUE(WaitFor([&] { return boxes >= 1 && refreshedWhileOpen; }, 20000));
  WaitFor([] { return false; }, 500);
  EXPECT_TRUE(refreshedWhileOpen);
  EXPECT_EQ(boxes, 1) << "one box per run of failures";
  ASSERT_FALSE(messages.empty());
  EXPECT_NE(messages[0].find(log.string()), std::string::npos) << messages[0];

  // After the box the tick still runs.
  w.SetDlgItemText(IDC_TEMPERATURE, "stale");
  EXPECT_TRUE(WaitFor([&] { return w.GetDlgItemText(IDC_TEMPERATURE) == kShown; }));
  DestroyMainWindow();
}

}  // namespace
}  // namespace km7::test
