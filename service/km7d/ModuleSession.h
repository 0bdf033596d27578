#pragma once
// One module opened by km7d: the bridge opened by its description, its serial
// number read, the port switched to bit-bang and the acquisition running.
// Closing takes the bridge out of bit-bang mode before the handle goes.
#include <memory>
#include <string>

#include "acquisition/Acquisition.h"

namespace km7d {

enum class OpenResult {
  Opened,
  InUse,          // another program has it open
  Failed,         // it could not be opened (gone again, or a driver fault)
  BitBangFailed,  // opened, but the port would not switch to bit-bang mode
};

class ModuleSession {
 public:
  ModuleSession(std::shared_ptr<const D2xxLibrary> lib, std::string description);
  ~ModuleSession();  // Close()
  ModuleSession(const ModuleSession&) = delete;
  ModuleSession& operator=(const ModuleSession&) = delete;

  // Opens the module and starts its acquisition. Anything but Opened leaves
  // the module closed.
  OpenResult Open();
  // Asks the thread to stop without waiting, so that many modules stop at
  // once; Close then only waits for what is left.
  void RequestStop();
  // Stops and joins the thread (bounded), leaves bit-bang mode and closes.
  void Close();

  bool IsOpen() const { return open_; }
  const std::string& Description() const { return description_; }
  // The bridge's serial number; the description when it could not be read.
  const std::string& Serial() const { return serial_; }
  // Whether Open was ever tried: only then is there an acquisition.
  bool HasAcquisition() const { return acquisition_ != nullptr; }
  km7::Acquisition& Acquisition() { return *acquisition_; }
  const km7::Acquisition& Acquisition() const { return *acquisition_; }

  // Bounds of the waits: for the thread to end, and for the first reading.
  static constexpr unsigned kStopWaitMs = 900;

 private:
  std::shared_ptr<const D2xxLibrary> lib_;
  std::string description_;
  std::string serial_;
  std::unique_ptr<km7::Acquisition> acquisition_;
  bool open_ = false;
};

// Status of the driver's FT_OpenEx for a module in use.
inline constexpr unsigned long kStatusNotOpened = 3;

}  // namespace km7d
