// Opening, closing and destroying players in every awkward moment: nothing
// may crash, hang or leave a thread behind.
#include <dirent.h>
#include <gtest/gtest.h>

#include <thread>

#include "player_test_util.h"

namespace kivora::testing {
namespace {

int ThreadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') n++;
    closedir(d);
  }
  return n;
}

// A TCP server on 127.0.0.1 that accepts one client, sends `bytes`, then
// sends nothing more until it is destroyed.
class StallingServer {
public:
  explicit StallingServer(std::string bytes) : FBytes(std::move(bytes)) {
    FThread = std::thread([this] {
      FClient = FListener.Accept();
      if (FClient < 0) return;
      SendAll(FClient, FBytes);
      FSentAt = Clock::now();
      FSent = true;
    });
  }
  ~StallingServer() {
    FListener.Stop();
    FThread.join();
    if (FClient >= 0) close(FClient);
  }
  std::string Url() const { return "tcp://127.0.0.1:" + std::to_string(FListener.Port()); }
  bool Sent() const { return FSent.load(); }
  Clock::time_point SentAt() const { return FSentAt; }

private:
  std::string FBytes;
  LoopbackListener FListener;
  int FClient = -1;
  std::thread FThread;
  std::atomic<bool> FSent{false};
  Clock::time_point FSentAt;
};

class PlayerLifecycle : public ::testing::Test {
protected:
  void SetUp() override {
    EnsureApp();
    VideoClip();  // made before threads are counted
    VideoClip(10);
  }
};

TEST_F(PlayerLifecycle, DestroyingOrClosingWhilePlayingPausedOrSeekingLeavesNoThread) {
  {
    // Libraries may start helper threads of their own on first use.
    TAVPlayer warm;
    warm.SetDisableAudio(true);
    warm.OpenMovie(VideoClip(10), false, true);
  }
  const int before = ThreadCount();
  // Destroyed while playing and while paused, then the same with a seek
  // pending, then closed with a seek pending.
  for (int i = 0; i < 8; i++) {
    RecordingView view;
    auto p = std::make_unique<TAVPlayer>();
    p->SetDisableAudio(true);
    p->RegisterView(&view);
    p->OpenMovie(VideoClip(), i % 2 == 1, true);
    ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 1; }, 5000));
    if (i >= 2) p->SetPosition(1.0 + i * 0.1);
    if (i >= 4) CloseAndWait(*p, 5000);
    p.reset();
  }
  PumpUntil([&] { return ThreadCount() <= before; }, 2000);
  EXPECT_LE(ThreadCount(), before);
}

TEST_F(PlayerLifecycle, OpenWhilePlayingClosesTheFirstMovie) {
  RecordingView view;
  TAVPlayer p;
  p.SetDisableAudio(true);
  p.RegisterView(&view);
  int starts = 0;
  p.OnStart = [&](TComponent*) { starts++; };
  p.OpenMovie(VideoClip(), false, true);
  ASSERT_TRUE(PumpUntil([&] { return view.Last() >= 5; }, 5000));
  p.OpenMovie(VideoClip(10), false, true);
  EXPECT_EQ(starts, 2);
  ASSERT_TRUE(PumpUntil([&] { return view.Last() == 9; }, 5000));
  EXPECT_EQ(p.Duration(), 10 / 25.0);
}

TEST_F(PlayerLifecycle, ManyOpenCloseCyclesEndCleanly) {
  const int before = ThreadCount();
  TAVPlayer p;
  p.SetDisableAudio(true);
  int starts = 0;
  p.OnStart = [&](TComponent*) { starts++; };
  for (int i = 0; i < 200; i++) {
    // Alternate blocking and background opens, and close at once or later.
    p.OpenMovie(VideoClip(10), false, i % 2 == 0);
    if (i % 3 == 0) PumpUntil([&] { return p.Playing(); }, 2000);
    ASSERT_TRUE(p.CloseMovie());
    ASSERT_TRUE(PumpUntil([&] { return !p.Playing(); }, 5000)) << "cycle " << i;
  }
  EXPECT_GT(starts, 60);
  PumpUntil([&] { return ThreadCount() <= before; }, 2000);
  EXPECT_LE(ThreadCount(), before);
}

TEST_F(PlayerLifecycle, ClosingOrDestroyingDuringABackgroundOpenEndsItQuietlyAndAtOnce) {
  StallingServer server("");  // accepts and then says nothing
  TAVPlayer p;
  int errors = 0, starts = 0;
  p.OnConnectionError = [&](TComponent*, const std::string&) { errors++; };
  p.OnStart = [&](TComponent*) { starts++; };
  p.OpenMovie(server.Url(), false, false);
  Wait(300);
  // The open is interrupted inside FFmpeg: closing ends long before any
  // network timeout would (the wait's cap).
  CloseAndWait(p, 5000);
  Wait(200);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(starts, 0);

  StallingServer other("");
  auto doomed = std::make_unique<TAVPlayer>();
  doomed->OpenMovie(other.Url(), false, false);
  Wait(200);
  doomed.reset();  // returns once the interrupted open has ended
}

TEST_F(PlayerLifecycle, AStalledReadIsInterruptedAboutTimeoutSecondsAfterItBegan) {
  const std::string bytes = ReadAll(VideoClip(100, "mpegts"));
  StallingServer server(bytes.substr(0, bytes.size() / 2));
  RecordingView view;
  TAVPlayer p;
  p.RegisterView(&view);
  p.SetTimeout(2);
  p.SetInputFormat("mpegts");
  p.SetOptions(TStringList{"probesize=32768", "analyzeduration=200000"});
  std::atomic<bool> failed{false};
  Clock::time_point failedAt;
  p.OnLog = [&](TComponent*, int level, const std::string& text) {
    if (level <= AV_LOG_ERROR && text.rfind("read failed", 0) == 0 && !failed) {
      failedAt = Clock::now();
      failed = true;
    }
  };
  p.OpenMovie(server.Url(), false, true);
  // Well before the default Timeout (15 s) would end the read: only the 2 s
  // asked for can.
  ASSERT_TRUE(PumpUntil([&] { return failed.load(); }, 9000)) << "shown " << view.Count() << " last " << view.Last();
  ASSERT_TRUE(server.Sent());
  // The last read began no earlier than the last byte and no later than a
  // moment after it.
  const double waited = std::chrono::duration<double>(failedAt - server.SentAt()).count();
  // Not before Timeout; how much later depends on the machine's load, but
  // far from the default's 15 s.
  EXPECT_GT(waited, 1.5);
  EXPECT_LT(waited, 8.0);
  EXPECT_GT(view.Count(), 0);
  EXPECT_TRUE(p.Playing()) << "a read error ends reading, not the movie";
  CloseAndWait(p, 3000);
}

}  // namespace
}  // namespace kivora::testing
