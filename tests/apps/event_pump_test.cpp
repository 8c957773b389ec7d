// The event pump the GUI-thread tests wait with: it must run what workers
// hand to the GUI thread, and give up at its deadline.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>

#include "kivora/platform/mainthread.h"
#include "support/event_pump.h"

using namespace kivora::testing;

TEST(EventPump, OneApplicationForTheWholeProgram) {
  QApplication* app = EnsureApp();
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(EnsureApp(), app);
  EXPECT_EQ(QCoreApplication::instance(), app);
  EXPECT_TRUE(kivora::MainThread::IsMainThread());
}

TEST(EventPump, RunsQtEventsAndWorkerHandOffs) {
  EnsureApp();
  bool timerFired = false;
  QTimer::singleShot(20, [&] { timerFired = true; });
  EXPECT_TRUE(PumpUntil([&] { return timerFired; }, 5000));

  // A worker blocked in Synchronize only finishes when the pump runs its call.
  std::atomic<bool> ranOnGuiThread{false};
  std::atomic<bool> workerDone{false};
  std::thread worker([&] {
    kivora::MainThread::Synchronize([&] { ranOnGuiThread = kivora::MainThread::IsMainThread(); });
    workerDone = true;
  });
  const bool done = PumpUntil([&] { return workerDone.load(); }, 5000);
  worker.join();
  EXPECT_TRUE(done);
  EXPECT_TRUE(ranOnGuiThread);
}

TEST(EventPump, GivesUpAtTheDeadline) {
  EnsureApp();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(PumpUntil([] { return false; }, 150));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(150));
  EXPECT_LT(waited, std::chrono::seconds(5));
  int calls = 0;
  EXPECT_TRUE(PumpUntil([&] { return ++calls >= 1; }, 0)) << "a true condition needs no time";
}
