#pragma once
// Support for the main-window tests: temporary settings and data folders, the
// simulated modules' configuration, shortened fixed waits, and recorders for
// message boxes and the name box.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Km7Dlg.h"

namespace km7::test {

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the simulated modules' configuration (a file of this test's own)
  // and plugs the modules in again when the library is already loaded.
  void ConfigureSim(const std::string& text);
  // Plugs every simulated module in again (programmed names become visible).
  static void Replug();
  // Completed readings of the simulated module with this description.
  static std::uint64_t Readings(const std::string& description);

  // Builds the main window modeless and records every text its name box
  // shows. Its initialisation runs, and unless told otherwise the rest of the
  // start-up that follows from the event loop too.
  CKm7Dlg& StartMainWindow(bool finishStartup = true);
  void DestroyMainWindow();

  // Runs the event loop until pred holds (at most ms milliseconds).
  static bool WaitFor(const std::function<bool()>& pred, int ms = 15000);

  static std::string SettingsText();  // the settings file as it stands
  static std::string ScreenshotPath(const std::string& name);

  std::unique_ptr<CKm7Dlg> dlg;
  std::vector<std::string> messages;     // every message box, in order
  std::vector<std::string> nameHistory;  // every text of the name box, in order
};

// The fixed waits (1400, 500 and 1500 ms) in the order they were made.
std::vector<unsigned> FixedWaits();
void ClearFixedWaits();
// Called on the waiting thread at every fixed wait, before it.
void SetFixedWaitProbe(std::function<void(unsigned ms)> probe);
// While held, the acquisition thread stays in its cycle pause (at most 20 s,
// and only while its thread is asked to run).
void HoldCyclePause(bool hold);
// Number of cycle pauses begun since the last call with reset.
unsigned CyclePauses(bool reset = false);

}  // namespace km7::test
