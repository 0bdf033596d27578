#pragma once
// A connection test or test mail of the setup dialog, run on a thread of its
// own with its own session so that the dialog stays responsive. The result
// comes back on the dialog's thread; once the task is cancelled (the dialog
// closes) nothing comes back, the session's waits end at once through the
// task's cancel token, and the thread finishes on its own without anybody
// waiting for it.
#include <functional>
#include <memory>

#include "smtp/CancelToken.h"

namespace km7::ui {
class UiCallQueue;
}

namespace km7::alarms {

class DialogMailTask {
 public:
  DialogMailTask();
  ~DialogMailTask();  // cancels
  DialogMailTask(const DialogMailTask&) = delete;
  DialogMailTask& operator=(const DialogMailTask&) = delete;

  // Runs work on a new thread, then done on this thread. One at a time:
  // false while one runs.
  bool Run(std::function<void()> work, std::function<void()> done);
  bool Running() const;
  // No done call after this returns; a session that uses Token() stops
  // waiting at once.
  void Cancel();
  // For the sessions of the work: raised by Cancel.
  km7::smtp::SharedCancelToken Token() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<km7::ui::UiCallQueue> results_;
};

}  // namespace km7::alarms
