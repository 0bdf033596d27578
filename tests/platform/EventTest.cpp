// The bounded wait for a flag that another thread raises: it ends when the
// flag goes up, not when its bound runs out, and tests can stand in for it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include "platform/Clock.h"

namespace {

using namespace std::chrono_literals;

constexpr unsigned kHour = 3600u * 1000u;

std::vector<unsigned> g_slept;
km7::Event* g_raiseInHook = nullptr;
void RecordingSleep(unsigned ms) {
  g_slept.push_back(ms);
  if (g_raiseInHook) g_raiseInHook->Set();
}
unsigned Shrink(unsigned) { return 1; }
unsigned Stretch(unsigned) { return kHour; }

class EventWait : public ::testing::Test {
 protected:
  void SetUp() override { g_slept.clear(); }
  void TearDown() override {
    km7::SetSleepHook(nullptr);
    km7::SetWaitLengthHook(nullptr);
    g_raiseInHook = nullptr;
  }
  // A wait that must end long before its bound; a failure here would
  // otherwise hang the test for an hour.
  static void ExpectEndsSoon(std::future<bool>& result, bool expected) {
    if (result.wait_for(60s) != std::future_status::ready) {
      ADD_FAILURE() << "the wait did not end when the flag went up";
      std::_Exit(1);
    }
    EXPECT_EQ(result.get(), expected);
  }
};

TEST_F(EventWait, AnswersWhetherTheFlagIsUp) {
  enum class Hook { None, Sleep, SleepRaising, Length };
  struct Case {
    const char* what;
    bool setBefore;
    Hook hook;
    unsigned ms;
    bool expected;
    std::vector<unsigned> slept;  // what the sleep hook was asked
  };
  const Case cases[] = {
      {"already up", true, Hook::None, kHour, true, {}},
      {"never raised, short bound", false, Hook::None, 1, false, {}},
      {"sleep hook stands in and is told the bound", false, Hook::Sleep, 1500, false, {1500}},
      {"sleep hook is asked even when the flag is up", true, Hook::Sleep, 1400, true, {1400}},
      {"raised while the hook stands in", false, Hook::SleepRaising, 500, true, {500}},
      {"length hook wins over the sleep hook", false, Hook::Length, kHour, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_slept.clear();
    km7::Event event;
    if (c.setBefore) event.Set();
    km7::SetSleepHook(c.hook == Hook::None ? nullptr : &RecordingSleep);
    km7::SetWaitLengthHook(c.hook == Hook::Length ? &Shrink : nullptr);
    g_raiseInHook = c.hook == Hook::SleepRaising ? &event : nullptr;
    auto result = std::async(std::launch::async, [&] { return event.WaitMs(c.ms); });
    ExpectEndsSoon(result, c.expected);
    EXPECT_EQ(g_slept, c.slept);
    EXPECT_EQ(event.IsSet(), c.expected);
  }
}

TEST_F(EventWait, RaisingEndsALongWaitOnAnotherThread) {
  for (bool stretched : {false, true}) {
    SCOPED_TRACE(stretched ? "bound stretched by the length hook" : "bound as asked");
    km7::SetWaitLengthHook(stretched ? &Stretch : nullptr);
    km7::Event event;
    std::promise<void> waiting;
    auto result = std::async(std::launch::async, [&] {
      waiting.set_value();
      return event.WaitMs(stretched ? 1000 : kHour);
    });
    waiting.get_future().wait();
    std::this_thread::sleep_for(10ms);  // most likely inside the wait by now; either way it must end
    event.Set();
    ExpectEndsSoon(result, true);
  }
}

TEST_F(EventWait, ClearLowersTheFlagForTheNextRound) {
  km7::Event event;
  event.Set();
  ASSERT_TRUE(event.WaitMs(0));
  event.Clear();
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.WaitMs(1));
  event.Set();
  event.Set();  // raising twice is harmless
  EXPECT_TRUE(event.WaitMs(1));
}

}  // namespace
