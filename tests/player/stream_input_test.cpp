// The player reading application streams through "stream:" URLs: the same
// pictures as from the file, live streams that stall and grow, URLs that
// name nothing, and streams that go away while they play.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "kivora/io/async_stream.h"
#include "kivora/io/url.h"
#include "kivora/platform/bitmap.h"
#include "support/media_fixtures.h"
#include "player_test_util.h"

namespace kivora::testing {
namespace {

using StreamInputTest = PlayerFixture;

TEST_F(StreamInputTest, AMemoryStreamPlaysAndSeeksLikeItsFile) {
  for (const std::string container : {"mp4", "mpegts"}) {
    // The same steps on the file and on a memory copy of it: the same
    // pictures after the seek, and every picture to the end.
    std::vector<int> landed;
    for (bool through_stream : {false, true}) {
      TMemoryStream s;
      s.LoadFromFile(VideoClip(75, container));
      Make();
      // MPEG-TS without an extension: FFmpeg finds it by its content.
      const std::string url = through_stream ? StreamUrl(s, container == "mp4" ? "mp4" : "") : VideoClip(75, container);
      const int before = view.Count();
      player->OpenMovie(url, true, true);
      ASSERT_TRUE(PumpUntil([&] { return view.Count() > before && player->Paused(); }, 5000)) << url;
      EXPECT_NEAR(player->Duration(), 3.0, 0.1) << url;
      player->SetSeekPositionMode(spBackwardRequest);
      const int seek_from = view.Count();
      player->SetPosition(1.3);
      ASSERT_TRUE(PumpUntil([&] { return view.Count() > seek_from && player->Paused(); }, 5000)) << url;
      Wait(200);
      landed.push_back(view.Last());
      const int play_from = view.Count();
      player->Play();
      ASSERT_TRUE(PumpUntil([&] { return view.Last() == 74; }, 10000)) << url << ": " << view.Last();
      const std::vector<int> n = view.Numbers();
      for (size_t i = static_cast<size_t>(play_from) + 1; i < n.size(); ++i)
        ASSERT_GT(n[i], n[i - 1]) << url << " at " << i;  // a late picture may be dropped, never repeated
      CloseAndWait(*player);
    }
    EXPECT_EQ(landed[0], landed[1]) << container;
  }
}

TEST_F(StreamInputTest, ALiveStreamThatStallsPlaysEveryPictureToTheEnd) {
  const std::string bytes = ReadAll(VideoClip(75, "mpegts"));
  TAVAsyncStream live;
  std::atomic<bool> stop{false};
  // 1.5 times real time in 4 KiB pieces, stalling 300 ms now and then, the
  // last piece followed at once by the end.
  std::thread writer([&] {
    const double bytes_per_ms = bytes.size() / 3000.0 * 1.5;
    const auto t0 = Clock::now();
    size_t off = 0;
    int pieces = 0;
    while (off < bytes.size() && !stop) {
      const size_t n = std::min<size_t>(4096, bytes.size() - off);
      live.Write(bytes.data() + off, static_cast<int64_t>(n));
      off += n;
      if (++pieces % 40 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
      const auto due = t0 + std::chrono::microseconds(static_cast<int64_t>(off / bytes_per_ms * 1000));
      std::this_thread::sleep_until(due);
    }
    live.SetEOF(true);
  });
  Make();
  int finished = 0;
  player->OnPlaybackFinished = [&](TComponent*) { finished++; };
  player->OpenMovie(StreamUrl(live, "ts"), false, false);
  const bool ended = PumpUntil([&] { return finished > 0 && view.Last() == 74; }, 20000);
  stop = true;
  writer.join();
  ASSERT_TRUE(ended) << player->LastErrorMessage();
  EXPECT_EQ(view.Last(), 74) << "the input ended early";
  EXPECT_GE(view.Count(), 60);
}

TEST_F(StreamInputTest, AStartTimeTheInputCannotSeekToIsLogged) {
  const std::string bytes = ReadAll(VideoClip(75, "mpegts"));
  for (const bool live : {true, false}) {
    SCOPED_TRACE(live ? "live stream" : "memory stream");
    TAVAsyncStream async;
    TMemoryStream memory;
    if (live) {
      async.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
      async.SetEOF(true);
    } else {
      memory.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    }
    Make();
    std::vector<std::string> warnings;
    player->OnLog = [&](TComponent*, int level, const std::string& text) {
      if (level <= AV_LOG_WARNING && text.find("could not seek to the start time") != std::string::npos)
        warnings.push_back(text);
    };
    player->SetStartTime(1000000);
    player->OpenMovie(live ? StreamUrl(async, "ts") : StreamUrl(memory, "ts"), false, true);
    ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 2; }, 10000));
    PumpUntil([] { return false; }, 200);  // the log line reaches the handler through the event loop
    if (live) {
      ASSERT_EQ(warnings.size(), 1u);
      EXPECT_NE(warnings[0].find("1.000 s"), std::string::npos) << warnings[0];
    } else {
      EXPECT_TRUE(warnings.empty()) << warnings.front();
    }
    player.reset();
  }
}

TEST_F(StreamInputTest, ClosingWhileTheWriterStallsReturnsAtOnce) {
  const std::string bytes = ReadAll(VideoClip(75, "mpegts"));
  TAVAsyncStream live;
  live.Write(bytes.data(), static_cast<int64_t>(bytes.size() / 3));  // then nothing more
  Make();
  player->OpenMovie(StreamUrl(live), false, false);
  ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 3; }, 10000));
  Wait(1500);  // the reader has long run dry and waits
  const auto t0 = Clock::now();
  ASSERT_TRUE(player->CloseMovie());
  ASSERT_TRUE(PumpUntil([&] { return !player->Playing(); }, 5000));
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const double slack = 1000;  // sanitizer builds run the close several times slower
#else
  const double slack = 200;
#endif
  EXPECT_LT(ms, live.WaitTimeout() + slack) << "the waiting read did not see the close";
}

TEST_F(StreamInputTest, AURLThatNamesNoLiveStreamIsAConnectionError) {
  auto gone = std::make_unique<TMemoryStream>();
  const std::string gone_url = StreamUrl(*gone, "mp4");
  gone.reset();
  TMemoryStream busy;
  busy.LoadFromFile(VideoClip());
  TUrlIOPtr holder;
  AVFormatContext* ic = nullptr;
  ASSERT_EQ(OpenInputUrl(&ic, StreamUrl(busy), nullptr, nullptr, holder), 0);
  for (const std::string& url : {std::string("stream:1"), std::string("stream:abc"),
                                 std::string("stream:") + std::string(20, '9'), gone_url, StreamUrl(busy)}) {
    Make();
    std::vector<std::string> errors;
    player->OnConnectionError = [&](TComponent*, const std::string& e) { errors.push_back(e); };
    player->OpenMovie(url, false, false);
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }, 10000)) << url;
    EXPECT_NE(errors.front().find("Can not open file " + url + " with error!"), std::string::npos) << errors.front();
    EXPECT_FALSE(player->Playing());
    player.reset();
  }
  avformat_close_input(&ic);
}

TEST_F(StreamInputTest, AStreamDestroyedDuringPlaybackEndsItWithoutACrash) {
  for (bool live : {false, true}) {
    std::unique_ptr<TStream> s;
    const std::string bytes = ReadAll(VideoClip(75, "mpegts"));
    if (live) {
      auto a = std::make_unique<TAVAsyncStream>();
      a->Write(bytes.data(), static_cast<int64_t>(bytes.size() / 2));
      s = std::move(a);
    } else {
      auto m = std::make_unique<TMemoryStream>();
      m->Write(bytes.data(), static_cast<int64_t>(bytes.size()));
      s = std::move(m);
    }
    Make();
    int finished = 0;
    player->OnPlaybackFinished = [&](TComponent*) { finished++; };
    const int before = view.Count();
    player->OpenMovie(StreamUrl(*s, "ts"), false, false);
    ASSERT_TRUE(PumpUntil([&] { return view.Count() >= before + 5; }, 10000));
    s.reset();
    EXPECT_TRUE(PumpUntil([&] { return finished > 0; }, 10000)) << (live ? "live" : "memory");
    CloseAndWait(*player);
  }
}

// A live bitmap as the player's input: the view gets the pictures drawn into
// it, newest last, until the bitmap goes and the input ends.
TEST_F(StreamInputTest, ABitmapCaptureShowsWhatIsDrawn) {
  auto canvas = std::make_unique<TBitmap>(320, 240);
  auto draw = [&canvas](int n) {
    TBmpCaptureLock lock;
    TBitmapData d;
    if (!canvas->Map(TMapAccess::Write, d)) return;
    DrawTestPicture(d.Data, d.Width, d.Height, d.Pitch, n);
    canvas->Unmap(d);
  };
  draw(0);
  Make();
  player->SetInputFormat("bmpcap");
  player->OpenMovie(BmpCaptureName(*canvas), false, false);
  ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 3; }, 10000)) << player->LastErrorMessage();
  EXPECT_EQ(view.Last(), 0);
  draw(7);
  EXPECT_TRUE(PumpUntil([&] { return view.Last() == 7; }, 10000)) << view.Last();
  CloseAndWait(*player);
}

}  // namespace
}  // namespace kivora::testing
