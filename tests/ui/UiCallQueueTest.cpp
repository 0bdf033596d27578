// Calls handed from worker threads to the window's thread: every one runs
// there, in each thread's order, and none runs once its queue is gone.
#include "ui/UiCallQueue.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <thread>
#include <vector>

#include "ui/QtTestEnvironment.h"

namespace km7::ui {
namespace {

TEST(UiCallQueueTest, CallsFromManyThreadsAllRunOnTheWindowThreadInEachThreadsOrder) {
  constexpr int kThreads = 4, kCalls = 500;
  UiCallQueue queue;
  QThread* const ui = QThread::currentThread();
  std::vector<int> next(kThreads, 0);  // touched on the UI thread only
  int ran = 0, outOfOrder = 0, offThread = 0;
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([&, t, post = queue.MakePoster()] {
      for (int i = 0; i < kCalls; ++i)
        post([&, t, i] {
          if (QThread::currentThread() != ui) ++offThread;
          if (next[t] != i) ++outOfOrder;
          next[t] = i + 1;
          ++ran;
        });
    });
  for (std::thread& w : workers) w.join();
  EXPECT_TRUE(km7::test::RunEventsUntil([&] { return ran == kThreads * kCalls; }, 30000)) << ran;
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(offThread, 0);
}

TEST(UiCallQueueTest, AGoneQueueRunsNothingAndItsPosterStaysHarmless) {
  std::atomic<int> ran{0};
  UiCallQueue::Poster post;
  {
    UiCallQueue queue;
    post = queue.MakePoster();
    std::thread([&] { post([&] { ++ran; }); }).join();
  }  // gone before the event loop ran
  std::thread([&] { post([&] { ++ran; }); }).join();
  km7::test::RunEventsUntil([] { return false; }, 200);
  EXPECT_EQ(ran.load(), 0);

  // A call may end its own queue: the ones behind it are dropped.
  auto queue = std::make_unique<UiCallQueue>();
  post = queue->MakePoster();
  post([&] { queue.reset(); ++ran; });
  post([&] { ++ran; });
  km7::test::RunEventsUntil([&] { return queue == nullptr; }, 30000);
  km7::test::RunEventsUntil([] { return false; }, 200);
  EXPECT_EQ(ran.load(), 1);
}

TEST(UiCallQueueTest, TheApplicationsQueueRunsCallsOnItsThread) {
  std::atomic<bool> onUiThread{false}, ran{false};
  std::thread([&] {
    PostToUiThread([&] {
      onUiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
      ran = true;
    });
  }).join();
  EXPECT_TRUE(km7::test::RunEventsUntil([&] { return ran.load(); }, 30000));
  EXPECT_TRUE(onUiThread.load());
}

}  // namespace
}  // namespace km7::ui
