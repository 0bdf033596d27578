#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace km7::ui {

// Runs calls posted from any thread on the thread that made the queue.
// Qt's own hand-over (a queued lambda) locks with futexes the thread checker
// cannot see, so a lambda's captures read on one thread and freed on the
// other looked raced. Here a call travels under a std::mutex and only the
// wake-up goes through an eventfd.
class UiCallQueue {
 public:
  using Call = std::function<void()>;
  using Poster = std::function<void(Call)>;

  // On the receiving thread, which runs a Qt event loop.
  UiCallQueue();
  // Calls not yet run are dropped.
  ~UiCallQueue();
  UiCallQueue(const UiCallQueue&) = delete;
  UiCallQueue& operator=(const UiCallQueue&) = delete;

  // Posts from any thread; may outlive the queue and then posts nothing.
  Poster MakePoster() const;

 private:
  struct Shared;
  void RunPending();

  std::shared_ptr<Shared> shared_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

// Runs `call` on the application's thread when it next runs its events.
// Any thread; dropped when there is no application.
void PostToUiThread(UiCallQueue::Call call);

}  // namespace km7::ui
