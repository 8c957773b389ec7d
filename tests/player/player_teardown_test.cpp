// Closing without the GUI loop, views and handlers that call back into the
// player, a read thread that sleeps while paused, inputs whose times do not
// start at 0, and the memory kept over many open/close cycles.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <thread>

#include "player_test_util.h"

namespace kivora::testing {
namespace {

using namespace std::chrono_literals;

// Waits without serving the GUI thread's events.
bool SleepUntil(const std::function<bool()>& pred, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// Runs fn on a worker thread and waits for it up to `ms` while the GUI
// thread serves nothing (as when it is busy or itself waiting). Afterwards
// the GUI events are served, so a worker stuck on them still ends.
bool FinishesWithoutTheGuiLoop(const std::function<void()>& fn, int ms) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::thread worker([&] {
    fn();
    std::lock_guard<std::mutex> g(m);
    done = true;
    cv.notify_all();
  });
  bool inTime;
  {
    std::unique_lock<std::mutex> g(m);
    inTime = cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return done; });
  }
  PumpUntil(
      [&] {
        std::lock_guard<std::mutex> g(m);
        return done;
      },
      60000);
  worker.join();
  return inTime;
}

// A close asked for on a worker thread ends while the GUI thread runs no
// events: with pictures waiting to be shown and while the open still waits
// for the GUI thread (its views' size).
TEST(PlayerTeardown, ACloseFromAWorkerEndsWithoutTheGuiLoop) {
  EnsureApp();
  for (bool opening : {false, true}) {
    RecordingView view;
    TAVPlayer p;
    p.SetDisableAudio(true);
    p.SetFrameDrop(false);
    p.RegisterView(&view);
    if (opening) {
      p.OpenMovie(VideoClip(), false, false);
      std::this_thread::sleep_for(300ms);  // the open reaches its hand-offs to the GUI thread
    } else {
      p.OpenMovie(VideoClip(), false, true);
      ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 3; }, 10000));
    }
    const bool closed = FinishesWithoutTheGuiLoop(
        [&] {
          p.CloseMovie();
          SleepUntil([&] { return !p.Playing(); }, 8000);
        },
        10000);
    EXPECT_TRUE(closed) << (opening ? "during the open" : "while playing");
    EXPECT_FALSE(p.Playing());
    // The player is usable afterwards.
    const int shown = view.Count();
    p.OpenMovie(VideoClip(10), false, true);
    EXPECT_TRUE(PumpUntil([&] { return view.Count() > shown && view.Last() == 9; }, 10000));
    CloseAndWait(p);
  }
}

// A close that cannot start its thread (the process is at its limit) still
// ends closed, and the player opens the next movie.
void RunCloseWithoutThreads() {
  alarm(30);
  EnsureApp();
  RecordingView view;
  TAVPlayer p;
  p.SetDisableAudio(true);
  p.RegisterView(&view);
  p.OpenMovie(VideoClip(), false, true);
  bool ok = PumpUntil([&] { return view.Count() >= 3; }, 10000);
  // No room for another thread stack: the close thread cannot start.
  rlimit old{};
  getrlimit(RLIMIT_AS, &old);
  long pages = 0;
  {
    std::ifstream statm("/proc/self/statm");
    statm >> pages;
  }
  rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (4u << 20);
  setrlimit(RLIMIT_AS, &tight);
  bool threw = false;
  try {
    p.CloseMovie();
  } catch (...) {
    threw = true;
  }
  setrlimit(RLIMIT_AS, &old);
  ok = ok && !threw && PumpUntil([&] { return !p.Playing(); }, 10000);
  if (!ok) std::fprintf(stderr, "threw %d playing %d\n", threw, p.Playing());
  p.OpenMovie(VideoClip(10), false, true);
  ok = ok && PumpUntil([&] { return view.Last() == 9; }, 10000);
  CloseAndWait(p);
  std::fflush(stderr);
  std::_Exit(ok && !::testing::Test::HasFailure() ? 0 : 1);
}

TEST(PlayerTeardown, ACloseThatCannotStartItsThreadStillEndsClosed) {
#if defined(__SANITIZE_ADDRESS__)
  // The address sanitizer maps memory for every allocation: with the address
  // space capped it ends the process instead of the thread start failing.
  GTEST_SKIP() << "needs an allocator that works with a capped address space";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(RunCloseWithoutThreads(), ::testing::ExitedWithCode(0), "");
}

// Views and OnVideoDisplay run with no lock of the player held: on the first
// picture each hands work to another thread that calls into the player
// (views registered and unregistered, properties and stream lists read) and
// waits for it. In the direct mode (no Qt application) they run on the
// player's refresh thread.
void RunCallBackCase(bool qt) {
  alarm(40);
  if (qt) EnsureApp();
  auto player = std::make_unique<TAVPlayer>();
  TAVPlayer& p = *player;
  p.SetDisableAudio(true);
  p.SetFrameDrop(false);
  RecordingView other, third;
  // Work another thread does for a view or a handler; true when it ended in
  // time (a lock held by the caller would keep it waiting).
  auto callBack = [&p, &other, &third, qt] {
    std::thread worker;
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    worker = std::thread([&p, &other, &third, qt, done] {
      p.UnRegisterView(&other);
      // Registering hands the size to the GUI thread, which is the caller
      // in the Qt mode: only in the direct mode.
      if (!qt) {
        p.RegisterView(&third);
        p.UnRegisterView(&third);
      }
      volatile size_t n = p.VideoStreamProperties().size() + p.Metadatas().Count();
      n = n + static_cast<size_t>(p.GetVideoWidth() + p.VideoStreamCount() + p.Sar().num);
      (void)n;
      (void)p.LastErrorMessage();
      (void)p.VideoFilters();
      done->set_value();
    });
    const bool inTime = finished.wait_for(5s) == std::future_status::ready;
    worker.join();
    return inTime;
  };
  struct CallingView : RecordingView {
    std::function<bool()> work;
    std::atomic<int> result{0};  // 0: not yet, 1: in time, 2: too late
    void DoVideoDisplay(AVFrame* f) override {
      RecordingView::DoVideoDisplay(f);
      int expected = 0;
      if (result.compare_exchange_strong(expected, -1)) result = work() ? 1 : 2;
    }
  } view;
  view.work = callBack;
  std::atomic<int> handler{0};
  p.OnVideoDisplay = [&](TComponent*, AVFrame*) {
    int expected = 0;
    if (handler.compare_exchange_strong(expected, -1)) handler = callBack() ? 1 : 2;
  };
  p.RegisterView(&view);
  p.RegisterView(&other);
  p.OpenMovie(VideoClip(), false, true);
  auto wait = [qt](const std::function<bool()>& pred, int ms) { return qt ? PumpUntil(pred, ms) : SleepUntil(pred, ms); };
  bool ok = wait([&] { return view.result > 0 && handler > 0; }, 20000);
  ok = ok && view.result == 1 && handler == 1;
  // Playback went on.
  const int shown = view.Count();
  ok = ok && wait([&] { return view.Count() > shown + 3; }, 10000);
  if (!ok)
    std::fprintf(stderr, "view %d handler %d shown %d\n", view.result.load(), handler.load(), view.Count());
  p.CloseMovie();
  wait([&] { return !p.Playing(); }, 10000);
  player.reset();
  std::fflush(stderr);
  std::_Exit(ok ? 0 : 1);
}

TEST(PlayerTeardown, ViewsAndHandlersThatCallBackIntoThePlayerFromAnotherThreadDoNotDeadlock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (bool qt : {true, false})
    EXPECT_EXIT(RunCallBackCase(qt), ::testing::ExitedWithCode(0), "") << (qt ? "Qt events" : "direct");
}

// Without a Qt application (a console program) one thread writes the views
// while a movie plays: its pictures, the sizes and clears of a picture size
// change midway, and the size of a cover image set meanwhile by the
// application's thread.
void RunOneWriterCase() {
  alarm(30);
  MediaSpec s;
  s.container = "matroska";
  s.audio_codec = AV_CODEC_ID_NONE;
  s.frames = 40;
  s.gop = 10;
  s.resize_at_frame = 20;
  s.width2 = 160;
  s.height2 = 128;
  const std::string clip = Media::Get().File("one_writer.mkv", s);
  struct ThreadsView : IAVView {
    std::mutex m;
    std::set<std::thread::id> threads;
    bool recording = true;
    int pictures = 0, sizes = 0;
    void Note() {
      if (recording) threads.insert(std::this_thread::get_id());
    }
    void DoVideoDisplay(AVFrame*) override {
      std::lock_guard<std::mutex> g(m);
      Note();
      pictures++;
    }
    void SetViewSize(int, int) override {
      std::lock_guard<std::mutex> g(m);
      Note();
      sizes++;
    }
    void Clear(uint32_t) override {
      std::lock_guard<std::mutex> g(m);
      Note();
    }
    int Pictures() {
      std::lock_guard<std::mutex> g(m);
      return pictures;
    }
  } view;
  TAVPlayer p;
  p.SetDisableAudio(true);
  p.SetFrameDrop(false);
  p.RegisterView(&view);
  p.OpenMovie(clip, false, true);
  bool ok = SleepUntil([&] { return view.Pictures() >= 10; }, 10000);
  TBitmap cover(32, 32);
  p.SetCoverImage(cover);
  ok = ok && SleepUntil([&] { return view.Pictures() >= 35; }, 10000);
  size_t writers;
  int sizes;
  {
    std::lock_guard<std::mutex> g(view.m);
    view.recording = false;
    writers = view.threads.size();
    sizes = view.sizes;
  }
  p.CloseMovie();
  SleepUntil([&] { return !p.Playing(); }, 10000);
  // The open's size, the size change's and the cover's.
  ok = ok && writers == 1 && sizes >= 3;
  if (!ok) std::fprintf(stderr, "pictures %d, sizes %d, writing threads %zu\n", view.Pictures(), sizes, writers);
  std::fflush(stderr);
  std::_Exit(ok ? 0 : 1);
}

TEST(PlayerTeardown, WithoutAQtApplicationOneThreadWritesTheViews) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(RunOneWriterCase(), ::testing::ExitedWithCode(0), "");
}

// Voluntary context switches of this process's threads named `name`, and
// how many there are.
std::pair<long, int> WakeUps(const std::string& name) {
  long total = 0;
  int threads = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string dir = std::string("/proc/self/task/") + e->d_name;
      std::string comm;
      std::getline(std::ifstream(dir + "/comm"), comm);
      if (comm != name) continue;
      threads++;
      std::ifstream status(dir + "/status");
      for (std::string line; std::getline(status, line);)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::stol(line.substr(line.find(':') + 1));
    }
    closedir(d);
  }
  return {total, threads};
}

// Paused with the queues full, the read thread sleeps until something asks
// for it, instead of looking again every few milliseconds; playing again,
// the decoders taking packets wake it.
TEST(PlayerTeardown, TheReadThreadSleepsWhilePausedAndReadsOnWhenPlayed) {
  EnsureApp();
  MediaSpec s;
  s.audio_codec = AV_CODEC_ID_NONE;
  s.frames = 250;  // more packets than the queues want: reading stops before the end
  s.gop = 10;
  const std::string clip = Media::Get().File("read_sleep.mp4", s);
  RecordingView view;
  TAVPlayer p;
  p.SetDisableAudio(true);
  p.RegisterView(&view);
  p.OpenMovie(clip, true, true);
  ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 1; }, 10000));
  Wait(500);  // the queues fill up
  const auto before = WakeUps("kivora-read");
  ASSERT_EQ(before.second, 1);
  Wait(1000);
  const auto after = WakeUps("kivora-read");
  EXPECT_LT(after.first - before.first, 10) << "wake-ups of the read thread in a second while paused";
  p.Play();
  EXPECT_TRUE(PumpUntil([&] { return view.Last() >= 100; }, 15000)) << "shown up to " << view.Last();
  CloseAndWait(p);
}

// An MPEG-TS file whose times begin at 10 s: positions, Duration, seeks and
// StartTime all count from the file's start.
TEST(PlayerTeardown, PositionsOfAnInputStartingLaterCountFromItsStart) {
  EnsureApp();
  MediaSpec s;
  s.container = "mpegts";
  s.audio_codec = AV_CODEC_ID_NONE;
  s.frames = 75;
  s.gop = 5;  // a key frame at 0.2 s
  s.start_seconds = 10.0;
  const std::string clip = Media::Get().File("late_start.ts", s);
  RecordingView view;
  TAVPlayer p;
  p.SetDisableAudio(true);
  p.SetFrameDrop(false);
  p.RegisterView(&view);
  p.SetStartTime(200000);  // 0.2 s: picture 5
  p.OpenMovie(clip, true, true);
  ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 1 && !std::isnan(p.MasterClock()); }, 10000));
  EXPECT_NEAR(p.Duration(), 3.0, 0.1);
  // MPEG-TS seeks by decoding times: the first picture is the key frame at
  // 0.2 s or the next one; the position reads that picture's time.
  EXPECT_GE(view.Last(), 5);
  EXPECT_LE(view.Last(), 10);
  EXPECT_NEAR(p.GetPosition(), view.Last() / 25.0, 0.05) << "just after the start, picture " << view.Last();
  // A seek to 2 s lands on a key frame there or a little after (MPEG-TS
  // seeks by decoding times); the position reads the picture shown.
  p.SetPosition(2.0);
  ASSERT_TRUE(PumpUntil([&] { return view.Last() >= 50 && view.Last() <= 55; }, 10000)) << "shown " << view.Last();
  Wait(200);
  EXPECT_NEAR(p.GetPosition(), view.Last() / 25.0, 0.05) << "shown " << view.Last();
  CloseAndWait(p);
}

long ResidentBytes() {
  long size = 0, resident = 0;
  std::ifstream statm("/proc/self/statm");
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// Open/close cycles of a 1080p clip: after the first cycle, the memory the
// process holds stays where it was.
TEST(PlayerTeardown, OpenCloseCyclesOfALargePictureFileKeepResidentMemoryFlat) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' allocators hold freed memory back on purpose (ASan's
  // quarantine): resident memory says nothing about the player there.
  GTEST_SKIP() << "resident memory is measured with the real allocator only";
#endif
  EnsureApp();
  MediaSpec s;
  s.audio_codec = AV_CODEC_ID_NONE;
  s.width = 1920;
  s.height = 1080;
  s.frames = 8;
  s.gop = 4;
  const std::string clip = Media::Get().File("cycles1080.mp4", s);
  TAVPlayer p;
  p.SetDisableAudio(true);
  p.SetFrameDrop(false);
  RecordingView view;
  p.RegisterView(&view);
  // What the process holds with the libraries and the decoder loaded, after
  // a small movie was opened and closed.
  p.OpenMovie(VideoClip(10), false, true);
  ASSERT_TRUE(PumpUntil([&] { return view.Last() == 9; }, 10000));
  CloseAndWait(p);
  const long base = ResidentBytes();
  std::vector<long> resident;
  for (int i = 0; i < 30; i++) {
    const int shown = view.Count();
    p.OpenMovie(clip, false, true);
    ASSERT_TRUE(PumpUntil([&] { return view.Count() >= shown + 4; }, 10000)) << "cycle " << i;
    CloseAndWait(p);
    resident.push_back(ResidentBytes());
    if (std::getenv("KIVORA_TEST_VERBOSE"))
      std::fprintf(stderr, "cycle %d: %ld KB (base %ld KB)\n", i, resident.back() >> 10, base >> 10);
  }
  // Closed, a 1080p movie leaves nothing of its size behind (one picture is
  // 3 MB in YUV, 8 MB in RGBA); thread stacks kept for reuse and the heap's
  // own slack make a few MB of noise from cycle to cycle, but no trend.
  for (size_t i = 0; i < resident.size(); i++)
    EXPECT_LT(resident[i] - base, 12l << 20) << "cycle " << i << " holds " << ((resident[i] - base) >> 20) << " MB";
  auto mean = [&](size_t from) {
    long sum = 0;
    for (size_t i = from; i < from + 5; i++) sum += resident[i];
    return sum / 5;
  };
  EXPECT_LT(mean(resident.size() - 5) - mean(0), 4l << 20)
      << "first cycles " << (mean(0) >> 20) << " MB, last " << (mean(resident.size() - 5) >> 20) << " MB";
}

}  // namespace
}  // namespace kivora::testing
