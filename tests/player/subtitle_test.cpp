// Bitmap subtitles as a viewer sees them: blended into the pictures while
// due and gone afterwards, in RGBA, planar YUV and NV12 pictures; text
// subtitles never drawn and never holding playback up.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <optional>

#include "kivora/runtime/ffmpeg.h"
#include "player_test_util.h"

namespace kivora {

// Reaches the blending routine with hand-made pictures and rectangles, so
// the arithmetic can be checked exactly.
class TAVPlayerTestAccess {
public:
  static void BlendRect(TAVPlayer& p, TVideoPicture& vp, const AVSubtitleRect* rect) { p.blend_rect(vp, rect); }
};

namespace testing {
namespace {

using Rgb = std::array<int, 3>;

// Limited-range BT.601, as the encoder's scaler makes it from the test
// pictures (reference values, computed in floating point).
Rgb ToYuv(const Rgb& c) {
  const double r = c[0], g = c[1], b = c[2];
  return {static_cast<int>(std::lround(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255)),
          static_cast<int>(std::lround(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255)),
          static_cast<int>(std::lround(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255))};
}

// The three components at (x, y) of a picture: R, G, B for RGBA pictures,
// Y, U, V (the chroma sample covering the pixel) for 4:2:0 pictures.
Rgb SampleAt(const AVFrame* f, int x, int y) {
  switch (f->format) {
    case AV_PIX_FMT_RGBA: {
      const uint8_t* p = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0] + x * 4;
      return {p[0], p[1], p[2]};
    }
    case AV_PIX_FMT_YUV420P:
      return {f->data[0][y * f->linesize[0] + x], f->data[1][(y / 2) * f->linesize[1] + x / 2],
              f->data[2][(y / 2) * f->linesize[2] + x / 2]};
    case AV_PIX_FMT_NV12: {
      const uint8_t* uv = f->data[1] + static_cast<ptrdiff_t>(y / 2) * f->linesize[1] + (x / 2) * 2;
      return {f->data[0][y * f->linesize[0] + x], uv[0], uv[1]};
    }
    default:
      return {-1, -1, -1};
  }
}

int Distance(const Rgb& a, const Rgb& b) {
  int d = 0;
  for (int i = 0; i < 3; i++) d = std::max(d, std::abs(a[i] - b[i]));
  return d;
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

// Colour c blended over background bg at alpha a, in the picture's terms.
Rgb Blended(const Rgb& bg, uint32_t argb, int fmt) {
  const int a = static_cast<int>(argb >> 24);
  Rgb col{static_cast<int>((argb >> 16) & 0xFF), static_cast<int>((argb >> 8) & 0xFF), static_cast<int>(argb & 0xFF)};
  if (fmt != AV_PIX_FMT_RGBA) col = ToYuv(col);
  Rgb out;
  for (int i = 0; i < 3; i++) out[i] = ((255 - a) * bg[i] + a * col[i]) / 255;
  return out;
}

struct Probe {
  int x, y;
};

// Records, for every picture shown, its frame number and the components at
// a few probe points.
class ProbeView : public IAVView {
public:
  explicit ProbeView(std::vector<Probe> probes) : FProbes(std::move(probes)) {}
  void DoVideoDisplay(AVFrame* f) override {
    Shot s;
    s.format = f->format;
    s.number = f->format == AV_PIX_FMT_RGBA ? ReadFrameNumber(f->data[0], f->width, f->height, f->linesize[0])
                                            : ReadFrameNumber(f);
    for (const Probe& p : FProbes) s.values.push_back(SampleAt(f, p.x, p.y));
    std::lock_guard<std::mutex> g(lock);
    shots.push_back(s);
  }
  void SetViewSize(int, int) override {}
  void Clear(uint32_t) override {}
  struct Shot {
    int number = -1;
    int format = -1;
    std::vector<Rgb> values;
  };
  std::vector<Shot> Shots() {
    std::lock_guard<std::mutex> g(lock);
    return shots;
  }
  int Last() {
    std::lock_guard<std::mutex> g(lock);
    return shots.empty() ? -2 : shots.back().number;
  }

  std::mutex lock;
  std::vector<Shot> shots;

private:
  std::vector<Probe> FProbes;
};

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
const std::vector<Probe>& Probes() {
  static const std::vector<Probe> probes{{50, 165}, {130, 165}, {210, 165}, {160, 110}, {240, 212}};
  return probes;
}

MediaSpec SubtitleSpec(AVCodecID codec, AVPixelFormat fmt, const std::string& container) {
  MediaSpec s;
  s.container = container;
  s.video_codec = codec;
  s.pix_fmt = fmt;
  s.audio_codec = AV_CODEC_ID_NONE;
  s.frames = 90;  // 3.6 s
  s.gop = 10;
  s.subtitles = true;
  s.subtitle_events = Events();
  return s;
}

class SubtitleTest : public ::testing::Test {
protected:
  void SetUp() override { EnsureApp(); }
  void TearDown() override {
    if (player) {
      player->CloseMovie();
      PumpUntil([&] { return !player->Playing(); }, 10000);
      EXPECT_FALSE(player->Playing());
      player.reset();
    }
  }
  void Play(const std::string& file, bool rgb, int lastFrame) {
    player = std::make_unique<TAVPlayer>();
    player->SetDisableAudio(true);
    player->SetRGBMode(rgb);
    player->SetFrameDrop(false);
    player->RegisterView(&view);
    player->OpenMovie(file, false, true);
    ASSERT_TRUE(PumpUntil([&] { return view.Last() >= lastFrame; }, 20000)) << "last shown " << view.Last();
  }

  // Every picture shown within an event (one frame away from its ends) has
  // the event's colour at its probe; every picture away from all events
  // shows the picture underneath there.
  void ExpectSubtitlesWhileDueOnly(int expectedFormat, int tolerance) {
    const auto shots = view.Shots();
    ASSERT_GE(shots.size(), 80u);
    int inside = 0, outside = 0;
    for (const auto& s : shots) {
      ASSERT_EQ(s.format, expectedFormat);
      ASSERT_GE(s.number, 0);
      const double t = s.number / 25.0;
      for (size_t e = 0; e < Events().size(); e++) {
        const SubtitleEvent& ev = Events()[e];
        const Probe& p = Probes()[e];
        const auto bg = Background(s.number, p.x, p.y, expectedFormat);
        const bool due = t >= ev.start_s + 0.05 && t <= ev.end_s - 0.05;
        const bool gone = t <= ev.start_s - 0.05 || t >= ev.end_s + 0.05;
        if (due) {
          // Opaque colours cover whatever is underneath; the half-transparent
          // one is checked where the picture underneath is known.
          if ((ev.argb >> 24) != 0xFF && !bg) continue;
          const Rgb want = Blended(bg.value_or(Rgb{0, 0, 0}), ev.argb, expectedFormat);
          EXPECT_LE(Distance(s.values[e], want), tolerance)
              << "frame " << s.number << " event " << e << " got " << s.values[e][0] << "," << s.values[e][1] << ","
              << s.values[e][2] << " want " << want[0] << "," << want[1] << "," << want[2];
          inside++;
        } else if (gone && bg) {
          EXPECT_LE(Distance(s.values[e], *bg), 40)
              << "frame " << s.number << " event " << e << " still drawn: " << s.values[e][0] << ","
              << s.values[e][1] << "," << s.values[e][2];
          outside++;
        }
      }
    }
    EXPECT_GE(inside, 30);
    EXPECT_GE(outside, 150);
  }

  ProbeView view{Probes()};
  std::unique_ptr<TAVPlayer> player;
};

TEST_F(SubtitleTest, RgbaPicturesCarryEachBitmapSubtitleWhileDueAndLoseItAfterwards) {
  const std::string& file =
      Media::Get().File("subs_h264.mkv", SubtitleSpec(AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P, "matroska"));
  Play(file, true, 88);
  EXPECT_EQ(player->SubtitleStreamCount(), 1);
  EXPECT_EQ(player->SubtitleStreamIndex(), 0);
  ExpectSubtitlesWhileDueOnly(AV_PIX_FMT_RGBA, 24);
}

TEST_F(SubtitleTest, PlanarYuvPicturesCarryTheSubtitleInLumaAndHalfResolutionChroma) {
  const std::string& file =
      Media::Get().File("subs_h264.mkv", SubtitleSpec(AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P, "matroska"));
  Play(file, false, 88);
  ExpectSubtitlesWhileDueOnly(AV_PIX_FMT_YUV420P, 20);
}

TEST_F(SubtitleTest, Nv12PicturesCarryTheSubtitleInTheInterleavedChromaPlane) {
  // Raw NV12 video decodes to NV12, which the player keeps for its views.
  const std::string& file =
      Media::Get().File("subs_nv12.mkv", SubtitleSpec(AV_CODEC_ID_RAWVIDEO, AV_PIX_FMT_NV12, "matroska"));
  Play(file, false, 88);
  ExpectSubtitlesWhileDueOnly(AV_PIX_FMT_NV12, 20);
}

TEST_F(SubtitleTest, MoreSubtitlesThanQueueSlotsAreAllShownInTurn) {
  // 20 short subtitles and 20 clearing pages: the decoder runs far ahead of
  // the display, so it must wait for slots and go on once they are retired.
  MediaSpec s = SubtitleSpec(AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P, "matroska");
  s.frames = 125;
  s.subtitle_events.clear();
  for (int i = 0; i < 20; i++)
    s.subtitle_events.push_back({0.2 + i * 0.24, 0.2 + i * 0.24 + 0.16, 40, 160, 120, 30,
                                 i % 2 ? 0xFF00FF00u : 0xFFFF0000u});
  const std::string& file = Media::Get().File("subs_many.mkv", s);
  player = std::make_unique<TAVPlayer>();
  player->SetDisableAudio(true);
  player->SetFrameDrop(false);
  ProbeView probe({{100, 175}});
  player->RegisterView(&probe);
  player->OpenMovie(file, false, true);
  ASSERT_TRUE(PumpUntil([&] { return probe.Last() >= 123; }, 20000)) << "last shown " << probe.Last();
  std::map<int, int> seen;  // event index -> pictures showing its colour
  for (const auto& shot : probe.Shots()) {
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

// A text subtitle stream (SubRip, made with FFmpeg's own encoder) next to a
// video clip, with a subtitle every 80 ms: far more than the queue holds.
std::string TextSubtitleClip() {
  static std::string path;
  if (!path.empty()) return path;
  const std::string& video = VideoClip(75);
  const std::string out = Media::Get().Path("text_subs.mkv");
  AVInputContextPtr in;
  {
    AVFormatContext* ic = nullptr;
    if (avformat_open_input(&ic, video.c_str(), nullptr, nullptr) < 0) throw std::runtime_error("open " + video);
    in.reset(ic);
  }
  if (avformat_find_stream_info(in.get(), nullptr) < 0) throw std::runtime_error("stream info");
  AVFormatContext* oc = nullptr;
  if (avformat_alloc_output_context2(&oc, nullptr, "matroska", out.c_str()) < 0) throw std::runtime_error("mkv");
  AVFormatContextPtr outCtx(oc);
  AVStream* vs = avformat_new_stream(oc, nullptr);
  avcodec_parameters_copy(vs->codecpar, in->streams[0]->codecpar);
  vs->codecpar->codec_tag = 0;
  vs->time_base = in->streams[0]->time_base;

  const AVCodec* enc = avcodec_find_encoder(AV_CODEC_ID_SUBRIP);
  if (!enc) throw std::runtime_error("no SubRip encoder");
  AVCodecContextPtr sctx(avcodec_alloc_context3(enc));
  sctx->time_base = {1, 1000};
  // The encoder takes ASS events; a minimal header describes them.
  const char* header =
      "[Script Info]\nScriptType: v4.00+\n\n[V4+ Styles]\nFormat: Name, Fontname, Fontsize\nStyle: Default,Arial,16\n\n"
      "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";
  sctx->subtitle_header = reinterpret_cast<uint8_t*>(av_strdup(header));
  sctx->subtitle_header_size = static_cast<int>(std::strlen(header));
  if (avcodec_open2(sctx.get(), enc, nullptr) < 0) throw std::runtime_error("SubRip encoder");
  AVStream* ss = avformat_new_stream(oc, nullptr);
  avcodec_parameters_from_context(ss->codecpar, sctx.get());
  ss->time_base = {1, 1000};
  if (avio_open(&oc->pb, out.c_str(), AVIO_FLAG_WRITE) < 0) throw std::runtime_error("write " + out);
  if (avformat_write_header(oc, nullptr) < 0) throw std::runtime_error("header");

  std::vector<std::pair<double, AVPacketPtr>> packets;
  AVPacketPtr pkt(av_packet_alloc());
  while (av_read_frame(in.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == 0) {
      const double t = pkt->dts * av_q2d(in->streams[0]->time_base);
      av_packet_rescale_ts(pkt.get(), in->streams[0]->time_base, vs->time_base);
      pkt->stream_index = 0;
      packets.emplace_back(t, AVPacketPtr(av_packet_clone(pkt.get())));
    }
    av_packet_unref(pkt.get());
  }
  for (int i = 0; i < 36; i++) {
    AVSubtitle sub{};
    AVSubtitleRect rect{};
    AVSubtitleRect* rects[1] = {&rect};
    std::string line = "0,0,Default,,0,0,0,,Line " + std::to_string(i);
    rect.type = SUBTITLE_ASS;
    rect.ass = line.data();
    sub.num_rects = 1;
    sub.rects = rects;
    sub.end_display_time = 60;
    std::vector<uint8_t> buf(4096);
    const int size = avcodec_encode_subtitle(sctx.get(), buf.data(), static_cast<int>(buf.size()), &sub);
    if (size <= 0) throw std::runtime_error("SubRip encoding");
    AVPacketPtr sp(av_packet_alloc());
    av_new_packet(sp.get(), size);
    std::memcpy(sp->data, buf.data(), static_cast<size_t>(size));
    const int64_t ms = 100 + i * 80;
    sp->pts = sp->dts = av_rescale_q(ms, {1, 1000}, ss->time_base);
    sp->duration = av_rescale_q(60, {1, 1000}, ss->time_base);
    sp->stream_index = 1;
    packets.emplace_back(ms / 1000.0, std::move(sp));
  }
  std::stable_sort(packets.begin(), packets.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [t, p] : packets)
    if (av_interleaved_write_frame(oc, p.get()) < 0) throw std::runtime_error("writing");
  av_write_trailer(oc);
  avio_closep(&oc->pb);
  path = out;
  return path;
}

TEST_F(SubtitleTest, TextSubtitlesAreDecodedButNeverDrawnAndNeverHoldPlaybackUp) {
  const std::string file = TextSubtitleClip();
  player = std::make_unique<TAVPlayer>();
  player->SetDisableAudio(true);
  player->SetFrameDrop(false);
  ProbeView probe({{100, 175}, {160, 200}, {40, 150}});
  player->RegisterView(&probe);
  player->OpenMovie(file, false, true);
  EXPECT_EQ(player->SubtitleStreamCount(), 1);
  EXPECT_EQ(player->SubtitleStreamIndex(), 0) << "the text stream is opened like any other";
  EXPECT_FALSE(player->SubtitleStreamProperties()[0]->CodecName().empty());
  ASSERT_TRUE(PumpUntil([&] { return probe.Last() >= 74; }, 15000)) << "last shown " << probe.Last();
  int compared = 0;
  for (const auto& s : probe.Shots()) {
    const Probe pts[3] = {{100, 175}, {160, 200}, {40, 150}};
    for (int i = 0; i < 3; i++) {
      const auto bg = Background(s.number, pts[i].x, pts[i].y, AV_PIX_FMT_RGBA);
      if (!bg) continue;
      EXPECT_LE(Distance(s.values[static_cast<size_t>(i)], *bg), 40) << "frame " << s.number;
      compared++;
    }
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

TEST(BlendRect, OpaqueEntriesReplaceTheColourHalfAlphaMixesAndTransparentOnesLeaveThePixel) {
  TAVPlayer player;
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

TEST(BlendRect, ARectangleLargerThanThePictureIsClippedAndOnePastTheEdgeIsMovedIn) {
  TAVPlayer player;
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
