#pragma once
// One module's acquisition: the bridge device it measures, the bus state, the
// published readings and the worker thread with its run flags. A process runs
// one per module; nothing of it is shared between modules.
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "acquisition/D2xxDevice.h"
#include "acquisition/D2xxLibrary.h"
#include "acquisition/Measurement.h"
#include "acquisition/Reading.h"
#include "acquisition/ReadingStore.h"
#include "platform/Reporter.h"
#include "acquisition/SensorBus.h"

namespace km7 {

struct AcquisitionState;
struct AcquisitionRun;

class Acquisition {
 public:
  // The library must be bound before the thread makes calls; it is shared so
  // that a thread left behind in a driver call never outlives it.
  explicit Acquisition(std::shared_ptr<const D2xxLibrary> lib);
  Acquisition(const Acquisition&) = delete;
  Acquisition& operator=(const Acquisition&) = delete;
  // Stops the thread, waiting at most kDestroyWaitMs (see Stop).
  ~Acquisition();

  static constexpr unsigned kDestroyWaitMs = 2000;

  // The module's bridge device: opened, switched and closed by the owner
  // while no thread runs; measured by the thread.
  D2xxDevice& Device();
  // The device with the bus state (pin shadow, CRC register) of this module.
  SensorPort& Port();

  // Measurements are made only while auto-read is on. Stopping turns it off.
  void SetAutoRead(bool on);
  bool AutoRead() const;
  // Whether the thread started last is asked to run (its run flag).
  bool Running() const;
  // Whether a thread is started and its loop has not ended yet.
  bool ThreadAlive() const;

  // Starts the thread with its run flag set. A thread still running is
  // stopped first (see Stop, kDestroyWaitMs), so two never measure one bus.
  void Start();
  // Clears auto-read and the run flag and wakes the thread from its pause;
  // it ends within one ready poll. Returns at once.
  void RequestStop();
  // RequestStop, then waits until the thread has ended, at most maxWaitMs,
  // and joins it. A thread that has not ended by then (stuck in a driver
  // call) is reported through the reporter and left behind: false. It keeps
  // the state it uses alive and ends once its call returns. Afterwards the
  // held reading is no longer current.
  bool Stop(unsigned maxWaitMs);
  // Waits until the thread started last has published its first whole
  // reading, at most maxWaitMs. True when it has.
  bool WaitForFirstReading(unsigned maxWaitMs);

  // The last whole reading (all values of one cycle) and whether it is current.
  Reading Read() const;
  // Counters and the last cycle's fault.
  AcquisitionHealth Health() const;
  // Where the thread publishes; tests and replays may put readings there.
  ReadingStore& Store();

  // On an acquisition thread: whether it is still asked to run (a sleep hook
  // of a test uses it not to hold a stopping thread). True elsewhere.
  static bool ThisThreadRunning();

  // Where Stop reports a thread left behind; unset: the process reporter.
  // Set it before Start.
  void SetReporter(km7::Reporter reporter);
  // Text put before the module's messages (its name), e.g. "ORV-KM7 Lab: ".
  void SetLabel(std::string label);

 private:
  // Waits for the thread's end (at most maxWaitMs) and joins it, or reports
  // it and leaves it behind. True when it ended.
  bool StopThread(unsigned maxWaitMs);

  std::shared_ptr<AcquisitionState> state_;
  std::shared_ptr<AcquisitionRun> run_;
  std::thread thread_;
  km7::Reporter reporter_;
  std::string label_;
};

}  // namespace km7
