// Playable range, cover pictures and the frame-to-bitmap helpers.
#include <gtest/gtest.h>

#include "kivora/platform/exception.h"
#include "player_test_util.h"

namespace kivora::testing {
namespace {

using PlayerRange = PlayerFixture;

TEST_F(PlayerRange, StartAndEndTimeLimitWhatIsPlayedAndTheEndIsReported) {
  Make();
  player->SetStartTime(1000000);  // 1 s: key frames every 10 pictures, so 20 is the one before
  player->SetEndTime(2000000);
  int finished = 0;
  player->OnPlaybackFinished = [&](TComponent*) { finished++; };
  player->OpenMovie(VideoClip(), false, true);
  // Counted from the file's start, like positions: where the range ends.
  EXPECT_NEAR(player->Duration(), 2.0, 1e-9);
  ASSERT_TRUE(PumpUntil([&] { return finished > 0; }, 10000));
  // The end is reported when the decoder meets it; the last pictures are
  // still being shown then.
  PumpUntil([&] { return view.Last() >= 45; }, 3000);
  Wait(300);
  const std::vector<int> shown = view.Numbers();
  ASSERT_FALSE(shown.empty());
  EXPECT_GE(shown.front(), 20);
  EXPECT_LE(shown.front(), 25);
  EXPECT_LE(shown.back(), 51) << "nothing well past the end time";
  EXPECT_GE(shown.back(), 45) << "shown " << ::testing::PrintToString(shown) << " dropped " << player->FramesDropped() << " pos " << player->GetPosition();
  EXPECT_EQ(finished, 1);
}

TEST_F(PlayerRange, AnAttachedCoverPictureOfASoundFileIsShown) {
  MediaSpec s;
  s.container = "mp3";
  s.video_codec = AV_CODEC_ID_NONE;
  s.audio_codec = AV_CODEC_ID_MP3;
  s.cover_picture = true;
  s.cover_number = 7;
  Make(false);
  player->OpenMovie(Media::Get().File("cover.mp3", s), false, true);
  EXPECT_EQ(player->VideoStreamCount(), 1);
  EXPECT_EQ(player->AudioStreamCount(), 1);
  ASSERT_TRUE(PumpUntil([&] { return view.Count() >= 1; }, 10000));
  EXPECT_EQ(view.Numbers().front(), 7);
}

TEST_F(PlayerRange, ACoverImageStandsInForPicturesOfASoundOnlyFile) {
  MediaSpec s;
  s.container = "ipod";
  s.video_codec = AV_CODEC_ID_NONE;
  s.audio_seconds = 3.0;
  const std::string& file = Media::Get().File("plain.m4a", s);
  Make(false);
  player->OpenMovie(file, false, true);
  Wait(500);
  EXPECT_EQ(view.Count(), 0) << "an empty cover shows nothing";
  CloseAndWait(*player);

  TBitmap cover(64, 48);
  TBitmapData d;
  ASSERT_TRUE(cover.Map(TMapAccess::Write, d));
  DrawTestPicture(d.Data, d.Width, d.Height, d.Pitch, 123);
  cover.Unmap(d);
  player->SetCoverImage(cover);
  {
    std::lock_guard<std::mutex> g(view.lock);
    ASSERT_FALSE(view.viewSizes.empty());
    EXPECT_EQ(view.viewSizes.back(), std::make_pair(64, 48));
  }
  player->OpenMovie(file, false, true);
  Wait(1000);
  const std::vector<int> shown = view.Numbers();
  EXPECT_GE(shown.size(), 5u) << "about ten times a second";
  EXPECT_LE(shown.size(), 12u);
  for (int n : shown) EXPECT_EQ(n, 123);
}

TEST(PlayerBitmaps, SaveFrameToBitmapConvertsStudioRangeYuvAndDrawVideoCopiesRgba) {
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

  AVFramePtr rgba(av_frame_alloc());
  rgba->format = AV_PIX_FMT_RGBA;
  rgba->width = 48;
  rgba->height = 32;
  ASSERT_GE(av_frame_get_buffer(rgba.get(), 64), 0);
  DrawTestPicture(rgba->data[0], rgba->width, rgba->height, rgba->linesize[0], 42);
  EXPECT_THROW(p.DrawVideo(static_cast<TBitmap*>(nullptr), rgba.get()), EAssertionFailed);
  TBitmap target(10, 10);
  p.DrawVideo(&target, rgba.get());
  ASSERT_EQ(target.Width(), 48);
  ASSERT_EQ(target.Height(), 32);
  TBitmapData d;
  ASSERT_TRUE(target.Map(TMapAccess::Read, d));
  EXPECT_EQ(ReadFrameNumber(d.Data, d.Width, d.Height, d.Pitch), 42);
  target.Unmap(d);
}

}  // namespace
}  // namespace kivora::testing
