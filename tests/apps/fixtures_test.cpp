// The media fixtures checked with FFmpeg alone: what they write must come back
// out of a real demuxer and decoder, or every test built on them is void.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <stdexcept>

#include "kivora/runtime/ffmpeg.h"
#include "support/media_fixtures.h"
#include "support/media_reader.h"

using namespace kivora::testing;

namespace {

std::vector<int> Range(int from, int to) {
  std::vector<int> v;
  for (int i = from; i < to; ++i) v.push_back(i);
  return v;
}

// Container and stream tags of a file, read with libavformat.
struct Tags {
  Metadata container;
  std::vector<Metadata> streams;
  std::vector<int> dispositions;
};

Metadata ToMap(const AVDictionary* d) {
  Metadata m;
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(d, "", e, AV_DICT_IGNORE_SUFFIX))) m[e->key] = e->value;
  return m;
}

Tags ReadTags(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
    throw std::runtime_error("cannot open " + path);
  kivora::AVInputContextPtr in(raw);
  avformat_find_stream_info(in.get(), nullptr);
  Tags t;
  t.container = ToMap(in->metadata);
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    t.streams.push_back(ToMap(in->streams[i]->metadata));
    t.dispositions.push_back(in->streams[i]->disposition);
  }
  return t;
}

// Colours within a few levels per channel (DVB palettes go through YCbCr).
bool NearColour(uint32_t a, uint32_t b, int tolerance = 4) {
  for (int shift = 0; shift < 32; shift += 8) {
    const int ca = (a >> shift) & 0xFF, cb = (b >> shift) & 0xFF;
    if (std::abs(ca - cb) > tolerance) return false;
  }
  return true;
}

double Tone(const DecodedAudio& a, int channel = 0) {
  return MeasureToneHz(a.samples.data(), a.Frames(), a.channels, a.sample_rate, channel);
}

}  // namespace

// ---- the picture pattern and the tone measurement on their own ----

TEST(FramePattern, EveryNumberReadsBackAfterCropAndScalingAndNothingElseDoes) {
  std::vector<uint8_t> rgba(96 * 64 * 4);
  for (int n = 0; n < 4096; ++n) {
    DrawTestPicture(rgba.data(), 96, 64, 96 * 4, n);
    ASSERT_EQ(ReadFrameNumber(rgba.data(), 96, 64, 96 * 4), n);
  }
  // A player crops 330x250 to 320x240 and may show it at another size.
  const int w = 330, h = 250;
  std::vector<uint8_t> src(w * h * 4);
  DrawTestPicture(src.data(), w, h, w * 4, 2741);
  for (auto [dw, dh] : {std::pair{480, 360}, std::pair{200, 150}, std::pair{320, 240}}) {
    kivora::SwsContextPtr sws(sws_getContext(320, 240, AV_PIX_FMT_RGBA, dw, dh, AV_PIX_FMT_RGBA,
                                             SWS_BICUBIC, nullptr, nullptr, nullptr));
    std::vector<uint8_t> dst(dw * dh * 4);
    const uint8_t* s[4] = {src.data()};
    int ss[4] = {w * 4};
    uint8_t* d[4] = {dst.data()};
    int ds[4] = {dw * 4};
    sws_scale(sws.get(), s, ss, 0, 240, d, ds);
    EXPECT_EQ(ReadFrameNumber(dst.data(), dw, dh, dw * 4), 2741) << dw << "x" << dh;
  }
  // Plain, noisy or inconsistent pictures read as -1.
  const int gw = 160, gh = 120;
  std::vector<uint8_t> g(gw * gh * 4, 0);
  EXPECT_EQ(ReadFrameNumber(g.data(), gw, gh, gw * 4), -1) << "black";
  std::fill(g.begin(), g.end(), 255);
  EXPECT_EQ(ReadFrameNumber(g.data(), gw, gh, gw * 4), -1) << "white";
  std::mt19937 rng(1);
  for (int i = 0; i < 20; ++i) {
    for (auto& b : g) b = static_cast<uint8_t>(rng());
    EXPECT_EQ(ReadFrameNumber(g.data(), gw, gh, gw * 4), -1) << "noise";
  }
  DrawTestPicture(g.data(), gw, gh, gw * 4, 5);
  std::vector<uint8_t> other(g.size());
  DrawTestPicture(other.data(), gw, gh, gw * 4, 6);
  const size_t secondRow = gw * 4 * (gh * 16 / 100);
  std::copy(other.begin() + secondRow, other.end(), g.begin() + secondRow);
  EXPECT_EQ(ReadFrameNumber(g.data(), gw, gh, gw * 4), -1) << "rows disagree";
  EXPECT_EQ(ReadFrameNumber(g.data(), 16, 8, gw * 4), -1) << "too small";
}

TEST(ToneMeasure, FindsThePitchOfEachChannel) {
  const int rate = 48000;
  std::vector<int16_t> s(rate * 2);
  for (int i = 0; i < rate; ++i) {
    s[2 * i] = static_cast<int16_t>(12000 * std::sin(2 * M_PI * 441.0 * i / rate));
    s[2 * i + 1] = static_cast<int16_t>(30000 * std::sin(2 * M_PI * 1234.5 * i / rate + 1));
  }
  EXPECT_NEAR(MeasureToneHz(s.data(), rate, 2, rate, 0), 441.0, 0.5);
  EXPECT_NEAR(MeasureToneHz(s.data(), rate, 2, rate, 1), 1234.5, 0.5);
  EXPECT_NEAR(Rms(s.data(), rate, 2, 1), 30000 / 32768.0 / std::sqrt(2.0), 0.002);
  std::vector<int16_t> quiet(rate * 2, 0);
  for (size_t i = 0; i < quiet.size(); ++i) quiet[i] = (i % 3) - 1;  // tiny noise, no tone
  EXPECT_EQ(MeasureToneHz(quiet.data(), rate, 2, rate), 0);
  EXPECT_LT(Rms(quiet.data(), rate, 2), 0.001);
  EXPECT_EQ(MeasureToneHz(s.data(), rate, 2, rate, 2), 0) << "no such channel";
}

// ---- files made with MakeMedia, read back with FFmpeg ----

struct ContainerCase {
  const char* container;
  const char* file;
  AVCodecID video;
  AVCodecID audio;
};

class MakeMediaContainers : public ::testing::TestWithParam<ContainerCase> {};

TEST_P(MakeMediaContainers, EveryFrameNumberAndTheToneComeBack) {
  const ContainerCase& c = GetParam();
  TempDir dir;
  MediaSpec media;
  media.container = c.container;
  media.video_codec = c.video;
  media.audio_codec = c.audio;
  media.frames = 40;
  media.tones = {523.0};
  const DecodedMedia m = DecodeMedia(MakeMedia(dir.Path(c.file), media));
  if (c.video != AV_CODEC_ID_NONE) {
    ASSERT_EQ(m.video.size(), 1u);
    EXPECT_EQ(m.video[0].numbers, Range(0, 40));
    EXPECT_EQ(m.video[0].widths.front(), 320);
    EXPECT_EQ(m.video[0].heights.front(), 240);
    // Frame n is shown at n / fps (after any constant start offset); AVI
    // with B-frames has no presentation times to check.
    const auto& t = m.video[0].times;
    if (std::string(c.container) != "avi") {
      ASSERT_FALSE(std::isnan(t.front()));
      EXPECT_NEAR(t[39] - t[0], 39 / 25.0, 0.002);
    }
  } else {
    EXPECT_TRUE(m.video.empty());
  }
  ASSERT_EQ(m.audio.size(), 1u);
  EXPECT_NEAR(Tone(m.audio[0]), 523.0, 3.0);
  EXPECT_NEAR(Rms(m.audio[0].samples.data(), m.audio[0].Frames(), 2), 0.35, 0.05);
  EXPECT_NEAR(m.audio[0].Frames() / 44100.0, media.DurationSeconds(), 0.1);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, MakeMediaContainers,
    ::testing::Values(ContainerCase{"mp4", "a.mp4", AV_CODEC_ID_H264, AV_CODEC_ID_AAC},
                      ContainerCase{"matroska", "a.mkv", AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP3},
                      ContainerCase{"avi", "a.avi", AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP3},
                      ContainerCase{"mpegts", "a.ts", AV_CODEC_ID_H264, AV_CODEC_ID_MP2},
                      ContainerCase{"mp3", "a.mp3", AV_CODEC_ID_NONE, AV_CODEC_ID_MP3},
                      ContainerCase{"ipod", "a.m4a", AV_CODEC_ID_NONE, AV_CODEC_ID_AAC}),
    [](const auto& info) { return std::string(info.param.container); });

TEST(MakeMedia, MatroskaWithTwoAudioStreamsAndMetadata) {
  TempDir dir;
  MediaSpec media;
  media.container = "matroska";
  media.video_codec = AV_CODEC_ID_MPEG4;
  media.tones = {440.0, 880.0};
  media.metadata = {{"title", "Two tones"}, {"artist", "Kivora"}};
  media.stream_metadata = {{{"title", "picture"}}, {{"language", "eng"}}, {{"language", "fre"}}};
  const std::string path = MakeMedia(dir.Path("two.mkv"), media);

  const DecodedMedia m = DecodeMedia(path);
  ASSERT_EQ(m.video.size(), 1u);
  EXPECT_EQ(m.video[0].numbers, Range(0, 50));
  ASSERT_EQ(m.audio.size(), 2u);
  EXPECT_NEAR(Tone(m.audio[0]), 440.0, 3.0);
  EXPECT_NEAR(Tone(m.audio[1]), 880.0, 5.0);
  EXPECT_NEAR(Tone(m.audio[1], 1), 880.0, 5.0) << "every channel plays the tone";

  const Tags t = ReadTags(path);
  EXPECT_EQ(t.container.at("title"), "Two tones");
  EXPECT_EQ(t.container.at("ARTIST"), "Kivora");  // Matroska upper-cases tag names
  ASSERT_EQ(t.streams.size(), 3u);
  EXPECT_EQ(t.streams[0].at("title"), "picture");
  EXPECT_EQ(t.streams[1].at("language"), "eng");
  EXPECT_EQ(t.streams[2].at("language"), "fre");
}

TEST(MakeMedia, CoverPictureIsAnAttachedPicture) {
  for (const char* container : {"mp3", "matroska"}) {
    SCOPED_TRACE(container);
    TempDir dir;
    MediaSpec media;
    media.container = container;
    media.video_codec = AV_CODEC_ID_NONE;
    media.audio_codec = AV_CODEC_ID_MP3;
    media.cover_picture = true;
    media.cover_number = 1234;
    media.audio_seconds = 1.5;
    const std::string path = MakeMedia(dir.Path(std::string("cover.") + container), media);

    const Tags t = ReadTags(path);
    ASSERT_EQ(t.dispositions.size(), 2u);
    EXPECT_FALSE(t.dispositions[0] & AV_DISPOSITION_ATTACHED_PIC);
    EXPECT_TRUE(t.dispositions[1] & AV_DISPOSITION_ATTACHED_PIC);
    const DecodedMedia m = DecodeMedia(path);
    EXPECT_TRUE(m.video.empty());
    ASSERT_EQ(m.attached_pictures.size(), 1u);
    EXPECT_EQ(m.attached_pictures[0].numbers, std::vector<int>{1234});
    ASSERT_EQ(m.audio.size(), 1u);
    EXPECT_NEAR(m.audio[0].Frames() / 44100.0, 1.5, 0.1);
  }
}

TEST(MakeMedia, ResolutionChangeMidwayIsSeenByTheDecoder) {
  struct Case { const char* container; AVCodecID codec; };
  for (Case c : {Case{"matroska", AV_CODEC_ID_MPEG4}, Case{"matroska", AV_CODEC_ID_H264},
                 Case{"mpegts", AV_CODEC_ID_H264}}) {
    SCOPED_TRACE(std::string(c.container) + " " + avcodec_get_name(c.codec));
    TempDir dir;
    MediaSpec media;
    media.container = c.container;
    media.video_codec = c.codec;
    media.frames = 40;
    media.resize_at_frame = 20;
    media.width2 = 160;
    media.height2 = 128;
    const DecodedMedia m = DecodeMedia(MakeMedia(dir.Path("resize.mkv"), media));
    ASSERT_EQ(m.video.size(), 1u);
    const DecodedVideo& v = m.video[0];
    EXPECT_EQ(v.numbers, Range(0, 40));
    std::vector<int> widths(40, 320), heights(40, 240);
    std::fill(widths.begin() + 20, widths.end(), 160);
    std::fill(heights.begin() + 20, heights.end(), 128);
    EXPECT_EQ(v.widths, widths);
    EXPECT_EQ(v.heights, heights);
  }
}

TEST(MakeMedia, DvbSubtitlesAppearAndClearAtTheirTimes) {
  for (const char* container : {"matroska", "mpegts"}) {
    SCOPED_TRACE(container);
    TempDir dir;
    MediaSpec media;
    media.container = container;
    media.subtitles = true;
    const DecodedMedia m = DecodeMedia(MakeMedia(dir.Path("subs"), media));
    // Each event shows a page with its rectangle, then an empty page clears it.
    std::vector<DecodedSubtitle> shown, cleared;
    for (const auto& s : m.subtitles) (s.rects.empty() ? cleared : shown).push_back(s);
    ASSERT_EQ(shown.size(), media.subtitle_events.size());
    ASSERT_EQ(cleared.size(), media.subtitle_events.size());
    const double offset = shown[0].start_s - media.subtitle_events[0].start_s;  // ts start delay
    for (size_t i = 0; i < shown.size(); ++i) {
      const SubtitleEvent& e = media.subtitle_events[i];
      EXPECT_NEAR(shown[i].start_s - offset, e.start_s, 0.01);
      EXPECT_NEAR(cleared[i].start_s - offset, e.end_s, 0.01);
      ASSERT_EQ(shown[i].rects.size(), 1u);
      const DecodedSubtitleRect& r = shown[i].rects[0];
      EXPECT_EQ((std::array{r.x, r.y, r.w, r.h}), (std::array{e.x, e.y, e.w, e.h}));
      EXPECT_TRUE(NearColour(r.argb, e.argb)) << std::hex << r.argb << " vs " << e.argb;
    }
    EXPECT_EQ(m.video.at(0).numbers, Range(0, 50)) << "the video is untouched by subtitles";
  }
}

TEST(MakeMedia, BadRequestsThrowWithAReason) {
  TempDir dir;
  MediaSpec media;
  media.container = "no-such-muxer";
  EXPECT_THROW(
      try { MakeMedia(dir.Path("x"), media); } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("no-such-muxer"), std::string::npos) << e.what();
        throw;
      },
      std::runtime_error);
  media = MediaSpec{};
  media.container = "mp3";  // an mp3 file cannot hold H.264 video
  EXPECT_THROW(MakeMedia(dir.Path("x.mp3"), media), std::runtime_error);
  media = MediaSpec{};
  EXPECT_THROW(MakeMedia("/nonexistent-folder/x.mp4", media), std::runtime_error);
  media.frames = 0;
  EXPECT_THROW(MakeMedia(dir.Path("y.mp4"), media), std::runtime_error);
  EXPECT_THROW(DecodeMedia(dir.Path("missing.mp4")), std::runtime_error);
}
