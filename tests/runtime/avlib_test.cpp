#include "kivora/runtime/avlib.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "kivora/runtime/ffmpeg.h"

namespace kivora {
namespace {

struct Line {
  int level;
  std::string text;
};

class RecordingLogger : public IAVLogger {
public:
  explicit RecordingLogger(int level = AV_LOG_DEBUG) : FLevel(level) {}
  void DoLog(int level, const std::string& message) override {
    std::lock_guard<std::mutex> lock(FLock);
    FLines.push_back({level, message});
  }
  int GetLogLevel() override { return FLevel; }
  std::vector<Line> Lines() {
    std::lock_guard<std::mutex> lock(FLock);
    return FLines;
  }

private:
  int FLevel;
  std::mutex FLock;
  std::vector<Line> FLines;
};

class ThrowingLogger : public IAVLogger {
public:
  void DoLog(int, const std::string&) override { throw std::runtime_error("boom"); }
  int GetLogLevel() override { return AV_LOG_DEBUG; }
};

// Runs fn on a fresh thread and waits for it.
template <typename Fn>
void OnWorker(Fn&& fn) {
  std::thread t(std::forward<Fn>(fn));
  t.join();
}

// A replacement callback for the start-up tests: records lines containing "kvmark".
std::mutex GSeenLock;
std::vector<std::string> GSeen;
void RecordingCallback(void*, int, const char* fmt, va_list) {
  std::lock_guard<std::mutex> lock(GSeenLock);
  if (fmt && std::string(fmt).find("kvmark") != std::string::npos) GSeen.push_back(fmt);
}
size_t SeenCount() {
  std::lock_guard<std::mutex> lock(GSeenLock);
  return GSeen.size();
}

class LogRouting : public ::testing::Test {
protected:
  void SetUp() override {
    UnloadLibs();
    LoadLibs();
  }
};

TEST(StartUp, LoadIsIdempotentAndUnloadWithoutLoadTouchesNothing) {
  UnloadLibs();
  ASSERT_FALSE(AVLoaded());
  av_log_set_callback(RecordingCallback);
  UnloadLibs();  // must not restore FFmpeg's default callback
  const size_t before = SeenCount();
  av_log(nullptr, AV_LOG_ERROR, "kvmark unload\n");
  EXPECT_EQ(SeenCount(), before + 1);

  LoadLibs();
  EXPECT_TRUE(AVLoaded());
  av_log_set_callback(RecordingCallback);
  LoadLibs();  // must not install its callback again
  av_log(nullptr, AV_LOG_ERROR, "kvmark twice\n");
  EXPECT_EQ(SeenCount(), before + 2);
  UnloadLibs();
  EXPECT_FALSE(AVLoaded());
  LoadLibs();  // loads again after an unload, with its own callback
  EXPECT_TRUE(AVLoaded());
  av_log(nullptr, AV_LOG_ERROR, "kvmark reloaded\n");
  EXPECT_EQ(SeenCount(), before + 2);
}

TEST_F(LogRouting, RegisteredWorkerGetsFormattedLinesWithTheContextAtLineStart) {
  RecordingLogger logger;
  AVCodecContextPtr ctx(avcodec_alloc_context3(nullptr));
  ASSERT_TRUE(ctx);
  OnWorker([&] {
    TThreadLoggerGuard guard(&logger);
    av_log(nullptr, AV_LOG_ERROR, "x=%d %s\n", 42, "units");
    // A line in two pieces arrives as two deliveries without newlines.
    av_log(nullptr, AV_LOG_WARNING, "first ");
    av_log(nullptr, AV_LOG_WARNING, "second\n");
    av_log(ctx.get(), AV_LOG_ERROR, "a ");
    av_log(ctx.get(), AV_LOG_ERROR, "b\n");
  });
  const auto lines = logger.Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].text, "x=42 units");
  EXPECT_EQ(lines[0].level, AV_LOG_ERROR);
  EXPECT_EQ(lines[1].text, "first ");
  EXPECT_EQ(lines[2].text, "second");
  EXPECT_EQ(lines[2].level, AV_LOG_WARNING);
  EXPECT_NE(lines[3].text.find(" @ 0x"), std::string::npos) << lines[3].text;
  EXPECT_EQ(lines[3].text.back(), ' ');
  EXPECT_EQ(lines[4].text, "b") << "no prefix in the middle of a line";
}

TEST_F(LogRouting, LevelFilter) {
  RecordingLogger errorsOnly(GetLogLevel(llError));
  RecordingLogger warnings(GetLogLevel(llWarning));
  OnWorker([&] {
    TThreadLoggerGuard guard(&errorsOnly);
    av_log(nullptr, AV_LOG_WARNING, "warn\n");
    av_log(nullptr, AV_LOG_ERROR, "err\n");
  });
  OnWorker([&] {
    TThreadLoggerGuard guard(&warnings);
    av_log(nullptr, AV_LOG_WARNING, "warn\n");
    av_log(nullptr, AV_LOG_INFO, "info\n");
  });
  ASSERT_EQ(errorsOnly.Lines().size(), 1u);
  EXPECT_EQ(errorsOnly.Lines()[0].text, "err");
  ASSERT_EQ(warnings.Lines().size(), 1u);
  EXPECT_EQ(warnings.Lines()[0].text, "warn");
}

TEST_F(LogRouting, LinesGoOnlyToTheLoggingThreadsLogger) {
  RecordingLogger logger;
  std::atomic<bool> registered{false}, logged{false};
  std::thread owner([&] {
    TThreadLoggerGuard guard(&logger);
    registered = true;
    while (!logged) std::this_thread::yield();
    av_log(nullptr, AV_LOG_ERROR, "mine\n");
  });
  while (!registered) std::this_thread::yield();
  OnWorker([] { av_log(nullptr, AV_LOG_ERROR, "unregistered\n"); });
  logged = true;
  owner.join();
  const auto lines = logger.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "mine");
}

TEST_F(LogRouting, NestedGuardsBadLoggersAndLongLines) {
  RecordingLogger outer, inner;
  ThrowingLogger thrower;
  const std::string longText(5000, 'z');
  OnWorker([&] {
    const TThreadID id = CurrentThreadId();
    ASSERT_TRUE(ThreadMap().Add(id, nullptr));
    av_log(nullptr, AV_LOG_ERROR, "null logger\n");
    ThreadMap().Remove(id);
    TThreadLoggerGuard a(&outer);
    {
      TThreadLoggerGuard b(&inner);
      av_log(nullptr, AV_LOG_ERROR, "to inner\n");
      TThreadLoggerGuard c(&thrower);
      av_log(nullptr, AV_LOG_ERROR, "thrown away\n");
    }
    av_log(nullptr, AV_LOG_ERROR, "%s\n", longText.c_str());
  });
  ASSERT_EQ(inner.Lines().size(), 1u);
  ASSERT_EQ(outer.Lines().size(), 1u);
  EXPECT_EQ(outer.Lines()[0].text, std::string(2047, 'z'));
  EXPECT_EQ(ThreadMap().Count(), 0);

  TThreadMap map;  // a plain map: Add never replaces, RemoveLogger drops all its entries
  EXPECT_TRUE(map.Add(1, &outer));
  EXPECT_FALSE(map.Add(1, &inner));
  map.AddOrSet(2, &outer);
  map.AddOrSet(3, &inner);
  map.RemoveLogger(&outer);
  EXPECT_EQ(map.Count(), 1);
  IAVLogger* found = nullptr;
  EXPECT_TRUE(map.WithLogger(3, [&](IAVLogger* l) { found = l; }));
  EXPECT_EQ(found, &inner);
}

// Several threads register, log and unregister while another churns the
// registry; each logger must receive exactly its own thread's lines.
TEST_F(LogRouting, ConcurrentRegistrationAndLogging) {
  constexpr int kThreads = 4;
  std::vector<RecordingLogger> loggers(kThreads);
  std::atomic<bool> stop{false};
  std::vector<int> sent(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      while (!stop) {
        TThreadLoggerGuard guard(&loggers[i]);
        for (int k = 0; k < 20; ++k) av_log(nullptr, AV_LOG_ERROR, "t%d\n", i);
        sent[i] += 20;
      }
      av_log(nullptr, AV_LOG_ERROR, "t%d after\n", i);  // unregistered again
    });
  }
  std::thread churn([&] {
    RecordingLogger other;
    TThreadID fake = 1;
    while (!stop) {
      ThreadMap().Add(fake, &other);
      ThreadMap().ContainsKey(fake);
      ThreadMap().Remove(fake);
      fake = fake % 1000 + 1;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  stop = true;
  for (auto& t : threads) t.join();
  churn.join();
  for (int i = 0; i < kThreads; ++i) {
    const auto lines = loggers[i].Lines();
    EXPECT_GT(sent[i], 0);
    EXPECT_EQ(static_cast<int>(lines.size()), sent[i]) << i;
    for (const auto& l : lines) ASSERT_EQ(l.text, "t" + std::to_string(i));
  }
  EXPECT_EQ(ThreadMap().Count(), 0);
}

}  // namespace
}  // namespace kivora
