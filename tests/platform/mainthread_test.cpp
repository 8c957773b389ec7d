#include "kivora/platform/mainthread.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "kivora/platform/thread.h"

namespace kivora {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<QCoreApplication> MakeApp() {
  static int argc = 1;
  static char name[] = "kivora_platform_tests";
  static char* argv[] = {name, nullptr};
  return std::make_unique<QCoreApplication>(argc, argv);
}

// Pumps the GUI thread's events until done() or a generous deadline; the
// deadline only keeps a broken build from hanging the suite.
template <typename Pred>
bool PumpUntil(Pred done, std::chrono::milliseconds limit = 20s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(MainThreadTest, WithoutApplicationEverythingRunsOnTheCallingThread) {
  ASSERT_EQ(QCoreApplication::instance(), nullptr);
  EXPECT_FALSE(MainThread::HasGuiThread());
  EXPECT_TRUE(MainThread::IsMainThread());
  EXPECT_FALSE(MainThread::CheckSynchronize(0));
  std::thread worker([] {
    const TThreadID self = CurrentThreadId();
    TThreadID ranOn = 0;
    EXPECT_TRUE(MainThread::IsMainThread());
    EXPECT_TRUE(MainThread::Synchronize([&] { ranOn = CurrentThreadId(); }));
    EXPECT_EQ(ranOn, self);
    ranOn = 0;
    MainThread::Queue([&] { ranOn = CurrentThreadId(); });
    EXPECT_EQ(ranOn, self);
    EXPECT_THROW(MainThread::Synchronize([] { throw std::runtime_error("inline"); }), std::runtime_error);
  });
  worker.join();
}

class MainThreadAppTest : public ::testing::Test {
protected:
  void SetUp() override { app = MakeApp(); }
  void TearDown() override { app.reset(); }
  std::unique_ptr<QCoreApplication> app;
};

TEST_F(MainThreadAppTest, WorkerCallsRunOnTheGuiThreadAndExceptionsReachTheCaller) {
  EXPECT_TRUE(MainThread::HasGuiThread());
  int calls = 0;  // on the GUI thread itself, calls run at once
  EXPECT_TRUE(MainThread::Synchronize([&] { ++calls; }));
  MainThread::Queue([&] { ++calls; });
  EXPECT_EQ(calls, 2);

  const TThreadID gui = CurrentThreadId();
  std::atomic<TThreadID> ranOn{0};
  std::atomic<bool> finished{false};
  bool result = false, isMain = true;
  std::string caught;
  std::thread worker([&] {
    isMain = MainThread::IsMainThread();
    result = MainThread::Synchronize([&] { ranOn = CurrentThreadId(); });
    try {
      MainThread::Synchronize([] { throw std::invalid_argument("bad frame size"); });
    } catch (const std::invalid_argument& e) {
      caught = e.what();
    }
    finished = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return finished.load(); }));
  worker.join();
  EXPECT_FALSE(isMain);
  EXPECT_TRUE(result);
  EXPECT_EQ(ranOn.load(), gui);
  EXPECT_EQ(caught, "bad frame size");
}

TEST_F(MainThreadAppTest, CheckSynchronizeLetsBlockedWorkersFinish) {
  const TThreadID gui = CurrentThreadId();
  constexpr int kWorkers = 4, kCalls = 25;
  std::atomic<int> finished{0};
  int counter = 0;  // only touched on the GUI thread
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w)
    workers.emplace_back([&] {
      for (int i = 0; i < kCalls; ++i) {
        TThreadID ranOn = 0;
        EXPECT_TRUE(MainThread::Synchronize([&] {
          ranOn = CurrentThreadId();
          ++counter;
        }));
        EXPECT_EQ(ranOn, gui);
      }
      ++finished;
    });
  // No event loop at all: a GUI thread waiting for its workers.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (finished < kWorkers && std::chrono::steady_clock::now() < deadline) MainThread::CheckSynchronize(50);
  for (auto& t : workers) t.join();
  EXPECT_EQ(counter, kWorkers * kCalls);
  EXPECT_FALSE(MainThread::CheckSynchronize(0));  // nothing left over
}

TEST_F(MainThreadAppTest, WakeWaiterEndsAWaitWithNothingToRun) {
  // A waiting loop whose condition another thread has just made true is
  // woken at once instead of sleeping out its slice. Each round waits up to
  // 30 s; without the wake the rounds would take minutes, with it they take
  // as long as the worker's short pauses.
  std::atomic<bool> flag{false}, seen{false};
  for (int round = 0; round < 3; ++round) {
    flag = seen = false;
    std::thread worker([&] {
      std::this_thread::sleep_for(20ms);
      flag = true;
      // Again until seen: a wake that lands just before the wait begins is
      // not counted by that wait.
      while (!seen.load()) {
        MainThread::WakeWaiter();
        std::this_thread::sleep_for(10ms);
      }
    });
    const auto start = std::chrono::steady_clock::now();
    while (!flag.load()) EXPECT_FALSE(MainThread::CheckSynchronize(30000));
    seen = true;
    worker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s) << "round " << round;
  }
}

TEST_F(MainThreadAppTest, QueuedCallsRunLaterInOrderAndSurviveExceptions) {
  const TThreadID gui = CurrentThreadId();
  std::vector<int> order;
  std::atomic<TThreadID> ranOn{0};
  std::thread worker([&] {
    MainThread::Queue([&] { order.push_back(1); });
    MainThread::Queue([] { throw std::runtime_error("ignored"); });
    MainThread::Queue([&] {
      order.push_back(2);
      ranOn = CurrentThreadId();
    });
  });
  worker.join();  // Queue never waits
  EXPECT_TRUE(order.empty());
  ASSERT_TRUE(PumpUntil([&] { return order.size() == 2; }));
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(ranOn.load(), gui);
}

TEST(MainThreadShutdownTest, WorkerBlockedWhileApplicationIsDestroyedGetsFalse) {
  auto app = MakeApp();
  std::atomic<bool> started{false}, ran{false}, finished{false};
  std::atomic<int> result{-1};
  std::thread worker([&] {
    started = true;
    result = MainThread::Synchronize([&] { ran = true; }) ? 1 : 0;
    finished = true;
  });
  while (!started) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(150ms);  // let it settle into its wait
  EXPECT_FALSE(finished.load());
  app.reset();
  worker.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_FALSE(ran.load());

  // With the application gone there is no GUI thread: calls run in place.
  std::thread later([] {
    bool ranHere = false;
    EXPECT_TRUE(MainThread::Synchronize([&] { ranHere = true; }));
    EXPECT_TRUE(ranHere);
  });
  later.join();
}

TEST(MainThreadShutdownTest, AfterAboutToQuitWorkersAreTurnedAwayUntilTheNextApplication) {
  {
    auto app = MakeApp();
    QTimer::singleShot(0, app.get(), &QCoreApplication::quit);
    app->exec();
    std::atomic<bool> ran{false};
    std::thread([&] { EXPECT_FALSE(MainThread::Synchronize([&] { ran = true; })); }).join();
    EXPECT_FALSE(ran.load());
    EXPECT_TRUE(MainThread::Synchronize([&] { ran = true; })) << "the GUI thread still runs its own calls";
    EXPECT_TRUE(ran.load());
  }
  for (int round = 0; round < 2; ++round) {
    auto app = MakeApp();
    std::atomic<bool> finished{false};
    bool ok = false;
    std::thread worker([&] {
      ok = MainThread::Synchronize([] {});
      finished = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return finished.load(); })) << "round " << round;
    worker.join();
    EXPECT_TRUE(ok) << "round " << round;
  }
}

}  // namespace
}  // namespace kivora
