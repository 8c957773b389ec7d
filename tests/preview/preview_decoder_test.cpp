// The preview's decoding engine on generated clips whose pictures carry their
// frame numbers: which picture each timestamp gives in both modes, streams
// that start late, change size or do not know their length, and inputs that
// never answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>
#include <string>

#include "kivora/preview/preview_decoder.h"
#include "preview/silent_server.h"
#include "support/media_fixtures.h"

using namespace kivora;
using namespace kivora::testing;

namespace {

// 25 pictures a second, a key frame every 12, B-frames: frame n starts at n * 40 ms.
MediaSpec Clip(const std::string& container) {
  MediaSpec m;
  m.container = container;
  m.frames = 50;
  m.gop = 12;
  m.audio_codec = container == "h264" ? AV_CODEC_ID_NONE : AV_CODEC_ID_AAC;
  return m;
}

const std::string& File(const std::string& name, const MediaSpec& media) {
  static TempDir dir;
  static std::map<std::string, std::string> made;
  auto it = made.find(name);
  if (it == made.end()) it = made.emplace(name, MakeMedia(dir.Path(name), media)).first;
  return it->second;
}

// The frame number of the decoder's last picture, read from its RGBA form.
int Shown(TPreviewDecoder& d, int* width = nullptr) {
  TBitmap bmp;
  if (!d.ToBitmap(bmp)) return -2;
  if (width) *width = bmp.Width();
  TBitmapData data;
  if (!bmp.Map(TMapAccess::Read, data)) return -2;
  const int n = ReadFrameNumber(data.Data, data.Width, data.Height, data.Pitch);
  bmp.Unmap(data);
  return n;
}

int64_t Us(double s) { return std::llround(s * 1e6); }

struct Case {
  double at;     // seconds from the start
  bool accurate;
  int frame;     // the picture expected
};

// Every case on one decoder, in this order: going back and forth between
// targets is part of what is checked.
void ExpectPictures(const std::string& file, std::initializer_list<Case> cases) {
  TPreviewDecoder d;
  ASSERT_TRUE(d.Open(file)) << d.LastError();
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.at << (c.accurate ? " accurate" : " key frame"));
    ASSERT_TRUE(d.DecodeAt(Us(c.at), c.accurate)) << d.LastError();
    EXPECT_EQ(Shown(d), c.frame);
    // The time reported is the picture's own, from the stream's start.
    EXPECT_NEAR(static_cast<double>(d.PictureTime()), c.frame * 40000.0, 1000.0);
  }
}

const std::initializer_list<Case> kCases = {
    {0.0, false, 0},    {0.7, false, 12},  {0.7, true, 17},   // between pictures
    {0.96, true, 24},   {0.96, false, 24},                    // on a key frame
    {1.0, true, 25},    {0.99, true, 24},  {0.0, true, 0},    // back to the start
    {1.97, true, 49},   {1.97, false, 48}, {2.0, true, 49},   // near the end
    {10.0, false, 48},  {0.0, false, 0},                      // 0 after a later preview
};

TEST(PreviewDecoder, EachTimestampGivesItsPictureInBothModes) {
  ExpectPictures(File("clip.mp4", Clip("mp4")), kCases);
}

// Accurate requests that move forward a little at a time decode on from the
// last answer (skipping pictures nothing refers to) instead of seeking: each
// must still give exactly its picture, the same time twice the same one, and
// the picture after an answer must be the next one in order.
TEST(PreviewDecoder, AccurateRequestsInOrderGiveEveryPictureRight) {
  for (const std::string container : {"mp4", "matroska", "mpegts"}) {
    SCOPED_TRACE(container);
    const std::string& file = File("steps." + container, Clip(container));
    TPreviewDecoder d;
    ASSERT_TRUE(d.Open(file)) << d.LastError();
    for (int ms = 0; ms <= 1990; ms += 30) {
      SCOPED_TRACE(ms);
      ASSERT_TRUE(d.DecodeAt(ms * 1000, true)) << d.LastError();
      EXPECT_EQ(Shown(d), ms / 40);
      if (ms % 270 == 0) {  // now and then: the same time again, then back a little
        ASSERT_TRUE(d.DecodeAt(ms * 1000, true));
        EXPECT_EQ(Shown(d), ms / 40);
        ASSERT_TRUE(d.DecodeAt(std::max(0, ms - 130) * 1000, true));
        EXPECT_EQ(Shown(d), std::max(0, ms - 130) / 40);
        ASSERT_TRUE(d.DecodeAt(ms * 1000, true));
      }
    }
    // After an answer, decoding on gives the pictures that follow it.
    ASSERT_TRUE(d.DecodeAt(Us(0.5), true));
    EXPECT_EQ(Shown(d), 12);
    for (int n = 13; n < 20; ++n) {
      ASSERT_TRUE(d.DecodeNext());
      EXPECT_EQ(Shown(d), n);
    }
    // And a request for a key-frame picture after that still seeks.
    ASSERT_TRUE(d.DecodeAt(Us(1.3), false));
    EXPECT_EQ(Shown(d), 24);
  }
}

TEST(PreviewDecoder, AStreamThatStartsLateIsAddressedFromItsStart) {
  const std::string& ts = File("clip.ts", Clip("mpegts"));
  TPreviewDecoder d;
  ASSERT_TRUE(d.Open(ts));
  EXPECT_GT(d.StartTime(), 0);
  d.Close();
  ExpectPictures(ts, {{0.0, false, 0}, {0.7, true, 17}, {0.7, false, 12}, {0.0, true, 0}, {1.97, true, 49}});
}

TEST(PreviewDecoder, CloseFreesTheDecoderAndForgetsTheStart) {
  TPreviewDecoder d;
  ASSERT_TRUE(d.Open(File("clip.ts", Clip("mpegts"))));
  EXPECT_GT(d.StartTime(), 0);
  ASSERT_TRUE(d.DecodeAt(Us(0.7), true));
  d.Close();
  EXPECT_FALSE(d.IsOpen());
  EXPECT_EQ(d.CodecContext(), nullptr);
  EXPECT_EQ(d.FormatContext(), nullptr);
  EXPECT_EQ(d.Frame(), nullptr);
  EXPECT_EQ(d.StartTime(), 0);
  EXPECT_FALSE(d.DecodeAt(0, false));
  // The same engine on a file that starts at 0: its own times.
  ASSERT_TRUE(d.Open(File("clip.mp4", Clip("mp4"))));
  EXPECT_EQ(d.StartTime(), 0);
  ASSERT_TRUE(d.DecodeAt(Us(0.7), true)) << d.LastError();
  EXPECT_EQ(Shown(d), 17);
  EXPECT_NEAR(static_cast<double>(d.PictureTime()), 17 * 40000.0, 1000.0);
}

TEST(PreviewDecoder, PicturesFollowAResolutionChange) {
  MediaSpec m = Clip("matroska");
  m.resize_at_frame = 30;
  m.width2 = 480;
  m.height2 = 360;
  TPreviewDecoder d;
  ASSERT_TRUE(d.Open(File("resize.mkv", m)));
  int width = 0;
  struct {
    double at;
    int frame, width;
  } cases[] = {{1.5, 37, 480}, {0.5, 12, 320}, {1.97, 49, 480}, {1.18, 29, 320}};
  for (const auto& c : cases) {
    ASSERT_TRUE(d.DecodeAt(Us(c.at), true)) << c.at;
    EXPECT_EQ(Shown(d, &width), c.frame) << c.at;
    EXPECT_EQ(width, c.width) << c.at;
  }
}

TEST(PreviewDecoder, AStreamOfUnknownLengthStillPreviews) {
  TPreviewDecoder d;
  ASSERT_TRUE(d.Open(File("raw.h264", Clip("h264"))));
  EXPECT_TRUE(std::isnan(d.Duration()));
  ASSERT_TRUE(d.DecodeAt(Us(0.7), true)) << d.LastError();
  EXPECT_EQ(Shown(d), 17);
  ASSERT_TRUE(d.DecodeAt(0, false)) << d.LastError();
  EXPECT_EQ(Shown(d), 0);
}

TEST(PreviewDecoder, DecodesEveryPictureInOrder) {
  TPreviewDecoder d;
  ASSERT_TRUE(d.Open(File("clip.mp4", Clip("mp4"))));
  int n = 0;
  while (d.DecodeNext()) {
    ASSERT_EQ(Shown(d), n);
    EXPECT_NEAR(static_cast<double>(d.PictureTime()), n * 40000.0, 1000.0);
    ++n;
  }
  EXPECT_EQ(n, 50);
}

// The picture's colours against its source, in dB over R, G and B.
double Psnr(const TBitmap& picture, int n) {
  std::vector<uint8_t> source(static_cast<size_t>(picture.Width()) * picture.Height() * 4);
  DrawTestPicture(source.data(), picture.Width(), picture.Height(), picture.Width() * 4, n);
  double squares = 0;
  for (int y = 0; y < picture.Height(); ++y) {
    const uint8_t* p = picture.Image().constScanLine(y);
    const uint8_t* s = source.data() + static_cast<size_t>(y) * picture.Width() * 4;
    for (int i = 0; i < picture.Width() * 4; ++i)
      if (i % 4 != 3) squares += (p[i] - s[i]) * (p[i] - s[i]);
  }
  const double mse = squares / (3.0 * picture.Width() * picture.Height());
  return mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99;
}

// Pictures come out in the colours they went in with: the conversion to RGBA
// follows each picture's matrix and range instead of taking every picture
// for BT.601 limited range.
TEST(PreviewDecoder, ColoursFollowThePicturesMatrixAndRange) {
  const struct {
    const char* name;
    AVColorSpace matrix;
    AVColorRange range;
  } cases[] = {
      {"bt709.mkv", AVCOL_SPC_BT709, AVCOL_RANGE_MPEG},
      {"bt709-full.mkv", AVCOL_SPC_BT709, AVCOL_RANGE_JPEG},
      {"bt601.mkv", AVCOL_SPC_SMPTE170M, AVCOL_RANGE_MPEG},
      {"untagged.mkv", AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MediaSpec m = Clip("matroska");
    m.width = 640;
    m.height = 360;
    m.frames = 13;
    m.colorspace = c.matrix;
    m.color_range = c.range;
    TPreviewDecoder d;
    ASSERT_TRUE(d.Open(File(c.name, m))) << d.LastError();
    ASSERT_TRUE(d.DecodeAt(Us(0.48), true)) << d.LastError();
    TBitmap picture;
    ASSERT_TRUE(d.ToBitmap(picture));
    EXPECT_GT(Psnr(picture, 12), 36.0);
  }
}

TEST(PreviewDecoder, FailedOpensSayWhyAndLeaveNothingOpen) {
  MediaSpec audioOnly = Clip("mp4");
  audioOnly.video_codec = AV_CODEC_ID_NONE;
  const std::string files[] = {"/nonexistent/clip.mp4", File("audio.m4a", audioOnly)};
  for (const std::string& f : files) {
    TPreviewDecoder d;
    EXPECT_FALSE(d.Open(f)) << f;
    EXPECT_FALSE(d.IsOpen());
    EXPECT_FALSE(d.LastError().empty());
    EXPECT_FALSE(d.DecodeAt(0, false));
  }
}

TEST(PreviewDecoder, AnInputThatNeverAnswersIsGivenUp) {
  SilentServer server;
  ASSERT_FALSE(server.Url().empty());
  TPreviewDecoder d;
  d.SetTimeoutMs(300);
  EXPECT_FALSE(d.Open(server.Url()));
  EXPECT_FALSE(d.IsOpen());
}

}  // namespace
