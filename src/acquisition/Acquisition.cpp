#include "acquisition/Acquisition.h"

#include <atomic>

#include "acquisition/Measurement.h"
#include "platform/Clock.h"

namespace km7 {

// What the module's thread uses. Owned jointly by the object and its thread,
// so a thread left behind in a driver call never touches freed memory.
struct AcquisitionState {
  explicit AcquisitionState(std::shared_ptr<const D2xxLibrary> lib) : port(std::move(lib)) {}
  SensorPort port;
  ReadingStore store;
  std::atomic<int> autoRead{0};
};

// One thread's run flag and events. Each start makes a new one, so a thread
// left behind keeps its cleared flag whatever the next one is told.
struct AcquisitionRun {
  std::atomic<int> running{0};
  Event wake;          // raised by stopping: cuts the cycle pause short
  Event firstReading;  // raised once a whole reading was published
  Event ended;         // raised when the loop has ended
};

namespace {
thread_local const std::atomic<int>* t_running = nullptr;
}  // namespace

bool Acquisition::ThisThreadRunning() { return t_running == nullptr || t_running->load() != 0; }

Acquisition::Acquisition(std::shared_ptr<const D2xxLibrary> lib)
    : state_(std::make_shared<AcquisitionState>(std::move(lib))),
      run_(std::make_shared<AcquisitionRun>()) {}

Acquisition::~Acquisition() {
  if (thread_.joinable()) Stop(kDestroyWaitMs);
}

D2xxDevice& Acquisition::Device() { return state_->port.device; }
SensorPort& Acquisition::Port() { return state_->port; }

void Acquisition::SetAutoRead(bool on) { state_->autoRead.store(on ? 1 : 0); }
bool Acquisition::AutoRead() const { return state_->autoRead.load() != 0; }
bool Acquisition::Running() const { return run_->running.load() != 0; }
bool Acquisition::ThreadAlive() const { return thread_.joinable() && !run_->ended.IsSet(); }

void Acquisition::SetReporter(km7::Reporter reporter) { reporter_ = std::move(reporter); }
void Acquisition::SetLabel(std::string label) { label_ = std::move(label); }

void Acquisition::Start() {
  if (thread_.joinable()) {
    // Never two threads on one bus: end the old one first. Auto-read stays
    // as the caller set it for the new thread.
    run_->running.store(0);
    run_->wake.Set();
    StopThread(kDestroyWaitMs);
  }
  run_ = std::make_shared<AcquisitionRun>();
  run_->running.store(1);
  thread_ = std::thread([state = state_, run = run_] {
    t_running = &run->running;
    Measurement measurement(state->port, state->store, run->running, state->autoRead);
    measurement.Run(run->wake, run->firstReading);
    run->ended.Set();
  });
}

void Acquisition::RequestStop() {
  state_->autoRead.store(0);
  run_->running.store(0);
  run_->wake.Set();
}

bool Acquisition::Stop(unsigned maxWaitMs) {
  RequestStop();
  // With no thread there is nothing to wait for, and no wait is made.
  const bool ended = !thread_.joinable() || StopThread(maxWaitMs);
  // Nothing measures now: what is held is no longer current.
  state_->store.MarkStopped();
  return ended;
}

bool Acquisition::StopThread(unsigned maxWaitMs) {
  const std::int64_t start = SteadyMs();
  bool ended = run_->ended.WaitMs(maxWaitMs);
  // A test's sleep hook may stand in for the wait; the thread still gets the
  // real time the bound allows before it counts as stuck.
  const std::int64_t left = static_cast<std::int64_t>(maxWaitMs) - (SteadyMs() - start);
  if (!ended && left > 0) ended = run_->ended.WaitRealMs(static_cast<unsigned>(left));
  if (ended) {
    thread_.join();
    return true;
  }
  thread_.detach();
  const std::string text = label_ + "The acquisition thread did not end within " +
                           std::to_string(maxWaitMs) +
                           " ms: it is stuck in a call of the bridge driver and was left behind.";
  if (reporter_) {
    reporter_(text);
  } else {
    km7::Report(text);
  }
  return false;
}

bool Acquisition::WaitForFirstReading(unsigned maxWaitMs) {
  return run_->firstReading.WaitMs(maxWaitMs);
}

Reading Acquisition::Read() const { return state_->store.Read(); }
AcquisitionHealth Acquisition::Health() const { return state_->store.Health(); }
ReadingStore& Acquisition::Store() { return state_->store; }

}  // namespace km7
