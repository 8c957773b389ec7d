// Opening, closing and destroying players in every awkward moment: nothing
// may crash, hang or leave a thread behind.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "player_test_util.h"

namespace kivora::testing {
namespace {

using Clock = std::chrono::steady_clock;

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
    FListen = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    listen(FListen, 4);
    FThread = std::thread([this] {
      FClient = accept(FListen, nullptr, nullptr);
      if (FClient < 0) return;
      size_t off = 0;
      while (off < FBytes.size()) {
        const ssize_t n = send(FClient, FBytes.data() + off, FBytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
      }
      FSentAt = Clock::now();
      FSent = true;
    });
  }
  ~StallingServer() {
    shutdown(FListen, SHUT_RDWR);
    close(FListen);
    FThread.join();
    if (FClient >= 0) close(FClient);
  }
  std::string Url() const { return "tcp://127.0.0.1:" + std::to_string(FPort); }
  bool Sent() const { return FSent.load(); }
  Clock::time_point SentAt() const { return FSentAt; }

private:
  std::string FBytes;
  int FListen = -1;
  int FClient = -1;
  int FPort = 0;
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

TEST_F(PlayerLifecycle, DestroyingAPlayingPlayerStopsEverythingAndLeavesNoThread) {
  {
    // Libraries may start helper threads of their own on first use.
    TAVPlayer warm;
    warm.SetDisableAudio(true);
    warm.OpenMovie(VideoClip(10), false, true);
  }
  const int before = ThreadCount();
  for (bool paused : {false, true}) {
    RecordingView view;
    auto p = std::make_unique<TAVPlayer>();
    p->SetDisableAudio(true);
    p->RegisterView(&view);
    p->OpenMovie(VideoClip(), paused, true);
    ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 1; }, 5000));
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

TEST_F(PlayerLifecycle, ClosingWhileASeekIsPendingOrWhilePausedEndsCleanly) {
  for (int i = 0; i < 10; i++) {
    RecordingView view;
    TAVPlayer p;
    p.SetDisableAudio(true);
    p.RegisterView(&view);
    p.OpenMovie(VideoClip(), i % 2 == 1, true);
    PumpUntil([&] { return view.Count() >= 1; }, 5000);
    p.SetPosition(1.0 + i * 0.1);
    ASSERT_TRUE(p.CloseMovie());
    ASSERT_TRUE(PumpUntil([&] { return !p.Playing(); }, 5000));
  }
}

TEST_F(PlayerLifecycle, ClosingDuringABackgroundOpenCancelsItQuietly) {
  StallingServer server("");  // accepts and then says nothing
  TAVPlayer p;
  int errors = 0, starts = 0;
  p.OnConnectionError = [&](TComponent*, const std::string&) { errors++; };
  p.OnStart = [&](TComponent*) { starts++; };
  p.OpenMovie(server.Url(), false, false);
  PumpUntil([] { return false; }, 300);
  const auto t0 = Clock::now();
  ASSERT_TRUE(p.CloseMovie());
  ASSERT_TRUE(PumpUntil([&] { return !p.Playing(); }, 3000));
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 2.0);
  PumpUntil([] { return false; }, 200);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(starts, 0);
}

TEST_F(PlayerLifecycle, DestroyingDuringABackgroundOpenDoesNotHang) {
  StallingServer server("");
  auto p = std::make_unique<TAVPlayer>();
  p->OpenMovie(server.Url(), false, false);
  PumpUntil([] { return false; }, 200);
  const auto t0 = Clock::now();
  p.reset();
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 2.0);
}

TEST_F(PlayerLifecycle, AStalledReadIsInterruptedAboutTimeoutSecondsAfterItBegan) {
  MediaSpec s;
  s.container = "mpegts";
  s.audio_codec = AV_CODEC_ID_NONE;
  s.frames = 100;
  const std::string& file = Media::Get().File("net.ts", s);
  std::ifstream in(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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
    if (getenv("KIVORA_TEST_VERBOSE")) fprintf(stderr, "log %d: %s\n", level, text.c_str());
    if (level <= AV_LOG_ERROR && text.rfind("read failed", 0) == 0 && !failed) {
      failedAt = Clock::now();
      failed = true;
    }
  };
  p.OpenMovie(server.Url(), false, true);
  ASSERT_TRUE(PumpUntil([&] { return failed.load(); }, 20000)) << "shown " << view.Count() << " last " << view.Last();
  ASSERT_TRUE(server.Sent());
  const double waited = std::chrono::duration<double>(failedAt - server.SentAt()).count();
  // The last read began no earlier than the last byte and no later than a
  // moment after it.
  EXPECT_GT(waited, 1.5);
  EXPECT_LT(waited, 4.0);
  EXPECT_GT(view.Count(), 0);
  EXPECT_TRUE(p.Playing()) << "a read error ends reading, not the movie";
  ASSERT_TRUE(p.CloseMovie());
  ASSERT_TRUE(PumpUntil([&] { return !p.Playing(); }, 3000));
}

}  // namespace
}  // namespace kivora::testing
