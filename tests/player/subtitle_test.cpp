// Bitmap subtitles as a viewer sees them: blended into the pictures while
// due and gone afterwards, in RGBA, planar YUV and NV12 pictures; text
// subtitles never drawn and never holding playback up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>

#include "kivora/runtime/ffmpeg.h"
#include "kivora/player/player_impl.h"
#include "player_test_util.h"

namespace kivora {

// Reaches the blending routine with hand-made pictures and rectangles, so
// the arithmetic can be checked exactly.
class TAVPlayerTestAccess {
public:
  static void BlendRect(TAVPlayer& p, TVideoPicture& vp, const AVSubtitleRect* rect) { p.d->blend_rect(vp, rect); }
};

namespace testing {
namespace {

// Limited-range BT.601, as the encoder's scaler makes it from the test
// pictures (reference values, computed in floating point).
Rgb ToYuv(const Rgb& c) {
  const double r = c[0], g = c[1], b = c[2];
  return {static_cast<int>(std::lround(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255)),
          static_cast<int>(std::lround(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255)),
          static_cast<int>(std::lround(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255))};
}

int Distance(const Rgb& a, const Rgb& b) {
  int d = 0;
  for (int i = 0; i < 3; i++) d = std::max(d, std::abs(a[i] - b[i]));
  return d;
}

std::string Show(const Rgb& c) {
  return std::to_string(c[0]) + "," + std::to_string(c[1]) + "," + std::to_string(c[2]);
}

// The test picture's own colour at (x, y) of frame n, in the components a
// picture of format fmt has; nothing when the neighbourhood is not flat
// (an edge of a moving part), where lossy coding makes the value unreliable.
std::optional<Rgb> Background(int n, int x, int y, int fmt, int width = 320, int height = 240) {
  std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
  DrawTestPicture(rgba.data(), width, height, width * 4, n);
  auto at = [&](int px, int py) {
    const uint8_t* p = rgba.data() + (static_cast<ptrdiff_t>(py) * width + px) * 4;
    return Rgb{p[0], p[1], p[2]};
  };
  const Rgb c = at(x, y);
  for (int dy = -5; dy <= 5; dy++)
    for (int dx = -5; dx <= 5; dx++) {
      const int px = std::clamp(x + dx, 0, width - 1), py = std::clamp(y + dy, 0, height - 1);
      if (Distance(at(px, py), c) > 12) return std::nullopt;
    }
  return fmt == AV_PIX_FMT_RGBA ? c : ToYuv(c);
}

// Colour argb blended over background bg, in the picture's terms.
Rgb Blended(const Rgb& bg, uint32_t argb, int fmt) {
  const int a = static_cast<int>(argb >> 24);
  Rgb col{static_cast<int>((argb >> 16) & 0xFF), static_cast<int>((argb >> 8) & 0xFF), static_cast<int>(argb & 0xFF)};
  if (fmt != AV_PIX_FMT_RGBA) col = ToYuv(col);
  Rgb out;
  for (int i = 0; i < 3; i++) out[i] = ((255 - a) * bg[i] + a * col[i]) / 255;
  return out;
}

// Three opaque colours side by side, one half-transparent white above them,
// and one rectangle that reaches past the picture's right and bottom edges.
const std::vector<SubtitleEvent>& Events() {
  static const std::vector<SubtitleEvent> events{
      {0.20, 0.60, 20, 150, 60, 30, 0xFFFF0000},  {0.80, 1.20, 100, 150, 60, 30, 0xFF00FF00},
      {1.40, 1.80, 180, 150, 60, 30, 0xFF0000FF}, {2.00, 2.40, 100, 90, 120, 40, 0x80FFFFFF},
      {2.60, 3.20, 280, 220, 100, 40, 0xFFFFFF00},
  };
  return events;
}

// Where each event is probed: its centre, except for the last one, which
// must have been moved left and up to x 220..320, y 200..240: a point there
// that the rectangle as written does not cover.
const std::vector<std::pair<int, int>> kProbes{{50, 165}, {130, 165}, {210, 165}, {160, 110}, {240, 212}};

MediaSpec SubtitleSpec(AVCodecID codec, AVPixelFormat fmt) {
  MediaSpec s;
  s.container = "matroska";
  s.video_codec = codec;
  s.pix_fmt = fmt;
  s.audio_codec = AV_CODEC_ID_NONE;
  s.frames = 90;  // 3.6 s
  s.gop = 10;
  s.subtitles = true;
  s.subtitle_events = Events();
  return s;
}

// Plays file into view without dropping pictures until lastFrame is shown.
void PlayInto(TAVPlayer& p, RecordingView& view, const std::string& file, int lastFrame, bool rgb = true) {
  p.SetDisableAudio(true);
  p.SetRGBMode(rgb);
  p.SetFrameDrop(false);
  p.RegisterView(&view);
  p.OpenMovie(file, false, true);
  ASSERT_TRUE(PumpUntil([&] { return view.Last() >= lastFrame; }, 20000)) << "last shown " << view.Last();
}

using SubtitleTest = PlayerFixture;

TEST_F(SubtitleTest, PicturesOfEveryFormatCarryEachBitmapSubtitleWhileDueAndLoseItAfterwards) {
  const std::string& h264 = Media::Get().File("subs_h264.mkv", SubtitleSpec(AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P));
  // Raw NV12 video decodes to NV12, which the player keeps for its views.
  const std::string& nv12 = Media::Get().File("subs_nv12.mkv", SubtitleSpec(AV_CODEC_ID_RAWVIDEO, AV_PIX_FMT_NV12));
  struct Case {
    const std::string* file;
    bool rgb;
    int format, tolerance;
  } cases[] = {{&h264, true, AV_PIX_FMT_RGBA, 24}, {&h264, false, AV_PIX_FMT_YUV420P, 20},
               {&nv12, false, AV_PIX_FMT_NV12, 20}};
  for (const Case& c : cases) {
    RecordingView v(kProbes);
    TAVPlayer p;
    PlayInto(p, v, *c.file, 88, c.rgb);
    EXPECT_EQ(p.SubtitleStreamCount(), 1);
    EXPECT_EQ(p.SubtitleStreamIndex(), 0);
    CloseAndWait(p);
    // Every picture shown within an event (one frame away from its ends) has
    // the event's colour at its probe; every picture away from all events
    // shows the picture underneath there.
    const auto shots = v.Since();
    ASSERT_GE(shots.size(), 80u);
    int inside = 0, outside = 0;
    for (const Shot& s : shots) {
      ASSERT_EQ(s.format, c.format);
      ASSERT_GE(s.number, 0);
      const double t = s.number / 25.0;
      for (size_t e = 0; e < Events().size(); e++) {
        const SubtitleEvent& ev = Events()[e];
        const auto bg = Background(s.number, kProbes[e].first, kProbes[e].second, c.format);
        if (t >= ev.start_s + 0.05 && t <= ev.end_s - 0.05) {
          // Opaque colours cover whatever is underneath; the half-transparent
          // one is checked where the picture underneath is known.
          if ((ev.argb >> 24) != 0xFF && !bg) continue;
          const Rgb want = Blended(bg.value_or(Rgb{0, 0, 0}), ev.argb, c.format);
          EXPECT_LE(Distance(s.values[e], want), c.tolerance)
              << "frame " << s.number << " event " << e << " got " << Show(s.values[e]) << " want " << Show(want);
          inside++;
        } else if ((t <= ev.start_s - 0.05 || t >= ev.end_s + 0.05) && bg) {
          EXPECT_LE(Distance(s.values[e], *bg), 40)
              << "frame " << s.number << " event " << e << " still drawn: " << Show(s.values[e]);
          outside++;
        }
      }
    }
    EXPECT_GE(inside, 30) << "format " << c.format;
    EXPECT_GE(outside, 150) << "format " << c.format;
  }
}

TEST_F(SubtitleTest, MoreSubtitlesThanQueueSlotsAreAllShownInTurn) {
  // 20 short subtitles and 20 clearing pages: the decoder runs far ahead of
  // the display, so it must wait for slots and go on once they are retired.
  MediaSpec s = SubtitleSpec(AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P);
  s.frames = 125;
  s.subtitle_events.clear();
  for (int i = 0; i < 20; i++)
    s.subtitle_events.push_back({0.2 + i * 0.24, 0.2 + i * 0.24 + 0.16, 40, 160, 120, 30,
                                 i % 2 ? 0xFF00FF00u : 0xFFFF0000u});
  player = std::make_unique<TAVPlayer>();
  view.probes = {{100, 175}};
  PlayInto(*player, view, Media::Get().File("subs_many.mkv", s), 123);
  std::map<int, int> seen;  // event index -> pictures showing its colour
  for (const Shot& shot : view.Since()) {
    const double t = shot.number / 25.0;
    for (int i = 0; i < 20; i++) {
      const SubtitleEvent& ev = s.subtitle_events[static_cast<size_t>(i)];
      if (t < ev.start_s + 0.02 || t > ev.end_s - 0.02) continue;
      const Rgb want{static_cast<int>((ev.argb >> 16) & 0xFF), static_cast<int>((ev.argb >> 8) & 0xFF), 0};
      if (Distance(shot.values[0], want) <= 24) seen[i]++;
    }
  }
  for (int i = 0; i < 20; i++) EXPECT_GE(seen[i], 1) << "subtitle " << i << " never shown";
}

// A text subtitle stream (SubRip) next to a video clip, with a subtitle
// every 80 ms: far more than the queue holds.
const std::string& TextSubtitleClip() {
  static const std::string path = [] {
    const std::string srt = Media::Get().Path("lines.srt");
    std::ofstream out(srt);
    auto stamp = [](int ms) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "00:00:%02d,%03d", ms / 1000, ms % 1000);
      return std::string(buf);
    };
    for (int i = 0; i < 36; i++)
      out << i + 1 << "\n" << stamp(100 + i * 80) << " --> " << stamp(160 + i * 80) << "\nLine " << i << "\n\n";
    out.close();
    return Merge("text_subs.mkv", {{VideoClip(75), 0}, {srt, 0}});
  }();
  return path;
}

TEST_F(SubtitleTest, TextSubtitlesAreDecodedButNeverDrawnAndNeverHoldPlaybackUp) {
  player = std::make_unique<TAVPlayer>();
  view.probes = {{100, 175}, {160, 200}, {40, 150}};
  PlayInto(*player, view, TextSubtitleClip(), 74);
  EXPECT_EQ(player->SubtitleStreamCount(), 1);
  EXPECT_EQ(player->SubtitleStreamIndex(), 0) << "the text stream is opened like any other";
  EXPECT_FALSE(player->SubtitleStreamProperties()[0].CodecName().empty());
  int compared = 0;
  for (const Shot& s : view.Since())
    for (size_t i = 0; i < view.probes.size(); i++) {
      const auto bg = Background(s.number, view.probes[i].first, view.probes[i].second, AV_PIX_FMT_RGBA);
      if (!bg) continue;
      EXPECT_LE(Distance(s.values[i], *bg), 40) << "frame " << s.number;
      compared++;
    }
  EXPECT_GE(compared, 150);
}

// ---- the blending arithmetic on hand-made pictures ----

struct TestRect {
  AVSubtitleRect rect{};
  std::vector<uint8_t> index;
  std::array<uint32_t, 256> palette{};
  TestRect(int x, int y, int w, int h) {
    rect.type = SUBTITLE_BITMAP;
    rect.x = x;
    rect.y = y;
    rect.w = w;
    rect.h = h;
    rect.nb_colors = 256;
    index.assign(static_cast<size_t>(w) * h, 0);
    rect.data[0] = index.data();
    rect.linesize[0] = w;
    rect.data[1] = reinterpret_cast<uint8_t*>(palette.data());
  }
  void Fill(uint8_t i) { std::fill(index.begin(), index.end(), i); }
};

struct TestPicture {
  AVFramePtr frame{av_frame_alloc()};
  TVideoPicture vp;
  TestPicture(int w, int h, AVPixelFormat fmt, std::array<uint8_t, 4> fill) {
    frame->width = w;
    frame->height = h;
    frame->format = fmt;
    EXPECT_GE(av_frame_get_buffer(frame.get(), 0), 0);
    for (int p = 0; p < 4 && frame->data[p]; p++) {
      const int rows = p == 0 ? h : (h + 1) / 2;
      for (int y = 0; y < rows; y++) {
        uint8_t* row = frame->data[p] + static_cast<ptrdiff_t>(y) * frame->linesize[p];
        if (fmt == AV_PIX_FMT_RGBA)
          for (int x = 0; x < w; x++) std::memcpy(row + x * 4, fill.data(), 4);
        else
          std::memset(row, fill[static_cast<size_t>(p)], static_cast<size_t>(p == 0 ? w : (w + 1) / 2));
      }
    }
    vp.bmp = frame.get();
    vp.width = w;
    vp.height = h;
  }
  Rgb At(int x, int y) const { return SampleAt(frame.get(), x, y); }
  int Alpha(int x, int y) const { return frame->data[0][y * frame->linesize[0] + x * 4 + 3]; }
};

TEST(BlendRect, PaletteAlphaMixesTheColourOnlyInsideTheRectangleWhichIsClippedOrMovedToFit) {
  TAVPlayer player;
  {
    TestPicture pic(32, 16, AV_PIX_FMT_RGBA, {0, 0, 0, 77});
    TestRect r(4, 2, 6, 3);
    r.palette[1] = 0xFF102030;
    r.palette[2] = 0x80FFFFFF;
    r.palette[3] = 0x00FFFFFF;
    // Columns 0-1 opaque, 2-3 half, 4-5 transparent.
    for (int y = 0; y < 3; y++)
      for (int x = 0; x < 6; x++) r.index[static_cast<size_t>(y * 6 + x)] = static_cast<uint8_t>(1 + x / 2);
    TAVPlayerTestAccess::BlendRect(player, pic.vp, &r.rect);
    EXPECT_EQ(pic.At(4, 2), (Rgb{0x10, 0x20, 0x30}));
    EXPECT_EQ(pic.At(7, 4), (Rgb{128, 128, 128}));
    EXPECT_EQ(pic.At(8, 3), (Rgb{0, 0, 0}));
    EXPECT_EQ(pic.At(3, 2), (Rgb{0, 0, 0})) << "outside the rectangle";
    EXPECT_EQ(pic.At(4, 5), (Rgb{0, 0, 0})) << "below the rectangle";
    EXPECT_EQ(pic.Alpha(4, 2), 77) << "the fourth byte is never changed";
  }
  {
    TestPicture pic(16, 8, AV_PIX_FMT_RGBA, {0, 0, 0, 255});
    TestRect r(-5, -5, 40, 30);  // larger than the picture both ways
    r.palette[1] = 0xFFFFFFFF;
    r.Fill(1);
    TAVPlayerTestAccess::BlendRect(player, pic.vp, &r.rect);
    for (int y = 0; y < 8; y++)
      for (int x = 0; x < 16; x++) ASSERT_EQ(pic.At(x, y), (Rgb{255, 255, 255})) << x << "," << y;
  }
  {
    TestPicture pic(32, 16, AV_PIX_FMT_RGBA, {0, 0, 0, 255});
    TestRect r(28, 14, 8, 4);  // reaches 4 past the right and 2 past the bottom
    r.palette[1] = 0xFFFFFFFF;
    r.Fill(1);
    TAVPlayerTestAccess::BlendRect(player, pic.vp, &r.rect);
    EXPECT_EQ(pic.At(24, 12), (Rgb{255, 255, 255})) << "moved left and up so that it fits";
    EXPECT_EQ(pic.At(31, 15), (Rgb{255, 255, 255}));
    EXPECT_EQ(pic.At(23, 12), (Rgb{0, 0, 0}));
    EXPECT_EQ(pic.At(24, 11), (Rgb{0, 0, 0}));
  }
}

TEST(BlendRect, ChromaOfABlockPartlyCoveredIsWeightedByTheCoveredShare) {
  TAVPlayer player;
  TestPicture pic(16, 8, AV_PIX_FMT_YUV420P, {16, 128, 128, 0});
  TestRect r(3, 2, 1, 2);  // the right half of the 2x2 block at (2..3, 2..3)
  r.palette[1] = 0xFF0000FF;
  r.Fill(1);
  TAVPlayerTestAccess::BlendRect(player, pic.vp, &r.rect);
  const Rgb blue = ToYuv({0, 0, 255});
  const Rgb got = pic.At(2, 2);
  EXPECT_EQ(got[0], 16) << "luma of the uncovered pixel";
  EXPECT_EQ(pic.At(3, 2)[0], blue[0]);
  EXPECT_NEAR(got[1], (128 + blue[1]) / 2, 1);
  EXPECT_NEAR(got[2], (128 + blue[2]) / 2, 1);
}

}  // namespace
}  // namespace testing
}  // namespace kivora
