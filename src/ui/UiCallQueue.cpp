#include "ui/UiCallQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>
#include <deque>
#include <mutex>
#include <stdexcept>

namespace km7::ui {

struct UiCallQueue::Shared {
  Shared() : fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd < 0) throw std::runtime_error("eventfd failed");
  }
  ~Shared() { close(fd); }

  void Post(Call call) {
    {
      std::lock_guard lock(mutex);
      if (!open) return;
      calls.push_back(std::move(call));
    }
    const eventfd_t one = 1;
    // Only fails when the counter is full: the reader is woken anyway.
    (void)!eventfd_write(fd, one);
  }

  const int fd;
  std::mutex mutex;
  bool open = true;
  std::deque<Call> calls;
};

UiCallQueue::UiCallQueue() : shared_(std::make_shared<Shared>()) {
  notifier_ = std::make_unique<QSocketNotifier>(shared_->fd, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { RunPending(); });
}

UiCallQueue::~UiCallQueue() {
  notifier_.reset();
  std::deque<Call> dropped;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->open = false;
    dropped.swap(shared_->calls);
  }
}

UiCallQueue::Poster UiCallQueue::MakePoster() const {
  return [shared = shared_](Call call) { shared->Post(std::move(call)); };
}

void UiCallQueue::RunPending() {
  eventfd_t count = 0;
  (void)eventfd_read(shared_->fd, &count);
  const std::shared_ptr<Shared> shared = shared_;  // a call may end the queue
  for (;;) {
    Call call;
    {
      std::lock_guard lock(shared->mutex);
      if (!shared->open || shared->calls.empty()) return;
      call = std::move(shared->calls.front());
      shared->calls.pop_front();
    }
    call();
  }
}

namespace {
std::mutex g_appMutex;
UiCallQueue::Poster g_appPoster;

// Made with each application, on its thread; goes with it.
void MakeApplicationQueue() {
  auto* owner = new QObject(QCoreApplication::instance());
  auto queue = std::make_shared<UiCallQueue>();
  {
    std::lock_guard lock(g_appMutex);
    g_appPoster = queue->MakePoster();
  }
  QObject::connect(owner, &QObject::destroyed, [queue]() mutable {
    {
      std::lock_guard lock(g_appMutex);
      g_appPoster = nullptr;
    }
    queue.reset();
  });
}
}  // namespace

Q_COREAPP_STARTUP_FUNCTION(MakeApplicationQueue)

void PostToUiThread(UiCallQueue::Call call) {
  UiCallQueue::Poster post;
  {
    std::lock_guard lock(g_appMutex);
    post = g_appPoster;
  }
  if (post) post(std::move(call));
}

}  // namespace km7::ui
