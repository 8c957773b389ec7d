// Faults found in review: closing while others read or open, handlers that
// hand work to the GUI thread, number rules, stepping, failing streams, views
// that change the view list, destroying the player from its own display
// call, the audio clock's latency and the end of input.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "kivora/platform/exception.h"
#include "kivora/runtime/avlib.h"
#include "kivora/player/packet_queue.h"
#include "kivora/player/frame_pool.h"
#include "kivora/player/decoder.h"
#include "kivora/player/player_impl.h"
#include "player_test_util.h"

namespace kivora {
// Reads the player's packet queues (for the end-of-input test).
class TAVPlayerFaultsAccess {
public:
  static int64_t VideoPackets(TAVPlayer& p) { return p.d->FVideoQ->TotalPut(); }
  static void ClearError(TAVPlayer& p) { p.d->SetLastError(""); }
  static void ForgetMetadatas(TAVPlayer& p) {
    std::lock_guard<std::mutex> g(p.d->FStreamLock);
    p.d->FMetadatas.Clear();
  }
};
}  // namespace kivora

namespace kivora::testing {
namespace {

// Ends the program when a test is still running after `seconds`: a deadlock
// fails the run instead of hanging it.
class Watchdog {
public:
  Watchdog(int seconds, std::string what) : FWhat(std::move(what)) {
    FThread = std::thread([this, seconds] {
      std::unique_lock<std::mutex> g(FLock);
      if (!FCond.wait_for(g, std::chrono::seconds(seconds), [this] { return FDone; })) {
        std::fprintf(stderr, "FAILED: %s did not finish (deadlock)\n", FWhat.c_str());
        std::fflush(stderr);
        std::_Exit(1);
      }
    });
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> g(FLock);
      FDone = true;
    }
    FCond.notify_all();
    FThread.join();
  }

private:
  std::string FWhat;
  std::mutex FLock;
  std::condition_variable FCond;
  bool FDone = false;
  std::thread FThread;
};

// A TCP server that sends `bytes` to its one client and then stalls.
class Staller {
public:
  explicit Staller(std::string bytes) : FBytes(std::move(bytes)) {
    FThread = std::thread([this] {
      FClient = FListener.Accept();
      if (FClient >= 0) SendAll(FClient, FBytes);
    });
  }
  ~Staller() {
    FListener.Stop();
    FThread.join();
    if (FClient >= 0) close(FClient);
  }
  std::string Url() const { return "tcp://127.0.0.1:" + std::to_string(FListener.Port()); }

private:
  std::string FBytes;
  LoopbackListener FListener;
  int FClient = -1;
  std::thread FThread;
};

const std::string& AvClip() {
  MediaSpec s;
  s.frames = 100;
  s.gop = 10;
  s.tones = {440.0};
  return Media::Get().File("faults_av.mp4", s);
}

// Fault 1: the clocks are read from another thread while the movie closes.
TEST(PlayerFaults, ClosingTheLastMovieGivesThePictureMemoryBack) {
  EnsureApp();
  MediaSpec s;
  s.audio_codec = AV_CODEC_ID_NONE;
  // Size does not matter for what is checked; a small clip keeps the test
  // quick under the thread sanitizer.
  s.width = 640;
  s.height = 360;
  s.frames = 12;
  const std::string clip = Media::Get().File("pool12.mp4", s);
  TAVPlayer p;
  // Under the thread sanitizer pictures are decoded late; none may be
  // dropped, so that six of them are shown.
  p.SetFrameDrop(false);
  RecordingView view;
  p.RegisterView(&view);
  p.OpenMovie(clip, false, true);
  ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 6; }, 30000));
  CloseAndWait(p);
  EXPECT_EQ(PictureMemory::IdleBytes(), 0u) << "kept after the last movie closed";
}

TEST(PlayerFaults, UpdateMetaDatasAfterTheEndIsServed) {
  // At the end of the input the read thread sleeps until something asks
  // for it; a metadata request must be one of those things.
  EnsureApp();
  MediaSpec s;
  s.audio_codec = AV_CODEC_ID_NONE;
  s.frames = 10;
  s.container = "matroska";
  s.metadata = {{"title", "the end"}};
  const std::string clip = Media::Get().File("titled.mkv", s);
  TAVPlayer p;
  int finished = 0;
  p.OnPlaybackFinished = [&](TComponent*) { finished++; };
  p.OpenMovie(clip, false, true);
  ASSERT_TRUE(PumpUntil([&] { return finished > 0; }, 10000));
  Wait(300);  // the read thread is asleep at the end
  TAVPlayerFaultsAccess::ForgetMetadatas(p);
  p.UpdateMetaDatas();
  EXPECT_TRUE(PumpUntil([&] { return p.Metadatas().IndexOf("title=the end") >= 0; }, 3000));
  CloseAndWait(p);
}

TEST(PlayerFaults, ClocksReadFromAnotherThreadWhileClosingNeverTouchFreedState) {
  EnsureApp();
  TAVPlayer p;
  p.SetDisableAudio(true);
  std::atomic<bool> stop{false};
  std::atomic<int64_t> reads{0};
  std::thread timer([&] {
    while (!stop) {
      volatile double sink = p.GetPosition() + p.VideoClock() + p.AudioClock();
      sink = sink + p.MasterClock();
      (void)sink;
      reads++;
    }
  });
  for (int i = 0; i < 30; i++) {
    p.OpenMovie(VideoClip(10), false, true);
    PumpUntil([&] { return p.FrameNumber() > 0; }, 2000);
    CloseAndWait(p);
  }
  stop = true;
  timer.join();
  EXPECT_GT(reads.load(), 0);
}

// Fault 2: CloseMovie while a blocking open runs on another thread, then a
// new open.
TEST(PlayerFaults, CloseDuringABlockingOpenOnAnotherThreadCancelsItAndALaterOpenPlays) {
  EnsureApp();
  const std::string bytes = ReadAll(VideoClip(100, "mpegts"));
  for (int round = 0; round < 3; round++) {
    // Cut inside the stream's header, inside the first picture, and later.
    const size_t cut[] = {bytes.size() / 60, bytes.size() / 15, bytes.size() / 3};
    Staller server(bytes.substr(0, cut[round]));
    RecordingView view;
    TAVPlayer p;
    p.SetDisableAudio(true);
    p.RegisterView(&view);
    p.SetInputFormat("mpegts");
    p.SetOptions(TStringList{"probesize=50000000", "analyzeduration=100000000"});
    std::atomic<bool> openDone{false};
    std::string openError;
    std::thread opener([&] {
      try {
        p.OpenMovie(server.Url(), false, true);
      } catch (const std::exception& e) {
        openError = e.what();
      }
      openDone = true;
    });
    Wait(300 + round * 100);
    Watchdog dog(30, "CloseMovie during a blocking open");
    EXPECT_TRUE(p.CloseMovie());
    ASSERT_TRUE(PumpUntil([&] { return openDone.load(); }, 20000));
    opener.join();
    ASSERT_TRUE(PumpUntil([&] { return !p.Playing(); }, 10000));
    // The same player opens and plays the next movie.
    p.SetInputFormat("");
    p.SetOptions(TStringList{});
    p.OpenMovie(VideoClip(10), false, true);
    ASSERT_TRUE(PumpUntil([&] { return view.Last() == 9; }, 10000)) << "round " << round;
    CloseAndWait(p);
  }
}

// Fault 3: an OnLog handler that hands lines to the GUI thread and waits,
// while the GUI thread opens and closes (which registers loggers); and a
// handler that throws.
TEST(PlayerFaults, ALogHandlerMayWaitForTheGuiThreadAndMayThrow) {
  EnsureApp();
  TAVPlayer p;
  p.SetDisableAudio(true);
  p.SetLogLevel(llDebug);
  std::atomic<int> lines{0};
  // One handler for the whole test: the log thread may be inside it at any
  // moment, so it is never replaced, only switched between its roles.
  enum Role { CloseOnce, CountOnGui, Throw };
  std::atomic<Role> role{CloseOnce};
  std::atomic<bool> closing{false};
  p.OnLog = [&](TComponent*, int, const std::string&) {
    switch (role.load()) {
      case CloseOnce:
        // A handler that closes the movie on the GUI thread when a worker logs.
        if (!MainThread::IsMainThread() && !closing.exchange(true)) MainThread::Synchronize([&] { p.CloseMovie(); });
        return;
      case CountOnGui:
        MainThread::Synchronize([&] { lines++; });
        return;
      case Throw:
        throw std::runtime_error("handler failure");
    }
  };
  Watchdog dog(120, "a log handler waiting for the GUI thread");
  p.OpenMovie(VideoClip(), false, true);
  ASSERT_TRUE(PumpUntil([&] { return closing.load() && !p.Playing(); }, 10000));
  role = CountOnGui;
  for (int i = 0; i < 15; i++) {
    p.OpenMovie(VideoClip(10), false, i % 2 == 0);
    Wait(30);
    ASSERT_TRUE(p.CloseMovie());
  }
  ASSERT_TRUE(PumpUntil([&] { return !p.Playing(); }, 10000));
  EXPECT_GT(lines.load(), 0);
  role = Throw;
  RecordingView view;
  p.RegisterView(&view);
  p.OpenMovie(VideoClip(10), false, true);
  ASSERT_TRUE(PumpUntil([&] { return view.Last() == 9; }, 10000)) << "plays on with a throwing handler";
  CloseAndWait(p);
}

// A chatty source logs faster than a slow handler takes lines: the waiting
// lines stay bounded, and the handler is told how many were dropped.
TEST(PlayerFaults, LogLinesWaitingForASlowHandlerAreBoundedAndTheDropsCounted) {
  EnsureApp();
  TAVPlayer p;
  p.SetLogLevel(llDebug);
  std::atomic<bool> release{false};
  std::atomic<int> delivered{0};
  std::atomic<long> droppedSaid{0};
  p.OnLog = [&](TComponent*, int, const std::string& text) {
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto at = text.find(" lines dropped");
    if (at != std::string::npos && text.rfind("… ", 0) == 0)
      droppedSaid += std::stol(text.substr(std::string("… ").size()));
    else if (text.find("chatty line") != std::string::npos)
      delivered++;
  };
  const int sent = 5000;
  {
    // FFmpeg's lines from this thread go to the player, as from its workers.
    TThreadLoggerGuard logger(&p);
    for (int i = 0; i < sent; i++) av_log(nullptr, AV_LOG_WARNING, "chatty line %d\n", i);
  }
  release = true;
  ASSERT_TRUE(PumpUntil([&] { return delivered + droppedSaid == sent; }, 10000))
      << "delivered " << delivered << ", said dropped " << droppedSaid;
  EXPECT_GT(droppedSaid.load(), 0);
  // The batch the handler was holding (itself at most the bound) and the
  // bound waiting behind it; nothing more.
  EXPECT_LE(delivered.load(), 2000);
}

// The stream lists a caller reads are its own copies: read on another
// thread while movies open and close, and kept readable after the close.
TEST(PlayerFaults, StreamListsReadWhileAnotherThreadClosesAreCopies) {
  EnsureApp();
  TAVPlayer p;
  p.SetDisableAudio(true);
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!stop.load()) {
      for (const TAVStreamProperties& v : p.VideoStreamProperties()) {
        EXPECT_EQ(v.CodecName(), "h264");
        EXPECT_EQ(v.StreamType(), 0);
        reads += static_cast<int>(v.Metas().Count() >= 0);
      }
    }
  });
  for (int i = 0; i < 8; i++) {
    p.OpenMovie(VideoClip(10), false, true);
    ASSERT_TRUE(p.CloseMovie());
    PumpUntil([&] { return !p.Playing(); }, 5000);
  }
  p.OpenMovie(VideoClip(10), true, true);
  const auto kept = p.VideoStreamProperties();
  CloseAndWait(p);
  stop = true;
  reader.join();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].CodecName(), "h264") << "a copy outlives the movie";
  EXPECT_TRUE(p.VideoStreamProperties().empty());
  EXPECT_GT(reads.load(), 0);
}

// Fault 4: filter texts and option values under a comma-decimal locale.
TEST(PlayerFaults, NumbersInFilterTextsAreReadWithCRulesUnderACommaDecimalLocale) {
  EnsureApp();
  const std::string old = std::setlocale(LC_ALL, nullptr);
  // A missing locale is a failure, not a skip: without it the test would
  // pass without testing anything. scripts/setup.sh generates it.
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) FAIL() << "de_DE.UTF-8 is not installed (scripts/setup.sh makes it)";
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.1f", 0.5);
  EXPECT_STREQ(buf, "0,5") << "the locale reads numbers with a comma";
  struct Case {
    const char* filters;
    int width, height;
  } cases[] = {{"scale=iw*0.5:-2", 160, 112}, {"eq=gamma=1.2,scale=w=iw*0.75:h=ih*0.5", 240, 112}};
  for (const Case& c : cases) {
    RecordingView view;
    TAVPlayer p;
    p.SetDisableAudio(true);
    p.RegisterView(&view);
    p.SetVideoFilters(c.filters);
    p.OpenMovie(VideoClip(), false, true);
    ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 3; }, 5000)) << c.filters << ": " << p.LastErrorMessage();
    EXPECT_EQ(view.LastShot().width, c.width) << c.filters;
    EXPECT_EQ(view.LastShot().height, c.height) << c.filters;
    CloseAndWait(p);
  }
  std::setlocale(LC_ALL, old.c_str());
}

// ThreadCount reaches the decoder unless it is the default or a "threads"
// codec option names the count.
TEST(PlayerFaults, ThreadCountIsTheDecodersThreadCountUnlessAnOptionSaysOtherwise) {
  AVFormatContext* raw = nullptr;
  ASSERT_EQ(avformat_open_input(&raw, VideoClip().c_str(), nullptr, nullptr), 0);
  AVInputContextPtr ic(raw);
  ASSERT_GE(avformat_find_stream_info(ic.get(), nullptr), 0);
  const int v = av_find_best_stream(ic.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  ASSERT_GE(v, 0);
  AVStream* st = ic->streams[v];
  // What FFmpeg's own "auto" gives on this machine.
  AVCodecContextPtr automatic = OpenStreamDecoder(st, nullptr, 1);
  ASSERT_TRUE(automatic);
  struct Case {
    int threadCount;
    const char* option;  // "threads" codec option, or nullptr
    int want;            // -1: what "auto" gives
  } cases[] = {{1, nullptr, -1}, {2, nullptr, 2}, {5, nullptr, 5}, {0, nullptr, -1}, {5, "3", 3}, {1, "2", 2}};
  for (const Case& c : cases) {
    AVDictionary* opts = nullptr;
    if (c.option) av_dict_set(&opts, "threads", c.option, 0);
    AVCodecContextPtr ctx = OpenStreamDecoder(st, opts, c.threadCount);
    av_dict_free(&opts);
    ASSERT_TRUE(ctx) << c.threadCount;
    EXPECT_EQ(ctx->thread_count, c.want < 0 ? automatic->thread_count : c.want)
        << "ThreadCount " << c.threadCount << " threads=" << (c.option ? c.option : "-");
  }
}

// Fault 5: stepping a file with sound and picture always ends paused.
TEST(PlayerFaults, StepForwardWithSoundAndPictureAlwaysEndsPaused) {
  EnsureApp();
  RecordingView view;
  TAVPlayer p;
  p.RegisterView(&view);
  p.OpenMovie(AvClip(), true, true);
  ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 1 && p.Paused(); }, 5000));
  for (int i = 0; i < 12; i++) {
    const int before = view.Count();
    p.StepForward();
    ASSERT_TRUE(PumpUntil([&] { return view.Count() > before && p.Paused(); }, 5000)) << "step " << i;
    Wait(60);
    ASSERT_TRUE(p.Paused()) << "step " << i;
  }
  CloseAndWait(p);
}

// A step ends on the next shown picture or where there is nothing more to
// show: on a sound file's cover (decoded once), and past the end of a sound
// track shorter than the picture. Each case steps three times from a paused
// open; every step must show a picture and end paused.
TEST(PlayerFaults, StepsEndOnACoverAndPastTheEndOfAShortSoundTrack) {
  EnsureApp();
  struct Case {
    const char* name;
    std::function<void(MediaSpec&)> make;
    double seek;  // where to step from (seconds), before pausing
  };
  const Case cases[] = {
      {"cover.mp3",
       [](MediaSpec& s) {
         s.container = "mp3";
         s.video_codec = AV_CODEC_ID_NONE;
         s.audio_codec = AV_CODEC_ID_MP3;
         s.cover_picture = true;
       },
       0},
      {"shortsound.mp4",
       [](MediaSpec& s) {
         s.frames = 50;
         s.audio_cut_seconds = 0.5;
       },
       1.2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MediaSpec s;
    c.make(s);
    const std::string clip = Media::Get().File(c.name, s);
    RecordingView view;
    TAVPlayer p;
    p.RegisterView(&view);
    p.OpenMovie(clip, true, true);
    ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 1 && p.Paused(); }, 5000));
    if (c.seek > 0) {
      // A seek while paused shows the picture there by a step of its own.
      const int before = view.Count();
      p.SetPosition(c.seek);
      ASSERT_TRUE(PumpUntil([&] { return view.Count() > before && p.Paused(); }, 5000));
      Wait(300);  // a key-frame seek may show the picture it decoded first, then the target
    }
    for (int i = 0; i < 3; i++) {
      const int before = view.Count();
      p.StepForward();
      EXPECT_TRUE(PumpUntil([&] { return view.Count() > before && p.Paused(); }, 5000)) << "step " << i;
    }
    CloseAndWait(p);
  }
}

// Seeks asked for from another thread while movies open and close: every
// request is written whole, the newest one wins, and nothing races (this is
// mostly for the thread sanitizer). The last seek asked for is the one served.
TEST(PlayerFaults, SeeksFromAnotherThreadDuringOpenAndCloseAndTheLastSeekWins) {
  EnsureApp();
  TAVPlayer p;
  p.SetDisableAudio(true);
  std::atomic<bool> stop{false};
  std::thread seeker([&] {
    double t = 0;
    while (!stop) {
      p.SetPosition(t);
      t = t > 2 ? 0 : t + 0.37;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  for (int i = 0; i < 8; i++) {
    p.OpenMovie(VideoClip(), i % 2 == 0, i % 3 != 0);
    PumpUntil([&] { return p.FrameNumber() > 0; }, 2000);
    CloseAndWait(p);
  }
  stop = true;
  seeker.join();

  // Two requests before the read thread looks: the second is where it goes.
  p.OpenMovie(VideoClip(), true, true);
  ASSERT_TRUE(PumpUntil([&] { return p.FrameNumber() > 0 && p.Paused(); }, 5000));
  p.SetPosition(0.4);
  p.SetPosition(2.0);
  EXPECT_TRUE(PumpUntil([&] { return std::fabs(p.GetPosition() - 2.0) < 0.3; }, 5000))
      << "at " << p.GetPosition();
  CloseAndWait(p);
}

// Pause and step state belong to the movie: a new movie opened to play
// plays, whatever the one before was doing.
TEST(PlayerFaults, PauseAndStepStateDoNotCarryOverToTheNextMovie) {
  EnsureApp();
  RecordingView view;
  TAVPlayer p;
  p.RegisterView(&view);
  p.OpenMovie(AvClip(), true, true);
  ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 1 && p.Paused(); }, 5000));
  p.StepForward();  // possibly still running when the next open comes
  p.OpenMovie(VideoClip(), false, true);
  EXPECT_FALSE(p.Paused());
  const int shown = view.Count();
  EXPECT_TRUE(PumpUntil([&] { return view.Count() >= shown + 5; }, 5000)) << "the second movie does not play";
  EXPECT_FALSE(p.Paused());
  CloseAndWait(p);
}

// Fault 6: no sound device at all, and an audio stream switch that cannot
// open its mixer channel: the picture plays on and the failure is reported.
TEST(PlayerFaults, WithoutASoundDeviceThePicturePlaysAndAFailedAudioSwitchKeepsItGoing) {
  EnsureApp();
  ShutdownAudioDevice();
  const char* old_driver = std::getenv("SDL_AUDIODRIVER");
  const std::string saved = old_driver ? old_driver : "";
  setenv("SDL_AUDIODRIVER", "nosuchdriver", 1);
  {
    RecordingView view;
    TAVPlayer p;
    p.RegisterView(&view);
    EXPECT_NO_THROW(p.OpenMovie(AvClip(), false, true));
    ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 5; }, 5000));
    EXPECT_EQ(p.AudioStreamIndex(), -1);
    EXPECT_NE(p.LastErrorMessage().find("SDL"), std::string::npos) << p.LastErrorMessage();
    ASSERT_EQ(p.AudioStreamCount(), 1);
    TAVPlayerFaultsAccess::ClearError(p);
    p.SetAudioStreamIndex(0);  // the device still cannot open
    ASSERT_TRUE(PumpUntil([&] { return !p.LastErrorMessage().empty(); }, 5000));
    const int shown = view.Count();
    ASSERT_TRUE(PumpUntil([&] { return view.Count() >= shown + 5; }, 5000)) << "the picture goes on";
    EXPECT_EQ(p.AudioStreamIndex(), -1);
    p.SetPosition(0.5);
    const int later = view.Count();
    ASSERT_TRUE(PumpUntil([&] { return view.Count() >= later + 3; }, 5000)) << "the read thread still serves seeks";
    CloseAndWait(p);
  }
  if (saved.empty()) unsetenv("SDL_AUDIODRIVER");
  else setenv("SDL_AUDIODRIVER", saved.c_str(), 1);
}

// Fault 7: views that unregister themselves or others while being called,
// and views are only ever called on the GUI thread.
class MeddlingView : public IAVView {
public:
  MeddlingView(TAVPlayer& p, std::vector<IAVView*>& victims) : FPlayer(p), FVictims(victims) {}
  void DoVideoDisplay(AVFrame*) override { Call("display"); }
  void SetViewSize(int, int) override { Call("size"); }
  void Clear(uint32_t) override { Call("clear"); }
  void Call(const char* what) {
    calls++;
    if (!MainThread::IsMainThread()) offGui = std::string(what);
    if (unregistered) afterUnregister++;
    if (!armed) return;
    for (IAVView* v : FVictims) FPlayer.UnRegisterView(v);
    armed = false;
  }
  TAVPlayer& FPlayer;
  std::vector<IAVView*>& FVictims;
  std::atomic<bool> armed{false};
  std::atomic<bool> unregistered{false};
  std::atomic<int> calls{0}, afterUnregister{0};
  std::string offGui;
};

TEST(PlayerFaults, AViewUnregisteringViewsFromItsCallsStopsThemAndViewsAreCalledOnTheGuiThreadOnly) {
  EnsureApp();
  for (const char* moment : {"cover", "size", "display"}) {
    TAVPlayer p;
    p.SetDisableAudio(true);
    std::vector<IAVView*> victims;
    MeddlingView a(p, victims), b(p, victims), c(p, victims);
    victims = {&a, &b};
    // Registered from another thread: the size call still comes on the GUI thread.
    std::thread([&] {
      for (MeddlingView* v : {&a, &b, &c}) p.RegisterView(v);
    }).join();
    TBitmap cover(32, 16);
    a.armed = true;
    auto mark = [&] {
      a.unregistered = b.unregistered = true;
    };
    if (std::string(moment) == "cover") {
      // From another thread; the GUI thread serves the hand-off meanwhile.
      std::atomic<bool> set{false};
      std::thread setter([&] {
        p.SetCoverImage(cover);
        set = true;
      });
      ASSERT_TRUE(PumpUntil([&] { return set.load(); }, 5000));
      setter.join();
      mark();
    } else if (std::string(moment) == "size") {
      p.OpenMovie(VideoClip(10), true, true);
      ASSERT_TRUE(PumpUntil([&] { return !a.armed && c.calls >= 2; }, 5000));
      mark();
    } else {
      a.armed = false;
      p.OpenMovie(VideoClip(10), true, true);
      ASSERT_TRUE(PumpUntil([&] { return c.calls > 2 && p.Paused(); }, 5000));
      a.armed = true;
      p.StepForward();
      ASSERT_TRUE(PumpUntil([&] { return !a.armed; }, 5000));
      mark();
      p.StepForward();
      Wait(200);
    }
    EXPECT_EQ(b.afterUnregister.load(), 0) << moment << ": a view unregistered by another was still called";
    EXPECT_GT(c.calls.load(), 0) << moment;
    for (MeddlingView* v : {&a, &b, &c}) EXPECT_EQ(v->offGui, "") << moment << ": called off the GUI thread";
    CloseAndWait(p);
    p.UnRegisterView(&c);
  }
}

// Fault 8: destroying the player from inside its own OnVideoDisplay.
TEST(PlayerFaults, DestroyingThePlayerInsideItsOwnDisplayCallWorks) {
  EnsureApp();
  Watchdog dog(60, "destroying the player inside OnVideoDisplay");
  for (int round = 0; round < 3; round++) {
    auto p = std::make_unique<TAVPlayer>();
    p->SetDisableAudio(round == 0);
    int shown = 0;
    bool destroyed = false;
    p->OnVideoDisplay = [&](TComponent*, AVFrame*) {
      if (++shown == 3 + round) {
        p.reset();
        destroyed = true;
      }
    };
    p->OpenMovie(round == 0 ? VideoClip() : AvClip(), false, true);
    ASSERT_TRUE(PumpUntil([&] { return destroyed; }, 10000)) << "round " << round;
    EXPECT_EQ(p, nullptr);
  }
  // And a player closed and opened again from its own display call.
  RecordingView view;
  TAVPlayer p;
  p.SetDisableAudio(true);
  p.RegisterView(&view);
  int reopened = 0;
  p.OnVideoDisplay = [&](TComponent*, AVFrame* f) {
    if (reopened == 0 && ReadFrameNumber(f->data[0], f->width, f->height, f->linesize[0]) == 5) {
      reopened++;
      p.OpenMovie(VideoClip(10), false, true);
    }
  };
  p.OpenMovie(VideoClip(), false, true);
  ASSERT_TRUE(PumpUntil([&] { return reopened == 1 && view.Last() == 9 && p.Duration() < 1; }, 10000));
  CloseAndWait(p);
}

// Fault 9: the audio clock allows for what the opened device buffers, so the
// clock reads what is being heard.
TEST(PlayerFaults, TheAudioClockAllowsForTheOpenedDevicesBuffering) {
  EnsureApp();
  TAVPlayer p;
  AudioRecorder ears;
  ears.Attach(p);
  p.SetDisableVideo(true);
  p.OpenMovie(AvClip(), false, true);
  ASSERT_TRUE(ears.WaitFrames(MIX_FREQ / 2));
  std::vector<double> lag;
  for (int i = 0; i < 40; i++) {
    Wait(17);
    double clock, heard;
    {
      std::lock_guard<std::mutex> g(ears.lock);  // no callback in between
      clock = p.AudioClock();
      heard = static_cast<double>(ears.samples.size() / 2) / MIX_FREQ;
    }
    lag.push_back(heard - clock);
  }
  std::sort(lag.begin(), lag.end());
  // Two device buffers of 1024 frames are still ahead of the ear (46 ms);
  // the clock runs on for up to one callback period (23 ms) after it was set.
  const double median = lag[lag.size() / 2];
  EXPECT_GT(median, 0.046 - 0.030) << "median lag " << median;
  EXPECT_LT(median, 0.046 + 0.012) << "median lag " << median;
  CloseAndWait(p);
}

// Fault 10: after the end of input the read thread does not keep feeding
// the decoders; tiny pictures are shown; Timeout covers opening.
TEST(PlayerFaults, TheEndOfInputIsSignalledOnceTinyPicturesShowAndTimeoutCoversOpening) {
  EnsureApp();
  {
    RecordingView view;
    TAVPlayer p;
    p.SetDisableAudio(true);
    p.RegisterView(&view);
    int finished = 0;
    p.OnPlaybackFinished = [&](TComponent*) { finished++; };
    p.OpenMovie(VideoClip(10), false, true);
    ASSERT_TRUE(PumpUntil([&] { return finished > 0; }, 5000));
    Wait(100);
    const int64_t before = TAVPlayerFaultsAccess::VideoPackets(p);
    Wait(500);
    EXPECT_LE(TAVPlayerFaultsAccess::VideoPackets(p) - before, 2) << "packets queued after the end";
    CloseAndWait(p);
  }
  for (auto [w, h] : {std::pair{8, 8}, std::pair{64, 12}, std::pair{12, 40}}) {
    MediaSpec s;
    s.container = "matroska";
    s.video_codec = AV_CODEC_ID_RAWVIDEO;
    s.audio_codec = AV_CODEC_ID_NONE;
    s.width = w;
    s.height = h;
    s.frames = 10;
    RecordingView view;
    TAVPlayer p;
    p.SetDisableAudio(true);
    p.RegisterView(&view);
    p.OpenMovie(Media::Get().File("tiny" + std::to_string(w) + "x" + std::to_string(h) + ".mkv", s), false, true);
    ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 3; }, 5000)) << w << "x" << h << ": " << p.LastErrorMessage();
    EXPECT_EQ(view.LastShot().width, w >= 16 ? w / 16 * 16 : w);
    EXPECT_EQ(view.LastShot().height, h >= 16 ? h / 16 * 16 : h);
    CloseAndWait(p);
  }
  {
    Staller server("");
    TAVPlayer p;
    p.SetTimeout(1);
    Watchdog dog(30, "a blocking open of a silent server with Timeout 1");
    const auto start = Clock::now();
    EXPECT_THROW(p.OpenMovie(server.Url(), false, true), Exception);
    // The silent server would hold the open for the default Timeout (15 s).
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GT(took, 0.9);
    EXPECT_LT(took, 6.0);
    EXPECT_FALSE(p.Playing());
  }
}

}  // namespace
}  // namespace kivora::testing
