// TAVView with real players: registration, detaching when either side goes
// first, RGB mode, alpha fixing and playing a clip into the widget.
#include <gtest/gtest.h>

#include <QImage>
#include <cstring>
#include <memory>

#include "kivora/platform/exception.h"
#include "kivora/presentation/view.h"
#include "player/player_test_util.h"

using namespace kivora;
using namespace kivora::testing;

namespace {

class ViewPlayerTest : public ::testing::Test {
protected:
  void SetUp() override { EnsureApp(); }

  // An RGBA frame over pixels, which must hold w * h * 4 bytes.
  static AVFrame RgbaFrame(std::vector<uint8_t>& pixels, int w, int h) {
    AVFrame f{};
    f.width = w;
    f.height = h;
    f.format = AV_PIX_FMT_RGBA;
    f.data[0] = pixels.data();
    f.linesize[0] = w * 4;
    return f;
  }

  // A player with the first picture of file shown, paused.
  std::unique_ptr<TAVPlayer> PausedPlayer(const std::string& file) {
    auto p = std::make_unique<TAVPlayer>();
    p->SetDisableAudio(true);
    p->OpenMovie(file, true, true);
    EXPECT_TRUE(PumpUntil([&] { return p->FrameNumber() >= 1 && p->Paused(); }, 5000));
    return p;
  }

  // The frame number carried by the view's bitmap.
  static int BitmapNumber(TAVView& view) {
    TBitmapData d;
    if (!view.Bitmap().Map(TMapAccess::Read, d)) return -2;
    const int n = ReadFrameNumber(d.Data, d.Width, d.Height, d.Pitch);
    view.Bitmap().Unmap(d);
    return n;
  }
};

// A 100 pixel wide clip: the player crops it to 96 (a whole number of 16s).
const std::string& NarrowClip() {
  MediaSpec s;
  s.audio_codec = AV_CODEC_ID_NONE;
  s.width = 100;
  s.height = 64;
  s.frames = 25;
  return Media::Get().File("narrow.mp4", s);
}

TEST_F(ViewPlayerTest, AViewAttachedBeforeOpeningGetsEveryPicture) {
  TAVPlayer player;
  player.SetDisableAudio(true);
  TAVView view;
  view.SetWrapMode(TImageWrapMode::Stretch);
  view.SetPlayer(&player);
  RecordingView witness;
  player.RegisterView(&witness);
  player.OpenMovie(VideoClip(), false, true);
  ASSERT_TRUE(PumpUntil([&] { return witness.Count() >= 15; }, 10000));
  player.Pause();
  PumpUntil([] { return false; }, 200);
  EXPECT_EQ(view.Bitmap().Width(), 320);
  EXPECT_EQ(view.Bitmap().Height(), 240);
  const int shown = BitmapNumber(view);
  EXPECT_GE(shown, 10);
  EXPECT_EQ(shown, witness.Last()) << "the view holds the picture the player showed last";
  // And the widget paints it.
  view.resize(320, 240);
  const QImage img = view.grab().toImage().convertToFormat(QImage::Format_RGBA8888);
  EXPECT_EQ(ReadFrameNumber(img.constBits(), img.width(), img.height(), static_cast<int>(img.bytesPerLine())), shown);
  player.UnRegisterView(&witness);
}

TEST_F(ViewPlayerTest, SwitchingOrDestroyingPlayersDetachesTheView) {
  auto first = PausedPlayer(NarrowClip());
  TAVView view;
  view.SetPlayer(first.get());
  EXPECT_EQ(view.Bitmap().Width(), 96) << "a player that knows its size sizes the bitmap at once";
  EXPECT_EQ(view.Bitmap().Height(), 64);
  {
    auto second = PausedPlayer(VideoClip());
    view.SetPlayer(second.get());
    EXPECT_EQ(view.Bitmap().Width(), 320);
    // The first player's pictures no longer reach the view.
    view.Clear(0xFF00FF00u);
    first->Play();
    PumpUntil([&] { return first->FrameNumber() >= 5; }, 5000);
    EXPECT_EQ(view.Bitmap().Pixel(0, 0), 0xFF00FF00u);
    EXPECT_EQ(view.Bitmap().Width(), 320);
  }
  // The second player went first: the view is detached and still paints.
  EXPECT_EQ(view.Player(), nullptr);
  view.resize(160, 120);
  EXPECT_EQ(view.grab().toImage().size(), QSize(160, 120));
  view.SetPlayer(first.get());  // and attaches again as before
  EXPECT_EQ(view.Player(), first.get());
  view.SetPlayer(nullptr);
  EXPECT_EQ(view.Player(), nullptr);
}

TEST_F(ViewPlayerTest, DestroyingTheViewFirstUnregistersIt) {
  TAVPlayer player;
  player.SetDisableAudio(true);
  RecordingView witness;
  player.RegisterView(&witness);
  {
    TAVView view;
    view.SetPlayer(&player);
    player.OpenMovie(VideoClip(), false, true);
    ASSERT_TRUE(PumpUntil([&] { return witness.Count() >= 3; }, 5000));
  }
  // The player goes on showing pictures (and would write into the dead view
  // if it still held it); the witness shows it is still displaying.
  const int before = witness.Count();
  ASSERT_TRUE(PumpUntil([&] { return witness.Count() >= before + 5; }, 5000));
  player.UnRegisterView(&witness);
}

TEST_F(ViewPlayerTest, APlayerOutOfRgbModeMakesEveryDisplayRaise) {
  TAVPlayer player;
  player.SetRGBMode(false);
  TAVView view;
  view.SetPlayer(&player);
  view.SetViewSize(16, 4);
  view.Clear(0xFF0000FFu);
  std::vector<uint8_t> pixels(16 * 4 * 4, 0xFF);
  AVFrame f = RgbaFrame(pixels, 16, 4);
  for (int i = 0; i < 2; ++i) {
    try {
      view.DoVideoDisplay(&f);
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "TAVView only support RGB Mode");
    }
  }
  EXPECT_EQ(view.Bitmap().Pixel(0, 0), 0xFF0000FFu) << "the bitmap is left alone";
  EXPECT_FALSE(view.Bitmap().Mapped());
}

TEST_F(ViewPlayerTest, AlphaIsForcedOpaqueOnlyWhenTheDecoderGivesRgba) {
  MediaSpec rgba;
  rgba.container = "matroska";
  rgba.video_codec = AV_CODEC_ID_RAWVIDEO;
  rgba.pix_fmt = AV_PIX_FMT_RGBA;
  rgba.audio_codec = AV_CODEC_ID_NONE;
  rgba.frames = 5;
  rgba.width = 64;
  rgba.height = 32;
  const std::string& rgbaFile = Media::Get().File("rgba.mkv", rgba);

  // A picture whose alpha bytes are all 0.
  std::vector<uint8_t> pixels(64 * 32 * 4, 0x40);
  for (size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 0;
  AVFrame f = RgbaFrame(pixels, 64, 32);

  struct Case {
    const std::string* file;
    int decoder;
    uint32_t expect;
  } cases[] = {{&rgbaFile, AV_PIX_FMT_RGBA, 0xFF404040u}, {&NarrowClip(), AV_PIX_FMT_YUV420P, 0x00404040u}};
  // The same picture in a reference-counted frame, as the player's own are.
  AVFramePtr shared(av_frame_alloc());
  shared->width = 64;
  shared->height = 32;
  shared->format = AV_PIX_FMT_RGBA;
  ASSERT_EQ(av_frame_get_buffer(shared.get(), 0), 0);
  for (int y = 0; y < 32; ++y) memcpy(shared->data[0] + y * shared->linesize[0], &pixels[y * 64 * 4], 64 * 4);
  for (const Case& c : cases) {
    auto player = PausedPlayer(*c.file);
    ASSERT_EQ(player->DecoderPixelFormat(), c.decoder);
    for (AVFrame* frame : {&f, shared.get()}) {
      TAVView view;
      view.SetPlayer(player.get());
      view.SetViewSize(64, 32);
      view.DoVideoDisplay(frame);
      EXPECT_EQ(view.Bitmap().Pixel(63, 31), c.expect) << *c.file;
      EXPECT_EQ(view.Bitmap().Pixel(0, 0), c.expect) << *c.file;
    }
  }
  EXPECT_EQ(shared->data[0][3], 0) << "the shared frame itself is left alone";
}

}  // namespace
