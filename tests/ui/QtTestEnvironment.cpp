#include "ui/QtTestEnvironment.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

namespace km7::test {
namespace {

int g_argc = 1;
char g_name[] = "km7-test";
char* g_argv[] = {g_name, nullptr};

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (QApplication::instance() == nullptr) app_ = new QApplication(g_argc, g_argv);
  }
  void TearDown() override {
    FlushDeferredDeletes();
    delete app_;
    app_ = nullptr;
  }

 private:
  QApplication* app_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

bool RunEventsUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    const qint64 left = timeoutMs - clock.elapsed();
    if (left <= 0) return done();
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(std::min<qint64>(left, 20)), &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

void FlushDeferredDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

}  // namespace km7::test
