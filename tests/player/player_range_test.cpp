// Playable range, cover pictures and the frame-to-bitmap helpers.
#include <gtest/gtest.h>

#include "kivora/platform/exception.h"
#include "player_test_util.h"

namespace kivora::testing {
namespace {

class PlayerRange : public ::testing::Test {
protected:
  void SetUp() override { EnsureApp(); }
  void Close(TAVPlayer& p) {
    p.CloseMovie();
    ASSERT_TRUE(PumpUntil([&] { return !p.Playing(); }, 5000));
  }
};

TEST_F(PlayerRange, StartAndEndTimeLimitWhatIsPlayedAndTheEndIsReported) {
  RecordingView view;
  TAVPlayer p;
  p.SetDisableAudio(true);
  p.RegisterView(&view);
  p.SetStartTime(1000000);  // 1 s: key frames every 10 pictures, so 20 is the one before
  p.SetEndTime(2000000);
  int finished = 0;
  p.OnPlaybackFinished = [&](TComponent*) { finished++; };
  p.OpenMovie(VideoClip(), false, true);
  EXPECT_NEAR(p.Duration(), 1.0, 1e-9);
  ASSERT_TRUE(PumpUntil([&] { return finished > 0; }, 10000));
  PumpUntil([] { return false; }, 300);
  const std::vector<int> shown = view.Numbers();
  ASSERT_FALSE(shown.empty());
  EXPECT_GE(shown.front(), 20);
  EXPECT_LE(shown.front(), 25);
  EXPECT_LE(shown.back(), 51) << "nothing well past the end time";
  EXPECT_GE(shown.back(), 45);
  EXPECT_EQ(finished, 1);
  Close(p);
}

TEST_F(PlayerRange, AnAttachedCoverPictureOfASoundFileIsShown) {
  MediaSpec s;
  s.container = "mp3";
  s.video_codec = AV_CODEC_ID_NONE;
  s.audio_codec = AV_CODEC_ID_MP3;
  s.audio_seconds = 2.0;
  s.cover_picture = true;
  s.cover_number = 7;
  const std::string& file = Media::Get().File("cover.mp3", s);
  RecordingView view;
  TAVPlayer p;
  p.RegisterView(&view);
  p.OpenMovie(file, false, true);
  EXPECT_EQ(p.VideoStreamCount(), 1);
  EXPECT_EQ(p.AudioStreamCount(), 1);
  ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 1; }, 10000));
  EXPECT_EQ(view.Numbers().front(), 7);
  Close(p);
}

TEST_F(PlayerRange, ACoverImageStandsInForPicturesOfASoundOnlyFile) {
  MediaSpec s;
  s.container = "ipod";
  s.video_codec = AV_CODEC_ID_NONE;
  s.audio_seconds = 3.0;
  const std::string& file = Media::Get().File("plain.m4a", s);

  TBitmap cover(64, 48);
  {
    TBitmapData d;
    ASSERT_TRUE(cover.Map(TMapAccess::Write, d));
    DrawTestPicture(d.Data, d.Width, d.Height, d.Pitch, 123);
    cover.Unmap(d);
  }
  // An empty cover shows nothing.
  {
    RecordingView view;
    TAVPlayer p;
    p.RegisterView(&view);
    p.OpenMovie(file, false, true);
    PumpUntil([] { return false; }, 500);
    EXPECT_EQ(view.Count(), 0);
    Close(p);
  }
  RecordingView view;
  TAVPlayer p;
  p.RegisterView(&view);
  p.SetCoverImage(cover);
  {
    std::lock_guard<std::mutex> g(view.lock);
    ASSERT_FALSE(view.viewSizes.empty());
    EXPECT_EQ(view.viewSizes.back(), std::make_pair(64, 48));
  }
  p.OpenMovie(file, false, true);
  PumpUntil([] { return false; }, 1000);
  const std::vector<int> shown = view.Numbers();
  EXPECT_GE(shown.size(), 5u) << "about ten times a second";
  EXPECT_LE(shown.size(), 12u);
  for (int n : shown) EXPECT_EQ(n, 123);
  Close(p);
}

TEST(PlayerBitmaps, SaveFrameToBitmapConvertsStudioRangeYuv) {
  AVFramePtr f(av_frame_alloc());
  f->format = AV_PIX_FMT_YUV420P;
  f->width = 4;
  f->height = 2;
  ASSERT_GE(av_frame_get_buffer(f.get(), 0), 0);
  auto fill = [&](int y, int u, int v) {
    for (int r = 0; r < 2; r++) memset(f->data[0] + r * f->linesize[0], y, 4);
    memset(f->data[1], u, 2);
    memset(f->data[2], v, 2);
  };
  TAVPlayer p;
  TBitmap bmp;
  fill(16, 128, 128);
  p.SaveFrameToBitmap(f.get(), &bmp);
  ASSERT_EQ(bmp.Width(), 4);
  EXPECT_EQ(bmp.Pixel(3, 1), 0xFF000000u);
  fill(235, 128, 128);
  p.SaveFrameToBitmap(f.get(), &bmp);
  EXPECT_EQ(bmp.Pixel(0, 0), 0xFFFFFFFFu);
  fill(81, 90, 240);  // BT.601 red
  p.SaveFrameToBitmap(f.get(), &bmp);
  const uint32_t red = bmp.Pixel(1, 1);
  EXPECT_GT((red >> 16) & 0xFF, 230u);
  EXPECT_LT((red >> 8) & 0xFF, 20u);
  EXPECT_LT(red & 0xFF, 20u);
}

TEST(PlayerBitmaps, DrawVideoCopiesIntoTheBitmapAndRefusesNone) {
  AVFramePtr f(av_frame_alloc());
  f->format = AV_PIX_FMT_RGBA;
  f->width = 48;
  f->height = 32;
  ASSERT_GE(av_frame_get_buffer(f.get(), 64), 0);
  DrawTestPicture(f->data[0], f->width, f->height, f->linesize[0], 42);
  TAVPlayer p;
  EXPECT_THROW(p.DrawVideo(static_cast<TBitmap*>(nullptr), f.get()), EAssertionFailed);
  TBitmap bmp(10, 10);
  p.DrawVideo(&bmp, f.get());
  ASSERT_EQ(bmp.Width(), 48);
  ASSERT_EQ(bmp.Height(), 32);
  TBitmapData d;
  ASSERT_TRUE(bmp.Map(TMapAccess::Read, d));
  EXPECT_EQ(ReadFrameNumber(d.Data, d.Width, d.Height, d.Pitch), 42);
  bmp.Unmap(d);
}

}  // namespace
}  // namespace kivora::testing
