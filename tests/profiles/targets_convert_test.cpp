// Every target applied to a fresh converter and run on a 4:2:2, 30 fps clip
// with 44.1 kHz mono sound; the outputs are read back with libavformat and
// decoded by an independent reader that must see no error.
#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kivora/converter/converter.h"
#include "kivora/profiles/catalog.h"
#include "kivora/profiles/custom.h"
#include "kivora/profiles/targets.h"
#include "kivora/runtime/avlib.h"
#include "kivora/runtime/ffmpeg.h"
#include "support/media_fixtures.h"
#include "support/media_reader.h"

namespace kivora::testing {
namespace {

struct RunResult {
  std::string error;  // OnError's message, "" when the conversion completed
  std::string errorLog;
  bool complete = false;
};

RunResult Convert(TAVConverter& c, const std::string& in, const std::string& out) {
  RunResult r;
  std::mutex lock;
  c.ConvertOptions().SetSynchronous(true);
  c.OnError = [&](TComponent*, const std::string& msg, const std::string& log, bool& handled) {
    std::lock_guard<std::mutex> l(lock);
    r.error = msg.empty() ? "(empty error)" : msg;
    r.errorLog = log;
    handled = true;
  };
  std::atomic<bool> complete{false};
  c.OnComplete = [&](TComponent*) { complete = true; };
  c.InputFiles().Clear();
  c.InputFiles().Add(in);
  c.OutputFiles().Clear();
  c.OutputFiles().Add(out);
  c.Convert();
  EXPECT_TRUE(c.WaitFor(120000));
  for (int k = 0; k < 2000 && !complete; ++k)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  r.complete = complete;
  return r;
}

struct Probed {
  std::string format;
  AVCodecID video = AV_CODEC_ID_NONE, audio = AV_CODEC_ID_NONE;
  int width = 0, height = 0, pixFmt = -1, sampleRate = 0, channels = 0;
  int64_t audioBitrate = 0;
  AVRational rate{0, 1};
};

Probed Probe(const std::string& path) {
  Probed p;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return p;
  AVInputContextPtr ic(raw);
  if (avformat_find_stream_info(ic.get(), nullptr) < 0) return p;
  p.format = ic->iformat->name;
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVStream* st = ic->streams[i];
    const AVCodecParameters* par = st->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
      p.video = par->codec_id;
      p.width = par->width;
      p.height = par->height;
      p.pixFmt = par->format;
      p.rate = st->r_frame_rate;
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
      p.audio = par->codec_id;
      p.sampleRate = par->sample_rate;
      p.channels = par->ch_layout.nb_channels;
      p.audioBitrate = par->bit_rate;
    }
  }
  return p;
}

// Error lines FFmpeg logs while the independent reader decodes a file.
std::atomic<int> g_errorLines{0};
void CountErrors(void*, int level, const char*, va_list) {
  if (level <= AV_LOG_ERROR) ++g_errorLines;
}

DecodedMedia DecodeCountingErrors(const std::string& path, int& errorLines) {
  g_errorLines = 0;
  av_log_set_callback(CountErrors);
  DecodedMedia m;
  try {
    m = DecodeMedia(path);
  } catch (...) {
    av_log_set_callback(AVLoaded() ? LogCallback : av_log_default_callback);
    throw;
  }
  av_log_set_callback(AVLoaded() ? LogCallback : av_log_default_callback);
  errorLines = g_errorLines;
  return m;
}

class TargetConversion : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = new TempDir();
    MediaSpec s;
    s.container = "matroska";
    s.video_codec = AV_CODEC_ID_H264;
    s.pix_fmt = AV_PIX_FMT_YUV422P;
    s.fps = {30, 1};
    s.frames = 30;
    s.audio_codec = AV_CODEC_ID_AAC;
    s.sample_rate = 44100;
    s.channels = 1;
    clip = MakeMedia(dir->Path("clip422.mkv"), s);
  }
  static void TearDownTestSuite() { delete dir; }
  static TempDir* dir;
  static std::string clip;
};
TempDir* TargetConversion::dir = nullptr;
std::string TargetConversion::clip;

TEST_F(TargetConversion, EveryTargetGivesAFileThatReadsBackAsThatTarget) {
  const struct {
    const char* spec;
    const char* format;
    AVCodecID video;
    int width, height;
    AVPixelFormat pixFmt;
    AVRational rate;
    AVCodecID audio;
    int sampleRate;
    int64_t audioBitrate;  // 0: not checked (PCM)
  } cases[] = {
      {"dvd", "mpeg", AV_CODEC_ID_MPEG2VIDEO, 720, 576, AV_PIX_FMT_YUV420P, {25, 1}, AV_CODEC_ID_AC3, 48000, 448000},
      {"dvd:ntsc", "mpeg", AV_CODEC_ID_MPEG2VIDEO, 720, 480, AV_PIX_FMT_YUV420P, {30000, 1001}, AV_CODEC_ID_AC3, 48000, 448000},
      {"vcd", "mpeg", AV_CODEC_ID_MPEG1VIDEO, 352, 288, AV_PIX_FMT_YUV420P, {25, 1}, AV_CODEC_ID_MP2, 44100, 224000},
      {"vcd:film", "mpeg", AV_CODEC_ID_MPEG1VIDEO, 352, 240, AV_PIX_FMT_YUV420P, {24000, 1001}, AV_CODEC_ID_MP2, 44100, 224000},
      {"svcd", "mpeg", AV_CODEC_ID_MPEG2VIDEO, 480, 576, AV_PIX_FMT_YUV420P, {25, 1}, AV_CODEC_ID_MP2, 44100, 224000},
      {"svcd:ntsc", "mpeg", AV_CODEC_ID_MPEG2VIDEO, 480, 480, AV_PIX_FMT_YUV420P, {30000, 1001}, AV_CODEC_ID_MP2, 44100, 224000},
      {"dv", "dv", AV_CODEC_ID_DVVIDEO, 720, 576, AV_PIX_FMT_YUV420P, {25, 1}, AV_CODEC_ID_PCM_S16LE, 48000, 0},
      {"dv:ntsc", "dv", AV_CODEC_ID_DVVIDEO, 720, 480, AV_PIX_FMT_YUV411P, {30000, 1001}, AV_CODEC_ID_PCM_S16LE, 48000, 0},
      {"dv:film", "dv", AV_CODEC_ID_DVVIDEO, 720, 480, AV_PIX_FMT_YUV411P, {30000, 1001}, AV_CODEC_ID_PCM_S16LE, 48000, 0},
      {"dv50", "dv", AV_CODEC_ID_DVVIDEO, 720, 576, AV_PIX_FMT_YUV422P, {25, 1}, AV_CODEC_ID_PCM_S16LE, 48000, 0},
      {"dv50:ntsc", "dv", AV_CODEC_ID_DVVIDEO, 720, 480, AV_PIX_FMT_YUV422P, {30000, 1001}, AV_CODEC_ID_PCM_S16LE, 48000, 0},
  };
  int n = 0;
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.spec);
    TAVConverter c;
    std::string error;
    ASSERT_TRUE(ApplyProfileByName(tc.spec, c, error)) << error;
    const std::string out = dir->Path("out" + std::to_string(n++) + ".bin");
    const RunResult r = Convert(c, clip, out);
    ASSERT_EQ(r.error, "") << r.errorLog;
    EXPECT_TRUE(r.complete);

    const Probed p = Probe(out);
    EXPECT_EQ(p.format, tc.format);
    EXPECT_EQ(p.video, tc.video);
    EXPECT_EQ(p.width, tc.width);
    EXPECT_EQ(p.height, tc.height);
    EXPECT_EQ(p.pixFmt, tc.pixFmt) << av_get_pix_fmt_name(static_cast<AVPixelFormat>(p.pixFmt));
    EXPECT_EQ(av_cmp_q(p.rate, tc.rate), 0) << p.rate.num << "/" << p.rate.den;
    EXPECT_EQ(p.audio, tc.audio);
    EXPECT_EQ(p.sampleRate, tc.sampleRate);
    if (tc.audioBitrate) {
      EXPECT_EQ(p.audioBitrate, tc.audioBitrate);
    }

    int errorLines = -1;
    const DecodedMedia m = DecodeCountingErrors(out, errorLines);
    EXPECT_EQ(errorLines, 0);
    ASSERT_EQ(m.video.size(), 1u);
    // DV50 carries its sound as two stereo pairs; the second one is silent.
    ASSERT_GE(m.audio.size(), 1u);
    // About one second of pictures at the target's rate, the first one first.
    EXPECT_NEAR(static_cast<double>(m.video[0].numbers.size()), av_q2d(tc.rate), 3.0);
    EXPECT_EQ(m.video[0].numbers.front(), 0);
    EXPECT_GT(static_cast<double>(m.audio[0].Frames()) / m.audio[0].sample_rate, 0.9);
  }
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST_F(TargetConversion, TheH264PresetReachesTheEncoder) {
  const struct {
    const char* spec;
    const char* setting;  // in x264's settings string
  } cases[] = {{"h264:ultrafast", "subme=0 "}, {"h264:slower", "subme=9 "}};
  for (const auto& tc : cases) {
    TAVConverter c;
    std::string error;
    ASSERT_TRUE(ApplyProfileByName(tc.spec, c, error)) << error;
    const std::string out = dir->Path(std::string(tc.spec + 5) + ".mp4");
    ASSERT_EQ(Convert(c, clip, out).error, "");
    const std::string bytes = Slurp(out);
    ASSERT_NE(bytes.find("x264 - core"), std::string::npos);
    EXPECT_NE(bytes.find(tc.setting), std::string::npos) << tc.spec;
  }
}

// What the pack and system headers of an MPEG program stream say: the mux
// rate of the first pack (bit/s) and, per stream ID of the system headers,
// the P-STD buffer bound in bytes; ok when the walk reached the end of the
// file. Walks pack by pack and packet by packet, so start codes inside the
// streams are never taken for headers.
struct ProgramStreamHeaders {
  int64_t muxRate = -1;
  std::map<int, int> bufferBounds;
  bool ok = false;
};

ProgramStreamHeaders ReadProgramStreamHeaders(const std::string& path) {
  const std::string f = Slurp(path);
  auto b = [&](size_t i) -> uint8_t { return i < f.size() ? static_cast<uint8_t>(f[i]) : 0; };
  auto startCode = [&](size_t i) { return b(i) == 0 && b(i + 1) == 0 && b(i + 2) == 1; };
  ProgramStreamHeaders h;
  size_t i = 0;
  for (;;) {
    // VCD pads with sectors of zeros.
    while (i < f.size() && b(i) == 0 && !startCode(i)) ++i;
    if (i + 4 > f.size() || !startCode(i)) break;
    const uint8_t id = b(i + 3);
    if (id == 0xB9) break;  // program end
    if (id == 0xBA) {
      int64_t rate = 0;
      if ((b(i + 4) & 0xC0) == 0x40) {  // MPEG-2: 22 bits after the 6 bytes of SCR
        rate = (int64_t{b(i + 10)} << 14) | (b(i + 11) << 6) | (b(i + 12) >> 2);
        i += 14 + (b(i + 13) & 7);
      } else {  // MPEG-1: 22 bits between markers after the 5 bytes of SCR
        rate = (int64_t{b(i + 9) & 0x7F} << 15) | (b(i + 10) << 7) | (b(i + 11) >> 1);
        i += 12;
      }
      if (h.muxRate < 0) h.muxRate = rate * 400;  // units of 50 bytes a second
      continue;
    }
    const size_t length = (size_t{b(i + 4)} << 8) | b(i + 5);
    if (id == 0xBB)
      for (size_t k = i + 12; k + 2 < i + 6 + length && (b(k) & 0x80); k += 3)
        h.bufferBounds[b(k)] = (((b(k + 1) & 0x1F) << 8) | b(k + 2)) * ((b(k + 1) & 0x20) ? 1024 : 128);
    i += 6 + length;
  }
  h.ok = i == f.size() || (startCode(i) && b(i + 3) == 0xB9);  // read to the end
  return h;
}

// The headers carry the encoder's buffer size and peak rate, as the
// command line's -target gives them: VCD's video buffer bound is 46 KiB (the
// disc's limit) and SVCD's mux rate counts the peak video rate.
TEST_F(TargetConversion, DiscHeadersCarryTheEncodersBufferSizeAndPeakRate) {
  const struct {
    const char* spec;
    int64_t muxRate;
    std::map<int, int> bounds;
  } cases[] = {
      // 6 KiB + bufsize / 8 for video, 4 KiB for MPEG audio.
      {"vcd", 1411200, {{0xE0, 46 * 1024}, {0xC0, 4096}}},
      // No mux rate set: (peak video + audio rate) * 1.05 + 10000, rounded up
      // to 400 bit/s.
      {"svcd", 2887200, {{0xE0, 230 * 1024}, {0xC0, 4096}}},
      // DVD's fixed entries: video, MPEG audio (none: 4 KiB), private stream
      // 1 (AC-3 is counted under 0x80, so 0) and the navigation packs.
      {"dvd", 10080000, {{0xB9, 230 * 1024}, {0xB8, 4096}, {0xBD, 0}, {0xBF, 2048}}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.spec);
    TAVConverter c;
    std::string error;
    ASSERT_TRUE(ApplyProfileByName(tc.spec, c, error)) << error;
    const std::string out = dir->Path(std::string("headers-") + tc.spec + ".mpg");
    ASSERT_EQ(Convert(c, clip, out).error, "");
    const ProgramStreamHeaders h = ReadProgramStreamHeaders(out);
    EXPECT_TRUE(h.ok);
    EXPECT_EQ(h.muxRate, tc.muxRate);
    EXPECT_EQ(h.bufferBounds, tc.bounds);
  }
}

// The DV muxer needs each picture's share of sound: sound resampled from
// 44.1 kHz comes out a little short of the last picture, and sound that stops
// early leaves many pictures without any. Every picture is written, with
// silence where the sound ran out.
TEST_F(TargetConversion, DvKeepsEveryPictureWhateverTheSoundLasts) {
  const struct {
    const char* what;
    AVCodecID video;
    int width, height, frames;
    double audioCut;  // seconds of sound; 0: as long as the picture
    std::vector<const char*> targets;
  } sources[] = {
      {"3 s ProRes 4:2:2 720p, 44.1 kHz mono", AV_CODEC_ID_PRORES, 1280, 720, 90, 0, {"dv", "dv:ntsc", "dv50"}},
      {"3 s with 1 s of sound", AV_CODEC_ID_H264, 320, 240, 90, 1.0, {"dv", "dv:ntsc", "dv50"}},
      // Longer than the muxer waits for the sound: made up during the run.
      {"20 s with 1 s of sound", AV_CODEC_ID_H264, 160, 120, 600, 1.0, {"dv"}},
  };
  int n = 0;
  for (const auto& src : sources) {
    MediaSpec s;
    s.container = src.video == AV_CODEC_ID_PRORES ? "mov" : "matroska";
    s.video_codec = src.video;
    s.width = src.width;
    s.height = src.height;
    s.pix_fmt = src.video == AV_CODEC_ID_PRORES ? AV_PIX_FMT_YUV422P10LE : AV_PIX_FMT_YUV422P;
    s.fps = {30, 1};
    s.frames = src.frames;
    s.audio_codec = src.video == AV_CODEC_ID_PRORES ? AV_CODEC_ID_PCM_S16LE : AV_CODEC_ID_AAC;
    s.sample_rate = 44100;
    s.channels = 1;
    s.audio_cut_seconds = src.audioCut;
    const std::string in =
        MakeMedia(dir->Path("dv-source" + std::to_string(n++) + (src.video == AV_CODEC_ID_PRORES ? ".mov" : ".mkv")), s);
    for (const char* spec : src.targets) {
      SCOPED_TRACE(std::string(src.what) + ", " + spec);
      TAVConverter c;
      std::string error;
      ASSERT_TRUE(ApplyProfileByName(spec, c, error)) << error;
      const std::string out = dir->Path("dv-out" + std::to_string(n++) + ".dv");
      const RunResult r = Convert(c, in, out);
      EXPECT_EQ(r.error, "") << r.errorLog;
      EXPECT_TRUE(r.complete);
      int errorLines = -1;
      const DecodedMedia m = DecodeCountingErrors(out, errorLines);
      EXPECT_EQ(errorLines, 0);
      ASSERT_EQ(m.video.size(), 1u);
      ASSERT_GE(m.audio.size(), 1u);
      const double rate = std::string(spec) == "dv:ntsc" ? 30000.0 / 1001 : 25.0;
      const double seconds = src.frames / 30.0;
      // Pictures at the target's rate over the whole clip (the rate change
      // may repeat one or two at the end), the last one last.
      EXPECT_GE(static_cast<double>(m.video[0].numbers.size()), seconds * rate - 1);
      EXPECT_LE(static_cast<double>(m.video[0].numbers.size()), seconds * rate + 3);
      EXPECT_NEAR(m.video[0].numbers.back(), src.frames - 1, 1.5);
      // As much sound as picture, silent after the cut.
      const DecodedAudio& a = m.audio[0];
      EXPECT_NEAR(static_cast<double>(a.Frames()) / a.sample_rate, m.video[0].numbers.size() / rate, 0.05);
      if (src.audioCut > 0) {
        const size_t from = static_cast<size_t>((src.audioCut + 0.1) * a.sample_rate);
        ASSERT_LT(from, a.Frames());
        EXPECT_EQ(Rms(a.samples.data() + from * a.channels, a.Frames() - from, a.channels), 0.0);
        EXPECT_GT(Rms(a.samples.data(), static_cast<size_t>(0.9 * a.sample_rate), a.channels), 0.1);
      }
    }
  }
}

// Encoders this FFmpeg lacks, or settings they refuse, end in OnError with a
// reason, never in a file reported as done.
TEST_F(TargetConversion, RefusedChoicesEndInAnError) {
  const struct {
    const char* name;
    std::function<void(TAVCustomVideoProfile&)> setup;
  } cases[] = {
      {"amr", [](TAVCustomVideoProfile& p) { p.SetAudioEncoder(TCustomAudioEncoder::AMR_NB); }},
      {"h263 size",
       [](TAVCustomVideoProfile& p) {
         p.SetVideoEncoder(TCustomVideoEncoder::H263);
         p.SetFrameWidth(640);
         p.SetFrameHeight(480);
       }},
      {"real_144 at 44.1 kHz",
       [](TAVCustomVideoProfile& p) {
         p.SetAudioEncoder(TCustomAudioEncoder::RA1);
         p.SetSampleRate(44100);
       }},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    TAVCustomVideoProfile p;
    p.SetVideoEncoder(TCustomVideoEncoder::MPEG4);
    p.SetFormat(TCustomAVFormat::F_MKV);
    p.SetAudioEncoder(TCustomAudioEncoder::MP2);
    p.SetSampleRate(44100);
    tc.setup(p);
    TAVConverter c;
    p.ApplyProfile(c);
    const RunResult r = Convert(c, clip, dir->Path(std::string(tc.name) + ".mkv"));
    // OnComplete follows OnError: the resources are released either way.
    EXPECT_NE(r.error, "");
  }
}

}  // namespace
}  // namespace kivora::testing
