#pragma once
// Widget tests need one QApplication for the whole program. Add
// QtTestEnvironment.cpp to a test program's SOURCES: it creates the
// application before the first test and deletes it after the last
// (km7_add_test links gtest_main, so there is no main() of our own).
#include <QEventLoop>
#include <functional>

namespace km7::test {

// Runs the event loop until done() is true or timeoutMs passed; returns done().
bool RunEventsUntil(const std::function<bool()>& done, int timeoutMs);

// Deletes the windows whose deletion was deferred by their own handlers.
void FlushDeferredDeletes();

}  // namespace km7::test
