#include "alarms/DialogMailTask.h"

#include <mutex>
#include <thread>

#include "ui/UiCallQueue.h"

namespace km7::alarms {

struct DialogMailTask::Shared {
  std::mutex mutex;
  bool cancelled = false;
  bool running = false;
  km7::ui::UiCallQueue::Poster post;
  const std::shared_ptr<km7::smtp::CancelToken> token = std::make_shared<km7::smtp::CancelToken>();
};

DialogMailTask::DialogMailTask()
    : shared_(std::make_shared<Shared>()), results_(std::make_unique<km7::ui::UiCallQueue>()) {
  shared_->post = results_->MakePoster();
}

DialogMailTask::~DialogMailTask() { Cancel(); }

bool DialogMailTask::Running() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->running;
}

bool DialogMailTask::Run(std::function<void()> work, std::function<void()> done) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->running || shared_->cancelled) return false;
    shared_->running = true;
  }
  std::shared_ptr<Shared> shared = shared_;
  std::thread([shared, work = std::move(work), done = std::move(done)]() mutable {
    work();
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (shared->cancelled) return;
    // Posted under the lock: Cancel (on the dialog's thread) cannot pass
    // between the check and the post, and a posted call dies with the task.
    shared->post([shared, done = std::move(done)] {
      {
        std::lock_guard<std::mutex> g(shared->mutex);
        shared->running = false;
      }
      done();
    });
  }).detach();
  return true;
}

void DialogMailTask::Cancel() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->cancelled = true;
  }
  shared_->token->Cancel();
}

km7::smtp::SharedCancelToken DialogMailTask::Token() const { return shared_->token; }

}  // namespace km7::alarms
