#include "kivora/platform/semaphore.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <latch>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "kivora/platform/thread.h"

namespace kivora {
namespace {

TEST(SemaphoreTest, CountsAndCapsAtMaximum) {
  TSemaphore s(1, 3);
  EXPECT_TRUE(s.WaitFor(0));
  EXPECT_FALSE(s.WaitFor(0));
  EXPECT_FALSE(s.WaitFor(20));
  EXPECT_EQ(s.Release(2), 0);
  EXPECT_EQ(s.Release(5), 2);
  EXPECT_EQ(s.Count(), 3);
  EXPECT_EQ(s.Release(0x7FFFFFFF), 3);  // no overflow past the cap
  EXPECT_EQ(s.Count(), 3);
  TSemaphore clamped(10, 2);
  EXPECT_EQ(clamped.Count(), 2);
}

TEST(SemaphoreTest, ReleaseWakesWaitersExactlyAsOftenAsCounted) {
  TSemaphore s(0);
  std::atomic<int> passed{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      if (s.WaitFor(-1)) ++passed;
    });
  s.Release(3);
  while (passed < 3) Sleep(1);
  Sleep(30);
  EXPECT_EQ(passed.load(), 3);  // the fourth is still waiting
  s.Release();
  for (auto& t : threads) t.join();
  EXPECT_EQ(passed.load(), 4);
  EXPECT_EQ(s.Count(), 0);
}

TEST(ThreadTest, ThreadIdsAreDistinctAndStable) {
  const TThreadID main = CurrentThreadId();
  EXPECT_EQ(CurrentThreadId(), main);
  EXPECT_EQ(main, static_cast<TThreadID>(::getpid()));  // the main thread's kernel id is the pid
  std::set<TThreadID> ids{main};
  std::mutex m;
  std::latch allAlive(4);  // all alive at once, so no id can be reused
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      {
        std::lock_guard lock(m);
        ids.insert(CurrentThreadId());
      }
      allAlive.arrive_and_wait();
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(ids.size(), 5u);
}

}  // namespace
}  // namespace kivora
